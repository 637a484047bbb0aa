#include "requestlib/http/RangedDownload.hpp"

#include <algorithm>

#include "requestlib/base/Errors.hpp"
#include "requestlib/files/DownloadFile.hpp"
#include "requestlib/files/PayloadSink.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"

namespace quilo::detail {
namespace {

// However large an object claims to be, its ranges stay this few: larger ones, rather than more.
constexpr std::uint64_t kMaxRanges = 4096;

// What the journal notes of each range. Only this library reads it back, and the fastest
// digest keeps the second pass over the file (the first takes the MD5 of the whole) cheap.
constexpr auto kRangeDigest = StreamingDigest::Algorithm::sha1;

}  // namespace

void RangedDownload::start(std::shared_ptr<RequestRun> run, int status, HeaderMap head) {
    std::shared_ptr<RangedDownload> download(
        new RangedDownload(std::move(run), status, std::move(head)));
    download->takeOver();
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

// The temporary file a journal names is taken over when the version, size and place are the
// same; one of another version goes. The room comes next, so that a size no disk could hold fails
// before anything is made for it.
void RangedDownload::takeOver() {
    DownloadFile& file = run_->downloadFile();
    std::vector<DownloadJournal::Range> kept;
    if (const auto& path = run_->request().resumeJournal()) {
        const auto [device, inode] = file.directory();
        journal_ = {.directoryDevice = device,
                    .directoryInode = inode,
                    .name = file.name(),
                    .etag = head_["ETag"],
                    .size = run_->downloadTotal()};
        const auto left = DownloadJournal::read(*path);
        const bool here = left && left->directoryDevice == device &&
                          left->directoryInode == inode && left->name == file.name();
        const bool adopted = here && left->etag == journal_.etag && left->size == journal_.size &&
                             file.adopt(left->temporary, journal_.size);
        if (adopted)
            kept = left->ranges;
        else if (here)
            file.removeLeft(left->temporary);
        // Noted before the file takes its name: a kill in between leaves a journal that names no
        // file, never a file that no journal names.
        journal_.temporary = adopted ? file.temporary() : file.keptName();
        if (adopted || (journal_.write(*path) && file.keepForResume())) {
            journalPath_ = *path;
            reader_ = file.reader();
        } else if (!journal_.temporary.empty()) {
            removeJournal(*path);
        }
    }
    if (auto error = file.reserve(run_->downloadTotal()))
        return run_->finish(std::move(error));
    if (journalPath_.empty() || !reader_)
        return sendRanges();
    checkKept(kept);
}

// Each range noted is hashed from the file again; those that still have their digest stay.
void RangedDownload::checkKept(const std::vector<DownloadJournal::Range>& kept) {
    auto self = shared_from_this();
    for (const auto& range : kept) {
        const auto found = std::find_if(ranges_.begin(), ranges_.end(), [&](const auto* sink) {
            return sink->offset() == range.offset && sink->length() == range.length;
        });
        if (found == ranges_.end())
            continue;
        ++checking_;
        Engine::instance().hash(
            BodySource::slice(reader_, range.offset, range.length),
            [self, index = static_cast<std::size_t>(found - ranges_.begin()),
             range](std::string digest) {
                self->run_->guarded([&] { self->kept(index, range, digest); });
            },
            kRangeDigest);
    }
    if (checking_ == 0)
        sendRanges();
}

void RangedDownload::kept(std::size_t index, const DownloadJournal::Range& range,
                          const std::string& digest) {
    if (run_->ended())
        return;
    PayloadSink& sink = *ranges_[index];
    if (!digest.empty() && digest == range.digest && !sink.full()) {
        sink.fill();
        run_->downloadFile().markWritten(range.offset, range.offset + range.length);
        journal_.ranges.push_back(range);
        ++done_;
    }
    if (--checking_ > 0)
        return;
    journal_.write(journalPath_);
    if (done_ == ranges_.size())
        return complete();
    sendRanges();
}

void RangedDownload::sendRanges() {
    auto self = shared_from_this();
    const auto etag = head_.find("ETag");
    for (; next_ < ranges_.size() && inFlight_ < atOnce_; ++next_) {
        if (ranges_[next_]->full())
            continue;
        ++inFlight_;
        run_->exchange(
            {.prepare = [self](Attempt& attempt) { return self->run_->prepareOwn(attempt); },
             .reportsHeaders = false,
             .payload = ranges_[next_],
             .version = etag->second},
            [self, index = next_](Answer answer) { self->rangeDone(index, std::move(answer)); });
    }
}

void RangedDownload::rangeDone(std::size_t index, Answer answer) {
    --inFlight_;
    if (answer.error || !isSuccess(answer.status))
        return run_->finish(run_->recordFailure(std::move(answer)));
    if (!journalPath_.empty())
        note(index);
    ++done_;
    if (done_ < ranges_.size())
        return sendRanges();
    complete();
}

// The range is noted once hashed from the file: a process killed before that fetches it again.
void RangedDownload::note(std::size_t index) {
    auto self = shared_from_this();
    const PayloadSink& sink = *ranges_[index];
    Engine::instance().hash(
        BodySource::slice(reader_, sink.offset(), sink.length()),
        [self, offset = sink.offset(), length = sink.length()](std::string digest) {
            if (self->run_->ended() || digest.empty())
                return;
            self->journal_.ranges.push_back({offset, length, std::move(digest)});
            self->journal_.write(self->journalPath_, false);
        },
        kRangeDigest);
}

void RangedDownload::complete() {
    run_->finishWith({.status = status_, .headers = std::move(head_)});
}

}  // namespace quilo::detail
