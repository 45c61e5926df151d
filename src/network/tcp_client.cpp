// Client streams: the open (the name, a local binding, the connect that the status machine
// completes, TLS by port or flags) and the half-close of a connected stream.

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "text/conversion.h"

namespace tcp {

namespace {

// An unresolvable name answers address 0, which would connect to this host: only a text that
// reads as the numeric address 0 may name it.
bool namesAddressZero(const PA_Unistring& host) {
  EncodedChars name = convertToChars(host.fString, host.fLength, kCharSetUTF8);
  in_addr address{};
  return name.chars != nullptr && inet_aton(name.chars, &address) != 0 && address.s_addr == 0;
}

bool bindLocal(TCPGlob* stream, int16_t localPort, int32_t localAddress) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(localPort));
  local.sin_addr.s_addr = htonl(static_cast<uint32_t>(localAddress));
  return bind(stream->sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace

// Answers null, keeping nothing, when the name does not resolve (address 0 is
// only taken from a numeric text), the address is 255.255.255.255, the record or its TLS
// objects cannot be made, the local bind fails or the connect fails at once.
TCPGlob* open(const PA_Unistring& host, int16_t port, int32_t bufferSize, int32_t flags,
              int16_t localPort, int32_t localAddress) {
  uint32_t address = nameToAddr(host);
  if (address == INADDR_NONE) return nullptr;
  if (address == 0 && !namesAddressZero(host)) return nullptr;
  bool tls = usesTLS(port, flags);
  TCPGlob* stream = createGlob(streamBufferSize(bufferSize, tls));
  if (stream == nullptr) return nullptr;
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
  if (connect(stream->sock.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
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

// Answers 0, or -1 when the half-close failed; a listening stream answers 0 untouched.
int32_t close(TCPGlob* stream) {
  if (stream == nullptr || stream->status == kStreamListening) return 0;
  // The half-close waits for a send of another process to end, so that its bytes go out whole.
  StreamGuard guard(stream);
  flushSendBuffer(stream);
  if (stream->ssl != nullptr) sendCloseNotification(stream);
  count(kCloses);
  linger off{0, 0};
  setsockopt(stream->sock.get(), SOL_SOCKET, SO_LINGER, &off, sizeof off);
  int result = shutdown(stream->sock.get(), SHUT_WR);
  mapStatus(stream, kStreamClosing);
  return result == 0 ? 0 : -1;
}

}  // namespace tcp
