"""Expiry methods: insert_with_ttl, set_ttl, get_ttl, purge_expired, and the expiry rows they keep."""

import struct

import pytest

import pallix._native as native
from conftest import RawFile, pallix_error


@pytest.fixture
def c(db):
    return db.collection("t")


def expiry_bytes(instant):
    """The stored 8-byte form of an instant: sign bit flipped, big-endian."""
    return struct.pack(">Q", (instant & (2**64 - 1)) ^ (1 << 63))


def ttl_count(db, name="t"):
    """The maintained row count of the expiry collection (reads apply no name check)."""
    return len(db.collection("__ttl__" + name))


def ttl_rows(path, name="t"):
    """The stored expiry rows, read from the closed file."""
    raw = RawFile(path)
    try:
        return raw.rows("__ttl__" + name)
    finally:
        raw.close()


# ---------------------------------------------------------------- reading and writing instants


def test_get_ttl_without_an_instant(db, c):
    assert c.get_ttl("k") is None
    assert db.collection("never").get_ttl("k") is None
    assert db.collection("__reserved").get_ttl("k") is None
    c.insert("k", 1)
    assert c.get_ttl("k") is None


def test_insert_with_ttl_then_plain_insert(path):
    d = native.Db.open(path)
    c = d.collection("t")
    assert c.insert_with_ttl("k", {"a": 1}, 100) is None
    assert c.get_ttl("k") == 100 and c.get("k") == {"a": 1}
    c.insert_with_ttl("j", 1, -7)
    assert c.get_ttl("j") == -7 and ttl_count(d) == 4
    c.close()
    d.close()
    # Both rows per key, the by-expiry rows in signed order of the instant.
    assert ttl_rows(path) == [(b"\x00j", expiry_bytes(-7)), (b"\x00k", expiry_bytes(100)),
                              (b"\x01" + expiry_bytes(-7) + b"j", b""), (b"\x01" + expiry_bytes(100) + b"k", b"")]
    d = native.Db.open(path)
    c = d.collection("t")
    c.insert("k", {"a": 3})
    c.insert("j", 0)
    assert c.get_ttl("k") is None and c.get_ttl("j") is None and ttl_count(d) == 0
    c.close()
    d.close()
    assert ttl_rows(path) == []


def test_set_ttl_replaces_the_instant(db, c):
    c.insert("k", 1)
    assert c.set_ttl("k", 5) is None
    c.set_ttl("k", 9)
    assert c.get_ttl("k") == 9 and ttl_count(db) == 2
    assert c.purge_expired(5) == 0
    assert c.get("k") == 1  # expired documents stay readable until purged
    assert c.purge_expired(9) == 1
    assert c.get("k") is None and c.get_ttl("k") is None and len(c) == 0
    assert ttl_count(db) == 0


@pytest.mark.parametrize("write", [
    lambda c: c.insert("k", 2),
    lambda c: c.update("k", lambda d: d),
    lambda c: c.patch("k", {"b": 1}),
    lambda c: c.delete("k"),
])
def test_other_writes_drop_the_instant(db, c, write):
    c.insert_with_ttl("k", {"a": 1}, 10)
    write(c)
    assert c.get_ttl("k") is None and ttl_count(db) == 0


def test_insert_auto_drops_an_instant_of_its_key(c):
    auto = "0" * 19 + "1"
    c.set_ttl(auto, 5)
    assert c.insert_auto(1) == auto
    assert c.get_ttl(auto) is None and c.purge_expired(5) == 0 and c.get(auto) == 1


def test_deleting_a_key_without_a_document_keeps_its_instant(c):
    c.set_ttl("ghost", 5)
    assert c.delete("ghost") is False
    assert c.get_ttl("ghost") == 5


def test_instant_extremes_and_argument_checks(c):
    c.insert_with_ttl("k", 1, -2**63)
    assert c.get_ttl("k") == -2**63
    c.set_ttl("k", 2**63 - 1)
    assert c.get_ttl("k") == 2**63 - 1
    with pytest.raises(OverflowError):
        c.set_ttl("k", 2**63)
    with pytest.raises(OverflowError):
        c.insert_with_ttl("k", 1, -2**63 - 1)
    with pytest.raises(TypeError):
        c.purge_expired("1")
    with pytest.raises(TypeError):
        c.insert_with_ttl("k", 1, 1.5)
    with pytest.raises(TypeError):
        c.set_ttl("k")
    assert c.get_ttl("k") == 2**63 - 1
    c.set_ttl(expires_at=3, key="k")
    assert c.get_ttl(key="k") == 3 and c.purge_expired(now=3) == 1


def test_conversion_errors_write_nothing(c):
    assert pallix_error(lambda: c.insert_with_ttl(1, 1, 5)) == "keys must be str or bytes"
    assert pallix_error(lambda: c.insert_with_ttl("k", {1}, 5)) == "unsupported Python value kind: set"
    assert pallix_error(lambda: c.set_ttl(2.5, 5)) == "keys must be str or bytes"
    assert pallix_error(lambda: c.get_ttl(None)) == "keys must be str or bytes"
    assert c.get_ttl("k") is None and len(c) == 0


def test_insert_with_ttl_is_validated(c):
    c.set_schema([native.SchemaField("n", "int", required=True)])
    assert pallix_error(lambda: c.insert_with_ttl("k", {}, 5), 15) == "schema violation: field 'n' is required"
    assert c.get("k") is None and c.get_ttl("k") is None


