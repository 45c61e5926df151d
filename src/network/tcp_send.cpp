// Sending: the send loop in pieces of at most 32768 bytes with a yield after every piece, the
// TLS send through the library and its backlog, the buffered send with its modes, and the TLS
// close notification.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <string>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "platform/platform.h"
#include "text/conversion.h"

namespace tcp {

namespace {

// Buffered sends flush as soon as this much waits, and modes from 256 up name a threshold.
constexpr int32_t kFlushThreshold = 4096;
constexpr int32_t kModeThreshold = 256;
constexpr int64_t kDefaultSendTimeout = 240;

// What a send that cannot go on waits for: room in the socket, or bytes from the peer.
enum class Awaited { kRoom, kBytes };

std::atomic<int64_t> sFullSocketWaitsRunOut{0};

// Waits for the peer during a send: one yield, a status poll, at most 1 ms in poll (a spin
// without that wait starves loopback to a few MB/s), and a second yield. false ends the send:
// the stream failed, or nothing moved for the send time-out.
bool waitForPeer(TCPGlob* stream, std::chrono::steady_clock::time_point progress, Awaited awaited) {
  PA_Yield();
  int64_t limit = stream->timeout > 0 ? stream->timeout : kDefaultSendTimeout;
  if (mapStatus(stream, kPollOnly) == kStreamError) return false;
  if (steadyNow() - progress > std::chrono::seconds(limit)) {
    errno = ETIMEDOUT;
    return false;
  }
  if (awaited == Awaited::kRoom) {
    if (!platform::waitWritable(stream->sock.get(), 1)) ++sFullSocketWaitsRunOut;
  } else {
    platform::waitReadable(stream->sock.get(), 1);
  }
  PA_Yield();
  return true;
}

// Answers -1 for a failed piece, storing what the errno says about the connection; errno is
// left as the send set it, for the TLS layer's retry flags. A broken connection (EPIPE) is 0,
// unless the stream already knows it failed (20): the EPIPE that follows a reset that another
// call met first is the same reset.
int32_t failSend(TCPGlob* stream, int error) {
  if (error == EPIPE) {
    if (stream->status != kStreamError) stream->status = kStreamNotConnected;
  } else if (error == ECONNRESET) {
    noteReset(stream);
  } else if (error == ENETDOWN || error == ENETRESET || error == ECONNABORTED) {
    raiseStatus(stream, kStreamError);
  }
  errno = error;
  return -1;
}

}  // namespace

bool socketIsFull() { return errno == EAGAIN || errno == EWOULDBLOCK; }

long sendPiece(TCPGlob* stream, const char* bytes, size_t count) {
  size_t piece = std::min(count, static_cast<size_t>(kPieceSize));
  long written = platform::sendWithoutSignal(stream->sock.get(), bytes, piece);
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
      int result = SSL_write(stream->ssl.get(), bytes, count);
      if (result > 0) return true;
      error = SSL_get_error(stream->ssl.get(), result);
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

}  // namespace

void sendCloseNotification(TCPGlob* stream) {
  bool established;
  {
    TLSGuard guard(stream);
    ERR_clear_error();
    established = SSL_is_init_finished(stream->ssl.get()) == 1;
    SSL_shutdown(stream->ssl.get());
    ERR_clear_error();
  }
  if (established) drainTLSBacklog(stream);
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

namespace testing {
int64_t fullSocketWaitsRunOut() { return sFullSocketWaitsRunOut.load(); }
}  // namespace testing

}  // namespace tcp
