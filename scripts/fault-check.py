#!/usr/bin/env python3
"""Fault-injection check: do the tests notice small, realistic bugs?

Applies the faults of scripts/faults.txt to the product code one at a time,
rebuilds only what the fault's suites need (private build folders
build/faults-win and build/faults-native), runs those suites, restores the
file, and records for each fault:

  caught   a suite failed with the fault in place
  missed   every suite passed with the fault in place
  invalid  the snippet is not in the file exactly once, the faulty code does
           not compile, or a suite found no tests: a bug in the list
  timeout  a suite ran past its time limit: the fault hangs rather than
           fails, which says little about the tests, so it is a list bug too
  flaky    a suite failed, but its failing test cases passed when run again
           with the fault still in place: the failure was noise, not a catch

Before the faults, every suite they use runs once unmodified (the baseline);
a suite that fails there makes its faults "invalid" instead of "caught".

  scripts/fault-check.py --list
  scripts/fault-check.py [--only F01,F07] [--out build/faults.tsv]

Exit status: 0 when every fault ran cleanly, 1 when some were invalid, timed
out or flaky, 2 on a usage error.
"""

import argparse
import datetime
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS_FILE = os.path.join(ROOT, "scripts", "faults.txt")
WIN_DIR = os.path.join(ROOT, "build", "faults-win")
NATIVE_DIR = os.path.join(ROOT, "build", "faults-native")
# The file under change is copied here first, so a run killed outright
# (no chance to restore) is mended by the next one.
BACKUP_DIR = os.path.join(ROOT, "build", "faults-backup")

# A Windows unit suite NAME needs NAME_tests; the node suites that drive the
# real Veltrune.exe need it, its test doubles and the native publish tool.
LIVE_SUITES = ("live_launcher", "launcher_exe")
LIVE_TARGETS = ["Veltrune", "fake_webview2", "fake_process", "e2e_probe"]

FIELDS = ("area", "file", "find", "replace", "what", "suites")


class Fault:
    def __init__(self, fid, fields):
        self.id = fid
        self.area = fields.get("area", "")
        self.file = fields.get("file", "")
        self.find = fields.get("find", "")
        self.replace = fields.get("replace", "")
        self.what = fields.get("what", "")
        self.suites = fields.get("suites", "").split()


def parse_faults(path):
    """Blocks that start with [ID]; `key: value` lines, where a line starting
    with '|' continues the previous value on a new line (verbatim)."""
    faults, problems = [], []
    fid, fields, last = None, {}, None

    def close():
        if fid is None:
            return
        missing = [k for k in FIELDS if k not in fields and k != "replace"]
        if missing:
            problems.append("%s: missing %s" % (fid, ", ".join(missing)))
        faults.append(Fault(fid, fields))

    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("#") or not line.strip():
                continue
            m = re.match(r"^\[(\w+)\]\s*$", line)
            if m:
                close()
                fid, fields, last = m.group(1), {}, None
                continue
            if line.startswith("|"):
                if last is None:
                    problems.append("line %d: continuation without a value" % n)
                else:
                    fields[last] += "\n" + line[1:]
                continue
            m = re.match(r"^(\w+):(?: (.*))?$", line)
            if not m or m.group(1) not in FIELDS or fid is None:
                problems.append("line %d: cannot read %r" % (n, line))
                continue
            last = m.group(1)
            fields[last] = m.group(2) or ""
    close()
    ids = [f.id for f in faults]
    for d in sorted({i for i in ids if ids.count(i) > 1}):
        problems.append("%s: id used twice" % d)
    return faults, problems


# --- the file under change --------------------------------------------------

def backup_path(rel):
    return os.path.join(BACKUP_DIR, rel)


def restore_leftovers():
    for folder, _, names in os.walk(BACKUP_DIR):
        for name in names:
            saved = os.path.join(folder, name)
            rel = os.path.relpath(saved, BACKUP_DIR)
            with open(saved, "rb") as f:
                data = f.read()
            with open(os.path.join(ROOT, rel), "wb") as f:
                f.write(data)
            os.remove(saved)
            print("fault-check: restored %s, left changed by an interrupted run" % rel)


