"""The chaos run's cell: the network cell of the end-to-end tests
(tests/e2e/netcell.py) with three CI servers and two hosts, every server's
index on a small tmpfs of its own and the server under libfiu's POSIX
preload, and the faults the nemesis injects into it, each with its heal."""

import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from cell import CELL_ID, CELL_NUMBER, Server, tool  # noqa: E402
from netcell import NetworkCell  # noqa: E402

APP_TYPE = 33
SERVERS = ["ci1", "ci2", "ci3"]  # ci<c> indexes cloud c; its client id is 100 + c
HOSTS = ["host1", "host2"]
CLIENTS = {10: [1, 2, 3], 11: [1, 2], 12: [2, 3], 13: [3, 1]}  # backup client: its clouds
APPS = {500: (10, [1, 2, 3]), 501: (11, [2, 3])}  # application: (client, clouds)
LOCK_WAIT_S = 1
IDLE_TIMEOUT_S = 10
INDEX_MIB = 48
FIU_PREFIX = "fiu"
SYNC_POINTS = ("posix/io/sync/fdatasync", "posix/io/sync/fsync")


def server_of(cloud):
    return f"ci{cloud}"


def client_of(server):
    """The CI server's client id in the directory."""
    return 100 + int(server[2:])


def sanitized(program):
    """Whether `program` carries AddressSanitizer's runtime, whose start-up
    libfiu's POSIX preload crashes."""
    needed = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    return "libasan" in needed


def fiu_wrapper():
    """The prefix that starts a program under libfiu's POSIX preload, remote
    controlled; empty when libfiu is not installed or the servers are a
    sanitizer build (failing syncs are then not injected)."""
    if sanitized(tool("cisrv")):
        return []
    for folder in ("/usr/lib/fiu", "/usr/local/lib/fiu"):
        if os.path.exists(os.path.join(folder, "fiu_posix_preload.so")):
            return ["fiu-run", "-x", "-l", folder]
    return []


