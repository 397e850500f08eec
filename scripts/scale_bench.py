#!/usr/bin/env python3
"""Erases, prunes and searches of the reference CI server as its index grows.

For each index size N (cisrv generate), the server erases one document, a
100-document and a 10,000-document subtree and prunes a 10,000-document
archive file; the floor beside each is the same DELETE through the same index
in one transaction of a second SQLite connection on the same database, on a
copy of the same rows. Searches of a common and a rare term are timed before
and after the erases. It also measures the disk's fdatasync rate and the
server's confirmed single-document erases with 1 and 4 sessions, with the
purge on and off (two servers, alternating blocks). At the largest N it times
the purge: a 10,000-document subtree erase until the last trace of its marker
word is gone from the index's files (and the bytes the server wrote), the
rare-term search while that purge runs, and single-document erases at a steady
rate, each checked for traces once the bound has passed. Prints Markdown
tables; with gnuplot, draws the costs against N into a PNG."""

import argparse
import calendar
import multiprocessing
import os
import random
import re
import shutil
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from wirepeer import ERASE_REQ, ERASE_RESP, PRUNE_REQ, frame, hello, recv_frame, xdr_string  # noqa: E402

CELL, CLOUD = 1, 1
CLIENT_ROOT = "/host-{}"            # the generator's root of a client's documents
CLIENT_IDS_PER_SEED = 100000        # the generator's client ids: seed * 100000 + n
ERASE_CLIENT = ("DELETE FROM documents WHERE client_id = ?1 AND app_type = ?2 AND cell_number = ?3"
                " AND path >= ?4 AND path < ?5 AND (path = ?4 OR path >= ?6)")
PRUNE = "DELETE FROM documents WHERE archive_file_id = ?1 AND cloud_id = ?2 AND cell_number = ?3"
TERMS = {"common": "report", "rare": "term19999"}
CASES = ["erase 1 document", "erase 100-document subtree", "erase 10,000-document subtree",
         "prune 10,000-document archive file"]


class Client:
    """One attached session of the wire protocol, as a host has it."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.sendall(hello("scale-bench"))
        recv_frame(self.sock)

    def erase(self, client, app_type, path):
        body = struct.pack(">iiii", CELL, client, 0, app_type) + xdr_string(path) + struct.pack(">i", 0)
        self.sock.sendall(frame(ERASE_REQ, body))
        code, answer = recv_frame(self.sock)
        if code != ERASE_RESP or struct.unpack(">i", answer[24:28])[0] != 1:
            raise RuntimeError("cisrv did not confirm the erase of " + path)

    def prune(self, archive_file):
        """A prune has no answer: an erase of nothing right behind it is answered
        once the commit that holds both is durable."""
        body = struct.pack(">qqqqqi", CLOUD, CELL, archive_file, 0, 0, 0)
        self.sock.sendall(frame(PRUNE_REQ, body))
        self.erase(1, 1, "/nothing-here")

    def close(self):
        self.sock.close()


def shard_union(sql):
    """The FTS5 query over every full-text shard of the index (one per 16,384 ids)."""
    shards = [row[0] for row in sql.execute("SELECT shard FROM fts_shards ORDER BY shard")]
    return " UNION ALL ".join(f"SELECT rowid FROM documents_fts_{k} WHERE documents_fts_{k} MATCH ?1"
                              for k in shards)


def index_files(folder):
    return [os.path.join(folder, name) for name in os.listdir(folder)
            if name.startswith("index.db") and os.path.isfile(os.path.join(folder, name))]


MARKER_LETTERS = "bcdfghlmnpqrstx"
TAIL = 9  # a marker's last nine letters: FTS5 may store a term after a prefix it shares


def marker_word():
    """A word no generated word shares a prefix with (none starts with j, k, v, w, y or z)."""
    return random.choice("jkvwyz") + "".join(random.choice(MARKER_LETTERS) for _ in range(11))


def traces(folder, words):
    """The words whose tail is still in the index's files: one pass over each file for runs
    of the markers' letters, then a look-up of every nine-letter window of those runs."""
    tails = {word[-TAIL:].encode(): word for word in words}
    run = re.compile(b"[" + MARKER_LETTERS.encode() + b"]{%d,}" % TAIL)
    found = set()
    for path in index_files(folder):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            continue
        for match in run.finditer(data):
            text = match.group()
            found.update(tails[text[i:i + TAIL]] for i in range(len(text) - TAIL + 1)
                         if text[i:i + TAIL] in tails)
    return found


