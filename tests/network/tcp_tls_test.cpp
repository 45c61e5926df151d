// TLS streams driven through FourDPackex against independent peers: the plug-in as a client of
// `openssl s_server` (TLS 1.2 and 1.3, cipher lists, a client certificate the server requires)
// and as a server for `openssl s_client` and curl (the chain verified, certificates picked by
// server name, strict mode), listening sockets shared by streams and their grace, keys of every
// kind, and the mended faults of the TLS layer. Certificates are made at test time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "peers/peers.h"
#include "peers/tls_in_process.h"
#include "peers/tls_peers.h"
#include "plugin/streams.h"
#include "support/hex.h"
#include "support/peak_memory.h"
#include "support/plugin_test.h"
#include "support/stream_test.h"

namespace zuvtest {
namespace {

const bool kIsolated = peers::isolated();

constexpr int64_t kTLS = 0x400;
constexpr int64_t kNoTLS13 = 0x20000;
constexpr int64_t kSNI = 0x100000;
constexpr int64_t kSNIStrict = 0x200000;

class TLSTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    ASSERT_TRUE(certificates().ok()) << "the openssl command could not make the certificates";
    PluginTest::SetUp();
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

  // An s_client that trusts the root alone and wants alpha.test sends a line to the listener,
  // which takes it once the handshake is through: the client verified the chain it was sent.
  void expectVerifiedClientServed(int64_t id, const std::string& line,
                                  std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {
        "-CAfile",          file("root.pem"), "-verify_return_error",
        "-verify_hostname", "alpha.test",     "-quiet"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto peer = client(localPort(id), arguments);
    peer->write(line);
    ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << peer->output();
    EXPECT_EQ(receiveUntil(id, "\n"), line);
  }
};

// tests/peers/tls_peer.py in a child process, as a server with the leaf certificate or as a
// client of a port (with a receive buffer of that many bytes when it is not 0), driven one
// command at a time.
class TLSPeer {
 public:
  static std::unique_ptr<TLSPeer> server() {
    const peers::Certificates& certificates = peers::Certificates::get();
    return std::unique_ptr<TLSPeer>(
        new TLSPeer({"server", certificates.path("leaf.pem"), certificates.path("leaf.key")}));
  }
  static std::unique_ptr<TLSPeer> client(int16_t port, int receiveBuffer = 0) {
    std::vector<std::string> args = {"client", std::to_string(static_cast<uint16_t>(port))};
    if (receiveBuffer > 0) args.push_back(std::to_string(receiveBuffer));
    return std::unique_ptr<TLSPeer>(new TLSPeer(args));
  }

