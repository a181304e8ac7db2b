"""The endpoint on several machines: three nodes behind HAProxy on loopback, driven by publish
from the origin; a node broken each way, the shared ticket keys, a node stopped under load."""
import concurrent.futures
import contextlib
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from farm import Farm  # noqa: E402

CALLERS = [f"127.4.0.{n}" for n in range(1, 41)]
SKEW = ('"$version/$bucket"', '"$bucket/$version"')  # the node's code orders the buckets otherwise
BROKEN = [  # the node broken, how it breaks and is mended, the steps published meanwhile
    (2, lambda node, on: node.writable(not on) or Path.rename(*(  # and the balancer's socket away
        s := node.folder.parent / "haproxy.sock", s.with_suffix(".away"))[::1 if on else -1]),
     [("--rollout", "70")]),
    (2, lambda node, on: node.writable(not on), [("--rollout", "60"), ("--halt",)]),
    (1, lambda node, on: (www := node.folder / "www/version.php").write_text(www.read_text(
        ).replace(*SKEW[::1 if on else -1])) and time.sleep(2.5), [("--rollout", "45")]),  # opcache
    (0, lambda node, on: (node.folder / "www/.state.new/x").mkdir(parents=True) if on else (
        shutil.rmtree(node.folder / "www/.state.new")), [("--halt",)])]
STEPS = [(None, None, [("2.1.0.0", "https://a/1"), ("2.2.0.0", "https://a/2", "--rollout", "30")]),
         *BROKEN, (None, None, [("--rollout", "50")])]


def main():
    with Farm.scratch() as farm:
        failures, nodes = [], farm.nodes
        publish = lambda *arguments: farm.publish(*arguments, check=False)  # noqa: E731
        for node, breaks, steps in STEPS:
            breaks and breaks(nodes[node], True)
            runs = [publish(*arguments) for arguments in steps]
            # Through the balancer and straight from each node but the broken one, at a version
            # that nginx answers from its files and at one that PHP answers: alike.
            answers = [[farm.call(version, caller, n)[0] for n in [None, *nodes]
                        if n is not (breaks and nodes[node])]
                       for caller in CALLERS for version in ("2.1.0.0", "2.0.5.0")]
            offered, status = sum(b"/2" in got[0] for got in answers), publish("--status")
            if (any(len(set(got)) > 1 for got in answers)
                    or any((run.returncode, f" n{node} (" in run.stderr) != (bool(breaks),) * 2
                           for run in runs) or status.returncode != bool(breaks)
                    or breaks and f"n{node} " not in [
                        line[:3] for line in status.stdout.splitlines() if "takes no" in line]
                    or (offered if steps[-1] == ("--halt",) else not 0 < offered < len(answers))):
                failures.append(f"n{node} broken, {steps}: {[run.stderr for run in runs]}, "
                                f"{offered} offered, {status.stdout}{status.stderr}")
            breaks and breaks(nodes[node], False)
            if breaks and (publish("--sync").returncode or publish("--status").returncode):
                failures.append(f"n{node} mended: {publish('--sync').stderr}")

        # Tickets: a rotation and a session on a node, three times; the first session resumes on no
        # node, the others on every node (a key kept too long, or dropped too soon, fails this).
        made = [farm.call("2.1.0.0", CALLERS[0], node)[1] for node in nodes
                if not publish("--tickets").returncode]
        resumed = [farm.call("2.1.0.0", CALLERS[0], node, s)[2] for s in made for node in nodes]
        if resumed != [False] * 3 + [True] * 6:
            failures.append(f"tickets: {resumed}")

        def call(caller: str):  # when a call failed, or None
            with contextlib.suppress(OSError):
                return None if b'"update"' in farm.call("2.1.0.0", caller)[0] else time.monotonic()
            return time.monotonic()
        # A node stopped under load: each of the 8 callers may lose its call in flight and one the
        # node took into its queue as it closed; none before, none a second after (out of rotation).
        with concurrent.futures.ThreadPoolExecutor(9) as pool:
            begun = pool.submit(lambda: time.sleep(1) or time.monotonic() + (nodes[0].stop() or 0))
            failed = [at - begun.result() for at in pool.map(call, CALLERS * 100) if at]
        if len(failed) > 16 or not -0.1 < min(failed, default=0) <= max(failed, default=0) < 1 or (
                "takes no callers" not in publish("--status").stdout.splitlines()[0]):
            failures.append(f"a node stopped: calls failed at {failed} s")
    sys.exit("\n".join(failures) or print(f"{len(CALLERS)} callers, 3 nodes broken and mended"))


if __name__ == "__main__":
    main()
