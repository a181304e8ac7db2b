"""What the launcher costs, measured under Wine beside programs that do the
least the same job takes, in one run on one machine: only the ratios mean
something elsewhere.

    python3 tests/bench/bench_launcher.py --config <build>/tests/e2e/release_config.json
                                          [--runs 25] [--hold-runs 3] [--display :N] [--keep]

scripts/bench builds what this needs and runs it. Figures, in order:
  - start-up: the launcher as a second copy (a helper holds the mutex)
    against an empty program and against an empty program with the
    launcher's imports, taking turns, CreateProcessW to process end;
  - update check: the launcher's whole no-update path against a program
    that makes the same single WinINet request;
  - hold of the launch: "/inst" to the end of the launcher (which starts the
    main program last) with a refused connection, a silent server and a
    dripping server, against a fast reply;
  - size and footprint of the shipped executable;
  - peak memory (the Wine process's maximum resident set) under a 50 MB
    reply against a 1 KB reply, and against an empty program.
A markdown table of the figures ends the output.
"""

import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from endpoint import Response  # noqa: E402
from harness import HarnessError, Install, Session, hex16, quoted, windows_path  # noqa: E402
from test_release import KNOWN_DLLS, read_imports  # noqa: E402

SIZE_AIM_BYTES = 256 * 1024
START_AIM = 1.10
UPDATE_AIM = 1.20
NO_UPDATE = b'{"update":""}'
GNU_TIME = "/usr/bin/time"


class Figures:
    """Each figure as it is measured, printed at once and kept for the table."""

    def __init__(self):
        self.rows = []

    def add(self, what: str, measured: str, against: str, ratio: str, aim: str = ""):
        self.rows.append((what, measured, against, ratio, aim))
        line = f"  {what}: {measured}  vs  {against}  ->  {ratio}"
        print(line + (f"  (aim: {aim})" if aim else ""), flush=True)

    def table(self, machine: str) -> str:
        lines = [f"Measured on {machine}.", "",
                 "| figure | launcher | against | ratio | aim |", "|---|---|---|---|---|"]
        lines += [f"| {' | '.join(row)} |" for row in self.rows]
        return "\n".join(lines)


def machine_line() -> str:
    model = platform.processor() or "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, WINEDEBUG="-all")).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        wine = "wine (version unknown)"
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    return f"nproc {len(os.sched_getaffinity(0))}, {model}, {wine}, {date}"


def ms(value: float) -> str:
    return f"{value:.1f} ms" if value < 1000 else f"{value / 1000:.2f} s"


def mib(kib: float) -> str:
    return f"{kib / 1024:.1f} MiB"


