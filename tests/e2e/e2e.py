#!/usr/bin/env python3
"""End-to-end scenarios of the real Veltrune.exe under Wine and Xvfb, for
what the live page tests (tests/js/live_launcher.test.mjs) do not reach: a
second copy, closing during a download, the self-update, runtime failures,
origins, resources and DPI. Run by tests/e2e/CMakeLists.txt, one group per
entry, under the Wine prefix and display of scripts/wine-env.sh."""

import os
import random
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "e2e"))

from harness import (UI_PAGE, Launcher, Probe, Wine, check, check_equal, ini_for, run_groups,  # noqa: E402
                     same_path, wait_until, win_path)


def scenario_second_copy_and_close_during_pass(ctx):
    """A second copy leaves at once without touching the log; closing the
    window during a stalled download logs "Veltrune exiting", and the process
    ends only after the worker has stopped and removed the partial staged copy."""
    server = ctx.serve_game("instance")
    big = "data/maps/deep.bin"
    stall = server.stall(f"/Patch/{big}.gz", after=300_000)
    launcher = Launcher(ctx, "instance/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        launcher.control.wait_views(2)
        launcher.wait_log("WebView: news view navigating to https://news.veltrune.example/news.php")
        log_path = os.path.join(launcher.folder, "Veltrune.log")
        before = (open(log_path, "rb").read(), os.stat(log_path).st_mtime_ns)
        rc, _ = ctx.wine.run([launcher.exe], os.path.join(ctx.work, "second-copy.txt"), timeout=60,
                             env={"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER": win_path(ctx.runtime)}, cwd=launcher.folder)
        check_equal(rc, 0, "exit code of the second copy")
        check((open(log_path, "rb").read(), os.stat(log_path).st_mtime_ns) == before, "the second copy touched Veltrune.log")
        check_equal(ctx.probe("count", launcher.win_exe).get("count"), "1", "host windows of the launcher")

        launcher.control.message(UI_PAGE, {"cmd": "ui.ready"})
        wait_until(lambda: stall["started"].is_set(), 120, "the stalled download")
        target = os.path.join(launcher.folder, big)
        partial = target + ".veltrune-staged"  # the target appears only once proven
        check(os.path.exists(partial), "the stalled file is not being written")
        check(not os.path.exists(target), "the unproven download took the file's own name")
        check_equal(ctx.probe("close", launcher.win_exe, 30000).get("closed"), "1", "WM_CLOSE posted")
        launcher.wait_log("Veltrune exiting")
        time.sleep(1.0)
        check(launcher.process.poll() is None, "the process ended while its worker was still inside a download")
        stall["release"].set()
        check_equal(launcher.wait_exit(), 0, "exit code after closing during a pass")
        check_equal(launcher.last_line(), "Veltrune exiting", "last log line")
        check(not os.path.exists(partial), "the cancelled download was left behind")
    finally:
        launcher.stop()
        server.stop()


def scenario_self_update(ctx):
    """A list of another version: the replacement lands in the roaming folder,
    the updater starts hidden with its four arguments, no game file is fetched
    and the launcher ends."""
    replacement = os.path.join(ctx.work, "newbuild.exe")
    payload = b"MZ" + random.Random(4).randbytes(150_000)
    with open(replacement, "wb") as f:
        f.write(payload)
    target = os.path.join(ctx.wine.roaming_folder(), "Quorvane", "newLauncher.exe")
    if os.path.exists(target):
        os.remove(target)
    server = ctx.serve_game("update", 30, replacement)
    launcher = Launcher(ctx, "update/launcher", ini_for([server.url("/Patch/")]))
    try:
        launcher.start()
        launcher.control.wait_views(1)
        launcher.control.message(UI_PAGE, {"cmd": "ui.ready"})
        events = []
        launcher.events_until(lambda e: e.get("evt") in ("ready", "error") or
                              [x.get("phase") for x in events].count("updating") == 2, seen=events)
        check_equal([(e.get("evt"), e.get("phase")) for e in events if e.get("evt") in ("phase", "ready", "error")],
                    [("phase", "checking"), ("phase", "updating"), ("phase", "updating")], "phases")
        check_equal(launcher.wait_exit(), 0, "exit code after the self-update")
        check("Patcher: launcher out of date (server v30, local v29) -> self-update" in launcher.log_lines(), "no self-update log line")
        with open(target, "rb") as f:
            check(f.read() == payload, "the replacement differs from the published launcher")
        check_equal([p for p in server.requests if p.endswith(".gz") and not p.endswith("list.txt.gz")],
                    ["/Patch/newLauncher.exe.gz"], "objects fetched")

        starts = launcher.starts()
        check_equal(len(starts), 1, "updater starts")
        start, exe_dir = starts[0], win_path(launcher.folder)
        check_equal((start["flags"], start["show"]), ("1", "0"), "updater start flags and show state")
        check(same_path(start["cwd"], exe_dir), f"updater working folder {start['cwd']!r}")
        m = re.fullmatch(r'"([^"]+)" "([^"]+)" "C:\\([^"]+)" (\d+)', start["cmd"])
        check(m and same_path(m.group(1), exe_dir + "\\updater.exe") and same_path(m.group(2), exe_dir + "\\Veltrune.exe"),
              f"updater command line {start['cmd']!r}")
        on_disk = os.path.join(ctx.wine.prefix, "drive_c", *m.group(3).split("\\"))
        check(os.path.normcase(on_disk) == os.path.normcase(target), f"the updater was given {m.group(3)!r}, not {target}")
        check(m.group(4) != start["pid"], "the process id given is the updater's own")
    finally:
        launcher.stop()
        server.stop()
        if os.path.exists(target):
            os.remove(target)


def scenario_resources(ctx):
    """Veltrune.exe carries its manifest, icon 1 and a version resource, and
    imports only DLLs that Windows has (no compiler runtime, no zlib)."""
    r = ctx.probe("resources", win_path(ctx.veltrune))
    manifest = r.get("manifest", "")
    for needle in (">PerMonitorV2</dpiAwareness>", ">true</longPathAware>", 'level="asInvoker"',
                   'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'):
        check(needle in manifest, f"manifest lacks {needle!r}")
    icons = r.get("icons", "").split(",")
    check("16" in icons and "256" in icons and not any("missing" in i for i in icons), f"icon group 1: {icons}")
    check_equal((r.get("fileversion"), r.get("ProductName")), ("1.0.0.0", "Veltrune"), "version resource")

    dump = subprocess.run([shutil.which("x86_64-w64-mingw32-objdump") or "objdump", "-p", ctx.veltrune],
                          capture_output=True, text=True, timeout=60).stdout
    imports = re.findall(r"DLL Name: (\S+)", dump)
    check("KERNEL32.dll" in imports, f"import table not read: {imports}")
    system32 = {n.lower() for n in os.listdir(os.path.join(ctx.wine.prefix, "drive_c", "windows", "system32"))}
    # Wine's system32 has a zlib1.dll of its own; Windows has none.
    foreign = [n for n in imports if n.lower() not in system32 or re.match(r"(lib|zlib)", n, re.IGNORECASE)]
    check(not foreign, f"Veltrune.exe needs DLLs that Windows does not have: {foreign}")


def scenario_runtime_failures(ctx):
    """No runtime at all: the "was not found" box, then exit 0. A controller
    request the runtime refuses on the spot: the window closes, no empty one
    stays."""
    empty = os.path.join(ctx.work, "no-runtime")
    os.makedirs(empty, exist_ok=True)
    not_found = ("The Microsoft Edge WebView2 Runtime is required but was not found.\n"
                 "Please install the Evergreen WebView2 Runtime and try again.")
    for name, runtime, env, box, logged in [
            ("no runtime", empty, {}, not_found, "WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x"),
            ("controller refused", None, {"VR_FAKE_WEBVIEW2_OPTIONS": "controller.call.0 0x80070057"}, None,
             "WebView: controller creation failed 0x80070057")]:
        launcher = Launcher(ctx, f"failures/{name.replace(' ', '-')}", ini_for(["http://127.0.0.1:9/Patch/"]))
        try:
            launcher.start(runtime=runtime, connect=False, extra_env=env)
            if box:
                shown = ctx.probe("dialog", launcher.win_exe, 60000)
                check_equal((shown.get("text"), shown.get("buttons")), (box, "1"), f"{name}: message box")
            check_equal(launcher.wait_exit(), 0, f"{name}: exit code")
            check(any(line.startswith(logged) for line in launcher.log_lines()), f"{name}: no {logged!r} in {launcher.log_lines()}")
            check_equal(launcher.last_line(), "Veltrune exiting", f"{name}: last log line")
        finally:
            launcher.stop()


def scenario_origins(ctx):
    """Messages from other origins are logged and ignored; the start page's
    origin (any path) and the UI host are accepted."""
    site = "https://play.veltrune.example"
    refused = ["http://play.veltrune.example/patcher/index.html",
               "https://play.veltrune.example.evil.example/patcher/index.html",
               "https://elsewhere.example/patcher/index.html"]
    launcher = Launcher(ctx, "origins/launcher", ini_for(["http://127.0.0.1:9/Patch/"], patcher_url=site + "/patcher/index.html"))
    try:
        launcher.start()
        c = launcher.control
        c.wait_views(1)
        for source in refused:
            c.message(source, {"cmd": "settings.setClientCount", "count": 7})
            c.message(source, {"cmd": "window.close"})
        check(not os.path.exists(os.path.join(launcher.folder, "PatcherSettings.ini")), "a refused message changed the preferences")
        c.message(site + "/other/page.html", {"cmd": "settings.setClientCount", "count": 3})
        c.message(site, {"cmd": "ui.ready"})
        first = launcher.events_until(lambda e: True, timeout=60)[0]
        check_equal((first.get("evt"), first.get("clientCount")), ("init", 3), "init after a count from another page of the site")
        log = launcher.log_lines()
        for source in refused:
            check_equal(log.count(f"WebView: ignored web message from untrusted origin {source}"), 2, f"refusals of {source}")
        c.message("https://veltrune-ui.example/local.html", {"cmd": "window.close"})
        check_equal(launcher.wait_exit(), 0, "exit code")
    finally:
        launcher.stop()


def scenario_dpi(ctx):
    """Window size, style and centring at 96 and 144 DPI; the news rectangle
    scaled at 120 DPI. In a prefix of its own, so its DPI can change."""
    wine = Wine(ctx.dpi_prefix)
    probe = Probe(wine, ctx.probe.exe, ctx.work)
    try:
        for dpi in (96, 144, 120):
            wine.set_dpi(dpi)
            launcher = Launcher(ctx, f"dpi/launcher-{dpi}", ini_for(["http://127.0.0.1:9/Patch/"]))
            try:
                launcher.start(wine=wine)
                c = launcher.control
                c.wait_views(2)
                w = probe("window", launcher.win_exe, 60000)
                width, height = 1224 * dpi // 96, 772 * dpi // 96
                left, top, right, bottom = map(int, w["work"].split(","))
                x = left + int((right - left - width) / 2)  # C division truncates toward zero
                y = top + int((bottom - top - height) / 2)
                # WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX (the system adds
                # WS_CLIPSIBLINGS to every top-level window); WS_EX_APPWINDOW.
                got = (w.get("dpi"), w.get("rect"), w.get("client"), int(w.get("style", "0"), 16) & ~0x04000000,
                       w.get("exstyle"), w.get("title"), c.views()[0].get("bounds"))
                check_equal(got, (str(dpi), f"{x},{y},{x + width},{y + height}", f"{width},{height}", 0x920A0000,
                                  "0x00040000", "Veltrune", f"0,0,{width},{height}"), f"window at {dpi} DPI")
                if dpi == 120:
                    c.message(UI_PAGE, {"cmd": "news.rect", "visible": True, "x": 10, "y": 20, "w": 101, "h": 50})
                    news = c.views()[1]
                    check_equal((news.get("bounds"), news.get("visible")), ("12,25,138,87", "1"), "news view at 120 DPI")
                c.message(UI_PAGE, {"cmd": "window.close"})
                check_equal(launcher.wait_exit(), 0, f"exit code at {dpi} DPI")
            finally:
                launcher.stop()
    finally:
        for args in (["wineserver", "-k"], ["wineserver", "-w"]):
            wine.command(args, timeout=60)


if __name__ == "__main__":
    sys.exit(run_groups({
        "instance": [scenario_second_copy_and_close_during_pass],
        "update": [scenario_self_update],
        "runtime": [scenario_resources, scenario_runtime_failures, scenario_origins],
        "dpi": [scenario_dpi],
    }))
