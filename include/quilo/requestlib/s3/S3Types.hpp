#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/base/Types.hpp"

namespace quilo {

struct S3Owner {
    std::string id;
    std::string displayName;
    bool operator==(const S3Owner&) const = default;
};

struct S3Bucket {
    std::string name;
    std::string creationDate;  // ISO 8601, as the service wrote it
    bool operator==(const S3Bucket&) const = default;
};

struct S3Object {
    std::string key;
    std::uint64_t size = 0;
    std::string etag;          // without its surrounding quotes
    std::string lastModified;  // ISO 8601, as the service wrote it
    std::string storageClass;
    std::optional<S3Owner> owner;
    bool operator==(const S3Object&) const = default;
};

struct S3Grantee {
    enum class Type { canonicalUser, group, email };
    Type type = Type::canonicalUser;
    std::string id;            // canonicalUser
    std::string displayName;   // canonicalUser, when the service names it
    std::string uri;           // group
    std::string emailAddress;  // email
    bool operator==(const S3Grantee&) const = default;
};

// The permissions an access-control list can grant.
inline constexpr std::array<std::string_view, 5> S3Permissions = {"READ", "WRITE", "READ_ACP",
                                                                  "WRITE_ACP", "FULL_CONTROL"};

struct S3Grant {
    S3Grantee grantee;
    std::string permission;  // one of S3Permissions
    bool operator==(const S3Grant&) const = default;
};

struct S3AccessControlPolicy {
    S3Owner owner;
    std::vector<S3Grant> grants;
    bool operator==(const S3AccessControlPolicy&) const = default;
};

// A key that a multi-object delete could not remove, and the service's reason.
struct S3DeleteFailure {
    std::string key;
    std::string code;  // the service's, such as "AccessDenied"
    std::string message;
    bool operator==(const S3DeleteFailure&) const = default;
};

// A grantee as an AclMap writes it: "id=<canonical id>", "uri=<group uri>" or
// "emailAddress=<address>".
QUILO_EXPORT std::string aclMapGrantee(const S3Grantee& grantee);
// The grants of a policy as an AclMap, ready to be sent again.
QUILO_EXPORT AclMap toAclMap(const S3AccessControlPolicy& policy);

}  // namespace quilo
