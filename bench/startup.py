#!/usr/bin/env python3
"""Start-up time of `vorpane --version` and `vorpane --help` against a bare Python start.

Runs in a throw-away HOME with a stored profile and an active virtual environment, measures the
median wall time of many runs of each command, and prints the figures and their ratio. It also
reports which heavy shared libraries (libcurl, libarchive, libcrypto) the process loaded.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import common


def median_ms(argv, env, runs):
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        samples.append((time.perf_counter() - start) * 1000.0)
    return statistics.median(samples)


def loaded_heavy_libraries(argv, env):
    env = dict(env, LD_DEBUG="files")
    out = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    heavy = ("libcurl", "libarchive", "libcrypto", "libssl")
    return sorted({name for name in heavy if f"file={name}" in out})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(os.path.dirname(__file__), "..", "build-test", "vorpane"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    python = common.python311()

    with tempfile.TemporaryDirectory() as tmp:
        venv = os.path.join(tmp, "venv")
        subprocess.run([python, "-m", "venv", "--without-pip", venv], check=True)
        env = {"HOME": os.path.join(tmp, "home"), "PATH": "/usr/bin:/bin", "VIRTUAL_ENV": venv}
        os.makedirs(env["HOME"])
        subprocess.run([args.binary, "init", "--token-id", "bench", "--token", "bench"], env=env,
                       stdout=subprocess.DEVNULL, check=True)

        python_ms = median_ms([os.path.join(venv, "bin", "python"), "-I", "-S", "-c", "pass"], env, args.runs)
        print(f"bare python start (-I -S -c pass): {python_ms:7.2f} ms (median of {args.runs})")
        worst = 0.0
        for command in (["--version"], ["--help"], ["init", "--help"]):
            ms = median_ms([args.binary] + command, env, args.runs)
            worst = max(worst, ms)
            libs = loaded_heavy_libraries([args.binary] + command, env)
            print(f"vorpane {' '.join(command):<14}: {ms:7.2f} ms  {python_ms / ms:5.1f}x faster than python;"
                  f" heavy libraries loaded: {', '.join(libs) if libs else 'none'}")
        ratio = python_ms / worst
        print(f"slowest command vs python: {ratio:.1f}x (target: at least 5x)")


if __name__ == "__main__":
    sys.exit(main())
