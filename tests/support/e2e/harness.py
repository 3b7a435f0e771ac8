"""Machinery of the end-to-end tests: Wine processes, a loopback patch
server with fault injection, the fake runtime's control channel, and a
launcher folder with the real Veltrune.exe in it.

Every wait is bounded; every process started here is stopped here, by its
own process id. Wine programs never get a pipe as stdout: the prefix's
services may outlive them and would hold the pipe open, so output goes to
files.
"""

import argparse
import http.server
import json
import os
import random
import shutil
import socket
import subprocess
import threading
import time
import traceback
import urllib.parse

UI_PAGE = "https://veltrune-ui.example/index.html"


class Failure(Exception):
    """A scenario's expectation did not hold."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}: expected {expected!r}, got {actual!r}")


def wait_until(predicate, timeout, what, step=0.05):
    """Polls predicate until it returns something true; fails after timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(step)


def same_path(a, b):
    """Whether two Windows paths name the same file (case and slashes aside)."""
    return a.replace("/", "\\").lower() == b.replace("/", "\\").lower()


def win_path(path):
    """A Linux path as Wine's Z: drive sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    """Runs Windows programs in one prefix (the environment's WINEPREFIX
    unless another is given) and one display (DISPLAY)."""

    def __init__(self, prefix=None):
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        self.env.setdefault("WINEARCH", "win64")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d")
        if prefix:
            self.env["WINEPREFIX"] = prefix
            marker = os.path.join(prefix, ".vr-ready")  # a prefix of our own, created once
            if not os.path.exists(marker):
                shutil.rmtree(prefix, ignore_errors=True)
                os.makedirs(prefix)
                self.command(["wineboot", "-i"], timeout=400)
                self.command(["wineserver", "-w"], timeout=120)
                open(marker, "w").close()
        self.prefix = self.env.get("WINEPREFIX") or os.path.expanduser("~/.wine")

    def run(self, args, out_path, timeout=120, env=None, cwd=None):
        """Runs a program to its end; returns (exit code, its stdout text)."""
        full_env = dict(self.env)
        full_env.update(env or {})
        with open(out_path, "wb") as out, open(out_path + ".err", "wb") as err:
            try:
                rc = subprocess.run(["wine"] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=full_env, cwd=cwd, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise Failure(f"{os.path.basename(args[0])} did not end within {timeout} s")
        with open(out_path, "rb") as f:
            return rc, f.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def start(self, args, out_path, env=None, cwd=None):
        full_env = dict(self.env)
        full_env.update(env or {})
        out = open(out_path, "wb")
        try:
            return subprocess.Popen(["wine"] + list(args), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=full_env, cwd=cwd)
        finally:
            out.close()

    def command(self, args, timeout=120):
        """A Wine tool (reg, wineboot, wineserver) whose output is not needed."""
        try:
            return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=self.env, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            raise Failure(f"{' '.join(args[:3])} did not end within {timeout} s")

    def set_dpi(self, dpi):
        """Gives the prefix another DPI; its server and services read the DPI
        when they start, so they are stopped first."""
        self.command(["wineserver", "-k"], timeout=60)
        self.command(["wineserver", "-w"], timeout=60)
        check_equal(self.command(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                                  "REG_DWORD", "/d", str(dpi), "/f"], timeout=120), 0, "reg add LogPixels")
        self.command(["wineserver", "-w"], timeout=120)

    def roaming_folder(self):
        """The prefix's roaming application-data folder (CSIDL_APPDATA)."""
        users = os.path.join(self.prefix, "drive_c", "users")
        user = os.environ.get("USER") or "root"
        if not os.path.isdir(os.path.join(users, user)):
            candidates = [u for u in os.listdir(users) if u.lower() not in ("public",)]
            user = candidates[0]
        return os.path.join(users, user, "AppData", "Roaming")


def parse_probe(text):
    values = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            values[key] = value.replace("\\n", "\n").replace("\\r", "\r").replace("\\\\", "\\")
    return values


