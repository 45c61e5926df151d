// The network layer's own rules, called directly where the commands would hide them: the
// push-back order, the buffered send modes, the socket buffer clamp, a listening stream whose
// shared socket must see no call, UDP datagrams up to 2048 bytes and the cut above, and the
// deadlines. Peers are real sockets on loopback inside the binary's own network namespace.

#include "network/tcp.h"

#include <atomic>
#include <random>
#include <string>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "network/tcp_internal.h"
#include "peers/peers.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

const bool kIsolated = peers::isolated();

class TcpTest : public PluginTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
  }

  // Runs fn in process 1, where host calls are allowed.
  template <typename Fn>
  void inHost(Fn fn) {
    emu.run(1, fn);
  }

  static std::string bytesOf(HostHandle handle) {
    if (handle == nullptr) return {};
    return std::string(*handle, static_cast<size_t>(PA_GetHandleSize(handle)));
  }

  tcp::TCPGlob* connectTo(int16_t port, int32_t bufferSize = 0) {
    tcp::TCPGlob* stream = nullptr;
    inHost([&] {
      PA_Unistring host = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"127.0.0.1"));
      stream = tcp::open(host, port, bufferSize, 0, 0, 0);
      PA_DisposeUnistring(&host);
    });
    if (stream != nullptr) {
      peers::await([&] {
        int32_t now = 0;
        inHost([&] { now = tcp::mapStatus(stream, 0); });
        return now == kStreamEstablished;
      });
    }
    return stream;
  }
  void release(tcp::TCPGlob* stream) {
    inHost([&] { EXPECT_EQ(tcp::release(stream, 0), 0); });
  }
};

