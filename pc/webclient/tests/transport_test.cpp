// The connection's send and receive rules, the exact bytes on the wire, page
// fetches into the scratch file, the access check and the upload.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "fake_server.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"
#include "webclient/gateway_socket.h"
#include "webclient/requests.h"
#include "webclient/upload.h"

namespace velmora {
namespace {

using testing::FakeConnection;
using testing::FakeServer;
using testing::Reply;
using testing::ScopedTestEnv;
using testing::ServePages;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Stopwatch {
  uint32_t start = platform::TickCount();
  int Ms() const { return static_cast<int>(platform::TickCount() - start); }
};

class Transport : public ::testing::Test {
 protected:
  CGatewayClient Client(const FakeServer &server) {
    Env().httpPort = server.port();
    CGatewayClient c;
    env.Place(c);
    c.gatewayAddress = "127.0.0.1";
    return c;
  }
  ScopedTestEnv env;
};

struct Outcome {
  int count, ms, connected;
};

Outcome ReceiveAllFrom(FakeServer::Script script, int timeoutSeconds = 20) {
  FakeServer server(std::move(script));
  CGatewaySocket s;
  s.bufferSize = 100;
  s.timeoutSeconds = timeoutSeconds;
  EXPECT_EQ(s.Connect(server.port(), "127.0.0.1"), 1);
  char buf[101];
  EXPECT_EQ(s.ReceiveAll(buf, 101), 0);  // longer than the buffer size
  Stopwatch w;
  int n = s.ReceiveAll(buf, 100);
  return {n, w.Ms(), s.IsConnected()};
}

TEST_F(Transport, ReceiveRules) {
  // One second of silence ends the read; the connection stays usable.
  Outcome o = ReceiveAllFrom([](FakeConnection &c) {
    c.Send("hello");
    c.ReadFor(2500);
  });
  EXPECT_EQ(o.count, 5);
  EXPECT_GE(o.ms, 900);
  EXPECT_LT(o.ms, 2400);
  EXPECT_EQ(o.connected, 1);
  // A dropped connection ends it at once, with what had arrived.
  o = ReceiveAllFrom([](FakeConnection &c) {
    c.Send("abc");
    c.Close();
  });
  EXPECT_EQ(o.count, 3);
  EXPECT_LT(o.ms, 900);
  EXPECT_EQ(o.connected, 0);
  // A peer that never falls silent: the overall time-out wins, and what had
  // arrived does not count.
  o = ReceiveAllFrom([](FakeConnection &c) { c.SendSlowly(std::string(30, 't'), 1, 150); }, 2);
  EXPECT_EQ(o.count, 0);
  EXPECT_GE(o.ms, 1900);
  EXPECT_LT(o.ms, 3500);
  EXPECT_EQ(o.connected, 0);

  // ReceiveWithin: waits the given seconds, then one receive.
  FakeServer late([](FakeConnection &c) {
    c.ReadFor(1600);
    c.Send("late");
    c.ReadFor(500);
  });
  CGatewaySocket s;
  s.bufferSize = 64;
  ASSERT_EQ(s.Connect(late.port(), "127.0.0.1"), 1);
  char buf[64];
  Stopwatch w;
  EXPECT_EQ(s.ReceiveWithin(buf, 64, 1), 0);
  EXPECT_GE(w.Ms(), 900);
  EXPECT_EQ(s.ReceiveWithin(buf, 64, 3), 4);
  EXPECT_EQ(std::string(buf, 4), "late");
}

TEST_F(Transport, SendAllFailsWhenThePeerStopsReading) {
  // The peer reads nothing; once the buffers are full, the writability
  // waits expire. That must end in failure at the time-out, not in success.
  std::atomic<bool> done{false};
  FakeServer server([&done](FakeConnection &c) {
    while (!done) Pause(50);
    c.Close();
  });
  CGatewaySocket s;
  s.bufferSize = 65536;
  s.timeoutSeconds = 2;
  ASSERT_EQ(s.Connect(server.port(), "127.0.0.1"), 1);
  std::string block(65536, 'x');
  Stopwatch w;
  int result = 1;
  while (result == 1 && w.Ms() < 15000) result = s.SendAll(block.data(), 65536);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(s.IsConnected(), 0);
  done = true;
}

TEST_F(Transport, RequestsGoOutByteForByte) {
  FakeServer server(ServePages({{"cgi-bin/", Reply::Page("Kestrelon")}}));
  CGatewayClient client = Client(server);
  client.gatewayAddress = "127.0.0.1\n";  // as typed, with its line end
  EXPECT_EQ(client.FetchPage("cgi-bin/webcm?getpage=../html/qorn.html", AccessCheck), 1);
  client.userName = "a";
  EXPECT_TRUE(client.PostForm("cgi-bin/webcm", "logic:command/save"));
  client.userName = "";
  client.password = "ignored";
  EXPECT_TRUE(client.PostForm("cgi-bin/webcm", "a=b c&d"));
  ASSERT_TRUE(server.WaitForConnections(3));
  std::vector<std::string> got = server.Received();
  EXPECT_EQ(got[0], ComposeGet("cgi-bin/webcm?getpage=../html/qorn.html", "127.0.0.1", ""));
  EXPECT_NE(got[0].find("\r\nHost: 127.0.0.1\r\n\r\n"), std::string::npos);
  EXPECT_EQ(got[1], ComposePost("cgi-bin/webcm", "127.0.0.1", "Authorization: Basic YTo=\r\n",
                                "logic:command/save"));
  EXPECT_EQ(got[2].find("Authorization"), std::string::npos);
  EXPECT_EQ(got[2].substr(got[2].size() - 11), "a=b c&d\r\n\r\n");
}

TEST_F(Transport, LongPageStoredWholeAndSplitMarkersFound) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  // 150,000 bytes of page, "Kestrelon" lying across the first block border.
  std::string page;
  for (int i = 0; page.size() < 150000; i++) page += static_cast<char>('a' + i % 7);
  page.replace(64000 - head.size() - 4, 9, "Kestrelon");
  page[100] = '\0';  // binary bytes are stored as they are
  FakeServer server(ServePages({{"big", Reply::Raw(head + page)}}));
  CGatewayClient client = Client(server);
  EXPECT_EQ(client.FetchPage("big", SettingsPage), 1);
  std::string stored;
  ASSERT_TRUE(platform::ReadWholeFile(client.ScratchPage(), &stored));
  EXPECT_EQ(stored.size(), head.size() + page.size());
  EXPECT_TRUE(stored == head + page);
}

TEST_F(Transport, AccessChecksOnEachBlock) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  // The page is judged whole: "Kestrelon" anywhere wins over a "401", and
  // a marker across the border of two reads is seen.
  std::string twoBlocks = head + "Kestrelon" + std::string(64000 - head.size() - 9 - 5, '.') +
                          "x401x" + std::string(1000, '.');
  ASSERT_EQ(twoBlocks.substr(63996, 3), "401");
  std::string split = head + std::string(64000 - head.size() - 2, '.') + "40" + "1 denied";
  // Interim replies come before the reply proper and say nothing of it.
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                              "Link: </401.css>; rel=preload\r\n\r\n";
  FakeServer server(ServePages({
      {"interim-page", Reply::Raw(interim + "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n"
                                            "Kestrelon")},
      {"interim-denied", Reply::Raw(interim + "HTTP/1.1 401 Unauthorized\r\n\r\nno")},
      {"interim-chunked", Reply::Raw("HTTP/1.1 102 Processing\n\nHTTP/1.1 200 OK\r\n"
                                     "Transfer-Encoding: chunked\r\n\r\n4\r\nDHCP\r\n1\r\n"
                                     "C\r\n0\r\n\r\n")},
      {"interim-only", Reply::Raw(interim + interim)},
      {"denied", Reply::Unauthorized()},
      {"both", Reply::Page("401 Kestrelon")},
      {"foreign", Reply::Page("some other device")},
      {"carry", Reply::Raw(twoBlocks)},
      {"split", Reply::Raw(split)},
      {"conn", Reply::Page("mode=DHCPC")},
      {"pppoe", Reply::Page("static pppoe")},
  }));
  CGatewayClient client = Client(server);
  EXPECT_EQ(client.FetchPage("denied", AccessCheck), -1);
  EXPECT_EQ(client.FetchPage("both", AccessCheck), 1);
  EXPECT_EQ(client.FetchPage("foreign", AccessCheck), 0);
  EXPECT_EQ(client.FetchPage("carry", AccessCheck), 1);
  EXPECT_EQ(client.FetchPage("split", AccessCheck), -1);
  EXPECT_EQ(client.FetchPage("conn", ConnectionType), 4);
  EXPECT_EQ(client.FetchPage("pppoe", ConnectionType), 2);  // tested before "static"
  EXPECT_EQ(client.FetchPage("foreign", ConnectionType), 0);
  EXPECT_EQ(client.FetchPage("interim-page", AccessCheck), 1);
  std::string stored;
  ASSERT_TRUE(platform::ReadWholeFile(client.ScratchPage(), &stored));
  EXPECT_EQ(stored, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nKestrelon");
  EXPECT_EQ(client.FetchPage("interim-denied", AccessCheck), -1);
  EXPECT_EQ(client.FetchPage("interim-chunked", ConnectionType), 4);
  EXPECT_TRUE(client.PageWhole());
  // A server that never gets past interim replies gave no page.
  EXPECT_EQ(client.FetchPage("interim-only", AccessCheck), 0);
  EXPECT_FALSE(client.PageWhole());
}

TEST_F(Transport, CheckAccessAsksForLoginOnce) {
  FakeServer server(ServePages({
      {"cgi-bin/webcm?getpage=../html/qorn.html", Reply::Unauthorized()},
      {"cgi-bin/webcm?getpage=../html/status_real.html", Reply::Page("Kestrelon")},
  }));
  CGatewayClient client = Client(server);
  env.reachable = 0;
  EXPECT_EQ(client.CheckAccess(), 0);
  EXPECT_EQ(env.probes, 1);
  env.reachable = 1;
  EXPECT_EQ(client.CheckAccess(), -1);
  EXPECT_EQ(client.CheckAccess(), 1);  // the flag is set: on to the status page
  ASSERT_TRUE(server.WaitForConnections(3));
  std::vector<std::string> paths = server.Paths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[2], "cgi-bin/webcm?getpage=../html/status_real.html");
  EXPECT_EQ(env.clock.Sleeps(), std::vector<uint32_t>{1000});
  // The flag is the run's: the client of another run (another gateway) is
  // asked for its login afresh, and a page of the same run shares it.
  CGatewayClient other = Client(server);
  EXPECT_EQ(other.CheckAccess(), -1);
  int runFlag = 0;
  CGatewayClient first = Client(server), second = Client(server);
  first.loginAsked = second.loginAsked = &runFlag;
  EXPECT_EQ(first.CheckAccess(), -1);
  EXPECT_EQ(second.CheckAccess(), 1);
}

