// Text search, base64 and the exact bytes of every request.
#include <gtest/gtest.h>

#include <string>

#include "webclient/base64.h"
#include "webclient/requests.h"
#include "webclient/text_util.h"

namespace velmora {
namespace {

TEST(TextUtil, FindIsCaseInsensitiveAndBounded) {
  EXPECT_EQ(CTextUtil::Find("xxabcxx", "ABC"), 2);
  EXPECT_EQ(CTextUtil::Find("xxabcxx", ""), -1);
  EXPECT_EQ(CTextUtil::Find("", "a"), -1);
  EXPECT_EQ(CTextUtil::Find("ab", "abc"), -1);
  EXPECT_EQ(CTextUtil::Find("abcabc", "cab"), 2);
  EXPECT_EQ(CTextUtil::Find("[i++]='", "[I++]"), 0);
  // The whole text is searched, up to its very last character.
  std::string seventy(69, 'x');
  seventy += 'Q';
  EXPECT_EQ(CTextUtil::Find(seventy.c_str(), "q"), 69);
  // Counted search sees past a NUL byte.
  const char block[] = {'a', '\0', 'K', 'e', 'y'};
  EXPECT_EQ(CTextUtil::FindIn(block, sizeof block, "key"), 2);
}

TEST(TextUtil, LeftMidReplaceAll) {
  std::string out = "old";
  CTextUtil::Left("abcdef", out, 3);
  EXPECT_EQ(out, "abc");
  CTextUtil::Left("ab", out, 17);
  EXPECT_EQ(out, "ab");
  CTextUtil::Left("abc", out, 0);
  EXPECT_EQ(out, "");

  out = "old";
  CTextUtil::Mid("abcdef", out, 4);
  EXPECT_EQ(out, "ef");
  CTextUtil::Mid("abc", out, 3);
  EXPECT_EQ(out, "");
  out = "kept";
  CTextUtil::Mid("", out, 0);
  EXPECT_EQ(out, "kept");

  out = "kept";
  CTextUtil::ReplaceAll("12 34 56", "x", "+", out);
  EXPECT_EQ(out, "kept");
  CTextUtil::ReplaceAll("12 34  56", " ", "+", out);
  EXPECT_EQ(out, "12+34++56");
  CTextUtil::ReplaceAll("aXbxc", "x", "--", out);
  EXPECT_EQ(out, "a--b--c");
}

TEST(MarkerScanner, FindsSplitMarkerOnceOnly) {
  CMarkerScanner s(9);  // "Kestrelon"
  s.Feed("....Kest", 8);
  EXPECT_FALSE(s.Found("Kestrelon"));
  s.Feed("relon..", 7);
  EXPECT_TRUE(s.Found("Kestrelon"));
  // A marker wholly inside the carried bytes was reported with its block.
  s.Feed("x401", 4);
  EXPECT_TRUE(s.Found("401"));
  s.Feed("zzzz", 4);
  EXPECT_FALSE(s.Found("401"));
  EXPECT_FALSE(s.Found("Kestrelon"));
  // One byte at a time still works.
  CMarkerScanner t(5);
  const char *word = "login";
  bool seen = false;
  for (int i = 0; i < 5; i++) {
    t.Feed(word + i, 1);
    seen = seen || t.Found("LOGIN");
  }
  EXPECT_TRUE(seen);
}

TEST(Base64, SizesVectorsAndRefusals) {
  EXPECT_EQ(Base64EncodedSize(0), 0u);
  EXPECT_EQ(Base64EncodedSize(1), 5u);
  EXPECT_EQ(Base64EncodedSize(3), 5u);
  EXPECT_EQ(Base64EncodedSize(4), 9u);
  const char *vectors[][2] = {{"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
                              {"a:", "YTo="}};
  for (auto &v : vectors) {
    size_t n = strlen(v[0]);
    char out[16];
    ASSERT_TRUE(Base64Encode(reinterpret_cast<const unsigned char *>(v[0]), n,
                             out, Base64EncodedSize(n)));
    EXPECT_STREQ(out, v[1]);
  }
  const unsigned char high[] = {0xfb, 0xff};
  char out[8];
  ASSERT_TRUE(Base64Encode(high, 2, out, sizeof out));
  EXPECT_STREQ(out, "+/8=");
  char small[4];
  EXPECT_FALSE(Base64Encode(high, 2, small, sizeof small));
  EXPECT_FALSE(Base64Encode(high, 2, nullptr, 8));
}

const char kAccept[] =
    "Accept: image/gif, image/x-bitmap, image/jpeg, image/pjpeg, "
    "application/vnd.ms-powerpoint, application/vnd.ms-excel, "
    "application/msword, application/x-comet, */*\r\n";
const char kAgent[] =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0; Windows NT; DigExt; "
    "KeStReLoN Agent;)\r\n";

TEST(Requests, GetWithAndWithoutCredentials) {
  std::string auth;
  EXPECT_FALSE(ComposeAuthorization("", "secret", auth));
  EXPECT_EQ(auth, "");
  std::string expected = std::string("GET /cgi-bin/webcm?getpage=../html/qorn.html HTTP/1.1\r\n") +
                         kAccept + "Accept-Language: en\r\nCache-Control: no-cache\r\n"
                         "Proxy-Connection: Keep-Alive\r\n" + kAgent +
                         "Host: 192.168.0.1\r\n\r\n";
  EXPECT_EQ(ComposeGet("cgi-bin/webcm?getpage=../html/qorn.html", "192.168.0.1", auth),
            expected);

  ASSERT_TRUE(ComposeAuthorization("a", "", auth));
  EXPECT_EQ(auth, "Authorization: Basic YTo=\r\n");
  ASSERT_TRUE(ComposeAuthorization("admin", "pw", auth));
  EXPECT_EQ(auth, "Authorization: Basic YWRtaW46cHc=\r\n");
  std::string withAuth = ComposeGet("x", "h\n", auth);
  EXPECT_NE(withAuth.find("Host: h\r\nAuthorization: Basic YWRtaW46cHc=\r\n\r\n"),
            std::string::npos);
}

TEST(Requests, FormPost) {
  std::string body = "ap:settings/ssid=my net&x=1";
  std::string expected = std::string("POST /cgi-bin/webcm HTTP/1.1\r\n") + kAccept +
                         "Accept-Language: en\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\n" +
                         kAgent + "Host: 10.0.0.1\r\nContent-Length: 27\r\n"
                         "Cache-Control: no-cache\r\nProxy-Connection: Keep-Alive\r\n"
                         "\r\n" + body + "\r\n\r\n";
  EXPECT_EQ(ComposePost("cgi-bin/webcm", "10.0.0.1\nrest", "", body.c_str()), expected);
}

TEST(Requests, UploadPiecesAndExactLength) {
  EXPECT_EQ(ComposeUploadHead("cgi-bin/dornix", "gw", "Authorization: Basic YTo=\r\n"),
            "POST /cgi-bin/dornix HTTP/1.1\r\nHost: gw\r\nPragma: no-cache\r\n"
            "Accept: */*\r\nAuthorization: Basic YTo=\r\n"
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
  EXPECT_EQ(UploadBodyLength("prepare.bin", 0), 193u);
}

}  // namespace
}  // namespace velmora