  // The server's port, or "connected" for a client; empty when the script did not start.
  const std::string& greeting() const { return greeting_; }
  int16_t port() const { return static_cast<int16_t>(std::atoi(greeting_.c_str())); }
  // Hands a command over without waiting for its answer.
  void tell(const std::string& command) { child_->write(command + "\n"); }
  // The next line the script prints; empty when none comes within the limit.
  std::string answer(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    size_t at;
    while ((at = child_->output().find('\n', seen_)) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string line = child_->output().substr(seen_, at - seen_);
    seen_ = at + 1;
    return line;
  }
  std::string ask(const std::string& command) {
    tell(command);
    return answer();
  }

 private:
  explicit TLSPeer(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"python3", "-u", ZUV_TEST_DIR "/peers/tls_peer.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<peers::Child>(argv);
    greeting_ = answer();
  }

  std::unique_ptr<peers::Child> child_;
  std::string greeting_;
  size_t seen_ = 0;
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
      // server's alert as its last error, and a wait for 8 answers so as soon as the alert came
      // instead of waiting out its time-out.
      emu.resetTrace();
      EXPECT_EQ(run("ZUV_TCPWaitStatus", {num(id), num(8), num(10)}).number(), kStreamConnecting);
      EXPECT_LE(emu.entryCount(-89), 10) << "the wait went on after the handshake failed";
      EXPECT_NE(run("ZUV_SSLLastError", {num(id)}).number(), 0);
      EXPECT_EQ(status(id), kStreamConnecting);
    }
    EXPECT_EQ(release(id, -1), 0);
  }
}

// ---- The plug-in as a server
// ----------------------------------------------------------------------

// The chain file's certificates are sent after the leaf, whether the file holds the intermediates
// alone or begins with the leaf itself.
TEST_F(TLSTest, AListenerServesOpenSSLClientWhichVerifiesTheChain) {
  for (const char* chainFile : {"chain.pem", "inter.pem", ""}) {
    SCOPED_TRACE(chainFile);
    bool chain = *chainFile != '\0';
    int64_t id = listen(0, kTLS);
    ASSERT_GT(id, 0);
    EXPECT_EQ(status(id), kStreamListening);
    EXPECT_EQ(
        setCertificate(id, file("leaf.pem"), file("leaf.key"), "", chain ? file(chainFile) : ""),
        0);
    auto peer = client(localPort(id), {"-CAfile", file("root.pem"), "-verify_return_error",
                                       "-verify_hostname", "alpha.test", "-quiet"});
    if (!chain) {
      // Without the intermediate the client cannot verify the leaf and gives up.
      EXPECT_TRUE(peers::await([&] { return status(id) >= kStreamPeerClosed; }));
      EXPECT_NE(peer->wait(), 0);
      EXPECT_NE(peer->output().find("unable to get local issuer certificate"), std::string::npos)
          << peer->output();
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

// The connections made to a local port, as the system lists them (a client that waits in the
// listening socket's queue included).
int connectionsOn(uint16_t port) {
  std::ifstream table("/proc/self/net/tcp");
  std::string line;
  std::getline(table, line);
  char local[16];
  std::snprintf(local, sizeof local, ":%04X", port);
  int n = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (state == "01" && address.size() > 5 && address.substr(address.size() - 5) == local) ++n;
  }
  return n;
}

// A listener without a certificate fails its handshakes at once, with an alert for the client
// and a last error for the stream. One that gets its own right after it is made, before its status
// is asked for, serves even a client that was already waiting on the port.
TEST_F(TLSTest, AListenerWithoutACertificateFailsItsHandshakesAtOnce) {
  int64_t bare = listen(0, kTLS);
  ASSERT_GT(bare, 0);
  EXPECT_FALSE(stream(bare)->hasCertificate);
  int16_t port = localPort(bare);
  auto refused = client(port, {"-quiet"});
  ASSERT_TRUE(peers::await([&] { return status(bare) >= kStreamPeerClosed; }))
      << "the client waits for a handshake that never comes";
  EXPECT_EQ(status(bare), kStreamPeerClosed);
  EXPECT_NE(run("ZUV_SSLLastError", {num(bare)}).number(), 0);
  EXPECT_NE(refused->wait(), 0);
  EXPECT_NE(refused->output().find("alert"), std::string::npos) << refused->output();
  EXPECT_EQ(release(bare), 0);

  auto waiting = client(port, {"-quiet"});
  ASSERT_TRUE(peers::await([&] { return connectionsOn(static_cast<uint16_t>(port)) > 0; }))
      << "the client did not connect";
  waiting->write("x\n");
  int64_t own = listen(port, kTLS);
  ASSERT_GT(own, 0);
  EXPECT_EQ(setCertificate(own, file("leaf.pem"), file("leaf.key")), 0);
  ASSERT_TRUE(awaitStatus(own, kStreamEstablished)) << waiting->output();
  EXPECT_EQ(receiveUntil(own, "\n"), "x\n");
  EXPECT_EQ(release(own, 2), 0);
}

// A handshake that failed stays failed (14) when its client has ended meanwhile: the peer's close
// makes an error (20) only of a handshake still under way. Here the listener has no certificate,
// accepts before the client's hello is there, and reads the hello and the client's end together.
TEST_F(TLSTest, AFailedHandshakeWhoseClientHasEndedStaysAt14) {
  int64_t bare = listen(0, kTLS);
  ASSERT_GT(bare, 0);
  int64_t client = open(localPort(bare), kTLS);
  ASSERT_GT(client, 0);
  ASSERT_TRUE(awaitStatus(bare, kStreamAccepting));
  // The client's first step sends its hello; a release without close notification ends it.
  ASSERT_TRUE(peers::await([&] { return status(client) == kStreamConnecting; }));
  ASSERT_GT(stream(client)->rawBytesSent, 0);
  EXPECT_EQ(release(client, -1), 0);
  EXPECT_EQ(status(bare), kStreamPeerClosed);
  EXPECT_EQ(status(bare), kStreamPeerClosed);
  EXPECT_NE(run("ZUV_SSLLastError", {num(bare)}).number(), 0);
  EXPECT_EQ(release(bare, 2), 0);
}

// The default reaches listeners made later, with its paths and pass phrase taken whole, however
// long; a listener made before it keeps what it had.
TEST_F(TLSTest, TheDefaultCertificateReachesListenersMadeLaterWhole) {
  int64_t before = listen(0, kTLS, 0, peers::kLoopback2);
  ASSERT_GT(before, 0);
  std::string longPath = certificates().dir().string() + "/";
  while (longPath.size() < 2000) longPath += "./";
  EXPECT_EQ(setCertificate(0, longPath + "leaf.pem", longPath + "leaf-enc-long.pem",
                           std::string(300, 'p'), longPath + "inter.pem"),
            0);
  EXPECT_FALSE(stream(before)->hasCertificate);
  int64_t later = listen(0, kTLS);
  ASSERT_GT(later, 0);
  EXPECT_TRUE(stream(later)->hasCertificate);
  expectVerifiedClientServed(later, "y\n");
  EXPECT_EQ(release(later, 2), 0);
  EXPECT_EQ(release(before, 2), 0);
  EXPECT_EQ(setCertificate(0, "", ""), 0);
}

// The default is loaded and checked when it is set, as a stream's own certificate is, and one
// that fails leaves the earlier default in place.
TEST_F(TLSTest, TheDefaultCertificateIsCheckedWhenSetAndAFailureKeepsTheEarlierOne) {
  EXPECT_EQ(setCertificate(0, file("leaf.pem"), file("leaf.key"), "", file("chain.pem")), 0);
  EXPECT_EQ(setCertificate(0, file("leaf.pem"), file("leaf-enc.pem"), "wrong"), -4);
  EXPECT_EQ(setCertificate(0, file("leaf.pem"), file("missing.key")), -4);
  EXPECT_EQ(setCertificate(0, file("beta.pem"), file("leaf.key")), -4);
  EXPECT_EQ(setCertificate(0, file("missing.pem"), file("beta.key")), -3);
  int64_t id = listen(0, kTLS);
  ASSERT_GT(id, 0);
  EXPECT_TRUE(stream(id)->hasCertificate);
  expectVerifiedClientServed(id, "z\n");
  EXPECT_EQ(release(id, 2), 0);
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
  EXPECT_EQ(send(id, "HTTP/1.0 200 OK\r\n\r\nhello\n"), 0);
  EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
  EXPECT_EQ(curl.wait(), 0) << curl.output();
  EXPECT_EQ(curl.output(), "hello\n");
  EXPECT_EQ(release(id), 0);
}

// ---- Server-name certificates
// ---------------------------------------------------------------------

// The subject of the certificate that s_client saw from a new listener (flags, key), asking for
// `name`; empty when the handshake failed. The listener's own certificate is the leaf's.
struct Handshake {
  std::string subject;
  int64_t status = 0;
  std::string output;
};

class ServerNameTest : public TLSTest {
 protected:
  Handshake handshake(int64_t flags, int64_t key, const std::string& name) {
    int64_t id = listen(0, kTLS | flags, key);
    EXPECT_GT(id, 0);
    if (!stream(id)->hasCertificate) {
      EXPECT_EQ(setCertificate(id, file("leaf.pem"), file("leaf.key")), 0);
    }
    auto peer = client(localPort(id), {"-servername", name, "-brief"});
    Handshake result;
    peers::await([&] {
      result.status = status(id);
      return result.status == kStreamEstablished || result.status >= kStreamPeerClosed;
    });
    if (result.status == kStreamEstablished) peer->awaitOutput("Peer certificate:");
    EXPECT_EQ(release(id), 0);
    peer->closeInput();
    peer->wait();
    result.output = peer->output();
    size_t at = result.output.find("Peer certificate: ");
    if (at != std::string::npos) {
      result.subject = result.output.substr(at + 18, result.output.find('\n', at) - at - 18);
    }
    return result;
  }
};

TEST_F(ServerNameTest, TheCertificateIsChosenByTheNameTheClientAsksFor) {
  EXPECT_EQ(setServerName(3, "beta.test", file("beta.pem"), file("beta.key")), 0);
  EXPECT_EQ(setServerName(9, "Gamma.TEST", file("gamma.pem"), file("gamma.key")), 0);
  EXPECT_EQ(handshake(kSNI, 42, "beta.test").subject, "CN = beta.test");
  EXPECT_EQ(handshake(kSNI, 42, "gamma.test").subject, "CN = gamma.test");
  // Names are compared without regard to ASCII case, and the map keeps each as it was given.
  EXPECT_EQ(handshake(kSNIStrict, 42, "BETA.Test").subject, "CN = beta.test");
  Outcome listed = run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}});
  const TextArray& names = std::get<TextArray>(listed.params[1]);
  ASSERT_EQ(names.elements.size(), 3u);
  EXPECT_EQ(host::utf8(names.elements[2]), "Gamma.TEST");
  // A name in no entry goes on with the listener's own certificate, unless the listener is
  // strict, which ends the handshake with an alert.
  EXPECT_EQ(handshake(kSNI, 42, "other.test").subject, "CN = alpha.test");
  Handshake refused = handshake(kSNIStrict, 42, "other.test");
  EXPECT_EQ(refused.subject, "");
  EXPECT_EQ(refused.status, kStreamPeerClosed);
  EXPECT_NE(refused.output.find("unrecognized name"), std::string::npos) << refused.output;
  EXPECT_EQ(handshake(kSNIStrict, 42, "gamma.test").subject, "CN = gamma.test");
  // A listener that starts with entry 9's certificate keeps it for its own name.
  EXPECT_EQ(handshake(kSNIStrict, 9, "gamma.test").subject, "CN = gamma.test");
  EXPECT_EQ(handshake(kSNI, 9, "other.test").subject, "CN = gamma.test");
  // The lowest key wins among entries of one name.
  EXPECT_EQ(setServerName(1, "beta.test", file("gamma.pem"), file("gamma.key")), 0);
  EXPECT_EQ(handshake(kSNI, 42, "beta.test").subject, "CN = gamma.test");
  // Without a server-name flag the map is not looked at.
  EXPECT_EQ(handshake(0, 3, "beta.test").subject, "CN = alpha.test");
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

// An entry's chain file adds its certificates after the entry's own, whether it holds the
// intermediates alone or begins with the leaf.
TEST_F(ServerNameTest, AnEntrysChainIsSentAfterItsCertificate) {
  for (const char* chain : {"inter.pem", "chain.pem"}) {
    SCOPED_TRACE(chain);
    EXPECT_EQ(setServerName(2, "alpha.test", file("leaf.pem"), file("leaf.key"), "", file(chain)),
              0);
    int64_t id = listen(0, kTLS | kSNIStrict, 2);
    ASSERT_GT(id, 0);
    expectVerifiedClientServed(id, "w\n", {"-servername", "alpha.test"});
    EXPECT_EQ(release(id, 2), 0);
  }
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

TEST_F(ServerNameTest, AnEntryAddedAfterTheListenerStartedIsSeenAtTheHandshake) {
  int64_t id = listen(0, kTLS | kSNI, 0);
  ASSERT_GT(id, 0);
  EXPECT_EQ(stream(id)->sniId, -1);
  EXPECT_EQ(setCertificate(id, file("leaf.pem"), file("leaf.key")), 0);
  EXPECT_EQ(setServerName(0, "beta.test", file("beta.pem"), file("beta.key")), 0);
  auto peer = client(localPort(id), {"-servername", "beta.test", "-brief"});
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  EXPECT_TRUE(peer->awaitOutput("Peer certificate: CN = beta.test")) << peer->output();
  EXPECT_EQ(release(id), 0);
}

// Listeners that took one entry's context share it; the one that set it up last may go before a
// handshake on another (the callback finds its listener through the connection).
TEST_F(ServerNameTest, ASharedEntryContextOutlivesTheListenerThatSetItUpLast) {
  EXPECT_EQ(setServerName(5, "beta.test", file("beta.pem"), file("beta.key")), 0);
  int64_t first = listen(0, kTLS | kSNIStrict, 5);
  int64_t second = listen(0, kTLS | kSNIStrict, 5);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_EQ(stream(first)->ctx.get(), stream(second)->ctx.get());
  EXPECT_EQ(release(second), 0);
  // The entry goes too: the listener's own reference keeps the context.
  EXPECT_EQ(setServerName(6, "gamma.test", file("gamma.pem"), file("gamma.key")), 0);
  EXPECT_EQ(setServerName(5, "", "", ""), 0);
  auto peer = client(localPort(first), {"-servername", "other.test", "-brief"});
  EXPECT_TRUE(peers::await([&] { return status(first) >= kStreamPeerClosed; }));
  peer->closeInput();
  EXPECT_NE(peer->wait(), 0);
  EXPECT_NE(peer->output().find("unrecognized name"), std::string::npos) << peer->output();
  EXPECT_EQ(release(first), 0);
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

TEST_F(ServerNameTest, EntriesAreAddedReplacedRemovedAndListedByKey) {
  auto list = [&](Value keys) {
    return run("ZUV_SSLSNIList", {std::move(keys), TextArray{{host::text("keep")}}});
  };
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
  Outcome empty = list(LongintArray{{0, 4, 5}});
  EXPECT_EQ(empty.number(), 0);
  EXPECT_EQ(std::get<LongintArray>(empty.params[0]).elements.size(), 1u);

  EXPECT_EQ(setServerName(70000, "gamma.test", file("gamma.pem"), file("gamma.key")), 0);
  EXPECT_EQ(setServerName(2, "beta.test", file("beta.pem"), file("beta.key")), 0);
  EXPECT_EQ(setServerName(7, "alpha.test", file("leaf.pem"), file("leaf-enc.pem"), "secret",
                          file("chain.pem")),
            0);
  Outcome listed = list(LongintArray{});
  EXPECT_EQ(listed.number(), 3);
  EXPECT_EQ(std::get<LongintArray>(listed.params[0]).elements,
            (std::vector<int32_t>{0, 2, 7, 70000}));
  const TextArray& names = std::get<TextArray>(listed.params[1]);
  ASSERT_EQ(names.elements.size(), 4u);
  EXPECT_EQ(host::utf8(names.elements[1]), "beta.test");
  EXPECT_EQ(host::utf8(names.elements[2]), "alpha.test");
  EXPECT_EQ(host::utf8(names.elements[3]), "gamma.test");

  // Loads that fail leave the key without an entry: the key first, then the certificate.
  EXPECT_EQ(setServerName(7, "alpha.test", file("leaf.pem"), file("leaf-enc.pem"), "wrong"), -4);
  EXPECT_EQ(setServerName(8, "alpha.test", file("leaf.pem"), file("beta.key")), -4);
  EXPECT_EQ(setServerName(8, "alpha.test", file("missing.pem"), file("leaf.key")), -3);
  EXPECT_EQ(setServerName(8, "alpha.test", file("leaf.der"), file("leaf.key")), -3);
  EXPECT_EQ(
      setServerName(8, "alpha.test", file("leaf.pem"), file("leaf.key"), "", file("missing.pem")),
      -3);
  EXPECT_EQ(run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}}).number(), 2);
  // Removing: an incomplete entry removes the key's entry, then finds none.
  EXPECT_EQ(setServerName(2, "beta.test", "", file("beta.key")), 0);
  EXPECT_EQ(setServerName(2, "beta.test", "", file("beta.key")), -1);
  EXPECT_EQ(setServerName(70000, "", "", ""), 0);
  EXPECT_EQ(run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}}).number(), 0);
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