class Applied:
    """The fault in place for the duration of a with-block; the original
    bytes come back however the block ends (its new modification time makes
    the next build recompile the file)."""

    def __init__(self, fault):
        self.fault = fault
        self.path = os.path.join(ROOT, fault.file)
        self.original = None

    def __enter__(self):
        with open(self.path, "rb") as f:
            self.original = f.read()
        text = self.original.decode("utf-8")
        new = text.replace(self.fault.find, self.fault.replace, 1)
        os.makedirs(os.path.dirname(backup_path(self.fault.file)), exist_ok=True)
        with open(backup_path(self.fault.file), "wb") as f:
            f.write(self.original)
        with open(self.path, "wb") as f:
            f.write(new.encode("utf-8"))
        return self

    def __exit__(self, *exc):
        with open(self.path, "wb") as f:
            f.write(self.original)
        os.remove(backup_path(self.fault.file))
        return False


def snippet_problem(fault):
    path = os.path.join(ROOT, fault.file)
    if not os.path.isfile(path):
        return "file %s not found" % fault.file
    with open(path, encoding="utf-8") as f:
        n = f.read().count(fault.find)
    if not fault.find:
        return "empty snippet"
    if n != 1:
        return "snippet found %d times in %s (must be exactly once)" % (n, fault.file)
    if fault.find == fault.replace:
        return "replacement equals the snippet"
    return None


# --- suites ------------------------------------------------------------------

def suite_kind(suite):
    kind, _, name = suite.partition(":")
    if kind not in ("win", "native", "node") or not name:
        raise ValueError("suite %r: expected win:NAME, native:NAME or node:FILE" % suite)
    return kind, name


def targets_of(suite):
    """(build dir, targets) pairs the suite needs."""
    kind, name = suite_kind(suite)
    if kind == "win":
        return [(WIN_DIR, [name + "_tests"])]
    if kind == "native":
        return [(NATIVE_DIR, [name + "_tests"])]
    if name in LIVE_SUITES:
        return [(WIN_DIR, LIVE_TARGETS), (NATIVE_DIR, ["veltrune-publish"])]
    return []


def needs_wine(suite):
    kind, name = suite_kind(suite)
    return kind == "win" or (kind == "node" and name in LIVE_SUITES)


def build_env():
    env = dict(os.environ)
    # ccache only speeds the rebuilds up; without it every fault still builds.
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
    env.setdefault("CCACHE_BASEDIR", os.path.dirname(ROOT))
    return env


