// File, BLOB and picture transfers through FourDPackex against loopback peers in processes of
// their own (tests/peers/transfer_peer.py, run by python3): ZUV_TCPSendFile with its forks,
// ranges and chunk sizes, ZUV_TCPReceiveFile with its modes, counts and ends, ZUV_TCPSendBlob,
// ZUV_TCPReceiveBlob with every flag, and ZUV_TCPSendPicture. Python is the oracle of the
// character sets, of Base64 and quoted-printable and of bytes.find; the mended faults each have
// a case: short resource-fork reads, ranges outside the data, filters with text bits and no
// character set, the UTF-8 tail at a deadline, status 0 after a chunk, type names that are
// disposed (the fixture's TearDown), zero bytes under text filters, Base64 bodies with
// characters outside the alphabet, encodings and decodings of the target character set's bytes,
// delimiters after a zero byte or outside their character set, and characters cut by a limit.

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "codecs/codecs_oracle.h"
#include "network/tcp.h"
#include "peers/peers.h"
#include "platform/platform.h"
#include "support/plugin_test.h"
#include "support/temp_folder.h"

extern char** environ;

namespace zuvtest {
namespace {

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

constexpr int64_t kKeepStream = 0x2;

// transfer_peer.py in a child process (python3 takes a while to start on a busy machine, so one
// serves a whole test): each job is one connection, served as the job's line says.
class PythonPeer {
 public:
  PythonPeer() {
    std::string script = std::string(ZUV_TEST_DIR) + "/peers/transfer_peer.py";
    const char* argv[] = {"python3", script.c_str(), "127.0.0.1", nullptr};
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    jobs_ = in[1];
    answers_ = out[0];
    if (pid_ > 0) port_ = std::atoi(readLine().c_str());
  }
  ~PythonPeer() {
    if (jobs_ >= 0) ::close(jobs_);
    if (answers_ >= 0) ::close(answers_);
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;
  int16_t port() const { return static_cast<int16_t>(port_); }
  // Asks for the next connection to be served so: a mode and its arguments.
  void job(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
    line += '\n';
    EXPECT_EQ(::write(jobs_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  // Waits for the job to end; true when the peer served it without error.
  bool finish() {
    std::string answer = readLine();
    EXPECT_EQ(answer, "done");
    return answer == "done";
  }

 private:
  std::string readLine() {
    std::string line;
    char c;
    while (true) {
      pollfd entry{answers_, POLLIN, 0};
      if (poll(&entry, 1, 60000) <= 0 || ::read(answers_, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line += c;
    }
  }

  pid_t pid_ = -1;
  int port_ = 0;
  int jobs_ = -1;
  int answers_ = -1;
};

std::string pattern(size_t n, unsigned seed = 1) {
  std::string out(n, '\0');
  uint32_t x = seed;
  for (char& c : out) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  return out;
}

// UTF-8 text of about n bytes with characters of one to four bytes.
std::string utf8Text(size_t n) {
  const char* words[] = {"abc ", "\xc3\xa9t\xc3\xa9 ", "\xe2\x82\xac\r", "\xf0\x9f\x98\x80\r\n",
                         "<&> "};
  std::string out;
  for (size_t i = 0; out.size() < n; ++i) out += words[(i * 7 + i / 3) % 5];
  return out;
}

class FileTransfersTest : public PluginTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
    ASSERT_TRUE(files.made());
    peer = std::make_unique<PythonPeer>();
    if (peer->port() == 0) GTEST_SKIP() << "python3 did not start the transfer peer";
  }
  void TearDown() override {
    peer.reset();
    PluginTest::TearDown();
  }
  std::string path(const std::string& name) const { return files.path(name); }
  std::string write(const std::string& name, const std::string& bytes) {
    return files.write(name, bytes);
  }
  static std::string read(const std::string& file) { return TempFolder::read(file); }

  int64_t open(int16_t port) {
    int64_t id =
        run("ZUV_TCPOpen", {txt("127.0.0.1"), num(port), num(0), num(0), {}, num(0), num(0)})
            .number();
    EXPECT_GT(id, 0);
    EXPECT_TRUE(peers::await([&] { return status(id) >= 8; }));
    return id;
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }
  bool awaitAvailable(int64_t id, int64_t count) {
    return peers::await([&] { return run("ZUV_TCPBytesAvailable", {num(id)}).number() >= count; });
  }
  void release(int64_t id) { run("ZUV_TCPRelease", {num(id)}); }

  int64_t sendFile(int64_t id, const std::string& file, int64_t filter = 0, int64_t chunk = 0,
                   int64_t first = 0, int64_t last = 0, int64_t flags = 0) {
    return run("ZUV_TCPSendFile",
               {num(id), txt(file), num(filter), num(chunk), num(first), num(last), num(flags)})
        .number();
  }
  int64_t receiveFile(int64_t id, const std::string& file, int64_t filter = 0, int64_t flags = 0,
                      int64_t seconds = 0, int64_t count = 0) {
    return run("ZUV_TCPReceiveFile",
               {num(id), txt(file), num(filter), num(flags), num(seconds), num(count)})
        .number();
  }
  int64_t sendBlob(int64_t id, const std::string& bytes, int64_t filter = 0, int64_t first = 0,
                   int64_t last = 0) {
    return run("ZUV_TCPSendBlob",
               {num(id), blob(bytes), num(0), num(filter), num(first), num(last)})
        .number();
  }
  Outcome receiveBlob(int64_t id, Value into, int64_t limit, int64_t filter, int64_t flags,
                      std::string_view delimiter, int64_t ticks) {
    return run("ZUV_TCPReceiveBlob", {num(id), std::move(into), num(limit), num(filter), num(flags),
                                      txt(delimiter), num(ticks)});
  }
  // Sends bytes through a peer that records them and answers what it got.
  std::string sentThrough(const std::function<int64_t(int64_t)>& send, int64_t expected = 0) {
    int64_t id = connect({"receive", path("received")});
    EXPECT_EQ(send(id), expected);
    release(id);
    EXPECT_TRUE(peer->finish());
    return read(path("received"));
  }

  // A stream whose peer sends `first`, and `second` only once the stream's first receive has
  // begun: the byte that lets the peer go on waits in the stream's send buffer, which a receive
  // sends before it reads.
  int64_t goAhead(const std::string& first, const std::string& second) {
    int64_t id = connect({"send2", write("first", first), write("second", second)});
    EXPECT_TRUE(awaitAvailable(id, static_cast<int64_t>(first.size())));
    EXPECT_EQ(run("ZUV_TCPSend", {num(id), txt("g"), num(100), num(0)}).number(), 1);
    return id;
  }

  // A stream to the peer, which serves it as the job says.
  int64_t connect(const std::vector<std::string>& job) {
    peer->job(job);
    return open(peer->port());
  }

  TempFolder files{"zuv-transfers"};
  std::unique_ptr<PythonPeer> peer;
};

// ---- Character sets and filters --------------------------------------------------------------

struct Charset {
  int64_t in;
  int64_t out;
  const char* bytes;  // "café Ünï" in the character set
};

const Charset kCharsets[] = {
    {0x2, 0x1, "caf\xe9 \xdcn\xef"},                   // 1005, ISO-8859-1
    {0x1000, 0x800, "caf\xc3\xa9 \xc3\x9cn\xc3\xaf"},  // 7, UTF-8
    {0x4000, 0x2000, "caf\x8e \x86n\x95"},             // 100, Mac OS Roman
};

TEST_F(FileTransfersTest, EveryPairOfCharacterSetsThereAndBack) {
  for (const Charset& from : kCharsets) {
    for (const Charset& to : kCharsets) {
      SCOPED_TRACE(testing::Message() << "from 0x" << std::hex << from.in << " to 0x" << to.out);
      int64_t id = connect({"echo", path("wire")});
      EXPECT_EQ(sendBlob(id, from.bytes, from.in | to.out), 0);
      ASSERT_TRUE(awaitAvailable(id, static_cast<int64_t>(std::strlen(to.bytes))));
      // Back the other way: the wire's bytes are taken in, the BLOB gets the first set's. The
      // receive releases the stream at its deadline, so a held-back last character is stored.
      Outcome back = receiveBlob(id, blob(""), 0, to.out << 1 | from.in >> 1, 0, "", 20);
      EXPECT_EQ(back.blob(2).bytes, from.bytes);
      ASSERT_TRUE(peer->finish());
      EXPECT_EQ(read(path("wire")), to.bytes);
    }
  }
}

TEST_F(FileTransfersTest, ABase64FilteredFileIsWhatPythonDecodesWhole) {
  // Several chunks, each cut at a UTF-8 character; the groups of three bytes run across them.
  const std::string text = utf8Text(200000);
  const std::string file = write("text.txt", text);
  for (int64_t chunk : {0, 1000, 4, 32768}) {
    SCOPED_TRACE(chunk);
    int64_t id = connect({"receive-base64", path("decoded")});
    EXPECT_EQ(sendFile(id, file, 0x800 | 0x80, chunk), 0);
    release(id);
    ASSERT_TRUE(peer->finish());
    EXPECT_EQ(read(path("decoded")), text);
  }
}

TEST_F(FileTransfersTest, FilteredTransfersEqualTheFilterOfTheWhole) {
  // CR to CR LF across chunks; quoted-printable and its column across chunks.
  const std::string text = utf8Text(100000);
  std::string crlf;
  for (char c : text) crlf += c == '\r' ? std::string("\r\n") : std::string(1, c);
  const std::string file = write("lines.txt", text);
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0x800 | 0x4, 1000); }), crlf);
  std::string blobOut = sentThrough([&](int64_t id) { return sendBlob(id, text, 0x800 | 0x4); });
  EXPECT_EQ(blobOut, crlf);
}

// A file or BLOB is binary data: a zero byte passes the text filters as any control byte does,
// and nothing after it is lost, sent or received.
TEST_F(FileTransfersTest, AZeroBytePassesTheTextFiltersOfAllFourCommands) {
  const std::string text =
      std::string("line 1\rline 2\0tail\rline 3\r", 26) + std::string(100000, 'x') + "\rend\r";
  std::string crlf;
  for (char c : text) crlf += c == '\r' ? std::string("\r\n") : std::string(1, c);
  ASSERT_EQ(crlf.size(), 100036u);
  const std::string file = write("zero.txt", text);
  const int64_t filter = 0x1804;
  EXPECT_TRUE(sentThrough([&](int64_t id) { return sendFile(id, file, filter); }) == crlf);
  EXPECT_TRUE(sentThrough([&](int64_t id) { return sendBlob(id, text, filter); }) == crlf);
  int64_t id = connect({"send", file, "fin"});
  EXPECT_EQ(receiveFile(id, path("got"), filter), -1);  // the peer's close ends it
  EXPECT_TRUE(read(path("got")) == crlf);
  EXPECT_TRUE(peer->finish());
  id = connect({"send", file, "fin"});
  Outcome received = receiveBlob(id, blob(""), 0, filter, 0, "", -1);
  EXPECT_EQ(received.number(), static_cast<int64_t>(crlf.size()));
  EXPECT_TRUE(received.blob(2).bytes == crlf);
  EXPECT_TRUE(peer->finish());
}

// RFC 2045: a decoder skips the characters outside the Base64 alphabet (line ends, spaces, stray
// punctuation) and goes on, as Python's base64.b64decode does by default.
TEST_F(FileTransfersTest, ABase64BodyWithCharactersOutsideTheAlphabetDecodesAsPythonDoes) {
  std::vector<std::string> encoded =
      runPython("for l in lines: print(base64.encodebytes(l).hex())\n", {utf8Text(60000)});
  ASSERT_EQ(encoded.size(), 1u);
  std::string body = encoded[0];
  body.insert(body.size() - 9, "!");  // eight letters before the end, the line end counted
  body.insert(40000, " ");
  body.insert(20000, "*\r");
  std::vector<std::string> decoded =
      runPython("for l in lines: print(base64.b64decode(l).hex())\n", {body});
  ASSERT_EQ(decoded.size(), 1u);
  const std::string& expected = decoded[0];
  ASSERT_GT(expected.size(), 59990u);
  const std::string file = write("body.b64", body);
  const int64_t filter = 0x1900;
  for (int64_t chunk : {0, 1000, 7, 3}) {
    SCOPED_TRACE(chunk);
    EXPECT_TRUE(sentThrough([&](int64_t id) { return sendFile(id, file, filter, chunk); }) ==
                expected);
  }
  EXPECT_TRUE(sentThrough([&](int64_t id) { return sendBlob(id, body, filter); }) == expected);
  int64_t id = connect({"send", file, "fin"});
  EXPECT_EQ(receiveFile(id, path("decoded"), filter), -1);
  EXPECT_TRUE(read(path("decoded")) == expected);
  EXPECT_TRUE(peer->finish());
  id = connect({"send", file, "fin"});
  EXPECT_TRUE(receiveBlob(id, blob(""), 0, filter, 0, "", -1).blob(2).bytes == expected);
  EXPECT_TRUE(peer->finish());
}

// The encodings encode the bytes in the target character set: with a single-byte set in and
// out, what the peer decodes is the file or BLOB itself, zero bytes included, whatever its size
// and however it is cut into chunks.
TEST_F(FileTransfersTest, EncodingsEncodeTheTargetCharacterSetsBytes) {
  std::string gif = "GIF89a" + pattern(34, 5);
  gif[10] = '\x3c';
  gif[11] = '\x97';
  gif[12] = '\0';
  const std::string large = pattern(100000, 9);
  struct Encoding {
    const char* peerMode;
    int64_t filter;
    const std::string* bytes;
  };
  const Encoding encodings[] = {
      {"receive-base64", 0x80 | 0x3, &gif},       {"receive-base64", 0x80 | 0x3, &large},
      {"receive-base64", 0x80 | 0x6000, &large},  {"receive-quopri", 0x200 | 0x3, &gif},
      {"receive-quopri", 0x200 | 0x6000, &large},
  };
  for (const Encoding& e : encodings) {
    for (size_t size : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, e.bytes->size()}) {
      const std::string bytes = e.bytes->substr(0, size);
      const std::string file = write("binary", bytes);
      for (int64_t chunk : {0, 1, 2, 3, 5, 1000}) {
        if (chunk > 0 && chunk < 1000 && size > 40) continue;
        SCOPED_TRACE(testing::Message() << e.peerMode << " filter 0x" << std::hex << e.filter
                                        << std::dec << " size " << size << " chunk " << chunk);
        peer->job({e.peerMode, path("decoded")});
        int64_t id = open(peer->port());
        EXPECT_EQ(sendFile(id, file, e.filter, chunk), 0);
        release(id);
        ASSERT_TRUE(peer->finish());
        EXPECT_TRUE(read(path("decoded")) == bytes);
      }
      SCOPED_TRACE(testing::Message() << e.peerMode << " BLOB of " << size);
      peer->job({e.peerMode, path("decoded")});
      int64_t id = open(peer->port());
      EXPECT_EQ(sendBlob(id, bytes, e.filter), 0);
      release(id);
      ASSERT_TRUE(peer->finish());
      EXPECT_TRUE(read(path("decoded")) == bytes);
    }
  }
}

// The decodings give the bytes in the target character set: with a single-byte set in and out,
// a binary body decodes to what Python decodes, zero bytes and every byte value included,
// whatever its size and however it is cut into chunks, sent or received.
TEST_F(FileTransfersTest, DecodingsGiveTheTargetCharacterSetsBytes) {
  std::string binary(3, '\0');
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(255 - i));
  binary += pattern(100000, 11);
  const std::vector<size_t> sizes = {1, 2, 3, 4, 5, 600, binary.size()};
  std::vector<std::string> prefixes;
  for (size_t size : sizes) prefixes.push_back(binary.substr(0, size));
  // Base64 bodies with line ends; quoted-printable ones with CR LF soft breaks and bytes that
  // stand for themselves.
  std::vector<std::string> oracle = runPython(
      "for l in lines:\n"
      "  b64 = base64.encodebytes(l)\n"
      "  qp = binascii.b2a_qp(l, istext=False).replace(b'=\\r\\n', b'=\\n')\n"
      "  qp = qp.replace(b'=\\n', b'=\\r\\n') + b'\\xe9\\0\\x80'\n"
      "  for body in (b64, base64.b64decode(b64), qp, quopri.decodestring(qp)):\n"
      "    print(body.hex())\n",
      prefixes);
  ASSERT_EQ(oracle.size(), 4 * sizes.size());
  struct Decoding {
    int64_t filter;
    size_t body;  // the body's place among each size's four answers; its decoding follows it
  };
  const Decoding decodings[] = {
      {0x100 | 0x3, 0}, {0x100 | 0x6000, 0}, {0x400 | 0x3, 2}, {0x400 | 0x6000, 2}};
  for (const Decoding& d : decodings) {
    for (size_t k = 0; k < sizes.size(); ++k) {
      const std::string& body = oracle[4 * k + d.body];
      const std::string& expected = oracle[4 * k + d.body + 1];
      const std::string file = write("body", body);
      SCOPED_TRACE(testing::Message()
                   << "filter 0x" << std::hex << d.filter << std::dec << " size " << sizes[k]);
      for (int64_t chunk : {0, 1, 2, 3, 5, 1000}) {
        if (chunk > 0 && chunk < 1000 && sizes[k] > 600) continue;
        SCOPED_TRACE(testing::Message() << "chunk " << chunk);
        EXPECT_TRUE(sentThrough([&](int64_t id) { return sendFile(id, file, d.filter, chunk); }) ==
                    expected);
      }
      EXPECT_TRUE(sentThrough([&](int64_t id) { return sendBlob(id, body, d.filter); }) ==
                  expected);
      int64_t id = connect({"send", file, "fin"});
      EXPECT_EQ(receiveFile(id, path("decoded"), d.filter), -1);  // the peer's close ends it
      EXPECT_TRUE(read(path("decoded")) == expected);
      EXPECT_TRUE(peer->finish());
      id = connect({"send", file, "fin"});
      Outcome received = receiveBlob(id, blob(""), 0, d.filter, 0, "", -1);
      EXPECT_EQ(received.number(), static_cast<int64_t>(expected.size()));
      EXPECT_TRUE(received.blob(2).bytes == expected);
      EXPECT_TRUE(peer->finish());
    }
  }
}

