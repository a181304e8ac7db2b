"""A farm on loopback as the README deploys one: nodes on 127.0.0.11 and up, each its own nginx
and PHP-FPM; HAProxy on 127.0.0.1, its admin socket; the origin (www/) with the farm file."""

import os
import socket
import subprocess
from pathlib import Path

from endpoint import ENDPOINT, ReferenceEndpoint, replaced


class Node(ReferenceEndpoint):
    def __init__(self, folder: Path, port: int, cert, key, address: str, shared_keys: bool):
        super().__init__(folder, port, cert, key)
        self.address, f = address, self.folder
        (f / "site.conf").write_text(replaced((f / "site.conf").read_text(), {
            f"listen 127.0.0.1:{port} ssl;": f"listen {address}:{port} ssl proxy_protocol;",
            "real_ip_header X-Forwarded-For;": "real_ip_header proxy_protocol;",
            "set_real_ip_from 127.0.0.2;": "set_real_ip_from 127.0.0.1;",  # the balancer
            "# ssl_session_ticket_key": "# " * (not shared_keys) + "ssl_session_ticket_key"}))

    def writable(self, yes: bool):  # the states folder; chattr, as root, while the node serves
        how = ["chmod", "u+w" if yes else "a-w"] if os.geteuid() else ["chattr", "+-"[yes] + "i"]
        subprocess.run([*how, self.folder / "www/.states"], check=True)


class Farm(ReferenceEndpoint):
    """The farm through its balancer: ask and publish as ReferenceEndpoint's, from the origin."""

    def __init__(self, folder: Path, port: int, cert, key, count: int = 3, shared_keys=True):
        super().__init__(folder, port, cert, key)
        f = self.folder
        self.nodes = [Node(f / f"node-{n}", port, cert, key, f"127.0.0.{11 + n}", shared_keys)
                      for n in range(count)]
        (f / "haproxy.cfg").write_text(replaced((ENDPOINT / "haproxy.cfg").read_text(), {
            "/run/haproxy/tapwright.sock": f"{f}/haproxy.sock", "    bind :::443 v6only\n": "",
            "bind :443": f"bind 127.0.0.1:{port}", "    server a 192.0.2.11:443\n    server b "
            "192.0.2.12:443\n    server c 192.0.2.13:443\n": "".join(
                f"    server n{n} {node.address}:{port}\n" for n, node in enumerate(self.nodes))}))
        # n0 is host:folder, over an ssh to "loopback" that runs the command here as sshd would.
        (f / "ssh").write_text('#!/bin/sh\nshift\nexec sh -c "$*"\n') and (f / "ssh").chmod(0o755)
        (f / "www/farm").write_text(f"balancer unix://{f}/haproxy.sock tapwright\nssh {f}/ssh\n"
            + "".join(f"node n{n} {'loopback:' * (n == 0)}{node.folder}/www nginx -p {node.folder} "
                      "-c nginx.conf -s reload\n" for n, node in enumerate(self.nodes)))
        for keys in [f / "www/.tickets", *(node.folder / "www/.tickets" for node in self.nodes)]:
            keys.mkdir(mode=0o700) or [(keys / f"{name}.key").write_bytes(bytes(80)) for name in (
                "current", "next", "previous")]  # alike, as the first publish --tickets makes them

    def start(self) -> "Farm":
        [node.start() for node in self.nodes]
        self._spawn(["haproxy", "-db", "-f", self.folder / "haproxy.cfg"])
        return self._started("haproxy.sock")

    def stop(self):
        for endpoint in (super(), *self.nodes):  # the balancer first
            endpoint.stop()

    def call(self, version: str, source: str, node: Node = None, session=None):
        """A GET from that address through the balancer, or straight to a node with a PROXY header
        of its own (untrusted: the address counts): the body, the TLS session, whether resumed."""
        address = node.address if node else "127.0.0.1"
        with socket.create_connection((address, self.port), 10, (source, 0)) as raw:
            node and raw.sendall(b"\r\n\r\n\0\r\nQUIT\n\x21\x11\0\x0c" + socket.inet_aton(source)
                                 + socket.inet_aton(address) + bytes(4))
            with self.context.wrap_socket(raw, server_hostname="localhost", session=session) as tls:
                tls.write(f"GET /api.init.php HTTP/1.0\r\nUser-Version: {version}\r\n\r\n".encode())
                body = b"".join(iter(lambda: tls.recv(65536), b"")).split(b"\r\n\r\n", 1)[-1]
                return body, tls.session, tls.session_reused
