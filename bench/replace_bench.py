#!/usr/bin/env python3
"""What one write that replaces or removes a vector costs, against other builds.

A write of a document over a key whose vector changes replaces the key's
node in the vector graph (the old node is removed, the graph repaired around
it, the new vector inserted); a delete removes the node. This benchmark
times those two single writes on a graph that starts fresh, for each index
kind (in memory: create_vector_index; on disk: create_vector_index_ondisk;
both cosine), for this build and each --baseline build in one process.

Data: the all-MiniLM-L6-v2 embeddings of bench/data (dim 384) when present,
else seeded embedding-like random vectors. The first --docs vectors are the
documents; replacement vectors are drawn from the vectors after them
("far": another paragraph's vector) or are the document's own vector plus a
little noise ("near": an edit of the paragraph).

Each build gets its own database with the same documents and the same write
sequence: --replaces replacements (half far, half near, interleaved), then
--deletes deletes of distinct documents. The builds take turns, a chunk of
--chunk writes each, so that the machine's load falls on all of them alike;
each write's time is the process CPU time (time.process_time) of the call.
Prints per kind and write kind the mean time per write of each build and
the ratio of this build to each baseline.

With --recall N: instead, for this build and each baseline, N documents
(default all of bench/data less the queries) are indexed in memory, --replaces
far replacements applied, and recall@10 of 200 held-out queries against
exact cosine over the live documents printed, with the results' digest.

Usage: python3 bench/replace_bench.py [--docs 10000] [--replaces 2000]
       [--deletes 500] [--chunk 100] [--kinds memory,disk] [--module PATH]
       [--baseline PATH ...] [--recall N]
"""

import argparse
import array
import hashlib
import json
import os
import shutil
import sys
import tempfile
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
        return np.fromfile(path, dtype="<f4").reshape(info["n"], info["dim"]), "MiniLM embeddings"
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(24, 384)).astype(np.float32)
    latent = rng.normal(size=(n_needed, 24)).astype(np.float32)
    v = latent @ mixing + 0.3 * rng.normal(size=(n_needed, 384)).astype(np.float32)
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v.astype(np.float32), "random embedding-like vectors"


def as_array(v):
    return array.array("f", v.astype(np.float32).tobytes())


def key_of(i):
    return "d%06d" % i


def declare(coll, kind):
    if kind == "memory":
        coll.create_vector_index("e", "cosine")
    else:
        coll.create_vector_index_ondisk("e", "cosine")


def search(coll, q):
    return coll.query().vector("e", q, K, "cosine").limit(K).run()


def build(px, kind, docs, tmp, name):
    db = px.Db.open(os.path.join(tmp, name))
    coll = db.collection("docs")
    for at in range(0, len(docs), 5000):
        coll.insert_many([(key_of(at + i), {"e": as_array(v)}) for i, v in enumerate(docs[at:at + 5000])])
    declare(coll, kind)
    search(coll, as_array(docs[0]))  # loads an in-memory graph
    return db, coll


def plan(docs, pool, n_replaces, n_deletes, seed):
    """[(op, key, vector or None)]: replacements (far and near taking turns)
    then deletes of distinct keys."""
    rng = np.random.default_rng(seed)
    ops = []
    for i in range(n_replaces):
        d = int(rng.integers(len(docs)))
        if i % 2 == 0:
            v = pool[i % len(pool)]
            ops.append(("far", key_of(d), v))
        else:
            v = docs[d] + 0.05 * rng.normal(size=docs.shape[1]).astype(np.float32) / np.sqrt(docs.shape[1])
            ops.append(("near", key_of(d), v))
    for d in rng.permutation(len(docs))[:n_deletes]:
        ops.append(("delete", key_of(int(d)), None))
    return ops


def run_chunk(coll, ops, totals):
    for op, key, v in ops:
        t = time.process_time()
        if v is None:
            coll.delete(key)
        else:
            coll.insert(key, {"e": as_array(v)})
        took = time.process_time() - t
        s, n = totals.get(op, (0.0, 0))
        totals[op] = (s + took, n + 1)


def digest(coll, queries):
    h = hashlib.sha256()
    for q in queries:
        for r in search(coll, as_array(q)):
            h.update(r.key.encode())
    return h.hexdigest()[:16]


