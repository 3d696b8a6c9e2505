#!/usr/bin/env python3
"""Long phrases through Collection.phrase_search, per text route.

Documents: 60 short texts (8 to 40 words drawn with a fixed seed from a
vocabulary of 400 words, every text holding the sentence "quick brown fox
jumps over lazy dog"), loaded into three collections of one database file
under $TMPDIR: one with an in-memory text index on "text", one with an
on-disk text index, one without an index (phrase_search scans every
document). Phrases:

  sentence x N   the sentence repeated up to 8,000 words: every document
                 holds every word, so no document drops out before the
                 positions are compared;
  vocabulary     8,000 words drawn from the documents' own words;
  absent word    the sentence repeated, then one word no document holds;
  1 MB           the sentence repeated up to one megabyte (about 150,000
                 words);
  sentence       the sentence once, for comparison: every document holds it.

Each phrase is timed as c.phrase_search("text", phrase, 10), best of a few
passes, and the routes' answers (keys and score bits) are checked equal.
The last column is the in-memory time over the on-disk time.

Usage: python3 bench/long_phrase_bench.py [--passes P] [--words W]
"""

import argparse
import os
import random
import struct
import sys
import tempfile
import time

SEED = 20261207
SENTENCE = "quick brown fox jumps over lazy dog"
DOCS = 60
K = 10


def make_texts():
    rng = random.Random(SEED)
    vocab = [f"w{n}x" for n in range(400)]
    texts = []
    for _ in range(DOCS):
        words = [rng.choice(vocab) for _ in range(rng.randint(8, 40))]
        at = rng.randint(0, len(words))
        texts.append(" ".join(words[:at] + SENTENCE.split() + words[at:]))
    return texts


def repeat_to(words, count):
    out = []
    while len(out) < count:
        out += words
    return " ".join(out[:count])


def make_phrases(texts, words):
    rng = random.Random(SEED + 1)
    pool = " ".join(texts).split()
    sentence = SENTENCE.split()
    megabyte = (SENTENCE + " ") * (1_000_000 // (len(SENTENCE) + 1))
    return {
        f"sentence x {words}": repeat_to(sentence, words),
        f"vocabulary {words}": " ".join(rng.choice(pool) for _ in range(words)),
        f"absent word {words}": repeat_to(sentence, words - 1) + " nowhere",
        "1 MB": megabyte,
        "sentence (7 words)": SENTENCE,
    }


def fingerprint(rows):
    return [(r.key, struct.pack("<f", r.score)) for r in rows]


def best_of(passes, fn):
    best, got = None, None
    for _ in range(passes):
        t0 = time.perf_counter()
        got = fn()
        took = time.perf_counter() - t0
        best = took if best is None else min(best, took)
    return best, got


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--words", type=int, default=8000)
    args = ap.parse_args()

    import pallix._native as native

    print(f"pallix from {native.__file__}")
    texts = make_texts()
    phrases = make_phrases(texts, args.words)
    with tempfile.TemporaryDirectory(prefix="pallix-phrasebench-") as tmp:
        db = native.Db.open(os.path.join(tmp, "db"))
        routes = {name: db.collection(name) for name in ("memory", "disk", "scan")}
        batch = [(f"d{i:03d}", {"text": t}) for i, t in enumerate(texts)]
        for c in routes.values():
            c.insert_many(batch)
        routes["memory"].create_text_index("text")
        routes["disk"].create_text_index_ondisk("text")
        routes["memory"].phrase_search("text", "fox", 1)  # builds the in-memory index
        print(f"{DOCS} documents; milliseconds per phrase_search, best of {args.passes}")
        print(f"{'phrase':22s} {'memory':>10s} {'disk':>10s} {'scan':>10s} {'mem/disk':>9s}  hits")
        for label, phrase in phrases.items():
            times, answers = {}, {}
            for name, c in routes.items():
                took, rows = best_of(args.passes, lambda c=c: c.phrase_search("text", phrase, K))
                times[name], answers[name] = took, fingerprint(rows)
            agree = answers["memory"] == answers["disk"] == answers["scan"]
            ms = {name: 1000 * took for name, took in times.items()}
            print(f"{label:22s} {ms['memory']:10.3f} {ms['disk']:10.3f} {ms['scan']:10.3f} "
                  f"{times['memory'] / times['disk']:8.2f}x  {len(answers['memory'])}"
                  f"{'' if agree else '  ROUTES DISAGREE'}")
        db.close()


if __name__ == "__main__":
    sys.exit(main())
