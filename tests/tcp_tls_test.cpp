// TLS streams driven through FourDPackex against independent peers: the plug-in as a client of
// `openssl s_server` (TLS 1.2 and 1.3, cipher lists, a client certificate the server requires)
// and as a server for `openssl s_client` and curl (the chain verified, certificates picked by
// server name, strict mode), listening sockets shared by streams and their grace, keys of every
// kind, and the mended faults of the TLS layer. Certificates are made at test time.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "4DPluginAPI.h"
#include "peers/peers.h"
#include "peers/tls_peers.h"
#include "support/plugin_test.h"
#include "tcp.h"
#include "zuv_streams.h"

namespace zuvtest {
namespace {

const bool kIsolated = peers::isolated();

constexpr int64_t kTLS = 0x400;
constexpr int64_t kNoTLS13 = 0x20000;
constexpr int64_t kSNI = 0x100000;
constexpr int64_t kSNIStrict = 0x200000;

class TLSTest : public PluginTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    ASSERT_TRUE(certificates().ok()) << "the openssl command could not make the certificates";
    PluginTest::SetUp();
  }
  void TearDown() override {
    tcp::testing::resetClocks();
    PluginTest::TearDown();
  }

  static const peers::Certificates& certificates() { return peers::Certificates::get(); }
  static std::string file(const std::string& name) { return certificates().path(name); }

  int64_t open(int16_t port, int64_t flags) {
    return run("ZUV_TCPOpen", {txt("127.0.0.1"), num(port), num(0), num(flags), {}, num(0), num(0)})
        .number();
  }
  int64_t listen(int16_t port, int64_t flags, int64_t key = 0, int64_t address = 0) {
    return run("ZUV_TCPListen",
               {num(0), num(0), num(port), num(0), num(flags), num(0), num(address), num(key)})
        .number();
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }
  bool awaitStatus(int64_t id, int64_t wanted) {
    return peers::await([&] { return status(id) == wanted; });
  }
  int64_t release(int64_t id, int64_t mode = 0) {
    return run("ZUV_TCPRelease", {num(id), num(mode)}).number();
  }
  int16_t localPort(int64_t id) {
    return static_cast<int16_t>(run("ZUV_TCPStreamInfo", {num(id)}).number(4));
  }
  int64_t setCertificate(int64_t id, const std::string& certificate, const std::string& key,
                         const std::string& pass = "", const std::string& chain = "") {
    return run("ZUV_SSLSetCertificate",
               {num(id), txt(certificate), txt(key), txt(pass), txt(chain)})
        .number();
  }
  int64_t setServerName(int64_t key, const std::string& name, const std::string& certificate,
                        const std::string& privateKey, const std::string& pass = "",
                        const std::string& chain = "") {
    return run("ZUV_SSLSetSNICertificate",
               {num(key), txt(name), txt(certificate), txt(privateKey), txt(pass), txt(chain)})
        .number();
  }

  tcp::TCPGlob* stream(int64_t id) { return streams::lookUp(static_cast<int32_t>(id)); }
  int32_t send(int64_t id, const std::string& bytes) {
    int32_t result = 0;
    emu.run(1, [&] {
      result = tcp::send(stream(id), bytes.data(), static_cast<int32_t>(bytes.size()), false);
    });
    return result;
  }
  std::string receiveOnce(int64_t id, int32_t max = 0) {
    std::string bytes;
    emu.run(1, [&] {
      HostHandle handle = nullptr;
      int32_t n = tcp::receive(stream(id), handle, max);
      if (n > 0) bytes.assign(*handle, static_cast<size_t>(n));
      if (handle != nullptr) PA_DisposeHandle(handle);
    });
    return bytes;
  }
  // Receives until `text` has come (or the peer's end), keeping every byte.
  std::string receiveUntil(int64_t id, const std::string& text) {
    std::string bytes;
    peers::await([&] {
      bytes += receiveOnce(id);
      return bytes.find(text) != std::string::npos || status(id) >= kStreamPeerClosed;
    });
    return bytes;
  }

