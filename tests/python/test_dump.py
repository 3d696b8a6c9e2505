"""Db.dump_to_path, load_from_path and load_from_path_with_renames: round trips, renames and damaged dumps."""

import os
import random
import struct

import pytest

import pallix._native as native

MAGIC = b"PALLIXDUMPv2"


def populate(db):
    users = db.collection("users")
    for i in range(20):
        users.insert(f"u{i}", {"age": i, "name": f"n{i}", "loc": [10.0 + i, 20.0]})
    users.insert_with_ttl("", {"age": -1, "name": "empty"}, 42)
    users.insert_with_ttl("u1", {"age": 1, "name": "n1", "loc": [11.0, 20.0]}, -7)
    users.create_scalar_index("age")
    users.create_compound_index(["name", "age"])
    users.create_geo_index("loc")
    users.set_schema([native.SchemaField("age", "int", True, False)])
    users.insert_auto({"age": 100, "name": "auto"})
    users.link("u1", "knows", "u2")
    users.link_weighted("u2", "knows", "u3", 0.25)
    graph = db.collection("graph_only")
    graph.link_weighted("a", "r", "b", 3.5)
    users.close()
    graph.close()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def error_of(call):
    with pytest.raises(native.PallixError) as info:
        call()
    return info.value


def test_empty_database_dumps_as_92_bytes(tmp_path):
    db = native.Db()
    db.dump_to_path(str(tmp_path / "e.dump"))
    assert read(tmp_path / "e.dump") == MAGIC + bytes(80)


def test_round_trip_of_every_section_is_byte_identical(tmp_path):
    src = native.Db()
    populate(src)
    first = str(tmp_path / "1.dump")
    src.dump_to_path(first)
    dst = native.Db()
    dst.load_from_path(first)
    second = str(tmp_path / "2.dump")
    dst.dump_to_path(second)
    assert read(first) == read(second)
    users = dst.collection("users")
    assert users.get_ttl("") == 42
    assert users.get_ttl("u1") == -7
    assert users.neighbors_weighted("u1", "knows") == [("u2", 1.0)]
    assert dst.collection("graph_only").neighbors_weighted("a", "r") == [("b", 3.5)]
    assert [f.name for f in users.schema()] == ["age"]
    assert users.geo_within_radius("loc", 10.0, 20.0, 1.0)[0].key == "u0"
    assert users.insert_auto({"age": 5}) == "00000000000000000002"


def test_merge_keeps_other_documents_and_indexes_only_the_target_declares(tmp_path):
    src = native.Db()
    src.collection("c").insert("new", {"f": [7.0, 7.0]})
    src.dump_to_path(str(tmp_path / "d"))
    dst = native.Db()
    c = dst.collection("c")
    c.insert("old", {"f": [1.0, 1.0]})
    c.create_geo_index("f")
    dst.load_from_path(str(tmp_path / "d"))
    assert c.get("old") == {"f": [1.0, 1.0]}
    assert [h.key for h in c.geo_within_radius("f", 7.0, 7.0, 1.0)] == ["new"]


def test_renames(tmp_path):
    src = native.Db()
    populate(src)
    path = str(tmp_path / "d")
    src.dump_to_path(path)
    dst = native.Db()
    dst.load_from_path_with_renames(path, {"users": "people", "nowhere": "x"})
    assert dst.collections() == ["people"]
    assert len(dst.collection("people")) == 22

    e = error_of(lambda: native.Db().load_from_path_with_renames(path, {"a": "c", "b": "c"}))
    assert (e.code, e.message) == (12, "invalid argument: rename collision: 'a' and 'b' both map to 'c'")
    assert error_of(lambda: native.Db().load_from_path_with_renames(path, {"q": "x__y"})).code == 11
    with pytest.raises(TypeError):
        native.Db().load_from_path_with_renames(path, [("a", "b")])
    assert error_of(lambda: native.Db().load_from_path_with_renames(path, {1: "b"})).message == \
        "renames keys must be strings"
    assert error_of(lambda: native.Db().load_from_path_with_renames(path, {"a": 2})).message == \
        "renames values must be strings"


def test_renamed_load_checks_the_handle_then_the_file_then_the_renames(tmp_path):
    missing, empty = str(tmp_path / "missing"), str(tmp_path / "empty")
    open(empty, "wb").close()
    db = native.Db()
    e = error_of(lambda: db.load_from_path_with_renames(missing, {1: "b"}))
    assert e.code == 18 and e.message.startswith("io: ")
    assert error_of(lambda: db.load_from_path_with_renames(empty, {1: "b"})).message == "renames keys must be strings"
    assert error_of(lambda: db.load_from_path_with_renames(empty, {"a": "b"})).message == \
        "invalid dump: unexpected end of dump"
    db.close()
    assert error_of(lambda: db.load_from_path_with_renames(missing, {1: "b"})).message == "database handle is closed"


