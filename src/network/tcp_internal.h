// What the files of the network layer share beyond tcp.h: the guards of a stream, the status rule
// that every path applies, and the joints between the record (tcp.cpp), the status machine, sends,
// receives and push-back, the TLS layer with its BIO and certificates, the server-name map and the
// listening slots. Only src/network/tcp*.cpp and the network tests include it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include "network/tcp.h"

namespace tcp {

// Keeps one 4D process at a time inside one of a stream's guards for the holder's scope. A second
// process that wants it yields until the holder is done. The holder may take it again (a send
// that flushes first). The record must outlive the guard: the commands that hold one keep the
// stream with the table's busy counter.
class ProcessGuard {
 public:
  explicit ProcessGuard(ProcessGuardState* state);
  ~ProcessGuard();
  ProcessGuard(const ProcessGuard&) = delete;
  ProcessGuard& operator=(const ProcessGuard&) = delete;

 private:
  ProcessGuardState* state_;
};

// Held across a stream's multi-pass sending (a send that yields between its pieces, a flush, a
// close), so that another process's bytes never land between the holder's.
class StreamGuard : public ProcessGuard {
 public:
  explicit StreamGuard(TCPGlob* stream)
      : ProcessGuard(stream != nullptr ? &stream->sendGuard : nullptr) {}
};

// Held across every TLS library call on a stream's connection and every reading of its TLS
// state. No library call yields (the socket BIO never waits), so a holder never lets another
// process run and nobody waits for it: in particular a status query or a TLS question from
// another process goes on while a send waits for room between its library calls.
class TLSGuard : public ProcessGuard {
 public:
  explicit TLSGuard(TCPGlob* stream)
      : ProcessGuard(stream != nullptr ? &stream->tlsGuard : nullptr) {}
};

// True when a stream made with this port and these open flags uses TLS: ports 443, 993 and 995
// do whatever the flags, any other port under the TLS flags.
inline bool usesTLS(int16_t port, int32_t flags) {
  uint16_t p = static_cast<uint16_t>(port);
  return p == 443 || p == 993 || p == 995 || (flags & kStreamFlagTLS) != 0;
}

// The socket buffers of a TLS stream hold at least the largest record that the library writes or
// reads. In a smaller send buffer the socket holds one record at a time, and a peer acknowledges
// a lone segment late (a delayed acknowledgement, or when its reader next runs): every record
// then waits for that, and a 4096-byte stream sends a hundred times slower than a 32768-byte one.
// A smaller receive buffer lets only part of a record in at once, and the library can open none
// until the rest has come, window by window.
constexpr int32_t kMinTLSBuffer = SSL3_RT_MAX_PACKET_SIZE;

// The socket buffer size that tcp::open and tcp::listen ask createGlob for.
inline int32_t streamBufferSize(int32_t asked, bool tls) {
  return tls && asked < kMinTLSBuffer ? kMinTLSBuffer : asked;
}

// Stores `value` when it is above the stored status: a raise never lowers.
inline void raiseStatus(TCPGlob* stream, int32_t value) {
  if (value > stream->status) stream->status = value;
}

// The peer's reset, whichever socket call meets it first (a read, a send, the close probe of a
// status poll): the status becomes 20, and a TLS connection that had finished its handshake
// without a close notification either way records the unannounced close as its last error, so
// that every command tells the same story of the same connection.
void noteReset(TCPGlob* stream);

// ---- The record and its counters ----------------------------------------------------------------

// Socket calls move at most this many bytes at once, so that every piece ends in a yield.
constexpr int32_t kPieceSize = 32768;

inline int32_t asInt32(uint32_t value) { return static_cast<int32_t>(value); }

// Adds to a 32-bit byte counter of a record, wrapping around instead of overflowing.
inline void addTo(int32_t& counter, int64_t amount) {
  counter = asInt32(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

// A new empty record, registered as live for releaseRecord; null when memory lacks.
TCPGlob* newRecord();
// The one release of every kind of stream (TCP client, listener, UDP), in this order: the
// push-back, the TLS objects (the close notification first, unless the mode is negative), the
// listeners-released count, the listening slot or else the socket, and the record itself.
// Answers 0, or the errno of the socket's failed close; a null record answers 0. A record that
// is not live (released before, or never made by newRecord) is not touched: that is a fault of
// ours, reported through tcp::testing's fault report, and answers EINVAL.
int releaseRecord(TCPGlob* stream, int32_t mode);

enum Counter { kOpens, kConnects, kAccepts, kCloses, kListenersReleased, kBytesIn, kBytesOut };
// Adds to a counter of gTCPStats; the counters wrap around at 32 bits.
void count(Counter counter, uint64_t amount = 1);

// ---- Sending ------------------------------------------------------------------------------------

// One send of at most a piece that never waits: the bytes written, counted, or -1 with errno as
// the send left it (a full socket: EAGAIN; any other failure has stored its status).
long sendPiece(TCPGlob* stream, const char* bytes, size_t count);
// True when errno says that the socket is full (or, for a read, empty) for now.
bool socketIsFull();
// Sends the close notification and, once the handshake is done, waits for the socket to take it
// (the send time-out bounds the wait). A handshake that never finished has no notification to
// send, and what it left in the backlog is dropped with the connection: a client that never reads
// must not hold the close.
void sendCloseNotification(TCPGlob* stream);

// ---- Receiving and the push-back ----------------------------------------------------------------

// What a receive answers for a socket read, counting the bytes read or raising the status for
// what a failure says; errno is left as the read set it.
int32_t afterSocketRead(TCPGlob* stream, long got, int error);
// Sizes the caller's handle, making one when it holds none; false when the host refuses.
bool sizeHandle(HostHandle& handle, int32_t size);
// The push-back's unread bytes.
int32_t pushedBack(const TCPGlob* stream);
// Takes at most `max` bytes (32768 for none) from the push-back's start. The last ones leave in
// the push-back's own handle when nothing was taken from it before, else in a copy; either way
// the stream is left without a push-back.
int32_t receiveFromPushBack(TCPGlob* stream, HostHandle& handle, int32_t max);
// Copies at most max bytes from the push-back's start into bytes; the push-back leaves the
// stream once it has given its last byte.
int32_t takeFromPushBack(TCPGlob* stream, char* bytes, int32_t max);

// ---- The socket BIO of the TLS layer ------------------------------------------------------------

// Makes the stream's connection on its context, reading and writing through the socket BIO,
// which the connection owns. false leaves what it made in the record, for tcp::release to free.
bool attachConnection(TCPGlob* stream);
// Frees the BIO method at shut-down.
void freeSocketMethod();
// One read of the stream's socket that never waits, counted as a receive's socket read is; it
// raises the status for an end (14), a reset (20, noteReset) or an abort (20), and leaves errno
// as the read set it. Answers as tcp::receive does.
int32_t readSocket(TCPGlob* stream, char* bytes, int32_t max);
// The BIO's write: sends what the socket takes now, behind the records still in the backlog,
// and keeps the rest there; answers count, or -1 (errno set) when the socket failed.
int32_t writeTLSRecords(TCPGlob* stream, const char* bytes, int32_t count);
// Sends what the socket takes of the backlog without waiting; false when the socket failed.
bool pushTLSBacklog(TCPGlob* stream);
// A peer that ends the connection without its close notification, while the stream has sent
// none either, may have cut what it sent (a truncation attack): the stream's last error then
// says that the close was not announced, in the library's own words. A connection whose
// handshake never finished, or that saw a close notification, keeps its last error. The caller
// holds the TLS guard.
void noteUnannouncedClose(TCPGlob* stream);

// ---- The TLS layer ------------------------------------------------------------------------------

// The error-queue rule after a TLS library call: the oldest code, when there is one, becomes
// the stream's lastTLSError, and the rest of the queue is dropped so that no later call of any
// stream reads a stale code.
void applyErrorQueue(TCPGlob* stream);
// Makes the client context, the connection and its socket BIO of a stream that tcp::open found
// to use TLS, with the options of the open flags; makes its kind TLS. false leaves what it
// made in the record, for tcp::release to free.
bool setUpClientTLS(TCPGlob* stream, int32_t flags);
// The server side of tcp::listen for a TLS listener: its context (the server-name entry's under
// the server-name flags, else its own), options, default cipher list, connection and BIO, and the
// default certificate when it has none. false leaves what it made for tcp::release.
bool setUpServerTLS(TCPGlob* stream, int32_t flags, int32_t serverNameKey);
// Frees the process-wide TLS state at shut-down: the BIO method and the server-name map.
void freeTLSState();
// The cipher list of listeners, and of a stream given the empty list.
constexpr const char* kDefaultCipherList = "ALL:!COMPLEMENTOFDEFAULT:!eNULL";

// ---- Certificate files --------------------------------------------------------------------------

struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using unique_x509 = std::unique_ptr<X509, CertificateFree>;
using unique_pkey = std::unique_ptr<EVP_PKEY, KeyFree>;

// The bytes of a certificate, key or chain file, read whole. Only a regular file of at most
// kMaxCertificateFile bytes is read, and it is opened so that nothing blocks: a FIFO, a device, a
// folder or a larger file is refused before a byte is read. false, with the system's error queued
// for the stream's last error, when the file cannot be read or is refused; an empty path queues
// nothing.
constexpr int64_t kMaxCertificateFile = 1 << 20;
bool readCertificateFile(const char* path, std::string& bytes);
// The first private key or certificate in a file's bytes, read as PEM (and then DER when `derToo`);
// null when there is none. The pass phrase decrypts a PEM key.
unique_pkey parsePrivateKey(const std::string& bytes, bool derToo, const char* passPhrase);
unique_x509 parseCertificate(const std::string& bytes, bool derToo);
// The certificates of a chain file (PEM), in their order; false when it holds none, or when one
// of them does not read.
bool readChain(const char* path, std::vector<unique_x509>& certificates);
// Loads the default certificate (tcp::sslSetCert without a stream) into a TLS listener that has
// none of its own; a listener without one fails its handshakes.
void loadDefaultCertificate(TCPGlob* stream);
// The library's pass-phrase callback: copies the pass phrase given as user data.
int sPem_passwd_cb(char* buffer, int size, int readWrite, void* userData);

// ---- Server-name map ----------------------------------------------------------------------------

// A listener with a server-name flag takes the context of the entry `key` with a reference of its
// own and its certificate (sniId := key), or none (sniId := -1).
void takeServerNameContext(TCPGlob* stream, int32_t key);
// Installs (or clears) the server-name callback of a listener's context.
void installServerNameCallback(SSL_CTX* context, bool byName);
void freeServerNameMap();

// ---- Listening slots ----------------------------------------------------------------------------

// Detaches a stream from its listening slot (listenSlot 1..128) and takes the slot's socket back
// from its record. When it was the slot's last stream the socket keeps listening for its grace;
// mode 2 closes it at once instead.
void removeListener(TCPGlob* stream, int32_t mode);
// Closes the listening sockets whose grace has passed; the first step of every mapStatus.
void reapListeners();
// tcp::init: every slot free. tcp::deinit: every slot's socket closed.
void clearListeningSlots();
void closeListeningSlots();

}  // namespace tcp