TEST_F(FileTransfersTest, TheUTF8CutOnSendAndOnReceive) {
  // A two-byte character across the first chunk's end: converted whole, never as two halves.
  std::string text = std::string(32767, 'a') + "\xc3\xa9" + std::string(10000, 'b');
  std::string latin = std::string(32767, 'a') + "\xe9" + std::string(10000, 'b');
  EXPECT_TRUE(sentThrough([&](int64_t id) { return sendBlob(id, text, 0x1000 | 0x1); }) == latin);
  EXPECT_TRUE(sentThrough([&](int64_t id) {
                return sendFile(id, write("cut", text), 0x1000 | 0x1);
              }) == latin);
  // The stream's first chunk ends inside the character; its other byte comes later.
  const std::string first = std::string(1000, 'a') + "\xc3";
  const std::string second = "\xa9" + std::string(10000, 'b');
  const std::string whole = std::string(1000, 'a') + "\xe9" + std::string(10000, 'b');
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "file" : "blob");
    int64_t id = goAhead(first, second);
    if (toFile) {
      EXPECT_EQ(receiveFile(id, path("latin"), 0x1000 | 0x1), -1);  // the peer's close ends it
      EXPECT_TRUE(read(path("latin")) == whole);
    } else {
      Outcome received = receiveBlob(id, blob(""), 0, 0x1000 | 0x1, 0, "", -1);
      EXPECT_EQ(received.number(), static_cast<int64_t>(whole.size()));
      EXPECT_TRUE(received.blob(2).bytes == whole);
    }
    EXPECT_TRUE(peer->finish());
  }
}

