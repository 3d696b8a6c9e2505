"""The module's names, classes, constructibility and signatures."""

import inspect

import pytest

import pallix
import pallix._native as native

ALL = [
    "Db", "Collection", "Query", "PallixError", "ErrorCode", "Predicate", "FieldRef", "SchemaField",
    "Row", "Page", "GeoHit", "ffi_version", "field", "and_", "or_", "not_",
]

CLASSES = ["Db", "Collection", "Query", "ErrorCode", "Predicate", "FieldRef", "SchemaField", "Row", "Page", "GeoHit"]


def test_all_lists_every_name_in_order():
    assert native.__all__ == ALL
    assert pallix.__all__ == ALL
    for name in ALL:
        assert getattr(pallix, name) is getattr(native, name)


def test_module_identity():
    assert native.__name__ == "pallix._native"
    assert native.__doc__ == ""


def test_ffi_version():
    assert native.ffi_version() == 1
    assert str(inspect.signature(native.ffi_version)) == "()"


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", ["Collection", "Query", "ErrorCode", "Predicate", "FieldRef", "Row", "Page", "GeoHit"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError):
        getattr(native, name)()


@pytest.mark.parametrize("name", CLASSES)
def test_no_class_can_be_subclassed(name):
    with pytest.raises(TypeError):
        type("X", (getattr(native, name),), {})


def test_constructible_classes():
    d = native.Db()
    assert repr(d) == "pallix.Db(<open>)"
    d.close()
    f = native.SchemaField("a", "int")
    assert f.name == "a" and f.ty == "int"


def test_class_docstrings():
    assert native.Db.__text_signature__ == "(path=None)"
    assert native.Db.__doc__ in (None, "")
    assert native.Collection.__doc__ is None
    assert native.Query.__doc__ is None
    assert native.Predicate.__doc__ == (
        "An opaque predicate handle (built by `field()…` / `and_` / `or_` /\n"
        "`not_`). Pass to `Query.filter()` or `Collection.delete_where()`."
    )
    assert native.Row.__doc__ == "One query result row (`Query.run`)."
    assert native.Page.__doc__ == "One page of keyset-paginated rows (`Collection.page`)."
    assert native.GeoHit.__doc__ == "One geo-search hit (`Collection.geo_*`)."
    assert native.SchemaField.__text_signature__ == "(name, ty, required=False, unique=False)"
    for word in ("any", "bool", "int", "float", "text", "bytes", "vector", "array", "map"):
        assert word in native.SchemaField.__doc__
    assert "frozen" in native.ErrorCode.__doc__
    assert "path" in native.FieldRef.__doc__


SIGNATURES = {
    native.Db: "(path=None)",
    native.Db.open: "(path)",
    native.Db.open_memory: "()",
    native.Db.__enter__: "(self, /)",
    native.Db.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
    native.Db.collection: "(self, /, name)",
    native.Db.collections: "(self, /)",
    native.Db.close: "(self, /)",
    native.Collection.__enter__: "(self, /)",
    native.Collection.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
    native.Collection.insert: "(self, /, key, doc)",
    native.Collection.insert_auto: "(self, /, doc)",
    native.Collection.update: "(self, /, key, f)",
    native.Collection.patch: "(self, /, key, patch)",
    native.Collection.delete: "(self, /, key)",
    native.Collection.insert_with_ttl: "(self, /, key, doc, expires_at)",
    native.Collection.set_ttl: "(self, /, key, expires_at)",
    native.Collection.get_ttl: "(self, /, key)",
    native.Collection.purge_expired: "(self, /, now)",
    native.Collection.get: "(self, /, key)",
    native.Collection.scan: "(self, /)",
    native.Collection.scan_each: "(self, /, cb)",
    native.Collection.page: "(self, /, after=None, limit=10)",
    native.Collection.is_empty: "(self, /)",
    native.Collection.set_schema: "(self, /, fields)",
    native.Collection.schema: "(self, /)",
    native.Collection.traverse: "(self, /, start, relation, hops)",
    native.Collection.query: "(self, /)",
    native.Collection.close: "(self, /)",
    native.Query.__enter__: "(self, /)",
    native.Query.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
    native.Query.close: "(self, /)",
    native.FieldRef.eq: "(self, /, value)",
    native.FieldRef.ne: "(self, /, value)",
    native.FieldRef.lt: "(self, /, value)",
    native.FieldRef.le: "(self, /, value)",
    native.FieldRef.gt: "(self, /, value)",
    native.FieldRef.ge: "(self, /, value)",
    native.FieldRef.exists: "(self, /)",
    native.FieldRef.in_: "(self, /, values)",
    native.FieldRef.between: "(self, /, low, high)",
    native.FieldRef.starts_with: "(self, /, prefix)",
    native.FieldRef.contains: "(self, /, substring)",
    native.FieldRef.within_km: "(self, /, lat, lon, radius_km)",
    native.SchemaField: "(name, ty, required=False, unique=False)",
    native.field: "(path)",
    native.and_: "(*preds)",
    native.or_: "(*preds)",
    native.not_: "(pred)",
    native.ffi_version: "()",
}


