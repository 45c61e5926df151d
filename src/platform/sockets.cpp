// Sockets as the network layer expects them from macOS. There, SO_NOSIGPIPE keeps a send to a
// broken connection from raising SIGPIPE, accepted sockets inherit the listener's non-blocking
// mode, and a one-byte out-of-band receive answers 0 once the peer has closed. Linux has no
// SO_NOSIGPIPE (MSG_NOSIGNAL on every send instead), hands out blocking accepted sockets
// (accept4 with SOCK_NONBLOCK), and answers that receive with EINVAL in every state, so the
// probe first asks poll for POLLRDHUP, POLLHUP and POLLERR. select is never used: descriptors
// above FD_SETSIZE are common in a host with many files open.

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

namespace {

// Moves a socket off descriptor 0: 0 is what the stream record reads as "no socket".
int avoidDescriptorZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

}  // namespace

int openSocket(int domain, int type, int protocol) {
  return avoidDescriptorZero(socket(domain, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
}

int acceptConnection(int listener) {
  return avoidDescriptorZero(accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

long sendWithoutSignal(int fd, const void* bytes, unsigned long count) {
  return send(fd, bytes, count, MSG_NOSIGNAL);
}

bool waitWritable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLOUT, 0};
  if (poll(&entry, 1, timeoutMs) <= 0) return false;
  return (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) <= 0) return false;
  return (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

ConnectionProbe probeConnection(int fd) {
  ConnectionProbe probe;
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&entry, 1, 0) > 0) {
    if (entry.revents & POLLERR) {
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        probe.error = error;
        return probe;
      }
    }
    if (entry.revents & (POLLRDHUP | POLLHUP)) {
      probe.peerClosed = true;
      return probe;
    }
  }
  // Drops an urgent byte, as the stream has always done; without one Linux answers EINVAL.
  char urgent;
  long got = recv(fd, &urgent, 1, MSG_OOB);
  if (got == 0) {
    probe.peerClosed = true;
  } else if (got < 0 && errno != EINVAL && errno != EAGAIN && errno != EWOULDBLOCK) {
    probe.error = errno;
  }
  return probe;
}

}  // namespace platform
