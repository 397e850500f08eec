"""A cell across machines, on this one: Linux network namespaces joined by a
bridge, in a private /24 that exists only inside them. One namespace holds
the directory (a throw-away PostgreSQL cluster), two hold a reference CI
server each, one is the backup host that runs tqdir and tqci. Everything
speaks TLS with certificates of the cell's authority that name each server's
address. close() stops every process and removes every namespace and link.

`python3 netcell.py` runs the demo (scripts/demo-cell.sh)."""

import itertools
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile

from cell import CELL_ID, CELL_NUMBER, Authority, Cell, Server, tool
from pgcluster import Cluster, Unavailable

CLIENT = 10
APP_TYPE = 33
APPLICATION = 500
SERVERS = {"ci1": (1, 101), "ci2": (2, 102)}  # name: (cloud, client id of its CI server)

_networks = itertools.count()


class Refused(Exception):
    """Network namespaces cannot be made here (not root, or the kernel says no)."""


def ip(*args):
    result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"ip {' '.join(args)}: {result.stderr.strip()}")


class Network:
    """One namespace per name, each with an address 10.N.M.i/24 on a veth
    whose other end is on a bridge in a namespace of its own; nothing is
    created outside these namespaces."""

    def __init__(self, names):
        if os.geteuid() != 0:
            raise Refused("network namespaces need root")
        # Unique on this machine, also beside runs in other process namespaces.
        tag = f"tq{os.getpid()}n{next(_networks)}{secrets.token_hex(2)}"
        self.subnet = f"10.{100 + os.getpid() % 100}.{os.getpid() // 100 % 250}"
        self.namespaces = []
        self.names = {}
        self.address = {}
        try:
            self.switch = self._add(f"{tag}-sw")
            ip("-n", self.switch, "link", "add", "br0", "type", "bridge")
            ip("-n", self.switch, "link", "set", "br0", "up")
            for number, name in enumerate(names, start=1):
                namespace = self._add(f"{tag}-{name}")
                ip("link", "add", "eth0", "netns", namespace, "type", "veth",
                   "peer", "name", f"port{number}", "netns", self.switch)
                ip("-n", self.switch, "link", "set", f"port{number}", "master", "br0", "up")
                self.address[name] = f"{self.subnet}.{number}"
                ip("-n", namespace, "addr", "add", f"{self.address[name]}/24", "dev", "eth0")
                ip("-n", namespace, "link", "set", "eth0", "up")
                ip("-n", namespace, "link", "set", "lo", "up")
                self.names[name] = namespace
        except BaseException:
            self.close()
            raise

    def _add(self, namespace):
        result = subprocess.run(["ip", "netns", "add", namespace], capture_output=True, text=True)
        if result.returncode != 0:
            raise Refused(f"ip netns add refused: {result.stderr.strip()}")
        self.namespaces.append(namespace)
        return namespace

    @property
    def network(self):
        return f"{self.subnet}.0/24"

    def prefix(self, name):
        """The command prefix that runs a program on machine `name`."""
        return ["ip", "netns", "exec", self.names[name]]

    def close(self):
        """Kills what still runs in the namespaces, then deletes them (and
        with them every veth and the bridge)."""
        for namespace in reversed(self.namespaces):
            pids = subprocess.run(["ip", "netns", "pids", namespace], capture_output=True,
                                  text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), 9)
                except (ProcessLookupError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", namespace], stderr=subprocess.DEVNULL)
        self.namespaces = []

    def leftovers(self):
        """Namespaces of this network that still exist."""
        listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        return [line.split()[0] for line in listed.splitlines()
                if line.split() and line.split()[0] in self.namespaces]


class NetworkCell:
    """The directory, the CI servers (ci1 and ci2 unless `servers` names
    others) and the hosts (one, "host"), each a machine of its own."""

    def __init__(self, wait_unit_ms=20, servers=tuple(SERVERS), hosts=("host",)):
        self.root = tempfile.mkdtemp(prefix="tq-netcell-")
        self.network = None
        self.cluster = None
        self.server_names = list(servers)
        self.hosts = list(hosts)
        self.servers = {}
        try:
            self.network = Network(["directory"] + self.server_names + self.hosts)
            self._start(wait_unit_ms)
        except BaseException:
            self.close()
            raise

    def _start(self, wait_unit_ms):
        certs = os.path.join(self.root, "certs")
        os.mkdir(certs)
        self.authority = Authority(certs, "cell")
        address = self.network.address
        directory = self.authority.issue("directory", f"IP:{address['directory']}")
        self.cluster = Cluster(
            listen=address["directory"], network=self.network.network,
            tls={"cert": directory["TQ_TLS_CERT"], "key": directory["TQ_TLS_KEY"],
                 "ca": directory["TQ_TLS_CA"]},
            wrap=self.network.prefix("directory"))
        host = self.authority.issue("host")
        # Every machine reaches the directory over TLS, checks that the
        # server's certificate names the address it dialled, and shows its own.
        self.directory_uri = self.cluster.tcp_uri(
            sslmode="verify-full", sslrootcert=host["TQ_TLS_CA"], sslcert=host["TQ_TLS_CERT"],
            sslkey=host["TQ_TLS_KEY"])
        self.log_dir = os.path.join(self.root, "log")
        self.env = dict(os.environ, TQ_DIRECTORY_DB=self.directory_uri, TQ_LOG_DIR=self.log_dir,
                        TQ_SESSION_WAIT_UNIT_MS=str(wait_unit_ms), **host)
        self.server_env = self.env
        for name in self.server_names:
            tls = self.authority.issue(name, f"IP:{address[name]}")
            self.servers[name] = self.make_server(name, dict(self.env, **tls)).start()

    def make_server(self, name, env):
        """The CI server of machine `name` (not started)."""
        return Server(self, name, env=env, address=self.network.address[name],
                      wrap=self.network.prefix(name))

    def on_host(self, program, *args, stdin=None, machine=None):
        """Runs a tool on a machine of the cell (the first host); a CompletedProcess."""
        return subprocess.run(self.network.prefix(machine or self.hosts[0]) + [tool(program)] +
                              [str(a) for a in args], env=self.env, input=stdin,
                              capture_output=True, text=True, timeout=120)

    def tqdir(self, *args, machine=None):
        result = self.on_host("tqdir", *args, machine=machine)
        if result.returncode != 0:
            raise RuntimeError(f"tqdir {args}: {result.stderr}")
        return result.stdout

    def populate(self):
        """Cell 1 (number 4711); cloud c indexed by ci<c>; client 10's data of
        type 33 and application 500 indexed by both; sample documents."""
        self.tqdir("init")
        self.tqdir("add-cell", CELL_ID, CELL_NUMBER)
        self.tqdir("add-client", CLIENT, CELL_ID, "fileserver.example:8403")
        for name, (cloud, server_client) in SERVERS.items():
            self.tqdir("add-client", server_client, CELL_ID, self.servers[name].host)
            self.tqdir("add-cloud", cloud, f"cloud-{cloud}")
            self.tqdir("add-cloud-member", cloud, server_client, 1)
        self.tqdir("map-client-engines", CLIENT, APP_TYPE, 1, 2)
        self.tqdir("add-app", APPLICATION, CELL_ID, CLIENT, APP_TYPE)
        self.tqdir("map-app-engines", APPLICATION, 1, 2)
        for name, (cloud, _) in SERVERS.items():
            server = self.servers[name]
            for path, text in (("/home/ann/report.doc", "quarterly report"),
                               ("/home/ann/photos/cat.jpg", "a cat"),
                               ("/home/ann/notes.txt", "notes")):
                server.add(path, text, client=CLIENT, app_type=APP_TYPE, cell_number=CELL_NUMBER,
                           cloud=cloud)
            server.add("/archive/2019/ledger.xls", "ledger", app=APPLICATION,
                       cell_number=CELL_NUMBER, cloud=cloud)
            server.add(f"/archive/file-{cloud}.arc/mail.eml", "old mail",
                       archive_file=70 + cloud, cell_number=CELL_NUMBER, cloud=cloud)

    def tqci(self, *args, stdin=None):
        return self.on_host("tqci", "-v", *args, stdin=stdin)

    debug_log = Cell.debug_log

    def close(self):
        for server in self.servers.values():
            server.stop()
        if self.cluster:
            self.cluster.close()
        if self.network:
            self.network.close()
        shutil.rmtree(self.root, ignore_errors=True)


# The operations of the demo and of the test: (title, tqci arguments,
# standard input, [(server, path, expected to remain)]).
OPERATIONS = [
    ("Erase backed-up data of client 10 under /home/ann/photos",
     ["erase-backup", "--cell", CELL_ID, "--client", CLIENT, "--app-type", APP_TYPE,
      "/home/ann/photos"], None,
     [("ci1", "/home/ann/photos/cat.jpg", False), ("ci2", "/home/ann/photos/cat.jpg", False),
      ("ci1", "/home/ann/report.doc", True)]),
    ("Erase migrated data of application 500 under /archive/2019",
     ["erase-migrated", "--cell", CELL_ID, "--app", APPLICATION, "/archive/2019"], None,
     [("ci1", "/archive/2019/ledger.xls", False), ("ci2", "/archive/2019/ledger.xls", False)]),
    ("Erase RuRizoze data of client 10 indexed by cloud 2: /home/ann/notes.txt",
     ["erase-rurizoze", "--cell", CELL_ID, "--cell-number", CELL_NUMBER, "--client", CLIENT,
      "--app-type", APP_TYPE, "--cloud", 2, "/home/ann/notes.txt"], None,
     [("ci2", "/home/ann/notes.txt", False), ("ci1", "/home/ann/notes.txt", True)]),
    ("Prune archive files 71 (cloud 1) and 72 (cloud 2)",
     ["prune"], f"{CELL_NUMBER} 72 2\n{CELL_NUMBER} 71 1\n",
     [("ci1", "/archive/file-1.arc/mail.eml", False),
      ("ci2", "/archive/file-2.arc/mail.eml", False)]),
]


def demo():
    """The whole job across the namespaces, each step shown; non-zero when a
    step did not do what it showed."""
    failures = 0

    def step(title):
        print(f"\n\033[1m== {title}\033[0m", flush=True)

    def check(description, ok):
        nonlocal failures
        print(f"   {'ok' if ok else 'FAILED'}: {description}")
        failures += 0 if ok else 1

    def show_indexes(cell):
        for name, server in cell.servers.items():
            print(f"   index of {name} ({server.host}):")
            for path in server.paths():
                print(f"     {path}")

    try:
        cell = NetworkCell(wait_unit_ms=1000)
    except (Refused, Unavailable) as reason:
        print(f"cannot build the cell here: {reason}")
        return 1
    try:
        step("Machines: network namespaces on a bridge, a private /24 that exists only inside them")
        for name, namespace in cell.network.names.items():
            print(f"   {name:<10} {cell.network.address[name]:<15} namespace {namespace}")
        step("Directory: PostgreSQL on the directory machine, TLS with client certificates")
        print(f"   TQ_DIRECTORY_DB={cell.directory_uri}")
        cell.populate()
        print("   filled by tqdir on the host:")
        for line in cell.tqdir("show").splitlines():
            print(f"     {line}")
        step("Index sample documents on ci1 and ci2")
        show_indexes(cell)
        for title, args, stdin, expectations in OPERATIONS:
            step(title)
            before = len(cell.debug_log().splitlines())
            print(f"   host$ tqci {' '.join(str(a) for a in args)}" + (" <<END" if stdin else ""))
            for line in (stdin or "").splitlines():
                print(f"     {line}")
            result = cell.tqci(*args, stdin=stdin)
            print("   debug log:")
            for line in cell.debug_log().splitlines()[before:]:
                print("     " + line.split(" ", 4)[-1])
            check("tqci exit status 0", result.returncode == 0)
            for name, path, remains in expectations:
                present = path in cell.servers[name].paths()
                check(f"{path} {'kept on' if remains else 'gone from'} {name}", present == remains)
        step("Indexes after the operations")
        show_indexes(cell)
        for name, server in cell.servers.items():
            check(f"{name} saw sessions from the host only ({cell.network.address['host']})",
                  f"peer {cell.network.address['host']}" in server.log_text())
    finally:
        network = cell.network
        cell.close()
    step("Result")
    leftovers = network.leftovers()
    check("every process, namespace and link removed", not leftovers)
    print("   every step did what it showed" if failures == 0 else f"   {failures} check(s) failed")
    return 1 if failures else 0


def exit_on_terminate():
    """SIGTERM ends the program through its finally blocks, which remove the cell."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


if __name__ == "__main__":
    exit_on_terminate()
    sys.exit(demo())
