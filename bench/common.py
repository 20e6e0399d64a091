"""Shared helpers of the benchmarks: the sandbox, throw-away homes and timing."""
import json
import os
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
PORT = int(os.environ.get("VORPANE_TEST_PORT", "47443"))


def python311():
    """The interpreter the tests use too: pyenv's 3.11, else the system's python3."""
    found = subprocess.run([os.path.join(ROOT, "scripts", "python-for"), "default"],
                           stdout=subprocess.PIPE, text=True, check=False).stdout.strip()
    if not found:
        raise SystemExit("no Python 3.10 to 3.13 found: run scripts/setup")
    return found


def default_binary():
    return os.path.join(ROOT, os.environ.get("VORPANE_TEST_BUILD_DIR", "build-test"), "vorpane")


class Sandbox:
    """The fake cloud, index and uv stand-in in a temp dir, stopped on exit."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vorpane-bench-")
        self.dir = os.path.join(self.tmp.name, "sandbox")
        self.python = python311()

    def __enter__(self):
        out = subprocess.run([self.python, os.path.join(ROOT, "sandbox", "sandbox.py"), "up", "--dir", self.dir,
                              "--port", str(PORT)], check=True, stdout=subprocess.PIPE, text=True).stdout
        self.env_json = json.loads(out)
        return self

    def __exit__(self, *exc):
        subprocess.run([self.python, os.path.join(ROOT, "sandbox", "sandbox.py"), "down", "--dir", self.dir],
                       check=False, stdout=subprocess.DEVNULL)
        self.tmp.cleanup()

    def account(self):
        with open(os.path.join(self.dir, "account.json")) as f:
            return json.load(f)

    def write_account(self, account):
        path = os.path.join(self.dir, "account.json")
        with open(path + ".tmp", "w") as f:
            json.dump(account, f)
        os.replace(path + ".tmp", path)

    def requests(self):
        with open(os.path.join(self.dir, "requests.log")) as f:
            return [json.loads(line) for line in f if line.strip()]

    def user_env(self, name):
        """A fresh HOME and venv, with the sandbox's CA and uv on PATH."""
        base = os.path.join(self.tmp.name, name)
        home = os.path.join(base, "home")
        venv = os.path.join(base, "venv")
        os.makedirs(home)
        subprocess.run([self.python, "-m", "venv", "--without-pip", venv], check=True)
        return {
            "HOME": home,
            "VIRTUAL_ENV": venv,
            "PATH": os.path.join(self.dir, "bin") + ":/usr/local/bin:/usr/bin:/bin",
            "SSL_CERT_FILE": self.env_json["SSL_CERT_FILE"],
            "PIP_DISABLE_PIP_VERSION_CHECK": "1",
            "LANG": "C.UTF-8",
        }


def wall(argv, env, check=True, **kwargs):
    """Wall time of one run in seconds, and the child's peak resident memory in KiB."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if check and proc.returncode != 0:
        raise SystemExit(f"{argv} failed with status {proc.returncode}")
    return elapsed, usage.ru_maxrss


def median(values):
    return statistics.median(values)
