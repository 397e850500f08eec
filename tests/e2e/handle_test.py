"""One helper handle across several erases, and prunes a server cannot
commit: each request reaches the servers of its cell, client and application
type, a restarted server is attached again, and lost prunes fail the host."""

import json
import signal
import sqlite3
import subprocess
import threading
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Cell, tool
from wirepeer import PRUNE_REQ, WirePeer

CLIENT = 10
OTHER_CELL = 2
OTHER_CELL_NUMBER = 4712
OTHER_CLIENT = 20


class HandleTest(unittest.TestCase):
    def setUp(self):
        # Waits of 50 ms units: the host's disconnect waits 6 s.
        self.cell = Cell(wait_unit_ms=50)
        self.addCleanup(self.cell.close)

    def start_erase_lines(self):
        process = subprocess.Popen([tool("tqci"), "erase-lines"], env=self.cell.env, text=True,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(self.finish, process)
        return process

    @staticmethod
    def finish(process):
        """Ends the erases (the handle is destroyed); returns the exit status."""
        if process.poll() is None and not process.stdin.closed:
            process.communicate(timeout=30)
        return process.wait()

    @staticmethod
    def erase(process, line):
        process.stdin.write(line + "\n")
        process.stdin.flush()
        return process.stdout.readline().strip()

    def test_one_handle_erases_in_two_cells_and_two_application_types(self):
        a = self.cell.server("a")
        b = self.cell.server("b")
        self.cell.add_cloud(1, 101, a.host)
        self.cell.add_cloud(2, 102, b.host)
        self.cell.tqdir("add-cell", OTHER_CELL, OTHER_CELL_NUMBER)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("add-client", OTHER_CLIENT, OTHER_CELL, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, 33, 1)
        self.cell.tqdir("map-client-engines", CLIENT, 34, 2)
        self.cell.tqdir("map-client-engines", OTHER_CLIENT, 33, 1)
        a.add("/c1/doc", client=CLIENT, app_type=33, cell_number=CELL_NUMBER)
        a.add("/c2/doc", client=OTHER_CLIENT, app_type=33, cell_number=OTHER_CELL_NUMBER)
        b.add("/t34/doc", client=CLIENT, app_type=34, cell_number=CELL_NUMBER)

        process = self.start_erase_lines()
        for line in (f"backup {CELL_ID} {CLIENT} 33 /c1", f"backup {CELL_ID} {CLIENT} 34 /t34",
                     f"backup {OTHER_CELL} {OTHER_CLIENT} 33 /c2"):
            self.assertTrue(self.erase(process, line).endswith(": ok"), line)
        self.assertEqual(self.finish(process), 0)
        self.assertEqual(a.paths(), [])
        self.assertEqual(b.paths(), [])

    def test_server_restarted_under_a_living_handle_is_attached_again(self):
        a = self.cell.server("a")
        self.cell.add_cloud(1, 101, a.host)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, 33, 1)
        for path in ("/r/1", "/r/2"):
            a.add(path, client=CLIENT, app_type=33, cell_number=CELL_NUMBER)

        process = self.start_erase_lines()
        self.assertTrue(self.erase(process, f"backup {CELL_ID} {CLIENT} 33 /r/1").endswith(": ok"))
        a.stop()
        a.start()
        # The first erase after the restart may fail on the old session (and
        # drop it); the second attaches again and succeeds.
        first = self.erase(process, f"backup {CELL_ID} {CLIENT} 33 /r/2")
        self.assertRegex(first, r": (ok|FAILED)$")
        self.assertTrue(self.erase(process, f"backup {CELL_ID} {CLIENT} 33 /r/2").endswith(": ok"))
        self.finish(process)
        self.assertEqual(a.paths(), [])
        self.assertEqual(a.log_text().count("session started"), 2)

    def test_prune_the_server_cannot_commit_fails_the_host(self):
        a = self.cell.server("a", ["--lock-wait", "1"])
        self.cell.add_cloud(1, 101, a.host)
        for archive_file in (71, 72):
            a.add(f"/af/{archive_file}", archive_file=archive_file, cloud=1, cell_number=CELL_NUMBER)
        prunes = f"{CELL_NUMBER} 71 1\n{CELL_NUMBER} 72 1\n"

        holder = sqlite3.connect(a.index, timeout=0)
        holder.execute("BEGIN IMMEDIATE")
        try:
            code, _, err, _ = self.cell.tqci("prune", stdin=prunes)
        finally:
            holder.rollback()
            holder.close()
        self.assertEqual(code, 1, err)
        self.assertIn("Failed to disconnect from document processing server [101]",
                      self.cell.debug_log())
        log = a.log_text()
        self.assertIn(f"prune archive file 71 (cloud 1, cell {CELL_NUMBER}) failed: ", log)
        self.assertIn("close confirmed: 2 prunes not carried out", log)
        self.assertEqual(a.paths(), ["/af/71", "/af/72"])

        code, _, err, _ = self.cell.tqci("prune", stdin=prunes)
        self.assertEqual(code, 0, err)
        self.assertEqual(a.paths(), [])

    def test_prune_whose_server_dies_before_committing_is_not_reported_done(self):
        # The server reads every prune, so its death closes the connection
        # cleanly; only the missing confirmation tells the host.
        a = self.cell.server("a", ["--lock-wait", "60"])
        self.cell.add_cloud(1, 101, a.host)
        for archive_file in (71, 72):
            a.add(f"/af/{archive_file}", archive_file=archive_file, cloud=1, cell_number=CELL_NUMBER)
        holder = sqlite3.connect(a.index, timeout=0)
        holder.execute("BEGIN IMMEDIATE")
        self.addCleanup(holder.close)
        killer = threading.Timer(1.5, lambda: a.signal(signal.SIGKILL))
        killer.start()
        try:
            code, out, err, _ = self.cell.tqci("--json", "prune",
                                               stdin=f"{CELL_NUMBER} 71 1\n{CELL_NUMBER} 72 1\n")
        finally:
            killer.cancel()
        holder.rollback()
        self.assertEqual(code, 1, err)
        result = json.loads(out)
        self.assertEqual(result["result"], "partial", out)
        self.assertEqual(sorted(f["archive_file"] for f in result["failed_archive_files"]), [71, 72])
        self.assertIn("closed without confirming the 2 messages sent", self.cell.debug_log())
        self.assertEqual(a.paths(), ["/af/71", "/af/72"])

    def test_prune_to_a_server_that_does_not_confirm_closes_succeeds_as_before(self):
        with WirePeer("ok") as peer:
            self.cell.add_cloud(1, 101, peer.host)
            code, out, err, _ = self.cell.tqci("prune", stdin=f"{CELL_NUMBER} 71 1\n")
            deadline = time.monotonic() + 5
            while not peer.requests and time.monotonic() < deadline:
                time.sleep(0.02)
        self.assertEqual(code, 0, f"{out}{err}")
        self.assertEqual([code for code, _ in peer.requests], [PRUNE_REQ])


if __name__ == "__main__":
    unittest.main()