class Bench:
    def __init__(self, session: Session, runs: int, hold_runs: int):
        self.session = session
        self.runs = runs
        self.hold_runs = hold_runs
        self.figures = Figures()
        self.objdump = session.config["objdump"]
        self.update_url = f"https://{session.config['host']}/api.init.php"

    # ------------------------------------------------------------ plumbing
    def install_with_floors(self, label: str) -> Install:
        install = self.session.make_install("versioned", label=label)
        for name in ("tapwright_release_empty", "tapwright_release_empty_imports",
                     "tapwright_release_fetch"):
            shutil.copy2(self.session.programs[name], install.folder / f"{name}.exe")
        return install

    def timed_case(self, install: Install, program: Path, arguments: str = "") -> list:
        path = windows_path(program)
        command_line = quoted(path) + (" " + arguments if arguments else "")
        return ["--case", hex16(path), hex16(command_line), hex16(install.folder_windows)]

    def time_in_turns(self, cases: list, names: list) -> list:
        """Median milliseconds per case; every run must have ended with 0."""
        report = self.session.helper_json(
            "tapwright_release_timer",
            ["--runs", str(self.runs), "--warm-up", "3"] + [arg for case in cases for arg in case],
            timeout=60 + self.runs * len(cases) * 35)
        if "cases" not in report:
            raise HarnessError(f"the timer failed: {report}")
        medians = []
        for name, case in zip(names, report["cases"]):
            if case["timed_out"] or any(code != 0 for code in case["exit_codes"]):
                raise HarnessError(f"{name}: exit codes {case['exit_codes']}, "
                                   f"{case['timed_out']} timed out")
            medians.append(statistics.median(case["ms"]))
        return medians

    def peak_memory_kib(self, install: Install, program: Path) -> int:
        """The maximum resident set of the Wine process that becomes the
        program (`wine` replaces itself with it), as GNU time reports it.
        Not os.wait4 from here: a child's maximum starts at the resident set
        of the process it was forked from, and this one is a Python
        interpreter of some 25 MB; GNU time is about 2 MB."""
        report = install.case_dir / "peak-memory.txt"
        try:
            result = subprocess.run(
                [GNU_TIME, "-f", "%M", "-o", str(report), self.session.wine, str(program)],
                cwd=install.folder, env=self.session._wine_env(), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"{program.name} did not end within 60 s")
        if result.returncode != 0:
            raise HarnessError(f"{program.name} ended with {result.returncode}")
        return int(report.read_text().split()[-1])

    # ------------------------------------------------------------- figures
    def start_up(self):
        print(f"\nStart-up, second copy ({self.runs} runs each, taking turns) ...", flush=True)
        launcher_dlls = set(read_imports(self.objdump, self.session.programs["TapwrightService"]))
        floor_dlls = set(read_imports(self.objdump,
                                      self.session.programs["tapwright_release_empty_imports"]))
        if floor_dlls != launcher_dlls:
            print(f"  note: the launcher imports {sorted(launcher_dlls)}, the floor program "
                  f"{sorted(floor_dlls)}: the floor needs updating", flush=True)
        install = self.install_with_floors("bench-start-up")
        ready, stop = install.case_dir / "holder-ready.json", install.case_dir / "holder-stop"
        with open(install.case_dir / "holder.out", "wb") as out:
            holder = subprocess.Popen(
                [self.session.wine, str(self.session.helper("tapwright_release_mutex_holder")),
                 "--ready", hex16(windows_path(ready)), "--stop", hex16(windows_path(stop)),
                 "--timeout", "600000"],
                env=self.session._wine_env(), stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 30
            while not ready.exists() and time.monotonic() < deadline:
                time.sleep(0.01)
            if '"held":true' not in (ready.read_text() if ready.exists() else ""):
                raise HarnessError("the mutex holder did not take the mutex")
            self.session.endpoint.reset()
            launcher, empty, imports = self.time_in_turns(
                [self.timed_case(install, install.launcher, "/inst"),
                 self.timed_case(install, install.folder / "tapwright_release_empty.exe"),
                 self.timed_case(install, install.folder / "tapwright_release_empty_imports.exe")],
                ["launcher", "empty", "empty with imports"])
            if self.session.endpoint.requests() or install.main_program.with_name(
                    "Tapwright.exe.started.jsonl").exists():
                raise HarnessError("a launcher went past the single-instance test")
        finally:
            stop.write_text("")
            try:
                holder.wait(timeout=30)
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait(timeout=10)
        empty_dlls = read_imports(self.objdump, self.session.programs["tapwright_release_empty"])
        self.figures.add("start-up, second copy", ms(launcher),
                         f"{ms(imports)} (empty program importing {', '.join(sorted(floor_dlls))})",
                         f"{launcher / imports:.2f}", f"<= {START_AIM:.2f}")
        self.figures.add("start-up, second copy", ms(launcher),
                         f"{ms(empty)} (empty program: {', '.join(sorted(empty_dlls))})",
                         f"{launcher / empty:.2f}")
        self.figures.add("cost of the imports alone", ms(imports), f"{ms(empty)} (empty program)",
                         f"{imports / empty:.2f}")

    def update_check(self):
        print(f"\nUpdate check, no update on offer ({self.runs} runs each, taking turns) ...",
              flush=True)
        install = self.install_with_floors("bench-update-check")
        self.session.endpoint.reset(Response(body=NO_UPDATE))
        launcher, fetch = self.time_in_turns(
            [self.timed_case(install, install.launcher),
             self.timed_case(install, install.folder / "tapwright_release_fetch.exe",
                             "--url " + hex16(self.update_url))],
            ["launcher", "one WinINet request"])
        asked = len(self.session.endpoint.requests())
        if asked != 2 * (self.runs + 3):
            raise HarnessError(f"the endpoint was asked {asked} times, not {2 * (self.runs + 3)}")
        self.figures.add("update check, whole no-update path", ms(launcher),
                         f"{ms(fetch)} (one WinINet GET, same headers and flags)",
                         f"{launcher / fetch:.2f}", f"<= {UPDATE_AIM:.2f}")

    def hold_of_the_launch(self):
        print(f"\nHold of the launch under /inst ({self.hold_runs} runs each; the slow ones "
              "take up to the query's deadline) ...", flush=True)
        drip = Response(body=NO_UPDATE + b" " * 64, drip_bytes=1, drip_interval=0.25)
        conditions = [
            ("fast reply", None, lambda endpoint: None),
            ("connection refused", "closed", lambda endpoint: None),
            ("silent server", None, lambda endpoint: endpoint.hold_connections()),
            ("dripping server (1 byte / 250 ms)", None,
             lambda endpoint: setattr(endpoint, "default", drip)),
        ]
        medians = {}
        for name, closed, serve in conditions:
            seconds = []
            for _ in range(self.hold_runs + (2 if name == "fast reply" else 0)):
                install = self.session.make_install("versioned", label="bench-hold")
                if closed:
                    with self.session.endpoint.closed():
                        run = self.session.run_launcher(install, "/inst", answers=[], serve=serve)
                else:
                    run = self.session.run_launcher(install, "/inst", answers=[], serve=serve)
                if run.timed_out or run.exit_code != 0 or len(run.started) != 1 or run.boxes:
                    raise HarnessError(f"{name}: the launcher did not start the main program "
                                       f"alone:\n{run.summary()}")
                seconds.append(run.elapsed_ms)
            medians[name] = statistics.median(seconds)
        fast = medians.pop("fast reply")
        self.figures.add("hold of the launch, fast reply", ms(fast), "-", "1.00")
        for name, value in medians.items():
            self.figures.add(f"hold of the launch, {name}", ms(value), f"{ms(fast)} (fast reply)",
                             f"{value / fast:.1f}")

    def size_and_footprint(self):
        print("\nSize and footprint ...", flush=True)
        program = self.session.programs["TapwrightService"]
        with tempfile.TemporaryDirectory(prefix="tapwright-bench-") as folder:
            stripped = Path(folder) / program.name
            shutil.copy2(program, stripped)
            subprocess.run([self.session.config["strip"], "--strip-all", str(stripped)],
                           check=True, timeout=60)
            size = stripped.stat().st_size
        dlls = sorted(read_imports(self.objdump, program))
        system32 = self.session.root / "prefix" / "drive_c" / "windows" / "system32"
        foreign = [name for name in dlls
                   if name not in KNOWN_DLLS or not any(
                       entry.name.lower() == name for entry in system32.iterdir())]
        self.figures.add("size, stripped", f"{size / 1024:.1f} KiB ({size} bytes)", "256 KiB",
                         f"{size / SIZE_AIM_BYTES:.2f}", "<= 1.00")
        self.figures.add("imported DLLs", ", ".join(dlls),
                         "Windows' known DLLs", "all of Windows" if not foreign else
                         "not Windows': " + ", ".join(foreign), "Windows' own only")

    def peak_memory(self):
        print("\nPeak memory (maximum resident set of the Wine process, 3 runs each) ...",
              flush=True)
        install = self.install_with_floors("bench-memory")
        peaks = {}
        for name, response in (
                ("1 KB", Response(body=NO_UPDATE + b" " * (1024 - len(NO_UPDATE)))),
                ("50 MB", Response(body=NO_UPDATE, generated_body_size=50 * 1000 * 1000,
                                   generated_pattern=b" "))):
            values = []
            for _ in range(3):
                self.session.endpoint.reset(response)
                values.append(self.peak_memory_kib(install, install.launcher))
                if len(self.session.endpoint.requests()) != 1:
                    raise HarnessError(f"{name}: the launcher did not ask the endpoint once")
            peaks[name] = statistics.median(values)
        self.session.endpoint.reset()
        floor = statistics.median(
            self.peak_memory_kib(install, install.folder / "tapwright_release_empty.exe")
            for _ in range(3))
        self.figures.add("peak memory, 50 MB reply", mib(peaks["50 MB"]),
                         f"{mib(peaks['1 KB'])} (1 KB reply)",
                         f"{peaks['50 MB'] / peaks['1 KB']:.2f}")
        self.figures.add("peak memory, 1 KB reply", mib(peaks["1 KB"]),
                         f"{mib(floor)} (empty program: Wine's own floor)",
                         f"{peaks['1 KB'] / floor:.2f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", required=True)
    parser.add_argument("--runs", type=int, default=25)
    parser.add_argument("--hold-runs", type=int, default=3)
    parser.add_argument("--display", default=None,
                        help="an X display to use instead of a virtual one of its own")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix and case folders")
    args = parser.parse_args()
    if not os.access(GNU_TIME, os.X_OK):
        parser.error(f"{GNU_TIME} is missing (Debian package time)")
    started = time.monotonic()
    machine = machine_line()
    print(f"Machine: {machine}", flush=True)
    try:
        with Session(args.config, display=args.display, keep=args.keep,
                     launcher="TapwrightService",
                     log=lambda message: print("  " + message, flush=True)) as session:
            if session.config["product_host"] != session.config["host"]:
                print(f"The launcher was built for {session.config['product_host']}, not for "
                      f"the local endpoint {session.config['host']}", file=sys.stderr)
                return 1
            bench = Bench(session, args.runs, args.hold_runs)
            bench.size_and_footprint()
            bench.start_up()
            bench.update_check()
            bench.peak_memory()
            bench.hold_of_the_launch()
            if args.keep:
                print(f"\nSession folder kept: {session.root}")
    except HarnessError as error:
        print(f"\nThe benchmark could not run: {error}", file=sys.stderr)
        return 1
    print(f"\nDone in {time.monotonic() - started:.0f} s.\n")
    print(bench.figures.table(machine))
    return 0


if __name__ == "__main__":
    sys.exit(main())
