// The Streams commands: they open, listen on, close, release and query TCP streams, wait for a
// stream's status, poll many streams at once and resolve names. A command that works on a stream
// holds it with the busy counter, so that a release from another 4D process answers -2 instead of
// freeing the record under it.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "4DPluginAPI.h"
#include "4DPluginAPI_variables.h"
#include "commands/zuv_commands.h"
#include "commands/zuv_transfers_common.h"
#include "plugin/parameters.h"
#include "plugin/streams.h"
#include "text/conversion.h"

namespace {

// Result codes of the stream commands.
constexpr int32_t kBadStream = -1;

// The answers of ZUV_TCPLocalInfo's fixed outputs.
constexpr int32_t kLocalInfoKind = 4;
constexpr int32_t kLocalInfoVersion = 84115459;  // 0x05038003

constexpr PA_Unichar kEmptyText[1] = {0};

// ZUV_TCPAddrToName's flags: the dotted form only (it wins over the name only), the name only.
constexpr int32_t kAddressDottedForm = 0x2;
constexpr int32_t kAddressNameOnly = 0x1;

// Room for the longest host name the resolver gives and its terminating zero byte.
constexpr size_t kHostNameSize = NI_MAXHOST;

int32_t hostOrder(uint32_t networkAddress) { return static_cast<int32_t>(ntohl(networkAddress)); }

int32_t waitStatusCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  int32_t wanted = PA_GetLongParameter(block, 2);
  int32_t timeout = PA_GetLongParameter(block, 3);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  // A negative status could never be reached; without a time-out it waits for 8 as 0 does.
  if (wanted == 0 || (wanted < 0 && timeout <= 0)) wanted = kStreamEstablished;
  Deadline deadline = timeout > 0 ? Deadline::afterSeconds(timeout) : Deadline::none();
  streams::BusyStream held(id);
  int32_t status;
  for (;;) {
    status = tcp::status(held.stream(), tcp::kSelectStatus);
    yieldAt(kStatusWaitPacing);
    if (wanted > 0 && status >= wanted) break;
    if (status < 0 || deadline.passed()) break;
    // Shut-down may have emptied the table during the yield: the record is read only while the
    // table still holds it.
    if (streams::lookUp(id) != held.stream()) break;
    // Time-out or not, nothing comes after a status that the stream never leaves by itself; the
    // answer is where the stream stands now, which another process may have moved meanwhile.
    if (tcp::statusIsFinal(held.stream())) {
      status = tcp::getStreamStatus(held.stream());
      break;
    }
  }
  return status;
}

}  // namespace

// ZUV_TCPOpen: the new stream's id; 0 when no stream was made or the table is full.
void handleTCPOpen(PluginBlock* block) {
  PA_Unistring* host = PA_GetStringParameter(block, 1);
  int16_t port = PA_GetShortParameter(block, 2);
  int32_t bufferSize = PA_GetLongParameter(block, 3);
  int32_t flags = PA_GetLongParameter(block, 4);
  int16_t localPort = PA_GetShortParameter(block, 6);
  int32_t localAddress = PA_GetLongParameter(block, 7);
  tcp::TCPGlob* stream = nullptr;
  if (host != nullptr) stream = tcp::open(*host, port, bufferSize, flags, localPort, localAddress);
  PA_ReturnLong(block, streams::add(stream));
}

// ZUV_TCPListen: the new listening stream's id; 0 when no stream listens or the table is full.
void handleTCPListen(PluginBlock* block) {
  int16_t port = PA_GetShortParameter(block, 3);
  int32_t bufferSize = PA_GetLongParameter(block, 4);
  int32_t flags = PA_GetLongParameter(block, 5);
  int32_t localAddress = PA_GetLongParameter(block, 7);
  int32_t serverNameKey = PA_GetLongParameter(block, 8);
  PA_ReturnLong(block,
                streams::add(tcp::listen(port, bufferSize, flags, localAddress, serverNameKey)));
}

// ZUV_TCPClose: -1 for a bad id, and -1 when the flush of the waiting bytes or the half-close
// failed; else 0. The stream keeps its id.
void handleTCPClose(PluginBlock* block) {
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  if (held.stream() == nullptr) return PA_ReturnLong(block, kBadStream);
  int32_t flushed = tcp::sendBuffered(held.stream(), nullptr, 0, 0);
  int32_t closed = tcp::close(held.stream());
  PA_ReturnLong(block, flushed == -1 ? -1 : closed);
}

// ZUV_TCPRelease: -1 for a bad id, -2 while a command holds the stream, else tcp::release's
// answer and the id is free.
void handleTCPRelease(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return PA_ReturnLong(block, kBadStream);
  PA_ReturnLong(block, doTCPRelease(id, PA_GetLongParameter(block, 2)));
}

// ZUV_TCPStatus: a negative p1 asks for the global information -p1 (negated in 64 bits, so
// -2147483648 answers 0); 0 or a bad id answers -1; else the status or a counter of p2.
void handleTCPStatus(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (id < 0) return PA_ReturnLong(block, tcp::getGlobalInfo(-int64_t{id}));
  streams::BusyStream held(id);
  if (held.stream() == nullptr) return PA_ReturnLong(block, kBadStream);
  PA_ReturnLong(block, tcp::status(held.stream(), PA_GetLongParameter(block, 2)));
}

// ZUV_TCPWaitStatus: the status read last; -1 for a bad id or a UDP stream. A wait for a status
// that the stream can no longer reach ends at once with the stream's status.
void handleTCPWaitStatus(PluginBlock* block) { answerLong(block, waitStatusCommand); }