TEST_F(ServerNameTest, AnIntegerArrayKeepsTheLowSixteenBitsAndWrongKindsAnswerMinusOne) {
  EXPECT_EQ(setServerName(70000, "gamma.test", file("gamma.pem"), file("gamma.key")), 0);
  // The manifest declares a longint array; a frame of our own passes the other kinds.
  auto list = [&](host::Kind keyKind, Value keys, host::Kind nameKind, Value names) {
    host::Frame frame = emu.makeFrame(
        {{"keys", keyKind, host::Direction::InOut}, {"names", nameKind, host::Direction::InOut}},
        {std::move(keys), std::move(names)}, host::Kind::Longint);
    emu.run(1, [&] {
      PluginBlock block{frame.parameters(), frame.result(), nullptr};
      handleSSLSNIList(&block);
    });
    return frame;
  };
  host::Frame integers =
      list(host::Kind::IntegerArray, IntegerArray{}, host::Kind::TextArray, TextArray{});
  EXPECT_EQ(std::get<int64_t>(integers.resultValue()), 1);
  EXPECT_EQ(std::get<IntegerArray>(integers.param(1)).elements,
            (std::vector<int16_t>{0, static_cast<int16_t>(70000 & 0xFFFF)}));
  host::Frame wrongKeys =
      list(host::Kind::TextArray, TextArray{}, host::Kind::TextArray, TextArray{});
  EXPECT_EQ(std::get<int64_t>(wrongKeys.resultValue()), -1);
  host::Frame wrongNames = list(host::Kind::LongintArray, LongintArray{{0, 9}},
                                host::Kind::LongintArray, LongintArray{});
  EXPECT_EQ(std::get<int64_t>(wrongNames.resultValue()), -1);
  EXPECT_EQ(std::get<LongintArray>(wrongNames.param(1)).elements, (std::vector<int32_t>{0, 9}));
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

// ---- Keys, certificates and chains
// ----------------------------------------------------------------

TEST_F(TLSTest, KeysOfEveryKindLoadOrAnswerTheirCode) {
  struct Case {
    const char* certificate;
    const char* key;
    const char* pass;
    const char* chain;
    int64_t expected;
  };
  const Case cases[] = {
      {"leaf.pem", "leaf.key", "", "", 0},
      {"leaf.pem", "leaf-enc.pem", "secret", "", 0},          // PKCS#8 with AES
      {"rsa.pem", "rsa-enc-trad.pem", "secret", "", 0},       // traditional encrypted RSA
      {"leaf.pem", "leaf-enc-3des.pem", "secret", "", 0},     // PKCS#8 with 3DES
      {"leaf.der", "leaf-key.der", "", "", 0},                // DER without encryption
      {"leaf.key", "leaf.pem", "", "", 0},                    // each tried in the other's place
      {"combined.pem", "", "", "", 0},                        // one file holding both
      {"", "leaf.key", "", "chain.pem", 0},                   // the chain's first certificate
      {"leaf.pem", "leaf-enc.pem", "wrong", "", -4},          // bad decrypt
      {"leaf.pem", "leaf-enc.pem", "", "", -4},               // no pass phrase
      {"leaf.pem", "leaf-enc-md5des.pem", "secret", "", -4},  // a legacy scheme, not provided
      {"leaf.pem", "leaf-enc.der", "secret", "", -4},         // DER is read without a pass phrase
      {"leaf.pem", "beta.key", "", "", -4},                   // not the certificate's key
      {"weak.pem", "weak.key", "", "", -3},                   // too small for the security level
      {"missing.pem", "leaf.key", "", "", -3},
      {"leaf.pem", "leaf.key", "", "missing.pem", -3},
  };
  auto path = [](const char* name) { return *name ? file(name) : std::string(); };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + " " + c.key + " " + c.pass + " " + c.chain);
    int64_t id = listen(0, kTLS);
    ASSERT_GT(id, 0);
    EXPECT_EQ(setCertificate(id, path(c.certificate), path(c.key), c.pass, path(c.chain)),
              c.expected);
    EXPECT_EQ(stream(id)->hasCertificate, c.expected == 0);
    Outcome error = run("ZUV_SSLLastError", {num(id)});
    EXPECT_EQ(error.number() != 0, c.expected != 0);
    EXPECT_EQ(release(id), 0);
    // The default certificate is loaded and checked the same way when it is set.
    EXPECT_EQ(setCertificate(0, path(c.certificate), path(c.key), c.pass, path(c.chain)),
              c.expected);
    EXPECT_EQ(setCertificate(0, "", ""), 0);
  }
}

// Each call answers the code of its own files, and one that fails changes nothing on the stream:
// after the leaf with its chain, a client that trusts the root alone is still served by the
// leaf, its key and its chain. Earlier, a failed call left its key behind, for the next call's
// certificate to pair with (answering 0, serving the key of a failed call), or replaced the
// certificate and kept the old key, so that every handshake failed.
TEST_F(TLSTest, AFailedCertificateSetChangesNothingOnTheStream) {
  std::string fifo = file("key-pipe.pem");
  ::unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Call {
    std::string certificate, key, pass, chain;
    int64_t expected;
  };
  const std::vector<std::vector<Call>> cases = {
      {{file("missing.pem"), file("beta.key"), "", "", -3},
       {file("beta.pem"), file("missing.key"), "", "", -4}},
      {{file("missing.pem"), file("beta.key"), "", "", -3}, {file("beta.pem"), fifo, "", "", -4}},
      {{file("beta.pem"), file("missing.key"), "", "", -4}},
      {{file("beta.pem"), file("leaf.key"), "", "", -4}},
      {{file("leaf.pem"), file("leaf-enc.pem"), "wrong", "", -4}},
      {{file("beta.pem"), file("beta.key"), "", file("missing.pem"), -3}},
      {{file("weak.pem"), file("weak.key"), "", "", -3}},
      {{fifo, file("beta.key"), "", "", -3}},
  };
  int line = 0;
  for (const std::vector<Call>& calls : cases) {
    SCOPED_TRACE(testing::Message() << "case " << line);
    int64_t id = listenWithLeaf();
    for (const Call& call : calls) {
      EXPECT_EQ(setCertificate(id, call.certificate, call.key, call.pass, call.chain),
                call.expected)
          << call.certificate << " " << call.key;
    }
    EXPECT_TRUE(stream(id)->hasCertificate);
    expectVerifiedClientServed(id, "case " + std::to_string(line++) + "\n");
    EXPECT_EQ(release(id), 0);
  }
  // On a stream without a certificate the same calls leave it without one, and the next good
  // call is served alone.
  int64_t bare = listen(0, kTLS);
  ASSERT_GT(bare, 0);
  EXPECT_EQ(setCertificate(bare, file("missing.pem"), file("beta.key")), -3);
  EXPECT_EQ(setCertificate(bare, file("beta.pem"), file("missing.key")), -4);
  EXPECT_EQ(setCertificate(bare, file("beta.pem"), fifo), -4);
  EXPECT_FALSE(stream(bare)->hasCertificate);
  EXPECT_EQ(setCertificate(bare, file("leaf.pem"), file("leaf.key"), "", file("chain.pem")), 0);
  expectVerifiedClientServed(bare, "bare\n");
  EXPECT_EQ(release(bare), 0);
  ::unlink(fifo.c_str());
}

