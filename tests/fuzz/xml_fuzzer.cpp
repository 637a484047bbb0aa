// libFuzzer target for the XML answers: the first byte picks the parser, the rest is the answer.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "requestlib/s3/S3Xml.hpp"

namespace {

using namespace quilo::detail;

// A parse either has a value or says why not, never both or neither.
template <class T>
void check(const Parsed<T>& parsed) {
    if (parsed.value.has_value() == !parsed.problem.empty())
        std::abort();
}

using Parse = void (*)(std::string_view);
const Parse kParsers[] = {
    [](std::string_view xml) { check(parseErrorDocument(xml)); },
    [](std::string_view xml) { check(parseBucketList(xml)); },
    [](std::string_view xml) { check(parseObjectList(xml)); },
    [](std::string_view xml) { check(parseAccessControlPolicy(xml)); },
    [](std::string_view xml) { check(parseInitiateMultipartUpload(xml)); },
    [](std::string_view xml) { check(parseCompleteMultipartUpload(xml)); },
    [](std::string_view xml) { check(parseCopyObjectResult(xml)); },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        kParsers[data[0] % std::size(kParsers)](
            std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
}
