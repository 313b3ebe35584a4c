#!/usr/bin/python3
"""The benchmark's peer: the HTTP credential check as a small single-threaded
Python program would do it, with the standard library only. Per connection:
accept, read until the first line is in, match the same request pattern, run
the same parameterised statement on the same SQLite file, write the same
answer bytes, close. No logging. With a certificate and key, the same over
TLS with the standard library's ssl module: one context, made once.

usage: peer.py PORT DATABASE [CERTIFICATE KEY]
"""
import re
import socket
import sqlite3
import ssl
import sys
from urllib.parse import unquote

HEADER = b'HTTP/1.0 200 Ok\r\nContent-Type: text/html; charset="utf-8"\r\n\r\n'
NOT_FOUND = HEADER + b'{"rez":"notfount","e":"n"}\n'
PATTERN = re.compile(r"GET /t/check\?username=(.*)&password=(.*) HTTP")
STATEMENT = "select id from users where login=? and password=?"


def answer(db, request):
    line = request.split(b"\r\n", 1)[0].decode("utf-8", "replace")
    match = PATTERN.search(line)
    if not match:
        return NOT_FOUND
    rows = db.execute(STATEMENT, (unquote(match.group(1)), unquote(match.group(2)))).fetchall()
    if not rows:
        return NOT_FOUND
    return HEADER + b'{"rez":"exist","userid":"' + str(rows[-1][0]).encode() + b'"}\n'


def main():
    port, path = int(sys.argv[1]), sys.argv[2]
    db = sqlite3.connect(path)
    context = None
    if len(sys.argv) > 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(sys.argv[3], sys.argv[4])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1024)
    while True:
        connection, _ = listener.accept()
        if context:
            try:
                connection = context.wrap_socket(connection, server_side=True)
            except (ssl.SSLError, OSError):
                connection.close()
                continue
        request = b""
        while b"\n" not in request and len(request) < 65536:
            chunk = connection.recv(4096)
            if not chunk:
                break
            request += chunk
        try:
            connection.sendall(answer(db, request))
            if context:
                # close_notify before the end of the stream, so the client
                # keeps its session for resumption; not waiting for the client's
                connection.setblocking(False)
                connection.unwrap()
        except (ssl.SSLError, OSError):
            pass
        connection.close()


if __name__ == "__main__":
    main()
