#!/usr/bin/env python3
"""`vorpane modules` for accounts of 10, 100 and 1,000 packages, each run with an empty cache (so
it makes the token and entitlement requests), against one bare `uv pip list --format json` run
of the same environment plus the time the fake cloud spent on the run's two requests, from the
connection's start (TLS handshake included) to the answer's end.
The listing asks uv once whatever the size, so the ratio should stay at most 1.5 at every size."""
import argparse
import glob
import os
import subprocess
import sys

import common


def account_of(account, packages):
    per_module = 10
    account["entitlements"] = [
        {"name": f"Bench Module {m}", "code": f"ENT_BENCH_{m}",
         "packages": [f"bench-{m}-{j}" for j in range(min(per_module, packages - m * per_module))],
         "required_entitlements": []}
        for m in range((packages + per_module - 1) // per_module)]
    return account


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=common.default_binary())
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with common.Sandbox() as sandbox:
        base = sandbox.account()
        env = sandbox.user_env("user")
        subprocess.run([args.binary, "init", "--token-id", base["token_id"], "--token", base["token"]],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        caches = os.path.join(env["HOME"], ".config", "Vorpane", "cache.sqlite3*")
        uv = os.path.join(sandbox.dir, "bin", "uv")
        print(f"{'packages':>8} {'listing':>10} {'uv pip list':>12} {'2 requests':>11} {'ratio':>6}  uv runs")
        worst = 0.0
        for size in (10, 100, 1000):
            sandbox.write_account(account_of(dict(base), size))
            tool, child, served, uv_runs = [], [], [], 0
            for _ in range(args.rounds):
                for path in glob.glob(caches):
                    os.remove(path)
                log = os.path.join(env["HOME"], "uv.log")
                if os.path.exists(log):
                    os.remove(log)
                before = len(sandbox.requests())
                tool.append(common.wall([args.binary, "modules"], dict(env, UV_STANDIN_LOG=log))[0])
                with open(log) as f:
                    uv_runs = max(uv_runs, sum(1 for line in f if line.strip()))
                made = sandbox.requests()[before:]
                served.append(sum(r["t_end"] - r.get("t_connect", r["t_start"]) for r in made
                                  if r.get("route") in ("token", "entitlements")))
                child.append(common.wall([uv, "pip", "list", "--format", "json"], env)[0])
            t, c, s = common.median(tool), common.median(child), common.median(served)
            ratio = t / (c + s)
            worst = max(worst, ratio)
            print(f"{size:>8} {t * 1000:>8.1f}ms {c * 1000:>10.1f}ms {s * 1000:>9.1f}ms {ratio:>6.2f}  {uv_runs}")
        print(f"listing / (uv pip list + 2 requests), worst size: {worst:.2f} (target: at most 1.5)")


if __name__ == "__main__":
    sys.exit(main())
