#include <array>
#include <string>

#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"
#include "quilo/requestlib/http/HTTPRequestQueue.hpp"

namespace quilo {

namespace {

struct ConfigurationKey {
    const char* name;
    const char* expected;
    bool (*accepts)(const Value&);
};

constexpr std::array<ConfigurationKey, 5> configurationKeys = {{
    {"accessKey", "a string", [](const Value& value) { return value.holds<std::string>(); }},
    {"secretKey", "a string", [](const Value& value) { return value.holds<std::string>(); }},
    {"sessionToken", "a string", [](const Value& value) { return value.holds<std::string>(); }},
    {"useSSL", "a bool", [](const Value& value) { return value.holds<bool>(); }},
    {"maxConcurrentOperationCount", "an int32 or an int64",
     [](const Value& value) { return value.holds<std::int32_t>() || value.holds<std::int64_t>(); }},
}};

// The present value of `key`, or nullptr when the map lacks the key or holds it with no value.
const Value* presentValue(const ValueMap& map, const char* key) {
    const auto found = map.find(key);
    return found != map.end() && found->second ? &*found->second : nullptr;
}

// The first held key whose value is of another type than the key's, described.
std::optional<std::string> firstMistypedKey(const ValueMap& map) {
    for (const auto& key : configurationKeys) {
        const Value* value = presentValue(map, key.name);
        if (value && !key.accepts(*value)) {
            return std::string("configuration key \"") + key.name + "\" must hold " + key.expected +
                   ", but holds " + detail::withArticle(typeName(*value));
        }
    }
    return std::nullopt;
}

void failConfiguration(S3Request& request, std::string message) {
    request.failBeforeSending(detail::makeError(
        ErrorKind::configuration, detail::Code::InvalidConfiguration, std::move(message)));
}

}  // namespace

void Quilo::configureRequest(const std::shared_ptr<S3Request>& request) {
    if (!request) {
        return;
    }
    try {
        // The active map is chosen as a whole: a key missing from config() is not looked up in
        // globleConfig().
        const ValueMap* active = config_ ? &*config_ : nullptr;
        if (!active) {
            const auto& global = sharedInstance()->globleConfig_;
            active = global ? &*global : nullptr;
        }
        if (!active) {
            failConfiguration(*request,
                              "no configuration map is present: this client's config() and the "
                              "shared instance's globleConfig() are both absent");
            return;
        }
        // Checked before anything is applied, so that a request is either fully configured or
        // never sent.
        if (auto problem = firstMistypedKey(*active)) {
            failConfiguration(*request, std::move(*problem));
            return;
        }

        if (const Value* accessKey = presentValue(*active, "accessKey")) {
            request->setAccessKey(*accessKey->getIf<std::string>());
        }
        if (const Value* secretKey = presentValue(*active, "secretKey")) {
            request->setSecretAccessKey(*secretKey->getIf<std::string>());
        }
        if (const Value* token = presentValue(*active, "sessionToken")) {
            request->setSessionToken(*token->getIf<std::string>());
        }
        const Value* useSSL = presentValue(*active, "useSSL");
        request->setRequestScheme(useSSL && *useSSL->getIf<bool>() ? S3RequestSchemeHTTPS
                                                                   : S3RequestSchemeHTTP);
        // Passed on unchanged: the queue itself turns a limit below 1 into its default.
        if (const Value* limit = presentValue(*active, "maxConcurrentOperationCount")) {
            const auto* narrow = limit->getIf<std::int32_t>();
            HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(
                narrow ? *narrow : *limit->getIf<std::int64_t>());
        }
    } catch (...) {
        try {
            failConfiguration(*request, "the configuration could not be applied: " +
                                            detail::currentExceptionText());
        } catch (...) {
        }
    }
}

}  // namespace quilo
