"""The launcher as its users meet it, under Wine: one table of cases, then the
few that need their own choreography, all on one bench session.

    /usr/bin/python3 tests/e2e/cases.py --config <build>/tools/bench.json [-v] [-k name] [--keep]
"""

import argparse
import dataclasses
import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import time
import unittest
from contextlib import nullcontext
from pathlib import Path
from typing import Dict, Optional, Tuple

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
from bench import BUTTONS, STAND_INS, Session, hex16, quoted, read_lines, windows_path  # noqa: E402
from endpoint import Response, wait_until  # noqa: E402

RELEASE = runpy.run_path(str(ROOT / "scripts/release"))


SESSION: Session = None
UA = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/115.0.0.0 Safari/537.36")
TEXTS = {  # the caption, the repair box and the update prompt, as the user reads them
    "en_US.UTF-8": ("Tapwright", "The application configuration file is invalid.\r\r"
                    "Please reinstall and run.", "This program has been updated.\r\rIt is "
                    "recommended to download and execute new for stable use.\r\r"
                    "Do you want to download it?"),
    "ko_KR.UTF-8": ("탭라이트", "응용 프로그램 구성 파일이 잘못되었습니다.\r\r다시 설치 후 실행해 "
                    "주십시오.", "업데이트가 정보가 있습니다.\r\r안정적으로 사용하기 위해 업데이트를 "
                    "하시길 권장합니다.\r\r다운로드 받으시겠습니까?"),
}
# Raw UTF-8, \u escapes and escaped slashes, as a service may mix them.
ADDRESS = "https://localhost/download/탭라이트/café?v=2.1&lang=ko"
OFFER = Response('{"update":"https:\\/\\/localhost\\/download\\/탭라이트\\/caf\\u00e9?v=2.1'
                 '\\u0026lang=ko"}'.encode())
HOME = "https://localhost:{port}"
MOVED = "http://localhost:{plain}/offer", "/moved/api.init.php"


def field_ending_at(index: int) -> Response:
    return Response(b" " * (index + 2 - len(OFFER.body)) + OFFER.body)  # the body ends '"}'


def redirect(status: int, to: str) -> Dict[str, Response]:
    return {"/api.init.php": Response(status=status, headers=(("Location", to),)), "/offer": OFFER,
            "/moved/api.init.php": OFFER}


@dataclasses.dataclass
class Case:
    """This install, command line, locale and endpoint (routes, or "closed",
    "silent" or a refused certificate); then these boxes (the repair box, or
    the prompt answered in turn), addresses opened and start of the main
    program, one request carrying this version, and an end within the limit."""

    name: str
    main: Optional[str] = "versioned"
    args: str = "/inst"
    folder: str = "install"
    lang: str = "en_US.UTF-8"
    routes: Optional[Dict[str, Response]] = None
    endpoint: str = ""
    answers: Tuple[str, ...] = ()
    opened: Tuple[str, ...] = ()
    started: bool = True
    version: Optional[str] = "2.0.1.0"
    limit: float = 5.0

    def boxes(self):
        caption, repair, prompt = TEXTS[self.lang]
        if self.main in (None, "directory"):
            return [(caption, repair, [BUTTONS["OK"]], "error")]
        buttons = [BUTTONS["YES"], BUTTONS["NO"]]
        return [(caption, prompt, buttons, "information")] * len(self.answers)


