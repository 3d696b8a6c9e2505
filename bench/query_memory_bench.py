"""Memory benchmark: what threads keep after on-disk vector queries, this build against another.

One database file is built (with this build) holding --vectors documents,
each with a --dim float vector, under an on-disk vector index
(create_vector_index_ondisk), so the graph has that many node ids. Then, for
each build and for 1 and for --threads threads, a process of its own opens
the file and its threads each run --queries queries,
query().vector(field, q, 10).limit(10).run(), and stay alive, idle: the
resident anonymous memory (RssAnon, after malloc_trim, as churn_bench.py
measures it) is read then, while every thread still exists. The table shows
each build's memory with 1 thread and with --threads threads, and the
difference: what the extra idle threads keep; and the rate of the queries
(all threads' over the time until the last one ended).

Run: python3 bench/query_memory_bench.py --module build/rel/binding/_native.abi3.so
       --baseline /path/to/old/_native.abi3.so [--vectors 300000] [--threads 32]
"""

import argparse
import array
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from churn_bench import rss_bytes
from modload import load_module

K = 10
MiB = 1 << 20


def random_vectors(n, dim, seed):
    rng = random.Random(seed)
    return [array.array("f", [rng.random() for _ in range(dim)]) for _ in range(n)]


def build(module, path, n, dim):
    px = load_module(module, "pallix_build")
    db = px.Db.open(path)
    c = db.collection("v")
    step = 50_000
    for start in range(0, n, step):
        vecs = random_vectors(min(step, n - start), dim, start)
        c.insert_many([(f"k{start + i:07d}", {"e": v}) for i, v in enumerate(vecs)])
    c.create_vector_index_ondisk("e", "l2")
    c.close()
    db.close()


def measure(args):
    """In this process: opens the file with one build, runs the threads'
    queries, and prints one JSON line with the memory while they idle."""
    px = load_module(args.measure, "pallix_measured")
    db = px.Db.open(args.db_path)
    c = db.collection("v")
    queries = random_vectors(args.threads * args.queries, args.dim, 12345)
    rss_open = rss_bytes()
    done = threading.Barrier(args.threads + 1)
    release = threading.Event()
    errors = []

    def worker(t):
        try:
            for q in queries[t * args.queries:(t + 1) * args.queries]:
                rows = c.query().vector("e", q, K).limit(K).run()
                assert len(rows) == K
        except Exception as e:  # reported by the parent
            errors.append(repr(e))
        done.wait()
        release.wait()

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(args.threads)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    done.wait()
    seconds = time.perf_counter() - start
    rss_idle = rss_bytes()
    release.set()
    for t in threads:
        t.join()
    c.close()
    db.close()
    print(json.dumps({"open": rss_open, "idle": rss_idle, "rate": args.threads * args.queries / seconds,
                      "errors": errors}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--module", required=True, help="this build's _native extension file")
    ap.add_argument("--baseline", required=True, help="the other build's _native extension file")
    ap.add_argument("--vectors", type=int, default=300_000)
    ap.add_argument("--dim", type=int, default=8)
    ap.add_argument("--threads", type=int, default=32)
    ap.add_argument("--queries", type=int, default=100, help="queries per thread")
    ap.add_argument("--measure", help=argparse.SUPPRESS)
    ap.add_argument("--db-path", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        measure(args)
        return

    base_dir = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-qmem-", dir=base_dir)
    try:
        path = os.path.join(tmp, "v.db")
        build(args.module, path, args.vectors, args.dim)
        rows = []
        for label, module in (("this", args.module), ("base", args.baseline)):
            rss = {}
            for threads in (1, args.threads):
                cmd = [sys.executable, __file__, "--module", args.module, "--baseline", args.baseline,
                       "--measure", module, "--db-path", path, "--threads", str(threads),
                       "--queries", str(args.queries), "--dim", str(args.dim)]
                out = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()
                                 .splitlines()[-1])
                if out["errors"]:
                    sys.exit(f"{label}, {threads} threads: {out['errors'][0]}")
                rss[threads] = out
            rows.append((label, rss))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"on-disk index over {args.vectors} vectors of {args.dim} floats ({args.vectors} node ids); "
          f"{args.queries} queries (k={K}) per thread; resident anonymous memory (RssAnon after malloc_trim) "
          f"while the threads idle after their queries; queries/s: all threads' queries over the time until "
          f"the last one ended (the process's first queries: tables are made then)")
    print()
    print(f"| build | 1 thread (MiB) | {args.threads} threads (MiB) | difference (MiB) "
          f"| queries/s, 1 thread | queries/s, {args.threads} threads |")
    print("|---|---|---|---|---|---|")
    for label, rss in rows:
        one, many = rss[1]["idle"] / MiB, rss[args.threads]["idle"] / MiB
        print(f"| {label} | {one:.1f} | {many:.1f} | {many - one:.1f} "
              f"| {rss[1]['rate']:,.0f} | {rss[args.threads]['rate']:,.0f} |")


if __name__ == "__main__":
    main()