def timing(builds, args, vectors, tmp):
    docs = vectors[:args.docs]
    pool = vectors[args.docs + 200:]
    queries = vectors[args.docs:args.docs + 200]
    ops = plan(docs, pool, args.replaces, args.deletes, args.seed)
    for kind in args.kinds.split(","):
        opened = []
        for name, px in builds:
            opened.append(build(px, kind, docs, tmp, f"{kind}-{name}"))
        totals = [{} for _ in builds]
        for at in range(0, len(ops), args.chunk):
            chunk = ops[at:at + args.chunk]
            # Take turns, and change who goes first each chunk.
            order = list(range(len(builds)))
            if (at // args.chunk) % 2:
                order.reverse()
            for b in order:
                run_chunk(opened[b][1], chunk, totals[b])
        digests = [digest(c, queries[:50]) for _, c in opened]
        for db, coll in opened:
            coll.close()
            db.close()
        print(f"\n{kind}: {args.docs} documents, mean CPU ms per write")
        header = f"  {'write':8}" + "".join(f"{n:>12}" for n, _ in builds)
        header += "".join(f"{'/' + n:>12}" for n, _ in builds[1:])
        print(header)
        for op in ("far", "near", "delete"):
            means = [t[op][0] / t[op][1] * 1e3 if op in t else float("nan") for t in totals]
            row = f"  {op:8}" + "".join(f"{m:12.3f}" for m in means)
            row += "".join(f"{means[0] / m:12.2f}" for m in means[1:])
            print(row)
        print("  digest of 50 queries after:", " ".join(digests))


def recall(builds, args, vectors, tmp):
    queries = vectors[-200:]
    n = min(args.recall, len(vectors) - 200)
    docs = vectors[:n]
    pool = vectors[n:len(vectors) - 200]
    rng = np.random.default_rng(args.seed)
    live = docs.copy()
    ops = []
    for i in range(args.replaces):
        d = int(rng.integers(n))
        # Far replacements: the pool, then the mean of two other documents'
        # vectors (a vector like theirs that no document has).
        if i < len(pool):
            v = pool[i]
        else:
            v = docs[int(rng.integers(n))] + docs[int(rng.integers(n))]
            v = (v / np.linalg.norm(v)).astype(np.float32)
        ops.append((key_of(d), v))
        live[d] = v
    unit = live / np.linalg.norm(live, axis=1, keepdims=True)
    exact = []
    for q in queries:
        sims = unit @ (q / np.linalg.norm(q))
        exact.append({key_of(int(j)) for j in np.argpartition(-sims, K)[:K]})
    for name, px in builds:
        t0 = time.process_time()
        db, coll = build(px, "memory", docs, tmp, f"recall-{name}")
        t1 = time.process_time()
        before = sum(len(e & {r.key for r in search(coll, as_array(q))}) for q, e in zip(queries, [
            {key_of(int(j)) for j in np.argpartition(-(docs / np.linalg.norm(docs, axis=1, keepdims=True)) @ (q / np.linalg.norm(q)), K)[:K]}
            for q in queries]))
        t2 = time.process_time()
        for key, v in ops:
            coll.insert(key, {"e": as_array(v)})
        t3 = time.process_time()
        found = sum(len(e & {r.key for r in search(coll, as_array(q))}) for q, e in zip(queries, exact))
        print(f"  {name}: build {t1 - t0:.1f} s CPU, recall@10 fresh {before / (len(queries) * K):.4f}, "
              f"after {len(ops)} replacements {found / (len(queries) * K):.4f} "
              f"({(t3 - t2) / len(ops) * 1e3:.3f} ms CPU each), digest {digest(coll, queries)}", flush=True)
        coll.close()
        db.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--docs", type=int, default=10000)
    ap.add_argument("--replaces", type=int, default=2000)
    ap.add_argument("--deletes", type=int, default=500)
    ap.add_argument("--chunk", type=int, default=100)
    ap.add_argument("--kinds", default="memory,disk")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--module", help="the _native extension file to measure (default: import pallix._native)")
    ap.add_argument("--baseline", action="append", default=[], help="another build's _native file (repeatable)")
    ap.add_argument("--recall", type=int, default=0, help="documents of the recall run (0: timing run)")
    args = ap.parse_args()

    if args.module:
        px = load_module(args.module, "pallix_this")
    else:
        import pallix._native as px
    builds = [("this", px)]
    for i, path in enumerate(args.baseline):
        name = Path(path).resolve().parts
        label = next((p for p in name if p.startswith("base-")), f"base{i}")
        builds.append((label.removeprefix("base-")[:7], load_module(path, f"pallix_base{i}")))
    vectors, source = load_vectors(max(args.docs, args.recall) + 200 + args.replaces, args.seed)
    print(f"{source}, dim {vectors.shape[1]}")
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="pallix-replace-", dir=base)
    try:
        if args.recall:
            recall(builds, args, vectors, tmp)
        else:
            timing(builds, args, vectors, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
