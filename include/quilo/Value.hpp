#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/base/Types.hpp"
#include "quilo/requestlib/s3/S3Types.hpp"

namespace quilo {

// One value of a configuration or parameter map. It holds exactly one alternative, chosen by the
// type it was built from: a string literal is a std::string, 100 is a std::int32_t. Nothing is
// ever converted between alternatives.
class Value
    : public std::variant<bool, std::int32_t, std::int64_t, double, std::string, StringList,
                          StringMap, AclMap, S3LifecycleConfiguration, S3CorsConfiguration> {
  public:
    using variant::variant;
    // A string literal, as a std::string.
    Value(const char* text) : variant(std::string(text)) {}

    // Whether the value holds a T.
    template <class T>
    bool holds() const noexcept {
        return std::holds_alternative<T>(*this);
    }
    // The value as a T, or nullptr when it holds another alternative.
    template <class T>
    const T* getIf() const noexcept {
        return std::get_if<T>(this);
    }
};

// A configuration map or a parameter map. Absence has three levels: no map at all
// (std::optional<ValueMap> empty), no such key, and the key held with no value (std::nullopt).
using ValueMap = std::map<std::string, std::optional<Value>>;

// The name of the type a value holds ("bool", "int32", "string", "AclMap", ...), for messages.
QUILO_EXPORT const char* typeName(const Value& value) noexcept;

}  // namespace quilo
