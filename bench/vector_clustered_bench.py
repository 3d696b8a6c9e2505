#!/usr/bin/env python3
"""Every stored vector found by its own value: pallix's vector graphs against hnswlib, faiss and usearch on clusters.

Data: 20 tight clusters of 100 points in 16 dimensions (centres spread 1 per
component, so about 4 from the origin and 5.7 from each other; points 0.01
per component around them) and 20 far outliers (--far from the origin, 5 by
default: a hundred cluster radii from any cluster), in one shuffled order
with a fixed seed, so that about half the outliers arrive after the clusters
have filled their nodes' neighbour lists. A graph that links each node to its
nearest nodes alone falls apart here into one island per cluster, and a far
point that every neighbour prunes is never found again. Farther outliers
(--far 10 or 30) are found by no graph here every time: a query far from
every cluster ranks the clusters by little more than their direction, and
an ef-64 search can settle in a cluster next to the right one.

Every graph is built in that order with M=16 (32 links on layer 0),
ef_construction=128, one thread, and searched for the value of each stored
vector with k=10 and ef=64 (ours: the layer-0 width is 64 for any k up to 16,
so the first hit is that of a k=1 search). Columns: missed = vectors whose
own row is not the first hit (of them, outliers), and recall@10 against exact
brute force.

Ours, through bench/vector_real_bench.cc: in memory (HnswIndex), on disk in a
database file (built in transactions of 1,000 upserts, searched as written)
and the same file opened again by a new process. Peers from PyPI: hnswlib,
faiss (IndexHNSWFlat), usearch. Targets: ours at most 0.5% missed and no
outlier missed, in memory and on disk, before and after reopening.

Usage: python3 bench/vector_clustered_bench.py [--metrics l2,cosine] [--binary PATH] [--seeds FIRST-LAST]
With --seeds, ours alone over one data set per seed (the seed of the data
draw), each line its misses, then the totals.
Needs: pip install numpy hnswlib faiss-cpu usearch. Run it as
  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 bench/vector_clustered_bench.py
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vector_bench as vb  # noqa: E402  (the peers and the vector file)

CLUSTERS, PER_CLUSTER, OUTLIERS, DIM = 20, 100, 20, 16
SEED = 18


def clustered(spread, far_at, seed=SEED):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(CLUSTERS, DIM))
    points = np.repeat(centres, PER_CLUSTER, axis=0) + spread * rng.normal(size=(CLUSTERS * PER_CLUSTER, DIM))
    far = rng.normal(size=(OUTLIERS, DIM))
    far = far_at * far / np.linalg.norm(far, axis=1, keepdims=True)
    vectors = np.concatenate([points, far]).astype(np.float32)
    outlier = np.zeros(vectors.shape[0], dtype=bool)
    outlier[-OUTLIERS:] = True
    order = rng.permutation(vectors.shape[0])
    return np.ascontiguousarray(vectors[order]), outlier[order]


def run_ours(binary, data_path, results_path, metric, mode, n, db=None):
    env = dict(os.environ)
    if db is not None:
        env["VECTOR_BENCH_DB"] = str(db)
    out = subprocess.run([str(binary), str(data_path), str(results_path), metric, mode, str(vb.K), "1"],
                         check=True, capture_output=True, text=True, env=env)
    stats = json.loads(out.stdout.strip().splitlines()[-1])
    return stats, np.fromfile(results_path, dtype="<i4").reshape(n, vb.K).astype(np.int64)


def bench_metric(metric, binary, scratch, spread, far_at):
    vectors, outlier = clustered(spread, far_at)
    n = vectors.shape[0]
    data_path = scratch / f"clustered_{metric}.bin"
    results_path = scratch / f"clustered_{metric}_results.bin"
    vb.write_vectors(data_path, vectors, vectors)
    exact = vb.exact_neighbours(vectors, vectors, metric, vb.K)

    rows = []
    _, found = run_ours(binary, data_path, results_path, metric, "memory", n)
    rows.append(("pallix memory", found))
    db = scratch / f"clustered_{metric}.db"
    _, found = run_ours(binary, data_path, results_path, metric, "disk-file", n, db)
    rows.append(("pallix disk", found))
    _, found = run_ours(binary, data_path, results_path, metric, "disk-file", n, db)
    rows.append(("pallix disk reopened", found))
    for cls in (vb.Hnswlib, vb.Faiss, vb.Usearch):
        # faiss ranks cosine by inner product, which needs unit vectors.
        given = vectors
        if cls is vb.Faiss and metric == "cosine":
            given = np.ascontiguousarray(vectors / np.linalg.norm(vectors, axis=1, keepdims=True), dtype=np.float32)
        peer = cls()
        peer.build(given, metric)
        rows.append((cls.name, peer.search(given, vb.EF)))

    print(f"\n{metric}: {CLUSTERS} clusters of {PER_CLUSTER} + {OUTLIERS} outliers = {n} vectors, dim {DIM}; "
          f"M={vb.M} ef_construction={vb.EF_CONSTRUCTION} ef={vb.EF}, one thread; each vector searched by its value")
    print(f"{'system':<22}{'missed':>8}{'missed %':>10}{'outliers missed':>17}{'recall@10':>11}")
    results = {}
    for name, found in rows:
        missed = found[:, 0] != np.arange(n)
        results[name] = (int(missed.sum()), int((missed & outlier).sum()))
        print(f"{name:<22}{missed.sum():>8}{100.0 * missed.mean():>10.2f}{(missed & outlier).sum():>17}"
              f"{vb.recall(found, exact):>11.4f}")
    limit = n * 0.005
    for name in ("pallix memory", "pallix disk", "pallix disk reopened"):
        missed, outliers = results[name]
        met = missed <= limit and outliers == 0
        print(f"  target {name}: <= 0.5% missed and no outlier: {missed} ({100.0 * missed / n:.2f}%), "
              f"{outliers} outliers {'met' if met else 'MISSED'}")


def sweep_seeds(metric, binary, scratch, spread, far_at, seeds):
    """Ours only, over one data set per seed: the misses of each and the outliers missed in all."""
    totals = {"pallix memory": [0, 0], "pallix disk": [0, 0]}
    print(f"\n{metric}: {len(seeds)} data sets (seeds {seeds[0]}-{seeds[-1]}), each vector searched by its value")
    for seed in seeds:
        vectors, outlier = clustered(spread, far_at, seed)
        n = vectors.shape[0]
        data_path = scratch / f"clustered_{metric}_{seed}.bin"
        results_path = scratch / f"clustered_{metric}_{seed}_results.bin"
        vb.write_vectors(data_path, vectors, vectors)
        line = []
        for name, mode in (("pallix memory", "memory"), ("pallix disk", "disk-file")):
            _, found = run_ours(binary, data_path, results_path, metric, mode, n)
            missed = found[:, 0] != np.arange(n)
            totals[name][0] += int(missed.sum())
            totals[name][1] += int((missed & outlier).sum())
            line.append(f"{name} missed {missed.sum()} (outliers {(missed & outlier).sum()})")
        print(f"  seed {seed}: " + "; ".join(line))
    for name, (missed, outliers) in totals.items():
        print(f"  total {name}: {missed} missed, {outliers} outliers missed "
              f"{'(no outlier missed)' if outliers == 0 else 'MISSED OUTLIERS'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--metrics", default="l2,cosine")
    parser.add_argument("--binary", default=None)
    parser.add_argument("--spread", type=float, default=0.01, help="per component, around the cluster centres")
    parser.add_argument("--far", type=float, default=5.0, help="the outliers' distance from the origin")
    parser.add_argument("--seeds", default=None,
                        help="FIRST-LAST: ours alone over one data set per seed (e.g. 30-69), no peers")
    args = parser.parse_args()
    binary = vb.find_binary(args.binary)
    with tempfile.TemporaryDirectory(prefix="pallix-clustered-") as scratch:
        for metric in args.metrics.split(","):
            if args.seeds:
                first, last = (int(x) for x in args.seeds.split("-"))
                sweep_seeds(metric, binary, Path(scratch), args.spread, args.far, list(range(first, last + 1)))
            else:
                bench_metric(metric, binary, Path(scratch), args.spread, args.far)
    return 0


if __name__ == "__main__":
    sys.exit(main())
