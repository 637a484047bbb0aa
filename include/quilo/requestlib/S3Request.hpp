#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilo/requestlib/HTTPRequest.hpp"

namespace quilo {
namespace detail {
struct S3Kind;
class S3Protocol;
}  // namespace detail

inline constexpr std::string_view S3RequestSchemeHTTP = "http";
inline constexpr std::string_view S3RequestSchemeHTTPS = "https";

// A request to an S3-compatible service, addressed path-style (scheme://host/bucket/key) and
// signed with AWS Signature Version 4 when both keys are set; with neither key it goes unsigned.
class S3Request : public HTTPRequest {
  public:
    S3Request();
    explicit S3Request(std::optional<std::string> url);
    ~S3Request() override;

    // Process-wide endpoint: "host" or "host:port" (default "s3.amazonaws.com") and signing
    // region (default "us-east-1"). Read when a request is sent.
    static void setDefaultHost(std::string host);
    static std::string defaultHost();
    static void setDefaultRegion(std::string region);
    static std::string defaultRegion();

    void setAccessKey(std::string accessKey);
    const std::optional<std::string>& accessKey() const { return accessKey_; }
    void setSecretAccessKey(std::string secretKey);
    const std::optional<std::string>& secretAccessKey() const { return secretKey_; }
    // S3RequestSchemeHTTP (the default) or S3RequestSchemeHTTPS; any other scheme is a misuse.
    void setRequestScheme(std::string_view scheme);
    const std::string& requestScheme() const { return scheme_; }
    // This request's endpoint and region, overriding the process-wide ones.
    void setHost(std::string host);
    std::string host() const;
    void setRegion(std::string region);
    std::string region() const;

    const std::optional<std::string>& bucket() const { return bucket_; }
    const std::optional<std::string>& key() const { return key_; }
    // The query of the resource, e.g. {"acl", ""} or {"prefix", "photos/"}, in no set order.
    const std::vector<std::pair<std::string, std::string>>& queryParameters() const {
        return query_;
    }

    // User metadata of the answer: every "x-amz-meta-<name>" header as <name> (lower case, as
    // servers return it) to its value. The standard headers are in responseHeaders().
    StringMap metadata() const;

  protected:
    void setBucket(std::optional<std::string> bucket) { bucket_ = std::move(bucket); }
    void setKey(std::optional<std::string> key) { key_ = std::move(key); }
    void setQueryParameter(std::string name, std::string value);
    void clearQueryParameters() { query_.clear(); }
    // Sends an access-control map as x-amz-grant-* headers; a malformed map fails the request.
    void setGrants(const AclMap& acl);
    // What kind of request this is: its method, sub-resource and reading of the answer.
    void setKind(const detail::S3Kind& kind);

  private:
    friend class detail::S3Protocol;

    const detail::S3Kind* kind_ = nullptr;
    std::optional<std::string> accessKey_;
    std::optional<std::string> secretKey_;
    std::string scheme_{S3RequestSchemeHTTP};
    std::optional<std::string> host_;
    std::optional<std::string> region_;
    std::optional<std::string> bucket_;
    std::optional<std::string> key_;
    std::vector<std::pair<std::string, std::string>> query_;
};

}  // namespace quilo
