"""Hybrid query benchmark: pallix against hnswlib + bm25s + RRF in Python.

The same real paragraphs (bench/data/paragraphs.jsonl, with their MiniLM
384-d unit embeddings in bench/data/embeddings.f32) in both. A few hundred
paragraphs are held out as queries; the rest are loaded.

pallix: one in-memory collection of {"text", "emb" (float32 vector),
"length" (characters)}, an in-memory text index on "text" and an in-memory
cosine vector index on "emb"; each query is

    query().filter(field("length").gt(median))
           .vector("emb", q, 10).text("text", phrase, 10)
           .fuse_rrf(60).limit(10).run()

where q is the held-out paragraph's embedding and phrase one or two adjacent
words taken from it (a pair that occurs in the loaded text when one does).
The filter keeps about half the documents. The same query with approx() is
timed too.

Peer pipeline: an hnswlib cosine index (vector top-k, over-fetched and
filtered in Python until 10 pass) and a bm25s index (text top-k, over-fetched
and filtered in Python), fused by RRF in Python with the same constant (60,
position i adds 1 / (60 + i + 1)) and the same tie-break (smaller key first).

Prints median and p95 latency per query for both, their ratio and the mean
overlap of the two top-10 sets (|pallix & peer| / 10), then how many queries'
text source found a match after the filter on each side.

A second query kind has the filter and the vector source alone, which
pallix answers by scoring every document the filter keeps (the exact
route); its peer is numpy's exact cosine top-k over the same filtered
vectors, held as one contiguous matrix, with its BLAS held to one thread
(pallix answers on one; idle OpenBLAS threads spin and would slow the
other timings). numpy's speed depends on its BLAS kernel: run with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset unless they are wanted, and
read the kernel threadpoolctl reports below the table.

The two sides do not compute the same thing:
- pallix's text source matches the phrase (its words adjacent and in order);
  bm25s scores a bag of words, so a two-word query also ranks documents
  holding only one of them;
- with a filter, pallix scores every document the filter keeps, exactly
  (cosine and BM25); hnswlib's top-k is approximate and its filtering
  happens after the search;
- the tokenizers differ (pallix folds plurals; bm25s here has English stop
  words and no stemmer), and so do the BM25 parameters' details.

With --baseline PATH (an `_native` extension module file of another
build, e.g. the previous commit's), that build runs the same queries over
its own copy of the data in the same process, interleaved query by query
with this one, and the table gains its rows and the ratio of the two
medians. Each build prints a digest (SHA-256 of every result's keys and
score bits, with and without approx()): identical digests mean identical
results.

Run: python3 bench/hybrid_bench.py [--queries 300] [--docs N] [--seed 1]
     [--baseline path/to/_native.abi3.so] [--module path/to/_native.abi3.so]
Needs: pip install numpy hnswlib bm25s; data from bench/corpus.py and
bench/embed.py.
"""

import argparse
import array
import hashlib
import struct
import json
import random
import re
import statistics
import sys
import time
from pathlib import Path

from modload import load_module

DATA = Path(__file__).resolve().parent / "data"
RRF_K = 60
TOP = 10
STOP = {
    "a", "an", "and", "are", "as", "at", "be", "but", "by", "for", "if", "in", "into", "is", "it", "no", "not",
    "of", "on", "or", "such", "that", "the", "their", "then", "there", "these", "they", "this", "to", "was",
    "will", "with", "can", "from", "when", "which", "its", "has", "have", "than", "also", "may", "you", "your",
    "all", "any", "one", "other", "only", "some", "more", "been", "were", "each", "used", "use", "see",
}
WORD = re.compile(r"[a-z]{3,}")


def require():
    missing = []
    for mod, pkg in (("numpy", "numpy"), ("hnswlib", "hnswlib"), ("bm25s", "bm25s")):
        try:
            __import__(mod)
        except ImportError:
            missing.append(pkg)
    if missing:
        print(f"missing peer packages: pip install {' '.join(missing)}")
        sys.exit(0)
    files = [DATA / "paragraphs.jsonl", DATA / "embeddings.f32", DATA / "embeddings.json"]
    absent = [f.name for f in files if not f.exists()]
    if absent:
        print(f"missing {', '.join(absent)} in {DATA}: paragraphs.jsonl comes from bench/corpus.py, "
              "embeddings.f32/.json from bench/embed.py")
        sys.exit(0)


