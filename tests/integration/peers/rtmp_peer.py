#!/usr/bin/env python3
"""An RTMP server that misbehaves on purpose, for the live-output tests.

Listens on 127.0.0.1:PORT and treats every connection as MODE says:

  garbage           answers the handshake, then sends malformed chunk data (--garbage picks
                    which) as fast as the client takes it, for as long as it stays
  garbage-live      answers the handshake, connect, createStream and publish as a server that
                    takes the stream, then sends garbage as above
  noise             sends random bytes from the first byte on (no handshake at all)
  silent            takes the connection and never sends a byte
  close-on-publish  answers the handshake and connect, and closes the connection on publish
  refuse-publish    answers the handshake and connect, refuses the publish with an error status
                    (NetStream.Publish.BadName, quoting the stream name as given and in capitals)
                    and waits for the close
  stall             takes the stream as garbage-live does, then stops reading the socket

Every accepted connection is counted; with --count-file the count is (re)written to that file
after each one. What the server does is printed to standard output, one line per event.
"""

import argparse
import os
import random
import select
import socket
import struct
import sys
import threading

HANDSHAKE_SIZE = 1536

# Message types.
SET_CHUNK_SIZE, ACK, USER_CONTROL, WINDOW_ACK_SIZE, SET_PEER_BW = 1, 3, 4, 5, 6
AMF3_COMMAND, DATA, COMMAND = 17, 18, 20

# The kinds of garbage.
GARBAGE_KINDS = (
    "mix",  # at random: unfinished and huge messages, chunk sizes valid or not, new lengths and
    # continuations on any chunk stream, odd control values, broken commands, raw bytes
    "huge-message",  # a command message that declares 16777215 bytes, then its body forever
    "chunk-size",  # a set-chunk-size message of 0xFFFFFFFF (bit 31 set: invalid)
    "pending",  # messages of 4096 bytes begun on ever new chunk streams, never finished
    "streams",  # complete acknowledgements, each on a new chunk stream
    "restart",  # a message begun again and again on one chunk stream before it ends
    "orphan",  # continuation chunks on a chunk stream that never had a message header
    "deep-amf",  # a command of nested AMF objects, 1048000 bytes of them
    "pings",  # valid ping requests and nothing else, a server that talks but never answers
)

lock = threading.Lock()
connections = 0


def log(text):
    with lock:
        print(text, flush=True)


def count_connection(count_file):
    global connections
    with lock:
        connections += 1
        number = connections
        if count_file:
            temporary = count_file + ".new"
            with open(temporary, "w") as f:
                f.write("%d\n" % number)
            os.replace(temporary, count_file)
    log("connection %d" % number)
    return number


def recv_exactly(sock, size):
    data = b""
    while len(data) < size:
        piece = sock.recv(size - len(data))
        if not piece:
            raise ConnectionError("the client closed the connection")
        data += piece
    return data


# ---- chunks and AMF0 -------------------------------------------------------------------------


def basic_header(fmt, csid):
    if csid < 64:
        return bytes([(fmt << 6) | csid])
    if csid < 320:
        return bytes([fmt << 6, csid - 64])
    return bytes([(fmt << 6) | 1]) + struct.pack("<H", csid - 64)


def full_header(csid, length, msg_type, stream_id=0, timestamp=0):
    return (
        basic_header(0, csid)
        + struct.pack(">I", timestamp)[1:]
        + struct.pack(">I", length)[1:]
        + bytes([msg_type])
        + struct.pack("<I", stream_id)
    )


def message(csid, msg_type, body, stream_id=0, chunk_size=128):
    """One whole message in chunks of chunk_size."""
    out = full_header(csid, len(body), msg_type, stream_id) + body[:chunk_size]
    for at in range(chunk_size, len(body), chunk_size):
        out += basic_header(3, csid) + body[at : at + chunk_size]
    return out


