"""Shared fixtures: databases, and raw rows written straight into a closed file."""

import array
import os
import shutil
import resource
import struct
import subprocess
import sys
import tempfile
import threading
import textwrap

import pytest

import pallix._native as native


@pytest.fixture
def db():
    d = native.Db()
    yield d
    d.close()


@pytest.fixture(params=["file", "memory"])
def shared_db(request, tmp_path):
    """A database for threads with handles of their own: a file (on a RAM disk when there is one, so that
    commits cost no disk sync) or in memory. Threads switch often, so that their calls interleave."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    if request.param == "memory":
        d = native.Db.open_memory()
        where = None
    else:
        where = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else str(tmp_path))
        d = native.Db.open(os.path.join(where, "t.db"))
    yield d
    d.close()
    sys.setswitchinterval(interval)
    if where:
        shutil.rmtree(where, ignore_errors=True)


def run_threads(*targets):
    """Runs each target on a thread of its own, all released together, and waits for all of them."""
    start = threading.Barrier(len(targets))

    def run(target):
        start.wait()
        target()

    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread hung"


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "test.db")


def encode(value):
    """The stored document encoding of a Python value (the engine's byte format)."""
    if value is None:
        return b"\x00"
    if value is True or value is False:
        return b"\x01" + bytes([value])
    if isinstance(value, int):
        return b"\x02" + struct.pack("<q", value)
    if isinstance(value, float):
        return b"\x03" + struct.pack("<d", value)
    if isinstance(value, str):
        raw = value.encode()
        return b"\x04" + struct.pack("<I", len(raw)) + raw
    if isinstance(value, (bytes, bytearray)):
        return b"\x05" + struct.pack("<I", len(value)) + bytes(value)
    if isinstance(value, array.array):
        return b"\x08" + struct.pack("<I", len(value)) + value.tobytes()
    if isinstance(value, (list, tuple)):
        return b"\x06" + struct.pack("<I", len(value)) + b"".join(encode(v) for v in value)
    if isinstance(value, dict):
        items = sorted((k.encode(), v) for k, v in value.items())
        body = b"".join(struct.pack("<I", len(k)) + k + encode(v) for k, v in items)
        return b"\x07" + struct.pack("<I", len(items)) + body
    raise TypeError(type(value))


class RawFile:
    """Writes rows into a database file that no Db holds open, as the engine lays them out."""

    def __init__(self, path):
        lmdb = pytest.importorskip("lmdb")
        native.Db.open(path).close()  # create the file and its tables
        self.env = lmdb.open(path, subdir=False, max_dbs=4, lock=False, map_size=1 << 30)
        self.records = self.env.open_db(b"records")
        self.catalog = self.env.open_db(b"catalog")
        self.meta = self.env.open_db(b"meta")

    def _u64(self, txn, db, key):
        raw = txn.get(key, db=db)
        return struct.unpack("<Q", raw)[0] if raw is not None else None

    def put(self, collection, key, stored):
        """Puts one row (raw stored bytes) and keeps catalog and row count right."""
        if isinstance(key, str):
            key = key.encode()
        with self.env.begin(write=True) as txn:
            cid = self._u64(txn, self.catalog, b"\x00" + collection.encode())
            if cid is None:
                cid = self._u64(txn, self.meta, b"next_collection_id") or 0
                txn.put(b"next_collection_id", struct.pack("<Q", cid + 1), db=self.meta)
                txn.put(b"\x00" + collection.encode(), struct.pack("<Q", cid), db=self.catalog)
            row_key = struct.pack(">Q", cid) + key
            new = txn.get(row_key, db=self.records) is None
            txn.put(row_key, stored, db=self.records)
            count_key = b"cnt:" + collection.encode()
            count = self._u64(txn, self.meta, count_key) or 0
            txn.put(count_key, struct.pack("<Q", count + 1 if new else count), db=self.meta)

    def put_doc(self, collection, key, value):
        self.put(collection, key, encode(value))

    def rows(self, collection):
        """Every (row key, stored bytes) of `collection`, in key order, as bytes."""
        with self.env.begin() as txn:
            cid = self._u64(txn, self.catalog, b"\x00" + collection.encode())
            if cid is None:
                return []
            prefix = struct.pack(">Q", cid)
            cursor = txn.cursor(db=self.records)
            out = []
            if cursor.set_range(prefix):
                for key, value in cursor:
                    if not key.startswith(prefix):
                        break
                    out.append((key[8:], value))
            return out

    def put_meta(self, name, raw):
        with self.env.begin(write=True) as txn:
            txn.put(name.encode(), raw, db=self.meta)

    def close(self):
        self.env.close()


@pytest.fixture
def raw(path):
    """A RawFile over `path`; close it before opening the Db."""
    r = RawFile(path)
    yield r
    r.env.close()


def seeded(path, collection, docs):
    """A Db over a file whose `collection` holds `docs` (key -> value)."""
    r = RawFile(path)
    for key, value in docs.items():
        r.put_doc(collection, key, value)
    r.close()
    return native.Db.open(path)


def pallix_error(call, code=12):
    """Runs call(), which must raise PallixError with `code`; returns its message."""
    with pytest.raises(native.PallixError) as info:
        call()
    assert info.value.code == code
    assert str(info.value) == info.value.message
    return info.value.message


def child_env():
    """The environment of a child interpreter that imports this same pallix."""
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(native.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package_root, env.get("PYTHONPATH", "")])
    return env


def run_child(source, timeout=120):
    """Runs `source` in a child interpreter and returns its stdout.

    For the cases that would hang the whole interpreter if they went wrong
    (a wait on a handle lock with the interpreter lock held): a hang fails
    this one test after `timeout` seconds instead of stopping the suite.
    """
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=child_env(), capture_output=True,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"child did not finish within {timeout}s (hang): {e.stderr}")
    assert done.returncode == 0, done.stderr
    return done.stdout


def bulk_seed(path, collection, docs):
    """Writes docs (key -> value) as raw rows of a fresh database file in one transaction."""
    r = RawFile(path)
    with r.env.begin(write=True) as txn:
        cid_raw = txn.get(b"next_collection_id", db=r.meta)
        cid = struct.unpack("<Q", cid_raw)[0] if cid_raw else 0
        txn.put(b"next_collection_id", struct.pack("<Q", cid + 1), db=r.meta)
        txn.put(b"\x00" + collection.encode(), struct.pack("<Q", cid), db=r.catalog)
        for key, value in docs.items():
            txn.put(struct.pack(">Q", cid) + key.encode(), encode(value), db=r.records)
        txn.put(b"cnt:" + collection.encode(), struct.pack("<Q", len(docs)), db=r.meta)
    r.close()


def stored(path, *collections):
    """Every row of the named collections (raw bytes) and their counts, read from a closed file."""
    r = RawFile(path)
    with r.env.begin() as txn:
        counts = [txn.get(b"cnt:" + c.encode(), db=r.meta) for c in collections]
    out = ([r.rows(c) for c in collections], counts)
    r.close()
    return out


CRASH_CHILD = """
    import pallix._native as native
    db = native.Db.open({path!r})
    c = db.collection("c")
    {declare}
    print("finished")
"""


def crash_child(path, declare, pages):
    env = child_env()
    env["PALLIX_TEST_ABORT_AFTER_PAGES"] = str(pages)
    source = textwrap.dedent(CRASH_CHILD.format(path=path, declare=declare))
    no_core = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # noqa: E731
    return subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, timeout=300,
                          preexec_fn=no_core)
