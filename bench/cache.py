#!/usr/bin/env python3
"""Cost of a result-cache hit in a fresh process (open the store, look up, decode) against the
same process doing no lookup."""
import argparse
import os
import subprocess
import sys
import tempfile

import common


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", default=os.path.join(common.ROOT, os.environ.get("VORPANE_TEST_BUILD_DIR", "build-test"),
                                                        "bench", "cache_probe"))
    parser.add_argument("--runs", type=int, default=300)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        env = {"PATH": "/usr/bin:/bin", "HOME": tmp}
        subprocess.run([args.probe, tmp, "fill"], check=True, env=env)
        none, hit = [], []
        for _ in range(args.runs):
            none.append(common.wall([args.probe, tmp, "none"], env)[0])
            hit.append(common.wall([args.probe, tmp, "lookup"], env)[0])
        n, h = common.median(none) * 1000, common.median(hit) * 1000
        print(f"process without lookup : {n:6.3f} ms (median of {args.runs})")
        print(f"process with cache hit : {h:6.3f} ms (median of {args.runs})")
        print(f"added by the cache hit : {h - n:6.3f} ms (target: under 1 ms)")


if __name__ == "__main__":
    sys.exit(main())
