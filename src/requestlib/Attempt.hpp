#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quilo/requestlib/Error.hpp"
#include "quilo/requestlib/Types.hpp"
#include "requestlib/S3Xml.hpp"

namespace quilo::detail {

// The wire form of one HTTP exchange, built afresh (and signed afresh) for every attempt.
struct AttemptSpec {
    // Given to prepareAttempt: where the previous answer sent this exchange, if anywhere.
    std::string redirectURL;  // an absolute URL from a Location header
    std::string regionHint;   // the region a service said the bucket lives in

    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;

    enum class Body { none, memory, file };
    Body body = Body::none;
    std::string bodyData;  // Body::memory
    std::string bodyFile;  // Body::file: `bodyLength` bytes from `bodyOffset`
    std::uint64_t bodyOffset = 0;
    std::uint64_t bodyLength = 0;

    // A 2xx body streams into this file (created or truncated); other bodies stay in memory,
    // up to a bound: answers are parsed whole, so a hostile server must not make them huge.
    std::optional<std::string> bodyPath;
    std::size_t maxMemoryBody = kMaxXmlBytes;
    // The bound for a 2xx body kept in memory; an object fetched into memory may be larger.
    std::size_t maxPayloadMemory = kMaxXmlBytes;

    // MD5 of the bytes as they stream, for requests that check them against an ETag.
    bool digestSentBody = false;
    bool digestReceivedBody = false;

    double idleTimeoutSeconds = 60.0;
    std::optional<std::string> caFile;
    bool accurateProgress = false;

    std::uint64_t bodySize() const {
        return body == Body::memory ? bodyData.size() : body == Body::file ? bodyLength : 0;
    }
};

// What one exchange ended with.
struct ExchangeResult {
    std::optional<Error> error;  // no complete answer (transport, time-out, TLS, local file)
    int status = 0;              // 0 when no response line arrived
    HeaderMap headers;
    std::string body;             // the in-memory body
    std::uint64_t bodyBytes = 0;  // body bytes received, in memory or in the file
    std::string bodyMd5;          // hex MD5 of those bytes, when digested
    std::string sentMd5;          // hex MD5 of the request body bytes sent, when digested
};

}  // namespace quilo::detail