REPAIR = {"opened": (HOME,), "started": False, "version": None}
YES = {"answers": ("YES",), "opened": (ADDRESS,), "started": False}
CASES = [
    *[Case(f"repair in {lang}", main=None, lang=lang, **REPAIR) for lang in TEXTS],
    Case("a folder named Tapwright.exe", main="directory", **REPAIR),
    Case("repair without /inst", main=None, args="", **REPAIR),
    Case("no update, quoted /inst", args='"/inst"'),
    Case("blanks in the path", folder="Program Files/Tapwright Service"),
    Case("no version resource", main="noversion", version="0.0.0.0"),
    Case("largest version", main="maxversion", version="65535.0.10.200"),
    Case("a main program of zero bytes", main="empty", version="0.0.0.0", started=False),
    *[Case(f"first argument {args!r}", args=args, started=False) for args in ("", "/INST")],
    *[Case(f"prompt in {lang}, No", lang=lang, routes={"*": OFFER}, answers=("NO",))
      for lang in TEXTS],
    Case("prompt, Yes", routes={"*": OFFER}, **YES),
    Case("prompt, No, no /inst", args="", routes={"*": OFFER}, answers=("NO",), started=False),
    Case("error status", routes={"*": dataclasses.replace(OFFER, status=500)}, **YES),
    Case("moved for good", routes=redirect(301, MOVED[1]), **YES),
    Case("redirected to plain http", routes=redirect(302, MOVED[0])),
    Case("no web address", routes={"*": Response(b'{"status":"ok","update":"abc"}')}),
    Case("cut inside the value", routes={"*": dataclasses.replace(OFFER, drop=True)}),
    # The field's closing quote in the last byte of the 1 MiB read, and one byte past it.
    Case("field ends at the cap", routes={"*": field_ending_at((1 << 20) - 1)}, **YES),
    Case("field ends past the cap", routes={"*": field_ending_at(1 << 20)}),
    Case("connection refused", endpoint="closed", version=None, limit=2),
    Case("never answers", endpoint="silent", version=None, limit=15),
    Case("drips a byte a second", routes={"*": dataclasses.replace(OFFER, drip=1.0)}, limit=15),
    Case("slow but in time", routes={"*": dataclasses.replace(OFFER, drip=0.04)}, limit=9, **YES),
    *[Case(f"certificate {kind}", endpoint=kind, version=None)
      for kind in ("untrusted", "other-host", "expired")],
]
CERTIFICATES = {"untrusted": ("untrusted", "localhost", 7, "other"),
                "other-host": ("other", "update.tapwright.invalid"),
                "expired": ("expired", "localhost", -1)}


def launch(case: Case):
    install = SESSION.install(case.main, re.sub(r"\W+", "-", case.name), case.folder)
    routes = {path: dataclasses.replace(response, headers=tuple(
        (key, value.format(plain=SESSION.endpoint.plain_port)) for key, value in response.headers))
        for path, response in (case.routes or {}).items()}
    options = {"holding": case.endpoint == "silent"}
    if case.endpoint in CERTIFICATES:
        certificate = SESSION.certificate(*CERTIFICATES[case.endpoint])
        options["context"] = SESSION.endpoint.context_for(*certificate)
    if case.endpoint == "closed":
        SESSION.endpoint.stop()
    try:
        run = SESSION.launch(install, case.args, lang=case.lang, routes=routes,
                             answers=case.answers, **options)
    finally:
        if case.endpoint == "closed":
            SESSION.endpoint.start()
    return install, run


def check(test: unittest.TestCase, case: Case, install, run):
    seen = [(box["caption"], box["text"], [b["id"] for b in box["buttons"]], box["icon"])
            for box in run.boxes]
    test.assertEqual(seen, case.boxes(), run.summary())
    test.assertEqual([box["owner"] for box in run.boxes], [0] * len(seen), "boxes have no owner")
    home = HOME.format(port=SESSION.port)
    test.assertEqual(run.opened, [home if a == HOME else a for a in case.opened], run.summary())
    test.assertEqual(len(run.started), int(case.started), run.summary())
    for start in run.started:  # the main program's own path and nothing else, in our directory
        test.assertIn(start["command_line"], (install.main_program, quoted(install.main_program)))
        test.assertEqual(start["cwd"].rstrip("\\"), windows_path(run.folder))
    asked = [r for r in run.requests if r.path == "/api.init.php"]
    test.assertEqual(len(asked), int(case.version is not None), run.summary())
    for request in asked:
        test.assertEqual([request.header(name) for name in
                          ("Host", "User-Version", "User-Debug", "User-Agent", "Pragma")],
                         [f"localhost:{SESSION.port}", case.version, "false", UA, "no-cache"])
    test.assertEqual([r.path for r in run.requests if not r.secure], [], "asked over plain HTTP")
    test.assertEqual((run.exit_code, run.seconds < case.limit), (0, True), run.summary())
    if case.main in STAND_INS and case.version:  # scripts/release reads what the launcher sends
        with test.assertRaises(ValueError) if case.version == "0.0.0.0" else nullcontext():
            test.assertEqual(RELEASE["file_version"](install.folder / "Tapwright.exe"),
                             case.version)


class Table(unittest.TestCase):
    def test_rows(self):
        for case in CASES:
            with self.subTest(case.name):
                try:
                    check(self, case, *launch(case))
                finally:
                    SESSION.settle()


