#include "client/OperationSkeleton.hpp"
#include "operations/ObjectOptions.hpp"
#include "quilo/Client.hpp"

namespace quilo {

using detail::entry;

namespace {

// "followsSymlinks": "false" refuses a link at the end of the local path, "true" follows it.
void setFollowsSymlinks(QuiloObjectRquest& request, const StringMap& param) {
    const auto follow = entry(param, "followsSymlinks");
    if (follow && *follow != "true" && *follow != "false")
        return request.failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter, "followsSymlinks is \"true\" or \"false\""));
    if (follow)
        request.setFollowsSymlinks(*follow == "true");
}

// What every upload sets, whatever the configuration says, once its hooks are bound.
void fixUpload(QuiloObjectRquest& request, const StringMap& param) {
    request.setTimeOutSeconds(60.0);
    request.setAccessPolicy(entry(param, "accessPolicy"));
    // Only a file's upload can be carried on later; memory and streams leave the journal be.
    request.setResumeJournal(entry(param, "resumeJournal"));
    request.addRequestHeader("Expect", "100-continue");
    request.setShowAccurateProgress(true);
    setFollowsSymlinks(request, param);
    detail::setObjectOptions(request, param);
}

template <class Make>
void runUpload(Quilo& client, std::string_view name, const StringMap& param, const Make& make,
               const TransferCallbacks<QuiloObjectRquest>& callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        client, callbacks,
        {.name = name,
         .make = make,
         .afterHooks = [&](QuiloObjectRquest& request) { fixUpload(request, param); },
         .progress = detail::Progress::sent});
}

}  // namespace

void Quilo::uploadObject(const StringMap& param, TransferCallbacks<QuiloObjectRquest> callbacks) {
    runUpload(
        *this, "uploadObject", param,
        [&] {
            return QuiloObjectRquest::PUTRequestForFile<QuiloObjectRquest>(
                entry(param, "filePath"), entry(param, "bucket"), entry(param, "key"));
        },
        callbacks);
}

void Quilo::uploadData(const StringMap& param, std::string data,
                       TransferCallbacks<QuiloObjectRquest> callbacks) {
    runUpload(
        *this, "uploadData", param,
        [&] {
            return QuiloObjectRquest::PUTRequestForData<QuiloObjectRquest>(
                entry(param, "bucket"), entry(param, "key"), std::move(data));
        },
        callbacks);
}

void Quilo::uploadData(const StringMap& param, std::span<const std::byte> data,
                       TransferCallbacks<QuiloObjectRquest> callbacks) {
    runUpload(
        *this, "uploadData", param,
        [&] {
            return QuiloObjectRquest::PUTRequestForData<QuiloObjectRquest>(
                entry(param, "bucket"), entry(param, "key"), data);
        },
        callbacks);
}

void Quilo::uploadStream(const StringMap& param, S3ObjectRequest::Reader reader,
                         TransferCallbacks<QuiloObjectRquest> callbacks) {
    runUpload(
        *this, "uploadStream", param,
        [&] {
            return QuiloObjectRquest::PUTRequestForStream<QuiloObjectRquest>(
                entry(param, "bucket"), entry(param, "key"), std::move(reader));
        },
        callbacks);
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
                 request.setRange(entry(param, "range"));
                 setFollowsSymlinks(request, param);
                 detail::setReadOptions(request, param);
             },
         .progress = detail::Progress::received});
}

}  // namespace quilo
