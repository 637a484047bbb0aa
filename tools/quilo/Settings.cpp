#include "Settings.hpp"

#include <ini.h>

#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>
#include <stdexcept>

#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace {

Setting fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return {value ? value : "", name};
}

Setting fromFlag(const std::string& value, const char* flag) {
    return {value, flag};
}

// The first setting that has a value; an empty one when none has.
Setting firstOf(std::initializer_list<Setting> candidates) {
    for (const auto& candidate : candidates) {
        if (!candidate.value.empty()) {
            return candidate;
        }
    }
    return {};
}

// A shared file's path: the variable's, else ~/.aws/<name>; "~/" stands for the home directory.
std::string sharedFile(const char* variable, const char* name) {
    std::string path = fromEnvironment(variable).value;
    const std::string home = fromEnvironment("HOME").value;
    if (path.empty()) {
        path = home.empty() ? "" : "~/.aws/" + std::string(name);
    }
    if (path.starts_with("~/") && !home.empty()) {
        path.replace(0, 1, home);
    }
    return path;
}

// The entries of one profile, gathered from the files in the order given: a key already read
// stays as it is.
struct Profile {
    std::string name;
    std::map<std::string, Setting> entries{};
    bool found = false;

    Setting operator[](const std::string& key) const {
        const auto entry = entries.find(key);
        return entry == entries.end() ? Setting{} : entry->second;
    }
};

void readProfile(Profile& profile, const std::string& path, const std::string& section) {
    struct Reading {
        Profile& profile;
        const std::string& section;
        const std::string& path;
    } reading{profile, section, path};
    const auto handler = [](void* user, const char* section, const char* name, const char* value) {
        auto& r = *static_cast<Reading*>(user);
        if (r.section == section) {
            r.profile.found = true;
            r.profile.entries.try_emplace(
                name, Setting{value, "profile " + r.profile.name + " (" + r.path + ")"});
        }
        return 1;
    };
    const int result = path.empty() ? -1 : ini_parse(path.c_str(), handler, &reading);
    if (result > 0) {
        throw std::runtime_error(path + " line " + std::to_string(result) + " is not INI");
    }
}

Profile loadProfile(const std::string& name, const std::string& credentials,
                    const std::string& config) {
    Profile profile{.name = name};
    readProfile(profile, credentials, name);
    readProfile(profile, config, "profile " + name);
    if (name == "default") {
        readProfile(profile, config, name);
    }
    return profile;
}

// The key pair of one source, both or neither: one without the other is a mistake to report.
bool takeKeys(Settings& settings, Setting accessKey, Setting secretKey, Setting token = {}) {
    if (accessKey.value.empty() && secretKey.value.empty()) {
        return false;
    }
    if (accessKey.value.empty() || secretKey.value.empty()) {
        const auto& given = accessKey.value.empty() ? secretKey : accessKey;
        throw UsageError(given.source + " gives one key of the pair without the other");
    }
    settings.accessKey = std::move(accessKey);
    settings.secretKey = std::move(secretKey);
    settings.sessionToken = std::move(token);
    return true;
}

}  // namespace

Settings resolveSettings(const Flags& flags) {
    const Setting profileName =
        firstOf({fromFlag(flags.profile, "--profile"), fromEnvironment("AWS_PROFILE")});
    const bool named = !profileName.value.empty();
    const std::string credentials = sharedFile("AWS_SHARED_CREDENTIALS_FILE", "credentials");
    const std::string config = sharedFile("AWS_CONFIG_FILE", "config");
    const Profile profile = loadProfile(named ? profileName.value : "default", credentials, config);
    if (named && !profile.found) {
        throw UsageError("profile '" + profile.name + "' (" + profileName.source +
                         ") is in neither " + credentials + " nor " + config);
    }

    Settings settings{.profile = profile.name,
                      .anonymous = flags.anonymous,
                      .ssl = flags.ssl,
                      .jobs = flags.jobs};
    settings.endpoint = firstOf({fromFlag(flags.endpoint, "--endpoint"),
                                 fromEnvironment("AWS_ENDPOINT_URL"), profile["endpoint_url"]});
    settings.region = firstOf({fromFlag(flags.region, "--region"), fromEnvironment("AWS_REGION"),
                               fromEnvironment("AWS_DEFAULT_REGION"), profile["region"]});
    settings.addressingStyle = fromFlag(flags.addressingStyle, "--addressing-style");
    settings.caFile = firstOf({fromFlag(flags.caFile, "--ca-file"),
                               fromEnvironment("AWS_CA_BUNDLE"), profile["ca_bundle"]});

    const auto fromProfile = [&] {
        return takeKeys(settings, profile["aws_access_key_id"], profile["aws_secret_access_key"],
                        profile["aws_session_token"]);
    };
    const auto fromVariables = [&] {
        return takeKeys(settings, fromEnvironment("AWS_ACCESS_KEY_ID"),
                        fromEnvironment("AWS_SECRET_ACCESS_KEY"),
                        fromEnvironment("AWS_SESSION_TOKEN"));
    };
    // The first source that holds keys gives them, and its token with them.
    takeKeys(settings, fromFlag(flags.accessKey, "--access-key"),
             fromFlag(flags.secretKey, "--secret-key")) ||
        (named && fromProfile()) || fromVariables() || fromProfile();
    settings.lookedIn =
        "--access-key/--secret-key, AWS_ACCESS_KEY_ID/AWS_SECRET_ACCESS_KEY, "
        "profile " +
        profile.name + " in " + (credentials.empty() ? "(no home)" : credentials) + " and " +
        (config.empty() ? "(no home)" : config);
    return settings;
}

