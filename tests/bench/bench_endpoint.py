"""What the reference endpoint serves against its limit: the same nginx site, on the same
TLS certificate, answering the same body from a static file. nginx, PHP-FPM and wrk run side by
side on 127.0.0.1 in one run on one machine: only the ratios mean something elsewhere.

    python3 tests/bench/bench_endpoint.py [--port 47445] [--seconds 2] [--rounds 3]
                                          [--cert ecdsa|rsa] [--connections 16 64 256]
                                          [--keep]

An up-to-date caller, one at the release before a rollout inside its cohort and one outside it,
one at an earlier release (nginx answers all four from the files that publish writes) and one at a
version never published here (PHP answers it) are measured apart, with a new TLS connection per request (a "Connection: close" header, as each launcher
process connects: once with the site's session resumption, which wrk uses, and once with it off,
so that each request pays a full handshake) and with keep-alive. Each figure is the best of
--rounds runs taken in turns. Beside wrk's rates, which the load generator's own share of the
cores holds down, it gives the CPU time nginx and PHP-FPM spent per request, which is what a
server pays. Before them, the rollout: over 10,000 distinct loopback addresses, the share
offered at each share published, the callers that lose an offer as it grows, and the offers after
a halt. A markdown table of each ends the output. It takes about 8 minutes.
"""

import argparse
import concurrent.futures
import datetime
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from endpoint import ENDPOINT, ReferenceEndpoint  # noqa: E402

EARLIER, BEFORE, NEWEST = "2.0.1.0", "2.1.0.0", "2.2.0.0"  # published in this order, the last
NO_UPDATE = b'{"update":""}'  # rolling out over the one before
CALLERS = (  # what is measured: its name, the path asked, the caller's version, 127.0.0.1 inside
    # the cohort of the rollout or not (None: as it was), the aim with a new connection per request
    ("limit (static file)", "/limit", NEWEST, None, None),
    ("up-to-date caller (nginx)", "/api.init.php", NEWEST, None, 0.9),
    ("caller inside the rollout's cohort (nginx)", "/api.init.php", BEFORE, True, 0.9),
    ("caller outside the rollout's cohort (nginx)", "/api.init.php", BEFORE, False, 0.9),
    ("older caller, an earlier release (nginx)", "/api.init.php", EARLIER, None, 0.6),
    ("older caller, never published here (PHP)", "/api.init.php", "1.0.0.0", None, 0.6))
SHARES = ("1", "5", "25", "50", "100")  # then a halt
ADDRESSES = [f"127.10.{n // 250}.{n % 250 + 1}" for n in range(10000)]
MODES = (  # name, whether the site resumes sessions, whether each request has its own connection
    ("new TLS connection, full handshake", False, True),
    ("new TLS connection, resumed session", True, True),
    ("keep-alive", True, False))
WRK_TIMEOUT = "5s"


