"""A throw-away cell on this machine: a directory database, reference CI
servers on 127.0.0.1 and the host tool, each a real process."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

BIN_DIR = os.environ.get("TQ_BIN_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "default", "bin")

CELL_ID = 1
CELL_NUMBER = 4711


def tool(name):
    path = os.path.join(BIN_DIR, name)
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"{path} is not built")
    return path


class Server:
    """One reference CI server process."""

    def __init__(self, cell, name, extra=(), env=None, address="127.0.0.1", wrap=(), index=None):
        """`address`: where it listens; `wrap`: a command prefix that starts
        it elsewhere (ip netns exec NAME); `index`: its index file (NAME.db
        in the cell's folder)."""
        self.cell = cell
        self.address = address
        self.wrap = list(wrap)
        self.env = env or cell.server_env
        self.name = name
        self.index = index or os.path.join(cell.root, f"{name}.db")
        self.log = os.path.join(cell.root, f"{name}.log")
        self.port_file = os.path.join(cell.root, f"{name}.port")
        self.extra = list(extra)
        self.process = None
        self.port = None

    def start(self):
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        # A restarted server listens on the port it had, where the directory
        # says it is.
        self.process = subprocess.Popen(
            self.wrap + [tool("cisrv"), "serve", "--index", self.index, "--listen",
             f"{self.address}:{self.port or 0}",
             "--port-file", self.port_file, "--log", self.log] + self.extra,
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    text = f.read().strip()
                if text:
                    self.port = int(text)
                    return self
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited: {self.process.stderr.read().decode()}")
            time.sleep(0.02)
        raise RuntimeError(f"{self.name} did not report its port")

    @property
    def host(self):
        return f"{self.address}:{self.port}"

    def add(self, path, text="", **ids):
        args = [tool("cisrv"), "add", "--index", self.index, "--path", path, "--text", text]
        for key, value in ids.items():
            args += ["--" + key.replace("_", "-"), str(value)]
        subprocess.run(args, env=self.cell.env, check=True, stdout=subprocess.DEVNULL)

    def paths(self):
        out = subprocess.run([tool("cisrv"), "search", "--index", self.index],
                             env=self.cell.env, check=True, capture_output=True, text=True).stdout
        return sorted(line.split("\t")[1] for line in out.splitlines() if line.strip())

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def signal(self, sig):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)

    def stop(self):
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        code = self.process.returncode
        self.process = None
        return code


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class Authority:
    """A throw-away certificate authority made with the openssl command."""

    KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]

    def __init__(self, folder, name):
        self.folder = folder
        self.name = name
        self.cert = os.path.join(folder, f"{name}-ca.pem")
        self.key = os.path.join(folder, f"{name}-ca.key")
        openssl("req", "-x509", *self.KEY, "-keyout", self.key, "-out", self.cert, "-days", "3650",
                "-subj", f"/CN={name} authority",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)

    def issue(self, name, alt_name=None, expired=False, days=365):
        """TLS variables for a certificate `name` this authority signed, valid
        for `days` (a year: within 30 days the processes warn)."""
        key = os.path.join(self.folder, f"{name}.key")
        cert = os.path.join(self.folder, f"{name}.pem")
        request = os.path.join(self.folder, f"{name}.csr")
        openssl("req", "-new", *self.KEY, "-keyout", key, "-out", request, "-subj", f"/CN={name}",
                cwd=self.folder)
        os.chmod(key, 0o600)
        if expired:
            self._sign_expired(request, cert)
        else:
            extensions = os.path.join(self.folder, f"{name}.ext")
            with open(extensions, "w") as f:
                f.write("basicConstraints=CA:FALSE\n")
                if alt_name:
                    f.write(f"subjectAltName={alt_name}\n")
            openssl("x509", "-req", "-in", request, "-CA", self.cert, "-CAkey", self.key,
                    "-CAcreateserial", "-days", str(days), "-extfile", extensions, "-out", cert,
                    cwd=self.folder)
        return {"TQ_TLS_CERT": cert, "TQ_TLS_KEY": key, "TQ_TLS_CA": self.cert}

    def _ca(self, *args):
        """Runs `openssl ca` with this authority's database and configuration
        (made on first use)."""
        config = os.path.join(self.folder, f"{self.name}-ca.cnf")
        if not os.path.exists(config):
            database = os.path.join(self.folder, f"{self.name}-ca.db")
            open(database, "w").close()
            with open(config, "w") as f:
                f.write("[ca]\ndefault_ca = cell\n[cell]\n"
                        f"database = {database}\nnew_certs_dir = {self.folder}\n"
                        f"serial = {self.folder}/{self.name}-ca.serial\ndefault_md = sha256\n"
                        "unique_subject = no\ndefault_crl_days = 30\n"
                        "policy = any\n[any]\ncommonName = supplied\n")
            with open(os.path.join(self.folder, f"{self.name}-ca.serial"), "w") as f:
                f.write("1000\n")
        openssl("ca", "-batch", "-config", config, "-cert", self.cert, "-keyfile", self.key,
                *args, cwd=self.folder)

    def _sign_expired(self, request, cert):
        # Only the ca command takes explicit validity dates.
        self._ca("-in", request, "-out", cert, "-notext", "-startdate", "20200101000000Z",
                 "-enddate", "20200201000000Z")

    def revoke(self, cert):
        """Records the certificate in file `cert` as revoked."""
        self._ca("-revoke", cert)

    def gencrl(self, path, *options):
        """Writes the revocation list of what was revoked so far to `path` (as
        an operator would, openssl ca -gencrl); `options`: -crlsec 5,
        -crl_nextupdate ... Returns `path`."""
        self._ca("-gencrl", "-out", path, *options)
        return path


