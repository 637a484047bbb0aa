#include <gtest/gtest.h>

#include <map>
#include <unordered_map>

#include "quilo/AccessPolicy.hpp"

namespace quilo {
namespace {

const std::pair<AccessPolicy, std::string_view> policies[] = {
    {AccessPolicy::access_private, "private"},
    {AccessPolicy::access_public_read, "public-read"},
    {AccessPolicy::access_public_read_write, "public-read-write"},
    {AccessPolicy::access_authenticated_read, "authenticated-read"},
};

TEST(AccessPolicy, RoundTripsAndServesAsAMapKey) {
    std::map<AccessPolicy, std::string_view> ordered;
    std::unordered_map<AccessPolicy, std::string_view> hashed;
    for (const auto& [policy, raw] : policies) {
        EXPECT_EQ(rawValue(policy), raw);
        EXPECT_EQ(accessPolicyFromRawValue(raw), policy) << raw;
        ordered[policy] = raw;
        hashed[policy] = raw;
    }
    for (const auto& [policy, raw] : policies) {
        EXPECT_EQ(ordered.at(policy), raw);
        EXPECT_EQ(hashed.at(policy), raw);
    }
}

TEST(AccessPolicy, NearMissesAreNotPolicies) {
    const std::string_view nearMisses[] = {
        "Private",        "PRIVATE",       " private",
        "private ",       "public_read",   "public-read-",
        "public",         "authenticated", "",
        "access_private", "public-read\n", std::string_view("private\0", 8)};
    for (const auto nearMiss : nearMisses)
        EXPECT_EQ(accessPolicyFromRawValue(nearMiss), std::nullopt) << '"' << nearMiss << '"';
}

}  // namespace
}  // namespace quilo
