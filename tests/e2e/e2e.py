#!/usr/bin/env python3
"""End-to-end scenarios of the real Veltrune.exe under Wine and Xvfb.

    e2e.py GROUP --veltrune EXE --runtime DIR --fake-process EXE --probe EXE
           --publish-native TOOL --publish-win EXE --web DIR --work DIR
           [--dpi-prefix DIR]

GROUP is patch, instance, update, runtime or dpi. DISPLAY, WINEPREFIX and a
running wineserver come from the calling script (scripts/wine-env.sh); the
dpi group uses a prefix and wineserver of its own, since it changes the
prefix's DPI. Prints one line per scenario and "N passed, N failed" at the
end; exits non-zero when any scenario failed.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "e2e"))

from harness import (Failure, Launcher, PatchServer, Probe, Wine, check, check_equal,  # noqa: E402
                     listed_files, read_gz_list, wait_until, win_path)

UI_PAGE = "https://veltrune-ui.example/index.html"
NOT_FOUND_TEXT = ("The Microsoft Edge WebView2 Runtime is required but was not found.\n"
                  "Please install the Evergreen WebView2 Runtime and try again.")


class Context:
    def __init__(self, args):
        self.veltrune = args.veltrune
        self.runtime = args.runtime
        self.fake_process = args.fake_process
        self.web = args.web
        self.work = os.path.abspath(args.work)
        self.publish_native = args.publish_native
        self.publish_win = args.publish_win
        self.dpi_prefix = args.dpi_prefix
        os.makedirs(self.work, exist_ok=True)
        self.wine = Wine()
        self.probe = Probe(self.wine, args.probe, self.work)

    def publish(self, game, out, version, launcher=None):
        """Publishes a game folder with veltrune-publish: the native build
        when there is one, else the Windows build under Wine."""
        native = self.publish_native and os.access(self.publish_native, os.X_OK)
        if native:
            args = [self.publish_native, "--game", game, "--out", out, "--version", str(version), "--jobs", "2"]
            if launcher:
                args += ["--launcher", launcher]
            done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            rc, text = done.returncode, (done.stdout + done.stderr).decode("utf-8", "replace")
        else:
            args = [self.publish_win, "--game", win_path(game), "--out", win_path(out), "--version", str(version),
                    "--jobs", "2"]
            if launcher:
                args += ["--launcher", win_path(launcher)]
            rc, text = self.wine.run(args, os.path.join(self.work, "publish.txt"), timeout=120)
        check(rc == 0, f"veltrune-publish failed ({rc}): {text}")


# ---- building blocks ----

def make_game(folder, seed):
    """A small game folder: nested folders, a blank in a name, one file big
    enough for several progress blocks, fixed past modification times."""
    rng = random.Random(seed)
    files = {
        "readme.txt": b"Quorvane test build\r\n",
        "data/level 1.dat": rng.randbytes(200_000),
        "data/maps/deep.bin": rng.randbytes(1_200_000),
        "data/Lieder/Überfahrt nach Nordheim.ogg": rng.randbytes(5_000),
        "Config/Settings.ini": b"",
    }
    if os.path.exists(folder):
        shutil.rmtree(folder)
    for i, (rel, body) in enumerate(sorted(files.items())):
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
        stamp = 1_700_000_000 + 86_400 * (i + 1)
        os.utime(path, (stamp, stamp))
    return files


def ini_for(server_urls, patch_version=29, patcher_url=UI_PAGE):
    return {
        "patch": {"serverUrl": server_urls[0], "mirrors": "|".join(server_urls), "patchVersion": patch_version},
        "game": {"newsUrl": "https://news.veltrune.example/news.php",
                 "rankingUrl": "https://news.veltrune.example/rankings.php"},
        "ui": {"patcherUrl": patcher_url},
        # No widget fetch: tests talk to 127.0.0.1 only.
        "discord": {"guildId": ""},
    }


def same_path(a, b):
    return a.replace("/", "\\").lower() == b.replace("/", "\\").lower()


def evt(events, name):
    return [e for e in events if e.get("evt") == name]


def phases(events):
    return [e.get("phase") for e in evt(events, "phase")]


def last_line(launcher):
    lines = launcher.log_lines()
    return lines[-1] if lines else None


def check_game_folder(launcher, list_text, source):
    """Every listed file is in the launcher's folder with the source's bytes
    and exactly the listed time."""
    listed = listed_files(list_text)
    check(listed, "the published list names no files")
    for rel, mtime, size in listed:
        path = os.path.join(launcher.folder, rel)
        check(os.path.isfile(path), f"{rel} was not downloaded")
        with open(path, "rb") as got, open(os.path.join(source, rel), "rb") as want:
            check(got.read() == want.read(), f"{rel} differs from the published source")
        check_equal(os.path.getsize(path), size, f"size of {rel}")
        check_equal(int(os.stat(path).st_mtime), mtime, f"modification time of {rel}")
    return listed


def collect_until_exit(launcher, timeout=120):
    """Reads events until the launcher ends by itself; returns them."""
    events = []
    deadline = time.monotonic() + timeout
    while launcher.process.poll() is None:
        check(time.monotonic() < deadline, f"Veltrune.exe did not end within {timeout} s")
        try:
            event = launcher.control.posted(500)
        except (Failure, OSError):
            break  # the channel went away with the process
        if event is not None:
            events.append(event)
    launcher.wait_exit()
    return events


# ---- scenarios ----

def scenario_happy_path(ctx):
    """ui.ready gives init and a full pass; the folder matches the source;
    game.play with 2 starts two clients and the launcher ends cleanly; a
    second run finds everything current."""
    base = os.path.join(ctx.work, "happy")
    source = os.path.join(base, "game-src")
    make_game(source, seed=1)
    served = os.path.join(base, "served")
    ctx.publish(source, os.path.join(served, "Patch"), 29)
    list_text = read_gz_list(os.path.join(served, "Patch", "list.txt.gz"))
    primary, mirror = PatchServer(served), PatchServer(served)
    launcher = Launcher(ctx, "happy/launcher", ini_for([primary.url("/Patch/"), mirror.url("/Patch/")]))
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(2)
        calls = c.calls()
        check(f"view 0 Navigate {UI_PAGE}" in calls, f"main view did not open the page: {calls[:20]}")
        check(any(line.startswith("view 0 SetVirtualHostNameToFolderMapping veltrune-ui.example") for line in calls),
              "the web folder is not mapped under the UI host")

        c.message(UI_PAGE, {"cmd": "ui.ready"})
        events = launcher.events_until(lambda e: e == {"evt": "ready", "canPlay": True} or e.get("evt") == "error",
                                       timeout=180)
        first = events[0]
        check_equal(first.get("evt"), "init", "first event")
        check_equal(first.get("patchVersion"), 29, "init patchVersion")
        check_equal(first.get("clientCount"), 1, "init clientCount")
        check_equal(first.get("backgrounds"), ["Background1"], "init backgrounds")
        check(not evt(events, "error"), f"the pass failed: {evt(events, 'error')}")
        check_equal(events[-1], {"evt": "ready", "canPlay": True}, "last event of the pass")
        check_equal(phases(events), ["checking", "downloading", "finished"], "phases")
        listed = listed_files(list_text)
        check_equal([e.get("fileCount") for e in evt(events, "filecount")], [len(listed)], "filecount")
        check(len(evt(events, "progress")) > len(listed), "too few progress events for the downloads")
        check_game_folder(launcher, list_text, source)

        c.message(UI_PAGE, {"cmd": "options.load"})
        options = launcher.events_until(lambda e: e.get("evt") == "options", timeout=60)[-1]
        check("resolutions" in options and "fullscreen" in options, f"options event incomplete: {options}")

        c.message(UI_PAGE, {"cmd": "game.play", "clients": 2})
        rc = launcher.wait_exit(120)
        check_equal(rc, 0, "exit code after Play")
        log = launcher.log_lines()
        check_equal(log[0] if log else None, "Veltrune starting", "first log line")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
        check("GameLaunch: started 2/2 client(s)" in log, "no launch summary in the log")
        starts = launcher.starts()
        check_equal(len(starts), 2, "fake client starts")
        exe_dir = win_path(launcher.folder)
        for start in starts:
            check(same_path(start["cwd"], exe_dir), f"client working folder {start['cwd']!r}, expected {exe_dir!r}")
            m = re.fullmatch(r'"([^"]+)" lumaris', start["cmd"])
            check(m and same_path(m.group(1), exe_dir + "\\quorvane.exe"), f"client command line {start['cmd']!r}")
        check(int(starts[1]["time"]) - int(starts[0]["time"]) >= 2400, "the clients were not started 2.5 s apart")
        with open(os.path.join(launcher.folder, "PatcherSettings.ini"), "rb") as f:
            check(b"clientcount=2" in f.read().lower(), "the client count was not remembered")

        # Second run: everything is current, nothing is downloaded again.
        objects = ["/Patch/" + rel + ".gz" for rel, _, _ in listed]
        fetched = {path: primary.count(path) + mirror.count(path) for path in objects}
        launcher.start()
        c = launcher.control
        c.wait_views(1)
        c.message(UI_PAGE, {"cmd": "ui.ready"})
        events = launcher.events_until(lambda e: e.get("evt") in ("ready", "error"), timeout=120)
        check_equal(events[0].get("evt"), "init", "second run's first event")
        check_equal(events[0].get("clientCount"), 2, "clientCount in the second run's init")
        check_equal(events[-1], {"evt": "ready", "canPlay": True}, "second run's result")
        check_equal(phases(events), ["checking", "finished"], "second run's phases")
        check(not evt(events, "filecount"), "the second run queued files")
        for path, count in fetched.items():
            check_equal(primary.count(path) + mirror.count(path), count, f"requests for {path} in the second run")
        c.message(UI_PAGE, {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code after window.close")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line of the second run")
        check_equal(len(launcher.starts()), 2, "client starts after the second run")
    finally:
        launcher.stop()
        primary.stop()
        mirror.stop()


def scenario_second_copy_and_close_during_pass(ctx):
    """A second copy leaves at once without touching the log; closing the
    window during a stalled download logs "Veltrune exiting" and the process
    ends only after the worker has stopped and cleaned up."""
    base = os.path.join(ctx.work, "instance")
    source = os.path.join(base, "game-src")
    make_game(source, seed=2)
    served = os.path.join(base, "served")
    ctx.publish(source, os.path.join(served, "Patch"), 29)
    server = PatchServer(served)
    big = "data/maps/deep.bin"
    stall = server.stall(f"/Patch/{big}.gz", after=300_000)
    launcher = Launcher(ctx, "instance/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(2)
        launcher.wait_log("WebView: news view navigating to https://news.veltrune.example/news.php")
        log_path = os.path.join(launcher.folder, "Veltrune.log")
        before = (open(log_path, "rb").read(), os.stat(log_path).st_mtime_ns)

        rc, _ = ctx.wine.run([launcher.exe], os.path.join(base, "second-copy.txt"), timeout=60,
                             env={"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER": win_path(ctx.runtime)}, cwd=launcher.folder)
        check_equal(rc, 0, "exit code of the second copy")
        after = (open(log_path, "rb").read(), os.stat(log_path).st_mtime_ns)
        check(after == before, "the second copy touched Veltrune.log")
        check_equal(ctx.probe("count", launcher.win_exe).get("count"), "1", "host windows of the launcher")
        check(launcher.process.poll() is None, "the first copy ended")

        c.message(UI_PAGE, {"cmd": "ui.ready"})
        wait_until(lambda: stall["started"].is_set(), 120, "the stalled download")
        partial = os.path.join(launcher.folder, big)
        check(os.path.exists(partial), "the stalled file is not being written")
        check_equal(ctx.probe("close", launcher.win_exe, 30000).get("closed"), "1", "WM_CLOSE posted")
        launcher.wait_log("Veltrune exiting")
        time.sleep(1.0)
        check(launcher.process.poll() is None,
              "the process ended while its worker was still inside a download")
        stall["release"].set()
        check_equal(launcher.wait_exit(), 0, "exit code after closing during a pass")
        check(stall.get("resumed") is not None, "the stalled body was never resumed")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
        check(not os.path.exists(partial), "the cancelled download was left behind")
        check(not launcher.starts(), "a client was started")
    finally:
        launcher.stop()
        server.stop()


def scenario_self_update(ctx):
    """A list whose version line differs from patchVersion: the replacement
    lands in the roaming folder, the updater starts hidden with its four
    arguments, and the window closes without any game file fetched."""
    base = os.path.join(ctx.work, "update")
    source = os.path.join(base, "game-src")
    make_game(source, seed=3)
    replacement = os.path.join(base, "newbuild.exe")
    payload = b"MZ" + random.Random(4).randbytes(150_000)
    with open(replacement, "wb") as f:
        f.write(payload)
    served = os.path.join(base, "served")
    ctx.publish(source, os.path.join(served, "Patch"), 30, launcher=replacement)
    target_dir = os.path.join(ctx.wine.roaming_folder(), "Quorvane")
    target = os.path.join(target_dir, "newLauncher.exe")
    if os.path.exists(target):
        os.remove(target)
    server = PatchServer(served)
    launcher = Launcher(ctx, "update/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        launcher.control.wait_views(1)
        launcher.control.message(UI_PAGE, {"cmd": "ui.ready"})
        events = collect_until_exit(launcher)
        check_equal(launcher.process.returncode, 0, "exit code after the self-update")
        check_equal(phases(events), ["checking", "updating", "updating"], "phases")
        check(not evt(events, "ready") and not evt(events, "error"), "ready or error sent during a self-update")
        log = launcher.log_lines()
        check("Patcher: launcher out of date (server v30, local v29) -> self-update" in log,
              "no self-update line in the log")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
        check(os.path.isfile(target), f"no replacement at {target}")
        with open(target, "rb") as f:
            check(f.read() == payload, "the replacement differs from the published launcher")
        check_equal(server.count("/Patch/newLauncher.exe.gz"), 1, "replacement downloads")
        check(not any(server.count("/Patch/" + rel + ".gz") for rel in
                      ["readme.txt", "data/level 1.dat", "data/maps/deep.bin"]), "game files were fetched")

        starts = launcher.starts()
        check_equal(len(starts), 1, "updater starts")
        start = starts[0]
        check_equal((start["flags"], start["show"]), ("1", "0"), "updater start flags and show state")
        exe_dir = win_path(launcher.folder)
        check(same_path(start["cwd"], exe_dir), f"updater working folder {start['cwd']!r}")
        m = re.fullmatch(r'"([^"]+)" "([^"]+)" "([^"]+)" (\d+)', start["cmd"])
        check(m, f"updater command line {start['cmd']!r}")
        check(same_path(m.group(1), exe_dir + "\\updater.exe"), f"updater path {m.group(1)!r}")
        check(same_path(m.group(2), exe_dir + "\\Veltrune.exe"), f"launcher path {m.group(2)!r}")
        given = m.group(3)
        check(given[:3].upper() == "C:\\", f"replacement path {given!r}")
        on_disk = os.path.join(ctx.wine.prefix, "drive_c", *given[3:].split("\\"))
        check(os.path.normcase(on_disk) == os.path.normcase(target) and given.endswith("\\Quorvane\\newLauncher.exe"),
              f"the updater was given {given!r}, the replacement is at {target}")
        check(m.group(4) != start["pid"], "the process id given is the updater's own")
    finally:
        launcher.stop()
        server.stop()
        if os.path.exists(target):
            os.remove(target)


def scenario_missing_file_then_retry(ctx):
    """A file missing on the server ends the pass with "ready" false and the
    file-missing error naming its URL; after the operator fixes the server,
    "patch.retry" fetches only what is still stale and play is allowed."""
    base = os.path.join(ctx.work, "missing")
    source = os.path.join(base, "game-src")
    make_game(source, seed=5)
    served = os.path.join(base, "served")
    ctx.publish(source, os.path.join(served, "Patch"), 29)
    listed = listed_files(read_gz_list(os.path.join(served, "Patch", "list.txt.gz")))
    server = PatchServer(served)
    missing = "readme.txt"
    server.status["/Patch/readme.txt.gz"] = 404
    position = [rel for rel, _, _ in listed].index(missing)
    launcher = Launcher(ctx, "missing/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(1)
        c.message(UI_PAGE, {"cmd": "ui.ready"})
        events = launcher.events_until(lambda e: e.get("evt") == "error", timeout=120)
        check_equal(events[-2], {"evt": "ready", "canPlay": False}, "event before the error")
        check_equal(events[-1].get("message"),
                    "A required file was not found on the server:\n" + server.url("/Patch/readme.txt.gz"),
                    "file-missing message")
        check(not os.path.exists(os.path.join(launcher.folder, missing)), "the failed file was left behind")
        for rel, _, _ in listed[:position]:
            check(os.path.isfile(os.path.join(launcher.folder, rel)), f"{rel}, listed before the failure, is missing")

        # With parallel downloads, files behind the missing one that finished
        # before the pass stopped are kept; the others were deleted.
        stale = [rel for rel, _, _ in listed if not os.path.isfile(os.path.join(launcher.folder, rel))]
        check(missing in stale and len(stale) <= len(listed) - position, f"stale after the failure: {stale}")

        # Play is refused while the files are not current.
        c.message(UI_PAGE, {"cmd": "game.play", "clients": 1})
        del server.status["/Patch/readme.txt.gz"]
        c.message(UI_PAGE, {"cmd": "patch.retry"})
        events = launcher.events_until(lambda e: e.get("evt") in ("error",) or e == {"evt": "ready", "canPlay": True},
                                       timeout=120)
        check_equal(events[-1], {"evt": "ready", "canPlay": True}, "result of the retry")
        check_equal(events[0], {"evt": "maintenance", "active": False}, "first event of the retry")
        check_equal([e.get("fileCount") for e in evt(events, "filecount")], [len(stale)],
                    "files still stale at the retry")
        check_game_folder(launcher, read_gz_list(os.path.join(served, "Patch", "list.txt.gz")), source)
        check(not launcher.starts(), "a client started before the files were current")
        c.message(UI_PAGE, {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
    finally:
        launcher.stop()
        server.stop()


def scenario_maintenance(ctx):
    """With the maintenance flag on, the page hears "maintenance" true and
    "ready" false on every cycle and no pass runs; once the flag clears, a
    full pass runs and play is offered."""
    base = os.path.join(ctx.work, "maintenance")
    source = os.path.join(base, "game-src")
    make_game(source, seed=6)
    served = os.path.join(base, "served")
    ctx.publish(source, os.path.join(served, "Patch"), 29)
    flag = os.path.join(served, "Patch", "MaintanenceCheck.txt")
    with open(flag, "w") as f:
        f.write(" TRUE\r\n")
    server = PatchServer(served)
    launcher = Launcher(ctx, "maintenance/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(1)
        c.message(UI_PAGE, {"cmd": "ui.ready"})
        closed = []
        events = launcher.events_until(lambda e: e.get("evt") == "ready" and len(evt(closed, "ready")) >= 2
                                       or e.get("evt") == "error", timeout=60, seen=closed)
        check_equal([e.get("evt") for e in events], ["init", "maintenance", "ready", "maintenance", "ready"],
                    "events during maintenance")
        check(all(e.get("active") is True for e in evt(events, "maintenance")), "maintenance reported off")
        check(all(e.get("canPlay") is False for e in evt(events, "ready")), "play offered during maintenance")
        check_equal(server.count("/Patch/list.txt.gz"), 0, "list fetched during maintenance")
        c.message(UI_PAGE, {"cmd": "game.play", "clients": 1})

        with open(flag, "w") as f:
            f.write("false")
        events = launcher.events_until(lambda e: e == {"evt": "ready", "canPlay": True} or e.get("evt") == "error",
                                       timeout=60)
        check_equal(phases(events), ["checking", "downloading", "finished"], "phases after maintenance")
        check(not launcher.starts(), "a client started during maintenance")
        c.message(UI_PAGE, {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code")
    finally:
        launcher.stop()
        server.stop()


def scenario_resources(ctx):
    """Veltrune.exe carries its manifest, icon 1 and a version resource."""
    r = ctx.probe("resources", win_path(ctx.veltrune))
    check_equal(r["rc"], 0, "probe exit code")
    manifest = r.get("manifest", "")
    for needle in (">true/pm</dpiAware>", ">PerMonitorV2</dpiAwareness>", ">true</longPathAware>",
                   'level="asInvoker"', 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", 'version="1.0.0.0"'):
        check(needle in manifest, f"manifest lacks {needle!r}")
    icons = r.get("icons", "").split(",")
    check("16" in icons and "256" in icons and not any("missing" in i for i in icons), f"icon group 1: {icons}")
    check_equal(r.get("fileversion"), "1.0.0.0", "file version")
    check_equal(r.get("ProductName"), "Veltrune", "product name")

    # One self-contained executable: it imports system DLLs only, none of
    # the compiler's runtime or zlib.
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    check(objdump, "x86_64-w64-mingw32-objdump not found")
    dump = subprocess.run([objdump, "-p", ctx.veltrune], capture_output=True, text=True, timeout=60).stdout
    imports = re.findall(r"DLL Name: (\S+)", dump)
    check("KERNEL32.dll" in imports, f"import table not read: {imports}")
    system32 = {name.lower() for name in os.listdir(os.path.join(ctx.wine.prefix, "drive_c", "windows", "system32"))}
    # Wine's system32 has a zlib1.dll of its own; Windows has none.
    foreign = [name for name in imports
               if name.lower() not in system32 or re.match(r"(lib|zlib)", name, re.IGNORECASE)]
    check(not foreign, f"Veltrune.exe needs DLLs that Windows does not have: {foreign}")


def scenario_no_runtime(ctx):
    """No runtime at all: the "was not found" box, then a clean exit 0."""
    empty = os.path.join(ctx.work, "no-runtime", "empty-runtime")
    os.makedirs(empty, exist_ok=True)
    launcher = Launcher(ctx, "no-runtime/launcher", ini_for(["http://127.0.0.1:9/Patch/"]))
    try:
        launcher.start(runtime=empty, connect=False)
        box = ctx.probe("dialog", launcher.win_exe, 60000)
        check_equal(box["rc"], 0, "message box found")
        check_equal(box.get("text"), NOT_FOUND_TEXT, "message box text")
        check_equal(box.get("buttons"), "1", "buttons of the box")
        check_equal(launcher.wait_exit(), 0, "exit code without a runtime")
        log = launcher.log_lines()
        check(any(line.startswith("WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x") for line in log),
              f"no runtime failure in the log: {log}")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
    finally:
        launcher.stop()


def scenario_controller_refused(ctx):
    """The runtime refuses the main view's controller request on the spot (its
    handler never runs): the launcher closes instead of showing an empty
    window forever."""
    launcher = Launcher(ctx, "controller-refused/launcher", ini_for(["http://127.0.0.1:9/Patch/"]))
    try:
        launcher.start(connect=False, extra_env={"VR_FAKE_WEBVIEW2_OPTIONS": "controller.call.0 0x80070057"})
        check_equal(launcher.wait_exit(), 0, "exit code after a refused controller request")
        log = launcher.log_lines()
        check("WebView: controller creation failed 0x80070057" in log, f"no controller failure in the log: {log}")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
    finally:
        launcher.stop()


def scenario_origins(ctx):
    """Messages from other origins are logged and ignored; the start page's
    origin (any path) and the UI host are accepted."""
    site = "https://play.veltrune.example"
    empty = os.path.join(ctx.work, "origins", "served")
    os.makedirs(empty, exist_ok=True)
    server = PatchServer(empty)
    launcher = Launcher(ctx, "origins/launcher",
                        ini_for([server.url("/Patch/")], patcher_url=site + "/patcher/index.html"))
    refused = ["http://play.veltrune.example/patcher/index.html",
               "https://play.veltrune.example.evil.example/patcher/index.html",
               "https://elsewhere.example/patcher/index.html"]
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(1)
        for source in refused:
            c.message(source, {"cmd": "options.load"})
            c.message(source, {"cmd": "settings.setClientCount", "count": 7})
        settings = os.path.join(launcher.folder, "PatcherSettings.ini")
        check(not os.path.exists(settings), "a refused message changed the preferences")
        c.message(site + "/other/page.html", {"cmd": "settings.setClientCount", "count": 3})
        c.message(site, {"cmd": "ui.ready"})
        first = launcher.events_until(lambda e: True, timeout=60)[0]
        check_equal(first.get("evt"), "init", "first event after refused options.load requests")
        check_equal(first.get("clientCount"), 3, "client count set from another page of the site")
        c.message("https://veltrune-ui.example/local.html", {"cmd": "options.load"})
        launcher.events_until(lambda e: e.get("evt") == "options", timeout=60)
        log = launcher.log_lines()
        for source in refused:
            check_equal(log.count(f"WebView: ignored web message from untrusted origin {source}"), 2,
                        f"refusals logged for {source}")
        c.message(refused[0], {"cmd": "window.close"})
        c.message("https://veltrune-ui.example/index.html", {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code")
        check_equal(last_line(launcher), "Veltrune exiting", "last log line")
    finally:
        launcher.stop()
        server.stop()


def dpi_wine(ctx):
    """A prefix of our own (created once), so that its DPI can change."""
    wine = Wine(ctx.dpi_prefix)
    marker = os.path.join(ctx.dpi_prefix, ".vr-ready")
    if not os.path.exists(marker):
        if os.path.exists(ctx.dpi_prefix):
            shutil.rmtree(ctx.dpi_prefix)
        os.makedirs(ctx.dpi_prefix)
        wine.command(["wineboot", "-i"], timeout=400)
        wine.command(["wineserver", "-w"], timeout=120)
        open(marker, "w").close()
    return wine


def set_dpi(wine, dpi):
    # The server and the prefix's services read the DPI when they start.
    wine.command(["wineserver", "-k"], timeout=60)
    wine.command(["wineserver", "-w"], timeout=60)
    rc = wine.command(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                       "/d", str(dpi), "/f"], timeout=120)
    check_equal(rc, 0, "reg add LogPixels")
    wine.command(["wineserver", "-w"], timeout=120)


def scenario_dpi(ctx):
    """Window size and centring at 96 and 144 DPI; the news rectangle scaled
    at 120 DPI."""
    wine = dpi_wine(ctx)
    probe = Probe(wine, ctx.probe.exe, ctx.work)
    empty = os.path.join(ctx.work, "dpi", "served")
    os.makedirs(empty, exist_ok=True)
    server = PatchServer(empty)
    try:
        for dpi in (96, 144, 120):
            set_dpi(wine, dpi)
            launcher = Launcher(ctx, f"dpi/launcher-{dpi}", ini_for([server.url("/Patch/")]))
            try:
                launcher.start(wine=wine)
                c = launcher.control
                c.wait_views(2)
                w = probe("window", launcher.win_exe, 60000)
                check_equal(w["rc"], 0, f"host window at {dpi} DPI")
                check_equal((w.get("dpi"), w.get("sysdpi")), (str(dpi), str(dpi)), "window and system DPI")
                width, height = 1224 * dpi // 96, 772 * dpi // 96
                left, top, right, bottom = map(int, w["work"].split(","))
                x = left + int((right - left - width) / 2)  # C division truncates toward zero
                y = top + int((bottom - top - height) / 2)
                check_equal(w.get("rect"), f"{x},{y},{x + width},{y + height}", f"window rectangle at {dpi} DPI")
                check_equal(w.get("client"), f"{width},{height}", f"client size at {dpi} DPI")
                # WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX; the system adds
                # WS_CLIPSIBLINGS to every top-level window, and the window is shown.
                check_equal(int(w.get("style", "0"), 16) & ~0x04000000, 0x920A0000, "window style")
                check_equal((w.get("exstyle"), w.get("title")), ("0x00040000", "Veltrune"), "WS_EX_APPWINDOW and title")
                main = c.views()[0]
                check_equal(main.get("bounds"), f"0,0,{width},{height}", f"main view bounds at {dpi} DPI")
                if dpi == 120:
                    c.message(UI_PAGE, {"cmd": "news.rect", "visible": True, "x": 10, "y": 20, "w": 101, "h": 50})
                    news = c.views()[1]
                    check_equal(news.get("bounds"), "12,25,138,87", "news view bounds at 120 DPI")
                    check_equal(news.get("visible"), "1", "news view shown")
                    check("controller 1 put_Bounds 12,25,138,87" in c.calls(), "news bounds never set")
                c.message(UI_PAGE, {"cmd": "window.close"})
                check_equal(launcher.wait_exit(), 0, f"exit code at {dpi} DPI")
            finally:
                launcher.stop()
    finally:
        server.stop()
        wine.command(["wineserver", "-k"], timeout=60)
        wine.command(["wineserver", "-w"], timeout=60)


GROUPS = {
    "patch": [scenario_happy_path],
    "instance": [scenario_second_copy_and_close_during_pass],
    "update": [scenario_self_update],
    "recovery": [scenario_missing_file_then_retry, scenario_maintenance],
    "runtime": [scenario_resources, scenario_no_runtime, scenario_controller_refused, scenario_origins],
    "dpi": [scenario_dpi],
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=sorted(GROUPS))
    for name in ("veltrune", "runtime", "fake-process", "probe", "publish-native", "publish-win", "web", "work"):
        parser.add_argument("--" + name, required=name != "publish-native")
    parser.add_argument("--dpi-prefix")
    parser.add_argument("--only", help="run only the scenario of this name")
    args = parser.parse_args()
    args.work = os.path.join(args.work, args.group)  # groups may run one after another in one tree
    ctx = Context(args)
    passed = failed = 0
    for scenario in GROUPS[args.group]:
        if args.only and args.only not in scenario.__name__:
            continue
        started = time.monotonic()
        try:
            scenario(ctx)
            passed += 1
            print(f"PASS {scenario.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
        except Failure as e:
            failed += 1
            print(f"FAIL {scenario.__name__}: {e}", flush=True)
        except Exception:  # a harness fault is a failure too, with its trace
            failed += 1
            print(f"FAIL {scenario.__name__}: harness error", flush=True)
            traceback.print_exc()
    print(f"{passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
