"""The update check as a user meets it: the real launcher under Wine with a
stand-in main program, asking a local HTTPS endpoint that the prefix trusts
and that each case scripts (what it answers, which certificate it shows,
whether it answers or listens at all).

    python3 test_update.py --config <build>/tests/e2e/e2e_config.json [-v] [-k name]

All cases share one session (X server, prefix, endpoint); each gets fresh
install folders. The time from the launcher's start to its end (just after
it has started the main program, or without it) is printed for every fault
case at the end.
"""

import http.client
import json
import socket
import ssl
import sys
import unittest
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

from endpoint import Endpoint, Response  # noqa: E402
from harness import (REFUSED_CERTIFICATES, Install, Run, Session, hex16, quoted,  # noqa: E402
                     windows_path, suite_arguments)

SESSION: Session = None
RUNS: List[Run] = []
# label -> (seconds from the launcher's start to its end, what it did)
FAULT_TIMES: Dict[str, Tuple[float, str]] = {}
MEMORY: Dict[str, int] = {}

IDYES, IDNO = 6, 7
USER_AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/115.0.0.0 Safari/537.36")

# The update prompt: caption, then its three paragraphs.
PROMPTS = {
    "en_US.UTF-8": ("Tapwright", (
        "This program has been updated.",
        "It is recommended to download and execute new for stable use.",
        "Do you want to download it?")),
    "de_DE.UTF-8": ("Tapwright", (
        "Dieses Programm ist aktualisiert worden.",
        "Es wird empfohlen, es herunterzuladen und neu auszuführen, um es stabil zu verwenden.",
        "Möchten Sie es herunterladen?")),
    "ja_JP.UTF-8": ("Tapwright", (
        "このプログラムがアップデートされました。",
        "安定的に使用するために新しくダウンロード\u00b7実行することをお勧めします。",
        "ダウンロードしますか。")),
    "ko_KR.UTF-8": ("탭라이트", (
        "업데이트가 정보가 있습니다.",
        "안정적으로 사용하기 위해 업데이트를 하시길 권장합니다.",
        "다운로드 받으시겠습니까?")),
}

# The address that the scripted endpoint offers unless a case says otherwise,
# as the service writes it (slashes escaped) and as it is meant.
OFFERED_FIELD = "https:\\/\\/localhost\\/download\\/Tapwright-2.1.0.exe"
OFFERED_ADDRESS = "https://localhost/download/Tapwright-2.1.0.exe"

# No endpoint, however it misbehaves, may hold the start of the main program
# longer than this; one that answers (or fails) at once must not come near
# it, and a refused connection costs next to nothing.
HOLD_LIMIT_SECONDS = 20.0
QUICK_LIMIT_SECONDS = 5.0
REFUSED_LIMIT_SECONDS = 1.0


# Hidden windows that Wine 8 gives the thread of any message box: the input
# method's default window and COM's message-only window.
WINE_MESSAGE_BOX_WINDOWS = {"IME", "OleMainThreadWndClass"}


def reply_body(field: str, before: str = "", after: str = "") -> bytes:
    """A reply as the service writes it, the field given in its escaped form."""
    return ('{"status":"ok",' + before + '"update":"' + field + '"' + after + "}").encode("utf-8")


def offer(body: bytes = reply_body(OFFERED_FIELD), **response):
    """Scripts the endpoint to answer every request with this body."""
    def serve(endpoint: Endpoint):
        endpoint.default = Response(body=body, **response)
    return serve


def setUpModule():
    global SESSION
    log = (lambda message: print(message, file=sys.stderr)) if VERBOSE else None
    SESSION = Session(CONFIG, keep=KEEP, log=log)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)
    if not RUNS:
        return
    total = sum(run.seconds for run in RUNS)
    set_up = ", ".join(f"{k} {v:.1f} s" for k, v in SESSION.timings.items())
    lines = [f"\n{len(RUNS)} runs under Wine, {total:.1f} s in all; session set-up: {set_up}"]
    if FAULT_TIMES:
        lines.append("launcher start to its end, per endpoint fault "
                     "(after starting the main program unless said otherwise):")
        width = max(len(label) for label in FAULT_TIMES)
        for label, (seconds, outcome) in FAULT_TIMES.items():
            lines.append(f"  {label:<{width}}  {seconds:6.2f} s  {outcome}")
        slowest = max(FAULT_TIMES.items(), key=lambda item: item[1][0])
        lines.append(f"  slowest: {slowest[0]}, {slowest[1][0]:.2f} s")
    if MEMORY:
        lines.append("launcher peak resident size (VmHWM): " +
                     ", ".join(f"{label} {kb / 1024:.1f} MiB" for label, kb in MEMORY.items()))
    print("\n".join(lines), file=sys.stderr)


