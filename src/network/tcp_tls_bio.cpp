// The socket BIO of the TLS layer: every TLS stream's connection reads and writes through it with
// the plug-in's own non-blocking send and receive, and the backlog of records that the socket has
// not taken yet.
//
// The BIO reaches the socket itself and never waits: what a full socket refuses waits in the
// stream's backlog, which every later write, every read and every step of the status machine sends
// on, and which the sends drain with their yields between library calls. So no library call ever
// yields, and the connection is never left inside one while another 4D process runs.

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "platform/platform.h"

namespace tcp {

namespace {

BIO_METHOD* sMyBIOmethod = nullptr;

TCPGlob* streamOf(BIO* bio) { return static_cast<TCPGlob*>(BIO_get_data(bio)); }

// The errno values after which a socket call may succeed later: the library then retries.
bool mayRetry(int error) {
  return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS ||
         error == EALREADY || error == ENOTCONN || error == EPROTO;
}

// The library's code for a connection that ended without its close notification.
constexpr uint32_t kUnannouncedClose = ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING);

// Reads the socket straight into the library's buffer. The send backlog goes first: a peer that
// waits for the rest of our records before it sends more gets them at every read.
int myBIOread(BIO* bio, char* buffer, int length) {
  TCPGlob* stream = streamOf(bio);
  BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  pushTLSBacklog(stream);
  errno = 0;
  int32_t result = readSocket(stream, buffer, length);
  int error = errno;
  if (result > 0) return result;
  // A reset has been noted by the read itself (noteReset).
  if (mayRetry(error)) {
    BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
  } else if (result == 0) {
    noteUnannouncedClose(stream);
  }
  return result;
}

// Never waits: what the socket does not take now waits in the stream's backlog, so that no
// library call yields to the host and the connection is never left in the middle of one.
int myBIOwrite(BIO* bio, const char* data, int length) {
  TCPGlob* stream = streamOf(bio);
  BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  return writeTLSRecords(stream, data, length);
}

int myBIOputs(BIO* bio, const char* text) {
  return myBIOwrite(bio, text, static_cast<int>(std::strlen(text)));
}

// Only a flush answers (the socket path holds no bytes of its own). Every other control answers
// 0: an end-of-file answer would turn a peer's bare TCP close into a queued error, and kernel
// TLS must stay off since the bytes go through our own send and receive.
long myBIOctrl(BIO* bio, int command, long number, void* pointer) {
  if (BIO* next = BIO_next(bio)) return BIO_ctrl(next, command, number, pointer);
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socketMethod() {
  if (sMyBIOmethod != nullptr) return sMyBIOmethod;
  BIO_METHOD* method =
      BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ZUV stream socket");
  if (method == nullptr) return nullptr;
  BIO_meth_set_ctrl(method, myBIOctrl);
  BIO_meth_set_read(method, myBIOread);
  BIO_meth_set_gets(method, myBIOread);
  BIO_meth_set_write(method, myBIOwrite);
  BIO_meth_set_puts(method, myBIOputs);
  sMyBIOmethod = method;
  return method;
}

}  // namespace

void noteUnannouncedClose(TCPGlob* stream) {
  SSL* ssl = stream->ssl.get();
  if (ssl == nullptr || SSL_is_init_finished(ssl) != 1) return;
  if ((SSL_get_shutdown(ssl) & (SSL_RECEIVED_SHUTDOWN | SSL_SENT_SHUTDOWN)) != 0) return;
  stream->lastTLSError = kUnannouncedClose;
}

bool attachConnection(TCPGlob* stream) {
  BIO_METHOD* method = socketMethod();
  if (method == nullptr) return false;
  stream->ssl.reset(SSL_new(stream->ctx.get()));
  if (stream->ssl == nullptr) return false;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return false;
  BIO_set_data(bio, stream);
  SSL_set_bio(stream->ssl.get(), bio, bio);
  return true;
}

void freeSocketMethod() {
  if (sMyBIOmethod != nullptr) BIO_meth_free(sMyBIOmethod);
  sMyBIOmethod = nullptr;
}

bool pushTLSBacklog(TCPGlob* stream) {
  std::string& backlog = stream->tlsBacklog;
  while (!backlog.empty()) {
    long written = sendPiece(stream, backlog.data(), backlog.size());
    if (written <= 0) return socketIsFull();
    backlog.erase(0, static_cast<size_t>(written));
  }
  return true;
}

int32_t writeTLSRecords(TCPGlob* stream, const char* bytes, int32_t count) {
  if (!pushTLSBacklog(stream)) return -1;
  int32_t sent = 0;
  if (stream->tlsBacklog.empty()) {
    while (sent < count) {
      long written = sendPiece(stream, bytes + sent, static_cast<size_t>(count - sent));
      if (written <= 0) {
        if (!socketIsFull()) return -1;
        break;
      }
      sent += static_cast<int32_t>(written);
    }
  }
  try {
    stream->tlsBacklog.append(bytes + sent, static_cast<size_t>(count - sent));
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
  return count;
}

int32_t readSocket(TCPGlob* stream, char* bytes, int32_t max) {
  long got = platform::receiveNow(stream->sock.get(), bytes, static_cast<size_t>(max));
  return afterSocketRead(stream, got, errno);
}

}  // namespace tcp
