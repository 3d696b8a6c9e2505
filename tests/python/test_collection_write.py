"""Collection writes: insert, insert_auto, update, patch, delete, their callback rules and crash safety."""

import array
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pallix._native as native
from conftest import RawFile, child_env, crash_child, pallix_error, run_child, run_threads

AUTO1 = "0" * 19 + "1"
AUTO2 = "0" * 19 + "2"
BUSY = "collection handle is busy: a callback must not call back into the handle it runs under"


@pytest.fixture
def c(db):
    return db.collection("c")


# ---------------------------------------------------------------- insert


def test_documents_round_trip(c):
    docs = [None, True, 0, -2**63, 0.1, float("inf"), "héllo 😀", b"\x00\xff", [], [1, [2, [3]]], {},
            {"b": 1, "a": {"y": [None, 1.5]}}]
    for i, doc in enumerate(docs):
        assert c.insert(str(i), doc) is None
    assert [c.get(str(i)) for i in range(len(docs))] == docs
    c.insert("t", (1, (2, 3)))
    c.insert(b"\xff", bytearray(b"xy"))
    c.insert(bytearray(b"m"), {"b": 1, "é": 3, "Z": 4})
    v = array.array("f", [0.1, -2.0])
    c.insert("v", v)
    assert c.get("t") == [1, [2, 3]] and type(c.get(b"\xff")) is bytes
    assert list(c.get("m")) == ["Z", "b", "é"] and c.get("v").tobytes() == v.tobytes()
    assert len(c) == len(docs) + 4


def test_insert_replaces_the_whole_document(c):
    c.insert("k", {"a": 1, "b": 2})
    c.insert("k", {"c": 3})
    assert c.get("k") == {"c": 3} and len(c) == 1


def test_conversion_errors_write_nothing(c):
    assert pallix_error(lambda: c.insert(1, {})) == "keys must be str or bytes"
    assert pallix_error(lambda: c.insert("k", {1: 2})) == "dict keys must be strings (engine maps are string-keyed)"
    assert pallix_error(lambda: c.insert("k", 2**64)) == "int is outside the i64 range (engine Ints are 64-bit)"
    assert pallix_error(lambda: c.insert("k", {"a": {1}})) == "unsupported Python value kind: set"
    assert pallix_error(lambda: c.insert("k", "\ud800")).startswith("UnicodeEncodeError: ")
    assert len(c) == 0 and c.scan() == []


def test_values_too_large_to_store_are_refused_and_the_handle_goes_on(c):
    # bytes(n) is zero-filled lazily, and its length alone refuses it: no
    # gigabyte is touched or copied.
    big = bytes(2**32 + 1)
    too_long = "bytes length 4294967297 exceeds the limit of 4294967295"
    c.insert("k", 1)
    assert pallix_error(lambda: c.insert("big", big)) == too_long
    assert pallix_error(lambda: c.insert("big", {"a": [1, big]})) == too_long
    assert pallix_error(lambda: c.insert_auto(big)) == too_long
    assert pallix_error(lambda: c.insert_with_ttl("big", big, 5)) == too_long
    assert pallix_error(lambda: c.patch("k", {"a": big})) == too_long
    assert pallix_error(lambda: c.update("k", lambda doc: [big])) == too_long
    assert c.get("k") == 1 and c.get("big") is None and len(c) == 1
    c.insert("k", 2)
    assert c.get("k") == 2 and c.scan() == [("k", 2)]
    c.close()


def available_memory():
    try:
        with open("/proc/meminfo") as f:
            fields = dict(line.split(":", 1) for line in f)
        return int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return 0


@pytest.mark.bigmem
@pytest.mark.skipif(available_memory() < 8 * 2**30, reason="needs 8 GiB of free memory")
def test_a_document_over_the_storage_limit_is_refused_by_the_engine(c):
    # 2^32 - 1 bytes fit the encoding's length field, so the value is copied
    # (4 GiB) and reaches the engine, whose row check refuses it before any
    # transaction: the encoded row is 5 bytes over LMDB's largest value.
    c.insert("k", 1)
    message = pallix_error(lambda: c.insert("big", bytes(2**32 - 1)))
    assert message == ("invalid argument: row too large: key length 3 and value length 4294967300 exceed "
                       "the storage limit of 4294967295 bytes")
    assert c.get("k") == 1 and c.get("big") is None and len(c) == 1
    c.insert("k", 2)
    assert c.get("k") == 2
    c.close()