class UpdateTestCase(unittest.TestCase):
    maxDiff = None

    def run_launcher(self, install: Install, arguments: str = "/inst", *,
                     answers=("NO",), **options) -> Run:
        run = SESSION.run_launcher(install, arguments, answers=answers, **options)
        RUNS.append(run)
        self.assertFalse(run.timed_out, run.summary())
        self.assertTrue(run.descendants_settled, run.summary())
        return run

    def opened_exactly(self, run: Run) -> List[str]:
        """The addresses as the shell handed them to the recorder, read from
        its raw command line: the recorder's argument splitting would mangle
        an address that holds a quote or ends in a backslash."""
        prefix = quoted(windows_path(SESSION.helper("tapwright_e2e_url_recorder"))) + ' "'
        addresses = []
        for record in run.opened:
            line = record["command_line"]
            self.assertTrue(line.startswith(prefix) and line.endswith('"'), line)
            addresses.append(line[len(prefix):-1])
        return addresses

    def assert_prompt(self, run: Run, lang: str = "en_US.UTF-8"):
        """Exactly one box, the update prompt in the user's language."""
        caption, paragraphs = PROMPTS[lang]
        self.assertEqual(len(run.boxes), 1, run.summary())
        box = run.boxes[0]
        self.assertEqual(box.caption, caption)
        self.assertEqual(box.text, "\r\r".join(paragraphs))
        self.assertEqual(box.button_ids, [IDYES, IDNO], run.summary())
        self.assertEqual(box.pid, run.pid, "the box belongs to the launcher")
        self.assertEqual(box.owner, 0, "the box has no owner window")

    def assert_main_program_started(self, run: Run, install: Install):
        self.assertEqual(len(run.started), 1, run.summary())
        self.assertEqual(run.started[0]["module"], install.main_program_windows)
        self.assertEqual([d["image"] for d in run.descendants], [install.main_program_windows],
                         run.summary())
        self.assertEqual(run.exit_code, 0, run.summary())

    def assert_no_update(self, run: Run, install: Install):
        """No box, nothing opened, the main program started (under /inst)."""
        self.assertEqual([(box.caption, box.text) for box in run.boxes], [], run.summary())
        self.assertEqual(run.opened, [], run.summary())
        self.assert_main_program_started(run, install)

    def assert_opened_only(self, run: Run, address: str):
        """The shell opened the address and nothing was started, not even
        the main program under /inst."""
        self.assertEqual(self.opened_exactly(run), [address], run.summary())
        self.assertEqual(run.started, [], run.summary())
        self.assertEqual(len(run.descendants), 1, run.summary())
        self.assertTrue(run.descendants[0]["image"].endswith("tapwright_e2e_url_recorder.exe"))
        self.assertEqual(run.exit_code, 0, run.summary())

    def fault_run(self, label: str, limit: float = QUICK_LIMIT_SECONDS, **options) -> Run:
        """A launch with /inst that must end as one without update, within
        the limit; its time goes into the summary."""
        install = SESSION.make_install("versioned", label=label)
        run = self.run_launcher(install, **options)
        seconds = run.elapsed_ms / 1000
        FAULT_TIMES[label] = (seconds, "started" if run.started else
                              f"{len(run.boxes)} box(es), opened {len(run.opened)}")
        self.assert_no_update(run, install)
        self.assertLess(seconds, limit, run.summary())
        return run


