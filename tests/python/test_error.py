"""PallixError, the frozen ErrorCode table, and how each kind of failure reaches Python."""

import hashlib
import os
import struct
import subprocess

import pytest

import pallix._native as native
from conftest import RawFile, encode, run_child, seeded

CODES = {
    "DATABASE": 1, "TRANSACTION": 2, "TABLE": 3, "STORAGE": 4, "COMMIT": 5, "SET_DURABILITY": 6,
    "COMPACTION": 7, "DECODE": 8, "CORRUPT_INDEX": 9, "RESERVED_COLLECTION": 10, "INVALID_NAME": 11,
    "INVALID_ARGUMENT": 12, "INCOMPATIBLE_FORMAT": 13, "EMPTY_INDEX_TRAINING": 14, "SCHEMA_VIOLATION": 15,
    "INVALID_DUMP": 16, "BACKUP_TARGET_EXISTS": 17, "IO": 18, "BUSY": 19,
}


def test_error_code_table_is_frozen():
    for name, code in CODES.items():
        value = getattr(native.ErrorCode, name)
        assert type(value) is int and value == code
    values = sorted(getattr(native.ErrorCode, n) for n in CODES)
    assert values == list(range(1, 20))


def test_pallix_error_class():
    E = native.PallixError
    assert E.__qualname__ == "PallixError" and E.__name__ == "PallixError"
    assert E.__module__ == "pallix"
    assert E.__bases__ == (Exception,)
    assert E.__doc__ == (
        "pallix engine error: carries the C-ABI error `code` (see ErrorCode) and the engine `message`."
    )
    # No class dictionary beyond what the interpreter puts there.
    assert set(E.__dict__) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


def test_raised_error_carries_code_and_message():
    with pytest.raises(native.PallixError) as info:
        native.and_()
    e = info.value
    assert isinstance(e, Exception)
    assert type(e.code) is int and e.code == native.ErrorCode.INVALID_ARGUMENT
    assert e.message == str(e) == e.args[0] == "and_() need at least one predicate"
    assert e.args == (e.message,)


def test_second_open_fails_with_database_code(path):
    first = native.Db.open(path)
    with pytest.raises(native.PallixError) as info:
        native.Db.open(path)
    assert info.value.code == 1
    assert info.value.message == "database: Database already open. Cannot acquire lock."
    first.close()
    native.Db.open(path).close()


def test_nul_in_path_is_refused_before_touching_the_file_system(tmp_path):
    target = tmp_path / "a"
    with pytest.raises(native.PallixError) as info:
        native.Db(str(target) + "\0b")
    assert info.value.code == 1
    assert info.value.message == "database: I/O error: file name contained an unexpected NUL byte"
    assert not target.exists()


def test_unopenable_path_reports_the_os_text(tmp_path):
    with pytest.raises(native.PallixError) as info:
        native.Db.open(str(tmp_path / "missing" / "db"))
    assert info.value.code == 1
    assert info.value.message.startswith("database: I/O error: ")
    assert "(os error 2)" in info.value.message


def test_file_that_is_not_a_database(tmp_path):
    p = tmp_path / "junk"
    p.write_bytes(b"not a database at all" * 1000)
    with pytest.raises(native.PallixError) as info:
        native.Db.open(str(p))
    assert info.value.code == 1
    assert info.value.message.startswith("database: ")


def test_truncated_file_is_refused_and_left_unchanged(path):
    d = native.Db.open(path)
    c = d.collection("c")
    for i in range(60):
        c.insert(f"k{i:02d}", "x" * (5000 if i % 10 == 0 else 300))
    c.close()
    d.close()
    # In a child: were a cut file mapped as it stands, the first read past
    # its end would kill the process.
    out = run_child(f"""
        import os
        import pallix._native as native
        whole = open({path!r}, "rb").read()
        page = os.sysconf("SC_PAGE_SIZE")
        cut = {path!r} + ".cut"
        print(len(whole), page)
        for n in sorted(set(range(page, len(whole), page)) | {{len(whole) // 2 + 1, 100}}):
            with open(cut, "wb") as f:
                f.write(whole[:n])
            try:
                native.Db.open(cut).close()
                print(n, "opened")
            except native.PallixError as e:
                print(n, e.code, e.message)
            assert open(cut, "rb").read() == whole[:n]
    """)
    lines = out.splitlines()
    size, page = map(int, lines[0].split())
    assert len(lines) == size // page + 2
    for line in lines[1:]:
        n, code, message = line.split(" ", 2)
        assert code == "1"
        assert message.startswith(f"database: file is truncated: {n} bytes, ")
        if int(n) >= 2 * page:
            assert message == f"database: file is truncated: {n} bytes, {size} expected"