class ChaosCell(NetworkCell):
    def __init__(self, wait_unit_ms):
        self.wait_unit_ms = wait_unit_ms
        self.mounts = []
        self.fiu = fiu_wrapper()
        super().__init__(wait_unit_ms=wait_unit_ms, servers=SERVERS, hosts=HOSTS)
        self.host_env = {h: dict(self.env, TQ_LOG_DIR=os.path.join(self.root, f"log-{h}"))
                         for h in HOSTS}

    def make_server(self, name, env):
        folder = os.path.join(self.root, f"index-{name}")
        os.mkdir(folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={INDEX_MIB}m,mode=0755", "tmpfs",
                        folder], check=True)
        self.mounts.append(folder)
        env = dict(env, FIU_CTRL_FIFO=os.path.join(self.root, FIU_PREFIX))
        fiu = self.fiu + ["-f", env["FIU_CTRL_FIFO"]] if self.fiu else []
        return Server(self, name, env=env, address=self.network.address[name],
                      wrap=self.network.prefix(name) + fiu,
                      index=os.path.join(folder, "index.db"),
                      extra=["--lock-wait", str(LOCK_WAIT_S), "--idle-timeout", str(IDLE_TIMEOUT_S),
                             "--handshake-timeout", "5"])

    def populate(self, documents):
        """The directory of the cell; `documents` (checker.Doc without ids)
        go into the indexes, each getting its id."""
        self.tqdir("init")
        self.tqdir("add-cell", CELL_ID, CELL_NUMBER)
        for name, server in self.servers.items():
            cloud = int(name[2:])
            self.tqdir("add-client", client_of(name), CELL_ID, server.host)
            self.tqdir("add-cloud", cloud, f"cloud-{cloud}")
            self.tqdir("add-cloud-member", cloud, client_of(name), 1)
        for client, clouds in CLIENTS.items():
            self.tqdir("add-client", client, CELL_ID, f"fileserver{client}.example:8403")
            self.tqdir("map-client-engines", client, APP_TYPE, *clouds)
        for app, (client, clouds) in APPS.items():
            self.tqdir("add-app", app, CELL_ID, client, APP_TYPE)
            self.tqdir("map-app-engines", app, *clouds)
        for name, server in self.servers.items():
            with sqlite3.connect(server.index, timeout=30) as index:
                for doc in documents:
                    if doc.server == name:
                        doc.id = index.execute(
                            "INSERT INTO documents (path, client_id, app_type, application_id, "
                            "archive_file_id, cloud_id, cell_number, text) VALUES (?,?,?,?,?,?,?,?)",
                            (doc.path, doc.client, doc.app_type, doc.app, doc.archive, doc.cloud,
                             doc.cell, "chaos")).lastrowid
            index.close()

    def add(self, doc):
        """`cisrv add` of one document into its server's index (the writer);
        its id, or None when the add failed."""
        args = [tool("cisrv"), "add", "--index", self.servers[doc.server].index, "--path", doc.path,
                "--cell-number", doc.cell, "--cloud", doc.cloud]
        for option, value in (("--client", doc.client), ("--app-type", doc.app_type),
                              ("--app", doc.app), ("--archive-file", doc.archive)):
            if value:
                args += [option, value]
        try:
            result = subprocess.run([str(a) for a in args], env=self.env, capture_output=True,
                                    text=True, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        return int(result.stdout) if result.returncode == 0 else None

    def rows(self, server):
        """(id, path) of every document of a server's index, read-only."""
        index = sqlite3.connect(f"file:{self.servers[server].index}?mode=ro", uri=True, timeout=30)
        try:
            return index.execute("SELECT id, path FROM documents").fetchall()
        finally:
            index.close()

    # --- faults: each returns a note and has a heal ---------------------------------

    def kill_server(self, name):
        server = self.servers[name]
        if server.process and server.process.poll() is None:
            server.process.send_signal(signal.SIGCONT)
            server.process.kill()
            server.process.wait()

    def restart_server(self, name):
        """Starts a server that is not running; tried again while it cannot
        start (its index's disk full, say)."""
        server = self.servers[name]
        for attempt in range(60):
            if server.process is not None and server.process.poll() is None:
                return
            try:
                server.start()
            except RuntimeError:
                if attempt == 59:
                    raise
                time.sleep(0.5)

    def pause(self, name, paused):
        sig = signal.SIGSTOP if paused else signal.SIGCONT
        if name == "directory":
            self.cluster.signal(sig)
        else:
            self.servers[name].signal(sig)

    def kill_directory(self):
        self.cluster.signal(signal.SIGCONT)
        self.cluster.kill()

    def restart_directory(self):
        for attempt in range(20):
            if any(map(_alive, self.cluster.pids())):
                return
            try:
                self.cluster.start()
            except RuntimeError:
                if attempt == 19:
                    raise
                self.cluster.kill()  # what a failed start left behind
                time.sleep(0.5)

    def partition(self, name, mode):
        """Cuts machine `name` off the cell: packets dropped silently, or
        rejected (TCP reset, ICMP unreachable)."""
        prefix = self.network.prefix(name)
        subnet = self.network.network
        for chain, direction in (("INPUT", "-s"), ("OUTPUT", "-d")):
            if mode == "drop":
                rules = [["-j", "DROP"]]
            else:
                rules = [["-p", "tcp", "-j", "REJECT", "--reject-with", "tcp-reset"],
                         ["-j", "REJECT"]]
            for rule in rules:
                subprocess.run(prefix + ["iptables", "-A", chain, direction, subnet] + rule,
                               check=True, capture_output=True)

    def heal_partition(self, name):
        subprocess.run(self.network.prefix(name) + ["iptables", "-F"], check=True,
                       capture_output=True)

    def lock_index(self, name, seconds):
        """Holds the index's write lock for `seconds`, as a backup tool or an
        administrator's shell would: a write transaction left open."""
        holder = sqlite3.connect(self.servers[name].index, timeout=10, isolation_level=None)
        try:
            holder.execute("BEGIN IMMEDIATE")
            holder.execute("UPDATE documents SET text = text WHERE id = 0")
            time.sleep(seconds)
            holder.execute("ROLLBACK")
            return "lock held"
        except sqlite3.Error as error:
            return f"lock not taken: {error}"
        finally:
            holder.close()

    def fill_disk(self, name):
        filler = os.path.join(os.path.dirname(self.servers[name].index), "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            stat = os.statvfs(filler)
            os.posix_fallocate(fd, 0, max(stat.f_bavail * stat.f_frsize, 4096))
        except OSError:
            pass
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        return "disk full"

    def free_disk(self, name):
        try:
            os.unlink(os.path.join(os.path.dirname(self.servers[name].index), "filler"))
        except FileNotFoundError:
            pass

    def fail_sync(self, name, failing):
        """fsync and fdatasync of the server fail (EIO) while `failing`."""
        server = self.servers[name]
        if not self.fiu or server.process is None or server.process.poll() is not None:
            return "server not running" if self.fiu else "not injected: no libfiu preload"
        command = "enable" if failing else "disable"
        args = ["fiu-ctrl", "-f", os.path.join(self.root, FIU_PREFIX)]
        for point in SYNC_POINTS:
            args += ["-c", f"{command} name={point}"]
        result = subprocess.run(args + [str(server.process.pid)], capture_output=True, text=True,
                                timeout=10)
        return "" if result.returncode == 0 else f"fiu-ctrl: {result.stderr.strip()}"

    def heal_all(self):
        """Undoes every fault, whatever state the run left."""
        for name in ["directory"] + SERVERS:
            self.heal_partition(name)
            self.pause(name, False)
        self.restart_directory()
        for name in SERVERS:
            self.free_disk(name)
            self.fail_sync(name, False)
            self.restart_server(name)

    # --- idle footprint ---------------------------------------------------------------

    def footprint(self, name):
        """Threads, open descriptors and open sessions of a server."""
        pid = self.servers[name].process.pid
        text = self.servers[name].log_text()
        text = text[text.rfind(" serving index "):]  # this process's lines
        started = text.count(": session started: ")
        ended = text.count(": session ended: ")
        return (len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd")),
                started - ended)

    def close(self):
        for server in self.servers.values():
            server.stop()
        for folder in self.mounts:
            subprocess.run(["umount", "-l", folder], stderr=subprocess.DEVNULL)
        super().close()


def _alive(pid):
    from pgcluster import alive
    return alive(pid)


class Lanes:
    """One lock per lane, so that faults of one lane of a machine do not
    overlap (a server's processes and network; its storage)."""

    def __init__(self):
        self._locks = {}
        self._guard = threading.Lock()

    def __call__(self, lane):
        with self._guard:
            return self._locks.setdefault(lane, threading.Lock())
