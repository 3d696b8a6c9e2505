"""Collection handles: life, representation, the read methods with paging, and the scan_each walk."""

import subprocess
import sys
import textwrap

import pytest

import pallix._native as native
from conftest import RawFile, child_env, run_child, seeded


def pallix_error(call, code=12):
    with pytest.raises(native.PallixError) as info:
        call()
    assert info.value.code == code
    return info.value.message


def keys_of(rows):
    return [k for k, _ in rows]


# ---------------------------------------------------------------- life


def test_name_and_repr(db):
    c = db.collection("orders")
    assert c.name == "orders"
    assert repr(c) == 'pallix.Collection("orders")'
    assert repr(db.collection('a"b\\c')) == r'pallix.Collection("a\"b\\c")'
    assert repr(db.collection("t\tn\nr\r0\0")) == r'pallix.Collection("t\tn\nr\r0\0")'
    assert repr(db.collection("\x07\x7f\u00a0\u200b")) == r'pallix.Collection("\u{7}\u{7f}\u{a0}\u{200b}")'
    assert repr(db.collection("e\u0301 'ü' 😀")) == 'pallix.Collection("e\\u{301} \'ü\' 😀")'


def test_closed_handle(db):
    c = db.collection("c")
    assert c.close() is None
    assert c.close() is None
    assert c.__exit__(None, None, None) is None
    assert repr(c) == "pallix.Collection(<closed>)"
    msg = "collection handle is closed"
    assert pallix_error(lambda: c.name) == msg
    assert pallix_error(lambda: len(c)) == msg
    assert pallix_error(lambda: bool(c)) == msg
    assert pallix_error(c.is_empty) == msg
    assert pallix_error(c.scan) == msg
    assert pallix_error(lambda: c.get("k")) == msg
    assert pallix_error(lambda: c.page()) == msg
    assert pallix_error(lambda: c.scan_each(print)) == msg
    assert pallix_error(c.query) == msg
    with c as same:
        assert same is c


def test_closed_check_comes_before_key_conversion(db):
    c = db.collection("c")
    c.close()
    assert pallix_error(lambda: c.get(3)) == "collection handle is closed"
    assert pallix_error(lambda: c.page(after=3.5)) == "collection handle is closed"


def test_argument_errors_come_before_the_closed_check(db):
    c = db.collection("c")
    c.close()
    with pytest.raises(TypeError):
        c.get()
    with pytest.raises(OverflowError):
        c.page(limit=-1)


def test_with_block_closes_the_handle(db):
    with pytest.raises(ValueError):
        with db.collection("c") as c:
            raise ValueError
    assert repr(c) == "pallix.Collection(<closed>)"


# ---------------------------------------------------------------- reads


def test_unknown_collection_reads_as_empty(db):
    c = db.collection("nothing")
    assert c.get("k") is None
    assert c.scan() == []
    assert c.is_empty() is True
    assert len(c) == 0
    assert not c
    p = c.page()
    assert p.rows == [] and p.next is None


def test_get_and_scan(path):
    docs = {"b": {"n": 2}, "a": [1], "": None, "ab": "x", b"\x00": 0, b"\xff\x01": b"raw"}
    db = seeded(path, "c", docs)
    c = db.collection("c")
    assert c.get("a") == [1]
    assert c.get(b"b") == {"n": 2}
    assert c.get(bytearray(b"ab")) == "x"
    assert c.get("") is None and c.get("missing") is None
    rows = c.scan()
    assert all(type(r) is tuple and len(r) == 2 for r in rows)
    # Bytewise order: the empty key first, 0x00 next, a prefix before longer keys.
    assert keys_of(rows) == ["", "\x00", "a", "ab", "b", b"\xff\x01"]
    assert rows[-1] == (b"\xff\x01", b"raw")
    assert len(c) == 6 and c.is_empty() is False and bool(c) is True
    db.close()


def test_scan_fails_whole_on_a_bad_row(path):
    raw = RawFile(path)
    raw.put_doc("c", "a", 1)
    raw.put("c", "b", b"\x02\x01")
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    assert pallix_error(c.scan, code=8) == "decode: unexpected end of input"
    assert c.get("a") == 1
    db.close()


def test_reads_do_not_check_names(path):
    db = seeded(path, "__internal", {"k": 1})
    c = db.collection("__internal")
    assert c.get("k") == 1 and len(c) == 1
    db.close()


def make_rows(path, n, width=5):
    return seeded(path, "c", {str(i).zfill(width): i for i in range(n)})


