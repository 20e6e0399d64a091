#!/usr/bin/env python3
"""Installs the uv stand-in as OUTDIR/uv.

    mkbin.py OUTDIR [--python INTERPRETER]

OUTDIR/uv is a copy of uv_standin.py whose shebang names the interpreter by absolute path
(the pyenv shim would add a slow extra start-up) with -I -S: the stand-in itself needs
nothing from site-packages, and it runs pip as a separate `<interpreter> -I -m pip`.
The interpreter defaults to pyenv's newest 3.11, else the one running this script.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def find_interpreter(version: str = "3.11") -> str:
    """Absolute path of pyenv's newest python<version>, or None.

    Looks in $PYENV_ROOT and ~/.pyenv first (also the account's real home directory, as
    tests run with HOME pointing elsewhere) and asks `pyenv root` only when that finds
    nothing."""
    def newest(root):
        def key(path):
            release = os.path.basename(os.path.dirname(os.path.dirname(path)))
            return [int(p) if p.isdigit() else -1 for p in release.split(".")]
        found = [p for p in glob.glob(os.path.join(root, "versions", f"{version}*", "bin",
                                                   f"python{version}"))
                 if os.access(p, os.X_OK)]
        return max(found, key=key) if found else None

    roots = [os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")]
    try:
        import pwd

        roots.append(os.path.join(pwd.getpwuid(os.getuid()).pw_dir, ".pyenv"))
    except (ImportError, KeyError):
        pass
    for root in roots:
        if root:
            hit = newest(root)
            if hit:
                return hit
    if shutil.which("pyenv"):
        try:
            root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            root = ""
        if root:
            return newest(root)
    return None


def install(out_dir: str, python: str) -> str:
    python = os.path.abspath(python)
    if " " in python:
        raise SystemExit(f"mkbin.py: interpreter path {python!r} has a space; a shebang cannot hold it")
    with open(os.path.join(HERE, "uv_standin.py"), encoding="utf-8") as f:
        source = f.read()
    lines = source.split("\n")
    if lines[0].startswith("#!"):
        lines = lines[1:]
    # Linux passes everything after the interpreter as one argument, hence "-IS" not "-I -S".
    text = f"#!{python} -IS\n" + "\n".join(lines)
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "uv")
    tmp = f"{target}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(tmp, 0o755)
    os.replace(tmp, target)
    return target


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="install the uv stand-in as OUTDIR/uv")
    parser.add_argument("out_dir")
    parser.add_argument("--python", help="interpreter named in the shebang "
                        "(default: pyenv's 3.11, else the one running this script)")
    args = parser.parse_args(argv)
    python = args.python or find_interpreter("3.11") or sys.executable
    print(install(args.out_dir, python))
    return 0


if __name__ == "__main__":
    sys.exit(main())
