"""Erased means gone: after each kind of erase through the host tool and a real
cisrv, no byte of the erased documents' words is left in any file of the
index's folder once --purge-within has passed; also after kill -9 and a
restart, and after a clean stop."""

import hashlib
import hmac
import os
import random
import sqlite3
import subprocess
import time
import unittest

from cell import CELL_ID, CELL_NUMBER, Cell, Server, tool

CLIENT = 10
APP_TYPE = 33
APPLICATION = 500
ARCHIVE_FILE = 71
CLOUD = 1
BOUND = 2  # --purge-within, seconds
# Letters no word of `cisrv generate` starts with: each unique word starts with
# its own, so it shares no prefix with any other word of the index.
FIRST_LETTERS = "jkvwyz"
TAIL_FROM = 3  # the tail scanned for: all but the first three letters


def unique_words():
    """One random word per first letter, keyed by that letter."""
    return {letter: letter + "".join(random.choice("bcdfghlmnpqrstx") for _ in range(11))
            for letter in FIRST_LETTERS}


def index_bytes(folder):
    data = b""
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data += f.read()
    return data


class ErasureTest(unittest.TestCase):
    def setUp(self):
        self.cell = Cell()
        self.addCleanup(self.cell.close)
        self.folder = os.path.join(self.cell.root, "index")
        os.mkdir(self.folder)
        self.key = os.path.join(self.cell.root, "path.key")
        with open(self.key, "w") as f:
            f.write("%032x\n" % random.getrandbits(128))
        os.chmod(self.key, 0o600)
        self.server = Server(self.cell, "ci", ["--purge-within", str(BOUND), "--log-paths", "hash",
                                               "--log-path-key", self.key])
        self.server.index = os.path.join(self.folder, "index.db")
        subprocess.run([tool("cisrv"), "generate", "--index", self.server.index, "--documents",
                        "300", "--seed", "3"], check=True, stdout=subprocess.DEVNULL)
        self.server.start()
        self.cell.servers.append(self.server)
        self.cell.add_cloud(CLOUD, 101, self.server.host)
        self.cell.tqdir("add-client", CLIENT, CELL_ID, "127.0.0.1:9")
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, CLOUD)
        self.cell.tqdir("add-app", APPLICATION, CELL_ID, CLIENT, APP_TYPE)
        self.cell.tqdir("map-app-engines", APPLICATION, CLOUD)
        self.words = unique_words()
        w = self.words
        # Erased: the words of letters j, k, v, w; kept: y, z (the control).
        self.erased = [w["j"], w["k"], w["v"], w["w"]]
        self.kept = [w["y"], w["z"]]
        self.folder_path = f"/data/{w['j']}"
        self.file_path = f"{self.folder_path}/{w['k']}.txt"
        self.other_path = f"{self.folder_path}/sub/{w['w']}.txt"
        self.control_path = f"/data/{w['y']}/report.txt"

    def add(self, **ids):
        """The documents to erase (with `ids`) and the control document."""
        ids.setdefault("cell_number", CELL_NUMBER)
        self.server.add(self.file_path, f"quarterly {self.words['v']} notes", **ids)
        self.server.add(self.other_path, "meeting minutes", **ids)
        self.server.add(self.control_path, f"the {self.words['z']} budget", client=CLIENT,
                        app_type=APP_TYPE, cell_number=CELL_NUMBER)

    def erase(self, *args, stdin=None):
        code, out, err, _ = self.cell.tqci(*args, stdin=stdin)
        self.assertEqual(code, 0, f"tqci {args}\n{out}\n{err}\n{self.server.log_text()}")
        self.assertNotIn(self.file_path, self.server.paths())
        self.assertIn(self.control_path, self.server.paths())

    def assertGone(self, words):
        data = index_bytes(self.folder)
        for word in words:
            self.assertFalse(word.encode() in data, f"{word} is still in the index's files")
            self.assertFalse(word[TAIL_FROM:].encode() in data, f"the tail of {word} is still there")
        for word in self.kept:
            self.assertTrue(word.encode() in data, f"the scan misses {word}, which is there")
        log = self.server.log_text()
        for word in words:
            self.assertNotIn(word, log)

    def check(self, crash, words=None):
        """After the erase: wait for the bound (after a kill -9 and a restart
        when `crash`), then scan every file of the index's folder."""
        if crash:
            self.server.process.kill()
            self.server.process.wait()
            self.server.start()
        time.sleep(BOUND + 0.5)
        self.assertGone(words or self.erased)

    def backup_erase(self, path):
        self.erase("erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type", APP_TYPE,
                   path)

    def single_document(self, crash):
        self.add(client=CLIENT, app_type=APP_TYPE)
        self.backup_erase(self.file_path)
        self.assertIn(self.other_path, self.server.paths())
        self.check(crash, [self.words["k"], self.words["v"]])

    def subtree(self, crash):
        self.add(client=CLIENT, app_type=APP_TYPE)
        self.backup_erase(self.folder_path)
        self.check(crash)

    def prune(self, crash):
        self.add(archive_file=ARCHIVE_FILE, cloud=CLOUD)
        self.erase("prune", stdin=f"{CELL_NUMBER} {ARCHIVE_FILE} {CLOUD}\n")
        self.check(crash)

    def migrated(self, crash):
        self.add(app=APPLICATION)
        self.erase("erase-migrated", "--cell", CELL_ID, "--app", APPLICATION, self.folder_path)
        self.check(crash)

    def rurizoze(self, crash):
        self.add(client=CLIENT, app_type=APP_TYPE)
        self.erase("erase-rurizoze", "--cell", CELL_ID, "--cell-number", CELL_NUMBER, "--client",
                   CLIENT, "--app-type", APP_TYPE, "--cloud", CLOUD, self.folder_path)
        self.check(crash)

    def test_single_document(self):
        self.single_document(crash=False)
        with open(self.key) as f:
            key = f.read().strip().encode()
        digest = hmac.new(key, self.file_path.encode(), hashlib.sha256).hexdigest()
        self.assertIn(f"erase hmac-sha256:{digest} (client {CLIENT}", self.server.log_text())

    def test_single_document_after_kill(self):
        self.single_document(crash=True)

    def test_subtree(self):
        self.subtree(crash=False)

    def test_subtree_after_kill(self):
        self.subtree(crash=True)

    def test_prune_by_archive_file(self):
        self.prune(crash=False)

    def test_prune_by_archive_file_after_kill(self):
        self.prune(crash=True)

    def test_migrated(self):
        self.migrated(crash=False)

    def test_migrated_after_kill(self):
        self.migrated(crash=True)

    def test_rurizoze(self):
        self.rurizoze(crash=False)

    def test_rurizoze_after_kill(self):
        self.rurizoze(crash=True)

    def test_clean_stop_purges_before_exit(self):
        self.server.stop()
        self.server.extra[1] = "3600"  # a bound the test would not wait for
        self.server.start()
        self.add(client=CLIENT, app_type=APP_TYPE)
        self.backup_erase(self.folder_path)
        self.assertEqual(self.server.stop(), 0)
        self.assertGone(self.erased)
        self.assertIn("gone from the files", self.server.log_text())