  // A TLS listener on a port of the system's choosing, with the leaf certificate and its chain.
  int64_t listenWithLeaf(int64_t flags = kTLS) {
    int64_t id = listen(0, flags);
    EXPECT_GT(id, 0);
    EXPECT_EQ(setCertificate(id, file("leaf.pem"), file("leaf.key"), "", file("chain.pem")), 0);
    return id;
  }

  // openssl s_client to a listener, with its input kept open.
  std::unique_ptr<peers::Child> client(int16_t port, std::vector<std::string> extra) {
    std::vector<std::string> argv = {"openssl", "s_client", "-connect",
                                     "127.0.0.1:" + std::to_string(static_cast<uint16_t>(port))};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<peers::Child>(argv);
  }
};

// ---- The plug-in as a client
// ----------------------------------------------------------------------

TEST_F(TLSTest, AClientTalksToOpenSSLServerInTLS13AndTLS12) {
  struct Case {
    int64_t flags;
    std::string protocol;
  };
  for (const Case& c : {Case{kTLS, "TLSv1.3"}, Case{kTLS | kNoTLS13, "TLSv1.2"}}) {
    SCOPED_TRACE(c.protocol);
    peers::TLSServer server({"-www", "-naccept", "1"});
    ASSERT_NE(server.port(), 0) << server.child().output();
    int64_t id = open(server.port(), c.flags);
    ASSERT_GT(id, 0);
    EXPECT_EQ(stream(id)->kind, tcp::kKindTLS);
    ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << server.child().output();
    Outcome info = run("ZUV_SSLStreamInfo", {num(id)});
    EXPECT_EQ(info.number(), 0);
    EXPECT_EQ(host::utf8(info.text(2)), c.protocol);
    std::string cipher = host::utf8(info.text(3));
    EXPECT_FALSE(cipher.empty());
    EXPECT_GE(info.number(4), 128);
    EXPECT_EQ(host::utf8(info.text(5)), "/CN=alpha.test");

    EXPECT_EQ(send(id, "GET / HTTP/1.0\r\n\r\n"), 0);
    std::string page = receiveUntil(id, "</HTML>");
    EXPECT_NE(page.find("HTTP/1.0 200 ok"), std::string::npos) << page;
    EXPECT_NE(page.find(cipher), std::string::npos) << page;
    // Application bytes and encrypted bytes are counted apart.
    EXPECT_EQ(run("ZUV_TCPStatus", {num(id), num(17)}).number(), 18);
    EXPECT_GT(run("ZUV_TCPStatus", {num(id), num(24)}).number(), 18);
    EXPECT_EQ(release(id), 0);
  }
}

TEST_F(TLSTest, TheTLSPortsUseTLSWhateverTheFlags) {
  for (int16_t port : {443, 993, 995}) {
    int64_t id = open(port, 0);
    ASSERT_GT(id, 0);
    EXPECT_EQ(stream(id)->kind, tcp::kKindTLS) << port;
    EXPECT_EQ(release(id, -1), 0);
  }
  int64_t plain = open(8443, 0);
  ASSERT_GT(plain, 0);
  EXPECT_EQ(stream(plain)->kind, tcp::kKindPlain);
  EXPECT_EQ(release(plain, -1), 0);
  int64_t flagged = open(8443, 0x800);
  ASSERT_GT(flagged, 0);
  EXPECT_EQ(stream(flagged)->kind, tcp::kKindTLS);
  EXPECT_EQ(release(flagged, -1), 0);
}

TEST_F(TLSTest, ACipherListIsTakenOrRefusedWithTheLibrarysError) {
  peers::TLSServer server({"-www", "-naccept", "1"});
  ASSERT_NE(server.port(), 0);
  int64_t id = open(server.port(), kTLS | kNoTLS13);
  ASSERT_GT(id, 0);
  EXPECT_EQ(run("ZUV_SSLSetCiphers", {num(id), txt("NO-SUCH-CIPHER")}).number(), -3);
  Outcome error = run("ZUV_SSLLastError", {num(id)});
  ASSERT_NE(error.number(), 0);
  unsigned long code = static_cast<uint32_t>(error.number());
  EXPECT_EQ(ERR_GET_REASON(code), SSL_R_NO_CIPHER_MATCH);
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  EXPECT_EQ(host::utf8(error.text(2)), text);
  EXPECT_EQ(run("ZUV_SSLSetCiphers", {num(id), txt("")}).number(), 0);
  EXPECT_EQ(run("ZUV_SSLSetCiphers", {num(id), txt("ECDHE-ECDSA-AES128-GCM-SHA256")}).number(), 0);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  Outcome info = run("ZUV_SSLStreamInfo", {num(id)});
  EXPECT_EQ(host::utf8(info.text(3)), "ECDHE-ECDSA-AES128-GCM-SHA256");
  EXPECT_EQ(info.number(4), 128);
  EXPECT_EQ(release(id), 0);
}

