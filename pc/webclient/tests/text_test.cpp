// Text search, base64 and the exact bytes of every request.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>

#include "fixtures.h"
#include "webclient/base64.h"
#include "webclient/requests.h"
#include "webclient/text_util.h"

namespace velmora {
namespace {

TEST(TextUtil, FindReplaceAndSplitMarkers) {
  EXPECT_EQ(CTextUtil::Find("xxabcxx", "ABC"), 2);
  EXPECT_EQ(CTextUtil::Find("xxabcxx", ""), -1);
  EXPECT_EQ(CTextUtil::Find("ab", "abc"), -1);
  EXPECT_EQ(CTextUtil::Find((std::string(69, 'x') + "Q").c_str(), "q"), 69);
  const char block[] = {'a', '\0', 'K', 'e', 'y'};
  EXPECT_EQ(CTextUtil::FindIn(block, sizeof block, "key"), 2);
  std::string out = "kept";
  CTextUtil::ReplaceAll("12 34", "x", "+", out);
  EXPECT_EQ(out, "kept");
  CTextUtil::ReplaceAll("12 34  56", " ", "+", out);
  EXPECT_EQ(out, "12+34++56");

  CMarkerScanner s(9);  // longest marker: "Kestrelon"
  s.Feed("....Kest", 8);
  EXPECT_FALSE(s.Found("Kestrelon"));
  s.Feed("relon.401", 9);
  EXPECT_TRUE(s.Found("kestrelon"));
  s.Feed("zz", 2);  // both now lie wholly in the carried bytes: seen already
  EXPECT_FALSE(s.Found("401"));
  EXPECT_FALSE(s.Found("Kestrelon"));
}

TEST(Base64, VectorsAndRefusals) {
  EXPECT_EQ(Base64EncodedSize(0), 0u);
  EXPECT_EQ(Base64EncodedSize(4), 9u);
  for (auto v : {std::make_pair("f", "Zg=="), std::make_pair("fo", "Zm8="),
                 std::make_pair("foo", "Zm9v"), std::make_pair("fooba", "Zm9vYmE="),
                 std::make_pair("a:", "YTo="), std::make_pair("\xfb\xff", "+/8=")}) {
    char out[16];
    size_t n = strlen(v.first);
    ASSERT_TRUE(Base64Encode(reinterpret_cast<const unsigned char *>(v.first), n, out,
                             Base64EncodedSize(n)));
    EXPECT_STREQ(out, v.second);
  }
  char small[4];
  EXPECT_FALSE(Base64Encode(reinterpret_cast<const unsigned char *>("ab"), 2, small, 4));
}

const char kAccept[] =
    "Accept: image/gif, image/x-bitmap, image/jpeg, image/pjpeg, "
    "application/vnd.ms-powerpoint, application/vnd.ms-excel, "
    "application/msword, application/x-comet, */*\r\n";
const char kAgent[] =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0; Windows NT; DigExt; KeStReLoN Agent;)\r\n";

TEST(Requests, GetAndPostBytes) {
  std::string auth;
  EXPECT_FALSE(ComposeAuthorization("", "secret", auth));
  EXPECT_EQ(ComposeGet("cgi-bin/webcm?getpage=../html/qorn.html", "192.168.0.1\n", auth),
            std::string("GET /cgi-bin/webcm?getpage=../html/qorn.html HTTP/1.1\r\n") + kAccept +
                "Accept-Language: en\r\nCache-Control: no-cache\r\n"
                "Proxy-Connection: Keep-Alive\r\n" + kAgent + "Host: 192.168.0.1\r\n\r\n");
  ASSERT_TRUE(ComposeAuthorization("a", "", auth));
  EXPECT_EQ(auth, "Authorization: Basic YTo=\r\n");
  EXPECT_EQ(ComposePost("cgi-bin/webcm", "10.0.0.1", auth, "x=my net&y=1"),
            std::string("POST /cgi-bin/webcm HTTP/1.1\r\n") + kAccept +
                "Accept-Language: en\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                kAgent + "Host: 10.0.0.1\r\nContent-Length: 12\r\nCache-Control: no-cache\r\n"
                "Proxy-Connection: Keep-Alive\r\nAuthorization: Basic YTo=\r\n\r\n"
                "x=my net&y=1\r\n\r\n");
}

TEST(Requests, UploadPiecesAndExactLength) {
  EXPECT_EQ(ComposeUploadHead("cgi-bin/dornix", "gw", ""),
            "POST /cgi-bin/dornix HTTP/1.1\r\nHost: gw\r\nPragma: no-cache\r\nAccept: */*\r\n"
            "Content-Type: multipart/form-data; boundary=--MULTI-PARTS-FORM-DATA-BOUNDARY\r\n");
  EXPECT_EQ(ComposeUploadLength(1234), "Content-Length: 1234\r\n");
  EXPECT_EQ(ComposeUploadPartHeader("fw.img"),
            "\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
            "Content-Disposition: form-data; name=\"UploadFile\"; filename=\"fw.img\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n");
  EXPECT_EQ(ComposeUploadTail(), "\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n");
  EXPECT_EQ(UploadBodyLength("fw.img", 1000), 182u + 6u + 1000u);
  // The old fixed "+ 220" was right only for a 38-character name.
  EXPECT_EQ(UploadBodyLength(std::string(38, 'n').c_str(), 5), 5u + 220u);
  EXPECT_EQ(ComposeSignaturePart("fw.img", "sig\n"),
            "\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
            "Content-Disposition: form-data; name=\"signature\"; filename=\"fw.img.minisig\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\nsig\n");
  // The pieces make the body the gateway's tests send, whose length both
  // sides count alike.
  const std::string sig = "sig\n", file(3000, 'f');
  for (const std::string *s : {(const std::string *)nullptr, &sig}) {
    std::string body = (s ? ComposeSignaturePart("fw.img", *s) : "") + ComposeUploadPartHeader("fw.img");
    body = body.substr(2) + file + ComposeUploadTail();
    EXPECT_EQ(body, fixtures::WizardBody("fw.img", file, s));
    EXPECT_EQ(body.size(), gwc_upload_body_length(6, file.size(), s ? (long)s->size() : GWC_UNSIGNED));
  }
}

}  // namespace
}  // namespace velmora
