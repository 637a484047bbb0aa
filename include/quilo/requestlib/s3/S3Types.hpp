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
    // Its canonical user id, and the name shown for it when the service gives one.
    std::string id;
    std::string displayName;
    bool operator==(const S3Owner&) const = default;
};

// One bucket of a listing.
struct S3Bucket {
    std::string name;          // the bucket's name
    std::string creationDate;  // ISO 8601, as the service wrote it
    bool operator==(const S3Bucket&) const = default;
};

// One object of a listing.
struct S3Object {
    std::string key;           // the object's key, as stored
    std::uint64_t size = 0;    // in bytes
    std::string etag;          // without its surrounding quotes
    std::string lastModified;  // ISO 8601, as the service wrote it
    std::string storageClass;  // "STANDARD", ...
    // The object's owner, when the listing names it.
    std::optional<S3Owner> owner;
    bool operator==(const S3Object&) const = default;
};

// Who a grant is for: a user by id or by e-mail address, or a group by URI.
struct S3Grantee {
    // Which of the fields below names the grantee.
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

// One permission granted to one grantee.
struct S3Grant {
    S3Grantee grantee;       // who
    std::string permission;  // one of S3Permissions
    bool operator==(const S3Grant&) const = default;
};

// An access-control list as the service returns it.
struct S3AccessControlPolicy {
    // The owner of the bucket or object, and the grants in the service's order.
    S3Owner owner;
    std::vector<S3Grant> grants;
    bool operator==(const S3AccessControlPolicy&) const = default;
};

// A key that a multi-object delete could not remove, and the service's reason.
struct S3DeleteFailure {
    // The key as the request named it; the code and message as the service gave them.
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
