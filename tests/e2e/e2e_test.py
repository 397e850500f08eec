"""End-to-end: the host tool loads the helper library, which finds the CI
servers in the directory, attaches, sends, and the index entries are gone."""

import os
import signal
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Cell
from wirepeer import WirePeer

CLIENT = 10
APP_TYPE = 33
APPLICATION = 500

BACKUP_DOCS = ["/home/u/docs/a.txt", "/home/u/docs/sub/b.txt", "/home/u/docsx/c.txt",
               "/home/u/other.txt"]


class EndToEndTest(unittest.TestCase):
    def setUp(self):
        self.cell = Cell()
        self.addCleanup(self.cell.close)
        self.a = self.cell.server("server-a")
        self.b = self.cell.server("server-b")
        self.cell.add_cloud(1, 101, self.a.host)
        self.cell.add_cloud(2, 102, self.b.host)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1, 2)
        self.cell.tqdir("add-app", APPLICATION, CELL_ID, CLIENT, APP_TYPE)
        self.cell.tqdir("map-app-engines", APPLICATION, 1, 2)
        for server, cloud in ((self.a, 1), (self.b, 2)):
            for path in BACKUP_DOCS:
                server.add(path, "backed up " + path, client=CLIENT, app_type=APP_TYPE,
                           cell_number=CELL_NUMBER, cloud=cloud)
            server.add("/arch/x/1.txt", "migrated", app=APPLICATION, cell_number=CELL_NUMBER,
                       cloud=cloud)
            server.add(f"/pruned/{cloud}.doc", "archived", archive_file=70 + cloud, cloud=cloud,
                       cell_number=CELL_NUMBER)

    def assertCall(self, expected, *args, stdin=None):
        code, out, err, seconds = self.cell.tqci(*args, stdin=stdin)
        self.assertEqual(code, expected, f"tqci {args} -> {code}\n{out}\n{err}")
        return err, seconds

    def test_backup_erase_reaches_every_server_and_erases_the_subtree_only(self):
        self.assertCall(0, "erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type",
                        APP_TYPE, "/home/u/docs")
        for server in (self.a, self.b):
            remaining = server.paths()
            self.assertNotIn("/home/u/docs/a.txt", remaining)
            self.assertNotIn("/home/u/docs/sub/b.txt", remaining)
            self.assertIn("/home/u/docsx/c.txt", remaining)
            self.assertIn("/home/u/other.txt", remaining)
            self.assertIn("/arch/x/1.txt", remaining)
        self.assertIn("Returning succees after erasing data", self.cell.debug_log())

    def test_backup_erase_with_one_server(self):
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 2)
        self.assertCall(0, "erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type",
                        APP_TYPE, "/home/u/other.txt")
        self.assertIn("/home/u/other.txt", self.a.paths())
        self.assertNotIn("/home/u/other.txt", self.b.paths())

    def test_several_paths_share_one_session_per_server(self):
        paths = ["/home/u/docs/a.txt", "/home/u/docs/sub/b.txt", "/home/u/other.txt"]
        self.assertCall(0, "erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type",
                        APP_TYPE, *paths)
        for server in (self.a, self.b):
            self.assertEqual(server.paths(), ["/arch/x/1.txt", "/home/u/docsx/c.txt",
                                              f"/pruned/{1 if server is self.a else 2}.doc"])
            self.assertEqual(server.log_text().count("session started"), 1, server.log_text())

    def test_migrated_erase_reaches_every_cloud_of_the_application(self):
        self.assertCall(0, "erase-migrated", "--cell", CELL_ID, "--app", APPLICATION, "/arch/x")
        for server in (self.a, self.b):
            self.assertNotIn("/arch/x/1.txt", server.paths())
            self.assertIn("/home/u/docs/a.txt", server.paths())
        log = self.cell.debug_log()
        self.assertIn("Received erase data response for application ID[500] for CI server[101]!!", log)
        self.assertIn("Received erase data response for application ID[500] for CI server[102]!!", log)

    def test_rurizoze_erase_goes_to_the_given_cloud(self):
        self.assertCall(0, "erase-rurizoze", "--cell", CELL_ID, "--cell-number", CELL_NUMBER,
                        "--client", CLIENT, "--app-type", APP_TYPE, "--cloud", 2, "/home/u/other.txt")
        self.assertIn("/home/u/other.txt", self.a.paths())
        self.assertNotIn("/home/u/other.txt", self.b.paths())

    def test_prune_removes_the_documents_of_each_archive_file(self):
        self.assertCall(0, "prune", stdin=f"{CELL_NUMBER} 72 2\n{CELL_NUMBER} 71 1\n")
        self.assertNotIn("/pruned/1.doc", self.a.paths())
        self.assertNotIn("/pruned/2.doc", self.b.paths())
        self.assertIn("/home/u/docs/a.txt", self.a.paths())
        log = self.cell.debug_log()
        self.assertIn("Succeed to connect to dps client.", log)
        self.assertIn("Succeed to connect to dps client [102].", log)

    def test_refused_attach_fails_the_erase(self):
        refusing = self.cell.server("refusing", ["--service", "sOTHERLB/sOTHERLB"])
        self.cell.add_cloud(3, 103, refusing.host)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 3)
        err, _ = self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                 "--app-type", APP_TYPE, "/home/u/other.txt")
        log = self.cell.debug_log()
        self.assertIn(f"Failed to attach the remote CI server [{refusing.host}]", log)
        self.assertIn("Failed to attach to the CI server [103]!!!", log)
        self.assertIn("CIHelper.log", err)

    def test_server_that_is_down_fails_the_erase_quickly(self):
        self.cell.add_cloud(3, 103, "127.0.0.1:1")
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 3)
        _, seconds = self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                     "--app-type", APP_TYPE, "/home/u/other.txt")
        self.assertLess(seconds, 10)
        self.assertIn("Failed to attach the remote CI server [127.0.0.1:1]", self.cell.debug_log())

    def test_server_answering_status_zero_fails_and_stops_the_call(self):
        readonly = self.cell.server("readonly", ["--read-only"])
        self.cell.add_cloud(3, 103, readonly.host)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 3, 1)
        self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type",
                        APP_TYPE, "/home/u/other.txt")
        self.assertIn("Received [0] as the status code from client [10], Apptype [33], CIServer [103]",
                      self.cell.debug_log())
        self.assertIn("/home/u/other.txt", self.a.paths())  # the call stopped before server A

    def test_server_dying_mid_exchange_fails_the_erase(self):
        with WirePeer(mode="close-after-request") as peer:
            self.cell.add_cloud(3, 103, peer.host)
            self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 3)
            self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                            "--app-type", APP_TYPE, "/home/u/other.txt")
        self.assertIn("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[",
                      self.cell.debug_log())

    def test_stopped_server_is_given_up_after_the_attach_wait(self):
        self.a.signal(signal.SIGSTOP)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)
        _, seconds = self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                     "--app-type", APP_TYPE, "/home/u/other.txt")
        self.a.signal(signal.SIGCONT)
        self.assertLess(seconds, 2.4 + 5)  # attach wait 120 units of 20 ms, plus start-up
        self.assertIn("Failed to attach the remote CI server", self.cell.debug_log())

    def test_cell_without_number_fails_every_erase(self):
        self.cell.tqdir("add-cell", CELL_ID, 0)
        self.assertCall(1, "erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type",
                        APP_TYPE, "/home/u/other.txt")
        self.assertCall(1, "erase-migrated", "--cell", CELL_ID, "--app", APPLICATION, "/arch/x")
        self.assertEqual(self.cell.debug_log().count(
            "Failed to get the vornCell number from vornCell Id [1]"), 2)
        self.assertIn("/home/u/other.txt", self.a.paths())

    def test_usage_errors_are_clear(self):
        code, _, err, _ = self.cell.tqci("erase-backup", "--cell", "x")
        self.assertEqual(code, 2)
        self.assertIn("--cell needs a 32-bit integer", err)
        code, _, err, _ = self.cell.tqci("erase-backup", "--cell", 1, "/p")
        self.assertEqual(code, 2)
        self.assertIn("--client is required", err)
        code, _, err, _ = self.cell.tqci("prune", stdin="1 2\n")
        self.assertEqual(code, 2)
        self.assertIn("-:1:", err)


if __name__ == "__main__":
    unittest.main()
