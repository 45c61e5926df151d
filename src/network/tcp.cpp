// The stream record, its polled status machine and the counters, the network layer's start and
// end, and the client streams with their send, buffered send, receive, push-back, close and
// release.

#include "network/tcp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp_internal.h"
#include "platform/platform.h"
#include "text/conversion.h"

static_assert(OPENSSL_VERSION_NUMBER >= 0x30000000L, "the network layer needs OpenSSL 3");

uint32_t gTCPStats[7];
uint32_t gLocalIP;

namespace tcp {

namespace {

// Socket calls move at most this many bytes at once, so that every piece ends in a yield.
constexpr int32_t kPieceSize = 32768;
// The socket buffers are clamped to this range: below 4096 bytes a stream crawls, above 32768
// it would hold more unsent bytes than a piece.
constexpr int32_t kMinBuffer = 4096;
constexpr int32_t kMaxBuffer = 32768;
// Buffered sends flush as soon as this much waits, and modes from 256 up name a threshold.
constexpr int32_t kFlushThreshold = 4096;
constexpr int32_t kModeThreshold = 256;
constexpr int64_t kDefaultSendTimeout = 240;

std::atomic<int64_t> sClockOffset{0};

int32_t asInt32(uint32_t value) { return static_cast<int32_t>(value); }

// Adds to a 32-bit byte counter of a record, wrapping around instead of overflowing.
void addTo(int32_t& counter, int64_t amount) {
  counter = asInt32(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

bool usesTLSPort(int16_t port) {
  uint16_t p = static_cast<uint16_t>(port);
  return p == 443 || p == 993 || p == 995;
}

void setIntOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

// ---- Status machine ---------------------------------------------------------------------------

// Probes a connected socket: false once the peer has closed. A socket error other than the
// live connection's answer stores status 20.
bool connectionOpen(TCPGlob* stream) {
  platform::ConnectionProbe probe = platform::probeConnection(stream->sock);
  if (probe.peerClosed) return false;
  if (probe.error != 0) stream->status = kStreamError;
  return true;
}

// A handshake step first sends what the socket now takes of the records the steps before left
// waiting, then goes on as far as the peer's bytes allow; it never waits for the peer.
void tlsConnectStep(TCPGlob* stream) {
  if (stream->ssl == nullptr || stream->handshakeFailed) return;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  stream->connectPhase = 1;
  ERR_clear_error();
  int result = SSL_connect(stream->ssl);
  if (result == 1) {
    stream->connectPhase = 2;
    stream->status = kStreamEstablished;
  } else {
    stream->connectPhase = 1;
    stream->status = kStreamConnecting;
    int error = SSL_get_error(stream->ssl, result);
    stream->handshakeFailed = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
  }
  applyErrorQueue(stream);
}

void tlsAcceptStep(TCPGlob* stream) {
  if (stream->ssl == nullptr) return;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  randAdd();
  SSL_set_read_ahead(stream->ssl, 1);
  ERR_clear_error();
  stream->acceptResult = SSL_accept(stream->ssl);
  int error = SSL_get_error(stream->ssl, stream->acceptResult);
  applyErrorQueue(stream);
  if (stream->acceptResult == 1) {
    stream->status = kStreamEstablished;
  } else if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ||
             stream->acceptResult == 0) {
    stream->status = kStreamAccepting;
  } else {
    stream->status = kStreamPeerClosed;
  }
}

// A TLS listener without a certificate accepts too: its handshake then fails at once, with an
// alert for the client and a last error for the stream, where the client would wait for nothing.
void pollListening(TCPGlob* stream) {
  int accepted = platform::acceptConnection(stream->sock);
  if (accepted < 0) return;
  removeListener(stream, 0);
  stream->sock = accepted;
  stream->status = kStreamEstablished;
  stream->rawBytesSent = stream->rawBytesReceived = 0;
  stream->tlsBytesSent = stream->tlsBytesReceived = 0;
  count(kAccepts);
  if (stream->kind == kKindTLS) tlsAcceptStep(stream);
}

void learnLocalAddress(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    gLocalIP = local.sin_addr.s_addr;
  }
}

void pollConnecting(TCPGlob* stream) {
  if (stream->connectPhase != 0) return tlsConnectStep(stream);
  if (!platform::waitWritable(stream->sock, 0)) return;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(stream->sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    stream->status = kStreamNotConnected;
    return;
  }
  stream->status = kStreamEstablished;
  count(kConnects);
  if (gLocalIP == 0) learnLocalAddress(stream->sock);
  if (stream->kind == kKindTLS) tlsConnectStep(stream);
}

// ---- Sending ----------------------------------------------------------------------------------

// What a send that cannot go on waits for: room in the socket, or bytes from the peer.
enum class Awaited { kRoom, kBytes };

// Waits for the peer during a send: one yield, a status poll, at most 1 ms in poll (a spin
// without that wait starves loopback to a few MB/s), and a second yield. false ends the send:
// the stream failed, or nothing moved for the send time-out.
bool waitForPeer(TCPGlob* stream, std::chrono::steady_clock::time_point progress, Awaited awaited) {
  PA_Yield();
  int64_t limit = stream->timeout > 0 ? stream->timeout : kDefaultSendTimeout;
  if (mapStatus(stream, 0) == kStreamError) return false;
  if (steadyNow() - progress > std::chrono::seconds(limit)) {
    errno = ETIMEDOUT;
    return false;
  }
  if (awaited == Awaited::kRoom) {
    platform::waitWritable(stream->sock, 1);
  } else {
    platform::waitReadable(stream->sock, 1);
  }
  PA_Yield();
  return true;
}

// Answers -1 for a failed piece, storing what the errno says about the connection; errno is
// left as the send set it, for the TLS layer's retry flags.
int32_t failSend(TCPGlob* stream, int error) {
  if (error == EPIPE) {
    stream->status = kStreamNotConnected;
  } else if (error == ENETDOWN || error == ENETRESET || error == ECONNABORTED ||
             error == ECONNRESET) {
    raiseStatus(stream, kStreamError);
  }
  errno = error;
  return -1;
}

}  // namespace

bool socketIsFull() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// One send of at most a piece that never waits: the bytes written, counted, or -1 with errno as
// the send left it (a full socket: EAGAIN; any other failure has stored its status).
long sendPiece(TCPGlob* stream, const char* bytes, size_t count) {
  size_t piece = std::min(count, static_cast<size_t>(kPieceSize));
  long written = platform::sendWithoutSignal(stream->sock, bytes, piece);
  if (written > 0) {
    addTo(stream->rawBytesSent, written);
    tcp::count(kBytesOut, written);
    return written;
  }
  if (socketIsFull()) return -1;
  return failSend(stream, errno);
}

namespace {

int32_t sendToSocket(TCPGlob* stream, const char* bytes, int32_t count) {
  auto progress = steadyNow();
  int32_t sent = 0;
  while (sent < count) {
    long written = sendPiece(stream, bytes + sent, static_cast<size_t>(count - sent));
    if (written > 0) {
      progress = steadyNow();
      sent += static_cast<int32_t>(written);
      PA_Yield();
      continue;
    }
    if (!socketIsFull() || !waitForPeer(stream, progress, Awaited::kRoom)) return -1;
  }
  return 0;
}

// Sends the TLS records waiting in the backlog, yielding after every piece and waiting while the
// socket is full, as a plain send does; false when the socket fails or the send time-out passes.
// The backlog may grow and shrink during the yields (another process's library calls write and
// read through the same connection): only its head is ever sent.
bool drainTLSBacklog(TCPGlob* stream) {
  auto progress = steadyNow();
  std::string& backlog = stream->tlsBacklog;
  while (!backlog.empty()) {
    long written = sendPiece(stream, backlog.data(), backlog.size());
    if (written > 0) {
      backlog.erase(0, static_cast<size_t>(written));
      progress = steadyNow();
      PA_Yield();
      continue;
    }
    if (!socketIsFull() || !waitForPeer(stream, progress, Awaited::kRoom)) return false;
  }
  return true;
}

// One SSL_write of a piece, again while the library waits for the peer's bytes (a renegotiation,
// or a handshake still under way); false when it fails, when the stream's status says that they
// can no longer come, or when nothing came for the send time-out. The library call itself never
// waits: the socket BIO keeps what the socket refuses.
bool writeTLSPiece(TCPGlob* stream, const char* bytes, int32_t count) {
  auto start = steadyNow();
  for (;;) {
    int error;
    {
      TLSGuard guard(stream);
      ERR_clear_error();
      // Only a positive answer is a write: SSL_write answers 0 for a failure too.
      int result = SSL_write(stream->ssl, bytes, count);
      if (result > 0) return true;
      error = SSL_get_error(stream->ssl, result);
      applyErrorQueue(stream);
    }
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    if (!drainTLSBacklog(stream) || !waitForPeer(stream, start, Awaited::kBytes)) return false;
    if (statusIsFinal(stream)) return false;
  }
}

// Encrypts and sends piece by piece, so that no more than a piece's records wait in the backlog.
int32_t sendTLS(TCPGlob* stream, const void* bytes, int32_t count) {
  addTo(stream->tlsBytesSent, count);
  if (stream->ssl == nullptr) return -1;
  const char* from = static_cast<const char*>(bytes);
  for (int32_t done = 0; done < count;) {
    int32_t piece = std::min(count - done, kPieceSize);
    if (!writeTLSPiece(stream, from + done, piece) || !drainTLSBacklog(stream)) return -1;
    done += piece;
  }
  return 0;
}

// ---- Receiving --------------------------------------------------------------------------------

// The push-back's unread bytes.
int32_t pushedBack(const TCPGlob* stream) {
  if (stream->pushBack == nullptr) return 0;
  return PA_GetHandleSize(stream->pushBack) - stream->pushBackStart;
}

// Sizes the caller's handle, making one when it holds none; false when the host refuses.
bool sizeHandle(HostHandle& handle, int32_t size) {
  if (handle == nullptr) {
    handle = PA_NewHandle(size);
    return handle != nullptr;
  }
  return PA_SetHandleSize(handle, size);
}

// Copies the first n unread bytes of the push-back into the caller's handle, sized to n; false
// when the host refuses the handle.
bool copyFromPushBack(TCPGlob* stream, HostHandle& handle, int32_t n) {
  if (!sizeHandle(handle, n)) return false;
  unique_handle_lock from(stream->pushBack);
  unique_handle_lock to(handle);
  std::memcpy(to.data(), from.data() + stream->pushBackStart, n);
  return true;
}

// Takes at most `max` bytes (32768 for none) from the push-back's start. The last ones leave in
// the push-back's own handle when nothing was taken from it before, else in a copy; either way
// the stream is left without a push-back.
int32_t receiveFromPushBack(TCPGlob* stream, HostHandle& handle, int32_t max) {
  int32_t limit = max > 0 ? max : kPieceSize;
  int32_t held = pushedBack(stream);
  if (held > limit) {
    if (!copyFromPushBack(stream, handle, limit)) return -1;
    stream->pushBackStart += limit;
    return limit;
  }
  if (stream->pushBackStart > 0) {
    if (!copyFromPushBack(stream, handle, held)) return -1;
    PA_DisposeHandle(stream->pushBack);
  } else {
    if (handle != nullptr) PA_DisposeHandle(handle);
    handle = stream->pushBack;
  }
  stream->pushBack = nullptr;
  stream->pushBackStart = 0;
  return held;
}

// Copies at most max bytes from the push-back's start into bytes; the push-back leaves the
// stream once it has given its last byte.
int32_t takeFromPushBack(TCPGlob* stream, char* bytes, int32_t max) {
  int32_t n = std::min(max, pushedBack(stream));
  {
    unique_handle_lock from(stream->pushBack);
    std::memcpy(bytes, from.data() + stream->pushBackStart, n);
  }
  stream->pushBackStart += n;
  if (pushedBack(stream) == 0) {
    PA_DisposeHandle(stream->pushBack);
    stream->pushBack = nullptr;
    stream->pushBackStart = 0;
  }
  return n;
}

// Puts bytes into the room in front of the push-back's unread bytes, which holds them.
void putInFront(TCPGlob* stream, const void* bytes, int32_t count) {
  unique_handle_lock buffer(stream->pushBack);
  stream->pushBackStart -= count;
  std::memcpy(buffer.data() + stream->pushBackStart, bytes, count);
}

// Puts bytes after the push-back's last byte; false when the host refuses the growth.
bool putBehind(TCPGlob* stream, int32_t end, const void* bytes, int32_t count) {
  if (!PA_SetHandleSize(stream->pushBack, end + count)) return false;
  unique_handle_lock buffer(stream->pushBack);
  std::memcpy(buffer.data() + end, bytes, count);
  return true;
}

// Puts bytes into the push-back by moving its unread bytes, so that old and new ones end at the
// handle's end, which grows only when they need more than it holds; false, with nothing
// changed, when the host refuses the growth.
bool addByMoving(TCPGlob* stream, int32_t held, const void* bytes, int32_t count, bool atFront) {
  int32_t start = stream->pushBackStart;
  int32_t size = start + held;
  int32_t total = held + count;
  if (total > size && !PA_SetHandleSize(stream->pushBack, total)) return false;
  int32_t first = std::max(size, total) - total;
  unique_handle_lock buffer(stream->pushBack);
  char* data = buffer.data();
  std::memmove(data + first + (atFront ? count : 0), data + start, held);
  std::memcpy(data + first + (atFront ? 0 : held), bytes, count);
  stream->pushBackStart = first;
  return true;
}

// Raises the status for what a failed TLS read says: the peer's close notification with
// nothing left gives 14, a fatal library error 20. The answer of the receive stays quiet.
void noteTLSReadEnd(TCPGlob* stream, int result) {
  int error = SSL_get_error(stream->ssl, result);
  if (error == SSL_ERROR_ZERO_RETURN && SSL_pending(stream->ssl) == 0) {
    raiseStatus(stream, kStreamPeerClosed);
  } else if (error == SSL_ERROR_SSL) {
    raiseStatus(stream, kStreamError);
  }
}

// True when the library holds bytes past those it gave: decrypted ones, or records it has read
// from the socket and not yet opened.
bool moreInLibrary(SSL* ssl) { return SSL_pending(ssl) > 0 || SSL_has_pending(ssl) == 1; }

// Reads at most `room` bytes that the library holds or decrypts from what the socket holds now,
// stopping as soon as it holds no more, so that a peer that keeps sending cannot hold the host
// thread in one receive: the count, 0 included. The caller holds the TLS guard.
int32_t readDecrypted(TCPGlob* stream, char* bytes, int32_t room) {
  int32_t read = 0;
  while (read < room) {
    ERR_clear_error();
    int result = SSL_read(stream->ssl, bytes + read, room - read);
    if (result <= 0) noteTLSReadEnd(stream, result);
    applyErrorQueue(stream);
    if (result <= 0) break;
    read += result;
    if (!moreInLibrary(stream->ssl)) break;
  }
  addTo(stream->tlsBytesReceived, read);
  return read;
}

// A TLS receive straight into bytes the caller owns (room for max): no handle is made.
int32_t receiveDecrypted(TCPGlob* stream, char* bytes, int32_t max) {
  if (stream->ssl == nullptr) return -1;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  return readDecrypted(stream, bytes, max);
}

// Grows the handle piece by piece while the library holds more, up to the cap.
int32_t receiveTLS(TCPGlob* stream, HostHandle& handle, int32_t max) {
  int64_t cap = max > 0 ? max : INT32_MAX;
  int64_t room = std::min<int64_t>(cap, kPieceSize);
  if (stream->ssl == nullptr || !sizeHandle(handle, static_cast<int32_t>(room))) return -1;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  int64_t read = 0;
  for (;;) {
    {
      unique_handle_lock bytes(handle);
      read += readDecrypted(stream, bytes.data() + read, static_cast<int32_t>(room - read));
    }
    if (read < room || read == cap || !moreInLibrary(stream->ssl)) break;
    room += std::min<int64_t>(cap - read, kPieceSize);
    if (!PA_SetHandleSize(handle, static_cast<int32_t>(room))) break;
  }
  PA_SetHandleSize(handle, static_cast<int32_t>(read));
  return static_cast<int32_t>(read);
}

int32_t receiveFromSocket(TCPGlob* stream, HostHandle& handle, int32_t max) {
  int32_t available = charsReceived(stream);
  int32_t size = available >= 1 && available <= kPieceSize ? available : kPieceSize;
  if (max > 0) size = std::min(size, max);
  if (!sizeHandle(handle, size)) return -1;
  long got;
  int error;
  {
    unique_handle_lock bytes(handle);
    got = platform::receiveNow(stream->sock, bytes.data(), size);
    error = errno;
  }
  if (got > 0 && got < size) PA_SetHandleSize(handle, static_cast<int32_t>(got));
  if (got <= 0) PA_SetHandleSize(handle, 0);
  return afterSocketRead(stream, got, error);
}

}  // namespace

// What a receive answers for a socket read, counting the bytes read or raising the status for
// what a failure says; errno is left as the read set it.
int32_t afterSocketRead(TCPGlob* stream, long got, int error) {
  if (got > 0) {
    addTo(stream->rawBytesReceived, got);
    count(kBytesIn, got);
    return static_cast<int32_t>(got);
  }
  errno = error;
  if (got == 0) {
    raiseStatus(stream, kStreamPeerClosed);
    return 0;
  }
  if (error == EAGAIN || error == EWOULDBLOCK) return 0;
  if (error == ECONNRESET) raiseStatus(stream, kStreamPeerClosed);
  if (error == ECONNABORTED) raiseStatus(stream, kStreamError);
  return -1;
}

namespace {

// Sends the close notification and, once the handshake is done, waits for the socket to take it
// (the send time-out bounds the wait). A handshake that never finished has no notification to
// send, and what it left in the backlog is dropped with the connection: a client that never reads
// must not hold the close.
void sendCloseNotification(TCPGlob* stream) {
  bool established;
  {
    TLSGuard guard(stream);
    ERR_clear_error();
    established = SSL_is_init_finished(stream->ssl) == 1;
    SSL_shutdown(stream->ssl);
    ERR_clear_error();
  }
  if (established) drainTLSBacklog(stream);
}

void freeTLSObjects(TCPGlob* stream, int32_t mode) {
  if (stream->ssl != nullptr) {
    StreamGuard guard(stream);
    if (mode >= 0) sendCloseNotification(stream);
    TLSGuard tls(stream);
    SSL_free(stream->ssl);
    stream->ssl = nullptr;
  }
  if (stream->ctx != nullptr) {
    SSL_CTX_free(stream->ctx);
    stream->ctx = nullptr;
  }
  stream->kind = kKindPlain;
  stream->tlsActive = false;
}

// An unresolvable name answers address 0, which would connect to this host: only a text that
// reads as the numeric address 0 may name it.
bool namesAddressZero(const PA_Unistring& host) {
  EncodedChars name = convertToChars(host.fString, host.fLength, 7);
  in_addr address{};
  return name.chars != nullptr && inet_aton(name.chars, &address) != 0 && address.s_addr == 0;
}

bool bindLocal(TCPGlob* stream, int16_t localPort, int32_t localAddress) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(localPort));
  local.sin_addr.s_addr = htonl(static_cast<uint32_t>(localAddress));
  return bind(stream->sock, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace

void count(Counter counter, uint64_t amount) {
  gTCPStats[counter] += static_cast<uint32_t>(amount);
}

// ---- Record, status machine and counters -------------------------------------------------------

TCPGlob* createGlob(int32_t bufferSize) {
  unique_fd fd(platform::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (fd.get() < 0) return nullptr;
  TCPGlob* stream = new (std::nothrow) TCPGlob;
  if (stream == nullptr) return nullptr;
  int32_t size = std::clamp(bufferSize, kMinBuffer, kMaxBuffer);
  setIntOption(fd.get(), SOL_SOCKET, SO_SNDBUF, size);
  setIntOption(fd.get(), SOL_SOCKET, SO_RCVBUF, size);
  setIntOption(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  setIntOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  stream->sock = fd.release();
  stream->pushBack = PA_NewHandle(0);
  return stream;
}

int32_t mapStatus(TCPGlob* stream, int32_t requested) {
  if (stream == nullptr) return -1;
  if (requested == kStreamClosing && stream->status == kStreamPeerClosed) requested = kStreamClosed;
  raiseStatus(stream, requested);
  reapListeners();
  switch (stream->status) {
    case kStreamListening:
      pollListening(stream);
      break;
    case kStreamAccepting:
      // The step comes before the close probe: a client that sent its last handshake message,
      // its request and its end in one go is established, as a plain client would be, and its
      // request can be read. Only a handshake that cannot finish fails on the peer's close.
      if (stream->kind != kKindTLS) break;
      tlsAcceptStep(stream);
      if (stream->status != kStreamEstablished && !connectionOpen(stream)) {
        stream->status = kStreamError;
      }
      break;
    case kStreamConnecting:
      pollConnecting(stream);
      break;
    case kStreamEstablished:
      if (!connectionOpen(stream) && charsReceived(stream) == 0) {
        stream->status = kStreamPeerClosed;
      }
      break;
    case kStreamClosing:
      if (!connectionOpen(stream)) stream->status = kStreamClosed;
      break;
    default:
      break;
  }
  return stream->status;
}

int32_t status(TCPGlob* stream, int32_t selector) {
  if (stream == nullptr || stream->kind == kKindUDP) return -1;
  switch (selector) {
    case kSelectStatus:
      return mapStatus(stream, 0);
    case kSelectBytesReceived:
      return stream->tlsActive ? stream->tlsBytesReceived : stream->rawBytesReceived;
    case kSelectBytesSent:
      return stream->tlsActive ? stream->tlsBytesSent : stream->rawBytesSent;
    case kSelectRawBytesReceived:
      return stream->rawBytesReceived;
    case kSelectRawBytesSent:
      return stream->rawBytesSent;
    default:
      return -1;
  }
}

int32_t getStreamStatus(const TCPGlob* stream) { return stream->status; }

bool statusIsFinal(const TCPGlob* stream) {
  switch (stream->status) {
    case kStreamNotConnected:
    case kStreamPeerClosed:
    case kStreamClosed:
    case kStreamError:
      return true;
    case kStreamConnecting:
      return stream->handshakeFailed;
    default:
      return false;
  }
}

int32_t getGlobalInfo(int64_t selector) {
  if (selector == kInfoCapacity) return 1024;
  if (selector < kInfoOpens || selector > kInfoSocketBytesSent) return 0;
  return asInt32(gTCPStats[selector - kInfoOpens]);
}

namespace {

// The bytes the TLS library holds decrypted, after it has read and opened what the socket holds
// now. Only a whole record counts: the part of one is no byte a receive could take.
int32_t decryptedBytes(TCPGlob* stream) {
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  char byte;
  SSL_set_read_ahead(stream->ssl, 1);
  ERR_clear_error();
  SSL_peek(stream->ssl, &byte, 1);
  ERR_clear_error();
  return std::max(SSL_pending(stream->ssl), 0);
}

}  // namespace

// Push-back and socket bytes together, counted in 64 bits and held at 2,147,483,647. A listening
// socket, where FIONREAD fails, adds nothing.
int32_t charsReceived(TCPGlob* stream) {
  if (stream == nullptr) return 0;
  int64_t total = pushedBack(stream);
  if (stream->kind == kKindTLS) {
    if (stream->ssl != nullptr) total += decryptedBytes(stream);
  } else if (stream->status != kStreamListening) {
    int readable = 0;
    if (ioctl(stream->sock, FIONREAD, &readable) == 0 && readable > 0) total += readable;
  }
  return static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
}

int32_t getStreamInfo(TCPGlob* stream, int32_t& localAddress, int16_t& localPort,
                      int32_t& remoteAddress, int16_t& remotePort) {
  if (stream == nullptr) return -1;
  int32_t current = mapStatus(stream, 0);
  sockaddr_in local{};
  sockaddr_in remote{};
  socklen_t length = sizeof local;
  getsockname(stream->sock, reinterpret_cast<sockaddr*>(&local), &length);
  if (current != kStreamNotConnected && current != kStreamListening) {
    length = sizeof remote;
    getpeername(stream->sock, reinterpret_cast<sockaddr*>(&remote), &length);
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

// ---- Client streams
// ------------------------------------------------------------------------------

// Answers null, keeping nothing, when the name does not resolve (address 0 is
// only taken from a numeric text), the address is 255.255.255.255, the record or its TLS
// objects cannot be made, the local bind fails or the connect fails at once.
TCPGlob* open(const PA_Unistring& host, int16_t port, int32_t bufferSize, int32_t flags,
              int16_t localPort, int32_t localAddress) {
  uint32_t address = nameToAddr(host);
  if (address == INADDR_NONE) return nullptr;
  if (address == 0 && !namesAddressZero(host)) return nullptr;
  TCPGlob* stream = createGlob(bufferSize);
  if (stream == nullptr) return nullptr;
  bool tls = usesTLSPort(port) || (flags & kStreamFlagTLS) != 0;
  if (tls && !setUpClientTLS(stream, flags)) {
    release(stream, -1);
    return nullptr;
  }
  count(kOpens);
  if ((localPort != 0 || localAddress != 0) && !bindLocal(stream, localPort, localAddress)) {
    release(stream, -1);
    return nullptr;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  remote.sin_addr.s_addr = address;
  if (connect(stream->sock, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
    // A TLS stream still needs its handshake: the status machine starts it from 6.
    raiseStatus(stream, tls ? kStreamConnecting : kStreamEstablished);
    return stream;
  }
  int error = errno;
  if (error == EAGAIN || error == EINPROGRESS || error == EALREADY || error == EISCONN) {
    raiseStatus(stream, kStreamConnecting);
    return stream;
  }
  release(stream, -1);
  return nullptr;
}

// Answers 0 when every byte went out, -1 on failure or time-out. A listening stream makes no
// socket call (its socket is the slot's) and answers -1 with its status unchanged.
int32_t send(TCPGlob* stream, const void* bytes, int32_t count, bool flushFirst) {
  if (stream == nullptr) return -1;
  if (bytes == nullptr || count <= 0) return 0;
  if (stream->status == kStreamListening) return -1;
  // Held across the flush and every piece, so that another process's bytes come after ours.
  StreamGuard guard(stream);
  if (flushFirst && !stream->sendBuffer.empty()) flushSendBuffer(stream);
  if (stream->kind == kKindTLS) return sendTLS(stream, bytes, count);
  return sendToSocket(stream, static_cast<const char*>(bytes), count);
}

int32_t send(TCPGlob* stream, HostHandle handle, bool flushFirst) {
  if (handle == nullptr) return stream == nullptr ? -1 : 0;
  int32_t size = PA_GetHandleSize(handle);
  unique_handle_lock bytes(handle);
  return send(stream, bytes.data(), size, flushFirst);
}

// Empties the send buffer whether the send succeeds or not: bytes not sent are dropped.
int32_t flushSendBuffer(TCPGlob* stream) {
  if (stream == nullptr) return 0;
  // Taken before the buffer is looked at: a flush of another process may be under way.
  StreamGuard guard(stream);
  if (stream->sendBuffer.empty()) return 0;
  std::string waiting;
  waiting.swap(stream->sendBuffer);
  return send(stream, waiting.data(), static_cast<int32_t>(waiting.size()), false);
}

namespace {

int32_t flushResult(TCPGlob* stream) { return flushSendBuffer(stream) == -1 ? -1 : 0; }

bool appendToSendBuffer(TCPGlob* stream, const void* bytes, int32_t count) {
  try {
    stream->sendBuffer.append(static_cast<const char*>(bytes), count);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

// Answers 0 when the bytes and what waited went out, -1 on failure (no memory for the buffer
// included), or the number of bytes left waiting.
int32_t sendBuffered(TCPGlob* stream, const void* bytes, int32_t count, int32_t mode) {
  if (stream == nullptr) return 0;
  if (bytes == nullptr || count <= 0) {
    count = 0;
    mode = 0;
  }
  // The buffer is read, flushed and appended to as one step: a second process waits for it.
  StreamGuard guard(stream);
  int64_t waiting = static_cast<int64_t>(stream->sendBuffer.size());
  if (count > 0) {
    if (mode == 0 && waiting == 0) return send(stream, bytes, count, false);
    if (waiting + count > kPieceSize && waiting > 0 && flushSendBuffer(stream) == -1) return -1;
    if (!appendToSendBuffer(stream, bytes, count)) return -1;
  }
  if (mode == 0) return waiting > 0 ? flushResult(stream) : 0;
  int64_t held = static_cast<int64_t>(stream->sendBuffer.size());
  if (held > kFlushThreshold || (mode >= kModeThreshold && held >= mode)) {
    return flushResult(stream);
  }
  return static_cast<int32_t>(held);
}

int32_t sendBuffered(TCPGlob* stream, HostHandle handle, int32_t mode) {
  if (handle == nullptr) return sendBuffered(stream, nullptr, 0, mode);
  int32_t size = PA_GetHandleSize(handle);
  unique_handle_lock bytes(handle);
  return sendBuffered(stream, bytes.data(), size, mode);
}

// Answers the bytes now in the handle (which may be the push-back handle itself), 0 when
// nothing is there (a listening stream always), -1 on a reset, an abort or a refused handle.
int32_t receive(TCPGlob* stream, HostHandle& handle, int32_t max) {
  if (stream->status == kStreamListening) return 0;
  // A receive waits for another process's send only when it has bytes of its own to flush: one
  // that waits always could leave a peer blocked on its own full socket.
  if (!stream->sendBuffer.empty()) flushSendBuffer(stream);
  if (pushedBack(stream) > 0) return receiveFromPushBack(stream, handle, max);
  if (stream->kind == kKindTLS) return receiveTLS(stream, handle, max);
  return receiveFromSocket(stream, handle, max);
}

namespace {

// True when the stream's socket has the time-out of a waiting receive of `milliseconds`. A socket
// that refused it never waits in a receive.
bool armReceiveWait(TCPGlob* stream, int milliseconds) {
  if (stream->receiveWaitSocket == stream->sock && stream->receiveWait == milliseconds) {
    return true;
  }
  if (!platform::setReceiveWait(stream->sock, milliseconds)) return false;
  stream->receiveWaitSocket = stream->sock;
  stream->receiveWait = milliseconds;
  return true;
}

}  // namespace

int32_t receiveInto(TCPGlob* stream, char* bytes, int32_t max, int waitMilliseconds) {
  if (stream->status == kStreamListening || max <= 0) return 0;
  if (!stream->sendBuffer.empty()) flushSendBuffer(stream);
  if (pushedBack(stream) > 0) return takeFromPushBack(stream, bytes, max);
  if (stream->kind == kKindTLS) {
    int32_t received = receiveDecrypted(stream, bytes, max);
    if (received == 0 && waitMilliseconds > 0) awaitBytes(stream, waitMilliseconds);
    return received;
  }
  int32_t size = std::min(max, kPieceSize);
  long got = platform::receiveNow(stream->sock, bytes, size);
  int error = errno;
  if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK) && waitMilliseconds > 0) {
    if (armReceiveWait(stream, waitMilliseconds)) {
      got = platform::receiveWaiting(stream->sock, bytes, size);
      error = errno;
    } else {
      platform::waitReadable(stream->sock, waitMilliseconds);
    }
  }
  return afterSocketRead(stream, got, error);
}

void awaitBytes(TCPGlob* stream, int milliseconds) {
  if (stream->status == kStreamListening || stream->kind == kKindUDP) return;
  if (pushedBack(stream) > 0) return;
  // The part of a record that the library holds is nothing to read yet: the stream waits on its
  // socket for the rest, as a plain one does.
  if (stream->ssl != nullptr && decryptedBytes(stream) > 0) return;
  platform::waitReadable(stream->sock, milliseconds);
}

// Answers the push-back's size afterwards; a refused growth leaves the push-back as it was.
int32_t unreceive(TCPGlob* stream, const void* bytes, int32_t count, bool atFront) {
  int32_t held = pushedBack(stream);
  if (bytes == nullptr || count <= 0) return held;
  if (stream->pushBack == nullptr) {
    stream->pushBack = PA_NewHandle(0);
    stream->pushBackStart = 0;
    if (stream->pushBack == nullptr) return 0;
  }
  count = static_cast<int32_t>(std::min<int64_t>(count, int64_t{INT32_MAX} - held));
  if (count == 0) return held;
  // Only bytes that fit neither in front of the unread ones nor behind them move those.
  int64_t end = int64_t{stream->pushBackStart} + held;
  bool added;
  if (atFront && count <= stream->pushBackStart) {
    putInFront(stream, bytes, count);
    added = true;
  } else if (!atFront && end + count <= INT32_MAX) {
    added = putBehind(stream, static_cast<int32_t>(end), bytes, count);
  } else {
    added = addByMoving(stream, held, bytes, count, atFront);
  }
  return added ? held + count : held;
}

// Answers 0, or -1 when the half-close failed; a listening stream answers 0 untouched.
int32_t close(TCPGlob* stream) {
  if (stream == nullptr || stream->status == kStreamListening) return 0;
  // The half-close waits for a send of another process to end, so that its bytes go out whole.
  StreamGuard guard(stream);
  flushSendBuffer(stream);
  if (stream->tlsActive && stream->ssl != nullptr) sendCloseNotification(stream);
  count(kCloses);
  linger off{0, 0};
  setsockopt(stream->sock, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  int result = shutdown(stream->sock, SHUT_WR);
  mapStatus(stream, kStreamClosing);
  return result == 0 ? 0 : -1;
}

// Frees the record in every case; answers -1 when closing its socket failed. A stream that
// holds a listening slot leaves it and never closes the slot's socket, whatever its status.
int32_t release(TCPGlob* stream, int32_t mode) {
  if (stream == nullptr) return 0;
  if (stream->pushBack != nullptr) PA_DisposeHandle(stream->pushBack);
  stream->pushBack = nullptr;
  if (stream->tlsActive || stream->ssl != nullptr || stream->ctx != nullptr) {
    freeTLSObjects(stream, mode);
  }
  if (stream->status == kStreamListening) count(kListenersReleased);
  int32_t result = 0;
  if (stream->listenSlot != 0) {
    removeListener(stream, mode);
  } else if (stream->sock > 0 && ::close(stream->sock) != 0) {
    result = -1;
  }
  delete stream;
  return result;
}

// ---- Clocks
// ----------------------------------------------------------------------------------------

std::chrono::steady_clock::time_point steadyNow() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(sClockOffset.load());
}

time_t wallNow() { return time(nullptr) + static_cast<time_t>(sClockOffset.load()); }

namespace testing {
void advanceClocks(int64_t seconds) { sClockOffset += seconds; }
void resetClocks() { sClockOffset = 0; }
}  // namespace testing

}  // namespace tcp