def test_key_is_converted_before_the_document(c):
    # Both are wrong: the key's message wins.
    assert pallix_error(lambda: c.insert(1, {1})) == "keys must be str or bytes"


@pytest.mark.parametrize("write", [
    lambda c: c.insert("k", 1),
    lambda c: c.insert_auto(1),
    lambda c: c.patch("k", 1),
    lambda c: c.delete("k"),
    lambda c: c.update("k", lambda d: 1),
    lambda c: c.insert_with_ttl("k", 1, 5),
    lambda c: c.set_ttl("k", 5),
    lambda c: c.purge_expired(5),
    lambda c: c.link("a", "r", "b"),
    lambda c: c.set_schema([]),
])
def test_name_rules_on_every_write(db, write):
    assert pallix_error(lambda: write(db.collection("__x")), 10) == "reserved collection name: __x"
    assert pallix_error(lambda: write(db.collection("a__b")), 11) == (
        "invalid name (NUL byte or `__` is not allowed): a__b")
    assert pallix_error(lambda: write(db.collection("a\0b")), 11) == (
        "invalid name (NUL byte or `__` is not allowed): a\0b")
    assert db.collections() == []


def test_argument_extraction(c):
    with pytest.raises(TypeError):
        c.insert("k")
    with pytest.raises(TypeError):
        c.insert("k", 1, 2)
    with pytest.raises(TypeError):
        c.insert(key="k", document=1)
    with pytest.raises(TypeError):
        c.insert_auto()
    with pytest.raises(TypeError):
        c.update("k")
    with pytest.raises(TypeError):
        c.patch("k", patch=1, key="j")
    with pytest.raises(TypeError):
        c.delete()
    c.insert(key="k", doc=1)
    c.patch(patch={"a": 1}, key="p")
    c.update(f=lambda d: 2, key="u")
    assert c.insert_auto(doc=3) == AUTO1
    assert c.delete(key="k") is True
    assert c.scan() == [(AUTO1, 3), ("p", {"a": 1}), ("u", 2)]


def test_closed_handle_refuses_every_new_method(c):
    c.close()
    calls = [lambda: c.insert("k", 1), lambda: c.insert_auto(1), lambda: c.update("k", None),
             lambda: c.patch("k", 1), lambda: c.delete("k"), lambda: c.insert_with_ttl("k", 1, 1),
             lambda: c.set_ttl("k", 1), lambda: c.get_ttl("k"), lambda: c.purge_expired(1),
             lambda: c.scan_each(print), lambda: c.set_schema([native.SchemaField("a", "Bad")]), c.schema,
             lambda: c.link("a", "r", "b"), lambda: c.link_weighted("a", "r", "b", 1.0),
             lambda: c.unlink("a", "r", "b"), lambda: c.neighbors("a", "r"), lambda: c.in_neighbors("a", "r"),
             lambda: c.neighbors_weighted("a", "r"), lambda: c.traverse("a", "r", 1),
             # the closed check comes before any conversion
             lambda: c.insert(1, {1}), lambda: c.link(1, "r", 2)]
    for call in calls:
        assert pallix_error(call) == "collection handle is closed"
    # Argument extraction comes before the lock and the closed check.
    for call, exc in ((lambda: c.insert("k"), TypeError), (lambda: c.purge_expired(2**63), OverflowError),
                      (lambda: c.link("a", 1, "b"), TypeError), (lambda: c.set_schema([1]), TypeError)):
        with pytest.raises(exc):
            call()


