"""The end-to-end session: real components, started and stopped here.

One Session owns, for its lifetime:
  - an X server (Xvfb on a free display, or a display it is given),
  - a test certificate authority and a server certificate for localhost,
  - the HTTPS endpoint (endpoint.py) on the port that the test launcher was
    built for,
  - one Wine prefix with its persistent wineserver, in which the CA is a
    trusted root and a recorder is the shell's http/https "open" handler.

Cases then get fresh install folders and run the launcher with an exact raw
command line, in a chosen locale, answering its message boxes; each run
reports every box, what the shell was asked to open, whether the main program
started (its command line and current directory), the exit code and the time
taken. A case scripts the endpoint for its run through the `serve` option
(what to answer, which certificate to show, to hold connections) or closes it
for the run (Endpoint.closed). Every wait is bounded.

Wine facts this relies on (Wine 8 on Debian):
  - LC_ALL alone selects the Windows locale (en_US.UTF-8 -> 1033,
    de_DE.UTF-8 -> 1031, ko_KR.UTF-8 -> 1042, ja_JP.UTF-8 -> 1041) even when
    glibc has no such locale; LANG or LC_MESSAGES alone do not. But without
    the glibc locale Wine reads Unix file names as ASCII, so a folder named
    with a non-ASCII letter cannot be found. Locales that the system lacks
    are therefore compiled with localedef into a folder beside the build's
    e2e_config.json and given to Wine through LOCPATH; nothing on the system
    changes.
  - With the X11 driver's "Managed" off, a hidden window is not waited for
    by a window manager that is not there: closing a message box takes
    milliseconds instead of two seconds.
  - Wine ignores MB_TOPMOST (only MB_SYSTEMMODAL makes a box topmost), so the
    boxes' topmost bit is reported but means nothing here.
  - Job objects work, with completion-port messages: the runner knows every
    process that the launcher started and when the last one ended.
  - Processes that Wine starts in the background (services, the desktop)
    inherit the standard handles of whoever started them, so every Wine
    process here writes to files, never to a pipe that someone reads to EOF.
  - Wine's desktop process ends a second or two after the last program
    that used it, and the next one starts it anew; two programs starting
    it at once can leave a short-lived extra process in a case's job. A
    command prompt that waits on its input keeps the desktop in use for the
    whole session.
"""

import argparse
import dataclasses
import datetime
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from endpoint import Endpoint, Response

LAUNCHER_NAME = "TapwrightService.exe"
MAIN_PROGRAM_NAME = "Tapwright.exe"
STARTED_RECORD_SUFFIX = ".started.jsonl"
BUTTONS = {"OK": 1, "CANCEL": 2, "ABORT": 3, "RETRY": 4, "IGNORE": 5, "YES": 6, "NO": 7}
CASE_LANGS = ("en_US.UTF-8", "de_DE.UTF-8", "ko_KR.UTF-8", "ja_JP.UTF-8")
# Server certificates that a client must refuse; see Session.certificate.
REFUSED_CERTIFICATES = ("untrusted", "other-host", "expired")
MAIN_PROGRAM_VARIANTS = {
    "versioned": "tapwright_e2e_stand_in",
    "noversion": "tapwright_e2e_stand_in_noversion",
    "maxversion": "tapwright_e2e_stand_in_maxversion",
}


class HarnessError(RuntimeError):
    """The session could not be set up or a run could not be carried out:
    a fault of the test environment, not a finding about the launcher."""


def hex16(text: str) -> str:
    """A text as the helpers take it: hex of its UTF-16 code units."""
    return text.encode("utf-16-le", "surrogatepass").hex()


def windows_path(path: Path) -> str:
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def quoted(text: str) -> str:
    return '"' + text + '"'


def _reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


@dataclasses.dataclass
class Box:
    hwnd: int
    pid: int
    caption: str
    text: str
    text_id: int
    buttons: List[dict]
    rect: List[int]
    style: int
    ex_style: int
    topmost: bool
    owner: int
    foreground: bool
    answer: Optional[str] = None
    screenshot: Optional[Path] = None

    @property
    def button_texts(self) -> List[str]:
        return [button["text"] for button in self.buttons]

    @property
    def button_ids(self) -> List[int]:
        return [button["id"] for button in self.buttons]

    @classmethod
    def from_report(cls, report: dict) -> "Box":
        fields = {field.name for field in dataclasses.fields(cls)}
        return cls(**{key: value for key, value in report.items() if key in fields})


