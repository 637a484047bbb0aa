#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// One version of an object in a version listing, or a delete marker standing for its absence.
struct S3ObjectVersion {
    // The version's key, id and place among the key's versions, and what the listing says of it.
    std::string key{};
    std::string versionId{};  // "null" for what was written while versioning was off or suspended
    bool isLatest = false;
    bool isDeleteMarker = false;  // a marker has no size, ETag or storage class
    std::uint64_t size = 0;
    std::string etag{};  // without its surrounding quotes
    std::string lastModified{};
    std::string storageClass{};
    std::optional<S3Owner> owner{};
    bool operator==(const S3ObjectVersion&) const = default;
};

// A multipart upload that was initiated and neither completed nor aborted.
struct S3MultipartUpload {
    // The key it will write, its id, when it began, its storage class and who began it.
    std::string key{};
    std::string uploadId{};
    std::string initiated{};  // ISO 8601, as the service wrote it
    std::string storageClass{};
    std::optional<S3Owner> owner{};
    bool operator==(const S3MultipartUpload&) const = default;
};

// A part that an upload in progress holds.
struct S3Part {
    // The part's number, size, ETag and time, as the service lists them.
    std::int32_t number = 0;
    std::uint64_t size = 0;
    std::string etag{};  // without its surrounding quotes
    std::string lastModified{};
    bool operator==(const S3Part&) const = default;
};

// When objects move to another storage class: after `days` (noncurrent days for the versions
// that are no longer current), or on `date` (ISO 8601, midnight UTC).
struct S3LifecycleTransition {
    // When (one of the two) and to which storage class.
    std::optional<std::int32_t> days{};
    std::string date{};
    std::string storageClass{};
    bool operator==(const S3LifecycleTransition&) const = default;
};

// One lifecycle rule. It applies to the objects whose key starts with `prefix` and that carry
// every tag of `tags`; each action that is set applies to them.
struct S3LifecycleRule {
    // The rule's name, whether it runs, which objects it covers, and its actions.
    std::string id{};
    bool enabled = true;
    std::string prefix{};
    StringMap tags{};
    std::optional<std::int32_t> expirationDays{};
    std::string expirationDate{};            // ISO 8601, midnight UTC
    bool expiredObjectDeleteMarker = false;  // remove delete markers left with no version
    std::optional<std::int32_t> noncurrentExpirationDays{};
    std::optional<std::int32_t> abortIncompleteUploadDays{};
    std::vector<S3LifecycleTransition> transitions{};
    std::vector<S3LifecycleTransition> noncurrentTransitions{};  // days count from noncurrency
    bool operator==(const S3LifecycleRule&) const = default;
};

// A bucket's lifecycle: its rules, in the order the service keeps them.
struct S3LifecycleConfiguration {
    // Every rule of the bucket.
    std::vector<S3LifecycleRule> rules{};
    bool operator==(const S3LifecycleConfiguration&) const = default;
};

// Which browser origins may make which requests, and what their scripts may see.
struct S3CorsRule {
    // The rule's name, the requests it admits, the headers they may send and scripts may read,
    // and how long a browser may keep the answer to its preflight request.
    std::string id{};
    StringList allowedMethods{};  // GET, PUT, POST, DELETE, HEAD
    StringList allowedOrigins{};  // "https://example.com", "*"
    StringList allowedHeaders{};
    StringList exposeHeaders{};
    std::optional<std::int32_t> maxAgeSeconds{};
    bool operator==(const S3CorsRule&) const = default;
};

// A bucket's cross-origin rules; a browser's request is admitted by the first that matches.
struct S3CorsConfiguration {
    // Every rule of the bucket.
    std::vector<S3CorsRule> rules{};
    bool operator==(const S3CorsConfiguration&) const = default;
};

// A bucket's object lock, and the retention every new object gets unless it names its own:
// `mode` "GOVERNANCE" or "COMPLIANCE" for `days` or `years` (one of the two), or no mode for
// none.
struct S3ObjectLockConfiguration {
    // Whether the lock is on, and the default retention's mode and length.
    bool enabled = true;
    std::string mode{};
    std::optional<std::int32_t> days{};
    std::optional<std::int32_t> years{};
    bool operator==(const S3ObjectLockConfiguration&) const = default;
};

// How long an object version is protected: "GOVERNANCE" (lifted by those allowed to bypass it)
// or "COMPLIANCE" (by no one), until an ISO 8601 time such as "2030-01-01T00:00:00Z".
struct S3Retention {
    // The mode, and the time until which it holds.
    std::string mode{};
    std::string retainUntilDate{};
    bool operator==(const S3Retention&) const = default;
};

// What a browser form may upload (see S3BucketRequest::presignedPost): to `key` (ending in
// "${filename}": any key before it, the name of the user's file in its place), until
// `expires` from now, with `fields` sent as they are, form fields whose value must start with
// `startsWith`'s, and a size within `contentLength` (inclusive), when given.
struct S3PostPolicy {
    // The key, the lifetime, the fields, their prefixes and the size range, as above.
    std::string key{};
    std::chrono::seconds expires{3600};
    StringMap fields{};
    StringMap startsWith{};
    std::optional<std::pair<std::uint64_t, std::uint64_t>> contentLength{};
};

// Where the form goes and its fields, in order; the file field ("file") must come after them.
struct S3PostForm {
    // The form's action and its fields.
    std::string url{};
    std::vector<std::pair<std::string, std::string>> fields{};
};

// A grantee as an AclMap writes it: "id=<canonical id>", "uri=<group uri>" or
// "emailAddress=<address>".
QUILO_EXPORT std::string aclMapGrantee(const S3Grantee& grantee);
// The grants of a policy as an AclMap, ready to be sent again.
QUILO_EXPORT AclMap toAclMap(const S3AccessControlPolicy& policy);

}  // namespace quilo