def test_with_block_closes_and_lets_exceptions_through(db):
    with pytest.raises(KeyError):
        with db.collection("c") as c:
            c.insert("k", 1)
            raise KeyError("x")
    assert repr(c) == "pallix.Collection(<closed>)"
    assert pallix_error(lambda: c.insert("k", 2)) == "collection handle is closed"
    assert db.collection("c").get("k") == 1


# ---------------------------------------------------------------- insert_auto


def test_insert_auto_counts_per_collection(db):
    a, b = db.collection("a"), db.collection("b")
    assert a.insert_auto({"n": 1}) == AUTO1
    assert a.insert_auto({"n": 2}) == AUTO2
    assert b.insert_auto(None) == AUTO1
    key = a.insert_auto(3)
    assert type(key) is str and key == "0" * 19 + "3" and len(key) == 20
    assert a.scan() == [(AUTO1, {"n": 1}), (AUTO2, {"n": 2}), (key, 3)]
    assert pallix_error(lambda: a.insert_auto({1})) == "unsupported Python value kind: set"
    assert a.insert_auto(4) == "0" * 19 + "4"


def test_insert_auto_refused_by_the_schema_keeps_the_number(db):
    a = db.collection("a")
    a.set_schema([native.SchemaField("n", "int", required=True)])
    assert a.insert_auto({"n": 1}) == AUTO1
    assert pallix_error(lambda: a.insert_auto({"n": "x"}), 15) == "schema violation: field 'n' has the wrong type"
    assert pallix_error(lambda: a.insert_auto({}), 15) == "schema violation: field 'n' is required"
    assert a.insert_auto({"n": 2}) == AUTO2
    assert len(a) == 2


def test_insert_auto_passes_over_a_taken_key(db):
    a = db.collection("a")
    a.insert(AUTO1, "mine")
    assert a.insert_auto("auto") == AUTO2
    assert a.get(AUTO1) == "mine" and a.get(AUTO2) == "auto"


def test_insert_auto_counter_persists(path):
    d = native.Db.open(path)
    assert d.collection("a").insert_auto(1) == AUTO1
    d.close()
    d = native.Db.open(path)
    assert d.collection("a").insert_auto(2) == AUTO2
    d.close()


# ---------------------------------------------------------------- delete


def test_delete(db, c):
    assert db.collection("never").delete("k") is False
    assert c.delete("k") is False
    c.insert("k", 1)
    assert c.delete("k") is True
    assert c.delete(b"k") is False
    assert c.is_empty() and len(c) == 0


# ---------------------------------------------------------------- update


def test_update_reads_calls_and_writes(c):
    seen = []
    assert c.update("k", lambda d: seen.append(d) or {"n": 1}) is None
    c.update("k", lambda d: seen.append(d) or {**d, "n": d["n"] + 1})
    assert seen == [None, {"n": 1}] and type(seen[1]) is dict
    assert c.get("k") == {"n": 2}
    c.update("k", lambda d: None)
    assert c.get("k") is None and len(c) == 0
    assert c.update("absent", lambda d: None) is None
    assert c.get("absent") is None and len(c) == 0


def test_update_callback_gets_one_positional_argument(c):
    c.insert("k", [1])
    calls = []

    def f(*args, **kwargs):
        calls.append((args, kwargs))
        return args[0] + [2]

    c.update("k", f)
    assert calls == [(([1],), {})] and c.get("k") == [1, 2]


def test_update_callback_failures_write_nothing(c):
    c.insert("k", {"n": 1})

    def boom(d):
        raise ValueError("boom")

    assert pallix_error(lambda: c.update("k", boom)) == "update callback failed: ValueError: boom"
    assert pallix_error(lambda: c.update("k", 5)) == (
        "update callback failed: TypeError: 'int' object is not callable")
    assert pallix_error(lambda: c.update("k", lambda d: {1, 2})) == "unsupported Python value kind: set"

    class BadStr(Exception):
        def __str__(self):
            raise RuntimeError

    def bad(d):
        raise BadStr

    assert pallix_error(lambda: c.update("k", bad)) == (
        "update callback failed: test_update_callback_failures_write_nothing.<locals>.BadStr: "
        "<exception str() failed>")
    assert c.get("k") == {"n": 1}
    assert pallix_error(lambda: c.update("absent", boom)) == "update callback failed: ValueError: boom"
    assert c.get("absent") is None and len(c) == 1