KNOWN_DLLS = {f"{name}.dll" for name in (
    "ntdll", "advapi32", "comdlg32", "gdi32", "imm32", "kernel32", "msvcrt", "ole32", "oleaut32",
    "rpcrt4", "shell32", "shlwapi", "user32", "ws2_32")}
# What a Windows 7 without its updates lacks: importing one keeps the launcher
# from starting there at all.
NEWER_THAN_WINDOWS_7 = {"SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
                        "GetSystemTimePreciseAsFileTime", "CreateFile2"}


class Choreography(unittest.TestCase):
    def tearDown(self):
        SESSION.settle()

    def quiet(self, run):
        self.assertEqual((run.boxes, run.opened, run.started, run.exit_code, run.seconds < 3),
                         ([], [], [], 0, True), run.summary())

    def test_second_copy_ends_at_once_while_the_first_shows_its_box(self):
        first_install = SESSION.install(None, "first")
        first = SESSION.start(p := windows_path(first_install.launcher), quoted(p))
        box = first.next_box(20)
        for main in ("versioned", None):
            self.quiet(SESSION.launch(SESSION.install(main, "second"), "/inst"))
        first.answer(box, "OK")
        check(self, Case("first", main=None, args="", **REPAIR), first_install,
              first.finish(install=first_install))
        # A copy that an elevated installer started: its mutex denies this user every access.
        let_go = SESSION.hold_mutex(SESSION.program("tapwright_bench"), "--deny")
        self.quiet(SESSION.launch(SESSION.install("versioned", "beside-elevated"), "/inst"))
        let_go()

    def test_eight_copies_at_once_show_one_box_and_the_rest_end_silently(self):
        for _ in range(2):
            install = SESSION.install("versioned", "eight")
            path = windows_path(install.launcher)
            running = SESSION.start(path, quoted(path) + " /inst", copies=8, routes={"*": OFFER})
            boxes = lambda: [box for box in SESSION.bench("boxes")["boxes"]  # noqa: E731
                             if box["pid"] in running.pids]
            self.assertTrue(wait_until(boxes, 30))
            self.assertFalse(wait_until(lambda: len(boxes()) > 1, 3), "one box, of one copy")
            running.boxes = boxes()
            running.answer(running.boxes[0], "NO")
            run = running.finish(install=install)
            self.assertEqual(json.loads(running.out.read_text())["exit_codes"], [0] * 8)
            self.assertEqual((len(run.requests), len(run.started)), (1, 1), run.summary())

    def test_a_run_loads_no_planted_dll_shows_no_other_window_and_writes_nothing(self):
        marker = f"tapwright-{os.getpid()}"
        install = SESSION.install("versioned", "one-run")
        shutil.copy2(SESSION.programs["tapwright_planted_wininet"], install.folder / "wininet.dll")
        # A body, an address and a cookie that lasts: all that WinINet might keep.
        reply = Response(f'{{"update":"https:\\/\\/localhost\\/{marker}"}}'.encode(), headers=(
            ("Cache-Control", "public, max-age=86400"),
            ("Set-Cookie", f"{marker}=1; Expires=Wed, 01 Jan 2031 00:00:00 GMT; Path=/")))
        stand_in = SESSION.install("versioned", "any-program").main_program
        before = SESSION.snapshot()  # any program (the session ran some before), then ours
        SESSION.start(stand_in, quoted(stand_in)).finish()
        between = SESSION.snapshot()
        # Wine is told to prefer a wininet.dll beside the program, as Windows would.
        running = SESSION.start(p := windows_path(install.launcher), quoted(p) + " /inst",
                                routes={"*": reply}, dlls="wininet=n,b")
        box = running.next_box()
        windows = SESSION.bench("windows", "--pid", str(running.pids[0]))["windows"]
        running.answer(box, "NO")
        run, after = running.finish(install=install), SESSION.snapshot()
        changes = [{key for key in a.keys() | b.keys() if a.get(key) != b.get(key)}
                   for a, b in ((before, between), (between, after))]
        self.assertEqual((len(run.boxes), len(run.started), run.exit_code), (1, 1, 0),
                         run.summary())
        self.assertEqual([w["class"] for w in windows if w["visible"]], ["#32770"], windows)
        self.assertFalse({"obj_App", "obj_Form", "SvcTapwright"} & {w["class"] for w in windows})
        self.assertLessEqual(changes[1], changes[0], sorted(changes[1] - changes[0]))
        self.assertEqual([path for path in (SESSION.root / "prefix").rglob("*") if path.is_file()
                          and not path.is_symlink() and marker.encode() in path.read_bytes()], [])
        self.assertEqual(sorted(path.name for path in install.folder.iterdir()),  # none *.loaded
                         ["Tapwright.exe", "Tapwright.exe.started.jsonl", "TapwrightService.exe",
                          "wininet.dll"])

    def test_fatal_faults_end_with_a_box_and_their_number(self):
        bench = windows_path(SESSION.program("tapwright_bench"))
        for mode, number, boxes in (("access-violation", 216, 1), ("out-of-memory", 203, 1),
                                    ("throw", 203, 1), ("access-violation --loader-lock", 216, 0)):
            with self.subTest(mode):
                facts = SESSION.folder("fault") / "module.json"
                line = f"{quoted(bench)} fault {mode} --module {hex16(windows_path(facts))}"
                run = SESSION.start(bench, line).finish(("OK",))
                module = json.loads(facts.read_text())
                self.assertEqual([(b["caption"], b["icon"]) for b in run.boxes],
                                 [("Error", "error")] * boxes)
                pattern = rf"Runtime error {number} at \$([0-9A-F]{{16}})"
                for at in (int(re.fullmatch(pattern, box["text"])[1], 16) for box in run.boxes):
                    self.assertIn(at - module["base"], range(module["size"]), "in the program")
                self.assertEqual((run.exit_code, run.seconds < 15), (number, True), run.summary())

    def test_imports_are_known_dlls_and_functions_windows_7_has(self):
        output = subprocess.run([SESSION.config["objdump"], "-p", str(SESSION.programs[
            "TapwrightService"])], capture_output=True, text=True, check=True).stdout
        self.assertLessEqual({name.lower() for name in re.findall(r"DLL Name: (\S+)", output)},
                             KNOWN_DLLS)
        functions = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", output, re.MULTILINE))
        self.assertIn("LoadLibraryExW", functions)
        self.assertEqual(functions & NEWER_THAN_WINDOWS_7, set())


