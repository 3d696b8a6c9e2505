"""Read-path benchmark: this build against another build of the module, side by side.

Times, for each build, in one run:

- get: point reads of random keys from a collection of --docs documents
  (operations/s);
- vector query: an on-disk vector index (create_vector_index_ondisk) over
  --vectors vectors, queried through the Python API,
  query().vector(field, q, 10).limit(10).run() (seconds for --queries queries);
- update: update(key, callback) whose callback increments a field, on
  random keys (seconds for --updates updates).

Each build has its own databases, filled with the same data. Repetitions
interleave the builds (this, baseline, this, baseline, ...), and each figure
is the median of the per-repetition ratios (and each build's fastest
and median repetition) over --reps. A build that is loaded first into a process can
run at another speed than the second (where each lands in memory), so by
default the run starts processes for both load orders, and prints both
orders' ratios: ours/base rate for get (>= 1.0 is as fast or faster), time
ratios ours/base for the vector query and update (<= 1.0 is as fast or
faster). Where each build lands also changes from one process to the next
(address space layout is random), by a few percent either way; so each
order runs in --processes processes (alternating with the other order),
and an order's figure is the median of its processes' paired ratios.

Vectors: MiniLM embeddings from bench/data when present, else a random
embedding-like set (the same generator as churn_bench.py).

Run: python3 bench/read_bench.py --module build/rel/binding/_native.abi3.so
       --baseline /path/to/old/_native.abi3.so [--db file|memory] [--reps 7]
Needs: numpy.
"""

import argparse
import array
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from churn_bench import load_vectors
from modload import load_module
from sample_docs import make_docs

K = 10


def increment(doc):
    doc["n"] += 1
    return doc


class Build:
    """One build's databases, filled with the benchmark's data."""

    def __init__(self, px, label, tmp, db_kind, docs, vectors, n_counters):
        self.label = label
        self.px = px
        if db_kind == "memory":
            self.db = px.Db.open_memory()
        else:
            self.db = px.Db.open(os.path.join(tmp, label + ".db"))
        self.docs = self.db.collection("docs")
        self.docs.insert_many(docs)
        self.vecs = self.db.collection("vecs")
        self.vecs.insert_many([(f"v:{i:06d}", {"e": array.array("f", v.tobytes()), "n": i})
                               for i, v in enumerate(vectors)])
        self.vecs.create_vector_index_ondisk("e", "cosine")
        self.counters = self.db.collection("counters")
        self.counters.insert_many([(f"c:{i:05d}", {"n": 0, "name": f"counter {i}"}) for i in range(n_counters)])

    def time_get(self, keys):
        get = self.docs.get
        t = time.perf_counter()
        for k in keys:
            get(k)
        return time.perf_counter() - t

    def time_query(self, queries):
        query = self.vecs.query
        t = time.perf_counter()
        for q in queries:
            rows = query().vector("e", q, K, "cosine").limit(K).run()
        dt = time.perf_counter() - t
        assert len(rows) == K
        return dt

    def time_update(self, keys):
        update = self.counters.update
        t = time.perf_counter()
        for k in keys:
            update(k, increment)
        return time.perf_counter() - t

    def close(self):
        for c in (self.docs, self.vecs, self.counters):
            c.close()
        self.db.close()