class RequestTest(UpdateTestCase):
    def test_one_get_with_the_version_user_agent_and_no_cache(self):
        install = SESSION.make_install("versioned", label="request")
        run = self.run_launcher(install)
        self.assert_no_update(run, install)
        self.assertEqual(run.connections, 1, "one connection per launch")
        request, = run.requests
        self.assertEqual((request.method, request.path), ("GET", "/api.init.php"))
        self.assertEqual(request.header("Host"), SESSION.config["host"])
        self.assertEqual(request.header("User-Version"), "2.0.1.0")
        self.assertEqual(request.header("User-Debug"), "false")
        self.assertEqual(request.header("User-Agent"), USER_AGENT)
        self.assertEqual(request.header("Pragma"), "no-cache")
        for name in ("User-Version", "User-Debug", "User-Agent", "Pragma"):
            self.assertEqual(request.header_count(name), 1, name)

    def test_version_header_is_the_file_version_of_the_main_program(self):
        for main, version in (("versioned", "2.0.1.0"), ("noversion", "0.0.0.0"),
                              ("maxversion", "65535.0.10.200")):
            with self.subTest(main=main):
                install = SESSION.make_install(main, label=f"version-{main}")
                run = self.run_launcher(install)
                self.assert_no_update(run, install)
                request, = run.requests
                self.assertEqual(request.header("User-Version"), version)
                self.assertEqual(request.header_count("User-Version"), 1)
                # The stand-in's product version differs from its file version.
                for key, value in request.headers:
                    self.assertNotIn("5.6.7.8", value, key)

    def test_one_request_per_launch_whatever_the_arguments_and_answer(self):
        for arguments, answers in (("", ()), ("/inst", ()), ("/inst", ("NO",)),
                                   ("", ("YES",))):
            serve = offer() if answers else None
            with self.subTest(arguments=arguments, answers=answers):
                install = SESSION.make_install("versioned", label="one-request")
                run = self.run_launcher(install, arguments, answers=answers, serve=serve)
                self.assertEqual(len(run.requests), 1, run.summary())
                self.assertEqual(run.connections, 1, run.summary())
                self.assertEqual(len(run.boxes), len(answers), run.summary())


class PromptTest(UpdateTestCase):
    def test_prompt_in_the_users_language(self):
        for lang in PROMPTS:
            with self.subTest(lang=lang):
                install = SESSION.make_install("versioned", label=f"prompt-{lang[:2]}")
                run = self.run_launcher(install, lang=lang, serve=offer())
                self.assert_prompt(run, lang)
                self.assertEqual(run.boxes[0].text.count("\r"), 4, "two carriage returns each")
                self.assertNotIn("\n", run.boxes[0].text)

    def test_yes_opens_the_address_and_starts_nothing_even_with_inst(self):
        for arguments in ("/inst", ""):
            with self.subTest(arguments=arguments):
                install = SESSION.make_install("versioned", label="prompt-yes")
                run = self.run_launcher(install, arguments, answers=("YES",), serve=offer())
                self.assert_prompt(run)
                self.assert_opened_only(run, OFFERED_ADDRESS)

    def test_no_opens_nothing_and_inst_starts_the_main_program(self):
        install = SESSION.make_install("versioned", label="prompt-no")
        run = self.run_launcher(install, answers=("NO",), serve=offer())
        self.assert_prompt(run)
        self.assertEqual(run.opened, [], run.summary())
        self.assert_main_program_started(run, install)

    def test_no_without_inst_starts_nothing(self):
        install = SESSION.make_install("versioned", label="prompt-no-no-inst")
        run = self.run_launcher(install, "", answers=("NO",), serve=offer())
        self.assert_prompt(run)
        self.assertEqual((run.opened, run.started, run.descendants), ([], [], []), run.summary())
        self.assertEqual(run.exit_code, 0, run.summary())


    def test_the_prompt_is_the_only_window_the_launcher_has(self):
        """The launcher builds its applet and form as objects only: while its
        prompt is up, no window of the layer's classes exists, and every
        other window it owns is one Wine makes for any message box."""
        install = SESSION.make_install("versioned", label="prompt-windows")
        running = SESSION.start_launcher(install, "/inst", serve=offer())
        box = running.next_box()
        self.assertIsNotNone(box, "the prompt appears")
        windows = SESSION.helper_json("tapwright_e2e_window_census",
                                      ["--pid", str(running.pid)])["windows"]
        running.answer(box, "NO")
        run = running.finish(answers=())
        RUNS.append(run)
        self.assertEqual(run.exit_code, 0, run.summary())
        classes = [window["class"] for window in windows]
        self.assertEqual([w["class"] for w in windows if w["visible"]], ["#32770"], windows)
        for layer_class in ("obj_App", "obj_Form", "SvcTapwright"):
            self.assertNotIn(layer_class, classes)
        self.assertLessEqual(set(classes), {"#32770"} | WINE_MESSAGE_BOX_WINDOWS, windows)


