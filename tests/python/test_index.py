"""Index declarations: create_scalar_index, create_compound_index, create_geo_index, builds, crash resume, unique checks."""

import shutil
import struct

import pytest

import pallix._native as native
from conftest import RawFile, bulk_seed, crash_child, encode, pallix_error, stored

SF = native.SchemaField


def test_declarations_and_their_checks(db):
    c = db.collection("c")
    assert c.create_scalar_index("age") is None  # empty collection
    assert c.create_scalar_index("age") is None  # again: rebuilt
    assert c.create_compound_index(["a", "b"]) is None
    assert c.create_compound_index(("b", "a")) is None
    assert c.create_geo_index("loc") is None
    with pytest.raises(TypeError):
        c.create_compound_index("ab")
    with pytest.raises(TypeError):
        c.create_compound_index(["a", 1])
    with pytest.raises(TypeError):
        c.create_scalar_index(5)
    with pytest.raises(TypeError):
        c.create_geo_index()
    assert "must not" not in pallix_error(lambda: c.create_scalar_index("a__b"), 11)
    pallix_error(lambda: db.collection("__c").create_scalar_index("a__b"), 10)
    assert pallix_error(lambda: c.create_compound_index(["a", "a\x01b"]), 11) == \
        "invalid name (NUL byte or `__` is not allowed): a\x01b (a compound index field may not hold the byte 0x01 either)"
    pallix_error(lambda: c.create_compound_index([]), 12)
    # Two declarations may not share one internal name.
    db.collection("a_").create_scalar_index("b")
    msg = pallix_error(lambda: db.collection("a").create_scalar_index("_b"), 11)
    assert "__scalar__a___b" in msg
    db.collection("g_").create_geo_index("p")
    pallix_error(lambda: db.collection("g").create_geo_index("_p"), 11)
    db.collection("a_").create_compound_index(["x"])
    pallix_error(lambda: db.collection("a").create_compound_index(["_x"]), 11)
    c.close()
    pallix_error(lambda: c.create_scalar_index("age"), 12)


def test_writes_keep_indexes_in_step(path):
    with native.Db(path) as db, db.collection("c") as c:
        c.insert("k1", {"v": 1, "a": 1, "b": "x", "p": [1.0, 2.0]})
        c.create_scalar_index("v")
        c.create_compound_index(["a", "b"])
        c.create_geo_index("p")
        c.insert("k2", {"v": 2.5, "a": 1, "b": "y", "p": {"lat": 3, "lon": 4}})
        c.insert("k1", {"v": "t", "a": 2})  # compound and geo entries go
        c.insert("k3", {"v": None})
        c.delete("k2")
        c.insert("k4", {"v": True, "a": 0, "b": 0, "p": [5, 6]})
    (scalar, compound, geo), counts = stored(path, "__scalar__c__v", "__cscalar__c__a\x01b", "__geo__c__p")
    assert sorted(k for k, _ in scalar) == sorted([b"\x00k1", b"\x00k4", b"\x03t\x00\x00k1", b"\x01\x01\x00\x00k4"])
    assert [k for k, _ in compound] == [b"\x00k4", b"\x02\x80" + b"\x00\x01" * 7 + b"\x00\x00" + b"\x02\x80" + b"\x00\x01" * 7 + b"\x00\x00k4"]
    assert len(geo) == 2 and counts == [struct.pack("<Q", 4), struct.pack("<Q", 2), struct.pack("<Q", 2)]


def test_unique_checks_use_the_index(db):
    c = db.collection("u")
    c.set_schema([SF("email", "any", unique=True), SF("n", "any", unique=True)])
    c.create_scalar_index("email")
    long_text = "x" * 2048  # index keys far beyond the store's key limit
    c.insert("a", {"email": long_text, "n": 1})
    c.insert("b", {"email": long_text + "y", "n": 1.0})  # 1 and 1.0 are different values
    msg = pallix_error(lambda: c.insert("c", {"email": long_text}), 15)
    assert msg == "schema violation: field 'email' must be unique; value already exists"
    pallix_error(lambda: c.insert("c", {"email": "z", "n": 1}), 15)
    c.insert("a", {"email": long_text, "n": 1})  # its own key never conflicts
    c.insert("c", {"email": float("nan")})
    pallix_error(lambda: c.insert("d", {"email": float("nan")}), 15)
    c.insert("a", {"email": "moved"})
    c.insert("d", {"email": long_text})  # freed by the update


