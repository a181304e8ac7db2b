"""The update endpoints of the bench, on 127.0.0.1. Endpoint is scripted: HTTPS on the launcher's
port and plain HTTP beside it, answers by path, the certificate shown, connections held unanswered;
every wait ends at the next reset. ReferenceEndpoint is the shipped endpoint/ under nginx and
PHP-FPM, in the foreground from a scratch folder, with the shipped nginx site (its logs there,
127.0.0.2 its load balancer), which also serves the files placed in downloads/ at /download/<name>.
"""

import contextlib
import ctypes
import dataclasses
import http.client
import os
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

SOCKET_TIMEOUT_SECONDS = 30.0
NO_UPDATE = b'{"update":""}'


@dataclasses.dataclass
class Response:
    """What the endpoint answers: drip sends the body a byte at a time with
    this many seconds between bytes; size makes a body of that many bytes,
    body first and blanks after; drop closes the connection after half of it."""

    body: bytes = NO_UPDATE
    status: int = 200
    headers: Tuple[Tuple[str, str], ...] = (("Content-Type", "application/json"),)
    drip: float = 0.0
    size: int = 0
    drop: bool = False


@dataclasses.dataclass
class Request:
    path: str
    headers: List[Tuple[str, str]]
    secure: bool

    def header(self, name: str) -> Optional[str]:
        values = [value for key, value in self.headers if key.lower() == name.lower()]
        return values[0] if len(values) == 1 else None  # a repeated header counts as none


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        endpoint: Endpoint = self.server.endpoint
        self.request.settimeout(SOCKET_TIMEOUT_SECONDS)
        with endpoint._lock:
            release, holding, context = endpoint._release, endpoint._holding, endpoint._context
        if holding:  # accepted, never answered, not even the TLS handshake
            release.wait(SOCKET_TIMEOUT_SECONDS)
            return
        secure, head = self.server.secure, b""
        with contextlib.suppress(OSError, IndexError):  # an ssl.SSLError is an OSError
            connection = (context.wrap_socket(self.request, server_side=True) if secure
                          else self.request)
            while b"\r\n\r\n" not in head and len(head) < 65536:
                if not (chunk := connection.recv(4096)):
                    return
                head += chunk
            lines = head.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
            headers = [tuple(part.strip() for part in line.split(":", 1))
                       for line in lines[1:] if ":" in line]
            path = lines[0].split(" ")[1].split("?")[0]
            with endpoint._lock:
                endpoint.requests.append(Request(path, headers, secure))
                response = endpoint.routes.get(path, endpoint.routes.get("*", Response()))
            size = response.size or len(response.body)
            head = "".join(f"{key}: {value}\r\n" for key, value in (
                ("Content-Length", size), *response.headers, ("Connection", "close")))
            connection.sendall(f"HTTP/1.1 {response.status} Status\r\n{head}\r\n".encode("latin-1"))
            body = response.body + b" " * (size - len(response.body))
            body = body[: size // 2] if response.drop else body
            step = 1 if response.drip else 1 << 16
            for start in range(0, len(body), step):
                if start and response.drip and release.wait(response.drip):
                    return
                connection.sendall(body[start:start + step])


class _Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Endpoint:
    def __init__(self, cert, key, port: int):
        self.port, self.plain_port, self._servers, self._lock = port, 0, [], threading.Lock()
        self.session_context, self._release = self.context_for(cert, key), threading.Event()
        self.reset()

    @staticmethod
    def context_for(cert, key) -> ssl.SSLContext:
        (context := ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)).load_cert_chain(str(cert), str(key))
        return context

    def start(self) -> "Endpoint":
        for port, secure in ((self.port, True), (self.plain_port, False)):
            server = _Server(("127.0.0.1", port), _Handler)
            server.endpoint, server.secure = self, secure
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                             daemon=True).start()
            self._servers.append(server)
        self.plain_port = server.server_address[1]  # the first start's stays for the next
        return self

    def stop(self):
        self._release.set()
        for server in self._servers:
            server.shutdown()
            server.server_close()
        self._servers = []

    def reset(self, routes: Optional[Dict[str, Response]] = None, context=None, holding=False):
        """Ends what the last run left waiting, then scripts the next one: routes by path ("*" for
        any other), the TLS context to show, or connections held unanswered."""
        with self._lock:
            self._release.set()
            self._release = threading.Event()
            self.routes = dict(routes or {})
            self._context = context or self.session_context
            self._holding = holding
            self.requests = []


