// ls of a bucket (one level, every key, or every version), du and stat.
#include <charconv>
#include <cstdio>
#include <iomanip>
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

using Json = nlohmann::ordered_json;

// Sizes as awscli's --human-readable writes them: "1 Byte", "512 Bytes", "1.5 KiB".
std::string sizeText(std::uint64_t bytes, bool human) {
    if (!human) {
        return std::to_string(bytes);
    }
    return bytes >= 1024 ? humanBytes(bytes)
                         : std::to_string(bytes) + (bytes == 1 ? " Byte" : " Bytes");
}

// One listing as it is printed: its lines as the pages come, or one JSON document at the end.
class Listing {
  public:
    Listing(const S3Url& url, const ListOptions& options)
        : options_(options),
          // One level down, names are shown from the prefix's last '/' on, as awscli has them.
          cut_(options.recursive ? 0 : url.key.rfind('/') + 1) {}

    // `column`, when given, goes between the size and the name.
    void line(std::string_view date, const std::string& size, const std::string& name,
              const std::string& column = {}) const {
        std::cout << std::setw(19) << std::left << shortDate(date) << std::right << "  "
                  << std::setw(12) << size << "  ";
        if (!column.empty()) {
            std::cout << std::setw(32) << std::left << escaped(column) << std::right << "  ";
        }
        std::cout << escaped(name.substr(cut_)) << '\n';
    }
    void prefixes(const QuiloBucketRequest& page) {
        for (const auto& prefix : page.commonPrefixes()) {
            // s3rver gives a prefix again on the page after the one that ended inside it.
            if (!lastPrefix_.empty() && prefix <= lastPrefix_) {
                continue;
            }
            lastPrefix_ = prefix;
            if (outputMode().json) {
                prefixes_.push_back(escaped(prefix));
            } else {
                std::cout << std::setw(33) << "PRE"
                          << "  " << escaped(prefix.substr(cut_)) << '\n';
            }
        }
    }
    void object(const S3Object& object) {
        count(object.size);
        if (outputMode().json) {
            document_.add({{"key", escaped(object.key)},
                           {"size", object.size},
                           {"lastModified", escaped(object.lastModified)},
                           {"etag", escaped(object.etag)},
                           {"storageClass", escaped(object.storageClass)}});
        } else {
            line(object.lastModified, sizeText(object.size, options_.human), object.key);
        }
    }
    void version(const S3ObjectVersion& version) {
        count(version.size);
        if (outputMode().json) {
            document_.add({{"key", escaped(version.key)},
                           {"versionId", escaped(version.versionId)},
                           {"isLatest", version.isLatest},
                           {"isDeleteMarker", version.isDeleteMarker},
                           {"size", version.size},
                           {"lastModified", escaped(version.lastModified)},
                           {"etag", escaped(version.etag)}});
            return;
        }
        const std::string size =
            version.isDeleteMarker ? "(deleted)" : sizeText(version.size, options_.human);
        line(version.lastModified, size, version.key + (version.isLatest ? "  (latest)" : ""),
             version.versionId);
    }
    void finish() {
        if (outputMode().json) {
            Json rest{{"prefixes", std::move(prefixes_)}};
            if (options_.summarize) {
                rest["totalObjects"] = objects_;
                rest["totalSize"] = bytes_;
            }
            document_.close(rest);
        } else if (options_.summarize) {
            std::cout << "\nTotal Objects: " << objects_
                      << "\n   Total Size: " << sizeText(bytes_, options_.human) << '\n';
        }
    }

  private:
    void count(std::uint64_t size) {
        ++objects_;
        bytes_ += size;
    }

    std::string lastPrefix_{};
    const ListOptions& options_;
    std::size_t cut_;
    std::uint64_t objects_ = 0, bytes_ = 0;
    Json prefixes_ = Json::array();  // few beside the entries, and given on every page
    // A listing that fails leaves its document unclosed: no reader takes a part for the whole.
    StreamedDocument document_{Json::object(), options_.versions ? "versions" : "objects"};
};

bool listVersions(const S3Url& url, const std::string& delimiter, Listing& listing) {
    const ValueMap param{{"bucket", url.bucket}, {"prefix", url.key}, {"delimiter", delimiter}};
    return forEachListed(
        url, param,
        [](Quilo& quilo, const ValueMap& p, auto callbacks) {
            quilo.listObjectVersions(p, callbacks);
        },
        [&](const QuiloBucketRequest& page) {
            listing.prefixes(page);
            for (const auto& version : page.versions()) {
                listing.version(version);
            }
        },
        [](const QuiloBucketRequest& page, ValueMap& p) {
            advance(p, "keyMarker", page.nextMarker());
            advance(p, "versionIdMarker", page.nextVersionIdMarker());
        });
}

