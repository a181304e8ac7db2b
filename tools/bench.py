"""The Wine bench of the end-to-end tests, the demo and the benchmark: a virtual
display, a test CA, the scripted endpoint on the launcher's port, and one prefix
with a kept wineserver in which the CA is trusted and the bench program opens
http and https addresses. Wine facts it relies on (Wine 8): LC_ALL alone picks
the Windows locale; URL protocols are looked up in HKLM only; with the X11
driver's "Managed" off, hiding a window waits for no window manager; a
background Wine process keeps its starter's standard handles, so Wine programs
here write to files, never to a pipe that is read to its end.
"""

import contextlib
import ctypes
import dataclasses
import hashlib
import http.server
import json
import os
import re
import select
import shutil
import signal
import ssl
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import pylnk  # Debian's python3-liblnk
from endpoint import Endpoint, ReferenceEndpoint, Response, end_with_parent, wait_until

MAIN_PROGRAM = "Tapwright.exe"
REPOSITORY = Path(__file__).resolve().parents[1]
BUTTONS = {"OK": 1, "CANCEL": 2, "YES": 6, "NO": 7}
STAND_INS = {"versioned": "tapwright_bench", "noversion": "tapwright_bench_noversion",
             "maxversion": "tapwright_bench_maxversion"}


class BenchError(RuntimeError):
    """The bench could not be set up or a run could not be carried out: a
    fault of the environment, not a finding about the launcher."""


def hex16(text: str) -> str:
    """A text as the bench program takes it: hex of its UTF-16 code units."""
    return text.encode("utf-16-le", "surrogatepass").hex()


def windows_path(path: Path) -> str:
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def quoted(text: str) -> str:
    return '"' + text + '"'


def read_lines(path: Path) -> List[dict]:
    lines = path.read_text(encoding="utf-8").splitlines() if path.is_file() else []
    return [json.loads(line) for line in lines if line]


@dataclasses.dataclass
class Install:
    folder: Path
    launcher: Path

    @property
    def main_program(self) -> str:
        return windows_path(self.folder / MAIN_PROGRAM)

    @property
    def started(self) -> List[dict]:
        return read_lines(self.folder / (MAIN_PROGRAM + ".started.jsonl"))


@dataclasses.dataclass
class Run:
    command_line: str
    exit_code: Optional[int]
    seconds: float
    boxes: List[dict]
    opened: List[str]
    started: List[dict]
    requests: list
    folder: Path

    def summary(self) -> str:
        boxes = [(box["caption"], box["text"], box.get("answer")) for box in self.boxes]
        return (f"{self.command_line!r}: exit {self.exit_code} after {self.seconds:.2f} s, "
                f"boxes {boxes}, opened {self.opened}, started {self.started}, "
                f"requests {[r.path for r in self.requests]}")