@dataclasses.dataclass
class Install:
    """A fresh install folder: the launcher, and the main program as chosen."""

    case_dir: Path
    folder: Path
    launcher: Path
    main: str

    @property
    def launcher_windows(self) -> str:
        return windows_path(self.launcher)

    @property
    def folder_windows(self) -> str:
        return windows_path(self.folder)

    @property
    def main_program(self) -> Path:
        return self.folder / MAIN_PROGRAM_NAME

    @property
    def main_program_windows(self) -> str:
        return windows_path(self.main_program)


@dataclasses.dataclass
class Run:
    """Everything observed about one run of a program."""

    command_line: str
    cwd: str
    lang: str
    exit_code: Optional[int]
    timed_out: bool
    pid: int
    elapsed_ms: float
    seconds: float
    boxes: List[Box]
    opened: List[dict]
    started: List[dict]
    descendants: List[dict]
    descendants_settled: bool
    requests: list
    run_dir: Path
    # Connections that the endpoint accepted during the run, answered or not.
    connections: int = 0
    # Only for runs started with watch_memory: the largest resident size,
    # in KiB, that the kernel reported for the program's process.
    peak_memory_kb: Optional[int] = None

    @property
    def opened_addresses(self) -> List[str]:
        return [record["arguments"][0] if record["arguments"] else "" for record in self.opened]

    def summary(self) -> str:
        lines = [f"command line: {self.command_line!r}", f"cwd: {self.cwd!r}, LC_ALL={self.lang}",
                 f"exit code: {self.exit_code}{' (timed out)' if self.timed_out else ''}, "
                 f"{self.seconds:.2f} s"]
        for box in self.boxes:
            lines.append(f"box {box.caption!r}: {box.text!r} buttons {box.button_texts} "
                         f"answered {box.answer}")
        lines.append(f"opened: {self.opened_addresses}")
        lines.append(f"main program started: {[r['command_line'] for r in self.started]}")
        lines.append(f"processes started: {[d['image'] for d in self.descendants]}")
        return "\n".join(lines)