// A good call after a good one answers 0 and takes the earlier one's place whole: the client is
// given the new certificate, with no chain of the old.
TEST_F(TLSTest, AGoodCertificateSetReplacesTheEarlierOne) {
  int64_t id = listenWithLeaf();
  EXPECT_EQ(setCertificate(id, file("beta.pem"), file("beta.key")), 0);
  auto peer = client(localPort(id), {"-brief", "-showcerts"});
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << peer->output();
  ASSERT_TRUE(peer->awaitOutput("Peer certificate:")) << peer->output();
  peer->closeInput();
  peer->wait();
  EXPECT_NE(peer->output().find("Peer certificate: CN = beta.test"), std::string::npos)
      << peer->output();
  EXPECT_EQ(peer->output().find("Test Intermediate"), std::string::npos) << peer->output();
  EXPECT_EQ(release(id), 0);
}

TEST_F(TLSTest, AMissingFileIsRecordedAsTheSystemsError) {
  int64_t id = listen(0, kTLS);
  ASSERT_GT(id, 0);
  EXPECT_EQ(setCertificate(id, file("missing.pem"), file("missing.key")), -3);
  Outcome error = run("ZUV_SSLLastError", {num(id)});
  unsigned long code = static_cast<uint32_t>(error.number());
  EXPECT_LT(error.number(), 0);
  EXPECT_TRUE(ERR_SYSTEM_ERROR(code));
  EXPECT_NE(host::utf8(error.text(2)).find("No such file or directory"), std::string::npos);
  EXPECT_EQ(release(id), 0);
}

// A certificate, key or chain path that names a FIFO, a folder or a huge file answers at once the
// code of a file that does not load, for a stream, the default and a server-name entry alike, and
// nothing of the huge file is read into memory.
TEST_F(TLSTest, APathThatIsNoSmallRegularFileIsRefusedWithoutBlocking) {
  std::string fifo = file("pipe.pem");
  ::unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A DER sequence announcing 256 MB: a reader that trusts it reads the whole file.
  std::string huge = file("huge.der");
  {
    std::ofstream out(huge, std::ios::binary | std::ios::trunc);
    out << std::string("\x30\x84\x0f\xff\xff\xf0", 6);
  }
  ASSERT_EQ(truncate(huge.c_str(), 256 << 20), 0);
  std::string folder = certificates().dir().string();
  struct Case {
    std::string certificate, key, chain;
    int64_t expected;
  };
  const Case cases[] = {
      {fifo, file("leaf.key"), "", -3},
      {file("leaf.pem"), fifo, "", -4},
      {file("leaf.pem"), file("leaf.key"), fifo, -3},
      {huge, file("leaf.key"), "", -3},
      {file("leaf.pem"), huge, "", -4},
      {file("leaf.pem"), file("leaf.key"), huge, -3},
      {folder, file("leaf.key"), "", -3},
      {file("leaf.pem"), folder, "", -4},
  };
  bool measured = resetPeakMemory();
  ResidentMemory start = residentMemory();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate + " " + c.key + " " + c.chain);
    int64_t id = listen(0, kTLS);
    ASSERT_GT(id, 0);
    EXPECT_EQ(setCertificate(id, c.certificate, c.key, "", c.chain), c.expected);
    EXPECT_NE(run("ZUV_SSLLastError", {num(id)}).number(), 0);
    EXPECT_EQ(release(id), 0);
    EXPECT_EQ(setCertificate(0, c.certificate, c.key, "", c.chain), c.expected);
    EXPECT_EQ(setServerName(1, "alpha.test", c.certificate, c.key, "", c.chain), c.expected);
  }
  if (measured) {
    EXPECT_LT(residentMemory().peak - start.peak, int64_t{64} << 20)
        << "a file that is refused was read into memory";
  }
  // The huge file's error says why.
  int64_t id = listen(0, kTLS);
  ASSERT_GT(id, 0);
  EXPECT_EQ(setCertificate(id, huge, file("leaf.key")), -3);
  Outcome error = run("ZUV_SSLLastError", {num(id)});
  EXPECT_TRUE(ERR_SYSTEM_ERROR(static_cast<uint32_t>(error.number())));
  EXPECT_NE(host::utf8(error.text(2)).find("File too large"), std::string::npos)
      << host::utf8(error.text(2));
  EXPECT_EQ(release(id, 2), 0);
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
  ::unlink(fifo.c_str());
  ::unlink(huge.c_str());
}

// A certificate, key or chain path whose UTF-8 bytes the host could not make names no file: it
// answers the code of its file, as a bad path does, instead of counting as no path at all (the
// chain then left out, or the leaf taken from the chain file). The default and the server-name
// map stay as they were.
TEST_F(TLSTest, APathThatTheHostCannotConvertIsRefusedAsABadPath) {
  struct Case {
    int64_t conversion;  // the conversion the host refuses, in the order the command reads
    int64_t expected;
  };
  // The default reads the certificate, the chain, then the key.
  for (const Case& c : {Case{1, -3}, Case{2, -3}, Case{3, -4}}) {
    SCOPED_TRACE(c.conversion);
    emu.refuse(host::Refusal::Conversion, c.conversion);
    EXPECT_EQ(setCertificate(0, file("leaf.pem"), file("leaf.key"), "", file("chain.pem")),
              c.expected);
    emu.clearRefusals();
    int64_t id = listen(0, kTLS);
    ASSERT_GT(id, 0);
    EXPECT_FALSE(stream(id)->hasCertificate) << "a refused path changed the default";
    EXPECT_EQ(release(id, 2), 0);
    EXPECT_EQ(setCertificate(0, "", ""), 0);
  }
  // A server-name entry reads its name, the key, the certificate, then the chain.
  for (const Case& c : {Case{2, -4}, Case{3, -3}, Case{4, -3}}) {
    SCOPED_TRACE(c.conversion);
    emu.refuse(host::Refusal::Conversion, c.conversion);
    EXPECT_EQ(
        setServerName(1, "alpha.test", file("leaf.pem"), file("leaf.key"), "", file("chain.pem")),
        c.expected);
    emu.clearRefusals();
    EXPECT_EQ(run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}}).number(), 0);
    EXPECT_EQ(setServerName(-1, "", "", ""), 0);
  }
}

// ---- Shared listening sockets
// ---------------------------------------------------------------------

