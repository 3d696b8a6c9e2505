"""Damaged database files: truncated, zeroed or scribbled-on files fail with PallixError, never kill the process."""

# Each damaged copy is opened, read and written in a child interpreter, so
# that a crash (a signal, an abort) fails one case instead of the test run.
# Run as a script (`python3 tests/python/test_damaged_file.py --report`) it
# prints, per kind of damage, how the children ended.

import argparse
import concurrent.futures
import json
import mmap
import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap

import pytest

import pallix._native
from pallix._native import Db
from conftest import child_env

PAGE = mmap.PAGESIZE  # LMDB creates its files with the OS page size (4096 here)
RANDOM_CASES = 40
RANDOM_SEED = 20240611
CHILD_TIMEOUT = 120  # a safety net against a hang, never reached by a healthy case

# Opens the damaged file, reads everything it knows about, writes, closes.
# Every call may fail with PallixError; the rest still runs, so that the
# paths after a failed read are exercised too. Prints "ok" when nothing
# failed, "error" otherwise; any other ending is a crash.
CHILD = textwrap.dedent("""
    import json, resource, sys
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    from pallix._native import Db, PallixError

    path, known_path = sys.argv[1:3]
    with open(known_path) as f:
        known = json.load(f)
    failed = []

    def attempt(fn, *args):
        try:
            return fn(*args)
        except PallixError as e:
            failed.append(e.code)
            return None

    db = attempt(Db.open, path)
    if db is not None:
        attempt(db.collections)
        for name, keys in known["keys"].items():
            c = attempt(db.collection, name)
            if c is None:
                continue
            for key in keys:
                attempt(c.get, key)
                attempt(c.get_ttl, key)
            for node in known["nodes"].get(name, []):
                attempt(c.neighbors, node, "r")
                attempt(c.in_neighbors, node, "r")
            attempt(c.scan)
            # A ranked walk of the whole collection (parts on several threads).
            attempt(lambda: c.query().text("s", "x", 5).run())
            attempt(len, c)
            attempt(c.page, None, 10)
            attempt(c.insert, "written after damage", {"n": 1})
            attempt(c.insert_auto, [1, 2])
            attempt(c.link, keys[0], "r", "written after damage")
            for key in keys[::3]:
                attempt(c.delete, key)
            attempt(c.purge_expired, 10**6)
            attempt(c.close)
        attempt(db.close)
    print("error" if failed else "ok")
""")


def build_database(path):
    """A small database using every storage feature; returns the keys each collection holds."""
    db = Db.open(path)
    keys = {"": [], "docs": [], "graph": []}
    nodes = {"graph": []}
    docs = db.collection("docs")
    for i in range(600):
        docs.insert(f"k{i:04d}", {"i": i, "s": "x" * (i % 60)})
        keys["docs"].append(f"k{i:04d}")
    # Long keys (stored as 495 bytes + digest), some sharing their first 495 bytes.
    for i in range(8):
        key = ("L" * 500 if i % 2 else f"{i}" * 520) + str(i) * (100 + i)
        docs.insert(key, {"long": i})
        keys["docs"].append(key)
    docs.insert("big", "b" * 50_000)  # overflow pages
    keys["docs"].append("big")
    for i in range(30):
        docs.insert_with_ttl(f"t{i:02d}", i, 1000 + i)
        keys["docs"].append(f"t{i:02d}")
    keys["docs"] += [docs.insert_auto({"auto": i}) for i in range(20)]
    for i in range(0, 600, 7):
        docs.delete(f"k{i:04d}")
    empty_name = db.collection("")
    for i in range(80):
        empty_name.insert(f"e{i}", [i, "v" * i])
        keys[""].append(f"e{i}")
    graph = db.collection("graph")
    for i in range(60):
        graph.insert(f"n{i}", i)
        graph.link(f"n{i}", "r", f"n{(i * 7) % 60}")
        keys["graph"].append(f"n{i}")
        nodes["graph"].append(f"n{i}")
    graph.unlink("n3", "r", "n21")
    for c in (docs, empty_name, graph):
        c.close()
    db.close()
    return {"keys": keys, "nodes": nodes}


