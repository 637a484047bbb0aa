#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/base/Types.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

// The x-amz-grant-* headers that carry an access-control map. A permission other than the five,
// or a grantee that is not "id=", "emailAddress=" or "uri=" followed by a value that cannot
// break out of its quotes, is a misuse.
std::optional<Error> grantHeaders(const AclMap& acl, HeaderList& out);

// User metadata as x-amz-meta-* headers; the standard entity headers go out as themselves.
// A name that is not an HTTP token, or a value that holds CR, LF or NUL, is a misuse.
std::optional<Error> metadataHeaders(const StringMap& meta, HeaderList& out);

// Why a tag set cannot be sent: more than `most` tags, or an empty key.
std::optional<Error> tagSetProblem(const StringMap& tags, std::size_t most);

// The value of x-amz-copy-source for an object.
std::string copySource(std::string_view bucket, std::string_view key);

// An ETag without its quotes (and without a weak-validator prefix).
std::string unquoteETag(std::string_view etag);
// Whether an unquoted ETag is a plain MD5, as only that of an object sent in one piece is.
bool isPlainMd5(std::string_view etag);
// Whether `md5`, the hex MD5 of the bytes that went by, proves an unquoted ETag wrong. Only a
// plain ETag is the MD5 of the bytes (multipart objects have others), and an empty `md5` (not
// computed) proves nothing.
bool contradictsMd5(std::string_view etag, std::string_view md5);
// Whether an answer's object is encrypted with a key the service manages (SSE-KMS) or the
// caller gave (SSE-C): its ETag is then no MD5 of the bytes.
bool isEncrypted(const HeaderMap& headers);

}  // namespace quilo::detail