int connectTo(uint32_t host, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = peers::address(host, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(TLSTest, StreamsOfOnePortShareASocketThatOutlivesThemForThirtySeconds) {
  int64_t plain = listen(0, 0);
  int64_t tls = listenWithLeaf();
  ASSERT_GT(plain, 0);
  ASSERT_GT(tls, 0);
  EXPECT_EQ(stream(plain)->sock.get(), stream(tls)->sock.get());
  EXPECT_EQ(stream(plain)->listenSlot, stream(tls)->listenSlot);
  uint16_t port = static_cast<uint16_t>(localPort(plain));
  // Each connection goes to whichever stream is polled first after it arrives.
  int first = connectTo(peers::kLoopback1, port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(awaitStatus(plain, kStreamEstablished));
  EXPECT_EQ(status(tls), kStreamListening);
  auto peer = client(static_cast<int16_t>(port), {"-quiet"});
  peer->write("over TLS\n");
  ASSERT_TRUE(awaitStatus(tls, kStreamEstablished));
  EXPECT_EQ(receiveUntil(tls, "\n"), "over TLS\n");

  // The last stream left a socket that two once shared: it keeps listening, and a new stream
  // takes it over without a bind.
  int waiting = connectTo(peers::kLoopback1, port);
  EXPECT_GE(waiting, 0);
  int64_t again = listen(0, 0);
  ASSERT_GT(again, 0);
  EXPECT_TRUE(awaitStatus(again, kStreamEstablished));
  EXPECT_EQ(localPort(again), static_cast<int16_t>(port));
  int64_t last = listen(0, 0);
  ASSERT_GT(last, 0);
  EXPECT_EQ(localPort(last), static_cast<int16_t>(port));
  EXPECT_EQ(release(last), 0);
  int late = connectTo(peers::kLoopback1, port);
  EXPECT_GE(late, 0) << "the socket closed before its grace ended";
  if (late >= 0) ::close(late);
  // Thirty seconds later the first status query of any stream closes it.
  tcp::testing::advanceClocks(29);
  status(plain);
  int inGrace = connectTo(peers::kLoopback1, port);
  EXPECT_GE(inGrace, 0);
  if (inGrace >= 0) ::close(inGrace);
  tcp::testing::advanceClocks(3);
  status(plain);
  EXPECT_LT(connectTo(peers::kLoopback1, port), 0);
  for (int fd : {first, waiting}) ::close(fd);
  for (int64_t id : {plain, tls, again}) EXPECT_EQ(release(id), 0);
}

// A socket whose only listener accepted keeps listening for its grace, so that a client that
// comes meanwhile waits for the next listener of the port; mode 2 closes it at once.
TEST_F(TLSTest, EveryListeningSocketHasItsGraceAndModeTwoClosesItAtOnce) {
  int64_t only = listen(0, 0);
  ASSERT_GT(only, 0);
  uint16_t port = static_cast<uint16_t>(localPort(only));
  int fd = connectTo(peers::kLoopback1, port);
  ASSERT_TRUE(awaitStatus(only, kStreamEstablished));
  int queued = connectTo(peers::kLoopback1, port);
  EXPECT_GE(queued, 0) << "the socket closed when its only listener accepted";
  int64_t next = listen(static_cast<int16_t>(port), 0);
  ASSERT_GT(next, 0);
  EXPECT_TRUE(awaitStatus(next, kStreamEstablished));
  int64_t joined = listen(static_cast<int16_t>(port), 0);
  int64_t last = listen(static_cast<int16_t>(port), 0);
  EXPECT_EQ(stream(joined)->sock.get(), stream(last)->sock.get());
  EXPECT_EQ(release(joined), 0);
  EXPECT_EQ(release(last, 2), 0);
  EXPECT_LT(connectTo(peers::kLoopback1, port), 0);
  // The port can be bound again at once.
  int64_t rebound = listen(static_cast<int16_t>(port), 0);
  EXPECT_GT(rebound, 0);
  EXPECT_EQ(release(rebound, 2), 0);
  for (int client : {fd, queued}) ::close(client);
  EXPECT_EQ(release(only), 0);
  EXPECT_EQ(release(next), 0);
}

// Twenty clients in another process connect at once, each sends a line and waits for its answer.
// Prints "connected" once all are queued, then "served N", the number answered.
constexpr const char* kTwentyClients = R"(
import socket, sys
port = int(sys.argv[1])
clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(20)]
for i, c in enumerate(clients):
    c.sendall(b"client %d\n" % i)
print("connected", flush=True)
served = 0
for i, c in enumerate(clients):
    c.settimeout(30)
    answer = b""
    try:
        while not answer.endswith(b"\n"):
            piece = c.recv(100)
            if not piece:
                break
            answer += piece
    except OSError:
        pass
    served += answer == b"served client %d\n" % i
print("served", served, flush=True)
)";

// The server loop of a 4D method: listen, wait for a client, serve it, release, listen again.
// Clients that came while one was served wait on the port's socket for the next listener.
TEST_F(TLSTest, TheServerLoopServesTwentyClientsThatConnectAtOnce) {
  int64_t id = listen(0, 0);
  ASSERT_GT(id, 0);
  int16_t port = localPort(id);
  peers::Child clients(
      {"python3", "-c", kTwentyClients, std::to_string(static_cast<uint16_t>(port))});
  ASSERT_TRUE(clients.awaitOutput("connected\n")) << clients.output();
  int served = 0;
  for (;;) {
    if (run("ZUV_TCPWaitStatus", {num(id), num(8), num(2)}).number() != kStreamEstablished) break;
    Outcome line =
        run("ZUV_TCPReceive", {num(id), txt(""), num(100), num(0), num(0), txt("\n"), num(600)});
    EXPECT_EQ(
        run("ZUV_TCPSend", {num(id), txt("served " + host::utf8(line.text(2))), num(0), num(0)})
            .number(),
        0);
    EXPECT_EQ(release(id), 0);
    if (++served == 20) break;
    id = listen(port, 0);
    ASSERT_GT(id, 0);
  }
  EXPECT_EQ(served, 20);
  EXPECT_EQ(clients.wait(std::chrono::seconds(60)), 0) << clients.output();
  EXPECT_NE(clients.output().find("served 20\n"), std::string::npos) << clients.output();
  if (served < 20) {
    EXPECT_EQ(release(id), 0);
  }
}

TEST_F(TLSTest, EachLocalAddressHasItsOwnSlotAndABindThatFailsMakesNoStream) {
  int64_t one = listen(0, 0, 0, peers::kLoopback1);
  int64_t two = listen(0, 0, 0, peers::kLoopback2);
  ASSERT_GT(one, 0);
  ASSERT_GT(two, 0);
  EXPECT_NE(stream(one)->listenSlot, stream(two)->listenSlot);
  Outcome info = run("ZUV_TCPStreamInfo", {num(two)});
  EXPECT_EQ(info.number(6), peers::kLoopback2);
  EXPECT_EQ(info.number(2), 0);  // no remote end while listening
  // A port that another socket listens on.
  int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = peers::address(peers::kLoopback1, 0);
  bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(other, 1);
  int descriptors = peers::openDescriptors();
  EXPECT_EQ(listen(static_cast<int16_t>(peers::localPort(other)), 0, 0, peers::kLoopback1), 0);
  EXPECT_EQ(peers::openDescriptors(), descriptors);
  ::close(other);
  EXPECT_EQ(release(one), 0);
  EXPECT_EQ(release(two), 0);
}

// When every slot holds a socket, a listener could never accept: it is refused like a failed bind.
TEST_F(TLSTest, AListenerWithoutAFreeSlotIsRefused) {
  std::vector<int64_t> ids;
  for (uint32_t n = 1; n <= 128; ++n) {
    int64_t id = listen(0, 0, 0, static_cast<int32_t>(0x7F000000 + n));
    ASSERT_GT(id, 0) << n;
    ids.push_back(id);
  }
  int descriptors = peers::openDescriptors();
  EXPECT_EQ(listen(0, 0, 0, 0x7F000000 + 129), 0);
  EXPECT_EQ(peers::openDescriptors(), descriptors);
  // A stream of a port and address already in use still joins its slot.
  EXPECT_GT(listen(0, 0, 0, 0x7F000001), 0);
  for (int64_t id : ids) EXPECT_EQ(release(id), 0);
}

TEST_F(TLSTest, SendAndReceiveOnAListeningStreamLeaveItsSharedSocketAlone) {
  int64_t first = listen(0, 0);
  int64_t second = listen(0, 0);
  EXPECT_EQ(run("ZUV_TCPSend", {num(first), txt("hello"), num(0), num(0)}).number(), -1);
  EXPECT_EQ(status(second), kStreamListening);
  uint16_t port = static_cast<uint16_t>(localPort(second));
  int fd = connectTo(peers::kLoopback1, port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(peers::await(
      [&] { return status(second) == kStreamEstablished || status(first) == kStreamEstablished; }));
  ::close(fd);
  release(first);
  release(second);
}

// ---- Mended faults
// --------------------------------------------------------------------------------

// The library's code for a connection that ended without the peer's close notification.
constexpr int64_t kUnannouncedClose = 0x0A000126;

// The peer's close notification, or a fatal error, is seen although the TCP connection stays
// open: a loop waiting for the stream's end ends. A plain TCP end without the notification ends
// the stream as well, and its last error tells that the close was not announced.
TEST_F(TLSTest, ACloseNotificationGives14AndAFatalErrorGives20) {
  enum class Ending { kNotify, kFatal, kPlainEnd };
  struct Case {
    Ending ending;
    int64_t expected;
    int64_t error;  // -1: any error
  };
  for (Case c :
       {Case{Ending::kNotify, kStreamPeerClosed, 0}, Case{Ending::kFatal, kStreamError, -1},
        Case{Ending::kPlainEnd, kStreamPeerClosed, kUnannouncedClose}}) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    peers::InProcessServer server([&](SSL* ssl, int fd, peers::InProcessServer& self) {
      SSL_write(ssl, "bye", 3);
      if (c.ending == Ending::kNotify) {
        SSL_shutdown(ssl);
      } else if (c.ending == Ending::kFatal) {
        ::send(fd, "\x17\x03\x03\x00\x05garbage", 12, MSG_NOSIGNAL);  // a record that fails
      } else {
        ::shutdown(fd, SHUT_WR);
      }
      self.waitForStop();
    });
    int64_t id = open(server.port(), kTLS);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
    EXPECT_EQ(receiveUntil(id, "bye"), "bye");
    EXPECT_TRUE(peers::await([&] {
      receiveOnce(id);
      return status(id) == c.expected;
    }));
    int64_t error = run("ZUV_SSLLastError", {num(id), txt("")}).number();
    if (c.error == -1) {
      EXPECT_NE(error, 0);
    } else {
      EXPECT_EQ(error, c.error);
    }
    server.stop();
    EXPECT_EQ(release(id, -1), 0);
  }
}

// A receive without a maximum takes what the library has already decrypted, not all that a peer
// that keeps sending can send.
TEST_F(TLSTest, AReceiveTakesOnlyWhatIsAlreadyDecrypted) {
  peers::InProcessServer server([](SSL* ssl, int, peers::InProcessServer& self) {
    std::string block(16384, 'z');
    while (!self.stopped() && SSL_write(ssl, block.data(), static_cast<int>(block.size())) > 0) {
    }
  });
  int64_t id = open(server.port(), kTLS);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  size_t largest = 0;
  for (int i = 0; i < 20; ++i) largest = std::max(largest, receiveOnce(id).size());
  EXPECT_GT(largest, 0u);
  EXPECT_LE(largest, 512u * 1024) << "one receive kept reading while the peer kept sending";
  server.stop();
  EXPECT_EQ(release(id, -1), 0);
}

// While one process's TLS send waits for room between its library calls (a full socket), another
// process's send on the same stream waits for it to end, so that its bytes come after the first
// send's in the connection.
TEST_F(TLSTest, ASecondProcessSendingDuringATLSWriteWaitsForIt) {
  std::atomic<bool> go{false};
  std::string received;
  bool clean = false;
  peers::InProcessServer server([&](SSL* ssl, int, peers::InProcessServer&) {
    while (!go) std::this_thread::yield();
    char buffer[65536];
    int n;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    clean = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  });
  int64_t id = open(server.port(), kTLS);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  std::string big(2 * 1024 * 1024, 'a');
  host::Emulator::Pending second;
  emu.onYield(1, 1, [&] {
    second = emu.start("ZUV_TCPSend", {num(id), txt("MARK"), num(0), num(0)}, 2);
    go = true;
  });
  EXPECT_EQ(run("ZUV_TCPSend", {num(id), txt(big), num(0), num(0)}).number(), 0);
  EXPECT_EQ(emu.wait(second).number(), 0);
  EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
  server.stop();
  ASSERT_TRUE(peers::await([&] { return clean || received.size() > big.size() + 4; }));
  EXPECT_TRUE(clean);
  EXPECT_EQ(received.size(), big.size() + 4);
  EXPECT_EQ(received.substr(big.size()), "MARK");
  EXPECT_EQ(release(id), 0);
}

// While one process is blocked in a TLS send to a peer that does not read, another process asks
// about the stream and is answered at once, as a TLS stream: the bytes a receive could take (not
// the raw records on the socket), and a cipher list taken (not "not TLS").
TEST_F(TLSTest, AnotherProcessAsksAboutAStreamWhileItsTLSSendIsBlocked) {
  std::unique_ptr<TLSPeer> peer = TLSPeer::server();
  ASSERT_NE(peer->port(), 0);
  int64_t id = open(peer->port(), kTLS);
  ASSERT_GT(id, 0);
  peer->tell("handshake");
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  ASSERT_EQ(peer->answer(), "ok");
  ASSERT_EQ(peer->ask("write " + hexOf("hello world")), "ok");
  ASSERT_EQ(peer->ask("flush"), "ok");
  host::Emulator::Pending available, ciphers;
  bool answeredDuringTheSend = false;
  bool full = false;
  emu.onYield(1, 50, [&] {
    // The socket is full by now (the peer reads nothing), and the records have come (with the
    // session tickets) with no receive to read them.
    pollfd entry{stream(id)->sock.get(), POLLOUT, 0};
    full = poll(&entry, 1, 0) == 0;
    peers::await([&] {
      int readable = 0;
      return ioctl(stream(id)->sock.get(), FIONREAD, &readable) == 0 && readable > 11;
    });
    available = emu.start("ZUV_TCPBytesAvailable", {num(id)}, 2);
    ciphers = emu.start("ZUV_SSLSetCiphers", {num(id), txt("")}, 3);
  });
  emu.onYield(1, 52, [&] {
    answeredDuringTheSend = available.done() && ciphers.done();
    peer->tell("drain");
  });
  std::string big(2 * 1024 * 1024, 'a');
  EXPECT_EQ(run("ZUV_TCPSend", {num(id), txt(big), num(0), num(0)}).number(), 0);
  EXPECT_TRUE(full);
  EXPECT_TRUE(answeredDuringTheSend);
  EXPECT_EQ(emu.wait(available).number(), 11);
  EXPECT_EQ(emu.wait(ciphers).number(), 0);
  EXPECT_EQ(receiveUntil(id, "hello world"), "hello world");
  EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
  EXPECT_EQ(peer->answer(), "drained " + std::to_string(big.size()));
  EXPECT_EQ(release(id), 0);
}

// The processor time this test process has used so far, in its every thread.
std::chrono::microseconds processorTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto time = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return time(usage.ru_utime) + time(usage.ru_stime);
}