# What the installer loads by name (WINEDEBUG=+loaddll): comctl32, its one import that is no known
# DLL, and what it loads from System32 itself but uxtheme, which Wine's comctl32 imports first.
SETUP_DLLS = ("comctl32", "userenv", "setupapi", "apphelp", "propsys", "dwmapi", "cryptbase",
              "oleacc", "clbcatq", "ntmarta", "shfolder")


ACCENTED = "https://localhost/télécharger/Tapwright-2.1.0.0.exe?canal=stable&v=2"
ENTRIES = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENTRY = ENTRIES + "\\Tapwright"
REFUSALS = {  # the setup's box, then the uninstaller's, while the product runs: caption, text
    "de_DE.UTF-8": [("Installation von Tapwright", "Tapwright wird ausgeführt und konnte daher "
                     "nicht auf 2.1.0.0 aktualisiert werden. Es wurde nichts geändert. Bitte "
                     "schließen Sie Tapwright und führen Sie dieses Setup erneut aus."),
                    ("Deinstallation von Tapwright", "Tapwright wird ausgeführt und konnte daher "
                     "nicht entfernt werden. Es wurde nichts geändert. Bitte schließen Sie "
                     "Tapwright und versuchen Sie es erneut.")],
    "ja_JP.UTF-8": [("Tapwright セットアップ", "Tapwright が実行中のため、2.1.0.0 にアップデートできません"
                     "でした。何も変更されていません。Tapwright を終了してから、このセットアップをもう一度"
                     "実行してください。"), ("Tapwright アンインストール", "Tapwright が実行中のため、アン"
                     "インストールできませんでした。何も変更されていません。Tapwright を終了してから、もう"
                     "一度お試しください。")]}


def silent(program: Path, *arguments: str, **options):
    """A setup or the uninstaller with /S, as a download or the Apps list starts it."""
    return SESSION.start(p := windows_path(program), " ".join((quoted(p), "/S", *arguments)),
                         grace=60, **options)