def amf_string(text):
    data = text.encode()
    return b"\x02" + struct.pack(">H", len(data)) + data


def amf_number(value):
    return b"\x00" + struct.pack(">d", value)


def amf_object(properties):
    out = b"\x03"
    for name, value in properties:
        data = name.encode()
        out += struct.pack(">H", len(data)) + data + value
    return out + b"\x00\x00\x09"


AMF_NULL = b"\x05"


def command(name, transaction, *values):
    return amf_string(name) + amf_number(transaction) + b"".join(values)


def read_amf_head(body):
    """The command name and transaction number at the start of an AMF0 command, or None."""
    try:
        if body[0] != 2:
            return None
        (size,) = struct.unpack(">H", body[1:3])
        name = body[3 : 3 + size].decode(errors="replace")
        at = 3 + size
        transaction = struct.unpack(">d", body[at + 1 : at + 9])[0] if body[at] == 0 else 0.0
        return name, transaction
    except (IndexError, struct.error):
        return None


class ChunkReader:
    """Reassembles the client's messages from its chunk stream."""

    def __init__(self, sock):
        self.sock = sock
        self.chunk_size = 128
        self.streams = {}  # chunk stream id: [timestamp, length, type, stream id, body so far]

    def next_message(self):
        while True:
            first = recv_exactly(self.sock, 1)[0]
            fmt, csid = first >> 6, first & 0x3F
            if csid == 0:
                csid = recv_exactly(self.sock, 1)[0] + 64
            elif csid == 1:
                csid = struct.unpack("<H", recv_exactly(self.sock, 2))[0] + 64
            state = self.streams.setdefault(csid, [0, 0, 0, 0, b""])
            header = recv_exactly(self.sock, (11, 7, 3, 0)[fmt])
            if fmt <= 2:
                state[0] = struct.unpack(">I", b"\0" + header[:3])[0]
            if fmt <= 1:
                state[1] = struct.unpack(">I", b"\0" + header[3:6])[0]
                state[2] = header[6]
            if fmt == 0:
                state[3] = struct.unpack("<I", header[7:11])[0]
            if state[0] == 0xFFFFFF:
                recv_exactly(self.sock, 4)
            take = min(self.chunk_size, state[1] - len(state[4]))
            state[4] += recv_exactly(self.sock, take)
            if len(state[4]) < state[1]:
                continue
            body, state[4] = state[4], b""
            if state[2] == SET_CHUNK_SIZE and len(body) >= 4:
                self.chunk_size = struct.unpack(">I", body[:4])[0] & 0x7FFFFFFF
            return state[2], state[3], body


# ---- what the server sends -------------------------------------------------------------------


def server_handshake(sock):
    c0c1 = recv_exactly(sock, 1 + HANDSHAKE_SIZE)
    s1 = bytes(8) + os.urandom(HANDSHAKE_SIZE - 8)
    sock.sendall(b"\x03" + s1 + c0c1[1:])
    recv_exactly(sock, HANDSHAKE_SIZE)


def publish_name(body):
    """The stream name of a publish command: after the name, the transaction and a null."""
    at = 3 + struct.unpack(">H", body[1:3])[0] + 9 + 1
    if len(body) < at + 3 or body[at] != 2:
        return ""
    size = struct.unpack(">H", body[at + 1 : at + 3])[0]
    return body[at + 3 : at + 3 + size].decode("utf-8", "replace")