def test_update_of_an_undecodable_document_does_not_call_back(path):
    raw = RawFile(path)
    raw.put("c", "k", b"\x02\x01")
    raw.close()
    d = native.Db.open(path)
    calls = []
    assert pallix_error(lambda: d.collection("c").update("k", calls.append), 8) == "decode: unexpected end of input"
    assert calls == []
    d.close()


def test_update_on_a_reserved_name_reads_and_calls_back_first(db):
    calls = []
    r = db.collection("__r")
    assert pallix_error(lambda: r.update("k", lambda d: calls.append(d) or 1), 10) == "reserved collection name: __r"
    assert pallix_error(lambda: r.update("k", lambda d: calls.append(d)), 10) == "reserved collection name: __r"
    assert calls == [None, None]


def test_update_is_overwritten_only_by_its_own_write(db):
    c, other = db.collection("c"), db.collection("c")
    c.insert("k", 1)
    # Another handle stays usable from the callback; the update's own
    # write comes last.
    c.update("k", lambda d: other.insert("k", 99) or d + 1)
    assert c.get("k") == 2
    c.update("j", lambda d: other.insert("j", 5))
    assert c.get("j") is None


# ---------------------------------------------------------------- patch


def test_patch(c):
    c.insert("k", {"a": 1, "b": 1})
    assert c.patch("k", {"b": 2}) is None
    assert c.get("k") == {"a": 1, "b": 2}
    c.insert("n", {"n": {"x": 1}})
    c.patch("n", {"n": {"y": 1}})
    assert c.get("n") == {"n": {"y": 1}}
    c.patch("k", {"a": None})
    assert c.get("k") == {"a": None, "b": 2}
    c.patch("new", {"a": 1})
    assert c.get("new") == {"a": 1}
    c.patch("new", 7)
    assert c.get("new") == 7
    c.insert("l", [1])
    c.patch("l", {"a": 1})
    assert c.get("l") == {"a": 1}
    assert len(c) == 4


def test_patch_is_validated_as_a_whole_document(c):
    c.set_schema([native.SchemaField("a", "int", required=True)])
    c.insert("k", {"a": 1})
    c.patch("k", {"b": "x"})
    assert c.get("k") == {"a": 1, "b": "x"}
    assert pallix_error(lambda: c.patch("k", {"a": "no"}), 15) == "schema violation: field 'a' has the wrong type"
    assert pallix_error(lambda: c.patch("new", {"b": 1}), 15) == "schema violation: field 'a' is required"
    assert c.get("k") == {"a": 1, "b": "x"} and c.get("new") is None


# ---------------------------------------------------------------- callbacks and threads


def test_reentry_from_an_update_callback_fails_fast():
    out = run_child("""
        import threading
        import pallix._native as native
        c = native.Db().collection("c")
        c.insert("k", 1)
        results = []

        def run():
            for inner in (lambda: c.get("k"), lambda: len(c), lambda: c.insert("x", 1), lambda: c.update("k", None),
                          lambda: c.scan_each(print), c.close, lambda: c.name, lambda: bool(c)):
                try:
                    c.update("k", lambda d: inner())
                except native.PallixError as e:
                    results.append((e.code, e.message))
            results.append(repr(c))

        t = threading.Thread(target=run)
        t.start()
        t.join(60)
        assert not t.is_alive(), "re-entry hung"
        print(repr(results))
        print(c.get("k"), c.name)
    """)
    lines = out.splitlines()
    busy = (12, "update callback failed: PallixError: " + BUSY)
    assert eval(lines[0]) == [busy] * 8 + ['pallix.Collection("c")']
    assert lines[1] == "1 c"


