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

// An object's own headers, given by their names: the standard entity headers and
// x-amz-meta-*. Any other name, a value that holds CR, LF or NUL, or an Expires that is no time,
// is a misuse.
std::optional<Error> objectHeaders(const StringMap& headers, HeaderList& out);

// Tags as a URL query ("a=1&b=c%20d") in the form x-amz-tagging carries them: each part
// encoded, in the order given. At most `most`, each key once and not empty, and no stray '%'.
std::optional<Error> taggingHeader(std::string_view tagging, std::size_t most, std::string& out);

// The three headers of an SSE-C key given in base64, which must be 256 bits.
std::optional<Error> customerKey(std::string_view base64Key, HeaderList& out);

// Why a tag set cannot be sent: more than `most` tags, or an empty key.
std::optional<Error> tagSetProblem(const StringMap& tags, std::size_t most);

// The headers that carry a customer's key (SSE-C), which every part of an upload must repeat.
HeaderList customerKeyHeaders(const HeaderList& headers);

// Whether a version id can go into a query or header as it is: printable ASCII, no space.
bool isVersionId(std::string_view id);

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
