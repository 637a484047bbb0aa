#include "quilo/Client.hpp"

namespace quilo {

namespace {

template <class T>
std::optional<Value> valueOf(const std::optional<T>& argument) {
    if (!argument) {
        return std::nullopt;
    }
    return Value(*argument);
}

// Every key is written, an omitted argument as the key with no value.
void writeConfiguration(ValueMap& map, const std::optional<std::string>& accessKey,
                        const std::optional<std::string>& secretKey,
                        const std::optional<bool>& useSSL,
                        const std::optional<std::int64_t>& maxConcurrentOperationCount) {
    map["accessKey"] = valueOf(accessKey);
    map["secretKey"] = valueOf(secretKey);
    map["useSSL"] = valueOf(useSSL);
    map["maxConcurrentOperationCount"] = valueOf(maxConcurrentOperationCount);
}

}  // namespace

Quilo::Quilo(std::optional<std::string> accessKey, std::optional<std::string> secretKey,
             std::optional<bool> useSSL, std::optional<std::int64_t> maxConcurrentOperationCount) {
    if (accessKey || secretKey) {
        config_.emplace();
        writeConfiguration(*config_, accessKey, secretKey, useSSL, maxConcurrentOperationCount);
    }
}

Quilo::~Quilo() = default;

std::shared_ptr<Quilo> Quilo::sharedInstance() {
    // Made once whichever thread comes first, as any local static is; never destroyed, since a
    // callable may still reach it while the process exits.
    static const auto* const instance = new std::shared_ptr<Quilo>(std::make_shared<Quilo>());
    return *instance;
}

void Quilo::GlobalConfig(std::optional<std::string> accessKey, std::optional<std::string> secretKey,
                         std::optional<bool> useSSL,
                         std::optional<std::int64_t> maxConcurrentOperationCount) {
    try {
        auto& global = sharedInstance()->globleConfig();
        if (!global) {
            global.emplace();
        }
        writeConfiguration(*global, accessKey, secretKey, useSSL, maxConcurrentOperationCount);
    } catch (...) {
        // Only memory exhaustion gets here; there is no one to tell.
    }
}

}  // namespace quilo
