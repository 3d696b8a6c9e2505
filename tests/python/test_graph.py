"""Graph methods: link, link_weighted, unlink, neighbors, in_neighbors, neighbors_weighted, traverse."""

import math

import pytest

import pallix._native as native
from conftest import pallix_error


@pytest.fixture
def c(db):
    return db.collection("g")


def test_links_and_neighbors(c):
    assert c.link("a", "r", "b") is None
    c.link("a", "r", "c")
    assert c.neighbors("a", "r") == ["b", "c"]
    assert c.in_neighbors("c", "r") == ["a"]
    assert c.neighbors("a", "s") == [] and c.neighbors("x", "r") == []
    c.link("a", "r", "b")
    assert c.neighbors("a", "r") == ["b", "c"] and c.in_neighbors("b", "r") == ["a"]
    assert len(c) == 0 and c.scan() == []  # edges are not documents


def test_lists_are_in_bytewise_key_order(c):
    for to in ("b", "ab", "a", "", "\x00", b"\xff"):
        c.link("x", "r", to)
        c.link(to, "r", "y")
    expected = ["", "\x00", "a", "ab", "b", b"\xff"]
    assert c.neighbors("x", "r") == expected
    assert c.in_neighbors("y", "r") == expected
    assert [k for k, _ in c.neighbors_weighted("x", "r")] == expected


def test_reads_of_unknown_collections_are_empty(db):
    g = db.collection("never")
    assert g.neighbors("a", "r") == [] and g.in_neighbors("a", "r") == []
    assert g.neighbors_weighted("a", "r") == [] and g.traverse("a", "r", 3) == []
    assert g.unlink("a", "r", "b") is False


def test_weights(c):
    c.link("a", "r", "b")
    assert c.neighbors_weighted("a", "r") == [("b", 1.0)]
    c.link_weighted("a", "r", "b", 2.5)
    assert c.neighbors_weighted("a", "r") == [("b", 2.5)]
    assert c.neighbors("a", "r") == ["b"]
    c.link("a", "r", "b")
    assert c.neighbors_weighted("a", "r") == [("b", 1.0)]
    c.link_weighted("a", "r", "c", 2)
    c.link_weighted("a", "r", "d", float("nan"))
    c.link_weighted("a", "r", "e", -float("inf"))

    class Half:
        def __float__(self):
            return 0.5

    c.link_weighted("a", "r", "f", Half())
    pairs = c.neighbors_weighted("a", "r")
    assert all(type(p) is tuple and len(p) == 2 and type(p[1]) is float for p in pairs)
    w = dict(pairs)
    assert w["c"] == 2.0 and math.isnan(w["d"]) and w["e"] == -math.inf and w["f"] == 0.5


def test_unlink(c):
    c.link("a", "r", "b")
    c.link("a", "s", "b")
    assert c.unlink("a", "r", "b") is True
    assert c.unlink("a", "r", "b") is False
    assert c.unlink("x", "r", "y") is False
    assert c.neighbors("a", "r") == [] and c.in_neighbors("b", "r") == []
    assert c.neighbors("a", "s") == ["b"]


def test_traverse(c):
    assert c.traverse("a", "r", 0) == []
    c.link("a", "r", "b")
    c.link("b", "r", "a")
    c.link("b", "r", "c")
    assert c.traverse("a", "r", 5) == ["b", "c"]
    assert c.traverse("a", "r", 1) == ["b"]
    assert c.traverse("a", "s", 5) == [] and c.traverse("z", "r", 5) == []
    assert c.traverse(start="a", relation="r", hops=2**64 - 1) == ["b", "c"]


def test_traverse_discovery_order(c):
    # Level by level; within a level by the parent's discovery order, then by key.
    for frm, to in [("s", "m"), ("s", "b"), ("b", "z"), ("m", "a"), ("m", "z"), ("z", "s"), ("a", "q")]:
        c.link(frm, "r", to)
    assert c.traverse("s", "r", 1) == ["b", "m"]
    assert c.traverse("s", "r", 2) == ["b", "m", "z", "a"]
    assert c.traverse("s", "r", 10) == ["b", "m", "z", "a", "q"]


