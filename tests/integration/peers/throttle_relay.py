#!/usr/bin/env python3
# A TCP relay for tests: takes connections on 127.0.0.1:LISTEN and carries each to
# 127.0.0.1:TARGET at most RATE bytes a second (the way back is not limited). SIGUSR1 switches
# to FASTER bytes a second. Its receive buffer is small, so that a sender meets the rate at
# once instead of filling the relay's kernel first.
import signal
import socket
import sys
import threading
import time

listen_port, target_port = int(sys.argv[1]), int(sys.argv[2])
rate = {"now": float(sys.argv[3])}
faster = float(sys.argv[4])
signal.signal(signal.SIGUSR1, lambda *_: rate.update(now=faster))


def close(*socks):
    for s in socks:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


def carry(source, sink, limited):
    try:
        while True:
            data = source.recv(max(1, int(rate["now"] / 50)) if limited else 65536)
            if not data:
                break
            sink.sendall(data)
            if limited:
                time.sleep(len(data) / rate["now"])
    except OSError:
        pass
    close(source, sink)


server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
server.bind(("127.0.0.1", listen_port))
server.listen(8)
while True:
    client, _ = server.accept()
    try:
        upstream = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        continue
    threading.Thread(target=carry, args=(client, upstream, True), daemon=True).start()
    threading.Thread(target=carry, args=(upstream, client, False), daemon=True).start()
