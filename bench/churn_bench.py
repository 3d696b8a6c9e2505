#!/usr/bin/env python3
"""Vector search under churn: a graph after many writes against a fresh one.

Every write of a document with a vector index touches the index: a write
that replaces or removes the vector leaves the old node behind as a removed
(tombstoned) node, which later searches must walk through. This benchmark
measures what that costs a query.

Data: the all-MiniLM-L6-v2 embeddings of bench/data (dim 384, unit length;
made by bench/corpus.py and bench/embed.py) when they are present, else
seeded random vectors drawn from a smooth 24-dimensional latent space
mapped into 384 dimensions, plus noise, at unit length. The first
--docs vectors are the documents, the next --queries the queries, the rest
the pool that replacement vectors are drawn from (when it runs dry, a
stored vector plus a little noise).

For each index kind (in memory: create_vector_index; on disk:
create_vector_index_ondisk; both cosine), in one run:
  1. --docs documents {"e": vector, "n": int, "t": text} are inserted, the
     index declared, and k=10 query latency measured (the fresh graph);
  2. --writes writes (default 100,000), drawn with a fixed seed:
       40%  patch of an unrelated field ("n")    the vector is unchanged
       25%  replacement of the document with a new vector
       15%  delete of a live document
       20%  re-insert of a deleted document with its old vector
            (a patch when none is deleted)
  3. k=10 query latency and recall@10 (against exact cosine over the live
     documents) on the churned graph;
  4. a fresh database holding just the live documents, the index declared
     over them, and the same measurements: the fresh graph of the same live
     documents.
Latency: the median over the queries of each query's best time of
--passes runs of query().vector("e", q, 10).limit(10).run(), documents
fetched as a user gets them.

Then, for each index kind, a patch-only phase on its own database: the
--docs documents inserted and the index declared (a fresh graph),
--patches patches of an unrelated field ("n"), then 1,000 deletes, then
--patches patches again: what a write that leaves the vector alone pays on
a fresh graph and on one with removed nodes.

Prints per kind: latency fresh / churned and their ratio (the target is at
most 2), recall@10 churned and fresh, the time the writes took, the worst
single write, the longest pause of another Python thread during the writes
(a thread that sleeps about 1 ms in a loop and records the largest gap
between its wake-ups: a write that holds the interpreter lock holds it
back), and for the in-memory kind the process's anonymous resident memory
(the heap, not the database file's mapped pages) after the writes against
that of the fresh graph (both measured from before the graph was built).

The whole write sequence, replacement vectors included, is drawn before
anything is measured, so the benchmark's own objects do not count as the
graph's memory, and every build runs exactly the same writes.

With --baseline PATH (an `_native` extension module file of another build,
e.g. main's), that build runs the same writes of each kind in the same
process right after this one (graph built, writes timed; no latency
measures), and the table gains its rows and the ratio of the two builds'
total write times, plus a table of the mean time of each write kind
(patch, replacement, delete, re-insert, and the patch-only phases) for both
builds and their ratio. The machine may be shared: the load average is printed
beside each kind.

Databases live in a temporary directory (in /dev/shm when there is one, so
commits do not wait for a disk).

Usage: python3 bench/churn_bench.py [--docs 10000] [--writes 100000]
       [--queries 200] [--passes 3] [--kinds memory,disk] [--seed 7]
       [--disk-docs N] [--db file|memory] [--baseline PATH] [--module PATH]
       [--patches 2000]
Needs: numpy, and pallix installed (pip install .).
"""

import argparse
import array
import ctypes
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from modload import load_module


DATA = Path(__file__).resolve().parent / "data"
K = 10


def load_vectors(n_needed, seed):
    meta, path = DATA / "embeddings.json", DATA / "embeddings.f32"
    if meta.exists() and path.exists():
        info = json.loads(meta.read_text())
        vectors = np.fromfile(path, dtype="<f4").reshape(info["n"], info["dim"])
        return vectors, "MiniLM embeddings (bench/data)"
    # Embedding-like: a smooth 24-dimensional latent space mapped linearly
    # into 384 dimensions, a little noise in every direction, unit length.
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(24, 384)).astype(np.float32)
    latent = rng.normal(size=(n_needed, 24)).astype(np.float32)
    vectors = latent @ mixing + 0.3 * rng.normal(size=(n_needed, 384)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32), "random embedding-like vectors (bench/data has no embeddings)"