def written_bytes(pid):
    with open(f"/proc/{pid}/io") as f:
        return int(re.search(r"^write_bytes: (\d+)", f.read(), re.M).group(1))


class Scale:
    def __init__(self, cisrv, folder, server_options=()):
        self.cisrv, self.db = cisrv, os.path.join(folder, "index.db")
        self.folder = folder
        self.next_seed = 1000
        subprocess.run([cisrv, "generate", "--index", self.db, "--documents", "1", "--seed", "999"],
                       check=True, stdout=subprocess.DEVNULL)
        port_file = os.path.join(folder, "port")
        self.log = os.path.join(folder, "log")
        self.server = subprocess.Popen([cisrv, "serve", "--index", self.db, "--listen", "127.0.0.1:0",
                                        "--port-file", port_file, "--log", self.log]
                                       + list(server_options))
        while not os.path.exists(port_file):
            if self.server.poll() is not None:
                raise RuntimeError("cisrv serve ended before listening; see " + folder + "/log")
            time.sleep(0.05)
        self.port = int(open(port_file).read())
        self.client = Client(self.port)
        self.sql = sqlite3.connect(self.db, isolation_level=None, timeout=60)
        self.sql.execute("PRAGMA synchronous = FULL")
        self.documents = 1

    def stop(self):
        self.client.close()
        self.sql.close()
        self.server.terminate()
        self.server.wait()

    def generate(self, documents, seed=None, **options):
        seed = seed or self.take_seed()
        command = [self.cisrv, "generate", "--index", self.db, "--documents", str(documents),
                   "--seed", str(seed)]
        for name, value in options.items():
            command += ["--" + name.replace("_", "-"), str(value)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        return seed

    def take_seed(self):
        self.next_seed += 1
        return self.next_seed

    def grow_to(self, size):
        self.generate(size - self.documents, seed=len(str(size)))
        self.documents = size

    def count(self, where, *values):
        return self.sql.execute("SELECT count(*) FROM documents WHERE " + where, values).fetchone()[0]

    def targets(self, case):
        """Fresh documents for one case: (what the server or the floor removes, documents)."""
        documents = {0: 50, 1: 100, 2: 10000, 3: 10000}[CASES.index(case)]
        seed = self.generate(documents, clients=1, archive_file_size=documents)
        client = seed * CLIENT_IDS_PER_SEED + 1
        app_type = self.sql.execute("SELECT app_type FROM documents WHERE client_id = ?",
                                    (client,)).fetchone()[0]
        if case == CASES[3]:
            return [("prune", seed * 1000000 + 1)], documents
        if case == CASES[0]:
            paths = [row[0] for row in self.sql.execute(
                "SELECT path FROM documents WHERE client_id = ?", (client,))]
            return [("erase", client, app_type, path) for path in paths], documents
        return [("erase", client, app_type, CLIENT_ROOT.format(client))], documents

    def through_server(self, targets):
        start = time.perf_counter()
        for target in targets:
            self.client.prune(target[1]) if target[0] == "prune" else self.client.erase(*target[1:])
        return time.perf_counter() - start

    def through_floor(self, targets):
        start = time.perf_counter()
        for target in targets:
            self.sql.execute("BEGIN IMMEDIATE")
            if target[0] == "prune":
                self.sql.execute(PRUNE, (target[1], CLOUD, CELL))
            else:
                _, client, app_type, path = target
                self.sql.execute(ERASE_CLIENT, (client, app_type, CELL, path, path + "0", path + "/"))
            self.sql.execute("COMMIT")
        return time.perf_counter() - start

    def measure(self, case, server_first):
        """Seconds per item and items of the server and of the floor on equal targets."""
        results = {}
        for side in (["server", "floor"] if server_first else ["floor", "server"]):
            targets, documents = self.targets(case)
            seconds = (self.through_server if side == "server" else self.through_floor)(targets)
            results[side] = (seconds / len(targets), documents / len(targets))
        return results

    def search(self, term, repetitions=5):
        times, matches = [], 0
        query = f"SELECT count(*) FROM ({shard_union(self.sql)})"
        for _ in range(repetitions):
            start = time.perf_counter()
            matches = self.sql.execute(query, (term,)).fetchone()[0]
            times.append(time.perf_counter() - start)
        return statistics.median(times), matches

    def erase_pool(self, clients, documents):
        """Per client, the paths of `documents` single documents to erase one by one."""
        seed = self.generate(clients * documents, clients=clients)
        pool = []
        for index in range(clients):
            client = seed * CLIENT_IDS_PER_SEED + index + 1
            rows = self.sql.execute("SELECT app_type, path FROM documents WHERE client_id = ?",
                                    (client,)).fetchall()
            pool.append([(client, app_type, path) for app_type, path in rows])
        return pool

    def erase_rate(self, pool, sessions, seconds):
        """Single-document erases confirmed per second by `sessions` sessions at once."""
        clients = [Client(self.port) for _ in range(sessions)]
        counts = [0] * sessions
        started = time.perf_counter()

        def run(index):
            while time.perf_counter() - started < seconds and pool[index]:
                clients[index].erase(*pool[index].pop())
                counts[index] += 1
        threads = [threading.Thread(target=run, args=(i,)) for i in range(sessions)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.perf_counter() - started
        for client in clients:
            client.close()
        return sum(counts) / elapsed


def fdatasync_rate(folder, seconds=2.0):
    """Syncs per second of 8 KiB rewritten in place in a file written before: only
    data to sync, as a log reused from its start (blocks fallocate() reserved
    would need their extents converted, metadata synced too)."""
    path, size = os.path.join(folder, "sync-probe"), 1 << 20
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.pwrite(fd, bytes(size), 0)
        os.fsync(fd)
        block, count, offset = b"\x5a" * 8192, 0, 0
        start = time.perf_counter()
        while time.perf_counter() - start < seconds:
            os.pwrite(fd, block, offset)
            os.fdatasync(fd)
            offset = (offset + len(block)) % size
            count += 1
        return count / (time.perf_counter() - start)
    finally:
        os.close(fd)
        os.remove(path)


def durable_erases(cisrv, folder, purge_within, pairs=7, seconds=0.6):
    """The disk's sync rate and the server's confirmed erases with 1 and 4 sessions, with
    the purge on (--purge-within) and off, in alternating blocks, each server on an index
    of its own (50,000 documents)."""
    os.mkdir(folder)
    servers = {}
    try:
        for name, option in (("on", purge_within), ("off", "off")):
            os.mkdir(os.path.join(folder, name))
            servers[name] = Scale(cisrv, os.path.join(folder, name), ["--purge-within", option])
        # Enough documents that the busiest session (the lone one, then one of four) never
        # runs dry: about 3,000 erases a second of block on a quiet machine.
        per_client = max(12500, int(pairs * seconds * 3000))
        pools = {name: scale.erase_pool(4, per_client) for name, scale in servers.items()}
        rows = []
        for _ in range(pairs):
            row = {"syncs": fdatasync_rate(folder, seconds)}
            for sessions in (1, 4):
                for name in (("on", "off") if len(rows) % 2 == 0 else ("off", "on")):
                    row[(name, sessions)] = servers[name].erase_rate(pools[name], sessions, seconds)
            rows.append(row)
        purges = sum(1 for line in open(servers["on"].log) if "purge: " in line)
    finally:
        for scale in servers.values():
            scale.stop()
    print(f"\n| blocks of {seconds} s, {pairs} pairs | median | min – max |\n|---|---|---|")
    series = [("disk: fdatasync/s (8 KiB rewritten in place)", [r["syncs"] for r in rows])]
    for sessions in (1, 4):
        for name in ("on", "off"):
            series.append((f"cisrv: confirmed erases/s, {sessions} session{'s' if sessions > 1 else ''}, "
                           f"purge {'within ' + purge_within + ' s' if name == 'on' else 'off'}",
                           [r[(name, sessions)] for r in rows]))
    for name, values in series:
        print(f"| {name} | {statistics.median(values):,.0f} | {min(values):,.0f} – {max(values):,.0f} |")
    one = [r[("off", 1)] for r in rows]
    ratios = [("1 session, purge off / disk syncs", [o / r["syncs"] for o, r in zip(one, rows)], "≥ 0.80"),
              ("4 sessions / 1 session, purge off", [r[("off", 4)] / r[("off", 1)] for r in rows], "≥ 2.00")]
    for sessions in (1, 4):
        ratios.append((f"purge on / off, {sessions} session{'s' if sessions > 1 else ''}",
                       [r[("on", sessions)] / r[("off", sessions)] for r in rows], "≥ 0.80"))
    for name, values, bound in ratios:
        print(f"| {name} (paired) | {statistics.median(values):.2f} (bound {bound}) | "
              f"{min(values):.2f} – {max(values):.2f} |")
    # The blocks a round falls into are slow and the others are not, so the purge's cost
    # over time is the ratio of the erases confirmed in all blocks together.
    for sessions in (1, 4):
        on, off = (sum(r[(name, sessions)] for r in rows) for name in ("on", "off"))
        print(f"| purge on / off, {sessions} session{'s' if sessions > 1 else ''}, all blocks "
              f"together | {on / off:.2f} (bound ≥ 0.80) | |")
    print(f"\nPurge rounds of the server with the purge on during the blocks: {purges}.")


class SearchProbe:
    """Rare-term searches one after the other on a connection of their own, each with
    its wall-clock time, until stopped. A process of its own: in a thread it would wait
    for the scans of the index's files, which hold the interpreter's lock for seconds,
    and miss the purge round it is there to see."""

    def __init__(self, db):
        self.stopping = multiprocessing.Event()
        self.receiver, sender = multiprocessing.Pipe(duplex=False)
        self.process = multiprocessing.Process(target=SearchProbe.run,
                                               args=(db, self.stopping, sender))
        self.process.start()
        sender.close()

    @staticmethod
    def run(db, stopping, sender):
        sql = sqlite3.connect(f"file:{db}?mode=ro", uri=True, isolation_level=None)
        query = f"SELECT count(*) FROM ({shard_union(sql)})"
        samples = []
        while not stopping.is_set():
            start = time.perf_counter()
            sql.execute(query, (TERMS["rare"],)).fetchone()
            samples.append((time.time(), time.perf_counter() - start))
            time.sleep(0.01)
        sql.close()
        sender.send(samples)
        sender.close()

    def stop(self):
        self.stopping.set()
        samples = self.receiver.recv()
        self.process.join()
        return samples


def round_window(line):
    """The wall-clock start and end of the purge round a log line reports."""
    end = calendar.timegm(time.strptime(line[:19], "%Y-%m-%dT%H:%M:%S")) + float(line[19:23])
    return end - float(re.search(r"took ([\d.]+) s", line).group(1)), end


def purge_timing(scale, bound):
    """A 10,000-document subtree with a marker word: from the erase's answer to the last
    trace gone, the bytes the server wrote meanwhile, and rare-term searches while the
    purge round ran against those before the erase."""
    marker = marker_word()
    seed = scale.generate(10000, clients=1, archive_file_size=10000, marker=marker)
    client = seed * CLIENT_IDS_PER_SEED + 1
    app_type = scale.sql.execute("SELECT app_type FROM documents WHERE client_id = ?",
                                 (client,)).fetchone()[0]
    assert traces(scale.folder, [marker]), "the marker is not in the index's files"
    probe = SearchProbe(scale.db)
    time.sleep(2)
    erased_at = time.time()
    before = written_bytes(scale.server.pid)
    scale.client.erase(client, app_type, CLIENT_ROOT.format(client))
    answered = time.perf_counter()
    gone, seen, scan = None, 0.0, 0.0
    while time.perf_counter() - answered < 3 * bound + 60:
        started = time.perf_counter() - answered
        if not traces(scale.folder, [marker]):
            gone = started  # a scan that began here found nothing
            break
        seen, scan = started, time.perf_counter() - answered - started
        time.sleep(0.05)
    written = written_bytes(scale.server.pid) - before
    time.sleep(0.5)
    samples = probe.stop()
    rounds = [line.strip() for line in open(scale.log) if "purge: " in line]
    start, end = round_window(rounds[-1]) if rounds else (0, 0)
    idle = [latency for at, latency in samples if at < erased_at]
    busy = [latency for at, latency in samples if start <= at <= end]
    print(f"\n| purge of a 10,000-document subtree (bound {bound} s) | value |\n|---|---|")
    print(f"| from the erase's answer to the start of the first scan that found no trace | "
          f"{'%.1f s' % gone if gone is not None else 'NOT GONE'} |")
    print(f"| the last scan that found a trace began at (and took) | {seen:.1f} s ({scan:.1f} s) |")
    print(f"| the purge round itself (server log) | {end - start:.2f} s |")
    print(f"| bytes the server wrote from the erase to the trace gone | {written / 1e6:,.1f} MB |")
    print(f"| rare-term search before the erase (median, max of {len(idle)}) | "
          f"{per_item(statistics.median(idle))}, {per_item(max(idle))} |")
    if busy:
        print(f"| rare-term search while the round ran (median, max of {len(busy)}) | "
              f"{per_item(statistics.median(busy))}, {per_item(max(busy))} |")
        print(f"| while the round ran / before (medians; bound < 2) | "
              f"{statistics.median(busy) / statistics.median(idle):.2f} |")
    if rounds:
        print(f"\nIts log line: `{rounds[-1][25:]}`")


def steady_erases(scale, bound, seconds, rate):
    """Single-document erases at a steady rate, each document with a word of its own; every
    few seconds the index's files are scanned for the words of documents erased more than
    `bound` seconds before."""
    count = int(seconds * rate) + 1
    words = [marker_word() for _ in range(count)]
    paths = []
    for index, word in enumerate(words):
        path = f"/steady/{word}/{index}.txt"
        subprocess.run([scale.cisrv, "add", "--index", scale.db, "--path", path, "--text", word,
                        "--client", "7", "--app-type", "1", "--cell-number", str(CELL)],
                       check=True, stdout=subprocess.DEVNULL)
        paths.append(path)
    erased, late, oldest_left, scans = [], set(), 0.0, 0
    started = time.perf_counter()
    next_scan = started + 5
    for index, path in enumerate(paths):
        while time.perf_counter() < started + index / rate:
            time.sleep(0.005)
        scale.client.erase(7, 1, path)
        erased.append((time.perf_counter(), words[index]))
        if time.perf_counter() >= next_scan:
            now = time.perf_counter()
            due = [word for at, word in erased if now - at > bound]
            left = traces(scale.folder, due)
            late |= left
            scans += 1
            if left:
                oldest_left = max(oldest_left, max(now - at for at, word in erased if word in left))
            next_scan = time.perf_counter() + 5
    time.sleep(bound + 1)
    left = traces(scale.folder, words)
    print(f"\n| steady single-document erases, {rate}/s for {seconds} s (bound {bound} s) | value |")
    print("|---|---|")
    print(f"| erases confirmed | {len(erased)} |")
    print(f"| scans of the index's files during the run | {scans} |")
    print(f"| words found after their bound had passed | {len(late)} "
          f"(oldest {oldest_left:.1f} s after its erase) |")
    print(f"| words left {bound + 1} s after the last erase | {len(left)} |")


def per_item(seconds):
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


def report_tables(results, searches, sizes):
    print("\n| N | case | cisrv per item (min – max) | cisrv documents/s | floor per item (min – max)"
          " | floor documents/s | cisrv / floor (rate) |")
    print("|---|------|---|---|---|---|---|")
    for size in sizes:
        for case in CASES:
            server = [r["server"][0] for r in results[size][case]]
            floor = [r["floor"][0] for r in results[size][case]]
            documents = results[size][case][0]["server"][1]
            ratio = statistics.median(f / s for f, s in zip(floor, server))
            print(f"| {size:,} | {case} | {per_item(statistics.median(server))} "
                  f"({per_item(min(server))} – {per_item(max(server))}) | "
                  f"{documents / statistics.median(server):,.0f} | {per_item(statistics.median(floor))} "
                  f"({per_item(min(floor))} – {per_item(max(floor))}) | "
                  f"{documents / statistics.median(floor):,.0f} | {ratio:.2f} |")
    first, last = sizes[0], sizes[-1]
    print(f"\n| case | growth of cisrv's time, N = {first:,} → {last:,} | of the floor's |")
    print("|------|---|---|")
    for case in CASES:
        medians = {side: [statistics.median(r[side][0] for r in results[size][case]) for size in (first, last)]
                   for side in ("server", "floor")}
        print(f"| {case} | {medians['server'][1] / medians['server'][0]:.2f} × | "
              f"{medians['floor'][1] / medians['floor'][0]:.2f} × |")
    print("\n| N | search | matches before | before | matches after | after |")
    print("|---|--------|---|---|---|---|")
    for size in sizes:
        for kind, term in TERMS.items():
            (b, bm), (a, am) = searches[size][term]
            print(f"| {size:,} | {kind} (`{term}`) | {bm:,} | {per_item(b)} | {am:,} | {per_item(a)} |")


def plot(results, sizes, png):
    if shutil.which("gnuplot") is None:
        print(f"\n(no plot: gnuplot is not installed; apt-get install gnuplot-nox)")
        return
    data = png + ".dat"
    with open(data, "w") as out:
        for size in sizes:
            row = [str(size)]
            for case in CASES:
                for side in ("server", "floor"):
                    row.append(str(statistics.median(r[side][0] for r in results[size][case]) * 1e3))
            out.write(" ".join(row) + "\n")
    lines = []
    for index, case in enumerate(CASES):
        for offset, side in enumerate(("cisrv", "raw SQLite floor")):
            column = 2 + 2 * index + offset
            lines.append(f"'{data}' using 1:{column} with linespoints lc {index + 1} dt {offset + 1} "
                         f"title '{case}, {side}'")
    script = (f"set terminal png size 1000,700; set output '{png}'; set logscale xy; "
              "set xlabel 'documents in the index'; set ylabel 'ms per erase or prune (median)'; "
              "set key below maxrows 4 width -8; set grid; plot " + ", ".join(lines))
    subprocess.run(["gnuplot", "-e", script], check=True)
    os.remove(data)
    print(f"\nPlot: {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cisrv", required=True)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--plot", help="PNG file to draw the costs into")
    parser.add_argument("--folder", default=None, help="where the index goes (a temporary folder)")
    parser.add_argument("--purge-within", default="60",
                        help="the scale server's bound (seconds); the purge timing uses it")
    parser.add_argument("--durable-purge-within", default="10",
                        help="the bound of the server with the purge on in the durable-erase blocks")
    parser.add_argument("--durable-pairs", type=int, default=7,
                        help="pairs of durable-erase blocks (purge on and off)")
    parser.add_argument("--durable-seconds", type=float, default=0.6,
                        help="length of one durable-erase block; longer blocks hold whole purge rounds")
    parser.add_argument("--steady-seconds", type=int, default=300)
    parser.add_argument("--steady-rate", type=float, default=2.0, help="erases a second")
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    folder = tempfile.mkdtemp(prefix="tqci-scale-", dir=args.folder)
    scale = None
    try:
        durable_erases(args.cisrv, os.path.join(folder, "durable"), args.durable_purge_within,
                       args.durable_pairs, args.durable_seconds)
        scale = Scale(args.cisrv, folder, ["--purge-within", args.purge_within])
        results, searches = {}, {}
        for size in sizes:
            started = time.perf_counter()
            scale.grow_to(size)
            grown = time.perf_counter() - started
            before = {term: scale.search(term) for term in TERMS.values()}
            results[size] = {case: [] for case in CASES}
            for repetition in range(args.repetitions):
                for case in CASES:
                    results[size][case].append(scale.measure(case, repetition % 2 == 0))
            searches[size] = {term: (before[term], scale.search(term)) for term in TERMS.values()}
            print(f"- N = {size:,}: generated in {grown:.1f} s, measured in "
                  f"{time.perf_counter() - started - grown:.1f} s", flush=True)
        report_tables(results, searches, sizes)
        if args.plot:
            plot(results, sizes, args.plot)
        print(f"\n## Erasure at N = {sizes[-1]:,} (--purge-within {args.purge_within})", flush=True)
        purge_timing(scale, int(args.purge_within))
        steady_erases(scale, int(args.purge_within), args.steady_seconds, args.steady_rate)
    finally:
        if scale:
            scale.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
