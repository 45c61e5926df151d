// UDP sockets (one datagram per call, received up to 2048 bytes) and IPv4 name resolution with
// the cached address of this host.

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "platform/platform.h"
#include "text/conversion.h"

namespace tcp {

namespace {

// A datagram longer than this is cut to its first 2048 bytes.
constexpr int32_t kDatagramBuffer = 2048;
// What 4D is told a datagram may safely hold; sends are not held to it.
constexpr int32_t kUDPMTUSize = 576;

using Deadline = std::chrono::steady_clock::time_point;

// Positive time-outs count seconds, negative ones ticks of 1/60 s, in 64 bits so that
// -2147483648 ticks is a deadline too; 0 waits without end.
bool deadlineFor(int32_t timeout, Deadline& deadline) {
  if (timeout == 0) return false;
  if (timeout > 0) {
    deadline = steadyNow() + std::chrono::seconds(timeout);
  } else {
    deadline = steadyNow() + std::chrono::milliseconds(-int64_t{timeout} * 50 / 3);
  }
  return true;
}

// How long a receive that found no datagram sleeps on its socket before it looks again: a
// datagram that comes wakes it at once, and the host gets its turn every millisecond.
constexpr int kDatagramWait = 1;

// Receives one datagram into `bytes`, yielding once (delay(-1)) after every empty poll and then
// sleeping on the socket until a datagram comes, for at most kDatagramWait; answers its length,
// or -1 on time-out or a socket error.
long receiveDatagram(TCPGlob* stream, char* bytes, sockaddr_in& sender, int32_t timeout) {
  Deadline deadline;
  bool timed = deadlineFor(timeout, deadline);
  for (;;) {
    socklen_t length = sizeof sender;
    long got = recvfrom(stream->sock.get(), bytes, kDatagramBuffer, 0,
                        reinterpret_cast<sockaddr*>(&sender), &length);
    if (got >= 0) return got;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    delay(-1);
    if (timed && steadyNow() >= deadline) return -1;
    platform::waitReadable(stream->sock.get(), kDatagramWait);
  }
}

void fillSender(const sockaddr_in& sender, int32_t& address, int32_t& port) {
  address = static_cast<int32_t>(ntohl(sender.sin_addr.s_addr));
  port = ntohs(sender.sin_port);
}

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

uint32_t lookUp(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return 0;
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      return reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
    }
  }
  return 0;
}

}  // namespace

// Answers null, keeping no socket, when the record, the socket or the bind fails.
TCPGlob* createUDP(int32_t port) {
  unique_fd fd(platform::openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (fd.get() < 0) return nullptr;
  int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return nullptr;
  TCPGlob* stream = newRecord();
  if (stream == nullptr) return nullptr;
  stream->kind = kKindUDP;
  stream->sock = std::move(fd);
  return stream;
}

// Answers 0, or the errno of the failed close; the record is freed either way, with the
// push-back that ZUV_TCPUnreceive may have given it (the stream commands do not look at kinds).
int32_t releaseUDP(TCPGlob* stream) { return releaseRecord(stream, -1); }

// The address 255.255.255.255 is sent to 0.0.0.0, this host: it is never broadcast (a network's
// own broadcast address is, since the socket allows broadcast).
int32_t sendUDP(TCPGlob* stream, const void* bytes, int32_t count, int32_t address, int32_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = address == -1 ? 0 : htonl(static_cast<uint32_t>(address));
  long sent = sendto(stream->sock.get(), bytes, count > 0 ? count : 0, 0,
                     reinterpret_cast<sockaddr*>(&to), sizeof to);
  return sent < 0 ? -1 : 0;
}

int32_t receiveUDP(TCPGlob* stream, PA_Unistring* text, int32_t& address, int32_t& port,
                   int32_t timeout) {
  PA_DisposeUnistring(text);
  address = 0;
  port = 0;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kDatagramBuffer]);
  if (!buffer) return -1;
  sockaddr_in sender{};
  long got = receiveDatagram(stream, buffer.get(), sender, timeout);
  if (got < 0) return -1;
  // The whole datagram, zero bytes included, as the BLOB form gives it. Bytes that give no unit
  // were refused by the host: that is no empty datagram.
  DecodedChars units = convertToUnicode(buffer.get(), static_cast<int>(got), kCharSetUTF8);
  if (units.chars == nullptr || (got > 0 && units.length <= 0)) return -1;
  PA_SetUnistringUnits(text, units.chars, units.length);
  if (PA_GetLastError() != 0) return -1;
  fillSender(sender, address, port);
  return 0;
}

int32_t receiveUDPBlob(TCPGlob* stream, HostHandle handle, int32_t& address, int32_t& port,
                       int32_t timeout) {
  address = 0;
  port = 0;
  if (!PA_SetHandleSize(handle, kDatagramBuffer)) return -1;
  sockaddr_in sender{};
  long got;
  {
    unique_handle_lock bytes(handle);
    got = receiveDatagram(stream, bytes.data(), sender, timeout);
  }
  PA_SetHandleSize(handle, got < 0 ? 0 : static_cast<int32_t>(got));
  if (got < 0) return -1;
  fillSender(sender, address, port);
  return 0;
}

int32_t getUDPMTUSize() { return kUDPMTUSize; }

// A null or empty name is this host, looked up once and then answered from gLocalIP (a lookup
// that found nothing is tried again next time).
uint32_t getHostAddress(const char* name) {
  bool self = name == nullptr || *name == '\0';
  if (!self) return lookUp(name);
  if (gLocalIP != 0) return gLocalIP;
  char host[256] = {};
  if (gethostname(host, sizeof host) != 0) host[0] = '\0';
  host[sizeof host - 1] = '\0';
  gLocalIP = lookUp(host);
  return gLocalIP;
}

uint32_t nameToAddr(const PA_Unistring& name) {
  EncodedChars bytes = convertToChars(name.fString, name.fLength, kCharSetUTF8);
  return getHostAddress(bytes.chars);
}

}  // namespace tcp
