"""Query benchmark: pallix against sqlite3 (and py-lmdb for the bulk load).

One process, the same documents (~200 bytes each, nested maps) in every
store, file-backed:

- bulk load: pallix insert_many (one transaction) vs sqlite3 executemany
  of JSON text in one transaction vs raw py-lmdb puts of pickles in one
  transaction;
- filter + order + limit: the same range filter, ordered by another field,
  first 10 rows, without and then with a scalar index on the filtered
  field (sqlite3: the same query over json_extract, without and with an
  expression index);
- aggregates: count with a filter, sum of a field, group count
  (sqlite3: COUNT / SUM / GROUP BY over json_extract).

Prints seconds per operation and the speed ratio (other time / pallix
time; above 1 means pallix is faster).

With --baseline FILE (an `_native` extension module file of another build;
may be given more than once) the walks without an index (filter + order +
limit, count, sum, group count) run instead on this build and each
baseline side by side, each build over its own copy of the documents, the
builds taking turns round by round; it prints each build's best wall and
CPU seconds, this build's time as a ratio of each baseline's, and whether
every build gave the same answers. --module FILE measures that file
instead of the installed module.

Run: python3 bench/query_bench.py [--n 1000000] [--module FILE] [--baseline FILE ...]
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modload import load_module  # noqa: E402

native = None

try:
    import lmdb
except ImportError:  # pragma: no cover - installed on demand
    import subprocess

    subprocess.check_call([sys.executable, "-m", "pip", "install", "--quiet", "lmdb"])
    import lmdb

WORDS = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta"]


def make_docs(n, seed=1):
    rng = random.Random(seed)
    return [
        (
            f"user:{i:08d}",
            {
                "name": f"{rng.choice(WORDS)} {rng.choice(WORDS)} {i}",
                "age": rng.randrange(18, 90),
                "score": rng.random() * 100,
                "active": rng.random() < 0.5,
                "city": rng.choice(WORDS).title(),
                "tags": [rng.choice(WORDS) for _ in range(3)],
                "meta": {"created": 1_700_000_000 + i, "version": rng.randrange(1, 5)},
            },
        )
        for i in range(n)
    ]


def best_of(fn, reps):
    best = float("inf")
    result = None
    for _ in range(reps):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def bench_load(tmp, docs):
    out = {}
    db = native.Db.open(os.path.join(tmp, "p.db"))
    c = db.collection("docs")
    t0 = time.perf_counter()
    c.insert_many(docs)
    out["pallix"] = time.perf_counter() - t0

    conn = sqlite3.connect(os.path.join(tmp, "s.db"), isolation_level=None)
    conn.execute("CREATE TABLE docs (k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID")
    t0 = time.perf_counter()
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO docs VALUES (?, ?)", ((k, json.dumps(d)) for k, d in docs))
    conn.execute("COMMIT")
    out["sqlite3"] = time.perf_counter() - t0

    env = lmdb.open(os.path.join(tmp, "l.lmdb"), map_size=1 << 34, subdir=True)
    t0 = time.perf_counter()
    with env.begin(write=True) as txn:
        for k, d in docs:
            txn.put(k.encode(), pickle.dumps(d))
    out["py-lmdb"] = time.perf_counter() - t0
    env.close()
    return out, db, c, conn


def pallix_query(c, lo, hi):
    field = native.field
    return [r.key for r in c.query().filter(field("age").between(lo, hi)).order_by("score").limit(10).run()]


def sqlite_query(conn, lo, hi):
    return [r[0] for r in conn.execute(
        "SELECT k FROM docs WHERE json_extract(v, '$.age') BETWEEN ? AND ? "
        "ORDER BY json_extract(v, '$.score'), k LIMIT 10", (lo, hi))]


def bench_queries(c, conn, reps):
    rows = []
    for label, lo, hi in (("filter 1 age + order + limit 10", 30, 30), ("filter 10 ages + order + limit 10", 30, 39)):
        tp, kp = best_of(lambda: pallix_query(c, lo, hi), reps)
        ts, ks = best_of(lambda: sqlite_query(conn, lo, hi), reps)
        assert kp == ks, (kp, ks)
        rows.append((label, tp, ts))
    return rows


def bench_aggregates(c, conn, reps):
    field = native.field
    out = []
    tp, np_ = best_of(lambda: c.query().filter(field("active").eq(True)).count(), reps)
    ts, ns = best_of(lambda: conn.execute("SELECT COUNT(*) FROM docs WHERE json_extract(v, '$.active') = 1")
                     .fetchone()[0], reps)
    assert np_ == ns
    out.append(("count where active", tp, ts))
    tp, sp = best_of(lambda: c.query().sum("score"), reps)
    ts, ss = best_of(lambda: conn.execute("SELECT SUM(json_extract(v, '$.score')) FROM docs").fetchone()[0], reps)
    assert abs(sp - ss) < 1e-6 * abs(ss)
    out.append(("sum score", tp, ts))
    tp, gp = best_of(lambda: c.query().group_count("city"), reps)
    ts, gs = best_of(lambda: dict(conn.execute(
        "SELECT json_extract(v, '$.city'), COUNT(*) FROM docs GROUP BY 1 ORDER BY 1")), reps)
    assert gp == gs
    out.append(("group count city", tp, ts))
    return out


def walks(mod):
    """The walks without an index, each a function of a collection."""
    field = mod.field
    return [
        ("filter 1 age + order + limit 10",
         lambda c: [r.key for r in c.query().filter(field("age").between(30, 30)).order_by("score").limit(10).run()]),
        ("filter 10 ages + order + limit 10",
         lambda c: [r.key for r in c.query().filter(field("age").between(30, 39)).order_by("score").limit(10).run()]),
        ("count where active", lambda c: c.query().filter(field("active").eq(True)).count()),
        ("sum score", lambda c: c.query().sum("score").hex()),
        ("group count city", lambda c: c.query().group_count("city")),
    ]


def build_label(path, i):
    """A build's name: its file's, or for .../NAME/build/x/binding/_native.abi3.so, NAME."""
    name = os.path.basename(path)
    if name.startswith("_native"):
        parts = os.path.abspath(path).split(os.sep)
        return parts[-5] if len(parts) >= 5 else f"base{i}"
    return name.split(".")[0]


def compare_builds(args, docs, tmp):
    """This build and the baselines, turn by turn, over the same documents."""
    mods = [("this build", native)]
    for i, path in enumerate(args.baseline):
        mods.append((build_label(path, i), load_module(path, f"pallix_base{i}")))
    colls = []
    for i, (name, mod) in enumerate(mods):
        db = mod.Db.open(os.path.join(tmp, f"b{i}.db"))
        c = db.collection("docs")
        t0 = time.perf_counter()
        c.insert_many(docs)
        print(f"{name:24} loaded in {time.perf_counter() - t0:.1f} s")
        colls.append((db, c, walks(mod)))
    names = [m[0] for m in mods]
    print(f"\n{'walk (no index)':36}" + "".join(f"{n[:22]:>24}" for n in names) + "   this/base (wall, cpu)")
    same = True
    for j, (label, _fn) in enumerate(walks(native)):
        wall = [float("inf")] * len(mods)
        cpu = [float("inf")] * len(mods)
        answers = [None] * len(mods)
        for _ in range(args.reps):
            for i, (_db, c, ws) in enumerate(colls):
                t0, c0 = time.perf_counter(), time.process_time()
                answers[i] = ws[j][1](c)
                wall[i] = min(wall[i], time.perf_counter() - t0)
                cpu[i] = min(cpu[i], time.process_time() - c0)
        same = same and all(a == answers[0] for a in answers)
        cells = "".join(f"{w:11.4f}/{c_:<11.4f}"[:24].rjust(24) for w, c_ in zip(wall, cpu))
        ratios = "  ".join(f"{wall[0] / wall[i]:.2f}x,{cpu[0] / cpu[i]:.2f}x" for i in range(1, len(mods)))
        print(f"{label:36}{cells}   {ratios}")
    print(f"\nanswers identical across builds: {'yes' if same else 'NO'}")
    for db, _c, _w in colls:
        db.close()


def main():
    global native
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--module", help="the _native extension file to measure (default: import pallix._native)")
    ap.add_argument("--baseline", action="append", default=[],
                    help="another build's _native extension file, run beside this one (repeatable)")
    args = ap.parse_args()
    if args.module:
        native = load_module(args.module, "pallix_this")
    else:
        import pallix._native as installed
        native = installed
    docs = make_docs(args.n)
    if args.baseline:
        with tempfile.TemporaryDirectory() as tmp:
            compare_builds(args, docs, tmp)
        return
    size = sum(len(json.dumps(d)) for _k, d in docs[:1000]) / 1000
    print(f"{args.n} documents, ~{size:.0f} bytes of JSON each\n")
    with tempfile.TemporaryDirectory() as tmp:
        load, db, c, conn = bench_load(tmp, docs)
        del docs
        print(f"{'operation':44} {'pallix s':>10} {'other s':>10} {'ratio':>7}")
        for other in ("sqlite3", "py-lmdb"):
            print(f"{'insert_many vs ' + other:44} {load['pallix']:10.3f} {load[other]:10.3f} "
                  f"{load[other] / load['pallix']:7.2f}x")
        for phase in ("no index", "scalar index"):
            if phase == "scalar index":
                c.create_scalar_index("age")
                conn.execute("CREATE INDEX age_idx ON docs (json_extract(v, '$.age'))")
            for label, tp, ts in bench_queries(c, conn, args.reps):
                print(f"{label + ' (' + phase + ')':44} {tp:10.4f} {ts:10.4f} {ts / tp:7.2f}x")
        for label, tp, ts in bench_aggregates(c, conn, args.reps):
            print(f"{label + ' vs sqlite3':44} {tp:10.4f} {ts:10.4f} {ts / tp:7.2f}x")
        conn.close()
        db.close()


if __name__ == "__main__":
    main()
