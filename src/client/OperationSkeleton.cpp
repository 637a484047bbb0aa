#include "client/OperationSkeleton.hpp"

namespace quilo::detail {

std::string withArticle(std::string_view typeName) {
    const bool vowel = !typeName.empty() && std::string_view("aeiouAEIOU").find(typeName.front()) !=
                                                std::string_view::npos;
    return (vowel ? "an " : "a ") + std::string(typeName);
}

std::optional<std::string> entry(const StringMap& param, const char* key) {
    const auto found = param.find(key);
    if (found == param.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<Error> ParamReader::misuse() const {
    if (!problem_) {
        return std::nullopt;
    }
    return detail::misuse(detail::Code::InvalidParameter, *problem_);
}

void ParamReader::fail(std::string_view key, const std::string& what) {
    problem_ = std::string(operation_) + ": \"" + std::string(key) + "\" " + what;
}

}  // namespace quilo::detail
