// Compiled, never run, by the `compile` tests: as it stands it must compile without a warning;
// with one of the QUILO_* faults defined it must not compile.
#include <quilo/quilo.hpp>

void calls(quilo::Quilo& client) {
    auto up = client.uploadObject(
        quilo::UploadObjectArgs{
#ifndef QUILO_MISSING_ARGUMENT
            .filePath = "cat.jpg",
#endif
            .bucket = "photos",
            .key = "cat.jpg"},
        quilo::use_future);
    auto listed = client.listObjects(quilo::ListObjectsArgs{.bucket = "photos",
#ifdef QUILO_WRONG_TYPE
                                                            .maxKeys = "100"
#else
                                                            .maxKeys = 100
#endif
                                     },
                                     quilo::use_awaitable);
#ifdef QUILO_OTHER_OPERATION
    client.deleteObject(quilo::DownloadObjectArgs{.bucket = "b", .key = "k"}, quilo::use_future);
#endif
    client.deleteObject(quilo::DeleteObjectArgs{.bucket = "b", .key = "k"});
    client.setObjectAcl(quilo::SetObjectAclArgs{
        .bucket = std::string("b"), .key = "k", .acl = quilo::AclMap{{"READ", {"id=someone"}}}});
    client.setObjectLegalHold(quilo::SetObjectLegalHoldArgs{.bucket = "b",
                                                            .key = "k",
#ifdef QUILO_NUMBER_FLAG
                                                            .legalHold = 1
#else
                                                            .legalHold = true
#endif
                              },
                              quilo::use_future);
    auto url = client.presignedURL(quilo::PresignedURLArgs{.bucket = "b", .key = "k"});
    quilo::ObjectPagesV2 pages(client, {.bucket = "b", .fetchOwner = true});
}
