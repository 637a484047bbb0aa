#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/http/HTTPRequest.hpp"

namespace quilo {
namespace detail {
struct S3Kind;
class S3Protocol;
}  // namespace detail

inline constexpr std::string_view S3RequestSchemeHTTP = "http";    // setRequestScheme: plain
inline constexpr std::string_view S3RequestSchemeHTTPS = "https";  // setRequestScheme: TLS

// How a request names its bucket: in the path (scheme://host/bucket/key) or in the host
// (scheme://bucket.host/key). `automatic` puts it in the host only on amazonaws.com endpoints,
// and only for a name that can be a host label: 3 to 63 lower-case letters, digits, hyphens and,
// over plain HTTP, dots. `virtualHosted` with any other name is a misuse, and nothing is sent.
enum class AddressingStyle { automatic, path, virtualHosted };

// A request to an S3-compatible service, signed with AWS Signature Version 4 when both keys are
// set; with neither key it goes unsigned.
//
// Regions: a service that answers that a bucket lives in another region (301 PermanentRedirect,
// 400 AuthorizationHeaderMalformed, or any error carrying x-amz-bucket-region) gets the request
// once more, signed for that region and, on amazonaws.com, sent to s3.<region>.amazonaws.com; the
// redirected hook is called. The region is remembered for the host and bucket, for the whole
// process, so that later requests go straight there. A second such answer ends the request.
class QUILO_EXPORT S3Request : public HTTPRequest {
  public:
    // A request with the process-wide endpoint and no keys: the factories of the derived
    // classes build the ones to send.
    S3Request();
    explicit S3Request(std::optional<std::string> url);
    ~S3Request() override;

    // Process-wide endpoint: "host" or "host:port" (default "s3.amazonaws.com"), signing
    // region (default: the one an amazonaws.com host names, else "us-east-1") and addressing
    // style (default automatic). Read when a request is sent. An empty region is the default.
    static void setDefaultHost(std::string host);
    static std::string defaultHost();
    static void setDefaultRegion(std::string region);
    static std::string defaultRegion();
    static void setDefaultAddressingStyle(AddressingStyle style);
    static AddressingStyle defaultAddressingStyle();

    // The keys the request is signed with; without both it goes unsigned.
    void setAccessKey(std::string accessKey);
    const std::optional<std::string>& accessKey() const { return accessKey_; }
    void setSecretAccessKey(std::string secretKey);
    const std::optional<std::string>& secretAccessKey() const { return secretKey_; }
    // The token of temporary credentials, sent (and signed) as x-amz-security-token along with
    // the keys.
    void setSessionToken(std::optional<std::string> token);
    const std::optional<std::string>& sessionToken() const { return sessionToken_; }
    // S3RequestSchemeHTTP (the default) or S3RequestSchemeHTTPS; any other scheme is a misuse.
    void setRequestScheme(std::string_view scheme);
    const std::string& requestScheme() const { return scheme_; }
    // This request's endpoint and region, overriding the process-wide ones.
    void setHost(std::string host);
    std::string host() const;
    void setRegion(std::string region);
    // The region the request is signed for: the one the service named for its bucket, else its
    // own, else the process-wide one set, else the one its host names, else us-east-1.
    std::string region() const;

    // A URL that lets anyone make this request with `method` (GET, PUT, HEAD or DELETE) for
    // `expires` (1 second to 7 days) from now, without keys: signed in its query with this
    // request's keys and token for its region and addressing. Nothing is sent. nullopt without
    // both keys, for another method or expiry, or for a request that cannot be sent as it is.
    std::optional<std::string> presignedURL(std::string_view method,
                                            std::chrono::seconds expires) const;

    // The bucket and key the request is about, as its factory was given them.
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
    // Whether the request, not started and with both keys, can be signed to be handed out.
    bool canSign() const;

    // The resource a factory builds the request for: its bucket, key and query.
    void setBucket(std::optional<std::string> bucket) { bucket_ = std::move(bucket); }
    void setKey(std::optional<std::string> key) { key_ = std::move(key); }
    void setQueryParameter(std::string name, std::string value);
    void clearQueryParameters() { query_.clear(); }
    // Sends an access-control map as x-amz-grant-* headers; a malformed map fails the request.
    void setGrants(const AclMap& acl);
    // Sends a document with its Content-MD5, which services require of some and which lets them
    // refuse one changed on the way. XML holding what XML cannot carry is a misuse.
    void setDocument(std::string body, std::string_view contentType = "application/xml");
    // What kind of request this is: its method, sub-resource and reading of the answer.
    QUILO_HIDDEN void setKind(const detail::S3Kind& kind);
    // Fails the request if its kind sends a value, which only the kind's own factory gives.
    void refuseWithoutValue();

  private:
    friend class detail::S3Protocol;

    const detail::S3Kind* kind_ = nullptr;
    std::optional<std::string> accessKey_;
    std::optional<std::string> secretKey_;
    std::optional<std::string> sessionToken_;
    std::string scheme_{S3RequestSchemeHTTP};
    std::optional<std::string> host_;
    std::optional<std::string> region_;
    std::optional<std::string> bucket_;
    std::optional<std::string> key_;
    std::vector<std::pair<std::string, std::string>> query_;
};

}  // namespace quilo
