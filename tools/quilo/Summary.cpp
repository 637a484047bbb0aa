#include "Summary.hpp"

#include <iostream>

#include "Output.hpp"

namespace quilo::cli {

void Summary::done(std::string_view action, std::string_view from, std::string_view to) {
    const auto& mode = outputMode();
    if (mode.json) {
        nlohmann::ordered_json entry{{"action", action}, {"from", escaped(from)}};
        if (!to.empty()) {
            entry["to"] = escaped(to);
        }
        done_.push_back(std::move(entry));
    } else if (!mode.quiet) {
        std::cout << (dryRun_ ? "(dryrun) " : "") << action << ": " << escaped(from)
                  << (to.empty() ? "" : " to ") << escaped(to) << '\n';
    }
}

void Summary::failed(std::string_view action, std::string_view from, std::string_view cause,
                     const Error* error) {
    if (quietWithoutReader_ && standardOutputUnread()) {
        readerGone();
    }
    printFailure(std::string(action) + " " + std::string(from), cause, error);
    nlohmann::ordered_json entry{{"action", action}, {"from", escaped(from)}};
    entry.update(failureFields(cause, error));
    failed_.push_back(std::move(entry));
}

void Summary::finish() const {
    if (outputMode().json && !outputMode().quiet) {
        printJson({{"dryrun", dryRun_}, {"done", done_}, {"failed", failed_}});
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

void printJson(const nlohmann::ordered_json& document) {
    std::cout << document.dump(2) << '\n';
}

}  // namespace quilo::cli
