"""PallixError, the frozen ErrorCode table, and how each kind of failure reaches Python."""

import os
import struct

import pytest

import pallix._native as native
from conftest import RawFile, seeded

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
