// acl get|set, meta get|set and presign.
#include <algorithm>
#include <array>
#include <cctype>
#include <iomanip>
#include <iostream>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace {

// "NAME=VALUE" split at its first '='; throws UsageError when there is none or NAME is empty.
std::pair<std::string, std::string> splitAssignment(const std::string& text, const char* form) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError("'" + text + "' is not of the form " + form);
    }
    return {text.substr(0, equals), text.substr(equals + 1)};
}

void printAcl(const S3AccessControlPolicy& acl) {
    if (outputMode().json) {
        auto grants = nlohmann::ordered_json::array();
        for (const auto& grant : acl.grants) {
            grants.push_back({{"permission", grant.permission},
                              {"grantee", escaped(aclMapGrantee(grant.grantee))},
                              {"displayName", escaped(grant.grantee.displayName)}});
        }
        printJson(
            {{"owner",
              {{"id", escaped(acl.owner.id)}, {"displayName", escaped(acl.owner.displayName)}}},
             {"grants", grants}});
        return;
    }
    const auto row = [](const std::string& first, const std::string& grantee,
                        const std::string& displayName) {
        std::cout << std::left << std::setw(14) << escaped(first) << std::right << escaped(grantee);
        if (!displayName.empty()) {
            std::cout << "  (" << escaped(displayName) << ')';
        }
        std::cout << '\n';
    };
    row("OWNER", "id=" + acl.owner.id, acl.owner.displayName);
    for (const auto& grant : acl.grants) {
        row(grant.permission, aclMapGrantee(grant.grantee), grant.grantee.displayName);
    }
}

bool isNoise(std::string name) {
    // Transport and per-request headers say nothing about the bucket or object.
    static constexpr std::array<const char*, 8> noise = {
        "accept-ranges",     "connection",       "date",      "keep-alive", "server",
        "transfer-encoding", "x-amz-request-id", "x-amz-id-2"};
    for (auto& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char* header : noise) {
        if (name == header) {
            return true;
        }
    }
    // User metadata is shown from metadata().
    return name.starts_with("x-amz-meta-");
}

void printMeta(const S3Request& request) {
    auto headers = nlohmann::ordered_json::object();
    auto metadata = nlohmann::ordered_json::object();
    for (const auto& [name, value] : request.responseHeaders()) {
        if (isNoise(name)) {
            continue;
        }
        headers[escaped(name)] = escaped(value);
        if (!outputMode().json) {
            std::cout << escaped(name) << ": " << escaped(value) << '\n';
        }
    }
    for (const auto& [name, value] : request.metadata()) {
        metadata[escaped(name)] = escaped(value);
        if (!outputMode().json) {
            std::cout << "x-amz-meta-" << escaped(name) << ": " << escaped(value) << '\n';
        }
    }
    if (outputMode().json) {
        printJson({{"headers", headers}, {"metadata", metadata}});
    }
}

}  // namespace

int getAcl(const std::string& text) {
    const S3Url url = parseS3Url(text);
    Quilo& quilo = client();
    const auto show = [&](const auto& request) {
        if (!request) {
            return exitFailure;
        }
        if (!request->accessControlPolicy()) {
            printFailure("acl get " + text, "the answer held no access-control list");
            return exitFailure;
        }
        printAcl(*request->accessControlPolicy());
        return 0;
    };
    if (url.key.empty()) {
        return show(await<QuiloBucketRequest>(
            "acl get", text, [&](auto callbacks) { quilo.getBucketAcl(url.bucket, callbacks); }));
    }
    return show(await<QuiloObjectRquest>("acl get", text, [&](auto callbacks) {
        quilo.getObjectAcl({{"bucket", url.bucket}, {"key", url.key}}, callbacks);
    }));
}

int setAcl(const std::string& text, const std::vector<std::string>& grants) {
    static constexpr std::array<std::string_view, 5> permissions = {"READ", "WRITE", "READ_ACP",
                                                                    "WRITE_ACP", "FULL_CONTROL"};
    const S3Url url = parseS3Url(text);
    AclMap acl;
    for (const auto& grant : grants) {
        auto [permission, grantee] = splitAssignment(grant, "PERMISSION=GRANTEE");
        if (std::find(permissions.begin(), permissions.end(), permission) == permissions.end()) {
            throw UsageError("unknown permission '" + permission +
                             "': READ, WRITE, READ_ACP, WRITE_ACP or FULL_CONTROL");
        }
        acl[permission].push_back(std::move(grantee));
    }
    ValueMap param{{"acl", acl}, {"bucket", url.bucket}};
    Quilo& quilo = client();
    bool ok = false;
    if (url.key.empty()) {
        ok = await<QuiloBucketRequest>("acl set", text, [&](auto callbacks) {
                 quilo.setBucketAcl(param, callbacks);
             }) != nullptr;
    } else {
        param["key"] = url.key;
        ok = await<QuiloObjectRquest>("acl set", text, [&](auto callbacks) {
                 quilo.setObjectAcl(param, callbacks);
             }) != nullptr;
    }
    return reportDone(ok, "set_acl", url.text());
}

int getMeta(const std::string& text) {
    const S3Url url = parseS3Url(text);
    Quilo& quilo = client();
    std::shared_ptr<S3Request> request;
    if (url.key.empty()) {
        request = await<QuiloBucketRequest>(
            "meta get", text, [&](auto callbacks) { quilo.getBucketMeta(url.bucket, callbacks); });
    } else {
        request = await<QuiloObjectRquest>("meta get", text, [&](auto callbacks) {
            quilo.getObjectMeta({{"bucket", url.bucket}, {"key", url.key}}, callbacks);
        });
    }
    if (!request) {
        return exitFailure;
    }
    printMeta(*request);
    return 0;
}

int setMeta(const std::string& text, const std::vector<std::string>& entries) {
    const S3Url url = parseObjectUrl(text);
    StringMap meta;
    for (const auto& entry : entries) {
        auto [name, value] = splitAssignment(entry, "NAME=VALUE");
        meta[name] = std::move(value);
    }
    const ValueMap param{{"meta", meta}, {"bucket", url.bucket}, {"key", url.key}};
    Quilo& quilo = client();
    const auto request = await<QuiloObjectRquest>(
        "meta set", text, [&](auto callbacks) { quilo.setObjectMeta(param, callbacks); });
    return reportDone(request != nullptr, "set_meta", url.text());
}

int presign(const std::string& text, long expires, const std::string& method) {
    const S3Url url = parseObjectUrl(text);
    const auto link = client().presignedURL({{"bucket", url.bucket},
                                             {"key", url.key},
                                             {"method", method},
                                             {"expiresSeconds", std::to_string(expires)}});
    if (!link) {
        printFailure("presign " + text, "no URL could be signed: it needs keys");
        return exitFailure;
    }
    if (outputMode().json) {
        printJson({{"url", *link}});
    } else {
        std::cout << *link << '\n';
    }
    return 0;
}

}  // namespace quilo::cli
