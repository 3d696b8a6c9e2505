"""Query builder setters, run() and count() against a brute-force oracle, and the exact error texts."""

import array
import math
import random

import pytest

import pallix._native as native
from pallix._native import and_, field, or_

TAKEN = "query was already executed or closed"


def error(call, code=12):
    with pytest.raises(native.PallixError) as info:
        call()
    assert info.value.code == code
    return info.value.message


def make_docs(n, seed=1):
    rng = random.Random(seed)
    docs = {}
    for i in range(n):
        doc = {"g": rng.choice("abcd"), "s": rng.choice(["x", "yy", "z"])}
        kind = rng.randrange(6)
        if kind < 3:
            doc["n"] = rng.randrange(-5, 40)
        elif kind == 3:
            doc["n"] = rng.randrange(-10, 80) / 2
        elif kind == 4:
            doc["n"] = rng.choice(["apple", "pear", None, True])
        if rng.random() < 0.5:
            doc["m"] = {"x": rng.randrange(5), "y": "deep"}
        docs[f"k{i:04}"] = doc
    return docs


def order_key(doc, path, descending):
    """The engine's row order: orderable values, then unorderable, then missing."""
    v = doc
    for seg in path.split("."):
        if not isinstance(v, dict) or seg not in v:
            return (2, 0, 0)
        v = v[seg]
    if isinstance(v, bool) or v is None or (isinstance(v, float) and math.isnan(v)):
        return (1, 0, 0)
    # Numbers before texts ascending; descending reverses the whole value
    # order, texts first.
    if isinstance(v, (int, float)):
        return (0, 1, -v) if descending else (0, 0, v)
    if isinstance(v, str):
        b = v.encode()
        return (0, 0, tuple(-c for c in b) + (1,)) if descending else (0, 1, b)
    return (1, 0, 0)


PREDICATES = [
    (lambda: field("n").lt(10), lambda d: isinstance(d.get("n"), (int, float)) and not isinstance(d.get("n"), bool) and d["n"] < 10),
    (lambda: field("g").eq("a"), lambda d: d.get("g") == "a"),
    (lambda: field("n").between(3, 20), lambda d: isinstance(d.get("n"), (int, float)) and not isinstance(d.get("n"), bool) and 3 <= d["n"] <= 20),
    (lambda: or_(field("g").eq("b"), field("s").eq("z")), lambda d: d.get("g") == "b" or d.get("s") == "z"),
    (lambda: field("m.x").ge(2), lambda d: isinstance(d.get("m"), dict) and d["m"]["x"] >= 2),
]


@pytest.mark.parametrize("indexed", [False, True])
def test_filter_order_window_match_oracle(db, indexed):
    docs = make_docs(400)
    c = db.collection("items")
    c.insert_many(list(docs.items()))
    if indexed:
        c.create_scalar_index("n")
        c.create_scalar_index("g")
    rng = random.Random(5)
    for _ in range(150):
        chosen = rng.sample(PREDICATES, rng.randrange(3))
        q = c.query()
        for build, _test in chosen:
            q.filter(build())
        want = [k for k in sorted(docs) if all(test(docs[k]) for _b, test in chosen)]
        order = rng.choice([None, ("n", False), ("n", True), ("m.x", True), ("s", False)])
        if order:
            q.order_by(order[0], descending=order[1])
            want.sort(key=lambda k: (order_key(docs[k], *order), k))
        offset, limit = rng.randrange(5), rng.choice([None, 0, 3, 17])
        if offset:
            q.offset(offset)
        if limit is not None:
            q.limit(limit)
        want = want[offset:] if limit is None else want[offset:offset + limit]
        rows = q.run()
        assert [r.key for r in rows] == want
        assert all(r.score == 0.0 and r.document == docs[r.key] for r in rows)


