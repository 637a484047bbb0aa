#include "requestlib/s3/S3Headers.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "quilo/requestlib/s3/S3Types.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/encoding/UriEncoding.hpp"

namespace quilo::detail {
namespace {

// "x-amz-grant-read-acp" for "READ_ACP".
std::string grantHeaderName(std::string_view permission) {
    std::string name = "x-amz-grant-";
    name += toLower(permission);
    std::replace(name.begin(), name.end(), '_', '-');
    return name;
}

constexpr std::array<std::string_view, 6> kEntityHeaders{
    "Content-Type",     "Cache-Control",    "Content-Disposition",
    "Content-Encoding", "Content-Language", "Expires",
};

// The standard header `name` spells, in any case, as kEntityHeaders writes it; empty if none.
std::string_view entityHeader(std::string_view name) {
    const auto found =
        std::find_if(kEntityHeaders.begin(), kEntityHeaders.end(),
                     [name](std::string_view known) { return equalsIgnoringCase(known, name); });
    return found == kEntityHeaders.end() ? std::string_view() : *found;
}

// `id="..."` for "id=...", keeping the grantee's own spelling of its kind.
std::optional<std::string> granteeValue(std::string_view grantee) {
    for (std::string_view kind : {"id", "emailAddress", "uri"}) {
        if (grantee.size() > kind.size() + 1 && grantee.substr(0, kind.size()) == kind &&
            grantee[kind.size()] == '=') {
            std::string_view value = grantee.substr(kind.size() + 1);
            // The value is quoted and grantees are comma-separated: neither may be escaped.
            if (value.find_first_of(std::string_view("\"\r\n\0,", 5)) != std::string_view::npos)
                return std::nullopt;
            return std::string(kind) + "=\"" + std::string(value) + "\"";
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Error> grantHeaders(const AclMap& acl, HeaderList& out) {
    for (const auto& [permission, grantees] : acl) {
        if (std::find(S3Permissions.begin(), S3Permissions.end(), permission) ==
            S3Permissions.end())
            return misuse(Code::InvalidPermission,
                          "\"" + permission +
                              "\" is not one of READ, WRITE, READ_ACP, WRITE_ACP, FULL_CONTROL");
        std::string value;
        for (const auto& grantee : grantees) {
            auto rendered = granteeValue(grantee);
            if (!rendered)
                return misuse(Code::InvalidGrantee,
                              "\"" + grantee + "\" is not id=..., emailAddress=... or uri=...");
            if (!value.empty())
                value += ", ";
            value += *rendered;
        }
        out.emplace_back(grantHeaderName(permission), std::move(value));
    }
    return std::nullopt;
}

std::optional<Error> metadataHeaders(const StringMap& meta, HeaderList& out) {
    for (const auto& [name, value] : meta) {
        if (!isHeaderName(name))
            return misuse(Code::InvalidMetadata,
                          "metadata name \"" + name + "\" is not an HTTP token");
        if (!isSafeHeaderValue(value))
            return misuse(Code::InvalidMetadata,
                          "the value of metadata \"" + name + "\" holds a line break or NUL");
        out.emplace_back(!entityHeader(name).empty() ? name : "x-amz-meta-" + name, value);
    }
    return std::nullopt;
}

std::optional<Error> objectHeaders(const StringMap& headers, HeaderList& out) {
    constexpr std::string_view kMeta = "x-amz-meta-";
    for (const auto& [name, value] : headers) {
        const bool meta =
            toLower(name).starts_with(kMeta) && name.size() > kMeta.size() && isHeaderName(name);
        const std::string_view entity = entityHeader(name);
        if (!meta && entity.empty())
            return misuse(Code::InvalidMetadata,
                          "\"" + name + "\" is neither an object's header nor x-amz-meta-<name>");
        if (!isSafeHeaderValue(value))
            return misuse(Code::InvalidMetadata,
                          "the value of \"" + name + "\" holds a line break or NUL");
        if (entity == "Expires") {
            const auto date = httpDate(value);
            if (!date)
                return misuse(Code::InvalidMetadata, "Expires \"" + value + "\" is not a time");
            out.emplace_back("Expires", *date);
        } else {
            out.emplace_back(meta ? name : std::string(entity), value);
        }
    }
    return std::nullopt;
}

std::optional<Error> taggingHeader(std::string_view tagging, std::size_t most, std::string& out) {
    for (std::size_t at = tagging.find('%'); at != std::string_view::npos;
         at = tagging.find('%', at + 1))
        if (at + 2 >= tagging.size() ||
            !std::isxdigit(static_cast<unsigned char>(tagging[at + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(tagging[at + 2])))
            return misuse(Code::InvalidParameter, "the tags hold a '%' that escapes nothing");
    StringMap seen;
    for (const auto& [key, value] : decodeQuery(tagging)) {
        if (key.empty() || !seen.emplace(key, value).second)
            return misuse(Code::InvalidParameter, key.empty()
                                                      ? "a tag's key is empty"
                                                      : "the tag \"" + key + "\" is given twice");
        out.append(out.empty() ? "" : "&")
            .append(uriEncode(key))
            .append("=")
            .append(uriEncode(value));
    }
    if (seen.size() > most)
        return misuse(Code::InvalidParameter, std::to_string(seen.size()) + " tags, where " +
                                                  std::to_string(most) + " is the most");
    return std::nullopt;
}

std::optional<Error> customerKey(std::string_view base64Key, HeaderList& out) {
    const auto key = base64Decode(base64Key);
    if (!key || key->size() != 32)
        return misuse(Code::InvalidParameter,
                      "a customer's key is 32 bytes (256 bits) written in base64");
    out.emplace_back("x-amz-server-side-encryption-customer-algorithm", "AES256");
    out.emplace_back("x-amz-server-side-encryption-customer-key", std::string(base64Key));
    out.emplace_back("x-amz-server-side-encryption-customer-key-MD5", md5Base64(*key));
    return std::nullopt;
}

std::optional<Error> tagSetProblem(const StringMap& tags, std::size_t most) {
    if (tags.size() > most)
        return misuse(Code::InvalidParameter, std::to_string(tags.size()) + " tags, where " +
                                                  std::to_string(most) + " is the most");
    if (tags.contains(""))
        return misuse(Code::InvalidParameter, "a tag's key is empty");
    return std::nullopt;
}

bool isVersionId(std::string_view id) {
    return !id.empty() &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

HeaderList customerKeyHeaders(const HeaderList& headers) {
    HeaderList keys;
    for (const auto& header : headers)
        if (toLower(header.first).starts_with("x-amz-server-side-encryption-customer-"))
            keys.push_back(header);
    return keys;
}

std::string copySource(std::string_view bucket, std::string_view key) {
    // The key keeps its slashes, as in the path: some servers (s3rver) decode this header
    // with a decoder that leaves %2F alone, and the bucket ends at the first slash anyway.
    std::string source = "/";
    return source.append(uriEncode(bucket)).append("/").append(uriEncode(key, true));
}

std::string unquoteETag(std::string_view etag) {
    if (etag.starts_with("W/"))
        etag.remove_prefix(2);
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
        etag = etag.substr(1, etag.size() - 2);
    return std::string(etag);
}

bool isPlainMd5(std::string_view etag) {
    return etag.size() == 32 && std::all_of(etag.begin(), etag.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool contradictsMd5(std::string_view etag, std::string_view md5) {
    return isPlainMd5(etag) && !md5.empty() && !equalsIgnoringCase(etag, md5);
}

bool isEncrypted(const HeaderMap& headers) {
    const auto encryption = headers.find("x-amz-server-side-encryption");
    return headers.contains("x-amz-server-side-encryption-customer-algorithm") ||
           (encryption != headers.end() && encryption->second.starts_with("aws:kms"));
}

}  // namespace quilo::detail

namespace quilo {

std::string aclMapGrantee(const S3Grantee& grantee) {
    switch (grantee.type) {
        case S3Grantee::Type::group:
            return "uri=" + grantee.uri;
        case S3Grantee::Type::email:
            return "emailAddress=" + grantee.emailAddress;
        case S3Grantee::Type::canonicalUser:
            break;
    }
    return "id=" + grantee.id;
}

AclMap toAclMap(const S3AccessControlPolicy& policy) {
    AclMap acl;
    for (const auto& grant : policy.grants)
        acl[grant.permission].push_back(aclMapGrantee(grant.grantee));
    return acl;
}

}  // namespace quilo
