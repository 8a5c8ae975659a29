#!/usr/bin/env python3
"""A hostile MySQL server on loopback for the local-file tests.

It greets with a protocol-10 handshake, accepts any login, answers pings with
OK and answers the first COM_QUERY of each connection with a LOCAL INFILE
request (0xFB and a file name) for the file named on the command line. Every
byte the client sends is appended to the record file, so that a test can
check which bytes left the client.

Usage: rogue_mysql_server.py RECORD_FILE REQUESTED_FILE
Prints the port it listens on as the first line of its output, then serves
until its client has gone (at most 30 s without a connection).
"""
import socket
import struct
import sys

CAPABILITIES = (
    0x00000001  # long password
    | 0x00000004  # long flag
    | 0x00000008  # connect with db
    | 0x00000080  # local files
    | 0x00000200  # protocol 41
    | 0x00002000  # transactions
    | 0x00008000  # secure connection
    | 0x00010000  # multi statements
    | 0x00020000  # multi results
    | 0x00080000  # plugin auth
)


class Connection:
    def __init__(self, sock, record):
        self.sock = sock
        self.record = record

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        self.record.write(data)
        self.record.flush()
        return data

    def read_packet(self):
        header = self.read_exact(4)
        length = header[0] | header[1] << 8 | header[2] << 16
        return header[3], self.read_exact(length)

    def send(self, seq, payload):
        self.sock.sendall(struct.pack("<I", len(payload))[:3] + bytes([seq & 0xFF]) + payload)

    def ok(self, seq):
        self.send(seq, b"\x00\x00\x00\x02\x00\x00\x00")

    def error(self, seq, text):
        self.send(seq, b"\xff" + struct.pack("<H", 1105) + b"#HY000" + text.encode())


def serve(conn, requested):
    salt = b"abcdefgh" + b"ijklmnopqrst"
    greeting = (
        b"\x0a"
        + b"5.7.99-rogue\x00"
        + struct.pack("<I", 7)
        + salt[:8]
        + b"\x00"
        + struct.pack("<H", CAPABILITIES & 0xFFFF)
        + b"\x21"
        + struct.pack("<H", 2)
        + struct.pack("<H", CAPABILITIES >> 16)
        + bytes([21])
        + b"\x00" * 10
        + salt[8:]
        + b"\x00"
        + b"mysql_native_password\x00"
    )
    conn.send(0, greeting)
    seq, _login = conn.read_packet()
    conn.ok(seq + 1)
    asked = False
    while True:
        seq, packet = conn.read_packet()
        command = packet[:1]
        if command == b"\x01":  # quit
            return
        if command == b"\x03" and not asked:
            asked = True
            conn.send(seq + 1, b"\xfb" + requested.encode())
            # The client answers with the file's packets, ended by an empty one.
            while True:
                seq, data = conn.read_packet()
                if not data:
                    break
            conn.ok(seq + 1)
        elif command == b"\x03":
            conn.error(seq + 1, "rogue server")
        else:
            conn.ok(seq + 1)


def main():
    record_path, requested = sys.argv[1], sys.argv[2]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(30)
    print(listener.getsockname()[1], flush=True)
    with open(record_path, "ab") as record:
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            return 1
        sock.settimeout(30)
        try:
            serve(Connection(sock, record), requested)
        except (EOFError, OSError):
            pass
        finally:
            sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