class _Locales:
    """glibc locales for the languages the cases use, compiled once per
    build folder when the system does not have them."""

    def __init__(self, folder: Path):
        self.folder = folder
        self._pending: Dict[str, subprocess.Popen] = {}
        try:
            listed = subprocess.run(["locale", "-a"], capture_output=True, timeout=30).stdout
            self._system = {name.lower().replace("-", "") for name in listed.decode().split()}
        except (OSError, subprocess.TimeoutExpired):
            self._system = set()

    def _provided_by_system(self, lang: str) -> bool:
        return lang.lower().replace("-", "") in self._system

    def prepare(self, langs: Sequence[str]):
        """Starts compiling what is missing; runs beside the prefix's set-up."""
        for lang in langs:
            if self._provided_by_system(lang) or lang in self._pending:
                continue
            if (self.folder / lang / "LC_CTYPE").exists() or shutil.which("localedef") is None:
                continue
            name, _, charset = lang.partition(".")
            self.folder.mkdir(parents=True, exist_ok=True)
            self._pending[lang] = subprocess.Popen(
                ["localedef", "-i", name, "-f", charset or "UTF-8", str(self.folder / lang)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def available(self, lang: str) -> bool:
        return self._provided_by_system(lang) or bool(self.env(lang))

    def env(self, lang: str) -> dict:
        if self._provided_by_system(lang):
            return {}
        self.prepare([lang])
        process = self._pending.pop(lang, None)
        if process is not None:
            try:
                process.wait(timeout=120)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
        # localedef may warn and exit 1 and still have written the locale.
        if (self.folder / lang / "LC_CTYPE").exists():
            return {"LOCPATH": str(self.folder)}
        return {}


def _end_with_parent():
    """Runs in the child before exec: the X server ends with the harness even
    when the harness itself is killed and never reaches close()."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


def _load_config(path: Path) -> dict:
    config = json.loads(Path(path).read_text())
    missing = [name for name, exe in config["programs"].items() if not Path(exe).is_file()]
    if missing:
        raise HarnessError(f"not built: {', '.join(missing)} (build the tapwright_e2e target)")
    return config


class Session:
    """One X server, one endpoint, one Wine prefix; see the module text."""

    def __init__(self, config_path, *, display: Optional[str] = None, keep: bool = False,
                 launcher: str = "TapwrightService_e2e", port: Optional[int] = None, log=None):
        """launcher: the build of the launcher that installs get (the e2e
        build, or the shipped one); port: where the endpoint listens, by
        default the port that the e2e launcher was built for."""
        self.config = _load_config(Path(config_path))
        self.port = int(port or self.config["port"])
        self.launcher_program = launcher
        self.programs: Dict[str, Path] = {k: Path(v) for k, v in self.config["programs"].items()}
        self.keep = keep
        self._log = log or (lambda message: None)
        self._given_display = display
        self.locales = _Locales(Path(config_path).resolve().parent / "glibc-locales")
        self.display: Optional[str] = None
        self.root: Optional[Path] = None
        self.endpoint: Optional[Endpoint] = None
        self._xvfb: Optional[subprocess.Popen] = None
        self._desktop_keeper: Optional[subprocess.Popen] = None
        self._wineserver_started = False
        self._case_count = 0
        self._output_count = 0
        self.timings: Dict[str, float] = {}
        self.wine = shutil.which("wine") or "/usr/lib/wine/wine64"
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"

    # ----------------------------------------------------------------- setup
    def __enter__(self) -> "Session":
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.root = Path(tempfile.mkdtemp(prefix="tapwright-e2e-"))
        (self.root / "cases").mkdir()
        self._step("display", self._start_display)
        self._step("certificates", self._make_certificates)
        self._step("endpoint", self._start_endpoint)
        # Compiling locales keeps the processors busy while wineboot mostly
        # waits: the two overlap.
        self.locales.prepare(CASE_LANGS)
        self._step("prefix", self._make_prefix)
        self._step("locales", lambda: [self.locales.env(lang) for lang in CASE_LANGS])
        self._step("helpers", self._install_helpers)
        self._step("trust", self._trust_ca)
        # The first window anyone asks for starts Wine's desktop process;
        # that cost belongs to the session, not to the first case.
        self._step("desktop", self._keep_desktop)
        self._log(f"session ready in {self.root} on display {self.display}: " +
                  ", ".join(f"{k} {v:.1f}s" for k, v in self.timings.items()))

    def close(self):
        if self._desktop_keeper is not None:
            self._desktop_keeper.stdin.close()
            try:
                self._desktop_keeper.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._desktop_keeper.kill()
                self._desktop_keeper.wait(timeout=10)
            self._desktop_keeper = None
        if self._wineserver_started:
            try:
                subprocess.run([self.wineserver, "-k"], env=self._wine_env(), timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                subprocess.run([self.wineserver, "-w"], env=self._wine_env(), timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                self._log("wineserver did not stop in time")
            self._wineserver_started = False
        if self.endpoint is not None:
            self.endpoint.stop()
            self.endpoint = None
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait(timeout=10)
            self._xvfb = None
        if self.root is not None and not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def _step(self, name, action):
        started = time.monotonic()
        action()
        self.timings[name] = time.monotonic() - started

    def _start_display(self):
        if self._given_display:
            self.display = self._given_display
            return
        if shutil.which("Xvfb") is None:
            raise HarnessError("Xvfb is not installed (Debian package xvfb)")
        read_end, write_end = os.pipe()
        with open(self.root / "xvfb.log", "wb") as log:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log, preexec_fn=_end_with_parent)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                chunk = os.read(read_end, 64)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise HarnessError("Xvfb did not report a display: see " + str(self.root / "xvfb.log"))
        self.display = ":" + number.decode().strip()

    def _make_certificates(self):
        folder = self.root / "ca"
        folder.mkdir()
        (folder / "server.ext").write_text(
            "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
        commands = [
            ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "7", "-subj", "/CN=Tapwright end-to-end test CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
            ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=localhost"],
            ["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-out", "server.pem", "-days", "7", "-extfile", "server.ext"],
            ["x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der"],
        ]
        self._openssl(folder, *commands)
        self.ca_der = folder / "ca.der"
        self.ca_pem = folder / "ca.pem"
        self.server_cert = folder / "server.pem"
        self.server_key = folder / "server.key"
        self._refused_certificates: Dict[str, Tuple[Path, Path]] = {}

    def _openssl(self, folder: Path, *commands: Sequence[str]):
        for command in commands:
            result = subprocess.run(["openssl"] + list(command), cwd=folder, timeout=60,
                                    stdin=subprocess.DEVNULL, capture_output=True)
            if result.returncode != 0:
                raise HarnessError("openssl failed: " + " ".join(command) + "\n" +
                                   result.stderr.decode(errors="replace"))

    def certificate(self, kind: str) -> Tuple[Path, Path]:
        """A server certificate and key that a client must refuse, made on
        first use (for Endpoint.use_certificate):
          "untrusted": for localhost, from a second CA that the prefix does
            not trust;
          "other-host": from the trusted CA, for another host name only;
          "expired": from the trusted CA, for localhost, expired yesterday."""
        if kind in self._refused_certificates:
            return self._refused_certificates[kind]
        if kind not in REFUSED_CERTIFICATES:
            raise ValueError(f"no such certificate: {kind}")
        folder = self.root / "ca"
        cert, key = folder / f"{kind}.pem", folder / f"{kind}.key"
        host = "update.tapwright.invalid" if kind == "other-host" else "localhost"
        names = f"DNS:{host}" if kind == "other-host" else "DNS:localhost,IP:127.0.0.1"
        (folder / f"{kind}.ext").write_text(
            f"subjectAltName={names}\nbasicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
        request = ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", key.name,
                   "-out", f"{kind}.csr", "-subj", f"/CN={host}"]
        if kind == "untrusted":
            self._openssl(
                folder,
                ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other-ca.key",
                 "-out", "other-ca.pem", "-days", "7", "-subj", "/CN=Tapwright untrusted test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
                request,
                ["x509", "-req", "-in", f"{kind}.csr", "-CA", "other-ca.pem",
                 "-CAkey", "other-ca.key", "-CAcreateserial", "-out", cert.name, "-days", "7",
                 "-extfile", f"{kind}.ext"])
        elif kind == "other-host":
            self._openssl(
                folder, request,
                ["x509", "-req", "-in", f"{kind}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", cert.name, "-days", "7", "-extfile", f"{kind}.ext"])
        else:
            # "openssl x509 -req" only dates from now on; "openssl ca" takes
            # any validity period.
            now = datetime.datetime.now(datetime.timezone.utc)
            stamp = lambda moment: moment.strftime("%y%m%d%H%M%SZ")  # noqa: E731
            (folder / "index.txt").write_text("")
            (folder / "ca.cnf").write_text(
                "[ca]\ndefault_ca = test_ca\n[test_ca]\ndatabase = index.txt\n"
                "new_certs_dir = .\nserial = ca.srl\ndefault_md = sha256\n"
                "policy = any_name\nunique_subject = no\n[any_name]\ncommonName = supplied\n")
            self._openssl(
                folder, request,
                ["ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
                 "-in", f"{kind}.csr", "-out", cert.name, "-notext",
                 "-startdate", stamp(now - datetime.timedelta(days=30)),
                 "-enddate", stamp(now - datetime.timedelta(days=1)),
                 "-extfile", f"{kind}.ext"])
        self._refused_certificates[kind] = (cert, key)
        return cert, key

    def _start_endpoint(self):
        self.endpoint = Endpoint(str(self.server_cert), str(self.server_key), self.port)
        try:
            self.endpoint.start()
        except OSError as error:
            self.endpoint = None
            raise HarnessError(f"cannot serve HTTPS on 127.0.0.1:{self.port} ({error}); the test "
                               "launcher was built for this port (TAPWRIGHT_E2E_PORT)") from error

    def _wine_env(self, lang: str = "en_US.UTF-8", extra: Optional[dict] = None) -> dict:
        env = dict(os.environ)
        for name in ("LANG", "LANGUAGE", "LC_MESSAGES", "LC_CTYPE", "LOCPATH", "WINEARCH",
                     "WINESERVER", "WINELOADER", "TAPWRIGHT_E2E_RECORD_DIR"):
            env.pop(name, None)
        env.update(self.locales.env(lang))
        env.update({
            "WINEPREFIX": str(self.root / "prefix"),
            "WINEDEBUG": "-all",
            # No Mono or Gecko prompts, and no menu entries on the host.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "DISPLAY": self.display or "",
            "LC_ALL": lang,
        })
        env.update(extra or {})
        return env

    def _run_quiet(self, command: Sequence[str], timeout: float, log_name: str, env=None):
        """Runs a setup command with its output in a log file; the output
        goes to a file because Wine's background processes would keep a pipe
        open long after the command itself has ended."""
        log_path = self.root / f"{log_name}.log"
        with open(log_path, "ab") as log:
            process = subprocess.Popen(list(command), env=env or self._wine_env(),
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                return process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
                raise HarnessError(f"{' '.join(command[:2])} did not finish within {timeout} s; "
                                   f"see {log_path}")

    def _make_prefix(self):
        if shutil.which(self.wine) is None and not Path(self.wine).exists():
            raise HarnessError("Wine is not installed (Debian packages wine wine64)")
        self._wineserver_started = True
        self._run_quiet([self.wine, "wineboot", "-i"], 240, "wineboot")
        self._run_quiet([self.wineserver, "-w"], 60, "wineserver")
        # Persistent, so that each helper starts in milliseconds; but only
        # for two idle minutes, so that a harness killed before close()
        # leaves no server behind for long.
        self._run_quiet([self.wineserver, "-p120"], 30, "wineserver")

    def _install_helpers(self):
        bin_folder = self.root / "bin"
        bin_folder.mkdir()
        for name, program in self.programs.items():
            shutil.copy2(program, bin_folder / program.name)
        self.bin = bin_folder
        recorder = windows_path(self.helper("tapwright_e2e_url_recorder"))
        command = quoted(recorder) + ' "%1"'
        registry = self.root / "session.reg"
        # Only the machine-wide classes are consulted for URL protocols: the
        # same keys under HKCU have no effect in Wine.
        registry.write_text(
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Classes\\https\\shell\\open\\command]\r\n"
            f"@={_reg_string(command)}\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Classes\\http\\shell\\open\\command]\r\n"
            f"@={_reg_string(command)}\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Managed\"=\"N\"\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"
            "\"ShowCrashDialog\"=dword:00000000\r\n\r\n",
            encoding="utf-16")
        self._run_quiet([self.wine, "reg", "import", windows_path(registry)], 60, "registry")
        for protocol in ("https", "http"):
            output = self._wine_output(
                [self.wine, "reg", "query",
                 f"HKLM\\Software\\Classes\\{protocol}\\shell\\open\\command", "/ve"], 60)
            if command not in output:
                raise HarnessError(f"the {protocol} handler did not take: {output!r}")

    def import_registry(self, entries: str, name: str = "extra"):
        """Imports registry entries, written as in a .reg file after its
        first line, into the prefix."""
        registry = self.root / f"{name}.reg"
        registry.write_text("Windows Registry Editor Version 5.00\r\n\r\n" + entries,
                            encoding="utf-16")
        self._run_quiet([self.wine, "reg", "import", windows_path(registry)], 60, name)

    def _keep_desktop(self):
        """Starts the desktop process and keeps it for the session: a console
        program counts as using the desktop, and cmd waits for commands on
        its input until that closes (with the harness, at the latest)."""
        with open(self.root / "desktop-keeper.log", "wb") as log:
            self._desktop_keeper = subprocess.Popen(
                [self.wine, "cmd.exe"], env=self._wine_env(), stdin=subprocess.PIPE,
                stdout=log, stderr=subprocess.STDOUT)
        # Asking for the windows once waits until the desktop is up.
        self.helper_json("tapwright_e2e_box", ["list"])

    def _trust_ca(self):
        added = self.helper_json("tapwright_e2e_trust", ["--der", hex16(windows_path(self.ca_der))])
        if not added.get("added"):
            raise HarnessError(f"adding the test CA to the prefix's Root store failed: {added}")
        token = f"trust-probe-{os.getpid()}-{time.time_ns()}"
        self.endpoint.queue("/e2e-trust-probe", Response(body=token.encode()))
        url = f"https://localhost:{self.port}/e2e-trust-probe"
        probe = self.helper_json("tapwright_e2e_https_probe", ["--url", hex16(url)])
        self.endpoint.reset()
        if not probe.get("ok") or probe.get("status") != 200 or probe.get("body") != token:
            raise HarnessError(
                f"the Wine prefix does not accept the local HTTPS endpoint {url} with the test CA: "
                f"{probe} (wininet error 12057 or 12045: the CA is not trusted, 12038: name "
                f"mismatch, 12029: no connection)")

    # ------------------------------------------------------------ utilities
    def helper(self, name: str) -> Path:
        return self.bin / self.programs[name].name

    def _wine_output(self, command: Sequence[str], timeout: float, env=None) -> str:
        """Runs a Wine program to its end and returns its standard output
        (via a file, see _run_quiet)."""
        self._output_count += 1
        out_path = self.root / f"out-{self._output_count}.txt"
        with open(out_path, "wb") as out, open(self.root / "helpers.log", "ab") as err:
            process = subprocess.Popen(list(command), env=env or self._wine_env(),
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
                raise HarnessError(f"{command[1]} did not finish within {timeout} s")
        text = out_path.read_text(encoding="utf-8", errors="surrogateescape")
        out_path.unlink()
        return text

    def helper_json(self, name: str, args: Sequence[str], timeout: float = 60,
                    lang: str = "en_US.UTF-8"):
        text = self._wine_output([self.wine, str(self.helper(name))] + list(args), timeout,
                                 env=self._wine_env(lang))
        try:
            return json.loads(text)
        except json.JSONDecodeError as error:
            raise HarnessError(f"{name} {' '.join(args)} printed no JSON: {text!r}") from error

    def locale_info(self, lang: str) -> dict:
        return self.helper_json("tapwright_e2e_locale", [], lang=lang)

    def screenshot(self, rect: Sequence[int], path: Path) -> Path:
        left, top, right, bottom = rect
        geometry = f"{right - left}x{bottom - top}+{left}+{top}"
        result = subprocess.run(
            ["import", "-display", self.display, "-window", "root", "-crop", geometry, "+repage",
             str(path)], timeout=30, stdin=subprocess.DEVNULL, capture_output=True)
        if result.returncode != 0:
            raise HarnessError("screenshot failed: " + result.stderr.decode(errors="replace"))
        return path

    # ---------------------------------------------------------------- cases
    def new_case_dir(self, label: str) -> Path:
        self._case_count += 1
        safe = "".join(c if c.isascii() and c.isalnum() or c in "-_" else "-"
                       for c in label)[:60]
        folder = self.root / "cases" / f"{self._case_count:03d}-{safe}"
        folder.mkdir(parents=True)
        return folder

    def make_install(self, main: Optional[str] = "versioned", *, label: str = "install",
                     folder_name: str = "install",
                     launcher_name: str = LAUNCHER_NAME) -> Install:
        """main: "versioned", "noversion", "maxversion" (stand-in builds),
        "directory" (a folder named Tapwright.exe), or None (nothing)."""
        case_dir = self.new_case_dir(label)
        folder = case_dir / folder_name
        folder.mkdir(parents=True)
        launcher = folder / launcher_name
        shutil.copy2(self.programs[self.launcher_program], launcher)
        if main == "directory":
            (folder / MAIN_PROGRAM_NAME).mkdir()
        elif main is not None:
            shutil.copy2(self.programs[MAIN_PROGRAM_VARIANTS[main]], folder / MAIN_PROGRAM_NAME)
        return Install(case_dir, folder, launcher, main or "")

    def start_launcher(self, install: Install, arguments: str = "", *,
                       command_line: Optional[str] = None, **options) -> "RunningProgram":
        """Starts the launcher; the command line is the quoted launcher path,
        then a blank and the arguments, unless given whole."""
        if command_line is None:
            command_line = quoted(install.launcher_windows) + (" " + arguments if arguments else "")
        started_record = install.folder / (MAIN_PROGRAM_NAME + STARTED_RECORD_SUFFIX)
        return self.start_program(install.launcher_windows, command_line,
                                  case_dir=install.case_dir, started_record=started_record,
                                  **options)

    def run_launcher(self, install: Install, arguments: str = "", *,
                     answers: Sequence[str] = ("OK",), screenshots: Optional[Path] = None,
                     **options) -> Run:
        running = self.start_launcher(install, arguments, **options)
        return running.finish(answers=answers, screenshots=screenshots)

    def start_program(self, app: str, command_line: str, *, cwd: Optional[str] = None,
                      lang: str = "en_US.UTF-8", timeout: float = 30.0, grace: float = 5.0,
                      label: Optional[str] = None, case_dir: Optional[Path] = None,
                      started_record: Optional[Path] = None,
                      serve: Optional[Callable[[Endpoint], None]] = None,
                      watch_memory: bool = False) -> "RunningProgram":
        """Runs any program through the runner. Each run gets a folder of its
        own in the case folder; it is also the default current directory,
        so that it differs from the program's folder. The endpoint is reset
        for the run (no update on offer), then handed to serve, if given, to
        be scripted before the program starts. watch_memory follows the
        program's peak resident size (Run.peak_memory_kb)."""
        case_dir = case_dir or self.new_case_dir(label or Path(app.replace("\\", "/")).stem)
        runs = sum(1 for entry in case_dir.iterdir() if entry.name.startswith("run"))
        run_dir = case_dir / f"run{runs + 1}"
        record_dir = run_dir / "record"
        record_dir.mkdir(parents=True)
        cwd = cwd or windows_path(run_dir)
        self.endpoint.reset()
        if serve is not None:
            serve(self.endpoint)
        return RunningProgram(self, app, command_line, cwd, lang, timeout, grace, run_dir,
                              record_dir, started_record, watch_memory)


class RunningProgram:
    """A program started through the runner, whose boxes can be waited for
    and answered one by one; finish() answers the rest and reports."""

    def __init__(self, session: Session, app: str, command_line: str, cwd: str, lang: str,
                 timeout: float, grace: float, run_dir: Path, record_dir: Path,
                 started_record: Optional[Path], watch_memory: bool = False):
        self.session = session
        self.command_line = command_line
        self.cwd = cwd
        self.lang = lang
        self.timeout = timeout
        self.run_dir = run_dir
        self.record_dir = record_dir
        self.started_record = started_record
        self.boxes: List[Box] = []
        self._seen = set()
        self._result_path = run_dir / "result.json"
        self._pid_path = run_dir / "pid"
        self._started_at = time.monotonic()
        self._deadline = self._started_at + timeout + grace + 15
        env = session._wine_env(lang, {"TAPWRIGHT_E2E_RECORD_DIR": windows_path(record_dir)})
        self._stdout = open(run_dir / "runner.out", "wb")
        self._process = subprocess.Popen(
            [session.wine, str(session.helper("tapwright_e2e_run")),
             "--app", hex16(app), "--command-line", hex16(command_line), "--cwd", hex16(cwd),
             "--result", hex16(windows_path(self._result_path)),
             "--pid-file", hex16(windows_path(self._pid_path)),
             "--timeout", str(int(timeout * 1000)), "--grace", str(int(grace * 1000))],
            env=env, stdin=subprocess.DEVNULL, stdout=self._stdout, stderr=subprocess.STDOUT)
        self.pid = self._wait_for_pid()
        # The program is still suspended when its id is known, so the watch
        # sees it from its first instruction on.
        self._memory = _MemoryWatch(app) if watch_memory and self.pid else None

    def _wait_for_pid(self) -> int:
        while time.monotonic() < self._deadline:
            if self._pid_path.exists():
                text = self._pid_path.read_text().strip()
                if text.isdigit():
                    return int(text)
            if self._process.poll() is not None:
                return 0
            time.sleep(0.005)
        self._kill()
        raise HarnessError(f"the runner did not start {self.command_line!r}")

    def _kill(self):
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGKILL)
            self._process.wait(timeout=10)

    def next_box(self, timeout: float = 10.0) -> Optional[Box]:
        """Waits for a box of the program that has not been reported yet;
        None when the program ended first or the time ran out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.pid:
            slice_ms = int(max(0.05, min(2.0, deadline - time.monotonic())) * 1000)
            report = self.session.helper_json(
                "tapwright_e2e_box", ["wait", "--pid", str(self.pid), "--timeout", str(slice_ms)])
            for found in report["boxes"]:
                if found["hwnd"] not in self._seen:
                    self._seen.add(found["hwnd"])
                    box = Box.from_report(found)
                    self.boxes.append(box)
                    return box
            if report["ended"] or self._process.poll() is not None:
                return None
        return None

    def answer(self, box: Box, button: str):
        button_id = BUTTONS.get(button.upper()) if isinstance(button, str) else int(button)
        report = self.session.helper_json(
            "tapwright_e2e_box", ["press", "--hwnd", str(box.hwnd), "--button", str(button_id)])
        box.answer = button
        if not report.get("closed"):
            raise HarnessError(f"the box {box.caption!r} did not close on {button}: {report}")

    def finish(self, answers: Sequence[str] = ("OK",), screenshots: Optional[Path] = None) -> Run:
        """Answers the program's boxes in order (a box beyond the scripted
        answers gets its first button, so that no case can hang on it) and
        collects the run's report."""
        pending = list(answers)
        while self._process.poll() is None and time.monotonic() < self._deadline:
            box = self.next_box(timeout=max(0.1, self._deadline - time.monotonic()))
            if box is None:
                break
            if screenshots is not None:
                screenshots.mkdir(parents=True, exist_ok=True)
                box.screenshot = self.session.screenshot(
                    box.rect, screenshots / f"box-{len(self.boxes)}.png")
            if pending:
                self.answer(box, pending.pop(0))
            else:
                first = box.button_ids[0] if box.button_ids else BUTTONS["OK"]
                self.answer(box, str(first))
                box.answer = f"unscripted:{first}"
        try:
            self._process.wait(timeout=max(1.0, self._deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._kill()
            raise HarnessError(f"the runner did not end: {self.command_line!r}")
        finally:
            self._stdout.close()
            peak_memory_kb = self._memory.stop() if self._memory else None
        seconds = time.monotonic() - self._started_at
        if not self._result_path.exists():
            raise HarnessError("the runner wrote no result: " +
                               (self.run_dir / "runner.out").read_text(errors="replace"))
        result = json.loads(self._result_path.read_text(encoding="utf-8"))
        if not result.get("started"):
            raise HarnessError(f"the runner could not start the program: {result}")
        return Run(
            command_line=self.command_line, cwd=self.cwd, lang=self.lang,
            exit_code=None if result["timed_out"] else result["exit_code"],
            timed_out=result["timed_out"], pid=result["pid"], elapsed_ms=result["elapsed_ms"],
            seconds=seconds, boxes=self.boxes,
            opened=_read_records(self.record_dir / "opened.jsonl"),
            started=_read_records(self.started_record) if self.started_record else [],
            descendants=result["descendants"], descendants_settled=result["descendants_settled"],
            requests=self.session.endpoint.requests(), run_dir=self.run_dir,
            connections=self.session.endpoint.connections(),
            peak_memory_kb=peak_memory_kb)


class _MemoryWatch:
    """Follows the Unix process in which Wine runs a program, which Wine
    names by the program's Windows path, and keeps the last VmHWM that the
    kernel reported for it. VmHWM only grows, so a sample taken just before
    the process ends holds its peak; the polling is frequent enough for a
    program that needs a moment to end (start another, close a connection)."""

    POLL_SECONDS = 0.005

    def __init__(self, app: str):
        self._name = app.encode("utf-8", "surrogateescape")
        self._peak: Optional[int] = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._follow, daemon=True)
        self._thread.start()

    def stop(self) -> Optional[int]:
        self._done.set()
        self._thread.join(timeout=10)
        return self._peak

    def _find(self) -> Optional[str]:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as file:
                    if file.read().split(b"\0", 1)[0] == self._name:
                        return entry
            except OSError:
                continue
        return None

    def _follow(self):
        pid = None
        while pid is None and not self._done.wait(self.POLL_SECONDS):
            pid = self._find()
        while pid is not None and not self._done.is_set():
            try:
                with open(f"/proc/{pid}/status") as file:
                    for line in file:
                        if line.startswith("VmHWM:"):
                            self._peak = int(line.split()[1])
            except (OSError, ValueError):
                return
            time.sleep(self.POLL_SECONDS)


def _read_records(path: Optional[Path]) -> List[dict]:
    if path is None or not path.is_file():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line]


def suite_arguments(config_variable: str = "TAPWRIGHT_E2E_CONFIG",
                    config_name: str = "e2e_config.json",
                    display_variable: Optional[str] = None) -> argparse.Namespace:
    """The options every suite takes before unittest's own: the build's
    config file, --keep, and where asked for, --display. The namespace also
    carries verbose and the argv to hand to unittest.main."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--config", default=os.environ.get(config_variable))
    if display_variable:
        parser.add_argument("--display", default=os.environ.get(display_variable),
                            help="an X display to use instead of a virtual one of its own")
    parser.add_argument("--keep", action="store_true",
                        help="keep the session folder (prefix, case folders) for inspection")
    args, rest = parser.parse_known_args()
    if not args.config:
        parser.error(f"--config <build>/tests/e2e/{config_name} is required")
    args.verbose = "-v" in rest or "--verbose" in rest
    args.unittest_argv = [sys.argv[0]] + rest
    return args
