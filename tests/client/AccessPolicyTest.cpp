#include <gtest/gtest.h>

#include <map>
#include <set>
#include <unordered_map>

#include "quilo/AccessPolicy.hpp"

namespace quilo {
namespace {

constexpr AccessPolicy allPolicies[] = {
    AccessPolicy::access_private,
    AccessPolicy::access_public_read,
    AccessPolicy::access_public_read_write,
    AccessPolicy::access_authenticated_read,
};

TEST(AccessPolicy, RawValuesRoundTrip) {
    const std::pair<AccessPolicy, std::string_view> expected[] = {
        {AccessPolicy::access_private, "private"},
        {AccessPolicy::access_public_read, "public-read"},
        {AccessPolicy::access_public_read_write, "public-read-write"},
        {AccessPolicy::access_authenticated_read, "authenticated-read"},
    };
    for (const auto& [policy, raw] : expected) {
        EXPECT_EQ(rawValue(policy), raw);
        EXPECT_EQ(accessPolicyFromRawValue(raw), policy) << raw;
    }
}

TEST(AccessPolicy, NearMissesAreNotPolicies) {
    const std::string_view nearMisses[] = {"Private",
                                           "PRIVATE",
                                           " private",
                                           "private ",
                                           "public_read",
                                           "public-read-",
                                           "public",
                                           "authenticated",
                                           "",
                                           "access_private",
                                           "access_public_read",
                                           "public-read\n",
                                           std::string_view("private\0", 8)};
    for (const auto nearMiss : nearMisses) {
        EXPECT_EQ(accessPolicyFromRawValue(nearMiss), std::nullopt)
            << "\"" << nearMiss << "\" should not be a policy";
    }
}

TEST(AccessPolicy, HashValuesAreTheIndices) {
    std::set<std::size_t> seen;
    for (std::size_t index = 0; index < std::size(allPolicies); ++index) {
        EXPECT_EQ(hashValue(allPolicies[index]), index);
        EXPECT_EQ(std::hash<AccessPolicy>{}(allPolicies[index]), index);
        seen.insert(hashValue(allPolicies[index]));
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST(AccessPolicy, ServesAsAMapKey) {
    std::map<AccessPolicy, int> ordered;
    std::unordered_map<AccessPolicy, int> hashed;
    for (int round = 0; round < 2; ++round) {
        for (const auto policy : allPolicies) {
            ++ordered[policy];
            ++hashed[policy];
        }
    }
    ASSERT_EQ(ordered.size(), 4u);
    ASSERT_EQ(hashed.size(), 4u);
    for (const auto policy : allPolicies) {
        EXPECT_EQ(ordered.at(policy), 2);
        EXPECT_EQ(hashed.at(policy), 2);
    }
}

}  // namespace
}  // namespace quilo