class AddressDecodingTest(UpdateTestCase):
    """What is opened is what a JSON parser makes of the served value."""

    VALUES = (
        ("escaped slashes", OFFERED_FIELD),
        ("\\u escapes, either case",
         "https://localhost/\\u0064ownload/caf\\u00e9-\\u00C9t\\u00e9.exe"),
        ("surrogate pair", "https://localhost/\\ud83d\\ude00/\\uD55C\\uAE00"),
        ("raw UTF-8", "https://localhost/탭라이트/ダウンロード/é/😀"),
        ("escaped quote", 'https://localhost/get?name=\\"Tapwright\\"&v=2'),
        ("escaped backslash", "https://localhost/a\\\\b\\\\setup.exe"),
        ("query string",
         "https://localhost/api/download?version=2.1.0&lang=ko-KR&t=a%2Fb%3D#latest"),
        ("escaped query string", "https:\\/\\/localhost\\/d?a=1\\u0026b=\\/x\\/&c=%20"),
        ("upper-case scheme", "HTTPS://LOCALHOST/UPPER"),
        ("plain http with a port", "http://localhost:8080/Tapwright.exe"),
    )

    def test_opened_address_is_the_json_value(self):
        for label, field in self.VALUES:
            expected = json.loads('"' + field + '"')
            with self.subTest(value=label):
                install = SESSION.make_install("versioned", label="decode")
                run = self.run_launcher(install, answers=("YES",), serve=offer(reply_body(field)))
                self.assert_prompt(run)
                self.assert_opened_only(run, expected)

    def test_first_update_member_counts(self):
        body = reply_body("https://localhost/first", after=',"update":"https://localhost/second"')
        install = SESSION.make_install("versioned", label="first-member")
        run = self.run_launcher(install, answers=("YES",), serve=offer(body))
        self.assert_opened_only(run, "https://localhost/first")

        body = reply_body("", after=',"update":"https://localhost/second"')
        install = SESSION.make_install("versioned", label="first-member-empty")
        self.assert_no_update(self.run_launcher(install, serve=offer(body)), install)

    def test_update_member_after_other_members_and_white_space(self):
        body = ('{\n  "status": "ok",\n  "notes": "fixes \\"update\\": see \\/news",\n'
                '  "update":"https:\\/\\/localhost\\/new.exe"\n}\n').encode()
        install = SESSION.make_install("versioned", label="pretty-json")
        run = self.run_launcher(install, answers=("YES",), serve=offer(body))
        self.assert_opened_only(run, "https://localhost/new.exe")