TEST_F(TcpTest, PushBackIsServedFirstInItsOrder) {
  inHost([&] {
    tcp::TCPGlob* stream = tcp::createGlob(0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(tcp::unreceive(stream, "ghij", 4, false), 4);
    EXPECT_EQ(tcp::unreceive(stream, "abcdef", 6, true), 10);
    EXPECT_EQ(tcp::unreceive(stream, "xyz", 0, true), 10);
    EXPECT_EQ(tcp::charsReceived(stream), 10);
    HostHandle handle = nullptr;
    EXPECT_EQ(tcp::receive(stream, handle, 4), 4);
    EXPECT_EQ(bytesOf(handle), "abcd");
    // The rest comes in the push-back's own handle, which leaves the stream.
    EXPECT_EQ(tcp::receive(stream, handle, 0), 6);
    EXPECT_EQ(bytesOf(handle), "efghij");
    EXPECT_EQ(stream->pushBack.get(), nullptr);
    PA_DisposeHandle(handle);
    EXPECT_EQ(tcp::unreceive(stream, "k", 1, true), 1);
    EXPECT_EQ(tcp::release(stream, 0), 0);
  });
}

// Receives take their bytes from the push-back's start without moving the rest; bytes put back
// in front or behind meanwhile keep the order a plain string would keep.
TEST_F(TcpTest, PushBackServedFromItsStartKeepsEveryByteInOrder) {
  inHost([&] {
    tcp::TCPGlob* stream = tcp::createGlob(0);
    ASSERT_NE(stream, nullptr);
    std::string model(65536, '\0');
    for (size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>('a' + i % 23);
    ASSERT_EQ(tcp::unreceive(stream, model.data(), static_cast<int32_t>(model.size()), false),
              65536);
    HostHandle handle = nullptr;
    ASSERT_EQ(tcp::receive(stream, handle, 100), 100);
    EXPECT_EQ(bytesOf(handle), model.substr(0, 100));
    model.erase(0, 100);
    // Nothing moved: the rest is still where it was put.
    EXPECT_EQ(PA_GetHandleSize(stream->pushBack.get()), 65536);
    EXPECT_EQ(tcp::charsReceived(stream), 65436);

    std::mt19937 random(1912);
    for (int step = 0; step < 1000; ++step) {
      SCOPED_TRACE(step);
      int32_t n = static_cast<int32_t>(random() % 300);
      switch (random() % 4) {
        case 0:
        case 1: {
          // An empty push-back would send the receive to the socket, which has no peer.
          if (model.empty()) break;
          int32_t max = random() % 8 == 0 ? 0 : n;
          int32_t expected = static_cast<int32_t>(
              std::min<size_t>(model.size(), max > 0 ? static_cast<size_t>(max) : 32768));
          ASSERT_EQ(tcp::receive(stream, handle, max), expected);
          ASSERT_EQ(bytesOf(handle), model.substr(0, static_cast<size_t>(expected)));
          model.erase(0, static_cast<size_t>(expected));
          break;
        }
        default: {
          bool atFront = random() % 3 != 0;
          std::string bytes(static_cast<size_t>(n), static_cast<char>('A' + step % 26));
          int32_t size = tcp::unreceive(stream, bytes.data(), n, atFront);
          model.insert(atFront ? 0 : model.size(), bytes);
          ASSERT_EQ(size, static_cast<int32_t>(model.size()));
        }
      }
      ASSERT_EQ(tcp::charsReceived(stream), static_cast<int32_t>(model.size()));
    }
    if (handle != nullptr) PA_DisposeHandle(handle);
    EXPECT_EQ(tcp::release(stream, 0), 0);
  });
}

TEST_F(TcpTest, SocketBuffersAreClampedTo4096Through32768) {
  for (auto [askedSize, keptSize] : {std::pair{100, 4096}, {8000, 8000}, {1000000, 32768}}) {
    const int asked = askedSize;
    const int kept = keptSize;
    SCOPED_TRACE(asked);
    inHost([&] {
      tcp::TCPGlob* stream = tcp::createGlob(asked);
      ASSERT_NE(stream, nullptr);
      int size = 0;
      socklen_t length = sizeof size;
      getsockopt(stream->sock.get(), SOL_SOCKET, SO_SNDBUF, &size, &length);
      EXPECT_EQ(size, 2 * kept);  // Linux reports twice the size set
      getsockopt(stream->sock.get(), SOL_SOCKET, SO_RCVBUF, &size, &length);
      EXPECT_EQ(size, 2 * kept);
      EXPECT_EQ(tcp::release(stream, 0), 0);
    });
  }
}

TEST_F(TcpTest, BufferedSendsFollowTheirMode) {
  std::atomic<int64_t> received{0};
  peers::Peer peer(peers::counter(received));
  tcp::TCPGlob* stream = connectTo(peer.port());
  ASSERT_NE(stream, nullptr);
  std::string bytes(5000, 'b');
  inHost([&] {
    EXPECT_EQ(tcp::sendBuffered(stream, nullptr, 0, 0), 0);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 4000, 1), 4000);
    EXPECT_EQ(stream->rawBytesSent, 0);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 200, 1), 0);
    EXPECT_EQ(stream->rawBytesSent, 4200);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 999, 1000), 999);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 1, 1000), 0);
    EXPECT_EQ(stream->rawBytesSent, 5200);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 100, 300), 100);
    // Mode 0 sends what waited together with the new bytes.
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 50, 0), 0);
    EXPECT_EQ(stream->rawBytesSent, 5350);
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 10, 0), 0);
    EXPECT_TRUE(stream->sendBuffer.empty());
    // A receive flushes what waits first.
    EXPECT_EQ(tcp::sendBuffered(stream, bytes.data(), 40, 1), 40);
    HostHandle handle = nullptr;
    EXPECT_EQ(tcp::receive(stream, handle, 0), 0);
    if (handle != nullptr) PA_DisposeHandle(handle);
    EXPECT_EQ(stream->rawBytesSent, 5400);
    EXPECT_EQ(tcp::close(stream), 0);
  });
  EXPECT_TRUE(peers::await([&] { return received == 5400; }));
  release(stream);
}

TEST_F(TcpTest, ReceiveAfterThePeerClosedAnswers0AndRaisesTo14) {
  peers::Peer peer(peers::source("", peers::Ending::Fin));
  tcp::TCPGlob* stream = connectTo(peer.port());
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(peers::await([&] {
    int32_t n = -1;
    inHost([&] {
      HostHandle handle = nullptr;
      n = tcp::receive(stream, handle, 0);
      if (n == 0 && stream->status == kStreamPeerClosed) {
        EXPECT_EQ(PA_GetHandleSize(handle), 0);
      }
      if (handle != nullptr) PA_DisposeHandle(handle);
    });
    return stream->status == kStreamPeerClosed;
  }));
  inHost([&] {
    EXPECT_EQ(tcp::mapStatus(stream, kStreamClosing), kStreamClosed);
    EXPECT_EQ(tcp::mapStatus(stream, kStreamClosing), kStreamClosed);
  });
  release(stream);
}