// A receive that waits for the rest of a record (the client sent 15 bytes of one that announces
// 16 KB) sleeps on the socket instead of spinning: the process uses little processor time over
// the wait.
TEST_F(TLSTest, AReceiveWaitingForTheRestOfARecordSleeps) {
  int64_t listener = listenWithLeaf();
  std::unique_ptr<TLSPeer> peer = TLSPeer::client(localPort(listener));
  ASSERT_EQ(peer->greeting(), "connected");
  peer->tell("handshake");
  ASSERT_TRUE(awaitStatus(listener, kStreamEstablished));
  ASSERT_EQ(peer->answer(), "ok");
  std::string line = std::string(16000, 'x') + "\n";
  ASSERT_EQ(peer->ask("write " + hexOf(line)), "ok");
  ASSERT_EQ(peer->ask("flush 15"), "ok");
  auto start = std::chrono::steady_clock::now();
  auto before = processorTime();
  peer->tell("sleep 1.5");
  peer->tell("flush");
  Outcome received =
      run("ZUV_TCPReceive", {num(listener), txt(""), num(0), num(0), num(0), txt("\n"), num(600)});
  auto used = processorTime() - before;
  auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_EQ(received.number(), static_cast<int64_t>(line.size()));
  EXPECT_GE(wall, std::chrono::seconds(1));
  EXPECT_LT(used.count() * 4, wall.count()) << "the receive spun while it waited";
  EXPECT_EQ(peer->answer(), "ok");
  EXPECT_EQ(peer->answer(), "ok");
  EXPECT_EQ(release(listener), 0);
}

// A client that sends its last handshake message, its request, its close notification (or none)
// and its end at once while the accept step waits for it: the stream is established, gives the
// request, and then shows the peer's close, with an error that tells an unannounced close.
TEST_F(TLSTest, AClientThatSendsItsRequestAndEndsDuringTheAcceptIsServed) {
  for (bool notify : {true, false}) {
    SCOPED_TRACE(notify);
    int64_t listener = listenWithLeaf();
    std::unique_ptr<TLSPeer> peer = TLSPeer::client(localPort(listener));
    ASSERT_EQ(peer->greeting(), "connected");
    // The client ends its side of the handshake but keeps its last message back.
    peer->tell("handshake hold");
    std::string answer;
    ASSERT_TRUE(peers::await([&] {
      status(listener);
      answer = peer->answer(std::chrono::milliseconds(0));
      return !answer.empty();
    }));
    ASSERT_EQ(answer, "ok");
    ASSERT_EQ(status(listener), kStreamAccepting);
    ASSERT_EQ(peer->ask("write " + hexOf("hello\n")), "ok");
    if (notify) {
      ASSERT_EQ(peer->ask("notify"), "ok");
    }
    ASSERT_EQ(peer->ask("flush"), "ok");
    ASSERT_EQ(peer->ask("fin"), "ok");
    ASSERT_TRUE(peers::await([&] {
      pollfd entry{stream(listener)->sock.get(), POLLRDHUP, 0};
      return poll(&entry, 1, 0) == 1;
    }));
    EXPECT_EQ(status(listener), kStreamEstablished);
    EXPECT_EQ(receiveUntil(listener, "hello\n"), "hello\n");
    EXPECT_TRUE(awaitStatus(listener, kStreamPeerClosed));
    Outcome error = run("ZUV_SSLLastError", {num(listener), txt("")});
    EXPECT_EQ(error.number(), notify ? 0 : kUnannouncedClose);
    EXPECT_EQ(error.text(2).empty(), notify);
    EXPECT_EQ(release(listener), 0);
  }
}

