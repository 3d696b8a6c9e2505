#!/usr/bin/env python3
"""Compares pallix's in-memory HNSW graph with hnswlib on the same vectors.

Generates 100,000 clustered float32 vectors of dimension 128 and 1,000
queries with a fixed seed, writes them under bench/data/, computes the exact
10 nearest neighbours (squared l2), then builds and searches both graphs with
M=16, ef_construction=128, ef=64, k=10 on a single thread, and prints build
time, recall@10, queries per second and memory per vector for both, with the
ratios ours/theirs.

Our side runs bench/hnsw_bench.cc (found in the build directory, or built
there when missing); hnswlib is the PyPI package (pip install hnswlib).

Search rates are the best of three passes over the queries. A last line
gives hnswlib's rate at the smallest ef whose recall is at least ours, the
comparison at equal recall.

Usage: python3 bench/hnsw_bench.py [--n N] [--queries Q] [--latent L] [--binary PATH]
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
DIM = 128
K = 10
M = 16
EF_CONSTRUCTION = 128
EF = 64
SEED = 20240601
PASSES = 3
SWEEP_EF = (10, 12, 16, 20, 24, 32, 40, 48, 64)
CLUSTERS = 100
LATENT = 12


def clustered(n_base, n_queries, latent_dim=LATENT, seed=SEED):
    """Vectors shaped like embeddings: a mixture of 100 clusters in a
    low-dimensional latent space (12 unless told), mapped into 128
    dimensions, plus a little noise everywhere, normalised to unit length.
    Queries come from the same distribution."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(CLUSTERS, latent_dim))
    mixing = rng.normal(size=(latent_dim, DIM)) / np.sqrt(latent_dim)
    total = n_base + n_queries
    labels = rng.integers(0, CLUSTERS, size=total)
    latent = centres[labels] + 0.5 * rng.normal(size=(total, latent_dim))
    x = latent @ mixing + 0.05 * rng.normal(size=(total, DIM))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    x = x.astype(np.float32)
    return x[:n_base], x[n_base:]


def write_vectors(path, base, queries):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", base.shape[0], queries.shape[0], base.shape[1]))
        f.write(np.ascontiguousarray(base, dtype="<f4").tobytes())
        f.write(np.ascontiguousarray(queries, dtype="<f4").tobytes())


def exact_neighbours(base, queries, k):
    """The k nearest rows by squared l2, computed in float64."""
    b = base.astype(np.float64)
    norms = (b * b).sum(axis=1)
    out = np.empty((queries.shape[0], k), dtype=np.int64)
    for lo in range(0, queries.shape[0], 100):
        q = queries[lo:lo + 100].astype(np.float64)
        d = norms[None, :] - 2.0 * q @ b.T
        part = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, part, axis=1).argsort(axis=1, kind="stable")
        out[lo:lo + 100] = np.take_along_axis(part, order, axis=1)
    return out


def recall(found, exact):
    hits = sum(len(set(f[f >= 0].tolist()) & set(e.tolist())) for f, e in zip(found, exact))
    return hits / exact.size


def find_binary(explicit):
    if explicit:
        return Path(explicit)
    for candidate in sorted(ROOT.glob("build*/**/bench/hnsw_bench")):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    build = ROOT / "build" / "tests"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPALLIX_BUILD_TESTS=ON", "-DPALLIX_BUILD_MODULE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j4", "--target", "hnsw_bench"], check=True)
    return build / "bench" / "hnsw_bench"


def run_ours(binary, data_path, n_queries):
    results_path = DATA / "pallix_results.bin"
    out = subprocess.run([str(binary), str(data_path), str(results_path), str(K), str(PASSES)], check=True,
                         capture_output=True, text=True)
    stats = json.loads(out.stdout.strip().splitlines()[-1])
    found = np.fromfile(results_path, dtype="<i4").reshape(n_queries, K)
    return stats, found


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_hnswlib(base, queries):
    import hnswlib
    before = resident_bytes()
    t0 = time.perf_counter()
    index = hnswlib.Index(space="l2", dim=base.shape[1])
    index.init_index(max_elements=base.shape[0], ef_construction=EF_CONSTRUCTION, M=M, random_seed=100)
    index.set_num_threads(1)
    index.add_items(base, np.arange(base.shape[0]), num_threads=1)
    build = time.perf_counter() - t0
    memory = resident_bytes() - before
    labels, search = search_hnswlib(index, queries, EF)
    stats = {"build_s": build, "search_s": search, "qps": queries.shape[0] / search, "memory_bytes": memory}
    return stats, labels, index


def search_hnswlib(index, queries, ef):
    """Labels and the fastest of PASSES search times at width ef."""
    index.set_ef(ef)
    best = None
    for _ in range(PASSES):
        t0 = time.perf_counter()
        labels, _ = index.knn_query(queries, k=K, num_threads=1)
        took = time.perf_counter() - t0
        best = took if best is None else min(best, took)
    return labels.astype(np.int64), best


def equal_recall(index, queries, exact, target):
    """hnswlib at the smallest swept ef whose recall reaches target."""
    for ef in SWEEP_EF:
        labels, search = search_hnswlib(index, queries, ef)
        r = recall(labels, exact)
        if r >= target:
            return ef, r, queries.shape[0] / search
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--binary", default=None)
    parser.add_argument("--latent", type=int, default=LATENT, help="latent dimension of the clusters")
    args = parser.parse_args()

    base, queries = clustered(args.n, args.queries, args.latent)
    data_path = DATA / f"clustered_{args.n}_{args.queries}_{DIM}_{args.latent}.bin"
    write_vectors(data_path, base, queries)
    exact = exact_neighbours(base, queries, K)

    binary = find_binary(args.binary)
    ours, ours_found = run_ours(binary, data_path, args.queries)
    theirs, theirs_found, index = run_hnswlib(base, queries)
    ours["recall"] = recall(ours_found, exact)
    theirs["recall"] = recall(theirs_found, exact)
    for s in (ours, theirs):
        s["bytes_per_vector"] = s["memory_bytes"] / args.n

    print(f"{args.n} vectors, dim {DIM}, {args.queries} queries; M={M} ef_construction={EF_CONSTRUCTION} "
          f"ef={EF} k={K}, one thread")
    print(f"{'':<22}{'pallix':>12}{'hnswlib':>12}{'ours/theirs':>14}")
    rows = [("build time (s)", "build_s", "{:.2f}"), ("recall@10", "recall", "{:.4f}"),
            ("queries/s", "qps", "{:.0f}"), ("memory/vector (B)", "bytes_per_vector", "{:.0f}")]
    for label, key, fmt in rows:
        ratio = ours[key] / theirs[key] if theirs[key] else float("nan")
        print(f"{label:<22}{fmt.format(ours[key]):>12}{fmt.format(theirs[key]):>12}{ratio:>14.2f}")
    matched = equal_recall(index, queries, exact, ours["recall"])
    if matched:
        ef, r, qps = matched
        print(f"hnswlib at equal recall: ef={ef} recall@10={r:.4f} queries/s={qps:.0f}; "
              f"ours/theirs {ours['qps'] / qps:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