def accept_stream(sock, reader, on_publish="take"):
    """Plays a server up to the publish request, which it takes, closes on ("close") or refuses
    ("refuse"). True once the stream was taken (onStatus NetStream.Publish.Start sent)."""
    while True:
        msg_type, _, body = reader.next_message()
        if msg_type == AMF3_COMMAND:
            body = body[1:]
        elif msg_type != COMMAND:
            continue
        head = read_amf_head(body)
        if not head:
            continue
        name, transaction = head
        log("command %s" % name)
        if name == "connect":
            sock.sendall(
                message(2, WINDOW_ACK_SIZE, struct.pack(">I", 2500000))
                + message(2, SET_PEER_BW, struct.pack(">IB", 2500000, 2))
                + message(
                    3,
                    COMMAND,
                    command(
                        "_result",
                        transaction,
                        amf_object(
                            [
                                ("fmsVer", amf_string("FMS/3,0,1,123")),
                                ("capabilities", amf_number(31)),
                            ]
                        ),
                        amf_object(
                            [
                                ("level", amf_string("status")),
                                ("code", amf_string("NetConnection.Connect.Success")),
                                ("description", amf_string("Connection succeeded.")),
                            ]
                        ),
                    ),
                )
            )
        elif name == "createStream":
            sock.sendall(message(3, COMMAND, command("_result", transaction, AMF_NULL, amf_number(1))))
        elif name == "publish":
            if on_publish == "close":
                log("closing on publish")
                return False
            if on_publish == "refuse":
                name_given = publish_name(body)
                said = "No stream named %s (%s)" % (name_given, name_given.upper())
                status = amf_object(
                    [
                        ("level", amf_string("error")),
                        ("code", amf_string("NetStream.Publish.BadName")),
                        ("description", amf_string(said)),
                    ]
                )
                sock.sendall(message(5, COMMAND, command("onStatus", 0, AMF_NULL, status), stream_id=1))
                log("refused the publish")
                wait_for_close(sock)
                return False
            status = amf_object(
                [
                    ("level", amf_string("status")),
                    ("code", amf_string("NetStream.Publish.Start")),
                    ("description", amf_string("Start publishing")),
                ]
            )
            sock.sendall(message(5, COMMAND, command("onStatus", 0, AMF_NULL, status), stream_id=1))
            log("publishing")
            return True


