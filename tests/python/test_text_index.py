"""Text indexes and phrase_search: declarations, memory, disk and scan agreement on real text, crash resume, damage."""

import glob
import gzip
import html.parser
import random
import re
import shutil

import pytest

import pallix._native as native
from conftest import RawFile, bulk_seed, crash_child, pallix_error, run_child, stored


def three_ways(db, docs):
    """Collections mem, disk and scan holding docs, with an in-memory, an on-disk and no text index."""
    cs = {name: db.collection(name) for name in ("mem", "disk", "scan")}
    for c in cs.values():
        for key, doc in docs.items():
            c.insert(key, doc)
    cs["mem"].create_text_index("body")
    cs["disk"].create_text_index_ondisk("body")
    return cs


def answers(cs, phrase, k):
    """The (key, score) lists of the three collections; scores are float32 values, compared exactly."""
    return {name: [(r.key, r.score) for r in c.phrase_search("body", phrase, k)] for name, c in cs.items()}


def assert_same(cs, phrases, k=10):
    found = 0
    for phrase in phrases:
        got = answers(cs, phrase, k)
        assert got["mem"] == got["scan"], phrase
        assert got["disk"] == got["scan"], phrase
        found += bool(got["scan"])
    assert found >= len(phrases) // 2  # the phrases are mostly taken from the documents


def test_phrase_search_rules(db):
    c = db.collection("c")
    c.create_text_index("body")
    c.insert("d1", {"body": "the quick brown fox"})
    c.insert("d2", {"body": "brown quick fox"})
    c.insert("d3", {"body": "quick red brown"})
    c.insert("d4", {"body": 5})
    assert [r.key for r in c.phrase_search("body", "Quick Brown", 10)] == ["d1"]
    assert [r.key for r in c.phrase_search("body", "The Quick", 10)] == ["d1", "d2", "d3"]
    assert c.phrase_search("body", "the of", 10) == []
    assert c.phrase_search("body", "quick", 0) == []
    assert c.phrase_search("nothing", "quick", 5) == []  # no index: the scan finds nothing either
    row = c.phrase_search("body", "fox", 1)[0]
    assert (row.key, row.document) == ("d1", {"body": "the quick brown fox"}) and row.score > 0
    with pytest.raises(OverflowError):
        c.phrase_search("body", "fox", -1)
    with pytest.raises(TypeError):
        c.phrase_search("body", b"fox", 1)


def test_declarations_and_their_checks(path):
    with native.Db.open(path) as db, db.collection("c") as c:
        c.insert("a", {"body": "red fox"})
        c.create_text_index("body")
        c.create_text_index_ondisk("title")
        pallix_error(lambda: c.create_text_index("a__b"), 11)
        pallix_error(lambda: db.collection("__x").create_text_index_ondisk("body"), 10)
        c.close()
        pallix_error(lambda: c.create_text_index("body"), 12)
    raw = RawFile(path)
    registry = dict(raw.rows("__text_indexes__"))
    raw.close()
    assert registry == {b"c\x00body": b"\xff\x00\x00", b"c\x00title": b"\xff\x00\x01"}
    with native.Db.open(path) as db, db.collection("c") as c:  # declarations survive reopening
        c.insert("b", {"body": "a red fox", "title": "red fox"})
        assert [r.key for r in c.phrase_search("body", "red fox", 5)] == ["a", "b"]
        assert [r.key for r in c.phrase_search("title", "red fox", 5)] == ["b"]


def paragraphs_from_python_docs(limit):
    """Paragraphs of the Python documentation (Debian's python3-doc), or skip."""
    files = sorted(glob.glob("/usr/share/doc/python3-doc/html/library/*.html"))
    if not files:
        pytest.skip("python3-doc is not installed")

    class Paragraphs(html.parser.HTMLParser):
        def __init__(self):
            super().__init__()
            self.depth, self.text, self.out = 0, [], []

        def handle_starttag(self, tag, attrs):
            if tag == "p":
                self.depth, self.text = 1, []

        def handle_endtag(self, tag):
            if tag == "p" and self.depth:
                self.depth = 0
                text = " ".join("".join(self.text).split())
                if len(text) > 40:
                    self.out.append(text)

        def handle_data(self, data):
            if self.depth:
                self.text.append(data)

    out = []
    for name in files:
        parser = Paragraphs()
        with open(name, encoding="utf-8", errors="replace") as f:
            parser.feed(f.read())
        out.extend(parser.out)
        if len(out) >= limit:
            break
    return out[:limit]