# ---------------------------------------------------------------- purge


def test_negative_instants(c):
    c.insert_with_ttl("a", 1, -5)
    c.insert_with_ttl("b", 2, 3)
    assert c.purge_expired(-6) == 0
    assert c.purge_expired(0) == 1
    assert c.get("a") is None and c.get("b") == 2
    assert c.purge_expired(3) == 1  # an instant equal to now is expired
    assert len(c) == 0


def test_purge_removes_in_instant_order_and_counts_documents(db, c):
    for i, key in enumerate(["e", "d", "c", "b", "a"]):
        c.insert_with_ttl(key, i, 10 - i)
    c.insert("keep", 0)
    c.set_ttl("ghost", 1)  # an instant without a document
    assert c.purge_expired(8) == 3
    assert [k for k, _ in c.scan()] == ["d", "e", "keep"]
    assert c.get_ttl("ghost") is None and c.get_ttl("d") == 9
    assert ttl_count(db) == 4


def test_instant_without_a_document(c):
    c.set_ttl("ghost", 1)
    assert c.get_ttl("ghost") == 1 and c.get("ghost") is None
    assert c.purge_expired(10) == 0
    assert c.get_ttl("ghost") is None


def test_purge_removes_documents_from_every_read(db, c):
    for key in ("a", "b", "c"):
        c.insert_with_ttl(key, {"k": key}, 1)
    c.insert("d", {"k": "d"})
    c.link("a", "r", "d")
    c.link("d", "r", "b")
    c.link("ghost", "r", "d")
    c.set_ttl("ghost", 1)
    before = len(c)
    assert c.purge_expired(1) == 3
    assert len(c) == before - 3 == 1
    assert c.scan() == [("d", {"k": "d"})]
    assert c.page().rows == [("d", {"k": "d"})]
    assert c.get("a") is None
    # Edges of the purged keys went too, in both directions, also for the
    # key that only had an instant.
    assert c.in_neighbors("d", "r") == [] and c.neighbors("d", "r") == []


def test_purge_on_a_collection_without_instants(db, c):
    assert c.purge_expired(2**63 - 1) == 0
    assert db.collection("never").purge_expired(0) == 0
    c.insert("k", 1)
    assert c.purge_expired(2**63 - 1) == 0 and c.get("k") == 1


def test_purge_removes_a_stale_by_expiry_row(path):
    # Rows as a crash-damaged or hand-edited file could hold them: "gone"
    # has a by-expiry row but no by-document row; "moved" has a by-expiry
    # row for 5 while its by-document row says 9. Both old rows are stale:
    # the purge removes them (a later purge would otherwise meet them
    # forever) and counts nothing for them.
    d = native.Db.open(path)
    c = d.collection("t")
    c.insert("moved", 1)
    c.insert("gone", 2)
    c.set_ttl("moved", 9)
    c.close()
    d.close()
    raw = RawFile(path)
    raw.put("__ttl__t", b"\x01" + expiry_bytes(5) + b"moved", b"")
    raw.put("__ttl__t", b"\x01" + expiry_bytes(4) + b"gone", b"")
    raw.close()
    d = native.Db.open(path)
    c = d.collection("t")
    assert ttl_count(d) == 4
    assert c.purge_expired(6) == 0
    assert c.get("moved") == 1 and c.get("gone") == 2 and c.get_ttl("moved") == 9
    assert ttl_count(d) == 2
    c.close()
    d.close()
    assert ttl_rows(path) == [(b"\x00moved", expiry_bytes(9)), (b"\x01" + expiry_bytes(9) + b"moved", b"")]
    d = native.Db.open(path)
    assert d.collection("t").purge_expired(9) == 1 and ttl_count(d) == 0
    d.close()


def test_a_damaged_instant_is_a_corrupt_index_error(path):
    d = native.Db.open(path)
    c = d.collection("t")
    c.insert_with_ttl("a", 1, 1)
    c.insert_with_ttl("b", 2, 2)
    c.insert_with_ttl("c", 3, 3)
    c.close()
    d.close()
    raw = RawFile(path)
    raw.put("__ttl__t", b"\x00b", b"\x01\x02\x03")  # a by-document value that is not 8 bytes
    raw.close()
    d = native.Db.open(path)
    c = d.collection("t")
    assert pallix_error(lambda: c.get_ttl("b"), 9).startswith("corrupt index state: ")
    assert pallix_error(lambda: c.set_ttl("b", 7), 9).startswith("corrupt index state: ")
    assert pallix_error(lambda: c.insert("b", 9), 9).startswith("corrupt index state: ")
    # The purge stops at the damaged candidate; the one before it stays purged.
    assert pallix_error(lambda: c.purge_expired(10), 9).startswith("corrupt index state: ")
    assert c.get("a") is None and c.get("b") == 2 and c.get("c") == 3
    # The handle stays usable.
    assert c.get_ttl("c") == 3 and len(c) == 2
    d.close()


def test_instants_persist(path):
    d = native.Db.open(path)
    d.collection("t").insert_with_ttl("k", 1, 42)
    d.close()
    d = native.Db.open(path)
    c = d.collection("t")
    assert c.get_ttl("k") == 42 and c.purge_expired(42) == 1 and c.get("k") is None
    d.close()
