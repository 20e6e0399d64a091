#!/usr/bin/env python3
"""Bounds on what a hostile or slow service can cost: peak memory of `vorpane modules` against a
60 MB answer of empty objects (and against the demo account), 1,100 example downloads under
`ulimit -n 256`, and how long a trickling token service or download holds the tool."""
import argparse
import json
import os
import resource
import subprocess
import sys
import tarfile
import tempfile
import time

import common

PACKAGES = 1100
OBJECTS = 20 * 1000 * 1000  # "[{},{},...]" of 60 MB
HEAVY_ACCOUNT = """
import json, sys
keys = [f"zel-{'a' * 110}{i}-examples" for i in range(450 * 1000)]
account = dict(json.loads(sys.argv[1]), faults={"packages": {"body": json.dumps([{"key": k} for k in keys])}})
with open(sys.argv[2], "w") as f:
    json.dump(account, f)
"""


def limit_files():
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))


def run(argv, env, **kwargs):
    """Wall time, peak memory (KiB), status and standard error of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)
    err = proc.stderr.read().decode(errors="replace")
    _, status, usage = os.wait4(proc.pid, 0)
    return time.perf_counter() - start, usage.ru_maxrss, os.waitstatus_to_exitcode(status), err


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=common.default_binary())
    parser.add_argument("--skip-slow", action="store_true", help="leave out the trickling services")
    args = parser.parse_args()
    with common.Sandbox() as sandbox:
        demo = sandbox.account()
        env = sandbox.user_env("user")
        subprocess.run([args.binary, "init", "--token-id", demo["token_id"], "--token", demo["token"]],
                       env=env, check=True, stdout=subprocess.DEVNULL)

        def fresh(account):
            sandbox.write_account(account)
            subprocess.run([args.binary, "init", "--token-id", demo["token_id"], "--token", demo["token"]],
                           env=env, check=True, stdout=subprocess.DEVNULL)  # an empty result cache

        fresh(demo)
        t, base_rss, status, err = run([args.binary, "modules"], env)
        print(f"modules, demo account         : {base_rss / 1024:7.1f} MiB peak, {t:5.2f} s, status {status}")
        for route in ("entitlements", "packages"):
            huge = dict(demo, faults={route: {"objects": OBJECTS}})
            fresh(huge)
            command = ["modules"] if route == "entitlements" else ["download-examples", "--list-available"]
            t, rss, status, err = run([args.binary] + command, env)
            print(f"{' '.join(command):30}: {rss / 1024:7.1f} MiB peak, {t:5.2f} s, status {status} "
                  f"(60 MB {route} answer; target under 256 MiB): {last_line(err)}")
            sandbox.write_account(demo)
            t, rss, status, _ = run([args.binary] + command, env)
            print(f"  same command, answer healed  : status {status} (nothing of the refused answer was cached)")

        # Under both caps, but as heavy a tree as 60 MB can make: 900,000 values, valid long names.
        # Made by a child: a run's peak RSS counts the high-water mark of the process that started
        # it, so this one must never hold the 60 MB list itself.
        heavy = os.path.join(sandbox.tmp.name, "heavy.json")
        subprocess.run([sys.executable, "-c", HEAVY_ACCOUNT, json.dumps(demo), heavy], check=True)
        os.replace(heavy, os.path.join(sandbox.dir, "account.json"))
        subprocess.run([args.binary, "init", "--token-id", demo["token_id"], "--token", demo["token"]],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        command = [args.binary, "download-examples", "--list-available"]
        t, rss, status, _ = run(command, env)
        print(f"{'download-examples --list-available':30}: {rss / 1024:7.1f} MiB peak, {t:5.2f} s, status {status} "
              f"(60 MB of 450,000 long valid names)")
        t, rss, status, _ = run(command, env)
        print(f"  again, from the result cache : {rss / 1024:7.1f} MiB peak, {t:5.2f} s, status {status}")

        served = os.path.join(sandbox.tmp.name, "served")
        os.makedirs(served)
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "top"))
            with open(os.path.join(tmp, "top", "README.md"), "w") as f:
                f.write("bench\n")
            archive = os.path.join(served, "ex0.tar.gz")
            with tarfile.open(archive, "w:gz") as tar:
                tar.add(os.path.join(tmp, "top"), arcname="top")
        names = [f"ex{i}" for i in range(PACKAGES)]
        for n in names[1:]:
            os.link(archive, os.path.join(served, n + ".tar.gz"))
        many = dict(demo, examples_dir=served,
                    entitlements=[{"name": n, "code": "ENT_" + n.upper(), "packages": [n],
                                   "required_entitlements": []} for n in names],
                    packages=[{"key": n + "-examples"} for n in names])
        for limit in ("", "64"):
            fresh(many)
            target = tempfile.mkdtemp(dir=sandbox.tmp.name)
            run_env = dict(env, VORPANE_MAX_DOWNLOADS=limit)
            t, rss, status, err = run([args.binary, "download-examples", "--download-dir", target], run_env,
                                      preexec_fn=limit_files)
            done = sum(1 for n in names if os.path.isdir(os.path.join(target, n + "-examples", "top")))
            print(f"{PACKAGES} downloads, ulimit -n 256, VORPANE_MAX_DOWNLOADS={limit or 'unset':5}: "
                  f"{done}/{PACKAGES} unpacked, status {status}, {t:5.1f} s, {rss / 1024:5.1f} MiB peak")

        if args.skip_slow:
            return 0
        fresh(dict(demo, faults={"token": {"trickle": 0.5}}))
        t, _, status, err = run([args.binary, "modules"], env)
        print(f"token service trickling 2 B/s : error after {t:5.1f} s, status {status}: {last_line(err)}")
        fresh(dict(demo, faults={"examples": {"trickle": 0.5}}))
        target = tempfile.mkdtemp(dir=sandbox.tmp.name)
        t, _, status, err = run([args.binary, "download-examples", "--download-dir", target, "-m", "foo_app"],
                                dict(env, VORPANE_HTTP_RETRIES="0"))
        print(f"download trickling 2 B/s      : abandoned after {t:5.1f} s (no retries), status {status}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
