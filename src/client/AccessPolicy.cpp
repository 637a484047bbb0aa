#include "quilo/AccessPolicy.hpp"

#include <array>

namespace quilo {

namespace {

constexpr std::array<std::string_view, 4> rawValues = {
    "private",
    "public-read",
    "public-read-write",
    "authenticated-read",
};

}  // namespace

std::string_view rawValue(AccessPolicy policy) noexcept {
    const std::size_t index = hashValue(policy);
    // A value cast from outside the enumeration has no raw value.
    return index < rawValues.size() ? rawValues[index] : std::string_view{};
}

std::optional<AccessPolicy> accessPolicyFromRawValue(std::string_view rawValue) noexcept {
    for (std::size_t index = 0; index < rawValues.size(); ++index) {
        if (rawValues[index] == rawValue) {
            return static_cast<AccessPolicy>(index);
        }
    }
    return std::nullopt;
}

std::size_t hashValue(AccessPolicy policy) noexcept {
    return static_cast<std::size_t>(policy);
}

}  // namespace quilo
