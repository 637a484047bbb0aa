#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "quilo/requestlib/base/Types.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

class PayloadSink;
class RequestRun;

// No range is smaller, so that the requests stay few against the bytes they bring.
inline constexpr std::uint64_t kMinRangeSize = 64 * 1024;

// A large download fetched in ranges at once, each written where it belongs in the one
// temporary file. Every range asks for the version the first answer named (If-Match), so that a
// resource replaced meanwhile fails the download instead of splicing two versions; a range that
// breaks is retried alone, from where it stopped.
class RangedDownload : public std::enable_shared_from_this<RangedDownload> {
  public:
    // Takes over from the first answer, dropped after its head, which stays the request's answer.
    static void start(std::shared_ptr<RequestRun> run, int status, HeaderMap head);

  private:
    RangedDownload(std::shared_ptr<RequestRun> run, int status, HeaderMap head);
    void sendRanges();
    void rangeDone(Answer answer);

    std::shared_ptr<RequestRun> run_;
    int status_;
    HeaderMap head_;
    std::vector<PayloadSink*> ranges_;
    std::size_t atOnce_ = 1, next_ = 0, inFlight_ = 0, done_ = 0;
};

}  // namespace quilo::detail