// One client that sends its first handshake message and never reads, to a pool of listeners
// with an 87 KB certificate: the accept step sends what the socket takes and goes on at the next
// poll, so no status query waits on that client and a good client of the pool is served.
TEST_F(TLSTest, ASlowClientDoesNotStallTheListenersOfItsPool) {
  // Listeners of one port given as 0 share the socket that the first was given.
  int64_t first = listen(0, kTLS);
  int64_t second = listen(0, kTLS);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  int16_t port = localPort(first);
  for (int64_t id : {first, second}) {
    ASSERT_EQ(setCertificate(id, file("wide.pem"), file("wide.key")), 0);
    run("ZUV_TCPSetTimeout", {num(id), num(3)});
  }
  std::vector<int32_t> ids = {0, static_cast<int32_t>(first), static_cast<int32_t>(second)};
  int64_t yieldsInQueries = 0;
  auto statuses = [&] {
    int64_t before = emu.yields(1);
    Outcome outcome =
        run("ZUV_TCPMultiStatus", {LongintArray{ids}, LongintArray{{0, 0, 0}}, num(0)});
    for (int32_t id : {ids[1], ids[2]}) status(id);
    yieldsInQueries += emu.yields(1) - before;
    return std::get<LongintArray>(outcome.params[1]).elements;
  };
  std::unique_ptr<TLSPeer> slow = TLSPeer::client(port, 4096);
  ASSERT_EQ(slow->greeting(), "connected");
  ASSERT_EQ(slow->ask("hello"), "ok");
  int64_t slowId = 0;
  ASSERT_TRUE(peers::await([&] {
    std::vector<int32_t> now = statuses();
    slowId = now[1] == kStreamAccepting ? first : now[2] == kStreamAccepting ? second : 0;
    return slowId != 0;
  }));
  int64_t otherId = slowId == first ? second : first;
  std::unique_ptr<TLSPeer> good = TLSPeer::client(port);
  ASSERT_EQ(good->greeting(), "connected");
  good->tell("handshake");
  EXPECT_TRUE(
      peers::await([&] { return statuses()[otherId == first ? 1 : 2] == kStreamEstablished; }));
  EXPECT_EQ(good->answer(), "ok");
  EXPECT_EQ(status(slowId), kStreamAccepting);
  EXPECT_EQ(yieldsInQueries, 0) << "a status query waited on the slow client";
  EXPECT_EQ(release(first), 0);
  EXPECT_EQ(release(second), 0);
}

// The socket buffers of a TLS stream hold its largest record, whatever size it was asked for
// (0 is the default); a plain stream keeps the size asked for, within 4096..32768. An accepted
// connection has the buffers of its listening socket.
TEST_F(TLSTest, TLSStreamBuffersHoldAWholeRecord) {
  constexpr int kRecord = tcp::kMinTLSBuffer;
  ASSERT_GE(kRecord, 16384 + 5);
  auto buffers = [&](int64_t id) {
    int sizes[2] = {0, 0};
    socklen_t length = sizeof sizes[0];
    getsockopt(stream(id)->sock.get(), SOL_SOCKET, SO_SNDBUF, &sizes[0], &length);
    getsockopt(stream(id)->sock.get(), SOL_SOCKET, SO_RCVBUF, &sizes[1], &length);
    return std::vector<int>{sizes[0] / 2, sizes[1] / 2};  // Linux reports twice the size set
  };
  struct Case {
    int64_t asked;
    int64_t flags;
    int kept;
  };
  for (const Case& c :
       {Case{0, kTLS, kRecord}, Case{4096, kTLS, kRecord}, Case{kRecord + 100, kTLS, kRecord + 100},
        Case{1000000, kTLS, 32768}, Case{0, 0, 4096}, Case{8000, 0, 8000}}) {
    SCOPED_TRACE(testing::Message() << "buffer " << c.asked << ", flags " << c.flags);
    int64_t listener = run("ZUV_TCPListen", {num(0), num(0), num(0), num(c.asked), num(c.flags),
                                             num(0), num(0), num(0)})
                           .number();
    ASSERT_GT(listener, 0);
    if (c.flags != 0) {
      ASSERT_EQ(setCertificate(listener, file("leaf.pem"), file("leaf.key")), 0);
    }
    EXPECT_EQ(buffers(listener), (std::vector<int>{c.kept, c.kept}));
    int64_t client = run("ZUV_TCPOpen", {txt("127.0.0.1"),
                                         num(localPort(listener)),
                                         num(c.asked),
                                         num(c.flags),
                                         {},
                                         num(0),
                                         num(0)})
                         .number();
    ASSERT_GT(client, 0);
    EXPECT_EQ(buffers(client), (std::vector<int>{c.kept, c.kept}));
    // Both ends of a TLS connection move their handshake on when polled.
    ASSERT_TRUE(peers::await([&] {
      status(client);
      return status(listener) == kStreamEstablished;
    }));
    EXPECT_EQ(buffers(listener), (std::vector<int>{c.kept, c.kept}));
    EXPECT_EQ(release(client), 0);
    EXPECT_EQ(release(listener), 0);
    // The listening socket keeps its grace for the next listener of port 0, which would take it
    // with its buffers: one that joins and leaves with mode 2 closes it.
    EXPECT_EQ(release(listen(0, 0), 2), 0);
  }
}

// A TLS send of 96 records with the default socket buffer to a server that reads nothing yet
// but has room for them all. The server's system acknowledges the records as they come, and
// only now and then late, as it does with the largest buffer: the send finds its socket still
// full after a millisecond of waiting for one record in eight or so, as with 32768, never for
// every record. When a record did not fit the socket buffer, the socket held one at a time,
// whose lone segment the server's system acknowledged late, and every record waited out three
// or four such milliseconds.
TEST_F(TLSTest, ATLSSendWithTheDefaultBufferSeldomWaitsForRoom) {
  constexpr int64_t kRecords = 96;
  const std::string bytes(kRecords * 16384, 'r');
  std::promise<void> drain;
  std::shared_future<void> drained = drain.get_future().share();
  std::atomic<size_t> received{0};
  peers::InProcessServer server(
      [&](SSL* ssl, int, peers::InProcessServer&) {
        drained.wait();
        char buffer[65536];
        int n;
        while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) received += static_cast<size_t>(n);
      },
      peers::InProcessServer::Tickets::kSent, 2 << 20);
  // The server reads once the send is over, or when the test ends before.
  struct Drain {
    std::promise<void>& promise;
    bool given = false;
    void now() {
      if (!given) promise.set_value();
      given = true;
    }
    ~Drain() { now(); }
  } drainAtEnd{drain};
  int64_t id = open(server.port(), kTLS);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  int64_t before = tcp::testing::fullSocketWaitsRunOut();
  EXPECT_EQ(run("ZUV_TCPSendBlob", {num(id), blob(bytes), num(0), num(0), num(0), num(0)}).number(),
            0);
  EXPECT_LT(tcp::testing::fullSocketWaitsRunOut() - before, kRecords)
      << "waits for room that ran out, for " << kRecords << " records";
  drainAtEnd.now();
  EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
  EXPECT_TRUE(peers::await([&] { return received == bytes.size(); }));
  EXPECT_EQ(release(id), 0);
}

// Errors that a load left in the library's queue are not blamed on the next stream.
TEST_F(TLSTest, AFailedLoadLeavesNoErrorForAnotherStream) {
  EXPECT_EQ(setServerName(4, "beta.test", file("missing.pem"), file("missing.key")), -4);
  EXPECT_EQ(run("ZUV_SSLSetCertificate", {num(0), txt(file("missing.pem"))}).number(), -3);
  peers::InProcessServer server([](SSL* ssl, int, peers::InProcessServer& self) {
    SSL_write(ssl, "hi", 2);
    self.waitForStop();
  });
  int64_t id = open(server.port(), kTLS);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  EXPECT_EQ(receiveUntil(id, "hi"), "hi");
  EXPECT_EQ(run("ZUV_SSLLastError", {num(id)}).number(), 0);
  server.stop();
  EXPECT_EQ(release(id, -1), 0);
  EXPECT_EQ(setCertificate(0, "", ""), 0);
}

// The changes of a server-name list after a refused resize: no text made for an element that
// the array does not have is lost.
TEST_F(ServerNameTest, AListWhoseResizeIsRefusedLosesNoText) {
  EXPECT_EQ(setServerName(1, "beta.test", file("beta.pem"), file("beta.key")), 0);
  EXPECT_EQ(setServerName(2, "gamma.test", file("gamma.pem"), file("gamma.key")), 0);
  emu.refuse(host::Refusal::GrowHandle, 2);
  Outcome listed = run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}});
  emu.clearRefusals();
  EXPECT_EQ(listed.number(), 2);
  EXPECT_EQ(std::get<LongintArray>(listed.params[0]).elements, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(std::get<TextArray>(listed.params[1]).elements.size(), 1u);
  EXPECT_EQ(setServerName(-1, "", "", ""), 0);
}

