"""What the launcher costs, measured under Wine beside its twins (the same
program, built the same way, doing nothing or only the update query), in one
run on one machine: only the ratios mean something elsewhere.

    /usr/bin/python3 tests/bench/bench_launcher.py --config <build>/tools/bench.json
                                          [--runs 25] [--hold-runs 3] [--keep]

scripts/bench builds what this needs and runs it. A markdown table of the
figures ends the output.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from bench import BenchError, Session, quoted, windows_path  # noqa: E402
from endpoint import NO_UPDATE, Response  # noqa: E402

SIZE_AIM_BYTES = 256 * 1024
# A ratio below this is no result: nothing the launcher does can make it
# cheaper than the same program doing nothing.
FLOOR = 0.90


class Figures:
    def __init__(self):
        self.rows = []

    def add(self, what: str, measured: str, against: str, ratio: float, aim: str = "",
            floor: bool = False):
        shown = f"{ratio:.2f}"
        if floor and ratio < FLOOR:
            shown = f"measurement fault ({ratio:.2f} < {FLOOR:.2f} against the launcher's twin)"
        self.rows.append((what, measured, against, shown, aim))
        aim_text = f"  (aim: {aim})" if aim else ""
        print(f"  {what}: {measured}  vs  {against}  ->  {shown}{aim_text}", flush=True)

    def table(self, machine: str) -> str:
        lines = [f"Measured on {machine}.", "", "| figure | launcher | against | ratio | aim |",
                 "|---|---|---|---|---|"]
        return "\n".join(lines + [f"| {' | '.join(row)} |" for row in self.rows])


def machine_line() -> str:
    cpus = re.findall(r"model name\s*:\s*(.*)", Path("/proc/cpuinfo").read_text())
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    date = datetime.date.today().isoformat()
    cpu = cpus[0] if cpus else platform.processor()
    return f"nproc {len(os.sched_getaffinity(0))}, {cpu}, {wine}, {date}"


def ms(value: float) -> str:
    return f"{value:.1f} ms" if value < 1000 else f"{value / 1000:.2f} s"


class Bench:
    def __init__(self, session: Session, twins: dict, runs: int, hold_runs: int):
        self.session, self.runs, self.hold_runs = session, runs, hold_runs
        self.figures = Figures()
        self.install = session.install("versioned", "bench")
        for name, path in twins.items():
            shutil.copy2(path, self.install.folder / f"{name}.exe")

    def in_turns(self, *cases, routes=None) -> list:
        """Milliseconds of the fastest run of each case (a program beside the
        launcher and its arguments), from the program's resumption to its end,
        taking turns so that a slow spell of the machine falls on all alike.
        Not the median: under Wine the same program's start takes either of two
        times 25 to 40 ms apart (a step of Wine's own set-up before the entry
        point, the same for every program), in proportions that change from run
        to run, and a median of a few dozen lands on either. Medians can then
        put the launcher at half the cost of a program that does nothing; the
        fastest runs cannot."""
        times = [[] for _ in cases]
        self.asked = 0
        for round_ in range(self.runs + 3):
            for turn in range(len(cases)):
                index = (round_ + turn) % len(cases)
                name, arguments = cases[index]
                path = windows_path(self.install.folder / name)
                line = quoted(path) + (" " + arguments if arguments else "")
                run = self.session.start(path, line, routes=routes).finish()
                if run.exit_code != 0:
                    raise BenchError(f"a timed run failed: {run.summary()}")
                self.asked += len(run.requests)
                if round_ >= 3:  # warm-up rounds are run and left out
                    times[index].append(run.seconds * 1000)
        for case, (name, _) in zip(times, cases):
            print(f"  {name}: fastest {min(case):.1f} ms, median {statistics.median(case):.1f} ms")
        return [min(case) for case in times]

    def start_up(self):
        print(f"\nStart-up of a second copy against the launcher's twin ({self.runs} runs each)")
        let_go = self.session.hold_mutex(self.session.program("tapwright_bench"))
        self.session.endpoint.reset()
        try:
            launcher, twin = self.in_turns(("TapwrightService.exe", "/inst"),
                                           ("tapwright_twin.exe", ""))
        finally:
            let_go()
        if self.asked or self.install.started:
            raise BenchError("a second copy went past the single-instance test")
        self.figures.add(f"start-up, second copy (fastest of {self.runs})", ms(launcher),
                         f"{ms(twin)} (its twin, doing nothing)", launcher / twin, "<= 1.10",
                         floor=True)

    def update_check(self):
        print(f"\nUpdate check, no update on offer ({self.runs} runs each) ...")
        launcher, fetch = self.in_turns(("TapwrightService.exe", ""),
                                        ("tapwright_twin_fetch.exe", ""),
                                        routes={"*": Response(NO_UPDATE)})
        if self.asked != 2 * (self.runs + 3):
            raise BenchError(f"the endpoint was asked {self.asked} times")
        self.figures.add(f"update check, no update (fastest of {self.runs})", ms(launcher),
                         f"{ms(fetch)} (its twin, making only the update query)", launcher / fetch,
                         "<= 1.20", floor=True)

    def hold_of_the_launch(self):
        print(f"\nHold of the launch under /inst ({self.hold_runs} runs each) ...")
        conditions = {"fast reply": {}, "connection refused": {"closed": True},
                      "silent server": {"holding": True},
                      "dripping server (1 byte / 250 ms)":
                          {"routes": {"*": Response(NO_UPDATE + b" " * 64, drip=0.25)}}}
        medians = {}
        for name, condition in conditions.items():
            seconds = []
            for _ in range(self.hold_runs):
                install = self.session.install("versioned", "hold")
                if condition.get("closed"):
                    self.session.endpoint.stop()
                try:
                    run = self.session.launch(install, "/inst", routes=condition.get("routes"),
                                              holding=condition.get("holding", False))
                finally:
                    if condition.get("closed"):
                        self.session.endpoint.start()
                if run.exit_code != 0 or len(run.started) != 1 or run.boxes:
                    raise BenchError(f"{name}: {run.summary()}")
                seconds.append(run.seconds * 1000)
            medians[name] = statistics.median(seconds)
        fast = medians.pop("fast reply")
        for name, value in medians.items():
            self.figures.add(f"hold of the launch, {name}", ms(value), f"{ms(fast)} (fast reply)",
                             value / fast)

    def size_and_imports(self):
        program = self.session.programs["TapwrightService"]
        output = subprocess.run([self.session.config["objdump"], "-p", str(program)],
                                capture_output=True, text=True, check=True).stdout
        dlls = sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", output)})
        size = program.stat().st_size
        self.figures.add("size, stripped", f"{size / 1024:.1f} KiB", "256 KiB",
                         size / SIZE_AIM_BYTES, "<= 1.00")
        print(f"  imported DLLs: {', '.join(dlls)}")

    def peak_memory(self):
        print("\nPeak memory (maximum resident set of the Wine process, 3 runs each) ...")
        def peak(name: str) -> float:
            values = []
            for _ in range(3):
                report = self.install.folder.parent / "peak.txt"
                subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), "wine", name],
                               cwd=self.install.folder, env=self.session.env(), timeout=60,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                values.append(int(report.read_text().split()[-1]))
            return statistics.median(values)
        self.session.endpoint.reset({"*": Response(NO_UPDATE + b" " * 1000)})
        small = peak("TapwrightService.exe")
        self.session.endpoint.reset({"*": Response(NO_UPDATE, size=50_000_000)})
        large = peak("TapwrightService.exe")
        twin = peak("tapwright_twin.exe")
        self.figures.add("peak memory, 50 MB reply", f"{large / 1024:.1f} MiB",
                         f"{small / 1024:.1f} MiB (1 KB reply)", large / small)
        self.figures.add("peak memory, 1 KB reply", f"{small / 1024:.1f} MiB",
                         f"{twin / 1024:.1f} MiB (its twin, doing nothing)", small / twin,
                         floor=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", required=True)
    parser.add_argument("--runs", type=int, default=25)
    parser.add_argument("--hold-runs", type=int, default=3)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    twins_file = Path(args.config).parents[1] / "tests" / "bench" / "twins.json"
    twins = json.loads(twins_file.read_text())
    started, machine = time.monotonic(), machine_line()
    print(f"Machine: {machine}", flush=True)
    try:
        with Session(args.config, keep=args.keep, launcher="TapwrightService",
                     log=lambda message: print("  " + message, flush=True)) as session:
            bench = Bench(session, twins, args.runs, args.hold_runs)
            for step in (bench.size_and_imports, bench.start_up, bench.update_check,
                         bench.peak_memory, bench.hold_of_the_launch):
                step()
    except BenchError as error:
        print(f"\nThe benchmark could not run: {error}", file=sys.stderr)
        return 1
    print(f"\nDone in {time.monotonic() - started:.0f} s.\n\n{bench.figures.table(machine)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
