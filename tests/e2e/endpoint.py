"""A scriptable HTTPS endpoint on the loopback interface, standing in for the
product's update service in the end-to-end tests.

Each case scripts the answers (status, body, delays, slow or broken
connections, bodies too large to keep in memory), the certificate it shows,
whether it answers at all and whether it listens at all, and afterwards reads
what the launcher sent: method, path, headers in the order and case they came
in. Everything is bounded: sockets time out, generated bodies stream from a
pattern, held and dripping connections let go at the next reset, and stop()
ends the server.
"""

import argparse
import contextlib
import dataclasses
import socket
import socketserver
import ssl
import threading
import time
from typing import Callable, List, Optional, Tuple

# A connection that stays silent longer than this is dropped, so that a case
# that goes wrong cannot hold a thread past the end of the run.
SOCKET_TIMEOUT_SECONDS = 30.0
MAX_REQUEST_HEAD_BYTES = 64 * 1024


@dataclasses.dataclass
class Response:
    """What the endpoint does with one request.

    drop: None, or where to close the connection without a proper answer:
      "before-status" (after reading the request), "after-headers",
      "mid-body" (after half of the body).
    drip_bytes/drip_interval: send the body in pieces of drip_bytes with a
      pause of drip_interval seconds between them.
    generated_body_size: stream a body of this many bytes: body first,
      then generated_pattern for the rest (for replies larger than anyone
      should keep).
    """

    status: int = 200
    reason: str = ""
    body: bytes = b""
    headers: Tuple[Tuple[str, str], ...] = (("Content-Type", "application/json"),)
    delay: float = 0.0
    drip_bytes: int = 0
    drip_interval: float = 0.0
    drop: Optional[str] = None
    generated_body_size: int = 0
    generated_pattern: bytes = b"x"
    send_content_length: bool = True


@dataclasses.dataclass
class Request:
    method: str
    path: str
    version: str
    headers: List[Tuple[str, str]]
    client: Tuple[str, int]
    received_at: float

    def header(self, name: str) -> Optional[str]:
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def header_count(self, name: str) -> int:
        return sum(1 for key, _ in self.headers if key.lower() == name.lower())

    @property
    def user_agent(self) -> Optional[str]:
        return self.header("User-Agent")


class _Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = True

    def __init__(self, address, endpoint: "Endpoint"):
        self.endpoint = endpoint
        super().__init__(address, _Handler)


class _Handler(socketserver.BaseRequestHandler):
    """One connection: TLS handshake in this thread (a client that stalls in
    the handshake then holds only its own thread), one request, one answer."""

    def handle(self):
        endpoint: Endpoint = self.server.endpoint
        raw: socket.socket = self.request
        raw.settimeout(SOCKET_TIMEOUT_SECONDS)
        release = endpoint._note_connection()
        if endpoint._holding:
            self._hold(raw, release)
            return
        try:
            connection = (endpoint._context or endpoint.context).wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError) as error:
            endpoint._note_tls_error(self.client_address, error)
            return
        try:
            head = self._read_head(connection)
            if head is None:
                return
            request = self._parse(head)
            response = endpoint._record_and_choose(request)
            self._answer(connection, response, release)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            try:
                connection.close()
            except OSError:
                pass

    @staticmethod
    def _hold(raw: socket.socket, release: threading.Event):
        """Accepted and never answered, not even the TLS handshake: what the
        client sends is read and ignored until it gives up, the case ends or
        the socket time-out passes."""
        deadline = time.monotonic() + SOCKET_TIMEOUT_SECONDS
        raw.settimeout(0.2)
        try:
            while not release.is_set() and time.monotonic() < deadline:
                try:
                    if not raw.recv(4096):
                        return
                except socket.timeout:
                    continue
        except OSError:
            pass
        finally:
            raw.close()

    def _read_head(self, connection) -> Optional[bytes]:
        data = b""
        while b"\r\n\r\n" not in data:
            if len(data) > MAX_REQUEST_HEAD_BYTES:
                return None
            chunk = connection.recv(4096)
            if not chunk:
                return None
            data += chunk
        return data.split(b"\r\n\r\n", 1)[0]

    def _parse(self, head: bytes) -> Request:
        lines = head.decode("latin-1").split("\r\n")
        method, path, version = (lines[0].split(" ", 2) + ["", ""])[:3]
        headers = []
        for line in lines[1:]:
            if ":" in line:
                key, value = line.split(":", 1)
                headers.append((key.strip(), value.strip()))
        return Request(method, path, version, headers, self.client_address, time.monotonic())

    def _answer(self, connection, response: Response, release: threading.Event):
        # Every wait ends early when the case is over, so that a slow answer
        # cannot outlive its case.
        if response.delay and release.wait(response.delay):
            return
        if response.drop == "before-status":
            return
        size = response.generated_body_size or len(response.body)
        reason = response.reason or _REASONS.get(response.status, "Status")
        head = f"HTTP/1.1 {response.status} {reason}\r\n"
        for key, value in response.headers:
            head += f"{key}: {value}\r\n"
        if response.send_content_length:
            head += f"Content-Length: {size}\r\n"
        head += "Connection: close\r\n\r\n"
        connection.sendall(head.encode("latin-1"))
        if response.drop == "after-headers":
            return
        limit = size // 2 if response.drop == "mid-body" else size
        for number, piece in enumerate(self._body_pieces(response, limit)):
            if number > 0 and response.drip_interval and release.wait(response.drip_interval):
                return
            connection.sendall(piece)

    @staticmethod
    def _split(data: bytes, piece_size: int):
        for start in range(0, len(data), piece_size):
            yield data[start:start + piece_size]

    def _body_pieces(self, response: Response, limit: int):
        piece_size = response.drip_bytes or 64 * 1024
        if response.generated_body_size:
            prefix = response.body[:limit]
            yield from self._split(prefix, piece_size)
            pattern = response.generated_pattern or b"x"
            block = (pattern * (piece_size // len(pattern) + 1))[:piece_size]
            sent = len(prefix)
            while sent < limit:
                piece = block[: min(piece_size, limit - sent)]
                sent += len(piece)
                yield piece
        else:
            yield from self._split(response.body[:limit], piece_size)


def _server_context(certfile: str, keyfile: str) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certfile, keyfile)
    return context


_REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently", 302: "Found",
            404: "Not Found", 500: "Internal Server Error", 503: "Service Unavailable"}


