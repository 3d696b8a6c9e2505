"""Dump and load benchmark: runs bench/dump_bench.cc (built with the engine tests) and prints its ratios.

- load: loading N documents from a dump, against inserting the same
  documents with the engine's put_many in one write transaction (target:
  at most 2x the time);
- dump: writing the dump, against a raw sequential copy of the same bytes
  (target: at least 0.5x the speed).

Run: python3 bench/dump_bench.py [--docs 1000000]  (after scripts/test.sh or
cmake --build build/tests --target dump_bench)
"""

import argparse
import pathlib
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--docs", type=int, default=1_000_000)
    args = parser.parse_args()
    binary = pathlib.Path(__file__).resolve().parents[1] / "build" / "tests" / "bench" / "dump_bench"
    if not binary.exists():
        sys.exit(f"{binary} is missing: cmake --build build/tests --target dump_bench")
    subprocess.run([str(binary), str(args.docs)], check=True)


if __name__ == "__main__":
    main()