def run_one_order(args):
    """Measures both builds in this process, loaded in args.order; prints one
    JSON line with the medians."""
    paths = {"this": args.module, "base": args.baseline}
    order = args.order.split(",")
    mods = {name: load_module(paths[name], f"pallix_{name}") for name in order}
    docs = make_docs(args.docs)
    rng = random.Random(args.seed)
    get_keys = [docs[rng.randrange(len(docs))][0] for _ in range(args.gets)]
    vectors, source = load_vectors(args.vectors + args.queries, args.seed)
    vectors = vectors[: args.vectors + args.queries]
    queries = [array.array("f", q.tobytes()) for q in vectors[args.vectors:]]
    upd_keys = [f"c:{rng.randrange(args.counters):05d}" for _ in range(args.updates)]
    base_dir = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-read-", dir=base_dir)
    times = {name: {"get": [], "query": [], "update": []} for name in order}
    try:
        builds = {name: Build(mods[name], name, tmp, args.db, docs, vectors[: args.vectors], args.counters)
                  for name in order}
        for b in builds.values():  # warm: pages mapped, caches filled
            b.time_get(get_keys[:10000])
            b.time_query(queries[:20])
            b.time_update(upd_keys[:1000])
        load0 = os.getloadavg()[0]
        for rep in range(args.reps):
            # One kind of work at a time, the builds alternating (and which
            # goes first alternating too), so that a change in the
            # machine's load lands on both.
            turn = order if rep % 2 == 0 else order[::-1]
            for name in turn:
                times[name]["get"].append(builds[name].time_get(get_keys))
            for name in turn:
                times[name]["query"].append(builds[name].time_query(queries))
            for name in turn:
                times[name]["update"].append(builds[name].time_update(upd_keys))
        load1 = os.getloadavg()[0]
        for b in builds.values():
            b.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    med = {name: {w: statistics.median(v) for w, v in t.items()} for name, t in times.items()}
    best = {name: {w: min(v) for w, v in t.items()} for name, t in times.items()}
    # Each repetition times both builds back to back: the median of those
    # pairs' ratios leaves out what the machine's load did between them.
    paired = {w: statistics.median(a / b for a, b in zip(times["this"][w], times["base"][w]))
              for w in ("get", "query", "update")}
    print(json.dumps({"order": order, "source": source, "load": [load0, load1], "median": med, "best": best,
                      "paired": paired, "all": times}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--module", required=True, help="this build's _native extension file")
    ap.add_argument("--baseline", required=True, help="the other build's _native extension file")
    ap.add_argument("--order", help="this,base or base,this: measure in this process, in that load order "
                                    "(default: both orders, one process each)")
    ap.add_argument("--db", choices=["file", "memory"], default="file",
                    help="databases in files (in /dev/shm when there is one) or in memory")
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--gets", type=int, default=100_000)
    ap.add_argument("--vectors", type=int, default=10_000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--counters", type=int, default=1000)
    ap.add_argument("--updates", type=int, default=5_000)
    ap.add_argument("--reps", type=int, default=15)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--processes", type=int, default=3, help="processes per load order")
    args = ap.parse_args()
    if args.order:
        run_one_order(args)
        return

    runs = {"this,base": [], "base,this": []}
    for _ in range(args.processes):
        for order in runs:
            cmd = [sys.executable, __file__, "--order", order] + sys.argv[1:]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            runs[order].append(json.loads(out.strip().splitlines()[-1]))
    first = runs["this,base"][0]
    print(f"{first['source']}; {args.db} databases; get: {args.gets} of {args.docs} documents; "
          f"vector query: {args.queries} queries, k={K}, on-disk index over {args.vectors}; "
          f"update: {args.updates} on {args.counters} documents; {args.reps} interleaved repetitions "
          f"in each of {args.processes} processes per load order")
    print("paired: the median over repetitions of the ratio of the two builds' times in that repetition "
          "(timed back to back), one row per process, then the median over an order's processes; "
          "best: each build's fastest repetition; median: each build's median one")
    print()
    print("| load order | figure | load avg | get this (op/s) | get base (op/s) | get rate ratio | query this (ms) "
          "| query base (ms) | query time ratio | update this (us) | update base (us) | update time ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for order, results in runs.items():
        name = " then ".join(order.split(","))
        for i, r in enumerate(results):
            p = r["paired"]
            print(f"| {name} | paired, process {i + 1} | {r['load'][0]:.1f}-{r['load'][1]:.1f} | | "
                  f"| {1 / p['get']:.3f} | | | {p['query']:.3f} | | | {p['update']:.3f} |")
        med = {w: statistics.median(r["paired"][w] for r in results) for w in ("get", "query", "update")}
        print(f"| {name} | **paired, median of {len(results)}** | | | | **{1 / med['get']:.3f}** | | "
              f"| **{med['query']:.3f}** | | | **{med['update']:.3f}** |")
    for order, results in runs.items():
        r = results[0]
        for figure in ("best", "median"):
            t, b = r[figure]["this"], r[figure]["base"]
            print(f"| {' then '.join(r['order'])} | {figure}, process 1 | {r['load'][0]:.1f}-{r['load'][1]:.1f} "
                  f"| {args.gets / t['get']:,.0f} | {args.gets / b['get']:,.0f} | {b['get'] / t['get']:.3f} "
                  f"| {t['query'] / args.queries * 1e3:.3f} | {b['query'] / args.queries * 1e3:.3f} "
                  f"| {t['query'] / b['query']:.3f} "
                  f"| {t['update'] / args.updates * 1e6:.2f} | {b['update'] / args.updates * 1e6:.2f} "
                  f"| {t['update'] / b['update']:.3f} |")


if __name__ == "__main__":
    main()
