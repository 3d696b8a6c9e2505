#!/usr/bin/env python3
"""Extracts real English paragraphs for the text and vector benchmarks.

Sources, in this order (files sorted by path, so the output is the same on
every run over the same packages):
  1. the Python documentation in HTML from Debian's python3-doc package
     (/usr/share/doc/python3*/html): the text of every <p>, <dd> paragraph
     and list item;
  2. the manual pages of Debian's manpages and manpages-dev packages (their
     dpkg file lists, so nothing else installed changes the output),
     rendered by `man -l` with a very wide page so that every paragraph is
     one line.

A paragraph is kept when it has at least 8 words, 50 to 2,000 characters
and mostly letters; duplicates (the same text after whitespace folding) are
dropped. Writes bench/data/paragraphs.jsonl, one {"id": n, "text": ...}
per line, ids from 0, at most --limit paragraphs (default 80,000), and the
same texts one per line in bench/data/paragraphs.txt (for the C++ programs).

Usage: python3 bench/corpus.py [--limit N] [--out PATH]
Needs: apt-get install python3-doc manpages manpages-dev man-db groff-base
"""

import argparse
import html.parser
import json
import multiprocessing
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
MIN_WORDS = 8
MIN_CHARS = 50
MAX_CHARS = 2000
SPACE = re.compile(r"\s+")


class _Paragraphs(html.parser.HTMLParser):
    """Collects the text of block elements, skipping code, navigation and
    scripts."""

    BLOCKS = {"p", "dd", "li", "td", "th", "h1", "h2", "h3", "h4", "dt"}
    SKIP = {"script", "style", "pre", "nav", "head", "footer"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.out = []
        self.buf = []
        self.depth_skip = 0
        self.in_block = 0

    def _flush(self):
        if self.buf:
            self.out.append("".join(self.buf))
            self.buf = []

    def handle_starttag(self, tag, attrs):
        if tag in self.SKIP:
            self.depth_skip += 1
        elif tag in self.BLOCKS:
            self._flush()
            self.in_block += 1

    def handle_endtag(self, tag):
        if tag in self.SKIP:
            self.depth_skip = max(0, self.depth_skip - 1)
        elif tag in self.BLOCKS:
            self._flush()
            self.in_block = max(0, self.in_block - 1)

    def handle_data(self, data):
        if self.depth_skip == 0 and self.in_block:
            self.buf.append(data)


def html_paragraphs(path):
    parser = _Paragraphs()
    try:
        parser.feed(path.read_text(encoding="utf-8", errors="replace"))
        parser.close()
    except Exception:  # a malformed page only loses its own paragraphs
        pass
    parser._flush()
    return parser.out


def man_paragraphs(path):
    env = dict(os.environ, MANWIDTH="20000", LANG="C.UTF-8", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
    env.pop("MANPAGER", None)
    env.pop("PAGER", None)
    try:
        out = subprocess.run(["man", "-P", "cat", "-l", str(path)], capture_output=True, env=env, timeout=60).stdout
    except (subprocess.TimeoutExpired, OSError):
        return []
    text = out.decode("utf-8", errors="replace")
    text = re.sub(r".\x08", "", text)  # overstrike bold and underline, if any
    paragraphs, current = [], []
    for line in text.splitlines():
        if line.strip():
            current.append(line.strip())
        elif current:
            paragraphs.append(" ".join(current))
            current = []
    if current:
        paragraphs.append(" ".join(current))
    return paragraphs[1:-1]  # the page's header and footer lines


def keep(text):
    if not (MIN_CHARS <= len(text) <= MAX_CHARS):
        return False
    if len(text.split(" ")) < MIN_WORDS:
        return False
    letters = sum(c.isalpha() for c in text)
    return letters >= 0.6 * len(text)


def html_files():
    seen = set()
    files = []
    for base in sorted(Path("/usr/share/doc").glob("python3*/html")):
        real = base.resolve()
        if real in seen:
            continue
        seen.add(real)
        files.extend(sorted(p for p in real.rglob("*.html") if "_static" not in p.parts))
    return files


MAN_PACKAGES = ("manpages", "manpages-dev")


def man_files():
    """The English pages of the manpages and manpages-dev packages (dpkg's
    file lists), so that the corpus does not depend on what else is
    installed; symlinks and hard links are skipped."""
    listed = []
    for package in MAN_PACKAGES:
        try:
            out = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
        except OSError:
            out = ""
        listed.extend(line for line in out.splitlines() if re.match(r"^/usr/share/man/man[1-8]/", line))
    files = []
    seen = set()
    for name in sorted(set(listed)):
        p = Path(name)
        if p.is_symlink() or not p.is_file():
            continue
        ino = p.stat().st_ino
        if ino in seen:
            continue
        seen.add(ino)
        files.append(p)
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=80_000)
    parser.add_argument("--out", default=str(DATA / "paragraphs.jsonl"))
    args = parser.parse_args()

    docs = html_files()
    mans = man_files()
    if not docs:
        print("no Python HTML documentation found: apt-get install python3-doc", file=sys.stderr)
    if len(mans) < 1000:
        print("few manual pages found: apt-get install manpages manpages-dev man-db", file=sys.stderr)
    if not docs and not mans:
        return 1

    seen = set()
    kept = []

    def take(paragraphs):
        for p in paragraphs:
            text = SPACE.sub(" ", p).strip()
            if keep(text) and text not in seen:
                seen.add(text)
                kept.append(text)

    for path in docs:
        take(html_paragraphs(path))
    from_docs = len(kept)
    with multiprocessing.Pool(os.cpu_count() or 2) as pool:
        for paragraphs in pool.imap(man_paragraphs, mans, chunksize=8):
            take(paragraphs)
            if len(kept) >= args.limit:
                pool.terminate()
                break
    kept = kept[:args.limit]

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    tmp = out.with_suffix(".tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        for i, text in enumerate(kept):
            f.write(json.dumps({"id": i, "text": text}, ensure_ascii=False) + "\n")
    tmp.replace(out)
    # The same texts one per line, for the C++ benchmark programs.
    lines = out.with_suffix(".txt")
    with open(lines.with_suffix(".tmp"), "w", encoding="utf-8") as f:
        for text in kept:
            f.write(text + "\n")
    lines.with_suffix(".tmp").replace(lines)
    print(f"{len(kept)} paragraphs ({from_docs} from the Python documentation, {len(kept) - from_docs} from "
          f"{len(mans)} manual pages) -> {out}")
    return 0 if len(kept) >= 50_000 else 2


if __name__ == "__main__":
    sys.exit(main())