def test_a_second_thread_waits_while_an_update_callback_runs():
    # The waiting thread gives up the interpreter lock, so the callback
    # (which needs it) finishes, then the waiter goes on.
    out = run_child("""
        import threading, time
        import pallix._native as native
        c = native.Db().collection("c")
        c.insert("k", 1)
        waiting = threading.Event()
        got = []

        def other():
            waiting.set()
            c.insert("k", 100)      # waits for the update's lock
            got.append(c.get("k"))

        t = threading.Thread(target=other)

        def f(d):
            t.start()
            waiting.wait(30)
            for _ in range(20):    # Python work while the other thread waits
                time.sleep(0.005)
            return d + 1

        c.update("k", f)
        t.join(60)
        assert not t.is_alive(), "the waiting thread hung"
        print(got)
    """)
    assert out.strip() == "[100]"


def test_concurrent_updates_lose_no_increment(shared_db):
    shared_db.collection("c").insert("n", 0)

    def work():
        c = shared_db.collection("c")
        for _ in range(300):
            c.update("n", lambda d: d + 1)

    run_threads(*[work] * 4)
    assert shared_db.collection("c").get("n") == 1200


def test_concurrent_patches_of_one_document_lose_no_field(shared_db):
    shared_db.collection("c").insert_many([(str(k), {}) for k in range(200)])

    def work(i):
        c = shared_db.collection("c")
        for k in range(200):
            c.patch(str(k), {f"f{i}": k})

    run_threads(*[lambda i=i: work(i) for i in range(4)])
    c = shared_db.collection("c")
    assert [c.get(str(k)) for k in range(200)] == [{f"f{i}": k for i in range(4)} for k in range(200)]


def test_an_update_callback_writes_through_another_handle_on_its_own_thread(shared_db):
    c, other = shared_db.collection("c"), shared_db.collection("c")
    c.insert("k", 1)
    c.update("k", lambda d: other.update("j", lambda e: 7) or other.insert("k", 99) or d + 1)
    assert c.get("k") == 2 and c.get("j") == 7


@pytest.mark.parametrize("storage", ["file", "memory"])
def test_an_update_callback_writes_through_a_handle_whose_writer_waits_for_its_turn(storage, tmp_path):
    # Another thread's insert through the shared handle waits for the turn
    # the update holds; the callback then writes through that handle, and
    # both writes land. The order is fixed by the interpreter lock: with a
    # switch interval that never runs out, the writer keeps that lock from
    # the moment it calls insert until its first wait, the one for the turn.
    out = run_child(f"""
        import sys, threading
        import pallix._native as native
        sys.setswitchinterval(1000)
        db = native.Db.open({str(tmp_path / "t.db")!r}) if {storage == "file"} else native.Db()
        c, shared = db.collection("c"), db.collection("s")
        c.insert("k", 1)
        calling = threading.Event()

        def writer():
            def profile(frame, event, arg):
                if event == "c_call" and getattr(arg, "__self__", None) is shared:
                    calling.set()
            sys.setprofile(profile)
            shared.insert("w", 1)
            sys.setprofile(None)

        t = threading.Thread(target=writer, daemon=True)

        def f(d):
            t.start()
            calling.wait(30)
            shared.insert("x", 2)
            return d + shared.get("x")

        c.update("k", f)
        t.join(30)
        assert not t.is_alive(), "the insert hung"
        print(c.get("k"), shared.get("x"), shared.get("w"), len(shared))
    """, timeout=90)
    assert out.split() == ["3", "2", "1", "2"]


READS_THAT_RESUME_BUILDS = {
    "geo_within_radius": 'shared.geo_within_radius("g", 0.0, 0.0, 50.0)',
    "geo_nearest": 'shared.geo_nearest("g", 0.0, 0.0, 1)',
    "geo_within_bbox": 'shared.geo_within_bbox("g", -1.0, -1.0, 1.0, 1.0)',
    "phrase_search": 'shared.phrase_search("t", "a b", 1)',
    "delete_where": 'shared.delete_where(native.field("n").eq(-1))',
    "query_run": 'shared.query().run()',
}