// --- upload

std::string Binary(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += static_cast<char>((i * 7) & 0xff);
  return s;
}

FakeServer::Script UploadReply(std::vector<std::string> pieces, int pauseMs = 0) {
  return [pieces, pauseMs](FakeConnection &c) {
    c.ReadRequest(10000);
    for (const std::string &p : pieces) {
      c.Send(p);
      if (pauseMs) Pause(pauseMs);
    }
    c.EndReply();
  };
}

class Upload : public Transport {
 protected:
  void SetUp() override {
    image = Binary(3000);
    imagePath = platform::JoinPath(env.kitDir, "fw.img");
    ASSERT_TRUE(platform::WriteWholeFile(imagePath, image));
  }
  // The verdict; what the flash may hold after it, had the upload gone to
  // dornix and to the upgrade service, in *flash.
  int UploadTo(FakeServer &server, FlashAfterUpload *flash = nullptr,
               UploadProgress progress = nullptr) {
    CGatewaySocket s;
    s.userName = "admin";
    s.password = "pw";
    s.timeoutSeconds = 10;
    if (!s.Connect(server.port(), "127.0.0.1")) return -2;
    CFirmwareUpload upload(s, progress);
    UploadVerdict verdict = upload.UploadFile("cgi-bin/dornix", "fw.img", imagePath.c_str());
    if (flash) {
      flash[0] = upload.Flash(verdict, true);
      flash[1] = upload.Flash(verdict, false);
    }
    return verdict;
  }
  std::string image, imagePath;
};

