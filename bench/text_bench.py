#!/usr/bin/env python3
"""pallix's BM25 phrase search against tantivy, bm25s and SQLite FTS5.

Documents: the real paragraphs of bench/corpus.py (bench/data/paragraphs.jsonl).
Queries: 1- to 3-word phrases cut from paragraphs drawn with a fixed seed
(1,000 unless told), each word of at least 3 letters, none of them one of
our 49 stop words, so that every system sees the same words in the same
order. Every system returns the 10 best documents.

Systems:
  pallix memory  the in-memory index, SearchPhraseInIndex
  pallix disk    the on-disk index in a database file (page cache warm),
                 SearchPhraseOnDisk
  pallix scan    no index: SearchPhraseByScan walks every document per
                 query (run on the first 50 queries only)
  tantivy        PyPI tantivy, index in RAM, one writer thread; the phrase
                 as a quoted phrase query ("w1 w2"), BM25 ranked
  sqlite FTS5    the standard library's sqlite3, in-memory database; MATCH
                 with the quoted phrase, ORDER BY rank (FTS5's bm25)
  bm25s          PyPI bm25s: bag of words only (no phrase queries), its
                 English stop words; the whole query batch in one call
Like for like: tantivy and FTS5 answer the same phrase (consecutive words
in order) with their own tokenisers (no stemming: ours folds plurals) and
their BM25 variants, so their top 10 can differ from ours in order and at
the edges; the table shows the mean overlap of each top 10 with ours. bm25s
answers a looser question (documents with any of the words), which is
cheaper per document but matches far more of them.

Build time is the index build from the texts (ours on disk includes
writing the documents). queries/s is the fastest of 3 passes; ours runs a
C++ loop (bench/text_real_bench.cc), the peers run a Python loop of single
queries (tantivy, FTS5) or one batch call (bm25s).

Usage: python3 bench/text_bench.py [--queries Q] [--binary PATH]
Needs: pip install tantivy bm25s; the paragraphs (python3 bench/corpus.py).
"""

import argparse
import json
import os
import random
import re
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
K = 10
PASSES = 3
SEED = 20261207
SCAN_QUERIES = 50
STOP_WORDS = {
    "a", "an", "and", "are", "as", "at", "be", "been", "but", "by", "do", "does", "for", "from", "had", "has", "have",
    "he", "i", "if", "in", "into", "is", "it", "its", "me", "my", "no", "not", "of", "on", "or", "she", "such", "that",
    "the", "their", "then", "there", "these", "they", "this", "to", "was", "we", "were", "will", "with", "you",
}
WORD = re.compile(r"[A-Za-z0-9]+")


def load_paragraphs():
    path = DATA / "paragraphs.jsonl"
    if not path.exists():
        sys.exit("bench/data/paragraphs.jsonl is missing: run python3 bench/corpus.py "
                 "(apt-get install python3-doc manpages manpages-dev)")
    with open(path, encoding="utf-8") as f:
        return [json.loads(line)["text"] for line in f]


def sample_phrases(texts, count):
    """Phrases of 1 to 3 consecutive words of a random paragraph, words of
    letters only, at least 3 long, no stop word (between the words only
    spaces or simple punctuation, so the phrase is consecutive for every
    tokeniser)."""
    rng = random.Random(SEED)
    out = []
    while len(out) < count:
        text = texts[rng.randrange(len(texts))]
        words = [m for m in WORD.finditer(text)]
        if not words:
            continue
        length = rng.choice((1, 2, 3))
        start = rng.randrange(len(words))
        run = words[start:start + length]
        if len(run) < length:
            continue
        ok = all(m.group().isalpha() and len(m.group()) >= 3 and m.group().lower() not in STOP_WORDS for m in run)
        # Only a space between words: other separators may tokenise differently.
        ok = ok and all(text[a.end():b.start()] == " " for a, b in zip(run, run[1:]))
        if ok:
            out.append(" ".join(m.group().lower() for m in run))
    return out


def find_binary(explicit):
    if explicit:
        return Path(explicit)
    for candidate in sorted(ROOT.glob("build*/**/bench/text_real_bench")):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    build = ROOT / "build" / "tests"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPALLIX_BUILD_TESTS=ON", "-DPALLIX_BUILD_MODULE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j4", "--target", "text_real_bench"], check=True)
    return build / "bench" / "text_real_bench"


def best_of(fn, passes=PASSES):
    best, out = None, None
    for _ in range(passes):
        t0 = time.perf_counter()
        out = fn()
        took = time.perf_counter() - t0
        best = took if best is None else min(best, took)
    return out, best


def run_ours(binary, texts_path, phrases, mode):
    queries_path = DATA / f"text_queries_{mode}.txt"
    queries_path.write_text("".join(p + "\n" for p in phrases), encoding="utf-8")
    results_path = DATA / f"text_results_{mode}.txt"
    passes = 1 if mode == "scan" else PASSES
    out = subprocess.run([str(binary), str(texts_path), str(queries_path), str(results_path), mode, str(K),
                          str(passes)], check=True, capture_output=True, text=True)
    stats = json.loads(out.stdout.strip().splitlines()[-1])
    found = [[int(x) for x in line.split()] for line in results_path.read_text().splitlines()]
    return {"build_s": stats["build_s"], "qps": stats["qps"], "queries": stats["queries"]}, found


