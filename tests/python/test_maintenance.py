"""Db.backup and Db.compact: copies into new files, shrinking, the lock and the BUSY refusals."""

import os
import threading

import pytest

import pallix._native as native
from conftest import run_child


def error_of(call):
    with pytest.raises(native.PallixError) as info:
        call()
    return info.value


def test_backup_is_a_whole_database(tmp_path):
    db = native.Db()
    c = db.collection("c")
    for i in range(50):
        c.insert(f"k{i}", {"n": i})
    c.create_scalar_index("n")
    c.set_ttl("k1", 9)
    c.link("k1", "r", "k2")
    target = str(tmp_path / "b.db")
    db.backup(target)
    assert os.listdir(tmp_path) == ["b.db"]
    copy = native.Db.open(target)
    cc = copy.collection("c")
    assert dict(cc.scan()) == dict(c.scan())
    assert cc.get_ttl("k1") == 9
    assert cc.neighbors("k1", "r") == ["k2"]


def test_backup_refuses_existing_targets_and_touches_nothing(tmp_path):
    db = native.Db()
    db.collection("c").insert("k", 1)
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    e = error_of(lambda: db.backup(str(empty)))
    assert (e.code, e.message) == (17, f"backup target already exists: {empty}")
    assert empty.read_bytes() == b""
    assert error_of(lambda: db.backup(str(tmp_path / "no" / "x"))).code == 1
    e = error_of(lambda: db.backup("a\0b"))
    assert (e.code, e.message) == (1, "database: I/O error: file name contained an unexpected NUL byte")
    db.close()
    assert error_of(lambda: db.backup(str(tmp_path / "x"))).code == 12


def test_backup_while_other_handles_write(tmp_path):
    db = native.Db.open(str(tmp_path / "a.db"))
    c = db.collection("c")
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            c.insert(f"w{i}", i)
            i += 1

    t = threading.Thread(target=writer)
    t.start()
    try:
        for n in range(3):
            db.backup(str(tmp_path / f"b{n}.db"))
    finally:
        stop.set()
        t.join()
    for n in range(3):
        copy = native.Db.open(str(tmp_path / f"b{n}.db")).collection("c")
        rows = dict(copy.scan())
        assert len(copy) == len(rows)
        assert rows == {f"w{i}": i for i in range(len(rows))}


def test_compaction_shrinks_and_keeps_everything(tmp_path):
    path = str(tmp_path / "a.db")
    db = native.Db.open(path)
    c = db.collection("c")
    c.create_scalar_index("n")
    c.create_geo_index("p")
    for i in range(150):
        c.insert(f"k{i}", {"n": i, "p": [1.0, 2.0], "pad": "x" * 8000})
    for i in range(150):
        if i % 5:
            c.delete(f"k{i}")
    c.close()
    before = os.path.getsize(path)
    assert db.compact() is True
    assert os.path.getsize(path) < before
    assert os.listdir(tmp_path) == ["a.db"]
    e = error_of(lambda: native.Db.open(path))
    assert e.code == 1 and "Cannot acquire lock" in e.message
    c = db.collection("c")
    assert len(c) == 30
    assert len(c.geo_within_radius("p", 1.0, 2.0, 1.0)) == 30
    c.insert("after", {"n": 1})
    c.close()
    assert db.compact() in (True, False)
    db.close()
    assert len(native.Db.open(path).collection("c")) == 31


def test_compaction_refuses_while_handles_live():
    db = native.Db()
    c = db.collection("c")
    e = error_of(db.compact)
    assert (e.code, e.message) == (19, "compact: derived handles are still open")
    q = c.query()
    c.close()
    assert error_of(db.compact).code == 19
    q.close()
    assert db.compact() is False
    db.close()
    assert error_of(db.compact).code == 12


def test_second_opener_fails_during_compaction(tmp_path):
    path = str(tmp_path / "a.db")
    out = run_child(f"""
        import threading, pallix._native as native
        db = native.Db.open({path!r})
        c = db.collection("c")
        for i in range(300):
            c.insert(str(i), "x" * 8000)
        for i in range(0, 300, 2):
            c.delete(str(i))
        c.close()
        refused, done = [], threading.Event()
        def opener():
            while not done.is_set():
                try:
                    native.Db.open({path!r}).close()
                    refused.append(False)
                except native.PallixError:
                    refused.append(True)
        t = threading.Thread(target=opener)
        t.start()
        print(db.compact())
        done.set()
        t.join()
        print(all(refused))
    """)
    assert out.split() == ["True", "True"]


