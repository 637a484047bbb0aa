#include "requestlib/s3/S3Xml.hpp"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/s3/S3Headers.hpp"

namespace quilo::detail {
namespace {

// Whitespace-only text must survive: a key may be a single space.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata;

// Thrown only inside this file and turned into Parsed::problem at the boundary.
struct Invalid {
    std::string why;
};

[[noreturn]] void fail(std::string why) {
    throw Invalid{std::move(why)};
}

// Service text ends up in messages that may be logged: keep it short and printable.
std::string quoted(std::string_view text) {
    constexpr std::size_t kMax = 80;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kMax; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    }
    out += text.size() > kMax ? "...\"" : "\"";
    return out;
}

std::string_view localName(std::string_view name) {
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view localName(pugi::xml_node node) {
    return localName(node.name());
}

pugi::xml_node child(pugi::xml_node parent, std::string_view name) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && localName(c) == name) {
            return c;
        }
    }
    return {};
}

template <class F>
void forEachChild(pugi::xml_node parent, std::string_view name, F&& visit) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && localName(c) == name) {
            visit(c);
        }
    }
}

// All direct text, so that text split by CDATA sections is read whole.
std::string textOf(pugi::xml_node node) {
    std::string out;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
            out += c.value();
        }
    }
    return out;
}

std::optional<std::string> optionalText(pugi::xml_node parent, std::string_view name) {
    const pugi::xml_node c = child(parent, name);
    if (!c) {
        return std::nullopt;
    }
    return textOf(c);
}

std::string textOr(pugi::xml_node parent, std::string_view name) {
    return optionalText(parent, name).value_or(std::string());
}

std::string requiredText(pugi::xml_node parent, std::string_view name, std::string_view where) {
    auto text = optionalText(parent, name);
    if (!text) {
        fail(std::string(where) + " has no <" + std::string(name) + ">");
    }
    if (text->empty()) {
        fail(std::string(where) + " has an empty <" + std::string(name) + ">");
    }
    return std::move(*text);
}

std::optional<std::uint64_t> decimalUint64(std::string_view s) {
    s = trimWhitespace(s);
    if (s.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

// pugixml decodes &#0; (and references that overflow to 0) into a NUL that silently
// cuts the text short, so such references are refused before parsing.
void checkCharacterReferences(std::string_view xml) {
    for (auto at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2)) {
        std::size_t i = at + 2;
        const bool hex = i < xml.size() && xml[i] == 'x';
        i += hex ? 1 : 0;
        const std::size_t digitsStart = i;
        std::uint64_t value = 0;
        for (; i < xml.size(); ++i) {
            const char c = xml[i];
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            }
            if (digit < 0) {
                break;
            }
            value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
            value = value > 0x110000 ? 0x110000 : value;
        }
        if (i == digitsStart || i == xml.size() || xml[i] != ';') {
            continue;  // not a reference; pugixml keeps it as text
        }
        if (value == 0 || value >= 0x110000 || (value >= 0xD800 && value <= 0xDFFF)) {
            fail("invalid character reference " + quoted(xml.substr(at, i + 1 - at)) + " at byte " +
                 std::to_string(at));
        }
    }
}

pugi::xml_node load(pugi::xml_document& doc, std::string_view xml) {
    if (xml.size() > kMaxXmlBytes) {
        fail("XML answer of " + std::to_string(xml.size()) + " bytes exceeds the limit of " +
             std::to_string(kMaxXmlBytes) + " bytes");
    }
    if (xml.empty()) {
        fail("empty XML answer");
    }
    if (const auto nul = xml.find('\0'); nul != std::string_view::npos) {
        fail("NUL byte in the XML answer at byte " + std::to_string(nul));
    }
    checkCharacterReferences(xml);
    const pugi::xml_parse_result result =
        doc.load_buffer(xml.data(), xml.size(), kParseOptions, pugi::encoding_utf8);
    if (!result) {
        fail("malformed XML at byte " + std::to_string(result.offset) + ": " +
             result.description());
    }
    // pugixml accepts several top-level elements; a service answer has exactly one.
    pugi::xml_node root;
    for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) {
            if (root) {
                fail("XML answer has more than one root element");
            }
            root = c;
        }
    }
    if (!root) {
        fail("XML answer has no root element");
    }
    return root;
}

