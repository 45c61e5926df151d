// Listening streams and the listening slots they share: one listening socket per port and local
// address, the chain of streams that wait on it, and the grace of 30 seconds that keeps a socket
// listening after its last stream left (by accepting or by its release), so that a listening
// stream made meanwhile takes it over without a new bind, with the clients the system queued on
// it. A server that makes one listener per client would otherwise reset every client that came
// while it served the one before.
//
// Only a slot closes its socket; a stream that waits on it holds the same descriptor without
// owning it. The slots, the chains and the reaper's next time are process-wide without a lock:
// every change runs inside one call that does not yield.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"

namespace tcp {

namespace {

constexpr int kSlotCount = 128;
constexpr int kBacklog = 100;
// Long enough for a server method to serve one client and make its next listener.
constexpr time_t kGraceSeconds = 30;

struct ListenerSlot {
  int32_t fd = 0;  // 0: the slot is free
  int32_t waitingCount = 0;
  int64_t localAddress = 0;
  int32_t port = 0;
  // The port the socket listens on, which the system chose when `port` was 0: a listener made
  // for that port later joins the slot too.
  int32_t boundPort = 0;
  TCPGlob* firstWaiting = nullptr;
  TCPGlob* lastWaiting = nullptr;
  time_t closeAt = 0;  // 0: no close pending
};

ListenerSlot sListeningSockets[kSlotCount];
time_t gNextClose = 0;

void closeSlot(ListenerSlot& slot) {
  if (slot.fd > 0) ::close(slot.fd);
  slot = ListenerSlot{};
}

ListenerSlot* slotOf(const TCPGlob* stream) {
  int index = stream->listenSlot;
  return index >= 1 && index <= kSlotCount ? &sListeningSockets[index - 1] : nullptr;
}

void appendWaiting(ListenerSlot& slot, TCPGlob* stream, int index) {
  stream->nextWaiting = nullptr;
  if (slot.lastWaiting != nullptr) {
    slot.lastWaiting->nextWaiting = stream;
  } else {
    slot.firstWaiting = stream;
  }
  slot.lastWaiting = stream;
  stream->listenSlot = static_cast<int16_t>(index + 1);
}

void unlinkWaiting(ListenerSlot& slot, TCPGlob* stream) {
  TCPGlob* previous = nullptr;
  for (TCPGlob* at = slot.firstWaiting; at != nullptr; previous = at, at = at->nextWaiting) {
    if (at != stream) continue;
    if (previous != nullptr) {
      previous->nextWaiting = at->nextWaiting;
    } else {
      slot.firstWaiting = at->nextWaiting;
    }
    if (slot.lastWaiting == at) slot.lastWaiting = previous;
    break;
  }
  stream->nextWaiting = nullptr;
  stream->listenSlot = 0;
}

// The slot in use for this port and local address (compared on their low 32 bits).
int findSlot(int32_t port, int32_t localAddress) {
  for (int index = 0; index < kSlotCount; ++index) {
    const ListenerSlot& slot = sListeningSockets[index];
    if (slot.fd != 0 && (slot.port == port || slot.boundPort == port) &&
        static_cast<uint32_t>(slot.localAddress) == static_cast<uint32_t>(localAddress)) {
      return index;
    }
  }
  return -1;
}

int freeSlot() {
  for (int index = 0; index < kSlotCount; ++index) {
    if (sListeningSockets[index].fd == 0) return index;
  }
  return -1;
}

// The stream gives up its own socket for the slot's, which keeps listening for it too.
void joinSlot(TCPGlob* stream, int index) {
  ListenerSlot& slot = sListeningSockets[index];
  stream->sock.reset(slot.fd);
  ++slot.waitingCount;
  slot.closeAt = 0;
  appendWaiting(slot, stream, index);
}

bool bindAndListen(TCPGlob* stream, int16_t port, int32_t localAddress) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = htonl(static_cast<uint32_t>(localAddress));
  return bind(stream->sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
         ::listen(stream->sock.get(), kBacklog) == 0;
}

void openSlot(TCPGlob* stream, int index, int16_t port, int32_t localAddress) {
  ListenerSlot& slot = sListeningSockets[index];
  slot = ListenerSlot{};
  slot.fd = stream->sock.get();
  slot.port = port;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(slot.fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    slot.boundPort = static_cast<int16_t>(ntohs(bound.sin_port));
  }
  slot.localAddress = localAddress;
  slot.waitingCount = 1;
  appendWaiting(slot, stream, index);
}

}  // namespace

// Answers null, keeping nothing, when the record, its TLS objects or the socket cannot be made,
// when the bind or listen fails, and when every slot holds another port's socket (a stream
// without a slot could never accept).
TCPGlob* listen(int16_t port, int32_t bufferSize, int32_t flags, int32_t localAddress,
                int32_t serverNameKey) {
  bool tls = usesTLS(port, flags);
  TCPGlob* stream = createGlob(streamBufferSize(bufferSize, tls));
  if (stream == nullptr) return nullptr;
  if (tls && !setUpServerTLS(stream, flags, serverNameKey)) {
    release(stream, -1);
    return nullptr;
  }
  stream->listenSlot = 0;
  int index = findSlot(port, localAddress);
  if (index >= 0) {
    joinSlot(stream, index);
  } else {
    index = freeSlot();
    if (index < 0 || !bindAndListen(stream, port, localAddress)) {
      release(stream, -1);
      return nullptr;
    }
    openSlot(stream, index, port, localAddress);
  }
  // The first poll takes a client already waiting on the socket, unless the listener has no
  // certificate yet: its own is set right after it is made, before its status is asked for.
  if (stream->kind == kKindTLS && !stream->hasCertificate) {
    raiseStatus(stream, kStreamListening);
  } else {
    mapStatus(stream, kStreamListening);
  }
  return stream;
}

void removeListener(TCPGlob* stream, int32_t mode) {
  if (stream->listenSlot != 0) stream->sock.release();
  ListenerSlot* slot = slotOf(stream);
  if (slot == nullptr) {
    stream->listenSlot = 0;
    return;
  }
  unlinkWaiting(*slot, stream);
  if (--slot->waitingCount > 0) return;
  if (mode == 2) return closeSlot(*slot);
  slot->waitingCount = 0;
  slot->firstWaiting = slot->lastWaiting = nullptr;
  slot->closeAt = wallNow() + kGraceSeconds;
  if (gNextClose == 0) gNextClose = slot->closeAt;
}

// The next look is due at the earliest pending close, so that each socket closes at the first
// status query after its own grace, however many graces run at once.
void reapListeners() {
  time_t now = wallNow();
  if (gNextClose == 0 || difftime(now, gNextClose) <= 0) return;
  gNextClose = 0;
  for (ListenerSlot& slot : sListeningSockets) {
    if (slot.closeAt == 0 || slot.waitingCount != 0) continue;
    if (difftime(now, slot.closeAt) > 0) {
      closeSlot(slot);
    } else if (gNextClose == 0 || slot.closeAt < gNextClose) {
      gNextClose = slot.closeAt;
    }
  }
}

void clearListeningSlots() {
  for (ListenerSlot& slot : sListeningSockets) slot = ListenerSlot{};
}

void closeListeningSlots() {
  for (ListenerSlot& slot : sListeningSockets) closeSlot(slot);
  gNextClose = 0;
}

}  // namespace tcp
