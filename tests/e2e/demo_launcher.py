#!/usr/bin/env python3
"""The launcher step of scripts/demo.sh: the real Veltrune.exe under Wine
patches an empty game folder from the demo's patch server, with the fake
runtime playing the page (ui.ready, the whole pass, options.load, game.play
with two clients); then a second run finds everything current.

    demo_launcher.py --veltrune EXE --runtime DIR --fake-process EXE --web DIR
                     --work DIR --base-url URL --version N --served DIR --game-src DIR

Prints the events as they arrive, the launcher's log and the fake client's
recorded starts. Exits non-zero when anything differs from what the demo
promises (the patched folder must equal the published game).
"""

import argparse
import json
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Failure, Launcher, Wine, check, check_equal, listed_files, read_gz_list  # noqa: E402

UI_PAGE = "https://veltrune-ui.example/index.html"


def say(text):
    print(f"demo: {text}", flush=True)


_last_file = [None]


def echo(event):
    # One line per event, but a file's transfer progress only once, when it
    # first reaches 100: a big file would fill the screen.
    if event.get("evt") == "progress":
        if "filePercent" not in event:
            return  # the per-file count that follows every file
        if event["filePercent"] != 100 or event.get("file") == _last_file[0]:
            return
        _last_file[0] = event.get("file")
    print("  page <- " + json.dumps(event, ensure_ascii=False, separators=(",", ":")), flush=True)


def run_pass(launcher, name):
    launcher.start()
    launcher.control.wait_views(1)
    say(f"{name}: page -> {{\"cmd\":\"ui.ready\"}}")
    launcher.control.message(UI_PAGE, {"cmd": "ui.ready"})
    events = launcher.events_until(lambda e: e.get("evt") == "error" or e == {"evt": "ready", "canPlay": True},
                                   timeout=300, echo=echo)
    check(events[-1].get("evt") == "ready", f"the pass failed: {events[-1]}")
    return events


def main():
    parser = argparse.ArgumentParser()
    for name in ("veltrune", "runtime", "fake-process", "web", "work", "base-url", "version", "served", "game-src"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()

    class Context:
        pass

    ctx = Context()
    ctx.veltrune, ctx.runtime, ctx.fake_process, ctx.web = args.veltrune, args.runtime, args.fake_process, args.web
    ctx.work = os.path.abspath(args.work)
    ctx.wine = Wine()
    os.makedirs(ctx.work, exist_ok=True)
    ini = {
        "patch": {"serverUrl": args.base_url, "mirrors": args.base_url, "patchVersion": args.version},
        "game": {"newsUrl": "https://news.veltrune.example/news.php"},
        "ui": {"patcherUrl": UI_PAGE},
        "discord": {"guildId": ""},  # nothing leaves this machine
    }
    launcher = Launcher(ctx, "player", ini)
    say(f"launcher folder (also the game folder): {launcher.folder}")
    try:
        events = run_pass(launcher, "run 1")
        count = [e.get("fileCount") for e in events if e.get("evt") == "filecount"]
        say(f"run 1 downloaded {count[0] if count else 0} file(s)")

        say("run 1: page -> {\"cmd\":\"options.load\"}")
        launcher.control.message(UI_PAGE, {"cmd": "options.load"})
        launcher.events_until(lambda e: e.get("evt") == "options", timeout=60, echo=echo)

        say("run 1: page -> {\"cmd\":\"game.play\",\"clients\":2}")
        launcher.control.message(UI_PAGE, {"cmd": "game.play", "clients": 2})
        rc = launcher.wait_exit(120)
        say(f"run 1: Veltrune.exe exited with {rc}")
        print("--- Veltrune.log (run 1) ---")
        with open(os.path.join(launcher.folder, "Veltrune.log"), "rb") as f:
            sys.stdout.write(f.read().decode("utf-8", "replace").replace("\r\n", "\n"))
        print("--- fake client starts ---")
        for start in launcher.starts():
            print(f"  pid={start['pid']} cwd={start['cwd']} cmd={start['cmd']}")
        sys.stdout.flush()
        check_equal(rc, 0, "exit code")
        check_equal(len(launcher.starts()), 2, "client starts")

        listed = listed_files(read_gz_list(os.path.join(args.served, "list.txt.gz")))
        for rel, mtime, size in listed:
            path = os.path.join(launcher.folder, rel)
            check(os.path.isfile(path), f"{rel} is missing from the game folder")
            with open(path, "rb") as got, open(os.path.join(args.game_src, rel), "rb") as want:
                check(got.read() == want.read(), f"{rel} differs from the published game")
            check_equal(int(os.stat(path).st_mtime), mtime, f"time of {rel}")
        say(f"the game folder matches the published game: {len(listed)} files, bytes and times")

        events = run_pass(launcher, "run 2")
        check(not [e for e in events if e.get("evt") == "filecount"], "run 2 downloaded files again")
        say("run 2 found everything current; page -> {\"cmd\":\"window.close\"}")
        launcher.control.message(UI_PAGE, {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code of run 2")
        say("run 2: Veltrune.exe exited with 0")
        return 0
    except Failure as e:
        say(f"FAILED: {e}")
        return 1
    finally:
        launcher.stop()


if __name__ == "__main__":
    sys.exit(main())
