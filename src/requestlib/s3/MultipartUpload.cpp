#include "requestlib/s3/MultipartUpload.hpp"

#include <algorithm>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"
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

void MultipartUpload::start(std::shared_ptr<RequestRun> run,
                            std::shared_ptr<const SourceFile> source) {
    std::shared_ptr<MultipartUpload> upload(
        new MultipartUpload(std::move(run), std::move(source), std::nullopt));
    upload->initiate();
}

void MultipartUpload::startCopy(std::shared_ptr<RequestRun> run, CopyPlan plan) {
    std::shared_ptr<MultipartUpload> copy(new MultipartUpload(std::move(run), {}, std::move(plan)));
    copy->initiate();
}

MultipartUpload::MultipartUpload(std::shared_ptr<RequestRun> run,
                                 std::shared_ptr<const SourceFile> source,
                                 std::optional<CopyPlan> copy)
    : run_(std::move(run)),
      source_(std::move(source)),
      copy_(std::move(copy)),
      verify_(source_ && S3ObjectRequest::verifiesChecksums()),
      concurrency_(static_cast<std::size_t>(S3ObjectRequest::multipartConcurrency())) {
    const std::uint64_t size = source_ ? source_->size() : copy_->size;
    std::uint64_t partSize = S3ObjectRequest::multipartPartSize();
    if ((size + partSize - 1) / partSize > kMaxParts)
        partSize = ((size + kMaxParts - 1) / kMaxParts + kMiB - 1) / kMiB * kMiB;
    for (std::uint64_t offset = 0; offset < size; offset += partSize)
        parts_.push_back({.offset = offset, .length = std::min(partSize, size - offset)});
    if (source_)
        run_->setUploadTotal(size);
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
    hashAhead();
    sendParts();
}

// Keeps the digests a little ahead of the parts on the wire, never the parts themselves.
void MultipartUpload::hashAhead() {
    auto self = shared_from_this();
    for (; nextHash_ < parts_.size() && nextHash_ < nextSend_ + concurrency_ + 1; ++nextHash_) {
        const Part& part = parts_[nextHash_];
        if (!verify_)
            continue;
        Engine::instance().hash(
            BodySource::slice(source_, part.offset, part.length),
            [self, index = nextHash_](std::string sha256) {
                if (self->failing_ || self->run_->ended())
                    return;
                if (sha256.empty())
                    return self->fail(makeError(ErrorKind::localFile, Code::CannotReadFile,
                                                "cannot read " + self->source_->path()));
                self->parts_[index].sha256 = std::move(sha256);
                self->run_->guarded([&] { self->sendParts(); });
            });
    }
}

void MultipartUpload::sendParts() {
    while (!failing_ && nextSend_ < parts_.size() && inFlight_ < concurrency_ &&
           (!verify_ || !parts_[nextSend_].sha256.empty()))
        sendPart(nextSend_++);
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
                 .uploadSlot = source_ ? std::optional(number) : std::nullopt};
    run_->exchange(std::move(put),
                   [self, index](Answer answer) { self->partDone(index, std::move(answer)); });
}

// A part of the file, or a range of the copy's source, from the version the copy began with.
void MultipartUpload::describePart(const Part& part, Attempt& attempt) const {
    if (source_) {
        attempt.body = BodySource::slice(source_, part.offset, part.length);
        attempt.bodySha256 = part.sha256;
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
    if (source_)
        run_->uploadSlotDone(static_cast<int>(index + 1), part.length);
    if (++done_ < parts_.size())
        return sendParts();
    // The file must still be the one whose parts went up, or the object would splice two.
    if (auto changed = source_ ? source_->changed() : std::nullopt)
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
        if (copy_ && !copy_->tagging.empty())
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
        return confirmByHead(std::move(error));
    }
    fail(std::move(error));
}

// A copy in parts carries its source's tags only now: RGW drops those given at initiation.
void MultipartUpload::tag(Answer completion) {
    auto self = shared_from_this();
    Exchange tagging{
        .prepare =
            [self](Attempt& attempt) {
                attempt.headers = {{"Content-MD5", md5Base64(self->copy_->tagging)},
                                   {"Content-Type", "application/xml"}};
                attempt.body = BodySource::memory(self->copy_->tagging);
                return S3Protocol::prepareOwn(self->request(), attempt, "PUT", {{"tagging", ""}});
            },
        .reportsHeaders = false};
    run_->exchange(std::move(tagging), [self,
                                        completion = std::move(completion)](Answer answer) mutable {
        if (answer.error || !isSuccess(answer.status)) {
            Error error = self->run_->recordFailure(std::move(answer));
            error.message = "the copy is complete, but its tags could not be set: " + error.message;
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
        if (answer.error || !isSuccess(answer.status))
            error.message +=
                "; the upload " + self->uploadId_ + " could not be aborted and may hold parts: " +
                (answer.error
                     ? answer.error->description()
                     : "HTTP " + std::to_string(answer.status) + " " + serviceCode(answer));
        self->run_->finish(std::move(error));
    });
}

}  // namespace quilo::detail
