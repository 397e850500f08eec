"""Peers that never authenticate cannot lock hosts out of a CI server: each
attack runs against a real cisrv while a real host erases, and the server's
threads and open descriptors return to their starting counts afterwards.
Each attack prints one line: what the host saw and the server's counts
before, at the peak of, and after the attack."""

import os
import socket
import ssl
import sys
import threading
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Cell
from wirepeer import ACCEPT, hello, recv_frame

CLIENT = 10
APP_TYPE = 33
HANDSHAKE_S = 3
IDLE_S = 2
LIMITS = ["--handshake-timeout", str(HANDSHAKE_S), "--idle-timeout", str(IDLE_S)]


class Footprint:
    """Threads and open descriptors of a process: at the start, the peak
    seen by sampling, and once they have settled."""

    def __init__(self, pid):
        self.pid = pid
        self.before = self.sample()
        self.peak = self.before
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def sample(self):
        return (len(os.listdir(f"/proc/{self.pid}/task")),
                len(os.listdir(f"/proc/{self.pid}/fd")))

    def _watch(self):
        while not self._stop.wait(0.01):
            self.peak = tuple(map(max, self.peak, self.sample()))

    def settle(self, limit=15):
        deadline = time.monotonic() + limit
        while self.sample() != self.before and time.monotonic() < deadline:
            time.sleep(0.05)
        self._stop.set()
        self._thread.join()
        return self.sample()


def eventually(condition, limit=10):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def connect_from(address, port):
    peer = socket.socket()
    peer.bind((address, 0))
    peer.connect(("127.0.0.1", port))
    return peer


