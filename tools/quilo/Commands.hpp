#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Tree.hpp"

namespace quilo::cli {

// One function per subcommand. Each runs on the main thread against the client (set up by
// applySettings), prints what it did on stdout and what failed on stderr, and returns the exit
// status. A command line that cannot be carried out throws UsageError before anything is sent.

// ls
int listBuckets();
// ls s3://bucket[/prefix]
int listObjects(const std::string& url, const std::string& delimiter, std::int32_t pageSize);
// mb, rb
int makeBuckets(const std::vector<std::string>& urls);
int removeBuckets(const std::vector<std::string>& urls);

// put FILE... s3://bucket/key-or-prefix/
int put(const std::vector<std::string>& arguments, const std::optional<std::string>& acl);
// get s3://bucket/key... FILE-or-DIR
int get(const std::vector<std::string>& arguments);
// rm s3://bucket/key...
int remove(const std::vector<std::string>& urls);

// What put -r, get -r, rm -r and sync take.
struct TreeOptions {
    bool sync = false;  // copy only what is missing or differs, rather than everything
    bool sizeOnly = false;
    bool deleteExtra = false;  // remove what the source lacks
    bool dryRun = false;
    bool followSymlinks = false;
    Filter filter;
    std::optional<std::string> acl;
};
// put -r DIR s3://bucket/prefix/
int putTree(const std::string& directory, const std::string& url, const TreeOptions& options);
// get -r s3://bucket/prefix/ DIR
int getTree(const std::string& url, const std::string& directory, const TreeOptions& options);
// rm -r s3://bucket/prefix/
int removeTree(const std::string& url, const TreeOptions& options);
// sync DIR s3://bucket/prefix/, or sync s3://bucket/prefix/ DIR
int sync(const std::string& source, const std::string& destination, TreeOptions options);

// cp
int copy(const std::string& from, const std::string& to);
// acl get|set, meta get|set
int getAcl(const std::string& url);
int setAcl(const std::string& url, const std::vector<std::string>& grants);
int getMeta(const std::string& url);
int setMeta(const std::string& url, const std::vector<std::string>& entries);
// presign s3://bucket/key: a URL that works without keys for `expires` seconds
int presign(const std::string& url, long expires, const std::string& method);

}  // namespace quilo::cli
