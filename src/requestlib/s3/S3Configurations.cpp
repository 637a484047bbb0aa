// The configuration documents of buckets and objects: what a PUT sends, and what a GET reads
// back into the same value.
#include <string>

#include "requestlib/s3/S3Xml.hpp"
#include "requestlib/s3/XmlNodes.hpp"

namespace quilo::detail {

using namespace xml;

namespace {

std::string count(std::int32_t value) {
    return std::to_string(value);
}

void writeTag(Writer& writer, const std::string& key, const std::string& value) {
    writer.open("Tag").element("Key", key).element("Value", value).close();
}

StringMap readTags(pugi::xml_node parent) {
    StringMap tags;
    forEachChild(parent, "Tag", [&](pugi::xml_node tag) {
        tags.insert_or_assign(requiredText(tag, "Key", "Tag"), textOr(tag, "Value"));
    });
    return tags;
}

// Services write a filter in more than one way (a Prefix beside the Rule's Filter, or the And
// without its wrapper), so what it holds is gathered from all of them.
void readFilter(pugi::xml_node rule, S3LifecycleRule& out) {
    const pugi::xml_node filter = child(rule, "Filter");
    const pugi::xml_node both = child(filter, "And");
    for (pugi::xml_node holder : {rule, filter, both})
        if (const auto prefix = optionalText(holder, "Prefix"))
            out.prefix = *prefix;
    out.tags = readTags(filter);
    out.tags.merge(readTags(both));
}

void writeFilter(Writer& writer, const S3LifecycleRule& rule) {
    writer.open("Filter");
    if (rule.tags.empty()) {
        writer.element("Prefix", rule.prefix);
    } else if (rule.prefix.empty() && rule.tags.size() == 1) {
        writeTag(writer, rule.tags.begin()->first, rule.tags.begin()->second);
    } else {
        writer.open("And");
        if (!rule.prefix.empty())
            writer.element("Prefix", rule.prefix);
        for (const auto& [key, value] : rule.tags)
            writeTag(writer, key, value);
        writer.close();
    }
    writer.close();
}

std::vector<S3LifecycleTransition> readTransitions(pugi::xml_node rule, std::string_view name,
                                                   std::string_view daysName) {
    std::vector<S3LifecycleTransition> transitions;
    forEachChild(rule, name, [&](pugi::xml_node entry) {
        transitions.push_back({.days = optionalInt32(entry, daysName, name),
                               .date = textOr(entry, "Date"),
                               .storageClass = textOr(entry, "StorageClass")});
    });
    return transitions;
}

void writeTransitions(Writer& writer, const std::vector<S3LifecycleTransition>& transitions,
                      std::string_view name, std::string_view daysName) {
    for (const auto& transition : transitions) {
        writer.open(name);
        if (transition.days)
            writer.element(daysName, count(*transition.days));
        if (!transition.date.empty())
            writer.element("Date", transition.date);
        writer.element("StorageClass", transition.storageClass).close();
    }
}

S3LifecycleRule readRule(pugi::xml_node node) {
    S3LifecycleRule rule;
    rule.id = textOr(node, "ID");
    const std::string status = requiredText(node, "Status", "Rule");
    if (status != "Enabled" && status != "Disabled")
        fail("Rule has Status " + quoted(status));
    rule.enabled = status == "Enabled";
    readFilter(node, rule);
    const pugi::xml_node expiration = child(node, "Expiration");
    rule.expirationDays = optionalInt32(expiration, "Days", "Expiration");
    rule.expirationDate = textOr(expiration, "Date");
    rule.expiredObjectDeleteMarker =
        child(expiration, "ExpiredObjectDeleteMarker") &&
        requiredFlag(expiration, "ExpiredObjectDeleteMarker", "Expiration");
    rule.noncurrentExpirationDays = optionalInt32(child(node, "NoncurrentVersionExpiration"),
                                                  "NoncurrentDays", "NoncurrentVersionExpiration");
    rule.abortIncompleteUploadDays =
        optionalInt32(child(node, "AbortIncompleteMultipartUpload"), "DaysAfterInitiation",
                      "AbortIncompleteMultipartUpload");
    rule.transitions = readTransitions(node, "Transition", "Days");
    rule.noncurrentTransitions =
        readTransitions(node, "NoncurrentVersionTransition", "NoncurrentDays");
    return rule;
}

// In the order AWS's schema gives the elements of a rule.
void writeRule(Writer& writer, const S3LifecycleRule& rule) {
    writer.open("Rule");
    if (rule.expirationDays || !rule.expirationDate.empty() || rule.expiredObjectDeleteMarker) {
        writer.open("Expiration");
        if (rule.expirationDays)
            writer.element("Days", count(*rule.expirationDays));
        if (!rule.expirationDate.empty())
            writer.element("Date", rule.expirationDate);
        if (rule.expiredObjectDeleteMarker)
            writer.element("ExpiredObjectDeleteMarker", "true");
        writer.close();
    }
    if (!rule.id.empty())
        writer.element("ID", rule.id);
    writeFilter(writer, rule);
    writer.element("Status", rule.enabled ? "Enabled" : "Disabled");
    writeTransitions(writer, rule.transitions, "Transition", "Days");
    writeTransitions(writer, rule.noncurrentTransitions, "NoncurrentVersionTransition",
                     "NoncurrentDays");
    if (rule.noncurrentExpirationDays)
        writer.open("NoncurrentVersionExpiration")
            .element("NoncurrentDays", count(*rule.noncurrentExpirationDays))
            .close();
    if (rule.abortIncompleteUploadDays)
        writer.open("AbortIncompleteMultipartUpload")
            .element("DaysAfterInitiation", count(*rule.abortIncompleteUploadDays))
            .close();
    writer.close();
}

StringList texts(pugi::xml_node parent, std::string_view name) {
    StringList out;
    forEachChild(parent, name, [&](pugi::xml_node node) { out.push_back(textOf(node)); });
    return out;
}

void writeTexts(Writer& writer, std::string_view name, const StringList& values) {
    for (const auto& value : values)
        writer.element(name, value);
}

}  // namespace

Parsed<std::string> parseVersioning(std::string_view xml) {
    return parse<std::string>(xml, "VersioningConfiguration",
                              [](pugi::xml_node root) { return textOr(root, "Status"); });
}

Parsed<StringMap> parseTagging(std::string_view xml) {
    return parse<StringMap>(xml, "Tagging",
                            [](pugi::xml_node root) { return readTags(child(root, "TagSet")); });
}

Parsed<S3LifecycleConfiguration> parseLifecycle(std::string_view xml) {
    return parse<S3LifecycleConfiguration>(xml, "LifecycleConfiguration", [](pugi::xml_node root) {
        S3LifecycleConfiguration configuration;
        forEachChild(root, "Rule",
                     [&](pugi::xml_node rule) { configuration.rules.push_back(readRule(rule)); });
        return configuration;
    });
}

Parsed<S3CorsConfiguration> parseCors(std::string_view xml) {
    return parse<S3CorsConfiguration>(xml, "CORSConfiguration", [](pugi::xml_node root) {
        S3CorsConfiguration configuration;
        forEachChild(root, "CORSRule", [&](pugi::xml_node rule) {
            configuration.rules.push_back(
                {.id = textOr(rule, "ID"),
                 .allowedMethods = texts(rule, "AllowedMethod"),
                 .allowedOrigins = texts(rule, "AllowedOrigin"),
                 .allowedHeaders = texts(rule, "AllowedHeader"),
                 .exposeHeaders = texts(rule, "ExposeHeader"),
                 .maxAgeSeconds = optionalInt32(rule, "MaxAgeSeconds", "CORSRule")});
        });
        return configuration;
    });
}

Parsed<S3ObjectLockConfiguration> parseObjectLock(std::string_view xml) {
    return parse<S3ObjectLockConfiguration>(
        xml, "ObjectLockConfiguration", [](pugi::xml_node root) {
            const pugi::xml_node retention = child(child(root, "Rule"), "DefaultRetention");
            return S3ObjectLockConfiguration{
                .enabled = textOr(root, "ObjectLockEnabled") == "Enabled",
                .mode = textOr(retention, "Mode"),
                .days = optionalInt32(retention, "Days", "DefaultRetention"),
                .years = optionalInt32(retention, "Years", "DefaultRetention")};
        });
}

Parsed<S3Retention> parseRetention(std::string_view xml) {
    return parse<S3Retention>(xml, "Retention", [](pugi::xml_node root) {
        return S3Retention{.mode = textOr(root, "Mode"),
                           .retainUntilDate = textOr(root, "RetainUntilDate")};
    });
}

Parsed<bool> parseLegalHold(std::string_view xml) {
    return parse<bool>(xml, "LegalHold", [](pugi::xml_node root) {
        const std::string status = requiredText(root, "Status", "LegalHold");
        if (status != "ON" && status != "OFF")
            fail("LegalHold has Status " + quoted(status));
        return status == "ON";
    });
}

std::string versioningBody(std::string_view status) {
    return Writer("VersioningConfiguration").element("Status", status).finish();
}

std::string taggingBody(const StringMap& tags) {
    Writer writer("Tagging");
    writer.open("TagSet");
    for (const auto& [key, value] : tags)
        writeTag(writer, key, value);
    return writer.finish();
}

std::string lifecycleBody(const S3LifecycleConfiguration& configuration) {
    Writer writer("LifecycleConfiguration");
    for (const auto& rule : configuration.rules)
        writeRule(writer, rule);
    return writer.finish();
}

std::string corsBody(const S3CorsConfiguration& configuration) {
    Writer writer("CORSConfiguration");
    for (const auto& rule : configuration.rules) {
        writer.open("CORSRule");
        if (!rule.id.empty())
            writer.element("ID", rule.id);
        writeTexts(writer, "AllowedHeader", rule.allowedHeaders);
        writeTexts(writer, "AllowedMethod", rule.allowedMethods);
        writeTexts(writer, "AllowedOrigin", rule.allowedOrigins);
        writeTexts(writer, "ExposeHeader", rule.exposeHeaders);
        if (rule.maxAgeSeconds)
            writer.element("MaxAgeSeconds", count(*rule.maxAgeSeconds));
        writer.close();
    }
    return writer.finish();
}

std::string objectLockBody(const S3ObjectLockConfiguration& configuration) {
    Writer writer("ObjectLockConfiguration");
    writer.element("ObjectLockEnabled", "Enabled");
    if (!configuration.mode.empty()) {
        writer.open("Rule").open("DefaultRetention").element("Mode", configuration.mode);
        if (configuration.days)
            writer.element("Days", count(*configuration.days));
        if (configuration.years)
            writer.element("Years", count(*configuration.years));
    }
    return writer.finish();
}

std::string retentionBody(const S3Retention& retention) {
    return Writer("Retention")
        .element("Mode", retention.mode)
        .element("RetainUntilDate", retention.retainUntilDate)
        .finish();
}

std::string legalHoldBody(bool on) {
    return Writer("LegalHold").element("Status", on ? "ON" : "OFF").finish();
}

}  // namespace quilo::detail
