#!/usr/bin/env python3
"""Wheel factory and simple package index for the sandbox.

    index.py build --out DIR --packages PACKAGES.json
    index.py serve --root DIR --port P --portfile F [--log FILE] [--auth-file FILE]

`build` turns PACKAGES.json, a list of
    {"name": "zel-foo-core", "version": "1.0.0",
     "requires": ["zel-foo-utils>=0.3"],                 (optional)
     "data_files": {"lib/libmkl_rt.so.2": "content"}}    (optional)
into real pure-Python wheels (py3-none-any) under DIR/wheels/ and a PEP 503 simple index
under DIR/simple/. Each wheel holds one package, <import_name>/__init__.py with
__version__; data_files are installed relative to the environment's prefix. Wheels are
reproducible (fixed timestamps), so the same list always yields the same hashes. A build
whose list is unchanged since the last one does nothing.

`serve` serves DIR over plain HTTP on 127.0.0.1 (port 0: any free one), writes the real
port to the portfile and prints "READY <port>". SIGTERM or SIGINT stop it. With --auth-file
(one line "USER:PASSWORD", read once) every request needs HTTP basic auth with exactly those
credentials and is answered 401 otherwise, as a private index would.
"""

from __future__ import annotations

import argparse
import base64
import functools
import hashlib
import hmac
import html
import http.server
import json
import os
import re
import shutil
import signal
import sys
import threading
import time
import zipfile

# Timestamp stored for every wheel member (zip cannot store dates before 1980).
ZIP_DATE = (2020, 1, 1, 0, 0, 0)
BUILD_STAMP = ".build-stamp"
# Bump when the layout written by build() changes, so old caches are rebuilt.
LAYOUT_VERSION = "1"


def normalize(name: str) -> str:
    """PEP 503 normalised project name."""
    return re.sub(r"[-_.]+", "-", name).lower()


def wheel_name_part(name: str) -> str:
    """The distribution name as written in wheel and .dist-info names."""
    return re.sub(r"[-_.]+", "_", name).lower()


def import_name(name: str) -> str:
    return re.sub(r"[^0-9a-zA-Z_]", "_", normalize(name))


def record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def requirement_name(requirement: str) -> str:
    match = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", requirement)
    if not match:
        raise ValueError(f"not a requirement: {requirement!r}")
    return match.group(1)


def make_wheel(entry: dict, out_dir: str) -> str:
    """Writes one wheel into out_dir and returns its file name."""
    name = entry["name"]
    version = entry["version"]
    requires = list(entry.get("requires") or [])
    data_files = dict(entry.get("data_files") or {})
    summary = entry.get("summary") or f"{name}, a sandbox test package"

    dist = wheel_name_part(name)
    dist_info = f"{dist}-{version}.dist-info"
    data_dir = f"{dist}-{version}.data"
    module = import_name(name)

    metadata_lines = [
        "Metadata-Version: 2.1",
        f"Name: {name}",
        f"Version: {version}",
        f"Summary: {summary}",
        "Requires-Python: >=3.8",
    ]
    metadata_lines += [f"Requires-Dist: {r}" for r in requires]
    members: list[tuple[str, bytes]] = [
        (f"{module}/__init__.py",
         f'"""{name} (sandbox test package)."""\n\n__version__ = "{version}"\n'.encode()),
    ]
    for rel, content in sorted(data_files.items()):
        rel = rel.strip("/")
        if not rel or ".." in rel.split("/"):
            raise ValueError(f"{name}: bad data file path {rel!r}")
        members.append((f"{data_dir}/data/{rel}", content.encode("utf-8")))
    members.append((f"{dist_info}/METADATA", ("\n".join(metadata_lines) + "\n\n").encode()))
    members.append((f"{dist_info}/WHEEL", (
        "Wheel-Version: 1.0\n"
        "Generator: vorpane-sandbox (1.0)\n"
        "Root-Is-Purelib: true\n"
        "Tag: py3-none-any\n\n").encode()))
    members.append((f"{dist_info}/top_level.txt", f"{module}\n".encode()))

    record_lines = [f"{path},{record_hash(data)},{len(data)}" for path, data in members]
    record_lines.append(f"{dist_info}/RECORD,,")
    members.append((f"{dist_info}/RECORD", ("\n".join(record_lines) + "\n").encode()))

    file_name = f"{dist}-{version}-py3-none-any.whl"
    tmp = os.path.join(out_dir, f".{file_name}.tmp")
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for path, data in members:
            info = zipfile.ZipInfo(path, date_time=ZIP_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o644 << 16)
            zf.writestr(info, data)
    os.replace(tmp, os.path.join(out_dir, file_name))
    return file_name


