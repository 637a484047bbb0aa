#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quilo::cli {

// One function per subcommand. Each runs on the main thread against the shared client (set up
// by applyConnection), prints what it did on stdout and what failed on stderr, and returns the
// exit status. A command line that cannot be carried out throws UsageError before anything is
// sent.

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

// cp, rm
int copy(const std::string& from, const std::string& to);
int remove(const std::vector<std::string>& urls);
// acl get|set, meta get|set
int getAcl(const std::string& url);
int setAcl(const std::string& url, const std::vector<std::string>& grants);
int getMeta(const std::string& url);
int setMeta(const std::string& url, const std::vector<std::string>& entries);

}  // namespace quilo::cli
