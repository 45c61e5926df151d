// The polled status machine: a stream's status moves only when someone asks for it, one step per
// poll (an accept, a connect's completion, a TLS handshake step, the peer's close), and the
// status queries.

#include <cerrno>

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "platform/platform.h"

namespace tcp {

namespace {

// Probes a connected socket: false once the peer has closed. A socket error other than the
// live connection's answer stores status 20; a reset is noted as every call notes one.
bool connectionOpen(TCPGlob* stream) {
  platform::ConnectionProbe probe = platform::probeConnection(stream->sock.get());
  if (probe.peerClosed) return false;
  if (probe.error == ECONNRESET) {
    noteReset(stream);
  } else if (probe.error != 0) {
    stream->status = kStreamError;
  }
  return true;
}

// A handshake step first sends what the socket now takes of the records the steps before left
// waiting, then goes on as far as the peer's bytes allow; it never waits for the peer.
void tlsConnectStep(TCPGlob* stream) {
  if (stream->ssl == nullptr || stream->handshakeFailed) return;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  stream->connectPhase = kPhaseHandshake;
  ERR_clear_error();
  int result = SSL_connect(stream->ssl.get());
  if (result == 1) {
    stream->connectPhase = kPhaseDone;
    stream->status = kStreamEstablished;
  } else {
    stream->connectPhase = kPhaseHandshake;
    stream->status = kStreamConnecting;
    int error = SSL_get_error(stream->ssl.get(), result);
    stream->handshakeFailed = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
  }
  applyErrorQueue(stream);
}

void tlsAcceptStep(TCPGlob* stream) {
  if (stream->ssl == nullptr) return;
  TLSGuard guard(stream);
  pushTLSBacklog(stream);
  randAdd();
  SSL_set_read_ahead(stream->ssl.get(), 1);
  ERR_clear_error();
  stream->acceptResult = SSL_accept(stream->ssl.get());
  int error = SSL_get_error(stream->ssl.get(), stream->acceptResult);
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
  int accepted = platform::acceptConnection(stream->sock.get());
  if (accepted < 0) return;
  removeListener(stream, 0);
  stream->sock.reset(accepted);
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
  if (stream->connectPhase != kPhaseConnect) return tlsConnectStep(stream);
  if (!platform::waitWritable(stream->sock.get(), 0)) return;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(stream->sock.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    stream->status = kStreamNotConnected;
    return;
  }
  stream->status = kStreamEstablished;
  count(kConnects);
  if (gLocalIP == 0) learnLocalAddress(stream->sock.get());
  if (stream->kind == kKindTLS) tlsConnectStep(stream);
}

}  // namespace

void noteReset(TCPGlob* stream) {
  raiseStatus(stream, kStreamError);
  if (stream->ssl == nullptr) return;
  TLSGuard guard(stream);
  noteUnannouncedClose(stream);
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
      // request can be read. Only a handshake that cannot finish fails on the peer's close: one
      // that the step failed keeps its 14.
      if (stream->kind != kKindTLS) break;
      tlsAcceptStep(stream);
      if (stream->status == kStreamAccepting && !connectionOpen(stream)) {
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
      return mapStatus(stream, kPollOnly);
    case kSelectBytesReceived:
      return stream->kind == kKindTLS ? stream->tlsBytesReceived : stream->rawBytesReceived;
    case kSelectBytesSent:
      return stream->kind == kKindTLS ? stream->tlsBytesSent : stream->rawBytesSent;
    case kSelectRawBytesReceived:
      return stream->rawBytesReceived;
    case kSelectRawBytesSent:
      return stream->rawBytesSent;
    default:
      return -1;
  }
}

int32_t getStreamStatus(const TCPGlob* stream) { return stream->status; }

ReceiveOutlook receiveOutlook(TCPGlob* stream) {
  int32_t polled = status(stream, kSelectStatus);
  if (polled >= 0 && !statusIsFinal(stream)) return ReceiveOutlook::kBytesMayCome;
  if (charsReceived(stream) > 0) return ReceiveOutlook::kBytesMayCome;
  if (polled == kStreamPeerClosed || polled == kStreamClosed) return ReceiveOutlook::kEnded;
  return ReceiveOutlook::kFailed;
}

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

}  // namespace tcp