class Cell:
    """A cell: directory, log folder and servers under one temporary folder.
    With `tls` the cell has an authority, servers present certificates for
    127.0.0.1 and the host tool one of its own."""

    def __init__(self, wait_unit_ms=20, tls=False):
        self.root = tempfile.mkdtemp(prefix="tqci-e2e-")
        self.log_dir = os.path.join(self.root, "log")
        self.env = dict(os.environ)
        self.env.update({
            "TQ_DIRECTORY_DB": os.path.join(self.root, "directory.db"),
            "TQ_LOG_DIR": self.log_dir,
            "TQ_SESSION_WAIT_UNIT_MS": str(wait_unit_ms),
        })
        self.server_env = self.env
        self.authority = None
        if tls:
            certs = os.path.join(self.root, "certs")
            os.mkdir(certs)
            self.authority = Authority(certs, "cell")
            self.server_env = dict(self.env, **self.authority.issue("ci-server", "IP:127.0.0.1"))
            self.env.update(self.authority.issue("host"))
        self.servers = []
        self.tqdir("init")
        self.tqdir("add-cell", CELL_ID, CELL_NUMBER)

    def close(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def tqdir(self, *args):
        subprocess.run([tool("tqdir")] + [str(a) for a in args], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def server(self, name, extra=(), env=None):
        server = Server(self, name, extra, env).start()
        self.servers.append(server)
        return server

    def add_cloud(self, cloud_id, server_client_id, host):
        """A cloud whose CI server is client `server_client_id`, reached at `host`."""
        self.tqdir("add-client", server_client_id, CELL_ID, host)
        self.tqdir("add-cloud", cloud_id, f"cloud-{cloud_id}")
        self.tqdir("add-client", server_client_id + 1000, CELL_ID, "127.0.0.1:9")
        self.tqdir("add-cloud-member", cloud_id, server_client_id + 1000, 0)
        self.tqdir("add-cloud-member", cloud_id, server_client_id, 1)

    def tqci(self, *args, stdin=None, timeout=120):
        """Runs the host tool; returns (exit status, stdout, stderr, seconds)."""
        started = time.monotonic()
        result = subprocess.run([tool("tqci"), "-v"] + [str(a) for a in args], env=self.env,
                                input=stdin, capture_output=True, text=True, timeout=timeout)
        return result.returncode, result.stdout, result.stderr, time.monotonic() - started

    def debug_log(self):
        try:
            with open(os.path.join(self.log_dir, "CIHelper.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""
