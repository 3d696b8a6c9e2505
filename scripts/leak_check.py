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
    }


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    failed = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, fn in cases(tmp).items():
            n = repeats // 20 if name in ("two threads", "Db() + close", "Db.open_memory + with") else repeats
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
