#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <quilo/quilo.hpp>

namespace quilo::cli {

// A JSON document on stdout whose one long array goes out an entry a line as the entries come,
// so that a run over any number of keys holds none of them: `head`'s members, the array, then
// the members given to close(). A document never closed is left unfinished on purpose.
class StreamedDocument {
  public:
    StreamedDocument(nlohmann::ordered_json head, std::string array)
        : head_(std::move(head)), array_(std::move(array)) {}
    void add(const nlohmann::ordered_json& value);
    void close(const nlohmann::ordered_json& rest);

  private:
    void begin() const;

    nlohmann::ordered_json head_;
    std::string array_;
    bool open_ = false;
};

// What a command did, told as it happens: a line of text per action ("upload: a.txt to
// s3://b/a.txt"), or, with --output json, one document, its "done" array an entry a line as
// they come:
//     {"dryrun": false, "done": [{"action": "upload", "from": "a.txt", "to": "s3://b/a.txt"}],
//      "failed": [{"action": "upload", "from": "b.txt", "kind": ..., "code": ..., ...}]}
// Failures always go to stderr as well, once each. Every string is escaped (see escaped()).
class Summary {
  public:
    explicit Summary(bool dryRun = false)
        : dryRun_(dryRun), document_({{"dryrun", dryRun}}, "done") {}

    void done(std::string_view action, std::string_view from, std::string_view to = {});
    // `error`, when there is one, gives the failure's parts apart (see failureFields).
    void failed(std::string_view action, std::string_view from, std::string_view cause,
                const Error* error = nullptr);
    bool anyFailed() const { return anyFailed_; }
    // For a command whose output is the object itself: a failure once standard output's reader
    // has gone ends the process as a pipeline's writer ends, with no word of it.
    void endQuietlyWithoutReader() { quietWithoutReader_ = true; }
    // Ends the JSON document; nothing in text mode.
    void finish();

  private:
    bool dryRun_;
    bool quietWithoutReader_ = false;
    bool anyFailed_ = false;
    StreamedDocument document_;
    nlohmann::ordered_json failed_ = nlohmann::ordered_json::array();  // with --output json
};

// Tells one change done, for the commands that make a single change; its failure was reported
// as it happened. Returns the exit status.
int reportDone(bool ok, std::string_view action, std::string_view from, std::string_view to = {});

// Prints the document of a run of changes and returns its exit status: 0 when `ok` and none
// failed.
int finish(Summary& summary, bool ok);

// Prints a JSON document on stdout, for the commands that show something (ls, acl get, ...).
void printJson(const nlohmann::ordered_json& document);

}  // namespace quilo::cli