def rss_bytes():
    """Anonymous resident memory: the heap, without the database file's mapped
    pages. Freed heap memory is handed back first, so that what the process
    freed (the documents loaded before) does not count."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def as_array(v):
    return array.array("f", v.tobytes())


def doc_of(v, n):
    return {"e": as_array(v), "n": n, "t": "paragraph %d" % n}


def open_db(px, tmp, name, db_kind):
    if db_kind == "memory":
        return px.Db.open_memory()
    return px.Db.open(os.path.join(tmp, name))


def declare(coll, kind):
    if kind == "memory":
        coll.create_vector_index("e", "cosine")
    else:
        coll.create_vector_index_ondisk("e", "cosine")


def search(coll, q):
    return coll.query().vector("e", q, K, "cosine").limit(K).run()


def measure(coll, queries, live, passes):
    """(median latency in ms, recall@10 against exact cosine over live)."""
    qs = [as_array(q) for q in queries]
    search(coll, qs[0])  # loads an in-memory graph
    best = [float("inf")] * len(qs)
    got = [None] * len(qs)
    for _ in range(passes):
        for i, q in enumerate(qs):
            t = time.perf_counter()
            rows = search(coll, q)
            best[i] = min(best[i], time.perf_counter() - t)
            got[i] = rows
    keys = list(live)
    matrix = np.stack([live[k] for k in keys])
    matrix = matrix / np.linalg.norm(matrix, axis=1, keepdims=True)
    found = 0
    for i, q in enumerate(queries):
        sims = matrix @ (q / np.linalg.norm(q))
        top = np.argpartition(-sims, K)[:K]
        exact = {keys[j] for j in top}
        returned = [r.key for r in got[i]]
        assert all(k in live for k in returned), "a removed document was returned"
        found += len(exact.intersection(returned))
    return statistics.median(best) * 1e3, found / (len(queries) * K)


def plan(docs, pool, n_writes, seed):
    """The write sequence, drawn once: a list of (op, key, vector or n), and
    the live documents after it."""
    rng = random.Random(seed)
    live = {"d%06d" % i: docs[i] for i in range(len(docs))}
    removed = {}
    live_keys = list(live)
    where = {k: i for i, k in enumerate(live_keys)}
    removed_keys = []
    pool_at = 0
    noise = np.random.default_rng(seed)

    def take_live():
        return live_keys[rng.randrange(len(live_keys))]

    def drop_live(key):
        i = where.pop(key)
        last = live_keys.pop()
        if last != key:
            live_keys[i] = last
            where[last] = i

    def add_live(key):
        where[key] = len(live_keys)
        live_keys.append(key)

    ops = []
    for step in range(n_writes):
        r = rng.random()
        if r < 0.15 and len(live_keys) > K:
            key = take_live()
            removed[key] = live.pop(key)
            drop_live(key)
            removed_keys.append(key)
            ops.append(("delete", key, None))
        elif r < 0.35 and removed_keys:
            key = removed_keys.pop(rng.randrange(len(removed_keys)))
            v = removed.pop(key)
            live[key] = v
            add_live(key)
            ops.append(("insert", key, v))
        elif r < 0.60:
            key = take_live()
            if pool_at < len(pool):
                v = pool[pool_at]
                pool_at += 1
            else:
                base = live[take_live()]
                v = base + 0.05 * noise.standard_normal(base.shape[0], dtype=np.float32)
                v = (v / np.linalg.norm(v)).astype(np.float32)
            live[key] = v
            ops.append(("insert", key, v))
        else:
            ops.append(("patch", take_live(), step))
    return ops, live


class Ticker:
    """A thread that sleeps about 1 ms at a time and keeps the longest gap
    between its wake-ups while `active`."""

    def __init__(self):
        self.active = False
        self.worst = 0.0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        last = time.perf_counter()
        while not self._stop:
            time.sleep(0.001)
            now = time.perf_counter()
            if self.active:
                self.worst = max(self.worst, now - last)
            last = now

    def close(self):
        self._stop = True
        self._thread.join()


def kinds_of(ops):
    """The write kind of each op: patch, replace, delete or reinsert."""
    out = []
    deleted = set()
    for op, key, _ in ops:
        if op == "delete":
            out.append("delete")
            deleted.add(key)
        elif op == "insert" and key in deleted:
            out.append("reinsert")
            deleted.discard(key)
        elif op == "insert":
            out.append("replace")
        else:
            out.append("patch")
    return out


def execute(coll, ops, ticker, report, per_kind=None):
    """Runs the writes; (total seconds, worst single write in seconds, the
    ticking thread's longest pause in seconds). per_kind: a dict that gains
    each write kind's total seconds."""
    kinds = kinds_of(ops) if per_kind is not None else None
    worst = 0.0
    ticker.worst = 0.0
    ticker.active = True
    start = time.perf_counter()
    for i, (op, key, arg) in enumerate(ops):
        t = time.perf_counter()
        if op == "delete":
            coll.delete(key)
        elif op == "insert":
            coll.insert(key, doc_of(arg, i))
        else:
            coll.patch(key, {"n": arg})
        took = time.perf_counter() - t
        worst = max(worst, took)
        if kinds is not None:
            per_kind[kinds[i]] = per_kind.get(kinds[i], 0.0) + took
        if report and (i + 1) % report == 0:
            print(f"    {i + 1} writes, {time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
    total = time.perf_counter() - start
    ticker.active = False
    return total, worst, ticker.worst


def counts_of(ops):
    counts = {"patch": 0, "replace": 0, "delete": 0, "reinsert": 0}
    for kind in kinds_of(ops):
        counts[kind] += 1
    return counts


def insert_all(coll, live):
    """insert_many in batches, so that the documents' Python objects stay few."""
    items = list(live.items())
    for at in range(0, len(items), 5000):
        coll.insert_many([(k, doc_of(v, at + i)) for i, (k, v) in enumerate(items[at: at + 5000])])


def run_kind(px, kind, docs, queries, ops, live_after, args, tmp, ticker, full):
    """One build's run of one index kind. full: also the latency, recall and
    memory measures and the fresh graph of the live documents."""
    live = {"d%06d" % i: docs[i] for i in range(len(docs))}
    tag = "full" if full else "base"
    db = open_db(px, tmp, f"{kind}-{tag}-churn", args.db)
    coll = db.collection("docs")
    insert_all(coll, live)
    rss_before = rss_bytes()
    declare(coll, kind)
    r = {"kind": kind}
    if full:
        r["start_ms"], r["start_recall"] = measure(coll, queries, live, args.passes)
    else:
        search(coll, as_array(queries[0]))  # builds an in-memory graph
    rss_graph = rss_bytes()
    r["per_kind"] = {}
    r["write_s"], r["worst_ms"], r["pause_ms"] = execute(coll, ops, ticker, args.report, r["per_kind"])
    r["worst_ms"] *= 1e3
    r["pause_ms"] *= 1e3
    rss_after = rss_bytes()
    r["mem_ratio"] = (rss_after - rss_before) / max(1, rss_graph - rss_before)
    r["graph_mib"] = (rss_graph - rss_before) / 2**20
    if full:
        r["churned_ms"], r["churned_recall"] = measure(coll, queries, live_after, args.passes)
    coll.close()
    db.close()
    if full:
        fresh_db = open_db(px, tmp, f"{kind}-fresh", args.db)
        fresh = fresh_db.collection("docs")
        insert_all(fresh, live_after)
        declare(fresh, kind)
        r["fresh_ms"], r["fresh_recall"] = measure(fresh, queries, live_after, args.passes)
        fresh.close()
        fresh_db.close()
    return r


def patch_phases(px, kind, docs, args, tmp, ticker):
    """The patch-only phases of one build: {phase: (mean seconds per write,
    worst ms, longest pause ms)} for patches on a fresh graph, 1,000 deletes,
    then patches again."""
    live = {"d%06d" % i: docs[i] for i in range(len(docs))}
    db = open_db(px, tmp, f"{kind}-patch-{id(px)}", args.db)
    coll = db.collection("docs")
    insert_all(coll, live)
    declare(coll, kind)
    search(coll, as_array(docs[0]))  # builds an in-memory graph
    rng = random.Random(args.seed + 1)
    keys = list(live)
    n_deletes = min(1000, len(keys) // 2)
    doomed = rng.sample(keys, n_deletes)
    gone = set(doomed)
    kept = [k for k in keys if k not in gone]
    first = [("patch", kept[rng.randrange(len(kept))], i) for i in range(args.patches)]
    deletes = [("delete", k, None) for k in doomed]
    second = [("patch", kept[rng.randrange(len(kept))], i) for i in range(args.patches)]
    out = {}
    for name, ops in (("patch fresh", first), ("delete 1,000", deletes), ("patch after deletes", second)):
        total, worst, pause = execute(coll, ops, ticker, 0)
        out[name] = (total / max(1, len(ops)), worst * 1e3, pause * 1e3)
    coll.close()
    db.close()
    return out


def load_average():
    return os.getloadavg()[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--docs", type=int, default=10000)
    ap.add_argument("--disk-docs", type=int, default=0, help="documents of the on-disk kind (default: --docs)")
    ap.add_argument("--writes", type=int, default=100000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--kinds", default="memory,disk")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--db", choices=["file", "memory"], default="file",
                    help="database in a file (in /dev/shm when there is one) or in memory")
    ap.add_argument("--module", help="the _native extension file to measure (default: import pallix._native)")
    ap.add_argument("--baseline", help="another build's _native extension file, run beside it")
    ap.add_argument("--report", type=int, default=0, help="print progress every N writes")
    ap.add_argument("--patches", type=int, default=2000, help="patches of each patch-only phase (0: no such phase)")
    args = ap.parse_args()

    if args.module:
        px = load_module(args.module, "pallix_this")
    else:
        import pallix._native as px
    base_px = load_module(args.baseline, "pallix_base") if args.baseline else None

    n_docs = max(args.docs, args.disk_docs)
    vectors, source = load_vectors(n_docs + args.queries + args.writes // 4 + 1, args.seed)
    if vectors.shape[0] < n_docs + args.queries:
        sys.exit(f"only {vectors.shape[0]} vectors: fewer than the documents + --queries")
    print(f"{source}: {args.writes} writes, {args.queries} queries, k={K}, cosine, {args.db} database")
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-churn-", dir=base)
    ticker = Ticker()
    print()
    print("| index | build | docs | load | fresh ms | churned ms | churned / fresh | recall churned | recall fresh "
          "| writes s | worst write ms | longest pause ms | memory / fresh graph |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|", flush=True)
    counts = None
    ratios = []
    kind_rows = []  # (index, write kind, count, this mean s, baseline mean s or None)
    try:
        # Each kind's rows as soon as they are measured: a long run keeps
        # what it has if it is stopped.
        for kind in args.kinds.split(","):
            n = args.disk_docs if kind == "disk" and args.disk_docs else args.docs
            # The queries and the replacement pool follow the largest
            # document set, so every kind draws from the same vectors.
            docs = vectors[:n]
            queries = vectors[n_docs: n_docs + args.queries]
            pool = vectors[n_docs + args.queries:]
            ops, live_after = plan(docs, pool, args.writes, args.seed)
            counts = counts_of(ops)
            load = load_average()
            r = run_kind(px, kind, docs, queries, ops, live_after, args, tmp, ticker, True)
            mem = f"{r['mem_ratio']:.2f}x of {r['graph_mib']:.0f} MiB" if kind == "memory" and args.db == "file" else "-"
            print(f"| {kind} | this | {n} | {load:.1f} | {r['fresh_ms']:.3f} | {r['churned_ms']:.3f} "
                  f"| {r['churned_ms'] / r['fresh_ms']:.2f}x | {r['churned_recall']:.4f} | {r['fresh_recall']:.4f} "
                  f"| {r['write_s']:.1f} | {r['worst_ms']:.1f} | {r['pause_ms']:.1f} | {mem} |", flush=True)
            if base_px is not None:
                load = load_average()
                b = run_kind(base_px, kind, docs, queries, ops, live_after, args, tmp, ticker, False)
                print(f"| {kind} | baseline | {n} | {load:.1f} | - | - | - | - | - | {b['write_s']:.1f} "
                      f"| {b['worst_ms']:.1f} | {b['pause_ms']:.1f} | - |", flush=True)
                ratios.append((kind, r["write_s"] / b["write_s"]))
            for wk in ("patch", "replace", "delete", "reinsert"):
                n_wk = counts[wk]
                if n_wk == 0:
                    continue
                mine = r["per_kind"].get(wk, 0.0) / n_wk
                theirs = b["per_kind"].get(wk, 0.0) / n_wk if base_px is not None else None
                kind_rows.append((kind, "churn " + wk, n_wk, mine, theirs, None, None))
            if args.patches:
                mine = patch_phases(px, kind, docs, args, tmp, ticker)
                theirs = patch_phases(base_px, kind, docs, args, tmp, ticker) if base_px is not None else {}
                for phase, (mean, worst, pause) in mine.items():
                    n_ph = args.patches if phase.startswith("patch") else min(1000, n // 2)
                    kind_rows.append((kind, phase, n_ph, mean, theirs.get(phase, (None,))[0], worst, pause))
    finally:
        ticker.close()
        shutil.rmtree(tmp, ignore_errors=True)
    if counts:
        print(f"\nwrites: {counts['patch']} patches, {counts['replace']} replacements, {counts['delete']} deletes, "
              f"{counts['reinsert']} re-inserts")
    for kind, ratio in ratios:
        print(f"{kind}: all writes took {ratio:.2f}x the baseline's time")
    if kind_rows:
        print("\n| index | write kind | count | this µs/write | baseline µs/write | this / baseline "
              "| worst ms | longest pause ms |")
        print("|---|---|---|---|---|---|---|---|")
        for kind, wk, n_wk, mine, theirs, worst, pause in kind_rows:
            base = f"{theirs * 1e6:.1f}" if theirs is not None else "-"
            ratio = f"{mine / theirs:.2f}x" if theirs else "-"
            w = f"{worst:.1f}" if worst is not None else "-"
            p = f"{pause:.1f}" if pause is not None else "-"
            print(f"| {kind} | {wk} | {n_wk} | {mine * 1e6:.1f} | {base} | {ratio} | {w} | {p} |")
        print(f"load average at the end: {load_average():.1f}")


if __name__ == "__main__":
    main()
