#!/usr/bin/env python3
"""Local download service for trying out and testing the updater.

Serves a release directory over HTTP and/or HTTPS on the loopback interface.
With --faults it also misbehaves on request and keeps a request log:

  /_fault/<key=value,...>/<path>  serve <path> with the listed faults:
      status=N          answer N with an empty body (no body at all for 204/304)
      redirect=N,to=URL answer N with Location URL (percent-encoded in the path)
      truncate=N        full Content-Length, then N body bytes and a dropped connection
      drop=1            close the connection without answering
      extra=N           N zero bytes after the file, counted in Content-Length
      endless=1         close-delimited body repeating the file (zeros if no path)
      slow=MS           pause MS milliseconds between 64 KiB pieces of the body
      delay=MS          pause MS milliseconds before the headers
  /_gen/<N>                       N bytes where byte i is i % 251
  /_requests[?prefix=P]           JSON list of the requests seen (whose path starts with P)
"""
import argparse
import itertools
import json
import os
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import unquote

from vorn_tls import ensure_test_tls

CHUNK = 1 << 20
SLOW_PIECE = 64 << 10
ENDLESS_CAP = 2 << 30
ZEROS = bytes(CHUNK)
PATTERN = memoryview(bytes(range(251)) * (CHUNK // 251 + 2))
NUMERIC_FAULTS = {"status", "redirect", "truncate", "drop", "extra", "endless", "slow", "delay"}


def log(message):
    print(message, file=sys.stderr, flush=True)


def default_tls_dir():
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return Path(cache) / "vorn-release-service" / "tls"


def parse_faults(text):
    """'key=value,...' -> dict; raises ValueError naming what is wrong."""
    faults = {}
    for item in text.split(","):
        key, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"malformed fault directive {item!r}")
        if key in faults:
            raise ValueError(f"fault directive {key!r} given twice")
        if key == "to":
            faults[key] = unquote(value)
            continue
        if key not in NUMERIC_FAULTS:
            raise ValueError(f"unknown fault directive {key!r}")
        if not (value.isascii() and value.isdigit()):
            raise ValueError(f"fault directive {key!r} needs a non-negative integer")
        faults[key] = int(value)
    if not 200 <= faults.get("status", 200) <= 599:
        raise ValueError("status must be within 200-599")
    if not 300 <= faults.get("redirect", 300) <= 399:
        raise ValueError("redirect must be within 300-399")
    if ("redirect" in faults) != ("to" in faults):
        raise ValueError("redirect and to go together")
    if "redirect" in faults and "status" in faults:
        raise ValueError("status and redirect exclude each other")
    return faults


class FileBody:
    def __init__(self, path):
        self.file = open(path, "rb", buffering=0)
        self.size = os.fstat(self.file.fileno()).st_size
        self.content_type = "application/json" if path.suffix == ".json" else "application/octet-stream"

    def chunks(self, count):
        """Yields the first count bytes; each piece is valid until the next is requested."""
        buffer = memoryview(bytearray(CHUNK))
        self.file.seek(0)
        while count > 0:
            n = self.file.readinto(buffer[:min(CHUNK, count)])
            if not n:
                raise OSError("file shrank while being served")
            count -= n
            yield buffer[:n]

    def close(self):
        self.file.close()


class GeneratedBody:
    content_type = "application/octet-stream"

    def __init__(self, size):
        self.size = size

    def chunks(self, count):
        for offset in range(0, count, CHUNK):
            start = offset % 251
            yield PATTERN[start:start + min(CHUNK, count - offset)]

    def close(self):
        pass


def endless_chunks(body):
    if body is None or body.size == 0:
        yield from itertools.repeat(ZEROS)
    elif body.size >= CHUNK:
        while True:
            yield from body.chunks(body.size)
    else:
        # Small bodies repeat as whole copies packed into one block, to keep writes large.
        data = b"".join(bytes(piece) for piece in body.chunks(body.size))
        yield from itertools.repeat(data * -(-CHUNK // len(data)))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VORNReleaseService/1"
    # Also bounds how long a send may block, so a client that stops reading
    # an endless body releases its thread.
    timeout = 60

    def do_GET(self):
        self._handle(head=False)

    def do_HEAD(self):
        self._handle(head=True)

    def log_request(self, code="-", size="-"):
        pass  # _handle writes one line per request, including the bytes sent

    def _handle(self, head):
        self.record = {"method": self.command, "path": self.path,
                       "user_agent": self.headers.get("User-Agent"), "status": None, "bytes": 0}
        target, _, query = self.path.partition("?")
        outcome = ""
        try:
            if self.server.faults and target == "/_requests":
                self._requests(query, head)
                return
            if self.server.faults:
                self.server.records.append(self.record)
            self._route(target, head)
        except OSError as error:
            self.close_connection = True
            outcome = f" (aborted: {error!r})"
        finally:
            log(f'{self.client_address[0]} "{self.command} {self.path}" '
                f'{self.record["status"] or "-"} {self.record["bytes"]}{outcome}')

    def _route(self, target, head):
        faults = {}
        if self.server.faults and target.startswith("/_fault/"):
            directives, _, rest = target[len("/_fault/"):].partition("/")
            try:
                faults = parse_faults(directives)
            except ValueError as error:
                self._reply(400, f"{error}\n".encode(), head)
                return
            target = "/" + rest
        if "delay" in faults:
            time.sleep(faults["delay"] / 1000)
        if faults.get("drop"):
            self._abort()
        elif "status" in faults:
            self._reply(faults["status"], b"", head)
        elif "redirect" in faults:
            self._reply(faults["redirect"], b"", head, [("Location", faults["to"])])
        elif faults.get("endless") and target == "/":
            self._send(None, faults, head)
        else:
            body = self._open(target)
            if body is None:
                self._reply(404, b"not found\n", head)
                return
            try:
                self._send(body, faults, head)
            finally:
                body.close()

    def _open(self, target):
        if self.server.faults and target.startswith("/_gen/"):
            size = target[len("/_gen/"):]
            return GeneratedBody(int(size)) if size.isascii() and size.isdigit() else None
        relative = unquote(target).lstrip("/")
        if "\0" in relative:
            return None
        root = self.server.root
        path = (root / relative).resolve()
        # Resolving first catches both ".." and symbolic links that leave the root.
        if root not in path.parents or not path.is_file():
            return None
        try:
            return FileBody(path)
        except OSError:
            return None

    def _send(self, body, faults, head):
        pause = faults.get("slow", 0) / 1000
        piece = SLOW_PIECE if pause else CHUNK
        content_type = body.content_type if body else "application/octet-stream"
        if faults.get("endless"):
            self.close_connection = True
            self._start(200, [("Content-Type", content_type), ("Connection", "close")])
            if not head:
                self._write(endless_chunks(body), ENDLESS_CAP, piece, pause)
            return
        length = body.size + faults.get("extra", 0)
        self._start(200, [("Content-Type", content_type), ("Content-Length", length)])
        if head:
            return
        count = min(faults.get("truncate", length), length)
        from_body = min(count, body.size)
        if isinstance(body, FileBody) and self.server.tls_context is None and not pause:
            self._sendfile(body, from_body)
        else:
            self._write(body.chunks(from_body), from_body, piece, pause)
        if count > from_body:
            self._write(itertools.repeat(ZEROS), count - from_body, piece, pause)
        if "truncate" in faults:
            self._abort()

    def _start(self, status, headers):
        self.record["status"] = status
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, str(value))
        self.end_headers()

    def _reply(self, status, data, head, headers=(), content_type="text/plain; charset=utf-8"):
        headers = list(headers)
        if status not in (204, 304):
            headers += [("Content-Type", content_type), ("Content-Length", len(data))]
        self._start(status, headers)
        if data and not head and status not in (204, 304):
            self._write([data], len(data), CHUNK, 0)

    # Both writers count bytes before sending them, so once a client holds the
    # whole body, /_requests already reports it; failures take back what was not sent.
    def _write(self, chunks, limit, piece, pause):
        sent = 0
        for chunk in chunks:
            for start in range(0, len(chunk), piece):
                part = chunk[start:start + min(piece, limit - sent)]
                if pause and sent:
                    time.sleep(pause)
                self.record["bytes"] += len(part)
                try:
                    self.wfile.write(part)
                except OSError:
                    self.record["bytes"] -= len(part)
                    raise
                sent += len(part)
                if sent >= limit:
                    return

    def _sendfile(self, body, count):
        if count == 0:
            return  # socket.sendfile refuses a count of 0
        self.record["bytes"] += count
        try:
            sent = self.connection.sendfile(body.file, 0, count)
        except OSError:
            # socket.sendfile leaves the file positioned after what it sent.
            self.record["bytes"] -= count - body.file.tell()
            raise
        if sent < count:
            self.record["bytes"] -= count - sent
            raise OSError("file shrank while being served")

    def _abort(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _requests(self, query, head):
        prefix = ""
        for item in query.split("&"):
            key, _, value = item.partition("=")
            if key == "prefix":
                prefix = unquote(value)
        records = [dict(r) for r in list(self.server.records) if r["path"].startswith(prefix)]
        self._reply(200, json.dumps(records).encode(), head, content_type="application/json")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 128

    def __init__(self, host, port, root, faults, records, tls_context=None):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.root, self.faults, self.records = root, faults, records
        self.tls_context = tls_context
        super().__init__((host, port), Handler)

    def server_bind(self):
        # HTTPServer's own server_bind adds a reverse DNS lookup that is of no use here.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = "localhost", self.server_address[1]

    def finish_request(self, request, client_address):
        if self.tls_context is None:
            super().finish_request(request, client_address)
            return
        # The handshake runs here, in the connection's own thread, so a stalled
        # client cannot hold up accepting others.
        request.settimeout(Handler.timeout)
        with self.tls_context.wrap_socket(request, server_side=True) as connection:
            self.RequestHandlerClass(connection, client_address, self)

    def handle_error(self, request, client_address):
        log(f"{client_address[0]} connection failed: {sys.exc_info()[1]!r}")


def write_ready_file(path, info):
    path = Path(path)
    temporary = path.with_name(f"{path.name}.{os.getpid()}.tmp")
    temporary.write_text(json.dumps(info))
    os.replace(temporary, path)


def serve(args):
    root = Path(args.root).resolve()
    if not root.is_dir():
        sys.exit(f"release_service: not a directory: {args.root}")
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    records = []
    servers = {}
    ca = None
    try:
        if args.https_port is not None:
            tls = ensure_test_tls(args.tls_dir)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(tls.cert, tls.key)
            servers["https"] = Server(args.host, args.https_port, root, args.faults, records, context)
            ca = tls.ca
        if args.http_port is not None:
            servers["http"] = Server(args.host, args.http_port, root, args.faults, records)
    except (OSError, RuntimeError) as error:
        sys.exit(f"release_service: {error}")
    for server in servers.values():
        # A short poll interval keeps shutdown on SIGTERM quick.
        threading.Thread(target=server.serve_forever, args=(0.1,), daemon=True).start()

    ports = {scheme: server.server_address[1] for scheme, server in servers.items()}
    http_host = args.host if args.host not in ("0.0.0.0", "::", "") else "127.0.0.1"
    if ":" in http_host:
        http_host = f"[{http_host}]"
    bases = {}
    if "https" in ports:
        bases["https"] = f"https://localhost:{ports['https']}"
    if "http" in ports:
        bases["http"] = f"http://{http_host}:{ports['http']}"
    print(f"serving {root}")
    for base in bases.values():
        print(f"  {base}/")
    if ca:
        print(f"HTTPS clients must trust the test CA: {ca}")
    print("updater options:")
    for base in bases.values():
        print(f"  --manifest-url {base}/manifest.json --download-base {base}")
    if args.faults:
        print("fault injection on: /_fault/<directives>/<path>, /_gen/<n>, /_requests")
    sys.stdout.flush()
    if args.ready_file:
        write_ready_file(args.ready_file, {"http": ports.get("http"), "https": ports.get("https"),
                                           "ca": str(ca) if ca else None, "pid": os.getpid()})

    stop.wait()
    for server in servers.values():
        server.shutdown()
        server.server_close()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="Local download service for updater releases.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("serve", help="serve a release directory")
    run.add_argument("--root", required=True, help="directory to serve")
    run.add_argument("--https-port", type=int, help="HTTPS port (0 picks a free one)")
    run.add_argument("--http-port", type=int, help="HTTP port (0 picks a free one)")
    run.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    run.add_argument("--tls-dir", type=Path, default=default_tls_dir(),
                     help="where the test CA and server certificate live (default %(default)s)")
    run.add_argument("--faults", action="store_true", help="enable fault injection and /_requests")
    run.add_argument("--ready-file", help="write the ports as JSON here once listening")
    tls = commands.add_parser("tls", help="create the test CA and server certificate; print the CA path")
    tls.add_argument("--dir", type=Path, default=default_tls_dir(), help="default %(default)s")
    args = parser.parse_args(argv)

    if args.command == "tls":
        try:
            print(ensure_test_tls(args.dir).ca)
        except (OSError, RuntimeError) as error:
            sys.exit(f"release_service: {error}")
        return 0
    if args.https_port is None and args.http_port is None:
        run.error("give --https-port, --http-port or both")
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
