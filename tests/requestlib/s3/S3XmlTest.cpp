#include "requestlib/s3/S3Xml.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "quilo/requestlib/s3/S3BucketRequest.hpp"
#include "support/RecordingTransport.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::detail {
namespace {

const std::string kDecl = R"(<?xml version="1.0" encoding="UTF-8"?>)";
const std::string kNs = R"( xmlns="http://s3.amazonaws.com/doc/2006-03-01/")";

// As Ceph RGW writes a listing: namespace, &quot; around ETags, an extra <Type>.
const std::string kRgwListing =
    kDecl + "<ListBucketResult" + kNs +
    "><Name>bkt</Name><Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>"
    "<Delimiter>/</Delimiter><IsTruncated>false</IsTruncated>"
    "<Contents><Key> lead and trail </Key><LastModified>2024-05-01T10:00:00.123Z</LastModified>"
    "<ETag>&quot;9b2cf535f27731c974343645a3985328&quot;</ETag><Size>9223372036854775808</Size>"
    "<StorageClass>STANDARD</StorageClass><Owner><ID>tester</ID><DisplayName>T</DisplayName>"
    "</Owner><Type>Normal</Type></Contents>"
    "<Contents><Key>a&amp;<![CDATA[b/]]>\xC3\xBC\xE6\x97\xA5 </Key><ETag>\"x\"</ETag><Size>0</Size>"
    "</Contents><Contents><Key> </Key><Size> 7 </Size></Contents>"
    "<CommonPrefixes><Prefix>dir/</Prefix></CommonPrefixes></ListBucketResult>";

const std::string kError = kDecl +
                           "<Error><Code>InternalError</Code><Message>Try again.</Message>"
                           "<RequestId>tx0000-abc</RequestId><Resource>/b/k</Resource></Error>";

Parsed<ObjectList> listing(const std::string& inner, const std::string& truncated = "false") {
    return parseObjectList("<ListBucketResult><IsTruncated>" + truncated + "</IsTruncated>" +
                           inner + "</ListBucketResult>");
}

Parsed<S3AccessControlPolicy> acl(const std::string& grants) {
    return parseAccessControlPolicy("<AccessControlPolicy" + kNs +
                                    "><Owner><ID>o</ID><DisplayName>O</DisplayName></Owner>"
                                    "<AccessControlList>" +
                                    grants + "</AccessControlList></AccessControlPolicy>");
}

std::string grant(const std::string& type, const std::string& inner,
                  const std::string& permission = "READ") {
    return R"(<Grant><Grantee xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:type=")" +
           type + "\">" + inner + "</Grantee><Permission>" + permission + "</Permission></Grant>";
}

// Empty when there is a value, so that a wrongly accepted input fails the caller's check.
template <class T>
std::string problemOf(const Parsed<T>& parsed) {
    return parsed.value ? std::string() : parsed.problem;
}

TEST(S3Xml, ListsObjectsKeepingKeysExact) {
    const auto rgw = parseObjectList(kRgwListing);
    ASSERT_TRUE(rgw.value) << rgw.problem;
    const auto& objects = rgw.value->objects;
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0], (S3Object{" lead and trail ", 9223372036854775808u,
                                    "9b2cf535f27731c974343645a3985328", "2024-05-01T10:00:00.123Z",
                                    "STANDARD", S3Owner{"tester", "T"}}));
    EXPECT_EQ(objects[1], (S3Object{"a&b/\xC3\xBC\xE6\x97\xA5 ", 0, "x", "", "", std::nullopt}));
    EXPECT_EQ(objects[2].key + std::to_string(objects[2].size), " 7");
    EXPECT_EQ(rgw.value->commonPrefixes, std::vector<std::string>{"dir/"});
    EXPECT_FALSE(rgw.value->isTruncated);

    // Names come back as stored when the answer says they are encoded, and only then.
    const std::string names =
        "<Contents><Key>a%0D%0Ab+c%2B%25</Key><Size>1</Size></Contents>"
        "<CommonPrefixes><Prefix>d%0A/</Prefix></CommonPrefixes>"
        "<NextMarker>a%0D</NextMarker>";
    for (const bool encoded : {true, false}) {
        const auto page =
            listing((encoded ? "<EncodingType>url</EncodingType>" : "") + names, "true");
        ASSERT_TRUE(page.value) << page.problem;
        EXPECT_EQ(page.value->objects.at(0).key, encoded ? "a\r\nb c+%" : "a%0D%0Ab+c%2B%25");
        EXPECT_EQ(page.value->commonPrefixes.at(0), encoded ? "d\n/" : "d%0A/");
        EXPECT_EQ(page.value->nextMarker, encoded ? "a\r" : "a%0D");
    }
    // RGW encodes the names but not the marker, which always names the page's last one.
    const auto rgwPage = listing(
        "<EncodingType>url</EncodingType><Contents><Key>a%2541</Key>"
        "<Size>1</Size></Contents><NextMarker>a%41</NextMarker>",
        "true");
    EXPECT_EQ(rgwPage.value ? rgwPage.value->nextMarker : rgwPage.problem, "a%41");
}

