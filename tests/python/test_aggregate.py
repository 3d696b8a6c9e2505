"""Query aggregates and grouped aggregates: results, group-key texts, planned against walked."""

import math
import random

import pytest

import pallix._native as native
from pallix._native import field

TAKEN = "query was already executed or closed"


def coll(db, values, name="c", key="x"):
    c = db.collection(name)
    for i, v in enumerate(values):
        c.insert(f"k{i:03}", {} if v is ... else {key: v})
    return c


def test_empty_collection(db):
    c = db.collection("never")
    q = c.query
    assert q().sum("n") == 0.0 and q().avg("n") is None and q().min("n") is None and q().max("n") is None
    assert q().count_distinct("n") == 0 and q().group_count("n") == {} and q().group_sum("a", "b") == {}
    assert q().group_avg("a", "b") == {}


def test_sum_and_avg_rules(db):
    c = coll(db, [1, 2.0, True, "5", None, ...])
    assert c.query().sum("x") == 3.0 and isinstance(c.query().sum("x"), float)
    assert c.query().avg("x") == 1.5
    big = coll(db, [2**62, 2**62], "big")
    assert big.query().sum("x") == 9.223372036854776e18
    assert coll(db, [-0.0], "z").query().sum("x") == 0.0
    assert math.copysign(1, coll(db, [-0.0], "z2").query().sum("x")) == 1.0
    assert math.isnan(coll(db, [1, math.nan], "nan").query().sum("x"))
    assert math.isnan(coll(db, [math.inf, -math.inf], "inf").query().sum("x"))
    assert c.query().sum("") == 0.0 and c.query().avg("") is None


def test_count_distinct_texts(db):
    c = coll(db, [1, 1.0, 0.0, -0.0, math.nan, math.nan, "i:1", None, [1], {"a": 1}, b"x"])
    assert c.query().count_distinct("x") == 5  # i:1 f:1 f:0 f:NaN t:i:1


def test_group_keys_and_order(db):
    c = coll(db, [10, 2, -1])
    assert list(c.query().group_count("x").items()) == [("i:-1", 1), ("i:10", 1), ("i:2", 1)]
    t = coll(db, ["apple", "Zebra", "red", True, False, "b", 1, "a", ...], "t")
    assert list(t.query().group_count("x")) == ["Zebra", "a", "apple", "b", "b:false", "b:true", "i:1", "red"]


def test_group_sum_and_avg(db):
    c = db.collection("g")
    c.insert_many([("a", {"g": "x", "v": 1}), ("b", {"g": "x", "v": 2}), ("c", {"g": "y", "v": "no"}),
                   ("d", {"g": None, "v": 5}), ("e", {"v": 7})])
    assert c.query().group_sum("g", "v") == {"x": 3.0}
    assert c.query().group_avg("g", "v") == {"x": 1.5}
    assert c.query().group_count("g") == {"x": 2, "y": 1}


def test_min_max_rules(db):
    assert coll(db, [3, "a", 2.5], "a").query().min("x") == 2.5
    assert coll(db, ["b", 1, "a"], "b").query().min("x") == "a"
    assert coll(db, [True, False], "c").query().max("x") is None
    assert coll(db, ["ab", "abc"], "d").query().max("x") == "abc"
    got = coll(db, [1, 1.0], "e").query().max("x")
    assert got == 1 and isinstance(got, int)
    assert coll(db, [math.nan, 2], "f").query().min("x") == 2
    assert coll(db, [None, [1]], "g").query().min("x") is None


def test_aggregates_consume_the_query(db):
    c = coll(db, [1])
    q = c.query()
    with pytest.raises(TypeError):
        q.sum(5)
    assert q.sum("x") == 1.0
    with pytest.raises(native.PallixError) as info:
        q.sum("x")
    assert info.value.message == TAKEN
    with pytest.raises(native.PallixError) as info:
        c.query().fuse_rrf(0).sum("x")
    assert info.value.code == 12
    with pytest.raises(native.PallixError) as info:
        c.query().rerank_mmr(2).group_count("x")
    assert info.value.message == "invalid argument: rerank_mmr: lambda must be in [0, 1], got 2"


def test_planned_equals_walked(db):
    rng = random.Random(9)
    docs = [(f"k{i:04}", {"n": rng.choice([rng.randrange(50), rng.randrange(100) / 4, "s", None]),
                          "g": rng.choice("pqrs")}) for i in range(600)]
    plain, idx = db.collection("plain"), db.collection("idx")
    idx.create_scalar_index("n")
    idx.create_scalar_index("g")
    plain.insert_many(docs)
    idx.insert_many(docs)
    for pred in (lambda: field("n").lt(20), lambda: field("g").eq("q"), lambda: field("n").between(5, 9)):
        results = []
        for c in (plain, idx):
            q = lambda: c.query().filter(pred())
            results.append((q().count(), round(q().sum("n"), 6), q().avg("n") and round(q().avg("n"), 6),
                            q().min("n"), q().max("n"), q().count_distinct("n"), q().group_count("g"),
                            {k: round(v, 6) for k, v in q().group_sum("g", "n").items()},
                            {k: round(v, 6) for k, v in q().group_avg("g", "n").items()}))
        assert results[0] == results[1]
