#!/usr/bin/env python3
"""Three 64 MB example archives from the local fake cloud: `vorpane download-examples` against
curl fetching the same three in parallel followed by `tar -xzf` of each, and the tool's peak
memory."""
import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile

import common

SIZE = 64 * 1000 * 1000


def make_archive(path, top):
    """A gzip tar of about SIZE bytes: mostly incompressible data, a few small files."""
    with tempfile.TemporaryDirectory() as tmp:
        os.makedirs(os.path.join(tmp, top, "data"))
        with open(os.path.join(tmp, top, "data", "blob.bin"), "wb") as f:
            remaining = SIZE
            while remaining > 0:
                chunk = os.urandom(min(remaining, 1 << 20))
                f.write(chunk)
                remaining -= len(chunk)
        with open(os.path.join(tmp, top, "README.md"), "w") as f:
            f.write("bench\n")
        with tarfile.open(path, "w:gz", compresslevel=1) as tar:
            tar.add(os.path.join(tmp, top), arcname=top)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=common.default_binary())
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with common.Sandbox() as sandbox:
        served = os.path.join(sandbox.tmp.name, "served")
        os.makedirs(served)
        names = ["bench_a", "bench_b", "bench_c"]
        for n in names:
            make_archive(os.path.join(served, n + ".tar.gz"), n)
        account = sandbox.account()
        account["entitlements"] = [{"name": n, "code": "ENT_" + n.upper(), "packages": [n],
                                    "required_entitlements": []} for n in names]
        account["packages"] = [{"key": n.replace("_", "-") + "-examples"} for n in names]
        account["examples_dir"] = served
        sandbox.write_account(account)
        env = sandbox.user_env("user")
        subprocess.run([args.binary, "init", "--token-id", account["token_id"], "--token", account["token"]],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        token = account.get("access_token", "test-access-token")
        base = f"https://core.cloud.localhost:{common.PORT}/v1/license/artifacts/examples/"

        tool_times, tool_rss, curl_times = [], [], []
        for _ in range(args.rounds):
            target = tempfile.mkdtemp(dir=sandbox.tmp.name)
            t, rss = common.wall([args.binary, "download-examples", "--download-dir", target], env)
            tool_times.append(t)
            tool_rss.append(rss)
            for n in names:
                blob = os.path.join(target, n.replace("_", "-") + "-examples", n, "data", "blob.bin")
                if os.path.getsize(blob) != SIZE:
                    raise SystemExit(f"{blob} is incomplete")
            shutil.rmtree(target)

            target = tempfile.mkdtemp(dir=sandbox.tmp.name)
            curl = ["curl", "-sS", "--fail", "--parallel", "--cacert", env["SSL_CERT_FILE"],
                    "-H", "Accept: application/vnd.api+json", "-H", f"Authorization: Bearer {token}"]
            for n in names:
                curl += ["-o", os.path.join(target, n + ".tar.gz"), base + n + ".tar.gz"]
            t1, _ = common.wall(curl, env)
            total = t1
            for n in names:
                out = os.path.join(target, n)
                os.makedirs(out)
                total += common.wall(["tar", "-xzf", os.path.join(target, n + ".tar.gz"), "-C", out], env)[0]
            curl_times.append(total)
            shutil.rmtree(target)

        t, c = common.median(tool_times), common.median(curl_times)
        print(f"vorpane download-examples (3 x 64 MB): {t:6.2f} s (median of {args.rounds})")
        print(f"curl --parallel + tar -xzf           : {c:6.2f} s (median of {args.rounds})")
        print(f"ratio                                : {t / c:6.2f} (target: at most 1.2)")
        print(f"peak memory of the tool              : {max(tool_rss) / 1024:6.1f} MiB (target: under 64 MiB)")


if __name__ == "__main__":
    sys.exit(main())
