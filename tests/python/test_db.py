"""Db: opening and closing, derived handles, engine lifetime and listing collections."""

import gc
import os
import shutil
import tempfile

import pytest

import pallix._native as native
from conftest import RawFile, run_child


def closed_error(call):
    with pytest.raises(native.PallixError) as info:
        call()
    assert info.value.code == 12
    return info.value.message


def test_constructor_and_open_memory_are_private_databases(path):
    a, b, c = native.Db(), native.Db(None), native.Db.open_memory()
    for d in (a, b, c):
        assert repr(d) == "pallix.Db(<open>)"
        assert d.collections() == []
    raw = RawFile(path)
    raw.put_doc("x", "k", 1)
    raw.close()
    f = native.Db(path=path)
    assert f.collections() == ["x"]
    assert a.collections() == []
    for d in (a, b, c, f):
        d.close()


def test_path_must_be_str(tmp_path):
    with pytest.raises(TypeError):
        native.Db(tmp_path / "x")
    with pytest.raises(TypeError):
        native.Db.open(tmp_path / "x")
    with pytest.raises(TypeError):
        native.Db.open()
    with pytest.raises(TypeError):
        native.Db(1)
    with pytest.raises(TypeError):
        native.Db.open_memory(1)


def test_open_creates_the_file_and_reopens(path):
    import os

    d = native.Db.open(path)
    assert os.path.exists(path)
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
    d.close()
    native.Db.open(path=path).close()


def test_open_touches_nothing_but_the_database_file(tmp_path):
    # A file of the user's that happens to carry LMDB's lock file name, and a
    # link by that name planted towards someone else's file.
    (tmp_path / "a.db-lock").write_bytes(b"the user's own file")
    (tmp_path / "victim").write_bytes(b"not to be overwritten")
    os.symlink(tmp_path / "victim", tmp_path / "b.db-lock")
    expected = ["a.db-lock", "b.db-lock", "victim"]
    for name in ("a.db", "b.db"):
        expected = sorted(expected + [name])
        d = native.Db.open(str(tmp_path / name))
        d.collection("c").insert("k", {"v": name})
        assert sorted(os.listdir(tmp_path)) == expected  # while open, too
        d.close()
        d = native.Db.open(str(tmp_path / name))
        assert d.collection("c").get("k") == {"v": name}
        d.close()
    assert (tmp_path / "a.db-lock").read_bytes() == b"the user's own file"
    assert (tmp_path / "victim").read_bytes() == b"not to be overwritten"
    assert sorted(os.listdir(tmp_path)) == expected


@pytest.fixture
def read_only_dir():
    """A directory holding one database file, which its user may write but the directory not.

    As root (who writes anywhere), both belong to the unprivileged user `nobody`, whose uid
    and gid come with it; otherwise to the current user, with (None, None).
    """
    base = tempfile.mkdtemp()
    ro = os.path.join(base, "ro")
    os.mkdir(ro)
    native.Db.open(os.path.join(ro, "test.db")).close()
    ids = (None, None)
    if os.geteuid() == 0:
        pwd = pytest.importorskip("pwd")
        try:
            nobody = pwd.getpwnam("nobody")
        except KeyError:
            pytest.skip("no unprivileged user to run as")
        ids = (nobody.pw_uid, nobody.pw_gid)
        os.chmod(base, 0o755)
        for p in (ro, os.path.join(ro, "test.db")):
            os.chown(p, *ids)
    os.chmod(ro, 0o555)
    yield ro, ids
    os.chmod(ro, 0o755)
    shutil.rmtree(base)


def test_writable_database_in_a_read_only_directory(read_only_dir):
    ro, (uid, gid) = read_only_dir
    out = run_child(f"""
        import os
        import pallix._native as native
        if {uid!r} is not None:
            os.setgroups([])
            os.setgid({gid!r})
            os.setuid({uid!r})
        path = os.path.join({ro!r}, "test.db")
        assert not os.access({ro!r}, os.W_OK)
        d = native.Db.open(path)
        d.collection("c").insert("k", {{"v": 1}})
        d.close()
        d = native.Db.open(path)
        print(d.collection("c").get("k"))
        d.close()
    """)
    assert out == "{'v': 1}\n"
    assert os.listdir(ro) == ["test.db"]


def test_close_is_idempotent(db):
    db.close()
    db.close()
    assert repr(db) == "pallix.Db(<closed>)"
    assert closed_error(db.collections) == "database handle is closed"
    assert closed_error(lambda: db.collection("a")) == "database handle is closed"
    assert db.__exit__(None, None, None) is None


def test_context_manager_closes_and_lets_exceptions_through():
    with pytest.raises(KeyError):
        with native.Db() as d:
            raise KeyError("x")
    assert repr(d) == "pallix.Db(<closed>)"
    with native.Db() as d:
        pass
    assert repr(d) == "pallix.Db(<closed>)"


def test_exit_takes_three_arguments(db):
    with pytest.raises(TypeError):
        db.__exit__()
    assert db.__exit__(1, "two", object()) is None
    assert repr(db) == "pallix.Db(<closed>)"


def test_derived_handles_outlive_the_db(path):
    raw = RawFile(path)
    raw.put_doc("a", "k", {"v": 1})
    raw.close()
    d = native.Db.open(path)
    c = d.collection("a")
    d.close()
    assert c.get("k") == {"v": 1}
    # The engine, and the file lock with it, lives as long as c.
    with pytest.raises(native.PallixError) as info:
        native.Db.open(path)
    assert info.value.message == "database: Database already open. Cannot acquire lock."
    q = c.query()
    c.close()
    with pytest.raises(native.PallixError):
        native.Db.open(path)
    q.close()
    native.Db.open(path).close()


def test_collected_handles_release_the_engine(path):
    d = native.Db.open(path)
    c = d.collection("a")
    q = c.query()
    del d
    gc.collect()
    with pytest.raises(native.PallixError):
        native.Db.open(path)
    del c, q
    gc.collect()
    native.Db.open(path).close()


def test_collection_names_are_not_checked_here(db):
    for name in ("", "__reserved", "a\0b", "a__b", "_"):
        c = db.collection(name)
        assert c.name == name
        assert c.get("k") is None
        assert len(c) == 0


def test_every_collection_call_gives_a_new_handle(db):
    a, b = db.collection("x"), db.collection("x")
    assert a is not b
    a.close()
    assert b.name == "x"


def test_collections_lists_user_collections_in_bytewise_order(path):
    raw = RawFile(path)
    for name in ("b", "a", "__scalar__a__f", "_", "é", "Z", "__"):
        raw.put_doc(name, "k", 1)
    raw.close()
    d = native.Db.open(path)
    # Handles alone record nothing.
    d.collection("never")
    assert d.collections() == ["Z", "_", "a", "b", "é"]
    d.close()


def test_collections_with_no_catalog(db):
    assert db.collections() == []


def test_repr_never_waits(db):
    assert repr(db) == "pallix.Db(<open>)"
