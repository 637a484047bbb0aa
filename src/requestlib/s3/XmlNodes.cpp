#include "requestlib/s3/XmlNodes.hpp"

#include <limits>

#include "requestlib/base/Text.hpp"

namespace quilo::detail::xml {
namespace {

// Whitespace-only text must survive: a key may be a single space.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata;

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

}  // namespace

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

std::string describeError(pugi::xml_node root) {
    std::string why = "the service answered with an error: Code " + quoted(textOr(root, "Code")) +
                      ", Message " + quoted(textOr(root, "Message"));
    if (auto id = optionalText(root, "RequestId"); id && !id->empty()) {
        why += ", RequestId " + quoted(*id);
    }
    return why;
}

S3Owner readOwner(pugi::xml_node owner) {
    return {textOr(owner, "ID"), textOr(owner, "DisplayName")};
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

bool requiredFlag(pugi::xml_node parent, std::string_view name, std::string_view where) {
    const std::string text = requiredText(parent, name, where);
    const std::string_view flag = trimWhitespace(text);
    if (flag != "true" && flag != "false")
        fail(std::string(where) + " has " + std::string(name) + " " + quoted(text) +
             ", neither true nor false");
    return flag == "true";
}

std::optional<std::int32_t> optionalInt32(pugi::xml_node parent, std::string_view name,
                                          std::string_view where) {
    const auto text = optionalText(parent, name);
    if (!text)
        return std::nullopt;
    const auto value = decimalUint64(*text);
    if (!value || *value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        fail(std::string(where) + " has " + std::string(name) + " " + quoted(*text) +
             ", not a count");
    return static_cast<std::int32_t>(*value);
}

Writer::Writer(std::string_view root) {
    out_.append("<").append(root).append(" xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">");
    open_.emplace_back(root);
}

Writer& Writer::open(std::string_view name) {
    out_.append("<").append(name).append(">");
    open_.emplace_back(name);
    return *this;
}

Writer& Writer::close() {
    out_.append("</").append(open_.back()).append(">");
    open_.pop_back();
    return *this;
}

Writer& Writer::element(std::string_view name, std::string_view text) {
    open(name);
    out_.append(escaped(text));
    return close();
}

std::string Writer::finish() {
    while (!open_.empty())
        close();
    return std::move(out_);
}

}  // namespace quilo::detail::xml
