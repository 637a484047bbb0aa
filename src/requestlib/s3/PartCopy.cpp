#include "requestlib/s3/PartCopy.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/MultipartUpload.hpp"
#include "requestlib/s3/S3Protocol.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo::detail {
namespace {

// What an object keeps through a copy: its entity headers and its metadata.
bool isObjectHeader(std::string_view name) {
    static constexpr std::array<std::string_view, 6> kEntity = {
        "Content-Type",     "Cache-Control",    "Content-Disposition",
        "Content-Encoding", "Content-Language", "Expires"};
    return toLower(name).starts_with("x-amz-meta-") ||
           std::any_of(kEntity.begin(), kEntity.end(),
                       [&](std::string_view entity) { return equalsIgnoringCase(name, entity); });
}

std::string valueOf(const HeaderList& headers, std::string_view name) {
    const auto found = std::find_if(headers.begin(), headers.end(), [&](const auto& header) {
        return equalsIgnoringCase(header.first, name);
    });
    return found == headers.end() ? std::string() : found->second;
}

std::optional<std::uint64_t> sizeIn(const HeaderMap& headers) {
    const auto length = headers.find("Content-Length");
    if (length == headers.end())
        return std::nullopt;
    const std::string& text = length->second;
    std::uint64_t size = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (failure != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return size;
}

// The largest object services keep; a source said to be larger is none.
constexpr std::uint64_t kMaxObjectSize = 5ull << 40;

// The copy's source, addressed and signed as the copy itself is.
std::shared_ptr<S3ObjectRequest> sourceOf(const S3ObjectRequest& copy,
                                          const std::pair<std::string, std::string>& source) {
    auto request = S3ObjectRequest::requestWithBucket(source.first, source.second);
    request->setVersionId(copy.sourceVersionId());
    if (copy.accessKey() && copy.secretAccessKey()) {
        request->setAccessKey(*copy.accessKey());
        request->setSecretAccessKey(*copy.secretAccessKey());
    }
    request->setSessionToken(copy.sessionToken());
    request->setRequestScheme(copy.requestScheme());
    request->setHost(copy.host());
    return request;
}

// The new object takes the source's type and metadata unless the copy replaces them; the copy's
// other headers (access, storage class, encryption) go with the initiation, and the keys of an
// encrypted source or destination with every part.
CopyPlan planFor(const S3ObjectRequest& copy, const HeaderMap& head, std::uint64_t size) {
    const HeaderList& own = copy.requestHeaders();
    CopyPlan plan{.source = valueOf(own, "x-amz-copy-source"),
                  .size = size,
                  .etag = head.contains("ETag") ? head.at("ETag") : ""};
    const bool replace = equalsIgnoringCase(valueOf(own, "x-amz-metadata-directive"), "REPLACE");
    for (const auto& [name, value] : own) {
        const std::string lower = toLower(name);
        if (lower.starts_with("x-amz-server-side-encryption-customer-") ||
            lower.starts_with("x-amz-copy-source-server-side-encryption-customer-"))
            plan.partHeaders.emplace_back(name, value);
        const bool copying = lower.starts_with("x-amz-copy-source") ||
                             lower == "x-amz-metadata-directive" ||
                             lower.starts_with("x-amz-tagging");
        if (!copying && (replace || !isObjectHeader(name)))
            plan.objectHeaders.emplace_back(name, value);
    }
    for (const auto& [name, value] : head)
        if (!replace && isObjectHeader(name))
            plan.objectHeaders.emplace_back(name, value);
    return plan;
}

// The source's tags go along unless the copy names its own (x-amz-tagging-directive REPLACE).
void withTags(const std::shared_ptr<RequestRun>& run,
              const std::shared_ptr<S3ObjectRequest>& source, CopyPlan plan, bool tagged) {
    const HeaderList& own = run->request().requestHeaders();
    if (equalsIgnoringCase(valueOf(own, "x-amz-tagging-directive"), "REPLACE")) {
        StringMap tags;
        for (auto& [key, value] : decodeQuery(valueOf(own, "x-amz-tagging")))
            tags.insert_or_assign(std::move(key), std::move(value));
        plan.tagging = tags.empty() ? "" : taggingBody(tags);
        return MultipartUpload::startCopy(run, std::move(plan));
    }
    if (!tagged)
        return MultipartUpload::startCopy(run, std::move(plan));
    Exchange read{.prepare =
                      [source](Attempt& attempt) {
                          return S3Protocol::prepareOwn(*source, attempt, "GET", {{"tagging", ""}});
                      },
                  .reportsHeaders = false,
                  .followsRedirects = false};
    run->exchange(std::move(read), [run, plan = std::move(plan)](Answer answer) mutable {
        auto tags = parseTagging(answer.body);
        if (answer.error || !isSuccess(answer.status))
            return run->finish(run->recordFailure(std::move(answer)));
        if (!tags.value)
            return run->finish(malformedError("the source's tags", tags.problem, answer.status));
        plan.tagging = taggingBody(*tags.value);
        MultipartUpload::startCopy(run, std::move(plan));
    });
}

}  // namespace

void PartCopy::perform(RequestRun& run) {
    auto& copy = static_cast<S3ObjectRequest&>(run.request());
    if (!copy.copySource_)
        return run.performSingle();
    auto source = sourceOf(copy, *copy.copySource_);
    Exchange head{.prepare =
                      [source](Attempt& attempt) {
                          return S3Protocol::prepareOwn(*source, attempt, "HEAD", {});
                      },
                  .reportsHeaders = false,
                  .followsRedirects = false};
    run.exchange(std::move(head), [run = run.shared_from_this(), source](Answer answer) {
        const auto size = sizeIn(answer.headers);
        auto& copy = static_cast<S3ObjectRequest&>(run->request());
        // A source that cannot be read here (in another region, say) is the service's to copy,
        // or to refuse in its words.
        if (answer.error || !isSuccess(answer.status) || !size ||
            *size <= S3ObjectRequest::copyPartThreshold() || *size > kMaxObjectSize)
            return run->performSingle();
        const auto count = answer.headers.find("x-amz-tagging-count");
        const bool tagged = count != answer.headers.end() && count->second != "0";
        withTags(run, source, planFor(copy, answer.headers, *size), tagged);
    });
}

}  // namespace quilo::detail
