"""The endpoint's answers as nginx and PHP-FPM serve them (its fast path included), its rollouts by
the caller's network, and what endpoint/publish refuses."""
import json
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from endpoint import ENDPOINT, ReferenceEndpoint, self_signed  # noqa: E402

NO, OLD = b'{"update":""}', ("2.0.1.0", "https://localhost/old.exe")
OFFER = b'{"update":"https:\\/\\/localhost\\/t\\u00e9l\\u00e9\\/T.exe"}'
ANSWERS = [  # publish's arguments, or an address that 2.1.0.0 is given by hand; User-Version(s),
    (None, "2.0.1.0", 503, NO), (OLD, "2.0.1.0", 200, NO),  # then the status and body
    *[(address, "1.0.0.0", 503, NO) for address in ("https://a/b c", "https://a/b\nc",
                                                      "http://a/b", "https://a/\udc00")],
    (OLD, "1.0", 400, NO), (("2.1.0.0", "https://localhost/télé/T.exe"), "2.0.1.0", 200, OFFER),
    (None, (), 400, NO), (None, "2.1.0.0", 200, NO), (None, "2.1.0.1", 200, NO),
    (None, "0.0.0.0", 200, OFFER), (None, "10.0.0.0", 200, NO), (None, "1.0.0.65536", 400, NO),
    (None, "1.0.0.0x", 400, NO), (None, ("1.0.0.0", "2.1.0.0"), 200, OFFER),  # the first counts,
    (None, ("2.1.0.0", "1.0.0.0"), 200, NO), (("2.0.0.0", "https://a/w"), "2.0.1.0", 200, NO)]
REFUSED = [*[("2.2.0.0", address) for address in ("https://a/b c", "https://a/b\nc", "http://a/b",
                                                   "file:///C:/T.exe", "https:///T.exe")],
           ("2.2.0", "https://a/b"), ("2.2.0.65536", "https://a/b"), ("--rollout", "101"),
           ("--rollout", "5.5"), ("2.2.0.0", "https://a/b", "--rollout", "-1"),
           ("2.2.0.0", "https://a/b", ".state.new/x")]  # the switch cannot be made
NETWORKS = [  # addresses that the trusted balancer forwards, a network (IPv6: a /64) per line
    ("2001:db8:1:2::1", "2001:DB8:1:2:ffff:ffff:ffff:ffff"), ("2001:db8::1", "2001:db8::1:0:0:2"),
    ("::a:b:c:d:e:f", "0:0:a:b::"), ("::a:b:c:d:e", "0:0:0:a::"), ("1::a:b:c:d:e", "1:0:0:a::"),
    ("a:b:c::1", "a:b:c:0:1::"), ("1::2", "1::5:0:0:0"), ("::1", "::2:0:0:1"),
    ("::ffff:127.9.9.9", "127.9.9.9")]
CALLERS = [f"127.1.{n // 200}.{n % 200 + 1}" for n in range(150)]
ROLLOUT = [("--rollout", "5"), ("--rollout", "30"), ("--halt",), ("--rollout", "60")]


def main():
    with socket.socket() as probe:  # a free port, handed on to nginx
        port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
    with tempfile.TemporaryDirectory() as scratch, ReferenceEndpoint(
            scratch, port, *self_signed(Path(scratch))) as endpoint:
        failures, www = [], endpoint.folder / "www"
        for release, callers, status, body in ANSWERS:
            if isinstance(release, tuple):
                endpoint.publish(*release)
            elif release:
                (www / "state/releases.json").write_text(json.dumps({"releases": [
                    {"version": "2.1.0.0", "address": release, "rollout": 100}]}))
            answer = endpoint.ask(*([callers] if isinstance(callers, str) else callers))
            got = (answer.status, answer.body, *map(answer.getheader, (
                "Content-Type", "Cache-Control", "Vary", "ETag", "Last-Modified")))
            if got != (status, body, "application/json", "no-store, private", "User-Version",
                       None, None):  # nothing that a cache could make a 304 of
                failures.append(f"{release} for {callers}: {got}")
        files = lambda: {path: path.read_bytes() for path in www.rglob("*")  # noqa: E731
                         if path.is_file()}
        for *arguments, last in REFUSED:
            (www / last).mkdir(parents=True) if last.endswith("/x") else arguments.append(last)
            published = files()
            run = subprocess.run([ENDPOINT / "publish", *arguments, www], capture_output=True,
                                 text=True)
            if (run.returncode, run.stderr.count("\n"), files()) != (1, 1, published):
                failures.append(f"publish {arguments!r}: {run.returncode} {run.stderr}")
            shutil.rmtree(www / ".state.new", ignore_errors=True)

        # Cohorts: by network, forwarded only by the trusted balancer (127.0.0.2), whatever the
        # caller's version; nginx and PHP (for the versions never published) answer alike.
        bucket = endpoint.bucket
        seen = [{bucket(source="127.0.0.2", forwarded=a) for a in net} for net in NETWORKS]
        mine, theirs = bucket(source="127.0.0.3"), bucket(source="127.9.9.9")
        if ([len(net) for net in seen] != [1] * len(seen) or len(set.union(*seen)) < 5
                or seen[-1] != {theirs} or bucket(source="127.0.0.3", forwarded="127.9.9.9")
                != mine or mine == theirs):
            failures.append(f"buckets: {seen}, 127.0.0.3 {mine}, 127.9.9.9 {theirs}")
        endpoint.publish("2.1.0.0", "https://a/1")
        endpoint.publish("2.2.0.0", "https://a/2", "--rollout", "5")
        before = set()
        for step in ROLLOUT:
            endpoint.publish(*step)
            answers = {caller: [endpoint.ask(v, source=caller).body[-3:-2] for v in (
                "2.1.0.0", "2.1.0.5", "2.0.1.0", "2.0.0.5")] for caller in CALLERS}
            offered = {caller for caller, got in answers.items() if got[0] == b"2"}
            share, percent = len(offered) / len(CALLERS) * 100, int(step[-1].strip("-halt") or 0)
            if ({tuple(got) for got in answers.values()} - {(b"2",) * 4, (b'"', b'"', b"1", b"1")}
                    or abs(share - percent) > (percent and 3 + percent / 5)
                    or not before <= (offered or before)):  # no caller loses its offer
                failures.append(f"{step}: {share:.0f} %, {sorted(answers.items())[:3]}")
            before = offered or before
    sys.exit("\n".join(failures) or print(f"{len(ANSWERS)} answers, {len(REFUSED)} refusals, "
                                          f"{len(NETWORKS)} networks, {len(ROLLOUT)} shares"))


if __name__ == "__main__":
    main()
