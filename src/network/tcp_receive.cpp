// Receiving: the three receive paths (into a host handle from the socket or from the TLS
// library, and into the caller's own bytes), the bytes a receive could take now, and the short
// waits for bytes. The push-back goes first on every path (tcp_pushback.cpp).

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "platform/platform.h"
#include "text/conversion.h"

namespace tcp {

bool sizeHandle(HostHandle& handle, int32_t size) {
  if (handle == nullptr) {
    handle = PA_NewHandle(size);
    return handle != nullptr;
  }
  return PA_SetHandleSize(handle, size);
}

namespace {

// Raises the status for what a failed TLS read says: the peer's close notification with
// nothing left gives 14, a fatal library error 20. The answer of the receive stays quiet.
void noteTLSReadEnd(TCPGlob* stream, int result) {
  int error = SSL_get_error(stream->ssl.get(), result);
  if (error == SSL_ERROR_ZERO_RETURN && SSL_pending(stream->ssl.get()) == 0) {
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
    int result = SSL_read(stream->ssl.get(), bytes + read, room - read);
    if (result <= 0) noteTLSReadEnd(stream, result);
    applyErrorQueue(stream);
    if (result <= 0) break;
    read += result;
    if (!moreInLibrary(stream->ssl.get())) break;
  }
  addTo(stream->tlsBytesReceived, read);
  return read;
}

// True when the library may be asked for bytes: the connection's handshake has begun and has
// not failed. A client whose connect never completed (refused) has none to give, and a read
// would only record an error of the library's that says nothing about the connection. The
// caller holds the TLS guard.
bool libraryMayRead(TCPGlob* stream) {
  return !stream->handshakeFailed && SSL_in_before(stream->ssl.get()) == 0;
}

// A TLS receive straight into bytes the caller owns (room for max): no handle is made.
int32_t receiveDecrypted(TCPGlob* stream, char* bytes, int32_t max) {
  if (stream->ssl == nullptr) return -1;
  TLSGuard guard(stream);
  if (!libraryMayRead(stream)) return 0;
  pushTLSBacklog(stream);
  return readDecrypted(stream, bytes, max);
}

// Grows the handle piece by piece while the library holds more, up to the cap.
int32_t receiveTLS(TCPGlob* stream, HostHandle& handle, int32_t max) {
  int64_t cap = max > 0 ? max : kMaxLength;
  int64_t room = std::min<int64_t>(cap, kPieceSize);
  if (stream->ssl == nullptr) return -1;
  TLSGuard guard(stream);
  if (!libraryMayRead(stream)) return sizeHandle(handle, 0) ? 0 : -1;
  if (!sizeHandle(handle, static_cast<int32_t>(room))) return -1;
  pushTLSBacklog(stream);
  int64_t read = 0;
  for (;;) {
    {
      unique_handle_lock bytes(handle);
      read += readDecrypted(stream, bytes.data() + read, static_cast<int32_t>(room - read));
    }
    if (read < room || read == cap || !moreInLibrary(stream->ssl.get())) break;
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
    got = platform::receiveNow(stream->sock.get(), bytes.data(), size);
    error = errno;
  }
  if (got > 0 && got < size) PA_SetHandleSize(handle, static_cast<int32_t>(got));
  if (got <= 0) PA_SetHandleSize(handle, 0);
  return afterSocketRead(stream, got, error);
}

}  // namespace

int32_t afterSocketRead(TCPGlob* stream, long got, int error) {
  if (got > 0) {
    addTo(stream->rawBytesReceived, got);
    count(kBytesIn, got);
    return static_cast<int32_t>(got);
  }
  errno = error;
  // The end of a connection that failed to connect, or broke, is no peer's close: it stays at 0.
  if (got == 0) {
    if (stream->status != kStreamNotConnected) raiseStatus(stream, kStreamPeerClosed);
    return 0;
  }
  if (error == EAGAIN || error == EWOULDBLOCK) return 0;
  // A read that meets the refusal of a connect that no status poll has seen yet fails the
  // connect, as the poll would have.
  if (error == ECONNREFUSED && stream->status == kStreamConnecting) {
    stream->status = kStreamNotConnected;
  }
  if (error == ECONNRESET) noteReset(stream);
  if (error == ECONNABORTED) raiseStatus(stream, kStreamError);
  return -1;
}

namespace {

// The bytes the TLS library holds decrypted, after it has read and opened what the socket holds
// now. Only a whole record counts: the part of one is no byte a receive could take.
int32_t decryptedBytes(TCPGlob* stream) {
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  char byte;
  SSL_set_read_ahead(stream->ssl.get(), 1);
  ERR_clear_error();
  SSL_peek(stream->ssl.get(), &byte, 1);
  ERR_clear_error();
  return std::max(SSL_pending(stream->ssl.get()), 0);
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
    if (ioctl(stream->sock.get(), FIONREAD, &readable) == 0 && readable > 0) total += readable;
  }
  return static_cast<int32_t>(std::min<int64_t>(total, kMaxLength));
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
  if (stream->receiveWaitSocket == stream->sock.get() && stream->receiveWait == milliseconds) {
    return true;
  }
  if (!platform::setReceiveWait(stream->sock.get(), milliseconds)) return false;
  stream->receiveWaitSocket = stream->sock.get();
  stream->receiveWait = milliseconds;
  return true;
}

}  // namespace

int32_t receiveInto(TCPGlob* stream, char* bytes, int32_t max, int waitMilliseconds) {
  if (max <= 0) return 0;
  if (stream->status == kStreamListening) {
    if (waitMilliseconds > 0) awaitBytes(stream, waitMilliseconds);
    return 0;
  }
  if (!stream->sendBuffer.empty()) flushSendBuffer(stream);
  if (pushedBack(stream) > 0) return takeFromPushBack(stream, bytes, max);
  if (stream->kind == kKindTLS) {
    int32_t received = receiveDecrypted(stream, bytes, max);
    if (received == 0 && waitMilliseconds > 0) awaitBytes(stream, waitMilliseconds);
    return received;
  }
  int32_t size = std::min(max, kPieceSize);
  long got = platform::receiveNow(stream->sock.get(), bytes, size);
  int error = errno;
  if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK) && waitMilliseconds > 0) {
    if (armReceiveWait(stream, waitMilliseconds)) {
      got = platform::receiveWaiting(stream->sock.get(), bytes, size);
      error = errno;
    } else {
      platform::waitReadable(stream->sock.get(), waitMilliseconds);
    }
  }
  return afterSocketRead(stream, got, error);
}

void awaitBytes(TCPGlob* stream, int milliseconds) {
  if (stream->kind == kKindUDP || pushedBack(stream) > 0) return;
  // A listening socket is readable while a connection waits on it, which only a status poll
  // takes: the wait sleeps on a timer instead.
  if (stream->status == kStreamListening) return platform::pause(milliseconds);
  // The part of a record that the library holds is nothing to read yet: the stream waits on its
  // socket for the rest, as a plain one does.
  if (stream->ssl != nullptr && decryptedBytes(stream) > 0) return;
  platform::waitReadable(stream->sock.get(), milliseconds);
}

}  // namespace tcp
