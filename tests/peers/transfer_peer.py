#!/usr/bin/env python3
"""A loopback peer for the file, BLOB and picture transfer tests, in a process of its own.

transfer_peer.py HOST: listens on HOST and a port the system chooses and prints the port on its
first line. Then, for each line of its standard input (MODE and ARGS separated by tabs), it
accepts one connection, serves it as MODE says and prints "done" (or "failed" and the error):

  send2 FILE1 FILE2    writes FILE1's bytes, waits for one byte from the stream, writes FILE2's
                       and ends as send with fin does
  send FILE ENDING     writes FILE's bytes, then ends as ENDING says: fin (half-close, then read
                       until the stream closes), close, reset (an RST at once), or go-reset (an
                       RST once the stream has sent one byte)
  receive FILE         reads until the stream closes and writes what came to FILE
  receive-base64 FILE  the same, and writes the Base64 decoding of the whole (padding added)
  receive-quopri FILE  the same, and writes the quoted-printable decoding of the whole
  echo FILE            sends back what comes, and writes it to FILE when the stream closes
  reset-after COUNT    reads COUNT bytes, then resets the connection
  fin-then-receive FILE  half-closes at once, then reads as receive does
"""
import base64
import quopri
import socket
import struct
import sys


def read_all(conn):
    """What comes until the stream closes (or resets, releasing with bytes unread)."""
    chunks = []
    while True:
        try:
            chunk = conn.recv(65536)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def serve(conn, mode, args):
    if mode == "send":
        with open(args[0], "rb") as f:
            conn.sendall(f.read())
        ending = args[1]
        if ending == "fin":
            conn.shutdown(socket.SHUT_WR)
            read_all(conn)
            conn.close()
        elif ending == "close":
            conn.close()
        elif ending == "reset":
            reset(conn)
        elif ending == "go-reset":
            conn.recv(1)
            reset(conn)
    elif mode == "send2":
        with open(args[0], "rb") as f:
            conn.sendall(f.read())
        conn.recv(1)
        with open(args[1], "rb") as f:
            conn.sendall(f.read())
        conn.shutdown(socket.SHUT_WR)
        read_all(conn)
        conn.close()
    elif mode in ("receive", "receive-base64", "receive-quopri", "fin-then-receive"):
        if mode == "fin-then-receive":
            conn.shutdown(socket.SHUT_WR)
        data = read_all(conn)
        if mode == "receive-base64":
            data = base64.b64decode(data + b"=" * (-len(data) % 4), validate=True)
        elif mode == "receive-quopri":
            data = quopri.decodestring(data)
        with open(args[0], "wb") as f:
            f.write(data)
        conn.close()
    elif mode == "echo":
        received = []
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            received.append(chunk)
            conn.sendall(chunk)
        with open(args[0], "wb") as f:
            f.write(b"".join(received))
        conn.close()
    elif mode == "reset-after":
        wanted = int(args[0])
        got = 0
        while got < wanted:
            chunk = conn.recv(min(65536, wanted - got))
            if not chunk:
                break
            got += len(chunk)
        reset(conn)
    else:
        raise ValueError("unknown mode " + mode)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((sys.argv[1], 0))
    listener.listen(4)
    print(listener.getsockname()[1], flush=True)
    for line in sys.stdin:
        fields = line.rstrip("\n").split("\t")
        if not fields[0]:
            continue
        conn, _ = listener.accept()
        try:
            serve(conn, fields[0], fields[1:])
            print("done", flush=True)
        except Exception as error:  # the test reads it as a failed job
            conn.close()
            print("failed", error, flush=True)


if __name__ == "__main__":
    main()
