"""The launcher as a user meets it: the real program under Wine, with a
stand-in main program, the shell's web handler replaced by a recorder, and a
local HTTPS endpoint that the prefix trusts.

    python3 test_launcher.py --config <build>/tests/e2e/e2e_config.json [-v] [-k name]

All cases share one session (X server, prefix, endpoint); each gets fresh
install folders.
"""

import http.client
import json
import re
import ssl
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from endpoint import Response  # noqa: E402
from harness import (Install, Run, Session, hex16, quoted, suite_arguments,  # noqa: E402
                     windows_path)

SESSION: Session = None
RUNS = []

IDOK = 1

REPAIR_TEXTS = {
    "en_US.UTF-8": ("Tapwright",
                    "The application configuration file is invalid.\r\rPlease reinstall and run."),
    "de_DE.UTF-8": ("Tapwright",
                    "Die Anwendungskonfigurationsdatei ist ungültig.\r\r"
                    "Bitte neu installieren und ausführen."),
    "ko_KR.UTF-8": ("탭라이트",
                    "응용 프로그램 구성 파일이 잘못되었습니다.\r\r다시 설치 후 실행해 주십시오."),
    "ja_JP.UTF-8": ("Tapwright",
                    "アプリケーションの設定ファイルが無効です。\r\r再インストールして実行してください。"),
}


def setUpModule():
    global SESSION
    log = (lambda message: print(message, file=sys.stderr)) if VERBOSE else None
    SESSION = Session(CONFIG, keep=KEEP, log=log)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)
    if RUNS:
        slowest = max(RUNS, key=lambda run: run.seconds)
        total = sum(run.seconds for run in RUNS)
        set_up = ", ".join(f"{k} {v:.1f} s" for k, v in SESSION.timings.items())
        print(f"\n{len(RUNS)} runs under Wine, {total:.1f} s in all, "
              f"slowest {slowest.seconds:.2f} s; session set-up: {set_up}", file=sys.stderr)


class LauncherTestCase(unittest.TestCase):
    maxDiff = None

    def run_launcher(self, install: Install, arguments: str = "", **options) -> Run:
        run = SESSION.run_launcher(install, arguments, **options)
        RUNS.append(run)
        self.assertFalse(run.timed_out, run.summary())
        self.assertTrue(run.descendants_settled, run.summary())
        return run

    def home_page(self) -> str:
        return "https://" + SESSION.config["host"]

    def assert_quiet(self, run: Run):
        """No box, no address opened, no main program: the launcher ended
        by itself with exit code 0."""
        self.assertEqual([(box.caption, box.text) for box in run.boxes], [], run.summary())
        self.assertEqual(run.opened_addresses, [], run.summary())
        self.assertEqual(run.started, [], run.summary())
        self.assertEqual(run.descendants, [], run.summary())
        self.assertEqual(run.exit_code, 0, run.summary())

    def assert_repair(self, run: Run, lang: str):
        """The repair box in the user's language, answered with OK, then the
        home page, and nothing else."""
        caption, text = REPAIR_TEXTS[lang]
        self.assertEqual(len(run.boxes), 1, run.summary())
        box = run.boxes[0]
        self.assertEqual(box.caption, caption)
        self.assertEqual(box.text, text)
        self.assertEqual(box.button_ids, [IDOK], run.summary())
        self.assertEqual(box.pid, run.pid, "the box belongs to the launcher")
        self.assertEqual(box.owner, 0, "the box has no owner window")
        self.assertEqual(run.opened_addresses, [self.home_page()], run.summary())
        self.assertEqual(run.started, [], run.summary())
        self.assertEqual(len(run.descendants), 1, run.summary())
        self.assertTrue(run.descendants[0]["image"].endswith("tapwright_e2e_url_recorder.exe"))
        self.assertEqual(run.exit_code, 0, run.summary())

    def assert_started(self, run: Run, install: Install):
        """The main program started once, from the launcher's folder, with
        no arguments, in the launcher's current directory; nothing shown."""
        self.assertEqual(run.boxes, [], run.summary())
        self.assertEqual(run.opened_addresses, [], run.summary())
        self.assertEqual(len(run.started), 1, run.summary())
        started = run.started[0]
        path = install.main_program_windows
        self.assertEqual(started["module"], path)
        self.assertIn(started["command_line"], (path, quoted(path)),
                      "the main program's command line is its own path and nothing else")
        self.assertEqual(started["cwd"].rstrip("\\"), run.cwd.rstrip("\\"),
                         "the main program inherits the launcher's current directory")
        self.assertEqual([d["image"] for d in run.descendants], [path], run.summary())
        self.assertEqual(run.exit_code, 0, run.summary())


