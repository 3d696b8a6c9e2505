#!/usr/bin/env python3
"""Vector graph queries/s of this build against earlier builds, in one process.

For each build (the installed module, or --module, and every --baseline
file): one database (a file under /dev/shm when there is one, else a
temporary directory) holding --vectors MiniLM embeddings (bench/data, else
embedding-like random vectors), with an in-memory graph
(create_vector_index) over one collection and an on-disk graph
(create_vector_index_ondisk) over another copy, both cosine. Then --rounds
rounds: in each, every build answers the same --queries queries (k=10)
through query().vector(...).run() on each graph, the builds alternating
(and the first of them rotating), one build and graph at a time.

Times are the thread's CPU seconds (time.process_time; one thread), which
the machine's other work inflates less than the wall clock. For each
graph kind and build it prints the queries/s of its fastest round, the
median over rounds of this build's time divided by that build's in the
same round (> 1.0: this build answers more queries per second), and
recall@10 against exact brute force (numpy): the builds' graphs differ,
so their rates are compared at the recall each reaches.

Usage: python3 bench/graph_builds_bench.py [--module FILE] --baseline FILE [--baseline FILE ...]
       [--vectors N] [--queries Q] [--rounds R]
Needs: numpy.
"""

import argparse
import array
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from churn_bench import load_vectors  # noqa: E402
from modload import load_module  # noqa: E402

K = 10
KINDS = ("memory", "disk")


class Build:
    """One build's database and its two graphs over the same vectors."""

    def __init__(self, px, label, tmp, vectors):
        self.label = label
        self.db = px.Db.open(os.path.join(tmp, label + ".db"))
        self.colls = {}
        for kind in KINDS:
            c = self.db.collection("v_" + kind)
            c.insert_many([(f"v:{i:06d}", {"e": array.array("f", v.tobytes())}) for i, v in enumerate(vectors)])
            if kind == "memory":
                c.create_vector_index("e", "cosine")
            else:
                c.create_vector_index_ondisk("e", "cosine")
            self.colls[kind] = c

    def search(self, kind, queries):
        """The rows found for each query, and the CPU seconds taken."""
        query = self.colls[kind].query
        t = time.process_time()
        found = [query().vector("e", q, K, "cosine").limit(K).run() for q in queries]
        return found, time.process_time() - t

    def close(self):
        for c in self.colls.values():
            c.close()
        self.db.close()


def key_of(row):
    key = row[0] if isinstance(row, tuple) else row["_key"] if isinstance(row, dict) else row.key
    return int(key.split(":")[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--module", help="this build's _native extension file (default: the installed package's)")
    ap.add_argument("--baseline", action="append", required=True, help="another build's _native file")
    ap.add_argument("--vectors", type=int, default=20_000)
    ap.add_argument("--queries", type=int, default=500)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()

    if args.module:
        mods = {"this": load_module(args.module, "pallix_this")}
    else:
        import pallix._native as native
        mods = {"this": native}
    for i, path in enumerate(args.baseline):
        mods[f"base{i + 1}"] = load_module(path, f"pallix_base{i + 1}")
    names = list(mods)

    vectors, source = load_vectors(args.vectors + args.queries, args.seed)
    rng = np.random.default_rng(args.seed)
    pick = rng.permutation(vectors.shape[0])[: args.vectors + args.queries]
    base, qs = vectors[pick[: args.vectors]], vectors[pick[args.vectors:]]
    queries = [array.array("f", q.tobytes()) for q in qs]
    b = base.astype(np.float64)
    b /= np.linalg.norm(b, axis=1, keepdims=True)
    exact = np.argsort(-(qs.astype(np.float64) @ b.T), axis=1, kind="stable")[:, :K]

    base_dir = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-graphs-", dir=base_dir)
    times = {(n, kind): [] for n in names for kind in KINDS}
    recall = {}
    try:
        builds = {}
        for n in names:
            t = time.process_time()
            builds[n] = Build(mods[n], n, tmp, base)
            print(f"{n}: built both graphs in {time.process_time() - t:.1f} CPU s", flush=True)
        for n in names:  # warm: pages mapped, tables filled; recall from the same answers
            for kind in KINDS:
                found, _ = builds[n].search(kind, queries)
                hits = sum(len({key_of(r) for r in rows} & set(e.tolist())) for rows, e in zip(found, exact))
                recall[(n, kind)] = hits / exact.size
        for rnd in range(args.rounds):
            turn = names[rnd % len(names):] + names[: rnd % len(names)]
            for kind in KINDS:
                for n in turn:
                    times[(n, kind)].append(builds[n].search(kind, queries)[1])
        for bld in builds.values():
            bld.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"\n{source}: {args.vectors} vectors, {args.queries} queries, k={K}, cosine; {args.rounds} rounds, "
          f"builds alternating; CPU time of one thread")
    for i, path in enumerate(args.baseline):
        print(f"base{i + 1} = {path}")
    print(f"{'graph':<8}{'build':<8}{'best q/s':>10}{'recall@10':>11}{'this/build q/s (median of rounds)':>36}")
    for kind in KINDS:
        for n in names:
            t = times[(n, kind)]
            ratio = statistics.median(b_ / a_ for a_, b_ in zip(times[("this", kind)], t))
            print(f"{kind:<8}{n:<8}{args.queries / min(t):>10.0f}{recall[(n, kind)]:>11.4f}{ratio:>36.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