def test_incompatible_format_version(path):
    raw = RawFile(path)
    raw.put_meta("format_version", struct.pack("<Q", 2))
    raw.close()
    before = open(path, "rb").read()
    with pytest.raises(native.PallixError) as info:
        native.Db.open(path)
    assert info.value.code == 13
    assert info.value.message == "incompatible format: file is v2, engine expects v1"
    assert open(path, "rb").read() == before


def test_decode_error_of_a_stored_document(path):
    raw = RawFile(path)
    raw.put("c", b"k", b"\x09")
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    with pytest.raises(native.PallixError) as info:
        c.get("k")
    assert info.value.code == 8
    assert info.value.message == "decode: unknown tag 9"
    # The handle stays usable after a PallixError.
    assert c.get("other") is None
    db.close()


def _long_row(raw, collection, key, stored_value=None, doc=1):
    """Seeds a row under a key long enough for the long-key layout, stored as given or as the engine would.

    Returns the (stored key, stored value) the engine would have written.
    """
    raw.put_doc(collection, "seed", 0)  # makes sure the collection has an id
    with raw.env.begin() as txn:
        cid = raw._u64(txn, raw.catalog, b"\x00" + collection.encode())
    full = struct.pack(">Q", cid) + key
    stored_key = full[:495] + hashlib.sha256(full).digest()[:16]
    good = struct.pack("<I", len(full) - 495) + full[495:] + encode(doc)
    with raw.env.begin(write=True) as txn:
        txn.put(stored_key, good if stored_value is None else stored_value(good), db=raw.records)
    return stored_key, good


DAMAGED_LONG_ROWS = {
    "no room for the header": (lambda good: b"\x01\x02", "a 2-byte value has no room for its 4-byte header"),
    "tail past the end": (lambda good: struct.pack("<I", 10_000) + good[4:],
                          "a key tail of 10000 bytes runs past the end of a 222-byte value"),
    "empty tail": (lambda good: struct.pack("<I", 0) + good[4:], "empty key tail"),
    "damaged tail bytes": (lambda good: good[:10] + bytes([good[10] ^ 1]) + good[11:],
                           "its key does not match its digest"),
}


def test_healthy_long_row_seeded_raw_reads_back(path):
    raw = RawFile(path)
    _long_row(raw, "c", b"L" * 600, doc={"v": 1})
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    assert c.get(b"L" * 600) == {"v": 1}
    assert [k for k, _ in c.scan()] == ["L" * 600, "seed"]
    c.close()
    db.close()


@pytest.mark.parametrize("damage", sorted(DAMAGED_LONG_ROWS))
def test_damaged_long_key_row_is_a_storage_error(path, damage):
    mangle, why = DAMAGED_LONG_ROWS[damage]
    key = b"L" * 600
    raw = RawFile(path)
    _long_row(raw, "c", key, mangle, doc="y" * 100)
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    # Neither absent nor skipped: every way to the row says it is damaged.
    for use in (lambda: c.get(key), c.scan, lambda: c.insert(key, 2), lambda: c.delete(key)):
        with pytest.raises(native.PallixError) as info:
            use()
        assert info.value.code == 4
        assert info.value.message == "storage: damaged long-key row in records: " + why
    assert c.get("seed") == 0
    c.close()
    db.close()


