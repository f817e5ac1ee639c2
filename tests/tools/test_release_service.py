import http.client
from contextlib import closing
import json
import os
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[2] / "tools"
SERVICE = TOOLS / "release_service.py"
sys.path.insert(0, str(TOOLS))
from vorn_tls import ensure_test_tls  # noqa: E402

BIG = os.urandom(3 * 1024 * 1024 + 123)


def pattern(n):
    return bytes(i % 251 for i in range(n))


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.02)


class Service:
    def __init__(self, workdir, root, tls_dir, *options):
        self.ready = workdir / "ready.json"
        self.out, self.err = workdir / "stdout.txt", workdir / "stderr.txt"
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(
                [sys.executable, str(SERVICE), "serve", "--root", str(root), "--tls-dir", str(tls_dir),
                 "--ready-file", str(self.ready), *options], stdout=out, stderr=err)
        try:
            wait_for(lambda: self.ready.exists() or self.process.poll() is not None, "the ready file")
            assert self.ready.exists(), self.err.read_text()
        except BaseException:
            self.stop()
            raise
        self.info = json.loads(self.ready.read_text())
        self.ca = self.info["ca"]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        return self.process.wait(10)

    def port(self, tls):
        return self.info["https" if tls else "http"]

    def log(self):
        return self.err.read_text()

    def requests(self, prefix=None):
        target = "/_requests" + ("" if prefix is None else "?prefix=" + prefix)
        status, _, body = request(self, target)
        assert status == 200
        return json.loads(body)


def connect(service, tls):
    if tls:
        context = ssl.create_default_context(cafile=service.ca)
        sock = socket.create_connection(("localhost", service.port(True)), timeout=10)
        return context.wrap_socket(sock, server_hostname="localhost")
    return socket.create_connection(("127.0.0.1", service.port(False)), timeout=10)


def request(service, target, tls=False, method="GET", keep_alive=False, headers=(), limit=None):
    """One raw request; returns (status, headers, body) with everything read
    until the server closed the connection, or until limit body bytes."""
    lines = [f"{method} {target} HTTP/1.1", "Host: localhost"]
    lines += [] if keep_alive else ["Connection: close"]
    lines += [f"{name}: {value}" for name, value in headers]
    with connect(service, tls) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        data = bytearray()
        while limit is None or len(data) < limit + 4096:
            try:
                chunk = sock.recv(1 << 20)
            except (ConnectionResetError, ssl.SSLEOFError):
                break
            if not chunk:
                break
            data += chunk
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    if not head:
        return None, {}, b""
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = dict(line.split(": ", 1) for line in header_lines)
    return int(status_line.split()[1]), {k.lower(): v for k, v in fields.items()}, body


@pytest.fixture(scope="module")
def tls_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tls")
    ensure_test_tls(directory)
    return directory


@pytest.fixture(scope="module")
def www(tmp_path_factory):
    base = tmp_path_factory.mktemp("site")
    root = base / "www"
    (root / "sub").mkdir(parents=True)
    (root / "big.bin").write_bytes(BIG)
    (root / "small.txt").write_bytes(b"hello")
    (root / "empty.bin").write_bytes(b"")
    (root / "sub" / "inner.txt").write_bytes(b"inner")
    (base / "secret.txt").write_bytes(b"secret")
    (root / "link.txt").symlink_to(base / "secret.txt")
    return root


@pytest.fixture(scope="module")
def service(tmp_path_factory, www, tls_dir):
    running = Service(tmp_path_factory.mktemp("service"), www, tls_dir,
                      "--http-port", "0", "--https-port", "0", "--faults")
    yield running
    running.stop()


