// libFuzzer target for the XML answers: the first byte picks the parser, the rest is the answer.
#include "requestlib/S3Xml.hpp"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace quilo::detail;

// A parse either has a value or says why not, never both or neither.
template <class T>
void check(const Parsed<T>& parsed) {
    if (parsed.value.has_value() == !parsed.problem.empty()) {
        std::abort();
    }
}

// The body must read back as the part numbers and quoted ETags it was built from.
void roundTrip(std::string_view rest) {
    std::vector<std::pair<int, std::string>> parts;
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find('\0', start), rest.size());
        parts.emplace_back(static_cast<int>(parts.size()) + 1,
                           std::string(rest.substr(start, end - start)));
        start = end + 1;
    }
    const std::string body = completeMultipartUploadBody(parts);
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata,
                         pugi::encoding_utf8)) {
        std::abort();
    }
    std::size_t i = 0;
    for (const pugi::xml_node part : doc.child("CompleteMultipartUpload").children("Part")) {
        if (i >= parts.size()) {
            std::abort();
        }
        std::string etag = parts[i].second;
        if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
            etag = etag.substr(1, etag.size() - 2);
        }
        if (std::to_string(parts[i].first) != part.child_value("PartNumber") ||
            "\"" + etag + "\"" != part.child_value("ETag")) {
            std::abort();
        }
        ++i;
    }
    if (i != parts.size()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
        case 0:
            check(parseErrorDocument(xml));
            break;
        case 1:
            check(parseBucketList(xml));
            break;
        case 2:
            check(parseObjectList(xml));
            break;
        case 3:
            check(parseAccessControlPolicy(xml));
            break;
        case 4:
            check(parseInitiateMultipartUpload(xml));
            break;
        case 5:
            check(parseCompleteMultipartUpload(xml));
            break;
        case 6:
            check(parseCopyObjectResult(xml));
            break;
        default:
            roundTrip(xml);
    }
    return 0;
}
