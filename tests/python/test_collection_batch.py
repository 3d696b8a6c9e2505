"""Collection batch and conditional writes: insert_many, delete_batch, delete_where, compare_and_set."""

import math
import threading

import pytest

import pallix._native as native
from pallix._native import SchemaField, field
from conftest import run_threads


def code_of(call):
    with pytest.raises(native.PallixError) as info:
        call()
    return info.value.code, info.value.message


def test_insert_many(db):
    c = db.collection("c")
    assert c.insert_many([]) is None
    assert len(c) == 0
    c.insert_many([("a", 1), ("a", 2)])
    assert c.get("a") == 2 and len(c) == 1
    for bad in ("ab", [["a", 1]], [("a", 1, 2)], {"a": 1}, (x for x in [])):
        with pytest.raises(TypeError):
            c.insert_many(bad)
    assert code_of(lambda: c.insert_many([("b", 1), (5, 2)])) == (12, "keys must be str or bytes")
    assert c.get("b") is None
    assert code_of(lambda: db.collection("__x").insert_many([]))[0] == 10


def test_insert_many_is_all_or_nothing_under_a_schema(db):
    c = db.collection("s")
    c.set_schema([SchemaField("u", "int", unique=True)])
    assert code_of(lambda: c.insert_many([(f"k{i}", {"u": i}) for i in range(4)] + [("bad", {"u": "x"})]))[0] == 15
    assert len(c) == 0
    code, msg = code_of(lambda: c.insert_many([("a", {"u": 1}), ("b", {"u": 1})]))
    assert (code, msg) == (15, "schema violation: field 'u' must be unique; value already exists")
    assert len(c) == 0
    c.insert_many([(f"k{i}", {"u": i}) for i in range(2000)])
    assert len(c) == 2000
    assert code_of(lambda: c.insert_many([("z", {"u": 1999})]))[0] == 15
    c.insert_many([("k5", {"u": 5})])  # its own stored row never conflicts


def test_insert_many_clears_expiry(db):
    c = db.collection("t")
    c.insert_with_ttl("a", 1, 100)
    c.insert_with_ttl("b", 1, 100)
    c.insert_many([("a", 2)])
    assert c.get_ttl("a") is None and c.get_ttl("b") == 100


def test_delete_batch(db):
    c = db.collection("c")
    assert c.delete_batch([]) == 0
    c.insert("a", 1)
    assert c.delete_batch(["a", "a", "zz"]) == 1
    c.insert("a", 1)
    assert code_of(lambda: c.delete_batch(["a", 5]))[0] == 12
    assert c.get("a") == 1
    with pytest.raises(TypeError):
        c.delete_batch("ab")


def test_delete_where(db):
    c = db.collection("c")
    c.insert_many([(f"k{i}", {"age": i}) for i in range(30)])
    assert c.delete_where(field("age").lt(18)) == 18
    assert c.delete_where(field("age").lt(18)) == 0
    assert len(c) == 12
    c.create_scalar_index("age")
    assert c.delete_where(field("age").ge(25)) == 5
    with pytest.raises(TypeError):
        c.delete_where("x")
    assert code_of(lambda: db.collection("__r").delete_where(field("a").eq(1)))[0] == 10


def test_compare_and_set(db):
    c = db.collection("c")
    assert c.compare_and_set("k", None, {"v": 1}) is True
    assert c.compare_and_set("k", None, {"v": 2}) is False
    assert c.compare_and_set("k", {"v": 1}, {"v": 3}) is True and c.get("k") == {"v": 3}
    assert c.compare_and_set("k", {"v": 1}, {"v": 4}) is False
    assert c.compare_and_set("k", {"v": 3}, None) is True and c.get("k") is None
    assert c.compare_and_set("k", None, None) is False
    c.insert("f", 1.0)
    assert c.compare_and_set("f", 1, 2) is False
    c.insert("n", {"x": math.nan})
    assert c.compare_and_set("n", {"x": math.nan}, 1) is True
    c.insert("none", None)
    assert c.compare_and_set("none", None, 1) is False
    c.set_schema([SchemaField("v", "int", required=True)])
    assert code_of(lambda: c.compare_and_set("k", {"other": 1}, {"v": "x"}))[0] == 15


def test_compare_and_set_race(tmp_path):
    """Two threads, one handle each: every round exactly one increments."""
    db = native.Db(str(tmp_path / "race.db"))
    db.collection("c").insert("counter", 0)
    rounds = 200
    wins = [0, 0]
    barrier = threading.Barrier(2)

    def worker(i):
        c = db.collection("c")
        for r in range(rounds):
            barrier.wait()
            if c.compare_and_set("counter", r, r + 1):
                wins[i] += 1
            barrier.wait()
            # Both see the round's outcome before the next begins.
            assert c.get("counter") == r + 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(wins) == rounds
    assert db.collection("c").get("counter") == rounds
    db.close()


def test_delete_where_never_deletes_a_document_patched_meanwhile(shared_db):
    """A document patched to n=2 while delete_where(n == 1) runs is kept (or patched anew after the delete)."""
    shared_db.collection("c").insert_many([(f"{k:04}", {"n": 1}) for k in range(3000)])
    # From the last key down, towards the keys that the deletes reach last.
    patched = [f"{k:04}" for k in range(2999, -1, -3)]
    removed = []
    some_patched = threading.Event()

    def patcher():
        c = shared_db.collection("c")
        for i, key in enumerate(patched):
            c.patch(key, {"n": 2})
            if i == 50:
                some_patched.set()

    def deleter():
        some_patched.wait(30)
        removed.append(shared_db.collection("c").delete_where(field("n").eq(1)))

    run_threads(patcher, deleter)
    c = shared_db.collection("c")
    assert {k: d for k, d in c.scan()} == {k: {"n": 2} for k in patched}
    assert 2000 <= removed[0] <= 3000 - 51
