#!/usr/bin/env python3
"""Bag-of-words text queries through the Python API, per text route.

Documents: the real paragraphs of bench/data/paragraphs.jsonl as
{"text": paragraph, "length": characters}, loaded into three collections of
one database file under $TMPDIR: one with an in-memory text index on
"text", one with an on-disk text index, one without an index. Queries: 1 to
3 words cut from paragraphs drawn with a fixed seed (the same sampling as
bench/text_bench.py), each timed as

    c.query().text("text", words, 10).run()

on the indexed collections (the index proposes the top 10), and as

    c.query().filter(field("length").gt(median)).text("text", words, 10).run()

on the collection without an index (every document the filter keeps is
analysed and scored). With --hybrid the unindexed collection also holds
each paragraph's embedding ("emb", bench/data/embeddings.f32) and a third
route is timed: the same filter with .vector("emb", q, 10, "cosine") added
and .fuse_rrf(60).limit(10), q the embedding of a paragraph. queries/s is the fastest of 3 passes (1 for the
filtered route, which is slow). A digest of every result (keys and score
bits) is printed so that two builds can be checked to answer the same.

Usage: python3 bench/text_query_bench.py [--queries Q] [--filtered-queries F] [--hybrid]
"""

import argparse
import hashlib
import json
import os
import random
import re
import statistics
import struct
import sys
import tempfile
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
K = 10
PASSES = 3
SEED = 20261207
WORD = re.compile(r"[A-Za-z]{3,}")
STOP_WORDS = {
    "a", "an", "and", "are", "as", "at", "be", "been", "but", "by", "do", "does", "for", "from", "had", "has", "have",
    "he", "i", "if", "in", "into", "is", "it", "its", "me", "my", "no", "not", "of", "on", "or", "she", "such", "that",
    "the", "their", "then", "there", "these", "they", "this", "to", "was", "we", "were", "will", "with", "you",
}


def sample_queries(texts, count):
    rng = random.Random(SEED)
    out = []
    while len(out) < count:
        words = [w for w in texts[rng.randrange(len(texts))].split()]
        words = [w.strip(".,;:()'\"`") for w in words]
        words = [w for w in words if WORD.fullmatch(w) and w.lower() not in STOP_WORDS]
        if not words:
            continue
        n = rng.randint(1, min(3, len(words)))
        start = rng.randrange(len(words) - n + 1)
        out.append(" ".join(words[start:start + n]))
    return out


def timed(run, queries, passes):
    best, results = None, None
    for _ in range(passes):
        t0 = time.perf_counter()
        got = [run(q) for q in queries]
        took = time.perf_counter() - t0
        if best is None or took < best:
            best, results = took, got
    return best, results


def digest(results):
    h = hashlib.sha256()
    for rows in results:
        for r in rows:
            h.update(r.key.encode() + struct.pack("<f", r.score))
        h.update(b"\n")
    return h.hexdigest()[:16]


def load_embeddings(count):
    import array
    dim = json.loads((DATA / "embeddings.json").read_text())["dim"]
    raw = (DATA / "embeddings.f32").read_bytes()
    out = []
    for i in range(min(count, len(raw) // (4 * dim))):
        a = array.array("f")
        a.frombytes(raw[i * 4 * dim:(i + 1) * 4 * dim])
        out.append(a)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--filtered-queries", type=int, default=50)
    ap.add_argument("--hybrid", action="store_true")
    args = ap.parse_args()

    import pallix._native as native
    from pallix._native import field

    print(f"pallix from {native.__file__}")
    with open(DATA / "paragraphs.jsonl", encoding="utf-8") as f:
        texts = [json.loads(line)["text"] for line in f]
    queries = sample_queries(texts, args.queries)
    median = int(statistics.median(len(t) for t in texts))
    with tempfile.TemporaryDirectory(prefix="pallix-tqbench-") as tmp:
        db = native.Db.open(os.path.join(tmp, "db"))
        colls = {name: db.collection(name) for name in ("memory", "disk", "scan")}
        batch = [(f"p{i:06d}", {"text": t, "length": len(t)}) for i, t in enumerate(texts)]
        vecs = load_embeddings(len(texts)) if args.hybrid else None
        for name, c in colls.items():
            for lo in range(0, len(batch), 5000):
                part = batch[lo:lo + 5000]
                if name == "scan" and vecs is not None:
                    part = [(k, dict(d, emb=vecs[lo + j])) for j, (k, d) in enumerate(part) if lo + j < len(vecs)]
                c.insert_many(part)
        colls["memory"].create_text_index("text")
        colls["disk"].create_text_index_ondisk("text")
        flt = field("length").gt(median)
        runs = {
            "memory": (lambda q: colls["memory"].query().text("text", q, K).run(), queries, PASSES),
            "disk": (lambda q: colls["disk"].query().text("text", q, K).run(), queries, PASSES),
            "filtered scan": (lambda q: colls["scan"].query().filter(flt).text("text", q, K).run(),
                              queries[:args.filtered_queries], 1),
        }
        if vecs is not None:
            qvec = {q: vecs[(7919 * i) % len(vecs)] for i, q in enumerate(queries)}
            runs["hybrid"] = (lambda q: colls["scan"].query().filter(flt).vector("emb", qvec[q], K, "cosine")
                              .text("text", q, K).fuse_rrf(60).limit(K).run(), queries[:args.filtered_queries], 1)
        print(f"{len(texts)} documents, {len(queries)} queries, e.g. {queries[:4]}")
        for name, (run, qs, passes) in runs.items():
            run(qs[0])  # builds an in-memory index, warms the cache
            took, results = timed(run, qs, passes)
            print(f"{name:14s} {len(qs) / took:10.1f} queries/s  digest {digest(results)}")
        db.close()


if __name__ == "__main__":
    sys.exit(main())
