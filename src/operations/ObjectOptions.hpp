#pragma once

// The options the object operations read from their string maps beside their own keys.

#include "quilo/TypedRequests.hpp"
#include "quilo/Value.hpp"

namespace quilo::detail {

// Uploads and copies: the new object's headers ("contentType", ..., "x-amz-meta-<name>"),
// "storageClass", "tagging", "serverSideEncryption", "sseKmsKeyId" and "sseCustomerKey".
void setObjectOptions(QuiloObjectRquest& request, const StringMap& param);
// Gets and heads: "versionId", the four preconditions and "sseCustomerKey".
void setReadOptions(QuiloObjectRquest& request, const StringMap& param);

}  // namespace quilo::detail