TEST_F(Upload, SendsFivePiecesWithExactLength) {
  FakeServer server(UploadReply({"HTTP/1.0 200 OK\r\n\r\nupgrade result: ok[0]\n"}));
  EXPECT_EQ(UploadTo(server), 1);
  ASSERT_TRUE(server.WaitForConnections(1));
  std::string auth = "Authorization: Basic YWRtaW46cHc=\r\n";
  std::string body = ComposeUploadPartHeader("fw.img").substr(2) + image + ComposeUploadTail();
  std::string expected = ComposeUploadHead("cgi-bin/dornix", "127.0.0.1", auth) +
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ(body.size(), 182u + 6u + 3000u);
  EXPECT_TRUE(server.Received()[0] == expected);
  EXPECT_EQ(env.clock.Sleeps(), std::vector<uint32_t>{20000});
}

TEST_F(Upload, ReplyVerdicts) {
  // -1 refused, 0 no verdict (the version after the restart decides), 1
  // accepted (with the 20 s pause); and what the gateway's flash may hold
  // after it, from dornix and from the upgrade service, which names no
  // reason.
  const FlashAfterUpload kNone = kFlashUntouched, kAll = kFlashWritten, kUnsure = kFlashUnknown;
  struct Case {
    std::vector<std::string> pieces;
    int verdict;
    bool paused;
    FlashAfterUpload dornix, service;
    bool stop = false;  // the progress stops the upload at its first block
  } cases[] = {
      {{"HTTP/1.0 200 OK\r\n\r\nUpgrade failed"}, -1, false, kUnsure, kUnsure},
      {{"Upgrade successful"}, 1, true, kAll, kAll},
      {{"successful? no: failed"}, -1, false, kUnsure, kUnsure},
      {{"upgrade result: fail[3]\n\r\n\r\n"}, -1, false, kNone, kUnsure},  // dornix's page
      {{"upgrade result: ok[0]\n"}, 1, true, kAll, kAll},
      {{}, 0, false, kUnsure, kUnsure},                       // closed without a word
      {{"Upgrade fai", "led"}, -1, false, kUnsure, kUnsure},  // split marker
      // An error status refuses at once, whatever follows.
      {{"HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\nsuccessful"}, -1, false, kNone,
       kNone},
      {{"HTTP/1.0 500 Internal Server Error\r\n\r\n"}, -1, false, kUnsure, kUnsure},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}, 0, false, kUnsure, kUnsure},
      {{Binary(5000)}, 0, false, kUnsure, kUnsure},  // noise
      // Interim replies before the verdict, in pieces of their own or not.
      {{"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\nupgrade result: ok[0]\n"},
       1, true, kAll, kAll},
      {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
        "HTTP/1.0 200 OK\r\n\r\nupgrade result: fail[6]\n"},
       -1, false, kNone, kUnsure},
      {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 500 Internal Server Error\r\n\r\n"}, -1,
       false, kUnsure, kUnsure},
      {{"HTTP/1.1 100 Continue\r\n\r\n"}, 0, false, kUnsure, kUnsure},
      // dornix's flash may be partly written; reading back the stored image
      // failed, which may have begun writing.
      {{"upgrade result: fail[11]\n"}, -1, false, kFlashPartlyWritten, kUnsure},
      {{"upgrade result: fail[9]\n"}, -1, false, kUnsure, kUnsure},
      // Stopped by the run: the rest of the file never goes out.
      {{"upgrade result: ok[0]\n"}, -1, false, kNone, kUnsure, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pieces.empty() ? "" : c.pieces[0].substr(0, 30));
    FakeServer server(UploadReply(c.pieces, 300));
    size_t before = env.clock.Sleeps().size();
    FlashAfterUpload flash[2];
    size_t blocks = 0;
    EXPECT_EQ(UploadTo(server, flash,
                       [&](uint64_t, uint64_t) { return ++blocks < 2 || !c.stop; }),
              c.verdict);
    EXPECT_EQ(env.clock.Sleeps().size() - before, c.paused ? 1u : 0u);
    EXPECT_EQ(flash[0], c.dornix);
    EXPECT_EQ(flash[1], c.service);
    if (c.stop) {
      ASSERT_TRUE(server.WaitForConnections(1));
      server.Stop();
      ASSERT_EQ(server.Received().size(), 1u);
      EXPECT_LT(server.Received()[0].size(), image.size());
    }
  }
}

