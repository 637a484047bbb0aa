#include "requestlib/s3/S3Xml.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/XmlNodes.hpp"

namespace quilo::detail {

using namespace xml;

namespace {

ErrorDocument readError(pugi::xml_node root) {
    ErrorDocument error;
    error.code = requiredText(root, "Code", "Error");
    error.message = textOr(root, "Message");
    error.requestId = textOr(root, "RequestId");
    error.resource = textOr(root, "Resource");
    error.region = textOr(root, "Region");
    return error;
}

S3Grantee readGrantee(pugi::xml_node grantee, std::string_view where) {
    std::string_view type;
    bool typed = false;
    for (pugi::xml_attribute a = grantee.first_attribute(); a; a = a.next_attribute()) {
        if (localName(a.name()) == "type") {
            type = localName(a.value());
            typed = true;
        }
    }
    if (!typed) {
        fail(std::string(where) + " has a Grantee without xsi:type");
    }
    S3Grantee g;
    g.id = textOr(grantee, "ID");
    g.displayName = textOr(grantee, "DisplayName");
    g.uri = textOr(grantee, "URI");
    g.emailAddress = textOr(grantee, "EmailAddress");
    const auto need = [&](const std::string& field, const char* name) {
        if (field.empty()) {
            fail(std::string(where) + " has a " + std::string(type) + " Grantee without <" + name +
                 ">");
        }
    };
    if (type == "CanonicalUser") {
        g.type = S3Grantee::Type::canonicalUser;
        need(g.id, "ID");
    } else if (type == "Group") {
        g.type = S3Grantee::Type::group;
        need(g.uri, "URI");
    } else if (type == "AmazonCustomerByEmail") {
        g.type = S3Grantee::Type::email;
        need(g.emailAddress, "EmailAddress");
    } else {
        fail(std::string(where) + " has a Grantee of unknown type " + quoted(type));
    }
    return g;
}

bool isPermission(std::string_view p) {
    return std::find(S3Permissions.begin(), S3Permissions.end(), p) != S3Permissions.end();
}

// Guessing "false" could silently drop the rest of a listing.
bool readTruncated(pugi::xml_node root) {
    const auto truncated = optionalText(root, "IsTruncated");
    if (!truncated)
        fail(std::string(localName(root)) + " has no <IsTruncated>");
    const std::string_view flag = trimWhitespace(*truncated);
    if (flag != "true" && flag != "1" && flag != "false" && flag != "0")
        fail(std::string(localName(root)) + " has IsTruncated " + quoted(*truncated) +
             ", neither true nor false");
    return flag == "true" || flag == "1";
}

std::uint64_t readSize(pugi::xml_node entry, const std::string& where) {
    const std::string size = requiredText(entry, "Size", where);
    const auto parsed = decimalUint64(size);
    if (!parsed)
        fail(where + " has Size " + quoted(size) + ", not a decimal unsigned 64-bit integer");
    return *parsed;
}

// What a listed object and a listed version have alike.
template <class Entry>
void readListed(pugi::xml_node node, Entry& entry) {
    entry.etag = unquoteETag(textOr(node, "ETag"));
    entry.lastModified = textOr(node, "LastModified");
    entry.storageClass = textOr(node, "StorageClass");
    if (const pugi::xml_node owner = child(node, "Owner"))
        entry.owner = readOwner(owner);
}

std::vector<std::string> readCommonPrefixes(pugi::xml_node root) {
    std::vector<std::string> prefixes;
    forEachChild(root, "CommonPrefixes", [&](pugi::xml_node entry) {
        const std::size_t before = prefixes.size();
        forEachChild(entry, "Prefix", [&](pugi::xml_node p) { prefixes.push_back(textOf(p)); });
        if (prefixes.size() == before)
            fail("CommonPrefixes without <Prefix>");
    });
    return prefixes;
}

// Where the next page starts: always the page's last key or common prefix. A service that
// encodes the names may still send this raw (RGW does), so a raw marker that names the page's
// end is taken as it is.
std::string pageMarker(const std::string& marker, bool encoded, const std::string& lastKey,
                       const std::vector<std::string>& prefixes) {
    const auto endsPage = [&](const std::string& name) {
        return name == lastKey || (!prefixes.empty() && name == prefixes.back());
    };
    if (!encoded || (endsPage(marker) && !endsPage(percentDecode(marker, true))))
        return marker;
    return percentDecode(marker, true);
}

// A listing asked for with encoding-type=url, answered so, has its names form-encoded, so that a
// key holding CR or LF survives the XML; they are decoded in place. A server that ignores the
// request sends them as they are, and a '%' in them must then stay. Gives where the next page
// starts, from the marker under `markerName`.
template <class Entry>
std::string decodeNames(pugi::xml_node root, std::vector<Entry>& entries,
                        std::vector<std::string>& prefixes, std::string_view markerName) {
    const bool encoded = trimWhitespace(textOr(root, "EncodingType")) == "url";
    if (encoded) {
        for (auto& entry : entries)
            entry.key = percentDecode(entry.key, true);
        for (auto& prefix : prefixes)
            prefix = percentDecode(prefix, true);
    }
    return pageMarker(textOr(root, markerName), encoded, entries.empty() ? "" : entries.back().key,
                      prefixes);
}

}  // namespace

Parsed<ErrorDocument> parseErrorDocument(std::string_view xml) {
    return parse<ErrorDocument>(xml, "Error", readError);
}

Parsed<BucketList> parseBucketList(std::string_view xml) {
    return parse<BucketList>(xml, "ListAllMyBucketsResult", [](pugi::xml_node root) {
        BucketList list;
        if (const pugi::xml_node owner = child(root, "Owner")) {
            list.owner = readOwner(owner);
        }
        forEachChild(child(root, "Buckets"), "Bucket", [&](pugi::xml_node bucket) {
            const std::string where = "Bucket #" + std::to_string(list.buckets.size() + 1);
            S3Bucket b;
            b.name = requiredText(bucket, "Name", where);
            b.creationDate = textOr(bucket, "CreationDate");
            list.buckets.push_back(std::move(b));
        });
        return list;
    });
}

Parsed<ObjectList> parseObjectList(std::string_view xml) {
    return parse<ObjectList>(xml, "ListBucketResult", [](pugi::xml_node root) {
        ObjectList list;
        list.isTruncated = readTruncated(root);
        forEachChild(root, "Contents", [&](pugi::xml_node contents) {
            const std::string where = "Contents #" + std::to_string(list.objects.size() + 1);
            S3Object o;
            o.key = requiredText(contents, "Key", where);
            o.size = readSize(contents, where + " (key " + quoted(o.key) + ")");
            readListed(contents, o);
            list.objects.push_back(std::move(o));
        });
        list.commonPrefixes = readCommonPrefixes(root);
        list.nextMarker = decodeNames(root, list.objects, list.commonPrefixes, "NextMarker");
        list.nextContinuationToken = textOr(root, "NextContinuationToken");
        return list;
    });
}

Parsed<VersionList> parseVersionList(std::string_view xml) {
    return parse<VersionList>(xml, "ListVersionsResult", [](pugi::xml_node root) {
        VersionList list;
        list.isTruncated = readTruncated(root);
        // Versions and markers interleave in the order of their keys, newest first.
        for (pugi::xml_node entry = root.first_child(); entry; entry = entry.next_sibling()) {
            const bool marker = localName(entry) == "DeleteMarker";
            if (entry.type() != pugi::node_element || (!marker && localName(entry) != "Version"))
                continue;
            const std::string where = "Version #" + std::to_string(list.versions.size() + 1);
            S3ObjectVersion v{.key = requiredText(entry, "Key", where),
                              .versionId = requiredText(entry, "VersionId", where),
                              .isLatest = requiredFlag(entry, "IsLatest", where),
                              .isDeleteMarker = marker};
            v.size = marker ? 0 : readSize(entry, where);
            readListed(entry, v);
            list.versions.push_back(std::move(v));
        }
        list.commonPrefixes = readCommonPrefixes(root);
        list.nextKeyMarker = decodeNames(root, list.versions, list.commonPrefixes, "NextKeyMarker");
        list.nextVersionIdMarker = textOr(root, "NextVersionIdMarker");
        return list;
    });
}

Parsed<UploadList> parseUploadList(std::string_view xml) {
    return parse<UploadList>(xml, "ListMultipartUploadsResult", [](pugi::xml_node root) {
        UploadList list;
        list.isTruncated = readTruncated(root);
        forEachChild(root, "Upload", [&](pugi::xml_node entry) {
            const std::string where = "Upload #" + std::to_string(list.uploads.size() + 1);
            S3MultipartUpload u{.key = requiredText(entry, "Key", where),
                                .uploadId = requiredText(entry, "UploadId", where),
                                .initiated = textOr(entry, "Initiated"),
                                .storageClass = textOr(entry, "StorageClass")};
            if (const pugi::xml_node owner = child(entry, "Owner"))
                u.owner = readOwner(owner);
            list.uploads.push_back(std::move(u));
        });
        list.commonPrefixes = readCommonPrefixes(root);
        list.nextKeyMarker = textOr(root, "NextKeyMarker");
        list.nextUploadIdMarker = textOr(root, "NextUploadIdMarker");
        return list;
    });
}

Parsed<PartList> parsePartList(std::string_view xml, std::int32_t after) {
    return parse<PartList>(xml, "ListPartsResult", [after](pugi::xml_node root) {
        PartList list;
        list.isTruncated = readTruncated(root);
        forEachChild(root, "Part", [&](pugi::xml_node entry) {
            const std::string where = "Part #" + std::to_string(list.parts.size() + 1);
            const auto number = optionalInt32(entry, "PartNumber", where);
            if (!number)
                fail(where + " has no <PartNumber>");
            list.parts.push_back({.number = *number,
                                  .size = readSize(entry, where),
                                  .etag = unquoteETag(requiredText(entry, "ETag", where)),
                                  .lastModified = textOr(entry, "LastModified")});
        });
        list.nextPartNumberMarker = optionalInt32(root, "NextPartNumberMarker", "ListPartsResult");
        // A page that does not go on past `after` would have the parts listed for ever.
        const auto& parts = list.parts;
        if (!parts.empty() && parts.front().number <= after)
            fail("it goes back to part " + std::to_string(parts.front().number) + " from part " +
                 std::to_string(after));
        if (list.isTruncated && list.nextPartNumberMarker.value_or(0) <= after)
            fail("it is truncated but does not go on past part " + std::to_string(after));
        return list;
    });
}

Parsed<S3AccessControlPolicy> parseAccessControlPolicy(std::string_view xml) {
    return parse<S3AccessControlPolicy>(xml, "AccessControlPolicy", [](pugi::xml_node root) {
        S3AccessControlPolicy policy;
        const pugi::xml_node owner = child(root, "Owner");
        if (!owner) {
            fail("AccessControlPolicy has no <Owner>");
        }
        policy.owner = readOwner(owner);
        if (policy.owner.id.empty()) {
            fail("AccessControlPolicy has an Owner without <ID>");
        }
        const pugi::xml_node acl = child(root, "AccessControlList");
        if (!acl) {
            fail("AccessControlPolicy has no <AccessControlList>");
        }
        forEachChild(acl, "Grant", [&](pugi::xml_node grant) {
            const std::string where = "Grant #" + std::to_string(policy.grants.size() + 1);
            const pugi::xml_node grantee = child(grant, "Grantee");
            if (!grantee) {
                fail(where + " has no <Grantee>");
            }
            S3Grant g;
            g.grantee = readGrantee(grantee, where);
            g.permission = requiredText(grant, "Permission", where);
            if (!isPermission(g.permission)) {
                fail(where + " has unknown Permission " + quoted(g.permission));
            }
            policy.grants.push_back(std::move(g));
        });
        return policy;
    });
}

Parsed<std::string> parseInitiateMultipartUpload(std::string_view xml) {
    return parse<std::string>(xml, "InitiateMultipartUploadResult", [](pugi::xml_node root) {
        return requiredText(root, "UploadId", "InitiateMultipartUploadResult");
    });
}

Parsed<std::string> parseCompleteMultipartUpload(std::string_view xml) {
    // Ceph RGW answers with an empty <ETag>; the element alone marks a completed upload.
    return parse<std::string>(xml, "CompleteMultipartUploadResult", [](pugi::xml_node root) {
        return unquoteETag(textOr(root, "ETag"));
    });
}

Parsed<CopyResult> parseCopyObjectResult(std::string_view xml) {
    return parse<CopyResult>(xml, "CopyObjectResult", [](pugi::xml_node root) {
        CopyResult copy;
        copy.etag = unquoteETag(requiredText(root, "ETag", "CopyObjectResult"));
        copy.lastModified = textOr(root, "LastModified");
        return copy;
    });
}

Parsed<std::string> parseCopyPartResult(std::string_view xml) {
    return parse<std::string>(xml, "CopyPartResult", [](pugi::xml_node root) {
        return unquoteETag(requiredText(root, "ETag", "CopyPartResult"));
    });
}

Parsed<std::vector<S3DeleteFailure>> parseDeleteResult(std::string_view xml) {
    return parse<std::vector<S3DeleteFailure>>(xml, "DeleteResult", [](pugi::xml_node root) {
        std::vector<S3DeleteFailure> failures;
        forEachChild(root, "Error", [&](pugi::xml_node error) {
            const std::string where = "Error #" + std::to_string(failures.size() + 1);
            failures.push_back({requiredText(error, "Key", where),
                                requiredText(error, "Code", where), textOr(error, "Message")});
        });
        return failures;
    });
}

std::string createBucketBody(std::string_view region) {
    // us-east-1 is the one region that must not be named.
    if (region == "us-east-1")
        return {};
    return std::string("<CreateBucketConfiguration><LocationConstraint>")
        .append(escaped(region))
        .append("</LocationConstraint></CreateBucketConfiguration>");
}

std::string completeMultipartUploadBody(const std::vector<std::pair<int, std::string>>& parts) {
    std::string body = "<CompleteMultipartUpload>";
    for (const auto& [number, etag] : parts) {
        body += "<Part><PartNumber>";
        body += std::to_string(number);
        body += "</PartNumber><ETag>\"";
        // Callers may hand over the ETag with or without its quotes.
        body += escaped(unquoteETag(etag));
        body += "\"</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    return body;
}

std::string deleteObjectsBody(const std::vector<std::string>& keys) {
    std::string body = "<Delete><Quiet>true</Quiet>";
    for (const auto& key : keys) {
        body += "<Object><Key>";
        body += escaped(key);
        body += "</Key></Object>";
    }
    body += "</Delete>";
    return body;
}

bool isXmlText(std::string_view text) noexcept {
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r')
                return false;
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || lead > 0xF4 || text.size() - i < length)
            return false;
        char32_t code = lead & (0x3Fu >> (length - 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and the two non-characters XML leaves out.
        if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
            code == 0xFFFE || code == 0xFFFF)
            return false;
        i += length;
    }
    return true;
}

}  // namespace quilo::detail
