#pragma once

#include <nlohmann/json.hpp>
#include <quilo/quilo.hpp>

namespace quilo::cli {

// Lifecycle and CORS rules as awscli's s3api reads and writes them in JSON
// ({"Rules": [...]} and {"CORSRules": [...]}), so that the files of one serve the other. Reading
// throws std::runtime_error naming the member at fault: a member this tool does not know is
// refused rather than dropped unseen.
nlohmann::ordered_json toJson(const S3LifecycleConfiguration& lifecycle);
nlohmann::ordered_json toJson(const S3CorsConfiguration& cors);
S3LifecycleConfiguration lifecycleFromJson(const nlohmann::json& document);
S3CorsConfiguration corsFromJson(const nlohmann::json& document);

}  // namespace quilo::cli