// A listening stream's socket belongs to its slot, which other streams may share: sends,
// flushes and receives make no call on it, and a release never closes it.
TEST_F(TcpTest, AListeningStreamsSharedSocketSeesNoCall) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in local = peers::address(peers::kLoopback1, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  tcp::TCPGlob* stream = tcp::newRecord();
  ASSERT_NE(stream, nullptr);
  stream->sock.reset(listener);
  stream->status = kStreamListening;
  stream->listenSlot = 1;
  inHost([&] {
    EXPECT_EQ(tcp::send(stream, "x", 1, false), -1);
    EXPECT_EQ(tcp::sendBuffered(stream, "abc", 3, 0), -1);
    EXPECT_EQ(tcp::sendBuffered(stream, "abc", 3, 1), 3);
    EXPECT_EQ(tcp::flushSendBuffer(stream), -1);
    HostHandle handle = nullptr;
    EXPECT_EQ(tcp::receive(stream, handle, 0), 0);
    EXPECT_EQ(tcp::charsReceived(stream), 0);
    EXPECT_EQ(tcp::close(stream), 0);
    EXPECT_EQ(tcp::getStreamStatus(stream), kStreamListening);
    EXPECT_EQ(tcp::release(stream, 0), 0);
  });
  int listening = 0;
  socklen_t length = sizeof listening;
  EXPECT_EQ(getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length), 0);
  EXPECT_EQ(listening, 1);
  EXPECT_EQ(::close(listener), 0);
}

TEST_F(TcpTest, UDPDatagramsUpTo2048BytesAndTheCutAbove) {
  peers::UdpPeer peer;
  inHost([&] {
    tcp::TCPGlob* udp = tcp::createUDP(0);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(tcp::status(udp, 0), -1);
    EXPECT_EQ(tcp::getUDPMTUSize(), 576);
    uint16_t port = peers::localPort(udp->sock.get());
    HostHandle handle = PA_NewHandle(0);
    int32_t address = 0, from = 0;
    for (auto [sent, got] : {std::pair{2048, 2048}, {3000, 2048}, {0, 0}, {10, 10}}) {
      SCOPED_TRACE(sent);
      ASSERT_TRUE(peer.sendTo(port, std::string(sent, 'u')));
      EXPECT_EQ(tcp::receiveUDPBlob(udp, handle, address, from, 0), 0);
      EXPECT_EQ(bytesOf(handle), std::string(got, 'u'));
      EXPECT_EQ(address, static_cast<int32_t>(peers::kLoopback1));
      EXPECT_EQ(from, peer.port());
    }
    // Nothing comes within 6 ticks (100 ms).
    EXPECT_EQ(tcp::receiveUDPBlob(udp, handle, address, from, -6), -1);
    EXPECT_EQ(PA_GetHandleSize(handle), 0);
    EXPECT_EQ(address, 0);
    PA_DisposeHandle(handle);
    EXPECT_EQ(tcp::sendUDP(udp, "hi", 2, static_cast<int32_t>(peers::kLoopback1), peer.port()), 0);
    EXPECT_EQ(tcp::releaseUDP(udp), 0);
  });
  std::string datagram;
  EXPECT_TRUE(peer.receive(datagram));
  EXPECT_EQ(datagram, "hi");
}

TEST_F(TcpTest, UDPTextReceiveDecodesUTF8) {
  peers::UdpPeer peer;
  inHost([&] {
    tcp::TCPGlob* udp = tcp::createUDP(0);
    ASSERT_NE(udp, nullptr);
    ASSERT_TRUE(peer.sendTo(peers::localPort(udp->sock.get()), "caf\xC3\xA9"));
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"old"));
    int32_t address = 0, from = 0;
    EXPECT_EQ(tcp::receiveUDP(udp, &text, address, from, 0), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.fString), text.fLength),
              u"caf\u00E9");
    EXPECT_EQ(from, peer.port());
    PA_DisposeUnistring(&text);
    EXPECT_EQ(tcp::releaseUDP(udp), 0);
  });
}

TEST_F(TcpTest, UDPOnABoundPortMakesNoSocket) {
  peers::UdpPeer peer;
  int before = peers::openDescriptors();
  inHost([&] { EXPECT_EQ(tcp::createUDP(peer.port()), nullptr); });
  EXPECT_EQ(peers::openDescriptors(), before);
}

TEST_F(TcpTest, HostAddressesAreInNetworkOrder) {
  EXPECT_EQ(tcp::getHostAddress("127.0.0.1"), htonl(peers::kLoopback1));
  EXPECT_EQ(tcp::getHostAddress("::1"), 0u);
  EXPECT_EQ(tcp::getHostAddress("bad..name"), 0u);
  uint32_t self = tcp::getHostAddress("");
  EXPECT_EQ(gLocalIP, self);
  EXPECT_EQ(tcp::getHostAddress(nullptr), self);
}

