#pragma once

#include <string>
#include <utility>
#include <vector>

#include "requestlib/http/Protocol.hpp"

namespace quilo {
class S3Request;
}

namespace quilo::detail {

// S3's side of every request: its addressing, SigV4 signatures, <Error> documents, the
// service's transient codes and its region redirects.
class S3Protocol : public Protocol {
  public:
    static const S3Protocol& instance();

    void perform(RequestRun& run) const override;
    std::optional<Error> prepare(HTTPRequest& request, Attempt& attempt) const override;
    bool checksPayload(const HTTPRequest& request, int status,
                       const HeaderMap& headers) const override;
    std::optional<Error> accept(HTTPRequest& request, std::string_view payloadMd5) const override;
    Error describe(const HTTPRequest& request) const override;
    std::optional<std::chrono::milliseconds> retry(const Answer& answer,
                                                   bool repeatable) const override;
    Redirect redirect(const HTTPRequest& request, const Answer& answer,
                      const Attempt& sent) const override;
    BodyRules bodyRules(const HTTPRequest& request) const override;

    // An attempt of one of the request's own exchanges on its resource, with this method and
    // query, signed. The attempt's headers and body are kept.
    static std::optional<Error> prepareOwn(
        const S3Request& request, Attempt& attempt, std::string method,
        const std::vector<std::pair<std::string, std::string>>& query);
    // Adds Host, x-amz-date, x-amz-content-sha256, x-amz-security-token and Authorization to a
    // complete attempt.
    static std::optional<Error> sign(const S3Request& request, Attempt& attempt);
};

// The service's error code in an answer's document, if it has one.
std::string serviceCode(const Answer& answer);

}  // namespace quilo::detail
