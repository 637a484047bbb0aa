#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {

using detail::entry;

void Quilo::uploadObject(const StringMap& param, TransferCallbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "uploadObject",
         .make =
             [&] {
                 return QuiloObjectRquest::PUTRequestForFile<QuiloObjectRquest>(
                     entry(param, "filePath"), entry(param, "bucket"), entry(param, "key"));
             },
         // Fixed for every upload, whatever the configuration says.
         .afterHooks =
             [&](QuiloObjectRquest& request) {
                 request.setTimeOutSeconds(60.0);
                 request.setAccessPolicy(entry(param, "accessPolicy"));
                 request.setResumeJournal(entry(param, "resumeJournal"));
                 request.addRequestHeader("Expect", "100-continue");
                 request.setShowAccurateProgress(true);
             },
         .progress = detail::Progress::sent});
}

void Quilo::downloadObject(const StringMap& param, TransferCallbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "downloadObject",
         .make =
             [&] {
                 return QuiloObjectRquest::requestWithBucket<QuiloObjectRquest>(
                     entry(param, "bucket"), entry(param, "key"));
             },
         .afterHooks =
             [&](QuiloObjectRquest& request) {
                 request.setDownloadDestinationPath(entry(param, "downloadDestinationPath"));
                 request.setResumeJournal(entry(param, "resumeJournal"));
                 request.setShowAccurateProgress(true);
             },
         .progress = detail::Progress::received});
}

}  // namespace quilo