class SessionTest(LauncherTestCase):
    """What every other case takes for granted about the test set-up."""

    def test_locale_names_give_the_lcids_the_cases_rely_on(self):
        for lang, lcid in (("en_US.UTF-8", 1033), ("de_DE.UTF-8", 1031), ("ko_KR.UTF-8", 1042),
                           ("ja_JP.UTF-8", 1041)):
            with self.subTest(lang=lang):
                self.assertEqual(SESSION.locale_info(lang)["user_lcid"], lcid)

    def test_runner_passes_command_line_and_directory_unchanged(self):
        install = SESSION.make_install("versioned", label="runner-exactness")
        cwd = install.case_dir / "a dir with blanks and ü"
        cwd.mkdir()
        path = install.main_program_windows
        command_line = quoted(path) + ' \t/in"st" "a b" 탭라이트 "unclosed \\" x'
        record = install.folder / "Tapwright.exe.started.jsonl"
        running = SESSION.start_program(path, command_line, cwd=windows_path(cwd),
                                        case_dir=install.case_dir, started_record=record)
        run = running.finish(answers=[])
        self.assertEqual(run.exit_code, 0, run.summary())
        self.assertEqual(len(run.started), 1, run.summary())
        self.assertEqual(run.started[0]["command_line"], command_line)
        self.assertEqual(run.started[0]["cwd"].rstrip("\\"), windows_path(cwd))


