#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <quilo/quilo.hpp>

namespace quilo::cli {

// Exit statuses: an operation failed, or the command line was wrong.
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitInterrupted = 130;  // as shells report a Ctrl-C

// "quilo: <what>: <the error's description>" on stderr.
void printFailure(std::string_view what, const S3Request& request);
void printFailure(std::string_view what, std::string_view cause);

// "512 B", "1.5 KiB", "200.0 MiB".
std::string humanBytes(std::uint64_t bytes);
// "2024-05-01T10:20:30.000Z" as "2024-05-01 10:20:30".
std::string shortDate(std::string_view iso8601);
// A grantee as `acl set --grant` takes it: "id=...", "uri=..." or "emailAddress=...".
std::string granteeText(const S3Grantee& grantee);

}  // namespace quilo::cli