// The pass-phrase callback never writes outside the library's buffer.
TEST_F(TLSTest, ThePassPhraseCallbackStaysInsideTheLibrarysBuffer) {
  char buffer[8] = "unused";
  char secret[] = "a much longer pass phrase";
  EXPECT_EQ(tcp::sPem_passwd_cb(buffer, 0, 0, secret), -1);
  EXPECT_EQ(tcp::sPem_passwd_cb(buffer, -5, 0, secret), -1);
  EXPECT_EQ(tcp::sPem_passwd_cb(buffer, 8, 0, nullptr), -1);
  EXPECT_EQ(tcp::sPem_passwd_cb(buffer, 8, 0, secret), 7);
  EXPECT_STREQ(buffer, "a much ");
  // A default that names no file is refused, whatever its length.
  std::string longPath(5000, 'p');
  EXPECT_EQ(setCertificate(0, longPath, longPath, longPath, longPath), -3);
}

// ---- Library configurations
// -----------------------------------------------------------------------

// The library reads its configuration once per process: these cases run in a fresh run of this
// binary with OPENSSL_CONF set, started by the test below them; in any other run they skip.
bool runsUnder(const char* configuration) {
  const char* set = std::getenv("OPENSSL_CONF");
  return set != nullptr && std::string(set).find(configuration) != std::string::npos;
}

class ConfigurationTest : public TLSTest {
 protected:
  void SetUp() override {
    if (!runsUnder(configuration())) {
      GTEST_SKIP() << "runs only with OPENSSL_CONF naming " << configuration()
                   << ", in the run that TLSTest.TheConfigurationCasesPassInARunOfTheirOwn starts";
    }
    TLSTest::SetUp();
  }
  virtual const char* configuration() const = 0;
};

class LegacyProtocolTest : public ConfigurationTest {
  const char* configuration() const override { return "legacy.cnf"; }
};

class BrokenLibraryTest : public ConfigurationTest {
  const char* configuration() const override { return "broken.cnf"; }
};

// At security level 0, TLS 1.0 and 1.1 negotiate, and the flags' version options refuse them.
TEST_F(LegacyProtocolTest, TheVersionFlagsSelectTheOldProtocols) {
  struct Case {
    std::vector<std::string> server;
    int64_t flags;
    std::string protocol;  // empty: the handshake fails
  };
  const std::vector<std::string> legacy = {"-cipher", "DEFAULT@SECLEVEL=0"};
  const Case cases[] = {
      {{"-tls1_1"}, kTLS, "TLSv1.1"},   {{"-tls1"}, kTLS, "TLSv1"},
      {{"-tls1"}, kTLS | 0x40000, ""},   // no TLS 1.0
      {{"-tls1_1"}, kTLS | 0x8000, ""},  // TLS 1.2 at least
      {{"-tls1"}, kTLS | 0x4000, ""},    // TLS 1.1 at least
      {{}, kTLS | 0x10000, "TLSv1.1"},   // no TLS 1.2 leaves only what lies below it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    std::vector<std::string> arguments = {"-www", "-naccept", "1"};
    arguments.insert(arguments.end(), legacy.begin(), legacy.end());
    arguments.insert(arguments.end(), c.server.begin(), c.server.end());
    peers::TLSServer server(arguments);
    ASSERT_NE(server.port(), 0) << server.child().output();
    int64_t id = open(server.port(), c.flags);
    ASSERT_GT(id, 0);
    if (c.protocol.empty()) {
      EXPECT_TRUE(peers::await([&] { return status(id) == 6 && stream(id)->lastTLSError != 0; }));
    } else {
      ASSERT_TRUE(awaitStatus(id, kStreamEstablished)) << server.child().output();
      EXPECT_EQ(host::utf8(run("ZUV_SSLStreamInfo", {num(id)}).text(2)), c.protocol);
    }
    EXPECT_EQ(release(id, -1), 0);
  }
}

// When the library cannot make a context, no TLS stream or server-name entry is made.
TEST_F(BrokenLibraryTest, NoTLSObjectMeansNoStream) {
  int descriptors = peers::openDescriptors();
  EXPECT_EQ(open(peers::refusedPort(), kTLS), 0);
  EXPECT_EQ(listen(0, kTLS), 0);
  EXPECT_EQ(peers::openDescriptors(), descriptors);
  EXPECT_EQ(setServerName(1, "beta.test", file("beta.pem"), file("beta.key")), -3);
  EXPECT_EQ(run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}}).number(), 0);
  int64_t plain = listen(0, 0);
  EXPECT_GT(plain, 0);
  EXPECT_EQ(release(plain), 0);
}

TEST_F(TLSTest, TheConfigurationCasesPassInARunOfTheirOwn) {
  for (const char* configuration : {"legacy.cnf", "broken.cnf"}) {
    SCOPED_TRACE(configuration);
    std::string filter = std::string("--gtest_filter=") +
                         (std::string(configuration) == "legacy.cnf" ? "LegacyProtocolTest.*"
                                                                     : "BrokenLibraryTest.*");
    peers::Child run({"/proc/self/exe", filter}, {"OPENSSL_CONF=" + file(configuration)});
    int exitStatus = run.wait(std::chrono::seconds(120));
    EXPECT_EQ(exitStatus, 0) << run.output();
    EXPECT_NE(run.output().find("[  PASSED  ] 1 test"), std::string::npos) << run.output();
    EXPECT_EQ(run.output().find("SKIPPED"), std::string::npos) << run.output();
  }
}

// ---- Examples
// -------------------------------------------------------------------------------------

// An example script with its $port set, run by zuvhost in the certificates' folder as script/demo
// runs it; answers what it printed, and what its "//>" lines show in `expected`.
class ExampleRun {
 public:
  ExampleRun(const std::string& name, uint16_t port) {
    std::ifstream in(std::string(ZUV_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
    std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("//> ", 0) == 0) expected += line.substr(4) + "\n";
    }
    path_ = peers::Certificates::get().path(name);
    std::ofstream(path_, std::ios::binary) << std::regex_replace(
        script, std::regex("\\$port:=[0-9]+"), "$$port:=" + std::to_string(port));
    zuvhost_ = std::make_unique<peers::Child>(
        std::vector<std::string>{"sh", "-c",
                                 "cd '" + peers::Certificates::get().dir().string() +
                                     "' && exec '" + ZUVHOST_PATH + "' '" + path_ + "'"});
  }
  ~ExampleRun() { std::remove(path_.c_str()); }
  // The exit status once zuvhost has ended, and its output.
  int wait(std::string& output) {
    int status = zuvhost_->wait(std::chrono::seconds(60));
    output = zuvhost_->output();
    return status;
  }
  std::string expected;

 private:
  std::string path_;
  std::unique_ptr<peers::Child> zuvhost_;
};

TEST(TLSExampleTest, TheHttpsExamplePrintsWhatItShows) {
  if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
  ASSERT_TRUE(peers::Certificates::get().ok());
  peers::TLSServer server({"-WWW"});
  ASSERT_NE(server.port(), 0);
  ExampleRun example("https_get.4dm", static_cast<uint16_t>(server.port()));
  std::string output;
  EXPECT_EQ(example.wait(output), 0) << output;
  EXPECT_EQ(output, example.expected);
}

TEST(TLSExampleTest, TheListenerExamplePicksTheCertificateByName) {
  if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
  ASSERT_TRUE(peers::Certificates::get().ok());
  uint16_t port = peers::refusedPort();
  ExampleRun example("tls_listener.4dm", port);
  // The client, once the listener waits: a refused connect fails at once and is tried again.
  std::unique_ptr<peers::Child> client;
  ASSERT_TRUE(peers::await([&] {
    client = std::make_unique<peers::Child>(std::vector<std::string>{
        "openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-servername",
        "beta.test", "-quiet"});
    client->write("hello beta\n");
    // A refused client ends; one that connected gets through the handshake, which zuvhost's
    // wait for status 8 drives.
    while (client->wait(std::chrono::milliseconds(10)) == -1) {
      if (client->output().find("depth=0") != std::string::npos) return true;
    }
    return false;
  }));
  EXPECT_TRUE(client->awaitOutput("hello from the listener")) << client->output();
  std::string output;
  EXPECT_EQ(example.wait(output), 0) << output;
  EXPECT_EQ(output, example.expected);
  client->closeInput();
  client->wait();
  EXPECT_NE(client->output().find("depth=0 CN = beta.test"), std::string::npos) << client->output();
  EXPECT_NE(client->output().find("hello from the listener"), std::string::npos);
}
}  // namespace
}  // namespace zuvtest