class FaultTest(UpdateTestCase):
    """Each endpoint fault ends like a reply without update: exit code 0, no
    box, nothing opened, the main program started, within the time bound.
    The endpoint would offer an update wherever a reply could get through,
    so that a fault that is not one shows as a prompt."""

    def setUp(self):
        if "reference: no update on offer" not in FAULT_TIMES:
            install = SESSION.make_install("versioned", label="reference")
            run = self.run_launcher(install)
            self.assert_no_update(run, install)
            FAULT_TIMES["reference: no update on offer"] = (run.elapsed_ms / 1000, "started")

    def test_connection_refused(self):
        with SESSION.endpoint.closed():
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", SESSION.port), timeout=5).close()
            run = self.fault_run("connection refused", limit=REFUSED_LIMIT_SECONDS)
        self.assertEqual((run.requests, run.connections), ([], 0))

    def test_server_accepts_and_never_answers(self):
        def hold(endpoint: Endpoint):
            offer()(endpoint)
            endpoint.hold_connections()
        run = self.fault_run("accepts, never answers (no TLS handshake)",
                             limit=HOLD_LIMIT_SECONDS, serve=hold)
        self.assertEqual((run.requests, run.connections), ([], 1))

    def test_server_reads_the_request_and_never_answers(self):
        run = self.fault_run("reads the request, never answers", limit=HOLD_LIMIT_SECONDS,
                             serve=offer(delay=120))
        self.assertEqual(len(run.requests), 1)

    def test_server_drips_one_byte_a_second(self):
        # Long enough that the whole reply would take a minute to arrive.
        body = reply_body(OFFERED_FIELD, after=',"padding":"' + "-" * 20 + '"')
        run = self.fault_run("drips the body, one byte a second", limit=HOLD_LIMIT_SECONDS,
                             serve=offer(body, drip_bytes=1, drip_interval=1.0))
        self.assertEqual(len(run.requests), 1)

    def test_refused_certificates(self):
        for kind in REFUSED_CERTIFICATES:
            with self.subTest(certificate=kind):
                cert, key = SESSION.certificate(kind)

                def serve(endpoint: Endpoint, cert=cert, key=key):
                    offer()(endpoint)
                    endpoint.use_certificate(str(cert), str(key))
                run = self.fault_run(f"certificate: {kind}", serve=serve)
                self.assertEqual(run.requests, [], "nothing is sent over a refused connection")
                self.assertEqual(run.connections, 1, run.summary())

    def test_error_status_with_a_valid_field_is_offered(self):
        # The status is not examined: the field decides.
        install = SESSION.make_install("versioned", label="status-500")
        run = self.run_launcher(install, answers=("YES",),
                                serve=offer(status=500, reason="Internal Server Error"))
        FAULT_TIMES["status 500 with a valid field"] = (
            run.elapsed_ms / 1000, "prompt shown and answered Yes, address opened")
        self.assert_prompt(run)
        self.assert_opened_only(run, OFFERED_ADDRESS)

    def test_empty_body(self):
        self.fault_run("empty body", serve=offer(b""))

    def test_body_cut_off_inside_the_value(self):
        body = reply_body(OFFERED_FIELD)
        cut = body.index(b"Tapwright")
        self.assertLess(body.index(b'"update":"'), cut)
        self.fault_run("body ends inside the value", serve=offer(body[:cut]))
        # The same, with the connection closed before the announced length.
        self.assertLess(body.index(b'"update":"') + 10, len(body) // 2)
        self.assertGreater(body.index(b"Tapwright"), len(body) // 2)
        self.fault_run("connection closed inside the value", serve=offer(body, drop="mid-body"))

    def test_no_key_pattern(self):
        portal = (b'<!DOCTYPE html><html><head><title>Sign in to Wi-Fi</title>'
                  b'<meta http-equiv="refresh" content="0;url=https://portal.localhost/login?'
                  b'update=1&amp;next=https%3A%2F%2Flocalhost"></head><body>'
                  b'<a href="https://portal.localhost/login">"update": "sign in"</a></body></html>')
        cases = (
            ("captive-portal page", portal, {"headers": (("Content-Type", "text/html"),)}),
            ("space before the value's quote",
             b'{"update": "https:\\/\\/localhost\\/download\\/Tapwright-2.1.0.exe"}', {}),
            ("blanks around the colon",
             b'{"update" : "https:\\/\\/localhost\\/download\\/Tapwright-2.1.0.exe"}', {}),
            ("key in other letter case",
             b'{"Update":"https:\\/\\/localhost\\/download\\/Tapwright-2.1.0.exe"}', {}),
            ("value not a string", b'{"update":null,"url":"https://localhost/x"}', {}),
        )
        for label, body, response in cases:
            with self.subTest(body=label):
                self.fault_run(f"no key pattern: {label}", serve=offer(body, **response))

    def test_addresses_that_are_not_web_addresses_are_not_offered(self):
        fields = (
            ("abc", "abc"),
            ("UNC path", "\\\\\\\\127.0.0.1\\\\share\\\\Tapwright-setup.exe"),
            ("file address", "file:///C:/x"),
            ("javascript address", "javascript:alert(1)"),
            ("escaped line feed", "https://localhost/download\\nTapwright.exe"),
            ("program path", "C:\\\\Windows\\\\System32\\\\cmd.exe"),
            ("escaped tab", "https://localhost/\\tx"),
            ("blank", "https://localhost/a b"),
            ("leading blank", " https://localhost/"),
            ("other scheme", "ftp://localhost/Tapwright.exe"),
            ("one slash", "https:/localhost/Tapwright.exe"),
        )
        for label, field in fields:
            with self.subTest(value=label):
                self.fault_run(f"not a web address: {label}", serve=offer(reply_body(field)))


class LargeReplyTest(UpdateTestCase):
    """A reply far larger than any real one: read only as far as the launcher
    needs, with memory bounded."""

    HUGE = 50 * 1024 * 1024

    def test_field_in_the_first_kilobytes_of_a_50_mb_body_is_offered(self):
        # The field lies behind the first read's worth of other members.
        head = reply_body(OFFERED_FIELD, before='"notes":"' + "n" * 1100 + '",')[:-1] + b',"x":"'
        peaks = {}
        for label, size in (("1 KB reply", 0), ("50 MB reply", self.HUGE)):
            with self.subTest(reply=label):
                body = head + b'"}' if size == 0 else head
                install = SESSION.make_install("versioned", label="large-" + label[:5])
                run = self.run_launcher(install, answers=("NO",), watch_memory=True,
                                        serve=offer(body, generated_body_size=size))
                self.assert_prompt(run)
                self.assertEqual(run.opened, [])
                self.assert_main_program_started(run, install)
                self.assertLess(run.elapsed_ms / 1000, QUICK_LIMIT_SECONDS, run.summary())
                if size:
                    FAULT_TIMES["50 MB body, field in the first KB"] = (
                        run.elapsed_ms / 1000, "prompt shown and answered No, started")
                self.assertIsNotNone(run.peak_memory_kb, "the launcher's process was not found")
                peaks[label] = MEMORY[label + ", prompt shown"] = run.peak_memory_kb
        self.assertLess(peaks["50 MB reply"] - peaks["1 KB reply"], 16 * 1024,
                        f"peak resident sizes in KiB: {peaks}")

    def test_reading_stops_at_the_first_mebibyte(self):
        # Without a prompt the launcher loads no dialog code, so its peak is
        # the reply's own cost.
        field_after_cap = reply_body(OFFERED_FIELD, before='"notes":"' + "n" * (2 << 20) + '",')
        peaks = {}
        for label, body, size in (("no update", reply_body(""), 0),
                                  ("50 MB reply", b'{"notes":"', self.HUGE),
                                  ("field after 2 MiB", field_after_cap, 0)):
            with self.subTest(reply=label):
                run = self.fault_run(f"{label}, no prompt", watch_memory=True,
                                     serve=offer(body, generated_body_size=size))
                self.assertIsNotNone(run.peak_memory_kb, "the launcher's process was not found")
                peaks[label] = MEMORY[label + ", no prompt"] = run.peak_memory_kb
        self.assertLess(peaks["50 MB reply"] - peaks["no update"], 16 * 1024,
                        f"peak resident sizes in KiB: {peaks}")


class CertificateSetUpTest(unittest.TestCase):
    """The refused certificates are refused for the reason that each case
    names, by a client that trusts the session's CA and by WinINet in the
    prefix; the session's own certificate is accepted by both."""

    def fetch(self, cert: Optional[Path], key: Optional[Path]):
        SESSION.endpoint.reset()
        if cert is not None:
            SESSION.endpoint.use_certificate(str(cert), str(key))
        context = ssl.create_default_context(cafile=str(SESSION.ca_pem))
        connection = http.client.HTTPSConnection("localhost", SESSION.port, timeout=10,
                                                 context=context)
        try:
            connection.request("GET", "/probe")
            return connection.getresponse().status
        finally:
            connection.close()

    def probe(self) -> dict:
        url = f"https://localhost:{SESSION.port}/probe"
        return SESSION.helper_json("tapwright_e2e_https_probe", ["--url", hex16(url)])

    def test_each_certificate_fails_for_its_own_reason(self):
        # Wine's WinINet reports an unknown root as 12057 where Windows says 12045.
        reasons = {"untrusted": ("unable to get local issuer", (12045, 12057)),
                   "other-host": ("Hostname mismatch", (12038,)),
                   "expired": ("certificate has expired", (12037,))}
        self.assertEqual(set(reasons), set(REFUSED_CERTIFICATES))
        self.assertEqual(self.fetch(None, None), 200)
        for kind, (reason, wininet_errors) in reasons.items():
            with self.subTest(certificate=kind):
                with self.assertRaises(ssl.SSLCertVerificationError) as raised:
                    self.fetch(*SESSION.certificate(kind))
                self.assertIn(reason, str(raised.exception))
                probe = self.probe()
                self.assertFalse(probe["ok"], probe)
                self.assertIn(probe["last_error"], wininet_errors, probe)
        SESSION.endpoint.reset()
        self.assertTrue(self.probe()["ok"])


def main():
    global CONFIG, KEEP, VERBOSE
    args = suite_arguments()
    CONFIG, KEEP, VERBOSE = args.config, args.keep, args.verbose
    unittest.main(argv=args.unittest_argv)


CONFIG = None
KEEP = False
VERBOSE = False

if __name__ == "__main__":
    main()
