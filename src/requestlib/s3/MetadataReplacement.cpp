#include "requestlib/s3/MetadataReplacement.hpp"

#include <algorithm>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Protocol.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo::detail {

void MetadataReplacement::perform(RequestRun& run) {
    auto& request = static_cast<S3ObjectRequest&>(run.request());
    // A caller who names the list for the copy gets that one.
    const bool ownAcl = std::any_of(
        request.requestHeaders().begin(), request.requestHeaders().end(), [](const auto& header) {
            const std::string name = toLower(header.first);
            return name == "x-amz-acl" || name.starts_with("x-amz-grant-");
        });
    if (ownAcl)
        return run.performSingle();
    auto running = run.shared_from_this();
    Exchange read{.prepare =
                      [&request](Attempt& attempt) {
                          return S3Protocol::prepareOwn(request, attempt, "GET", {{"acl", ""}});
                      },
                  .reportsHeaders = false};
    run.exchange(std::move(read), [running, &request](Answer answer) {
        if (answer.error || !isSuccess(answer.status))
            return running->finish(running->recordFailure(std::move(answer)));
        auto policy = parseAccessControlPolicy(answer.body);
        if (!policy.value)
            return running->finish(
                malformedError("the object's access-control list", policy.problem, answer.status));
        if (auto error = grantHeaders(toAclMap(*policy.value), request.keptGrants_))
            return running->finish(
                makeError(ErrorKind::response, Code::UnsupportedAccessControlList,
                          "the object's access-control list cannot be carried over the copy: " +
                              error->message,
                          answer.status));
        running->performSingle();
    });
}

}  // namespace quilo::detail