TEST_F(FileTransfersTest, FiltersWithTextBitsAndNoCharacterSetAnswerMinus7) {
  const std::string file = write("f", "abc");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0x4); }, -7), "");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, "abc", 0x80); }, -7), "");
  int64_t id = connect({"send", file, "fin"});
  ASSERT_TRUE(awaitAvailable(id, 3));
  EXPECT_EQ(receiveFile(id, path("not-made"), 0x100, kKeepStream), -7);
  EXPECT_FALSE(std::ifstream(path("not-made")).good());
  EXPECT_EQ(receiveBlob(id, blob("kept"), 0, 0x400, kKeepStream, "", 0).number(), -7);
  // Nothing was taken from the stream.
  Outcome rest = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
  EXPECT_EQ(rest.blob(2).bytes, "abc");
  EXPECT_TRUE(peer->finish());
}

// ---- ZUV_TCPSendFile ---------------------------------------------------------------------------

struct RangeCase {
  int64_t first;
  int64_t last;
  size_t from;
  size_t count;
};

TEST_F(FileTransfersTest, SendFileRangesOfTheDataFork) {
  const std::string bytes = pattern(300000);
  const std::string file = write("data", bytes);
  const RangeCase cases[] = {
      {0, 0, 0, bytes.size()}, {10, 10, 10, 1},
      {10, 20, 10, 11},        {static_cast<int64_t>(bytes.size()) + 5, 0, bytes.size() - 1, 1},
      {-5, 99, 0, 100},        {131072, 131072 * 2, 131072, 131073},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << ".." << c.last);
    EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, 0, c.first, c.last); }),
              bytes.substr(c.from, c.count));
  }
  const std::string small = write("small", "xyz");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, small, 0, 0, 0, 5); }), "xyz");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, small, 0, 1, 0, 0); }), "xyz");
}

