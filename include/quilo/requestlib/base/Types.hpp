#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"

namespace quilo {

using StringList = std::vector<std::string>;           // strings in order
using StringMap = std::map<std::string, std::string>;  // strings by name

// Permission to grantees, as sent with an access-control list:
//   keys:   "READ", "WRITE", "READ_ACP", "WRITE_ACP", "FULL_CONTROL"
//   values: grantees, each "id=<canonical user id>", "emailAddress=<address>" or "uri=<group uri>"
// e.g. {{"READ", {"uri=http://acs.amazonaws.com/groups/global/AllUsers"}}}
using AclMap = std::map<std::string, StringList>;

// Orders header names as HTTP compares them: without regard to ASCII letter case.
struct QUILO_EXPORT CaseInsensitiveLess {
    using is_transparent = void;  // lookups take any string type without a copy
    // Whether `a` sorts before `b` once both are in lower case.
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// Response headers. Lookup ignores case (`headers.find("etag")` finds "ETag"); a header
// that arrives more than once holds its values joined with ", ".
using HeaderMap = std::map<std::string, std::string, CaseInsensitiveLess>;

}  // namespace quilo
