"""Shows what the launcher does for a user, under Wine, in plain words: every box
(with a picture of it), what the update endpoint was asked, what the shell was
asked to open, whether the main program started, and the exit code. The shipped
launcher, built for a local host, asks the reference endpoint (api.init.php
behind nginx and PHP-FPM, run from a scratch folder). scripts/demo does it all.

    /usr/bin/python3 tools/demo.py --config build/demo/tools/bench.json [--lang de_DE.UTF-8]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from multiprocessing.pool import ThreadPool
from pathlib import Path

from bench import BenchError, Install, Session, quoted, windows_path
from endpoint import ReferenceEndpoint
from farm import Farm


REPOSITORY = Path(__file__).resolve().parents[1]
LANGS = ("en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "it_IT.UTF-8", "ja_JP.UTF-8", "ko_KR.UTF-8",
         "ru_RU.UTF-8", "zh_CN.UTF-8")
# Wine draws a box's CJK letters only in the fonts that a Windows of that language has, by
# name; naming a CJK font of this system as their replacement makes the boxes readable.
WINDOWS_CJK_FONTS = ("Gulim", "Malgun Gothic", "MS UI Gothic", "Meiryo UI", "SimSun",
                     "Microsoft YaHei", "PMingLiU")


def use_cjk_font(session: Session):
    listed = subprocess.run(["fc-list", ":", "family"], capture_output=True, text=True).stdout
    for name in WINDOWS_CJK_FONTS if "WenQuanYi Micro Hei" in listed else ():
        session.quiet(["wine", "reg", "add", "HKCU\\Software\\Wine\\Fonts\\Replacements",
                       "/v", name, "/d", "WenQuanYi Micro Hei", "/f"], 60)


def tell(title: str, run, reference: ReferenceEndpoint, output: Path, name: str):
    print(f"\n== {title}\n   command line: {run.command_line}")
    for number, box in enumerate(run.boxes, start=1):
        picture = shutil.move(box["picture"], output / f"{name}-box-{number}.png")
        print(f"   message box {number}: caption \"{box['caption']}\", {box['icon']} icon")
        print("\n".join("        " + line for line in box["text"].split("\r")))
        print(f"     exact text: {json.dumps(box['text'], ensure_ascii=False)}")
        print(f"     buttons: {', '.join(b['text'] for b in box['buttons'])}; pressed "
              f"{box['answer']}; picture: {os.path.relpath(picture)}")
    if not run.boxes:
        print("   message boxes: none")
    print(f"   update endpoint asked: {'; '.join(reference.asked()) or 'nothing'}")
    print(f"   the shell was asked to open: {', '.join(run.opened) or 'nothing'}")
    started = [f"yes, {s['version']}, command line {s['command_line']}" for s in run.started]
    print(f"   main program started: {', '.join(started) or 'no'}")
    print(f"   exit code: {run.exit_code} after {run.seconds:.1f} s")


SCENES = (  # name, main program, arguments, answers, the version published, what happens
    ("1-missing", None, "", (), "2.1.0.0",
     "Tapwright.exe is missing; the user starts TapwrightService.exe"),
    ("2-inst", "versioned", "/inst", (), "2.0.1.0",
     "Tapwright.exe 2.0.1.0 is the newest; the installer starts TapwrightService.exe /inst"),
    ("3-update-yes", "versioned", "/inst", ("YES",), "2.1.0.0",
     "2.1.0.0 is published; the installer starts TapwrightService.exe /inst; the user says Yes"),
    ("4-update-no", "versioned", "/inst", ("NO",), "2.1.0.0", "The same, and the user says No"))
BOXES = (("repair", None, ()), ("update", "versioned", ("NO",)))  # kind, main program, answers


def cycle(session: Session, reference: ReferenceEndpoint, output: Path, shots: Path, lang: str,
          old: Path, new: Path, url: str) -> dict:
    folder = session.product_folder
    run = lambda path, arguments, *answers: session.start(  # noqa: E731
        path, f"{quoted(path)} {arguments}", lang=lang, grace=60).finish(
        answers, Install(folder, folder), shots)
    uninstall = lambda: (folder / "Tapwright.exe.started.jsonl").unlink() or run(  # noqa: E731
        windows_path(folder / "Uninstall.exe"), "/S").exit_code  # that record is the stand-in's
    uninstall()  # what the download of scene 3 installed
    reference.publish("2.0.1.0", url)  # the launcher that the installer starts finds no update
    before = session.snapshot()
    print(f"\n== 5. The release cycle with the real installer\n   {old.name} /S: exit code "
          f"{run(windows_path(old), '/S').exit_code}; installed: "
          f"{sorted(p.name for p in folder.glob('*.exe'))}")
    made = session.snapshot()
    let_go = session.hold_mutex(folder / "Tapwright.exe")  # the user runs 2.1.0.0's setup by hand
    refused = {each: session.refusal(new, lang=each, shots=shots).boxes[1] for each in LANGS}
    let_go()
    reference.publish("2.1.0.0", url)
    updated = run(*session.shortcut()[:2], "YES")
    tell("5, continued. 2.1.0.0 is published; the shortcut's command; Yes; the browser downloads "
         "its installer and runs it with /S", updated, reference, output, "5-cycle")
    uninstalled = uninstall()
    left = (made.keys() - before.keys()) & session.snapshot().keys()
    print(f"   Uninstall.exe /S: exit code {uninstalled}; of the {len(made.keys() - before.keys())}"
          f" files, folders and registry lines the install added, left behind: {len(left)}")
    return refused


ROLLOUT = (("2.1.0.0", "https://localhost/T-2.1.0.0.exe"), ("2.2.0.0", "https://localhost/T-"
           "2.2.0.0.exe", "--rollout", "5"), ("--rollout", "25"), ("--halt",), ("--rollout", "100"))
FARM_STEPS = (*ROLLOUT[:2], "The third node's folder is made unwritable; it still serves.",
              ("--rollout", "25"), ("--status",), "The third node's folder is mended.", ("--sync",),
              ("--status",), ("--rollout", "100"))


def rollout(title: str, endpoint: ReferenceEndpoint, steps, output: Path, name: str, logs,
            node=None):
    """2,000 launchers at 2.1.0.0 ask after each step that sets a share (again straight at the node
    given, to compare), and take 2.2.0.0 when offered; a sentence breaks or mends a farm's third
    node. Then the adoption report from the logs."""
    print(f"\n== {title}")
    callers = dict.fromkeys((f"127.2.{n // 250}.{n % 250 + 1}" for n in range(2000)), "2.1.0.0")
    seen = [log.exists() and log.stat().st_size for log in logs]
    with ThreadPool(8) as pool:
        for step in steps:
            if isinstance(step, str):
                endpoint.nodes[2].writable("mended" in step) or print(f"   {step}")
                continue
            run = endpoint.publish(*step, check=False)
            print(f"   $ publish {' '.join(step)}: exit code {run.returncode}" + "".join(
                f"\n     {line}" for line in (run.stdout + run.stderr).splitlines()))
            if {"--rollout", "--halt"} & set(step):
                got = pool.map(lambda c: {endpoint.ask(callers[c], source=c).body} | (
                    {endpoint.call(callers[c], c, node)[0]} if node else set()), callers)
                offered = [c for c, bodies in zip(callers, got) if b"2.2.0.0" in min(bodies)]
                callers.update(dict.fromkeys(offered, "2.2.0.0"))
                differ = f"; unlike the node's own: {sum(len(b) > 1 for b in got)}" if node else ""
                print(f"     offered to {len(offered) / 20:.1f} % of 2,000; at 2.2.0.0 now "
                      f"{list(callers.values()).count('2.2.0.0') / 20:.1f} %{differ}", flush=True)
    (output / f"{name}.log").write_bytes(b"".join(g.read_bytes()[n:] for g, n in zip(logs, seen)))
    subprocess.run([REPOSITORY / "endpoint/report", f"{name}.log", "--per", "second", "--picture",
                    name, "--rollouts", endpoint.folder / "www/rollouts.log"], cwd=output)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", default=str(REPOSITORY / "build/demo/tools/bench.json"))
    parser.add_argument("--lang", default="en_US.UTF-8")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix and run folders")
    args = parser.parse_args()
    output = REPOSITORY / "demo-output"
    shutil.rmtree(output, ignore_errors=True)
    (output / "languages").mkdir(parents=True)
    display = os.environ.get("DISPLAY", "")
    display = display if display and Path(f"/tmp/.X11-unix/X{display[1:]}").exists() else None
    started = time.monotonic()
    print("Setting up a display, a test CA, a fresh Wine prefix and the update endpoint ...")
    try:
        with Session(args.config, display=display, keep=args.keep, launcher="TapwrightService",
                     log=lambda message: print("   " + message)) as session:
            use_cjk_font(session)
            (shots := session.root / "shots").mkdir()
            with session.reference_endpoint("reference") as reference:
                old, new = (session.setup(version, main) for version, main in (
                    ("2.0.1.0", "tapwright_bench"), ("2.1.0.0", "tapwright_bench_newer")))
                shutil.copy2(new, reference.downloads)
                address = f"https://localhost:{session.port}/download/{new.name}"
                print(f"The update endpoint is endpoint/api.init.php on {reference.versions}, at "
                      f"https://localhost:{session.port}/api.init.php; the locale is {args.lang}.")
                for name, main, arguments, answers, newest, title in SCENES:
                    reference.publish(newest, address)
                    run = session.launch(session.install(main, name), arguments, lang=args.lang,
                                         answers=answers, shots=shots, grace=60)
                    tell(f"{name[0]}. {title} (published: {newest})", run, reference, output, name)
                refused = cycle(session, reference, output, shots, args.lang, old, new, address)
                print("\n== 6. The launcher's two boxes and the setup's in every language")
                for lang in LANGS:
                    boxes = {kind: session.launch(session.install(main, kind), lang=lang,
                                                  answers=answers, shots=shots).boxes[0]
                             for kind, main, answers in BOXES}
                    for kind, box in {**boxes, "setup": refused[lang]}.items():
                        picture = output / f"languages/{lang[:5]}-{kind}.png"
                        shutil.move(box["picture"], picture)
                        print(f"   {lang:<12} {kind:<6} \"{box['caption']}\": "
                              f"{box['text'].split(chr(13))[0]}  ({os.path.relpath(picture)})")
                rollout("7. A staged rollout: 2,000 launchers, each from its own address, ask at"
                        " each step", reference, ROLLOUT, output, "adoption",
                        [reference.folder / "tapwright-adoption.log"])
            with Farm.scratch() as farm:
                rollout("8. The same on three machines behind HAProxy", farm, FARM_STEPS, output,
                        "farm-adoption", [n.folder / "tapwright-adoption.log" for n in farm.nodes],
                        farm.nodes[0])
    except (BenchError, RuntimeError) as error:
        print(f"\nThe demo could not run: {error}", file=sys.stderr)
        return 1
    print(f"\nDone in {time.monotonic() - started:.0f} s. Pictures: {os.path.relpath(output)}/")
    return 0


if __name__ == "__main__":
    sys.exit(main())