@pytest.mark.parametrize("kind", ["scalar", "compound"])
def test_a_crashed_build_resumes_to_the_same_rows(tmp_path, kind):
    docs = {f"k{i:06d}": {"v": i % 97, "a": i % 5, "b": f"t{i % 13}", "p": [i % 90, i % 180]} for i in range(20000)}
    docs["k000007"] = {"a": 1}  # a compound miss
    declare = {"scalar": 'c.set_schema([native.SchemaField("v", "any", unique=True)]); c.create_scalar_index("v")',
               "compound": 'c.create_compound_index(["a", "b"])'}[kind]
    ns = {"scalar": "__scalar__c__v", "compound": "__cscalar__c__a\x01b"}[kind]
    registry = {"scalar": "__scalar_indexes__", "compound": "__cscalar_indexes__"}[kind]
    seed = str(tmp_path / "seed.db")
    bulk_seed(seed, "c", docs)
    reference = str(tmp_path / "reference.db")
    shutil.copy(seed, reference)
    done = crash_child(reference, declare, "off")
    assert done.returncode == 0 and "finished" in done.stdout, done.stderr
    want = stored(reference, ns, registry, "__cscalar_misses__")
    for pages in (1, 4, 9):
        crashed = str(tmp_path / f"crashed{pages}.db")
        shutil.copy(seed, crashed)
        died = crash_child(crashed, declare, pages)
        assert died.returncode != 0 and "finished" not in died.stdout
        (rows, reg, _), _ = stored(crashed, ns, registry, "__cscalar_misses__")
        assert len([k for k, _ in rows if not k.startswith(b"\x00")]) <= pages * 2048
        assert reg[0][1][:2] == b"\xff\x01"  # the cursor of the last committed batch
        with native.Db.open(crashed) as db, db.collection("c") as c:
            c.geo_within_radius("p", 0.0, 0.0, 1.0)  # a read that resumes pending builds
            if kind == "scalar":
                pallix_error(lambda: c.insert("new", {"v": 5}), 15)
        assert stored(crashed, ns, registry, "__cscalar_misses__") == want


def test_open_loads_the_index_registries_before_the_schemas(path, raw):
    # A long-key row (8-byte id + 503 bytes) whose value cannot be split
    # fails the scan of its registry; each registry fails its own way.
    long_key = b"c\x00" + b"k" * 501
    raw.put("__schemas__", long_key, b"\x00\x00\x00\x00")
    raw.put("__geo_indexes__", long_key, b"\x01")
    raw.close()
    assert pallix_error(lambda: native.Db.open(path), 4) == \
        "storage: damaged long-key row in records: a 1-byte value has no room for its 4-byte header"


def test_damaged_rows_give_one_error_or_a_rebuild(path, raw):
    for i in range(10):
        raw.put_doc("c", f"k{i}", {"v": i, "p": [i, i]})
    raw.put("__scalar_indexes__", b"c\x00v", b"\xff\x02")  # damaged: rebuilds from the first row
    raw.put("__geo_indexes__", b"c", b"\xff\x00")           # no field part: ignored
    raw.put("__cscalar_indexes__", b"c", b"\xff\x00\x01")   # no field: ignored
    raw.put("__geo__c__p", b"\x00\x00", b"")                # a stray short key
    raw.put("__geo__c__p", b"\x00k1", b"garbage")           # a back-pointer naming nothing
    raw.close()
    with native.Db.open(path) as db, db.collection("c") as c:
        c.create_geo_index("p")
        assert [h.key for h in c.geo_within_radius("p", 1.0, 1.0, 1.0)] == ["k1"]
        c.insert("bad", 1)
    raw2 = RawFile(path)
    raw2.put("c", "k5", b"\x09broken")
    raw2.close()
    with native.Db.open(path) as db, db.collection("c") as c:
        assert pallix_error(lambda: c.create_scalar_index("v"), 8).startswith("decode: ")
        assert pallix_error(lambda: c.geo_within_radius("p", 0.0, 0.0, 20000.0), 8).startswith("decode: ")
