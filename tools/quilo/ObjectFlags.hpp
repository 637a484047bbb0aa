#pragma once

#include <optional>
#include <string>

#include <quilo/quilo.hpp>

namespace CLI {
class App;
}

namespace quilo::cli {

// The options an object is written or read with, as the command line gives them, awscli's names
// and values.
struct ObjectFlags {
    using Text = std::optional<std::string>;
    Text contentType, cacheControl, contentDisposition, contentEncoding, contentLanguage, expires;
    Text metadata, storageClass, sse, sseKmsKeyId, sseC, sseCKey, versionId;
};

// The library's option maps for them: what uploads and copies write with ("contentType",
// "x-amz-meta-<name>", "storageClass", "serverSideEncryption", "sseKmsKeyId",
// "sseCustomerKey"), and what downloads and HEADs read with ("sseCustomerKey", "versionId").
struct ObjectOptions {
    StringMap written;
    StringMap read;
};

// Throws UsageError for a value that cannot be sent, or flags that do not go together.
ObjectOptions objectOptions(const ObjectFlags& flags);

// Registers the flags on a command: those of what it writes, and those of what it reads.
void addWrittenFlags(CLI::App* command, ObjectFlags& flags);
void addCustomerKeyFlags(CLI::App* command, ObjectFlags& flags);
void addVersionFlag(CLI::App* command, ObjectFlags& flags);

}  // namespace quilo::cli
