#!/usr/bin/env python3
"""Stored vectors that no search returns, and recall, on data that breaks
graphs checked node by node: copies of one vector, a handful of distinct
vectors, far outliers, and "dot" over positive vectors.

For each build (this one: the installed pallix or --module PATH; with
--baseline PATH, another build's `_native` extension module file, in the
same process) and each graph kind (in memory: create_vector_index; on
disk: create_vector_index_ondisk), in a private in-memory database:

  clusters   --n 32-d vectors in 40 clusters (unit spread, centres at 4x),
             under "l2" and "cosine"; and the same with copies: 5% of the
             documents share one vector (as the embeddings of empty texts
             do) and 20% copy another document's vector. insert_many, then
             the declaration. "never returned": documents returned by none
             of 3 queries with k = N + 10 (from the data's mean, a stored
             vector and a random point); recall@10 of 200 queries near
             stored documents against the exact top 10 (ties count: a
             returned document as near as the 10th is a hit).
  four       1,500 documents holding 4 distinct vectors ("l2"): never
             returned after the inserts, after a delete_where of a quarter
             and after a delete_batch of another quarter.
  outliers   3,000 16-d vectors in 12 tight clusters with 3% far outliers
             ("l2"): never returned.
  dot        2,000 4-d vectors with positive components: never returned by
             the union of 400 queries of both signs with k = N + 10, and
             recall@10; and --n 32-d gaussian vectors: recall@10.

Usage: python3 bench/reach_bench.py [--n 20000] [--kinds memory,disk]
       [--module PATH] [--baseline PATH] [--only clusters,four,outliers,dot]
Needs: numpy, and pallix installed (pip install .).
"""

import argparse
import array
import sys
import time

import numpy as np

from modload import load_module

K = 10


def as_array(v):
    return array.array("f", np.asarray(v, dtype=np.float32).tobytes())


def declare(coll, kind, metric):
    if kind == "memory":
        coll.create_vector_index("e", metric)
    else:
        coll.create_vector_index_ondisk("e", metric)


def load(px, vectors, kind, metric, extra=None):
    db = px.Db.open_memory()
    coll = db.collection("c")
    entries = []
    for i, v in enumerate(vectors):
        doc = {"e": as_array(v), "n": i}
        if extra is not None:
            doc.update(extra(i))
        entries.append(("d%06d" % i, doc))
    for at in range(0, len(entries), 5000):
        coll.insert_many(entries[at : at + 5000])
    declare(coll, kind, metric)
    return db, coll


def search(coll, q, k, metric):
    return [r.key for r in coll.query().vector("e", as_array(q), k, metric).limit(k).run()]


def distances(matrix, q, metric):
    if metric == "l2":
        d = matrix - q
        return np.einsum("ij,ij->i", d, d)
    if metric == "dot":
        return -(matrix @ q)
    norms = np.linalg.norm(matrix, axis=1) * np.linalg.norm(q)
    with np.errstate(divide="ignore", invalid="ignore"):
        cos = np.where(norms > 0, (matrix @ q) / norms, 0.0)
    return 1.0 - cos


def never_returned(coll, keys, queries, metric):
    found = set()
    for q in queries:
        found.update(search(coll, q, len(keys) + 10, metric))
    return len(set(keys) - found)


def recall(coll, keys, matrix, queries, metric):
    hits = 0
    index = {k: i for i, k in enumerate(keys)}
    for q in queries:
        d = distances(matrix, q, metric)
        tenth = np.partition(d, K - 1)[K - 1]
        got = search(coll, q, K, metric)
        hits += sum(1 for k in got if d[index[k]] <= tenth + 1e-6 * max(1.0, abs(tenth)))
    return hits / (len(queries) * K)


def clusters(n, dim, rng, spread=1.0, centres=40, scale=4.0):
    c = rng.normal(size=(centres, dim)).astype(np.float32) * scale
    which = rng.integers(0, centres, size=n)
    return (c[which] + spread * rng.normal(size=(n, dim))).astype(np.float32)


