#include "requestlib/http/RangedDownload.hpp"

#include <algorithm>

#include "requestlib/base/Errors.hpp"
#include "requestlib/files/DownloadFile.hpp"
#include "requestlib/files/PayloadSink.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"

namespace quilo::detail {
namespace {

// However large an object claims to be, its ranges stay this few: larger ones, rather than more.
constexpr std::uint64_t kMaxRanges = 4096;

}  // namespace

// The room comes first, so that a size no disk could hold fails before anything is made for it.
void RangedDownload::start(std::shared_ptr<RequestRun> run, int status, HeaderMap head) {
    if (auto error = run->downloadFile().reserve(run->downloadTotal()))
        return run->finish(std::move(error));
    std::shared_ptr<RangedDownload> download(
        new RangedDownload(std::move(run), status, std::move(head)));
    download->sendRanges();
}

RangedDownload::RangedDownload(std::shared_ptr<RequestRun> run, int status, HeaderMap head)
    : run_(std::move(run)), status_(status), head_(std::move(head)) {
    const BodyRules rules = run_->protocol().bodyRules(run_->request());
    atOnce_ = std::max<std::size_t>(1, rules.rangesAtOnce);
    const std::uint64_t total = run_->downloadTotal();
    const std::uint64_t rangeBytes = std::max(rules.rangeBytes, total / kMaxRanges + 1);
    // The first ranges grow in size, so that they end one after another rather than all at
    // once: the digest behind the writes then follows them instead of catching up at the end.
    for (std::uint64_t offset = 0, n = 1; offset < total; ++n) {
        const std::uint64_t size = std::max<std::uint64_t>(
            kMinRangeSize, rangeBytes * std::min<std::uint64_t>(n, atOnce_) / atOnce_);
        ranges_.push_back(&run_->addRange(offset, std::min(size, total - offset)));
        offset += ranges_.back()->length();
    }
}

void RangedDownload::sendRanges() {
    auto self = shared_from_this();
    const auto etag = head_.find("ETag");
    for (; next_ < ranges_.size() && inFlight_ < atOnce_; ++next_, ++inFlight_) {
        run_->exchange(
            {.prepare = [self](Attempt& attempt) { return self->run_->prepareOwn(attempt); },
             .reportsHeaders = false,
             .payload = ranges_[next_],
             .version = etag->second},
            [self](Answer answer) { self->rangeDone(std::move(answer)); });
    }
}

void RangedDownload::rangeDone(Answer answer) {
    --inFlight_;
    if (answer.error || !isSuccess(answer.status))
        return run_->finish(run_->recordFailure(std::move(answer)));
    if (++done_ < ranges_.size())
        return sendRanges();
    run_->finishWith({.status = status_, .headers = std::move(head_)});
}

}  // namespace quilo::detail