ErrorDocument readError(pugi::xml_node root) {
    ErrorDocument error;
    error.code = requiredText(root, "Code", "Error");
    error.message = textOr(root, "Message");
    error.requestId = textOr(root, "RequestId");
    error.resource = textOr(root, "Resource");
    error.region = textOr(root, "Region");
    return error;
}

std::string describeError(pugi::xml_node root) {
    std::string why = "the service answered with an error: Code " + quoted(textOr(root, "Code")) +
                      ", Message " + quoted(textOr(root, "Message"));
    if (auto id = optionalText(root, "RequestId"); id && !id->empty()) {
        why += ", RequestId " + quoted(*id);
    }
    return why;
}

// Parses xml whose root must be rootName and hands the root to read. Nothing escapes.
template <class T, class Read>
Parsed<T> parse(std::string_view xml, std::string_view rootName, Read read) noexcept {
    Parsed<T> out;
    try {
        pugi::xml_document doc;
        const pugi::xml_node root = load(doc, xml);
        const std::string_view name = localName(root);
        if (name == "Error" && rootName != "Error") {
            fail(describeError(root));
        }
        if (name != rootName) {
            fail("expected <" + std::string(rootName) + "> but the root element is " +
                 quoted(root.name()));
        }
        out.value = read(root);
    } catch (Invalid& e) {
        out.value.reset();
        out.problem = std::move(e.why);
    } catch (const std::bad_alloc&) {
        out.value.reset();
        out.problem = "out of memory";
    } catch (...) {
        out.value.reset();
        out.problem = "internal error";
    }
    return out;
}

S3Owner readOwner(pugi::xml_node owner) {
    return {textOr(owner, "ID"), textOr(owner, "DisplayName")};
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

// A listing asked for with encoding-type=url, answered so: its names are form-encoded, so that
// a key holding CR or LF survives the XML. A server that ignores the request sends them as they
// are, and a '%' in them must then stay.
void decodeNames(ObjectList& list) {
    for (auto& object : list.objects)
        object.key = percentDecode(object.key, true);
    for (auto& prefix : list.commonPrefixes)
        prefix = percentDecode(prefix, true);
    list.nextMarker = percentDecode(list.nextMarker, true);
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\r':  // a raw CR would reach the service as LF
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
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
        const auto truncated = optionalText(root, "IsTruncated");
        if (!truncated) {
            // Guessing "false" could silently drop the rest of a listing.
            fail("ListBucketResult has no <IsTruncated>");
        }
        const std::string_view flag = trimWhitespace(*truncated);
        if (flag == "true" || flag == "1") {
            list.isTruncated = true;
        } else if (flag != "false" && flag != "0") {
            fail("ListBucketResult has IsTruncated " + quoted(*truncated) +
                 ", neither true nor false");
        }
        list.nextMarker = textOr(root, "NextMarker");
        forEachChild(root, "Contents", [&](pugi::xml_node contents) {
            const std::string where = "Contents #" + std::to_string(list.objects.size() + 1);
            S3Object o;
            o.key = requiredText(contents, "Key", where);
            const std::string size = requiredText(contents, "Size", where);
            const auto parsedSize = decimalUint64(size);
            if (!parsedSize) {
                fail(where + " (key " + quoted(o.key) + ") has Size " + quoted(size) +
                     ", not a decimal unsigned 64-bit integer");
            }
            o.size = *parsedSize;
            o.etag = unquoteETag(textOr(contents, "ETag"));
            o.lastModified = textOr(contents, "LastModified");
            o.storageClass = textOr(contents, "StorageClass");
            if (const pugi::xml_node owner = child(contents, "Owner")) {
                o.owner = readOwner(owner);
            }
            list.objects.push_back(std::move(o));
        });
        forEachChild(root, "CommonPrefixes", [&](pugi::xml_node prefixes) {
            const std::size_t before = list.commonPrefixes.size();
            forEachChild(prefixes, "Prefix",
                         [&](pugi::xml_node p) { list.commonPrefixes.push_back(textOf(p)); });
            if (list.commonPrefixes.size() == before) {
                fail("CommonPrefixes without <Prefix>");
            }
        });
        if (trimWhitespace(textOr(root, "EncodingType")) == "url")
            decodeNames(list);
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
