#include "quilo/Value.hpp"

namespace quilo {

const char* typeName(const Value& value) noexcept {
    // Indexed by the alternatives of Value, in their order.
    static constexpr const char* names[] = {"bool",
                                            "int32",
                                            "int64",
                                            "double",
                                            "string",
                                            "StringList",
                                            "StringMap",
                                            "AclMap",
                                            "S3LifecycleConfiguration",
                                            "S3CorsConfiguration"};
    static_assert(std::size(names) == std::variant_size_v<Value::variant>);
    if (value.valueless_by_exception()) {
        return "nothing";
    }
    return names[value.index()];
}

}  // namespace quilo