def test_select_nested_and_missing_paths(db):
    c = db.collection("p")
    c.insert("a", {"a": {"b": 1, "c": 2}, "d": 3, "e": None})
    [row] = c.query().select(["a.b", "missing", "e", "d.x"]).run()
    assert row.document == {"a": {"b": 1}, "e": None}
    [row] = c.query().select([]).run()
    assert row.document == {}
    c.insert("b", [1, 2])
    rows = c.query().filter(field("a.b").exists()).select(["a"]).run()
    assert [r.document for r in rows] == [{"a": {"b": 1, "c": 2}}]
    assert c.query().select(("a", "a.b")).limit(1).run()[0].document == {"a": {"b": 1, "c": 2}}
    with pytest.raises(TypeError):
        c.query().select("a")


def test_setters_chain_and_the_query_is_one_shot(db):
    c = db.collection("q")
    c.insert("a", {"n": 1})
    q = c.query()
    assert q.limit(5) is q and q.offset(0) is q and q.approx() is q and q.fuse_rrf(10) is q
    assert q.filter(field("n").eq(1)) is q and q.order_by("n") is q and q.select(["n"]) is q
    assert [r.key for r in q.run()] == ["a"]
    assert error(q.run) == TAKEN
    assert error(lambda: q.limit(1)) == TAKEN
    assert q.close() is None
    with c.query() as q2:
        pass
    assert error(q2.count) == TAKEN


def test_vector_setter_checks(db):
    q = db.collection("v").query()
    assert error(lambda: q.vector("v", [0.1, 0.2], 3)) == "query.vector wants an array('f') (float32 vector)"
    assert error(lambda: q.vector("v", array.array("f", [1]), 3, "manhattan")) == (
        "unknown metric 'manhattan' (want cosine|dot|l2)")
    assert "array('f')" in error(lambda: q.vector("v", array.array("d", [1]), 3))
    with pytest.raises(OverflowError):
        q.vector("v", array.array("f", [1]), -1)
    with pytest.raises(TypeError):
        q.order_by("n", 1)
    assert q.run() == []


@pytest.mark.parametrize("k, text", [(0, "0"), (-1, "-1"), (-0.0, "-0"), (math.inf, "inf"), (math.nan, "NaN"),
                                     (1e-50, "0"), (1e39, "inf")])
def test_invalid_fusion_constant(db, k, text):
    q = db.collection("c").query().fuse_rrf(k)
    assert error(q.run) == f"invalid argument: fuse_rrf: k must be > 0, got {text}"
    assert error(q.run) == TAKEN


@pytest.mark.parametrize("method", ["run", "count"])
def test_invalid_lambda_and_both(db, method):
    c = db.collection("c")
    assert error(getattr(c.query().rerank_mmr(1.5), method)) == (
        "invalid argument: rerank_mmr: lambda must be in [0, 1], got 1.5")
    assert "got NaN" in error(getattr(c.query().rerank_mmr(math.nan), method))
    assert error(getattr(c.query().rerank_mmr(2).fuse_rrf(0), method)) == (
        "invalid argument: fuse_rrf: k must be > 0, got 0")
    for ok in (0, 1, -0.0):
        getattr(c.query().rerank_mmr(ok), method)()
    c.query().fuse_rrf(1.401298464324817e-45).run()


def test_count(db):
    c = db.collection("c")
    assert c.query().count() == 0
    assert c.query().filter(field("n").gt(1)).count() == 0
    c.insert_many([(f"k{i}", {"n": i}) for i in range(10)])
    assert c.query().vector("v", array.array("f", [1]), 3).limit(1).count() == 10
    assert c.query().filter(field("n").ge(4)).count() == 6
    c.create_scalar_index("n")
    assert c.query().filter(field("n").ge(4)).filter(field("n").lt(6)).count() == 2


def test_single_vector_source_scores(db):
    c = db.collection("v")
    c.insert_many([(f"k{i}", {"v": array.array("f", [i, 0])}) for i in range(6)])
    rows = c.query().vector("v", array.array("f", [0, 0]), 3, "l2").run()
    assert [r.key for r in rows] == ["k0", "k1", "k2"]
    assert rows[0].score == 0.016393441706895828


