// versioning, tag and mpu: the versions, tags and uploads left behind of a bucket.
#include <chrono>
#include <iostream>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Listings.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"
#include "Tree.hpp"

namespace quilo::cli {

namespace {

void printTags(const StringMap& tags) {
    if (outputMode().json) {
        auto document = nlohmann::ordered_json::object();
        for (const auto& [name, value] : tags) {
            document[escaped(name)] = escaped(value);
        }
        printJson({{"tags", document}});
        return;
    }
    for (const auto& [name, value] : tags) {
        std::cout << escaped(name) << '=' << escaped(value) << '\n';
    }
}

// "1d", "12h", "30m", "90s", "2w" as seconds; throws UsageError when it is none of these.
std::chrono::seconds parseAge(const std::string& text) {
    static const std::map<char, long> unit = {
        {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}};
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 9 || digits + 1 != text.size() || !unit.contains(text.back())) {
        throw UsageError("'" + text + "' is not an age such as 90s, 30m, 12h, 1d or 2w");
    }
    return std::chrono::seconds(std::stol(text.substr(0, digits)) * unit.at(text.back()));
}

// Every upload in progress below `url`'s key, from all the pages.
std::optional<std::vector<S3MultipartUpload>> uploadsBelow(const S3Url& url) {
    std::vector<S3MultipartUpload> uploads;
    const bool ok = forEachListed(
        url, {{"bucket", url.bucket}, {"prefix", url.key}},
        [](Quilo& quilo, const ValueMap& p, auto callbacks) {
            quilo.listMultipartUploads(p, callbacks);
        },
        [&](const QuiloBucketRequest& page) {
            uploads.insert(uploads.end(), page.uploads().begin(), page.uploads().end());
        },
        [](const QuiloBucketRequest& page, ValueMap& p) {
            advance(p, "keyMarker", page.nextMarker());
            advance(p, "uploadIdMarker", page.nextUploadIdMarker());
        });
    return ok ? std::optional(std::move(uploads)) : std::nullopt;
}

// Aborts the uploads at once; one line for each one gone.
int abortAll(const std::string& bucket, const std::vector<S3MultipartUpload>& uploads) {
    Quilo& quilo = client();
    Batch batch;
    for (const auto& upload : uploads) {
        batch.add("abort", {S3Url{bucket, upload.key}.text() + " " + upload.uploadId});
    }
    batch.startAll(
        [&](std::size_t i) {
            quilo.abortMultipartUpload(
                {{"bucket", bucket}, {"key", uploads[i].key}, {"uploadId", uploads[i].uploadId}},
                batch.callbacks<QuiloObjectRquest>(i));
            return std::optional<std::string>();
        },
        2 * static_cast<std::size_t>(jobs()));
    Summary summary;
    const bool ok = batch.wait(
        [&](std::size_t, const Batch::Item& item) {
            if (item.ok) {
                summary.done("abort", item.subjects.front());
            }
        },
        nullptr, &summary);
    summary.finish();
    return ok ? 0 : exitFailure;
}

}  // namespace

int versioning(const std::string& action, const std::string& text) {
    const S3Url url = parseBucketUrl(text);
    Quilo& quilo = client();
    if (action != "status") {
        const ValueMap param{{"bucket", url.bucket},
                             {"status", action == "enable" ? "Enabled" : "Suspended"}};
        return reportDone(await<QuiloBucketRequest>("versioning " + action, text,
                                                    [&](auto callbacks) {
                                                        quilo.setBucketVersioning(param, callbacks);
                                                    }) != nullptr,
                          "versioning " + action, url.text());
    }
    const auto got = await<QuiloBucketRequest>("versioning status", text, [&](auto callbacks) {
        quilo.getBucketVersioning(url.bucket, callbacks);
    });
    if (!got) {
        return exitFailure;
    }
    // A bucket never versioned says nothing; awscli users know that as no Status at all.
    const std::string status =
        got->versioningStatus().empty() ? "Unversioned" : escaped(got->versioningStatus());
    if (outputMode().json) {
        printJson({{"status", status}});
    } else {
        std::cout << status << '\n';
    }
    return 0;
}

