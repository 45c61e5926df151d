// A TLS server inside the test binary, for the tests that need a peer whose connection they
// drive to the byte: its serve function runs on the accepted connection after the handshake,
// with the library's connection and the socket in hand.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peers/peers.h"
#include "peers/tls_peers.h"

namespace peers {

// A TLS server of the test's own on 127.0.0.1, with blocking sockets and the leaf certificate:
// serve runs on its one connection after the handshake. Without session tickets it sends
// nothing after its handshake that serve does not send: a test that awaits serve's bytes in the
// stream's socket cannot take tickets that a busy machine delivered late for them. A receive
// buffer above 0 is set on the listening socket, for the connection to inherit.
class InProcessServer {
 public:
  using Serve = std::function<void(SSL* ssl, int fd, InProcessServer& self)>;
  enum class Tickets { kSent, kNone };
  explicit InProcessServer(Serve serve, Tickets tickets = Tickets::kSent, int receiveBuffer = 0) {
    context_ = SSL_CTX_new(TLS_server_method());
    if (tickets == Tickets::kNone) SSL_CTX_set_num_tickets(context_, 0);
    SSL_CTX_use_certificate_file(context_, Certificates::get().path("leaf.pem").c_str(),
                                 SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context_, Certificates::get().path("leaf.key").c_str(),
                                SSL_FILETYPE_PEM);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a = address(kLoopback1, 0);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 1);
    port_ = localPort(listener_);
    thread_ = std::thread([this, serve] {
      // A write of the server's into a connection the stream has just released must fail in
      // this thread, not end the test binary with SIGPIPE.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1) serve(ssl, fd, *this);
      SSL_free(ssl);
      ::close(fd);
      ERR_clear_error();
    });
  }
  ~InProcessServer() {
    stop();
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(context_);
  }
  int16_t port() const { return static_cast<int16_t>(port_); }
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }
  void waitForStop() {
    while (!stopped_) std::this_thread::yield();
  }

 private:
  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopped_{false};
};

}  // namespace peers