class Probe:
    """e2e_probe.exe: windows, message boxes and resources of Veltrune.exe."""

    def __init__(self, wine, exe, work):
        self.wine, self.exe, self.work = wine, exe, work
        self.count = 0

    def __call__(self, command, target, timeout_ms=None):
        self.count += 1
        args = [self.exe, command, target] + ([str(timeout_ms)] if timeout_ms is not None else [])
        seconds = 60 + (timeout_ms or 0) / 1000
        rc, out = self.wine.run(args, os.path.join(self.work, f"probe-{self.count}.txt"), timeout=seconds)
        values = parse_probe(out)
        values["rc"] = rc
        return values


class PatchServer:
    """A loopback HTTP server for one folder; a path's first GET may stall
    in the middle of the body until released."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.requests = []
        self.stalls = {}
        self.lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def do_GET(self):
                path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
                with server.lock:
                    server.requests.append(path)
                    stall = server.stalls.get(path)
                local = os.path.normpath(os.path.join(server.root, path.lstrip("/")))
                if not local.startswith(server.root + os.sep) or not os.path.isfile(local):
                    self.send_error(404)
                    return
                with open(local, "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                try:
                    if stall and stall.get("armed", True):
                        stall["armed"] = False
                        self.wfile.write(body[:stall["after"]])
                        self.wfile.flush()
                        stall["started"].set()
                        stall["release"].wait(120)
                        self.wfile.write(body[stall["after"]:])
                    else:
                        self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def stall(self, path, after):
        """The first GET of path sends `after` body bytes, then waits."""
        entry = {"after": after, "started": threading.Event(), "release": threading.Event(), "armed": True}
        with self.lock:
            self.stalls[path] = entry
        return entry

    def stop(self):
        with self.lock:
            for entry in self.stalls.values():
                entry["release"].set()
        self.httpd.shutdown()
        self.httpd.server_close()


class Control:
    """Client of the fake runtime's line protocol inside one Veltrune.exe."""

    LIST_COMMANDS = ("VIEWS",)

    def __init__(self, port_file, process, timeout=90):
        def port():
            if process.poll() is not None:
                raise Failure(f"Veltrune.exe ended (exit {process.returncode}) before its runtime started")
            try:
                with open(port_file) as f:
                    text = f.read().strip()
                return int(text) if text else None
            except (OSError, ValueError):
                return None

        number = wait_until(port, timeout, "the fake runtime's control port")
        self.sock = socket.create_connection(("127.0.0.1", number), timeout=60)
        self.reader = self.sock.makefile("rb")
        check_equal(self.request("PING"), "OK", "PING")

    def request(self, line, list_reply=None):
        self.sock.sendall(line.encode("utf-8") + b"\n")
        reply = self._line()
        if list_reply is None:
            list_reply = line.split(" ", 1)[0] in self.LIST_COMMANDS
        if list_reply and reply.startswith("OK "):
            return [self._unescape(self._line()) for _ in range(int(reply[3:]))]
        return reply

    def _line(self):
        raw = self.reader.readline()
        if not raw:
            raise Failure("the fake runtime closed its control channel")
        return raw.decode("utf-8", "replace").rstrip("\n")

    @staticmethod
    def _unescape(text):
        out, i = [], 0
        while i < len(text):
            if text[i] == "\\" and i + 1 < len(text):
                i += 1
                out.append({"n": "\n", "r": "\r"}.get(text[i], text[i]))
            else:
                out.append(text[i])
            i += 1
        return "".join(out)

    def wait_views(self, n, timeout_ms=60000):
        reply = self.request(f"WAITVIEWS {n} {timeout_ms}")
        check(reply.startswith("OK"), f"{n} browser views did not appear: {reply}")

    def message(self, source, payload, view=0):
        text = payload if isinstance(payload, str) else json.dumps(payload, separators=(",", ":"))
        reply = self.request(f"MESSAGE {view} {source} {text}")
        check(reply.startswith("OK"), f"MESSAGE refused: {reply}")
        return reply

    def posted(self, timeout_ms, view=0):
        """The next event the launcher posted to the page, parsed; None on timeout."""
        reply = self.request(f"POSTED {view} {timeout_ms}")
        if reply.startswith("OK "):
            return json.loads(reply[3:])
        check(reply == "ERR timeout", f"POSTED: {reply}")
        return None

    def views(self):
        result = []
        for line in self.request("VIEWS"):
            fields = dict(part.split("=", 1) for part in line.split(" ")[1:] if "=" in part)
            result.append(fields)
        return result

    def close(self):
        try:
            self.reader.close()
            self.sock.close()
        except OSError:
            pass