def test_page_walk(path):
    db = make_rows(path, 25, width=2)
    c = db.collection("c")
    first = c.page()
    assert keys_of(first.rows) == [str(i).zfill(2) for i in range(10)]
    assert first.next == "09"
    second = c.page(after=first.next)
    assert keys_of(second.rows) == [str(i).zfill(2) for i in range(10, 20)]
    third = c.page(second.next, 10)
    assert keys_of(third.rows) == [str(i).zfill(2) for i in range(20, 25)]
    assert third.next is None
    assert third.rows[0] == ("20", 20)
    db.close()


def test_a_full_last_page_still_carries_a_cursor(path):
    db = make_rows(path, 5)
    c = db.collection("c")
    p = c.page(limit=5)
    assert len(p.rows) == 5 and p.next == "00004"
    after = c.page(after=p.next, limit=5)
    assert after.rows == [] and after.next is None
    db.close()


def test_page_limit_zero_and_bad_after(path):
    db = make_rows(path, 3)
    c = db.collection("c")
    p = c.page(limit=0)
    assert p.rows == [] and p.next is None
    assert pallix_error(lambda: c.page(after=3.5, limit=0)) == "keys must be str or bytes"
    with pytest.raises(TypeError):
        c.page(limit=None)
    assert keys_of(c.page(after=None).rows) == ["00000", "00001", "00002"]
    db.close()


def test_page_after_a_key_that_is_not_stored(path):
    db = seeded(path, "c", {"": 0, "a": 1, "c": 3})
    c = db.collection("c")
    assert keys_of(c.page(after="b").rows) == ["c"]
    assert keys_of(c.page(after="").rows) == ["a", "c"]
    assert keys_of(c.page(after=b"").rows) == ["a", "c"]
    assert keys_of(c.page(after="a\0").rows) == ["c"]
    db.close()


def test_pages_larger_than_one_batch(path):
    db = make_rows(path, 4000)
    c = db.collection("c")
    p = c.page(limit=3000)
    assert keys_of(p.rows) == [str(i).zfill(5) for i in range(3000)]
    assert p.next == "02999"
    rest = c.page(after=p.next, limit=3000)
    assert keys_of(rest.rows) == [str(i).zfill(5) for i in range(3000, 4000)]
    assert rest.next is None
    # Walking by small pages meets every row once.
    seen, after = [], None
    while True:
        page = c.page(after=after, limit=333)
        seen += keys_of(page.rows)
        if page.next is None:
            break
        after = page.next
    assert seen == [str(i).zfill(5) for i in range(4000)]
    # Large enough to be read without the interpreter lock, like the pages.
    assert c.scan() == [(str(i).zfill(5), i) for i in range(4000)]
    db.close()


def test_page_decodes_only_the_rows_it_returns(path):
    raw = RawFile(path)
    raw.put_doc("c", "a", 1)
    raw.put("c", "b", b"\xee")
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    assert c.page(limit=1).rows == [("a", 1)]
    assert pallix_error(lambda: c.page(limit=2), code=8) == "decode: unknown tag 238"
    db.close()


def test_len_follows_the_maintained_count(path):
    raw = RawFile(path)
    raw.put_doc("c", "a", 1)
    raw.put_meta("cnt:c", (7).to_bytes(8, "little"))
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    assert len(c) == 7 and c.is_empty() is False
    db.close()


def test_len_beyond_ssize_t(path):
    raw = RawFile(path)
    raw.put_meta("cnt:c", (2**64 - 1).to_bytes(8, "little"))
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    with pytest.raises(OverflowError):
        len(c)
    assert c.is_empty() is False
    db.close()


def test_threads_share_one_handle(path):
    import threading

    db = make_rows(path, 50)
    c = db.collection("c")
    results, errors = [], []

    def reader(n):
        try:
            for i in range(200):
                assert c.get(str((i + n) % 50).zfill(5)) == (i + n) % 50
                assert len(c.page(limit=3).rows) == 3
                assert len(c) == 50
            results.append(n)
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors and sorted(results) == [0, 1, 2, 3]
    db.close()


def test_a_page_walk_over_written_rows(db):
    c = db.collection("c")
    for i in range(30):
        c.insert(f"k{i:02d}", {"i": i})
    c.delete("k07")
    pages, after = [], None
    while True:
        page = c.page(after=after, limit=7)
        pages.append(keys_of(page.rows))
        if page.next is None:
            break
        assert page.next == page.rows[-1][0]
        after = page.next
    # 29 rows: four full pages (the last full page still carries a cursor,
    # the call after it returns nothing), then one of one row.
    assert [len(p) for p in pages] == [7, 7, 7, 7, 1]
    assert sum(pages, []) == [f"k{i:02d}" for i in range(30) if i != 7]
    c.delete("k29")
    last = c.page(after="k27", limit=1)
    assert keys_of(last.rows) == ["k28"] and last.next == "k28"
    assert c.page(after=last.next, limit=1).next is None


