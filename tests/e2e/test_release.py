"""What a product team ships on, shown on the real launcher under Wine: it
takes no DLL from its own folder but the known ones, it leaves nothing behind
in the prefix, and of many copies started at once exactly one goes on.

    python3 test_release.py --config <build>/tests/e2e/release_config.json [-v] [-k name]
                            [--display :N] [--keep]

All cases share one session (X server, prefix, endpoint); each gets fresh
install folders. Where a check shows that something did not happen, a
control program makes it happen under the same check, so that a blind check
cannot pass.
"""

import contextlib
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import Dict, Optional, Set

sys.path.insert(0, str(Path(__file__).resolve().parent))

from endpoint import Response  # noqa: E402
from harness import (BUTTONS, MAIN_PROGRAM_NAME, HarnessError, Install, Run, Session,  # noqa: E402
                     hex16, quoted, windows_path, suite_arguments)

# Windows 10's KnownDLLs (HKLM\System\CurrentControlSet\Control\Session
# Manager\KnownDLLs), plus ntdll, which every process has: the loader takes
# these from System32 only, whatever lies beside the program.
KNOWN_DLLS = frozenset(name + ".dll" for name in (
    "ntdll", "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus",
    "imagehlp", "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32",
    "psapi", "rpcrt4", "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32",
    "wow64", "wow64win", "ws2_32"))

# Makes Wine look in the program's folder before its own built-in WinINet, as
# Windows does for a DLL that is no known DLL.
NATIVE_WININET_FIRST = "wininet=n,b"
PLANTED_RECORD_SUFFIX = ".loaded.jsonl"

SESSION: Optional["ReleaseSession"] = None
RUNS = []


def read_imports(objdump: str, program: Path) -> Dict[str, Set[str]]:
    """The import table: DLL name (lower case) -> names of the functions
    taken from it."""
    output = subprocess.run([objdump, "-p", str(program)], capture_output=True, text=True,
                            timeout=60, check=True).stdout
    imports: Dict[str, Set[str]] = {}
    current = None
    for line in output.splitlines():
        stripped = line.strip()
        if stripped.startswith("DLL Name:"):
            current = imports.setdefault(stripped.split(":", 1)[1].strip().lower(), set())
        elif current is not None and stripped == "":
            current = None
        elif current is not None:
            fields = stripped.split()
            # "<hint-name RVA> <hint> <name>"; the table's own headings differ.
            if len(fields) == 3 and fields[1].isdigit():
                current.add(fields[2])
    return imports


def update_offer(address: str, **fields) -> bytes:
    """A reply that offers an update, compact as the product's endpoint
    writes it: the launcher looks for "update":" without blanks."""
    return json.dumps({"update": address, **fields}, separators=(",", ":")).encode()