def key_of(i):
    return f"p{i:06d}"


def pick_phrase(text, rng, lowered_corpus):
    """One or two adjacent content words of text, preferring a pair that
    occurs (as a substring) somewhere in the loaded corpus."""
    words = text.lower().split()
    pairs = []
    for a, b in zip(words, words[1:]):
        a, b = a.strip(".,;:()'\"`"), b.strip(".,;:()'\"`")
        if WORD.fullmatch(a) and WORD.fullmatch(b) and a not in STOP and b not in STOP:
            pairs.append(f"{a} {b}")
    rng.shuffle(pairs)
    for p in pairs[:6]:
        if any(p in t for t in lowered_corpus):
            return p
    singles = [w.strip(".,;:()'\"`") for w in words]
    singles = [w for w in singles if WORD.fullmatch(w) and w not in STOP]
    return max(singles, key=len) if singles else "python"


def rrf(lists):
    score = {}
    for lst in lists:
        for i, key in enumerate(lst):
            score[key] = score.get(key, 0.0) + 1.0 / (RRF_K + i + 1)
    return [k for k, _ in sorted(score.items(), key=lambda kv: (-kv[1], kv[0]))]


def digest(results):
    h = hashlib.sha256()
    for rows in results:
        for key, score in rows:
            h.update(key.encode())
            h.update(struct.pack("<f", score))
        h.update(b"|")
    return h.hexdigest()[:16]


class Pallix:
    """One build of the module, with the documents loaded and both indexes
    built; run(j, approx) answers query j as (key, score) pairs."""

    def __init__(self, native, label, keys, texts, vecs, doc_ids, lengths, threshold, qarrs, phrases):
        self.label = label
        self.db = native.Db.open_memory()
        c = self.c = self.db.collection("paras")
        t0 = time.perf_counter()
        batch = []
        for j, i in enumerate(doc_ids):
            emb = array.array("f")
            emb.frombytes(vecs[i].tobytes())
            batch.append((keys[j], {"text": texts[i], "emb": emb, "length": int(lengths[j])}))
            if len(batch) == 5000:
                c.insert_many(batch)
                batch = []
        if batch:
            c.insert_many(batch)
        t_load = time.perf_counter() - t0
        t0 = time.perf_counter()
        c.create_text_index("text")
        c.create_vector_index("emb", "cosine")
        c.query().vector("emb", qarrs[0], TOP, "cosine").run()
        c.query().text("text", phrases[0], TOP).run()
        t_index = time.perf_counter() - t0
        print(f"pallix ({label}): load {t_load:.1f} s, text + vector index build {t_index:.1f} s")
        self.native, self.threshold = native, threshold
        self.flt = native.field("length").gt(threshold)
        self.qarrs, self.phrases = qarrs, phrases

    def vector_runner(self):
        """run_vector on a handle and filter of its own, for another thread."""
        c = self.db.collection("paras")
        flt = self.native.field("length").gt(self.threshold)

        def run(j):
            qb = c.query().filter(flt).vector("emb", self.qarrs[j], TOP, "cosine")
            return [(r.key, r.score) for r in qb.fuse_rrf(RRF_K).limit(TOP).select(["length"]).run()]
        return run

    def run(self, j, approx=False):
        qb = (self.c.query().filter(self.flt).vector("emb", self.qarrs[j], TOP, "cosine")
              .text("text", self.phrases[j], TOP))
        if approx:
            qb = qb.approx()
        return [(r.key, r.score) for r in qb.fuse_rrf(RRF_K).limit(TOP).select(["length"]).run()]

    def run_vector(self, j):
        """The filtered single vector source: every document the filter
        keeps scored exactly (the exact route)."""
        qb = self.c.query().filter(self.flt).vector("emb", self.qarrs[j], TOP, "cosine")
        return [(r.key, r.score) for r in qb.fuse_rrf(RRF_K).limit(TOP).select(["length"]).run()]

    def text_hits(self):
        return sum(bool(self.c.query().filter(self.flt).text("text", p, TOP).select(["length"]).run())
                   for p in self.phrases)

    def close(self):
        self.c.close()
        self.db.close()


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(round(p / 100 * (len(xs) - 1))))]


