"""Building a filter one combinator call at a time.

A program that grows a filter in a loop (p = or_(p, field("b").eq(v)))
wraps the whole tree built so far on every call. Measured: the time per
call when growing such a filter to 1,000 and to 10,000 calls, with or_ and
with and_, and the ratio of the two per-call costs. Calls that share the
tree built so far cost the same at any size (ratio near 1); calls that
copy it cost ten times more per call at ten times the size (ratio near 10).

Run: python3 bench/predicate_bench.py [--repeat 3]
"""

import argparse
import time

from pallix._native import and_, field, or_


def per_call(combine, n):
    """Seconds per call of growing a filter to n calls, one call at a time."""
    leaves = [field("b").eq(i) for i in range(n + 1)]
    start = time.perf_counter()
    p = leaves[0]
    for leaf in leaves[1:]:
        p = combine(p, leaf)
    return (time.perf_counter() - start) / n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    for name, combine in (("or_", or_), ("and_", and_)):
        small = min(per_call(combine, 1_000) for _ in range(args.repeat))
        large = min(per_call(combine, 10_000) for _ in range(args.repeat))
        print(f"{name}: {small * 1e6:8.2f} us/call at 1,000 calls, {large * 1e6:8.2f} us/call at 10,000 calls, "
              f"ratio {large / small:.2f}")


if __name__ == "__main__":
    main()