TEST_F(TcpTest, ARequestToCloseRaisesButNeverLowers) {
  inHost([&] {
    tcp::TCPGlob* stream = tcp::createGlob(0);
    ASSERT_NE(stream, nullptr);
    stream->status = kStreamError;
    EXPECT_EQ(tcp::mapStatus(stream, kStreamClosing), kStreamError);
    stream->status = kStreamClosed;
    EXPECT_EQ(tcp::mapStatus(stream, kStreamClosing), kStreamClosed);
    EXPECT_EQ(tcp::mapStatus(nullptr, 0), -1);
    EXPECT_EQ(tcp::release(stream, 0), 0);
  });
}

TEST_F(TcpTest, WaitingBytesGoOutBeforeNewOnesThatWouldOverfillTheBuffer) {
  std::atomic<int64_t> received{0};
  peers::Peer peer(peers::counter(received));
  tcp::TCPGlob* stream = connectTo(peer.port());
  ASSERT_NE(stream, nullptr);
  inHost([&] {
    // Thirty thousand bytes wait; five thousand more would pass 32768 together.
    stream->sendBuffer.assign(30000, 'w');
    std::string more(5000, 'n');
    EXPECT_EQ(tcp::sendBuffered(stream, more.data(), 5000, 1), 0);
    EXPECT_EQ(stream->rawBytesSent, 35000);
    EXPECT_TRUE(stream->sendBuffer.empty());
  });
  EXPECT_TRUE(peers::await([&] { return received == 35000; }));
  release(stream);
}

TEST_F(TcpTest, APlainReceiveWithoutMaximumReadsAtMostOnePiece) {
  std::string bytes(100000, 'p');
  peers::Peer peer([&](int fd, peers::Peer& self) {
    peers::writeAll(fd, bytes);
    self.waitForStop();
  });
  tcp::TCPGlob* stream = connectTo(peer.port(), 32768);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(peers::await([&] {
    int32_t n = 0;
    inHost([&] { n = tcp::charsReceived(stream); });
    return n > 32768;
  }));
  inHost([&] {
    // The push-back is counted with the socket's bytes, and served first.
    int32_t before = tcp::charsReceived(stream);
    EXPECT_EQ(tcp::unreceive(stream, "ab", 2, true), 2);
    EXPECT_GE(tcp::charsReceived(stream), before + 2);
    HostHandle handle = nullptr;
    EXPECT_EQ(tcp::receive(stream, handle, 0), 2);
    EXPECT_EQ(bytesOf(handle), "ab");
    EXPECT_EQ(tcp::receive(stream, handle, 0), 32768);
    EXPECT_EQ(bytesOf(handle), std::string(32768, 'p'));
    PA_DisposeHandle(handle);
  });
  peer.stop();
  release(stream);
}

TEST_F(TcpTest, AnEmptyDatagramGivesAnEmptyTextAndItsSender) {
  peers::UdpPeer peer;
  inHost([&] {
    tcp::TCPGlob* udp = tcp::createUDP(0);
    ASSERT_NE(udp, nullptr);
    EXPECT_NE(peers::localPort(udp->sock.get()), 0);
    ASSERT_TRUE(peer.sendTo(peers::localPort(udp->sock.get()), ""));
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"old"));
    int32_t address = 0, from = 0;
    EXPECT_EQ(tcp::receiveUDP(udp, &text, address, from, 0), 0);
    EXPECT_EQ(text.fLength, 0);
    EXPECT_EQ(address, static_cast<int32_t>(peers::kLoopback1));
    EXPECT_EQ(from, peer.port());
    // Nothing within 6 ticks: empty, with no sender.
    EXPECT_EQ(tcp::receiveUDP(udp, &text, address, from, -6), -1);
    EXPECT_EQ(text.fLength, 0);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(from, 0);
    PA_DisposeUnistring(&text);
    EXPECT_EQ(tcp::releaseUDP(udp), 0);
  });
}

TEST_F(TcpTest, ADatagramToTheBroadcastAddressGoesToThisHost) {
  peers::UdpPeer peer;
  inHost([&] {
    tcp::TCPGlob* udp = tcp::createUDP(0);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(tcp::sendUDP(udp, "zero", 4, -1, peer.port()), 0);
    EXPECT_EQ(tcp::releaseUDP(udp), 0);
  });
  std::string datagram;
  EXPECT_TRUE(peer.receive(datagram));
  EXPECT_EQ(datagram, "zero");
}

// The stream commands take any id, so bytes may be pushed back into a UDP socket; its release
// frees them with the record.
TEST_F(TcpTest, AUDPReleaseFreesWhatWasPushedBackIntoIt) {
  inHost([&] {
    tcp::TCPGlob* udp = tcp::createUDP(0);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(tcp::unreceive(udp, "kept", 4, true), 4);
    EXPECT_EQ(tcp::releaseUDP(udp), 0);
  });
}

}  // namespace
}  // namespace zuvtest