def phrases_from(texts, rng, count, split):
    """Runs of 1 to 4 consecutive pieces of random texts, and a few random pairs of pieces."""
    phrases = []
    for _ in range(count):
        pieces = split(rng.choice(texts))
        if not pieces:
            continue
        n = rng.randint(1, 4)
        start = rng.randrange(max(1, len(pieces) - n + 1))
        phrases.append(" ".join(pieces[start:start + n]) if split is str.split else "".join(pieces[start:start + n]))
    words = [w for t in texts[:50] for w in split(t)]
    phrases += [rng.choice(words) + " " + rng.choice(words) for _ in range(count // 5)]
    return phrases


def test_real_english_text_gives_the_same_answers_three_ways(db):
    texts = paragraphs_from_python_docs(2500)
    cs = three_ways(db, {f"p{i:05d}": {"body": t} for i, t in enumerate(texts)})
    rng = random.Random(5)
    assert_same(cs, phrases_from(texts, rng, 150, str.split) + ["the", "of the", "The Python Software Foundation"])
    # The indexes stay in step with writes: replace, remove, add.
    for c in cs.values():
        c.insert("p00001", {"body": texts[7]})
        c.delete("p00002")
        c.insert("zz", {"body": texts[3] + " " + texts[3]})
        c.insert("p00010", {"body": 10})
    assert_same(cs, phrases_from(texts[:20], rng, 40, str.split))


def cjk_lines(globs, limit):
    """Lines of CJK text from installed manual pages, roff requests stripped, or skip."""
    files = sorted(f for g in globs for f in glob.glob(g))
    if not files:
        pytest.skip("no CJK manual pages installed (manpages-ja, manpages-zh)")
    cjk = re.compile(r"[\u3040-\u30ff\u3400-\u9fff]")
    out = []
    for name in files:
        try:
            with gzip.open(name, "rt", encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError):
            continue
        for line in text.splitlines():
            if line.startswith((".", "'")):
                continue
            line = re.sub(r"\\f[BIRP]|\\-|\\\(..|\\", "", line).strip()
            if len(cjk.findall(line)) >= 4:
                out.append(line)
        if len(out) >= limit:
            break
    return out[:limit]


@pytest.mark.parametrize("lang", ["ja", "zh"])
def test_real_cjk_text_gives_the_same_answers_three_ways(db, lang):
    globs = {"ja": ["/usr/share/man/ja/man*/*.gz"], "zh": ["/usr/share/man/zh_CN/man*/*.gz",
                                                         "/usr/share/man/zh_TW/man*/*.gz"]}[lang]
    texts = cjk_lines(globs, 3000)
    if len(texts) < 100:
        pytest.skip("too little CJK text installed")
    cs = three_ways(db, {f"l{i:05d}": {"body": t} for i, t in enumerate(texts)})
    rng = random.Random(9)
    # Substrings of one to four characters: a single character is one token,
    # longer runs become overlapping bigrams, so these cover both rules.
    assert_same(cs, phrases_from(texts, rng, 150, list))
    c = cs["mem"]
    two = next(t for t in texts if re.search(r"[\u4e00-\u9fff]{3}", t))
    run = re.search(r"[\u4e00-\u9fff]{3}", two).group(0)
    hits = {r.key for r in c.phrase_search("body", run, 5000)}
    assert hits and all(run[:2] in c.get(k)["body"] for k in hits)


SENTENCE = "quick brown fox jumps over the lazy dog"  # seven tokens: "the" is a stop word


def long_phrase_docs():
    """60 short texts, each holding SENTENCE among random words, and two documents of SENTENCE 1,200 times."""
    rng = random.Random(18)
    vocab = [f"w{n}x" for n in range(300)] + ["the", "of", "fox", "foxes"]
    docs = {}
    for i in range(60):
        words = [rng.choice(vocab) for _ in range(rng.randint(8, 40))]
        at = rng.randint(0, len(words))
        docs[f"d{i:02d}"] = {"body": " ".join(words[:at] + [SENTENCE] + words[at:])}
    docs["long-a"] = docs["long-b"] = {"body": " ".join([SENTENCE] * 1200)}
    return docs


def repeated(words, count):
    return " ".join((words * (count // len(words) + 1))[:count])


def test_long_phrases_give_the_same_answers_three_ways(db):
    cs = three_ways(db, long_phrase_docs())
    sentence = SENTENCE.split()
    megabyte = (SENTENCE + " ") * (1_000_000 // (len(SENTENCE) + 1))
    vocab_rng = random.Random(7)
    cases = {
        # 8,000 words, 7,000 tokens: only the two long documents hold them.
        repeated(sentence, 8000): ["long-a", "long-b"],
        repeated(sentence, 8000) + " nowhere": [],               # a word no document holds
        "The THE " + repeated(sentence, 8000) + " of the": ["long-a", "long-b"],  # stop words drop out
        repeated(["fox", "fox", "dog"], 8000): [],                # repeated words, out of order
        " ".join(vocab_rng.choice(sentence + ["w1x", "w2x"]) for _ in range(8000)): [],
        megabyte: [],                                             # about 143,000 tokens: longer than any text
        repeated(sentence, 20): ["long-a", "long-b"],
        SENTENCE: None,                                           # every document; the long ones rank apart
    }
    for phrase, keys in cases.items():
        for k in (1, 10):
            got = answers(cs, phrase, k)
            assert got["mem"] == got["scan"], phrase[:60]
            assert got["disk"] == got["scan"], phrase[:60]
            if keys is not None:
                assert [key for key, _ in got["mem"]] == keys[:k], phrase[:60]
    assert len(answers(cs, SENTENCE, 100)["mem"]) == 62


def test_other_threads_run_while_a_long_phrase_is_searched():
    # With a switch interval of many minutes the interpreter lock changes
    # hands only when its holder gives it up. The spinning thread gives it
    # up between its turns; the searching thread, only inside phrase_search
    # if at all. So the spinner can find the "inside" flag set only when the
    # search runs without the lock: kept throughout, the count stays 0.
    # Each search (a megabyte over an in-memory index) leaves the spinner
    # ample time to get its turn; a few tries rule out a late wake-up. The
    # child's time limit turns a search that takes minutes into a failure.
    out = run_child("""
        import sys, threading, time
        import pallix._native as native
        db = native.Db()
        c = db.collection("c")
        for i in range(60):
            c.insert(f"d{i:02d}", {"body": f"quick brown fox jumps over lazy dog number {i}"})
        c.create_text_index("body")
        phrase = "quick brown fox jumps over lazy dog " * 30000
        state = {"inside": False, "turns": 0, "stop": False}

        def spin():
            while not state["stop"]:
                if state["inside"]:
                    state["turns"] += 1
                time.sleep(0.001)

        sys.setswitchinterval(1000)
        t = threading.Thread(target=spin)
        t.start()
        tries = 0
        while state["turns"] == 0 and tries < 20:
            tries += 1
            state["inside"] = True
            hits = c.phrase_search("body", phrase, 10)
            state["inside"] = False
            assert hits == []
        state["stop"] = True
        t.join(60)
        print(state["turns"] > 0, c.phrase_search("body", "lazy dog number 7", 10)[0].key)
    """)
    assert out.split() == ["True", "d07"]


def test_a_crashed_on_disk_text_build_resumes_to_the_same_rows(tmp_path):
    words = ["red", "fox", "quick", "brown", "dog", "lazy", "jumps", "over", "cat", "東京大学"]
    docs = {f"k{i:06d}": {"body": " ".join(words[(i * j) % len(words)] for j in range(1, 2 + i % 7))}
            for i in range(9000)}
    docs["k000005"] = {"body": 5}
    seed = str(tmp_path / "seed.db")
    bulk_seed(seed, "c", docs)
    declare = 'c.create_text_index_ondisk("body")'
    reference = str(tmp_path / "reference.db")
    shutil.copy(seed, reference)
    done = crash_child(reference, declare, "off")
    assert done.returncode == 0 and "finished" in done.stdout, done.stderr
    want = stored(reference, "__dfts__c__body", "__text_indexes__")
    assert want[0][1] == [(b"c\x00body", b"\xff\x00\x01")]
    for pages in (1, 3):
        crashed = str(tmp_path / f"crashed{pages}.db")
        shutil.copy(seed, crashed)
        died = crash_child(crashed, declare, pages)
        assert died.returncode != 0 and "finished" not in died.stdout
        (_, registry), _ = stored(crashed, "__dfts__c__body", "__text_indexes__")
        assert registry[0][1][:2] == b"\xff\x01"  # the cursor of the last committed batch
        with native.Db.open(crashed) as db, db.collection("c") as c:
            c.insert("k000001", {"body": "red fox red"})  # kept up while the build is unfinished
            c.insert("k000001", docs["k000001"])
            assert c.phrase_search("body", "red", 3)  # resumes the build first
        assert stored(crashed, "__dfts__c__body", "__text_indexes__") == want


def test_damaged_rows_give_one_error_or_a_skipped_entry(path, raw):
    for i in range(6):
        raw.put_doc("c", f"k{i}", {"body": "red fox"})
    raw.close()
    with native.Db.open(path) as db, db.collection("c") as c:
        c.create_text_index_ondisk("body")
    raw2 = RawFile(path)
    raw2.put("__dfts__c__body", b"P\x00\x00\x00\x03redk1", b"\x01")  # a short posting row
    raw2.put("__dfts__c__body", b"Fk2", b"\x09\x00")                 # a short forward row
    raw2.put("__text_indexes__", b"c", b"\xff\x01")                   # no field: ignored
    raw2.close()
    with native.Db.open(path) as db, db.collection("c") as c:
        keys = [r.key for r in c.phrase_search("body", "red fox", 10)]
        assert "k1" not in keys and keys
        c.insert("k2", {"body": "blue"})
        c.delete("k1")
        c.insert("k9", {"body": "red fox"})
        assert "k9" in [r.key for r in c.phrase_search("body", "red fox", 10)]
    raw3 = RawFile(path)
    raw3.put("__dfts__c__body", b"M", b"short")  # a short meta row reads as an empty index
    raw3.close()
    with native.Db.open(path) as db, db.collection("c") as c:
        assert c.phrase_search("body", "red fox", 10) == []
        c.insert("k8", {"body": "red fox"})
        assert "k8" in [r.key for r in c.phrase_search("body", "red fox", 10)]
