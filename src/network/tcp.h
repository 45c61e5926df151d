// The network layer: TCP client streams, UDP sockets, name resolution and the counters of the
// network, for the stream commands (ZUV_TCPOpen, ZUV_TCPClose, ZUV_TCPRelease, ZUV_TCPStatus,
// ZUV_TCPSend, ZUV_TCPReceive and the other transfers, ZUV_TCPBytesAvailable, ZUV_TCPStreamInfo,
// ZUV_TCPLocalInfo, the name commands, ZUV_TCPGlobalInfo, ZUV_TCPSetTimeout and the UDP
// commands).
//
// Every stream is a TCPGlob made and freed here; the stream table of the dispatcher only refers
// to it. Sockets are non-blocking and nothing waits for the network except the send loop, the
// UDP receives, which yield to the host on every turn and sleep on the socket at most 1 ms
// between turns, awaitBytes, at most 1 ms at a time, and a waiting receiveInto, at most a clock
// tick of the system.
// The status of a stream moves only when someone asks for it (mapStatus). Records, counters
// and gLocalIP are process-wide and take no lock: the host runs one call at a time and switches
// only at a yield, so a record that a command keeps across a yield is held by the stream
// table's busy counter.
//
// The layer lives from tcp::init (start-up) to tcp::deinit (shut-down); the counters, gLocalIP
// and the clock offsets of tcp::testing live until the plug-in is unloaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include <openssl/types.h>

#include "4DPluginAPI.h"
#include "text/conversion.h"

enum StreamStatus : int32_t {
  kStreamNotConnected = 0,
  kStreamListening = 2,
  kStreamAccepting = 4,
  kStreamConnecting = 6,
  kStreamEstablished = 8,
  kStreamClosing = 12,
  kStreamPeerClosed = 14,
  kStreamClosed = 18,
  kStreamError = 20,
};

