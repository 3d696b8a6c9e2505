"""Schema declaration: Collection.set_schema and Collection.schema, and the writes they govern."""

import collections.abc

import pytest

import pallix._native as native
from conftest import pallix_error

SF = native.SchemaField
TYPES = ["any", "bool", "int", "float", "text", "bytes", "vector", "array", "map"]


def described(fields):
    return [(f.name, f.ty, f.required, f.unique) for f in fields]


def test_schema_round_trip(db):
    c = db.collection("s")
    assert c.schema() is None
    assert c.set_schema([]) is None
    assert c.schema() == []
    c.set_schema([SF("n", "int", required=True)])
    got = c.schema()
    assert type(got) is list and len(got) == 1 and type(got[0]) is SF
    assert described(got) == [("n", "int", True, False)]
    again = c.schema()
    assert again is not got and again[0] is not got[0]
    c.set_schema((SF("a", "any"), SF("b", "map", unique=True), SF("a", "text")))
    assert described(c.schema()) == [("a", "any", False, False), ("b", "map", False, True), ("a", "text", False, False)]


def test_every_type_name(db):
    c = db.collection("s")
    c.set_schema([SF(f"f{i}", t) for i, t in enumerate(TYPES)])
    assert [f.ty for f in c.schema()] == TYPES


def test_other_sequences_are_accepted(db):
    class Fields(collections.abc.Sequence):
        def __init__(self, *items):
            self.items = items

        def __getitem__(self, i):
            return self.items[i]

        def __len__(self):
            return len(self.items)

    c = db.collection("s")
    c.set_schema(Fields(SF("x", "float")))
    assert described(c.schema()) == [("x", "float", False, False)]


def test_unknown_type_names_leave_the_schema_alone(db):
    c = db.collection("s")
    c.set_schema([SF("n", "int")])
    msg = pallix_error(lambda: c.set_schema([SF("a", "text"), SF("n", "Int"), SF("b", "worse")]))
    assert msg == "unknown field type 'Int' (want any|bool|int|float|text|bytes|vector|array|map)"
    assert described(c.schema()) == [("n", "int", False, False)]
    # The type names are parsed before the engine's name checks.
    assert pallix_error(lambda: db.collection("__s").set_schema([SF("a", "")])) == (
        "unknown field type '' (want any|bool|int|float|text|bytes|vector|array|map)")


def test_schema_is_enforced_on_later_writes_only(db):
    c = db.collection("s")
    c.insert("old", {"n": "text"})
    c.set_schema([SF("n", "int", required=True)])
    assert pallix_error(lambda: c.insert("k", {"n": "x"}), 15) == "schema violation: field 'n' has the wrong type"
    assert pallix_error(lambda: c.insert("k", {}), 15) == "schema violation: field 'n' is required"
    assert pallix_error(lambda: c.insert("k", {"n": None}), 15) == "schema violation: field 'n' is required"
    assert pallix_error(lambda: c.insert("k", {"n": 1.0}), 15) == "schema violation: field 'n' has the wrong type"
    assert pallix_error(lambda: c.update("old", lambda d: d), 15) == "schema violation: field 'n' has the wrong type"
    c.insert("k", {"n": 1})
    assert c.get("old") == {"n": "text"} and len(c) == 2
    assert c.delete("old") is True  # deletes are never checked


def test_unique_fields(db):
    c = db.collection("s")
    c.set_schema([SF("email", "text", unique=True)])
    c.insert("a", {"email": "x@y"})
    c.insert("a", {"email": "x@y"})  # the key's own document is no conflict
    assert pallix_error(lambda: c.insert("b", {"email": "x@y"}), 15) == (
        "schema violation: field 'email' must be unique; value already exists")
    c.insert("b", {"email": "z@y"})
    c.insert("c", {})
    assert len(c) == 3


def test_argument_checks(db):
    c = db.collection("s")
    class Indexable:  # __getitem__ and __len__, but not a collections.abc.Sequence
        def __getitem__(self, i):
            return [SF("a", "int")][i]

        def __len__(self):
            return 1

    for bad in ("ab", SF("a", "int"), [SF("a", "int"), "x"], [1], None, {SF("a", "int")}, iter([]), Indexable()):
        with pytest.raises(TypeError):
            c.set_schema(bad)
    with pytest.raises(TypeError):
        c.set_schema()
    with pytest.raises(TypeError):
        c.schema(1)
    c.set_schema(fields=[SF("a", "int")])
    assert described(c.schema()) == [("a", "int", False, False)]


def test_field_names_are_checked(db):
    assert pallix_error(lambda: db.collection("s").set_schema([SF("ok", "int"), SF("a__b", "int")]), 11) == (
        "invalid name (NUL byte or `__` is not allowed): a__b")
    assert pallix_error(lambda: db.collection("s").set_schema([SF("a\0", "int")]), 11) == (
        "invalid name (NUL byte or `__` is not allowed): a\0")
    assert db.collection("s").schema() is None
    assert db.collection("__s").schema() is None


def test_schemas_persist(path):
    d = native.Db.open(path)
    d.collection("s").set_schema([SF("n", "float", unique=True), SF("m", "bytes", required=True)])
    d.collection("e").set_schema([])
    d.close()
    d = native.Db.open(path)
    assert described(d.collection("s").schema()) == [("n", "float", False, True), ("m", "bytes", True, False)]
    assert d.collection("e").schema() == []
    assert pallix_error(lambda: d.collection("s").insert("k", {"n": 1.0}), 15) == (
        "schema violation: field 'm' is required")
    d.close()