std::uint64_t contentLength(const std::string& text) {
    std::uint64_t size = 0;
    std::from_chars(text.data(), text.data() + text.size(), size);
    return size;
}

}  // namespace

int listObjects(const std::string& text, const ListOptions& options) {
    const S3Url url = parseS3Url(text);
    const std::string delimiter = options.recursive ? "" : options.delimiter;
    Listing listing(url, options);
    const bool ok = options.versions
                        ? listVersions(url, delimiter, listing)
                        : forEachPage(url, delimiter, options.pageSize, [&](const auto& page) {
                              listing.prefixes(page);
                              for (const auto& object : page.objects()) {
                                  listing.object(object);
                              }
                          });
    if (!ok) {
        return exitFailure;
    }
    listing.finish();
    return 0;
}

int diskUsage(const std::string& text, bool human) {
    const S3Url url = parseS3Url(text);
    std::uint64_t objects = 0, bytes = 0;
    if (!forEachPage(url, "", 1000, [&](const auto& page) {
            for (const auto& object : page.objects()) {
                ++objects;
                bytes += object.size;
            }
        })) {
        return exitFailure;
    }
    if (outputMode().json) {
        printJson({{"url", escaped(url.text())}, {"objects", objects}, {"size", bytes}});
    } else {
        std::cout << sizeText(bytes, human) << '\t' << objects << " objects\t"
                  << escaped(url.text()) << '\n';
    }
    return 0;
}

int stat(const std::string& text, const StringMap& read) {
    // What a HEAD says of an object, by the names people and scripts know them by.
    static constexpr std::array<std::array<const char*, 3>, 14> fields = {{
        {"Content-Type", "contentType", "Content-Type"},
        {"Last-Modified", "lastModified", "Last-Modified"},
        {"Storage-Class", "storageClass", "x-amz-storage-class"},
        {"Encryption", "encryption", "x-amz-server-side-encryption"},
        {"KMS-Key-Id", "kmsKeyId", "x-amz-server-side-encryption-aws-kms-key-id"},
        {"SSE-C", "sseCustomerAlgorithm", "x-amz-server-side-encryption-customer-algorithm"},
        {"Version-Id", "versionId", "x-amz-version-id"},
        {"Cache-Control", "cacheControl", "Cache-Control"},
        {"Content-Disposition", "contentDisposition", "Content-Disposition"},
        {"Content-Encoding", "contentEncoding", "Content-Encoding"},
        {"Content-Language", "contentLanguage", "Content-Language"},
        {"Expires", "expires", "Expires"},
        {"Tags", "tagCount", "x-amz-tagging-count"},
        {"Lock-Mode", "lockMode", "x-amz-object-lock-mode"},
    }};
    const S3Url url = parseObjectUrl(text);
    Quilo& quilo = client();
    const auto head = await<QuiloObjectRquest>("stat", text, [&](auto callbacks) {
        quilo.getObjectMeta(objectParam(url, read), callbacks);
    });
    if (!head) {
        return exitFailure;
    }
    const auto& headers = head->responseHeaders();
    const auto length = headers.find("Content-Length");
    Json document{{"url", escaped(url.text())},
                  {"size", length == headers.end() ? Json() : Json(contentLength(length->second))},
                  {"etag", escaped(head->etag())}};
    for (const auto& [label, name, header] : fields) {
        if (const auto found = headers.find(header); found != headers.end()) {
            document[name] = escaped(found->second);
        }
    }
    // Services leave the header out for the standard class.
    document.emplace("storageClass", "STANDARD");
    document["metadata"] = Json::object();
    for (const auto& [name, value] : head->metadata()) {
        document["metadata"][escaped(name)] = escaped(value);
    }
    if (outputMode().json) {
        printJson(document);
        return 0;
    }
    const auto row = [](std::string_view label, const Json& value) {
        std::cout << std::setw(21) << std::left << std::string(label) + ":" << std::right
                  << (value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
    };
    row("URL", document["url"]);
    row("Size", document["size"]);
    row("ETag", document["etag"]);
    for (const auto& [label, name, header] : fields) {
        if (document.contains(name)) {
            row(label, document[name]);
        }
    }
    for (const auto& [name, value] : document["metadata"].items()) {
        row("Metadata " + name, value);
    }
    return 0;
}

}  // namespace quilo::cli
