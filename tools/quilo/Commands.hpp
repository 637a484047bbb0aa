#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Transfers.hpp"
#include "Tree.hpp"

namespace quilo::cli {

// One function per subcommand. Each runs on the main thread against the client (set up by
// applySettings), prints what it did on stdout and what failed on stderr, and returns the exit
// status. A command line that cannot be carried out throws UsageError before anything is sent.

// ls
int listBuckets();
// ls s3://bucket[/prefix]: one level, as awscli lists it, unless recursive.
struct ListOptions {
    std::string delimiter = "/";
    std::int32_t pageSize = 1000;
    bool recursive = false;
    bool human = false;      // sizes in KiB, MiB, ...
    bool summarize = false;  // the count and total size at the end
    bool versions = false;   // every version and delete marker
};
int listObjects(const std::string& url, const ListOptions& options);
// du s3://bucket[/prefix]: the total size and count of the objects below.
int diskUsage(const std::string& url, bool human);
// stat s3://bucket/key: what a HEAD tells of it, read with `read` (see TransferOptions).
int stat(const std::string& url, const StringMap& read);
// mb, rb
int makeBuckets(const std::vector<std::string>& urls);
int removeBuckets(const std::vector<std::string>& urls);

// put FILE... s3://bucket/key-or-prefix/
int put(const std::vector<std::string>& arguments, const TransferOptions& options);
// get s3://bucket/key... FILE-or-DIR
int get(const std::vector<std::string>& arguments, const TransferOptions& options = {});
// cat s3://bucket/key: the object on standard output
int cat(const std::string& url, const TransferOptions& options);
// rm s3://bucket/key...; a version named in `options` is that of the one key given.
int remove(const std::vector<std::string>& urls, const TransferOptions& options = {});

// What put -r, get -r, rm -r and sync take.
struct TreeOptions {
    bool sync = false;  // copy only what is missing or differs, rather than everything
    bool sizeOnly = false;
    bool checksum = false;     // compare the bytes, by the ETags, where the sizes are the same
    bool deleteExtra = false;  // remove what the source lacks
    bool dryRun = false;
    bool followSymlinks = false;
    Filter filter;
    std::optional<std::string> acl;
    bool move = false;        // mv: each source goes once its copy is whole
    StringMap written, read;  // the library's options, as in TransferOptions

    // What each transfer of the tree goes with.
    TransferOptions transfers() const { return {acl, dryRun, move, written, read}; }
};
// put -r DIR s3://bucket/prefix/
int putTree(const std::string& directory, const std::string& url, const TreeOptions& options);
// get -r s3://bucket/prefix/ DIR
int getTree(const std::string& url, const std::string& directory, const TreeOptions& options);
// rm -r s3://bucket/prefix/
int removeTree(const std::string& url, const TreeOptions& options);
// sync DIR s3://bucket/prefix/, or sync s3://bucket/prefix/ DIR
int sync(const std::string& source, const std::string& destination, TreeOptions options);

// cp and mv, between a directory and a bucket either way, or between buckets; a tree with
// `recursive`.
int copy(const std::string& from, const std::string& to, bool recursive,
         const TreeOptions& options);
// versioning enable|suspend|status s3://bucket
int versioning(const std::string& action, const std::string& url);
// tag get|set|rm s3://bucket[/key] [KEY=VALUE...]
int tag(const std::string& action, const std::string& url, const std::string& versionId,
        const std::vector<std::string>& pairs);
// mpu ls s3://bucket[/prefix]; mpu abort s3://bucket/key UPLOADID, or --all s3://bucket[/prefix]
int listUploads(const std::string& url);
int abortUploads(const std::vector<std::string>& arguments, bool all, const std::string& olderThan);
// policy|lifecycle|cors get|set|rm s3://bucket [FILE]
int bucketConfiguration(const std::string& name, const std::string& action, const std::string& url,
                        const std::string& file);
// acl get|set, meta get|set
int getAcl(const std::string& url);
int setAcl(const std::string& url, const std::vector<std::string>& grants);
int getMeta(const std::string& url);
int setMeta(const std::string& url, const std::vector<std::string>& entries);
// presign s3://bucket/key: a URL that works without keys for `expires` seconds
int presign(const std::string& url, long expires, const std::string& method);

}  // namespace quilo::cli