def garbage(kind, rng):
    """Endless blocks of malformed chunk data of one kind."""
    if kind == "noise":
        while True:
            yield rng.randbytes(65536)
    if kind == "huge-message":
        yield full_header(3, 0xFFFFFF, COMMAND)
        while True:
            yield rng.randbytes(65536)
    if kind == "chunk-size":
        yield message(2, SET_CHUNK_SIZE, struct.pack(">I", 0xFFFFFFFF))
        while True:
            yield rng.randbytes(65536)
    if kind == "pending":
        csid = 3
        while True:
            yield full_header(csid, 4096, COMMAND) + rng.randbytes(128)
            csid = csid + 1 if csid < 65599 else 3
    if kind == "streams":
        csid = 3
        while True:
            yield message(csid, ACK, struct.pack(">I", csid))
            csid = csid + 1 if csid < 65599 else 3
    if kind == "restart":
        while True:
            yield full_header(3, 4096, COMMAND) + rng.randbytes(128)
    if kind == "orphan":
        while True:
            yield basic_header(3, 9) + rng.randbytes(128)
    if kind == "deep-amf":
        body = amf_string("onStatus") + amf_number(0) + AMF_NULL
        body += b"\x03" + b"\x00\x00\x03" * ((1048000 - len(body) - 1) // 3)
        body += bytes(1048000 - len(body))
        yield message(3, COMMAND, body)
        kind = "pings"
    if kind == "pings":
        while True:
            yield message(2, USER_CONTROL, struct.pack(">HI", 6, 0)) * 100
    yield from mixed_garbage(rng)


def mixed_garbage(rng):
    chunk_size = 128  # the chunk size the client was told last (it may not have taken it)

    def any_csid():
        return rng.choice((2, 3, 4, 5, 6, rng.randint(2, 319), rng.randint(2, 65599)))

    def payload(size):
        return rng.randbytes(min(size, chunk_size, 262144))

    while True:
        pick = rng.random()
        if pick < 0.3:  # a message begun and never finished, often a large one
            length = rng.choice((rng.randint(129, 65536), rng.randint(1, 0xFFFFFF), 0xFFFFFF))
            yield full_header(any_csid(), length, rng.randint(0, 255)) + payload(length)
        elif pick < 0.4:  # a chunk size, valid or not, huge or tiny
            value = rng.choice((0, 1, 128, 4096, 65536, 0x7FFFFFFF, 0xFFFFFFFF, rng.getrandbits(32)))
            chunk_size = max(1, value & 0x7FFFFFFF)
            yield message(2, SET_CHUNK_SIZE, struct.pack(">I", value))
        elif pick < 0.55:  # a new length on a chunk stream that may be in mid-message
            length = rng.randint(1, 0xFFFFFF)
            yield basic_header(1, any_csid()) + bytes(3) + struct.pack(">I", length)[1:] + bytes(
                [rng.randint(0, 255)]
            ) + payload(length)
        elif pick < 0.65:  # a continuation chunk anywhere
            yield basic_header(rng.randint(2, 3), any_csid()) + payload(rng.randint(1, 65536))
        elif pick < 0.75:  # control messages with odd values
            body = rng.choice(
                (
                    struct.pack(">I", rng.getrandbits(32)),
                    struct.pack(">HI", rng.randint(0, 0x20), rng.getrandbits(32)),
                    struct.pack(">IB", rng.getrandbits(32), rng.randint(0, 3)),
                )
            )
            yield message(2, rng.choice((ACK, USER_CONTROL, WINDOW_ACK_SIZE, SET_PEER_BW)), body)
        elif pick < 0.85:  # a command whose AMF breaks off
            body = amf_string(rng.choice(("_result", "onStatus", "_error", "onBWDone", "x")))
            body += rng.randbytes(rng.randint(0, 2000))
            yield message(3, rng.choice((COMMAND, AMF3_COMMAND, DATA)), body)
        else:
            yield rng.randbytes(rng.randint(1, 4096))


# ---- connections -----------------------------------------------------------------------------


def drain(sock):
    """Reads and drops what the client sends until it closes."""
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


def wait_for_close(sock):
    """Waits, without reading, until the client has closed or reset the connection."""
    poller = select.poll()
    poller.register(sock, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
    while not poller.poll(1000):
        pass


def serve(sock, args, number):
    rng = random.Random(args.seed * 1000003 + number)
    try:
        if args.mode == "silent":
            drain(sock)
            return
        if args.mode != "noise":
            server_handshake(sock)
            log("handshake done")
        reader = ChunkReader(sock)
        if args.mode in ("garbage-live", "stall", "close-on-publish", "refuse-publish"):
            on_publish = {"close-on-publish": "close", "refuse-publish": "refuse"}
            if not accept_stream(sock, reader, on_publish.get(args.mode, "take")):
                return
        if args.mode == "stall":
            log("no longer reading")
            wait_for_close(sock)
            return
        threading.Thread(target=drain, args=(sock,), daemon=True).start()
        for block in garbage("noise" if args.mode == "noise" else args.garbage, rng):
            sock.sendall(block)
    except OSError as error:  # the client went away (or reset the connection)
        log("connection %d ended: %s" % (number, error))
    finally:
        sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument(
        "--mode",
        required=True,
        choices=(
            "garbage",
            "garbage-live",
            "noise",
            "silent",
            "close-on-publish",
            "refuse-publish",
            "stall",
        ),
    )
    parser.add_argument("--garbage", default="mix", choices=GARBAGE_KINDS)
    parser.add_argument("--count-file")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A small receive buffer: a stalled server holds back little of the client's data.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    if args.count_file:
        with open(args.count_file, "w") as f:
            f.write("0\n")
    log("listening on 127.0.0.1:%d (%s)" % (args.port, args.mode))
    while True:
        sock, _ = listener.accept()
        number = count_connection(args.count_file)
        threading.Thread(target=serve, args=(sock, args, number), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
