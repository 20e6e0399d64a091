#!/usr/bin/env python3
"""Unpacking cost against the depth of the tree: an archive of FILES files spread along a chain
of DEPTH directories against a flat archive of the same files, each unpacked by the tool's
extractor (bench/unpack_probe), with its peak memory."""
import argparse
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time

import common


def directory(tar, name):
    info = tarfile.TarInfo(name)
    info.type, info.mode = tarfile.DIRTYPE, 0o755
    tar.addfile(info)


def make_archive(path, files, depth, layout):
    """A gzip tar of `files` small files below a chain of `depth` directories. Layout "spread":
    a file every depth/files levels and every directory a member of its own, in the order tar
    writes a tree; "bottom": all files in the deepest directory, no directory members. Built in
    memory: the chain is longer than a path may be."""
    step = max(1, depth // files) if depth else 0
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        here = "top"
        if layout == "bottom":
            here += "/d" * depth
        else:
            directory(tar, here)
        for i in range(files):
            for _ in range(step if layout == "spread" else 0):
                here += "/d"
                directory(tar, here)
            data = f"file {i}\n".encode()
            info = tarfile.TarInfo(f"{here}/f{i}.txt")
            info.size, info.mode = len(data), 0o644
            tar.addfile(info, io.BytesIO(data))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", default=os.path.join(common.ROOT, os.environ.get("VORPANE_TEST_BUILD_DIR", "build-test"),
                                                        "bench", "unpack_probe"))
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--depth", type=int, default=3000)
    parser.add_argument("--layout", choices=["spread", "bottom"], default="spread")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vorpane-bench-") as tmp:
        flat, deep = os.path.join(tmp, "flat.tar.gz"), os.path.join(tmp, "deep.tar.gz")
        make_archive(flat, args.files, 0, args.layout)
        make_archive(deep, args.files, args.depth, args.layout)
        env = {"PATH": "/usr/bin:/bin", "HOME": tmp}
        figures = {}
        for name, archive in (("flat", flat), ("deep", deep)):
            runs = [run_probe(args.probe, archive, os.path.join(tmp, "out"), env) for _ in range(args.rounds)]
            figures[name] = [common.median(column) for column in zip(*runs)]
        (fw, fc, fm), (dw, dc, dm) = figures["flat"], figures["deep"]
        print(f"flat, {args.files} files: {fw * 1000:8.1f} ms wall, {fc * 1000:8.1f} ms CPU, peak {fm / 1024:6.1f} MiB")
        print(f"deep, {args.files} files, {args.depth} levels ({args.layout}): "
              f"{dw * 1000:8.1f} ms wall, {dc * 1000:8.1f} ms CPU, peak {dm / 1024:6.1f} MiB")
        print(f"deep / flat: {dw / fw:.1f}x wall, {dc / fc:.1f}x CPU (target: deep under 2 s; "
              f"medians of {args.rounds})")


def run_probe(probe, archive, target, env):
    """Wall time and CPU time (user + system) of one unpacking in seconds, and its peak resident
    memory in KiB as the probe itself reads it (the rusage of a child counts its parent's memory
    from before the exec)."""
    start = time.perf_counter()
    proc = subprocess.Popen([probe, archive, target], env=env, stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"unpacking {archive} failed")
    subprocess.run(["rm", "-rf", target], check=True)
    return elapsed, usage.ru_utime + usage.ru_stime, int(out.split()[0])

if __name__ == "__main__":
    sys.exit(main())