def test_compaction_copy_failure_is_a_compaction_error(tmp_path):
    # The copy is written under a file size limit it cannot fit in: the
    # failure comes from the copy's writes, as on a full disk.
    path = str(tmp_path / "a.db")
    out = run_child(f"""
        import os, resource, signal, pallix._native as native
        db = native.Db.open({path!r})
        c = db.collection("c")
        for i in range(300):
            c.insert(str(i), "x" * 8000)
        for i in range(0, 300, 3):
            c.delete(str(i))
        c.close()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (512 * 1024, resource.RLIM_INFINITY))
        try:
            db.compact()
            print("compacted")
        except native.PallixError as e:
            print(e.code, e.message)
        print(sorted(os.listdir({str(tmp_path)!r})))
        print(len(db.collection("c")))
    """)
    failure, listing, count = out.splitlines()
    assert failure.startswith("7 compaction: "), failure
    assert listing == "['a.db']"
    assert count == "200"


def test_user_files_named_like_copies_survive(tmp_path):
    # Files of the user's beside a database are never the engine's to
    # remove, whatever their names look like.
    theirs = ["app.db.backup-240101", "app.db.backup-240102", "app.db.backup-240103",
              "app.db.compact-before", "app.db.compact-Ab12Cd", "app.db-lock"]
    for name in theirs:
        (tmp_path / name).write_text("kept " + name)
    app = str(tmp_path / "app.db")
    src = native.Db()
    src.collection("c").insert("k", 1)
    src.backup(app)
    assert error_of(lambda: src.backup(app)).code == 17
    db = native.Db.open(app)
    c = db.collection("c")
    for i in range(200):
        c.insert(f"p{i}", "x" * 8000)
    for i in range(200):
        c.delete(f"p{i}")
    c.close()
    assert db.compact() is True
    db.close()
    assert sorted(os.listdir(tmp_path)) == sorted(theirs + ["app.db"])
    for name in theirs:
        assert (tmp_path / name).read_text() == "kept " + name


def test_backup_names_at_the_limit_and_link_loops(tmp_path):
    db = native.Db()
    db.collection("c").insert("k", 1)
    longest = str(tmp_path / ("n" * 252 + ".db"))
    db.backup(longest)
    copy = native.Db.open(longest)
    assert copy.collection("c").get("k") == 1
    assert copy.compact() in (True, False)
    copy.close()
    e = error_of(lambda: db.backup(longest + "x"))
    assert (e.code, e.message) == (1, "database: I/O error: File name too long (os error 36)")
    os.symlink("loop-b", tmp_path / "loop-a")
    os.symlink("loop-a", tmp_path / "loop-b")
    e = error_of(lambda: db.backup(str(tmp_path / "loop-a")))
    assert (e.code, e.message) == (1, "database: I/O error: Too many levels of symbolic links (os error 40)")
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(longest), "loop-a", "loop-b"])


def test_open_removes_what_a_killed_compaction_left_and_nothing_else(tmp_path):
    # A compaction killed between naming its copy and renaming it over the
    # database leaves a database file under one of that database's staging
    # names. The next open (through a link too: the name is the database
    # file's own) removes it; a file of the user's under such a name and
    # another database's copy stay.
    src = native.Db()
    src.collection("c").insert("k", 1)
    stale = ".a.db.pallix-compact-0123456789abcdef"
    theirs = ".a.db.pallix-compact-fedcba9876543210"
    other = ".b.db.pallix-compact-0123456789abcdef"
    src.backup(str(tmp_path / stale))
    src.backup(str(tmp_path / other))
    (tmp_path / theirs).write_text("kept")
    os.symlink("a.db", tmp_path / "link.db")
    db = native.Db.open(str(tmp_path / "link.db"))
    assert sorted(os.listdir(tmp_path)) == sorted([theirs, other, "a.db", "link.db"])
    db.close()
    assert (tmp_path / theirs).read_text() == "kept"
    assert native.Db.open(str(tmp_path / other)).collection("c").get("k") == 1