int tag(const std::string& action, const std::string& text, const std::string& versionId,
        const std::vector<std::string>& pairs) {
    const S3Url url = parseS3Url(text);
    const bool bucket = url.key.empty();
    if (bucket && !versionId.empty()) {
        throw UsageError("--version-id names a version of an object, not of a bucket");
    }
    StringMap tags;
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) {
            throw UsageError("'" + pair + "' is not of the form KEY=VALUE");
        }
        tags[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    ValueMap param{{"bucket", url.bucket}};
    StringMap object{{"bucket", url.bucket}, {"key", url.key}};
    if (!versionId.empty()) {
        param["versionId"] = object["versionId"] = versionId;
    }
    Quilo& quilo = client();
    const std::string what = "tag " + action;
    if (action == "get") {
        const auto show = [](const auto& request) {
            return request ? (printTags(request->tags()), 0) : exitFailure;
        };
        return bucket ? show(await<QuiloBucketRequest>(
                            what, text,
                            [&](auto callbacks) { quilo.getBucketTagging(url.bucket, callbacks); }))
                      : show(await<QuiloObjectRquest>(what, text, [&](auto callbacks) {
                            quilo.getObjectTagging(object, callbacks);
                        }));
    }
    bool ok = false;
    if (action == "set" && bucket) {
        param["tags"] = tags;
        ok = await<QuiloBucketRequest>(what, text, [&](auto callbacks) {
                 quilo.setBucketTagging(param, callbacks);
             }) != nullptr;
    } else if (action == "set") {
        param["key"] = url.key;
        param["tags"] = tags;
        ok = await<QuiloObjectRquest>(what, text, [&](auto callbacks) {
                 quilo.setObjectTagging(param, callbacks);
             }) != nullptr;
    } else if (bucket) {
        ok = await<QuiloBucketRequest>(what, text, [&](auto callbacks) {
                 quilo.deleteBucketTagging(url.bucket, callbacks);
             }) != nullptr;
    } else {
        ok = await<QuiloObjectRquest>(what, text, [&](auto callbacks) {
                 quilo.deleteObjectTagging(object, callbacks);
             }) != nullptr;
    }
    return reportDone(ok, action == "set" ? "tag" : "untag", url.text());
}

int listUploads(const std::string& text) {
    const S3Url url = parseS3Url(text);
    const auto uploads = uploadsBelow(url);
    if (!uploads) {
        return exitFailure;
    }
    auto document = nlohmann::ordered_json::array();
    for (const auto& upload : *uploads) {
        if (outputMode().json) {
            document.push_back({{"key", escaped(upload.key)},
                                {"uploadId", escaped(upload.uploadId)},
                                {"initiated", escaped(upload.initiated)}});
        } else {
            std::cout << shortDate(upload.initiated) << "  " << escaped(upload.uploadId) << "  "
                      << escaped(upload.key) << '\n';
        }
    }
    if (outputMode().json) {
        printJson({{"uploads", document}});
    }
    return 0;
}

int abortUploads(const std::vector<std::string>& arguments, bool all,
                 const std::string& olderThan) {
    if (!all) {
        if (arguments.size() != 2 || !olderThan.empty()) {
            throw UsageError(
                "mpu abort takes s3://bucket/key UPLOADID, or --all s3://bucket[/prefix]");
        }
        const S3Url url = parseObjectUrl(arguments[0]);
        return abortAll(url.bucket, {{.key = url.key, .uploadId = arguments[1]}});
    }
    if (arguments.size() != 1) {
        throw UsageError("mpu abort --all takes one s3://bucket[/prefix]");
    }
    const S3Url url = parseS3Url(arguments[0]);
    const auto age = olderThan.empty() ? std::chrono::seconds(0) : parseAge(olderThan);
    const auto uploads = uploadsBelow(url);
    if (!uploads) {
        return exitFailure;
    }
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::vector<S3MultipartUpload> old;
    for (const auto& upload : *uploads) {
        // An upload whose time cannot be read is not known to be old: it stays.
        const auto initiated = parseTimestamp(upload.initiated);
        if (age.count() == 0 || (initiated && now.count() - *initiated >= age.count() * 1000)) {
            old.push_back(upload);
        }
    }
    return abortAll(url.bucket, old);
}

}  // namespace quilo::cli
