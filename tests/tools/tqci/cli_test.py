"""What a user of tqci sees: usage errors, results with their reasons, --json."""

import json
import os
import pty
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e"))
from cell import CELL_ID, Cell, tool  # noqa: E402

APP_TYPE = 33
SERVED, SERVER_DOWN, NO_SERVER = 10, 11, 12
TWO_CLOUD_APP = 500


def erase(client, *paths):
    return ["erase-backup", f"--cell={CELL_ID}", "--client", str(client), "--app-type",
            str(APP_TYPE), *paths]


class TqciCommandLineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cell = Cell()
        server = cls.cell.server("server")
        cls.cell.add_cloud(1, 101, server.host)
        cls.cell.add_cloud(2, 102, "127.0.0.1:1")
        cls.cell.tqdir("add-cloud", 3, "cloud-without-server")
        for client, cloud in ((SERVED, 1), (SERVER_DOWN, 2), (NO_SERVER, 3)):
            cls.cell.tqdir("add-client", client, CELL_ID, "127.0.0.1:9")
            cls.cell.tqdir("map-client-engines", client, APP_TYPE, cloud)
        cls.cell.tqdir("add-app", TWO_CLOUD_APP, CELL_ID, SERVED, APP_TYPE)
        cls.cell.tqdir("map-app-engines", TWO_CLOUD_APP, 1, 2)

    @classmethod
    def tearDownClass(cls):
        cls.cell.close()

    def tqci(self, *args, stdin=None, env=None):
        result = subprocess.run([tool("tqci"), *args], env=env or self.cell.env, input=stdin,
                                capture_output=True, timeout=60)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def log_size(self):
        path = os.path.join(self.cell.log_dir, "CIHelper.log")
        return os.path.getsize(path) if os.path.exists(path) else 0

    def test_usage_errors_say_what_is_wrong_and_call_nothing(self):
        log_before = self.log_size()
        cases = [
            (erase(SERVED, "relative/path"), "'relative/path' is not an absolute path"),
            (erase(SERVED, "/p") + ["--client", "10"], "--client"),
            (["erase-backup", "--cell", "x"], "--cell needs a 32-bit integer, not 'x'"),
            (["erase-migrated", "--cell", "1", "/p"], "--app is required"),
            (erase(SERVED, "/p") + ["--bogus"], "--bogus"),
            (["-q", "-v", "prune"], "--quiet"),
            ([], "subcommand"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                code, out, err = self.tqci(*args)
                self.assertEqual(code, 2, err)
                self.assertIn(message, err)
                self.assertIn("Try 'tqci --help'", err)
                self.assertEqual(out, "")
        self.assertEqual(self.log_size(), log_before)

    def test_help_lists_the_environment_with_both_directory_forms(self):
        code, out, _ = self.tqci("--help")
        self.assertEqual(code, 0)
        for name in ("TQ_LOG_DIR", "TQ_DIRECTORY_DB", "postgresql://", "TQ_TLS_CA"):
            self.assertIn(name, out)

    def test_results_with_their_reasons(self):
        code, out, err = self.tqci(*erase(SERVED, "/a"))
        self.assertEqual((code, out, err), (0, "erase-backup /a: ok\n", ""))

        code, out, err = self.tqci(*erase(SERVER_DOWN, "/a"))
        self.assertEqual((code, out), (1, "erase-backup /a: FAILED\n"))
        self.assertIn("tqci:   Failed to attach the remote CI server [127.0.0.1:1]", err)
        self.assertIn("debug log: ", err)
        self.assertEqual(self.tqci("-q", *erase(SERVER_DOWN, "/a"))[2], "")

        log_before = self.log_size()
        code, out, err = self.tqci(*erase(NO_SERVER, "/a"))
        self.assertEqual((code, out), (1, "erase-backup /a: nothing to erase\n"))
        self.assertIn(f"no CI server for client {NO_SERVER} app type {APP_TYPE}", err)
        self.assertEqual(self.log_size(), log_before)  # the helper was not called

    def test_json_gives_one_object_per_path(self):
        odd_paths = ["/a", '/quote"back\\slash\ttab', "/latin-1 \xff"]
        for client, result in ((SERVED, "ok"), (SERVER_DOWN, "failed"),
                               (NO_SERVER, "nothing-to-erase")):
            with self.subTest(result=result):
                args = [os.fsencode(a) for a in ["--json", *erase(client)]] + \
                       [p.encode("latin-1") for p in odd_paths]
                code, out, err = self.tqci(*args)
                self.assertEqual(code, 0 if result == "ok" else 1, err)
                *objects, summary = [json.loads(line) for line in out.splitlines()]
                self.assertEqual(summary["summary"]["calls"], 3)
                self.assertEqual([o["path"] for o in objects], odd_paths[:2] + ["/latin-1 \ufffd"])
                for o in objects:
                    self.assertEqual(sorted(o), ["path", "reasons", "result"])
                    self.assertEqual(o["result"], result)
                    self.assertEqual(o["reasons"] == [], result == "ok")
        code, out, _ = self.tqci("--json", "prune", stdin=b"4711 5 1\n")
        self.assertEqual((code, json.loads(out)), (0, {"path": "-", "result": "ok", "reasons": []}))

    def test_a_result_of_zero_with_failed_servers_or_archive_files_is_partial(self):
        code, out, err = self.tqci("--json", "erase-migrated", "--cell", str(CELL_ID), "--app",
                                   str(TWO_CLOUD_APP), "/a")
        result = json.loads(out)
        self.assertEqual((code, result["result"]), (1, "partial"), err)
        self.assertEqual((result["confirmed_servers"], result["failed_servers"]), ([101], [102]))

        code, out, err = self.tqci("prune", stdin=b"4711 5 1\n4711 6 2\n4711 7 2\n")
        self.assertEqual((code, out), (1, "prune of 3 archive files: PARTIAL "
                                          "(2 archive files may not have been pruned)\n"), err)
        code, out, _ = self.tqci("--json", "prune", stdin=b"4711 5 1\n4711 6 2\n")
        self.assertEqual(json.loads(out)["failed_archive_files"],
                         [{"cell_number": 4711, "archive_file": 6, "cloud": 2}])

    def test_a_directory_that_cannot_be_asked_fails_the_call_and_says_so(self):
        with tempfile.NamedTemporaryFile(suffix=".db") as garbage:
            garbage.write(b"not a database" * 100)
            garbage.flush()
            env = dict(self.cell.env, TQ_DIRECTORY_DB=garbage.name)
            for args in (["--json", *erase(SERVED, "/a")], ["--json", "prune"]):
                with self.subTest(args=args[1]):
                    code, out, err = self.tqci(*args, stdin=b"4711 5 1\n", env=env)
                    result = json.loads(out)
                    self.assertEqual((code, result["result"]), (1, "failed"), err)
                    self.assertIn(f"the directory at {garbage.name} (TQ_DIRECTORY_DB) could not "
                                  "be asked", result["reasons"][0])

    def test_a_debug_log_that_is_not_a_regular_file_is_never_read(self):
        folder = tempfile.mkdtemp(dir=self.cell.root)
        log = os.path.join(folder, "CIHelper.log")
        env = dict(self.cell.env, TQ_LOG_DIR=folder)
        for kind, make in (("a FIFO", os.mkfifo), ("a directory", os.mkdir),
                           ("a character device", lambda p: os.symlink("/dev/full", p))):
            with self.subTest(kind=kind):
                make(log)
                started = time.monotonic()
                code, out, err = self.tqci("--json", "prune", stdin=b"4711 5 1\n", env=env)
                self.assertLess(time.monotonic() - started, 5)
                result = json.loads(out)
                self.assertEqual((code, result["result"]), (1, "partial"), err)
                self.assertIn(f"is {kind}, not a regular file", " ".join(result["reasons"]))
                if os.path.isdir(log) and not os.path.islink(log):
                    os.rmdir(log)
                else:
                    os.unlink(log)

    def test_a_run_of_several_calls_ends_with_a_summary_and_shows_progress_on_a_terminal(self):
        paths = [f"/p{i}" for i in range(5)]
        code, out, _ = self.tqci(*erase(SERVER_DOWN, *paths))
        self.assertEqual(code, 1)
        self.assertRegex(out.splitlines()[-1],
                         r"^5 calls in [\d.]+ s: 0 ok, 0 partial, 5 failed, 0 nothing to erase$")
        # On a terminal: successes as one progress line, rewritten in place.
        main, child = pty.openpty()
        process = subprocess.Popen([tool("tqci"), *erase(SERVED, *paths)], env=self.cell.env,
                                   stdin=subprocess.DEVNULL, stdout=child, stderr=child)
        os.close(child)
        screen = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        os.close(main)
        self.assertEqual(process.wait(timeout=30), 0)
        text = screen.decode()
        self.assertIn("5/5 done", text)
        self.assertNotIn("erase-backup /p0: ok", text)
        self.assertIn("5 calls in ", text)


if __name__ == "__main__":
    unittest.main()