# ---------------------------------------------------------------- scan_each


def test_scan_each_visits_rows_in_key_order(path):
    db = seeded(path, "c", {"b": 2, "a": {"x": [1]}, b"\xff": None, "": "e"})
    c = db.collection("c")
    seen = []
    assert c.scan_each(lambda k, d: seen.append((k, d)) or True) == 4
    assert seen == [("", "e"), ("a", {"x": [1]}), ("b", 2), (b"\xff", None)]
    db.close()


def test_scan_each_on_an_empty_collection(db):
    calls = []
    assert db.collection("never").scan_each(calls.append) == 0
    assert db.collection("__internal").scan_each(calls.append) == 0
    assert db.collection("never").scan_each(5) == 0  # cb is not checked before the first row
    assert calls == []


@pytest.mark.parametrize("answer, visited", [
    (None, 1), (False, 1), (0, 1), ("", 1), ([], 1), (True, 3), (1, 3), ([0], 3), ("x", 3),
])
def test_scan_each_stops_on_a_falsy_answer(db, answer, visited):
    c = db.collection("c")
    for k in "abc":
        c.insert(k, k)
    calls = []

    def cb(*args, **kwargs):
        calls.append((args, kwargs))
        return answer

    assert c.scan_each(cb) == visited
    assert calls == [((k, k), {}) for k in "abc"[:visited]]


def test_scan_each_callback_failures(db):
    c = db.collection("c")
    for k in "abc":
        c.insert(k, k)
    seen = []

    def boom(k, d):
        seen.append(k)
        if k == "b":
            raise ValueError("boom")
        return True

    assert pallix_error(lambda: c.scan_each(boom)) == "invalid argument: scan callback failed: ValueError: boom"
    assert seen == ["a", "b"]
    assert pallix_error(lambda: c.scan_each(5)) == (
        "invalid argument: scan callback failed: TypeError: 'int' object is not callable")

    class NoTruth:
        def __bool__(self):
            raise KeyError("t")

    assert pallix_error(lambda: c.scan_each(lambda k, d: NoTruth())) == "invalid argument: KeyError: 't'"

    class BadStr(Exception):
        def __str__(self):
            raise RuntimeError

    def bad(k, d):
        raise BadStr

    assert pallix_error(lambda: c.scan_each(bad)) == (
        "invalid argument: scan callback failed: test_scan_each_callback_failures.<locals>.BadStr: "
        "<exception str() failed>")
    assert c.scan_each(lambda k, d: True) == 3  # the handle stays usable


def test_scan_each_stops_at_an_undecodable_row(path):
    raw = RawFile(path)
    raw.put_doc("c", "a", 1)
    raw.put("c", "b", b"\x09")
    raw.put_doc("c", "c", 3)
    raw.close()
    db = native.Db.open(path)
    seen = []
    assert pallix_error(lambda: db.collection("c").scan_each(lambda k, d: seen.append(k) or True), 8) == (
        "decode: unknown tag 9")
    assert seen == ["a"]
    db.close()


def test_scan_each_reads_one_snapshot(db):
    c, other = db.collection("c"), db.collection("c")
    for i in range(3):
        c.insert(f"k{i}", i)
    keys = []

    def cb(k, d):
        keys.append(k)
        other.insert("k9", 9)      # other handles stay usable, writes included
        other.delete("k2")
        return True

    assert c.scan_each(cb) == 3
    assert keys == ["k0", "k1", "k2"]
    assert c.get("k9") == 9 and c.get("k2") is None


