#include "Settings.hpp"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
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

// Feeds libinih a file a line at a time. Debian's libinih reads lines of at most 200 bytes and
// would take a longer one for several (cutting a session token in two), so such a line reaches
// it with its value set aside as "\x01<n>", which the handler turns back into the value.
class LineFeed {
  public:
    explicit LineFeed(const std::string& path) : in_(path, std::ios::binary) {}
    bool isOpen() const { return in_.is_open(); }

    static char* next(char* buffer, int size, void* self) {
        return static_cast<LineFeed*>(self)->next(buffer, static_cast<std::size_t>(size));
    }
    // A value as libinih would have read it: without the spaces around it or a " ;" comment.
    std::string value(const char* read) const {
        if (read[0] != kMark) {
            return read;
        }
        const auto index = std::strtoul(read + 1, nullptr, 10);
        std::string text = index < setAside_.size() ? setAside_[index] : std::string();
        for (std::size_t i = 1; i < text.size(); ++i) {
            if (text[i] == ';' && std::isspace(static_cast<unsigned char>(text[i - 1]))) {
                text.resize(i);
            }
        }
        const auto first = text.find_first_not_of(" \t\r\n\f\v");
        const auto last = text.find_last_not_of(" \t\r\n\f\v");
        return first == std::string::npos ? "" : text.substr(first, last - first + 1);
    }

  private:
    static constexpr char kMark = '\x01';
    // A longer line ends the reading: a file that never ends one (a device) must not fill memory.
    static constexpr std::size_t kMaxLine = 1 << 20;

    char* next(char* buffer, std::size_t size) {
        std::string line;
        if (refused_ || size < 16 || !readLine(line)) {
            return nullptr;
        }
        const auto split = line.find_first_of("=:");
        const bool plain = line.size() + 2 <= size && line.find(kMark) == std::string::npos;
        if (!plain && split != std::string::npos && split + 12 < size && line.size() <= kMaxLine) {
            setAside_.push_back(line.substr(split + 1));
            line.resize(split + 1);
            line += kMark + std::to_string(setAside_.size() - 1);
        } else if (!plain && (line.find(kMark) != std::string::npos || line.size() > kMaxLine)) {
            refused_ = true;
            line = "[";  // a section never closed: libinih says which line is not INI
        }
        // Anything else too long keeps its start, which libinih refuses or ignores as it would
        // the whole line: a section's name unclosed, a comment, a continued value.
        line.resize(std::min(line.size(), size - 2));
        line += '\n';
        std::copy(line.begin(), line.end(), buffer);
        buffer[line.size()] = '\0';
        return buffer;
    }

    bool readLine(std::string& line) {
        for (char c; line.size() <= kMaxLine && in_.get(c) && c != '\n';) {
            line += c;
        }
        return in_ || !line.empty();
    }

    std::ifstream in_;
    std::vector<std::string> setAside_;
    bool refused_ = false;
};

void readProfile(Profile& profile, const std::string& path, const std::string& section) {
    struct Reading {
        Profile& profile;
        const std::string& section;
        const std::string& path;
        LineFeed feed;
    } reading{profile, section, path, LineFeed(path)};
    const auto handler = [](void* user, const char* section, const char* name, const char* value) {
        auto& r = *static_cast<Reading*>(user);
        if (r.section == section) {
            r.profile.found = true;
            r.profile.entries.try_emplace(
                name,
                Setting{r.feed.value(value), "profile " + r.profile.name + " (" + r.path + ")"});
        }
        return 1;
    };
    if (!reading.feed.isOpen()) {
        return;
    }
    const int result = ini_parse_stream(&LineFeed::next, &reading.feed, handler, &reading);
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

// The host and port of an endpoint, without its trailing slashes.
std::string checkedHost(const std::string& endpoint, std::string host) {
    while (host.ends_with('/')) {
        host.pop_back();
    }
    if (host.empty() || host.find('/') != std::string::npos) {
        throw UsageError("endpoint " + endpoint + " must be a scheme, a host and a port only");
    }
    return host;
}

// "host:port" and whether to use TLS, from "http://host:port", "https://host" or "host:port".
// Only an endpoint written with http:// goes in the clear, as awscli has it.
std::pair<std::string, bool> parseEndpoint(const std::string& endpoint, bool ssl) {
    std::string host = endpoint;
    if (host.starts_with("https://")) {
        host.erase(0, 8);
    } else if (host.starts_with("http://")) {
        if (ssl) {
            throw UsageError("--ssl contradicts the http:// endpoint " + endpoint);
        }
        host.erase(0, 7);
        return {checkedHost(endpoint, host), false};
    } else if (host.find("://") != std::string::npos) {
        throw UsageError("endpoint " + endpoint + " is neither http:// nor https://");
    }
    // None at all: the library's default host is AWS itself.
    return {endpoint.empty() ? endpoint : checkedHost(endpoint, host), true};
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
