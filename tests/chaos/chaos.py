"""A seeded randomized fault run of the whole cell (docs/RELIABILITY.md).

The cell of tests/chaos/chaoscell.py: a PostgreSQL directory, three CI
servers over TLS, two hosts. Workers on the hosts run erases and prunes
through `tqci --json`, a writer keeps adding documents, and a nemesis
injects faults; then every fault is healed, the cell settles and the
checker (checker.py) reads every index and reports the anomalies.

    python3 chaos.py [--seed S] [--ops N] [--minutes M] [--no-faults] [--keep DIR]

Needs root (network namespaces, tmpfs, iptables). Exit status 0 when no
anomaly was found (and, without faults, every operation was ok)."""

import argparse
import collections
import itertools
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

import checker
from checker import Doc, Fault, Op, Target
from chaoscell import (APP_TYPE, APPS, CELL_NUMBER, CLIENTS, HOSTS, LOCK_WAIT_S, SERVERS, CELL_ID,
                       ChaosCell, Lanes, client_of, server_of, tool)
from netcell import exit_on_terminate

WAIT_UNIT_MS = 20
WORKERS_PER_HOST = 2
OP_WEIGHTS = {"backup-doc": 20, "backup-tree": 15, "migrated": 20, "rurizoze": 15, "prune": 30}
FAULT_KINDS = ["kill-server", "kill-directory", "pause-server", "pause-directory",
               "partition-drop", "partition-reject", "index-lock", "disk-full", "fsync-fail",
               "kill-host"]
FAULT_WEIGHTS = [14, 6, 12, 6, 12, 10, 12, 8, 8, 12]
DIRS, FILES, ARCHIVES = 8, 6, 40  # the universe of paths and archive files


# --- what the run does, from the seed ---------------------------------------------------