TEST_F(FileTransfersTest, AResourceForkIsSentFromItsSidecar) {
  const std::string fork = pattern(100000, 7);
  const std::string file = write("forked", "data fork");
  ASSERT_EQ(platform::setAttribute(file.c_str(), platform::kResourceForkAttr, fork.data(),
                                   fork.size(), 0),
            0);
  for (int64_t chunk : {0, 10000, 32768}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, chunk, 0, 0, 1); }), fork);
  }
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, 7, 50000, 50010, 1); }),
            fork.substr(50000, 11));
  // A file without a resource fork sends nothing and answers 0.
  EXPECT_EQ(
      sentThrough([&](int64_t id) { return sendFile(id, write("plain", "x"), 0, 0, 0, 0, 1); }),
      "");
}

TEST_F(FileTransfersTest, AResourceForkThatShrinksDuringTheSendEndsItWithMinus7) {
  const std::string fork = pattern(100000, 3);
  const std::string file = write("shrinking", "data");
  ASSERT_EQ(platform::setAttribute(file.c_str(), platform::kResourceForkAttr, fork.data(),
                                   fork.size(), 0),
            0);
  // While the first chunk goes out, the fork is replaced by a shorter one: the second read
  // gets fewer bytes than it asked for, and none of the buffer's other bytes are sent.
  emu.onYield(1, 1, [&] {
    platform::setAttribute(file.c_str(), platform::kResourceForkAttr, fork.data(), 15000, 0);
  });
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, 10000, 0, 0, 1); }, -7),
            fork.substr(0, 10000));
}

