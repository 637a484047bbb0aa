#pragma once

#include <string>

#include <quilo/quilo.hpp>

namespace quilo::cli {

// The settings the command line gives; empty when left out.
struct Flags {
    std::string endpoint;  // "http://host:port", "https://host" or "host:port"
    std::string region;
    std::string accessKey;
    std::string secretKey;
    std::string profile;
    std::string caFile;
    std::string addressingStyle;  // "auto", "path" or "virtual"
    bool ssl = false;
    bool anonymous = false;  // --no-sign-request
    int jobs = 16;
};

// One setting and where it came from: "--region", "AWS_REGION", "profile dev
// (/home/a/.aws/config)".
struct Setting {
    std::string value;
    std::string source;
};

struct Settings {
    Setting endpoint{}, region{}, accessKey{}, secretKey{}, sessionToken{}, caFile{},
        addressingStyle{};
    std::string profile{};   // the one read: named, or "default"
    std::string lookedIn{};  // where keys were looked for, for the message when there are none
    bool anonymous = false;
    bool ssl = false;
    int jobs = 16;
};

// Flags first, then the environment, then the profile in the shared files, as awscli has it, except
// that a profile named explicitly (--profile, AWS_PROFILE) gives its keys before the environment's.
// Throws UsageError when such a profile is in neither file, and std::runtime_error when a file
// cannot be read as INI.
Settings resolveSettings(const Flags& flags);

// Sets the library's process-wide endpoint, region, addressing style and CA file, and the shared
// configuration's keys, session token, scheme and concurrency. Throws UsageError when the settings
// contradict each other. Without keys, and without --no-sign-request, client() refuses from then
// on.
void applySettings(const Settings& settings);

// `quilo config`: each setting, its value (keys shortened) and where it came from.
int showSettings(const Settings& settings);

}  // namespace quilo::cli
