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

// The layout of the streamed documents: a member a line, and an array an entry a line.
void member(const std::string& name) {
    std::cout << "\n  " << nlohmann::ordered_json(name).dump() << ": ";
}

void entry(const nlohmann::ordered_json& value, bool first) {
    std::cout << (first ? "\n    " : ",\n    ") << value.dump();
}

void arrayEnd(bool empty) {
    std::cout << (empty ? "]" : "\n  ]");
}

}  // namespace

// The document up to its array's "[".
void StreamedDocument::begin() const {
    std::cout << "{";
    for (const auto& [name, value] : head_.items()) {
        member(name);
        std::cout << value.dump() << ",";
    }
    member(array_);
    std::cout << "[";
}

void StreamedDocument::add(const nlohmann::ordered_json& value) {
    if (!open_) {
        begin();
    }
    entry(value, !open_);
    open_ = true;
}

void StreamedDocument::close(const nlohmann::ordered_json& rest) {
    if (!open_) {
        begin();
    }
    arrayEnd(!open_);
    for (const auto& [name, value] : rest.items()) {
        std::cout << ",";
        member(name);
        if (!value.is_array()) {
            std::cout << value.dump();
            continue;
        }
        std::cout << "[";
        for (std::size_t i = 0; i < value.size(); ++i) {
            entry(value[i], i == 0);
        }
        arrayEnd(value.empty());
    }
    std::cout << "\n}\n";
    open_ = false;
}

void printJson(const nlohmann::ordered_json& document) {
    std::cout << document.dump(2) << '\n';
}

}  // namespace quilo::cli
