// The stream record: its making and its one release, the counters and the small queries of a
// stream, the network layer's start and end, and the clocks of the network layer.

#include "network/tcp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp_internal.h"
#include "platform/platform.h"

static_assert(OPENSSL_VERSION_NUMBER >= 0x30000000L, "the network layer needs OpenSSL 3");

uint32_t gTCPStats[7];
uint32_t gLocalIP;

namespace tcp {

namespace {

// The socket buffers are clamped to this range: below 4096 bytes a stream crawls, above 32768
// it would hold more unsent bytes than a piece.
constexpr int32_t kMinBuffer = 4096;
constexpr int32_t kMaxBuffer = 32768;

std::atomic<int64_t> sClockOffset{0};

// Every record made and not yet released, so that a second release of one is refused instead of
// freeing it twice. No lock: the host runs one call at a time, and a record leaves this set before
// its release yields.
std::unordered_set<const TCPGlob*> sLiveRecords;
testing::FaultReport sFaultReport = nullptr;

std::string addressOf(const void* record) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", record);
  return text;
}

void setIntOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

void freeTLSObjects(TCPGlob* stream, int32_t mode) {
  if (stream->ssl != nullptr) {
    StreamGuard guard(stream);
    if (mode >= 0) sendCloseNotification(stream);
    TLSGuard tls(stream);
    stream->ssl.reset();
  }
  stream->ctx.reset();
}

}  // namespace

void count(Counter counter, uint64_t amount) {
  gTCPStats[counter] += static_cast<uint32_t>(amount);
}

TCPGlob* createGlob(int32_t bufferSize) {
  unique_fd fd(platform::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (fd.get() < 0) return nullptr;
  TCPGlob* stream = newRecord();
  if (stream == nullptr) return nullptr;
  int32_t size = std::clamp(bufferSize, kMinBuffer, kMaxBuffer);
  setIntOption(fd.get(), SOL_SOCKET, SO_SNDBUF, size);
  setIntOption(fd.get(), SOL_SOCKET, SO_RCVBUF, size);
  setIntOption(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  setIntOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  stream->sock = std::move(fd);
  stream->pushBack.reset(PA_NewHandle(0));
  return stream;
}

int32_t getGlobalInfo(int64_t selector) {
  if (selector == kInfoCapacity) return 1024;
  if (selector < kInfoOpens || selector > kInfoSocketBytesSent) return 0;
  return asInt32(gTCPStats[selector - kInfoOpens]);
}

int32_t getStreamInfo(TCPGlob* stream, int32_t& localAddress, int16_t& localPort,
                      int32_t& remoteAddress, int16_t& remotePort) {
  if (stream == nullptr) return -1;
  int32_t current = mapStatus(stream, kPollOnly);
  sockaddr_in local{};
  sockaddr_in remote{};
  socklen_t length = sizeof local;
  getsockname(stream->sock.get(), reinterpret_cast<sockaddr*>(&local), &length);
  if (current != kStreamNotConnected && current != kStreamListening) {
    length = sizeof remote;
    getpeername(stream->sock.get(), reinterpret_cast<sockaddr*>(&remote), &length);
  }
  localAddress = asInt32(ntohl(local.sin_addr.s_addr));
  localPort = static_cast<int16_t>(ntohs(local.sin_port));
  remoteAddress = asInt32(ntohl(remote.sin_addr.s_addr));
  remotePort = static_cast<int16_t>(ntohs(remote.sin_port));
  return 0;
}

int32_t setTimeout(TCPGlob* stream, int32_t seconds) {
  if (seconds >= 0) stream->timeout = seconds;
  return stream->timeout;
}

int32_t init() {
  clearListeningSlots();
  std::fill(std::begin(gTCPStats), std::end(gTCPStats), 0u);
  OPENSSL_init_ssl(0, nullptr);
  randAdd();
  return 0;
}

void deinit() {
  freeTLSState();
  closeListeningSlots();
}

void randAdd() {
  clock_t cpu = clock();
  RAND_add(&cpu, sizeof cpu, 64.0);
  time_t now = time(nullptr);
  struct tm broken {};
  gmtime_r(&now, &broken);
  RAND_add(&broken, sizeof broken, 448.0);
  pid_t pid = getpid();
  RAND_add(&pid, sizeof pid, 32.0);
  uint32_t pages = platform::freePageCount();
  RAND_add(&pages, sizeof pages, 32.0);
  pages = platform::totalPageCount();
  RAND_add(&pages, sizeof pages, 32.0);
}

int unique_fd::close() {
  int fd = std::exchange(fd_, -1);
  return fd >= 0 ? ::close(fd) : 0;
}

TCPGlob* newRecord() {
  std::unique_ptr<TCPGlob> stream(new (std::nothrow) TCPGlob);
  if (stream == nullptr) return nullptr;
  try {
    sLiveRecords.insert(stream.get());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return stream.release();
}

// A stream that holds a listening slot leaves it and never closes the slot's socket, whatever
// its status.
int releaseRecord(TCPGlob* stream, int32_t mode) {
  if (stream == nullptr) return 0;
  // A record released before is freed memory: reading or freeing it again would corrupt the
  // host's heap, so it is not touched at all.
  if (sLiveRecords.erase(stream) == 0) {
    if (sFaultReport != nullptr) {
      sFaultReport("the network layer: a release of the stream record at " + addressOf(stream) +
                   ", which was released before or never made; nothing was freed");
    }
    return EINVAL;
  }
  stream->pushBack.reset();
  freeTLSObjects(stream, mode);
  if (stream->status == kStreamListening) count(kListenersReleased);
  if (stream->listenSlot != 0) removeListener(stream, mode);
  int result = stream->sock.close() == 0 ? 0 : errno;
  delete stream;
  return result;
}

// Frees the record in every case; answers -1 when closing its socket failed.
int32_t release(TCPGlob* stream, int32_t mode) { return releaseRecord(stream, mode) == 0 ? 0 : -1; }

// ---- Clocks ------------------------------------------------------------------------------------

std::chrono::steady_clock::time_point steadyNow() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(sClockOffset.load());
}

time_t wallNow() { return time(nullptr) + static_cast<time_t>(sClockOffset.load()); }

namespace testing {
void advanceClocks(int64_t seconds) { sClockOffset += seconds; }
void resetClocks() { sClockOffset = 0; }
void setFaultReport(FaultReport report) { sFaultReport = report; }
}  // namespace testing

}  // namespace tcp