def initial_documents():
    docs = []
    for client, clouds in CLIENTS.items():
        for d in range(DIRS):
            for f in range(FILES):
                docs += [Doc(server_of(c), 0, f"/c{client}/d{d}/f{f}", client=client,
                             app_type=APP_TYPE, cloud=c, cell=CELL_NUMBER) for c in clouds]
    for app, (_, clouds) in APPS.items():
        for d in range(DIRS):
            for f in range(FILES):
                docs += [Doc(server_of(c), 0, f"/m{app}/d{d}/f{f}", app=app, cloud=c,
                             cell=CELL_NUMBER) for c in clouds]
    for cloud in range(1, len(SERVERS) + 1):
        for k in range(ARCHIVES // 2):
            docs += [Doc(server_of(cloud), 0, f"/af{cloud * 1000 + k}/doc{j}",
                         archive=cloud * 1000 + k, cloud=cloud, cell=CELL_NUMBER)
                     for j in range(3)]
    return docs


def writer_documents(rng):
    """The next document the writer adds: one row on each server that indexes it."""
    kind = rng.choices(["backup", "migrated", "archive"], [2, 1, 1])[0]
    d, f = rng.randrange(DIRS), rng.randrange(FILES)
    if kind == "backup":
        client = rng.choice(sorted(CLIENTS))
        return [Doc(server_of(c), 0, f"/c{client}/d{d}/f{f}", client=client, app_type=APP_TYPE,
                    cloud=c, cell=CELL_NUMBER) for c in CLIENTS[client]]
    if kind == "migrated":
        app = rng.choice(sorted(APPS))
        return [Doc(server_of(c), 0, f"/m{app}/d{d}/f{f}", app=app, cloud=c, cell=CELL_NUMBER)
                for c in APPS[app][1]]
    cloud = rng.randrange(1, len(SERVERS) + 1)
    archive = cloud * 1000 + rng.randrange(ARCHIVES)
    return [Doc(server_of(cloud), 0, f"/af{archive}/doc{rng.randrange(3)}", archive=archive,
                cloud=cloud, cell=CELL_NUMBER)]


def make_op(number, host, rng):
    kind = rng.choices(list(OP_WEIGHTS), list(OP_WEIGHTS.values()))[0]
    d, f = rng.randrange(DIRS), rng.randrange(FILES)
    stdin = None
    if kind in ("backup-doc", "backup-tree", "rurizoze"):
        client = rng.choice(sorted(CLIENTS))
        path = f"/c{client}/d{d}" + (f"/f{f}" if kind == "backup-doc" or rng.random() < 0.5 else "")
        fields = {"client": client, "app_type": APP_TYPE, "cell": CELL_NUMBER}
        if kind == "rurizoze":
            cloud = rng.choice(CLIENTS[client])
            clouds = [cloud]
            argv = ["erase-rurizoze", "--cell", CELL_ID, "--cell-number", CELL_NUMBER, "--client",
                    client, "--app-type", APP_TYPE, "--cloud", cloud, path]
        else:
            clouds = CLIENTS[client]
            argv = ["erase-backup", "--cell", CELL_ID, "--client", client, "--app-type", APP_TYPE,
                    path]
    elif kind == "migrated":
        app = rng.choice(sorted(APPS))
        path = f"/m{app}/d{d}" + (f"/f{f}" if rng.random() < 0.5 else "")
        fields = {"app": app, "cell": CELL_NUMBER}
        clouds = APPS[app][1]
        argv = ["erase-migrated", "--cell", CELL_ID, "--app", app, path]
    else:
        elements = set()
        for _ in range(rng.randint(1, 4)):
            cloud = rng.randrange(1, len(SERVERS) + 1)
            elements.add((cloud * 1000 + rng.randrange(ARCHIVES), cloud))
        elements = sorted(elements)
        targets = [Target(server_of(c), (a, c), archive=(a, c, CELL_NUMBER)) for a, c in elements]
        stdin = "".join(f"{CELL_NUMBER} {a} {c}\n" for a, c in elements)
        bound = checker.hang_bound("prune", elements=len(elements),
                                   clouds=len({c for _, c in elements}), unit_ms=WAIT_UNIT_MS)
        return Op(number, kind, host, ["prune"], stdin, targets, bound)
    targets = [Target(server_of(c), client_of(server_of(c)), path=path, fields=fields)
               for c in clouds]
    bound = checker.hang_bound(kind, servers=len(clouds), unit_ms=WAIT_UNIT_MS)
    return Op(number, kind, host, argv, stdin, targets, bound)


def fault_schedule(seed):
    """The nemesis's faults in order, each with the pause before it: every
    kind once first (in a seeded order), then kinds by weight."""
    rng = random.Random(f"{seed}/faults")
    first = list(FAULT_KINDS)
    rng.shuffle(first)
    number = 0
    while True:
        kind = first.pop(0) if first else rng.choices(FAULT_KINDS, FAULT_WEIGHTS)[0]
        if kind in ("kill-directory", "pause-directory"):
            target = "directory"
        elif kind.startswith("partition"):
            target = rng.choice(SERVERS + ["directory"])
        elif kind == "kill-host":
            target = rng.choice(HOSTS)
        else:
            target = rng.choice(SERVERS)
        planned = {"kill-server": (0.2, 2.0), "kill-directory": (0.5, 2.0),
                   "pause-server": (0.5, 3.0), "pause-directory": (0.5, 3.0),
                   "partition-drop": (1.0, 4.0), "partition-reject": (1.0, 4.0),
                   "index-lock": (LOCK_WAIT_S + 0.5, LOCK_WAIT_S + 2.0), "disk-full": (1.0, 3.0),
                   "fsync-fail": (1.0, 3.0), "kill-host": (0.0, 0.5)}[kind]
        number += 1
        yield rng.expovariate(1.0), Fault(number, kind, target, round(rng.uniform(*planned), 2))


# --- the run ------------------------------------------------------------------------------

class Run:
    def __init__(self, cell, seed, ops, minutes, faults, fault_gap, log, min_faults=0):
        self.cell = cell
        self.min_faults = min_faults if faults else 0
        self.seed = seed
        self.total_ops = ops
        self.deadline = minutes * 60 if minutes else None
        self.with_faults = faults
        self.fault_gap = fault_gap
        self.log = log
        self.t0 = time.monotonic()
        self.ops, self.faults, self.docs, self.uncertain = [], [], [], []
        self.lock = threading.Lock()
        self.record("start", utc=time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime()), seed=seed)
        self.in_flight = {h: {} for h in HOSTS}  # host: {op number: (op, process)}
        self.stop = threading.Event()
        self.lanes = Lanes()
        self.fault_threads = []
        self.crashes = []

    def now(self):
        return time.monotonic() - self.t0

    def record(self, event, **fields):
        with self.lock:
            self.log.write(json.dumps(dict(t=round(self.now(), 3), event=event, **fields)) + "\n")

    # tqci ---------------------------------------------------------------------------

    def tqci(self, op, host):
        """Runs `op` on `host`; fills its outcome and span."""
        argv = self.cell.network.prefix(host) + [tool("tqci"), "--json"] + [str(a) for a in op.argv]
        op.start = self.now()
        self.record("invoke", op=op.number, host=host, kind=op.kind, argv=op.argv, stdin=op.stdin)
        process = subprocess.Popen(argv, env=self.cell.host_env[host], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        with self.lock:
            self.in_flight[host][op.number] = (op, process)
        timed_out = False
        try:
            out, err = process.communicate(op.stdin, timeout=op.bound + 10)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
            timed_out = True
        op.end = self.now()
        with self.lock:
            killed = self.in_flight[host].pop(op.number, (None, None))[1] is None
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if timed_out:
            outcome, reasons = "unknown", [f"timed out after {op.end - op.start:.1f} s"]
        elif killed:
            outcome, reasons = "unknown", ["tqci killed by the nemesis"]
        elif process.returncode < 0 or not lines:
            outcome, reasons = "unknown", [f"tqci exit {process.returncode}: {err.strip()[-500:]}"]
            self.crashes.append(op)
        else:
            result = json.loads(lines[-1])
            outcome, reasons = result["result"], result.get("reasons", [])
            if outcome == "partial":
                if "failed_servers" in result:
                    op.failed_keys = set(result["failed_servers"])
                elif "failed_archive_files" in result:
                    op.failed_keys = {(e["archive_file"], e["cloud"])
                                      for e in result["failed_archive_files"]}
        self.record("complete", op=op.number, pid=process.pid, outcome=outcome, reasons=reasons,
                    failed=None if op.failed_keys is None else sorted(map(str, op.failed_keys)),
                    seconds=round(op.end - op.start, 3))
        return outcome, reasons

    def worker(self, index, host, count):
        rng = random.Random(f"{self.seed}/worker{index}")
        for i in itertools.count():
            if self.stop.is_set() or (self.deadline and self.now() > self.deadline):
                break
            if i >= count and sum(f.start is not None for f in self.faults) >= self.min_faults:
                break
            op = make_op(index * 1000000 + i, host, rng)
            op.outcome, op.reasons = self.tqci(op, host)
            with self.lock:
                self.ops.append(op)

    def writer(self):
        rng = random.Random(f"{self.seed}/writer")
        while not self.stop.is_set():
            for doc in writer_documents(rng):
                start = self.now()
                doc.id = self.cell.add(doc)
                doc.added = (start, self.now())
                with self.lock:
                    (self.docs if doc.id is not None else self.uncertain).append(doc)
                self.record("add", server=doc.server, path=doc.path, id=doc.id,
                            span=[round(t, 3) for t in doc.added])
            self.stop.wait(rng.uniform(0.02, 0.15))

    # the nemesis ------------------------------------------------------------------

    def nemesis(self):
        for gap, fault in fault_schedule(self.seed):
            if self.stop.wait(gap * self.fault_gap):
                return
            self.faults.append(fault)
            thread = threading.Thread(target=self.inject, args=(fault,))
            thread.start()
            self.fault_threads.append(thread)

    def inject(self, fault):
        lane = fault.target if fault.kind in ("kill-server", "pause-server", "kill-directory",
                                              "pause-directory") or \
            fault.kind.startswith("partition") else f"{fault.target}/storage"
        if fault.kind == "kill-host":
            lane = f"{fault.number}"
        with self.lanes(lane):
            if self.stop.is_set():
                fault.note = "not applied: the run was over"
                return
            fault.start = self.now()
            self.record("fault", number=fault.number, kind=fault.kind, target=fault.target,
                        planned=fault.planned)
            try:
                fault.note = self.apply(fault) or ""
            except Exception as error:  # a fault that could not be made is reported, not fatal
                fault.note = f"error: {str(error)[:300]}"
            fault.end = self.now()
            self.record("healed", number=fault.number, note=fault.note)

    def apply(self, fault):
        cell, name, seconds = self.cell, fault.target, fault.planned
        if fault.kind == "kill-server":
            cell.kill_server(name)
            time.sleep(seconds)
            cell.restart_server(name)
        elif fault.kind == "kill-directory":
            cell.kill_directory()
            time.sleep(seconds)
            cell.restart_directory()
        elif fault.kind.startswith("pause"):
            cell.pause(name, True)
            time.sleep(seconds)
            cell.pause(name, False)
        elif fault.kind.startswith("partition"):
            cell.partition(name, fault.kind.split("-")[1])
            time.sleep(seconds)
            cell.heal_partition(name)
        elif fault.kind == "index-lock":
            return cell.lock_index(name, seconds)
        elif fault.kind == "disk-full":
            cell.fill_disk(name)
            time.sleep(seconds)
            cell.free_disk(name)
        elif fault.kind == "fsync-fail":
            note = cell.fail_sync(name, True)
            time.sleep(seconds)
            return note or cell.fail_sync(name, False)
        elif fault.kind == "kill-host":
            return self.kill_host(name, seconds)
        return ""

    def kill_host(self, host, delay):
        """kill -9 of a tqci in the middle of a call on `host`."""
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            with self.lock:
                running = sorted(self.in_flight[host])
            if running:
                break
            time.sleep(0.02)
        else:
            return "no call in flight"
        time.sleep(delay)
        with self.lock:
            op, process = self.in_flight[host].get(running[0], (None, None))
            if process is None:
                return f"op {running[0]} ended first"
            self.in_flight[host][op.number] = (op, None)
            process.kill()
        return f"killed op {op.number}"

    # after the run ------------------------------------------------------------

    def execute(self):
        threads = [threading.Thread(target=self.writer)]
        workers = len(HOSTS) * WORKERS_PER_HOST
        for index in range(workers):
            count = self.total_ops // workers + (1 if index < self.total_ops % workers else 0)
            threads.append(threading.Thread(target=self.worker,
                                            args=(index, HOSTS[index % len(HOSTS)], count)))
        if self.with_faults:
            threads.append(threading.Thread(target=self.nemesis))
        for thread in threads:
            thread.start()
        for thread in threads[1:1 + workers]:
            thread.join()
        self.end_of_run = self.now()
        self.stop.set()
        for thread in threads + self.fault_threads:
            thread.join()
        self.cell.heal_all()
        self.record("healed-all")


def settle(cell, baseline, limit):
    """Waits until every server is back at its idle footprint; the ones that are not."""
    deadline = time.monotonic() + limit
    while True:
        now = {name: cell.footprint(name) for name in SERVERS}
        off = {name: value for name, value in now.items() if value != baseline[name]}
        if not off or time.monotonic() > deadline:
            return off
        time.sleep(0.2)


def idle_footprints(cell):
    """Each server's footprint once it has served its last session and
    holds still for half a second."""
    last = None
    for _ in range(100):
        now = {name: cell.footprint(name) for name in SERVERS}
        if now == last and all(value[2] == 0 for value in now.values()):
            return now
        last = now
        time.sleep(0.5)
    raise RuntimeError(f"the servers do not settle: {now}")


def snapshot(cell):
    rows = {name: cell.rows(name) for name in SERVERS}
    return ({(name, i) for name, r in rows.items() for i, _ in r},
            {(name, i): p for name, r in rows.items() for i, p in r})


def warm_up(run):
    """An erase reaching every server and a prune: the cell works, and
    each server has served a session (its index files are open)."""
    for argv, stdin in ((["erase-backup", "--cell", CELL_ID, "--client", 10, "--app-type", APP_TYPE,
                          "/warm-up"], None), (["prune"], "".join(
                              f"{CELL_NUMBER} 999 {c}\n" for c in range(1, len(SERVERS) + 1)))):
        op = Op(0, "warm-up", HOSTS[0], argv, stdin, [], 60)
        outcome, reasons = run.tqci(op, HOSTS[0])
        if outcome != "ok":
            raise RuntimeError(f"the cell does not work: tqci {argv}: {outcome} {reasons}")


def check(run, cell, baseline):
    """Heals, settles, reads the indexes, re-runs what was not ok; the anomalies."""
    settle(cell, baseline, checker_settle_s())
    present, paths = snapshot(cell)
    ops = sorted(run.ops, key=lambda op: op.start)
    anomalies = checker.check_indexes(run.docs, present, ops)
    anomalies += checker.check_hangs(ops)
    lost = {(d.server, d.id) for d in run.docs if (d.server, d.id) in present and any(
        checker.must_be_gone(d, op, t) for op in ops for t in op.targets)}
    gone = {(d.server, d.id) for d in run.docs if (d.server, d.id) not in present and
            not checker.explained(d, ops)}
    # Every op not reported ok, again, with the faults healed.
    again = [op for op in ops if op.outcome != "ok"]
    lanes = [again[i::4] for i in range(4)]

    def rerun(batch):
        for op in batch:
            copy = Op(op.number, op.kind, op.host, op.argv, op.stdin, op.targets, op.bound)
            op.rerun, reasons = run.tqci(copy, op.host)
            if op.rerun != "ok":
                op.rerun += ": " + " | ".join(reasons)[:300]

    threads = [threading.Thread(target=rerun, args=(batch,)) for batch in lanes]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    present_after, paths_after = snapshot(cell)
    uncertain = {(d.server, d.path) for d in run.uncertain}
    known = {key for key in present_after if (key[0], paths_after[key]) not in uncertain}
    anomalies += checker.check_convergence(run.docs, present_after, ops, known, lost | gone)
    warm_up(run)
    off = settle(cell, baseline, checker_settle_s())
    for name, value in off.items():
        anomalies.append(checker.Anomaly(
            "leak", f"{name}: threads, descriptors, open sessions {value}, idle {baseline[name]}"))
    if not run.with_faults:
        anomalies += [checker.Anomaly("control", f"{op.describe()}: {' | '.join(op.reasons)}")
                      for op in ops if op.outcome != "ok"]
    return checker.overlapping(anomalies, ops, run.faults, run.end_of_run), len(again)


def checker_settle_s():
    from chaoscell import IDLE_TIMEOUT_S
    return IDLE_TIMEOUT_S + 10


# --- the report --------------------------------------------------------------------------

def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))] if values else 0