def test_reentry_from_a_scan_each_callback_fails_fast():
    out = run_child("""
        import threading
        import pallix._native as native
        c = native.Db().collection("c")
        c.insert("k", 1)
        results = []

        def run():
            for inner in (lambda: c.get("k"), lambda: len(c), lambda: c.insert("x", 1), lambda: c.scan(),
                          lambda: c.scan_each(print), lambda: c.update("k", None), c.close, lambda: c.name,
                          lambda: c.page()):
                def cb(k, d):
                    inner()
                    return True
                try:
                    c.scan_each(cb)
                except native.PallixError as e:
                    results.append((e.code, e.message))
            reprs = []
            c.scan_each(lambda k, d: reprs.append(repr(c)))  # repr never waits
            results.append(reprs)

        t = threading.Thread(target=run)
        t.start()
        t.join(60)
        assert not t.is_alive(), "re-entry hung"
        print(repr(results))
        print(c.get("k"), c.get("x"), c.name)
    """)
    lines = out.splitlines()
    busy = (12, "invalid argument: scan callback failed: PallixError: collection handle is busy: "
                "a callback must not call back into the handle it runs under")
    assert eval(lines[0]) == [busy] * 9 + [['pallix.Collection("c")']]
    assert lines[1] == "1 None c"


def test_threads_make_progress_while_a_scan_each_callback_runs():
    # Thread B calls into the same handle while thread A's walk holds it: B
    # waits with the interpreter lock released, so A's callbacks keep
    # running; B goes on once the walk ends. Thread C works on another
    # handle meanwhile.
    out = run_child("""
        import threading, time
        import pallix._native as native
        db = native.Db()
        c = db.collection("c")
        for i in range(5):
            c.insert(f"k{i}", i)
        b_started, c_done = threading.Event(), threading.Event()
        log = []

        def b():
            b_started.set()
            n = len(c)   # returns only once the walk is over
            log.append(("b", n, sum(1 for e in log if e[0] == "a")))

        def other():
            h = db.collection("c")
            h.insert("z", 0)
            log.append(("c", h.get("z")))
            c_done.set()

        tb, tc = threading.Thread(target=b), threading.Thread(target=other)

        def cb(k, d):
            if k == "k0":
                tb.start()
                tc.start()
                b_started.wait(30)
                c_done.wait(30)
            time.sleep(0.002)   # gives the waiting thread its chance to block
            log.append(("a", k))
            return True

        def a():
            log.append(("a-visited", c.scan_each(cb)))

        ta = threading.Thread(target=a)
        ta.start()
        for t in (ta, tb, tc):
            t.join(60)
            assert not t.is_alive(), "a thread hung"
        print(repr(log))
    """)
    log = eval(out)
    assert ("c", 0) in log
    walk = [e for e in log if e[0] == "a"]
    assert walk == [("a", f"k{i}") for i in range(5)]
    assert ("a-visited", 5) in log
    assert ("b", 6, 5) in log   # B saw C's write, and only after every callback of the walk


# ---------------------------------------------------------------- interpreter exit


EXIT_WHILE_BUSY = """
    import sys, threading, time
    import pallix._native as native

    db = native.Db.open(sys.argv[1])
    shared = db.collection("c")
    for i in range(20):
        shared.insert(f"k{i:02d}", {"n": i})
    walking = threading.Event()

    def slow(key, doc):
        walking.set()
        time.sleep(0.001)
        return True

    def bump(doc):
        return {"n": (doc or {"n": 0})["n"] + 1}

    def work(i):
        # Half share one handle (and wait for its lock), half have their own
        # (and wait for the writer).
        c = shared if i % 2 else db.collection("c")
        n = 0
        while True:
            n += 1
            if n % 3 == 0:
                c.scan_each(slow)
            elif n % 3 == 1:
                c.insert(f"t{i}-{n % 10}", {"i": i, "n": n})
            else:
                c.update(f"k{n % 20:02d}", bump)

    for i in range(6):
        threading.Thread(target=work, args=(i,), daemon=True).start()
    walking.wait(60)
    # The interpreter exits here with every thread inside a call.
"""


def test_interpreter_exit_while_daemon_threads_are_inside_calls(tmp_path):
    # Each thread is ended by the exiting interpreter where it next takes
    # the interpreter lock: inside a callback, a wait for the handle lock or
    # the writer, or after a commit. Its unwind must reach the thread's
    # start with nothing stopping it (else "FATAL: exception not rethrown"
    # and an abort) and nothing left held that the exit then waits for.
    runs = []
    for first in range(0, 20, 5):
        children = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(EXIT_WHILE_BUSY),
                                      str(tmp_path / f"exit{n}.db")],
                                     env=child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                    for n in range(first, first + 5)]
        for child in children:
            try:
                _, err = child.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                child.kill()
                _, err = child.communicate()
                pytest.fail(f"the exiting interpreter hung: {err}")
            runs.append((child.returncode, err))
    failed = [(code, err) for code, err in runs if code != 0 or "FATAL" in err or "Fatal Python error" in err]
    assert not failed, failed[0]
    assert len(runs) == 20
