"""The endpoint as nginx and PHP-FPM serve it: its answers, its rollouts, what publish refuses."""
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from endpoint import ENDPOINT, ReferenceEndpoint, self_signed  # noqa: E402

NO, OLD = b'{"update":""}', ("2.0.1.0", "https://localhost/old.exe")
OFFER = b'{"update":"https:\\/\\/localhost\\/t\\u00e9l\\u00e9\\/T.exe"}'
ANSWERS = [  # publish's arguments, or the address (in JSON) that 2.1.0.0 is given by hand; the
    (None, "2.0.1.0", 503, NO), (OLD, "2.0.1.0", 200, NO),  # User-Version(s), status and body
    ('"http://a/b"', "1.0.0.0", 503, NO), ('"https://a/\\udc00"', "1.0.0.0", 503, NO),
    (OLD, "1.0", 400, NO), (("2.1.0.0", "https://localhost/télé/T.exe"), "2.0.1.0", 200, OFFER),
    (None, (), 400, NO), (None, "2.1.0.0", 200, NO), (None, "2.1.0.1", 200, NO),
    (None, "0.0.0.0", 200, OFFER), (None, "10.0.0.0", 200, NO), (None, "1.0.0.65536", 400, NO),
    (None, "1.0.0.0x", 400, NO), (None, ("1.0.0.0", "2.1.0.0"), 200, OFFER),  # the first counts,
    (None, ("2.1.0.0", "1.0.0.0"), 200, NO), (("2.0.0.0", "https://a/w"), "2.0.1.0", 200, NO),
    *[(None, path, 400, NO) for path in (  # names of files, from nginx's look-up folder or above
        "../release.json", "../api.init.php", "../../releases.json", "../../../../version.php")],
    *[(None, {"User-Version": "2.0.0.0", name: value}, 200, NO) for name, value in (
        ("If-None-Match", "*"), ("If-Match", '"x"'),  # conditions, which PHP ignores
        ("If-Unmodified-Since", "Sat, 01 Jan 2000 00:00:00 GMT"))]]
BY_HAND = '{"releases": [{"version": "2.1.0.0", "address": %s, "rollout": 100}]}'
REFUSED = [*[("2.2.0.0", address) for address in ("https://a/b c", "https://a/b\nc", "http://a/b",
                                                   "file:///C:/T.exe", "https:///T.exe")],
           ("2.2.0", "https://a/b"), ("2.2.0.65536", "https://a/b"), ("--rollout", "101"),
           ("2.2.0.0", "https://a/b", "--rollout", "5.5"),
           ("2.2.0.0", "https://a/b", ".state.new/")]  # the switch cannot be made
NETWORKS = [  # addresses that the trusted balancer forwards, a network (IPv6: a /64) per pair
    ("2001:db8:1:2::1", "2001:DB8:1:2:ffff::"), ("2001:db8::1", "2001:db8::1:0:0:2"), ("1::2",
    "1::5:0:0:0"), ("::a:b:c:d:e:f", "0:0:a:b::"), ("::a:b:c:d:e", "0:0:0:a::"), ("1::a:b:c:d:e",
    "1:0:0:a::"), ("a:b:c::1", "a:b:c:0:1::"), ("::1", "::2:0:0:1"),
    ("::ffff:127.9.9.9", "127.9.9.9")]
CALLERS = [f"127.1.{n // 200}.{n % 200 + 1}" for n in range(150)]
ROLLOUT = [("2.2.0.0", "https://a/2", "--rollout", "5"), ("--rollout", "30"), ("--halt",),
           ("--rollout", "60")]  # over 2.1.0.0 at 100 %


def main():
    with socket.socket() as probe:  # a free port, handed on to nginx
        port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
    with tempfile.TemporaryDirectory() as scratch, ReferenceEndpoint(
            scratch, port, *self_signed(Path(scratch))) as endpoint:
        failures, www, bucket, before = [], endpoint.folder / "www", endpoint.bucket, set()
        publish = lambda *arguments: subprocess.run(  # noqa: E731
            [ENDPOINT / "publish", *arguments, www], capture_output=True, text=True)
        for release, callers, status, body in ANSWERS:
            endpoint.publish(*release) if isinstance(release, tuple) else release and (
                www / "state/releases.json").write_text(BY_HAND % release)
            answer = endpoint.ask(headers=callers) if isinstance(callers, dict) else endpoint.ask(
                *([callers] if isinstance(callers, str) else callers))
            got = (answer.status, answer.body, *map(answer.getheader, (
                "Content-Type", "Cache-Control", "Vary", "ETag", "Last-Modified")))
            if got != (status, body, "application/json", "no-store, private", "User-Version",
                       None, None):  # nothing that a cache could make a 304 of
                failures.append(f"{release} for {callers}: {got}")

        # Cohorts by network (forwarded by 127.0.0.2 alone), alike in nginx and PHP at any version.
        seen = [{bucket(source="127.0.0.2", forwarded=a) for a in net} for net in NETWORKS]
        mine, theirs = bucket(source="127.0.0.3"), bucket(source="127.9.9.9")
        if (max(map(len, seen)) > 1 or len(set.union(*seen)) < 5 or seen[-1] != {theirs}
                or {bucket(source="127.0.0.3", forwarded="127.9.9.9")} - {theirs} != {mine}):
            failures.append(f"buckets: {seen}, 127.0.0.3 {mine}, 127.9.9.9 {theirs}")
        endpoint.publish("2.1.0.0", "https://a/1")
        for step in ROLLOUT:
            endpoint.publish(*step)
            answers = {caller: [endpoint.ask(v, source=caller).body[-3:-2] for v in (
                "2.1.0.0", "2.1.0.5", "2.0.1.0", "2.0.0.5")] for caller in CALLERS}
            offered = {caller for caller, got in answers.items() if got[0] == b"2"}
            share, percent = len(offered) / len(CALLERS) * 100, int("0" + step[-1].strip("-halt"))
            if ({tuple(got) for got in answers.values()} - {(b"2",) * 4, (b'"', b'"', b"1", b"1")}
                    or abs(share - percent) > (percent and 3 + percent / 5)
                    or not before <= (offered or before)):  # no caller loses its offer
                failures.append(f"{step}: {share:.0f} %, {sorted(answers.items())[:3]}")
            before = offered or before
        (www / "rollouts.log").unlink() or (www / "rollouts.log").mkdir()  # the step unrecorded
        run = publish("--rollout", "100")  # after the switch
        if run.returncode != 1 or "2.2.0.0 at 100 % IS published" not in run.stderr or (
                endpoint.ask("2.1.0.0").body[-3:-2] != b"2"):
            failures.append(f"publish, the step unrecorded: {run.returncode} {run.stderr}")
        files = lambda: {p: p.read_bytes() for p in www.rglob("*") if p.is_file()}  # noqa: E731
        for *arguments, last in REFUSED:  # last, since the switch is left blocked
            (www / last).mkdir() if last.endswith("/") else arguments.append(last)
            published, run = files(), publish(*arguments)
            if (run.returncode, run.stderr.count("\n"), files()) != (1, 1, published):
                failures.append(f"publish {arguments!r}: {run.returncode} {run.stderr}")
    sys.exit("\n".join(failures) or print(f"{len(ANSWERS)} answers, {len(REFUSED)} refusals"))


if __name__ == "__main__":
    main()