TEST_F(FileTransfersTest, BytesABlobHasNoRoomForStayInTheStream) {
  int64_t id = connect({"send", write("source", "abcdefghijklmnopqrstuvwxyz"), "fin"});
  ASSERT_TRUE(awaitAvailable(id, 26));
  emu.capHandleSize(110);
  Outcome full = receiveBlob(id, blob(std::string(100, 'x')), 0, 0, 0x1 | kKeepStream, "", -1);
  EXPECT_EQ(full.number(), 0);
  EXPECT_EQ(full.blob(2).bytes, std::string(100, 'x'));
  emu.capHandleSize(-1);
  Outcome rest = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
  EXPECT_EQ(rest.blob(2).bytes, "abcdefghijklmnopqrstuvwxyz");
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, SendFileCodes) {
  const std::string file = write("f", "abcdef");
  EXPECT_EQ(sendFile(0, file), -1);
  EXPECT_EQ(sendFile(1023, file), -1);
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, ""); }, -1), "");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, path("missing")); }, 2), "");
  // A negative last byte would read before the fork.
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, 0, 0, -1); }, -1), "");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file, 0, 0, 0, -3, 1); }, -1), "");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, write("empty", "")); }), "");
  ::chmod(file.c_str(), 0);
  if (::access(file.c_str(), R_OK) != 0) {
    EXPECT_EQ(sentThrough([&](int64_t id) { return sendFile(id, file); }, -2), "");
  }
}

TEST_F(FileTransfersTest, ASendToAPeerThatHasClosedAnswersItsStatus) {
  int64_t id = connect({"fin-then-receive", path("got")});
  ASSERT_TRUE(peers::await([&] { return status(id) == 14; }));
  const std::string bytes = pattern(50000);
  EXPECT_EQ(sendFile(id, write("f", bytes), 0, 1000), 14);
  release(id);
  ASSERT_TRUE(peer->finish());
  EXPECT_EQ(read(path("got")), bytes.substr(0, 1000));
}

// ---- ZUV_TCPReceiveFile -----------------------------------------------------------------------