class MigrationTest(unittest.TestCase):
    """An index made by the server before shards: what its erases left is
    purged when it is first opened."""

    SCHEMA = """
    CREATE TABLE documents (id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL,
        client_id INTEGER NOT NULL DEFAULT 0, app_type INTEGER NOT NULL DEFAULT 0,
        application_id INTEGER NOT NULL DEFAULT 0, archive_file_id INTEGER NOT NULL DEFAULT 0,
        cloud_id INTEGER NOT NULL DEFAULT 0, cell_number INTEGER NOT NULL DEFAULT 0,
        text TEXT NOT NULL DEFAULT '');
    CREATE INDEX documents_by_client ON documents (client_id, app_type, cell_number, path);
    CREATE INDEX documents_by_application ON documents (application_id, cell_number, path);
    CREATE INDEX documents_by_archive_file ON documents (archive_file_id, cloud_id, cell_number);
    CREATE VIRTUAL TABLE documents_fts USING fts5 (path, text, content = 'documents',
        content_rowid = 'id');
    CREATE TRIGGER documents_fts_insert AFTER INSERT ON documents BEGIN
        INSERT INTO documents_fts (rowid, path, text) VALUES (new.id, new.path, new.text); END;
    CREATE TRIGGER documents_fts_delete AFTER DELETE ON documents BEGIN
        INSERT INTO documents_fts (documents_fts, rowid, path, text)
            VALUES ('delete', old.id, old.path, old.text); END;
    PRAGMA user_version = 1;
    """

    def test_earlier_erases_are_purged_by_the_migration(self):
        cell = Cell()
        self.addCleanup(cell.close)
        folder = os.path.join(cell.root, "index")
        os.mkdir(folder)
        index = os.path.join(folder, "index.db")
        db = sqlite3.connect(index, isolation_level=None)
        db.execute("PRAGMA journal_mode = WAL")
        db.executescript(self.SCHEMA)
        words = [unique_words() for _ in range(200)]
        db.execute("BEGIN")
        for i, w in enumerate(words):
            db.execute("INSERT INTO documents (path, client_id, text) VALUES (?, 5, ?)",
                       (f"/d/{w['j']}/{i}", f"{w['v']} alpha"))
        db.execute("COMMIT")
        db.execute("DELETE FROM documents WHERE id % 2 = 0")
        db.close()
        erased = [w[c] for w in words[1::2] for c in "jv"]
        kept = [w[c] for w in words[0::2] for c in "jv"]
        data = index_bytes(folder)
        self.assertTrue(any(word.encode() in data for word in erased), "the old server left them")

        run = subprocess.run([tool("cisrv"), "count", "--index", index], capture_output=True,
                             text=True, env=cell.env)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout, "100\n")
        self.assertIn("migrated from schema version 1", run.stderr)
        data = index_bytes(folder)
        for word in erased:
            self.assertFalse(word[TAIL_FROM:].encode() in data, word)
        for word in kept:
            self.assertTrue(word.encode() in data, word)
        found = subprocess.run([tool("cisrv"), "search", "--index", index, "--match", kept[1]],
                               capture_output=True, text=True, env=cell.env, check=True).stdout
        self.assertEqual(len(found.splitlines()), 1, found)
        purged = subprocess.run([tool("cisrv"), "purge", "--index", index], capture_output=True,
                                text=True, env=cell.env)
        self.assertEqual(purged.returncode, 0, purged.stderr)
        self.assertIn("1 full-text shards and every page rewritten", purged.stdout)
        self.assertEqual(os.path.getsize(index + "-wal") if os.path.exists(index + "-wal") else 0, 0)


if __name__ == "__main__":
    unittest.main()
