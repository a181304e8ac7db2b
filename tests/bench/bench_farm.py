"""What the farm costs: the balancer per connection, and publish per node. Three nodes of the
reference endpoint behind the shipped HAProxy configuration on loopback (tools/farm.py), each
node also listening without PROXY protocol on the next port so that wrk can ask it straight;
nginx, PHP-FPM, HAProxy and wrk share one machine, so only the ratios mean something elsewhere.

    python3 tests/bench/bench_farm.py [--port 47455] [--seconds 3] [--rounds 2]
                                      [--connections 64] [--publishes 5]

Through HAProxy against straight to one node, with a new TLS connection per request (as each
launcher connects), every handshake a full one (the site's resumption off), then resumed as wrk
resumes when the site lets it: with the farm's shared ticket keys, and with each node's own
(ssl_session_ticket_key lines left commented). Beside wrk's rates, the CPU time per request of
the nodes (nginx and PHP-FPM) and of HAProxy, and the share of resumed sessions that the nodes
logged. Then the time of one publish step (--rollout) to a farm of one node and of three,
against a plain publish to one endpoint folder. Markdown tables end the output.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_endpoint import certificate, machine_line, server_cpu, wrk  # noqa: E402
from endpoint import ENDPOINT, ReferenceEndpoint, replaced  # noqa: E402
from farm import Farm  # noqa: E402

MODES = (  # name, whether the nodes resume sessions, whether they share their ticket keys
    ("full handshake", False, True), ("resumed, shared ticket keys", True, True),
    ("resumed, each node's own keys", True, False))


def farm_for(folder: Path, port: int, cert, key, count: int, resumption=True, shared=True) -> Farm:
    farm = Farm(folder, port, cert, key, count, shared)
    for node in farm.nodes:
        site, conf = node.folder / "site.conf", node.folder / "nginx.conf"
        listen = f"listen {node.address}:{port} ssl proxy_protocol;"
        pairs = {listen: f"{listen}\n    listen {node.address}:{port + 1} ssl;"}
        if not resumption:
            pairs.update({"ssl_session_tickets on;": "ssl_session_tickets off;",
                          "ssl_session_cache shared:tapwright:10m;": "ssl_session_cache off;"})
        site.write_text(replaced(site.read_text(), pairs))
        conf.write_text(replaced(conf.read_text(), {
            "worker_processes 1;": "worker_processes auto;",
            "log_format asked '": "log_format asked 'TLS $ssl_session_reused "}))
    return farm


def measure(farm: Farm, direct: bool, args) -> tuple:
    """The best of --rounds runs: requests/s, median, 99 %, errors, the resumed share, and the
    CPU per request of the nodes and of HAProxy."""
    runs = []
    for _ in range(args.rounds):
        for node in farm.nodes:
            node.asked()
        nodes_cpu, balancer_cpu = sum(map(server_cpu, farm.nodes)), server_cpu(farm)
        rate, median, p99, errors = wrk(args.port + direct, "/api.init.php", "2.1.0.0",
                                        args.connections, True, args.seconds,
                                        "127.0.0.11" if direct else "127.0.0.1")
        logged = [line.split()[1] for node in farm.nodes for line in node.asked()]
        count = max(1, len(logged))
        runs.append((rate, median, p99, errors, logged.count("r") / count,
                     (sum(map(server_cpu, farm.nodes)) - nodes_cpu) / count,
                     (server_cpu(farm) - balancer_cpu) / count))
    best = max(runs)
    return (*best[:3], sum(run[3] for run in runs), best[4], min(r[5] for r in runs),
            min(r[6] for r in runs))


def publish_time(folder: Path, args) -> float:
    """The median time of one --rollout step published from this folder."""
    times = []
    for share in range(args.publishes):
        started = time.monotonic()
        subprocess.run([ENDPOINT / "publish", "--rollout", str(10 + share), folder], check=True,
                       capture_output=True)
        times.append(time.monotonic() - started)
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=47455)
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--publishes", type=int, default=5)
    args = parser.parse_args()
    args.cert = "ecdsa"
    rows, publishes = [], []
    with tempfile.TemporaryDirectory(prefix="tapwright-bench-farm-") as scratch:
        scratch = Path(scratch)
        cert, key = certificate(scratch, "ecdsa")
        for mode, resumption, shared in MODES:
            with farm_for(scratch / f"mode-{len(rows)}", args.port, cert, key, 3, resumption,
                          shared) as farm:
                args.versions = farm.nodes[0].versions
                farm.publish("2.1.0.0", "https://a/1")
                for direct in ((True, False) if shared else (False,)):
                    rows.append((mode, "straight to one node" if direct else
                                 "through HAProxy, 3 nodes", *measure(farm, direct, args)))
                    print("  " + ", ".join(cells(rows[-1], rows)), flush=True)
        plain = ReferenceEndpoint(scratch / "plain", args.port, cert, key)
        subprocess.run([ENDPOINT / "publish", "2.1.0.0", "https://a/1", plain.folder / "www"],
                       check=True)
        publishes.append(("one endpoint folder, no farm", publish_time(plain.folder / "www",
                                                                       args)))
        for count in (1, 3):
            farm = farm_for(scratch / f"publish-{count}", args.port, cert, key, count)
            with farm:
                farm.publish("2.1.0.0", "https://a/1")
                publishes.append((f"a farm of {count}", publish_time(farm.folder / "www", args)))
            print(f"  publish to {publishes[-1][0]}: {publishes[-1][1] * 1e3:.0f} ms", flush=True)
    print(f"\nMeasured on {machine_line(args)}.\n")
    print("| " + " | ".join(HEADS) + " |\n|" + "---|" * len(HEADS))
    for row in rows:
        print("| " + " | ".join(cells(row, rows)) + " |")
    print("\n| one `publish --rollout` step | median of "
          f"{args.publishes} | against no farm |\n|---|---|---|")
    for name, took in publishes:
        print(f"| {name} | {took * 1e3:.0f} ms | {took / publishes[0][1]:.2f} |")
    return 0


HEADS = ["TLS", "path", "requests/s", "ratio to straight", "median", "99%", "errors", "resumed",
         "nodes' CPU per request", "HAProxy's CPU per request"]


def cells(row, rows) -> list:
    mode, path, rate, median, p99, errors, resumed, nodes, balancer = row
    straight = next(r[2] for r in rows if r[0].split(",")[0] == mode.split(",")[0]
                    and r[1].startswith("straight"))
    return [mode, path, f"{rate:,.0f}", f"{rate / straight:.2f}", f"{median * 1e3:.2f} ms",
            f"{p99 * 1e3:.2f} ms", str(errors), f"{resumed:.0%}", f"{nodes * 1e6:.0f} µs",
            f"{balancer * 1e6:.0f} µs"]


if __name__ == "__main__":
    sys.exit(main())
