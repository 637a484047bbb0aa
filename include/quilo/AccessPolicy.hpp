#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "quilo/requestlib/base/Export.hpp"

namespace quilo {

// The canned access policies an upload can give its object.
enum class AccessPolicy {
    access_private,
    access_public_read,
    access_public_read_write,
    access_authenticated_read,
};

// "private", "public-read", "public-read-write" or "authenticated-read".
QUILO_EXPORT std::string_view rawValue(AccessPolicy policy) noexcept;
// The case whose raw value is exactly `rawValue` (case-sensitive, nothing trimmed), or none.
QUILO_EXPORT std::optional<AccessPolicy> accessPolicyFromRawValue(
    std::string_view rawValue) noexcept;
// The case's index in declaration order, 0 to 3.
QUILO_EXPORT std::size_t hashValue(AccessPolicy policy) noexcept;

}  // namespace quilo

namespace std {
// Hashes a policy by hashValue(), so that it can key an unordered container.
template <>
struct hash<quilo::AccessPolicy> {
    size_t operator()(quilo::AccessPolicy policy) const noexcept {  // hashValue(policy)
        return quilo::hashValue(policy);
    }
};
}  // namespace std