def certificate(folder: Path, kind: str):
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"] if kind == "ecdsa" else [
        "-newkey", "rsa:2048"]
    subprocess.run(["openssl", "req", "-x509", *key, "-nodes", "-days", "1", "-keyout",
                    folder / "key.pem", "-out", folder / "cert.pem", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    return folder / "cert.pem", folder / "key.pem"


def endpoint_for(folder: Path, port: int, cert, key, resumption: bool) -> ReferenceEndpoint:
    """The reference as a web team would run it on this machine (a worker per core, enough
    worker connections), with the limit's static file beside it in the same site."""
    endpoint = ReferenceEndpoint(folder, port, cert, key)
    f = endpoint.folder
    (f / "limit.json").write_bytes(NO_UPDATE)
    site = (f / "site.conf").read_text()
    site = site.replace("    location / {", "    location = /limit {\n"
                        f"        default_type application/json; alias {f}/limit.json;\n"
                        "    }\n    location / {")
    if not resumption:
        for old, new in (("ssl_session_tickets on;", "ssl_session_tickets off;"),
                         ("ssl_session_cache shared:tapwright:10m;", "ssl_session_cache off;")):
            if old not in site:
                raise RuntimeError(f"endpoint/nginx-site.conf no longer holds {old}")
            site = site.replace(old, new)
    (f / "site.conf").write_text(site)
    conf = (f / "nginx.conf").read_text()
    for old, new in (("worker_processes 1;", "worker_processes auto;"),
                     ("worker_connections 1024;", "worker_connections 4096;"),
                     ("log_format asked '", "log_format asked 'TLS $ssl_session_reused ")):
        if old not in conf:
            raise RuntimeError(f"the reference's nginx.conf no longer holds {old}")
        conf = conf.replace(old, new)
    (f / "nginx.conf").write_text(conf)
    return endpoint


def check_answers(endpoint: ReferenceEndpoint, cert: Path, address: str, inside):
    """Each caller gets what it should, before anything is timed."""
    context = ssl.create_default_context(cafile=str(cert))
    offer = lambda version: json.dumps(  # noqa: E731
        {"update": address % version}, separators=(",", ":")).replace("/", "\\/").encode()
    now = False
    for name, path, version, cohort, _ in CALLERS:
        if cohort is not None:
            now = inside(cohort)
        request = urllib.request.Request(f"https://localhost:{endpoint.port}{path}",
                                         headers={"User-Version": version})
        with urllib.request.urlopen(request, context=context, timeout=10) as answer:
            body = answer.read()
        if body != (NO_UPDATE if path == "/limit" or version == NEWEST or (
                version == BEFORE and not now) else offer(NEWEST if now else BEFORE)):
            raise RuntimeError(f"{name} is answered {body!r}")


def rollout(endpoint: ReferenceEndpoint, shares: list):
    """Over 10,000 distinct addresses, each asking from its own: the share offered at each share
    published, the callers offered at a lower share and not at this one, and the offers after a
    halt, each from the first request after publish ends; and how long publish took."""
    before: set = set()
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for share in SHARES + ("halt",):
            started = time.monotonic()
            endpoint.publish(*(("--halt",) if share == "halt" else ("--rollout", share)))
            took = time.monotonic() - started
            bodies = pool.map(lambda a: endpoint.ask(BEFORE, source=a).body, ADDRESSES)
            offered = {a for a, body in zip(ADDRESSES, bodies) if NEWEST.encode() in body}
            shares.append((share, len(offered) / len(ADDRESSES),
                           len(before - offered) if share != "halt" else None, took))
            print("  " + ", ".join(rollout_cells(shares[-1])), flush=True)
            before = offered


def history(histories=(10, 1000, 10000), rounds: int = 5) -> list:
    """The time of one publish, and the files of the state it makes, after a history of so many
    versions published before, written by hand as years of publishing leave it: the median of
    rounds, each from the same state."""
    rows = []
    for count in histories:
        times, files = [], 0
        for _ in range(rounds):
            folder = Path(tempfile.mkdtemp(prefix="tapwright-history-"))
            for source in ENDPOINT.glob("*.php"):
                shutil.copy(source, folder)
            (folder / ".states/hand").mkdir(parents=True)
            (folder / ".states/hand/releases.json").write_text(json.dumps({
                "releases": [{"version": "2.1.0.0", "address": "https://a/1", "rollout": 100}],
                "answered": [f"1.{n // 100}.{n % 100}.0" for n in range(count)] + ["2.1.0.0"]}))
            (folder / "state").symlink_to(".states/hand")
            started = time.monotonic()
            subprocess.run([ENDPOINT / "publish", "2.2.0.0", "https://a/2", folder], check=True)
            times.append(time.monotonic() - started)
            files = sum(1 for _ in (folder / os.readlink(folder / "state")).rglob("*"))
            shutil.rmtree(folder)
        rows.append((count, sorted(times)[rounds // 2], files))
        print(f"  after {count:,} versions: publish took {rows[-1][1] * 1e3:.0f} ms "
              f"({rows[-1][1] / rows[0][1]:.2f} of the first), the state holds {files:,} files",
              flush=True)
    return rows


def rank(bucket: str, version: str) -> int:
    """Where this release orders the bucket: at a share above this, the bucket is offered it."""
    code = f'require "{ENDPOINT}/version.php"; echo array_search({bucket}, Cohort("{version}", 100));'
    return int(subprocess.run(["php", "-r", code], capture_output=True, text=True,
                              check=True).stdout)


def server_cpu(endpoint: ReferenceEndpoint) -> float:
    """CPU seconds that nginx and PHP-FPM, with all their workers, have used so far: each leads
    a session of its own."""
    sessions, total = {process.pid for process in endpoint._processes}, 0
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) in sessions:  # session id, then user and system time at 11 and 12
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def seconds(text: str) -> float:
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s|m)", text).groups()
    return float(value) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[unit]


def wrk(port: int, path: str, version: str, connections: int, close: bool, duration: int,
        host: str = "127.0.0.1"):
    headers = ["-H", f"User-Version: {version}"] + (["-H", "Connection: close"] if close else [])
    threads = str(min(connections, len(os.sched_getaffinity(0))))
    out = subprocess.run(["wrk", "-t", threads, "-c", str(connections), "-d", f"{duration}s",
                          "--timeout", WRK_TIMEOUT, "--latency", *headers,
                          f"https://{host}:{port}{path}"],
                         capture_output=True, text=True, timeout=duration + 60).stdout
    rate = re.search(r"Requests/sec:\s*([\d.]+)", out)
    if not rate:
        raise RuntimeError(f"wrk printed no rate:\n{out}")
    latency = dict(re.findall(r"^\s+(50|99)%\s+(\S+)", out, re.MULTILINE))
    errors = sum(int(n) for n in re.findall(r"(\d+)", " ".join(
        re.findall(r"Socket errors:.*|Non-2xx or 3xx responses:.*", out))))
    return float(rate.group(1)), seconds(latency["50"]), seconds(latency["99"]), errors


def measure(args, scratch: Path, cert, key, resumption: bool, rows: list, shares: list):
    address = f"https://localhost:{args.port}/download/TapwrightSetup-%s.exe"
    folder = scratch / ("resumed" if resumption else "full")
    with endpoint_for(folder, args.port, cert, key, resumption) as endpoint:
        for version in (EARLIER, BEFORE, NEWEST):
            endpoint.publish(version, address % version, "--rollout", "0" if version == NEWEST
                             else "100")
        if not resumption:
            rollout(endpoint, shares)
        # wrk asks from 127.0.0.1, inside the rollout's cohort at a share above its bucket's rank.
        place = rank(endpoint.buckets(("127.0.0.1", None))[0], NEWEST)
        def inside(cohort: bool):  # a share that takes 127.0.0.1 in, or one just short of it
            return endpoint.publish("--rollout", str(place + cohort)) and cohort
        args.versions = endpoint.versions
        check_answers(endpoint, cert, address, inside)
        endpoint.asked()
        for mode, resumes, close in MODES:
            if resumes != resumption:
                continue
            for connections in args.connections:
                runs = {name: [] for name, *_ in CALLERS}
                for _ in range(args.rounds):  # in turns, so that a slow spell falls on all alike
                    for name, path, version, cohort, _ in CALLERS:
                        if cohort is not None:
                            inside(cohort)
                            endpoint.asked()
                        cpu = server_cpu(endpoint)
                        rate, median, p99, errors = wrk(args.port, path, version, connections,
                                                        close, args.seconds)
                        cpu = server_cpu(endpoint) - cpu
                        logged = [line.split()[1] for line in endpoint.asked()]
                        resumed = logged.count("r") / max(1, len(logged)) if close else None
                        runs[name].append((rate, median, p99, errors, resumed,
                                           cpu / max(1, len(logged))))
                # The least disturbed run's rate and latency, and its least CPU per request; but
                # the errors of every run.
                best = {name: (*max(got)[:3], sum(run[3] for run in got), max(got)[4],
                               min(run[5] for run in got)) for name, got in runs.items()}
                limit = best[CALLERS[0][0]]
                for name, _, _, _, aim in CALLERS:
                    aim = aim if close else None
                    row = (mode, connections, name, *best[name], best[name][0] / limit[0],
                           limit[5] / best[name][5], aim)
                    rows.append(row)
                    print(line_for(row), flush=True)


def cells(row) -> list:
    mode, connections, name, rate, median, p99, errors, resumed, cpu, ratio, cpu_ratio, aim = row
    return [mode, str(connections), name, f"{rate:,.0f}", f"{median * 1e3:.2f} ms",
            f"{p99 * 1e3:.2f} ms", str(errors), "" if resumed is None else f"{resumed:.0%}",
            f"{cpu * 1e6:.0f} us", f"{1 / cpu:,.0f}", f"{ratio:.2f}", f"{cpu_ratio:.2f}",
            f">= {aim}" if aim else ""]


HEADS = ["connection", "conns", "caller", "requests/s", "median", "99%", "errors", "resumed",
         "server CPU per request", "requests/s per server core", "ratio to limit",
         "server CPU ratio", "aim"]


def line_for(row) -> str:
    return "  " + ", ".join(f"{head} {cell}" for head, cell in zip(HEADS, cells(row)) if cell)


ROLLOUT_HEADS = ["share published", f"offered, of {len(ADDRESSES):,} addresses", "off by",
                 "offered at a lower share, not at this one", "publish took", "aim"]


def rollout_cells(row) -> list:
    share, offered, lost, took = row
    halt = share == "halt"
    return [share if halt else f"{share} %", f"{offered:.2%}",
            "" if halt else f"{(offered * 100 - int(share)):+.2f} points",
            "" if halt else str(lost), f"{took * 1e3:.0f} ms",
            "no offer" if halt else "within ±1.5 points, none lost"]


def table(rows, machine: str) -> str:
    lines = [f"Measured on {machine}.", "", f"| {' | '.join(HEADS)} |",
             "|" + "---|" * len(HEADS)]
    return "\n".join(lines + [f"| {' | '.join(cells(row))} |" for row in rows])


def machine_line(args) -> str:
    cpus = re.findall(r"model name\s*:\s*(.*)", Path("/proc/cpuinfo").read_text())
    wrk_version = subprocess.run(["wrk", "-v"], capture_output=True, text=True).stdout.split()[1]
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    return (f"nproc {len(os.sched_getaffinity(0))}, {cpus[0] if cpus else '?'}, nginx "
            f"{args.versions}, wrk {wrk_version}, {args.cert} certificate, load average {load} "
            f"at the end, {datetime.date.today().isoformat()}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=47445)
    parser.add_argument("--seconds", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cert", choices=("ecdsa", "rsa"), default="ecdsa")
    parser.add_argument("--connections", type=int, nargs="+", default=[16, 64, 256])
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--history", action="store_true", help="only the publish after years")
    args = parser.parse_args()
    print("One publish after a history of versions published before:")
    years = history()
    years_table = ("| versions published before | publish took | ratio to the first | files of the "
                   "state | aim |\n|---|---|---|---|---|\n" + "\n".join(
                       f"| {count:,} | {took * 1e3:.0f} ms | {took / years[0][1]:.2f} | {files:,} |"
                       f" {'≤ 1.5' if count == years[-1][0] else ''} |"
                       for count, took, files in years))
    if args.history:
        print("\n" + years_table)
        return 0
    if not shutil.which("wrk"):
        print("wrk is missing: run scripts/install-deps")
        return 1
    scratch = Path(tempfile.mkdtemp(prefix="tapwright-bench-endpoint-"))
    rows: list = []
    shares: list = []
    try:
        cert, key = certificate(scratch, args.cert)
        print(f"The endpoint against its limit on https://localhost:{args.port} ({scratch}):")
        for resumption in (False, True):
            measure(args, scratch, cert, key, resumption, rows, shares)
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    machine = machine_line(args)
    print(f"\nThe rollout over {len(ADDRESSES):,} addresses, measured on {machine}.\n\n| "
          + " | ".join(ROLLOUT_HEADS) + " |\n|" + "---|" * len(ROLLOUT_HEADS) + "\n"
          + "\n".join(f"| {' | '.join(rollout_cells(row))} |" for row in shares))
    print("\n" + table(rows, machine) + "\n\nOne publish after years, on the same machine.\n\n"
          + years_table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
