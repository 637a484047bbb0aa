// libFuzzer target for the XML answers: the first byte picks the parser, the rest is the answer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "requestlib/S3Xml.hpp"

namespace {

using namespace quilo::detail;

// A parse either has a value or says why not, never both or neither.
template <class T>
void check(const Parsed<T>& parsed) {
    if (parsed.value.has_value() == !parsed.problem.empty())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 7) {
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
        default:
            return check(parseCopyObjectResult(xml)), 0;
    }
}
