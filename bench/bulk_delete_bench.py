#!/usr/bin/env python3
"""Bulk removals with a vector index: what each costs beside a fresh graph.

A call that removes many documents at once repairs the collection's vector
graphs once, at its end. This benchmark measures, for each index kind (in
memory: create_vector_index; on disk: create_vector_index_ondisk; both
cosine) on a file database in /dev/shm, in one process:

  delete_where  --docs documents {"e": vector, "n": i, "odd": i % 2}, the
                index declared (and, in memory, loaded by a query); then
                delete_where(field("odd").eq(1)) removes half of them;
  delete_batch  the same documents; delete_batch of the same half's keys;
  load          the same documents; load_from_path of a dump (written by
                a database without the index) that replaces the same half
                with new vectors.

Each call is timed against (a) a fresh declaration over what remains after
it (a new database holding just those documents, the index declared, and,
in memory, built by its first query: the graph a user would otherwise make)
and, with --baseline PATH (an `_native` extension module file of another
build, e.g. 16d6804's), (b) that build making the same call in the same
process. Beside each call: the longest pause of a Python thread that sleeps
about 1 ms in a loop while the call runs (a call that holds the interpreter
lock holds it back); the live vectors a search cannot reach afterwards (a
query with k = live + 10, whose search goes over every node it can reach,
returns fewer rows); and recall@10 of --queries queries against exact
cosine over the live documents, afterwards and on the fresh graph.

Then a single delete: --singles deletes of single documents on a freshly
built graph, timed per call, against --before PATH (the module of the build
before this change), in alternating rounds; the median per-delete time of
each.

Data: the all-MiniLM-L6-v2 embeddings of bench/data when present (see
bench/churn_bench.py), else embedding-like random vectors.

Usage: python3 bench/bulk_delete_bench.py [--docs 10000] [--queries 200]
       [--kinds memory,disk] [--baseline PATH] [--before PATH] [--module PATH]
       [--singles 300]
Needs: numpy, and pallix installed (pip install .).
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

from churn_bench import Ticker, as_array, declare, load_vectors
from modload import load_module

K = 10
OPS = ("delete_where", "delete_batch", "load")


def doc_of(v, i):
    return {"e": as_array(v), "n": i, "odd": i % 2}


def key_of(i):
    return "d%06d" % i


def fill(coll, docs):
    """docs: list of (i, vector); insert_many in batches."""
    for at in range(0, len(docs), 5000):
        coll.insert_many([(key_of(i), doc_of(v, i)) for i, v in docs[at: at + 5000]])


def ready(px, path, kind, docs):
    """A file database at path holding docs with the index declared and built."""
    db = px.Db.open(path)
    coll = db.collection("docs")
    fill(coll, docs)
    declare(coll, kind)
    if kind == "memory":
        coll.query().vector("e", as_array(docs[0][1]), K, "cosine").limit(K).run()
    return db, coll


def drop(tmp, name):
    """Removes the files of a closed database, so /dev/shm does not fill up."""
    for f in os.listdir(tmp):
        if f.startswith(name):
            os.remove(os.path.join(tmp, f))


def timed(fn, ticker):
    ticker.worst = 0.0
    ticker.active = True
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    ticker.active = False
    return elapsed, ticker.worst


def recall_and_unreachable(coll, live, queries):
    """(recall@10 of queries against exact cosine over live, live vectors a
    search with k = live + 10 does not reach)."""
    keys = list(live)
    matrix = np.stack([live[k] for k in keys])
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    found = 0
    for q in queries:
        sims = matrix @ (q / np.linalg.norm(q))
        want = {keys[j] for j in np.argsort(-sims, kind="stable")[:K]}
        rows = coll.query().vector("e", as_array(q), K, "cosine").limit(K).run()
        found += len(want & {r.key for r in rows})
    k = len(live) + 10
    rows = coll.query().vector("e", as_array(queries[0]), k, "cosine").limit(k).run()
    return found / (K * len(queries)), len(live) - len({r.key for r in rows})


def run_op(px, kind, op, docs, replacements, tmp, ticker, measure, queries):
    """One bulk call of one build. Returns (seconds, pause seconds, live
    after, recall, unreachable); recall and unreachable None unless measure."""
    name = f"{px.__name__}-{kind}-{op}".replace(".", "_")
    db, coll = ready(px, os.path.join(tmp, name), kind, docs)
    odd = [key_of(i) for i, _ in docs if i % 2 == 1]
    live = {key_of(i): v for i, v in docs}
    if op == "delete_where":
        secs, pause = timed(lambda: coll.delete_where(px.field("odd").eq(1)), ticker)
    elif op == "delete_batch":
        secs, pause = timed(lambda: coll.delete_batch(odd), ticker)
    else:
        src = px.Db.open(os.path.join(tmp, name + "-src"))
        fill(src.collection("docs"), replacements)
        dump = os.path.join(tmp, name + ".dump")
        src.dump_to_path(dump)
        src.close()
        secs, pause = timed(lambda: db.load_from_path(dump), ticker)
    if op == "load":
        live.update({key_of(i): v for i, v in replacements})
    else:
        for key in odd:
            del live[key]
    recall = unreachable = None
    if measure:
        recall, unreachable = recall_and_unreachable(coll, live, queries)
    coll.close()
    db.close()
    drop(tmp, name)
    return secs, pause, live, recall, unreachable


def fresh(px, kind, live, tmp, name, queries):
    """(seconds of a fresh declaration over live, its recall)."""
    db = px.Db.open(os.path.join(tmp, name))
    coll = db.collection("docs")
    fill(coll, [(int(k[1:]), v) for k, v in live.items()])
    start = time.perf_counter()
    declare(coll, kind)
    if kind == "memory":
        coll.query().vector("e", as_array(queries[0]), K, "cosine").limit(K).run()
    secs = time.perf_counter() - start
    recall, _ = recall_and_unreachable(coll, live, queries)
    coll.close()
    db.close()
    drop(tmp, name)
    return secs, recall


def singles(px, kind, docs, tmp, name, n):
    """Per-call seconds of n single deletes on a fresh graph."""
    db, coll = ready(px, os.path.join(tmp, name), kind, docs)
    out = []
    for i in range(n):
        key = key_of(docs[(i * 7919) % len(docs)][0])
        start = time.perf_counter()
        coll.delete(key)
        out.append(time.perf_counter() - start)
    coll.close()
    db.close()
    drop(tmp, name)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--docs", type=int, default=10000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--kinds", default="memory,disk")
    ap.add_argument("--ops", default=",".join(OPS), help="the bulk calls to measure (none: single deletes only)")
    ap.add_argument("--singles", type=int, default=300)
    ap.add_argument("--rounds", type=int, default=3, help="alternating rounds of the single-delete timing")
    ap.add_argument("--baseline", help="_native file of the build to compare the bulk calls with (16d6804)")
    ap.add_argument("--before", help="_native file of the build to compare single deletes with")
    ap.add_argument("--module", help="the _native extension file to measure (default: import pallix._native)")
    args = ap.parse_args()
    if args.module:
        px = load_module(args.module, "pallix_this")
    else:
        import pallix._native as px
    base_px = load_module(args.baseline, "pallix_base") if args.baseline else None
    before_px = load_module(args.before, "pallix_before") if args.before else None

    vectors, source = load_vectors(2 * args.docs + args.queries, 7)
    n = args.docs
    docs = [(i, vectors[i].copy()) for i in range(n)]
    replacements = [(i, vectors[n + i // 2].copy()) for i in range(1, n, 2)]
    queries = [vectors[n + n // 2 + j].copy() for j in range(args.queries)]
    print(f"{n} documents, {source}; cosine; file database in /dev/shm; load average {os.getloadavg()[0]:.1f}")

    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-bulk-", dir=shm)
    ticker = Ticker()
    rows = []
    try:
        for kind in args.kinds.split(","):
            for op in [o for o in args.ops.split(",") if o]:
                secs, pause, live, recall, unreachable = run_op(px, kind, op, docs, replacements, tmp, ticker,
                                                                True, queries)
                fresh_s, fresh_recall = fresh(px, kind, live, tmp, f"fresh-{kind}-{op}", queries)
                base = None
                if base_px is not None:
                    base = run_op(base_px, kind, op, docs, replacements, tmp, ticker, False, queries)[0]
                rows.append((kind, op, secs, fresh_s, base, pause, unreachable, recall, fresh_recall))
                print(f"  {kind} {op}: {secs:.2f} s", file=sys.stderr)
        print()
        if rows:
            print(f"{'index':8} {'call':13} {'call s':>7} {'fresh s':>8} {'/fresh':>7} {'16d6804 s':>10} "
                  f"{'/16d6804':>9} {'pause ms':>9} {'unreach':>8} {'recall':>7} {'fresh':>7}")
            for kind, op, secs, fresh_s, base, pause, unreachable, recall, fresh_recall in rows:
                base_s = f"{base:10.2f}" if base is not None else f"{'-':>10}"
                base_r = f"{secs / base:8.2f}x" if base is not None else f"{'-':>9}"
                print(f"{kind:8} {op:13} {secs:7.2f} {fresh_s:8.2f} {secs / fresh_s:6.2f}x {base_s} {base_r} "
                      f"{pause * 1e3:9.1f} {unreachable:8d} {recall:7.4f} {fresh_recall:7.4f}")
            print("targets: /fresh <= 1.0x; delete_where, delete_batch /16d6804 <= 0.5x; pause <= 50 ms; "
                  "unreachable 0; recall within 0.005 of fresh")

        if before_px is not None:
            print()
            print(f"single delete, median of {args.singles} x {args.rounds} rounds "
                  f"(this build vs the build before it)")
            for kind in args.kinds.split(","):
                this_t, before_t = [], []
                for r in range(args.rounds):
                    # Each build goes first in every other round.
                    for build in ((px, this_t), (before_px, before_t))[:: 1 if r % 2 == 0 else -1]:
                        build[1].extend(singles(build[0], kind, docs, tmp, f"single-{r}-{len(build[1])}-{kind}",
                                                args.singles))
                a, b = statistics.median(this_t), statistics.median(before_t)
                print(f"  {kind:8} this {a * 1e6:8.1f} us   before {b * 1e6:8.1f} us   ratio {a / b:.2f}x")
    finally:
        ticker.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
