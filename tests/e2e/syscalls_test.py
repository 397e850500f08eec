"""System calls on the hot paths, counted with strace: a prune element in the
steady state costs its send, a cached erase its send, its receive and its two
debug-log lines, a first erase on another CI server the socket calls of its
attach and exchange. Counts are differences between a short and a long run of the
same command, so start-up, attach and the host tool's own work cancel out.
The directory's change check runs at most once a millisecond, so a prune
element may also carry its share of those: the bound adds the run's
milliseconds per element (small, but larger under strace's slowdown)."""

import re
import shutil
import subprocess
import tempfile
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Cell, tool

CLIENT, APP_TYPE = 10, 33
# Clients whose data only their own cloud indexes, each cloud with a CI server
# of its own (all at the one server process): an erase for each is an attach.
OWN_SERVER_CLIENTS = range(2001, 2026)
# The calls a session or the debug log can make per message.
MESSAGE_CALLS = {"sendto", "sendmsg", "send", "recvfrom", "recvmsg", "recv", "read", "write",
                 "writev", "poll", "ppoll", "setsockopt", "getsockopt"}


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class SystemCallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cell = Cell()
        server = cls.cell.server("server")
        cls.cell.add_cloud(1, 101, server.host)
        cls.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        cls.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)
        for client in OWN_SERVER_CLIENTS:
            cloud = client
            cls.cell.tqdir("add-client", client + 1000, CELL_ID, server.host)
            cls.cell.tqdir("add-cloud", cloud, f"cloud-{cloud}")
            cls.cell.tqdir("add-cloud-member", cloud, client + 1000, 1)
            cls.cell.tqdir("add-client", client, CELL_ID, "127.0.0.1:9")
            cls.cell.tqdir("map-client-engines", client, APP_TYPE, cloud)

    @classmethod
    def tearDownClass(cls):
        cls.cell.close()

    def strace(self, options, args, stdin, output):
        """Runs tqci under strace; returns its seconds."""
        started = time.monotonic()
        # LeakSanitizer cannot run under ptrace.
        env = dict(self.cell.env, ASAN_OPTIONS=":".join(
            filter(None, [self.cell.env.get("ASAN_OPTIONS"), "detect_leaks=0"])))
        result = subprocess.run(["strace", "-f", *options, "-o", output, tool("tqci"), *args],
                                env=env, input=stdin, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return time.monotonic() - started

    def calls(self, args, stdin=None, only=None):
        """System calls of one tqci run (those in `only`, or all), and its seconds."""
        with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as counts:
            seconds = self.strace(["-c"], args, stdin, counts.name)
            total = 0
            for line in counts.read().splitlines():
                fields = line.split()
                if len(fields) >= 5 and re.fullmatch(r"\d+", fields[3]) and fields[-1] != "total":
                    if only is None or fields[-1] in only:
                        total += int(fields[3])
            return total, seconds

    def per_item(self, make_args, short, long, only=None):
        """System calls and milliseconds per item."""
        few, few_seconds = self.calls(*make_args(short), only=only)
        many, many_seconds = self.calls(*make_args(long), only=only)
        return (many - few) / (long - short), (many_seconds - few_seconds) * 1000 / (long - short)

    def test_a_prune_element_costs_one_system_call(self):
        def prune(count):
            return ["prune"], "".join(f"{CELL_NUMBER} {i} 1\n" for i in range(count))
        calls, milliseconds = self.per_item(prune, 500, 2500)
        self.assertLess(calls, 1.05 + milliseconds, f"{milliseconds:.3f} ms per element")

    def test_a_cached_erase_costs_its_send_its_receive_and_two_log_lines(self):
        def erase(count):
            return ["erase-backup", "--cell", str(CELL_ID), "--client", str(CLIENT),
                    "--app-type", str(APP_TYPE)] + [f"/p/{i}" for i in range(count)], None
        calls, _ = self.per_item(erase, 50, 250, only=MESSAGE_CALLS)
        self.assertLess(calls, 4.05)

    def socket_calls(self, args, stdin=None):
        """Socket calls of one tqci run (the directory on SQLite makes none), the
        platform's name and socket mode changes; and its seconds."""
        with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as trace:
            seconds = self.strace(["-e", "trace=%network,poll,ppoll,uname,fcntl"], args, stdin,
                                  trace.name)
            # SQLite's locks are fcntl() calls too: only mode changes count.
            lines = [line for line in trace.read().splitlines() if re.search(
                r"\b(?!fcntl)\w+\(|fcntl\(\d+, F_[SG]ETFL", line) and "resumed>" not in line]
            return len(lines), seconds

    def test_a_first_erase_on_another_server_costs_its_attach_and_exchange(self):
        """socket, send timeout, connect, TCP_NODELAY, HELLO, receive timeout, ACCEPT;
        the request, receive timeout, answer; the look for unread bytes when the
        handle goes. Before the connect waited in connect() it cost 14: poll,
        getsockopt(SO_ERROR), fcntl to blocking and uname besides."""
        def erase(count):
            lines = "".join(f"backup {CELL_ID} {client} {APP_TYPE} /p/{client}\n"
                            for client in OWN_SERVER_CLIENTS[:count])
            return ["erase-lines"], lines
        short, long = 5, len(OWN_SERVER_CLIENTS)
        few, _ = self.socket_calls(*erase(short))
        many, _ = self.socket_calls(*erase(long))
        self.assertLessEqual((many - few) / (long - short), 11)


if __name__ == "__main__":
    unittest.main()