class Launcher:
    """A launcher folder (which is also the game folder) with the real
    Veltrune.exe, the page files, the fake client and updater under
    their configured names, and a Veltrune.ini."""

    def __init__(self, ctx, name, ini):
        self.ctx = ctx
        self.folder = os.path.join(ctx.work, name)
        if os.path.exists(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, "Veltrune.exe")
        shutil.copy2(ctx.veltrune, self.exe)
        shutil.copytree(ctx.web, os.path.join(self.folder, "web"))
        shutil.copy2(ctx.fake_process, os.path.join(self.folder, "quorvane.exe"))
        shutil.copy2(ctx.fake_process, os.path.join(self.folder, "updater.exe"))
        lines = []
        for section, values in ini.items():
            lines.append(f"[{section}]")
            lines += [f"{k}={v}" for k, v in values.items()]
        with open(os.path.join(self.folder, "Veltrune.ini"), "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        self.record = os.path.join(self.folder, "starts.txt")
        self.port_file = os.path.join(self.folder, "control-port.txt")
        self.process = None
        self.control = None
        self.runs = 0

    @property
    def win_exe(self):
        return win_path(self.exe)

    def start(self, runtime=None, wine=None, connect=True, extra_env=None):
        self.runs += 1
        wine = wine or self.ctx.wine
        if os.path.exists(self.port_file):
            os.remove(self.port_file)
        env = {
            "WEBVIEW2_BROWSER_EXECUTABLE_FOLDER": win_path(runtime or self.ctx.runtime),
            "VR_FAKE_WEBVIEW2_PORT": "0",
            "VR_FAKE_WEBVIEW2_PORT_FILE": win_path(self.port_file),
            "VR_FAKE_RECORD": win_path(self.record),
        }
        env.update(extra_env or {})
        self.process = wine.start([self.exe], os.path.join(self.ctx.work, f"{os.path.basename(self.folder)}-wine-{self.runs}.txt"),
                                  env=env, cwd=self.folder)
        if connect:
            self.control = Control(self.port_file, self.process)
        return self.process

    def wait_exit(self, timeout=90):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"Veltrune.exe still runs {timeout} s after it should have ended")

    def stop(self):
        """Clean-up after a failed scenario: ends our own process."""
        if self.control:
            self.control.close()
            self.control = None
        if self.process and self.process.poll() is None:
            self.process.kill()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                pass

    def last_line(self):
        return (self.log_lines() or [None])[-1]

    def log_lines(self):
        """Messages of Veltrune.log without their time stamps."""
        try:
            with open(os.path.join(self.folder, "Veltrune.log"), "rb") as f:
                data = f.read().decode("utf-8", "replace")
        except OSError:
            return []
        return [line[13:] for line in data.split("\r\n") if line]

    def wait_log(self, text, timeout=60):
        return wait_until(lambda: text in self.log_lines(), timeout, f"log line {text!r}")

    def starts(self):
        """The fake client and updater starts: dicts of pid, cwd, flags, show, cmd."""
        try:
            with open(self.record, "rb") as f:
                data = f.read().decode("utf-8")
        except OSError:
            return []
        starts = []
        for line in data.split("\r\n"):
            if not line:
                continue
            head, _, cmd = line.partition("\tcmd=")
            entry = dict(part.split("=", 1) for part in head.split("\t"))
            entry["cmd"] = cmd
            starts.append(entry)
        return starts

    def events_until(self, stop, timeout=120, seen=None):
        """Collects posted events (into seen, when given) until stop(event)
        holds; returns them all."""
        events = [] if seen is None else seen
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                names = [e.get("evt") for e in events]
                raise Failure(f"no matching event within {timeout} s; got {names[-20:]}")
            event = self.control.posted(int(min(left, 10) * 1000))
            if event is None:
                if self.process.poll() is not None:
                    raise Failure(f"Veltrune.exe ended (exit {self.process.returncode}) while events were awaited")
                continue
            events.append(event)
            if stop(event):
                return events


