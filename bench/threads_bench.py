"""Threads benchmark: does a durable writer stop the other Python threads?

One file database with 1,000 small documents. A reader thread calls `get`
on random keys in a loop, on its own Collection handle. Its rate is
measured alone, then while a writer thread makes durable single inserts
(one commit, and so one disk sync, each) on another handle of the same
collection. The phases alternate `--rounds` times; the medians are
reported, with the ratio of the reader's rate with the writer to its rate
alone. A commit that held the interpreter lock through its sync would stop
the reader for the whole sync; the ratio shows how much of its rate the
reader keeps (1.0: all of it).

Run: python3 bench/threads_bench.py [--seconds 2] [--rounds 3] [--dir DIR]
"""

import argparse
import os
import random
import shutil
import statistics
import tempfile
import threading
import time

import pallix._native as native

KEYS = 1000


def reader(c, stop, out):
    rng = random.Random(7)
    n = 0
    while not stop.is_set():
        c.get(f"k{rng.randrange(KEYS):05d}")
        n += 1
    out.append(n)


def writer(c, stop, out):
    n = 0
    while not stop.is_set():
        c.insert(f"w{n:08d}", {"n": n, "text": "payload " * 8})
        n += 1
    out.append(n)


def phase(db, seconds, with_writer):
    """Operations per second of the reader, and of the writer (0 without one)."""
    stop = threading.Event()
    reads, writes = [], []
    threads = [threading.Thread(target=reader, args=(db.collection("c"), stop, reads))]
    if with_writer:
        threads.append(threading.Thread(target=writer, args=(db.collection("c"), stop, writes)))
    start = time.perf_counter()
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    return reads[0] / elapsed, (writes[0] / elapsed if writes else 0.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="length of each phase")
    parser.add_argument("--rounds", type=int, default=3, help="alone/with-writer phase pairs")
    parser.add_argument("--dir", default=None, help="directory for the database file (default: a temp dir)")
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(dir=args.dir)
    try:
        db = native.Db.open(os.path.join(workdir, "threads.db"))
        c = db.collection("c")
        for i in range(KEYS):
            c.insert(f"k{i:05d}", {"i": i, "name": f"doc {i}", "tags": ["a", "b"]})
        c.close()
        alone, together, inserts = [], [], []
        for _ in range(args.rounds):
            alone.append(phase(db, args.seconds, False)[0])
            reads, writes = phase(db, args.seconds, True)
            together.append(reads)
            inserts.append(writes)
        db.close()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    a, t, w = statistics.median(alone), statistics.median(together), statistics.median(inserts)
    print(f"reader alone:               {a:12,.0f} get/s")
    print(f"reader with durable writer: {t:12,.0f} get/s   (writer: {w:,.0f} insert/s)")
    print(f"ratio:                      {t / a:12.2f}x")


if __name__ == "__main__":
    main()