class TestCertificates:
    def test_server_certificate_chains_to_ca_for_localhost(self, tls_dir):
        files = ensure_test_tls(tls_dir)
        result = subprocess.run(["openssl", "verify", "-CAfile", files.ca, "-purpose", "sslserver",
                                 "-verify_hostname", "localhost", files.cert], capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_tls_command_creates_once_and_prints_ca(self, tmp_path):
        def run():
            return subprocess.run([sys.executable, str(SERVICE), "tls", "--dir", str(tmp_path / "tls")],
                                  capture_output=True, text=True, check=True).stdout.strip()
        first = run()
        ca = Path(first).read_bytes()
        key = (tmp_path / "tls" / "server.key").read_bytes()
        assert run() == first == str(tmp_path / "tls" / "ca.pem")
        assert Path(first).read_bytes() == ca
        assert (tmp_path / "tls" / "server.key").read_bytes() == key


class TestServing:
    @pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
    def test_files_are_served_byte_exact_on_one_connection(self, service, tls):
        if tls:
            context = ssl.create_default_context(cafile=service.ca)
            conn = http.client.HTTPSConnection("localhost", service.port(True), context=context, timeout=10)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", service.port(False), timeout=10)
        with closing(conn):
            for target, expected in [("/big.bin", BIG), ("/sub/inner.txt", b"inner"),
                                     ("/empty.bin", b""), ("/small.txt?v=2", b"hello")]:
                conn.request("GET", target)
                response = conn.getresponse()
                assert (response.status, response.read()) == (200, expected), target
            conn.request("HEAD", "/big.bin")
            response = conn.getresponse()
            assert response.getheader("Content-Length") == str(len(BIG))
            assert response.read() == b""

    @pytest.mark.parametrize("target", [
        "/../secret.txt", "/%2e%2e/secret.txt", "/sub/..%2f..%2fsecret.txt", "/sub/%2E%2E/%2e%2e/secret.txt",
        "/link.txt", "/_fault/extra=1/../secret.txt", "/", "/sub", "/sub/", "/missing.bin", "/small.txt%00",
    ])
    def test_escapes_directories_and_missing_files_are_404(self, service, target):
        status, _, body = request(service, target)
        assert status == 404
        assert b"secret" not in body

    def test_startup_prints_updater_options(self, service):
        out = service.out.read_text()
        for base in (f"https://localhost:{service.port(True)}", f"http://127.0.0.1:{service.port(False)}"):
            assert f"--manifest-url {base}/manifest.json --download-base {base}" in out
        assert service.ca in out
        assert service.info["pid"] == service.process.pid

    def test_without_faults_test_hooks_are_plain_paths_and_sigterm_exits_cleanly(self, tmp_path, www, tls_dir):
        plain = Service(tmp_path, www, tls_dir, "--http-port", "0")
        try:
            assert (plain.info["https"], plain.info["ca"]) == (None, None)
            assert request(plain, "/small.txt")[0] == 200
            for target in ("/_gen/10", "/_fault/status=500/small.txt", "/_requests"):
                assert request(plain, target)[0] == 404, target
        finally:
            assert plain.stop() == 0


FAULTS = [
    ("/_fault/status=503/t/status", 503, {"content-length": "0"}, b""),
    ("/_fault/status=204/t/no-content", 204, {"content-length": None}, b""),
    ("/_fault/status=302/t/no-location", 302, {"location": None, "content-length": "0"}, b""),
    ("/_fault/redirect=307,to=http%3A%2F%2F127.0.0.1%3A9%2Fnew%3Fq%3D1%2C2/t/redirect", 307,
     {"location": "http://127.0.0.1:9/new?q=1,2", "content-length": "0"}, b""),
    ("/_fault/extra=7/small.txt", 200, {"content-length": "12"}, b"hello" + bytes(7)),
    ("/_fault/extra=3,slow=1/_gen/10", 200, {"content-length": "13"}, pattern(10) + bytes(3)),
    ("/_fault/slow=1/_gen/200000?case=slow", 200, {"content-length": "200000"}, pattern(200000)),
    ("/_fault/delay=20/small.txt", 200, {}, b"hello"),
    ("/_gen/3000000?case=gen", 200, {"content-length": "3000000"}, pattern(3000000)),
    ("/_fault/bogus=1/small.txt", 400, {}, None),
    ("/_fault/status=abc/small.txt", 400, {}, None),
    ("/_fault/status=99/small.txt", 400, {}, None),
    ("/_fault/redirect=302/small.txt", 400, {}, None),
    ("/_fault/truncate=1,truncate=2/small.txt", 400, {}, None),
]


class TestFaults:
    @pytest.mark.parametrize("target, status, headers, body", FAULTS, ids=[f[0] for f in FAULTS])
    def test_directive(self, service, target, status, headers, body):
        got_status, got_headers, got_body = request(service, target)
        assert got_status == status
        for name, value in headers.items():
            assert got_headers.get(name) == value, name
        if body is not None:
            assert got_body == body

    @pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
    def test_truncate_drops_the_connection_mid_body(self, service, tls):
        target = f"/_fault/truncate=10/big.bin?case=truncate-{tls}"
        status, headers, body = request(service, target, tls=tls, keep_alive=True)
        assert (status, headers["content-length"], body) == (200, str(len(BIG)), BIG[:10])
        [record] = service.requests(target.replace("?", "%3F"))
        assert (record["status"], record["bytes"]) == (200, 10)

    def test_drop_closes_without_an_answer(self, service):
        assert request(service, "/_fault/drop=1/small.txt", keep_alive=True) == (None, {}, b"")
        with pytest.raises(http.client.RemoteDisconnected):
            conn = http.client.HTTPConnection("127.0.0.1", service.port(False), timeout=10)
            conn.request("GET", "/_fault/delay=1,drop=1/small.txt")
            conn.getresponse()

    @pytest.mark.parametrize("name, content", [("small.txt", b"hello"), ("big.bin", BIG), ("", b"\0")])
    def test_endless_repeats_until_the_client_stops(self, service, name, content):
        target = f"/_fault/endless=1/{name}?case=endless"
        wanted = 2 * len(BIG) + 1000
        status, headers, body = request(service, target, keep_alive=True, limit=wanted)
        assert status == 200
        assert "content-length" not in headers and headers["connection"] == "close"
        assert len(body) >= wanted
        repeats = len(body) // len(content) + 1
        assert body == (content * repeats)[:len(body)]
        # The server logs a request when it has finished with it.
        wait_for(lambda: f'"GET {target}" 200' in service.log(), "the endless response to stop")


class TestRequestLog:
    def test_records_raw_path_user_agent_status_and_bytes(self, service):
        request(service, "/t/log/a.bin?x=1&y=%20z", headers=[("User-Agent", "VORN-Test/1.0")])
        request(service, "/_fault/extra=2/small.txt?t=/t/log/", method="HEAD")
        request(service, "/t/other/b.bin")
        _, _, body = request(service, "/t/log/a.bin?x=1&y=%20z")
        expected = {"method": "GET", "path": "/t/log/a.bin?x=1&y=%20z", "user_agent": "VORN-Test/1.0",
                    "status": 404, "bytes": len(body)}
        records = service.requests("%2Ft%2Flog%2F")
        assert records[0] == expected
        assert [r["user_agent"] for r in records] == ["VORN-Test/1.0", None]
        assert expected in service.requests()
        [head] = service.requests("/_fault/extra=2/small.txt")
        assert (head["method"], head["status"], head["bytes"]) == ("HEAD", 200, 0)

    def test_log_requests_are_not_logged(self, service):
        service.requests("/_requests")
        assert service.requests("/_requests") == []

    def test_every_request_goes_to_stderr(self, service):
        request(service, "/small.txt?case=stderr")
        wait_for(lambda: '"GET /small.txt?case=stderr" 200 5' in service.log(), "the log line")