def wait_until(condition, timeout: float, interval: float = 0.05):
    """The condition's first true value, or None when the time is up."""
    deadline = time.monotonic() + timeout
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value or None


ENDPOINT = Path(__file__).resolve().parent.parent / "endpoint"
NGINX = Path("/usr/sbin/nginx")


def end_with_parent():  # in the child before exec: it ends with its parent, even a killed one
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _first_words(program: Path, count: int) -> str:
    run = subprocess.run([program, "-v"], capture_output=True, text=True, timeout=5)
    return " ".join((run.stdout + run.stderr).split()[:count])


def self_signed(folder: Path, key: str = "rsa:2048"):
    """A certificate for localhost that signs itself, and its key, made in the folder."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", key, "-nodes", "-days", "2", "-keyout",
                    folder / "key.pem", "-out", folder / "cert.pem", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"],
                   capture_output=True, cwd=folder, timeout=60, check=True)
    return folder / "cert.pem", folder / "key.pem"


def replaced(text: str, pairs: dict) -> str:  # a placeholder gone missing fails, never passes
    for old, new in pairs.items():
        if old not in text:
            raise RuntimeError(f"a shipped configuration no longer holds {old}")
        text = text.replace(old, new)
    return text


class ReferenceEndpoint:
    def __init__(self, folder: Path, port: int, cert: Path, key: Path):
        f = self.folder = Path(folder).resolve()
        self.port, self.versions, self._processes, self._seen = port, "", [], 0
        self.address = "127.0.0.1"  # where nginx listens
        self.context = ssl.create_default_context(cafile=cert)
        self.context.verify_flags |= ssl.VERIFY_X509_PARTIAL_CHAIN  # a CA's leaf, or its own
        self.downloads = f / "downloads"
        [made.mkdir(parents=True, exist_ok=True) for made in (f / "www", self.downloads)]
        for source in [*ENDPOINT.glob("*.php"), ENDPOINT / "publish"]:  # which a farm node runs
            shutil.copy(source, f / "www")
        (f / "site.conf").write_text(replaced((ENDPOINT / "nginx-site.conf").read_text(), {
                "listen 443 ssl;": f"listen 127.0.0.1:{port} ssl;", "listen [::]:443 ssl;": "",
                "/etc/ssl/certs/updates.example.com.pem": str(Path(cert).resolve()),
                "/etc/ssl/private/updates.example.com.key": str(Path(key).resolve()),
                "/srv/tapwright-endpoint": str(f / "www"),
                "/run/php/tapwright-endpoint.sock": str(f / "php-fpm.sock"),
                "/var/log/nginx/": f"{f}/", "192.0.2.1;": "127.0.0.2;",
                "    location / {": f"    location /download/ {{ alias {self.downloads}/; }}\n"
                                   + "    location / {"}))
        temp_paths = "".join(f"{kind}_temp_path {f}/{kind}_temp; "
                             for kind in ("client_body", "fastcgi", "proxy", "scgi", "uwsgi"))
        # As root, nginx's workers would be nobody, who cannot reach the root-owned PHP-FPM socket.
        # The http block is a tuned machine's, with the caches and hardening that guides advise,
        # which the site must set aside where its answers rely on it.
        (f / "nginx.conf").write_text(
            f"daemon off; worker_processes 1; pid {f}/nginx.pid; error_log {f}/nginx.log;\n"
            + ("user root;\n" if os.geteuid() == 0 else "")
            + "events { worker_connections 1024; }\n"
            + "http { log_format asked '$request_method $request_uri with User-Version: "
            + "$http_user_version, User-Debug: $http_user_debug: status $status';\n"
            + "  open_file_cache max=1000 inactive=60s; open_file_cache_valid 60s; "
            + "open_file_cache_errors on; disable_symlinks on; expires 1h;\n"
            + f"  fastcgi_cache_path {f}/cache keys_zone=tuned:1m; fastcgi_cache tuned; "
            + "fastcgi_cache_valid any 1m; fastcgi_ignore_headers Cache-Control Expires Vary;\n"
            + f"  access_log {f}/access.log asked; {temp_paths}include {f}/site.conf; }}\n")
        (f / "php-fpm.conf").write_text(
            f"[global]\npid = {f}/php-fpm.pid\nerror_log = {f}/php-fpm.log\n[endpoint]\n"
            + f"listen = {f}/php-fpm.sock\npm = static\npm.max_children = 2\n")

    @classmethod
    @contextlib.contextmanager
    def scratch(cls):  # started on a free port in a scratch folder, with a certificate of its own
        with socket.socket() as probe:  # free on 127.0.0.1, and almost surely on 127.0.0.x too
            port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
        with tempfile.TemporaryDirectory() as folder:
            with cls(folder, port, *self_signed(Path(folder))) as endpoint:
                yield endpoint

    def asked(self) -> list:
        """The requests answered since the last call, as nginx logged them."""
        lines = (self.folder / "access.log").read_text().splitlines()[self._seen:]
        self._seen += len(lines)
        return lines

    def publish(self, *arguments: str, check=True) -> subprocess.CompletedProcess:
        """endpoint/publish into www/: its run; checked, a refusal raises publish's message."""
        run = subprocess.run([ENDPOINT / "publish", *arguments, self.folder / "www"],
                             capture_output=True, text=True, timeout=60)
        if check and run.returncode:
            raise RuntimeError(run.stderr.strip() or f"publish: {run.returncode}")
        return run

    def ask(self, *versions: str, source="127.0.0.1", forwarded=None,
            headers=()) -> http.client.HTTPResponse:
        """A GET of /api.init.php from that loopback address, its body read into .body."""
        connection = http.client.HTTPSConnection("localhost", self.port, context=self.context,
                                                 source_address=(source, 0), timeout=30)
        connection.request("GET", "/api.init.php", headers=dict(  # a second version: a second
            zip(("User-Version", "user-version"), versions),  # User-Version header
            **{"X-Forwarded-For": forwarded} if forwarded else {}, **dict(headers)))
        answer = connection.getresponse()
        answer.body = answer.read()
        return connection.close() or answer

    def buckets(self, *asked: tuple) -> list:
        """The buckets that the adoption log gives a GET from each (source, forwarded) as ask takes
        them, each found by a version of its own (one call an endpoint) in the line nginx writes."""
        versions = [f"0.1.{n // 60000}.{n % 60000}" for n in range(len(asked))]
        for version, (source, forwarded) in zip(versions, asked):
            self.ask(version, source=source, forwarded=forwarded)
        log = lambda: dict(line.split()[1:3] for line in (  # noqa: E731
            self.folder / "tapwright-adoption.log").read_text().splitlines())
        found = wait_until(lambda: (lines := log()).keys() >= set(versions) and lines, 10)
        return [found[version] for version in versions]

    def start(self) -> "ReferenceEndpoint":
        f, fpm = self.folder, sorted(Path("/usr/sbin").glob("php-fpm*"))
        if not fpm or not NGINX.is_file():
            raise RuntimeError("nginx or php-fpm is missing: run scripts/install-deps")
        self.versions = f"{_first_words(NGINX, 3).split()[-1]}, {_first_words(fpm[-1], 2)}"
        as_root = ["-R"] if os.geteuid() == 0 else []  # PHP-FPM refuses root unless told
        self._spawn([fpm[-1], "-F", "-y", f / "php-fpm.conf", *as_root])
        self._spawn([NGINX, "-p", f, "-c", f / "nginx.conf", "-e", f / "nginx.log"])
        return self._started("php-fpm.sock")

    def _started(self, sock: str):  # every server alive, the socket made and the port open
        f, died = self.folder, lambda: any(p.poll() is not None for p in self._processes)
        if wait_until(lambda: died() or (f / sock).exists() and self._accepts(), 10) and not died():
            return self
        self.stop()
        logs = "".join(log.read_text()[-400:] for log in [*f.glob("*.log"), f / "servers.out"])
        raise RuntimeError(f"the servers in {f} did not start:\n{logs}")

    def stop(self):
        # nginx first, so that no request meets a PHP-FPM that is already gone. Each server leads
        # its own process group, so its workers go with it even when it must be killed.
        for process in reversed(self._processes):
            for signum in (signal.SIGTERM, signal.SIGKILL):  # the second after 3 s
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signum)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(3)
                    break
        self._processes = []

    def __enter__(self) -> "ReferenceEndpoint":
        return self.start()

    def __exit__(self, *_):
        self.stop()

    def _spawn(self, command: list):
        with open(self.folder / "servers.out", "ab") as out:
            self._processes.append(subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True, preexec_fn=end_with_parent))

    def _accepts(self) -> bool:
        with contextlib.suppress(OSError):
            return socket.create_connection((self.address, self.port), 1).close() or True
        return False
