#include "requestlib/s3/MultipartUpload.hpp"

#include <algorithm>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/files/Journal.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/PartStream.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Protocol.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo::detail {
namespace {

// Services accept at most this many parts in one upload.
constexpr std::uint64_t kMaxParts = 10000;

std::string headerValue(const HeaderMap& headers, std::string_view name) {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

}  // namespace

void MultipartUpload::start(std::shared_ptr<RequestRun> run, BodySource whole) {
    std::shared_ptr<MultipartUpload> upload(
        new MultipartUpload(std::move(run), std::move(whole), std::nullopt));
    if (upload->journal_.empty())
        return upload->initiate();
    upload->resume();
}

void MultipartUpload::startCopy(std::shared_ptr<RequestRun> run, CopyPlan plan) {
    std::shared_ptr<MultipartUpload> copy(new MultipartUpload(std::move(run), {}, std::move(plan)));
    copy->initiate();
}

void MultipartUpload::startStream(std::shared_ptr<RequestRun> run,
                                  std::shared_ptr<PartStream> stream,
                                  std::vector<PartStream::Part> first) {
    std::shared_ptr<MultipartUpload> upload(new MultipartUpload(std::move(run), {}, std::nullopt));
    upload->stream_ = std::move(stream);
    upload->streaming_ = true;
    // Until the last part has come, the total is unknown.
    upload->run_->setUploadTotal(0);
    for (auto& part : first)
        upload->streamed(std::move(part));
    std::weak_ptr<MultipartUpload> weak = upload;
    upload->stream_->deliverTo([weak](PartStream::Part part) {
        if (auto self = weak.lock())
            self->run_->guarded([&] { self->streamed(std::move(part)); });
    });
    upload->initiate();
}

MultipartUpload::MultipartUpload(std::shared_ptr<RequestRun> run, BodySource whole,
                                 std::optional<CopyPlan> copy)
    : run_(std::move(run)),
      whole_(std::move(whole)),
      copy_(std::move(copy)),
      verify_(!copy_ && S3ObjectRequest::verifiesChecksums()),
      concurrency_(static_cast<std::size_t>(S3ObjectRequest::multipartConcurrency())) {
    const std::uint64_t size = copy_ ? copy_->size : whole_.size();
    partSize_ = S3ObjectRequest::multipartPartSize();
    if ((size + partSize_ - 1) / partSize_ > kMaxParts)
        partSize_ = ((size + kMaxParts - 1) / kMaxParts + kMiB - 1) / kMiB * kMiB;
    for (std::uint64_t offset = 0; offset < size; offset += partSize_) {
        queue_.push_back(parts_.size());
        parts_.push_back({.offset = offset, .length = std::min(partSize_, size - offset)});
    }
    if (!copy_)
        run_->setUploadTotal(size);
    if (whole_.file())
        journal_ = request().resumeJournal().value_or("");
    tagging_ = copy_ ? copy_->tagging : uploadTagging();
}

// What the initiation sends beside the upload itself (type, metadata, storage class,
// encryption, policy), as a digest: completing an upload begun with other options would give
// the object those. A customer's key is named by the digest of it that goes beside it.
std::string MultipartUpload::optionsDigest() {
    auto headers = request().requestHeaders();
    std::sort(headers.begin(), headers.end());
    std::string text;
    for (const auto& [name, value] : headers) {
        if (!equalsIgnoringCase(name, "x-amz-server-side-encryption-customer-key"))
            text.append(name).append(":").append(value).append("\n");
    }
    text.append("policy:").append(request().accessPolicy().value_or(""));
    return sha256Hex(text);
}

// The journal's upload is carried on only for the same destination, file, cut and options; a
// journal of another file or options names an upload nothing will complete, which goes.
void MultipartUpload::resume() {
    auto self = shared_from_this();
    run_->setCancelHandler([self] { self->fail(cancelledError()); });
    const auto journal = UploadJournal::read(journal_);
    if (!journal || journal->bucket != *request().bucket() || journal->key != *request().key())
        return initiate();
    if (journal->source != whole_.file()->identity() || journal->partSize != partSize_ ||
        journal->options != optionsDigest())
        return dropStale(journal->uploadId);
    listParts(journal->uploadId, 0);
}

// Whatever the service answers, the new upload goes ahead: the old one is no longer wanted.
void MultipartUpload::dropStale(const std::string& uploadId) {
    auto self = shared_from_this();
    Exchange removal{.prepare =
                         [self, uploadId](Attempt& attempt) {
                             return S3Protocol::prepareOwn(self->request(), attempt, "DELETE",
                                                           {{"uploadId", uploadId}});
                         },
                     .reportsHeaders = false};
    run_->exchange(std::move(removal), [self](Answer) { self->initiate(); });
}

void MultipartUpload::listParts(std::string uploadId, std::int32_t marker) {
    auto self = shared_from_this();
    Exchange listing{
        .prepare =
            [self, uploadId, marker](Attempt& attempt) {
                std::vector<std::pair<std::string, std::string>> query{{"uploadId", uploadId}};
                if (marker > 0)
                    query.emplace_back("part-number-marker", std::to_string(marker));
                return S3Protocol::prepareOwn(self->request(), attempt, "GET", query);
            },
        .reportsHeaders = false};
    run_->exchange(std::move(listing), [self, uploadId, marker](Answer answer) {
        const bool ok = !answer.error && isSuccess(answer.status);
        auto list = ok ? parsePartList(answer.body, marker) : Parsed<PartList>{};
        // Gone (completed, aborted or expired): start afresh. RGW names an upload completed
        // meanwhile NoSuchKey rather than NoSuchUpload.
        if (answer.status == 404)
            return self->initiate();
        if (!ok)
            return self->fail(self->run_->recordFailure(std::move(answer)));
        if (!list.value)
            return self->fail(malformedError("the part list", list.problem, answer.status));
        for (const auto& part : list.value->parts)
            self->listed_.emplace(part.number, std::pair(part.size, part.etag));
        if (list.value->isTruncated && list.value->nextPartNumberMarker)
            return self->listParts(uploadId, *list.value->nextPartNumberMarker);
        self->keepParts(uploadId);
    });
}

// Each part the service holds at the right size is hashed from the file; those whose MD5 is the
// part's ETag are kept.
void MultipartUpload::keepParts(std::string uploadId) {
    uploadId_ = uploadId;
    journaledId_ = std::move(uploadId);
    auto self = shared_from_this();
    for (const auto& [number, part] : listed_) {
        const auto index = static_cast<std::size_t>(number - 1);
        if (number < 1 || index >= parts_.size() || part.first != parts_[index].length)
            continue;
        ++checking_;
        Engine::instance().hash(
            whole_.part(parts_[index].offset, parts_[index].length),
            [self, index, etag = part.second](std::string md5) {
                self->run_->guarded([&] { self->partChecked(index, etag, md5); });
            },
            StreamingDigest::Algorithm::md5);
    }
    listed_.clear();
    if (checking_ == 0)
        startSending();
}

void MultipartUpload::partChecked(std::size_t index, const std::string& etag,
                                  const std::string& md5) {
    if (failing_ || run_->ended())
        return;
    if (!md5.empty() && toLower(unquoteETag(etag)) == md5) {
        parts_[index].etag = etag;
        ++done_;
        run_->uploadSlotDone(static_cast<int>(index + 1), parts_[index].length);
    }
    if (--checking_ == 0)
        startSending();
}

void MultipartUpload::startSending() {
    queue_.clear();
    for (std::size_t i = 0; i < parts_.size(); ++i)
        if (parts_[i].etag.empty())
            queue_.push_back(i);
    if (queue_.empty() && !streaming_)
        return finishParts();
    hashAhead();
    sendParts();
}

// The tags an upload asked for, as a document.
std::string MultipartUpload::uploadTagging() {
    for (const auto& [name, value] : request().requestHeaders())
        if (equalsIgnoringCase(name, "x-amz-tagging")) {
            StringMap tags;
            for (auto& [key, tag] : decodeQuery(value))
                tags.insert_or_assign(std::move(key), std::move(tag));
            return tags.empty() ? std::string() : taggingBody(tags);
        }
    return {};
}

void MultipartUpload::addPart(BodySource body, std::string sha256) {
    const std::uint64_t offset = parts_.empty() ? 0 : parts_.back().offset + parts_.back().length;
    queue_.push_back(parts_.size());
    parts_.push_back(
        {.offset = offset, .length = body.size(), .sha256 = std::move(sha256), .body = body});
}

// A part of a stream: sent as soon as the upload has its id; an empty last one only ends it.
void MultipartUpload::streamed(PartStream::Part part) {
    if (failing_ || run_->ended())
        return;
    if (part.error)
        return fail(std::move(*part.error));
    if (part.bytes.size() > 0) {
        if (parts_.size() >= kMaxParts)
            return fail(
                makeError(ErrorKind::localFile, Code::CannotReadStream,
                          "the stream is longer than " + std::to_string(kMaxParts) + " parts of " +
                              std::to_string(S3ObjectRequest::multipartPartSize()) + " bytes"));
        auto sha256 = std::move(part.sha256);
        addPart(std::move(part.bytes), std::move(sha256));
    } else {
        stream_->release();
    }
    if (part.last) {
        streaming_ = false;
        run_->setUploadTotal(parts_.back().offset + parts_.back().length);
    }
    if (uploadId_.empty() || initiating_)
        return;
    if (!streaming_ && done_ == parts_.size())
        return complete();
    sendParts();
}

S3ObjectRequest& MultipartUpload::request() {
    return static_cast<S3ObjectRequest&>(run_->request());
}

void MultipartUpload::initiate() {
    auto self = shared_from_this();
    run_->setCancelHandler([self] { self->fail(cancelledError()); });
    // The object's own headers (type, metadata, policy) belong to the initiation. It must not
    // be repeated once it may have reached the service: that would leave an orphan upload.
    Exchange initiation{
        .prepare =
            [self](Attempt& attempt) {
                attempt.headers =
                    self->copy_ ? self->copy_->objectHeaders : self->request().requestHeaders();
                if (const auto& policy = self->request().accessPolicy())
                    attempt.headers.emplace_back("x-amz-acl", *policy);
                attempt.body = BodySource::memory({});
                return S3Protocol::prepareOwn(self->request(), attempt, "POST", {{"uploads", ""}});
            },
        .reportsHeaders = false,
        .repeatable = false};
    initiating_ = true;
    run_->exchange(std::move(initiation),
                   [self](Answer answer) { self->initiated(std::move(answer)); });
}

void MultipartUpload::initiated(Answer answer) {
    initiating_ = false;
    const bool ok = !answer.error && isSuccess(answer.status);
    auto uploadId = ok ? parseInitiateMultipartUpload(answer.body) : Parsed<std::string>{};
    if (uploadId.value)
        uploadId_ = *uploadId.value;
    if (deferred_)
        return fail(std::move(*deferred_));
    if (!ok)
        return fail(run_->recordFailure(std::move(answer)));
    if (!uploadId.value)
        return fail(malformedError("the multipart initiation", uploadId.problem, answer.status));
    // Without its journal the upload still goes; only a later run could not carry it on.
    journaledId_ = uploadId_;
    if (!journal_.empty())
        UploadJournal{.bucket = *request().bucket(),
                      .key = *request().key(),
                      .uploadId = uploadId_,
                      .source = whole_.file()->identity(),
                      .partSize = partSize_,
                      .options = optionsDigest()}
            .write(journal_);
    startSending();
}

// Keeps the digests a little ahead of the parts on the wire, never the parts themselves.
void MultipartUpload::hashAhead() {
    if (stream_)
        return;  // hashed as they were read
    auto self = shared_from_this();
    for (; nextHash_ < queue_.size() && nextHash_ < nextSend_ + concurrency_ + 1; ++nextHash_) {
        const Part& part = parts_[queue_[nextHash_]];
        if (!verify_)
            continue;
        Engine::instance().hash(
            whole_.part(part.offset, part.length),
            [self, index = queue_[nextHash_]](std::string sha256) {
                if (self->failing_ || self->run_->ended())
                    return;
                if (sha256.empty())
                    return self->fail(makeError(ErrorKind::localFile, Code::CannotReadFile,
                                                "cannot read " + self->whole_.file()->path()));
                self->parts_[index].sha256 = std::move(sha256);
                self->run_->guarded([&] { self->sendParts(); });
            });
    }
}

void MultipartUpload::sendParts() {
    while (!failing_ && nextSend_ < queue_.size() && inFlight_ < concurrency_ &&
           (!verify_ || !parts_[queue_[nextSend_]].sha256.empty()))
        sendPart(queue_[nextSend_++]);
    hashAhead();
}

void MultipartUpload::sendPart(std::size_t index) {
    ++inFlight_;
    auto self = shared_from_this();
    const int number = static_cast<int>(index + 1);
    Exchange put{.prepare =
                     [self, index, number](Attempt& attempt) {
                         self->describePart(self->parts_[index], attempt);
                         return S3Protocol::prepareOwn(self->request(), attempt, "PUT",
                                                       {{"partNumber", std::to_string(number)},
                                                        {"uploadId", self->uploadId_}});
                     },
                 .reportsHeaders = false,
                 .uploadSlot = copy_ ? std::nullopt : std::optional(number)};
    run_->exchange(std::move(put),
                   [self, index](Answer answer) { self->partDone(index, std::move(answer)); });
}

// A part of the file, or a range of the copy's source, from the version the copy began with.
void MultipartUpload::describePart(const Part& part, Attempt& attempt) const {
    if (!copy_) {
        attempt.body = stream_ ? part.body : whole_.part(part.offset, part.length);
        attempt.bodySha256 = part.sha256;
        attempt.headers = customerKeyHeaders(run_->request().requestHeaders());
        return;
    }
    attempt.headers = copy_->partHeaders;
    attempt.headers.emplace_back("x-amz-copy-source", copy_->source);
    attempt.headers.emplace_back("x-amz-copy-source-range",
                                 "bytes=" + std::to_string(part.offset) + "-" +
                                     std::to_string(part.offset + part.length - 1));
    if (!copy_->etag.empty())
        attempt.headers.emplace_back("x-amz-copy-source-if-match", copy_->etag);
    attempt.body = BodySource::memory({});
}

void MultipartUpload::partDone(std::size_t index, Answer answer) {
    --inFlight_;
    // A part copy can fail after its 200 has gone out: the body then holds an <Error>.
    if (answer.error || !isSuccess(answer.status) ||
        (copy_ && parseErrorDocument(answer.body).value))
        return fail(run_->recordFailure(std::move(answer)));
    Part& part = parts_[index];
    if (auto error = readPartETag(part, answer))
        return fail(std::move(*error));
    if (!copy_)
        run_->uploadSlotDone(static_cast<int>(index + 1), part.length);
    if (stream_) {
        part.body = BodySource();
        stream_->release();
    }
    if (++done_ < parts_.size() || streaming_)
        return sendParts();
    finishParts();
}

// The file must still be the one whose parts went up, or the object would splice two.
void MultipartUpload::finishParts() {
    if (auto changed = whole_.file() ? whole_.file()->changed() : std::nullopt)
        return fail(std::move(*changed));
    complete();
}

// An uploaded part's ETag comes in a header, a copied one's in the body.
std::optional<Error> MultipartUpload::readPartETag(Part& part, Answer& answer) {
    part.encrypted = isEncrypted(answer.headers);
    if (copy_) {
        auto copied = parseCopyPartResult(answer.body);
        if (!copied.value)
            return malformedError("a part copy's result", copied.problem, answer.status);
        part.etag = std::move(*copied.value);
    } else {
        part.etag = headerValue(answer.headers, "ETag");
    }
    if (part.etag.empty())
        return makeError(ErrorKind::response, Code::MalformedResponse,
                         "a part came back without an ETag", answer.status);
    return std::nullopt;
}

// What services name a multipart object: the MD5 of the parts' binary MD5s, then "-<parts>".
// Empty when a part's ETag is no MD5 (an encrypted object's).
std::string MultipartUpload::expectedETag() const {
    std::string digests;
    for (const auto& part : parts_) {
        const std::string md5 = hexDecode(unquoteETag(part.etag));
        if (md5.size() != 16 || part.encrypted)
            return {};
        digests += md5;
    }
    StreamingDigest digest(StreamingDigest::Algorithm::md5);
    digest.update(digests.data(), digests.size());
    return digest.hexDigest() + "-" + std::to_string(parts_.size());
}

void MultipartUpload::complete() {
    auto self = shared_from_this();
    std::vector<std::pair<int, std::string>> list;
    for (std::size_t i = 0; i < parts_.size(); ++i)
        list.emplace_back(static_cast<int>(i + 1), parts_[i].etag);
    Exchange completion{.prepare =
                            [self, body = completeMultipartUploadBody(list)](Attempt& attempt) {
                                attempt.headers.emplace_back("Content-Type", "application/xml");
                                attempt.body = BodySource::memory(body);
                                return S3Protocol::prepareOwn(self->request(), attempt, "POST",
                                                              {{"uploadId", self->uploadId_}});
                            },
                        .reportsHeaders = true};
    run_->exchange(std::move(completion),
                   [self](Answer answer) { self->completed(std::move(answer)); });
}

void MultipartUpload::completed(Answer answer) {
    // A completion can fail after its 200 has gone out: the body then holds an <Error>.
    const bool failed = answer.error || !isSuccess(answer.status) ||
                        parseErrorDocument(answer.body).value.has_value();
    if (!failed) {
        uploadId_.clear();
        forgetJournal();
        if (!tagging_.empty())
            return tag(std::move(answer));
        auto self = shared_from_this();
        return run_->finishWith(std::move(answer), [self] { return self->readCompletion(); });
    }
    // A completion repeated (by the retry, or by curl on a connection that died) may find that
    // the first one went through after all.
    const bool gone = answer.status == 404 && serviceCode(answer) == "NoSuchUpload";
    Error error = run_->recordFailure(std::move(answer));
    if (gone) {
        uploadId_.clear();
        forgetJournal();
        return confirmByHead(std::move(error));
    }
    fail(std::move(error));
}

// An object made of parts carries its tags only now: RGW drops those given at initiation.
void MultipartUpload::tag(Answer completion) {
    auto self = shared_from_this();
    Exchange tagging{
        .prepare =
            [self](Attempt& attempt) {
                attempt.headers = {{"Content-MD5", md5Base64(self->tagging_)},
                                   {"Content-Type", "application/xml"}};
                attempt.body = BodySource::memory(self->tagging_);
                return S3Protocol::prepareOwn(self->request(), attempt, "PUT", {{"tagging", ""}});
            },
        .reportsHeaders = false};
    run_->exchange(std::move(tagging), [self,
                                        completion = std::move(completion)](Answer answer) mutable {
        if (answer.error || !isSuccess(answer.status)) {
            Error error = self->run_->recordFailure(std::move(answer));
            error.message =
                "the object is complete, but its tags could not be set: " + error.message;
            return self->run_->finish(std::move(error));
        }
        self->run_->finishWith(std::move(completion), [self] { return self->readCompletion(); });
    });
}

std::optional<Error> MultipartUpload::readCompletion() {
    auto completed = parseCompleteMultipartUpload(request().responseData());
    if (!completed.value)
        return malformedError("the multipart completion", completed.problem,
                              request().responseStatusCode());
    const std::string& given = *completed.value;
    // Ceph RGW names no ETag: the parts' is the object's. Unchecked, it is the service's word;
    // a copy's parts are the service's word in any case.
    request().etag_ = given.empty() && (verify_ || copy_) ? expectedETag() : given;
    return std::nullopt;
}

void MultipartUpload::confirmByHead(Error missing) {
    auto self = shared_from_this();
    Exchange head{.prepare =
                      [self](Attempt& attempt) {
                          return S3Protocol::prepareOwn(self->request(), attempt, "HEAD", {});
                      },
                  .reportsHeaders = false};
    run_->exchange(std::move(head), [self, missing](Answer answer) {
        const std::string expected = self->expectedETag();
        const std::string etag = unquoteETag(headerValue(answer.headers, "ETag"));
        if (answer.error || !isSuccess(answer.status) || expected.empty() || etag != expected)
            return self->run_->finish(missing);
        self->request().etag_ = etag;
        self->run_->finish(std::nullopt);
    });
}

void MultipartUpload::fail(Error error) {
    if (failing_ || run_->ended())
        return;
    if (initiating_) {
        // The initiation may have reached the service already: wait for the upload's id and
        // abort the upload, rather than leave it behind.
        if (!deferred_)
            deferred_ = std::move(error);
        return;
    }
    failing_ = true;
    if (stream_)
        stream_->stop();
    // Parts on the wire and parts waiting for a retry alike: nothing more goes after the abort.
    run_->abortExchanges();
    if (uploadId_.empty())
        return run_->finish(std::move(error));
    abort(std::move(error));
}

// The request ends once the service has dropped the parts; if it could not, the error says so.
void MultipartUpload::abort(Error error) {
    auto self = shared_from_this();
    Exchange removal{.prepare =
                         [self](Attempt& attempt) {
                             return S3Protocol::prepareOwn(self->request(), attempt, "DELETE",
                                                           {{"uploadId", self->uploadId_}});
                         },
                     .reportsHeaders = false};
    run_->exchange(std::move(removal), [self, error = std::move(error)](Answer answer) mutable {
        if (!answer.error && isSuccess(answer.status))
            self->forgetJournal();
        else
            error.message +=
                "; the upload " + self->uploadId_ + " could not be aborted and may hold parts: " +
                (answer.error
                     ? answer.error->description()
                     : "HTTP " + std::to_string(answer.status) + " " + serviceCode(answer));
        self->run_->finish(std::move(error));
    });
}

// Once the upload is complete or aborted there is nothing left to carry on. A journal that
// another process has meanwhile given to an upload of its own stays.
void MultipartUpload::forgetJournal() {
    if (journal_.empty())
        return;
    if (const auto journal = UploadJournal::read(journal_);
        journal && journal->uploadId == journaledId_)
        removeJournal(journal_);
}

}  // namespace quilo::detail