def test_keys_keep_their_type(c):
    c.link(b"\xff", "r", b"\xfe")
    c.link("s", "r", b"t")
    c.link(bytearray(b"u"), "r", "v")
    assert c.neighbors(b"\xff", "r") == [b"\xfe"]
    assert c.in_neighbors(b"\xfe", "r") == [b"\xff"]
    assert c.traverse(b"\xff", "r", 1) == [b"\xfe"]
    assert c.neighbors("s", "r") == ["t"] and c.neighbors("u", "r") == ["v"]


def test_argument_checks(c):
    assert pallix_error(lambda: c.link(1, "r", "b")) == "keys must be str or bytes"
    assert pallix_error(lambda: c.link("a", "r", 1)) == "keys must be str or bytes"
    assert pallix_error(lambda: c.link_weighted("a", "r", None, 1.0)) == "keys must be str or bytes"
    assert pallix_error(lambda: c.unlink("a", "r", 1.5)) == "keys must be str or bytes"
    assert pallix_error(lambda: c.traverse(["a"], "r", 1)) == "keys must be str or bytes"
    assert c.neighbors("a", "r") == []
    for call in (lambda: c.link("a", 7, "b"), lambda: c.link_weighted("a", "r", "b", "2"),
                 lambda: c.link_weighted("a", "r", "b", None), lambda: c.neighbors("a", b"r"),
                 lambda: c.traverse("a", "r", 1.0), lambda: c.traverse("a", "r"), lambda: c.unlink("a", "r"),
                 lambda: c.in_neighbors(to="a")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(OverflowError):
        c.traverse("a", "r", -1)
    with pytest.raises(OverflowError):
        c.traverse("a", "r", 2**64)
    # `from` is a keyword of the language: by keyword only through a dict.
    c.link(**{"from": "a", "relation": "r", "to": "b"})
    assert c.neighbors(**{"from": "a", "relation": "r"}) == ["b"]
    assert c.in_neighbors(to="b", relation="r") == ["a"]


def test_relations_are_not_checked(c):
    for relation in ("", "a\0b", "__x", "é"):
        c.link("a", relation, "b")
        assert c.neighbors("a", relation) == ["b"]
    assert c.neighbors("a", "other") == []


def test_reads_apply_no_name_check(db):
    g = db.collection("__g")
    assert g.neighbors("a", "r") == [] and g.in_neighbors("a", "r") == [] and g.traverse("a", "r", 2) == []
    assert g.neighbors_weighted("a", "r") == []
    assert pallix_error(lambda: g.unlink("a", "r", "b"), 10) == "reserved collection name: __g"


def test_deleting_a_document_removes_its_edges(c):
    c.link("a", "r", "b")
    c.link("b", "s", "c")
    c.insert("a", 1)
    c.insert("b", {"x": 1})
    assert len(c) == 2
    assert c.delete("b") is True
    assert c.neighbors("a", "r") == [] and c.neighbors("b", "s") == [] and c.in_neighbors("c", "s") == []
    assert c.get("a") == 1


def test_deleting_a_key_without_a_document_removes_its_edges(c):
    c.link("a", "r", "z")
    c.link("z", "r", "a")
    c.link("z", "s", "y")
    assert c.delete("z") is False
    assert c.neighbors("a", "r") == [] and c.neighbors("z", "r") == [] and c.in_neighbors("y", "s") == []
    assert c.in_neighbors("a", "r") == []


def test_update_to_none_removes_edges(c):
    c.insert("k", 1)
    c.link("k", "r", "x")
    c.update("k", lambda d: None)
    assert c.neighbors("k", "r") == []


def test_edges_persist(path):
    d = native.Db.open(path)
    g = d.collection("g")
    g.link("a", "r", "b")
    g.link_weighted("b", "r", "c", 0.25)
    g.close()
    d.close()
    d = native.Db.open(path)
    g = d.collection("g")
    assert g.traverse("a", "r", 3) == ["b", "c"] and g.neighbors_weighted("b", "r") == [("c", 0.25)]
    assert d.collections() == []  # edges do not make a user collection appear
    d.close()