class EndpointTest(unittest.TestCase):
    """The endpoint's scripting, seen from a client that trusts the same CA,
    so that a later case can rely on it doing what it was told."""

    def setUp(self):
        SESSION.endpoint.reset()
        self.context = ssl.create_default_context(cafile=str(SESSION.ca_pem))

    def fetch(self, path: str, headers=None):
        connection = http.client.HTTPSConnection("localhost", SESSION.port, timeout=10,
                                                 context=self.context)
        try:
            connection.request("GET", path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def test_records_requests_and_serves_the_default(self):
        status, body = self.fetch("/api.init.php", {"User-Version": "1.2.3.4", "X-Case": "a"})
        self.assertEqual((status, body), (200, b'{"update":""}'))
        request, = SESSION.endpoint.requests()
        self.assertEqual((request.method, request.path), ("GET", "/api.init.php"))
        self.assertEqual(request.header("user-version"), "1.2.3.4")
        self.assertEqual(request.header_count("X-Case"), 1)

    def test_scripted_answers_in_order_then_default(self):
        SESSION.endpoint.queue("/p", Response(status=503, body=b"busy"), Response(body=b"ok"))
        self.assertEqual(self.fetch("/p"), (503, b"busy"))
        self.assertEqual(self.fetch("/p?x=1"), (200, b"ok"))
        self.assertEqual(self.fetch("/p"), (200, b'{"update":""}'))

    def test_delay_and_drip(self):
        SESSION.endpoint.queue("/slow", Response(body=b"abcdef", delay=0.3, drip_bytes=2,
                                                 drip_interval=0.1))
        started = time.monotonic()
        self.assertEqual(self.fetch("/slow"), (200, b"abcdef"))
        self.assertGreaterEqual(time.monotonic() - started, 0.45)

    def test_generated_body_streams_in_full(self):
        size = 3 * 1024 * 1024 + 7
        SESSION.endpoint.queue("/huge", Response(generated_body_size=size,
                                                 generated_pattern=b"0123456789"))
        status, body = self.fetch("/huge")
        self.assertEqual((status, len(body)), (200, size))
        self.assertEqual(body[:12], b"012345678901")

    def test_dropped_connections(self):
        SESSION.endpoint.queue("/drop", Response(drop="before-status"),
                               Response(body=b"0123456789", drop="mid-body"))
        with self.assertRaises((http.client.HTTPException, ConnectionError, ssl.SSLError)):
            self.fetch("/drop")
        with self.assertRaises(http.client.IncompleteRead):
            self.fetch("/drop")


class MissingMainProgramTest(LauncherTestCase):
    def test_repair_box_in_the_users_language_then_home_page(self):
        for lang in REPAIR_TEXTS:
            for main in (None, "directory"):
                with self.subTest(lang=lang, main=main or "missing"):
                    install = SESSION.make_install(main, label=f"repair-{lang[:2]}-{main}")
                    run = self.run_launcher(install, "/inst", lang=lang)
                    self.assert_repair(run, lang)

    def test_repair_path_makes_no_update_request(self):
        install = SESSION.make_install(None, label="repair-no-request")
        run = self.run_launcher(install, "/inst")
        self.assert_repair(run, "en_US.UTF-8")
        self.assertEqual(run.requests, [], "no request to the update endpoint")

    def test_repair_without_arguments(self):
        install = SESSION.make_install(None, label="repair-no-arguments")
        run = self.run_launcher(install)
        self.assert_repair(run, "en_US.UTF-8")


class StartOfMainProgramTest(LauncherTestCase):
    def test_inst_starts_the_main_program(self):
        install = SESSION.make_install("versioned", label="inst")
        run = self.run_launcher(install, "/inst")
        self.assert_started(run, install)

    def test_inst_in_double_quotes_starts_the_main_program(self):
        install = SESSION.make_install("versioned", label="quoted-inst")
        run = self.run_launcher(install, '"/inst"')
        self.assert_started(run, install)

    def test_later_arguments_are_ignored(self):
        install = SESSION.make_install("versioned", label="inst-and-more")
        run = self.run_launcher(install, "/inst /INST extra")
        self.assert_started(run, install)

    def test_unquoted_launcher_name_and_a_tab(self):
        install = SESSION.make_install("versioned", label="tab")
        run = self.run_launcher(install, command_line=install.launcher_windows + "  \t/inst")
        self.assert_started(run, install)

    def test_launcher_path_with_blanks(self):
        install = SESSION.make_install("versioned", label="blanks",
                                       folder_name="Program Files/Tapwright Service")
        run = self.run_launcher(install, "/inst")
        self.assert_started(run, install)

    def test_unquoted_path_with_blanks_leaves_a_fragment_as_first_argument(self):
        install = SESSION.make_install("versioned", label="unquoted-blanks",
                                       folder_name="Program Files/Tapwright Service")
        run = self.run_launcher(install, command_line=install.launcher_windows + " /inst")
        self.assert_quiet(run)

    def test_install_folder_named_in_korean(self):
        if not SESSION.locales.available("ko_KR.UTF-8"):
            self.skipTest("no glibc ko_KR.UTF-8 locale: Wine would read the folder name as ASCII")
        install = SESSION.make_install("versioned", label="korean-folder",
                                       folder_name="탭라이트 설치")
        run = self.run_launcher(install, "/inst", lang="ko_KR.UTF-8")
        self.assert_started(run, install)

    def test_main_program_without_version_resource_is_started(self):
        install = SESSION.make_install("noversion", label="inst-noversion")
        run = self.run_launcher(install, "/inst")
        self.assert_started(run, install)

    def test_anything_but_exactly_inst_as_first_argument_starts_nothing(self):
        for arguments in ("/INST", "-inst", "inst", "/inst/", "/Inst", "x /inst", '/in"st"',
                          '"/inst "', "'/inst'", "\u00a0/inst"):
            with self.subTest(arguments=arguments):
                install = SESSION.make_install("versioned", label="not-inst")
                run = self.run_launcher(install, arguments)
                self.assert_quiet(run)

    def test_without_arguments_nothing_is_shown_opened_or_started(self):
        install = SESSION.make_install("versioned", label="no-arguments")
        run = self.run_launcher(install)
        self.assert_quiet(run)


class SingleInstanceTest(LauncherTestCase):
    def test_second_copy_ends_at_once_while_the_first_shows_its_box(self):
        first_install = SESSION.make_install(None, label="first-copy")
        first = SESSION.start_launcher(first_install, "/inst")
        box = first.next_box(timeout=20)
        self.assertIsNotNone(box, "the first copy shows its repair box")
        try:
            for main in ("versioned", None):
                with self.subTest(second=main or "missing"):
                    install = SESSION.make_install(main, label="second-copy")
                    run = self.run_launcher(install, "/inst", answers=[])
                    self.assert_quiet(run)
                    self.assertLess(run.elapsed_ms, 5000, run.summary())
            still_shown = SESSION.helper_json("tapwright_e2e_box",
                                              ["list", "--pid", str(first.pid)])
            self.assertEqual([b["hwnd"] for b in still_shown["boxes"]], [box.hwnd],
                             "the first copy still shows its box")
        finally:
            first.answer(box, "OK")
            first_run = first.finish()
            RUNS.append(first_run)
        self.assert_repair(first_run, "en_US.UTF-8")

        # The first copy's mutex went with it.
        install = SESSION.make_install("versioned", label="after-first-copy")
        self.assert_started(self.run_launcher(install, "/inst"), install)


class FatalErrorTest(LauncherTestCase):
    def run_probe(self, mode: str):
        case = SESSION.new_case_dir("fault-" + mode)
        probe = windows_path(SESSION.helper("tapwright_e2e_fault_probe"))
        facts = case / "module.json"
        command_line = f"{quoted(probe)} {mode} --module-file {hex16(windows_path(facts))}"
        run = SESSION.start_program(probe, command_line, case_dir=case).finish(answers=["OK"])
        RUNS.append(run)
        return run, json.loads(facts.read_text())

    def assert_fatal_box(self, run: Run, module: dict, number: int):
        self.assertFalse(run.timed_out, run.summary())
        self.assertEqual(len(run.boxes), 1, run.summary())
        box = run.boxes[0]
        self.assertEqual(box.caption, "Error")
        self.assertEqual(box.owner, 0, "the box has no owner window")
        self.assertEqual(box.button_ids, [IDOK], run.summary())
        match = re.match(rf"Runtime error {number} at \$([0-9A-F]{{16}})", box.text)
        self.assertIsNotNone(match, box.text)
        address = int(match.group(1), 16)
        self.assertGreaterEqual(address, module["base"], box.text)
        self.assertLess(address, module["base"] + module["size"], box.text)
        self.assertEqual(run.exit_code, number, run.summary())

    def test_access_violation(self):
        run, module = self.run_probe("access-violation")
        self.assert_fatal_box(run, module, 216)

    def test_out_of_memory(self):
        run, module = self.run_probe("out-of-memory")
        self.assert_fatal_box(run, module, 203)


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