TEST_F(TLSTest, TheTLSCommandsAnswerTheirCodesForBadIdsAndPlainStreams) {
  Outcome version = run("ZUV_SSLStreamInfo", {num(0), txt("x"), txt("y"), num(7), txt("z")});
  EXPECT_EQ(version.number(), 0);
  EXPECT_EQ(host::utf8(version.text(2)), OpenSSL_version(OPENSSL_VERSION));
  EXPECT_EQ(host::utf8(version.text(3)), "");
  EXPECT_EQ(version.number(4), 0);
  EXPECT_EQ(host::utf8(version.text(5)), "");

  Outcome bad = run("ZUV_SSLStreamInfo", {num(5), txt("x"), txt("y"), num(7), txt("z")});
  EXPECT_EQ(bad.number(), -1);
  EXPECT_EQ(host::utf8(bad.text(2)), "x");
  EXPECT_EQ(bad.number(4), 0);
  EXPECT_EQ(run("ZUV_SSLSetCiphers", {num(5), txt("")}).number(), -1);
  EXPECT_EQ(run("ZUV_SSLLastError", {num(5), txt("kept")}).number(), -1);
  EXPECT_EQ(setCertificate(5, file("leaf.pem"), file("leaf.key")), -1);
  EXPECT_EQ(setCertificate(0, "", ""), 0);

  int64_t plain = listen(0, 0);
  ASSERT_GT(plain, 0);
  Outcome info = run("ZUV_SSLStreamInfo", {num(plain), txt("x"), txt("y"), num(7), txt("z")});
  EXPECT_EQ(info.number(), -2);
  EXPECT_EQ(host::utf8(info.text(3)), "y");
  EXPECT_EQ(info.number(4), 0);
  EXPECT_EQ(run("ZUV_SSLSetCiphers", {num(plain), txt("")}).number(), -2);
  EXPECT_EQ(setCertificate(plain, file("leaf.pem"), file("leaf.key")), -2);
  Outcome error = run("ZUV_SSLLastError", {num(plain), txt("old")});
  EXPECT_EQ(error.number(), 0);
  EXPECT_EQ(host::utf8(error.text(2)), "");

  // A TLS listener still waiting is no connection yet.
  int64_t tls = listenWithLeaf();
  EXPECT_EQ(run("ZUV_SSLStreamInfo", {num(tls)}).number(), -3);
  EXPECT_EQ(release(plain), 0);
  EXPECT_EQ(release(tls), 0);
}

TEST_F(TLSTest, AClientCertificateThatTheServerRequiresIsSent) {
  for (bool withCertificate : {false, true}) {
    SCOPED_TRACE(withCertificate);
    peers::TLSServer server(
        {"-www", "-naccept", "1", "-Verify", "1", "-CAfile", "root.pem", "-verify_return_error"});
    ASSERT_NE(server.port(), 0);
    int64_t id = open(server.port(), kTLS | kNoTLS13);
    ASSERT_GT(id, 0);
    if (withCertificate) {
      // The chain file holds the certificate first: no certificate text is needed.
      EXPECT_EQ(setCertificate(id, "", file("leaf.key"), "", file("chain.pem")), 0);
      ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << server.child().output();
      EXPECT_EQ(send(id, "GET / HTTP/1.0\r\n\r\n"), 0);
      std::string page = receiveUntil(id, "</HTML>");
      EXPECT_NE(page.find("alpha.test"), std::string::npos) << page;
    } else {
      // Without one the server refuses the handshake: the stream stays connecting, with the
      // server's alert as its last error.
      ASSERT_TRUE(peers::await([&] { return status(id) == 6 && stream(id)->lastTLSError != 0; }));
      EXPECT_EQ(status(id), kStreamConnecting);
    }
    EXPECT_EQ(release(id, -1), 0);
  }
}