namespace tcp {

enum StreamKind : int32_t { kKindPlain = 0, kKindTLS = 1, kKindUDP = 2 };

// How far a TLS client has come: its TCP connect pending, its handshake under way, or both done.
enum ConnectPhase : int32_t { kPhaseConnect = 0, kPhaseHandshake = 1, kPhaseDone = 2 };

// The request of a status poll (mapStatus): it raises nothing, so the machine only advances.
constexpr int32_t kPollOnly = kStreamNotConnected;

// What tcp::status answers besides the status itself (selector 0).
enum StreamStatusSelector : int32_t {
  kSelectStatus = 0,
  kSelectBytesReceived = 14,
  kSelectBytesSent = 17,
  kSelectRawBytesReceived = 23,
  kSelectRawBytesSent = 24,
};

// tcp::getGlobalInfo's selectors: the capacity and the seven counters of gTCPStats.
enum GlobalInfoSelector : int32_t {
  kInfoCapacity = 5,
  kInfoOpens = 6,
  kInfoConnects = 7,
  kInfoAccepts = 8,
  kInfoCloses = 9,
  kInfoListenersReleased = 10,
  kInfoSocketBytesReceived = 11,
  kInfoSocketBytesSent = 12,
};

// The open flags that ask for TLS; ports 443, 993 and 995 use TLS whatever the flags.
constexpr int32_t kStreamFlagTLS = 0x400 | 0x800;
// Listeners only: the certificate is chosen by the name the client asks for; a name that no
// entry of the server-name map holds goes on with the listener's own certificate, or, strict,
// ends the handshake.
constexpr int32_t kStreamFlagSNI = 0x100000;
constexpr int32_t kStreamFlagSNIStrict = 0x200000;

// Owns a socket or file descriptor (none: -1) and closes it at the end of its scope, unless it
// was handed on (release()).
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { close(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, then holds `fd`.
  void reset(int fd = -1) {
    close();
    fd_ = fd;
  }
  // Closes the descriptor held now, leaving none: 0, or -1 with errno set when the close failed
  // (none held: 0).
  int close();

 private:
  int fd_ = -1;
};

// The owners of a record's TLS context and connection; a record holds one reference to its
// context, and the connection owns the stream's BIO.
struct ContextFree {
  void operator()(SSL_CTX* context) const;
};
struct ConnectionFree {
  void operator()(SSL* ssl) const;
};
using unique_ctx = std::unique_ptr<SSL_CTX, ContextFree>;
using unique_ssl = std::unique_ptr<SSL, ConnectionFree>;

// Which 4D process holds one of a stream's guards (tcp_internal.h), and how often it took it.
struct ProcessGuardState {
  int32_t owner = 0;
  int32_t depth = 0;
};

// One stream: a TCP client or accepted connection, a listening stream, or a UDP socket. It owns
// its socket, push-back, TLS context and connection and send buffer through their holders, which
// tcp::release and tcp::releaseUDP free in one order for every kind of stream.
struct TCPGlob {
  // The stream's socket, never on descriptor 0. While the stream waits on a listening slot it
  // holds the slot's socket, which only the slot closes: removeListener takes it back.
  unique_fd sock;
  int16_t listenSlot = 0;
  int32_t status = kStreamNotConnected;
  int32_t rawBytesSent = 0;
  int32_t rawBytesReceived = 0;
  int32_t tlsBytesSent = 0;
  int32_t tlsBytesReceived = 0;
  int32_t timeout = 0;  // send time-out in seconds, 0 for the default of 240
  // Bytes that receives give before the socket's (tcp::unreceive), made empty with a TCP record;
  // a receive may hand the handle itself to its caller, after which the stream holds none.
  unique_handle pushBack;
  // Where the push-back's unread bytes start: a receive takes its bytes from here and moves
  // this on, so that it costs what it takes, however much stays behind.
  int32_t pushBackStart = 0;
  int32_t kind = kKindPlain;  // set once, when the stream becomes TLS (or UDP)
  uint32_t lastTLSError = 0;
  unique_ctx ctx;  // its own, or a server-name entry's with a reference of its own
  unique_ssl ssl;  // owns the stream's BIO
  int32_t acceptResult = 0;
  bool hasCertificate = false;
  int32_t sniId = 0;
  int32_t listenFlags = 0;
  ConnectPhase connectPhase = kPhaseConnect;  // TLS clients only
  // A TLS client whose handshake the library gave up (an alert, the peer's close): it stays at
  // status 6 with the error in lastTLSError, and no further step is tried.
  bool handshakeFailed = false;
  // Bytes that tcp::sendBuffered holds back. A flush takes them out of the record before it
  // sends, so a buffered send of another 4D process during the flush's yields starts a new
  // buffer instead of resizing the one being sent.
  std::string sendBuffer;
  TCPGlob* nextWaiting = nullptr;  // the chain of a listening slot
  // TLS records that the library wrote and the socket has not taken yet, oldest first. The
  // socket BIO never waits: what a full socket refuses waits here, and every later write of the
  // connection, every read and every step of the status machine sends what the socket takes.
  std::string tlsBacklog;
  // The stream's guards: the 4D process that holds each, and how often it took it.
  ProcessGuardState sendGuard;  // StreamGuard
  ProcessGuardState tlsGuard;   // TLSGuard
  // The socket whose receive time-out a waiting receiveInto set, and the time-out.
  int32_t receiveWaitSocket = 0;
  int receiveWait = 0;
};

// ---- Record, status machine and counters -----------------------------------------------------

// A new plain TCP record at status 0 with a non-blocking socket whose buffers are clamped to
// 4096..32768 bytes; null when the record or the socket cannot be made.
TCPGlob* createGlob(int32_t bufferSize);
// Raises the status to `requested` (kPollOnly only polls; 12 at 14 becomes 18), advances the
// machine and answers the status; -1 for a null record.
int32_t mapStatus(TCPGlob* stream, int32_t requested);
int32_t status(TCPGlob* stream, int32_t selector);
int32_t getStreamStatus(const TCPGlob* stream);
// True when the stream's status can rise no further by itself, so that a wait for a higher one
// would wait in vain: the connection failed or was refused (0), the peer has closed (14), both
// sides have (18), an error (20), or a TLS client's handshake failed (6, with its last error).
// Reads the stored status without polling.
bool statusIsFinal(const TCPGlob* stream);
// What a receive that found nothing may still expect of a stream, after a poll of the status
// machine (which it makes): bytes (the stream may still bring some, or holds some), nothing more
// because the peer ended the connection (14 or 18), or nothing more because it failed (0:
// refused, failed or broken; 20: reset, aborted or a fatal TLS error; a TLS client's failed
// handshake; a record that is no TCP stream).
enum class ReceiveOutlook { kBytesMayCome, kEnded, kFailed };
ReceiveOutlook receiveOutlook(TCPGlob* stream);
int32_t getGlobalInfo(int64_t selector);
int32_t charsReceived(TCPGlob* stream);
int32_t getStreamInfo(TCPGlob* stream, int32_t& localAddress, int16_t& localPort,
                      int32_t& remoteAddress, int16_t& remotePort);
int32_t setTimeout(TCPGlob* stream, int32_t seconds);
int32_t init();
void deinit();
void randAdd();

// ---- Client streams, sending and receiving ---------------------------------------------------

TCPGlob* open(const PA_Unistring& host, int16_t port, int32_t bufferSize, int32_t flags,
              int16_t localPort, int32_t localAddress);
int32_t send(TCPGlob* stream, const void* bytes, int32_t count, bool flushFirst);
int32_t send(TCPGlob* stream, HostHandle handle, bool flushFirst);
int32_t flushSendBuffer(TCPGlob* stream);
int32_t sendBuffered(TCPGlob* stream, const void* bytes, int32_t count, int32_t mode);
int32_t sendBuffered(TCPGlob* stream, HostHandle handle, int32_t mode);
int32_t receive(TCPGlob* stream, HostHandle& handle, int32_t max);
// receive into bytes the caller owns, room for max (at least 1) bytes: no host handle is made
// or sized, and the socket is read straight into them, at most 32768 bytes at once. With
// waitMilliseconds above 0, a stream that has nothing to give waits for bytes about that long
// (a plain socket up to the system's clock tick, asleep in the read itself; a listening stream
// on a timer) and answers 0 if none came, so that the caller need not wait again. A stream whose
// peer has ended answers 0 at once: receiveOutlook tells it from one that may still bring bytes.
int32_t receiveInto(TCPGlob* stream, char* bytes, int32_t max, int waitMilliseconds = 0);
// Waits at most `milliseconds` for bytes to come in, so that a loop that finds none does not
// spin; returns at once when the push-back or the TLS library already holds some. A listening
// stream sleeps on a timer, since a connection waiting on its socket would wake the wait at once.
void awaitBytes(TCPGlob* stream, int milliseconds);
int32_t unreceive(TCPGlob* stream, const void* bytes, int32_t count, bool atFront);
int32_t close(TCPGlob* stream);
int32_t release(TCPGlob* stream, int32_t mode);

// ---- UDP sockets and name resolution ---------------------------------------------------------

TCPGlob* createUDP(int32_t port);
int32_t releaseUDP(TCPGlob* stream);
int32_t sendUDP(TCPGlob* stream, const void* bytes, int32_t count, int32_t address, int32_t port);
// One datagram as text (its bytes read as UTF-8): 0 with the text and the sender; -1 at the
// time-out, on a socket error or when the host cannot make the text, the text then empty and the
// sender 0 and 0.
int32_t receiveUDP(TCPGlob* stream, PA_Unistring* text, int32_t& address, int32_t& port,
                   int32_t timeout);
int32_t receiveUDPBlob(TCPGlob* stream, HostHandle handle, int32_t& address, int32_t& port,
                       int32_t timeout);
int32_t getUDPMTUSize();
// This host's or a name's first IPv4 address, in network byte order; 0 when there is none.
uint32_t getHostAddress(const char* name);
uint32_t nameToAddr(const PA_Unistring& name);

// ---- Listening streams -----------------------------------------------------------------------

// A new listening stream at status 2 on the port and local address (host order, 0 for any),
// sharing the listening socket of earlier streams of that port and address; TLS for ports 443,
// 993 and 995 and for the TLS flags, with the server-name map's entry `serverNameKey` under the
// server-name flags. Null when no stream can listen there.
TCPGlob* listen(int16_t port, int32_t bufferSize, int32_t flags, int32_t localAddress,
                int32_t serverNameKey);

// ---- TLS ---------------------------------------------------------------------------------------

// Loads a stream's certificate, key (with its pass phrase) and chain, the certificate and key
// each tried as PEM and then DER, the chain's certificates sent after the certificate: 0, -2 not
// a TLS stream, -3 no certificate or chain, -4 no key or not the certificate's. A path that names
// no regular file of at most 1 MB does not load. A call that fails changes nothing on the stream:
// the files are checked apart and take the place of the stream's earlier ones only when they all
// load. Without a stream the files are loaded and checked the same way, and become the default
// of TLS listeners made later only when they load (no path at all clears it). Null texts count as
// empty.
int32_t sslSetCert(TCPGlob* stream, const char* certificate, const char* privateKey,
                   const char* passPhrase, const char* chain);
// 0, -2 not a TLS stream, -3 a list the library refuses; the empty list is the default list.
int32_t sslSetCiphers(TCPGlob* stream, const PA_Unistring& list);
void sslGetVersion(PA_Unistring* out);
// The protocol, cipher, its secret bits and the peer certificate's subject of an established TLS
// stream: 0, -2 not TLS, -3 not established (the outputs then stay as they were).
int32_t sslGetStreamInfo(TCPGlob* stream, PA_Unistring* version, PA_Unistring* cipher,
                         int32_t& bits, PA_Unistring* peer);
// The stream's last TLS library error with its text, or 0 and the empty text.
int32_t sslGetError(TCPGlob* stream, PA_Unistring* out);

// The server-name map. Key -1 empties it (0). Otherwise the key's entry goes and, when the name,
// certificate and key are all given, a new one is loaded (PEM only): 0 added or removed, -1
// nothing to add or remove, -3 certificate or chain not loaded, -4 key not loaded or not
// matching (the key then has no entry).
int32_t sslSetSNICert(int32_t key, const char* domain, const char* certificate,
                      const char* privateKey, const char* passPhrase, const char* chain);
int32_t sslGetSNIMapSize();
// The next entry's key in ascending order (from the lowest when `first`) with its name, owned by
// the map; -1 at the end. A listing must not be interleaved with changes of the map.
int32_t sslGetSNIDomain(bool first, const char*& domain);

// ---- Clocks ----------------------------------------------------------------------------------

// The clocks of the network layer: the steady clock of the send time-out and receive deadlines,
// and the wall time of the listening slots' grace. Both carry the test offset below.
std::chrono::steady_clock::time_point steadyNow();
time_t wallNow();

namespace testing {
// Moves both clocks of the network layer forward, so that the 240-second send time-out and the
// 30-second grace of a listening socket pass without waiting. Not reachable through FourDPackex.
void advanceClocks(int64_t seconds);
void resetClocks();
// Where the network layer tells of a fault of its own that it refused to carry out: a release of
// a stream record released before (which would free it twice) or never made. The layer writes no
// log: without a report the release is only refused. Tests install one to see such faults; not
// reachable through FourDPackex.
using FaultReport = void (*)(const std::string& fault);
void setFaultReport(FaultReport report);
// How many of the sends' waits for room in a full socket ran out their millisecond without the
// socket taking bytes again, since the module was loaded.
int64_t fullSocketWaitsRunOut();
}  // namespace testing

}  // namespace tcp

// The process-wide counters (tcp::getGlobalInfo 6..12) and this host's cached IPv4 address in
// network byte order (0 until learned; it survives tcp::init).
extern uint32_t gTCPStats[7];
extern uint32_t gLocalIP;