def timed(fn, j):
    """fn(j)'s wall and process CPU time."""
    t0, c0 = time.perf_counter(), time.process_time()
    fn(j)
    return time.perf_counter() - t0, time.process_time() - c0


def paused_phase(builds, numpy_top, queries, rounds, pause_ms):
    """The filter+vec query after an idle spell against one back to back:
    each round sleeps, times the first query after the pause, then the next
    one right after it; the sides take turns within each round."""
    sides = [(f"pallix {p.label}: filter+vec (exact)", p.run_vector) for p in builds]
    sides.append(("numpy exact top-k", numpy_top))
    after = {name: [] for name, _ in sides}
    b2b = {name: [] for name, _ in sides}
    for r in range(rounds):
        for name, fn in sides:
            time.sleep(pause_ms / 1e3)
            after[name].append(timed(fn, r % queries))
            b2b[name].append(timed(fn, (r + 1) % queries))
    print()
    print(f"after a {pause_ms:g} ms pause against back to back ({rounds} rounds)")
    print(f"{'query':<48}{'paused ms':>10}{'cpu ms':>9}{'b2b ms':>9}{'cpu ms':>9}{'paused/b2b':>11}")
    for name, _ in sides:
        pm = statistics.median(t for t, _ in after[name]) * 1e3
        bm = statistics.median(t for t, _ in b2b[name]) * 1e3
        pc = statistics.mean(c for _, c in after[name]) * 1e3
        bc = statistics.mean(c for _, c in b2b[name]) * 1e3
        print(f"{name:<48}{pm:>10.2f}{pc:>9.2f}{bm:>9.2f}{bc:>9.2f}{pm / bm:>10.2f}x")