@pytest.mark.parametrize("obj", list(SIGNATURES), ids=lambda o: getattr(o, "__qualname__", str(o)))
def test_signatures(obj):
    assert str(inspect.signature(obj)) == SIGNATURES[obj]


def test_text_signatures_naming_a_keyword():
    # `from` is a keyword of the language, so inspect.signature cannot parse
    # these; the text signature still names the parameters.
    C = native.Collection
    assert C.link.__text_signature__ == "($self, from, relation, to)"
    assert C.link_weighted.__text_signature__ == "($self, from, relation, to, weight)"
    assert C.unlink.__text_signature__ == "($self, from, relation, to)"
    assert C.neighbors.__text_signature__ == "($self, from, relation)"
    assert C.neighbors_weighted.__text_signature__ == "($self, from, relation)"
    assert str(inspect.signature(C.in_neighbors)) == "(self, /, to, relation)"


DOCS = {
    native.Db.open: "Open (or create) a file-backed database at `path`.",
    native.Db.close: "Close the handle (idempotent). Derived handles may legitimately\n"
    "outlive it — the engine lives until the last handle drops.",
    native.Db.collection: "Acquire a collection handle (lazily created by the engine on\n"
    "first write; names are validated at write time, like the ABI).",
    native.Collection.insert: "Insert (replace) `doc` at `key`.",
    native.Collection.insert_auto: "Insert with an engine-generated key (20-digit, strictly\n"
    "monotonic per collection); returns the key.",
    native.Collection.update: "Read-modify-write: `fn` receives the current document (or `None`\n"
    "when absent) and returns the new document — `None` to delete. A\n"
    "raising callback aborts with code 12 and writes nothing. `fn`\n"
    "must NOT call methods on this same Collection: the handle's lock\n"
    "is non-reentrant (the FFI's portable contract), so a reentrant\n"
    "call deadlocks. (The engine's own `update` is the same\n"
    "get-then-write composition; see its docs for the linearizability\n"
    "caveat.)",
    native.Collection.patch: "Merge the top-level fields of `patch` into the document at `key`\n"
    "(creating it if absent).",
    native.Collection.delete: "Delete `key`; returns whether it existed.",
    native.Collection.insert_with_ttl: "Insert with an expiry instant (`expires_at`, epoch units of your\nchoosing).",
    native.Collection.set_ttl: "Set the expiry instant for an existing key.",
    native.Collection.get_ttl: "The key's expiry instant, or `None` when it has no TTL.",
    native.Collection.purge_expired: "Remove every expired key as of `now`; returns the purged count.",
    native.Collection.get: "The document at `key`, or `None` when absent.",
    native.Collection.scan_each: "Stream with a callback `fn(key, doc) -> bool` — returning a\n"
    "falsy value stops the walk early (not an error). Returns the\n"
    "number of rows visited. The callback must NOT call methods on\n"
    "this same Collection (non-reentrant handle lock).",
    native.Collection.scan: "Every `(key, document)` in key order, as a list of tuples.",
    native.Collection.page: "Keyset pagination: up to `limit` rows strictly after `after`\n"
    "(`None` starts at the beginning). Returns a `Page` with `rows`\nand the `next` cursor (`None` at the end).",
    native.Collection.is_empty: "Whether the collection is empty.",
    native.Collection.set_schema: "Declare the collection's schema (a list of `SchemaField`s);\n"
    "replaces any previous one.",
    native.Collection.schema: "The declared schema as `SchemaField`s, or `None` when none.",
    native.Collection.link: "Add a directed edge `from --relation--> to`.",
    native.Collection.link_weighted: "Add a weighted directed edge.",
    native.Collection.unlink: "Remove an edge; returns whether it existed.",
    native.Collection.neighbors: "Out-edge destinations from `from` over `relation`.",
    native.Collection.in_neighbors: "In-edge sources to `to` over `relation`.",
    native.Collection.neighbors_weighted: "Weighted out-edges as `(key, weight)` tuples.",
    native.Collection.traverse: "BFS `hops` out over `relation` (cycle-safe).",
    native.Collection.close: "Release the handle (idempotent); also runs on GC. Derived\n"
    "handles may outlive the parent Db close.",
    native.Collection.name: "The collection's name.",
}


