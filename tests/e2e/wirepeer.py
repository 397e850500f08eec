"""A misbehaving CI server for fault tests: it speaks the session protocol
(16-byte frame header, XDR bodies, the attach handshake) well enough to attach,
then does what its mode says."""

import socket
import struct
import threading
import time

MAGIC = 0x54515357
VERSION = 1
HELLO, ACCEPT = 0x7E510001, 0x7E510002
ERASE_REQ, ERASE_RESP, PRUNE_REQ = 0x0E000703, 0x0E000704, 0x0E000701


def frame(code, body):
    return struct.pack(">IHHII", MAGIC, VERSION, 0, code, len(body)) + body


def xdr_string(text):
    data = text.encode()
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def hello(local_name, library="sLNIDXMA", entry="sLPIDXMA"):
    return frame(HELLO, struct.pack(">I", 1) + xdr_string(library) + xdr_string(entry) +
                 xdr_string(local_name))


def erase_response(status, code=ERASE_RESP):
    return frame(code, b"\0" * 24 + struct.pack(">ii", status, 0))


def recv_exactly(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise ConnectionError("peer closed")
        data += chunk
    return data


def recv_frame(conn):
    magic, version, _, code, length = struct.unpack(">IHHII", recv_exactly(conn, 16))
    if magic != MAGIC or version != VERSION:
        raise ConnectionError("bad frame")
    return code, recv_exactly(conn, length)


class WirePeer:
    """Modes: ok, close-after-attach, close-after-request, never-answer,
    status-zero, other-code, garbage, oversized, trickle."""

    def __init__(self, mode="ok"):
        self.mode = mode
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.host = f"127.0.0.1:{self.port}"
        self.sessions = 0
        self.requests = []
        self._stop = threading.Event()
        self._held = []
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=10)
        for conn in self._held:
            conn.close()
        self.listener.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(30)
            self.sessions += 1
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        try:
            code, _ = recv_frame(conn)
            if code != HELLO:
                return conn.close()
            conn.sendall(frame(ACCEPT, struct.pack(">I", 1)))
            if self.mode == "close-after-attach":
                return conn.close()
            while not self._stop.is_set():
                code, body = recv_frame(conn)
                self.requests.append((code, body))
                if code != ERASE_REQ:
                    continue
                if self.mode == "close-after-request":
                    return conn.close()
                if self.mode == "never-answer":
                    self._held.append(conn)
                    return None
                if self.mode == "status-zero":
                    conn.sendall(erase_response(0))
                elif self.mode == "other-code":
                    # An unknown code travels as opaque bytes.
                    conn.sendall(frame(0x0E000799, struct.pack(">I", 32) + b"\1" * 32))
                elif self.mode == "garbage":
                    conn.sendall(b"\x13\x37" * 40)
                elif self.mode == "oversized":
                    conn.sendall(struct.pack(">IHHII", MAGIC, VERSION, 0, ERASE_RESP, 64 << 20))
                elif self.mode == "trickle":
                    for byte in erase_response(1):
                        conn.sendall(bytes([byte]))
                        time.sleep(0.01)
                else:
                    conn.sendall(erase_response(1))
        except (ConnectionError, OSError):
            conn.close()
