"""The reference update endpoint, run for real: nginx and PHP-FPM in the foreground, serving the
shipped endpoint/ from a scratch folder on 127.0.0.1, with the shipped nginx site."""
import contextlib
import ctypes
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import time
from pathlib import Path

ENDPOINT = Path(__file__).resolve().parent.parent / "endpoint"
NGINX = Path("/usr/sbin/nginx")
START_SECONDS = 10
STOP_SECONDS = 3


def _end_with_parent():  # in the child before exec: the server ends even if stop() never runs
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _first_words(program: Path, count: int) -> str:
    run = subprocess.run([program, "-v"], capture_output=True, text=True, timeout=5)
    return " ".join((run.stdout + run.stderr).split()[:count])


class ReferenceEndpoint:
    def __init__(self, folder: Path, port: int, cert: Path, key: Path):
        f = self.folder = Path(folder).resolve()
        self.port, self.versions, self._processes, self._seen = port, "", [], 0
        (f / "www").mkdir(parents=True, exist_ok=True)
        for source in ENDPOINT.glob("*.php"):
            shutil.copy(source, f / "www")
        # The shipped site with its placeholders filled in; one that went missing fails loudly,
        # so that a change to the site cannot leave the tests serving something else.
        site = (ENDPOINT / "nginx-site.conf").read_text()
        for placeholder, value in {
                "listen 443 ssl;": f"listen 127.0.0.1:{port} ssl;", "listen [::]:443 ssl;": "",
                "/etc/ssl/certs/updates.example.com.pem": str(Path(cert).resolve()),
                "/etc/ssl/private/updates.example.com.key": str(Path(key).resolve()),
                "/srv/tapwright-endpoint": str(f / "www"),
                "/run/php/tapwright-endpoint.sock": str(f / "php-fpm.sock")}.items():
            if placeholder not in site:
                raise RuntimeError(f"endpoint/nginx-site.conf no longer holds {placeholder}")
            site = site.replace(placeholder, value)
        (f / "site.conf").write_text(site)
        temp_paths = "".join(f"{kind}_temp_path {f}/{kind}_temp; "
                             for kind in ("client_body", "fastcgi", "proxy", "scgi", "uwsgi"))
        # As root, nginx's workers would be nobody, who cannot reach the root-owned PHP-FPM socket.
        (f / "nginx.conf").write_text(
            f"daemon off; worker_processes 1; pid {f}/nginx.pid; error_log {f}/nginx.log;\n"
            + ("user root;\n" if os.geteuid() == 0 else "")
            + "events { worker_connections 64; }\n"
            + "http { log_format asked '$request_method $uri with User-Version: $http_user_version,"
            + " User-Debug: $http_user_debug: status $status';\n"
            + f"  access_log {f}/access.log asked; {temp_paths}include {f}/site.conf; }}\n")
        (f / "php-fpm.conf").write_text(
            f"[global]\npid = {f}/php-fpm.pid\nerror_log = {f}/php-fpm.log\n[endpoint]\n"
            + f"listen = {f}/php-fpm.sock\npm = static\npm.max_children = 2\n")

    def asked(self) -> list:
        """The requests answered since the last call, as nginx logged them."""
        lines = (self.folder / "access.log").read_text().splitlines()[self._seen:]
        self._seen += len(lines)
        return lines

    def publish(self, version: str, address: str):
        staging = self.folder / "release.json.new"
        staging.write_text(json.dumps({"version": version, "address": address}))
        staging.replace(self.folder / "www" / "release.json")  # no request sees half a file

    def start(self) -> "ReferenceEndpoint":
        f, fpm = self.folder, sorted(Path("/usr/sbin").glob("php-fpm*"))
        if not fpm or not NGINX.is_file():
            raise RuntimeError("nginx or php-fpm is missing: run scripts/install-deps")
        self.versions = f"{_first_words(NGINX, 3).split()[-1]}, {_first_words(fpm[-1], 2)}"
        as_root = ["-R"] if os.geteuid() == 0 else []  # PHP-FPM refuses root unless told
        self._spawn([fpm[-1], "-F", "-y", f / "php-fpm.conf", *as_root])
        self._spawn([NGINX, "-p", f, "-c", f / "nginx.conf", "-e", f / "nginx.log"])
        deadline = time.monotonic() + START_SECONDS
        while not ((f / "php-fpm.sock").exists() and self._accepts_tls()):
            if time.monotonic() > deadline or any(p.poll() is not None for p in self._processes):
                self.stop()
                logs = "".join(log.read_text()[-400:] for log in f.glob("*.log"))
                raise RuntimeError(f"the reference endpoint did not start:\n{logs}")
            time.sleep(0.1)
        return self

    def stop(self):
        # nginx first, so that no request meets a PHP-FPM that is already gone. Each server leads
        # its own process group, so its workers go with it even when it must be killed.
        for process in reversed(self._processes):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(STOP_SECONDS)
        self._processes = []

    def __enter__(self) -> "ReferenceEndpoint":
        return self.start()

    def __exit__(self, *_):
        self.stop()

    def _spawn(self, command: list):
        with open(self.folder / "servers.out", "ab") as out:
            self._processes.append(subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True, preexec_fn=_end_with_parent))

    def _accepts_tls(self) -> bool:
        # Readiness only: whether the certificate is trusted is for the caller's own checks.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        try:
            with context.wrap_socket(socket.create_connection(("127.0.0.1", self.port), 1)):
                return True
        except OSError:
            return False