TEST(S3Xml, ReadsGranteesMultipartAndCopyResults) {
    const std::string everyone = "http://acs.amazonaws.com/groups/global/AllUsers";
    const auto all =
        acl(grant("CanonicalUser", "<ID>o</ID><DisplayName>O</DisplayName>", "FULL_CONTROL") +
            grant("Group", "<URI>" + everyone + "</URI>") +
            grant("AmazonCustomerByEmail", "<EmailAddress>a@b.c</EmailAddress>", "WRITE_ACP"));
    ASSERT_TRUE(all.value) << all.problem;
    EXPECT_EQ(all.value->owner, (S3Owner{"o", "O"}));
    using T = S3Grantee::Type;
    EXPECT_EQ(all.value->grants,
              (std::vector<S3Grant>{{{T::canonicalUser, "o", "O", "", ""}, "FULL_CONTROL"},
                                    {{T::group, "", "", everyone, ""}, "READ"},
                                    {{T::email, "", "", "", "a@b.c"}, "WRITE_ACP"}}));

    const std::string complete = "<CompleteMultipartUploadResult" + kNs + "><ETag>";
    EXPECT_EQ(parseCompleteMultipartUpload(complete + "&quot;e-2&quot;</ETag></"
                                                      "CompleteMultipartUploadResult>")
                  .value,
              "e-2");
    // Ceph RGW leaves the element empty.
    EXPECT_EQ(
        parseCompleteMultipartUpload(complete + "</ETag></CompleteMultipartUploadResult>").value,
        "");
    EXPECT_EQ(parseInitiateMultipartUpload("<InitiateMultipartUploadResult><Key>k</Key><UploadId>"
                                           "2~a</UploadId></InitiateMultipartUploadResult>")
                  .value,
              "2~a");
    const auto copy = parseCopyObjectResult(
        "<CopyObjectResult><LastModified>2024</LastModified><ETag>\"c\"</ETag></CopyObjectResult>");
    ASSERT_TRUE(copy.value) << copy.problem;
    EXPECT_EQ(copy.value->etag + copy.value->lastModified, "c2024");
    // An ETag cannot break out of the XML it is sent back in.
    EXPECT_NE(completeMultipartUploadBody({{2, "b<&>\"2"}}).find("<ETag>\"b&lt;&amp;&gt;&quot;2\""),
              std::string::npos);
}

