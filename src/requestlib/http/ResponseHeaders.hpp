#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "quilo/requestlib/base/Types.hpp"

namespace quilo::detail {

// The head of an HTTP/1.x answer, assembled from the lines curl hands over one at a time: the
// status line, "Name: value" fields (a repeated name keeps its values joined with ", ", a line
// that starts with a space or tab continues the previous field), and the blank line that ends
// it. A 1xx head is interim: the next status line starts over. Lines that come after the final
// head (trailers) still join the map.
//
// A server controls every byte here, so the head is bounded; once it has been refused, it stays
// refused and nothing more is read.
class ResponseHeaders {
  public:
    static constexpr std::size_t kMaxLineBytes = 64u << 10;
    static constexpr std::size_t kMaxTotalBytes = 1u << 20;  // every line of the exchange
    static constexpr std::size_t kMaxFields = 1000;          // every field line of the exchange

    enum class Step {
        more,      // keep feeding
        complete,  // this line ended a final (non-1xx) head
        refused,   // see refusal() and problem()
    };
    enum class Refusal { none, malformed, tooLarge };

    // One line, with or without its line end.
    Step feed(std::string_view line);

    // The code of the latest status line; 0 before any (or after a malformed one).
    int status() const { return status_; }
    bool complete() const { return complete_; }
    const HeaderMap& headers() const { return headers_; }
    HeaderMap takeHeaders() { return std::move(headers_); }

    Refusal refusal() const { return refusal_; }
    const std::string& problem() const { return problem_; }

  private:
    Step refuse(Refusal why, std::string problem);
    Step statusLine(std::string_view line);

    int status_ = 0;
    bool complete_ = false;
    HeaderMap headers_;
    std::string lastName_;
    std::size_t totalBytes_ = 0;
    std::size_t fields_ = 0;
    Refusal refusal_ = Refusal::none;
    std::string problem_;
};

}  // namespace quilo::detail
