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

// The owner of a bucket, an object or an access-control list.
struct S3Owner {
    std::string id;                                   // the canonical user id
    std::string displayName;                          // when the service names it
    bool operator==(const S3Owner&) const = default;  // every field equal
};

// One bucket of a listing.
struct S3Bucket {
    std::string name;                                  // the bucket's name
    std::string creationDate;                          // ISO 8601, as the service wrote it
    bool operator==(const S3Bucket&) const = default;  // every field equal
};

// One object of a listing.
struct S3Object {
    std::string key;                                   // the object's key
    std::uint64_t size = 0;                            // in bytes
    std::string etag;                                  // without its surrounding quotes
    std::string lastModified;                          // ISO 8601, as the service wrote it
    std::string storageClass;                          // "STANDARD", ...
    std::optional<S3Owner> owner;                      // when the listing names it
    bool operator==(const S3Object&) const = default;  // every field equal
};

// Who a grant is for: a user by id or by e-mail address, or a group by URI.
struct S3Grantee {
    // Which of the fields below names the grantee.
    enum class Type { canonicalUser, group, email };
    Type type = Type::canonicalUser;  // which of the fields below names the grantee
    std::string id;                   // canonicalUser
    std::string displayName;          // canonicalUser, when the service names it
    std::string uri;                  // group
    std::string emailAddress;         // email
    bool operator==(const S3Grantee&) const = default;  // every field equal
};

// The permissions an access-control list can grant.
inline constexpr std::array<std::string_view, 5> S3Permissions = {"READ", "WRITE", "READ_ACP",
                                                                  "WRITE_ACP", "FULL_CONTROL"};

// One permission granted to one grantee.
struct S3Grant {
    S3Grantee grantee;                                // who
    std::string permission;                           // one of S3Permissions
    bool operator==(const S3Grant&) const = default;  // every field equal
};

// An access-control list as the service returns it.
struct S3AccessControlPolicy {
    S3Owner owner;                // the owner of the bucket or object
    std::vector<S3Grant> grants;  // in the service's order
    bool operator==(const S3AccessControlPolicy&) const = default;  // every field equal
};

// A key that a multi-object delete could not remove, and the service's reason.
struct S3DeleteFailure {
    std::string key;      // as the request named it
    std::string code;     // the service's, such as "AccessDenied"
    std::string message;  // the service's
    bool operator==(const S3DeleteFailure&) const = default;  // every field equal
};

// A grantee as an AclMap writes it: "id=<canonical id>", "uri=<group uri>" or
// "emailAddress=<address>".
QUILO_EXPORT std::string aclMapGrantee(const S3Grantee& grantee);
// The grants of a policy as an AclMap, ready to be sent again.
QUILO_EXPORT AclMap toAclMap(const S3AccessControlPolicy& policy);

}  // namespace quilo