@pytest.mark.parametrize("read", READS_THAT_RESUME_BUILDS)
def test_an_update_callback_writes_through_a_handle_whose_read_resumes_a_build(read, tmp_path):
    # A geo build left pending (the crash hook ends its process after the
    # first batch). Another thread's read through the shared handle resumes
    # it and so waits for the turn the update holds; the callback then
    # writes through that handle, and both land. The order is fixed as in
    # the test above: the reader keeps the interpreter lock from the moment
    # it signals until its first wait, the one for the turn.
    path = str(tmp_path / "t.db")
    with native.Db.open(path) as db, db.collection("c") as c:
        c.insert_many([(f"k{i}", {"g": [0.1 * i, 0.1 * i], "t": "a b", "n": i}) for i in range(10)])
    died = crash_child(path, 'c.create_geo_index("g")', 1)
    assert died.returncode != 0 and "finished" not in died.stdout
    out = run_child(f"""
        import sys, threading
        import pallix._native as native
        sys.setswitchinterval(1000)
        db = native.Db.open({path!r})
        u, shared = db.collection("u"), db.collection("c")
        u.insert("k", 1)
        calling = threading.Event()
        refused = []

        def reader():
            calling.set()
            try:
                {READS_THAT_RESUME_BUILDS[read]}
            except native.PallixError as e:
                refused.append((e.code, e.message))

        t = threading.Thread(target=reader, daemon=True)

        def f(d):
            t.start()
            calling.wait(30)
            shared.insert("x", {{"n": 2}})
            return d + 1

        try:
            u.update("k", f)
        except native.PallixError as e:
            refused.append((e.code, e.message))
        t.join(30)
        assert not t.is_alive(), "the read hung"
        print(refused)
        print(u.get("k"), shared.get("x"), len(shared.geo_within_bbox("g", -1.0, -1.0, 2.0, 2.0)))
    """, timeout=90)
    assert out.splitlines() == ["[]", "2 {'n': 2} 10"]


def test_update_callbacks_and_writers_share_a_handle_without_refusals(shared_db):
    # Two updaters whose callbacks insert through one shared handle, two
    # threads inserting through it: nobody is refused, the counter holds
    # every update, and every acknowledged insert is stored.
    shared = shared_db.collection("s")
    shared_db.collection("n").insert("n", 0)
    refused, stored, updates = [], [], []
    until = time.monotonic() + 2

    def updater(u):
        n = shared_db.collection("n")
        i = 0
        while time.monotonic() < until:
            key = f"u{u}-{i}"
            try:
                n.update("n", lambda d: shared.insert(key, i) or d + 1)
                stored.append(key)
                updates.append(key)
            except native.PallixError as e:
                refused.append((e.code, e.message))
            i += 1

    def inserter(w):
        i = 0
        while time.monotonic() < until:
            key = f"w{w}-{i}"
            try:
                shared.insert(key, i)
                stored.append(key)
            except native.PallixError as e:
                refused.append((e.code, e.message))
            i += 1

    run_threads(lambda: updater(0), lambda: updater(1), lambda: inserter(0), lambda: inserter(1))
    assert refused == []
    assert updates and shared_db.collection("n").get("n") == len(updates)
    assert [k for k in stored if shared.get(k) is None] == []


RING_WRITES = ["insert", "insert_many", "patch", "delete", "delete_where", "update", "create_scalar_index",
               "create_text_index"]


