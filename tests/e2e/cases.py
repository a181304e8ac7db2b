"""The launcher as its users meet it, under Wine: one row per case, then the
few cases that need their own choreography. All share one bench session.

    python3 tests/e2e/cases.py --config <build>/tools/bench.json [-v] [-k name] [--keep]
"""

import argparse
import dataclasses
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path
from typing import Dict, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from bench import BUTTONS, Session, hex16, quoted, read_lines, windows_path  # noqa: E402
from endpoint import Response, wait_until  # noqa: E402
from reference import ReferenceEndpoint  # noqa: E402

SESSION: Session = None
UA = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/115.0.0.0 Safari/537.36")
TEXTS = {  # caption, repair box, update prompt: as the user reads them in each language
    "en_US.UTF-8": ("Tapwright", "The application configuration file is invalid.\r\rPlease reinstall and run.",
                    "This program has been updated.\r\rIt is recommended to download and execute new for "
                    "stable use.\r\rDo you want to download it?"),
    "de_DE.UTF-8": ("Tapwright", "Die Anwendungskonfigurationsdatei ist ungültig.\r\rBitte neu installieren "
                    "und ausführen.", "Dieses Programm ist aktualisiert worden.\r\rEs wird empfohlen, es "
                    "herunterzuladen und neu auszuführen, um es stabil zu verwenden.\r\rMöchten Sie es herunterladen?"),
    "ko_KR.UTF-8": ("탭라이트", "응용 프로그램 구성 파일이 잘못되었습니다.\r\r다시 설치 후 실행해 주십시오.",
                    "업데이트가 정보가 있습니다.\r\r안정적으로 사용하기 위해 업데이트를 하시길 권장합니다.\r\r"
                    "다운로드 받으시겠습니까?"),
    "ja_JP.UTF-8": ("Tapwright", "アプリケーションの設定ファイルが無効です。\r\r再インストールして実行してください。",
                    "このプログラムがアップデートされました。\r\r安定的に使用するために新しくダウンロード\u00b7実行する"
                    "ことをお勧めします。\r\rダウンロードしますか。"),
}
ADDRESS = "https://localhost/download/탭라이트/café?v=2.1&lang=ko"
OFFER = Response('{"update":"https:\\/\\/localhost\\/download\\/탭라이트\\/caf\\u00e9?v=2.1\\u0026lang=ko"}'
                 .encode())


def offer(field: str, **response) -> Dict[str, Response]:
    return {"*": Response(('{"status":"ok","update":"' + field + '"}').encode(), **response)}


@dataclasses.dataclass
class Case:
    """This install, command line, locale and endpoint; then these boxes (repair
    or prompt, answered in turn), addresses opened and start of the main program,
    with one request carrying this version (none without a main program)."""

    name: str
    main: Optional[str] = "versioned"
    args: str = "/inst"
    lang: str = "en_US.UTF-8"
    routes: Optional[Dict[str, Response]] = None
    endpoint: str = ""  # "closed", "silent", or a certificate: "untrusted", "other-host", "expired"
    answers: Tuple[str, ...] = ()
    opened: Tuple[str, ...] = ()
    started: bool = True
    version: Optional[str] = "2.0.1.0"
    limit: float = 5.0
    folder: str = "install"
    line: Optional[str] = None  # a whole command line, "{}" standing for the launcher's path

    @property
    def boxes(self):
        caption, repair, prompt = TEXTS[self.lang]
        if self.main in (None, "directory"):
            return [(caption, repair, [BUTTONS["OK"]], "error")]
        return [(caption, prompt, [BUTTONS["YES"], BUTTONS["NO"]], "information")] * len(self.answers)


