"""End-to-end over TLS: the cell's authority signs the certificates of its CI
servers and of the host; the operations work over TLS, and every certificate
that must not be trusted is refused at attach with the reason in the debug log."""

import functools
import os
import re
import subprocess
import unittest
from unittest import mock

import e2e_test
from cell import CELL_ID, Authority, Cell, tool

CLIENT = 10
APP_TYPE = 33

# The operations of the plain end-to-end tests, run again over TLS.
OPERATIONS = [
    "test_backup_erase_reaches_every_server_and_erases_the_subtree_only",
    "test_several_paths_share_one_session_per_server",
    "test_migrated_erase_reaches_every_cloud_of_the_application",
    "test_rurizoze_erase_goes_to_the_given_cloud",
    "test_prune_removes_the_documents_of_each_archive_file",
    "test_refused_attach_fails_the_erase",
]


class OperationsOverTls(unittest.TestCase):
    def setUp(self):
        with mock.patch.object(e2e_test, "Cell", functools.partial(Cell, tls=True)):
            e2e_test.EndToEndTest.setUp(self)
        self.assertIsNotNone(self.cell.authority)

    assertCall = e2e_test.EndToEndTest.assertCall


for _name in OPERATIONS:
    setattr(OperationsOverTls, _name, getattr(e2e_test.EndToEndTest, _name))


class TlsAttachTest(unittest.TestCase):
    """One CI server over TLS and the host tool with various certificates."""

    def setUp(self):
        self.cell = Cell(tls=True)
        self.addCleanup(self.cell.close)
        self.server = self.cell.server("server-a")
        self.server.add("/home/u/a.txt", "a", client=CLIENT, app_type=APP_TYPE, cloud=1,
                        cell_number=e2e_test.CELL_NUMBER)
        self.cell.add_cloud(1, 101, self.server.host)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)

    def erase(self, **env):
        """Runs one erase with the host's TLS variables replaced by `env`."""
        saved = dict(self.cell.env)
        for name in ("TQ_TLS_CERT", "TQ_TLS_KEY", "TQ_TLS_CA"):
            self.cell.env.pop(name, None)
        self.cell.env.update(env)
        try:
            return self.cell.tqci("erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                  "--app-type", APP_TYPE, "/home/u")
        finally:
            self.cell.env.clear()
            self.cell.env.update(saved)

    def attach_failures(self):
        return re.findall(r"Failed to attach the remote CI server \[[^]]*\]\. Error:\[(.*)\]",
                          self.cell.debug_log())

    def assertRefused(self, reason, seconds_limit=10, **env):
        code, out, err, seconds = self.erase(**env)
        self.assertNotEqual(code, 0, f"{out}\n{err}")
        self.assertLess(seconds, seconds_limit)
        failures = self.attach_failures()
        self.assertTrue(failures, self.cell.debug_log())
        self.assertIn(reason, failures[-1])
        self.assertIn("/home/u/a.txt", self.server.paths())

    def test_valid_certificates_erase(self):
        code, out, err, _ = self.erase(**{k: self.cell.env[k] for k in
                                          ("TQ_TLS_CERT", "TQ_TLS_KEY", "TQ_TLS_CA")})
        self.assertEqual(code, 0, f"{out}\n{err}")
        self.assertNotIn("/home/u/a.txt", self.server.paths())
        self.assertRegex(self.server.log_text(), r"session started: peer 127\.0\.0\.1")

    def test_health_check_runs_tls_and_needs_a_certificate(self):
        def check(env):
            return subprocess.run([tool("cisrv"), "check", "--listen", self.server.host],
                                  env=env, capture_output=True, text=True)
        passed = check(self.cell.env)
        self.assertEqual(passed.returncode, 0, passed.stderr)
        lines = passed.stdout.splitlines()
        self.assertEqual(lines[0], f"{self.server.host}: serving (TLS)")
        self.assertRegex(lines[1], r"^server certificate: subject CN=ci-server, serial [0-9A-F]+, "
                                   r"expires on \S+ \(in 365 days\)$")
        self.assertRegex(passed.stdout, r"\nauthority \S+: subject CN=cell authority, ")
        self.assertNotIn("127.0.0.1:", self.server.log_text())
        refused = check(dict(self.cell.env, TQ_TLS_CERT="", TQ_TLS_KEY=""))
        self.assertEqual(refused.returncode, 1)
        self.assertIn(f"no server answers at {self.server.host}", refused.stderr)

    def test_client_without_certificate_is_refused(self):
        self.assertRefused("certificate required", TQ_TLS_CA=self.cell.authority.cert)
        self.assertIn("peer did not return a certificate", self.server.log_text())

    def test_client_of_another_authority_is_refused(self):
        other = Authority(os.path.dirname(self.cell.authority.cert), "other")
        host = other.issue("other-host")
        host["TQ_TLS_CA"] = self.cell.authority.cert
        self.assertRefused("unknown ca", **host)

    def test_expired_client_certificate_is_refused(self):
        self.assertRefused("certificate expired",
                           **self.cell.authority.issue("old-host", expired=True))

    def test_server_naming_another_host_is_refused(self):
        impostor = self.cell.server(
            "impostor", env=dict(self.cell.env,
                                 **self.cell.authority.issue("impostor", "DNS:ci.elsewhere")))
        self.cell.tqdir("add-client", 101, CELL_ID, impostor.host)
        self.assertRefused("IP address mismatch", **{k: self.cell.env[k] for k in
                                                     ("TQ_TLS_CERT", "TQ_TLS_KEY", "TQ_TLS_CA")})

    def test_plain_host_and_tls_server_fail_fast(self):
        self.assertRefused("peer speaks TLS")
        self.assertIn("peer does not speak TLS", self.server.log_text())

    def test_tls_host_and_plain_server_fail_fast(self):
        plain = self.cell.server("plain", env=dict(self.cell.env, TQ_TLS_CERT="", TQ_TLS_KEY="",
                                                   TQ_TLS_CA=""))
        self.cell.tqdir("add-client", 101, CELL_ID, plain.host)
        self.assertRefused("peer does not speak TLS", **{k: self.cell.env[k] for k in
                                                         ("TQ_TLS_CERT", "TQ_TLS_KEY",
                                                          "TQ_TLS_CA")})
        self.assertIn("peer speaks TLS", plain.log_text())


if __name__ == "__main__":
    unittest.main()
