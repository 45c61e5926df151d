// The plain socket side of the network benchmarks: a client connected the way the plug-in's
// streams are, so that a reference loop and the plug-in move bytes through buffers of one size.
#pragma once

#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>

#include "peers/peers.h"

namespace benchtools {

// A TCP client on 127.0.0.1:port with send and receive buffers of bufferSize bytes. A failed
// connect shows in the first send or receive.
inline int connectLoopback(uint16_t port, int bufferSize) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  sockaddr_in a = peers::address(peers::kLoopback1, port);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

}  // namespace benchtools
