"""The chaos run's checker: from the history (documents added, operations
with their outcomes and time spans, faults) and what the indexes hold, the
anomalies. Pure functions on plain records; docs/RELIABILITY.md states the
rules, and checker_test.py tries each on a made-up history."""

from dataclasses import dataclass, field

# Times are seconds of one monotonic clock; an initial document was added at -inf.
NEVER = float("-inf")


@dataclass
class Doc:
    """One row of one index: `server` and `id` name it."""
    server: str
    id: int
    path: str
    client: int = 0
    app_type: int = 0
    app: int = 0
    archive: int = 0
    cloud: int = 0
    cell: int = 0
    added: tuple = (NEVER, NEVER)  # the span of its `cisrv add`


@dataclass
class Target:
    """What an operation asks one server (an erase) or for one archive file
    (a prune): `key` is how tqci names it when it fails (the CI server's client
    id, or (archive file, cloud))."""
    server: str
    key: object
    path: str = None  # erases: the path and everything below it
    fields: dict = field(default_factory=dict)  # erases: {"client": C, "app_type": T, "cell": N} ...
    archive: tuple = None  # prunes: (archive file, cloud, cell)

    def covers(self, doc):
        if doc.server != self.server:
            return False
        if self.archive is not None:
            return (doc.archive, doc.cloud, doc.cell) == self.archive
        if any(getattr(doc, name) != value for name, value in self.fields.items()):
            return False
        base = self.path.rstrip("/")
        return doc.path == base or doc.path.startswith(base + "/")


@dataclass
class Op:
    number: int
    kind: str  # backup-doc, backup-tree, migrated, rurizoze, prune
    host: str
    argv: list
    stdin: str
    targets: list
    bound: float  # seconds it may take by the documented waits
    start: float = 0.0
    end: float = 0.0
    outcome: str = "invoke"  # then ok, partial, failed, nothing-to-erase or unknown
    reasons: list = field(default_factory=list)
    failed_keys: set = None  # partial: the servers or archive files named failed; None: none named
    rerun: str = None  # the outcome of running it again once the faults are healed

    def acknowledged(self, target):
        """Whether tqci said this target's part was done. "nothing-to-erase"
        claims there was nothing to do, which is as strong."""
        if self.outcome in ("ok", "nothing-to-erase"):
            return True
        if self.outcome == "partial":
            return self.failed_keys is not None and target.key not in self.failed_keys
        return False

    def describe(self):
        text = f"op {self.number} {self.kind} on {self.host} [{self.start:.2f}, {self.end:.2f}] " \
               f"{self.outcome}: tqci {' '.join(map(str, self.argv))}"
        if self.stdin:
            text += " <<< " + self.stdin.strip().replace("\n", "; ")
        return text


@dataclass
class Fault:
    number: int
    kind: str
    target: str
    planned: float  # seconds it lasts
    start: float = None
    end: float = None
    note: str = ""

    def describe(self):
        span = "not applied" if self.start is None else f"[{self.start:.2f}, {self.end or 0:.2f}]"
        return f"fault {self.number} {self.kind} {self.target} {span} {self.note}".rstrip()


@dataclass
class Anomaly:
    kind: str  # lost-acknowledgement, over-deletion, hang, leak, no-convergence
    text: str
    span: tuple = None  # the time span that overlapping ops and faults are shown for
    ops: list = field(default_factory=list)
    faults: list = field(default_factory=list)
    server: str = None  # only faults of this machine (and the directory) are shown


# The hang bound: every directory lookup's, attach's and exchange's deadline
# times the number of them an operation can make (docs/RELIABILITY.md).
# A lookup: the look for changes (5 s), a new connection (connect_timeout 3 s),
# LISTEN and the schema version (5 s), the prepared query (5 s).
LOOKUP_S = 18.0
# Starting and ending the tqci process, loading the libraries.
SLACK_S = 3.0


def hang_bound(kind, servers=1, elements=0, clouds=0, unit_ms=1000):
    """Seconds an operation may take: `servers` an erase reaches, or a
    prune's `elements` over `clouds` clouds; `unit_ms`: the session's wait unit."""
    attach, send, receive, disconnect = (units * unit_ms / 1000 for units in (120, 120, 600, 120))
    if kind == "prune":
        lookups = 2 * clouds + 2 * elements
        waits = clouds * (attach + disconnect) + elements * (attach + send)
    else:
        lookups = 3 if kind == "rurizoze" else 3 + 3 * servers
        waits = servers * (attach + attach + send + receive)
    return lookups * LOOKUP_S + waits + SLACK_S