class Endpoint:
    """The HTTPS endpoint. Answers come from, in order: a queue of one-off
    responses for the path, a handler function, the default response."""

    def __init__(self, certfile: str, keyfile: str, port: int, host: str = "127.0.0.1"):
        self.context = _server_context(certfile, keyfile)
        self._context: Optional[ssl.SSLContext] = None  # this case's, if not the session's
        self._holding = False
        self._connections = 0
        self._release = threading.Event()
        self.host = host
        self.port = port
        self._lock = threading.Lock()
        self._requests: List[Request] = []
        self._tls_errors: List[str] = []
        self._queued: dict = {}
        self._handler: Optional[Callable[[Request], Optional[Response]]] = None
        self.default = Response(body=b'{"update":""}')
        self._changed = threading.Condition(self._lock)
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "Endpoint":
        if self._release.is_set():
            self._release = threading.Event()
        self._server = _Server((self.host, self.port), self)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._release.set()
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=10)
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def listening(self) -> bool:
        return self._server is not None

    @contextlib.contextmanager
    def closed(self):
        """Nothing listens on the port for the length of the block (a client
        is refused at once), then the endpoint serves on it again."""
        self.stop()
        try:
            yield self
        finally:
            self.start()

    # Scripting, per case. A reset ends what the last case left running and
    # puts back the default answer, the session's certificate and answering.
    def reset(self, default: Optional[Response] = None):
        with self._lock:
            self._release.set()
            self._release = threading.Event()
            self._requests.clear()
            self._tls_errors.clear()
            self._queued.clear()
            self._handler = None
            self._context = None
            self._holding = False
            self._connections = 0
            self.default = default or Response(body=b'{"update":""}')

    def use_certificate(self, certfile: str, keyfile: str):
        """Shows this certificate (chain) until the next reset."""
        context = _server_context(certfile, keyfile)
        with self._lock:
            self._context = context

    def hold_connections(self):
        """Accepts connections and never answers them, until the next reset."""
        with self._lock:
            self._holding = True

    def queue(self, path: str, *responses: Response):
        with self._lock:
            self._queued.setdefault(path, []).extend(responses)

    def set_handler(self, handler: Optional[Callable[[Request], Optional[Response]]]):
        with self._lock:
            self._handler = handler

    # What happened.
    def requests(self) -> List[Request]:
        with self._lock:
            return list(self._requests)

    def tls_errors(self) -> List[str]:
        with self._lock:
            return list(self._tls_errors)

    def connections(self) -> int:
        """Connections accepted since the last reset, answered or not."""
        with self._lock:
            return self._connections

    def wait_for_requests(self, count: int, timeout: float) -> List[Request]:
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self._requests) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                self._changed.wait(remaining)
            return list(self._requests)

    def _record_and_choose(self, request: Request) -> Response:
        with self._changed:
            self._requests.append(request)
            self._changed.notify_all()
            path = request.path.split("?", 1)[0]
            queued = self._queued.get(path)
            if queued:
                return queued.pop(0)
            handler = self._handler
            default = self.default
        if handler is not None:
            chosen = handler(request)
            if chosen is not None:
                return chosen
        return default

    def _note_connection(self) -> threading.Event:
        with self._lock:
            self._connections += 1
            return self._release

    def _note_tls_error(self, client, error):
        with self._lock:
            self._tls_errors.append(f"{client}: {error}")


def main():
    parser = argparse.ArgumentParser(description="Serve the test update endpoint by hand.")
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port", type=int, default=47443)
    parser.add_argument("--body", default='{"update":""}')
    parser.add_argument("--seconds", type=float, default=300.0,
                        help="stop after this long (the endpoint never runs unbounded)")
    args = parser.parse_args()
    endpoint = Endpoint(args.cert, args.key, args.port)
    endpoint.default = Response(body=args.body.encode("utf-8"))
    with endpoint:
        print(f"serving https://localhost:{endpoint.port}/ for {args.seconds:.0f} s", flush=True)
        deadline = time.monotonic() + args.seconds
        seen = 0
        while time.monotonic() < deadline:
            time.sleep(0.2)
            for request in endpoint.requests()[seen:]:
                print(f"{request.method} {request.path} {request.headers}", flush=True)
            seen = len(endpoint.requests())


if __name__ == "__main__":
    main()