TEST_F(FileTransfersTest, ReceiveFileEndsAtTheCountAndLeavesTheRest) {
  int64_t id = connect({"send", write("source", pattern(1500)), "fin"});
  ASSERT_TRUE(awaitAvailable(id, 1500));
  EXPECT_EQ(receiveFile(id, path("first"), 0, kKeepStream, 0, 1000), 0);
  EXPECT_EQ(read(path("first")), pattern(1500).substr(0, 1000));
  // Appending takes the rest, and the peer's close ends it.
  write("first", "prefix");
  EXPECT_EQ(receiveFile(id, path("first"), 0, 0x1 | kKeepStream), -1);
  EXPECT_EQ(read(path("first")), "prefix" + pattern(1500).substr(1000));
  release(id);
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, ReceiveFileReleasesTheStreamUnlessAskedToKeepIt) {
  int64_t id = connect({"send", write("source", "abc"), "fin"});
  EXPECT_EQ(receiveFile(id, "", 0, kKeepStream), -1);
  EXPECT_EQ(status(id), 8);
  // "wb" empties an existing file even when the command then fails.
  write("emptied", "old");
  EXPECT_EQ(receiveFile(id, path("emptied"), 0x4, kKeepStream), -7);
  EXPECT_EQ(read(path("emptied")), "old");
  EXPECT_EQ(receiveFile(id, path("no/such/folder/x"), 0, kKeepStream), ENOENT);
  // The kept stream still holds every byte. Reading them up to the peer's close also waits for
  // the peer's half-close: a release before it would reset the connection under the peer's
  // shutdown.
  EXPECT_EQ(receiveFile(id, path("kept"), 0, kKeepStream), -1);
  EXPECT_EQ(read(path("kept")), "abc");
  EXPECT_EQ(receiveFile(id, ""), -1);
  EXPECT_EQ(status(id), -1);  // released
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, ADeadlineEndsAReceiveWithItsLastCharacterWritten) {
  // The last character is held back at each cut; at the deadline a released stream would take
  // it along, so the file gets it.
  const std::string text = "abc\xc3\xa9";
  int64_t id = connect({"send", write("source", text), "go-reset"});
  ASSERT_TRUE(awaitAvailable(id, 5));
  EXPECT_EQ(receiveFile(id, path("got"), 0x1000 | 0x800, 0, 1), 0);
  EXPECT_EQ(read(path("got")), text);
  EXPECT_TRUE(peer->finish());
  int64_t second = connect({"send", path("source"), "go-reset"});
  ASSERT_TRUE(awaitAvailable(second, 5));
  Outcome blobbed = receiveBlob(second, blob(""), 0, 0x1000 | 0x800, 0, "", 30);
  EXPECT_EQ(blobbed.blob(2).bytes, text);
  EXPECT_TRUE(peer->finish());
}

// ---- Peers that end mid-transfer ----------------------------------------------------------------

TEST_F(FileTransfersTest, APeerThatClosesOrResetsMidTransferLosesNothingThatArrived) {
  // No more than the stream's socket takes in before it is read.
  const std::string bytes = pattern(4000);
  for (const char* ending : {"close", "go-reset"}) {
    SCOPED_TRACE(ending);
    int64_t id = connect({"send", write("source", bytes), ending});
    ASSERT_TRUE(awaitAvailable(id, static_cast<int64_t>(bytes.size())));
    run("ZUV_TCPSend", {num(id), txt("g"), num(0), num(0)});
    EXPECT_EQ(receiveFile(id, path("got"), 0, kKeepStream), -1);
    EXPECT_EQ(read(path("got")), bytes);
    Outcome more = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
    EXPECT_EQ(more.blob(2).bytes, "");
    EXPECT_TRUE(peer->finish());
  }
  int64_t id = connect({"send", write("source", bytes), "go-reset"});
  ASSERT_TRUE(awaitAvailable(id, static_cast<int64_t>(bytes.size())));
  run("ZUV_TCPSend", {num(id), txt("g"), num(0), num(0)});
  Outcome all = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
  EXPECT_EQ(all.number(), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(all.blob(2).bytes, bytes);
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, SendsToAPeerThatResetsEndWithAFailure) {
  const std::string bytes = pattern(8 << 20);
  const std::string file = write("big", bytes);
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "file" : "blob");
    int64_t id = connect({"reset-after", "100000"});
    int64_t result = toFile ? sendFile(id, file) : sendBlob(id, bytes);
    EXPECT_NE(result, 0);
    EXPECT_TRUE(peer->finish());
    release(id);
  }
}

// ---- ZUV_TCPReceiveBlob
// --------------------------------------------------------------------------

