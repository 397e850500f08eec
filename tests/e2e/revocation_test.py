"""Revocation and renewal with real processes and a throw-away authority: a
revoked host is refused by cisrv and a revoked server by the host, a list
that cannot be used lets nobody in, SIGHUP makes cisrv read new files while
its sessions go on, a host handle reads changed files at its next attach,
and certificates that run out soon are reported."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Authority, Cell, tool
from pgcluster import Cluster, Unavailable

CLIENT = 10
APP_TYPE = 33


def serial(cert):
    """The serial of the certificate in file `cert`, as openssl prints it."""
    out = subprocess.run(["openssl", "x509", "-noout", "-serial", "-in", cert],
                         capture_output=True, text=True, check=True).stdout
    return out.strip().split("=", 1)[1]


def wait_for(predicate, seconds=10):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class RevocationTest(unittest.TestCase):
    def setUp(self):
        self.cell = Cell(tls=True)
        self.addCleanup(self.cell.close)
        self.authority = self.cell.authority
        self.certs = os.path.dirname(self.authority.cert)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.documents = 0

    def path(self, name):
        return os.path.join(self.certs, name)

    def server(self, extra=(), **env):
        server = self.cell.server("server-a", list(extra), env=dict(self.cell.server_env, **env))
        self.cell.add_cloud(1, 101, server.host)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1)
        return server

    def erase(self, server, **env):
        """One tqci erase of a new document with the host's variables changed
        by `env`; whether it was erased."""
        self.documents += 1
        path = f"/home/u/{self.documents}.txt"
        server.add(path, client=CLIENT, app_type=APP_TYPE, cloud=1, cell_number=CELL_NUMBER)
        saved = dict(self.cell.env)
        self.cell.env.update(env)
        try:
            code, _, _, _ = self.cell.tqci("erase-backup", "--cell", CELL_ID, "--client", CLIENT,
                                           "--app-type", APP_TYPE, path)
        finally:
            self.cell.env.clear()
            self.cell.env.update(saved)
        erased = path not in server.paths()
        self.assertEqual(code == 0, erased)
        return erased

    def handle(self, server):
        """A long-lived helper handle (tqci erase-lines); a function erasing a
        new document through it, returning whether it was erased."""
        handle = subprocess.Popen([tool("tqci"), "erase-lines"], env=self.cell.env, text=True,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(handle.communicate, timeout=30)

        def erase(on=server, cloud=1, client=CLIENT):
            self.documents += 1
            path = f"/h/{self.documents}"
            on.add(path, client=client, app_type=APP_TYPE, cloud=cloud, cell_number=CELL_NUMBER)
            handle.stdin.write(f"backup {CELL_ID} {client} {APP_TYPE} {path}\n")
            handle.stdin.flush()
            return handle.stdout.readline().strip().endswith(": ok")
        return erase

    def last_attach_failure(self):
        failures = re.findall(r"Failed to attach the remote CI server \[[^]]*\]\. Error:\[(.*)\]",
                              self.cell.debug_log())
        return failures[-1] if failures else ""

    def check(self, server, *extra, env=None):
        """`cisrv check` of `server`: its standard output; fails the test
        unless the server answered."""
        result = subprocess.run([tool("cisrv"), "check", "--listen", server.host, *extra],
                                env=env or self.cell.env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def served_serial(self, server):
        return re.search(r"^server certificate: subject CN=\S+, serial (\w+)",
                         self.check(server), re.M).group(1)

    # Revocation ------------------------------------------------------------

    def test_revoked_host_is_refused_by_the_server_and_the_others_attach(self):
        stolen = self.authority.issue("stolen-host")
        self.authority.revoke(stolen["TQ_TLS_CERT"])
        crl = self.authority.gencrl(self.path("crl.pem"))
        server = self.server(TQ_TLS_CRL=crl)
        # Hosts with certificates not in the list attach, also checking the list.
        self.assertTrue(self.erase(server))
        self.assertTrue(self.erase(server, TQ_TLS_CRL=crl))
        self.assertFalse(self.erase(server, **stolen))
        self.assertIn("revoked", self.last_attach_failure())
        self.assertIn(f"certificate revoked: subject CN=stolen-host, serial "
                      f"{serial(stolen['TQ_TLS_CERT'])}", server.log_text())

    def test_revoked_server_is_refused_by_the_host(self):
        server = self.server()
        self.authority.revoke(self.cell.server_env["TQ_TLS_CERT"])
        crl = self.authority.gencrl(self.path("crl.pem"))
        self.assertTrue(self.erase(server))  # without the list, as before
        self.assertFalse(self.erase(server, TQ_TLS_CRL=crl))
        self.assertIn(f"certificate revoked: subject CN=ci-server, serial "
                      f"{serial(self.cell.server_env['TQ_TLS_CERT'])}", self.last_attach_failure())
        self.assertIn("revoked", server.log_text().splitlines()[-1])

    def test_a_list_that_cannot_be_used_lets_nobody_in(self):
        other = Authority(self.certs, "other")
        malformed = self.path("malformed.pem")
        self.write(malformed, "-----BEGIN X509 CRL-----\nbm90IGEgbGlzdA==\n-----END X509 CRL-----\n")
        cases = {
            "past its next update": self.authority.gencrl(
                self.path("expired.pem"), "-crl_lastupdate", "20200101000000Z",
                "-crl_nextupdate", "20200201000000Z"),
            "is not signed by an authority of TQ_TLS_CA": other.gencrl(self.path("foreign.pem")),
            "No such file or directory": self.path("missing.pem"),
            "holds a malformed revocation list": malformed,
            "holds no revocation list in c_rehash form": self.certs + "/empty",
        }
        os.mkdir(self.certs + "/empty")
        good = self.server()
        for reason, crl in cases.items():
            with self.subTest(reason):
                with self.assertRaises(RuntimeError) as refused:
                    Cell.server(self.cell, "refusing",
                                env=dict(self.cell.server_env, TQ_TLS_CRL=crl))
                self.assertIn(f"TQ_TLS_CRL {crl}: ", str(refused.exception))
                self.assertIn(reason, str(refused.exception))
                self.assertFalse(self.erase(good, TQ_TLS_CRL=crl))
                self.assertIn(f"TQ_TLS_CRL {crl}: ", self.last_attach_failure())
                self.assertIn(reason, self.last_attach_failure())

    def test_a_list_that_runs_out_while_serving_lets_nobody_in(self):
        # Long enough for a slow (sanitizer) build to start and erase once.
        runs_out = time.monotonic() + 10
        crl = self.authority.gencrl(self.path("crl.pem"), "-crlsec", "10")
        server = self.server(TQ_TLS_CRL=crl)
        self.assertTrue(self.erase(server))
        time.sleep(max(0.0, runs_out + 0.5 - time.monotonic()))
        self.assertFalse(self.erase(server))
        self.assertRegex(server.log_text(),
                         rf"CRL has expired: subject CN=host, serial \w+; TQ_TLS_CRL {crl}: the "
                         r"list is past its next update, nobody is accepted")

    def test_a_folder_in_c_rehash_form_holds_the_lists(self):
        folder = self.path("crls")
        os.mkdir(folder)
        stolen = self.authority.issue("stolen-host")
        self.authority.revoke(stolen["TQ_TLS_CERT"])
        # Two lists of the authority: the newer one counts.
        self.authority.gencrl(os.path.join(folder, "cell-old.pem"), "-crl_lastupdate",
                              "20240101000000Z", "-crl_nextupdate", "20990101000000Z")
        later = self.authority.issue("stolen-later")
        self.authority.revoke(later["TQ_TLS_CERT"])
        self.authority.gencrl(os.path.join(folder, "cell.pem"))
        subprocess.run(["openssl", "rehash", folder], check=True)
        server = self.server(TQ_TLS_CRL=folder)
        self.assertTrue(self.erase(server, TQ_TLS_CRL=folder))
        self.assertFalse(self.erase(server, **stolen))
        self.assertFalse(self.erase(server, **later))
        self.assertIn("CN=stolen-later", server.log_text())

    # Renewal ---------------------------------------------------------------

    @staticmethod
    def write(path, text):
        with open(path, "w") as f:
            f.write(text)

    def replace_server_files(self, issued):
        """Puts the files of `issued` where the server reads its own."""
        for name in ("TQ_TLS_CERT", "TQ_TLS_KEY"):
            shutil.copyfile(issued[name], issued[name] + ".new")
            os.chmod(issued[name] + ".new", 0o600)
            os.replace(issued[name] + ".new", self.cell.server_env[name])

    def reload(self, server, outcome):
        """SIGHUP, then waits for the log line saying `outcome`."""
        before = server.log_text().count(outcome)
        server.signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: server.log_text().count(outcome) > before),
                        server.log_text())

    def test_sighup_serves_new_files_and_keeps_sessions_and_a_broken_reload_keeps_the_old(self):
        server = self.server()
        old = serial(self.cell.server_env["TQ_TLS_CERT"])
        self.assertEqual(self.served_serial(server), old)
        erase_on_handle = self.handle(server)

        self.assertTrue(erase_on_handle())
        renewed = self.authority.issue("ci-server-renewed", "IP:127.0.0.1")
        self.replace_server_files(renewed)
        self.reload(server, "TLS files reloaded")
        self.assertIn(f"serial {serial(renewed['TQ_TLS_CERT'])}", server.log_text())
        # The session attached before goes on; a new attach sees the new certificate.
        self.assertTrue(erase_on_handle())
        self.assertEqual(server.log_text().count("session started"), 1)
        new = self.served_serial(server)
        self.assertEqual(new, serial(renewed["TQ_TLS_CERT"]))
        self.assertNotEqual(new, old)

        key = self.cell.server_env["TQ_TLS_KEY"]
        stray = self.authority.issue("stray")
        broken = {
            "does not match certificate": lambda: shutil.copyfile(stray["TQ_TLS_KEY"], key),
            "is readable or writable by group or others": lambda: os.chmod(key, 0o644),
            "cannot read certificate": lambda: self.write(self.cell.server_env["TQ_TLS_CERT"],
                                                          "garbage\n"),
        }
        for reason, breaking in broken.items():
            with self.subTest(reason):
                self.replace_server_files(renewed)
                breaking()
                self.reload(server, "TLS files not reloaded")
                self.assertIn(reason, server.log_text().splitlines()[-1])
                self.assertEqual(self.served_serial(server), new)
                self.assertTrue(self.erase(server))
                self.assertTrue(erase_on_handle())

    def test_rotations_under_an_erase_loop_fail_no_erase(self):
        server = self.server()
        stop = threading.Event()
        results = []

        def loop():
            while not stop.is_set():
                results.append(self.erase(server))

        eraser = threading.Thread(target=loop)
        eraser.start()
        try:
            serials = []
            for turn in range(3):
                renewed = self.authority.issue(f"ci-server-{turn}", "IP:127.0.0.1")
                self.replace_server_files(renewed)
                self.reload(server, "TLS files reloaded")
                serials.append(serial(renewed["TQ_TLS_CERT"]))
                time.sleep(0.3)
            # Erases after the last rotation too, however slow the build.
            deadline = time.monotonic() + 30
            while len(results) <= 3 and time.monotonic() < deadline:
                time.sleep(0.1)
        finally:
            stop.set()
            eraser.join()
        self.assertEqual(self.served_serial(server), serials[-1])
        self.assertGreater(len(results), 3)
        self.assertTrue(all(results), results)

    def test_host_handle_reads_changed_files_at_its_next_attach(self):
        host_crl = self.authority.gencrl(self.path("host-crl.pem"))
        server_crl = self.authority.gencrl(self.path("server-crl.pem"))
        server = self.server(["--idle-timeout", "1"], TQ_TLS_CRL=server_crl)
        self.cell.env["TQ_TLS_CRL"] = host_crl
        erase_on_handle = self.handle(server)

        self.assertTrue(erase_on_handle())
        # The host's certificate is renewed in place, the old one revoked:
        # only a host that read its new files attaches again.
        old = self.path("host-old.pem")
        shutil.copyfile(self.cell.env["TQ_TLS_CERT"], old)
        renewed = self.authority.issue("host-renewed")
        for name in ("TQ_TLS_KEY", "TQ_TLS_CERT"):
            os.replace(renewed[name], self.cell.env[name])
        self.authority.revoke(old)
        self.authority.gencrl(server_crl + ".new")
        os.replace(server_crl + ".new", server_crl)
        self.reload(server, "TLS files reloaded")
        time.sleep(1.5)  # the server closes the idle session
        self.assertTrue(erase_on_handle(), server.log_text())
        self.assertEqual(server.log_text().count("session started"), 2)
        # A list that cannot be used leaves the one read before; the next
        # attach (to another server: this session attaches again within its
        # send) says so.
        self.write(host_crl, "-----BEGIN X509 CRL-----\nbm90IGEgbGlzdA==\n-----END X509 CRL-----\n")
        time.sleep(1.5)
        self.assertTrue(erase_on_handle())
        other = self.cell.server("server-b", env=dict(self.cell.server_env, TQ_TLS_CRL=server_crl))
        self.cell.add_cloud(2, 102, other.host)
        self.cell.tqdir("add-client", CLIENT + 1, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT + 1, APP_TYPE, 2)
        self.assertTrue(erase_on_handle(other, 2, CLIENT + 1))
        self.assertRegex(self.cell.debug_log(), r"Notice:\[changed TLS files not taken, those read "
                                                rf"before stay in use: .*TQ_TLS_CRL {host_crl}: "
                                                rf"{host_crl} holds a malformed revocation list")
        # The host's list now revokes the server: its next attach is refused.
        self.authority.revoke(self.cell.server_env["TQ_TLS_CERT"])
        self.authority.gencrl(host_crl + ".new")
        os.replace(host_crl + ".new", host_crl)
        time.sleep(1.5)
        # The session attaches again within the erase's send.
        self.assertFalse(erase_on_handle())
        self.assertIn("certificate revoked: subject CN=ci-server",
                      self.cell.debug_log().splitlines()[-1])

    # Expiry ----------------------------------------------------------------

    def test_certificates_that_run_out_soon_are_reported(self):
        soon = self.authority.issue("ci-soon", "IP:127.0.0.1", days=1)
        crl = self.authority.gencrl(self.path("crl.pem"), "-crldays", "20")
        server = self.server(["--tls-warn-days", "25"], TQ_TLS_CRL=crl, **soon)
        log = server.log_text()
        self.assertRegex(log, rf"warn TLS certificate {soon['TQ_TLS_CERT']} \(subject CN=ci-soon, "
                              rf"serial {serial(soon['TQ_TLS_CERT'])}\): expires on \S+ \(in 24 "
                              r"hours\): renew it and send SIGHUP")
        self.assertRegex(log, rf"warn TLS revocation list {crl} \(issuer CN=cell authority\): "
                              r"next update on \S+ \(in 20 days\)")
        self.assertNotIn("TLS authority", log)  # ten years
        printed = self.check(server, "--tls-warn-days", "25",
                             env=dict(self.cell.env, TQ_TLS_CRL=crl))
        self.assertRegex(printed, r"server certificate: subject CN=ci-soon, serial \w+, expires "
                                  r"on \S+ \(in 24 hours\), within 25 days\n")
        self.assertRegex(printed, rf"authority {self.authority.cert}: subject CN=cell authority, "
                                  r"serial \w+, expires on \S+ \(in 3650 days\)\n")
        self.assertRegex(printed, rf"revocation list {crl}: issuer CN=cell authority, next "
                                  r"update on \S+ \(in 20 days\), within 25 days\n")

        host = self.authority.issue("host-soon", days=1)
        self.assertTrue(self.erase(server, **host))
        notices = re.findall(r"Notice:\[(.*)\]", self.cell.debug_log())
        self.assertEqual(len(notices), 1, self.cell.debug_log())
        self.assertRegex(notices[0], rf"TLS certificate {host['TQ_TLS_CERT']} \(subject "
                                     r"CN=host-soon, serial \w+\) expires on \S+ \(in 24 hours\)")
        self.assertTrue(self.erase(server))  # a year: nothing said
        self.assertEqual(len(re.findall(r"Notice:", self.cell.debug_log())), 1)


class DirectoryRevocationTest(unittest.TestCase):
    """The directory on PostgreSQL over TLS: libpq checks the server's
    certificate against the same list (sslcrl, sslcrldir, PGSSLCRL)."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tq-pg-crl-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.authority = Authority(self.root, "cell")
        directory = self.authority.issue("directory", "IP:127.0.0.1")
        self.host = self.authority.issue("host")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        try:
            self.cluster = Cluster(listen="127.0.0.1", port=port, network="127.0.0.1/32",
                                   tls={"cert": directory["TQ_TLS_CERT"],
                                        "key": directory["TQ_TLS_KEY"], "ca": self.authority.cert})
        except Unavailable as reason:
            self.skipTest(str(reason))
        self.addCleanup(self.cluster.close)
        self.directory_cert = directory["TQ_TLS_CERT"]

    def tqdir(self, *args, env=None, **params):
        uri = self.cluster.tcp_uri(sslmode="verify-full", sslrootcert=self.authority.cert,
                                   sslcert=self.host["TQ_TLS_CERT"],
                                   sslkey=self.host["TQ_TLS_KEY"], **params)
        return subprocess.run([tool("tqdir"), "--db", uri, *args], capture_output=True, text=True,
                              env=dict(os.environ, **(env or {})))

    def test_revoked_directory_server_fails_the_lookup_with_a_clear_message(self):
        empty = self.authority.gencrl(os.path.join(self.root, "empty.pem"))
        made = self.tqdir("init", sslcrl=empty)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.authority.revoke(self.directory_cert)
        crl = self.authority.gencrl(os.path.join(self.root, "crl.pem"))
        folder = os.path.join(self.root, "crls")
        os.mkdir(folder)
        shutil.copy(crl, folder)
        subprocess.run(["openssl", "rehash", folder], check=True)
        for how, listed, given in (("sslcrl", f"sslcrl {crl}", {"sslcrl": crl}),
                                   ("sslcrldir", f"sslcrldir {folder}", {"sslcrldir": folder}),
                                   ("PGSSLCRL", f"sslcrl {crl}", {"env": {"PGSSLCRL": crl}})):
            with self.subTest(how):
                refused = self.tqdir("show", **given)
                self.assertEqual(refused.returncode, 1, refused.stdout)
                self.assertIn("cannot open the directory database", refused.stderr)
                self.assertIn("SSL error: certificate verify failed (the directory server's "
                              f"certificate was refused: it is revoked in {listed}",
                              refused.stderr)
        self.assertEqual(self.tqdir("show", sslcrl=empty).returncode, 0)


if __name__ == "__main__":
    unittest.main()
