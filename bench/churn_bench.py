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

Prints per kind: latency fresh / churned and their ratio (the target is at
most 2), recall@10 churned and fresh, the time the writes took, and for the
in-memory kind the growth of the process's anonymous resident memory (the
heap, not the database file's mapped pages) over the writes.

Databases live in a temporary directory (in /dev/shm when there is one, so
commits do not wait for a disk).

Usage: python3 bench/churn_bench.py [--docs 10000] [--writes 100000]
       [--queries 200] [--passes 3] [--kinds memory,disk] [--seed 7]
Needs: numpy, and pallix installed (pip install .).
"""

import argparse
import array
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import pallix._native as px

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
    """Anonymous resident memory: the heap, without the database file's mapped pages."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def as_array(v):
    return array.array("f", v.tobytes())


def doc_of(v, n):
    return {"e": as_array(v), "n": n, "t": "paragraph %d" % n}


def open_db(tmp, name, kind):
    path = os.path.join(tmp, name)
    return px.Db.open(path)


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


def churn(coll, live, removed, pool, n_writes, seed, report):
    rng = random.Random(seed)
    live_keys = list(live)
    where = {k: i for i, k in enumerate(live_keys)}
    removed_keys = list(removed)
    pool_at = 0
    counts = {"patch": 0, "replace": 0, "delete": 0, "reinsert": 0}

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

    start = time.perf_counter()
    for step in range(n_writes):
        r = rng.random()
        if r < 0.15 and len(live_keys) > K:
            key = take_live()
            coll.delete(key)
            removed[key] = live.pop(key)
            drop_live(key)
            removed_keys.append(key)
            counts["delete"] += 1
        elif r < 0.35 and removed_keys:
            key = removed_keys.pop(rng.randrange(len(removed_keys)))
            v = removed.pop(key)
            coll.insert(key, doc_of(v, step))
            live[key] = v
            add_live(key)
            counts["reinsert"] += 1
        elif r < 0.60:
            key = take_live()
            if pool_at < len(pool):
                v = pool[pool_at]
                pool_at += 1
            else:
                base = live[take_live()]
                v = base + 0.05 * np.asarray([rng.gauss(0, 1) for _ in range(base.shape[0])], dtype=np.float32)
                v = (v / np.linalg.norm(v)).astype(np.float32)
            coll.insert(key, doc_of(v, step))
            live[key] = v
            counts["replace"] += 1
        else:
            coll.patch(take_live(), {"n": step})
            counts["patch"] += 1
        if report and (step + 1) % report == 0:
            print(f"    {step + 1} writes, {time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
    return time.perf_counter() - start, counts


def run_kind(kind, vectors, args, tmp):
    docs = vectors[: args.docs]
    queries = vectors[args.docs: args.docs + args.queries]
    pool = vectors[args.docs + args.queries:]
    live = {"d%06d" % i: docs[i] for i in range(args.docs)}
    removed = {}

    db = open_db(tmp, kind + "-churn", kind)
    coll = db.collection("docs")
    coll.insert_many([(k, doc_of(v, i)) for i, (k, v) in enumerate(live.items())])
    declare(coll, kind)
    start_ms, start_recall = measure(coll, queries, live, args.passes)
    rss_before = rss_bytes()
    seconds, counts = churn(coll, live, removed, pool, args.writes, args.seed, args.report)
    rss_growth = rss_bytes() - rss_before
    churned_ms, churned_recall = measure(coll, queries, live, args.passes)
    coll.close()
    db.close()

    fresh_db = open_db(tmp, kind + "-fresh", kind)
    fresh = fresh_db.collection("docs")
    fresh.insert_many([(k, doc_of(v, i)) for i, (k, v) in enumerate(live.items())])
    declare(fresh, kind)
    fresh_ms, fresh_recall = measure(fresh, queries, live, args.passes)
    fresh.close()
    fresh_db.close()
    return {
        "kind": kind, "start_ms": start_ms, "start_recall": start_recall, "churned_ms": churned_ms,
        "churned_recall": churned_recall, "fresh_ms": fresh_ms, "fresh_recall": fresh_recall,
        "write_s": seconds, "counts": counts, "live": len(live), "rss_growth": rss_growth,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--docs", type=int, default=10000)
    ap.add_argument("--writes", type=int, default=100000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--kinds", default="memory,disk")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--report", type=int, default=0, help="print progress every N writes")
    args = ap.parse_args()

    vectors, source = load_vectors(args.docs + args.queries + args.writes // 4 + 1, args.seed)
    if vectors.shape[0] < args.docs + args.queries:
        sys.exit(f"only {vectors.shape[0]} vectors: fewer than --docs + --queries")
    print(f"{source}: {args.docs} documents, {args.queries} queries, {args.writes} writes, k={K}, cosine")
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-churn-", dir=base)
    print()
    print("| index | live docs | fresh ms | churned ms | churned / fresh | recall churned | recall fresh "
          "| first graph ms | writes s | RSS growth MiB |")
    print("|---|---|---|---|---|---|---|---|---|---|", flush=True)
    counts = None
    try:
        # Each kind's row as soon as it is measured: a long run keeps what it
        # has if it is stopped.
        for kind in args.kinds.split(","):
            r = run_kind(kind, vectors, args, tmp)
            counts = r["counts"]
            rss = f"{r['rss_growth'] / 2**20:.0f}" if r["kind"] == "memory" else "-"
            print(f"| {r['kind']} | {r['live']} | {r['fresh_ms']:.3f} | {r['churned_ms']:.3f} "
                  f"| {r['churned_ms'] / r['fresh_ms']:.2f}x | {r['churned_recall']:.4f} | {r['fresh_recall']:.4f} "
                  f"| {r['start_ms']:.3f} | {r['write_s']:.1f} | {rss} |", flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if counts:
        print(f"\nwrites: {counts['patch']} patches, {counts['replace']} replacements, {counts['delete']} deletes, "
              f"{counts['reinsert']} re-inserts")


if __name__ == "__main__":
    main()
