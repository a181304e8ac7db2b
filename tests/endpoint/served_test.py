"""The endpoint's answers as nginx and PHP-FPM serve them (its fast path included), and the
releases that endpoint/publish refuses."""
import http.client
import socket
import ssl
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from endpoint import ENDPOINT, ReferenceEndpoint, self_signed  # noqa: E402

NO = b'{"update":""}'
OFFER = b'{"update":"https:\\/\\/localhost\\/t\\u00e9l\\u00e9\\/T.exe"}'
ANSWERS = [  # release.json (a publish, or text written by hand), User-Version, status, body
    (None, "2.0.1.0", 503, NO), ('{"version":"2.1.0.0","address":"https://a/b c"}', "1.0.0.0",
    503, NO), ('{"version":"2.1.0.0","address":"https://a/b\\nc"}', "1.0.0.0", 503, NO),
    ('{"version":"2.1.0.0","address":"http://a/b"}', "1.0.0.0", 503, NO),
    ('{"version":"2.1.0.0","address":"https://a/\\udc00"}', "1.0.0.0", 503, NO),
    (("2.0.1.0", "https://localhost/old.exe"), "2.0.1.0", 200, NO), (None, "1.0", 400, NO),
    (("2.1.0.0", "https://localhost/télé/T.exe"), "2.0.1.0", 200, OFFER), (None, None, 400, NO),
    (None, "2.1.0.0", 200, NO), (None, "2.1.0.1", 200, NO), (None, "0.0.0.0", 200, OFFER),
    (None, "10.0.0.0", 200, NO), (None, "1.0.0.65536", 400, NO), (None, "1.0.0.0x", 400, NO)]
REFUSED = ["https://a/b c", "https://a/b\nc", "http://a/b", "file:///C:/T.exe", "https:///T.exe",
           ("2.2.0", "https://a/b"), ("2.2.0.65536", "https://a/b")]


def main():
    with socket.socket() as probe:  # a free port, handed on to nginx
        port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
    with tempfile.TemporaryDirectory() as scratch, ReferenceEndpoint(
            scratch, port, *self_signed(Path(scratch))) as endpoint:
        context, failures = ssl.create_default_context(cafile=f"{scratch}/cert.pem"), []
        for release, caller, status, body in ANSWERS:
            if isinstance(release, tuple):
                endpoint.publish(*release)
            elif release:
                (endpoint.folder / "www" / "release.json").write_text(release)
            connection = http.client.HTTPSConnection("localhost", endpoint.port, context=context)
            connection.request("GET", "/api.init.php", headers={"User-Version": caller} if caller
                               else {})
            answer = connection.getresponse()
            got = (answer.status, answer.read(), *map(answer.getheader, (
                "Content-Type", "Cache-Control", "Vary", "ETag", "Last-Modified")))
            if got != (status, body, "application/json", "no-store, private", "User-Version",
                       None, None):  # nothing that a cache could make a 304 of
                failures.append(f"{release} for {caller}: {got}")
        files = lambda: {path: path.read_bytes() for path in endpoint.folder.rglob("www/**/*")
                         if path.is_file()}  # noqa: E731
        published = files()
        for refused in REFUSED:
            version, address = refused if isinstance(refused, tuple) else ("2.2.0.0", refused)
            run = subprocess.run([ENDPOINT / "publish", version, address, endpoint.folder / "www"],
                                 capture_output=True, text=True)
            if (run.returncode, run.stderr.count("\n"), files()) != (1, 1, published):
                failures.append(f"publish {refused!r}: {run.returncode} {run.stderr}")
    sys.exit("\n".join(failures) or print(f"{len(ANSWERS)} answers, {len(REFUSED)} refusals"))


if __name__ == "__main__":
    main()
