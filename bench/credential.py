#!/usr/bin/env python3
"""What asking a credential helper adds at start-up. `vorpane status --json` (which always needs
the secret: one helper call, one token exchange with the fake cloud, one `uv --version`) and a
cached `vorpane modules` (answers from the cache need no secret, so no helper runs), each with the
secret in the file, from a trivial helper script that answers from a file, and from
docker-credential-secretservice against gnome-keyring in a private D-Bus session
(sandbox/keyring_session.sh)."""
import argparse
import json
import os
import shutil
import stat
import subprocess
import sys

import common

HELPER = """#!/bin/sh
[ "$1" = get ] && exec cat "$BENCH_ENTRY"
cat > "$BENCH_ENTRY"
"""


def measure(binary, env, store, rounds):
    """Median wall times in ms of `status --json` and a cached `modules` after `init` with `store`."""
    init = [binary, "init", "--token-id", env["BENCH_ID"], "--token", env["BENCH_SECRET"]]
    if store:
        init += ["--credential-store", store]
    subprocess.run(init, env=env, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([binary, "modules", "-q"], env=env, check=True, stdout=subprocess.DEVNULL)
    status = [common.wall([binary, "status", "--json"], env, check=False)[0] for _ in range(rounds)]
    cached = [common.wall([binary, "modules", "-q"], env)[0] for _ in range(rounds)]
    return [common.median(status) * 1000, common.median(cached) * 1000]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=common.default_binary())
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--inside", help=argparse.SUPPRESS)  # store name, run in the session
    args = parser.parse_args()
    if args.inside:
        print(json.dumps(measure(args.binary, dict(os.environ), args.inside, args.rounds)))
        return 0
    with common.Sandbox() as sandbox:
        account = sandbox.account()
        results = {}
        for name, store in (("file", ""), ("trivial helper", "bench"), ("secretservice", "secretservice")):
            env = sandbox.user_env(name.replace(" ", "-"))
            env.update(BENCH_ID=account["token_id"], BENCH_SECRET=account["token"])
            if store == "bench":
                bindir = os.path.join(env["HOME"], "bin")
                os.makedirs(bindir)
                path = os.path.join(bindir, "docker-credential-bench")
                with open(path, "w") as f:
                    f.write(HELPER)
                os.chmod(path, stat.S_IRWXU)
                env.update(PATH=bindir + ":" + env["PATH"], BENCH_ENTRY=os.path.join(env["HOME"], "entry"))
            if store == "secretservice":
                if not shutil.which("docker-credential-secretservice") or not shutil.which("dbus-run-session"):
                    print("secretservice: not installed (scripts/setup)")
                    continue
                out = subprocess.run([os.path.join(common.ROOT, "sandbox", "keyring_session.sh"), sandbox.python,
                                      os.path.abspath(__file__), "--binary", args.binary, "--rounds",
                                      str(args.rounds), "--inside", store],
                                     env=env, cwd=env["HOME"], check=True, stdout=subprocess.PIPE, text=True).stdout
                results[name] = json.loads(out)
            else:
                results[name] = measure(args.binary, env, store, args.rounds)
        base = results["file"]
        print(f"{'secret kept in':>15} {'status --json':>22} {'cached modules':>22}   (medians of {args.rounds})")
        for name, (status, cached) in results.items():
            print(f"{name:>15} {status:8.2f} ms ({status - base[0]:+6.2f}) {cached:8.2f} ms ({cached - base[1]:+6.2f})")


if __name__ == "__main__":
    sys.exit(main())
