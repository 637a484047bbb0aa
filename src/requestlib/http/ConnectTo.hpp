#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

namespace quilo::detail {

// Tests only: connections go where these curl CONNECT_TO entries ("HOST:PORT:TO-HOST:TO-PORT")
// say rather than where the URL names, so that a local server can answer for any host. Empty:
// as the URL names.
void setConnectTo(const std::vector<std::string>& entries);
// The entries in force; each handle holds the list it was given, so a change frees none in use.
std::shared_ptr<curl_slist> connectTo();

}  // namespace quilo::detail