class Session:
    def __init__(self, config_path, *, display: Optional[str] = None, keep: bool = False,
                 launcher: str = "TapwrightService_e2e", log=print):
        self.config = json.loads(Path(config_path).read_text())
        self.programs = {name: Path(path) for name, path in self.config["programs"].items()}
        self.port, self.launcher_program = int(self.config["port"]), launcher
        self.display, self.keep, self.log = display, keep, log
        self.root = Path(tempfile.mkdtemp(prefix="tapwright-bench-"))
        self.ca, self.bin = self.root / "ca", self.root / "bin"
        self.endpoint: Optional[Endpoint] = None
        self._processes: List[subprocess.Popen] = []
        self._running: List["Running"] = []
        self._stamps: Optional[http.server.HTTPServer] = None
        self._count = 0

    def __enter__(self) -> "Session":
        try:
            started = time.monotonic()
            if not self.display:
                self._start_display()
            self.ca.mkdir()
            self.endpoint = Endpoint(*self.certificate("server"), self.port).start()
            self._make_prefix()
            self.log(f"bench ready in {time.monotonic() - started:.1f} s: {self.root}")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self.settle()
        if (self.root / "prefix").exists():
            # Waited for, or the next run's first Wine program may meet it going down.
            for step in ("-k", "-w"):
                subprocess.run(["wineserver", step], env=self.env(), timeout=60,
                               capture_output=True)
        if self.endpoint is not None:
            self.endpoint.stop()
        if self._stamps is not None:
            self._stamps.shutdown()
        for process in self._processes:
            process.kill(), process.wait(10)  # kill() leaves a process that has ended alone
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def _start_display(self):
        read_end, write_end = os.pipe()
        self._background(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                          "-nolisten", "tcp"], "xvfb.log", pass_fds=(write_end,),
                         preexec_fn=end_with_parent)  # even a killed bench's display ends
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()  # written once Xvfb accepts clients
        if not number.isdigit():
            raise BenchError(f"Xvfb did not start: see {self.root / 'xvfb.log'}")
        self.display = ":" + number

    def certificate(self, kind: str, host: str = "localhost", days: int = 7, ca: str = "ca",
                    usage: str = "serverAuth"):
        """A certificate for the host, signed by the CA named (made on first use;
        only "ca" is trusted), for the days given: below 0, it has expired."""
        if not (self.ca / f"{ca}.pem").exists():
            self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key",
                         "-out", f"{ca}.pem", "-days", "7", "-subj", f"/CN=Tapwright {ca}",
                         "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        (self.ca / f"{kind}.ext").write_text(
            f"subjectAltName=DNS:{host}\nbasicConstraints=CA:FALSE\nextendedKeyUsage={usage}\n")
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{kind}.key",
                     "-out", f"{kind}.csr", "-subj", f"/CN={host}")
        self.openssl("x509", "-req", "-in", f"{kind}.csr", "-CA", f"{ca}.pem", "-CAkey",
                     f"{ca}.key", "-set_serial", str(time.time_ns()), "-out", f"{kind}.pem",
                     "-days", str(days), "-extfile", f"{kind}.ext")
        return self.ca / f"{kind}.pem", self.ca / f"{kind}.key"

    def openssl(self, *command: str):
        result = subprocess.run(["openssl", *command], cwd=self.ca, timeout=60,
                                capture_output=True, stdin=subprocess.DEVNULL)
        if result.returncode:
            raise BenchError(f"openssl {command[0]}: {result.stderr.decode(errors='replace')}")

    def _make_prefix(self):
        self.quiet(["wineboot", "-i"], 240)
        self.quiet(["wineserver", "-w"], 60)
        # Kept up, so that each program starts in milliseconds; but only for
        # two idle minutes, should the bench be killed before it stops it. It opens every file, so
        # it runs without root's right to write any: Wine then honours read-only, as Windows does.
        root = ["setpriv", "--bounding-set=-dac_override"] if os.getuid() == 0 else []
        self.quiet([*root, "wineserver", "-p120"], 30)
        self.bin.mkdir()
        for path in self.programs.values():
            if path.suffix == ".exe":
                shutil.copy2(path, self.bin / path.name)
        opener = quoted(windows_path(self.program("tapwright_bench"))) + ' open "%1"'
        # The test CA joins the Root store as crypt32 keeps it: a "Blob" of
        # properties, the SHA-1 hash (3) and the certificate itself (32).
        der = ssl.PEM_cert_to_DER_cert((self.ca / "ca.pem").read_text())
        sha1 = hashlib.sha1(der).digest()
        blob = struct.pack("<3I", 3, 1, 20) + sha1 + struct.pack("<3I", 32, 1, len(der)) + der
        for key, *value in ((r"HKLM\Software\Classes\https\shell\open\command", "/ve", opener),
                            (r"HKLM\Software\Classes\http\shell\open\command", "/ve", opener),
                            ("HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "N"),
                            ("HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t",
                             "REG_DWORD", "0"),
                            ("HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
                             + sha1.hex().upper(), "/v", "Blob", "/t", "REG_BINARY", blob.hex())):
            self.quiet(["wine", "reg", "add", key, *value[:-1], "/d", value[-1], "/f"], 60)
        # The first window anyone asks for starts Wine's desktop process; a
        # command prompt waiting on its input keeps it up for the session.
        self._background(["wine", "cmd.exe"], "desktop.log", stdin=subprocess.PIPE)
        self.bench("boxes")
        # One real request, the launcher's own, before any case runs: no case
        # may fail for a prefix that does not trust the endpoint yet.
        if not self.launch(self.install("versioned", "trust")).requests:
            raise BenchError("the prefix does not accept the test endpoint: no request came in")

    def env(self, lang: str = "en_US.UTF-8", dlls: str = "", **extra) -> dict:
        """No Mono or Gecko prompts and no menu entries on the host; dlls adds
        Wine DLL overrides for one run."""
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("LC_", "WINE")) and key not in ("LANG", "LANGUAGE")}
        overrides = "mscoree,mshtml=;winemenubuilder.exe=d" + (";" + dlls if dlls else "")
        env.update(WINEPREFIX=str(self.root / "prefix"), WINEDEBUG="-all", LC_ALL=lang,
                   DISPLAY=self.display or "", WINEDLLOVERRIDES=overrides, **extra)
        return env

    def _background(self, command, log: str, **options) -> subprocess.Popen:
        with open(self.root / log, "ab") as out:
            options.setdefault("stdin", subprocess.DEVNULL)
            process = subprocess.Popen(command, env=options.pop("env", None) or self.env(),
                                       stdout=out, stderr=subprocess.STDOUT, **options)
        self._processes.append(process)
        return process

    def quiet(self, command: Sequence[str], timeout: float, env=None) -> str:
        self._count += 1
        process = self._background(command, f"out-{self._count}.txt", env=env)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise BenchError(f"{' '.join(command[:3])} did not end within {timeout} s")
        return (self.root / f"out-{self._count}.txt").read_text(errors="replace").strip()

    def program(self, name: str) -> Path:
        return self.bin / self.programs[name].name

    def bench(self, verb: str, *arguments: str, timeout: float = 60) -> dict:
        """One verb of the bench program, and its JSON reply. Under load Wine
        now and then ends a program that merely looks at the desktop before
        it can answer (exit code 1, no output); a second try settles it."""
        command = ["wine", str(self.program("tapwright_bench")), verb, *arguments]
        text = self.quiet(command, timeout) or self.quiet(command, timeout)
        try:
            return json.loads(text.splitlines()[-1])
        except (json.JSONDecodeError, IndexError) as error:
            raise BenchError(f"{verb} {' '.join(arguments)} printed no JSON: {text!r}") from error

    def folder(self, label: str) -> Path:
        self._count += 1
        (path := self.root / "runs" / f"{self._count:03d}-{label}").mkdir(parents=True)
        return path

    def install(self, main: Optional[str] = "versioned", label: str = "install",
                folder: str = "install") -> Install:
        """main: a stand-in of STAND_INS, "directory" (a folder named
        Tapwright.exe), "empty" (a file of zero bytes), or None."""
        target = self.folder(label) / folder
        target.mkdir(parents=True)
        launcher = target / "TapwrightService.exe"
        shutil.copy2(self.programs[self.launcher_program], launcher)
        if main == "directory":
            (target / MAIN_PROGRAM).mkdir()
        elif main == "empty":
            (target / MAIN_PROGRAM).write_bytes(b"")
        elif main:
            shutil.copy2(self.programs[STAND_INS[main]], target / MAIN_PROGRAM)
        return Install(target, launcher)

    def start(self, app: str, command_line: str, *, label: str = "run", lang: str = "en_US.UTF-8",
              copies: int = 1, timeout: float = 30, dlls: str = "", grace: float = 5,
              routes: Optional[Dict[str, Response]] = None, **endpoint) -> "Running":
        """Starts a program through the bench's runner, after scripting the
        endpoint for the run (routes by path; see Endpoint.reset)."""
        self.endpoint.reset(routes, **endpoint)
        self._running.append(Running(self, app, command_line, self.folder(label),
                                     self.env(lang, dlls), copies, timeout, grace))
        return self._running[-1]

    def setup(self, version: str, main: str) -> Path:
        """The real installer of this version. Its launcher, which lies beside it, carries the
        version after its image, so that two releases' launchers differ byte for byte, as real
        ones do."""
        folder = self.folder(f"setup-{version}")
        launcher, setup = folder / "TapwrightService.exe", folder / f"TapwrightSetup-{version}.exe"
        launcher.write_bytes(self.programs[self.launcher_program].read_bytes() + version.encode())
        subprocess.run(["makensis", "-V2", f"-DVERSION={version}", "-DLOCK_MS=10000",
                        f"-DLAUNCHER={launcher}", f"-DMAIN={self.programs[main]}",
                        f"-DOUTFILE={setup}", "installer/tapwright.nsi"],
                       check=True, timeout=120, cwd=REPOSITORY)
        return setup

    def stamps(self) -> str:
        """The address of the session's RFC 3161 time-stamp server, started on first use: OpenSSL's
        ts answers each query, signed by a time-stamping certificate of the session's CA."""
        if self._stamps is None:
            self.certificate("stamps", usage="critical,timeStamping")
            (self.ca / "stamps.cnf").write_text(
                "[tsa]\ndefault_tsa = s\n[s]\nserial = stamps.serial\ndigests = sha256\n"
                "default_policy = 1.3.6.1.4.1.0\nsigner_digest = sha256\n")
            command, ca = ("openssl ts -reply -config stamps.cnf -queryfile /dev/stdin -signer "
                           "stamps.pem -inkey stamps.key -out /dev/stdout").split(), self.ca

            class Stamps(http.server.BaseHTTPRequestHandler):
                def do_POST(self):
                    reply = subprocess.run(command, cwd=ca, capture_output=True, timeout=30, input=(
                        self.rfile.read(int(self.headers["Content-Length"])))).stdout
                    self.send_response(200)
                    self.send_header("Content-Type", "application/timestamp-reply")
                    self.send_header("Content-Length", str(len(reply)))
                    self.end_headers()
                    self.wfile.write(reply)

                log_message = lambda *_: None  # noqa: E731

            self._stamps = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamps)
            threading.Thread(target=self._stamps.serve_forever, daemon=True).start()
        return f"http://127.0.0.1:{self._stamps.server_port}/"

    @property
    def product_folder(self) -> Path:
        local = next((self.root / "prefix/drive_c/users").glob("*/AppData/Local"))
        return local / "Programs/Tapwright"

    def hold_mutex(self, program: Path, *options: str) -> Callable[[], None]:
        """Runs the bench program (under any name) holding the launcher's mutex, as a copy of
        the launcher would (with --deny, an elevated one); returns what ends it."""
        stop = (folder := self.folder("mutex")) / "stop"
        process = self._holding(folder, program, "mutex", *options, "--stop",
                                hex16(windows_path(stop)))
        return lambda: (stop.write_text(""), process.wait(30))

    def hold(self, path: Path, ms: int, when: Optional[Path] = None) -> subprocess.Popen:
        """Holds the file as a virus scanner does (the bench program's hold) from the moment it
        exists (and when exists), for ms; returns once the holder watches for it (or holds it)."""
        return self._holding(self.folder("hold"), self.program("tapwright_bench"), "hold",
                             "--file", hex16(windows_path(path)), "--ms", str(ms),
                             *(["--when", hex16(windows_path(when))] if when else []),
                             waits=lambda: not path.exists())

    def _holding(self, folder: Path, program: Path, verb: str, *options: str, waits=lambda: 0):
        """The holder that the verb starts, once its reply in the folder says that it holds (or
        that it watches, while waits()); started again if Wine ends it at once."""
        ready = folder / "held.json"
        holds = lambda: ready.exists() and (  # noqa: E731
            waits() or json.loads(ready.read_text())["held"])
        for _ in range(2):
            process = self._background(["wine", str(program), verb, *options, "--ready",
                                        hex16(windows_path(ready))], "holder.log")
            if wait_until(lambda: holds() or process.poll() is not None, 30) and holds():
                return process
            if process.poll() is None:  # alive, and still not holding
                break
        raise BenchError(f"{program.name} {verb} holds nothing: "
                         f"{ready.read_text() if ready.exists() else 'no reply'}")

    def killed(self, command: Sequence[str], folders: Sequence[Path], changes: int,
               events: int = 0x380, name: str = "", delayed: Sequence[Path] = ()):
        """Runs the command (wine execs into the program) and SIGKILLs it at the changes-th event of
        the kinds given (inotify; by default a name made, moved in or deleted) in the folders, of
        the name given or any. The wineserver, which makes those changes, holds each for 500 ms
        (see traced), so that the kill lands right after the change, before the next."""
        libc = ctypes.CDLL(None, use_errno=True)
        watch = libc.inotify_init1(os.O_NONBLOCK)
        for folder in folders:
            libc.inotify_add_watch(watch, bytes(folder), events)
        with self.traced(delay_ms=500, paths=delayed):
            process, seen = self._background(list(command), "killed.log"), 0
            while seen < changes and process.poll() is None:
                data = os.read(watch, 1 << 16) if select.select([watch], [], [], 0.1)[0] else b""
                while data:  # each event: 16 bytes, then a name of the length at offset 12
                    size = struct.unpack_from("I", data, 12)[0]
                    seen += not name or data[16:16 + size].rstrip(b"\0").decode() == name
                    data = data[16 + size:]
            process.kill(), process.wait(30)
        os.close(watch)

    @contextlib.contextmanager
    def traced(self, command: Sequence[str] = (), delay_ms: int = 0, paths: Sequence[Path] = ()):
        """strace on the session's wineserver, which makes every link, rename and deletion in the
        prefix (with paths, of those files only, and their closes too), and on the command if one
        is given, run in the block, for its fsyncs. Yields a list that holds, once the block ends,
        each call as (call, the file names it names...), in time order. With delay_ms the server's
        calls return that much later: what a change sets off happens before the next change."""
        prefix, log = (self.root / "prefix").stat(), self.folder("strace")

        def cwd(pid):  # None for a process that is not ours to see, or has ended meanwhile
            with contextlib.suppress(OSError):
                return os.readlink(f"/proc/{pid}/cwd")
        server = next(pid for pid in os.listdir("/proc") if pid.isdigit() and (cwd(pid) or "")
                      .endswith(f"/server-{prefix.st_dev:x}-{prefix.st_ino:x}"))  # in /tmp/...
        calls = "link,linkat,rename,renameat,renameat2,unlink,unlinkat" + ",close" * bool(paths)
        strace, seen = ["strace", "-qq", "-ttt", "-y", "-s4096", "-o"], []
        process = self._background([*strace, str(log / "server"), "-p", server, f"-e{calls}",
                                    f"-einject={calls}:delay_exit={delay_ms * 1000}",
                                    *(f"-P{path}" for path in paths)], "strace.log")
        if not wait_until(lambda: "TracerPid:\t0\n" not in Path(f"/proc/{server}/status")
                          .read_text(), 30):
            raise BenchError("strace did not attach to the wineserver")
        try:
            if command:
                self.quiet([*strace, str(log / "command"), "-f", "-efsync,fdatasync", *command], 99)
            yield seen
        finally:
            process.send_signal(signal.SIGINT), process.wait(30)
        found = [re.match(r"(?:\d+ +)?([\d.]+) (\w+)\((.*)\) += 0", line)  # [pid] seconds call
                 for path in log.iterdir() for line in path.read_text().splitlines()]
        seen += [(call, *(os.path.basename(a or b) for a, b in re.findall(r'"([^"]*)"|<([^>]*)>',
                 arguments))) for _, call, arguments in sorted(m.groups() for m in found if m)]

    @contextlib.contextmanager
    def reference_endpoint(self, label: str):
        """The shipped endpoint under nginx and PHP-FPM, in the scripted one's place on the
        port that the launcher was built for."""
        self.endpoint.stop()
        try:
            with ReferenceEndpoint(self.folder(label), self.port,
                                   *self.certificate("server")) as reference:
                yield reference
        finally:
            self.endpoint.start()

    def shortcut(self) -> Tuple[str, str, str]:
        """The product's Start-menu shortcut: its target, its arguments and its working folder."""
        link = pylnk.file()  # Debian 12's pylnk.open() refuses every file; the object's open works
        link.open(str(self.product_folder.parents[2] / "Roaming/Microsoft/Windows/Start Menu"
                      "/Programs/Tapwright.lnk"))
        return link.local_path, link.command_line_arguments or "", link.working_directory

    def refusal(self, program: Path, arguments: str = "", lang: str = "en_US.UTF-8",
                shots: Optional[Path] = None) -> Run:
        """A setup (or the uninstaller, "_?=<its folder>") that the product running stops: its
        boxes are its wizard's first window, then the box that says so."""
        running = self.start(path := windows_path(program), f"{quoted(path)} {arguments}",
                             lang=lang, grace=30)
        wizard = running.next_box(30)
        if arguments:  # "Uninstall" on the confirmation page, which leaves the window open
            self.bench("press", "--hwnd", str(wizard["hwnd"]), "--button", str(BUTTONS["OK"]))
        running.answer(running.next_box(30), "OK", shots)
        running.answer(wizard, "CANCEL")  # an aborted wizard has only Cancel; one that quit is gone
        return running.finish()

    def snapshot(self) -> dict:
        """Every file of the prefix, with a hash of its bytes, and every line of the registry:
        two snapshots tell what happened between them."""
        prefix = self.root / "prefix"
        entries = {str(path.relative_to(prefix)): path.is_file() and hashlib.sha1(
            path.read_bytes()).hexdigest() for path in prefix.rglob("*") if not path.is_symlink()
            and not (path.parent == prefix and path.suffix == ".reg")}
        for hive in ("HKLM", "HKCU"):  # the wineserver writes the .reg files when it pleases
            export = self.root / f"{hive}.reg"
            self.quiet(["wine", "reg", "export", hive, windows_path(export), "/y"], 120)
            entries.update(dict.fromkeys(export.read_text(encoding="utf-16").splitlines(), hive))
        return entries

    def settle(self):
        """Ends what a case left running: a launcher that still shows its box
        holds the single-instance mutex, and every later run would yield."""
        for running in self._running:
            running.process.kill(), running.process.wait(10)
        self._running = []

    def launch(self, install: Install, arguments: str = "", *, answers: Sequence[str] = (),
               shots: Optional[Path] = None, **options) -> Run:
        """Runs the launcher, quoted and followed by the arguments, answering
        its boxes in turn."""
        path = windows_path(install.launcher)
        line = quoted(path) + (" " + arguments if arguments else "")
        return self.start(path, line, label="launch", **options).finish(answers, install, shots)


