#pragma once

// Typed arguments: one aggregate per operation, beside the maps.
//
//     client.uploadObject(quilo::UploadObjectArgs{.filePath = "cat.jpg", .bucket = "photos",
//                                                 .key = "2024/cat.jpg"}, quilo::use_future);
//
// A Required member left out, or given a value of another type, does not compile; the others are
// std::optional. Designated initialisers must come in the order of the members. Each aggregate
// turns into its operation's map (param()), so that one path carries every request and every
// rule of the maps holds for both.
//
// To add an operation: its aggregate here, with param() in src/client/Arguments.cpp and `Param`,
// `Request` and `Set` naming its leading argument, typed request and callback set; then one
// template beside the others in Client.hpp.

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "quilo/AccessPolicy.hpp"
#include "quilo/Callbacks.hpp"
#include "quilo/Completion.hpp"
#include "quilo/TypedRequests.hpp"
#include "quilo/Value.hpp"

namespace quilo {

// A member that an aggregate cannot be made without.
template <class T>
class Required {
  public:
    // From whatever converts to T: .bucket = "photos", .acl = AclMap{...}.
    template <std::convertible_to<T> U>
    Required(U&& value) : value_(std::forward<U>(value)) {}
    // Chosen only when the member is left out of the braces, to say so.
    template <bool leftOut = true>
    Required() {
        static_assert(!leftOut, "a Required argument of this operation is missing");
    }

    operator const T&() const noexcept { return value_; }
    const T& operator*() const noexcept { return value_; }
    const T* operator->() const noexcept { return &value_; }

  private:
    T value_;
};

// What the operations on one bucket take: createBucket, deleteBucket, getBucketAcl and
// getBucketMeta.
struct BucketArgs {
    using Param = std::string;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;

    Param param() const { return *bucket; }
};
using CreateBucketArgs = BucketArgs;
using DeleteBucketArgs = BucketArgs;
using GetBucketAclArgs = BucketArgs;
using GetBucketMetaArgs = BucketArgs;

struct SetBucketAclArgs {
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    Required<AclMap> acl;

    Param param() const;
};

// Left out, prefix, delimiter and marker ask for nothing, and maxKeys for 1000 (the most a
// service gives).
struct ListObjectsArgs {
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    std::optional<std::string> prefix{};
    std::optional<std::string> delimiter{};
    std::optional<std::string> marker{};
    std::optional<std::int32_t> maxKeys{};

    Param param() const;
};

struct DeleteObjectsArgs {
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    Required<StringList> keys;

    Param param() const;
};

// Left out, accessPolicy gives the service's default (private).
struct UploadObjectArgs {
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = TransferCallbacks<Request>;

    Required<std::string> filePath;
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<AccessPolicy> accessPolicy{};

    Param param() const;
};

// Left out, downloadDestinationPath keeps the bytes in responseData().
struct DownloadObjectArgs {
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = TransferCallbacks<Request>;

    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<std::string> downloadDestinationPath{};

    Param param() const;
};

struct CopyObjectArgs {
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    Required<std::string> srcBucket;
    Required<std::string> srcKey;
    Required<std::string> desBucket;
    Required<std::string> desKey;

    Param param() const;
};

// What the operations on one object take: deleteObject, getObjectAcl and getObjectMeta.
struct ObjectArgs {
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    Required<std::string> key;

    Param param() const;
};
using DeleteObjectArgs = ObjectArgs;
using GetObjectAclArgs = ObjectArgs;
using GetObjectMetaArgs = ObjectArgs;

struct SetObjectAclArgs {
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    Required<std::string> key;
    Required<AclMap> acl;

    Param param() const;
};

// Replaces the object's metadata with meta.
struct SetObjectMetaArgs {
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    Required<std::string> bucket;
    Required<std::string> key;
    Required<StringMap> meta;

    Param param() const;
};

// listBuckets takes no argument; this only names its request and callables.
struct ListBucketsArgs {
    using Request = QuiloServiceRequest;
    using Set = Callbacks<Request>;
};

namespace detail {

// An operation's leading argument: its Param (or what converts to it) or its aggregate.
template <class A, class Args>
concept LeadingFor = std::same_as<A, Args> || std::convertible_to<const A&, typename Args::Param>;

// The typed and token forms: everything but the callables' own form (Param and Set), which the
// operation's virtual function takes.
template <class A, class How, class Args>
concept FormFor = LeadingFor<A, Args> &&
    (Token<How> ||
     std::same_as<How, typename Args::Set>)&&!(std::same_as<A, typename Args::Param> &&
                                               std::same_as<How, typename Args::Set>);

template <class Args, class A>
decltype(auto) leading(const A& argument) {
    if constexpr (std::same_as<A, Args>) {
        return argument.param();
    } else if constexpr (std::same_as<A, typename Args::Param>) {
        return (argument);
    } else {
        return typename Args::Param(argument);
    }
}

}  // namespace detail
}  // namespace quilo
