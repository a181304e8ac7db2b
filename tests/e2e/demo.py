"""Shows what the launcher does for a user, under Wine, and tells it in plain
words: every message box (with a picture of it), what the update service
answered, what the shell was asked to open, whether the main program started,
and the exit code.

    python3 tests/e2e/demo.py --config build/demo/tests/e2e/e2e_config.json

It runs the shipped launcher, TapwrightService.exe, which the build must
have made for a local host (-DTAPWRIGHT_UPDATE_HOST=localhost:<port>), next
to a local HTTPS endpoint on that port that the demo's Wine prefix trusts.
scripts/demo does all of that from a fresh clone.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from endpoint import Response  # noqa: E402
from harness import HarnessError, Run, Session  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[2]

# Wine draws a message box in a font that has no Korean or Japanese letters,
# and for those it falls back only to the fonts that a Windows of that
# language has, by name; fontconfig's fallbacks are not consulted. Naming a
# CJK font of this system as their replacement makes the boxes readable.
# English and the seven translations.
GALLERY_LANGS = ("en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "it_IT.UTF-8", "ja_JP.UTF-8",
                 "ko_KR.UTF-8", "ru_RU.UTF-8", "zh_CN.UTF-8")
CJK_FAMILIES = ("WenQuanYi Micro Hei", "Noto Sans CJK KR", "Noto Sans CJK JP")
WINDOWS_CJK_FONTS = ("Gulim", "Malgun Gothic", "MS UI Gothic", "Meiryo UI", "SimSun", "Microsoft YaHei",
                     "PMingLiU")


def _usable_display(display: str) -> bool:
    """A local display whose socket is there; remote ones are trusted."""
    if not display:
        return False
    if display.startswith(":"):
        number = display[1:].split(".")[0]
        return Path(f"/tmp/.X11-unix/X{number}").exists()
    return True


def _cjk_family() -> str:
    if shutil.which("fc-list") is None:
        return ""
    listed = subprocess.run(["fc-list", ":", "family"], capture_output=True, timeout=30,
                            stdin=subprocess.DEVNULL).stdout.decode(errors="replace")
    families = {name.strip() for line in listed.splitlines() for name in line.split(",")}
    return next((family for family in CJK_FAMILIES if family in families), "")


def _use_cjk_font(session: Session, lang: str):
    family = _cjk_family()
    if family:
        session.import_registry(
            "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n" +
            "".join(f'"{name}"="{family}"\r\n' for name in WINDOWS_CJK_FONTS), "cjk-font")
        print(f"Korean and Japanese letters are drawn in {family}.")
    elif lang.startswith(("ko", "ja", "zh")):
        print("No CJK font here (Debian package fonts-wqy-microhei): the boxes' Korean or "
              "Japanese letters will show as squares; the texts printed below are exact.")


def _show_text(text: str) -> str:
    """Box texts break lines with bare carriage returns, which a terminal
    would use to overwrite the line: the text is shown as the box lays it
    out, then once more exactly, escapes and all."""
    laid_out = "\n".join("        " + line for line in text.split("\r"))
    return laid_out + "\n     exact text: " + json.dumps(text, ensure_ascii=False)


def _tell(title: str, run: Run, output: Path, picture_prefix: str, reply: bytes = b""):
    print(f"\n== {title}")
    print(f"   command line: {run.command_line}")
    if reply:
        print(f"   the update service answers: {reply.decode()}")
    if not run.boxes:
        print("   message boxes: none")
    for number, box in enumerate(run.boxes, start=1):
        picture = output / f"{picture_prefix}-box-{number}.png"
        if box.screenshot is not None:
            box.screenshot.replace(picture)
        print(f"   message box {number}: caption \"{box.caption}\"")
        print(_show_text(box.text))
        shown = os.path.relpath(picture, Path.cwd())
        print(f"     buttons: {', '.join(box.button_texts)}; pressed {box.answer}; "
              f"picture: {shown}")
    if run.requests:
        for request in run.requests:
            print(f"   update endpoint asked: {request.method} {request.path} with "
                  f"User-Version: {request.header('User-Version')}, "
                  f"User-Debug: {request.header('User-Debug')}")
    else:
        print("   update endpoint asked: no")
    opened = run.opened_addresses
    print(f"   the shell was asked to open: {', '.join(opened) if opened else 'nothing'}")
    if run.started:
        for started in run.started:
            print(f"   main program started: yes, command line {started['command_line']}, "
                  f"current directory {started['cwd']}")
    else:
        print("   main program started: no")
    print(f"   exit code: {run.exit_code}{' (timed out)' if run.timed_out else ''} "
          f"after {run.seconds:.1f} s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config",
                        default=str(REPOSITORY / "build/demo/tests/e2e/e2e_config.json"))
    parser.add_argument("--output", default=str(REPOSITORY / "demo-output"))
    parser.add_argument("--lang", default="en_US.UTF-8",
                        help="the user's locale, e.g. de_DE.UTF-8 or ko_KR.UTF-8")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix and case folders")
    args = parser.parse_args()

    output = Path(args.output)
    output.mkdir(parents=True, exist_ok=True)
    for old in list(output.glob("*.png")) + list(output.glob("languages/*.png")):
        old.unlink()
    display = os.environ.get("DISPLAY", "")
    display = display if _usable_display(display) else None
    started = time.monotonic()
    print(f"Setting up: {'display ' + display if display else 'a virtual display (Xvfb)'}, "
          "a test CA, the local HTTPS endpoint, a fresh Wine prefix ...", flush=True)
    try:
        with Session(args.config, display=display, keep=args.keep, launcher="TapwrightService",
                     log=lambda message: print("   " + message, flush=True)) as session:
            host = session.config["product_host"]
            if host != f"localhost:{session.port}":
                print(f"The launcher was built for {host}, not for the local endpoint on port "
                      f"{session.port}: configure with -DTAPWRIGHT_UPDATE_HOST=localhost:"
                      f"{session.port}", file=sys.stderr)
                return 1
            _use_cjk_font(session, args.lang)
            print(f"Ready after {time.monotonic() - started:.1f} s; the user's locale is "
                  f"{args.lang} (Windows LCID {session.locale_info(args.lang)['user_lcid']}).")

            install = session.make_install(None, label="demo-missing")
            run = session.run_launcher(install, lang=args.lang, screenshots=session.root / "shots")
            _tell("1. Tapwright.exe is missing; the user starts TapwrightService.exe", run,
                  output, "1-missing")

            install = session.make_install("versioned", label="demo-inst")
            run = session.run_launcher(install, "/inst", lang=args.lang,
                                       screenshots=session.root / "shots")
            _tell("2. Tapwright.exe (version 2.0.1.0) is installed; the installer starts "
                  "TapwrightService.exe /inst", run, output, "2-inst")

            # From here on the service has a newer version for 2.0.1.0. It
            # writes its JSON compactly and escapes slashes, as PHP does; the
            # launcher knows the member only as "update":" with no blank.
            address = f"https://{host}/download/Tapwright-2.1.0.exe"
            reply = json.dumps({"update": address}, separators=(",", ":"))
            reply = reply.replace("/", "\\/").encode()

            def offer_update(endpoint):
                endpoint.default = Response(body=reply)

            install = session.make_install("versioned", label="demo-update-yes")
            run = session.run_launcher(install, "/inst", lang=args.lang, answers=("YES",),
                                       serve=offer_update, screenshots=session.root / "shots")
            _tell("3. A newer version is out; the installer starts TapwrightService.exe /inst "
                  "and the user answers Yes", run, output, "3-update-yes", reply)

            install = session.make_install("versioned", label="demo-update-no")
            run = session.run_launcher(install, "/inst", lang=args.lang, answers=("NO",),
                                       serve=offer_update, screenshots=session.root / "shots")
            _tell("4. The same, and the user answers No", run, output, "4-update-no", reply)

            print("\n== 5. Both boxes in every language the launcher speaks")
            gallery = output / "languages"
            gallery.mkdir(exist_ok=True)
            for lang in GALLERY_LANGS:
                for kind, main, serve, answers in (("repair", None, None, ("OK",)),
                                                   ("update", "versioned", offer_update, ("NO",))):
                    install = session.make_install(main, label=f"gallery-{lang[:5]}-{kind}")
                    run = session.run_launcher(install, lang=lang, answers=answers, serve=serve,
                                               screenshots=session.root / "shots")
                    for box in run.boxes:
                        picture = gallery / f"{lang.split('.')[0]}-{kind}.png"
                        if box.screenshot is not None:
                            box.screenshot.replace(picture)
                        first_line = box.text.split("\r")[0]
                        print(f"   {lang:<12} {kind:<6} \"{box.caption}\": {first_line}  "
                              f"({os.path.relpath(picture, Path.cwd())})")
            if args.keep:
                print(f"\nSession folder kept: {session.root}")
    except HarnessError as error:
        print(f"\nThe demo could not run: {error}", file=sys.stderr)
        return 1
    print(f"\nDone in {time.monotonic() - started:.1f} s. Pictures: "
          f"{os.path.relpath(output, Path.cwd())}/")
    return 0


if __name__ == "__main__":
    sys.exit(main())