class ReleaseSession(Session):
    """The end-to-end session, with DLL overrides for the runs that ask for
    them (the runner and everything it starts inherit them)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.dll_overrides = ""

    def _wine_env(self, lang: str = "en_US.UTF-8", extra: Optional[dict] = None) -> dict:
        env = super()._wine_env(lang, extra)
        if self.dll_overrides:
            env["WINEDLLOVERRIDES"] = ";".join(
                part for part in (env.get("WINEDLLOVERRIDES", ""), self.dll_overrides) if part)
        return env

    @contextlib.contextmanager
    def overriding_dlls(self, overrides: str):
        self.dll_overrides = overrides
        try:
            yield
        finally:
            self.dll_overrides = ""

    def wine_env(self, lang: str = "en_US.UTF-8") -> dict:
        return self._wine_env(lang)


def setUpModule():
    global SESSION
    log = (lambda message: print(message, file=sys.stderr)) if VERBOSE else None
    SESSION = ReleaseSession(CONFIG, display=DISPLAY, keep=KEEP, log=log)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)
    if RUNS:
        total = sum(run.seconds for run in RUNS)
        print(f"\n{len(RUNS)} runs under Wine, {total:.1f} s in all", file=sys.stderr)


class ReleaseTestCase(unittest.TestCase):
    maxDiff = None

    def finish(self, running, answers=()) -> Run:
        run = running.finish(answers=list(answers))
        RUNS.append(run)
        self.assertFalse(run.timed_out, run.summary())
        self.assertTrue(run.descendants_settled, run.summary())
        return run

    def offer(self, endpoint, body: bytes, headers=(("Content-Type", "application/json"),)):
        endpoint.default = Response(body=body, headers=tuple(headers))

    def download_address(self, name: str) -> str:
        return f"https://{SESSION.config['host']}/download/{name}"

    def assert_offered_declined_and_started(self, run: Run, install: Install):
        """One update prompt, answered No; nothing opened; the main program
        started once; exit code 0."""
        self.assertEqual(len(run.boxes), 1, run.summary())
        self.assertEqual(run.boxes[0].button_ids, [BUTTONS["YES"], BUTTONS["NO"]], run.summary())
        self.assertEqual(run.opened_addresses, [], run.summary())
        self.assertEqual([record["module"] for record in run.started],
                         [install.main_program_windows], run.summary())
        self.assertEqual(run.exit_code, 0, run.summary())


class ImportTableTest(unittest.TestCase):
    """What the loader resolves before the launcher runs a single line."""

    def imports(self, program: str) -> Dict[str, Set[str]]:
        return read_imports(SESSION.config["objdump"], SESSION.programs[program])

    def test_launcher_imports_known_dlls_only(self):
        for program in ("TapwrightService", "TapwrightService_e2e"):
            with self.subTest(program=program):
                imports = self.imports(program)
                self.assertIn("kernel32.dll", imports)
                self.assertLessEqual(set(imports), KNOWN_DLLS, sorted(imports))
                self.assertNotIn("wininet.dll", imports)
                self.assertNotIn("version.dll", imports)

    def test_launcher_restricts_the_search_before_loading_at_run_time(self):
        kernel32 = self.imports("TapwrightService")["kernel32.dll"]
        self.assertIn("SetDefaultDllDirectories", kernel32)
        self.assertIn("LoadLibraryExW", kernel32)

    def test_the_reader_sees_an_ordinary_import(self):
        imports = self.imports("tapwright_release_fetch")
        self.assertIn("InternetOpenUrlW", imports.get("wininet.dll", set()), sorted(imports))
        self.assertIn("GetFileVersionInfoW", imports.get("version.dll", set()), sorted(imports))


class PlantedDllTest(ReleaseTestCase):
    """A wininet.dll beside the launcher, which leaves a record when it is
    loaded, with Wine told to prefer it to its own as Windows would."""

    def plant(self, folder: Path) -> Path:
        planted = folder / "wininet.dll"
        shutil.copy2(SESSION.config["planted_wininet"], planted)
        return planted

    def load_records(self, folder: Path):
        # The record is named after the DLL as the loader named it
        # (WININET.dll for an import), so any case is accepted.
        return sorted(path.name for path in folder.iterdir()
                      if path.name.lower().endswith(PLANTED_RECORD_SUFFIX))

    def test_an_ordinary_import_loads_the_planted_copy(self):
        case = SESSION.new_case_dir("planted-control")
        folder = case / "install"
        folder.mkdir()
        program = folder / "fetch.exe"
        shutil.copy2(SESSION.programs["tapwright_release_fetch"], program)
        shutil.copy2(SESSION.programs["tapwright_e2e_stand_in"], folder / MAIN_PROGRAM_NAME)
        self.plant(folder)
        url = f"https://{SESSION.config['host']}/api.init.php"
        command_line = quoted(windows_path(program)) + " --url " + hex16(url)
        with SESSION.overriding_dlls(NATIVE_WININET_FIRST):
            run = self.finish(SESSION.start_program(windows_path(program), command_line,
                                                    case_dir=case))
        records = self.load_records(folder)
        self.assertEqual(len(records), 1, "the planted wininet.dll was loaded")
        loaded_by = [json.loads(line)["pid"] for line in
                     (folder / records[0]).read_text().splitlines()]
        self.assertEqual(loaded_by, [run.pid])
        self.assertEqual(run.exit_code, 3, "the planted InternetOpenA refused: " + run.summary())
        self.assertEqual(run.requests, [])

    def test_launcher_never_loads_the_planted_copy_and_still_checks(self):
        install = SESSION.make_install("versioned", label="planted-launcher")
        self.plant(install.folder)
        offer = update_offer(self.download_address("planted"))
        with SESSION.overriding_dlls(NATIVE_WININET_FIRST):
            running = SESSION.start_launcher(install, "/inst",
                                             serve=lambda endpoint: self.offer(endpoint, offer))
            run = self.finish(running, answers=["NO"])
        self.assertEqual(self.load_records(install.folder), [], run.summary())
        self.assertEqual([request.path for request in run.requests], ["/api.init.php"])
        self.assertEqual(run.requests[0].header("User-Version"), "2.0.1.0")
        self.assert_offered_declined_and_started(run, install)


def _snapshot_files(prefix: Path) -> Dict[str, tuple]:
    """Every entry of the prefix: kind, and content hash or link target. The
    registry files are left to the registry snapshot: the wineserver writes
    them when it pleases, not when a program changes a key."""
    entries = {}
    for root, folders, files in os.walk(prefix):
        for name in folders + files:
            path = Path(root) / name
            relative = str(path.relative_to(prefix))
            if path.parent == prefix and name.endswith(".reg"):
                continue
            if path.is_symlink():
                entries[relative] = ("link", os.readlink(path))
            elif path.is_dir():
                entries[relative] = ("folder",)
            else:
                entries[relative] = ("file", hashlib.sha1(path.read_bytes()).hexdigest())
    return entries


def _parse_registry_export(text: str) -> Dict[str, Optional[str]]:
    """A regedit export as key -> None and key|value -> data, with continued
    lines joined."""
    entries: Dict[str, Optional[str]] = {}
    key = None
    pending = ""
    for line in text.splitlines():
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.startswith("["):
            key = line
            entries[key] = None
        elif key is not None and line.endswith("\\"):
            pending = line[:-1]
        elif key is not None and line:
            entries[key + "|" + line.split("=", 1)[0]] = line
    return entries


def _changes(before: dict, after: dict) -> Set[str]:
    return {name for name in set(before) | set(after) if before.get(name) != after.get(name)}


class NothingWrittenTest(ReleaseTestCase):
    """The prefix before and after a full run, against the same for a run of
    an empty program: whatever Wine writes for any program is allowed, and
    nothing else. The stand-in main program and the URL recorder write their
    records in the case folders, outside the prefix."""

    def snapshot(self, label: str):
        registry = {}
        for hive in ("HKLM", "HKCU"):
            path = SESSION.root / f"{label}-{hive}.reg"
            subprocess.run([SESSION.wine, "reg", "export", hive, windows_path(path), "/y"],
                           env=SESSION.wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            if not path.is_file():
                raise HarnessError(f"reg export {hive} wrote nothing")
            registry.update({hive + name: data for name, data in _parse_registry_export(
                path.read_text(encoding="utf-16")).items()})
            path.unlink()
        return _snapshot_files(SESSION.root / "prefix"), registry

    def run_empty_program(self, case: Path):
        """Any program, as far as Wine is concerned: the empty one, then a
        copy of the main program that the launcher starts, from a folder of
        their own."""
        folder = case / "any-program"
        if not folder.is_dir():
            folder.mkdir()
            shutil.copy2(SESSION.programs["tapwright_release_empty"], folder / "empty.exe")
            shutil.copy2(SESSION.programs["tapwright_e2e_stand_in"], folder / MAIN_PROGRAM_NAME)
        for program in (folder / "empty.exe", folder / MAIN_PROGRAM_NAME):
            path = windows_path(program)
            self.finish(SESSION.start_program(path, quoted(path), case_dir=case))

    def prefix_holding(self, marker: str):
        needles = (marker.encode("ascii"), marker.encode("utf-16-le"))
        found = []
        for root, _, files in os.walk(SESSION.root / "prefix"):
            for name in files:
                path = Path(root) / name
                if path.is_file() and not path.is_symlink():
                    data = path.read_bytes()
                    if any(needle in data for needle in needles):
                        found.append(str(path.relative_to(SESSION.root / "prefix")))
        return found

    def test_full_run_changes_nothing_but_what_any_program_changes(self):
        install = SESSION.make_install("versioned", label="nothing-written")
        marker = f"tapwright-reply-{os.getpid()}-{time.time_ns()}"
        # Everything that could tempt WinINet to keep the reply: a long
        # freshness, a persistent cookie, the marker in body and address.
        headers = (("Content-Type", "application/json"),
                   ("Cache-Control", "public, max-age=86400"),
                   ("Set-Cookie", f"tapwright={marker}; Max-Age=86400; Path=/"))
        offer = update_offer(self.download_address(marker), note=marker)
        serve = lambda endpoint: self.offer(endpoint, offer, headers)  # noqa: E731

        self.run_empty_program(install.case_dir)  # what Wine does once per prefix, out of the way
        before_empty = self.snapshot("before-empty")
        self.run_empty_program(install.case_dir)
        after_empty = self.snapshot("after-empty")
        run = self.finish(SESSION.start_launcher(install, "/inst", serve=serve), answers=["NO"])
        after_launcher = self.snapshot("after-launcher")

        self.assert_offered_declined_and_started(run, install)
        self.assertEqual(len(run.requests), 1, run.summary())
        empty_files = _changes(before_empty[0], after_empty[0])
        empty_registry = _changes(before_empty[1], after_empty[1])
        launcher_files = _changes(after_empty[0], after_launcher[0])
        launcher_registry = _changes(after_empty[1], after_launcher[1])
        if VERBOSE:
            print(f"\nany program changed {sorted(empty_files | empty_registry)}; the launcher "
                  f"changed {sorted(launcher_files | launcher_registry)}", file=sys.stderr)
        self.assertLessEqual(launcher_files, empty_files, sorted(launcher_files - empty_files))
        self.assertLessEqual(launcher_registry, empty_registry,
                             sorted(launcher_registry - empty_registry))
        self.assertEqual(self.prefix_holding(marker), [])
        self.assertEqual(sorted(path.name for path in install.folder.iterdir()),
                         sorted([install.launcher.name, MAIN_PROGRAM_NAME,
                                 MAIN_PROGRAM_NAME + ".started.jsonl"]),
                         "the launcher wrote nothing beside itself")
        self.assertEqual(list((run.run_dir / "record").iterdir()), [],
                         "nothing in the launcher's current directory")

        # The same reply, kept by a program that lets WinINet cache: the
        # snapshots and the search would have seen it.
        fetch = SESSION.helper("tapwright_release_fetch")
        url = f"https://{SESSION.config['host']}/api.init.php"
        command_line = quoted(windows_path(fetch)) + " --url " + hex16(url) + " --cache"
        control = self.finish(SESSION.start_program(windows_path(fetch), command_line,
                                                    case_dir=install.case_dir, serve=serve))
        self.assertEqual(control.exit_code, 0, control.summary())
        after_control = self.snapshot("after-control")
        self.assertNotEqual(self.prefix_holding(marker), [], "the control's reply was kept")
        self.assertTrue(_changes(after_launcher[0], after_control[0]) - empty_files)


class SingleInstanceUnderLoadTest(ReleaseTestCase):
    """Eight copies started in the same instant, again and again, against an
    endpoint that offers an update."""

    ROUNDS = 10
    COPIES = 8

    def wait_for(self, condition, timeout: float, what: str):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            time.sleep(0.05)
        self.fail(f"not within {timeout} s: {what}")

    def boxes_of(self, pids) -> list:
        listed = SESSION.helper_json("tapwright_e2e_box", ["list"])["boxes"]
        return [box for box in listed if box["pid"] in pids]

    def read_lines(self, path: Path) -> list:
        if not path.is_file():
            return []
        return [json.loads(line) for line in path.read_text().splitlines() if line]

    def run_round(self, number: int):
        install = SESSION.make_install("versioned", label=f"swarm-{number}")
        folder = install.case_dir
        pids_path, ended_path, result_path = (folder / name for name in
                                              ("pids.json", "ended.jsonl", "result.json"))
        SESSION.endpoint.reset(Response(body=update_offer(self.download_address("swarm"))))
        command_line = quoted(install.launcher_windows) + " /inst"
        with open(folder / "swarm.out", "wb") as out:
            swarm = subprocess.Popen(
                [SESSION.wine, str(SESSION.helper("tapwright_release_swarm")),
                 "--app", hex16(install.launcher_windows), "--command-line", hex16(command_line),
                 "--cwd", hex16(windows_path(folder)), "--count", str(self.COPIES),
                 "--pids", hex16(windows_path(pids_path)),
                 "--ended", hex16(windows_path(ended_path)),
                 "--result", hex16(windows_path(result_path)), "--timeout", "40000"],
                env=SESSION.wine_env(), stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.STDOUT)
        try:
            pids = set(self.wait_for(
                lambda: pids_path.is_file() and json.loads(pids_path.read_text()), 30,
                "the swarm started its copies"))
            self.assertEqual(len(pids), self.COPIES)
            box = self.wait_for(lambda: self.boxes_of(pids), 30, "a box")
            ended = self.wait_for(
                lambda: len(self.read_lines(ended_path)) >= self.COPIES - 1 and
                self.read_lines(ended_path), 30, "seven copies ended")
            boxes = self.boxes_of(pids)
            self.assertEqual(len(boxes), 1, boxes)
            self.assertEqual(boxes[0]["hwnd"], box[0]["hwnd"])
            self.assertEqual(len(ended), self.COPIES - 1, ended)
            self.assertNotIn(boxes[0]["pid"], {copy["pid"] for copy in ended},
                             "the box belongs to the copy that still runs")
            self.assertEqual([copy["exit_code"] for copy in ended], [0] * (self.COPIES - 1))
            pressed = SESSION.helper_json("tapwright_e2e_box", [
                "press", "--hwnd", str(boxes[0]["hwnd"]), "--button", str(BUTTONS["NO"])])
            self.assertTrue(pressed.get("closed"), pressed)
            swarm.wait(timeout=60)
        finally:
            if swarm.poll() is None:
                swarm.kill()
                swarm.wait(timeout=10)
        result = json.loads(result_path.read_text())
        self.assertFalse(result["timed_out"], result)
        self.assertTrue(result["settled"], result)
        self.assertEqual([copy["exit_code"] for copy in result["copies"]], [0] * self.COPIES)
        self.assertEqual(len(SESSION.endpoint.requests()), 1, "one copy asked the endpoint")
        started = self.read_lines(install.folder / (MAIN_PROGRAM_NAME + ".started.jsonl"))
        self.assertEqual(len(started), 1, "one copy started the main program")

    def test_eight_copies_at_once_show_one_box_and_the_rest_end_silently(self):
        for number in range(1, self.ROUNDS + 1):
            with self.subTest(round=number):
                self.run_round(number)


def main():
    global CONFIG, DISPLAY, KEEP, VERBOSE
    args = suite_arguments("TAPWRIGHT_RELEASE_CONFIG", "release_config.json",
                           display_variable="TAPWRIGHT_RELEASE_DISPLAY")
    CONFIG, DISPLAY, KEEP, VERBOSE = args.config, args.display, args.keep, args.verbose
    unittest.main(argv=args.unittest_argv)


CONFIG = None
DISPLAY = None
KEEP = False
VERBOSE = False

if __name__ == "__main__":
    main()