def with_copies(vectors, rng):
    out = vectors.copy()
    n = len(out)
    order = rng.permutation(n)
    shared = order[: n // 20]
    out[shared] = out[order[n // 20]]
    copies = order[n // 20 + 1 : n // 20 + 1 + n // 5]
    out[copies] = out[rng.integers(0, n, size=len(copies))]
    return out


def three_points(matrix, rng):
    return [matrix.mean(axis=0), matrix[rng.integers(len(matrix))], rng.normal(size=matrix.shape[1]).astype(np.float32)]


def near_queries(matrix, rng, count, noise=0.1):
    picks = matrix[rng.integers(0, len(matrix), size=count)]
    return (picks + noise * rng.normal(size=picks.shape)).astype(np.float32)


def run_clusters(px, kind, n, out):
    rng = np.random.default_rng(1)
    plain = clusters(n, 32, rng)
    copies = with_copies(plain, np.random.default_rng(2))
    for metric in ("l2", "cosine"):
        for name, data in (("plain", plain), ("copies", copies)):
            t = time.perf_counter()
            db, coll = load(px, data, kind, metric)
            keys = ["d%06d" % i for i in range(len(data))]
            qrng = np.random.default_rng(3)
            queries = near_queries(plain, qrng, 200)
            r = recall(coll, keys, data, queries, metric)
            missing = never_returned(coll, keys, three_points(data, np.random.default_rng(4)), metric)
            out.append((f"clusters {name} {metric}", kind, missing, r, time.perf_counter() - t))
            db.close()


def run_four(px, kind, out):
    rng = np.random.default_rng(5)
    four = rng.normal(size=(4, 32)).astype(np.float32)
    data = four[rng.integers(0, 4, size=1500)]
    t = time.perf_counter()
    db, coll = load(px, data, kind, "l2", extra=lambda i: {"q": i % 4})
    keys = ["d%06d" % i for i in range(len(data))]
    pts = three_points(data, np.random.default_rng(6))
    missing = [never_returned(coll, keys, pts, "l2")]
    coll.delete_where(px.field("q").eq(0))
    keys = [k for i, k in enumerate(keys) if i % 4 != 0]
    missing.append(never_returned(coll, keys, pts, "l2"))
    gone = [k for i, k in enumerate(keys) if i % 3 == 0]
    coll.delete_batch(gone)
    keys = [k for k in keys if k not in set(gone)]
    missing.append(never_returned(coll, keys, pts, "l2"))
    out.append(("four vectors (inserts / delete_where / delete_batch)", kind, "/".join(map(str, missing)), None,
                time.perf_counter() - t))
    db.close()


def run_outliers(px, kind, out):
    rng = np.random.default_rng(7)
    data = clusters(3000, 16, rng, spread=0.05, centres=12, scale=1.0)
    far = rng.random(3000) < 0.03
    data[far] = (rng.normal(size=(int(far.sum()), 16)) * 6.0).astype(np.float32)
    t = time.perf_counter()
    db, coll = load(px, data, kind, "l2")
    keys = ["d%06d" % i for i in range(len(data))]
    missing = never_returned(coll, keys, three_points(data, np.random.default_rng(8)), "l2")
    # Each outlier by its own value, k = 10.
    lost = sum(1 for i in np.nonzero(far)[0] if keys[i] not in search(coll, data[i], K, "l2"))
    out.append(("outliers (own value misses: %d)" % lost, kind, missing, None, time.perf_counter() - t))
    db.close()


def run_dot(px, kind, n, out):
    rng = np.random.default_rng(9)
    data = rng.random(size=(2000, 4)).astype(np.float32)
    t = time.perf_counter()
    db, coll = load(px, data, kind, "dot")
    keys = ["d%06d" % i for i in range(len(data))]
    qs = rng.normal(size=(400, 4)).astype(np.float32)
    missing = never_returned(coll, keys, qs, "dot")
    r = recall(coll, keys, data, qs[:200], "dot")
    out.append(("dot positive 4-d", kind, missing, r, time.perf_counter() - t))
    db.close()
    data = rng.normal(size=(n, 32)).astype(np.float32)
    t = time.perf_counter()
    db, coll = load(px, data, kind, "dot")
    keys = ["d%06d" % i for i in range(len(data))]
    r = recall(coll, keys, data, rng.normal(size=(200, 32)).astype(np.float32), "dot")
    out.append(("dot gaussian 32-d", kind, "-", r, time.perf_counter() - t))
    db.close()


def measure(px, kinds, n, only):
    out = []
    for kind in kinds:
        if "clusters" in only:
            run_clusters(px, kind, n, out)
        if "four" in only:
            run_four(px, kind, out)
        if "outliers" in only:
            run_outliers(px, kind, out)
        if "dot" in only:
            run_dot(px, kind, n, out)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--kinds", default="memory,disk")
    ap.add_argument("--module")
    ap.add_argument("--baseline")
    ap.add_argument("--only", default="clusters,four,outliers,dot")
    args = ap.parse_args()
    if args.module:
        px = load_module(args.module, "pallix_this")
    else:
        import pallix._native as px
    builds = [("this", px)]
    if args.baseline:
        builds.append(("baseline", load_module(args.baseline, "pallix_baseline")))
    kinds = args.kinds.split(",")
    only = set(args.only.split(","))
    results = {name: measure(mod, kinds, args.n, only) for name, mod in builds}
    print(f"{'data set':55} {'graph':7} " + " ".join(f"{name + ' never returned':>24} {name + ' recall@10':>18}"
                                                         for name, _ in builds))
    for i, row in enumerate(results["this"]):
        line = f"{row[0]:55} {row[1]:7} "
        for name, _ in builds:
            r = results[name][i]
            rec = "-" if r[3] is None else f"{r[3]:.4f}"
            line += f"{str(r[2]):>24} {rec:>18}"
        print(line)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
