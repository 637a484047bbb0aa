// Lists the caller's buckets: the smallest complete use of the client.
//
//   list_buckets [--endpoint host:port] [--access-key KEY] [--secret-key SECRET]
//
// Flags left out come from AWS_ENDPOINT_URL (such as http://127.0.0.1:7480), AWS_ACCESS_KEY_ID
// and AWS_SECRET_ACCESS_KEY. An https:// endpoint switches to HTTPS.
#include <cstdlib>
#include <future>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <quilo/quilo.hpp>

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (const auto& [flag, env] : {std::pair{"--endpoint", "AWS_ENDPOINT_URL"},
                                    {"--access-key", "AWS_ACCESS_KEY_ID"},
                                    {"--secret-key", "AWS_SECRET_ACCESS_KEY"}}) {
        const char* value = std::getenv(env);
        options[flag] = value != nullptr ? value : "";
    }
    int arg = 1;
    for (; arg + 1 < argc && options.contains(argv[arg]); arg += 2) {
        options[argv[arg]] = argv[arg + 1];
    }
    std::string endpoint = options["--endpoint"];
    const bool useSSL = endpoint.starts_with("https://");
    if (const auto scheme = endpoint.find("://"); scheme != std::string::npos) {
        endpoint.erase(0, scheme + 3);
    }
    if (endpoint.ends_with('/')) {
        endpoint.pop_back();
    }
    if (arg != argc || endpoint.empty() || options["--access-key"].empty() ||
        options["--secret-key"].empty()) {
        std::cerr << "usage: list_buckets [--endpoint host:port] [--access-key KEY] "
                     "[--secret-key SECRET]\n";
        return 2;
    }
    quilo::S3Request::setDefaultHost(endpoint);
    quilo::Quilo::GlobalConfig(options["--access-key"], options["--secret-key"], useSSL);

    // The callables run on the library's thread; main waits for whichever of them comes.
    std::promise<std::variant<std::vector<quilo::S3Bucket>, std::string>> promise;
    auto outcome = promise.get_future();
    quilo::Quilo::sharedInstance()->listBuckets({
        .finished = [&](const auto& request) { promise.set_value(request->buckets()); },
        .failed =
            [&](const auto& request) {
                const auto& error = request->error();
                promise.set_value(error ? error->description() : std::string("unknown error"));
            },
    });
    const auto result = outcome.get();
    if (const auto* error = std::get_if<std::string>(&result)) {
        std::cerr << "list_buckets: " << *error << '\n';
        return 1;
    }
    for (const auto& bucket : std::get<std::vector<quilo::S3Bucket>>(result)) {
        std::cout << bucket.name << '\t' << bucket.creationDate << '\n';
    }
}