@pytest.mark.parametrize("storage", ["file", "memory"])
@pytest.mark.parametrize("kind", RING_WRITES)
def test_update_callbacks_writing_into_each_others_database_refuse_one_write(kind, storage, tmp_path):
    # A ring of 2 and of 3 databases: the update of each holds its writer
    # turn while its callback writes into the next database. Once every
    # callback runs, the write that would close the cycle fails at once
    # with code 12 (whichever comes last), the other writes wait and land,
    # every update completes, and every database takes writes afterwards.
    out = run_child(f"""
        import threading
        import pallix._native as native
        write = {{"insert": lambda c: c.insert("x", 1),
                 "insert_many": lambda c: c.insert_many([("x", 1), ("y", 2)]),
                 "patch": lambda c: c.patch("x", {{"a": 1}}),
                 "delete": lambda c: c.delete("x"),
                 "delete_where": lambda c: c.delete_where(native.field("a").eq(1)),
                 "update": lambda c: c.update("x", lambda d: 2),
                 "create_scalar_index": lambda c: c.create_scalar_index("a"),
                 "create_text_index": lambda c: c.create_text_index("t")}}[{kind!r}]
        for n in (2, 3):
            dbs = [native.Db.open({str(tmp_path)!r} + f"/{{n}}-{{i}}.db") if {storage == "file"} else native.Db()
                   for i in range(n)]
            running = threading.Barrier(n)
            refused = []

            def run(i):
                def f(d):
                    running.wait(30)
                    try:
                        write(dbs[(i + 1) % n].collection("c"))
                    except native.PallixError as e:
                        refused.append((e.code, e.message))
                    return i
                dbs[i].collection("c").update("k", f)

            threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            assert not any(t.is_alive() for t in threads), "the updates hung"
            print(refused)
            print([db.collection("c").get("k") for db in dbs])
            for db in dbs:
                db.collection("c").insert("after", 1)
    """, timeout=90)
    lines = out.splitlines()
    refusal = [(12, "invalid argument: writer turn is held by a thread waiting for this thread's write")]
    assert lines == [repr(refusal), "[0, 1]", repr(refusal), "[0, 1, 2]"]


def test_an_update_callback_uses_unshared_handles_while_another_write_waits(shared_db):
    # Each thread has handles of its own: the other thread's write waits
    # for the update (the sleep only gives it the chance to get there),
    # the callback's writes through its other handles go on.
    c, other = shared_db.collection("c"), shared_db.collection("c")
    c.insert("k", 1)
    started = threading.Event()

    def writer():
        theirs = shared_db.collection("c")
        started.set()
        theirs.insert("w", 5)

    t = threading.Thread(target=writer)

    def f(d):
        t.start()
        started.wait(30)
        time.sleep(0.02)
        other.insert("x", 2)
        other.update("x", lambda e: e + 1)
        return d + other.get("x") + (other.get("w") or 0)

    c.update("k", f)
    t.join(30)
    assert not t.is_alive(), "the other write hung"
    assert c.get("k") == 4 and c.get("w") == 5 and c.get("x") == 3


# ---------------------------------------------------------------- durability


CRASH_CHILD = """
    import sys
    import pallix._native as native
    db = native.Db.open(sys.argv[1])
    c = db.collection("c")
    i = 0
    while True:
        key = "k%08d" % i
        c.insert(key, {"i": i, "pad": "x" * 100})
        print(key, flush=True)
        i += 1
"""


def test_acknowledged_inserts_survive_a_kill(path):
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CRASH_CHILD), path], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    acked = []
    try:
        for line in proc.stdout:
            acked.append(line.strip())
            if len(acked) == 300:
                break
    finally:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()
    assert len(acked) == 300, "the child stopped early"
    d = native.Db.open(path)
    c = d.collection("c")
    rows = c.scan()
    keys = [k for k, _ in rows]
    # Every acknowledged insert is there; at most the one in flight beyond.
    assert keys[:300] == acked and len(keys) <= 301
    assert all(doc["i"] == int(key[1:]) for key, doc in rows)
    assert len(c) == len(rows)
    c.insert("after", 1)
    assert len(c) == len(rows) + 1
    d.close()


def test_a_damaged_row_count_fails_the_write_and_poisons_nothing(path):
    raw = RawFile(path)
    raw.put_doc("c", "k", 1)
    raw.put_meta("cnt:c", b"\x01\x02")  # a row count that is not 8 bytes
    raw.close()
    d = native.Db.open(path)
    c = d.collection("c")
    with pytest.raises(native.PallixError) as info:
        c.insert("new", 2)
    assert info.value.code == 4 and info.value.message == "storage: damaged u64 value under cnt:c"
    # The same handle goes on with writes that need no row count.
    c.set_ttl("k", 2**40)
    assert c.get_ttl("k") == 2**40
    assert c.get("k") == 1 and c.get("new") is None  # the failed write left nothing
    c.close()
    d.close()
