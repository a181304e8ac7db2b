"""A scripted update endpoint on the loopback interface: HTTPS on the port the
test launcher was built for, and plain HTTP beside it, for redirects that
leave HTTPS. A run scripts the answers by path and the certificate shown, or
has connections held unanswered; afterwards it reads what was asked, headers
in the order and case they came. Every wait is bounded: sockets time out,
and slow answers end at the next reset.
"""

import dataclasses
import socket
import socketserver
import ssl
import threading
import time
from typing import Dict, List, Optional, Tuple

SOCKET_TIMEOUT_SECONDS = 30.0
NO_UPDATE = b'{"update":""}'


@dataclasses.dataclass
class Response:
    """What the endpoint answers: drip sends the body a byte at a time with
    this many seconds between bytes; size streams a body of that many bytes,
    body first and blanks after; drop closes the connection after half the
    body; delay waits before answering."""

    body: bytes = NO_UPDATE
    status: int = 200
    headers: Tuple[Tuple[str, str], ...] = (("Content-Type", "application/json"),)
    delay: float = 0.0
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
            endpoint.connections += 1
            release, holding, context = endpoint._release, endpoint._holding, endpoint._context
        if holding:  # accepted, never answered, not even the TLS handshake
            release.wait(SOCKET_TIMEOUT_SECONDS)
            return
        secure = self.server.secure
        try:
            connection = context.wrap_socket(self.request, server_side=True) if secure else self.request
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                head += chunk
            lines = head.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
            headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
            path = lines[0].split(" ")[1].split("?")[0]
            with endpoint._lock:
                endpoint.requests.append(Request(path, headers, secure))
                response = endpoint.routes.get(path, endpoint.routes.get("*", Response()))
            self._answer(connection, response, release)
        except (OSError, ssl.SSLError, IndexError):
            pass

    @staticmethod
    def _answer(connection, response: Response, release: threading.Event):
        if response.delay and release.wait(response.delay):
            return
        size = response.size or len(response.body)
        head = f"HTTP/1.1 {response.status} Status\r\nContent-Length: {size}\r\nConnection: close\r\n"
        head += "".join(f"{key}: {value}\r\n" for key, value in response.headers)
        connection.sendall((head + "\r\n").encode("latin-1"))
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
        self.port = port
        self.session_context = self._context = self.context_for(cert, key)
        self._lock = threading.Lock()
        self._release = threading.Event()
        self._holding = False
        self._servers: List[_Server] = []
        self.routes: Dict[str, Response] = {}
        self.requests: List[Request] = []
        self.connections = 0
        self.plain_port = 0

    @staticmethod
    def context_for(cert, key) -> ssl.SSLContext:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(str(cert), str(key))
        return context

    def start(self) -> "Endpoint":
        for port, secure in ((self.port, True), (self.plain_port, False)):
            server = _Server(("127.0.0.1", port), _Handler)
            server.endpoint, server.secure = self, secure
            if not secure:
                self.plain_port = server.server_address[1]
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                             daemon=True).start()
            self._servers.append(server)
        return self

    def stop(self):
        self._release.set()
        for server in self._servers:
            server.shutdown()
            server.server_close()
        self._servers = []

    def reset(self, routes: Optional[Dict[str, Response]] = None, context=None, holding=False):
        """Ends what the last run left waiting, then scripts the next one:
        routes by path ("*" for any other), the TLS context to show, or
        connections held unanswered."""
        with self._lock:
            self._release.set()
            self._release = threading.Event()
            self.routes = dict(routes or {})
            self._context = context or self.session_context
            self._holding = holding
            self.requests, self.connections = [], 0


def wait_until(condition, timeout: float, interval: float = 0.05):
    """The condition's first true value, or None when the time is up."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    return None


def refuses(port: int) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return False
    except ConnectionRefusedError:
        return True
