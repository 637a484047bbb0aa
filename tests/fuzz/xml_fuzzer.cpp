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

void require(bool condition) {
    if (!condition)
        std::abort();
}

// A parse either has a value or says why not, never both or neither.
template <class T>
void check(const Parsed<T>& parsed) {
    require(parsed.value.has_value() != !parsed.problem.empty());
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
    require(doc.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata,
                            pugi::encoding_utf8));
    std::size_t i = 0;
    for (const pugi::xml_node part : doc.child("CompleteMultipartUpload").children("Part")) {
        require(i < parts.size());
        std::string etag = parts[i].second;
        if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
            etag = etag.substr(1, etag.size() - 2);
        require(std::to_string(parts[i].first) == part.child_value("PartNumber") &&
                "\"" + etag + "\"" == part.child_value("ETag"));
        ++i;
    }
    require(i == parts.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
        case 0:
            return check(parseErrorDocument(xml)), 0;
        case 1:
            return check(parseBucketList(xml)), 0;
        case 2:
            return check(parseObjectList(xml)), 0;
        case 3:
            return check(parseAccessControlPolicy(xml)), 0;
        case 4:
            return check(parseInitiateMultipartUpload(xml)), 0;
        case 5:
            return check(parseCompleteMultipartUpload(xml)), 0;
        case 6:
            return check(parseCopyObjectResult(xml)), 0;
        default:
            return roundTrip(xml), 0;
    }
}
