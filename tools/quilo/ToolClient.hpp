#pragma once

#include <string>
#include <string_view>

#include <quilo/quilo.hpp>

namespace quilo::cli {

// The client every command sends with. Throws std::runtime_error, saying where keys were looked
// for, when there are none and --no-sign-request was not given: so that a wrong command line is
// still reported as such, commands ask for it only once their arguments are checked.
Quilo& client();

// Requests that run at once (--jobs); set with the settings.
int& jobs();

// Makes client() throw std::runtime_error(reason) from now on: nothing is to be sent.
void refuseToSend(std::string reason);

// The Content-Type for a file name's extension, such as "image/jpeg"; empty when unknown, which
// leaves the choice to the service.
std::string_view contentType(std::string_view path);

}  // namespace quilo::cli