HOME = "https://localhost:{port}"
CASES = [
    *[Case(f"repair in {lang}", main=None, lang=lang, opened=(HOME,), started=False, version=None)
      for lang in TEXTS],
    Case("a folder named Tapwright.exe", main="directory", opened=(HOME,), started=False, version=None),
    Case("repair without /inst", main=None, args="", opened=(HOME,), started=False, version=None),
    Case("no update", args='"/inst"'),
    Case("later arguments", args="/inst /INST extra"),
    Case("unquoted launcher and a tab", line="{}  \t/inst"),
    Case("blanks in the path", folder="Program Files/Tapwright Service"),
    Case("unquoted path with blanks", folder="Program Files/Tapwright Service", line="{} /inst", started=False),
    Case("no version resource", main="noversion", version="0.0.0.0"),
    Case("largest version", main="maxversion", version="65535.0.10.200"),
    *[Case(f"first argument {args}", args=args, started=False) for args in ("", "/INST", "x /inst")],
    *[Case(f"prompt in {lang}, No", lang=lang, routes={"*": OFFER}, answers=("NO",)) for lang in TEXTS],
    Case("prompt, Yes", routes={"*": OFFER}, answers=("YES",), opened=(ADDRESS,), started=False),
    Case("prompt, Yes, no /inst", args="", routes={"*": OFFER}, answers=("YES",), opened=(ADDRESS,),
         started=False),
    Case("prompt, No, no /inst", args="", routes={"*": OFFER}, answers=("NO",), started=False),
    Case("error status with a field", routes=offer("https:\\/\\/localhost\\/a", status=500), answers=("YES",),
         opened=("https://localhost/a",), started=False),
    Case("moved for good", routes={"/api.init.php": Response(status=301, headers=(
        ("Location", "/moved/api.init.php"),)), "/moved/api.init.php": OFFER}, answers=("YES",),
        opened=(ADDRESS,), started=False),
    Case("redirected to plain http", routes={"/api.init.php": Response(status=302, headers=(
        ("Location", "http://localhost:{plain}/offer"),)), "/offer": OFFER}),
    *[Case(f"no web address: {field}", routes=offer(field)) for field in ("abc", "file:\\/\\/\\/C:\\/x")],
    Case("empty body", routes={"*": Response(b"")}),
    Case("cut inside the value", routes={"*": dataclasses.replace(OFFER, drop=True)}),
    Case("field after 2 MiB", routes=offer("https:\\/\\/localhost\\/x" + " " * (2 << 20))),
    Case("connection refused", endpoint="closed", version=None, limit=2),
    Case("never answers", endpoint="silent", version=None, limit=15),
    Case("reads and never answers", routes={"*": dataclasses.replace(OFFER, delay=60)}, limit=15),
    Case("drips a byte a second", routes={"*": dataclasses.replace(OFFER, drip=1.0)}, limit=15),
    *[Case(f"certificate {kind}", endpoint=kind, version=None) for kind in ("untrusted", "other-host", "expired")],
]


class Table(unittest.TestCase):
    maxDiff = None

    def test_rows(self):
        for case in CASES:
            with self.subTest(case.name):
                try:
                    self.check(case, self.launch(case))
                finally:
                    SESSION.settle()

    def launch(self, case: Case, **options):
        install = SESSION.install(case.main, case.name.split(",")[0][:20].replace(" ", "-"), case.folder)
        path = windows_path(install.launcher)
        line = case.line.format(path) if case.line else None
        plain = SESSION.endpoint.plain_port
        routes = {path: dataclasses.replace(response, headers=tuple(
            (key, value.format(plain=plain)) for key, value in response.headers))
            for path, response in (case.routes or {}).items()}
        certificates = {"untrusted": ("untrusted", "localhost", 7, "other"), "expired": ("expired", "localhost", -1),
                        "other-host": ("other", "update.tapwright.invalid")}
        if case.endpoint in certificates:
            options["context"] = SESSION.endpoint.context_for(*SESSION.certificate(*certificates[case.endpoint]))
        options["holding"] = case.endpoint == "silent"
        if case.endpoint == "closed":
            SESSION.endpoint.stop()
        try:
            run = SESSION.launch(install, case.args, command_line=line, lang=case.lang, routes=routes,
                                 answers=case.answers, **options)
        finally:
            if case.endpoint == "closed":
                SESSION.endpoint.start()
        return install, run

    def check(self, case: Case, installed_run):
        install, run = installed_run
        home = HOME.format(port=SESSION.port)
        self.assertEqual([(box["caption"], box["text"], [b["id"] for b in box["buttons"]], box["icon"])
                          for box in run.boxes], case.boxes, run.summary())
        self.assertTrue(all(box["owner"] == 0 for box in run.boxes), "the boxes have no owner")
        self.assertEqual(run.opened, [home if a == HOME else a for a in case.opened], run.summary())
        if case.started:
            start, = run.started
            self.assertIn(start["command_line"], (install.main_program, quoted(install.main_program)))
            self.assertEqual(start["cwd"].rstrip("\\"), windows_path(run.folder))
        self.assertEqual(len(run.started), int(case.started), run.summary())
        opener = windows_path(SESSION.program("tapwright_bench"))
        self.assertEqual(sorted(run.descendants), sorted([install.main_program] * case.started +
                                                          [opener] * len(case.opened)), run.summary())
        asked = [r for r in run.requests if r.path == "/api.init.php" and r.secure]
        self.assertEqual(len(asked), int(case.version is not None), run.summary())
        for request in asked:
            self.assertEqual([request.header(name) for name in ("Host", "User-Version", "User-Debug",
                                                                "User-Agent", "Pragma")],
                             [f"localhost:{SESSION.port}", case.version, "false", UA, "no-cache"])
        self.assertEqual([r.path for r in run.requests if not r.secure], [], "nothing asked over plain HTTP")
        self.assertEqual(run.exit_code, 0, run.summary())
        self.assertLess(run.seconds, case.limit, run.summary())


