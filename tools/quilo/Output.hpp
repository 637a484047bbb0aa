#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <quilo/quilo.hpp>

namespace quilo::cli {

// Exit statuses: an operation failed, the command line was wrong, or a signal interrupted us.
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitInterrupted = 130;  // as shells report a Ctrl-C

// How much to say and in which form; set once from the command line.
struct OutputMode {
    bool json = false;     // one JSON document on stdout instead of lines of text
    bool quiet = false;    // errors only
    bool progress = true;  // bars on stderr, when it is a terminal
};
OutputMode& outputMode();

// Text that is safe to print and can be turned back into the bytes it came from: control
// characters (C0, DEL, C1) and bytes that are not valid UTF-8 become \xNN, and a backslash is
// doubled. Keys and service messages may hold escape sequences that would rewrite a terminal.
std::string escaped(std::string_view text);

// The reader of standard output has gone: end as the shell expects of a pipeline's writer,
// quietly, even when SIGPIPE came ignored.
[[noreturn]] void readerGone();
// Whether standard output is a pipe that nothing reads any more.
bool standardOutputUnread();

// "quilo: <what>: <the error's description>" on stderr, escaped; with --output json, one
// object a line instead, whose fields are those of failureFields.
void printFailure(std::string_view what, const S3Request& request);
void printFailure(std::string_view what, std::string_view cause, const Error* error = nullptr);

// A failure as scripts read it: the service's code, HTTP status, request id and message apart
// ("", 0 and "" when no answer said otherwise), and the kind of failure. `cause` is the message
// of a failure that is not the service's: it may name a path as people know it.
nlohmann::ordered_json failureFields(std::string_view cause, const Error* error);

// "512 B", "1.5 KiB", "200.0 MiB".
std::string humanBytes(std::uint64_t bytes);
// "2024-05-01T10:20:30.000Z" as "2024-05-01 10:20:30", escaped: a listing may hold anything.
std::string shortDate(std::string_view iso8601);

}  // namespace quilo::cli