def explained(doc, ops):
    """Whether some operation may have removed `doc`: it covers the document
    and either did not acknowledge that part (it may have been done at any
    time, also after tqci returned) or was still running after the add began."""
    for op in ops:
        for target in op.targets:
            if target.covers(doc) and (not op.acknowledged(target) or op.end > doc.added[0]):
                return True
    return False


def must_be_gone(doc, op, target):
    """Acknowledged, and the document was there in full before the op began."""
    return op.acknowledged(target) and target.covers(doc) and doc.added[1] < op.start


def check_indexes(docs, present, ops):
    """Lost acknowledgements and over-deletions. `docs`: the documents whose
    add succeeded; `present`: the (server, id) pairs the indexes hold."""
    anomalies = []
    by_server = {}
    for doc in docs:
        by_server.setdefault(doc.server, []).append(doc)
    for op in ops:
        for target in op.targets:
            if not op.acknowledged(target):
                continue
            kept = [d for d in by_server.get(target.server, [])
                    if (d.server, d.id) in present and must_be_gone(d, op, target)]
            if kept:
                anomalies.append(Anomaly(
                    "lost-acknowledgement",
                    f"{op.describe()}\n    acknowledged on {target.server} (key {target.key}"
                    f"{'' if op.failed_keys is None else f'; named failed: {sorted(op.failed_keys)}'}) but "
                    f"{len(kept)} document(s) it covers remain: " +
                    ", ".join(f"{d.path} (id {d.id})" for d in kept[:5]),
                    span=(op.start, op.end)))
    for doc in docs:
        if (doc.server, doc.id) not in present and not explained(doc, ops):
            anomalies.append(Anomaly(
                "over-deletion",
                f"{doc.server} lost {doc.path} (id {doc.id}, added "
                f"{'before the run' if doc.added[0] == NEVER else f'at {doc.added[0]:.2f}'}) "
                "which no operation could have erased",
                ops=[op for op in ops if any(t.covers(doc) for t in op.targets)],
                server=doc.server))
    return anomalies


def check_convergence(docs, present, ops, known_ids, reported):
    """After every op not reported ok ran again with the faults healed (and
    the writer stopped): each re-run is ok, and the indexes equal the model.
    `known_ids`: every (server, id) pair an index holds; `reported`: the
    (server, id) pairs already reported as lost or over-deleted."""
    anomalies = []
    for op in ops:
        if op.rerun is not None and op.rerun != "ok":
            anomalies.append(Anomaly("no-convergence",
                                     f"{op.describe()}\n    run again with the faults healed: {op.rerun}"))
    rerun = [op for op in ops if op.rerun is not None]
    wrong = []
    for doc in docs:
        key = (doc.server, doc.id)
        if key in reported:
            continue
        gone = any(t.covers(doc) for op in rerun for t in op.targets) or \
            any(must_be_gone(doc, op, t) for op in ops for t in op.targets)
        if gone and key in present:
            wrong.append(f"{doc.server} {doc.path} (id {doc.id}) should be gone")
        elif not gone and not explained(doc, ops) and key not in present:
            wrong.append(f"{doc.server} {doc.path} (id {doc.id}) should remain")
    modelled = {(d.server, d.id) for d in docs}
    wrong += [f"{server} holds id {id} that no add reported" for server, id in
              sorted(known_ids - modelled)]
    if wrong:
        anomalies.append(Anomaly("no-convergence",
                                 f"{len(wrong)} document(s) differ from the model: " +
                                 "; ".join(wrong[:10])))
    return anomalies


def check_hangs(ops):
    return [Anomaly("hang", f"{op.describe()}\n    took {op.end - op.start:.1f} s, "
                            f"bound {op.bound:.1f} s", span=(op.start, op.end))
            for op in ops if op.end - op.start > op.bound]


def overlapping(anomalies, ops, faults, end_of_run):
    """Fills each anomaly's overlapping operations and faults."""
    for anomaly in anomalies:
        start, end = anomaly.span or (0.0, end_of_run)
        if anomaly.span is not None:
            anomaly.ops = [op for op in ops if op.start <= end and op.end >= start]
        anomaly.faults = [f for f in faults if f.start is not None and f.start <= end and
                          (f.end is None or f.end >= start) and
                          (anomaly.server is None or f.target in (anomaly.server, "directory"))]
    return anomalies
