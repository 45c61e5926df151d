// The UDP commands: they create and release UDP sockets and send and receive datagrams as text
// or BLOB. Each reads its parameters, looks its socket up in the stream table, calls one function
// of the network layer and stores what comes back. A receive may yield while it waits for a
// datagram, so it holds its socket with the busy counter: a release from another 4D process then
// answers -2 instead of freeing the record under it.

#include <string>

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "network/tcp.h"
#include "plugin/parameters.h"
#include "plugin/streams.h"
#include "text/conversion.h"

namespace {

constexpr int32_t kBadStream = -1;
constexpr int32_t kStreamBusy = -2;

tcp::TCPGlob* udpStream(tcp::TCPGlob* stream) {
  return stream != nullptr && stream->kind == tcp::kKindUDP ? stream : nullptr;
}

// Stores the sender of a UDP receive, 0 and 0 when none came.
void returnSender(PluginBlock* block, int32_t address, int32_t port) {
  PA_SetLongParameter(block, 3, address);
  PA_SetLongParameter(block, 4, port);
}

}  // namespace

// ZUV_UDPCreate: the new socket's id; 0 when no socket can be bound or the table is full.
void handleUDPCreate(PluginBlock* block) {
  PA_ReturnLong(block, streams::add(tcp::createUDP(PA_GetLongParameter(block, 1))));
}

// ZUV_UDPRelease: -1 for an id that names no UDP socket (a TCP or listening stream is released
// only by ZUV_TCPRelease), -2 while a receive of another process waits on it; else 0 or the
// errno of the close.
void handleUDPRelease(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (udpStream(streams::lookUp(id)) == nullptr) return PA_ReturnLong(block, kBadStream);
  if (streams::busy(id)) return PA_ReturnLong(block, kStreamBusy);
  PA_ReturnLong(block, tcp::releaseUDP(streams::remove(id)));
}

// ZUV_UDPSend: the text's UTF-8 bytes as one datagram: 0, -1 for a bad id or a failed send.
void handleUDPSend(PluginBlock* block) {
  tcp::TCPGlob* stream = udpStream(streams::lookUp(PA_GetLongParameter(block, 1)));
  if (stream == nullptr) return PA_ReturnLong(block, kBadStream);
  std::string bytes = utf8Parameter(block, 2);
  PA_ReturnLong(block, tcp::sendUDP(stream, bytes.data(), static_cast<int32_t>(bytes.size()),
                                    PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 4)));
}

// ZUV_UDPReceive: 0 with a datagram's text and sender, -1 for a bad id, at the time-out or on an
// error (the text then empty, sender 0 and 0).
void handleUDPReceive(PluginBlock* block) {
  PA_Unistring* text = PA_GetStringParameter(block, 2);
  PA_DisposeUnistring(text);
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  int32_t address = 0, port = 0;
  int32_t result = kBadStream;
  if (udpStream(held.stream()) != nullptr) {
    result = tcp::receiveUDP(held.stream(), text, address, port, PA_GetLongParameter(block, 6));
  }
  returnSender(block, address, port);
  PA_ReturnLong(block, result);
}

// ZUV_UDPMaxSize: 576.
void handleUDPMaxSize(PluginBlock* block) { PA_ReturnLong(block, tcp::getUDPMTUSize()); }

// ZUV_UDPSendBlob: the BLOB's bytes as one datagram; 0 without sending for an empty BLOB.
void handleUDPSendBlob(PluginBlock* block) {
  tcp::TCPGlob* stream = udpStream(streams::lookUp(PA_GetLongParameter(block, 1)));
  if (stream == nullptr) return PA_ReturnLong(block, kBadStream);
  HostHandle bytes = PA_GetBlobHandleParameter(block, 2);
  int32_t size = bytes != nullptr ? PA_GetHandleSize(bytes) : 0;
  if (size <= 0) return PA_ReturnLong(block, 0);
  int32_t address = PA_GetLongParameter(block, 3);
  int32_t port = PA_GetLongParameter(block, 4);
  unique_handle_lock locked(bytes);
  PA_ReturnLong(block, tcp::sendUDP(stream, locked.data(), size, address, port));
}

// ZUV_UDPReceiveBlob: as ZUV_UDPReceive, the datagram's bytes in the BLOB (which gets a handle of
// its own first when it has none).
void handleUDPReceiveBlob(PluginBlock* block) {
  HostHandle bytes = PA_GetBlobHandleParameter(block, 2);
  if (bytes == nullptr) {
    PA_SetBlobHandleParameter(block, 2, PA_NewHandle(0));
    bytes = PA_GetBlobHandleParameter(block, 2);
  }
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  int32_t address = 0, port = 0;
  int32_t result = kBadStream;
  if (udpStream(held.stream()) != nullptr && bytes != nullptr) {
    result =
        tcp::receiveUDPBlob(held.stream(), bytes, address, port, PA_GetLongParameter(block, 6));
  }
  returnSender(block, address, port);
  PA_ReturnLong(block, result);
}
