#include "requestlib/MultipartUpload.hpp"

#include <algorithm>

#include "quilo/requestlib/S3ObjectRequest.hpp"
#include "requestlib/Crypto.hpp"
#include "requestlib/RequestRun.hpp"
#include "requestlib/S3Headers.hpp"
#include "requestlib/S3Xml.hpp"
#include "requestlib/Text.hpp"

namespace quilo::detail {
namespace {

// Services accept at most this many parts in one upload.
constexpr std::uint64_t kMaxParts = 10000;
constexpr std::uint64_t kMiB = 1u << 20;

}  // namespace

void MultipartUpload::start(std::shared_ptr<RequestRun> run, std::uint64_t fileSize) {
    std::shared_ptr<MultipartUpload> upload(new MultipartUpload(std::move(run), fileSize));
    upload->initiate();
}

MultipartUpload::MultipartUpload(std::shared_ptr<RequestRun> run, std::uint64_t fileSize)
    : run_(std::move(run)), fileSize_(fileSize) {
    file_ = *request().uploadFilePath();
    partSize_ = S3ObjectRequest::multipartPartSize();
    if ((fileSize_ + partSize_ - 1) / partSize_ > kMaxParts)
        partSize_ = ((fileSize_ + kMaxParts - 1) / kMaxParts + kMiB - 1) / kMiB * kMiB;
    partCount_ = static_cast<int>((fileSize_ + partSize_ - 1) / partSize_);
    etags_.resize(static_cast<size_t>(partCount_));
    partMd5s_.resize(static_cast<size_t>(partCount_));
    run_->setUploadTotal(fileSize_);
}

S3ObjectRequest& MultipartUpload::request() {
    return static_cast<S3ObjectRequest&>(run_->request());
}

std::optional<Error> MultipartUpload::prepare(
    AttemptSpec& attempt, std::string method,
    std::vector<std::pair<std::string, std::string>> query) {
    attempt.method = std::move(method);
    attempt.url = attempt.redirectURL.empty() ? request().resourceURL(query) : attempt.redirectURL;
    return request().signAttempt(attempt);
}

void MultipartUpload::initiate() {
    auto self = shared_from_this();
    run_->setCancelHandler([self] {
        self->fail(Error{ErrorKind::cancelled, "Cancelled", "the request was cancelled", 0, {}});
    });
    ExchangePlan plan;
    plan.reportsHeaders = false;
    plan.prepare = [self](AttemptSpec& attempt) {
        // The object's own headers (type, metadata, policy) belong to the initiation.
        for (const auto& header : self->request().requestHeaders())
            if (!equalsIgnoringCase(header.first, "Expect"))
                attempt.headers.push_back(header);
        if (const auto& policy = self->request().accessPolicy())
            attempt.headers.emplace_back("x-amz-acl", *policy);
        attempt.body = AttemptSpec::Body::memory;
        return self->prepare(attempt, "POST", {{"uploads", ""}});
    };
    initiating_ = true;
    run_->exchange(std::move(plan), [self](ExchangeResult result) {
        self->initiating_ = false;
        if (self->deferred_) {
            if (!result.error && result.status / 100 == 2) {
                if (auto made = parseInitiateMultipartUpload(result.body); made.value)
                    self->uploadId_ = *made.value;
            }
            self->fail(std::move(*self->deferred_));
            return;
        }
        if (result.error || result.status / 100 != 2) {
            self->fail(self->run_->recordFailure(std::move(result)));
            return;
        }
        auto uploadId = parseInitiateMultipartUpload(result.body);
        if (!uploadId.value) {
            self->fail(Error{ErrorKind::response,
                             "MalformedResponse",
                             "the multipart initiation could not be read: " + uploadId.problem,
                             result.status,
                             {}});
            return;
        }
        self->uploadId_ = *uploadId.value;
        self->sendParts();
    });
}

void MultipartUpload::sendParts() {
    while (!failing_ && nextPart_ <= partCount_ &&
           partsInFlight_ < S3ObjectRequest::multipartConcurrency())
        sendPart(nextPart_++);
}

void MultipartUpload::sendPart(int number) {
    ++partsInFlight_;
    auto self = shared_from_this();
    std::uint64_t offset = static_cast<std::uint64_t>(number - 1) * partSize_;
    std::uint64_t length = std::min(partSize_, fileSize_ - offset);
    ExchangePlan plan;
    plan.reportsHeaders = false;
    plan.uploadSlot = number;
    plan.prepare = [self, number, offset, length](AttemptSpec& attempt) {
        for (const auto& header : self->request().requestHeaders())
            if (equalsIgnoringCase(header.first, "Expect"))
                attempt.headers.push_back(header);
        attempt.body = AttemptSpec::Body::file;
        attempt.digestSentBody = S3ObjectRequest::verifiesChecksums();
        attempt.bodyFile = self->file_;
        attempt.bodyOffset = offset;
        attempt.bodyLength = length;
        return self->prepare(
            attempt, "PUT",
            {{"partNumber", std::to_string(number)}, {"uploadId", self->uploadId_}});
    };
    run_->exchange(std::move(plan), [self, number, length](ExchangeResult result) {
        --self->partsInFlight_;
        if (result.error || result.status / 100 != 2) {
            self->fail(self->run_->recordFailure(std::move(result)));
            return;
        }
        auto etag = result.headers.find("ETag");
        if (etag == result.headers.end() || etag->second.empty()) {
            self->fail(Error{ErrorKind::response,
                             "MalformedResponse",
                             "part " + std::to_string(number) + " came back without an ETag",
                             result.status,
                             {}});
            return;
        }
        std::string plain = unquoteETag(etag->second);
        if (contradictsMd5(plain, result.sentMd5)) {
            self->fail(Error{ErrorKind::integrity,
                             "ChecksumMismatch",
                             "part " + std::to_string(number) + " was stored with MD5 " + plain +
                                 " but " + result.sentMd5 + " was sent",
                             result.status,
                             {}});
            return;
        }
        self->etags_[static_cast<size_t>(number - 1)] = etag->second;
        self->partMd5s_[static_cast<size_t>(number - 1)] = result.sentMd5;
        self->run_->uploadSlotDone(number, length);
        if (++self->partsDone_ == self->partCount_)
            self->complete();
        else
            self->sendParts();
    });
}

// The ETag services give a multipart object: the MD5 of the parts' binary MD5s, then "-<parts>".
std::string MultipartUpload::multipartETag() const {
    std::string digests;
    for (const auto& md5 : partMd5s_)
        for (size_t i = 0; i + 1 < md5.size(); i += 2)
            digests.push_back(static_cast<char>(std::stoi(md5.substr(i, 2), nullptr, 16)));
    StreamingDigest digest(StreamingDigest::Algorithm::md5);
    digest.update(digests.data(), digests.size());
    return digest.hexDigest() + "-" + std::to_string(partCount_);
}

void MultipartUpload::complete() {
    auto self = shared_from_this();
    request().multipartETag_ = multipartETag();
    std::vector<std::pair<int, std::string>> parts;
    for (int number = 1; number <= partCount_; ++number)
        parts.emplace_back(number, unquoteETag(etags_[static_cast<size_t>(number - 1)]));
    ExchangePlan plan;
    plan.reportsHeaders = true;
    plan.prepare = [self, body = completeMultipartUploadBody(parts)](AttemptSpec& attempt) {
        attempt.headers.emplace_back("Content-Type", "application/xml");
        attempt.body = AttemptSpec::Body::memory;
        attempt.bodyData = body;
        return self->prepare(attempt, "POST", {{"uploadId", self->uploadId_}});
    };
    run_->exchange(std::move(plan), [self](ExchangeResult result) {
        // A completion can fail after its 200 has gone out: the body then holds an <Error>.
        bool failed = result.error || result.status / 100 != 2 ||
                      parseErrorDocument(result.body).value.has_value();
        if (failed) {
            self->fail(self->run_->recordFailure(std::move(result)));
            return;
        }
        self->uploadId_.clear();
        self->run_->finishWith(std::move(result));
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
    run_->abortExchanges();
    if (uploadId_.empty()) {
        run_->finish(std::move(error));
        return;
    }
    // The request ends once the service has dropped the parts, whatever it answers.
    auto self = shared_from_this();
    ExchangePlan plan;
    plan.reportsHeaders = false;
    plan.prepare = [self](AttemptSpec& attempt) {
        return self->prepare(attempt, "DELETE", {{"uploadId", self->uploadId_}});
    };
    run_->exchange(std::move(plan), [self, error = std::move(error)](ExchangeResult) mutable {
        self->run_->finish(std::move(error));
    });
}

}  // namespace quilo::detail
