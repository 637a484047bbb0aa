#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quilo/requestlib/base/Types.hpp"
#include "requestlib/files/Journal.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

class PayloadSink;
class RequestRun;
class SourceFile;

// No range is smaller, so that the requests stay few against the bytes they bring.
inline constexpr std::uint64_t kMinRangeSize = 64 * 1024;

// A large download fetched in ranges at once, each written where it belongs in the one
// temporary file. Every range asks for the version the first answer named (If-Match), so that a
// resource replaced meanwhile fails the download instead of splicing two versions; a range that
// breaks is retried alone, from where it stopped. With a journal, each range written is noted
// there with its digest, and the journal of a download cut short of the same version into the same
// place hands over its temporary file and the ranges that still hash as noted.
class RangedDownload : public std::enable_shared_from_this<RangedDownload> {
  public:
    // Takes over from the first answer, dropped after its head, which stays the request's answer.
    static void start(std::shared_ptr<RequestRun> run, int status, HeaderMap head);

  private:
    RangedDownload(std::shared_ptr<RequestRun> run, int status, HeaderMap head);
    void takeOver();
    void checkKept(const std::vector<DownloadJournal::Range>& kept);
    void kept(std::size_t index, const DownloadJournal::Range& range, const std::string& digest);
    void note(std::size_t index);
    void sendRanges();
    void rangeDone(std::size_t index, Answer answer);
    void complete();

    std::shared_ptr<RequestRun> run_;
    int status_;
    HeaderMap head_;
    std::vector<PayloadSink*> ranges_;
    std::size_t atOnce_ = 1, next_ = 0, inFlight_ = 0, done_ = 0, checking_ = 0;
    std::string journalPath_;  // empty without a journal
    DownloadJournal journal_;
    std::shared_ptr<const SourceFile> reader_;  // the temporary file, for the ranges' digests
};

}  // namespace quilo::detail
