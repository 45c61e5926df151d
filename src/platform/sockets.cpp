// Sockets as the network layer expects them from macOS. There, SO_NOSIGPIPE keeps a send to a
// broken connection from raising SIGPIPE, accepted sockets inherit the listener's non-blocking
// mode, and a one-byte out-of-band receive answers 0 once the peer has closed. Linux has no
// SO_NOSIGPIPE (MSG_NOSIGNAL on every send instead), hands out blocking accepted sockets
// (accept4 with SOCK_NONBLOCK), and answers that receive with EINVAL in every state, so the
// probe first asks poll for POLLRDHUP, POLLHUP and POLLERR. select is never used: descriptors
// above FD_SETSIZE are common in a host with many files open. A receive that may wait sleeps in
// recv with the socket's receive time-out, which Linux counts in whole clock ticks (4 ms at 250
// Hz): a poll followed by a read costs several times as much for every piece of a fast peer.

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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
  return send(fd, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long receiveNow(int fd, void* bytes, unsigned long count) {
  return recv(fd, bytes, count, MSG_DONTWAIT);
}

bool setReceiveWait(int fd, int milliseconds) {
  timeval wait{milliseconds / 1000, milliseconds % 1000 * 1000};
  return milliseconds > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
}

// O_NONBLOCK belongs to the open file, which every process sharing the socket sees: it is cleared
// for the one receive and set again at once. Every other call on the socket says MSG_DONTWAIT, so
// that none could wait even while it is cleared.
long receiveWaiting(int fd, void* bytes, unsigned long count) {
  int mode = fcntl(fd, F_GETFL);
  if (mode < 0 || (mode & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, mode & ~O_NONBLOCK) != 0) {
    return receiveNow(fd, bytes, count);
  }
  long got = recv(fd, bytes, count, 0);
  int error = errno;
  fcntl(fd, F_SETFL, mode);
  errno = got < 0 && error == EINTR ? EAGAIN : error;
  return got;
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

void pause(int milliseconds) { poll(nullptr, 0, milliseconds); }

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
  long got = recv(fd, &urgent, 1, MSG_OOB | MSG_DONTWAIT);
  if (got == 0) {
    probe.peerClosed = true;
  } else if (got < 0 && errno != EINVAL && errno != EAGAIN && errno != EWOULDBLOCK) {
    probe.error = errno;
  }
  return probe;
}

}  // namespace platform