def test_stored_key_of_no_layout_is_a_storage_error(path):
    raw = RawFile(path)
    raw.put_doc("c", "k", 1)
    raw.put("d", b"x" * 492, encode(2))  # 500 stored bytes: too long to be inline, not a long key's 511
    raw.close()
    db = native.Db.open(path)
    with pytest.raises(native.PallixError) as info:
        db.collection("d").scan()
    assert info.value.code == 4
    assert info.value.message == "storage: damaged row in records: a 500-byte stored key"
    # The scan of the collection before it ends at its bound, short of the row.
    assert db.collection("c").scan() == [("k", 1)]
    db.close()


@pytest.fixture
def small_fs(tmp_path):
    """A 2 MiB tmpfs mounted for the test (root only), unmounted afterwards."""
    if os.geteuid() != 0:
        pytest.skip("mounting a file system needs root")
    mnt = tmp_path / "small"
    mnt.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mnt)], capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + done.stderr.decode(errors="replace"))
    yield mnt
    # A failed test may still hold the database open through its traceback:
    # the mount is then detached now and goes when the file is closed.
    if subprocess.run(["umount", str(mnt)], capture_output=True).returncode != 0:
        subprocess.run(["umount", "-l", str(mnt)], check=True)


# The write that meets the full disk is refused outright (ENOSPC) or, when it
# spans several pages, cut short (which LMDB reports as EIO): both say so.
@pytest.mark.parametrize("doc_size", [500, 3000, 100_000])
def test_full_disk_fails_the_commit_and_keeps_acknowledged_writes(small_fs, doc_size):
    ballast = small_fs / "ballast"
    ballast.write_bytes(b"\0" * (256 << 10))
    path = str(small_fs / "test.db")
    d = native.Db.open(path)
    c = d.collection("c")
    acked = {}
    with pytest.raises(native.PallixError) as info:
        for i in range(100_000):
            key, doc = f"k{i:05d}", {"i": i, "pad": chr(97 + i % 26) * doc_size}
            c.insert(key, doc)
            acked[key] = doc
    assert info.value.code == 5
    assert info.value.message == "commit: No space left on device"
    assert acked
    c.close()
    d.close()
    ballast.unlink()
    d = native.Db.open(path)
    c = d.collection("c")
    assert dict(c.scan()) == acked
    assert len(c) == len(acked)
    c.insert("after", 1)
    assert c.get("after") == 1
    c.close()
    d.close()


def test_binding_validation_messages_have_no_prefix(db):
    c = db.collection("c")
    with pytest.raises(native.PallixError) as info:
        c.get(3)
    assert info.value.code == 12
    assert info.value.message == "keys must be str or bytes"


def test_unencodable_str_becomes_code_12(db):
    c = db.collection("c")
    with pytest.raises(native.PallixError) as info:
        c.get("\ud800")
    assert info.value.code == 12
    assert info.value.message.startswith("UnicodeEncodeError: ")


def test_argument_extraction_errors_are_not_pallix_errors(db):
    c = db.collection("c")
    with pytest.raises(OverflowError):
        c.page(limit=-1)
    with pytest.raises(OverflowError):
        c.page(limit=2**64)
    for bad in (None, "3", 1.5):
        with pytest.raises(TypeError):
            c.page(limit=bad)
    with pytest.raises(TypeError):
        c.page(None, 10, 3)
    with pytest.raises(TypeError):
        c.page(limit=1, limt=2)
    with pytest.raises(TypeError):
        c.page(None, after=None)


def test_damaged_row_count_is_a_storage_error_and_the_handle_stays_usable(path):
    raw = RawFile(path)
    raw.put_doc("c", "k", 1)
    raw.put_meta("cnt:c", b"\x01\x02")  # a row count that is not 8 bytes
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    for use in (lambda: len(c), c.is_empty, lambda: c.insert("new", 2)):
        with pytest.raises(native.PallixError) as info:
            use()
        assert info.value.code == 4
        assert info.value.message == "storage: damaged u64 value under cnt:c"
    # Nothing is poisoned: the rows read on, and the failed write left nothing.
    assert c.get("k") == 1 and c.get("new") is None
    assert c.scan() == [("k", 1)]
    c.close()
    db.close()


def test_seeded_helper_reads_back(path):
    db = seeded(path, "c", {"a": 1})
    assert db.collection("c").get("a") == 1
    db.close()
