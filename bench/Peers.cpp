#include "Peers.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace bench {

namespace {

// The file a bare name runs, found as execvp would.
std::string locate(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        std::error_code error;
        const auto path = std::filesystem::canonical(name, error);
        return !error && access(path.c_str(), X_OK) == 0 ? path.string() : "";
    }
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// The start of the first line: curl's goes on to list every library it was built with.
std::string firstLine(const std::optional<std::string>& text) {
    if (!text) {
        return "version unknown";
    }
    return text->substr(0, std::min<std::size_t>(text->find('\n'), 60));
}

Binary find(const std::string& name, const std::string& file,
            const std::vector<std::string>& versionArgs) {
    Binary binary{name, locate(file), ""};
    if (!binary.path.empty()) {
        std::vector<std::string> argv{binary.path};
        argv.insert(argv.end(), versionArgs.begin(), versionArgs.end());
        binary.version = firstLine(capture({argv, {}}));
    }
    return binary;
}

}  // namespace

Peers::Peers(const Credentials& credentials, const std::string& quiloTool,
             const std::string& scratch)
    : credentials_(credentials), scratch_(scratch) {
    binaries_ = {find("quilo", quiloTool, {"--version"}), find("curl", "curl", {"--version"}),
                 find("s3cmd", "s3cmd", {"--version"}), find("rclone", "rclone", {"version"}),
                 // Debian's awscli: another aws may come first on PATH.
                 find("awscli", "/usr/bin/aws", {"--version"}),
                 // libs3's tool has no version flag; its package has.
                 find("s3 (libs3)", "s3", {})};
    Binary& libs3 = binaries_[static_cast<std::size_t>(Tool::libs3)];
    if (!libs3.path.empty()) {
        libs3.version =
            firstLine(capture({{"dpkg-query", "-W", "-f=${Package} ${Version}\n", "libs3-2"}, {}}));
    }
    writeConfigs();
}

void Peers::writeConfigs() {
    std::filesystem::create_directories(scratch_ + "/home");
    const Credentials& c = credentials_;
    std::ofstream(scratch_ + "/empty");
    std::ofstream(scratch_ + "/s3cmd.cfg")
        << "[default]\naccess_key = " << c.accessKey << "\nsecret_key = " << c.secretKey
        << "\nhost_base = " << c.endpoint << "\nhost_bucket = " << c.endpoint
        << "\nbucket_location = " << c.region << "\nuse_https = False\nsignature_v2 = False\n";
    std::ofstream(scratch_ + "/rclone.conf")
        << "[bench]\ntype = s3\nprovider = Ceph\naccess_key_id = " << c.accessKey
        << "\nsecret_access_key = " << c.secretKey << "\nendpoint = http://" << c.endpoint
        << "\nregion = " << c.region << "\n";
}

Command Peers::run(Tool tool, const std::vector<std::string>& args) const {
    const Credentials& c = credentials_;
    Command command{{binary(tool).path}, {{"HOME", scratch_ + "/home"}}};
    auto& env = command.env;
    switch (tool) {
        case Tool::quilo:
        case Tool::aws:
            env["AWS_ACCESS_KEY_ID"] = c.accessKey;
            env["AWS_SECRET_ACCESS_KEY"] = c.secretKey;
            env["AWS_REGION"] = env["AWS_DEFAULT_REGION"] = c.region;
            env["AWS_CONFIG_FILE"] = env["AWS_SHARED_CREDENTIALS_FILE"] = scratch_ + "/empty";
            env["AWS_PROFILE"] = env["AWS_SESSION_TOKEN"] = std::nullopt;
            env["AWS_EC2_METADATA_DISABLED"] = "true";  // no looking for a cloud off this host
            env["AWS_ENDPOINT_URL"] = url("");
            break;
        case Tool::curl:
            command.argv.insert(
                command.argv.end(),
                {"-q", "--silent", "--no-progress-meter", "--show-error", "--fail", "--aws-sigv4",
                 "aws:amz:" + c.region + ":s3", "--user", c.accessKey + ":" + c.secretKey});
            break;
        case Tool::s3cmd:
            command.argv.insert(command.argv.end(), {"-c", scratch_ + "/s3cmd.cfg"});
            break;
        case Tool::rclone:
            command.argv.insert(command.argv.end(), {"--config", scratch_ + "/rclone.conf"});
            // rclone refuses any custom CA bundle, even for a plain-HTTP endpoint.
            for (const char* name : {"AWS_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR",
                                     "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE"}) {
                env[name] = std::nullopt;
            }
            break;
        case Tool::libs3:
            command.argv.push_back("-u");  // plain HTTP
            env["S3_ACCESS_KEY_ID"] = c.accessKey;
            env["S3_SECRET_ACCESS_KEY"] = c.secretKey;
            env["S3_HOSTNAME"] = c.endpoint;
            break;
    }
    if (tool == Tool::aws) {
        command.argv.insert(command.argv.end(), {"--endpoint-url", url("")});
    }
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    return command;
}

Command Peers::curlUnsignedPut(const std::string& file, const std::string& url) const {
    return run(Tool::curl, {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-T", file, url});
}

Command Peers::curlSignedPut(const std::string& file, const std::string& url) const {
    Command command = run(Tool::curl, {"-T", file, url});
    command.argv.insert(command.argv.begin(),
                        {"/bin/sh", "-c",
                         "hash=$(openssl dgst -sha256 -r \"$1\") || exit 1; shift; "
                         "exec \"$@\" -H \"x-amz-content-sha256: ${hash%% *}\"",
                         "sh", file});
    return command;
}

void Peers::describe() const {
    std::printf("Clients compared (HOME and every configuration file are temporary):\n");
    for (const auto& binary : binaries_) {
        std::printf("  %-11s %-36s %s\n", binary.name.c_str(),
                    binary.path.empty() ? "not found" : binary.path.c_str(),
                    binary.version.c_str());
    }
    std::printf("  %-11s %-36s %s\n", "openssl", locate("openssl").c_str(),
                "hashes the payload of the signed curl rows, in the same measured child");
}

bool quiloHas(const Peers& peers, const std::string& command) {
    if (!peers.has(Tool::quilo)) {
        return false;
    }
    std::istringstream words(command);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::string flag;
    if (args.back().starts_with("-")) {
        flag = args.back();
        args.pop_back();
    }
    std::string usage = "Usage: quilo";
    for (const auto& word : args) {
        usage += " " + word;
    }
    args.push_back("--help");
    // An unknown command shows the main help, and exits 0 doing it.
    const auto help = capture(peers.run(Tool::quilo, args));
    return help && help->find(usage + " ") != std::string::npos &&
           (flag.empty() || std::regex_search(*help, std::regex("[\\s,]" + flag + "\\b")));
}

std::string Peers::url(const std::string& path) const {
    return "http://" + credentials_.endpoint + path;
}

}  // namespace bench
