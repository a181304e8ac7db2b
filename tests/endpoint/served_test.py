"""The endpoint as nginx and PHP-FPM serve it under a tuned machine's nginx.conf: its answers, its
rollouts, a publish after years of releases, what publish refuses, and the adoption report."""
import ipaddress
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from endpoint import ENDPOINT, ReferenceEndpoint  # noqa: E402

NO, OLD = b'{"update":""}', ("2.0.1.0", "https://localhost/old.exe")
OFFER = b'{"update":"https:\\/\\/a\\/t\\u00e9l\\u00e9"}'
ANSWERS = [  # publish's arguments, or the address (in JSON) that 2.1.0.0 is given by hand; the
    (None, "2.0.1.0", 503, NO, 0), (OLD, "2.0.1.0", 200, NO, 1),  # User-Version(s), status, body,
    ('"http://a/b"', "1.0.0.0", 503, NO, 0), ('"https://a/\\udc00"', "1.0.0.0", 503, NO, 0),  # and
    (OLD, "1.0", 400, NO, 0), (("2.1.0.0", "https://a/télé"), "2.0.1.0", 200, OFFER, 1),  # whether
    (None, (), 400, NO, 0), (None, "2.1.0.0", 200, NO, 1), (None, "2.1.0.1", 200, NO, 0),  # nginx
    (None, "0.0.0.0", 200, OFFER, 0), (None, "10.0.0.0", 200, NO, 0),  # answers from its files,
    (None, "1.0.0.65536", 400, NO, 0), (None, "1.0.0.0x", 400, NO, 0),  # not PHP; of two versions,
    (None, ("1.0.0.0", "2.1.0.0"), 200, OFFER, 0),  # the first counts
    (None, ("2.1.0.0", "1.0.0.0"), 200, NO, 1), (("2.0.0.0", "https://a/w"), "2.0.1.0", 200, NO, 1),
    *[(None, path, 400, NO, 0) for path in (  # names of files, from nginx's look-up folder or above
        "../release.json", "../api.init.php", "../../releases.json", "../../../../version.php")],
    *[(None, "2.0.0.0", 200, NO, 0, condition) for condition in (  # a condition besides, which
        ("If-None-Match", "*"), ("If-Match", '"x"'),  # PHP ignores
        ("If-Unmodified-Since", "Sat, 01 Jan 2000 00:00:00 GMT"))]]
BY_HAND = '{"releases": [{"version": "2.1.0.0", "address": %s, "rollout": 100}]}'
REFUSED = [*[("2.2.0.0", address) for address in (  # the last with its switch made impossible
    "https://a/b c", "https://a/b\nc", "http://a/b", "file:///C:/T.exe", "https:///T.exe")],
    ("2.2.0", "https://a/b"), ("2.2.0.65536", "https://a/b"), ("--rollout", "101"),
    ("2.2.0.0", "https://a/b", "--rollout", "5.5"), ("2.2.0.0", "https://a/b", ".state.new/")]
# Sixteen /64s, one for each pattern of zero groups in a prefix, each in all the forms that nginx
# writes its addresses in: one address for each pattern of zero groups in the other half.
SIXES = [str(ipaddress.IPv6Address(":".join(str(bits >> g & 1 and base + g) for bits, base in (
    (net, 16 * net + 1), (host, 9)) for g in range(4)))) for net in range(16) for host in range(16)]
CALLERS = [f"127.1.{n // 250}.{n % 250 + 1}" for n in range(1000)]  # networks of their own
ROLLOUT = [("2.2.0.0", "https://a/2", "--rollout", "1"), ("--rollout", "5"), ("--rollout", "30"),
           ("--halt",), ("--rollout", "60")]  # over 2.1.0.0 at 100 %
YEARS = [f"1.{n // 100}.{n % 100}.0" for n in range(5000)]  # versions published before
LOG = ("2026-12-01T10:00:00+00:00 2.1.0.0 5 offer\n2026-12-01T11:00:00+00:00 2.2.0.0 7 none\n"
       "2026-12-02T00:30:00+01:00 - 9 none\n9999-12-31T23:00:00-05:00 2.1.0.0 5 offer\n"  # past the
       "2026-12-01 2.1.0.0 5 offer\n2026-12-01T12:00:00+00:00 ².1.0.0 5 offer\n"  # calendar in UTC,
       "2026-12-01T12:00:00+00:00 ٢.1.0.0 5 offer\n2026-12-01T12:00:00+00:00 2.1.0.0 ٥ none\n"
       "GET /api.init.php 200\n")  # a date alone, other digits, another format: counted, not read
REPORT = ["-- 2026-12-01 09:00:00: 2.2.0.0 5 %",
          "2026-12-01         3    33.3%          1          1          1"]