TEST_F(Upload, EveryWaitOfTheUploadHasItsLimit) {
  env.clock.limitScale = 0.001;  // the 150 s for the reply become 2 s
  struct Case {
    const char *name;
    FakeServer::Script script;
    int verdict;
  } cases[] = {
      {"never reads", [](FakeConnection &c) { Pause(6000); c.Close(); }, -1},
      // Takes a kilobyte every 10 ms: 8 MB would take 80 s.
      {"reads slowly", [](FakeConnection &c) { c.ReadSlowly(1024, 10, 15000); c.Close(); }, -1},
      {"never answers", [](FakeConnection &c) { c.ReadRequest(10000); c.ReadFor(6000); }, 0},
      {"answers without end",
       [](FakeConnection &c) {
         c.ReadRequest(10000);
         c.SendSlowly(std::string(400, '.'), 1, 10);
       },
       0},
      {"answers only interim replies",
       [](FakeConnection &c) {
         c.ReadRequest(10000);
         std::string interim;
         for (int i = 0; i < 40; i++) interim += "HTTP/1.1 100 Continue\r\n\r\n";
         c.SendSlowly(interim, 25, 100);
       },
       0},
  };
  image = Binary(8 << 20);  // more than the socket buffers hold
  ASSERT_TRUE(platform::WriteWholeFile(imagePath, image));
  for (const Case &c : cases) {
    if (std::string(c.name) == "never reads" || std::string(c.name) == "reads slowly") {
      // Reads nothing at all: the send stalls; its limit is 10 s. Reads
      // steadily but too slowly: the upload's deadline ends it.
    } else {
      image = Binary(3000);
      ASSERT_TRUE(platform::WriteWholeFile(imagePath, image));
    }
    FakeServer server(c.script);
    Stopwatch w;
    EXPECT_EQ(UploadTo(server), c.verdict) << c.name;
    EXPECT_LT(w.Ms(), 11000) << c.name;
  }
}

