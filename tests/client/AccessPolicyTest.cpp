#include <gtest/gtest.h>

#include <string_view>

#include "quilo/AccessPolicy.hpp"

namespace quilo {
namespace {

TEST(AccessPolicy, RoundTripsAndRefusesNearMisses) {
    const std::pair<AccessPolicy, std::string_view> policies[] = {
        {AccessPolicy::access_private, "private"},
        {AccessPolicy::access_public_read, "public-read"},
        {AccessPolicy::access_public_read_write, "public-read-write"},
        {AccessPolicy::access_authenticated_read, "authenticated-read"},
    };
    for (const auto& [policy, raw] : policies) {
        EXPECT_EQ(rawValue(policy), raw);
        EXPECT_EQ(accessPolicyFromRawValue(raw), policy) << raw;
    }
    using namespace std::string_view_literals;
    for (const auto nearMiss :
         {"Private"sv, " private"sv, "public_read"sv, ""sv, "public"sv, "private\0"sv})
        EXPECT_EQ(accessPolicyFromRawValue(nearMiss), std::nullopt) << '"' << nearMiss << '"';
}

}  // namespace
}  // namespace quilo