def truncations(data):
    """The file cut at every page boundary below its size."""
    for n in range(len(data) // PAGE):
        yield f"truncated to {n} pages", data[: n * PAGE]


def zeroed_pages(data):
    """Each page in turn overwritten with zeros."""
    for n in range(len(data) // PAGE):
        damaged = bytearray(data)
        damaged[n * PAGE:(n + 1) * PAGE] = bytes(PAGE)
        yield f"page {n} zeroed", bytes(damaged)


def random_damage(data, count=RANDOM_CASES, seed=RANDOM_SEED):
    """Runs of 1 to 8 random bytes written over a random page.

    Half of the runs land in the first 256 bytes of the page, where the page
    header and the node offsets are: damage in the middle of a value only
    changes a document, which no file format without checksums can notice.
    """
    rng = random.Random(seed)
    pages = len(data) // PAGE
    for i in range(count):
        page = rng.randrange(pages)
        offset = rng.randrange(256) if rng.random() < 0.5 else rng.randrange(PAGE)
        run = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        start = page * PAGE + offset
        damaged = bytearray(data)
        damaged[start:start + len(run)] = run
        yield f"random #{i}: page {page} offset {offset} = {run.hex()}", bytes(damaged[:len(data)])


def run_case(directory, known_path, index, name, data):
    """Writes one damaged copy, runs the child on it; returns (name, outcome, detail)."""
    path = os.path.join(directory, f"case{index}.db")
    with open(path, "wb") as f:
        f.write(data)
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, path, known_path], env=child_env(),
                              capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return name, "hang", ""
    finally:
        os.remove(path)
    if done.returncode == 0 and done.stdout.strip() in ("ok", "error"):
        return name, done.stdout.strip(), ""
    lines = done.stderr.strip().splitlines()
    detail = lines[-1] if lines else ""  # an assertion's or an uncaught exception's text
    if done.returncode < 0:
        try:
            return name, signal.Signals(-done.returncode).name, detail
        except ValueError:
            return name, f"signal {-done.returncode}", detail
    return name, f"exit {done.returncode}", detail


class Sweep:
    """A pristine database file and a pool of workers running children over damaged copies of it."""

    def __init__(self, directory):
        self.directory = directory
        db_path = os.path.join(directory, "pristine.db")
        known = build_database(db_path)
        with open(db_path, "rb") as f:
            self.data = f.read()
        self.known_path = os.path.join(directory, "known.json")
        with open(self.known_path, "w") as f:
            json.dump(known, f)
        self.pool = concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1)
        self.next_index = 0

    def run(self, cases):
        """Outcomes of every (name, bytes) case, in order."""
        futures = []
        for name, data in cases:
            futures.append(self.pool.submit(run_case, self.directory, self.known_path, self.next_index, name, data))
            self.next_index += 1
        return [f.result() for f in futures]

    def close(self):
        self.pool.shutdown()


def crashes(outcomes):
    return [(name, outcome, detail) for name, outcome, detail in outcomes if outcome not in ("ok", "error")]


def summary(kind, outcomes):
    """One line per kind of damage: how many children ended which way."""
    counts = {}
    for _, outcome, _ in outcomes:
        counts[outcome] = counts.get(outcome, 0) + 1
    ok, error = counts.pop("ok", 0), counts.pop("error", 0)
    by_signal = "  ".join(f"{name} {counts.pop(name, 0):>3}" for name in ("SIGBUS", "SIGABRT", "SIGSEGV"))
    other = ", ".join(f"{k} {v}" for k, v in sorted(counts.items())) or "none"
    return (f"{kind:<14} cases {len(outcomes):>4}  ok {ok:>4}  PallixError {error:>4}  crashes: {by_signal}"
            f"  other: {other}")


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    s = Sweep(str(tmp_path_factory.mktemp("damaged")))
    yield s
    s.close()


def test_the_pristine_file_reads_and_writes_cleanly(sweep):
    assert sweep.run([("pristine", sweep.data)]) == [("pristine", "ok", "")]


def test_truncated_files(sweep):
    outcomes = sweep.run(truncations(sweep.data))
    print(summary("truncated", outcomes))
    assert crashes(outcomes) == []


def test_zeroed_pages(sweep):
    outcomes = sweep.run(zeroed_pages(sweep.data))
    print(summary("zeroed page", outcomes))
    assert crashes(outcomes) == []


def test_random_damage(sweep):
    outcomes = sweep.run(random_damage(sweep.data))
    print(summary("random damage", outcomes))
    assert crashes(outcomes) == []


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--report", action="store_true", required=True,
                        help="print, per kind of damage, how the children ended")
    parser.add_argument("--random", type=int, default=RANDOM_CASES, help="number of random damage cases")
    parser.add_argument("--seed", type=int, default=RANDOM_SEED)
    parser.add_argument("-v", "--verbose", action="store_true", help="also list every crashing case")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        s = Sweep(directory)
        print(f"module: {pallix._native.__file__}")
        print(f"database: {len(s.data) // PAGE} pages of {PAGE} bytes")
        kinds = [("truncated", truncations(s.data)), ("zeroed page", zeroed_pages(s.data)),
                 ("random damage", random_damage(s.data, args.random, args.seed))]
        for kind, cases in kinds:
            outcomes = s.run(cases)
            print(summary(kind, outcomes))
            if args.verbose:
                for name, outcome, detail in crashes(outcomes):
                    print(f"    {name}: {outcome} {detail}")
        s.close()


if __name__ == "__main__":
    main()