def version_1(v2):
    """The same dump with every length field 4 bytes wide (enough for documents-only dumps)."""
    out, pos = bytearray(b"PALLIXDUMPv1"), 12
    (count,) = struct.unpack_from("<Q", v2, pos)
    out += v2[pos:pos + 8]
    pos += 8
    for _ in range(count * 3):
        (n,) = struct.unpack_from("<Q", v2, pos)
        out += struct.pack("<I", n) + v2[pos + 8:pos + 8 + n]
        pos += 8 + n
    return bytes(out + v2[pos:])


def test_version_1_dumps_are_read(tmp_path):
    src = native.Db()
    src.collection("c").insert("k", {"a": [1, "x"]})
    src.dump_to_path(str(tmp_path / "v2"))
    (tmp_path / "v1").write_bytes(version_1(read(tmp_path / "v2")))
    dst = native.Db()
    dst.load_from_path(str(tmp_path / "v1"))
    assert dst.collection("c").get("k") == {"a": [1, "x"]}


def test_every_truncation_is_one_clean_error_keeping_earlier_documents(tmp_path):
    src = native.Db()
    c = src.collection("c")
    for i in range(4):
        c.insert(f"k{i}", i)
    full = str(tmp_path / "full")
    src.dump_to_path(full)
    data = read(full)
    cut = str(tmp_path / "cut")
    for n in range(len(data)):
        with open(cut, "wb") as f:
            f.write(data[:n])
        dst = native.Db()
        e = error_of(lambda: dst.load_from_path(cut))
        assert (e.code, e.message) == (16, "invalid dump: unexpected end of dump")
        got = dict(dst.collection("c").scan()) if dst.collections() else {}
        assert got == {f"k{i}": i for i in range(len(got))}
        assert len(dst.collection("c")) == len(got)


def test_fuzzed_dumps_end_in_success_or_one_error(tmp_path):
    src = native.Db()
    populate(src)
    path = str(tmp_path / "d")
    src.dump_to_path(path)
    data = read(path)
    rng = random.Random(5)
    bad = str(tmp_path / "bad")
    for _ in range(150):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        with open(bad, "wb") as f:
            f.write(mutated)
        try:
            native.Db().load_from_path(bad)
        except native.PallixError as e:
            assert 1 <= e.code <= 18


def test_reserved_and_invalid_dump_collections(tmp_path):
    def one_doc(name):
        doc = b"\x02" + struct.pack("<q", 1)
        body = struct.pack("<Q", 1)
        for part in (name.encode(), b"k", doc):
            body += struct.pack("<Q", len(part)) + part
        return MAGIC + body + bytes(72)

    db = native.Db()
    (tmp_path / "r").write_bytes(one_doc("__indexes__"))
    e = error_of(lambda: db.load_from_path(str(tmp_path / "r")))
    assert (e.code, e.message) == (16, "invalid dump: dump contains records for engine-reserved collection "
                                       "'__indexes__'")
    (tmp_path / "n").write_bytes(one_doc("a__b"))
    assert error_of(lambda: db.load_from_path(str(tmp_path / "n"))).code == 11
    assert db.collections() == []


def test_dump_refuses_its_own_database_file(tmp_path):
    path = str(tmp_path / "a.db")
    db = native.Db.open(path)
    db.collection("c").insert("k", 1)
    os.link(path, str(tmp_path / "hard"))
    for target in (path, str(tmp_path / "hard")):
        assert error_of(lambda: db.dump_to_path(target)).code == 18
    assert db.collection("c").get("k") == 1
    db.close()
    assert native.Db.open(path).collection("c").get("k") == 1


def test_targets_that_are_not_regular_files(tmp_path):
    import threading

    src = native.Db()
    populate(src)
    src.dump_to_path("/dev/null")
    regular = str(tmp_path / "regular.dump")
    src.dump_to_path(regular)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)

    # Writing: a thread reads the FIFO while the dump (without the
    # interpreter lock) writes it.
    got = []
    reader = threading.Thread(target=lambda: got.append(read(fifo)))
    reader.start()
    src.dump_to_path(fifo)
    reader.join()
    assert got[0] == read(regular)

    # Reading: the same bytes come back through the FIFO.
    writer = threading.Thread(target=lambda: open(fifo, "wb").write(got[0]))
    writer.start()
    dst = native.Db()
    dst.load_from_path(fifo)
    writer.join()
    again = str(tmp_path / "again.dump")
    dst.dump_to_path(again)
    assert read(again) == read(regular)


def test_bad_paths_and_closed_handles(tmp_path):
    db = native.Db()
    assert error_of(lambda: db.dump_to_path("a\0b")).code == 18
    assert error_of(lambda: db.load_from_path("a\0b")).code == 18
    assert error_of(lambda: db.load_from_path(str(tmp_path / "missing"))).code == 18
    assert error_of(lambda: db.dump_to_path(str(tmp_path / "no" / "dir"))).code == 18
    with pytest.raises(TypeError):
        db.dump_to_path(tmp_path / "pathlike")
    db.close()
    assert error_of(lambda: db.dump_to_path(str(tmp_path / "x"))).message == "database handle is closed"
    assert not (tmp_path / "x").exists()
    assert error_of(lambda: db.load_from_path(str(tmp_path / "x"))).code == 12


