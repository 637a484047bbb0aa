#include <mutex>

#include "requestlib/http/ConnectTo.hpp"

namespace quilo::detail {
namespace {

std::mutex gMutex;
std::shared_ptr<curl_slist> gEntries;

}  // namespace

void setConnectTo(const std::vector<std::string>& entries) {
    curl_slist* list = nullptr;
    for (const auto& entry : entries)
        list = curl_slist_append(list, entry.c_str());
    std::lock_guard lock(gMutex);
    gEntries.reset(list, curl_slist_free_all);
}

std::shared_ptr<curl_slist> connectTo() {
    std::lock_guard lock(gMutex);
    return gEntries;
}

}  // namespace quilo::detail