// A kit with fw.img.minisig against gateways from before signed uploads
// (fail[4] to the signature part), that check the signature, that hold
// another key (fail[23]), that answer in odd ways, and whose connection
// breaks under the signed upload.
TEST_F(Upload, SignedKitAndGatewaysWithAndWithoutSignatures) {
  const std::string sig = "untrusted comment: x\nRUQ...\ntrusted comment: t\nAAA...\n";
  // Its suffix in capitals, as Windows would open it all the same.
  ASSERT_TRUE(platform::WriteWholeFile(imagePath + ".MINISIG", sig));
  const char kOk[] = "HTTP/1.0 200 OK\r\n\r\nupgrade result: ok[0]\n";
  struct Case {
    const char *name;
    std::string signedAnswer;  // "": the connection drops under the signed file
    std::string unsignedAnswer;
    int result;
    size_t connections;
    const char *note, *notice, *problem;
  } cases[] = {
      {"no signatures", "upgrade result: fail[4]\n", kOk, 1, 2,
       "fw.img: signed, but the gateway does not take signatures (fail[4])",
       "The Gateway does not check signatures: it refused the signature of fw.img (fail[4])", ""},
      {"checked", "HTTP/1.0 200 OK\r\nX-Dornix-Signature: valid, key 1\r\n\r\nupgrade result: ok[0]\n",
       kOk, 1, 1, "fw.img: signed; the gateway checked", "", ""},
      // The same words in the body are no header.
      {"words in the body", "HTTP/1.0 200 OK\r\n\r\nX-Dornix-Signature: valid, key 1\nupgrade result: ok[0]\n",
       kOk, 1, 1, "fw.img: signed; the gateway holds no key", "", ""},
      {"another key", "upgrade result: fail[23]\n", kOk, -1, 1,
       "fw.img: signed; the gateway refused the upload", "", "fail[23]"},
      // The break is what went wrong, not the kit's signature.
      {"broken, then unsigned refused", "", "HTTP/1.0 200 OK\r\n\r\nupgrade result: fail[23]\n", -1,
       2, "fw.img: signed, but the gateway dropped the signed upload", "",
       "the connection broke while the request was sent; sent again without its signature, "
       "the Gateway refused it (fail[23]"},
      {"broken, then unsigned taken", "", kOk, 1, 2,
       "fw.img: signed, but the gateway dropped the signed upload",
       "The connection broke while fw.img was sent with its signature", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    bool drop = c.signedAnswer.empty();
    // Large enough that a dropped connection fails the send.
    image = Binary(drop ? (8u << 20) : 3000u);
    ASSERT_TRUE(platform::WriteWholeFile(imagePath, image));
    FakeServer server([&c, drop](FakeConnection &conn) {
      // The signature part comes before the file's.
      conn.ReadUntil("name=\"UploadFile\"", 10000);
      bool isSigned = conn.received.find("name=\"signature\"") != std::string::npos;
      if (drop && isSigned) {
        conn.Close();
        return;
      }
      const std::string end = "--MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n";
      auto tail = [&conn] { return conn.received.size() > 4096 ? conn.received.size() - 4096 : 0; };
      for (int i = 0; i < 200 && conn.received.find(end, tail()) == std::string::npos; ++i)
        conn.ReadFor(50);
      conn.Send(isSigned ? c.signedAnswer : c.unsignedAnswer);
      conn.EndReply();
    });
    CGatewayClient client;
    env.Place(client);
    client.gatewayAddress = "127.0.0.1";
    Env().httpPort = server.port();
    EXPECT_EQ(client.UploadFirmware(0), c.result);
    server.Stop();
    std::vector<std::string> got = server.Received();
    ASSERT_EQ(got.size(), c.connections);
    EXPECT_EQ(client.uploadSignatureNote.find(c.note), 0u) << client.uploadSignatureNote;
    EXPECT_EQ(client.uploadNotice.find(c.notice), 0u) << client.uploadNotice;
    if (*c.notice == '\0') {
      EXPECT_EQ(client.uploadNotice, "");
    }
    EXPECT_NE(client.problem.find(c.problem), std::string::npos) << client.problem;
    if (drop && c.result < 0) {
      EXPECT_EQ(client.advice.find("Check the cable"), 0u) << client.advice;
      continue;
    }
    if (drop) continue;
    // The signature part goes first; every other byte is the unsigned
    // request's, and the length is exact.
    std::string part = ComposeSignaturePart("fw.img", sig);
    std::string body = part.substr(2) + ComposeUploadPartHeader("fw.img") + image + ComposeUploadTail();
    std::string head = ComposeUploadHead("cgi-bin/dornix", "127.0.0.1", "");
    EXPECT_TRUE(got[0] == head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    if (c.connections == 2) {
      std::string plain = ComposeUploadPartHeader("fw.img").substr(2) + image + ComposeUploadTail();
      EXPECT_TRUE(got[1] == head + "Content-Length: " + std::to_string(plain.size()) + "\r\n\r\n" + plain);
    }
  }
}

TEST_F(Upload, FirmwareDirectAndInTwoSteps) {
  CGatewayClient client;
  env.Place(client);
  client.gatewayAddress = "127.0.0.1";
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "prepare.bin"), "PREP"));

  FakeServer direct(UploadReply({"upgrade result: fail[7]\n"}));
  Env().httpPort = direct.port();
  EXPECT_EQ(client.UploadFirmware(0), -1);
  EXPECT_EQ(client.uploadFlash, kFlashUntouched);

  // Two steps: the first verdict is ignored, the second decides.
  FakeServer dornix(UploadReply({"upgrade result: fail[7]\n"}));
  FakeServer update(UploadReply({"Upgrade successful"}));
  Env().httpPort = dornix.port();
  Env().updatePort = update.port();
  EXPECT_EQ(client.UploadFirmware(1), 1);
  EXPECT_EQ(client.uploadFlash, kFlashWritten);
  FakeServer refuses(UploadReply({"Upgrade failed"}));
  Env().updatePort = refuses.port();
  EXPECT_EQ(client.UploadFirmware(1), -1);
  EXPECT_EQ(client.uploadFlash, kFlashUnknown);
  ASSERT_TRUE(update.WaitForConnections(1));
  ASSERT_TRUE(dornix.WaitForConnections(2));
  EXPECT_NE(dornix.Received()[0].find("filename=\"prepare.bin\"\r\n"), std::string::npos);
  EXPECT_NE(dornix.Received()[0].find("\r\n\r\nPREP\r\n----MULTI"), std::string::npos);
  EXPECT_EQ(update.Paths()[0], "cgi-bin/update");
  EXPECT_NE(update.Received()[0].find("filename=\"fw.img\"\r\n"), std::string::npos);

  // Two steps with a kit that holds no preparation package: the image goes
  // to the upgrade service alone; dornix is not asked at all.
  platform::DeleteLocalFile(platform::JoinPath(env.kitDir, "prepare.bin"));
  FakeServer untouched(UploadReply({"upgrade result: ok[0]\n"}));
  FakeServer service(UploadReply({"Upgrade successful"}));
  Env().httpPort = untouched.port();
  Env().updatePort = service.port();
  client.SetProblem("");
  EXPECT_EQ(client.UploadFirmware(1), 1);
  EXPECT_EQ(client.problem, "");
  untouched.Stop();
  EXPECT_TRUE(untouched.Received().empty());
  ASSERT_TRUE(service.WaitForConnections(1));
  EXPECT_NE(service.Received()[0].find("filename=\"fw.img\"\r\n"), std::string::npos);

  // A second image makes the kit ambiguous: nothing is uploaded.
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "other.IMG"), "x"));
  FakeServer idle(UploadReply({"successful"}));
  Env().httpPort = idle.port();
  EXPECT_EQ(client.UploadFirmware(0), -1);
  ASSERT_TRUE(idle.WaitForConnections(1));
  EXPECT_EQ(idle.Received()[0], "");
}

}  // namespace
}  // namespace velmora
