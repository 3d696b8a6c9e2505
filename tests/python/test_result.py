"""Result and schema classes: Row, Page, GeoHit and SchemaField."""

import gc
import weakref

import pytest

import pallix._native as native
from conftest import seeded

SF = native.SchemaField


def test_schema_field_defaults_and_getters():
    f = SF("name", "text")
    assert (f.name, f.ty, f.required, f.unique) == ("name", "text", False, False)
    g = SF(name="n", ty="int", required=True, unique=True)
    assert (g.required, g.unique) == (True, True)
    assert type(g.name) is str and g.name == "n"


def test_schema_field_accepts_any_type_name():
    assert SF("a", "Integer").ty == "Integer"
    assert SF("", "").name == ""


def test_schema_field_argument_types():
    for args in ((1, "int"), ("a", None), ("a",), (), ("a", "int", 1), ("a", "int", False, 0), ("a", "int", None)):
        with pytest.raises(TypeError):
            SF(*args)
    with pytest.raises(TypeError):
        SF("a", "int", requird=True)
    with pytest.raises(TypeError):
        SF("a", "int", False, False, False)


def test_schema_field_accepts_numpy_booleans():
    # A NumPy boolean scalar is recognised by its type's module and name.
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert SF("a", "int", required=fake()).required is True
    other = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: True})
    with pytest.raises(TypeError):
        SF("a", "int", required=other())


def test_schema_field_is_read_only():
    f = SF("a", "int")
    with pytest.raises(AttributeError):
        f.name = "b"
    with pytest.raises(AttributeError):
        f.required = True


def test_schema_field_repr():
    assert repr(SF("a", "int")) == 'SchemaField(name="a", ty="int", required=false, unique=false)'
    assert repr(SF('q"b\\', "x", False, True)) == (
        'SchemaField(name="q\\"b\\\\", ty="x", required=false, unique=true)'
    )
    assert repr(SF("t\t\n\0'é", "\x01")) == 'SchemaField(name="t\\t\\n\\0\'é", ty="\\u{1}", required=false, unique=false)'


def test_getter_docstrings():
    assert native.Row.key.__doc__ == "The document's key (`str`, or `bytes` for non-UTF-8 keys)."
    assert native.Row.score.__doc__ == "The rank score (RRF-fused, or `0.0` for pure filter/order queries)."
    assert native.Row.document.__doc__ == "The full (or projected) stored document."
    assert native.Page.rows.__doc__ == "The `(key, doc)` rows, in key order."
    assert native.Page.next.__doc__ == "The resume cursor (pass as the next call's `after`), or `None`\nat the end."
    assert native.GeoHit.key.__doc__ == "The document's key."
    assert native.GeoHit.document.__doc__ == "The full stored document."
    assert native.GeoHit.distance_km.__doc__ == (
        "Distance from the query center in kilometres (the 0.0 sentinel\nfor bbox searches, which have no center)."
    )
    assert native.SchemaField.name.__doc__ == "The field's name."
    assert native.SchemaField.ty.__doc__ == "The field's type (`any|bool|int|float|text|bytes|vector|array|map`)."
    assert native.SchemaField.required.__doc__ == "Whether the field must be present (not None)."
    assert native.SchemaField.unique.__doc__ == "Whether values must be unique across the collection."


def test_page_rows_are_new_lists_of_new_tuples_around_stored_objects(path):
    db = seeded(path, "c", {"a": {"x": 1}, "b": [2]})
    page = db.collection("c").page()
    db.close()  # results hold no engine reference
    assert page.rows is not page.rows
    assert page.rows[0] is not page.rows[0]
    assert page.rows[0][1] is page.rows[0][1]
    assert page.rows[0][0] is page.rows[0][0]
    page.rows[0][1]["x"] = 99  # mutating a returned document shows in later reads
    assert page.rows[0][1] == {"x": 99}
    assert page.next is None
    with pytest.raises(AttributeError):
        page.next = "z"


def test_page_with_a_cursor(path):
    db = seeded(path, "c", {"a": 1, "b": 2})
    page = db.collection("c").page(limit=1)
    assert page.next == "a" and page.next is page.next
    db.close()


def test_result_cycles_are_collected(path):
    db = seeded(path, "c", {"a": {"x": 1}})
    page = db.collection("c").page()
    db.close()

    class Marker:
        pass

    marker = Marker()
    probe = weakref.ref(marker)
    doc = page.rows[0][1]
    doc["self"] = page  # page -> rows -> doc -> page
    doc["marker"] = marker
    del page, doc, marker
    gc.collect()
    assert probe() is None


def test_default_reprs():
    assert repr(native.field("a").eq(1)).startswith("<builtins.Predicate object at ")
