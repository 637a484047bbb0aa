// Runs one operation of an installed quilo end to end, with no server: a listing sent where
// nothing listens must come back through `failed` as a transport error.
#include <future>
#include <iostream>
#include <optional>

#include <quilo/quilo.hpp>

int main() {
    quilo::S3Request::setDefaultHost("127.0.0.1:1");
    quilo::Quilo::GlobalConfig("access-key", "secret-key");

    std::promise<std::optional<quilo::Error>> outcome;
    quilo::Quilo::sharedInstance()->listBuckets({
        .finished = [&](const auto&) { outcome.set_value(std::nullopt); },
        .failed = [&](const auto& request) { outcome.set_value(request->error()); },
    });
    const auto error = outcome.get_future().get();
    if (!error || error->kind != quilo::ErrorKind::transport) {
        std::cerr << "consumer: expected a transport error, got "
                  << (error ? error->description() : "success") << '\n';
        return 1;
    }
    std::cout << "consumer: " << error->description() << '\n';
    return 0;
}