def run_tantivy(texts, phrases):
    try:
        import tantivy
    except ImportError:
        sys.exit("tantivy is missing: pip install tantivy")
    t0 = time.perf_counter()
    builder = tantivy.SchemaBuilder()
    builder.add_unsigned_field("id", stored=True, fast=True)
    builder.add_text_field("text", stored=False, index_option="position")
    schema = builder.build()
    index = tantivy.Index(schema)
    writer = index.writer(heap_size=256_000_000, num_threads=1)
    for i, text in enumerate(texts):
        doc = tantivy.Document()
        doc.add_unsigned("id", i)
        doc.add_text("text", text)
        writer.add_document(doc)
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    build = time.perf_counter() - t0
    searcher = index.searcher()
    parsed = [index.parse_query(f'"{p}"', ["text"]) for p in phrases]

    def search_all():
        out = []
        for q in parsed:
            hits = searcher.search(q, K).hits
            out.append([searcher.doc(addr)["id"][0] for _, addr in hits])
        return out

    def search_only():
        for q in parsed:
            searcher.search(q, K)

    found = search_all()
    _, took = best_of(search_only)
    return {"build_s": build, "qps": len(phrases) / took, "queries": len(phrases)}, found


def run_fts5(texts, phrases):
    t0 = time.perf_counter()
    db = sqlite3.connect(":memory:")
    try:
        db.execute("CREATE VIRTUAL TABLE t USING fts5(text)")
    except sqlite3.OperationalError:
        sys.exit("this Python's sqlite3 has no FTS5")
    db.executemany("INSERT INTO t(rowid, text) VALUES (?, ?)", ((i, t) for i, t in enumerate(texts)))
    db.commit()
    build = time.perf_counter() - t0
    sql = "SELECT rowid FROM t WHERE t MATCH ? ORDER BY rank LIMIT 10"
    args = [f'"{p}"' for p in phrases]

    def search_all():
        return [[r[0] for r in db.execute(sql, (a,))] for a in args]

    found, took = best_of(search_all)
    return {"build_s": build, "qps": len(phrases) / took, "queries": len(phrases)}, found


def run_bm25s(texts, phrases):
    try:
        import bm25s
    except ImportError:
        sys.exit("bm25s is missing: pip install bm25s")
    t0 = time.perf_counter()
    tokens = bm25s.tokenize(texts, stopwords="en", show_progress=False)
    retriever = bm25s.BM25()
    retriever.index(tokens, show_progress=False)
    build = time.perf_counter() - t0

    def search_all():
        q = bm25s.tokenize(phrases, stopwords="en", show_progress=False)
        docs, _ = retriever.retrieve(q, k=K, show_progress=False, n_threads=1)
        return [list(map(int, row)) for row in docs]

    found, took = best_of(search_all)
    return {"build_s": build, "qps": len(phrases) / took, "queries": len(phrases)}, found


def overlap(a, b):
    """Mean size of the intersection of two top-10 lists over queries, as a
    fraction of the larger list (1.0 when both are empty)."""
    total = 0.0
    for x, y in zip(a, b):
        n = max(len(x), len(y))
        total += 1.0 if n == 0 else len(set(x) & set(y)) / n
    return total / len(a)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--binary", default=None)
    args = parser.parse_args()
    try:
        import bm25s  # noqa: F401
        import tantivy  # noqa: F401
    except ImportError as e:
        sys.exit(f"{e.name} is missing: pip install tantivy bm25s")

    texts = load_paragraphs()
    phrases = sample_phrases(texts, args.queries)
    texts_path = DATA / "paragraphs.txt"
    texts_path.write_text("".join(t.replace("\n", " ") + "\n" for t in texts), encoding="utf-8")
    binary = find_binary(args.binary)

    rows = []
    for mode in ("memory", "disk"):
        stats, found = run_ours(binary, texts_path, phrases, mode)
        rows.append((f"pallix {mode}", stats, found))
    stats, found = run_ours(binary, texts_path, phrases[:SCAN_QUERIES], "scan")
    rows.append(("pallix scan", stats, found))
    for name, fn in (("tantivy", run_tantivy), ("sqlite FTS5", run_fts5), ("bm25s (bag of words)", run_bm25s)):
        stats, found = fn(texts, phrases)
        rows.append((name, stats, found))

    ours = rows[0][1]
    reference = rows[0][2]
    words = [len(p.split()) for p in phrases]
    print(f"{len(texts)} paragraphs; {len(phrases)} phrase queries ({words.count(1)} of one word, {words.count(2)} "
          f"of two, {words.count(3)} of three); top {K}; one thread")
    print(f"{'system':<22}{'build s':>9}{'queries/s':>11}{'ours mem/this':>15}{'top-10 overlap':>16}")
    for name, s, found in rows:
        n = s["queries"]
        ov = overlap(reference[:n], found[:n])
        print(f"{name:<22}{s['build_s']:>9.2f}{s['qps']:>11.0f}{ours['qps'] / s['qps']:>15.2f}{ov:>16.3f}")
    by = {name: s for name, s, _ in rows}
    t, b = by["tantivy"], by["bm25s (bag of words)"]
    print("\ntargets:")
    print(f"  in memory >= 1.0x tantivy queries/s: {ours['qps'] / t['qps']:.2f}x "
          f"{'met' if ours['qps'] >= t['qps'] else 'MISSED'}")
    print(f"  in memory >= 3x bm25s queries/s: {ours['qps'] / b['qps']:.2f}x "
          f"{'met' if ours['qps'] >= 3 * b['qps'] else 'MISSED'}")
    print(f"  (scan ran {by['pallix scan']['queries']} queries)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