@pytest.mark.parametrize("obj", list(DOCS), ids=lambda o: getattr(o, "__qualname__", str(o)))
def test_docstrings(obj):
    assert obj.__doc__ == DOCS[obj]


def test_collection_exit_docstring_is_empty():
    assert native.Collection.__exit__.__doc__ in (None, "")


def test_methods_are_in_table_order():
    names = [n for n in native.Db.__dict__ if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert names == ["open", "open_memory", "__enter__", "__exit__", "collection", "collections", "backup",
                     "dump_to_path", "load_from_path", "load_from_path_with_renames", "compact", "close"]
    names = [n for n in native.Collection.__dict__ if not n.startswith("__") or n in ("__enter__", "__exit__")]
    # The methods of this interface that exist so far, in interface order
    # (all of them now); `name` is an attribute, listed after the methods.
    assert names == ["__enter__", "__exit__", "insert", "insert_many", "insert_auto", "update", "patch",
                     "compare_and_set", "delete", "delete_where", "delete_batch",
                     "insert_with_ttl", "set_ttl", "get_ttl", "purge_expired", "get", "scan", "scan_each", "page",
                     "is_empty", "create_scalar_index", "create_compound_index", "create_text_index",
                     "create_text_index_ondisk", "create_geo_index", "create_vector_index",
                     "create_vector_index_quantized", "create_vector_index_ondisk",
                     "create_vector_index_ondisk_quantized", "create_vector_index_pq", "create_vector_index_ondisk_pq",
                     "set_schema", "schema", "link", "link_weighted", "unlink", "neighbors", "in_neighbors",
                     "neighbors_weighted", "traverse", "geo_within_radius", "geo_within_bbox", "geo_nearest",
                     "phrase_search", "query", "close", "name"]
    names = [n for n in native.FieldRef.__dict__ if not n.startswith("__")]
    assert names == ["eq", "ne", "lt", "le", "gt", "ge", "exists", "in_", "between", "starts_with", "contains",
                     "within_km"]


def test_enter_returns_self_even_when_closed(db):
    with db as d:
        assert d is db
    db.close()
    with db as d:
        assert d is db


def test_collection_argument_checks(db):
    with pytest.raises(TypeError):
        db.collection()
    with pytest.raises(TypeError):
        db.collection(1)
    with pytest.raises(TypeError):
        db.collection("a", "b")
    with pytest.raises(TypeError):
        db.collection(nme="a")
    assert db.collection(name="a").name == "a"


def test_functions_are_bound_to_the_module():
    for name in ("ffi_version", "field", "and_", "or_", "not_"):
        fn = getattr(native, name)
        assert fn.__self__ is native
        assert fn.__module__ == "pallix._native"


def test_query_methods_are_in_table_order():
    names = [n for n in native.Query.__dict__ if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert names == ["__enter__", "__exit__", "filter", "vector", "text", "fuse_rrf", "rerank_mmr", "approx", "limit",
                     "offset", "order_by", "select", "run", "count", "count_distinct", "sum", "avg", "min", "max",
                     "group_count", "group_sum", "group_avg", "close"]