TEST_F(FileTransfersTest, ADelimiterAcrossTwoChunks) {
  for (int64_t flags : {kKeepStream, kKeepStream | 0x8}) {
    SCOPED_TRACE(flags);
    int64_t id = goAhead(std::string(1000, 'a') + "\r", "\ntail");
    Outcome line = receiveBlob(id, noHandleBlob(), 0, 0, flags, "\r\n", -1);
    const std::string expected = std::string(1000, 'a') + ((flags & 0x8) != 0 ? "" : "\r\n");
    EXPECT_EQ(line.number(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(line.blob(2).bytes, expected);
    Outcome tail = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
    EXPECT_EQ(tail.blob(2).bytes, "tail");
    EXPECT_TRUE(peer->finish());
  }
}

// A BLOB holds binary data: its receive finds the delimiter in every byte received, as
// bytes.find does, and the bytes after it stay in the stream.
TEST_F(FileTransfersTest, ABlobReceiveFindsItsDelimiterInEveryByteReceived) {
  const std::vector<std::string> bodies = {
      std::string("x\0yz\r\nrest-of-stream", 20),
      std::string("\0\0\r\n\0", 5),
      std::string("ab\0\r\0\nc\r\nd", 11),
      std::string(40000, 'a') + std::string("\0\r\ntail", 7),
      std::string("no delimiter\0 here", 18),
  };
  std::vector<std::string> found =
      runPython("for l in lines: print(str(l.find(b'\\r\\n')).encode().hex())\n", bodies);
  ASSERT_EQ(found.size(), bodies.size());
  for (size_t i = 0; i < bodies.size(); ++i) {
    const std::string& body = bodies[i];
    const int64_t at = std::atoll(found[i].c_str());
    const size_t end = at < 0 ? body.size() : static_cast<size_t>(at) + 2;
    SCOPED_TRACE(testing::Message() << "body " << i << ", delimiter at " << at);
    int64_t id = connect({"send", write("body", body), "fin"});
    Outcome line = receiveBlob(id, blob(""), 0, 0, kKeepStream, "\r\n", -1);
    EXPECT_EQ(line.number(), static_cast<int64_t>(end));
    EXPECT_TRUE(line.blob(2).bytes == body.substr(0, end));
    Outcome rest = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
    EXPECT_TRUE(rest.blob(2).bytes == body.substr(end));
    EXPECT_TRUE(peer->finish());
  }
}

// Under filter 0 a BLOB receive's delimiter is Mac OS Roman; a delimiter that its character set
// cannot hold exactly is refused with -8, as is a text receive's: nothing is received.
TEST_F(FileTransfersTest, ADelimiterMustConvertExactlyIntoItsCharacterSet) {
  int64_t id = connect({"send", write("body", "caf\x8e?|caf\xc3\xa9|rest"), "fin"});
  ASSERT_TRUE(awaitAvailable(id, 16));
  Outcome roman = receiveBlob(id, blob(""), 0, 0, kKeepStream, "\xc3\xa9", -1);
  EXPECT_EQ(roman.number(), 4);
  EXPECT_EQ(roman.blob(2).bytes, "caf\x8e");
  struct Refused {
    int64_t filter;
    const char* delimiter;
  };
  for (const Refused& r : {Refused{0, "\xe4\xb8\xad"}, Refused{0x1001, "\xe2\x82\xac"},
                           Refused{0x6000, "\xe4\xb8\xad"}}) {
    SCOPED_TRACE(r.filter);
    Outcome refused = receiveBlob(id, blob("kept"), 0, r.filter, kKeepStream, r.delimiter, -1);
    EXPECT_EQ(refused.number(), -8);
    EXPECT_EQ(refused.blob(2).bytes, "kept");
  }
  // A host that refuses the way back, which shows a delimiter exact, answers -1, not -8.
  emu.refuse(host::Refusal::Conversion, 2);
  Outcome unchecked = receiveBlob(id, blob("kept"), 0, 0, kKeepStream, "|", -1);
  EXPECT_EQ(unchecked.number(), -1);
  EXPECT_EQ(unchecked.blob(2).bytes, "kept");
  Outcome text = run("ZUV_TCPReceive", {num(id), txt("kept"), num(0), num(0x4000), num(0),
                                        txt("\xe4\xb8\xad"), num(-1)});
  EXPECT_EQ(text.number(), -8);
  EXPECT_EQ(host::utf8(text.text(2)), "kept");
  Outcome rest = receiveBlob(id, blob(""), 0, 0, 0, "", -1);
  EXPECT_EQ(rest.blob(2).bytes, "?|caf\xc3\xa9|rest");
  EXPECT_TRUE(peer->finish());
}

// A UTF-8 character that a limit cuts stays whole in the stream for the next receive, as a text
// receive leaves it, converted or not.
TEST_F(FileTransfersTest, ACharacterCutByALimitStaysWholeInTheStream) {
  const std::string body = "ab\xc3\xa9-rest";
  const std::string file = write("body", body);
  int64_t id = connect({"send", file, "fin"});
  ASSERT_TRUE(awaitAvailable(id, 9));
  Outcome two = receiveBlob(id, blob(""), 3, 0x1001, kKeepStream, "", -1);
  EXPECT_EQ(two.number(), 2);
  EXPECT_EQ(two.blob(2).bytes, "ab");
  EXPECT_EQ(receiveBlob(id, blob(""), 0, 0x1001, 0, "", -1).blob(2).bytes, "\xe9-rest");
  EXPECT_TRUE(peer->finish());
  id = connect({"send", file, "fin"});
  ASSERT_TRUE(awaitAvailable(id, 9));
  Outcome raw = receiveBlob(id, blob(""), 3, 0x800, kKeepStream, "", -1);
  EXPECT_EQ(raw.blob(2).bytes, "ab");
  EXPECT_EQ(receiveFile(id, path("counted"), 0x1001, kKeepStream, 0, 1), 0);
  EXPECT_EQ(read(path("counted")), "");
  EXPECT_EQ(receiveFile(id, path("counted"), 0x800, kKeepStream, 0, 3), 0);
  EXPECT_EQ(read(path("counted")), "\xc3\xa9-");
  EXPECT_EQ(receiveBlob(id, blob(""), 0, 0, 0, "", -1).blob(2).bytes, "rest");
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, ReceiveBlobAppendsLimitsAndSearchesEarlierContents) {
  int64_t id = connect({"send", write("source", "abc\r\ndef"), "fin"});
  ASSERT_TRUE(awaitAvailable(id, 8));
  // A limit already reached in append mode: nothing received.
  EXPECT_EQ(receiveBlob(id, blob(std::string(150, 'x')), 100, 0, 0x1 | kKeepStream, "", 0).number(),
            0);
  // Without append the BLOB starts empty.
  Outcome two = receiveBlob(id, blob(std::string(100, 'x')), 2, 0, kKeepStream, "", 0);
  EXPECT_EQ(two.number(), 2);
  EXPECT_EQ(two.blob(2).bytes, "ab");
  // Earlier contents holding the delimiter cut at the first pass that brings bytes.
  Outcome cut = receiveBlob(id, blob("12\r\n34"), 0, 0, 0x1 | kKeepStream, "\r\n", -1);
  EXPECT_EQ(cut.number(), -2);
  EXPECT_EQ(cut.blob(2).bytes, "12\r\n");
  // What came after it went back: "34c" then the rest.
  Outcome rest = receiveBlob(id, blob(""), 0, 0, 0x4 | kKeepStream, "\r\n", -1);
  EXPECT_EQ(rest.blob(2).bytes, "34c\r\n");
  release(id);
  EXPECT_TRUE(peer->finish());
}

TEST_F(FileTransfersTest, ATimeOutOfZeroEndsAtTheFirstPassThatBringsNothing) {
  int64_t id = connect({"send", write("source", ""), "go-reset"});
  Outcome nothing = receiveBlob(id, blob("old"), 0, 0, 0x1 | kKeepStream, "", 0);
  EXPECT_EQ(nothing.number(), 0);
  EXPECT_EQ(nothing.blob(2).bytes, "old");
  EXPECT_EQ(receiveBlob(0, blob(""), 0, 0, 0, "", 0).number(), -1);
  release(id);
}

// ---- ZUV_TCPSendBlob and ZUV_TCPSendPicture ----------------------------------------------------

TEST_F(FileTransfersTest, SendBlobRangesAndCodes) {
  const std::string bytes = pattern(40000);
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, bytes); }), bytes);
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, bytes, 0, 39990, 0); }),
            bytes.substr(39990));
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, bytes, 0, -4, 3); }),
            bytes.substr(0, 4));
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, bytes, 0, 0, -2); }, -1), "");
  EXPECT_EQ(sentThrough([&](int64_t id) { return sendBlob(id, ""); }), "");
  EXPECT_EQ(sendBlob(0, bytes), -1);
}

