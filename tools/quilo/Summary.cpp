#include "Summary.hpp"

#include <iostream>

#include "Output.hpp"

namespace quilo::cli {

void Summary::done(std::string_view action, std::string_view from, std::string_view to) {
    const auto& mode = outputMode();
    if (mode.quiet) {
        return;
    }
    if (mode.json) {
        nlohmann::ordered_json entry{{"action", action}, {"from", escaped(from)}};
        if (!to.empty()) {
            entry["to"] = escaped(to);
        }
        document_.add(entry);
        return;
    }
    std::cout << (dryRun_ ? "(dryrun) " : "") << action << ": " << escaped(from)
              << (to.empty() ? "" : " to ") << escaped(to) << '\n';
}

void Summary::failed(std::string_view action, std::string_view from, std::string_view cause,
                     const Error* error) {
    if (quietWithoutReader_ && standardOutputUnread()) {
        readerGone();
    }
    printFailure(std::string(action) + " " + std::string(from), cause, error);
    anyFailed_ = true;
    if (outputMode().json) {
        nlohmann::ordered_json entry{{"action", action}, {"from", escaped(from)}};
        entry.update(failureFields(cause, error));
        failed_.push_back(std::move(entry));
    }
}

void Summary::finish() {
    if (outputMode().json && !outputMode().quiet) {
        document_.close({{"failed", std::move(failed_)}});
    }
}

int reportDone(bool ok, std::string_view action, std::string_view from, std::string_view to) {
    if (!ok) {
        return exitFailure;
    }
    Summary summary;
    summary.done(action, from, to);
    summary.finish();
    return 0;
}

int finish(Summary& summary, bool ok) {
    summary.finish();
    return ok && !summary.anyFailed() ? 0 : exitFailure;
}

namespace {

// An array as the streamed documents have them: an entry a line.
void printEntries(const nlohmann::ordered_json& entries) {
    const char* separator = "[\n    ";
    for (const auto& entry : entries) {
        std::cout << separator << entry.dump();
        separator = ",\n    ";
    }
    std::cout << (entries.empty() ? "[]" : "\n  ]");
}

}  // namespace

// The document up to its array's "[".
void StreamedDocument::begin() const {
    std::cout << "{";
    for (const auto& [name, value] : head_.items()) {
        std::cout << "\n  " << nlohmann::ordered_json(name).dump() << ": " << value.dump() << ",";
    }
    std::cout << "\n  " << nlohmann::ordered_json(array_).dump() << ": [";
}

void StreamedDocument::add(const nlohmann::ordered_json& entry) {
    if (!open_) {
        begin();
    }
    std::cout << (open_ ? ",\n    " : "\n    ") << entry.dump();
    open_ = true;
}

void StreamedDocument::close(const nlohmann::ordered_json& rest) {
    if (!open_) {
        begin();
    }
    std::cout << (open_ ? "\n  ]" : "]");
    for (const auto& [name, value] : rest.items()) {
        std::cout << ",\n  " << nlohmann::ordered_json(name).dump() << ": ";
        if (value.is_array()) {
            printEntries(value);
        } else {
            std::cout << value.dump();
        }
    }
    std::cout << "\n}\n";
    open_ = false;
}

void printJson(const nlohmann::ordered_json& document) {
    std::cout << document.dump(2) << '\n';
}

}  // namespace quilo::cli
