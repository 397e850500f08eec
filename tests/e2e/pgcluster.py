"""A throw-away PostgreSQL cluster: initdb and pg_ctl on a temporary folder
(as the postgres user when run as root), reached through a socket in that
folder and, when asked, a TCP address; close() stops it and removes the folder.

As a program, `python3 pgcluster.py serve` starts a cluster, prints the URI of
its database "directory" (not created) and stops the cluster when its
standard input closes, so that a test program holding the pipe gets the
cluster removed even when it crashes."""

import glob
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SUPERUSER = "tq"


def alive(pid):
    """Whether process `pid` runs (a zombie does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


class Unavailable(Exception):
    """The PostgreSQL server programs are not installed."""


def server_programs():
    """The folder of initdb, pg_ctl and postgres: $TQ_POSTGRES_BIN, else the
    newest /usr/lib/postgresql/N/bin."""
    given = os.environ.get("TQ_POSTGRES_BIN")
    folders = [given] if given else sorted(
        glob.glob("/usr/lib/postgresql/*/bin"),
        key=lambda f: int(re.sub(r"\D", "", f) or 0), reverse=True)
    for folder in folders:
        if all(os.access(os.path.join(folder, p), os.X_OK) for p in ("initdb", "pg_ctl", "postgres")):
            return folder
    raise Unavailable("the PostgreSQL server programs (initdb, pg_ctl, postgres) are not installed")


class Cluster:
    """`listen`: a TCP address to listen on besides the socket; `tls`: a dict
    with the server's "cert", "key" and the authority "ca" whose certificates
    it accepts from clients of `network` (TLS only); `wrap`: a command prefix
    that starts the server elsewhere (ip netns exec NAME)."""

    def __init__(self, listen=None, port=5432, tls=None, network=None, wrap=()):
        self.bin = server_programs()
        self.port = port
        self.listen = listen
        self.root = tempfile.mkdtemp(prefix="tq-pg-")
        self.data = os.path.join(self.root, "data")
        self.as_postgres = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        self.started = False
        self.wrap = list(wrap)
        try:
            self._initdb()
            self.options = [f"listen_addresses='{listen or ''}'", f"port={port}",
                            f"unix_socket_directories='{self.root}'", "fsync=off",
                            "full_page_writes=off", "max_connections=50"]
            if tls:
                self.options += self._tls(tls, network)
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        """Starts the server (again, after kill()), waiting until it accepts
        connections."""
        self._run(self.wrap + self.as_postgres + [
            self._program("pg_ctl"), "start", "-w", "-t", "60", "-s", "-D", self.data,
            "-l", os.path.join(self.root, "server.log"),
            "-o", " ".join("-c " + o for o in self.options)])
        self.started = True

    def pids(self):
        """The postmaster and its children; empty when the server is down."""
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as f:
                postmaster = int(f.readline())
        except (OSError, ValueError):
            return []
        pids = [postmaster]
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                        pids.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
        return pids

    def signal(self, sig):
        """Sends `sig` to the postmaster and every child it has."""
        for pid in self.pids():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass

    def kill(self):
        """kill -9 of every process of the server, as a crash; start() brings it back."""
        pids = self.pids()
        self.signal(signal.SIGKILL)
        deadline = time.monotonic() + 10
        while any(map(alive, pids)) and time.monotonic() < deadline:
            time.sleep(0.01)
        # A killed postmaster may linger as a zombie, which its lock files
        # would take for a running server.
        for lock in (os.path.join(self.data, "postmaster.pid"),
                     os.path.join(self.root, f".s.PGSQL.{self.port}.lock")):
            try:
                os.unlink(lock)
            except FileNotFoundError:
                pass
        self.started = False

    def _program(self, name):
        return os.path.join(self.bin, name)

    def _run(self, argv):
        result = subprocess.run(argv, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(argv[:6])} failed: {result.stdout}{result.stderr}"
                               f"{self.server_log()}")

    def _initdb(self):
        if self.as_postgres:
            uid = pwd.getpwnam("postgres")
            os.chown(self.root, uid.pw_uid, uid.pw_gid)
        self._run(self.as_postgres + [self._program("initdb"), "-D", self.data, "-U", SUPERUSER,
                                      "--auth=trust", "-N", "-E", "UTF8", "--locale=C"])

    def _tls(self, tls, network):
        """Certificates copied where the server may read them; clients of
        `network` must come over TLS with a certificate of the authority."""
        paths = {}
        for kind, source in tls.items():
            paths[kind] = os.path.join(self.root, f"tls-{kind}.pem")
            shutil.copyfile(source, paths[kind])
            os.chmod(paths[kind], 0o600)
            if self.as_postgres:
                uid = pwd.getpwnam("postgres")
                os.chown(paths[kind], uid.pw_uid, uid.pw_gid)
        with open(os.path.join(self.data, "pg_hba.conf"), "a") as hba:
            hba.write(f"hostssl all all {network} trust clientcert=verify-ca\n")
        return ["ssl=on", f"ssl_cert_file='{paths['cert']}'", f"ssl_key_file='{paths['key']}'",
                f"ssl_ca_file='{paths['ca']}'"]

    def socket_uri(self, database="directory"):
        """The URI of `database` through the cluster's socket folder."""
        return f"postgresql:///{database}?host={self.root}&port={self.port}&user={SUPERUSER}"

    def tcp_uri(self, database="directory", **params):
        """The URI of `database` at the TCP address, with libpq parameters."""
        query = "&".join(f"{k}={v}" for k, v in params.items())
        return f"postgresql://{SUPERUSER}@{self.listen}:{self.port}/{database}" + \
            (f"?{query}" if query else "")

    def server_log(self):
        try:
            with open(os.path.join(self.root, "server.log")) as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        if self.started:
            subprocess.run(self.as_postgres + [self._program("pg_ctl"), "stop", "-s", "-w",
                                               "-m", "immediate", "-D", self.data],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.started = False
        shutil.rmtree(self.root, ignore_errors=True)


def serve():
    """Start a cluster, print its URI, stop it when standard input closes."""
    try:
        cluster = Cluster()
    except Unavailable as reason:
        print(f"unavailable: {reason}", flush=True)
        return 0
    signal.signal(signal.SIGTERM, lambda *_: sys.stdin.close())
    try:
        print(cluster.socket_uri(), flush=True)
        sys.stdin.read()
    except (OSError, ValueError):
        pass
    finally:
        cluster.close()
    return 0


if __name__ == "__main__":
    if sys.argv[1:] != ["serve"]:
        sys.exit("usage: pgcluster.py serve")
    sys.exit(serve())
