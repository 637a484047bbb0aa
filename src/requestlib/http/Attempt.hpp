#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/base/Types.hpp"
#include "requestlib/encoding/Crypto.hpp"

namespace quilo::detail {

class SourceFile;
class PayloadSink;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

inline bool isSuccess(int status) {
    return status >= 200 && status < 300;
}

// What an attempt sends: nothing, bytes in memory, or a slice of an upload's open file. A source
// is read by offset, so that a retry starts again by reading from 0.
class BodySource {
  public:
    BodySource() = default;
    static BodySource memory(std::string bytes);
    // Bytes that `owner` keeps in place for as long as the source lives.
    static BodySource borrowed(std::shared_ptr<const void> owner, const char* data,
                               std::uint64_t size);
    static BodySource slice(std::shared_ptr<const SourceFile> file, std::uint64_t offset,
                            std::uint64_t length);
    // `length` bytes of this body from `offset`, read from the same file or memory.
    BodySource part(std::uint64_t offset, std::uint64_t length) const;

    bool present() const { return present_; }
    bool isFile() const { return file_ != nullptr; }
    std::uint64_t size() const { return length_; }
    // Up to `capacity` bytes from `at`; nullopt when the file cannot be read (errno says why),
    // none only when the file has become shorter. A file may give fewer, to align its copies.
    std::optional<std::size_t> read(std::uint64_t at, char* buffer, std::size_t capacity) const;
    // Hex digest of the whole body: instant for memory, a read of the slice for a file; empty
    // when the file cannot be read.
    std::string hexDigest(StreamingDigest::Algorithm algorithm) const;
    const SourceFile* file() const { return file_.get(); }

  private:
    bool present_ = false;
    std::shared_ptr<const void> owner_;  // of the bytes in memory
    const char* data_ = nullptr;
    std::shared_ptr<const SourceFile> file_;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
};

// The wire form of one attempt, built afresh (and signed afresh) for each.
struct Attempt {
    std::string method = "GET";
    std::string url;    // preset on a redirect; otherwise the preparation fills it in
    std::string scope;  // what a protocol signs for (S3: the region); empty for its default
    int redirects = 0;  // followed on the way to this attempt
    HeaderList headers;
    BodySource body;
    std::string bodySha256;  // hex, when known ahead of sending
    // The caller asked to wait for 100 Continue; it applies to a PUT with a body alone.
    bool expectContinue = false;
    // May reach the server twice. If not, it goes over a connection of its own: curl silently
    // sends a request again when a reused connection turns out to have died.
    bool repeatable = true;

    // The 2xx body goes to this sink; every other body stays in memory, up to `maxMemoryBody`.
    PayloadSink* payload = nullptr;
    std::size_t maxMemoryBody = 1u << 20;

    double idleTimeoutSeconds = 60.0;
    std::optional<std::string> caFile;
    bool accurateProgress = false;
};

// Why an attempt came back without a complete answer, as far as trying again is concerned.
enum class Fault {
    none,    // no fault, or one that a repetition would not mend
    unsent,  // the connection failed before the request went out
    lost,    // the request went out and no answer came back
    cut,     // an answer began and broke off
};

// What one attempt ended with.
struct Answer {
    std::optional<Error> error{};  // no complete answer (transport, time-out, TLS, local file)
    Fault fault = Fault::none;
    int status = 0;  // 0 when no response line arrived
    HeaderMap headers{};
    std::string body{};  // a body that did not go to the payload sink
};

}  // namespace quilo::detail