def summary(run, anomalies, reruns, seconds):
    ops = run.ops
    by_kind = collections.defaultdict(collections.Counter)
    for op in ops:
        by_kind[op.kind][op.outcome] += 1
    durations = {}
    for kind in OP_WEIGHTS:
        spans = [op.end - op.start for op in ops if op.kind == kind]
        bounds = [op.bound for op in ops if op.kind == kind]
        if spans:
            durations[kind] = {"p50": percentile(spans, 50), "p99": percentile(spans, 99),
                               "max": max(spans), "bound_min": min(bounds), "bound_max": max(bounds)}
    return {
        "seed": run.seed, "commit": commit(), "seconds": round(seconds, 1),
        "operations": {k: dict(v) for k, v in by_kind.items()},
        "faults": dict(collections.Counter(f.kind for f in run.faults if f.start is not None)),
        "faults_not_applied": sum(1 for f in run.faults if f.start is None),
        "anomalies": dict(collections.Counter(a.kind for a in anomalies)),
        "durations": durations, "documents_added": sum(d.added[0] > 0 for d in run.docs),
        "spans": {kind: [round(op.end - op.start, 3) for op in ops if op.kind == kind]
                  for kind in OP_WEIGHTS},
        "adds_failed": len(run.uncertain), "reruns": reruns, "tqci_crashes": len(run.crashes),
    }