def test_text_and_vector_indexes_come_back(tmp_path):
    import array

    src = native.Db()
    c = src.collection("docs")
    for i in range(30):
        vec = array.array("f", [float((i * 5 + d) % 7) - 3.0 for d in range(8)])
        c.insert(f"d{i}", {"body": f"the quick brown fox {i}", "e": vec})
    c.create_text_index("body")
    c.create_text_index_ondisk("title")
    c.create_vector_index_quantized("e", "dot", "scalar")
    c.create_vector_index_pq("e", "cosine", 2, 4)
    c.close()
    first = str(tmp_path / "1")
    src.dump_to_path(first)
    dst = native.Db()
    dst.load_from_path(first)
    second = str(tmp_path / "2")
    dst.dump_to_path(second)
    assert read(first) == read(second)
    hits = dst.collection("docs").phrase_search("body", "brown fox", 3)
    assert len(hits) == 3


def assert_populated(db):
    """What populate() declared and wrote, as a loaded database must hold it."""
    users = db.collection("users")
    assert users.get_ttl("") == 42 and users.get_ttl("u1") == -7
    assert [(f.name, f.ty, f.required) for f in users.schema()] == [("age", "int", True)]
    assert users.neighbors_weighted("u2", "knows") == [("u3", 0.25)]
    assert db.collection("graph_only").neighbors_weighted("a", "r") == [("b", 3.5)]
    assert users.insert_auto({"age": 5}) == "00000000000000000002"
    assert users.geo_within_radius("loc", 10.0, 20.0, 1.0)[0].key == "u0"


def pq_database(case, with_pq=True):
    """populate(), then a collection whose two product-quantized indexes (in memory, on disk) outlive the
    single length of their vectors: a 3-float and an empty vector come first in key order ("mixed"), or
    every vector is deleted ("deleted")."""
    import array

    db = native.Db()
    populate(db)
    c = db.collection("docs")
    rng = random.Random(5)
    vectors = {f"d{i:02d}": array.array("f", [rng.uniform(-1, 1) for _ in range(4)]) for i in range(40)}
    for key, v in vectors.items():
        c.insert(key, {"e": v, "o": v, "n": int(key[1:])})
    c.create_scalar_index("n")
    if with_pq:
        c.create_vector_index_pq("e", "l2", 2, 4)
        c.create_vector_index_ondisk_pq("o", "l2", 2, 8)
    if case == "mixed":
        for key, v in (("a", [0.5, 0.5, 0.5]), ("b", [])):
            vectors[key] = array.array("f", v)
            c.insert(key, {"e": vectors[key], "o": vectors[key]})
    else:
        for key in list(vectors):
            c.delete(key)
            del vectors[key]
    c.close()
    return db, vectors


def test_a_dump_of_a_product_quantized_index_whose_field_took_other_lengths_loads_back_whole(tmp_path):
    import array

    src, vectors = pq_database("mixed")
    first = str(tmp_path / "1")
    src.dump_to_path(first)
    dst = native.Db()
    dst.load_from_path(first)  # trained on the 4-float vectors, the length most of them share
    second = str(tmp_path / "2")
    dst.dump_to_path(second)
    assert read(first) == read(second)  # every declaration, both product-quantized ones with their m and k
    assert_populated(dst)
    docs = dst.collection("docs")
    for q in (array.array("f", [0.2, -0.1, 0.4, 0.3]), array.array("f", [0.5, 0.5, 0.4])):
        want = sorted(vectors, key=lambda k: (sum((a - b) ** 2 for a, b in zip(vectors[k], q))
                                              if len(vectors[k]) == len(q) else float("inf"), k))
        want = [k for k in want if len(vectors[k]) == len(q)]
        for field in ("e", "o"):
            assert [row.key for row in docs.query().vector(field, q, len(vectors), "l2").run()] == want


def test_a_dump_of_a_product_quantized_index_without_vectors_loads_everything_else(tmp_path):
    src, _ = pq_database("deleted")
    first = str(tmp_path / "1")
    src.dump_to_path(first)
    dst = native.Db()
    err = error_of(lambda: dst.load_from_path(first))
    assert err.code == 14
    assert err.message.startswith("cannot train a PQ codebook: no usable training vectors for collection 'docs' field ")
    assert "'docs' field 'e'" in err.message and "'docs' field 'o'" in err.message
    assert err.message.endswith(" (left out; everything else in the dump was loaded)")
    # Everything but the two declarations: the dump of the same database never given them.
    reference, _ = pq_database("deleted", with_pq=False)
    want, got = str(tmp_path / "want"), str(tmp_path / "got")
    reference.dump_to_path(want)
    dst.dump_to_path(got)
    assert read(got) == read(want)
    assert_populated(dst)