def configure():
    env = build_env()
    for d, preset in ((NATIVE_DIR, "native"), (WIN_DIR, "windows")):
        if os.path.isfile(os.path.join(d, "build.ninja")):
            continue
        print("fault-check: configuring %s" % os.path.relpath(d, ROOT), flush=True)
        r = subprocess.run(["cmake", "--preset", preset, "-B", d], cwd=ROOT, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            sys.exit("fault-check: configuring %s failed:\n%s" % (d, r.stdout[-3000:]))


def build(suites):
    """Builds what the suites need; returns None or the compiler's complaint."""
    wanted = {}
    for s in suites:
        for d, targets in targets_of(s):
            wanted.setdefault(d, [])
            wanted[d] += [t for t in targets if t not in wanted[d]]
    # Native first, as scripts/build.sh does.
    for d in sorted(wanted, key=lambda d: d != NATIVE_DIR):
        cmd = ["cmake", "--build", d, "-j", "2"]
        for t in wanted[d]:
            cmd += ["--target", t]
        code, out = run_owned(cmd, env=build_env())
        if code != 0:
            errors = [l for l in out.splitlines() if "error" in l.lower()]
            return "\n".join(errors[:8]) or out[-2000:]
    return None


class Wine:
    """One Xvfb display and wineserver for the whole check, in a private
    prefix, started and stopped the way scripts/wine-env.sh does it."""

    def __init__(self):
        self.env = None
        self.pids = []

    def start(self):
        prefix = os.path.join(WIN_DIR, "wineprefix")
        script = ('. scripts/wine-env.sh && vr_wine_start >&2 && '
                  'echo "$DISPLAY $VR_XVFB_PID $VR_WINESERVER_PID"')
        env = dict(os.environ, WINEPREFIX=prefix)
        r = subprocess.run(["bash", "-c", script], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                           stdin=subprocess.DEVNULL, text=True)
        words = r.stdout.split()
        if r.returncode != 0 or len(words) != 3:
            sys.exit("fault-check: could not start Wine and Xvfb")
        display, xvfb, server = words
        self.pids = [int(server), int(xvfb)]
        self.env = {"WINEPREFIX": prefix, "WINEARCH": "win64", "WINEDEBUG": "-all",
                    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d", "DISPLAY": display}

    def stop(self):
        if not self.env:
            return
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, **self.env),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for pid in self.pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
        self.env = None


def run_owned(cmd, timeout=None, **kw):
    """Runs cmd in its own process group and ends that whole group when the
    run is cut short (time limit, Ctrl-C, kill): Wine's children included.
    Returns (returncode or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, text=True, errors="replace", start_new_session=True, **kw)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except BaseException as e:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        out, _ = proc.communicate()
        if isinstance(e, subprocess.TimeoutExpired):
            return None, out
        raise


def failed_names(output):
    names = []
    for pattern in (r"^\[  FAILED  \] (\S+\.\S+?)(?: \(|,|$)",   # GoogleTest
                    r"^\s*not ok \d+ - (.+)$",                    # node TAP
                    r"^\s*\u2716 (.+?)(?: \(\d.*\))?$"):          # node spec
        for m in re.finditer(pattern, output, re.M):
            name = m.group(1).strip()
            if name not in names and "listed below" not in name and "failing tests" not in name:
                names.append(name)
    return names


def run_suite(suite, timeout, wine, only=None):
    """('pass' | 'fail' | 'timeout' | 'empty', seconds, output). `only`
    narrows a GoogleTest suite to those test cases."""
    kind, name = suite_kind(suite)
    env = dict(os.environ)
    if only:
        env["GTEST_FILTER"] = ":".join(only)
    if needs_wine(suite):
        env.update(wine.env)
    if kind in ("win", "native"):
        d = WIN_DIR if kind == "win" else NATIVE_DIR
        cmd = ["ctest", "--test-dir", d, "-R", "^%s$" % re.escape(name), "--output-on-failure",
               "--no-tests=error", "--timeout", str(timeout)]
    else:
        env.update(VR_WIN_DIR=WIN_DIR, VR_NATIVE_DIR=NATIVE_DIR)
        cmd = ["node", "--test", "--test-reporter=tap", os.path.join("tests", "js", name + ".test.mjs")]
    start = time.monotonic()
    code, out = run_owned(cmd, timeout=timeout + 30, env=env)
    seconds = time.monotonic() - start
    if code is None:
        return "timeout", seconds, out
    if "No tests were found" in out or re.search(r"^# tests 0$", out, re.M):
        return "empty", seconds, out
    if re.search(r"\(Timeout\)", out):
        return "timeout", seconds, out
    return ("pass" if code == 0 else "fail"), seconds, out


# --- the check ---------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true", help="list the faults and exit")
    ap.add_argument("--only", help="comma-separated fault ids to run")
    ap.add_argument("--out", help="write the result table as TSV to this file")
    ap.add_argument("--timeout", type=int, default=300, help="seconds per suite run (default 300)")
    ap.add_argument("--faults", default=FAULTS_FILE, help="fault list (default scripts/faults.txt)")
    args = ap.parse_args()

    restore_leftovers()
    faults, problems = parse_faults(args.faults)
    if problems:
        print("fault-check: the fault list has problems:\n  " + "\n  ".join(problems))
        return 2
    for f in faults:
        for s in f.suites:
            try:
                suite_kind(s)
            except ValueError as e:
                print("fault-check: %s: %s" % (f.id, e))
                return 2

    if args.list:
        broken = 0
        for f in faults:
            why = snippet_problem(f)
            broken += why is not None
            print("%-5s %-14s %-36s %s" % (f.id, f.area, f.file, f.what))
            print("      suites: %s%s" % (" ".join(f.suites), "\n      !!! INVALID: " + why if why else ""))
        print("%d faults, %d with a broken snippet" % (len(faults), broken))
        return 1 if broken else 0
    if args.only:
        wanted = [i.strip() for i in args.only.split(",") if i.strip()]
        unknown = [i for i in wanted if i not in {f.id for f in faults}]
        if unknown:
            print("fault-check: unknown fault ids: %s" % ", ".join(unknown))
            return 2
        faults = [f for f in faults if f.id in wanted]

    began = time.monotonic()
    results = {}  # id -> (result, seconds, note)
    runnable = []
    for f in faults:
        why = snippet_problem(f)
        if why:
            results[f.id] = ("invalid", 0.0, why)
        else:
            runnable.append(f)

    suites = []
    for f in runnable:
        suites += [s for s in f.suites if s not in suites]
    wine = Wine()
    interrupted = False
    try:
        configure()
        print("fault-check: building the unmodified tree", flush=True)
        err = build(suites)
        if err:
            sys.exit("fault-check: the unmodified tree does not build:\n" + err)
        if any(needs_wine(s) for s in suites):
            wine.start()
        baseline = {}
        for s in suites:
            verdict, secs, out = run_suite(s, args.timeout, wine)
            baseline[s] = verdict
            print("fault-check: baseline %-28s %-7s %5.0f s" % (s, verdict, secs), flush=True)
            if verdict != "pass":
                print(out[-3000:])

        for n, f in enumerate(runnable, 1):
            start = time.monotonic()
            broken = [s for s in f.suites if baseline[s] != "pass"]
            if broken:
                results[f.id] = ("invalid", 0.0, "suite fails without the fault: " + " ".join(broken))
                continue
            result, note = "missed", ""
            with Applied(f):
                err = build(f.suites)
                if err:
                    result, note = "invalid", "does not compile: " + err.replace("\n", " | ")[:400]
                else:
                    for s in f.suites:
                        verdict, _, out = run_suite(s, args.timeout, wine)
                        if verdict == "pass":
                            continue
                        if verdict == "fail":
                            names = failed_names(out)
                            note = s + ": " + (", ".join(names[:6]) if names else "failed")
                            # A failure must repeat: a test that fails now and
                            # then would otherwise count as a catch.
                            gtest = suite_kind(s)[0] != "node" and names and all("." in n for n in names)
                            again, _, _ = run_suite(s, args.timeout, wine, names if gtest else None)
                            if again == "fail":
                                result = "caught"
                            else:
                                result, note = "flaky", note + " (passed when repeated)"
                        elif verdict == "empty":
                            result, note = "invalid", s + ": no tests found"
                        else:
                            result, note = "timeout", s + ": ran past %d s" % args.timeout
                        break
            secs = time.monotonic() - start
            results[f.id] = (result, secs, note)
            print("fault-check: [%d/%d] %-5s %-8s %4.0f s  %s" % (n, len(runnable), f.id, result, secs, f.what),
                  flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("\nfault-check: interrupted; the file under change was restored")
    finally:
        wine.stop()

    total = time.monotonic() - began
    return report(faults, results, total, args, interrupted)


def report(faults, results, total, args, interrupted):
    rows = []
    for f in faults:
        result, secs, note = results.get(f.id, ("not run", 0.0, ""))
        rows.append((f.id, f.area, result, "%.0f" % secs, " ".join(f.suites), f.what, note))
    print()
    print("%-5s %-8s %s" % ("id", "result", "fault"))
    for r in rows:
        print("%-5s %-8s %s" % (r[0], r[2], r[5]))
    counts = {}
    for r in rows:
        counts[r[2]] = counts.get(r[2], 0) + 1
    valid = counts.get("caught", 0) + counts.get("missed", 0)
    share = 100.0 * counts.get("caught", 0) / valid if valid else 0.0
    print()
    print("caught %d of %d valid faults (%.1f %%); %s; %.0f min" % (
        counts.get("caught", 0), valid, share,
        ", ".join("%s %d" % (k, v) for k, v in sorted(counts.items()) if k not in ("caught", "missed")) or
        "none invalid", total / 60))
    bad = [r for r in rows if r[2] in ("invalid", "timeout", "flaky")]
    if bad:
        print()
        print("!!! %d FAULT(S) DID NOT RUN CLEANLY (invalid, timeout: fix scripts/faults.txt; flaky: a test"
              " failed once and passed when repeated):" % len(bad))
        for r in bad:
            print("!!!   %s %s: %s" % (r[0], r[2], r[6]))
    if args.out:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, stdout=subprocess.PIPE,
                                text=True).stdout.strip()
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        command = " ".join(shlex.quote(a) for a in ["scripts/fault-check.py"] + sys.argv[1:])
        with open(args.out, "w", encoding="utf-8") as out:
            out.write("# %s, commit %s, %s; caught %d of %d valid (%.1f %%), %.0f min\n" % (
                stamp, commit, command, counts.get("caught", 0), valid, share, total / 60))
            out.write("id\tarea\tresult\tseconds\tsuites\tfault\tevidence\n")
            for r in rows:
                out.write("\t".join(c.replace("\t", " ").replace("\n", " ") for c in r) + "\n")
        print("fault-check: table written to %s" % args.out)
    if interrupted:
        return 130
    return 1 if bad else 0


if __name__ == "__main__":
    # A terminal's Ctrl-C and a plain kill both end through the restore.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    sys.exit(main())