TEST(S3Xml, DeletesKeysInOneDocumentAndReadsWhichFailed) {
    // A CR goes as a reference, else XML folds it into LF; spaces and LF stay as they are.
    EXPECT_EQ(deleteObjectsBody({" a\r\n", "<&>"}),
              "<Delete><Quiet>true</Quiet><Object><Key> a&#13;\n</Key></Object><Object><Key>"
              "&lt;&amp;&gt;</Key></Object></Delete>");
    for (const char* bad :
         {"a\x01", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xEF\xBF\xBE", "\xFC\x84\x80\x80"})
        EXPECT_FALSE(isXmlText(bad)) << bad;
    EXPECT_TRUE(isXmlText("\t\r\n \x7f\xC3\xBC\xE6\x97\xA5\xF0\x9F\x98\x80"));
    test::TransportGuard transport;
    auto request = S3BucketRequest::DELETERequestWithBucket("b", {"k", "a\r\n"});
    test::RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(transport->waitForPerformed(1));
    transport->finish(request, 200, {},
                      "<DeleteResult" + kNs +
                          "><Deleted><Key>k</Key></Deleted><Error><Key>a&#13;\n"
                          "</Key><Code>AccessDenied</Code></Error></DeleteResult>");
    EXPECT_EQ(watch.ending(*request), "finished");
    EXPECT_EQ(request->deleteFailures(),
              (std::vector<S3DeleteFailure>{{"a\r\n", "AccessDenied", ""}}));
    // Nothing is sent for no key, too many, or one the document cannot carry.
    for (const StringList& keys : {StringList{}, StringList(1001, "k"), StringList{"k", "a\x01"}}) {
        auto unsent = S3BucketRequest::DELETERequestWithBucket("b", keys);
        EXPECT_EQ(test::RequestWatch(*unsent).run(*unsent), "failed misuse InvalidParameter");
    }
    EXPECT_EQ(transport->performed().size(), 1u);
}

TEST(S3Xml, RefusesInvalidAnswersSayingWhy) {
    const std::string k = "<Contents><Key>k</Key>", t = "<IsTruncated>false</IsTruncated>";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Name", problemOf(parseBucketList(
             "<ListAllMyBucketsResult><Buckets><Bucket/></Buckets></ListAllMyBucketsResult>"))},
        {"12abc", problemOf(listing(k + "<Size>12abc</Size></Contents>"))},
        {"Size", problemOf(listing(k + "<Size>18446744073709551616</Size></Contents>"))},
        {"maybe", problemOf(listing("", "maybe"))},
        {"Key", problemOf(listing("<Contents><Size>1</Size></Contents>"))},
        {"Robot", problemOf(acl(grant("Robot", "<ID>r</ID>")))},
        {"xsi:type", problemOf(acl("<Grant><Grantee><ID>r</ID></Grantee>"
                                   "<Permission>READ</Permission></Grant>"))},
        {"Code", problemOf(parseErrorDocument("<Error><Message>m</Message></Error>"))},
        {"malformed", problemOf(parseObjectList("<ListBucketResult>" + t + "</ListBucketResul>"))},
        {"ListBucketResult", problemOf(parseBucketList(kRgwListing))},
        {"&#0;", problemOf(listing("<Contents><Key>a&#0;b</Key><Size>1</Size></Contents>"))},
        {"NUL", problemOf(listing(std::string(1, '\0')))},
        // An <Error> where a result was expected, as a 200 can carry one.
        {"Try again.", problemOf(parseBucketList(kError))},
        {"Try again.", problemOf(parseObjectList(kError))},
        {"Try again.", problemOf(parseAccessControlPolicy(kError))},
        {"Try again.", problemOf(parseInitiateMultipartUpload(kError))},
        {"Try again.", problemOf(parseCompleteMultipartUpload(kError))},
        {"InternalError", problemOf(parseCopyObjectResult(kError))},
        {"Try again.", problemOf(parseDeleteResult(kError))},
        {"Code", problemOf(parseDeleteResult("<DeleteResult><Error><Key>k</Key></Error></DeleteResult>"))},
    };
    // clang-format on
    for (const auto& [expected, problem] : cases)
        EXPECT_NE(problem.find(expected), std::string::npos) << expected << ": " << problem;
}

TEST(S3Xml, SurvivesTruncatedOversizedAndEntityLadenInput) {
    for (std::size_t n = 0; n < kRgwListing.size(); ++n)
        ASSERT_FALSE(problemOf(parseObjectList(kRgwListing.substr(0, n))).empty()) << n;
    std::string huge = "<ListBucketResult><IsTruncated>false</IsTruncated></ListBucketResult>";
    huge.resize(kMaxXmlBytes, ' ');
    EXPECT_TRUE(parseObjectList(huge).value);
    huge += ' ';
    EXPECT_NE(problemOf(parseObjectList(huge)).find("limit"), std::string::npos);
    // A declared entity is neither expanded nor fetched.
    EXPECT_EQ(
        parseInitiateMultipartUpload("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
                                     "<InitiateMultipartUploadResult><UploadId>&e;</UploadId>"
                                     "</InitiateMultipartUploadResult>")
            .value,
        "&e;");
}

}  // namespace
}  // namespace quilo::detail
