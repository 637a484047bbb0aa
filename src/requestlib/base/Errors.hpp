#pragma once

#include <string>
#include <string_view>

#include "quilo/requestlib/base/Error.hpp"

namespace quilo::detail {

// The codes this library mints itself. A service's own codes ("NoSuchKey") travel as its strings.
#define QUILO_ERROR_CODES(X) \
    X(Cancelled)             \
    X(CannotReadFile)        \
    X(CannotReadStream)      \
    X(CannotWriteFile)       \
    X(ChecksumMismatch)      \
    X(ConnectionFailed)      \
    X(ConnectionReset)       \
    X(EmptyResponse)         \
    X(FileChanged)           \
    X(HostNotFound)          \
    X(IncompleteCredentials) \
    X(InternalError)         \
    X(InvalidAccessPolicy)   \
    X(InvalidBucketName)     \
    X(InvalidConfiguration)  \
    X(InvalidGrantee)        \
    X(InvalidHeader)         \
    X(InvalidHost)           \
    X(InvalidMetadata)       \
    X(InvalidMethod)         \
    X(InvalidParameter)      \
    X(InvalidPermission)     \
    X(InvalidScheme)         \
    X(InvalidTimeOut)        \
    X(InvalidURL)            \
    X(IsADirectory)          \
    X(MalformedResponse)     \
    X(MissingBucket)         \
    X(MissingFilePath)       \
    X(MissingKey)            \
    X(MissingURL)            \
    X(NotShared)             \
    X(OperationFailed)       \
    X(OutOfMemory)           \
    X(RedirectRefused)       \
    X(ResponseTooLarge)      \
    X(SigningFailed)         \
    X(TLSFailure)            \
    X(Timeout)               \
    X(TooManyRedirects)      \
    X(TransportError)        \
    X(TruncatedResponse)     \
    X(UnexpectedResponse)    \
    X(UnsupportedAccessControlList)

enum class Code {
#define QUILO_ENUMERATE(name) name,
    QUILO_ERROR_CODES(QUILO_ENUMERATE)
#undef QUILO_ENUMERATE
};

std::string_view text(Code code) noexcept;

// The one place errors are made.
Error makeError(ErrorKind kind, Code code, std::string message, int httpStatus = 0);
Error misuse(Code code, std::string message);
// An error answer, under the code the server gave or the one its status stands for.
Error serviceError(std::string code, std::string message, int httpStatus);
// "<action> <path>: <the reason errno gives>", so call it before anything can change errno.
Error fileError(Code code, std::string_view action, std::string_view path);
Error cancelledError();
// An answer that could not be read as `what`.
Error malformedError(std::string_view what, std::string_view problem, int httpStatus);

}  // namespace quilo::detail
