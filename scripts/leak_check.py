"""Leak check of the binding: every method, on its success and failure paths.

Runs each case many times and reports how resident memory and the number of
objects tracked by the garbage collector changed; a case whose counts grow
fails. Slow on purpose, so it is not part of the pytest suite:

    PYTHONPATH=<install dir> python3 scripts/leak_check.py [repeats]
"""

import array
import gc
import os
import struct
import sys
import tempfile
import threading

import pallix._native as native

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import RawFile  # noqa: E402


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def cases(tmp):
    path = os.path.join(tmp, "leak.db")
    raw = RawFile(path)
    doc = {"name": "x" * 40, "n": 7, "f": 1.5, "tags": ["a", "b"], "v": array.array("f", [1.0, 2.0]),
           "nested": {"k": [None, True, b"raw"]}}
    for i in range(50):
        raw.put_doc("c", "k%03d" % i, doc)
    raw.put("c", "zbad", b"\x09")
    raw.put_meta("cnt:poison", b"\x01")
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    poisoned = db.collection("poison")
    try:
        len(poisoned)
    except BaseException:  # noqa: B036 - the panic; the handle stays poisoned
        pass
    f = native.field("a")
    p = f.eq(1)
    closed = db.collection("c")
    closed.close()

    def two_threads():
        t = threading.Thread(target=lambda: c.get("k001"))
        t.start()
        c.get("k002")
        t.join()

    # Writes go to an in-memory database (no sync per commit), on a fixed
    # set of keys, so the database itself does not grow.
    mem = native.Db()
    w = mem.collection("w")
    reserved = mem.collection("__w")
    w.insert("k", doc)
    w.link("a", "r", "b")
    w.link_weighted("a", "r", "c", 2.5)
    w.link("b", "r", "d")
    schema = [native.SchemaField("n", "int"), native.SchemaField("s", "text", required=False, unique=True)]
    s = mem.collection("s")
    s.set_schema(schema)

    def boom(*args):
        raise ValueError("boom")

    class BadStr(Exception):
        def __str__(self):
            raise RuntimeError

    def bad_str(*args):
        raise BadStr

    class NoTruth:
        def __bool__(self):
            raise KeyError("t")

    def purge():
        w.insert_with_ttl("t", doc, 5)
        w.set_ttl("ghost", 4)
        assert w.purge_expired(5) == 1

    t = mem.collection("t")
    for i in range(20):
        t.insert("t%02d" % i, {"body": "the quick brown fox %d" % i, "e": array.array("f", [i, 1.0, 2.0, 3.0])})
    t.create_text_index("body")
    t.create_text_index_ondisk("title")

    def redeclare_vectors():
        t.create_vector_index("e", "cosine")
        t.create_vector_index_quantized("e", "dot", "scalar")
        t.create_vector_index_ondisk("e", "l2")
        t.create_vector_index_ondisk_quantized("e", "l2", "binary")
        t.create_vector_index_pq("e", "l2", 2, 4)
        t.create_vector_index_ondisk_pq("e", "l2", 2, 4)

    def update_cycle():
        w.update("u", lambda d: doc)
        w.update("u", lambda d: None)

    return {
        "Db() + close": lambda: native.Db().close(),
        "Db.open_memory + with": lambda: native.Db.open_memory().__exit__(None, None, None),
        "Db.open second (code 1)": lambda: expect(native.PallixError, native.Db.open, path),
        "Db bad path type": lambda: expect(TypeError, native.Db, 1),
        "db.collection + close": lambda: db.collection("x").close(),
        "db.collection dropped": lambda: db.collection("x"),
        "db.collections": lambda: db.collections(),
        "repr": lambda: (repr(db), repr(c), repr(closed)),
        "c.get hit": lambda: c.get("k001"),
        "c.get miss": lambda: c.get(b"none"),
        "c.get decode error": lambda: expect(native.PallixError, c.get, "zbad"),
        "c.get bad key": lambda: expect(native.PallixError, c.get, 1),
        "c.get closed": lambda: expect(native.PallixError, closed.get, "k"),
        "c.get surrogate": lambda: expect(native.PallixError, c.get, "\ud800"),
        "c.scan (error)": lambda: expect(native.PallixError, c.scan),
        "c.page": lambda: c.page(limit=5).rows,
        "c.page all (error)": lambda: expect(native.PallixError, c.page, limit=100),
        "c.page cursor": lambda: c.page(after="k010", limit=3).next,
        "c.page overflow": lambda: expect(OverflowError, c.page, limit=-1),
        "len / is_empty / name": lambda: (len(c), c.is_empty(), c.name),
        "panic on poisoned": lambda: expect(BaseException, poisoned.is_empty),
        "query + close": lambda: c.query().close(),
        "query dropped": lambda: c.query(),
        "field builders": lambda: (f.eq(doc), f.ne(None), f.lt(1), f.le(2.0), f.gt("x"), f.ge(b"y"), f.exists(),
                                   f.in_([1, 2, "x"]), f.between(1, 2), f.starts_with("a"), f.contains("b"),
                                   f.within_km(1, 2, 3)),
        "builder errors": lambda: (expect(native.PallixError, f.eq, {1: 2}), expect(native.PallixError, f.eq, {1}),
                                   expect(native.PallixError, f.eq, [[[[2**70]]]]), expect(TypeError, f.in_, "ab")),
        "and_/or_/not_": lambda: (native.and_(p, p, p), native.or_(p, p), native.not_(p)),
        "and_() error": lambda: expect(native.PallixError, native.and_),
        "SchemaField": lambda: (repr(native.SchemaField("a", "int", True, False)), native.SchemaField("b", "x").ty),
        "two threads": two_threads,
        # writes
        "insert replace": lambda: w.insert("k", doc),
        "insert errors": lambda: (expect(native.PallixError, w.insert, 1, doc),
                                  expect(native.PallixError, w.insert, "k", {1}),
                                  expect(native.PallixError, reserved.insert, "k", doc),
                                  expect(TypeError, w.insert, "k")),
        "insert_auto + delete": lambda: w.delete(w.insert_auto(doc)),
        "insert_auto error": lambda: expect(native.PallixError, s.insert_auto, {"n": "x"}),
        "update write/delete": update_cycle,
        "update errors": lambda: (expect(native.PallixError, w.update, "k", boom),
                                  expect(native.PallixError, w.update, "k", bad_str),
                                  expect(native.PallixError, w.update, "k", 5),
                                  expect(native.PallixError, w.update, "k", lambda d: {1}),
                                  expect(native.PallixError, w.update, "k", lambda d: w.get("k")),
                                  expect(native.PallixError, c.update, "zbad", print)),
        "patch": lambda: w.patch("k", {"name": "y", "extra": [1, 2]}),
        "patch error": lambda: expect(native.PallixError, s.patch, "p", {"n": 1.5}),
        "delete missing": lambda: w.delete("missing"),
        # expiry
        "insert_with_ttl + get_ttl": lambda: (w.insert_with_ttl("e", doc, 10), w.get_ttl("e"), w.get_ttl("none")),
        "set_ttl + purge": purge,
        "expiry errors": lambda: (expect(OverflowError, w.set_ttl, "k", 2**63),
                                  expect(native.PallixError, reserved.purge_expired, 1),
                                  expect(native.PallixError, w.get_ttl, 1.5)),
        # walk
        "scan_each all": lambda: w.scan_each(lambda k, d: True),
        "scan_each stop": lambda: w.scan_each(lambda k, d: None),
        "scan_each errors": lambda: (expect(native.PallixError, w.scan_each, boom),
                                     expect(native.PallixError, w.scan_each, bad_str),
                                     expect(native.PallixError, w.scan_each, lambda k, d: NoTruth()),
                                     expect(native.PallixError, w.scan_each, lambda k, d: len(w)),
                                     expect(native.PallixError, c.scan_each, lambda k, d: True)),
        # schema
        "set_schema + schema": lambda: (s.set_schema(schema), s.schema(), w.schema()),
        "schema errors": lambda: (expect(native.PallixError, s.set_schema, [native.SchemaField("n", "Int")]),
                                  expect(native.PallixError, s.insert, "k", {"n": "x"}),
                                  expect(TypeError, s.set_schema, [1])),
        # graph
        "link + unlink": lambda: (w.link("x", "r", "y"), w.link_weighted("x", "r", "z", 1.5),
                                  w.unlink("x", "r", "y"), w.unlink("x", "r", "z")),
        "graph reads": lambda: (w.neighbors("a", "r"), w.in_neighbors("d", "r"), w.neighbors_weighted("a", "r"),
                                w.traverse("a", "r", 3), w.traverse(b"\xff", "r", 0)),
        # text and vector indexes
        "phrase_search": lambda: (t.phrase_search("body", "quick brown", 5), t.phrase_search("title", "x", 5),
                                  t.phrase_search("none", "fox", 3)),
        "phrase_search errors": lambda: (expect(native.PallixError, c.phrase_search, "name", "x", 5),
                                         expect(OverflowError, t.phrase_search, "body", "x", -1)),
        "text index declarations": lambda: (t.create_text_index("body"), t.create_text_index_ondisk("title")),
        "vector index declarations": redeclare_vectors,
        "index declaration errors": lambda: (expect(native.PallixError, t.create_vector_index, "e", "L2"),
                                             expect(native.PallixError, t.create_vector_index_pq, "none", "l2", 2, 4),
                                             expect(native.PallixError, reserved.create_text_index, "body"),
                                             expect(OverflowError, t.create_vector_index_pq, "e", "l2", -1, 4)),
        "graph errors": lambda: (expect(native.PallixError, w.link, 1, "r", "b"),
                                 expect(native.PallixError, reserved.link, "a", "r", "b"),
                                 expect(TypeError, w.link, "a", 1, "b"),
                                 expect(OverflowError, w.traverse, "a", "r", -1)),
    }


# Cases of several writes each, run fewer times.
SLOW = {"insert errors", "update write/delete", "update errors", "set_ttl + purge", "insert_with_ttl + get_ttl",
        "link + unlink", "scan_each errors", "schema errors", "insert_auto + delete", "vector index declarations",
        "text index declarations"}


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    failed = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, fn in cases(tmp).items():
            n = repeats // 20 if name in ("two threads", "Db() + close", "Db.open_memory + with") else repeats
            if name in SLOW:
                n = repeats // 5
            for _ in range(min(n, 2000)):
                fn()
            gc.collect()
            rss0, objs0 = rss_kib(), len(gc.get_objects())
            for _ in range(n):
                fn()
            gc.collect()
            rss1, objs1 = rss_kib(), len(gc.get_objects())
            bad = objs1 - objs0 > 50 or rss1 - rss0 > 4096
            print(f"{'LEAK' if bad else 'ok  '} {name:28s} x{n:<7d} rss {rss1 - rss0:+6d} KiB  "
                  f"objects {objs1 - objs0:+d}")
            if bad:
                failed.append(name)
    if failed:
        print("growing:", ", ".join(failed))
        sys.exit(1)
    print("no growth")


if __name__ == "__main__":
    main()