KNOWN_DLLS = {f"{name}.dll" for name in ("ntdll", "advapi32", "comdlg32", "gdi32", "imm32", "kernel32", "msvcrt",
                                        "ole32", "oleaut32", "rpcrt4", "shell32", "shlwapi", "user32", "ws2_32")}
# Functions that a Windows 7 without its updates lacks: importing one keeps the
# launcher from starting there at all.
NEWER_THAN_WINDOWS_7 = {"SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
                        "GetSystemTimePreciseAsFileTime", "CreateFile2", "GetCurrentThreadStackLimits",
                        "SetThreadInformation", "GetProcessMitigationPolicy", "SetProcessMitigationPolicy"}


class Choreography(unittest.TestCase):
    maxDiff = None

    def tearDown(self):
        SESSION.settle()

    def quiet(self, run):
        self.assertEqual((run.boxes, run.opened, run.started, run.descendants, run.exit_code),
                         ([], [], [], [], 0), run.summary())

    def test_second_copy_ends_at_once_while_the_first_shows_its_box(self):
        first_install = SESSION.install(None, "first")
        first = SESSION.start(windows_path(first_install.launcher), quoted(windows_path(first_install.launcher)))
        box = first.next_box(20)
        for main in ("versioned", None):
            run = SESSION.launch(SESSION.install(main, "second"), "/inst")
            self.quiet(run)
            self.assertLess(run.seconds, 3, run.summary())
        first.answer(box, "OK")
        Table().check(Case("first", main=None, args="", opened=(HOME,), started=False, version=None),
                      (first_install, first.finish(install=first_install)))
        # A copy that an elevated installer started holds a mutex whose access list denies this user.
        held, stop = SESSION.folder("elevated") / "held.json", SESSION.root / "stop"
        SESSION._background(["wine", str(SESSION.program("tapwright_bench")), "mutex", "--deny", "--ready",
                             hex16(windows_path(held)), "--stop", hex16(windows_path(stop))], "mutex.log")
        self.assertTrue(wait_until(lambda: held.exists() and json.loads(held.read_text())["held"], 30))
        self.quiet(SESSION.launch(SESSION.install("versioned", "beside-elevated"), "/inst"))
        stop.write_text("")

    def test_eight_copies_at_once_show_one_box_and_the_rest_end_silently(self):
        for _ in range(3):
            install = SESSION.install("versioned", "swarm")
            path = windows_path(install.launcher)
            running = SESSION.start(path, quoted(path) + " /inst", copies=8, routes={"*": OFFER})
            boxes = lambda: [b for b in SESSION.bench("boxes")["boxes"] if b["pid"] in running.pids]  # noqa: E731
            self.assertTrue(wait_until(boxes, 30))
            self.assertFalse(wait_until(lambda: len(boxes()) > 1, 3), "one box, of one copy")
            running.boxes = boxes()
            running.answer(running.boxes[0], "NO")
            run = running.finish(install=install)
            self.assertEqual(json.loads(running.out.read_text())["exit_codes"], [0] * 8)
            self.assertEqual((len(run.requests), len(run.started)), (1, 1), run.summary())

    def test_a_planted_wininet_is_never_loaded(self):
        install = SESSION.install("versioned", "planted")
        shutil.copy2(SESSION.programs["tapwright_planted_wininet"], install.folder / "wininet.dll")
        # Wine is told to prefer a wininet.dll beside the program, as Windows would.
        run = SESSION.launch(install, "/inst", routes={"*": OFFER}, answers=("NO",), dlls="wininet=n,b")
        self.assertEqual((len(run.boxes), len(run.requests), len(run.started)), (1, 1, 1), run.summary())
        # The stand-in main program imports WinINet the ordinary way, and so loads it.
        loaded = read_lines(install.folder / "WININET.dll.loaded.jsonl")
        self.assertEqual([line["pid"] for line in loaded], [run.started[0]["pid"]])

    def snapshot(self):
        prefix = SESSION.root / "prefix"
        files = {str(p.relative_to(prefix)): p.is_file() and hashlib.sha1(p.read_bytes()).hexdigest()
                 for p in prefix.rglob("*") if not (p.parent == prefix and p.suffix == ".reg") and not p.is_symlink()}
        for hive in ("HKLM", "HKCU"):
            export = SESSION.root / f"{hive}.reg"
            SESSION.quiet(["wine", "reg", "export", hive, windows_path(export), "/y"], 120)
            files.update({f"{hive}:{line}": True for line in export.read_text(encoding="utf-16").splitlines()})
        return files

    def test_a_run_writes_nothing_but_what_any_program_writes(self):
        marker = f"tapwright-{os.getpid()}"
        install = SESSION.install("versioned", "nothing-written")
        # A body, an address and a cookie that lasts: all that WinINet might keep.
        reply = Response(f'{{"update":"https:\\/\\/localhost\\/{marker}"}}'.encode(), headers=(
            ("Cache-Control", "public, max-age=86400"),
            ("Set-Cookie", f"{marker}=1; Expires=Wed, 01 Jan 2031 00:00:00 GMT; Path=/")))
        stand_in = SESSION.install("versioned", "any-program").main_program
        changes = []
        for round_ in range(3):
            before = self.snapshot()
            if round_ < 2:  # any program: the first run does what Wine does once per prefix
                SESSION.start(stand_in, quoted(stand_in)).finish()
            else:
                run = SESSION.launch(install, "/inst", routes={"*": reply}, answers=("NO",))
            after = self.snapshot()
            changes.append({key for key in before.keys() | after.keys() if before.get(key) != after.get(key)})
        self.assertEqual((len(run.boxes), len(run.started)), (1, 1), run.summary())
        self.assertLessEqual(changes[2], changes[1], sorted(changes[2] - changes[1]))
        found = [p for p in (SESSION.root / "prefix").rglob("*") if p.is_file() and not p.is_symlink() and
                 any(marker.encode(encoding) in p.read_bytes() for encoding in ("ascii", "utf-16-le"))]
        self.assertEqual(found, [])
        self.assertEqual(sorted(p.name for p in install.folder.iterdir()),
                         ["Tapwright.exe", "Tapwright.exe.started.jsonl", "TapwrightService.exe"])

    def test_fatal_faults_end_with_a_box_and_their_number(self):
        bench = windows_path(SESSION.program("tapwright_bench"))
        for mode, number, box in (("access-violation", 216, True), ("out-of-memory", 203, True),
                                  ("throw", 203, True), ("access-violation --loader-lock", 216, False)):
            with self.subTest(mode):
                facts = SESSION.folder("fault") / "module.json"
                line = f"{quoted(bench)} fault {mode} --module {hex16(windows_path(facts))}"
                run = SESSION.start(bench, line).finish(("OK",))
                module = json.loads(facts.read_text())
                self.assertEqual([(b["caption"], b["icon"]) for b in run.boxes], [("Error", "error")] * box)
                for found in run.boxes:
                    address = int(re.fullmatch(rf"Runtime error {number} at \$([0-9A-F]{{16}})", found["text"])[1], 16)
                    self.assertTrue(module["base"] <= address < module["base"] + module["size"], found["text"])
                self.assertEqual(run.exit_code, number, run.summary())
                self.assertLess(run.seconds, 15)

    def test_the_prompt_is_the_only_window_the_launcher_shows(self):
        install = SESSION.install("versioned", "census")
        path = windows_path(install.launcher)
        running = SESSION.start(path, quoted(path), routes={"*": OFFER})
        box = running.next_box()
        windows = SESSION.bench("windows", "--pid", str(running.pids[0]))["windows"]
        running.answer(box, "NO")
        self.assertEqual(running.finish().exit_code, 0)
        self.assertEqual([w["class"] for w in windows if w["visible"]], ["#32770"], windows)
        self.assertFalse({"obj_App", "obj_Form", "SvcTapwright"} & {w["class"] for w in windows}, windows)

    def test_imports_are_known_dlls_and_functions_windows_7_has(self):
        output = subprocess.run([SESSION.config["objdump"], "-p", str(SESSION.programs["TapwrightService"])],
                                capture_output=True, text=True, check=True).stdout
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", output)}
        self.assertLessEqual(dlls, KNOWN_DLLS)
        functions = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", output, re.MULTILINE))
        self.assertIn("LoadLibraryExW", functions)
        self.assertEqual(functions & NEWER_THAN_WINDOWS_7, set())

    def test_the_reference_endpoint_behind_nginx(self):
        address = "https://localhost/télécharger/Tapwright-2.1.0.0.exe?canal=stable&v=2"
        cert, key = SESSION.ca / "server.pem", SESSION.ca / "server.key"
        SESSION.endpoint.stop()
        try:
            with ReferenceEndpoint(SESSION.folder("reference"), SESSION.port, cert, key) as reference:
                reference.publish("2.1.0.0", address)
                older = SESSION.launch(SESSION.install("versioned", "older"), "/inst", answers=("YES",))
                newest = SESSION.install("maxversion", "newest")
                current = SESSION.launch(newest, "/inst")
        finally:
            SESSION.endpoint.start()
        self.assertEqual((len(older.boxes), older.opened, older.started), (1, [address], []), older.summary())
        self.assertEqual((current.boxes, len(newest.started)), ([], 1), current.summary())


def main():
    global SESSION
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--config", required=True)
    parser.add_argument("--keep", action="store_true")
    args, rest = parser.parse_known_args()
    verbose = "-v" in rest
    with Session(args.config, keep=args.keep, log=print if verbose else lambda _: None) as SESSION:
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
