#!/usr/bin/env python3
"""The sandbox's fake cloud: the token service and the entitlement service over HTTPS.

    fake_cloud.py --port P --state DIR --cert server.pem --key server.key

One process answers for every host name (token.cloud.localhost, core.cloud.localhost, ...);
the Host header is only logged. DIR/account.json is read afresh on every request, so a
test may rewrite it between two commands (write it atomically: temp file + rename). Every
request is appended as one JSON line to DIR/requests.log. See README.md for the keys of
account.json and the fault switches.

When listening, the real port (useful with --port 0) is written to DIR/port and
"READY <port>" is printed on stdout. SIGTERM or SIGINT stop the server.
"""

from __future__ import annotations

import argparse
import base64
import hmac
import http.server
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
from email.utils import formatdate
from urllib.parse import urlsplit

CHUNK_SIZE = 64 * 1024
DEFAULT_ACCESS_TOKEN = "test-access-token"
# Seconds a kept-alive connection may sit idle (and a TLS handshake may take).
IDLE_TIMEOUT = 30
# Requests served on one kept-alive connection before the server closes it.
MAX_REQUESTS_PER_CONNECTION = 10000
ACCOUNT_READ_ATTEMPTS = 5


class AccountError(Exception):
    pass


def read_account(state_dir: str) -> dict:
    """DIR/account.json as a dict; {} when missing. A file caught half-written is retried."""
    path = os.path.join(state_dir, "account.json")
    last_error = None
    for attempt in range(ACCOUNT_READ_ATTEMPTS):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return {}
        try:
            value = json.loads(data.decode("utf-8")) if data.strip() else {}
        except (ValueError, UnicodeDecodeError) as exc:
            last_error = exc
            time.sleep(0.02 * (attempt + 1))
            continue
        if not isinstance(value, dict):
            raise AccountError("account.json must hold a JSON object")
        return value
    raise AccountError(f"account.json is not valid JSON: {last_error}")


class RequestLog:
    """Appends one JSON line per request; one write() per line, serialised by a lock."""

    def __init__(self, path: str):
        self._lock = threading.Lock()
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)

    def append(self, record: dict) -> None:
        line = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            os.write(self._fd, line)



class FaultCounter:
    """Counts the requests a fault with a "times" limit has already spoilt.

    The count restarts whenever the fault's value in account.json changes."""

    def __init__(self):
        self._lock = threading.Lock()
        self._seen: dict[str, tuple[str, int]] = {}

    def take(self, route: str, fault: dict) -> bool:
        times = fault.get("times")
        if times is None:
            return True
        key = json.dumps(fault, sort_keys=True)
        with self._lock:
            old_key, used = self._seen.get(route, ("", 0))
            if old_key != key:
                used = 0
            if used >= int(times):
                self._seen[route] = (key, used)
                return False
            self._seen[route] = (key, used + 1)
            return True


def route_of(method: str, path: str) -> str:
    if path == "/oauth/token":
        return "token"
    if path == "/v1/license/entitlements":
        return "entitlements"
    if path == "/v1/license/packages":
        return "packages"
    if path == "/v1/license/pip":
        return "pip"
    if path.startswith("/v1/license/artifacts/examples/"):
        return "examples"
    if path.startswith("/v1/license/"):
        return "license"
    return "unknown"


def json_body(value) -> bytes:
    return json.dumps(value).encode("utf-8")


class Response:
    def __init__(self, status: int, body: bytes = b"", content_type: str | None = None,
                 headers: list[tuple[str, str]] | None = None, file_path: str | None = None,
                 file_size: int = 0):
        self.status = status
        self.body = body
        self.content_type = content_type
        self.headers = headers or []
        # When set, the body is streamed from this file instead of `body`.
        self.file_path = file_path
        self.file_size = file_size


class CloudHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeCloud/1.0"
    timeout = IDLE_TIMEOUT
    server: "CloudServer"

    def setup(self):
        super().setup()
        self._served = 0

    def log_message(self, format, *args):  # noqa: A002 - signature of the base class
        if self.server.verbose:
            sys.stderr.write("fake_cloud: " + (format % args) + "\n")

    # Every method goes through one dispatcher so unknown ones are logged as well.
    def do_GET(self):
        self._handle()

    def do_POST(self):
        self._handle()

    def do_PUT(self):
        self._handle()

    def do_DELETE(self):
        self._handle()

    def do_PATCH(self):
        self._handle()

    def do_HEAD(self):
        self._handle()

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            parts = []
            while True:
                size_line = self.rfile.readline(1024)
                if not size_line:
                    break
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    # Trailer lines up to the blank one.
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                parts.append(self.rfile.read(size))
                self.rfile.readline(1024)
            return b"".join(parts)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _handle(self):
        t_start = time.time()
        self._served += 1
        if self._served >= MAX_REQUESTS_PER_CONNECTION:
            self.close_connection = True
        split = urlsplit(self.path)
        route = route_of(self.command, split.path)
        record = {
            "route": route,
            "method": self.command,
            "path": self.path,
            "host": self.headers.get("Host"),
            "headers": {k: v for k, v in self.headers.items()},
            "header_list": [[k, v] for k, v in self.headers.items()],
            "body": "",
            "status": None,
            "t_start": t_start,
            "t_end": None,
        }
        if self._served == 1:
            record["t_connect"] = getattr(self.server.connection_start, "at", t_start)
        try:
            body = self._read_body()
            record["body"] = body.decode("utf-8", errors="replace")
            try:
                account = read_account(self.server.state_dir)
            except AccountError as exc:
                account = None
                response = Response(500, json_body({"error": str(exc)}), "application/json")
            fault = {}
            if account is not None:
                faults = account.get("faults") or {}
                candidate = faults.get(route) if isinstance(faults, dict) else None
                if isinstance(candidate, dict) and self.server.fault_counter.take(route, candidate):
                    fault = candidate
                if fault:
                    record["fault"] = fault
                response = self._answer(route, split, account)
            chunk_delay = float((account or {}).get("chunk_delay") or 0)
            ignore_range = bool((account or {}).get("ignore_range"))
            self._send(response, fault, record, chunk_delay, ignore_range)
        except (ConnectionError, ssl.SSLError, socket.timeout, OSError) as exc:
            record["error"] = f"{type(exc).__name__}: {exc}"
            self.close_connection = True
        finally:
            record["t_end"] = time.time()
            self.server.request_log.append(record)

    # ----- routes ---------------------------------------------------------------------

    def _account_for_request(self, account: dict) -> dict:
        """The entry of account.json's optional "accounts" list (its fields over the top-level
        ones) whose credentials the request carries, Basic token_id:token or Bearer
        access_token; the top-level account when none matches."""
        given = self.headers.get("Authorization", "")
        for extra in account.get("accounts") or []:
            merged = {**account, **extra}
            pair = f"{merged.get('token_id')}:{merged.get('token')}".encode("utf-8")
            if given in ("Basic " + base64.b64encode(pair).decode("ascii"),
                         "Bearer " + str(merged.get("access_token", DEFAULT_ACCESS_TOKEN))):
                return merged
        return account

    def _answer(self, route: str, split, account: dict) -> Response:
        account = self._account_for_request(account)
        if route == "token":
            if self.command != "POST":
                return Response(405, json_body({"error": "method_not_allowed"}), "application/json",
                                [("Allow", "POST")])
            return self._token(account)
        if route == "unknown":
            return Response(404, json_body({"error": "not_found"}), "application/json")
        # Everything under /v1/license/ needs the bearer token.
        access_token = str(account.get("access_token", DEFAULT_ACCESS_TOKEN))
        given = self.headers.get("Authorization", "")
        if not hmac.compare_digest(given.encode(), ("Bearer " + access_token).encode()):
            return Response(401, json_body({"error": "unauthorized"}), "application/json",
                            [("WWW-Authenticate", "Bearer")])
        if self.command not in ("GET", "HEAD"):
            return Response(405, json_body({"error": "method_not_allowed"}), "application/json",
                            [("Allow", "GET, HEAD")])
        if route == "entitlements":
            return Response(200, json_body(account.get("entitlements", [])), "application/json")
        if route == "packages":
            return Response(200, json_body(account.get("packages", [])), "application/json")
        if route == "pip":
            headers = []
            location = account.get("pip_location")
            if location is not None:
                headers.append(("Location", str(location)))
            return Response(int(account.get("pip_status", 303)), b"", None, headers)
        if route == "examples":
            return self._example(split.path, account)
        return Response(404, json_body({"error": "not_found"}), "application/json")

    def _token(self, account: dict) -> Response:
        token_id = account.get("token_id")
        token = account.get("token")
        given = self.headers.get("Authorization", "")
        ok = False
        if token_id is not None and token is not None:
            expected = "Basic " + base64.b64encode(
                f"{token_id}:{token}".encode("utf-8")).decode("ascii")
            ok = hmac.compare_digest(given.encode("utf-8", "replace"), expected.encode("utf-8"))
        if not ok:
            return Response(401, json_body({"error": "invalid_client"}), "application/json")
        return Response(200, json_body({
            "access_token": str(account.get("access_token", DEFAULT_ACCESS_TOKEN)),
            "token_type": "Bearer",
            "expires_in": 3600,
        }), "application/json")

    def _example(self, path: str, account: dict) -> Response:
        name = path[len("/v1/license/artifacts/examples/"):]
        examples_dir = account.get("examples_dir")
        if (not examples_dir or not name.endswith(".tar.gz") or "/" in name or "\\" in name
                or name.startswith(".") or "\0" in name):
            return Response(404, json_body({"error": "not_found"}), "application/json")
        file_path = os.path.join(str(examples_dir), name)
        try:
            size = os.stat(file_path).st_size
        except OSError:
            return Response(404, json_body({"error": "not_found"}), "application/json")
        if not os.path.isfile(file_path):
            return Response(404, json_body({"error": "not_found"}), "application/json")
        stat = os.stat(file_path)
        return Response(200, b"", "application/gzip",
                        [("Content-Disposition", f'attachment; filename="{name}"'),
                         ("ETag", f'"{stat.st_size:x}-{stat.st_mtime_ns:x}"'),
                         ("Last-Modified", formatdate(stat.st_mtime, usegmt=True))],
                        file_path=file_path, file_size=size)

    # ----- sending, with faults -------------------------------------------------------

    def _range(self, response: Response, total: int, ignore_range: bool):
        """(first byte, Content-Range, length) for a `Range: bytes=N-[M]` the answer honours
        (length None when the range starts past the end), else None.

        A range is honoured on a 200 answer unless told to ignore ranges, or an If-Range names
        neither its ETag nor its Last-Modified."""
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        if ignore_range or response.status != 200 or not match:
            return None
        if_range = self.headers.get("If-Range")
        validators = [v for k, v in response.headers if k in ("ETag", "Last-Modified")]
        if if_range is not None and if_range not in validators:
            return None
        first = int(match.group(1))
        last = min(int(match.group(2) or total - 1), total - 1)
        if first > last:
            return (0, f"bytes */{total}", None)
        return (first, f"bytes {first}-{last}/{total}", last - first + 1)

    def _send(self, response: Response, fault: dict, record: dict, chunk_delay: float,
              ignore_range: bool = False) -> None:
        delay = float(fault.get("delay") or 0)
        if delay > 0:
            time.sleep(delay)
        if fault.get("drop"):
            # No answer at all: the client sees the connection close.
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return

        status = int(fault.get("status", response.status))
        for name, value in (fault.get("headers") or {}).items():
            response.headers.append((str(name), str(value)))
        if "location" in fault:
            # `location`: a redirect there (302 unless `status` says otherwise), without a body.
            status = int(fault.get("status", 302))
            response = Response(status, b"", None, [("Location", str(fault["location"]))])
        if "body" in fault:
            response.body = str(fault["body"]).encode("utf-8")
            response.file_path = None
            response.content_type = response.content_type or "application/json"
        # `objects`: a JSON list of that many empty objects (an answer of very many values).
        objects = int(fault.get("objects") or 0)
        if objects > 0:
            response.body = b"[" + b"{}," * (objects - 1) + b"{}]"
            response.file_path = None
        record["status"] = status

        if response.file_path is not None:
            total = response.file_size
        else:
            total = len(response.body)
        no_length = bool(fault.get("no_content_length"))
        truncate = bool(fault.get("truncate"))
        # `fill`: a body of that many spaces, made while it is sent (for size limits).
        fill = int(fault.get("fill") or 0)
        if fill > 0:
            response.body, response.file_path, total = b"", None, fill
        # `trickle`: one byte every that many seconds, without an end (for time limits).
        trickle = float(fault.get("trickle") or 0)
        no_length = no_length or trickle > 0
        # A `Range: bytes=N-[M]` request: 206 with that part (416 past the end).
        first = 0
        ranged = None if (fill or trickle or status != response.status) else \
            self._range(response, total, ignore_range)
        if ranged is not None:
            record["range"] = self.headers.get("Range")
            if ranged[2] is None:
                status, total = 416, 0
                response.file_path, response.body = None, b""
                response.headers.append(("Content-Range", ranged[1]))
            else:
                status, first, total = 206, ranged[0], ranged[2]
                response.headers.append(("Content-Range", ranged[1]))
                response.body = response.body[first:first + total]
            record["status"] = status
        # `cut_after`: the full Content-Length, but only that many bytes, then the connection
        # closes (a transfer broken off mid-way).
        cut_after = fault.get("cut_after")
        truncate = truncate or cut_after is not None

        self.send_response(status, fault.get("reason"))
        for name, value in response.headers:
            self.send_header(name, value)
        if response.content_type:
            self.send_header("Content-Type", response.content_type)
        if no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(total))
        if truncate:
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            self.wfile.flush()
            return

        limit = total // 2 if truncate else total
        if cut_after is not None:
            limit = min(total, int(cut_after))
        sent = 0
        if trickle > 0:
            deadline = time.time() + 300
            while time.time() < deadline:
                self.wfile.write(b" ")
                self.wfile.flush()
                sent += 1
                time.sleep(trickle)
        elif fill > 0:
            block = b" " * CHUNK_SIZE
            while sent < limit:
                self.wfile.write(block[:min(CHUNK_SIZE, limit - sent)])
                sent += min(CHUNK_SIZE, limit - sent)
            self.wfile.flush()
        elif response.file_path is not None:
            with open(response.file_path, "rb") as f:
                f.seek(first)
                while sent < limit:
                    chunk = f.read(min(CHUNK_SIZE, limit - sent))
                    if not chunk:
                        break
                    if sent > 0 and chunk_delay > 0:
                        time.sleep(chunk_delay)
                    self.wfile.write(chunk)
                    self.wfile.flush()
                    sent += len(chunk)
        else:
            while sent < limit:
                chunk = response.body[sent:min(sent + CHUNK_SIZE, limit)]
                if sent > 0 and chunk_delay > 0:
                    time.sleep(chunk_delay)
                self.wfile.write(chunk)
                sent += len(chunk)
            self.wfile.flush()
        record["bytes_sent"] = sent
        if truncate:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class CloudServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, ssl_context: ssl.SSLContext, state_dir: str, verbose: bool):
        self.ssl_context = ssl_context
        self.state_dir = state_dir
        self.verbose = verbose
        self.request_log = RequestLog(os.path.join(state_dir, "requests.log"))
        self.fault_counter = FaultCounter()
        self.connection_start = threading.local()
        super().__init__(address, CloudHandler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, in the connection's own thread, so one slow client
        # cannot hold up accept().
        request.settimeout(IDLE_TIMEOUT)
        # Headers and body go out in separate writes: without this, Nagle's algorithm holds the
        # body back until the client's delayed ACK, 40 ms a request, as no real server would.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # When the connection began, for the log of its first request (benchmarks count the
        # handshake as part of that request).
        self.connection_start.at = time.time()
        # Every accepted connection, even one that never sends a request, leaves one line.
        with open(os.path.join(self.state_dir, "connections.log"), "a", encoding="utf-8") as log:
            log.write(f"{client_address[0]}\n")
        try:
            tls = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as exc:
            if self.verbose:
                sys.stderr.write(f"fake_cloud: TLS handshake with {client_address} failed: {exc}\n")
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def write_atomically(path: str, text: str) -> None:
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--state", required=True, help="directory of account.json, requests.log, port")
    parser.add_argument("--cert", required=True, help="server certificate (PEM)")
    parser.add_argument("--key", required=True, help="server private key (PEM)")
    parser.add_argument("--lifetime", type=float, default=6 * 3600,
                        help="stop by itself after this many seconds (0: never); default 6 h")
    parser.add_argument("--verbose", action="store_true", help="log requests and errors on stderr")
    args = parser.parse_args(argv)

    os.makedirs(args.state, exist_ok=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)

    try:
        server = CloudServer(("127.0.0.1", args.port), context, args.state, args.verbose)
    except OSError as exc:
        print(f"fake_cloud: cannot listen on 127.0.0.1:{args.port}: {exc.strerror or exc}",
              file=sys.stderr)
        return 1

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.lifetime > 0:
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, args.lifetime)

    port = server.server_address[1]
    write_atomically(os.path.join(args.state, "port"), f"{port}\n")
    print(f"READY {port}", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except SystemExit:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