namespace {

// "host:port" and whether to use TLS, from "http://host:port", "https://host" or "host:port".
std::pair<std::string, bool> parseEndpoint(const std::string& endpoint, bool ssl) {
    std::string host = endpoint;
    if (host.empty()) {
        return {host, true};  // the library's default host is AWS itself: never in the clear
    }
    if (host.starts_with("https://")) {
        host.erase(0, 8);
        ssl = true;
    } else if (host.starts_with("http://")) {
        if (ssl) {
            throw UsageError("--ssl contradicts the http:// endpoint " + endpoint);
        }
        host.erase(0, 7);
    } else if (host.find("://") != std::string::npos) {
        throw UsageError("endpoint " + endpoint + " is neither http:// nor https://");
    }
    while (host.ends_with('/')) {
        host.pop_back();
    }
    if (host.empty() || host.find('/') != std::string::npos) {
        throw UsageError("endpoint " + endpoint + " must be a scheme, a host and a port only");
    }
    return {host, ssl};
}

// The last four characters, as `aws configure list` shows keys.
std::string shortened(const std::string& secret) {
    return secret.size() <= 4
               ? std::string(secret.size(), '*')
               : std::string(secret.size() - 4, '*') + secret.substr(secret.size() - 4);
}

}  // namespace

void applySettings(const Settings& settings) {
    const auto [host, useSSL] = parseEndpoint(settings.endpoint.value, settings.ssl);
    if (!host.empty()) {
        S3Request::setDefaultHost(host);
    }
    if (!settings.region.value.empty()) {
        S3Request::setDefaultRegion(settings.region.value);
    }
    if (!settings.caFile.value.empty()) {
        HTTPRequest::setDefaultCAFile(settings.caFile.value);
    }
    const std::string& style = settings.addressingStyle.value;
    S3Request::setDefaultAddressingStyle(style == "virtual" ? AddressingStyle::virtualHosted
                                         : style == "path"  ? AddressingStyle::path
                                                            : AddressingStyle::automatic);
    jobs() = settings.jobs;
    const bool signing = !settings.anonymous && !settings.accessKey.value.empty();
    Quilo::GlobalConfig(signing ? std::optional(settings.accessKey.value) : std::nullopt,
                        signing ? std::optional(settings.secretKey.value) : std::nullopt, useSSL,
                        settings.jobs);
    // GlobalConfig keeps the keys it does not write, so the token is set or taken away here.
    auto& config = *Quilo::sharedInstance()->globleConfig();
    if (signing && !settings.sessionToken.value.empty()) {
        config["sessionToken"] = settings.sessionToken.value;
    } else {
        config.erase("sessionToken");
    }
    if (!signing && !settings.anonymous) {
        refuseToSend("no credentials: looked at " + settings.lookedIn +
                     " (--no-sign-request sends unsigned requests)");
    }
}

int showSettings(const Settings& settings) {
    const std::pair<const char*, Setting> rows[] = {
        {"endpoint", settings.endpoint},
        {"region", settings.region},
        {"access_key", {shortened(settings.accessKey.value), settings.accessKey.source}},
        {"secret_key", {shortened(settings.secretKey.value), settings.secretKey.source}},
        {"session_token", {shortened(settings.sessionToken.value), settings.sessionToken.source}},
        {"ca_bundle", settings.caFile},
        {"addressing", settings.addressingStyle},
    };
    nlohmann::ordered_json document{{"profile", escaped(settings.profile)}};
    if (!outputMode().json) {
        std::cout << "profile        " << escaped(settings.profile) << '\n';
    }
    for (const auto& [name, setting] : rows) {
        const std::string value = setting.value.empty() ? "<not set>" : escaped(setting.value);
        if (outputMode().json) {
            document[name] = {{"value", escaped(setting.value)},
                              {"source", escaped(setting.source)}};
        } else {
            std::cout << std::left << std::setw(15) << name << std::setw(34) << value << ' '
                      << escaped(setting.source) << '\n';
        }
    }
    if (outputMode().json) {
        printJson(document);
    }
    return 0;
}

}  // namespace quilo::cli
