"""A farm of the reference endpoint on loopback, as README's "Deploying N machines" builds one:
nodes, each its own nginx and PHP-FPM on its own 127.0.0.x and folder, in the site's form for a
node behind HAProxy; endpoint/haproxy.cfg on 127.0.0.1 in front, with its admin socket; and the
origin (www/ of the farm's folder), the endpoint folder with the farm file that publish reads."""

import os
import socket
import subprocess
from pathlib import Path

from endpoint import ENDPOINT, ReferenceEndpoint, wait_until


def free_port() -> int:  # on 127.0.0.1, and almost surely on the nodes' addresses too
    with socket.socket() as probe:
        return probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]


def replaced(text: str, pairs: dict) -> str:
    for old, new in pairs.items():
        if old not in text:
            raise RuntimeError(f"a shipped configuration no longer holds {old}")
        text = text.replace(old, new)
    return text


class Node(ReferenceEndpoint):
    def __init__(self, folder: Path, port: int, cert, key, address: str, shared_keys: bool):
        super().__init__(folder, port, cert, key)
        self.address, f = address, self.folder
        site = {f"listen 127.0.0.1:{port} ssl;": f"listen {address}:{port} ssl proxy_protocol;",
                "real_ip_header X-Forwarded-For;": "real_ip_header proxy_protocol;",
                "set_real_ip_from 127.0.0.2;": "set_real_ip_from 127.0.0.1;"}
        if shared_keys:  # the farm's ticket keys, which publish --tickets writes
            site["    # ssl_session_ticket_key"] = "    ssl_session_ticket_key"
        (f / "site.conf").write_text(replaced((f / "site.conf").read_text(), site))
        self.reload = f"nginx -p {f} -c {f}/nginx.conf -e {f}/nginx.log -s reload"

    def writable(self, yes: bool):  # the states folder; chattr, as root, while the node serves
        states = self.folder / "www/.states"
        subprocess.run(["chattr", "-i" if yes else "+i", states], check=True) if (
            os.geteuid() == 0) else states.chmod(0o755 if yes else 0o555)


class Farm(ReferenceEndpoint):
    """The farm through its balancer: ask and publish as ReferenceEndpoint's, from the origin."""

    def __init__(self, folder: Path, port: int, cert, key, count: int = 3, shared_keys=True):
        super().__init__(folder, port, cert, key)
        f = self.folder
        self.nodes = [Node(f / f"node-{n}", port, cert, key, f"127.0.0.{11 + n}", shared_keys)
                      for n in range(count)]
        servers = "".join(f"    server n{n} {node.address}:{port}\n"
                          for n, node in enumerate(self.nodes))
        (f / "haproxy.cfg").write_text(replaced((ENDPOINT / "haproxy.cfg").read_text(), {
            "/run/haproxy/tapwright.sock": f"{f}/haproxy.sock", "bind :443": f"bind 127.0.0.1:{port}",
            "    bind :::443 v6only\n": "", "    server a 192.0.2.11:443\n    server b 192.0.2.12:443"
            "\n    server c 192.0.2.13:443\n": servers}))
        (f / "www/farm").write_text(f"balancer unix://{f}/haproxy.sock tapwright\n" + "".join(
            f"node n{n} {node.folder}/www {node.reload}\n" for n, node in enumerate(self.nodes)))
        key = os.urandom(80)  # the farm's ticket keys as a first publish --tickets leaves them
        for keys in [f / "www/.tickets", *(node.folder / "www/.tickets" for node in self.nodes)]:
            keys.mkdir(mode=0o700) or [(keys / f"{n}.key").write_bytes(key) for n in (
                "current", "next", "previous")]

    def start(self) -> "Farm":
        for node in self.nodes:
            node.start()
        self._spawn(["haproxy", "-db", "-f", self.folder / "haproxy.cfg"])
        if not wait_until(lambda: self._accepts() and (self.folder / "haproxy.sock").exists(), 10):
            self.stop()
            raise RuntimeError(f"HAProxy did not start: {(self.folder / 'servers.out').read_text()}")
        return self

    def stop(self):
        super().stop()
        for node in self.nodes:
            node.stop()

    def call(self, version: str, source: str, node: Node = None, session=None):
        """A GET from that address through the balancer, or straight to a node with a PROXY v2
        header of its own (untrusted: its address counts), resuming the TLS session given: the
        body, the session, and whether it was resumed."""
        address = node.address if node else "127.0.0.1"
        with socket.create_connection((address, self.port), 10, (source, 0)) as raw:
            node and raw.sendall(b"\r\n\r\n\0\r\nQUIT\n\x21\x11\0\x0c" + socket.inet_aton(source)
                                 + socket.inet_aton(address) + bytes(4))
            with self.context.wrap_socket(raw, server_hostname="localhost", session=session) as tls:
                tls.sendall(f"GET /api.init.php HTTP/1.0\r\nUser-Version: {version}\r\n\r\n".encode())
                body = b"".join(iter(lambda: tls.recv(65536), b"")).split(b"\r\n\r\n", 1)[-1]
                return body, tls.session, tls.session_reused
