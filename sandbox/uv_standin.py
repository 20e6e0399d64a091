#!/usr/bin/env python3
"""A stand-in for the `uv` package manager, covering exactly what vorpane calls:

    uv pip list --format json
    uv pip install PKG... [-r FILE]... [--upgrade-package PKG]... --index-url URL [--dry-run]

The target environment is $VIRTUAL_ENV. `pip list` asks the environment's own interpreter
through importlib.metadata (no pip, so it starts fast); `pip install` runs pip from this
interpreter against the environment (`pip --python`). Anything else is refused with exit
status 2, so a test notices when the tool starts calling something new.

Index credentials work as they do for uv: in the index URL, or in the netrc file that $NETRC
names (else ~/.netrc). pip reads the same file through requests, which honours NETRC, so
the stand-in only passes the variable on; an index that answers 401 fails the install.

Environment:
    UV_STANDIN_LOG   append one JSON line per call: argv, virtual_env, conda_prefix, cwd,
                     netrc ($NETRC or null), netrc_mode and netrc_dir_mode (octal text, null
                     when missing)
    UV_STANDIN_FAIL  "always", or a substring of the joined arguments: fail that call with
                     "error: forced failure" (exit 1) after logging it
    UV_STANDIN_SLEEP seconds to sleep after logging, so a test can look at the running process

mkbin.py installs this file as an executable named `uv`.
"""

# Only os and sys at the top: every listing runs `uv pip list`, so start-up counts.
import os
import sys

# `uv pip list --format json`, run by the environment's interpreter as `python -I -c LIST_SCRIPT`
# in place of this process (exec), so it prints the answer itself: one compact JSON array, sorted by name, with
# "editable_project_location" for editable installs, as uv prints it.
LIST_SCRIPT = r"""
import json, re, sys
from importlib import metadata
from urllib.parse import unquote, urlparse

def norm(n):
    return re.sub(r"[-_.]+", "-", n).lower()

seen = {}
for d in metadata.distributions():
    name = d.metadata["Name"]
    if not name or norm(name) in seen:
        continue
    entry = {"name": name, "version": d.version}
    try:
        direct = json.loads(d.read_text("direct_url.json") or "{}")
    except ValueError:
        direct = {}
    if direct.get("dir_info", {}).get("editable"):
        entry["editable_project_location"] = unquote(urlparse(direct.get("url", "")).path)
    seen[norm(name)] = entry
sys.stdout.write(json.dumps([seen[k] for k in sorted(seen)], separators=(",", ":")) + "\n")
"""


def fail(message, status=2):
    sys.stderr.write(message + "\n")
    sys.stderr.flush()
    return status


def unsupported(argv, why=""):
    suffix = f" ({why})" if why else ""
    return fail("error: unsupported by the test stand-in: " + " ".join(argv) + suffix)


def log_call(argv):
    path = os.environ.get("UV_STANDIN_LOG")
    if not path:
        return
    import json

    netrc = os.environ.get("NETRC")

    def mode(path):
        try:
            return oct(os.stat(path).st_mode & 0o7777)
        except (OSError, TypeError):
            return None

    line = json.dumps({
        "argv": argv,
        "virtual_env": os.environ.get("VIRTUAL_ENV"),
        "conda_prefix": os.environ.get("CONDA_PREFIX"),
        "cwd": os.getcwd(),
        "netrc": netrc,
        "netrc_mode": mode(netrc),
        "netrc_dir_mode": mode(netrc and os.path.dirname(netrc)),
    }) + "\n"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, line.encode("utf-8"))
    finally:
        os.close(fd)


def target_python():
    """The interpreter of $VIRTUAL_ENV, or an error message."""
    venv = os.environ.get("VIRTUAL_ENV")
    if not venv:
        return None, ("error: no virtual environment found; "
                      "the test stand-in only acts on $VIRTUAL_ENV, which is not set")
    python = os.path.join(venv, "bin", "python")
    if not os.access(python, os.X_OK):
        return None, f"error: VIRTUAL_ENV={venv} has no interpreter at {python}"
    return python, None


def pip_list(argv, rest):
    if rest != ["--format", "json"] and rest != ["--format=json"]:
        return unsupported(argv, "pip list is only known with --format json")
    python, error = target_python()
    if error:
        return fail(error)
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execv(python, [python, "-I", "-c", LIST_SCRIPT])
    except OSError as exc:
        return fail(f"error: cannot run {python}: {exc}")


def pip_install(argv, rest):
    packages = []
    requirement_files = []
    upgrade_packages = []
    index_url = None
    dry_run = False
    valued = {"--index-url": "index", "-i": "index",
              "-r": "requirement", "--requirement": "requirement",
              "--upgrade-package": "upgrade", "-P": "upgrade"}
    i = 0
    while i < len(rest):
        arg = rest[i]
        option, eq, inline = arg.partition("=") if arg.startswith("--") else (arg, "", "")
        if option in valued:
            if eq:
                value = inline
            else:
                if i + 1 >= len(rest):
                    return fail(f"error: a value is required for '{option}' but none was supplied")
                i += 1
                value = rest[i]
            kind = valued[option]
            if kind == "index":
                index_url = value
            elif kind == "requirement":
                requirement_files.append(value)
            else:
                upgrade_packages.append(value)
        elif arg == "--dry-run":
            dry_run = True
        elif arg == "--offline":
            # The stand-in keeps no cache: an offline install finds nothing new to do.
            print("Audited packages from the cache (offline)")
            return 0
        elif arg.startswith("-"):
            return unsupported(argv, f"option {arg}")
        else:
            packages.append(arg)
        i += 1

    if not packages and not requirement_files:
        return fail("error: the following required arguments were not provided:\n"
                    "  <PACKAGE|--requirement <REQUIREMENT>|--editable <EDITABLE>>\n\n"
                    "Usage: uv pip install <PACKAGE|--requirement <REQUIREMENT>|"
                    "--editable <EDITABLE>>\n\nFor more information, try '--help'.")
    if index_url is None:
        return unsupported(argv, "--index-url is required: nothing else is reachable here")
    python, error = target_python()
    if error:
        return fail(error)

    command = [sys.executable, "-I", "-m", "pip", "--python", python, "install",
               "--isolated", "--disable-pip-version-check", "--no-input", "--no-cache-dir",
               "--index-url", index_url]
    if dry_run:
        command.append("--dry-run")
    if upgrade_packages:
        # pip has no per-package upgrade; upgrading only what needs it comes closest.
        command += ["--upgrade", "--upgrade-strategy", "only-if-needed"]
    for f in requirement_files:
        command += ["-r", f]
    command += packages
    sys.stdout.flush()
    sys.stderr.flush()
    import subprocess

    try:
        return subprocess.call(command)
    except KeyboardInterrupt:
        return 130


def main():
    argv = sys.argv[1:]
    log_call(argv)
    if os.environ.get("UV_STANDIN_SLEEP"):
        import time

        time.sleep(float(os.environ["UV_STANDIN_SLEEP"]))
    forced = os.environ.get("UV_STANDIN_FAIL")
    if forced and (forced == "always" or forced in " ".join(argv)):
        return fail("error: forced failure", 1)
    if argv == ["--version"]:
        print("uv 0.0.0 (sandbox stand-in)")
        return 0
    if len(argv) >= 2 and argv[0] == "pip" and argv[1] == "list":
        return pip_list(argv, argv[2:])
    if len(argv) >= 2 and argv[0] == "pip" and argv[1] == "install":
        return pip_install(argv, argv[2:])
    return unsupported(argv)


if __name__ == "__main__":
    sys.exit(main())