def main():
    with ReferenceEndpoint.scratch() as endpoint:
        failures, www, ask, before, fives = [], endpoint.folder / "www", endpoint.ask, set(), {}
        publish = lambda *arguments: endpoint.publish(*arguments, check=False)  # noqa: E731
        for release, callers, status, body, nginx, *headers in ANSWERS:
            endpoint.publish(*release) if isinstance(release, tuple) else release and (
                www / "state/releases.json").write_text(BY_HAND % release)
            answer = ask(*[callers] if isinstance(callers, str) else callers, headers=headers)
            got = (answer.status, answer.body, *map(answer.getheader,  # nginx's own answers are
                "Content-Type Cache-Control Vary ETag Last-Modified Content-Length".split()))
            if got[:-1] != (status, body, "application/json", "no-store, private", "User-Version",
                            None, None) or (got[-1] is None) == nginx:  # files, PHP's chunked
                failures.append(f"{release} for {callers} {headers}: {got}")

        # Cohorts by network (forwarded by 127.0.0.2 alone), alike in nginx and PHP at any version.
        mine, theirs, untrusted, mapped, *rest = endpoint.buckets(
            ("127.0.0.3", None), ("127.9.9.9", None), ("127.0.0.3", "127.9.9.9"), ("127.0.0.2",
            "::ffff:127.9.9.9"), *(("127.0.0.2", a) for a in SIXES), *((c, None) for c in CALLERS))
        seen = [set(rest[at:at + 16]) for at in range(0, 256, 16)]
        spread = [rest[256:].count(str(bucket)) for bucket in range(100)]  # about ten networks each
        if (max(map(len, seen)) > 1 or len(set.union(*seen)) < 12 or (untrusted, mapped) != (
                mine, theirs) or mine == theirs or min(spread) == 0 or max(spread) > 30):
            failures.append(f"buckets: {seen}, {mine} {theirs} {untrusted} {mapped}, {spread}")
        endpoint.publish("2.1.0.0", "https://a/1")
        reps = dict(zip(rest[256:], CALLERS))  # a caller of each bucket
        for step in ROLLOUT:
            endpoint.publish(*step)
            answers = {bucket: [ask(v, source=caller).body[-3:-2] for v in (
                "2.1.0.0", "2.1.0.5", "2.0.1.0", "2.0.0.5")] for bucket, caller in reps.items()}
            offered = {bucket for bucket, got in answers.items() if got[0] == b"2"}
            if ({tuple(got) for got in answers.values()} - {(b"2",) * 4, (b'"', b'"', b"1", b"1")}
                    or len(offered) != int("0" + step[-1].strip("-halt"))  # a bucket a percent
                    or not before <= (offered or before)):  # and no caller loses its offer
                failures.append(f"{step}: {sorted(offered)}, {sorted(answers.items())[:3]}")
            fives, before = offered if step[-1] == "5" else fives, offered or before
        endpoint.publish("2.3.0.0", "https://a/3", "--rollout", "5")  # a release, its own callers
        other = {b for b, c in reps.items() if ask("2.2.0.0", source=c).body[-3:-2] == b"3"}
        if len(other) != 5 or other == fives:
            failures.append(f"2.3.0.0 at 5 %: {sorted(other)}, as 2.2.0.0 was: {sorted(fives)}")

        # Years of releases: a history of thousands of versions, as publishing leaves it.
        (state := www / "state/releases.json").write_text(json.dumps(
            {**json.loads(state.read_text()), "answered": YEARS}))
        for step in (("3.0.0.0", "https://a/years"), ("--rollout", "50"), ("--halt",)):
            was, run = (www / "state").readlink(), publish(*step)  # the state before is kept
            got = [ask(version).body for version in (YEARS[7], "1.2.3.4", "3.0.0.0")]
            files = len([*(www / "state").rglob("*")])
            if (run.returncode, got[2], files < 2000, got[0] == got[1] != NO, b"years" in got[0],
                    (www / was).is_dir()) != (0, NO, True, True, "--halt" not in step, True):
                failures.append(f"after years, {step}: {run.stderr} {files} files, {got}")

        (www / "rollouts.log").unlink() or (www / "rollouts.log").mkdir()  # the step unrecorded
        run = publish("--rollout", "100")  # after the switch
        if run.returncode != 1 or "3.0.0.0 at 100 % IS published" not in run.stderr or (
                b"years" not in ask("2.1.0.0").body):
            failures.append(f"publish, the step unrecorded: {run.returncode} {run.stderr}")
        files = lambda: {p: p.read_bytes() for p in www.rglob("*") if p.is_file()}  # noqa: E731
        for *arguments, last in REFUSED:  # last, since the switch is left blocked
            (www / last).mkdir() if last.endswith("/") else arguments.append(last)
            published, run = files(), publish(*arguments)
            if (run.returncode, run.stderr.count("\n"), files()) != (1, 1, published):
                failures.append(f"publish {arguments!r}: {run.returncode} {run.stderr}")
        (www.parent / "adoption.log").write_text(LOG)  # the adoption report, from the good lines
        (www.parent / "steps.log").write_text("2026-12-01T09:00:00+00:00 2.2.0.0 5\nx 2.2.0.0 5\n")
        run = subprocess.run([ENDPOINT / "report", "adoption.log", "--rollouts", "steps.log"],
                             cwd=www.parent, capture_output=True, text=True)
        if (run.stderr.split()[2:7:4], run.stdout.split("\n")[1:3],
                (www.parent / "adoption.png").is_file()) != (["6", "1"], REPORT, True):
            failures.append(f"report: {run.returncode} {run.stderr} {run.stdout}")
    sys.exit("\n".join(failures) or print(f"{len(ANSWERS)} answers, {len(REFUSED)} refusals"))


if __name__ == "__main__":
    main()