Picture pictureOf(std::vector<std::pair<std::string, std::string>> formats) {
  Picture picture;
  for (auto& [type, bytes] : formats) picture.formats.push_back({type, bytes});
  return picture;
}

TEST_F(FileTransfersTest, SendPictureSendsTheFirstGifJpegOrPngData) {
  const std::string png = "\x89PNG" + pattern(70000 - 4);
  const Picture picture =
      pictureOf({{".pict;image/pict", "old"}, {".tif;image/tiff", "tif"}, {".png;image/png", png}});
  auto sendPicture = [&](const Picture& p, int64_t first, int64_t last) {
    return [&, first, last](int64_t id) {
      return run("ZUV_TCPSendPicture", {num(id), p, num(first), num(last)}).number();
    };
  };
  EXPECT_EQ(sentThrough(sendPicture(picture, 0, 0)), png);
  EXPECT_EQ(sentThrough(sendPicture(picture, 100, 199)), png.substr(100, 100));
  // The range stays inside the data.
  EXPECT_EQ(sentThrough(sendPicture(picture, -10, 100000)), png);
  EXPECT_EQ(sentThrough(sendPicture(picture, 69999, 0)), "");
  EXPECT_EQ(sentThrough(sendPicture(picture, 5, 5), -1), "");
  EXPECT_EQ(sentThrough(sendPicture(pictureOf({{".pict;image/pict", "old"}}), 0, 0), -1), "");
  Picture none;
  none.null = true;
  EXPECT_EQ(sentThrough(sendPicture(none, 0, 0), -1), "");
  const std::string gif = "GIF89a" + pattern(10);
  EXPECT_EQ(
      sentThrough(sendPicture(pictureOf({{".gif;image/gif", gif}, {".png;image/png", png}}), 0, 0)),
      gif);
}

}  // namespace
}  // namespace zuvtest