def sha256_file(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(functools.partial(f.read, 1 << 16), b""):
            h.update(block)
    return h.hexdigest()


def write_text(path: str, text: str) -> None:
    tmp = f"{path}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def page(title: str, links: list[tuple[str, str]]) -> str:
    body = "\n".join(f'    <a href="{html.escape(href)}">{html.escape(text)}</a><br/>'
                     for href, text in links)
    return ("<!DOCTYPE html>\n<html>\n  <head>\n"
            '    <meta name="pypi:repository-version" content="1.0">\n'
            f"    <title>{html.escape(title)}</title>\n  </head>\n  <body>\n"
            f"    <h1>{html.escape(title)}</h1>\n{body}\n  </body>\n</html>\n")


def validate_packages(packages) -> list[dict]:
    if not isinstance(packages, list):
        raise ValueError("the package list must be a JSON list")
    seen = set()
    for i, entry in enumerate(packages):
        if not isinstance(entry, dict) or not entry.get("name") or not entry.get("version"):
            raise ValueError(f"package entry {i}: needs \"name\" and \"version\"")
        key = (normalize(entry["name"]), str(entry["version"]))
        if key in seen:
            raise ValueError(f"package entry {i}: {entry['name']} {entry['version']} twice")
        seen.add(key)
        for r in entry.get("requires") or []:
            requirement_name(r)
    return packages


def build(out: str, packages: list[dict]) -> bool:
    """Builds wheels and index into `out`. Returns False when the cache was current."""
    packages = validate_packages(packages)
    stamp_text = json.dumps({"layout": LAYOUT_VERSION, "packages": packages}, sort_keys=True)
    stamp_path = os.path.join(out, BUILD_STAMP)
    try:
        with open(stamp_path, encoding="utf-8") as f:
            if f.read() == stamp_text and os.path.isfile(os.path.join(out, "simple", "index.html")):
                return False
    except FileNotFoundError:
        pass

    os.makedirs(out, exist_ok=True)
    for sub in ("wheels", "simple"):
        shutil.rmtree(os.path.join(out, sub), ignore_errors=True)
    wheels_dir = os.path.join(out, "wheels")
    simple_dir = os.path.join(out, "simple")
    os.makedirs(wheels_dir)
    os.makedirs(simple_dir)

    projects: dict[str, list[tuple[str, str]]] = {}
    for entry in packages:
        file_name = make_wheel(entry, wheels_dir)
        digest = sha256_file(os.path.join(wheels_dir, file_name))
        projects.setdefault(normalize(entry["name"]), []).append((file_name, digest))

    for project, files in sorted(projects.items()):
        project_dir = os.path.join(simple_dir, project)
        os.makedirs(project_dir)
        links = [(f"../../wheels/{fn}#sha256={digest}", fn) for fn, digest in sorted(files)]
        write_text(os.path.join(project_dir, "index.html"), page(f"Links for {project}", links))
    write_text(os.path.join(simple_dir, "index.html"),
               page("Simple index", [(f"{p}/", p) for p in sorted(projects)]))
    write_text(stamp_path, stamp_text)
    return True


class IndexHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def authorized(self) -> bool:
        """Answers 401 and returns False unless the request carries the expected credentials."""
        expected = self.server.expected_auth
        given = self.headers.get("Authorization", "")
        self.auth_result = ("none" if expected is None else "ok"
                            if hmac.compare_digest(given.encode(), expected.encode())
                            else "wrong" if given else "missing")
        if self.auth_result in ("none", "ok"):
            return True
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="sandbox index"')
        self.send_header("Content-Length", "0")
        self.end_headers()
        return False

    def do_GET(self):
        if self.authorized():
            super().do_GET()

    def do_HEAD(self):
        if self.authorized():
            super().do_HEAD()

    def log_message(self, format, *args):  # noqa: A002 - signature of the base class
        log = self.server.access_log
        if log is None:
            return
        line = json.dumps({"t": time.time(), "path": self.path,
                           "auth": getattr(self, "auth_result", None),
                           "message": format % args}) + "\n"
        with self.server.log_lock:
            with open(log, "a", encoding="utf-8") as f:
                f.write(line)


class IndexServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def read_auth_file(path: str | None) -> str | None:
    """The expected Authorization header for the "USER:PASSWORD" line in path."""
    if not path:
        return None
    with open(path, encoding="utf-8") as f:
        credentials = f.read().strip()
    return "Basic " + base64.b64encode(credentials.encode("utf-8")).decode("ascii")


def serve(root: str, port: int, portfile: str | None, access_log: str | None,
          lifetime: float, auth_file: str | None = None) -> int:
    root = os.path.abspath(root)
    if not os.path.isdir(os.path.join(root, "simple")):
        print(f"index.py: {root} holds no simple/ index; run build first", file=sys.stderr)
        return 2
    handler = functools.partial(IndexHandler, directory=root)
    try:
        server = IndexServer(("127.0.0.1", port), handler)
    except OSError as exc:
        print(f"index.py: cannot listen on 127.0.0.1:{port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    server.access_log = access_log
    server.expected_auth = read_auth_file(auth_file)
    server.log_lock = threading.Lock()

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if lifetime > 0:
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, lifetime)

    real_port = server.server_address[1]
    if portfile:
        write_text(portfile, f"{real_port}\n")
    print(f"READY {real_port}", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except SystemExit:
        pass
    finally:
        server.server_close()
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p_build = sub.add_parser("build", help="build wheels and the simple index")
    p_build.add_argument("--out", required=True)
    p_build.add_argument("--packages", required=True, metavar="PACKAGES.json",
                         help="JSON list of packages to build")
    p_serve = sub.add_parser("serve", help="serve a built index over HTTP on 127.0.0.1")
    p_serve.add_argument("--root", required=True)
    p_serve.add_argument("--port", type=int, default=0)
    p_serve.add_argument("--portfile")
    p_serve.add_argument("--log", help="append one JSON line per request to this file")
    p_serve.add_argument("--auth-file", help="require basic auth with the USER:PASSWORD in it")
    p_serve.add_argument("--lifetime", type=float, default=6 * 3600,
                         help="stop by itself after this many seconds (0: never); default 6 h")
    args = parser.parse_args(argv)

    if args.command == "build":
        with open(args.packages, encoding="utf-8") as f:
            packages = json.load(f)
        try:
            built = build(args.out, packages)
        except ValueError as exc:
            print(f"index.py: {exc}", file=sys.stderr)
            return 2
        print("built" if built else "up to date")
        return 0
    return serve(args.root, args.port, args.portfile, args.log, args.lifetime, args.auth_file)


if __name__ == "__main__":
    sys.exit(main())
