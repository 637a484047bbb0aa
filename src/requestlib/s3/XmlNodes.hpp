#pragma once

// Reading and writing the service's XML documents with pugixml: the pieces every document's
// reader and writer share.

#include <pugixml.hpp>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilo/requestlib/s3/S3Types.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo::detail::xml {

// Thrown by a reader and turned into Parsed::problem by parse(); never leaves it.
struct Invalid {
    std::string why;
};
[[noreturn]] void fail(std::string why);

// Service text ends up in messages that may be logged: short and printable.
std::string quoted(std::string_view text);
std::string_view localName(std::string_view name);
std::string_view localName(pugi::xml_node node);
// The first child element of that local name, or none.
pugi::xml_node child(pugi::xml_node parent, std::string_view name);
template <class F>
void forEachChild(pugi::xml_node parent, std::string_view name, F&& visit) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && localName(c) == name) {
            visit(c);
        }
    }
}

// All direct text, so that text split by CDATA sections is read whole.
std::string textOf(pugi::xml_node node);
std::optional<std::string> optionalText(pugi::xml_node parent, std::string_view name);
std::string textOr(pugi::xml_node parent, std::string_view name);
// The text of a child that must be there and not be empty; `where` names the parent.
std::string requiredText(pugi::xml_node parent, std::string_view name, std::string_view where);
std::optional<std::uint64_t> decimalUint64(std::string_view s);
// A child's text as a boolean or an int32; absent or not one, fails.
bool requiredFlag(pugi::xml_node parent, std::string_view name, std::string_view where);
std::optional<std::int32_t> optionalInt32(pugi::xml_node parent, std::string_view name,
                                          std::string_view where);
// The document's one root element; fails on anything that is not well-formed XML within limits.
pugi::xml_node load(pugi::xml_document& doc, std::string_view xml);
std::string describeError(pugi::xml_node root);
S3Owner readOwner(pugi::xml_node owner);

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

// Text as XML element content.
std::string escaped(std::string_view text);

// A document written element by element, its text escaped:
//     Writer("Tagging").open("TagSet").open("Tag").element("Key", key).close()... .finish()
class Writer {
  public:
    // The root, in S3's namespace.
    explicit Writer(std::string_view root);
    Writer& open(std::string_view name);
    Writer& close();
    Writer& element(std::string_view name, std::string_view text);
    // Closes what is open and hands the document over.
    std::string finish();

  private:
    std::string out_;
    std::vector<std::string> open_;
};

}  // namespace quilo::detail::xml