class ReleaseAndReferenceEndpoint(unittest.TestCase):
    def test_release_cycle_behind_the_reference_endpoint(self):
        sign = SESSION.certificate("codesign", usage="codeSigning")
        old, build = SESSION.setup("2.0.1.0", "tapwright_bench"), Path(
            SESSION.programs["TapwrightService"]).parent / "release"
        # The next release as scripts/release makes it, each signature stamped by the session's
        # time-stamp server (checked below as installed).
        subprocess.run(["/usr/bin/python3", ROOT / "scripts/release", "--main", SESSION.programs[
            "tapwright_bench_newer"], "--host", f"localhost:{SESSION.port}", "--download", "https:",
            "--cert", sign[0], "--key", sign[1], "--timestamp", SESSION.stamps(), "--build", build],
            check=True, timeout=900, capture_output=True)
        new = build / "TapwrightSetup-2.1.0.0.exe"
        downloads, folder = SESSION.folder("Downloads"), SESSION.product_folder
        for name in SETUP_DLLS:
            shutil.copy2(SESSION.programs["tapwright_planted_wininet"], downloads / f"{name}.dll")
        programs = lambda: {p.name: p.read_bytes() for p in folder.iterdir()}  # noqa: E731
        # Another program and its Apps-list entry, there before the first install.
        (other := folder.parent / "Other").mkdir(parents=True)
        (other / "Other.exe").write_bytes(b"MZ")
        SESSION.quiet(["wine", "reg", "add", f"{ENTRIES}\\Other", "/d", "Other", "/f"], 60)
        with SESSION.reference_endpoint("release") as reference:
            before = SESSION.snapshot()
            shutil.copy2(old, downloads)
            installed = silent(downloads / old.name,
                               dlls=";".join(f"{name}=n,b" for name in SETUP_DLLS)).finish()
            made, first = SESSION.snapshot(), programs()
            let_go = SESSION.hold_mutex(folder / "Tapwright.exe")  # the product runs
            setups = (new, ""), (folder / "Uninstall.exe", f"_?={windows_path(folder)}")
            refused = {lang: [(box["caption"], box["text"]) for box in (SESSION.refusal(
                *setup, lang).boxes[1] for setup in setups)] for lang in REFUSALS}
            self.assertEqual((silent(new).finish().exit_code, programs()), (2, first))
            let_go()
            shutil.copy2(new, reference.downloads)
            address = f"https://localhost:{SESSION.port}/download/{new.name}"
            reference.publish("2.1.0.0", address)
            target, arguments, _ = shortcut = SESSION.shortcut()
            run = SESSION.start(target, f"{quoted(target)} {arguments}", grace=60).finish(["YES"])
            # Any older launcher is offered what json_encode escaped; a newer one is not.
            for version in ("2.0.1.0", "2.1.0.0"):
                reference.publish(version, ACCENTED)
            older = SESSION.launch(SESSION.install("versioned", "older"), "/inst", answers=("YES",))
            newest = SESSION.install("maxversion", "newest")
            current = SESSION.launch(newest, "/inst")
        self.assertEqual((installed.exit_code, list(downloads.glob("*.loaded"))), (0, []))
        self.assertEqual(sorted(first), ["Tapwright.exe", "Tapwright.exe.started.jsonl",
                                         "TapwrightService.exe", "Uninstall.exe"])
        self.assertLessEqual({'"DisplayVersion"="2.0.1.0"', '"Created"=dword:00000002'},
                             made.keys())
        home = "C:\\" + "\\".join(folder.relative_to(SESSION.root / "prefix/drive_c").parts)
        self.assertEqual((shortcut, run.opened, [box["text"] for box in run.boxes]), ((
            home + "\\TapwrightService.exe", "/inst", home), [address], [TEXTS["en_US.UTF-8"][2]]),
            run.summary())
        self.assertEqual(refused, REFUSALS)
        started = read_lines(folder / "Tapwright.exe.started.jsonl")
        self.assertEqual([start["version"] for start in started], ["2.0.1.0", "2.1.0.0"])
        for signed in (new, folder / "TapwrightService.exe", folder / "Uninstall.exe"):
            ca = SESSION.ca / "ca.pem"
            verify = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca,
                                     "-in", signed], capture_output=True, text=True)
            self.assertEqual((verify.returncode, "Timestamp Server Signature verification: ok"
                              in verify.stdout), (0, True), f"{signed}: {verify.stdout}")
        self.assertEqual((len(older.boxes), older.opened, older.started), (1, [ACCENTED], []))
        self.assertEqual((current.boxes, len(newest.started)), ([], 1), current.summary())
        (folder / "Tapwright.exe.started.jsonl").unlink()  # the stand-in's record
        shutil.rmtree(other)  # the other program was removed meanwhile: its folders were not ours
        SESSION.quiet(["wine", "reg", "delete", f"{ENTRIES}\\Other", "/f"], 60)
        # In place, as an uninstaller that reports its code runs; the caller then removes it.
        place = f"_?={windows_path(folder)}"
        self.assertEqual(silent(folder / "Uninstall.exe", place).finish().exit_code, 0)
        (folder / "Uninstall.exe").unlink(), folder.rmdir()
        after = SESSION.snapshot()
        self.assertEqual(sorted((made.keys() - before.keys()) & after.keys()), [])
        self.assertLessEqual({str(folder.parent.relative_to(SESSION.root / "prefix")),
                              f"[HKEY_CURRENT_USER\\{ENTRIES[5:]}]"}, after.keys())