def commit():
    source = os.path.dirname(os.path.abspath(__file__))
    head = subprocess.run(["git", "-C", source, "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "unknown"
    dirty = subprocess.run(["git", "-C", source, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return head + ("-dirty" if dirty else "")


def report(run, anomalies, facts, out=sys.stdout):
    p = lambda *a: print(*a, file=out)  # noqa: E731
    p(f"seed {facts['seed']}, commit {facts['commit']}, {facts['seconds']} s, "
      f"{'faults' if run.with_faults else 'no faults (control)'}")
    p("fault schedule:")
    for fault in run.faults:
        p(f"  {fault.describe()} planned {fault.planned} s")
    p("operations (kind: outcomes):")
    for kind, outcomes in sorted(facts["operations"].items()):
        d = facts["durations"][kind]
        p(f"  {kind:12} {sum(outcomes.values()):5}  {dict(sorted(outcomes.items()))}  "
          f"p50 {d['p50']:.2f} s, p99 {d['p99']:.2f} s, max {d['max']:.2f} s, "
          f"bound {d['bound_min']:.0f}-{d['bound_max']:.0f} s")
    p(f"faults: {facts['faults']} ({facts['faults_not_applied']} not applied)")
    p(f"documents added {facts['documents_added']} ({facts['adds_failed']} adds failed); "
      f"{facts['reruns']} operations run again; tqci crashes {facts['tqci_crashes']}")
    p(f"anomalies: {facts['anomalies'] or 'none'}")
    for anomaly in anomalies:
        p(f"\n[{anomaly.kind}] {anomaly.text}")
        for op in anomaly.ops[:8]:
            p(f"    overlapping {op.describe()}" + (f" reasons: {' | '.join(op.reasons)[:400]}"
                                                   if op.reasons else ""))
        if len(anomaly.ops) > 8:
            p(f"    ... and {len(anomaly.ops) - 8} more operations")
        for fault in anomaly.faults[:12]:
            p(f"    overlapping {fault.describe()}")


def table(files):
    """Markdown tables summing the --json summaries of several runs."""
    runs = [json.load(open(f)) for f in files]
    outcomes = ["ok", "partial", "failed", "nothing-to-erase", "unknown"]
    lines = [f"{len(runs)} runs (seeds {', '.join(str(r['seed']) for r in runs)}; commits "
             f"{', '.join(sorted({r['commit'] for r in runs}))}), "
             f"{sum(r['seconds'] for r in runs) / 60:.0f} minutes, "
             f"{sum(r['documents_added'] for r in runs)} documents added by the writer, "
             f"{sum(r['reruns'] for r in runs)} operations run again.", "",
             "| Operation | " + " | ".join(outcomes) + " | all | p50 | p99 | max | bound |",
             "|---" * (len(outcomes) + 6) + "|"]
    total = collections.Counter()
    for kind in OP_WEIGHTS:
        counts = collections.Counter()
        for r in runs:
            counts.update(r["operations"].get(kind, {}))
        total.update(counts)
        d = [r["durations"][kind] for r in runs if kind in r["durations"]]
        spans = [x for r in runs for x in r["spans"][kind]]
        if not d:
            continue
        lines.append(f"| {kind} | " + " | ".join(str(counts[o]) for o in outcomes) +
                     f" | {sum(counts.values())} | {percentile(spans, 50):.2f} s | "
                     f"{percentile(spans, 99):.2f} s | {max(spans):.2f} s | "
                     f"{min(x['bound_min'] for x in d):.0f}-{max(x['bound_max'] for x in d):.0f} s |")
    lines.append("| all | " + " | ".join(str(total[o]) for o in outcomes) +
                 f" | {sum(total.values())} | | | | |")
    faults = collections.Counter()
    anomalies = collections.Counter()
    for r in runs:
        faults.update(r["faults"])
        anomalies.update(r["anomalies"])
    lines += ["", "| Fault | injected |", "|---|---|"]
    lines += [f"| {k} | {faults[k]} |" for k in FAULT_KINDS] + [f"| all | {sum(faults.values())} |"]
    lines += ["", "| Anomaly | found |", "|---|---|"]
    lines += [f"| {k} | {anomalies[k]} |" for k in
              ("lost-acknowledgement", "over-deletion", "hang", "leak", "no-convergence")]
    print("\n".join(lines))
    print(f"\ntqci crashes: {sum(r['tqci_crashes'] for r in runs)}")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--table"]:
        return table(argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=None, help="default: from the clock (printed)")
    parser.add_argument("--ops", type=int, default=None,
                        help="operations in all (300, or no limit with --minutes)")
    parser.add_argument("--minutes", type=float, default=None,
                        help="stop starting operations after this long")
    parser.add_argument("--no-faults", action="store_true", help="the control run: no nemesis")
    parser.add_argument("--fault-gap", type=float, default=1.5,
                        help="mean seconds between the starts of two faults")
    parser.add_argument("--min-faults", type=int, default=0,
                        help="go on past --ops until this many faults were injected")
    parser.add_argument("--keep", help="copy the logs, history and report to this folder")
    parser.add_argument("--json", help="write the summary as JSON to this file")
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else int(time.time()) % 100000
    started = time.monotonic()
    cell = ChaosCell(WAIT_UNIT_MS)
    history = open(os.path.join(cell.root, "history.jsonl"), "w")
    try:
        docs = initial_documents()
        cell.populate(docs)
        ops = args.ops if args.ops is not None else 10 ** 9 if args.minutes else 300
        run = Run(cell, seed, ops, args.minutes, not args.no_faults, args.fault_gap, history,
                  args.min_faults)
        run.docs = list(docs)
        warm_up(run)
        baseline = idle_footprints(cell)
        print(f"chaos: seed {seed}: cell ready in {time.monotonic() - started:.1f} s; idle "
              f"footprints {baseline}", flush=True)
        run.execute()
        anomalies, reruns = check(run, cell, baseline)
        facts = summary(run, anomalies, reruns, time.monotonic() - started)
        report(run, anomalies, facts)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(facts, f, indent=1)
        if args.keep:
            keep(cell, args.keep, run, anomalies, facts)
        return 1 if anomalies else 0
    finally:
        history.close()
        cell.close()


def keep(cell, folder, run, anomalies, facts):
    os.makedirs(folder, exist_ok=True)
    for name, server in cell.servers.items():
        shutil.copy(server.log, os.path.join(folder, f"{name}.log"))
    for host in HOSTS:
        log = os.path.join(cell.host_env[host]["TQ_LOG_DIR"], "CIHelper.log")
        if os.path.exists(log):
            shutil.copy(log, os.path.join(folder, f"{host}-CIHelper.log"))
    shutil.copy(os.path.join(cell.root, "history.jsonl"), folder)
    with open(os.path.join(folder, "postgres.log"), "w") as f:
        f.write(cell.cluster.server_log())
    with open(os.path.join(folder, "report.txt"), "w") as f:
        report(run, anomalies, facts, out=f)


if __name__ == "__main__":
    exit_on_terminate()
    sys.exit(main())
