#!/usr/bin/env python3
"""The launcher step of scripts/demo.sh: the real Veltrune.exe under Wine
patches an empty game folder from the demo's patch server, while the real
page in Chromium, linked to it through the fake runtime (demo_page.mjs),
plays the player: it waits for the pass, sets two clients and presses Play.
A second run finds everything current and the page closes the window.

    demo_launcher.py --veltrune EXE --runtime DIR --fake-process EXE --web DIR
                     --work DIR --base-url URL --version N --list-key KEY
                     --game-src DIR --shots DIR [--display :N]

With --display the page is a visible Chromium window on that display;
without, it runs headless. Prints the launcher's log, the fake client's
recorded starts and the screenshots' paths. The launcher's Veltrune.ini
carries the public key as listKey, so it takes only lists signed with it.
Exits non-zero when anything differs from what the demo promises (the
patched folder must equal the published game).
"""

import argparse
import json
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support", "e2e"))

from harness import Failure, Launcher, Wine, check, check_equal  # noqa: E402

UI_PAGE = "https://veltrune-ui.example/index.html"


def say(text):
    print(f"demo: {text}", flush=True)


def run_pass(launcher, name, args, page_args):
    """One launcher run with the page playing; returns the events the page got."""
    launcher.start(connect=False)
    events_file = os.path.join(launcher.ctx.work, f"{name}-events.json")
    command = ["node", os.path.join(HERE, "demo_page.mjs"), "--port-file", launcher.port_file,
               "--pid", str(launcher.process.pid), "--out", args.shots, "--events", events_file,
               "--prefix", f"{name}-"] + page_args
    if args.display:
        command += ["--display", args.display]
    try:
        rc = subprocess.run(command, stdin=subprocess.DEVNULL, timeout=600).returncode
    except subprocess.TimeoutExpired:
        raise Failure(f"the page of {name} did not finish within 600 s")
    check_equal(rc, 0, f"the page of {name}")
    rc = launcher.wait_exit(120)
    check_equal(rc, 0, f"exit code of Veltrune.exe ({name})")
    with open(events_file) as f:
        events = json.load(f)
    check([e for e in events if e.get("evt") == "ready"][-1:] == [{"evt": "ready", "canPlay": True}],
          f"{name}: the pass did not end ready")
    return events


def main():
    parser = argparse.ArgumentParser()
    for name in ("veltrune", "runtime", "fake-process", "web", "work", "base-url", "version", "list-key", "game-src",
                 "shots"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--display", default="")
    args = parser.parse_args()

    class Context:
        pass

    ctx = Context()
    ctx.veltrune, ctx.runtime, ctx.fake_process, ctx.web = args.veltrune, args.runtime, args.fake_process, args.web
    ctx.work = os.path.abspath(args.work)
    ctx.wine = Wine()
    os.makedirs(ctx.work, exist_ok=True)
    ini = {
        "patch": {"serverUrl": args.base_url, "mirrors": args.base_url, "patchVersion": args.version,
                  "listKey": args.list_key},
        "game": {"newsUrl": "https://news.veltrune.example/news.php"},
        "ui": {"patcherUrl": UI_PAGE},
        "discord": {"guildId": ""},  # nothing leaves this machine
    }
    launcher = Launcher(ctx, "player", ini)
    where = f"a Chromium window on {args.display}" if args.display else "headless Chromium"
    say(f"launcher folder (also the game folder): {launcher.folder}; the page runs in {where}")
    try:
        events = run_pass(launcher, "run1", args, ["--play", "2"])
        count = [e.get("fileCount") for e in events if e.get("evt") == "filecount"]
        say(f"run 1 downloaded {count[0] if count else 0} file(s); Play with 2 clients")
        print("--- Veltrune.log (run 1) ---")
        with open(os.path.join(launcher.folder, "Veltrune.log"), "rb") as f:
            sys.stdout.write(f.read().decode("utf-8", "replace").replace("\r\n", "\n"))
        print("--- fake client starts ---")
        for start in launcher.starts():
            print(f"  pid={start['pid']} cwd={start['cwd']} cmd={start['cmd']}")
        sys.stdout.flush()
        check_equal(len(launcher.starts()), 2, "client starts")

        published = [os.path.relpath(os.path.join(d, f), args.game_src) for d, _, fs in os.walk(args.game_src) for f in fs]
        for rel in published:
            path, source = os.path.join(launcher.folder, rel), os.path.join(args.game_src, rel)
            check(os.path.isfile(path), f"{rel} is missing from the game folder")
            with open(path, "rb") as got, open(source, "rb") as want:
                check(got.read() == want.read(), f"{rel} differs from the published game")
            check_equal(int(os.stat(path).st_mtime), int(os.stat(source).st_mtime), f"time of {rel}")
        say(f"the game folder matches the published game: {len(published)} files, bytes and times")

        events = run_pass(launcher, "run2", args, ["--close"])
        check(not [e for e in events if e.get("evt") == "filecount"], "run 2 downloaded files again")
        say("run 2 found everything current; the page closed the window")
        return 0
    except Failure as e:
        say(f"FAILED: {e}")
        return 1
    finally:
        launcher.stop()


if __name__ == "__main__":
    sys.exit(main())