// ---- The plug-in as a server
// ----------------------------------------------------------------------

TEST_F(TLSTest, AListenerServesOpenSSLClientWhichVerifiesTheChain) {
  for (bool chain : {true, false}) {
    SCOPED_TRACE(chain);
    int64_t id = listen(0, kTLS);
    ASSERT_GT(id, 0);
    EXPECT_EQ(status(id), kStreamListening);
    EXPECT_EQ(
        setCertificate(id, file("leaf.pem"), file("leaf.key"), "", chain ? file("chain.pem") : ""),
        0);
    auto peer = client(localPort(id), {"-CAfile", file("root.pem"), "-verify_return_error",
                                       "-verify_hostname", "alpha.test", "-quiet"});
    if (!chain) {
      // Without the intermediate the client cannot verify the leaf and gives up.
      EXPECT_NE(peer->wait(), 0);
      EXPECT_TRUE(peers::await([&] { return status(id) >= kStreamPeerClosed; }));
      EXPECT_EQ(release(id), 0);
      continue;
    }
    peer->write("hello from s_client\n");
    ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << peer->output();
    EXPECT_EQ(receiveUntil(id, "\n"), "hello from s_client\n");
    EXPECT_EQ(send(id, "hello from the listener\n"), 0);
    EXPECT_TRUE(peer->awaitOutput("hello from the listener\n")) << peer->output();
    Outcome info = run("ZUV_SSLStreamInfo", {num(id)});
    EXPECT_EQ(info.number(), 0);
    EXPECT_EQ(host::utf8(info.text(2)), "TLSv1.3");
    EXPECT_EQ(host::utf8(info.text(5)), "");  // the client sent no certificate
    EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
    peer->closeInput();
    EXPECT_EQ(peer->wait(), 0) << peer->output();
    EXPECT_EQ(release(id), 0);
  }
}

TEST_F(TLSTest, AListenerWithoutACertificateWaitsUntilTheDefaultOrItsOwnIsSet) {
  int64_t waiting = listen(0, kTLS);
  ASSERT_GT(waiting, 0);
  int16_t port = localPort(waiting);
  auto peer = client(port, {"-quiet"});
  peer->write("x\n");
  for (int i = 0; i < 50; ++i) ASSERT_EQ(status(waiting), kStreamListening);
  // The defaults reach listeners made later; this one loads its own.
  EXPECT_EQ(setCertificate(0, file("leaf.pem"), file("leaf.key"), "", file("chain.pem")), 0);
  EXPECT_EQ(status(waiting), kStreamListening);
  int64_t later = listen(0, kTLS);
  ASSERT_GT(later, 0);
  EXPECT_TRUE(stream(later)->hasCertificate);
  EXPECT_EQ(release(later), 0);
  EXPECT_EQ(setCertificate(waiting, file("leaf.pem"), file("leaf.key")), 0);
  ASSERT_TRUE(awaitStatus(waiting, kStreamEstablished)) << peer->output();
  EXPECT_EQ(receiveUntil(waiting, "\n"), "x\n");
  EXPECT_EQ(release(waiting), 0);
  EXPECT_EQ(setCertificate(0, "", ""), 0);
}

TEST_F(TLSTest, CurlFetchesAPageFromAListenerAndVerifiesIt) {
  int64_t id = listenWithLeaf();
  uint16_t port = static_cast<uint16_t>(localPort(id));
  std::string where = "alpha.test:" + std::to_string(port);
  peers::Child curl({"curl", "-s", "--cacert", file("root.pem"), "--resolve", where + ":127.0.0.1",
                     "https://" + where + "/hello"});
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << curl.output();
  std::string request = receiveUntil(id, "\r\n\r\n");
  EXPECT_EQ(request.rfind("GET /hello HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_EQ(send(id, "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nhello\n"), 0);
  EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
  EXPECT_EQ(curl.wait(), 0) << curl.output();
  EXPECT_EQ(curl.output(), "hello\n");
  EXPECT_EQ(release(id), 0);
}

}  // namespace
}  // namespace zuvtest
