#include "Configurations.hpp"

#include <set>
#include <stdexcept>

namespace quilo::cli {

namespace {

using Json = nlohmann::ordered_json;
using In = nlohmann::json;

// The members of `object` at `where`, each of which must be one of `known`.
const In& members(const In& object, const std::set<std::string>& known, const std::string& where) {
    if (!object.is_object()) {
        throw std::runtime_error(where + " is not a JSON object");
    }
    for (const auto& [name, value] : object.items()) {
        if (!known.contains(name)) {
            throw std::runtime_error(where + " has no member " + name + " that quilo knows");
        }
    }
    return object;
}

template <class T>
T member(const In& object, const char* name, const std::string& where, T fallback = {}) {
    if (!object.contains(name)) {
        return fallback;
    }
    try {
        return object.at(name).get<T>();
    } catch (const nlohmann::json::exception&) {
        throw std::runtime_error(where + "." + name + " is not of the right type");
    }
}

std::optional<std::int32_t> days(const In& object, const char* name, const std::string& where) {
    return object.contains(name) ? std::optional(member<std::int32_t>(object, name, where))
                                 : std::nullopt;
}

Json transitions(const std::vector<S3LifecycleTransition>& all, const char* daysName) {
    Json out = Json::array();
    for (const auto& transition : all) {
        Json one = Json::object();
        if (transition.days) {
            one[daysName] = *transition.days;
        }
        if (!transition.date.empty()) {
            one["Date"] = transition.date;
        }
        one["StorageClass"] = transition.storageClass;
        out.push_back(std::move(one));
    }
    return out;
}

std::vector<S3LifecycleTransition> transitionsFrom(const In& rule, const char* name,
                                                   const char* daysName, const std::string& where) {
    std::vector<S3LifecycleTransition> out;
    for (const auto& one : member<In>(rule, name, where, In::array())) {
        const auto at = where + "." + name;
        members(one, {daysName, "Date", "StorageClass"}, at);
        out.push_back({.days = days(one, daysName, at),
                       .date = member<std::string>(one, "Date", at),
                       .storageClass = member<std::string>(one, "StorageClass", at)});
    }
    return out;
}

Json filter(const S3LifecycleRule& rule) {
    Json tags = Json::array();
    for (const auto& [key, value] : rule.tags) {
        tags.push_back({{"Key", key}, {"Value", value}});
    }
    if (rule.tags.empty()) {
        return {{"Prefix", rule.prefix}};
    }
    if (rule.prefix.empty() && rule.tags.size() == 1) {
        return {{"Tag", tags[0]}};
    }
    return {{"And", {{"Prefix", rule.prefix}, {"Tags", tags}}}};
}

void filterFrom(const In& rule, S3LifecycleRule& out, const std::string& where) {
    out.prefix = member<std::string>(rule, "Prefix", where);  // the form before filters
    const In filter = member<In>(rule, "Filter", where, In::object());
    const auto at = where + ".Filter";
    members(filter, {"Prefix", "Tag", "And"}, at);
    const In both = member<In>(filter, "And", at, In::object());
    members(both, {"Prefix", "Tags"}, at + ".And");
    out.prefix = member<std::string>(filter, "Prefix", at, out.prefix);
    out.prefix = member<std::string>(both, "Prefix", at + ".And", out.prefix);
    std::vector<In> tags = member<std::vector<In>>(both, "Tags", at + ".And");
    if (filter.contains("Tag")) {
        tags.push_back(filter["Tag"]);
    }
    for (const auto& tag : tags) {
        members(tag, {"Key", "Value"}, at + " tag");
        out.tags[member<std::string>(tag, "Key", at)] = member<std::string>(tag, "Value", at);
    }
}

}  // namespace

Json toJson(const S3LifecycleConfiguration& lifecycle) {
    Json rules = Json::array();
    for (const auto& rule : lifecycle.rules) {
        Json one{{"ID", rule.id},
                 {"Status", rule.enabled ? "Enabled" : "Disabled"},
                 {"Filter", filter(rule)}};
        Json expiration = Json::object();
        if (rule.expirationDays) {
            expiration["Days"] = *rule.expirationDays;
        }
        if (!rule.expirationDate.empty()) {
            expiration["Date"] = rule.expirationDate;
        }
        if (rule.expiredObjectDeleteMarker) {
            expiration["ExpiredObjectDeleteMarker"] = true;
        }
        if (!expiration.empty()) {
            one["Expiration"] = expiration;
        }
        if (!rule.transitions.empty()) {
            one["Transitions"] = transitions(rule.transitions, "Days");
        }
        if (!rule.noncurrentTransitions.empty()) {
            one["NoncurrentVersionTransitions"] =
                transitions(rule.noncurrentTransitions, "NoncurrentDays");
        }
        if (rule.noncurrentExpirationDays) {
            one["NoncurrentVersionExpiration"] = {
                {"NoncurrentDays", *rule.noncurrentExpirationDays}};
        }
        if (rule.abortIncompleteUploadDays) {
            one["AbortIncompleteMultipartUpload"] = {
                {"DaysAfterInitiation", *rule.abortIncompleteUploadDays}};
        }
        rules.push_back(std::move(one));
    }
    return {{"Rules", rules}};
}

S3LifecycleConfiguration lifecycleFromJson(const In& document) {
    S3LifecycleConfiguration lifecycle;
    members(document, {"Rules"}, "the lifecycle");
    for (const auto& rule : member<std::vector<In>>(document, "Rules", "the lifecycle")) {
        const std::string where = "rule " + std::to_string(lifecycle.rules.size() + 1);
        members(rule,
                {"ID", "Status", "Prefix", "Filter", "Expiration", "Transitions",
                 "NoncurrentVersionTransitions", "NoncurrentVersionExpiration",
                 "AbortIncompleteMultipartUpload"},
                where);
        S3LifecycleRule out{.id = member<std::string>(rule, "ID", where),
                            .enabled = member<std::string>(rule, "Status", where) == "Enabled"};
        filterFrom(rule, out, where);
        const In expiration = member<In>(rule, "Expiration", where, In::object());
        members(expiration, {"Days", "Date", "ExpiredObjectDeleteMarker"}, where + ".Expiration");
        out.expirationDays = days(expiration, "Days", where + ".Expiration");
        out.expirationDate = member<std::string>(expiration, "Date", where);
        out.expiredObjectDeleteMarker =
            member<bool>(expiration, "ExpiredObjectDeleteMarker", where);
        const In noncurrent = member<In>(rule, "NoncurrentVersionExpiration", where, In::object());
        members(noncurrent, {"NoncurrentDays"}, where + ".NoncurrentVersionExpiration");
        out.noncurrentExpirationDays = days(noncurrent, "NoncurrentDays", where);
        const In abort = member<In>(rule, "AbortIncompleteMultipartUpload", where, In::object());
        members(abort, {"DaysAfterInitiation"}, where + ".AbortIncompleteMultipartUpload");
        out.abortIncompleteUploadDays = days(abort, "DaysAfterInitiation", where);
        out.transitions = transitionsFrom(rule, "Transitions", "Days", where);
        out.noncurrentTransitions =
            transitionsFrom(rule, "NoncurrentVersionTransitions", "NoncurrentDays", where);
        lifecycle.rules.push_back(std::move(out));
    }
    return lifecycle;
}

Json toJson(const S3CorsConfiguration& cors) {
    Json rules = Json::array();
    for (const auto& rule : cors.rules) {
        Json one = Json::object();
        if (!rule.id.empty()) {
            one["ID"] = rule.id;
        }
        one["AllowedMethods"] = rule.allowedMethods;
        one["AllowedOrigins"] = rule.allowedOrigins;
        if (!rule.allowedHeaders.empty()) {
            one["AllowedHeaders"] = rule.allowedHeaders;
        }
        if (!rule.exposeHeaders.empty()) {
            one["ExposeHeaders"] = rule.exposeHeaders;
        }
        if (rule.maxAgeSeconds) {
            one["MaxAgeSeconds"] = *rule.maxAgeSeconds;
        }
        rules.push_back(std::move(one));
    }
    return {{"CORSRules", rules}};
}

S3CorsConfiguration corsFromJson(const In& document) {
    S3CorsConfiguration cors;
    members(document, {"CORSRules"}, "the CORS configuration");
    for (const auto& rule : member<std::vector<In>>(document, "CORSRules", "the CORS rules")) {
        const std::string where = "CORS rule " + std::to_string(cors.rules.size() + 1);
        members(rule,
                {"ID", "AllowedMethods", "AllowedOrigins", "AllowedHeaders", "ExposeHeaders",
                 "MaxAgeSeconds"},
                where);
        cors.rules.push_back({.id = member<std::string>(rule, "ID", where),
                              .allowedMethods = member<StringList>(rule, "AllowedMethods", where),
                              .allowedOrigins = member<StringList>(rule, "AllowedOrigins", where),
                              .allowedHeaders = member<StringList>(rule, "AllowedHeaders", where),
                              .exposeHeaders = member<StringList>(rule, "ExposeHeaders", where),
                              .maxAgeSeconds = days(rule, "MaxAgeSeconds", where)});
    }
    return cors;
}

}  // namespace quilo::cli
