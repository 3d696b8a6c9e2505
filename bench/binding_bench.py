"""Python-level benchmark: pallix against sqlite3 and lmdb+pickle.

One process, the same 100,000 documents (~200 bytes each, nested maps) in
all three stores, file-backed with per-commit durability:

- pallix: one collection; documents stored as engine values.
- sqlite3: JSON in a TEXT column keyed by TEXT, synchronous=FULL.
- lmdb (PyPI): pickled dicts, sync on commit.

Measured: point get (random keys), a full ordered scan, a page walk
(pages of 100), and per-call insert (one commit each, on a smaller set
since every commit syncs). Prints operations/s and the ratios.

Run: python3 bench/binding_bench.py [--n 100000]
"""

import argparse
import json
import os
import pickle
import random
import sqlite3
import sys
import tempfile
import time

import pallix._native as native

try:
    import lmdb
except ImportError:  # pragma: no cover - installed on demand
    import subprocess

    subprocess.check_call([sys.executable, "-m", "pip", "install", "--quiet", "lmdb"])
    import lmdb

from sample_docs import make_docs


def timed(fn, count):
    t0 = time.perf_counter()
    fn()
    dt = time.perf_counter() - t0
    return count / dt


class Pallix:
    name = "pallix"

    def __init__(self, path):
        self.db = native.Db.open(path)
        self.c = self.db.collection("docs")

    def load(self, docs):
        if hasattr(self.c, "insert_many"):
            self.c.insert_many(docs)
        else:  # before batch writes exist: one transaction per document
            for k, d in docs:
                self.c.insert(k, d)

    def insert(self, key, doc):
        self.c.insert(key, doc)

    def get(self, key):
        return self.c.get(key)

    def scan(self):
        return self.c.scan()

    def pages(self, size):
        n = 0
        after = None
        while True:
            page = self.c.page(after, size)
            n += len(page.rows)
            if page.next is None:
                return n
            after = page.next


class Sqlite:
    name = "sqlite3"

    def __init__(self, path):
        self.conn = sqlite3.connect(path, isolation_level=None)
        self.conn.execute("PRAGMA synchronous=FULL")
        self.conn.execute("CREATE TABLE docs (k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID")

    def load(self, docs):
        self.conn.execute("BEGIN")
        self.conn.executemany("INSERT OR REPLACE INTO docs VALUES (?, ?)", ((k, json.dumps(d)) for k, d in docs))
        self.conn.execute("COMMIT")

    def insert(self, key, doc):
        self.conn.execute("INSERT OR REPLACE INTO docs VALUES (?, ?)", (key, json.dumps(doc)))

    def get(self, key):
        row = self.conn.execute("SELECT v FROM docs WHERE k = ?", (key,)).fetchone()
        return json.loads(row[0]) if row else None

    def scan(self):
        return [(k, json.loads(v)) for k, v in self.conn.execute("SELECT k, v FROM docs ORDER BY k")]

    def pages(self, size):
        n = 0
        after = ""
        while True:
            rows = self.conn.execute("SELECT k, v FROM docs WHERE k > ? ORDER BY k LIMIT ?", (after, size)).fetchall()
            rows = [(k, json.loads(v)) for k, v in rows]
            n += len(rows)
            if len(rows) < size:
                return n
            after = rows[-1][0]


class LmdbPickle:
    name = "lmdb+pickle"

    def __init__(self, path):
        self.env = lmdb.open(path, map_size=8 << 30, subdir=False, sync=True, lock=True)

    def load(self, docs):
        with self.env.begin(write=True) as txn:
            for k, d in docs:
                txn.put(k.encode(), pickle.dumps(d, protocol=pickle.HIGHEST_PROTOCOL))

    def insert(self, key, doc):
        with self.env.begin(write=True) as txn:
            txn.put(key.encode(), pickle.dumps(doc, protocol=pickle.HIGHEST_PROTOCOL))

    def get(self, key):
        with self.env.begin() as txn:
            v = txn.get(key.encode())
            return pickle.loads(v) if v is not None else None

    def scan(self):
        with self.env.begin() as txn:
            return [(k.decode(), pickle.loads(v)) for k, v in txn.cursor()]

    def pages(self, size):
        n = 0
        after = b""
        while True:
            rows = []
            with self.env.begin() as txn:
                cur = txn.cursor()
                if cur.set_range(after):
                    for k, v in cur:
                        rows.append((k.decode(), pickle.loads(v)))
                        if len(rows) == size:
                            break
            n += len(rows)
            if len(rows) < size:
                return n
            after = rows[-1][0].encode() + b"\0"


def bench(store, docs, probe_keys, insert_docs):
    out = {}
    store.load(docs)
    out["get"] = timed(lambda: [store.get(k) for k in probe_keys], len(probe_keys))
    out["scan"] = timed(store.scan, len(docs))
    out["page"] = timed(lambda: store.pages(100), len(docs))
    out["insert"] = timed(lambda: [store.insert(k, d) for k, d in insert_docs], len(insert_docs))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--inserts", type=int, default=2_000)
    args = ap.parse_args()
    docs = make_docs(args.n)
    rng = random.Random(7)
    probe_keys = [docs[rng.randrange(len(docs))][0] for _ in range(100_000)]
    insert_docs = [(f"new:{i:08d}", d) for i, (_, d) in enumerate(docs[: args.inserts])]
    size = sum(len(json.dumps(d)) for _, d in docs[:1000]) / 1000
    print(f"{args.n} documents, ~{size:.0f} bytes of JSON each")
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for cls in (Pallix, Sqlite, LmdbPickle):
            store = cls(os.path.join(tmp, cls.name))
            results[cls.name] = bench(store, docs, probe_keys, insert_docs)
            del store
    ours = results["pallix"]
    print(f"{'operation':<10}{'pallix/s':>14}{'sqlite3/s':>14}{'lmdb+pickle/s':>16}{'vs sqlite3':>12}{'vs lmdb':>10}")
    for op in ("get", "scan", "page", "insert"):
        s, l = results["sqlite3"][op], results["lmdb+pickle"][op]
        print(f"{op:<10}{ours[op]:>14,.0f}{s:>14,.0f}{l:>16,.0f}{ours[op] / s:>11.2f}x{ours[op] / l:>9.2f}x")


if __name__ == "__main__":
    main()
