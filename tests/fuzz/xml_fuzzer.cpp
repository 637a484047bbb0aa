// libFuzzer target for the XML answers: the first byte picks the parser ('0' the first, '1' the
// next, ...), the rest is the answer.
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
    [](std::string_view xml) { check(parseVersionList(xml)); },
    [](std::string_view xml) { check(parseUploadList(xml)); },
    [](std::string_view xml) { check(parsePartList(xml)); },
    [](std::string_view xml) { check(parseCopyPartResult(xml)); },
    [](std::string_view xml) { check(parseVersioning(xml)); },
    [](std::string_view xml) { check(parseTagging(xml)); },
    [](std::string_view xml) { check(parseLifecycle(xml)); },
    [](std::string_view xml) { check(parseCors(xml)); },
    [](std::string_view xml) { check(parseObjectLock(xml)); },
    [](std::string_view xml) { check(parseRetention(xml)); },
    [](std::string_view xml) { check(parseLegalHold(xml)); },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        kParsers[static_cast<std::uint8_t>(data[0] - '0') % std::size(kParsers)](
            std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
}
