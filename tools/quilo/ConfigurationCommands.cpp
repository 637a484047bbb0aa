// policy, lifecycle and cors get|set|rm: a bucket's configurations from and to files.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Configurations.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace {

using BucketCallbacks = Callbacks<QuiloBucketRequest>;

// One kind of configuration: how it is read, written and removed, and how its document reads.
struct Kind {
    void (Quilo::*get)(const std::string&, BucketCallbacks);
    void (Quilo::*set)(const ValueMap&, BucketCallbacks);
    void (Quilo::*remove)(const std::string&, BucketCallbacks);
    std::string (*document)(const QuiloBucketRequest&);
    std::optional<Value> (*value)(const std::string& text);
};

// By the name of the command, which is also the key of its value in the parameters. A policy
// goes as the service keeps it: its own JSON.
const std::map<std::string, Kind>& kinds() {
    static const std::map<std::string, Kind> all = {
        {"policy",
         {&Quilo::getBucketPolicy, &Quilo::setBucketPolicy, &Quilo::deleteBucketPolicy,
          [](const QuiloBucketRequest& r) { return r.policy(); },
          [](const std::string& text) { return std::optional<Value>(text); }}},
        {"lifecycle",
         {&Quilo::getBucketLifecycle, &Quilo::setBucketLifecycle, &Quilo::deleteBucketLifecycle,
          [](const QuiloBucketRequest& r) { return toJson(r.lifecycle()).dump(2) + '\n'; },
          [](const std::string& text) {
              return std::optional<Value>(lifecycleFromJson(nlohmann::json::parse(text)));
          }}},
        {"cors",
         {&Quilo::getBucketCors, &Quilo::setBucketCors, &Quilo::deleteBucketCors,
          [](const QuiloBucketRequest& r) { return toJson(r.cors()).dump(2) + '\n'; },
          [](const std::string& text) {
              return std::optional<Value>(corsFromJson(nlohmann::json::parse(text)));
          }}},
    };
    return all;
}

std::string readAll(const std::string& file) {
    std::ifstream from;
    if (file != "-") {
        from.open(file, std::ios::binary);
        if (!from) {
            throw std::runtime_error("cannot read " + file);
        }
    }
    std::istream& in = file == "-" ? std::cin : from;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int bucketConfiguration(const std::string& name, const std::string& action, const std::string& text,
                        const std::string& file) {
    const S3Url url = parseBucketUrl(text);
    if (action == "set" && file.empty()) {
        throw UsageError(name + " set reads the document from FILE, or - for standard input");
    }
    const Kind& kind = kinds().at(name);
    const std::string what = name + " " + action;
    Quilo& quilo = client();
    if (action == "get") {
        const auto got = await<QuiloBucketRequest>(
            what, text, [&](auto callbacks) { (quilo.*kind.get)(url.bucket, callbacks); });
        if (!got) {
            return exitFailure;
        }
        const std::string document = kind.document(*got);
        if (file.empty() || file == "-") {
            std::cout << document;
        } else if (!(std::ofstream(file, std::ios::binary) << document)) {
            printFailure(what + " " + text, "cannot write " + file);
            return exitFailure;
        }
        return 0;
    }
    bool ok = false;
    if (action == "set") {
        std::optional<Value> value;
        try {
            value = kind.value(readAll(file));
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error(file + ": not JSON: " + error.what());
        }
        const ValueMap param{{"bucket", url.bucket}, {name, std::move(value)}};
        ok = await<QuiloBucketRequest>(what, text, [&](auto callbacks) {
                 (quilo.*kind.set)(param, callbacks);
             }) != nullptr;
    } else {
        ok = await<QuiloBucketRequest>(what, text, [&](auto callbacks) {
                 (quilo.*kind.remove)(url.bucket, callbacks);
             }) != nullptr;
    }
    return reportDone(ok, what, url.text());
}

}  // namespace quilo::cli
