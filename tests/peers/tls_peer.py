#!/usr/bin/env python3
"""A TLS peer for the stream tests, in a process of its own: Python's ssl over memory buffers and
a blocking socket that the script drives itself, so that a test decides which bytes go onto the
wire, and when.

tls_peer.py server CERTIFICATE KEY: listens on 127.0.0.1 and a port the system chooses, prints
the port on its first line and accepts one connection.
tls_peer.py client PORT [RECEIVE_BUFFER]: connects to 127.0.0.1:PORT (with that receive buffer,
in bytes, when given) and prints "connected".

Then, for each line of its standard input, it runs one command and prints one line, "ok" unless
said otherwise:
  hello        writes the client's first handshake message and nothing more; never reads
  handshake    completes the handshake, reading what it needs
  handshake hold  the same, but keeps back the last handshake message (the client's Finished)
  write HEX    encrypts the bytes as one write and keeps the records back
  notify       keeps the close notification back after what is kept already
  flush [N]    sends the first N bytes kept back (all of them without N)
  fin          half-closes the socket: a plain TCP end, announced or not
  sleep S      waits S seconds
  drain        reads until the stream's end; prints "drained COUNT" (application bytes)
A command that meets the connection's end prints "end" instead.
"""
import socket
import ssl
import sys
import time


class Peer:
    def __init__(self, sock, context, server_side):
        self.sock = sock
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=server_side)
        self.kept = bytearray()

    def keep(self):
        self.kept += self.outgoing.read()

    def send(self, count=None):
        self.keep()
        count = len(self.kept) if count is None else min(count, len(self.kept))
        self.sock.sendall(self.kept[:count])
        del self.kept[:count]

    def receive(self):
        data = self.sock.recv(65536)
        if not data:
            self.incoming.write_eof()
            return False
        self.incoming.write(data)
        return True

    def exchange(self):
        """Sends what the TLS object wrote, then takes what comes; False at the stream's end."""
        self.send()
        return self.receive()

    def hello(self):
        try:
            self.tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        self.send()
        return "ok"

    def handshake(self, hold):
        while True:
            try:
                self.tls.do_handshake()
                if hold:
                    self.keep()
                else:
                    self.send()
                return "ok"
            except ssl.SSLWantReadError:
                if not self.exchange():
                    return "end"

    def drain(self):
        count = 0
        while True:
            try:
                data = self.tls.read(65536)
                if not data:  # the close notification
                    break
                count += len(data)
            except ssl.SSLWantReadError:
                if not self.exchange():
                    break
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                break
        return "drained %d" % count

    def notify(self):
        try:
            self.tls.unwrap()
        except ssl.SSLWantReadError:
            pass
        self.keep()
        return "ok"

    def run(self, words):
        command = words[0]
        if command == "hello":
            return self.hello()
        if command == "handshake":
            return self.handshake(words[1:] == ["hold"])
        if command == "write":
            self.tls.write(bytes.fromhex(words[1]))
            self.keep()
        elif command == "notify":
            return self.notify()
        elif command == "flush":
            self.send(int(words[1]) if len(words) > 1 else None)
        elif command == "fin":
            self.sock.shutdown(socket.SHUT_WR)
        elif command == "sleep":
            time.sleep(float(words[1]))
        elif command == "drain":
            return self.drain()
        return "ok"


def server(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    sock, _ = listener.accept()
    return Peer(sock, context, True)


def client(port, receive_buffer):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    sock = socket.socket()
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.connect(("127.0.0.1", port))
    print("connected", flush=True)
    return Peer(sock, context, False)


def main():
    if sys.argv[1] == "server":
        peer = server(sys.argv[2], sys.argv[3])
    else:
        peer = client(int(sys.argv[2]), int(sys.argv[3]) if len(sys.argv) > 3 else 0)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            answer = peer.run(words)
        except (OSError, ssl.SSLError):
            answer = "end"
        print(answer, flush=True)


main()