BUSY = "Another setup of Tapwright is running, so nothing was changed. Wait until it has " \
    "finished, then try again."


class UpdateUnderFaults(unittest.TestCase):
    """What real machines do to an update and an uninstall: a file held for a moment or for
    good, two setups at once, a setup or the uninstaller killed anywhere, the product started
    while the uninstaller works, read-only programs; and the files that the product keeps beside
    its programs."""

    def test_the_swap_and_the_uninstall_lose_nothing(self):
        folder, run = SESSION.product_folder, lambda setup, *rest: silent(setup, *rest).finish()
        here, uninstaller = f"_?={windows_path(folder)}", folder / "Uninstall.exe"  # in place
        versions = ("2.0.1.0", "tapwright_bench"), ("2.1.0.0", "tapwright_bench_newer")
        setups = {v: SESSION.setup(v, main) for v, main in versions}
        whole = {v: (SESSION.programs[main].read_bytes(), (  # what each setup packs
            setups[v].parent / "TapwrightService.exe").read_bytes()) for v, main in versions}
        main, launcher = folder / "Tapwright.exe", folder / "TapwrightService.exe"
        self.assertEqual(run(setups["2.0.1.0"]).exit_code, 0)
        kept = {folder / "settings.ini": b"[view]\r\nzoom=2\r\n", folder / "logs/1.log": b"ok"}
        for path, text in kept.items():
            path.parent.mkdir(exist_ok=True), path.write_bytes(text), path.chmod(0o444)
        ours = lambda: {k: v for k, v in SESSION.snapshot().items() if re.search(  # noqa: E731
            r"Programs/Tapwright(?!.*started)|Tapwright\.lnk|Uninstall\\Tapwright", k)}
        leftovers = lambda: sorted(p.name for p in folder.glob("*.exe.*"))  # noqa: E731

        def pair():  # the version that each program is of, byte for byte, or None
            return tuple(next((v for v, of in whole.items() if path.exists() and of[i] ==
                               path.read_bytes()), None) for i, path in enumerate((main, launcher)))

        state = lambda: both[0] if (both := pair())[0] == both[1] else None  # noqa: E731

        def update(versions, held, ms, codes, *ends):  # ends: the versions it may end at, whole
            holder, running = SESSION.hold(held, ms), [silent(setups[v]) for v in versions]
            self.assertEqual([setup.finish().exit_code for setup in running], codes)
            holder.wait(30)
            self.assertEqual((state() in ends, leftovers()),
                             (True, ["Tapwright.exe.started.jsonl"]))

        # Held for a moment, an installed program or a staged one: the update waits for it.
        update(["2.1.0.0"], main, 2500, [0], "2.1.0.0")
        update(["2.0.1.0"], folder / "TapwrightService.exe.new", 1000, [0], "2.0.1.0")
        # Two setups at once: one waits its turn, and what the Apps list says is what is there.
        update(whole, launcher, 1000, [0, 0], *whole)
        self.assertIn(f"DisplayVersion    REG_SZ    {state()}",
                      SESSION.quiet(["wine", "reg", "query", ENTRY], 60))
        other = lambda: "2.1.0.0" if state() == "2.0.1.0" else "2.0.1.0"  # noqa: E731
        # Held past the retry window, after the main program's step each time: rolled back, the
        # version before whole and nothing left, and the setup says so.
        update([other()], launcher, 8000, [2], state())
        # Each staged program is on disk (an fsync under Wine) before its rename into place.
        with SESSION.traced(["wine", str(setups[target := other()]), "/S"]) as calls:
            pass
        for name in ("Tapwright.exe", "TapwrightService.exe"):
            flushed, moved = ("fsync", name + ".new"), ("rename", name + ".new", name)
            self.assertEqual([c for c in calls if c in (flushed, moved)], [flushed, moved], calls)
        self.assertEqual(state(), target)
        # Killed right after each change of the swap: every name holds a whole program, the new
        # main program beside the old launcher at most; the same setup run again ends whole.
        windows = set()
        for change in range(1, 9):
            had, target = state(), other()
            SESSION.killed(["wine", str(setups[target]), "/S"], [folder], change)
            killed, left, news = pair(), leftovers(), pair().count(target)
            SESSION.log(f"killed at change {change}: {killed} {left}")
            self.assertIn(killed, ((had, had), (target, had), (target, target)), change)
            windows.add((news, news < 2 and ("Tapwright.exe.old", "TapwrightService.exe.old")[
                news] in left))
            self.assertEqual((run(setups[target]).exit_code, state()), (0, target), change)
        self.assertEqual(len(windows), 5, "before, in each program's step, between, after")
        # A scanner holds the old main program from the moment the launcher's step begins (the
        # server slowed meanwhile, so that it is first), and the new launcher, past the retry
        # window: the rollback cannot finish, and the setup says so with every program whole.
        had, target = state(), other()
        with SESSION.traced(delay_ms=1000):
            holders = [SESSION.hold(folder / "TapwrightService.exe.new", 30000), SESSION.hold(
                folder / "Tapwright.exe.old", 30000, when=folder / "TapwrightService.exe.old")]
            stuck = silent(setups[target])
            wait_until(lambda: (folder / "TapwrightService.exe.old").exists(), 30)
            time.sleep(0.5)
        stuck = stuck.finish()
        self.assertEqual((stuck.exit_code, pair()), (3, (target, had)), stuck.summary())
        for holder in holders:
            holder.kill(), holder.wait(30)
        self.assertEqual((run(setups[target]).exit_code, state()), (0, target))
        # Another setup holds the lock past the wait: the setup says so and changes nothing.
        installed, let_go = ours(), SESSION.hold_mutex(SESSION.program("tapwright_bench"), "--name",
                                                       hex16("TapwrightSetupMutex"))
        busy = SESSION.refusal(setups[other()])
        let_go()
        self.assertEqual(([box["text"] for box in busy.boxes[1:]], busy.exit_code, ours()),
                         ([BUSY], 2, installed))
        # Both programs read-only, as a sync tool or a backup restore leaves them: the update and
        # the last uninstall go through; the product's own files keep their attribute.
        main.chmod(0o555), launcher.chmod(0o555)
        self.assertEqual((run(setups[target := other()]).exit_code, state()), (0, target))
        # The uninstaller while the product runs, killed right after it lets go of the main
        # program the first time, or else left to its refusal: nothing goes.
        installed, let_go = ours(), SESSION.hold_mutex(main)
        uninstall = ["wine", str(uninstaller), "/S", here]
        SESSION.killed(uninstall, [folder], 1, events=0x10, name=main.name, delayed=[main])
        let_go()
        self.assertEqual(ours(), installed)
        # Killed after each of its deletions, then run again: what the install made is removed,
        # and only that (in place, the uninstaller itself stays for its caller).
        removed = sorted(str(path.relative_to(SESSION.root / "prefix")) for path in (
            folder, folder / "logs", uninstaller, *kept))
        shortcuts = folder.parents[2] / "Roaming/Microsoft/Windows/Start Menu/Programs"
        for change in (1, 2, 3, 0):  # 0: not killed, both programs read-only
            if change:
                SESSION.killed(uninstall, [folder, shortcuts], change)
                SESSION.log(f"uninstaller killed at {change}: {sorted(ours().keys() - removed)}")
            else:
                main.chmod(0o555), launcher.chmod(0o555)
            self.assertEqual((run(uninstaller, here).exit_code, sorted(ours())), (0, removed))
            self.assertEqual({path: path.read_bytes() for path in kept}, kept)
            if change:
                self.assertEqual(run(setups["2.1.0.0"]).exit_code, 0)
        self.assertEqual([path.stat().st_mode & 0o222 for path in kept], [0, 0])


def main():
    global SESSION
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--config", required=True)
    parser.add_argument("--keep", action="store_true")
    args, rest = parser.parse_known_args()
    log = print if "-v" in rest else lambda _: None
    with Session(args.config, keep=args.keep, log=log) as SESSION:
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