class Running:
    """A program started through the runner: its boxes are answered one by one."""

    def __init__(self, session: Session, app: str, command_line: str, folder: Path, env: dict,
                 copies: int, timeout: float, grace: float):
        self.session, self.command_line, self.folder = session, command_line, folder
        self.record, self.out, pids = folder / "record", folder / "runner.json", folder / "pids"
        self.record.mkdir()
        self.boxes: List[dict] = []
        self.deadline = time.monotonic() + timeout + grace + 20
        # A runner that ends with no output and no pids is one that Wine ended at once, as bench()
        # says: no copy was resumed, so it is started once more. Its own failure it prints.
        for _ in range(2):
            with open(self.out, "wb") as out:
                self.process = subprocess.Popen(
                    ["wine", str(session.program("tapwright_bench")), "run", "--app", hex16(app),
                     "--command-line", hex16(command_line), "--cwd", hex16(windows_path(folder)),
                     "--copies", str(copies), "--timeout", str(int(timeout * 1000)),
                     "--grace", str(int(grace * 1000)), "--pids", hex16(windows_path(pids))],
                    env=dict(env, TAPWRIGHT_E2E_RECORD_DIR=windows_path(self.record)),
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            self.pids = wait_until(lambda: pids.exists() and json.loads(pids.read_text()) or
                                   self.process.poll() is not None, 30)
            if isinstance(self.pids, list) or self.process.poll() is None or self.out.read_bytes():
                break
        if not isinstance(self.pids, list):
            self.process.kill()
            raise BenchError(f"the runner did not start {command_line!r}: exit code "
                             f"{self.process.returncode}, output {self.out.read_text()!r}")

    def next_box(self, timeout: float = 10) -> Optional[dict]:
        """The next box of the program not yet seen; None when it ended first."""
        seen = {box["hwnd"] for box in self.boxes}
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            wait = str(int(min(2, max(0.05, deadline - time.monotonic())) * 1000))
            found = self.session.bench("boxes", "--pid", str(self.pids[0]), "--wait", wait)
            for box in found["boxes"]:
                if box["hwnd"] not in seen:
                    self.boxes.append(box)
                    return box
            if found["ended"]:
                return None
        return None

    def answer(self, box: dict, button: str, shots: Optional[Path] = None):
        if shots is not None:  # a picture of the box, from the display
            left, top, right, bottom = box["rect"]
            box["picture"] = shots / f"{box['hwnd']}.png"
            subprocess.run(["import", "-display", self.session.display, "-window", "root",
                            "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                            str(box["picture"])], timeout=30, check=True, capture_output=True)
        box["answer"] = button
        pressed = self.session.bench("press", "--hwnd", str(box["hwnd"]), "--button",
                                     str(BUTTONS[button]))
        if not pressed["closed"]:
            raise BenchError(f"the box {box['caption']!r} did not close on {button}")

    def finish(self, answers: Sequence[str] = (), install: Optional[Install] = None,
               shots: Optional[Path] = None) -> Run:
        """Answers the boxes in order (one beyond the answers given gets its
        first button, so that no run can hang on it) and reports the run."""
        pending = list(answers)
        while (box := self.next_box(max(0.1, self.deadline - time.monotonic()))) is not None:
            first = {value: key for key, value in BUTTONS.items()}[box["buttons"][0]["id"]]
            self.answer(box, pending.pop(0) if pending else first, shots)
        try:
            self.process.wait(timeout=max(1.0, self.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise BenchError(f"the runner did not end: {self.command_line!r}")
        result = json.loads(self.out.read_text())
        codes = result["exit_codes"]
        return Run(self.command_line, codes[0] if len(codes) == 1 else None,
                   result["elapsed_ms"] / 1000, self.boxes,
                   [record["arguments"][0] for record in read_lines(self.record / "opened.jsonl")],
                   install.started if install else [],
                   list(self.session.endpoint.requests), self.folder)