// ZUV_TCPBytesAvailable: 0 for a bad id.
void handleTCPBytesAvailable(PluginBlock* block) {
  PA_ReturnLong(block, 0);
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  if (held.stream() == nullptr) return;
  PA_ReturnLong(block, tcp::charsReceived(held.stream()));
}

// ZUV_TCPStreamInfo: the outputs are written for a bad id too (0, 0, 0, -1, 0), which answers -1.
void handleTCPStreamInfo(PluginBlock* block) {
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  int32_t localAddress = 0, remoteAddress = 0;
  int16_t localPort = 0, remotePort = 0;
  int32_t result = kBadStream;
  if (held.stream() != nullptr) {
    result = tcp::getStreamInfo(held.stream(), localAddress, localPort, remoteAddress, remotePort);
  }
  PA_SetLongParameter(block, 2, remoteAddress);
  PA_SetShortParameter(block, 3, remotePort);
  PA_SetShortParameter(block, 4, localPort);
  PA_SetLongParameter(block, 5, -1);
  PA_SetLongParameter(block, 6, localAddress);
  PA_ReturnLong(block, result);
}

// ZUV_TCPLocalInfo: this host's address and three fixed values; always 0.
void handleTCPLocalInfo(PluginBlock* block) {
  PA_SetLongParameter(block, 1, hostOrder(tcp::getHostAddress(nullptr)));
  PA_SetLongParameter(block, 3, -1);
  PA_SetLongParameter(block, 2, kLocalInfoKind);
  PA_SetLongParameter(block, 4, kLocalInfoVersion);
  PA_ReturnLong(block, 0);
}

// ZUV_TCPAddrToName: the name (or dotted form) of an address; the empty text when the lookup
// fails.
void handleTCPAddrToName(PluginBlock* block) {
  PA_ReturnString(block, kEmptyText);
  int32_t address = PA_GetLongParameter(block, 1);
  int32_t options = PA_GetLongParameter(block, 2);
  int flags = 0;
  if (options & kAddressDottedForm) {
    flags = NI_NUMERICHOST;
  } else if (options & kAddressNameOnly) {
    flags = NI_NAMEREQD;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(static_cast<uint32_t>(address));
  char name[kHostNameSize] = {};
  if (getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                  flags) != 0) {
    return;
  }
  name[sizeof name - 1] = '\0';
  DecodedChars units = convertToUnicode(name, -1, kCharSetUTF8);
  if (units.chars != nullptr) PA_ReturnString(block, units.chars);
}

// ZUV_TCPNameToAddr: the first IPv4 address in host order; the empty text names this host; 0
// when there is none.
void handleTCPNameToAddr(PluginBlock* block) {
  PA_ReturnLong(block, 0);
  PA_Unistring* name = PA_GetStringParameter(block, 1);
  uint32_t address = 0;
  if (name == nullptr || name->fLength == 0) {
    address = tcp::getHostAddress(nullptr);
  } else {
    address = tcp::nameToAddr(*name);
  }
  PA_ReturnLong(block, hostOrder(address));
}

// ZUV_TCPStreamAt: -1 outside 0..1024, the count for 0, else the id of the n-th stream (0 when
// there are fewer).
void handleTCPStreamAt(PluginBlock* block) {
  int32_t n = PA_GetLongParameter(block, 1);
  if (n < 0 || n > streams::kCapacity) return PA_ReturnLong(block, -1);
  if (n == 0) return PA_ReturnLong(block, streams::count());
  PA_ReturnLong(block, streams::idAt(n));
}

// ZUV_TCPGlobalInfo: 1024 for 5, the counters for 6..12, else 0.
void handleTCPGlobalInfo(PluginBlock* block) {
  PA_ReturnLong(block, tcp::getGlobalInfo(PA_GetLongParameter(block, 1)));
}

// ZUV_TCPSetTimeout: 0 for a bad id (p2 not read); else the time-out now in force.
void handleTCPSetTimeout(PluginBlock* block) {
  tcp::TCPGlob* stream = streams::lookUp(PA_GetLongParameter(block, 1));
  if (stream == nullptr) return PA_ReturnLong(block, 0);
  PA_ReturnLong(block, tcp::setTimeout(stream, PA_GetLongParameter(block, 2)));
}

// ZUV_TCPMultiStatus: the number of the first stream whose status reaches the threshold; -1 when
// none does, for arrays other than longint arrays and for an empty p1. Every stream is polled.
void handleTCPMultiStatus(PluginBlock* block) {
  PA_ReturnLong(block, -1);
  int32_t threshold = PA_GetLongParameter(block, 3);
  if (threshold <= 0) threshold = kStreamEstablished;
  PA_Variable* ids = arrayParameter(block, 1);
  PA_Variable* statuses = arrayParameter(block, 2);
  if (ids->fType != kVariableLongintArray || statuses->fType != kVariableLongintArray) return;
  int32_t count = PA_GetArrayNbElements(*ids);
  int32_t statusCount = PA_GetArrayNbElements(*statuses);
  if (count <= 0) return;
  int32_t answer = -1;
  for (int32_t i = 1; i <= count; ++i) {
    streams::BusyStream held(PA_GetLongintInArray(*ids, i));
    if (held.stream() == nullptr) continue;
    int32_t status = tcp::status(held.stream(), tcp::kSelectStatus);
    if (i <= statusCount) PA_SetLongintInArray(*statuses, i, status);
    if (answer == -1 && status >= threshold) answer = i;
  }
  PA_ReturnLong(block, answer);
}
