#!/usr/bin/env python3
"""`vorpane modules` for 30 modules of 3 packages each (entitlements cached, uv stand-in),
against the summed wall time of the same 90 `uv pip show` runs made directly, one after another.
The tool runs up to min(processors, 8) of them at once, so its ideal time is that sum divided by
the same number; the ratio of its time to that ideal should stay at most 1.15."""
import argparse
import os
import subprocess
import sys

import common


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=common.default_binary())
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with common.Sandbox() as sandbox:
        account = sandbox.account()
        account["entitlements"] = [
            {"name": f"Bench Module {i}", "code": f"ENT_BENCH_{i}",
             "packages": [f"bench-{i}-{j}" for j in range(3)], "required_entitlements": []}
            for i in range(30)]
        sandbox.write_account(account)
        env = sandbox.user_env("user")
        subprocess.run([args.binary, "init", "--token-id", account["token_id"], "--token", account["token"]],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        packages = [p for e in account["entitlements"] for p in e["packages"]]
        uv = os.path.join(sandbox.dir, "bin", "uv")

        tool, direct = [], []
        for _ in range(args.rounds):
            # Entitlements are cached for 30 s: warm the cache right before the measured run.
            common.wall([args.binary, "modules"], env)
            tool.append(common.wall([args.binary, "modules"], env)[0])
            total = 0.0
            for p in packages:
                total += common.wall([uv, "pip", "show", p], env, check=False)[0]
            direct.append(total)
        t, d = common.median(tool), common.median(direct)
        workers = common.parallel_children()
        print(f"vorpane modules (90 packages): {t * 1000:8.1f} ms (median of {args.rounds})")
        print(f"90 direct `uv pip show` runs : {d * 1000:8.1f} ms (median of {args.rounds}, one after another)")
        print(f"children at once             : {workers:8d}")
        label = f"time / (sequential / {workers})"
        print(f"{label:<29}: {t / (d / workers):8.2f} (target: at most 1.15)")
        requests = sandbox.requests()
        print(f"entitlement requests made    : {sum(1 for r in requests if r.get('route') == 'entitlements')}")


if __name__ == "__main__":
    sys.exit(main())