def closed_by_server(peer):
    peer.setblocking(False)
    try:
        return peer.recv(1) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def client_hello():
    """The first flight of a real TLS client."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    outgoing = ssl.MemoryBIO()
    connection = context.wrap_bio(ssl.MemoryBIO(), outgoing)
    try:
        connection.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


class AttackTest(unittest.TestCase):
    def start(self, tls=False, extra=LIMITS):
        self.cell = Cell(wait_unit_ms=250, tls=tls)
        self.addCleanup(self.cell.close)
        self.peers = []
        self.addCleanup(lambda: [peer.close() for peer in self.peers])
        self.server = self.cell.server("ci", extra=extra)
        self.cell.add_cloud(1, 101, self.server.host)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)
        # Once a session has come and gone, the index's files are open.
        self.erase("/warm-up")
        self.assertTrue(eventually(lambda: "session ended" in self.server.log_text()))
        time.sleep(0.2)
        self.footprint = Footprint(self.server.process.pid)

    def erase(self, path="/home/u", expected=0):
        code, out, err, seconds = self.cell.tqci("erase-backup", "--cell", CELL_ID, "--client",
                                                 CLIENT, "--app-type", APP_TYPE, path)
        self.assertEqual(code, expected, f"{out}\n{err}")
        return seconds

    def served_within(self, limit):
        self.server.add("/home/u/a", client=CLIENT, app_type=APP_TYPE, cloud=1,
                        cell_number=CELL_NUMBER)
        seconds = self.erase()
        self.assertNotIn("/home/u/a", self.server.paths())
        self.assertLess(seconds, limit)
        return seconds

    def attack(self, address_count, per_address, first="127.0.1."):
        for index in range(address_count * per_address):
            self.peers.append(connect_from(f"{first}{1 + index // per_address}",
                                           self.server.port))

    def assertSettles(self, attack, host_saw):
        after = self.footprint.settle()
        before, peak = self.footprint.before, self.footprint.peak
        print(f"\n| {attack} | {host_saw} | {before[0]} / {peak[0]} / {after[0]} "
              f"| {before[1]} / {peak[1]} / {after[1]} |", file=sys.stderr)
        self.assertEqual(after, before)

    def test_two_hundred_silent_connections_from_one_address(self):
        self.start()
        started = time.monotonic()
        self.attack(1, 200)
        seconds = self.served_within(2)
        time.sleep(max(0.0, started + HANDSHAKE_S / 2 - time.monotonic()))
        # Past --max-pending-per-peer (16) each is closed at once; the rest
        # at the handshake deadline.
        self.assertEqual(sum(map(closed_by_server, self.peers)), 200 - 16)
        self.assertTrue(self.await_all_closed(HANDSHAKE_S + 5))
        self.assertSettles("200 TCP connections from one address, never sending",
                           f"erase served in {seconds:.2f} s")

    def test_silent_connections_take_no_session_slot_from_a_certified_host(self):
        self.start(tls=True)
        self.attack(4, 16)  # 64 pending, within every pending cap
        seconds = self.served_within(5)
        self.assertTrue(self.await_all_closed(HANDSHAKE_S + 5))
        self.assertEqual(self.server.log_text().count(
            f"dropped: no TLS handshake and hello within {HANDSHAKE_S} s"), 64)
        self.assertSettles("64 TCP connections never starting TLS (TLS server)",
                           f"erase served in {seconds:.2f} s")

    def test_idle_sessions_are_closed_and_their_slots_serve_a_new_host(self):
        self.start()
        for index in range(64):
            peer = connect_from("127.0.0.3", self.server.port)
            self.peers.append(peer)
            peer.sendall(hello(f"idle-{index}"))
            self.assertEqual(recv_frame(peer)[0], ACCEPT)
        self.erase(expected=1)
        self.assertIn("server busy: already serving 64 sessions", self.cell.debug_log())
        self.assertTrue(self.await_all_closed(IDLE_S + 5))
        self.assertEqual(self.server.log_text().count(f"ended: idle for {IDLE_S} s"), 64)
        seconds = self.served_within(5)
        self.assertSettles("64 attached sessions left idle",
                           f"refused (server busy) until the idle timeout, then served in "
                           f"{seconds:.2f} s")

    def test_trickled_handshakes_neither_hold_accepts_nor_outlive_the_deadline(self):
        self.start(tls=True)
        self.attack(10, 10, first="127.0.2.")
        flight = client_hello()
        stop = threading.Event()
        self.addCleanup(stop.set)

        def trickle():
            for byte in range(len(flight)):
                for peer in self.peers:
                    try:
                        peer.send(flight[byte:byte + 1])
                    except OSError:
                        pass
                if stop.wait(0.05):
                    return

        threading.Thread(target=trickle, daemon=True).start()
        seconds = self.served_within(5)
        self.assertTrue(self.await_all_closed(HANDSHAKE_S + 5))
        stop.set()
        self.assertSettles("100 peers trickling a TLS ClientHello byte by byte",
                           f"erase served in {seconds:.2f} s")

    def await_all_closed(self, limit):
        return eventually(lambda: all(map(closed_by_server, self.peers)), limit)


class CertificateTest(unittest.TestCase):
    def setUp(self):
        self.cell = Cell(tls=True)
        self.addCleanup(self.cell.close)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")

    def route_to(self, host):
        self.cell.add_cloud(1, 101, host)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)

    def erase_fails_with(self, *reasons):
        code, out, err, _ = self.cell.tqci("erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                           "--app-type", APP_TYPE, "/home/u")
        self.assertEqual(code, 1, f"{out}\n{err}")
        log = self.cell.debug_log()
        self.assertIn("Failed to attach the remote CI server", log)
        for reason in reasons:
            self.assertIn(reason, log)

    def test_server_named_only_by_its_common_name_is_refused(self):
        named = self.cell.authority.issue("localhost")
        server = self.cell.server("cn-only", env=dict(self.cell.env, **named))
        self.route_to(f"localhost:{server.port}")
        self.erase_fails_with("hostname mismatch: no subjectAltName of the server's certificate "
                              "names localhost")

    def test_private_key_readable_by_others_is_refused(self):
        server_env = self.cell.server_env
        os.chmod(server_env["TQ_TLS_KEY"], 0o644)
        with self.assertRaises(RuntimeError) as refused:
            self.cell.server("shared-key")
        self.assertIn(f"private key {server_env['TQ_TLS_KEY']} is readable", str(refused.exception))
        self.assertIn("chmod 600", str(refused.exception))
        server = self.cell.server("allowed", env=dict(server_env, TQ_TLS_ALLOW_SHARED_KEY="1"))
        self.route_to(server.host)
        os.chmod(self.cell.env["TQ_TLS_KEY"], 0o640)
        self.erase_fails_with(f"private key {self.cell.env['TQ_TLS_KEY']} is readable",
                              "chmod 600")


if __name__ == "__main__":
    unittest.main()