def test_keys_come_back_as_str_or_bytes(db):
    c = db.collection("c")
    c.insert(b"\xff\x00", {"n": 1})
    c.insert("ok", {"n": 2})
    assert [r.key for r in c.query().run()] == ["ok", b"\xff\x00"]


def test_hybrid_text_and_vector_fused(db):
    c = db.collection("h")
    c.insert_many([
        ("a", {"t": "red apple pie", "v": array.array("f", [1, 0])}),
        ("b", {"t": "green apple", "v": array.array("f", [0, 1])}),
        ("c", {"t": "blue sky", "v": array.array("f", [1, 0.1])}),
    ])
    rows = (c.query().text("t", "apple", 10).vector("v", array.array("f", [1, 0]), 10, "cosine")
            .filter(field("t").exists()).run())
    scores = {r.key: r.score for r in rows}
    assert set(scores) == {"a", "b", "c"}
    # b leads the text list (shorter), a the vector list; a is second in text.
    assert rows[0].key == "a"
    assert math.isclose(scores["a"], 1 / 61 + 1 / 62, rel_tol=1e-6)
    assert math.isclose(scores["b"], 1 / 61 + 1 / 63, rel_tol=1e-6)
    mmr = c.query().vector("v", array.array("f", [1, 0]), 3).rerank_mmr(0.5).run()
    assert {r.key for r in mmr} == {"a", "b", "c"}


def filtered_recall(selectivity, n=20000, dim=16, queries=20, seed=3, indexed=False, approx=False):
    rng = random.Random(seed)
    db = native.Db()
    c = db.collection("r")
    vecs = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(n)]
    cut = max(1, int(n * selectivity))
    c.insert_many([(f"k{i:06}", {"v": array.array("f", v), "bucket": i % (n // cut)}) for i, v in enumerate(vecs)])
    if indexed:
        c.create_vector_index("v", "l2")
    hits = total = 0
    for _ in range(queries):
        qv = [rng.uniform(-1, 1) for _ in range(dim)]
        truth = sorted(
            (sum((a - b) ** 2 for a, b in zip(qv, v)), f"k{i:06}") for i, v in enumerate(vecs) if i % (n // cut) == 0
        )[:10]
        q = c.query().vector("v", array.array("f", qv), 10, "l2").filter(field("bucket").eq(0))
        rows = (q.approx() if approx else q).run()
        got = {r.key for r in rows}
        hits += len(got & {k for _d, k in truth})
        total += len(truth)
    db.close()
    return hits / total


@pytest.mark.parametrize("selectivity", [0.1, 0.01, 0.001])
@pytest.mark.parametrize("indexed", [False, True])
def test_filtered_vector_recall_at_10(selectivity, indexed):
    """A filtered vector query without approx() scores every filtered candidate, index or not."""
    recall = filtered_recall(selectivity, indexed=indexed)
    print(f"recall@10 at selectivity {selectivity} (index: {indexed}): {recall:.3f}")
    assert recall >= 0.9


def test_approx_filters_the_index_candidates():
    """With approx() the graph's k nearest are filtered afterwards: at 10% selectivity about a tenth survive."""
    recall = filtered_recall(0.1, indexed=True, approx=True)
    print(f"approx recall@10 at selectivity 0.1: {recall:.3f}")
    assert 0.0 < recall < 0.5


def test_deep_filter_trees_run(db):
    c = db.collection("deep")
    c.insert_many([("a", {"n": 1}), ("b", {"n": 2})])
    c.create_scalar_index("n")
    wide = or_(*[field("n").eq(-i) for i in range(1, 50000)], field("n").eq(2))
    assert [r.key for r in c.query().filter(wide).run()] == ["b"]
    # and_ folds left too: a spine 50,000 deep.
    nested = and_(*[field("n").ne(-i) for i in range(1, 50000)], native.not_(field("n").eq(2)))
    assert c.query().filter(nested).count() == 1
    assert c.delete_where(and_(nested, wide)) == 0