def threads_phase(builds, numpy_top, queries, threads, total, rounds):
    """Throughput of the filter+vec query from several Python threads at
    once (each pallix thread on a collection handle of its own): queries
    per second, and per core used (process CPU time over the run). The
    sides take turns over rounds, so that a spell of load from elsewhere
    on the machine falls on all of them; each figure is the median of the
    rounds, and each side's ratio to numpy the median of its rounds'
    ratios."""
    import threading

    def run(make):
        fns = [make() for _ in range(threads)]
        next_q = iter(range(total))
        lock = threading.Lock()
        start = threading.Barrier(threads + 1)

        def work(fn):
            start.wait()
            while True:
                with lock:
                    j = next(next_q, None)
                if j is None:
                    return
                fn(j % queries)
        ts = [threading.Thread(target=work, args=(fn,)) for fn in fns]
        for t in ts:
            t.start()
        start.wait()
        t0, c0 = time.perf_counter(), time.process_time()
        for t in ts:
            t.join()
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        return total / wall, total / cpu, cpu / wall

    sides = [(f"pallix {p.label}: filter+vec (exact)", p.vector_runner) for p in builds]
    sides.append(("numpy exact top-k", lambda: numpy_top))
    got = {name: [] for name, _ in sides}
    for _ in range(rounds):
        for name, make in sides:
            got[name].append(run(make))
    peer = got["numpy exact top-k"]
    print()
    print(f"{threads} querying threads, {total} filter+vec queries each side, {rounds} rounds taking turns")
    print(f"{'query':<48}{'q/s':>9}{'q/s/core':>10}{'cores':>7}{'of numpy':>10}  of numpy by round")
    for name, runs in got.items():
        med = [statistics.median(r[i] for r in runs) for i in range(3)]
        ratios = [r[0] / p[0] for r, p in zip(runs, peer)]
        print(f"{name:<48}{med[0]:>9.0f}{med[1]:>10.0f}{med[2]:>7.2f}{statistics.median(ratios):>9.2f}x  "
              + " ".join(f"{x:.2f}" for x in ratios))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--queries", type=int, default=300)
    ap.add_argument("--docs", type=int, default=0, help="load at most this many paragraphs (0: all)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--ef", type=int, default=100, help="hnswlib ef at query time (at least the fetch size)")
    ap.add_argument("--data", help="directory of paragraphs.jsonl and embeddings.f32/.json (default: bench/data)")
    ap.add_argument("--module", help="the _native extension file to measure (default: import pallix._native)")
    ap.add_argument("--baseline", help="another build's _native extension file, run beside it")
    ap.add_argument("--paused", type=int, default=40,
                    help="rounds of the filter+vec query after a pause and right after it (0: none)")
    ap.add_argument("--pause", type=float, default=50, help="the pause before each such round, ms")
    ap.add_argument("--threads", type=int, default=4, help="querying threads of the throughput run (0: none)")
    ap.add_argument("--thread-queries", type=int, default=200, help="filter+vec queries of each throughput run")
    ap.add_argument("--thread-rounds", type=int, default=3,
                    help="throughput runs of each side, taking turns (the medians are printed)")
    args = ap.parse_args()
    global DATA
    if args.data:
        DATA = Path(args.data)
    require()

    import bm25s
    import hnswlib
    import numpy as np

    # One BLAS thread, as pallix answers on one: OpenBLAS's idle threads
    # spin between calls and would slow every other side's timings.
    try:
        from threadpoolctl import threadpool_limits
        blas_limit = threadpool_limits(limits=1, user_api="blas")  # noqa: F841 (held for the run)
    except ImportError:
        blas_limit = None

    if args.module:
        native = load_module(args.module, "pallix_this")
    else:
        import pallix._native as native

    meta = json.loads((DATA / "embeddings.json").read_text())
    dim = meta["dim"]
    with open(DATA / "paragraphs.jsonl", encoding="utf-8") as f:
        texts = [json.loads(line)["text"] for line in f]
    vecs = np.fromfile(DATA / "embeddings.f32", dtype=np.float32).reshape(-1, dim)
    n = min(len(texts), len(vecs))
    if args.docs:
        n = min(n, args.docs + args.queries)
    rng = random.Random(args.seed)
    query_ids = sorted(rng.sample(range(n), args.queries))
    held = set(query_ids)
    doc_ids = [i for i in range(n) if i not in held]
    lengths = np.array([len(texts[i]) for i in doc_ids])
    threshold = int(np.median(lengths))
    keep = lengths > threshold
    print(f"{len(doc_ids)} documents, {len(query_ids)} held-out queries, filter length > {threshold} "
          f"keeps {keep.mean():.1%}")

    lowered = [texts[i].lower() for i in doc_ids]
    phrases = [pick_phrase(texts[q], rng, lowered) for q in query_ids]
    print(f"phrases: {sum(' ' in p for p in phrases)} of two words, e.g. {phrases[:5]}")
    keys = [key_of(i) for i in doc_ids]

    qarrs = []
    for q in query_ids:
        a = array.array("f")
        a.frombytes(vecs[q].tobytes())
        qarrs.append(a)
    # pallix: load, declare the in-memory indexes, build them with a first query.
    builds = [Pallix(native, "this build", keys, texts, vecs, doc_ids, lengths, threshold, qarrs, phrases)]
    if args.baseline:
        builds.append(Pallix(load_module(args.baseline, "pallix_base"), "baseline", keys, texts, vecs, doc_ids,
                             lengths, threshold, qarrs, phrases))

    # Peer: hnswlib + bm25s.
    t0 = time.perf_counter()
    hn = hnswlib.Index(space="cosine", dim=dim)
    hn.init_index(max_elements=len(doc_ids), ef_construction=200, M=16)
    hn.add_items(vecs[doc_ids], np.arange(len(doc_ids)))
    t_hnsw = time.perf_counter() - t0
    t0 = time.perf_counter()
    retriever = bm25s.BM25()
    retriever.index(bm25s.tokenize([texts[i] for i in doc_ids], stopwords="en", show_progress=False),
                    show_progress=False)
    t_bm25 = time.perf_counter() - t0
    print(f"peer: hnswlib build {t_hnsw:.1f} s, bm25s build {t_bm25:.1f} s")
    qvecs = vecs[query_ids]

    def vector_top(j):
        fetch = TOP * 4
        while True:
            hn.set_ef(max(args.ef, fetch))
            labels, _ = hn.knn_query(qvecs[j], k=fetch)
            out = [int(x) for x in labels[0] if keep[x]]
            if len(out) >= TOP or fetch >= len(doc_ids):
                return out[:TOP]
            fetch = min(len(doc_ids), fetch * 4)

    def text_top(j):
        toks = bm25s.tokenize([phrases[j]], stopwords="en", return_ids=False, show_progress=False)
        if not toks[0]:
            return []
        fetch = TOP * 4
        while True:
            docs, scores = retriever.retrieve(toks, k=min(fetch, len(doc_ids)), show_progress=False, n_threads=1)
            out = [int(d) for d, s in zip(docs[0], scores[0]) if s > 0 and keep[d]]
            if len(out) >= TOP or scores[0][-1] <= 0 or fetch >= len(doc_ids):
                return out[:TOP]
            fetch = min(len(doc_ids), fetch * 4)

    def theirs(j):
        return rrf([[keys[d] for d in vector_top(j)], [keys[d] for d in text_top(j)]])[:TOP]

    # Peer of the filtered single vector source: numpy's exact cosine top-k
    # over the vectors the filter keeps, held as one contiguous matrix with
    # their norms (the filter applied once, up front, in numpy's favour).
    kept_ids = np.flatnonzero(keep)
    kept_mat = np.ascontiguousarray(vecs[doc_ids][kept_ids])
    kept_norms = np.linalg.norm(kept_mat, axis=1)

    def numpy_top(j):
        q = qvecs[j]
        dist = 1.0 - (kept_mat @ q) / (kept_norms * np.linalg.norm(q))
        top = np.argpartition(dist, TOP)[:TOP]
        top = top[np.lexsort((top, dist[top]))]
        return [keys[kept_ids[t]] for t in top]

    for j in range(min(5, len(query_ids))):  # warm-up
        for p in builds:
            p.run(j)
        theirs(j)

    # Each query's wall time and the CPU time of the whole process (every
    # thread: the helpers a query shares its walk with count) over it.
    lat = {(p.label, ax): [] for p in builds for ax in (False, True, "vec")}
    cpu = {(p.label, ax): [] for p in builds for ax in (False, True, "vec")}
    res = {(p.label, ax): [] for p in builds for ax in (False, True, "vec")}
    lat_theirs, res_theirs, lat_numpy, res_numpy = [], [], [], []
    cpu_theirs, cpu_numpy = [], []
    for j in range(len(query_ids)):
        for p in builds:
            for ax in (False, True, "vec"):
                t0, c0 = time.perf_counter(), time.process_time()
                r = p.run_vector(j) if ax == "vec" else p.run(j, approx=ax)
                cpu[(p.label, ax)].append(time.process_time() - c0)
                lat[(p.label, ax)].append(time.perf_counter() - t0)
                res[(p.label, ax)].append(r)
        t0, c0 = time.perf_counter(), time.process_time()
        res_theirs.append(theirs(j))
        cpu_theirs.append(time.process_time() - c0)
        lat_theirs.append(time.perf_counter() - t0)
        t0, c0 = time.perf_counter(), time.process_time()
        res_numpy.append(numpy_top(j))
        cpu_numpy.append(time.process_time() - c0)
        lat_numpy.append(time.perf_counter() - t0)

    def overlap(label, ax):
        peer = res_numpy if ax == "vec" else res_theirs
        return statistics.mean(len({k for k, _ in a} & set(b)) / TOP
                               for a, b in zip(res[(label, ax)], peer))

    # Checks on what was compared: every result passes the filter, and how
    # often the text source contributed on each side.
    passes = {keys[d] for d in range(len(doc_ids)) if keep[d]}
    bad = sum(k not in passes for r in res_theirs for k in r)
    bad += sum(k not in passes for rs in res.values() for r in rs for k, _ in r)
    text_hits_theirs = sum(bool(text_top(j)) for j in range(len(query_ids)))

    mt, pt = statistics.median(lat_theirs) * 1e3, pct(lat_theirs, 95) * 1e3
    mn_, pn_ = statistics.median(lat_numpy) * 1e3, pct(lat_numpy, 95) * 1e3

    def cpu_cols(cpus, lats):
        return f"{statistics.mean(cpus) * 1e3:>9.2f}{sum(cpus) / sum(lats):>7.2f}"

    print()
    print(f"{'pipeline':<48}{'median ms':>10}{'p95 ms':>10}{'cpu ms':>9}{'cores':>7}{'overlap':>9}{'peer/this':>10}")
    for p in builds:
        for ax in (False, True, "vec"):
            xs = lat[(p.label, ax)]
            m, q95 = statistics.median(xs) * 1e3, pct(xs, 95) * 1e3
            if ax == "vec":
                name, peer = f"pallix {p.label}: filter+vec (exact)", mn_
            else:
                name, peer = f"pallix {p.label}: filter+vec+text+rrf" + (" approx()" if ax else ""), mt
            print(f"{name:<48}{m:>10.2f}{q95:>10.2f}{cpu_cols(cpu[(p.label, ax)], xs)}"
                  f"{overlap(p.label, ax):>9.3f}{peer / m:>9.2f}x")
    print(f"{'hnswlib + bm25s + python rrf':<48}{mt:>10.2f}{pt:>10.2f}{cpu_cols(cpu_theirs, lat_theirs)}"
          f"{'-':>9}{'-':>10}")
    print(f"{'numpy exact top-k over the filtered vectors':<48}{mn_:>10.2f}{pn_:>10.2f}"
          f"{cpu_cols(cpu_numpy, lat_numpy)}{'-':>9}{'-':>10}")
    print("cpu ms: mean CPU time per query over every thread of the process; cores: that CPU time over the "
          "wall time. overlap: mean |pallix top-10 & peer top-10| / 10 (filter+vec: against numpy's); "
          "peer/this above 1: pallix faster")
    try:
        from threadpoolctl import threadpool_info
        blas = [f"{i.get('internal_api')} {i.get('version')} {i.get('architecture')} "
                f"{i.get('num_threads')} threads" for i in threadpool_info() if i.get("user_api") == "blas"]
        print(f"numpy's BLAS (threadpoolctl): {'; '.join(blas) or 'none reported'}")
    except ImportError:
        print("numpy's BLAS: threadpoolctl not installed")
    if args.paused:
        paused_phase(builds, numpy_top, len(query_ids), args.paused, args.pause)
    if args.threads:
        threads_phase(builds, numpy_top, len(query_ids), args.threads, args.thread_queries, args.thread_rounds)
    if len(builds) == 2:
        for ax in (False, True, "vec"):
            mb = statistics.median(lat[("baseline", ax)])
            mn = statistics.median(lat[("this build", ax)])
            what = {False: "", True: " with approx()", "vec": ", filter+vec"}[ax]
            print(f"this build against the baseline{what}: median {mb / mn:.2f}x faster ({mn / mb:.2f}x the time)")
    for p in builds:
        d = digest(res[(p.label, False)]), digest(res[(p.label, True)]), digest(res[(p.label, "vec")])
        print(f"result digest ({p.label}): {d[0]}, with approx() {d[1]}, filter+vec {d[2]}")
    if len(builds) == 2:
        same = all(res[("this build", ax)] == res[("baseline", ax)] for ax in (False, True, "vec"))
        print(f"results identical to the baseline (keys and score bits): {'yes' if same else 'NO'}")
    hits = ", ".join(f"pallix {p.label} {p.text_hits()}" for p in builds)
    print(f"queries whose text source found a match after the filter: {hits}, "
          f"bm25s {text_hits_theirs} of {len(query_ids)}; results failing the filter: {bad}")
    for p in builds:
        p.close()


if __name__ == "__main__":
    main()