def make_game(folder, seed):
    """A small game folder: nested folders, a blank and non-ASCII letters in
    names, one file big enough to stall in, fixed past modification times."""
    rng = random.Random(seed)
    files = {
        "readme.txt": b"Quorvane test build\r\n",
        "data/level 1.dat": rng.randbytes(200_000),
        "data/maps/deep.bin": rng.randbytes(1_200_000),
        "data/Lieder/\u00dcberfahrt nach Nordheim.ogg": rng.randbytes(5_000),
    }
    if os.path.exists(folder):
        shutil.rmtree(folder)
    for i, (rel, body) in enumerate(sorted(files.items())):
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
        os.utime(path, (1_700_000_000 + 86_400 * (i + 1),) * 2)
    return files


def ini_for(server_urls, patcher_url=UI_PAGE):
    return {
        "patch": {"serverUrl": server_urls[0], "mirrors": "|".join(server_urls), "patchVersion": 29},
        "game": {"newsUrl": "https://news.veltrune.example/news.php",
                 "rankingUrl": "https://news.veltrune.example/rankings.php"},
        "ui": {"patcherUrl": patcher_url},
        "discord": {"guildId": ""},  # no widget fetch: tests talk to 127.0.0.1 only
    }


class Context:
    """The built parts named on the command line, a Wine and a probe."""

    def __init__(self, args):
        for name in ("veltrune", "runtime", "fake_process", "web", "publish_native", "publish_win", "dpi_prefix"):
            setattr(self, name, getattr(args, name))
        self.work = os.path.abspath(args.work)
        os.makedirs(self.work, exist_ok=True)
        self.wine = Wine()
        self.probe = Probe(self.wine, args.probe, self.work)

    def serve_game(self, name, version=29, launcher=None):
        """A small game published into work/name/served/Patch and served."""
        base = os.path.join(self.work, name)
        make_game(os.path.join(base, "game-src"), seed=len(name))
        self.publish(os.path.join(base, "game-src"), os.path.join(base, "served", "Patch"), version, launcher)
        return PatchServer(os.path.join(base, "served"))

    def publish(self, game, out, version, launcher=None):
        """Publishes a game folder with veltrune-publish: the native build
        when there is one, else the Windows build under Wine."""
        native = self.publish_native and os.access(self.publish_native, os.X_OK)
        path = (lambda p: p) if native else win_path
        args = ["--game", path(game), "--out", path(out), "--version", str(version), "--jobs", "2"]
        args += ["--launcher", path(launcher)] if launcher else []
        if native:
            done = subprocess.run([self.publish_native] + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            rc, text = done.returncode, (done.stdout + done.stderr).decode("utf-8", "replace")
        else:
            rc, text = self.wine.run([self.publish_win] + args, os.path.join(self.work, "publish.txt"), timeout=120)
        check(rc == 0, f"veltrune-publish failed ({rc}): {text}")


def run_groups(groups):
    """The command line of e2e.py: runs one group's scenarios, one line each."""
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=sorted(groups))
    for name in ("veltrune", "runtime", "fake-process", "probe", "publish-native", "publish-win", "web", "work"):
        parser.add_argument("--" + name, required=name != "publish-native")
    parser.add_argument("--dpi-prefix")
    parser.add_argument("--only", help="run only the scenario of this name")
    args = parser.parse_args()
    args.work = os.path.join(args.work, args.group)  # groups may run one after another in one tree
    ctx = Context(args)
    passed = failed = 0
    for scenario in groups[args.group]:
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
