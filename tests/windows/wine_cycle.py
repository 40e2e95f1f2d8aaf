#!/usr/bin/env python3
"""The whole life of the Windows program under wine, against a release server
on 127.0.0.1: two fresh installs that fail with their error message boxes
(read and dismissed by dismiss_error.exe), a fresh install with its progress
window on screen (a screenshot is saved and checked for the green of a
finished step; in the second profile the window is closed mid-download and
the install goes on), then an update check that stages a newer release,
--apply launching it, a second --apply finding nothing, and an unforced check
inside the 24-hour interval; then the shipped exe's --apply with nothing staged, and
a forced check of a build whose release server is on HTTPS (Schannel).
Every launched installer is a stand-in exe that writes "<its path>.ran".

The cycle runs twice: in the prefix's normal profile, and with the roaming
application-data folder moved to a folder whose name is not ASCII, so the
installer path travels from the ANSI code page into the UTF-8 state file and
back.

The state file is read byte for byte from the Linux side: CR LF line ends,
3-space indents, keys in byte order.

Needs an X display (DISPLAY, e.g. Xvfb) for the window. wine's output goes to
files, never through a pipe: wine's background processes keep pipes open.
"""

import argparse
import datetime
import glob
import hashlib
import http.server
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time

GREEN = bytes((0x22, 0x8B, 0x22))
PLAIN_APPDATA = r"%USERPROFILE%\AppData\Roaming"
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class ReleaseServer:
    """manifest.json and installer files below /solvane/ on 127.0.0.1."""

    def __init__(self, port, installer_bytes, tls_context=None):
        self.installer = installer_bytes
        self.manifest = {}
        self.slow = False
        self.download_started = threading.Event()
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server.requests.append(self.path)
                if self.path == "/solvane/manifest.json" and server.manifest is not None:
                    self.reply(json.dumps(server.manifest).encode(), "application/json")
                elif self.path.startswith("/solvane/files/") and self.path.endswith(".exe"):
                    server.download_started.set()
                    self.reply(server.installer, "application/octet-stream", server.slow)
                else:
                    self.reply(b"not found", "text/plain", status=404)

            def reply(self, body, kind, slow=False, status=200):
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if not slow:
                    self.wfile.write(body)
                    return
                # About six seconds in thirty pieces: the window is on screen
                # with the bar moving while the screenshot is taken.
                piece = max(1, len(body) // 30 + 1)
                for at in range(0, len(body), piece):
                    self.wfile.write(body[at:at + piece])
                    self.wfile.flush()
                    time.sleep(0.2)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        if tls_context:
            self.httpd.socket = tls_context.wrap_socket(self.httpd.socket, server_side=True)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        self.base = "%s://127.0.0.1:%d/solvane/" % ("https" if tls_context else "http", port)

    def publish(self, version, notes, digest=None):
        name = "Solvane-%s-setup.exe" % version
        self.manifest = {
            "current": {"stable": {"windows-x64": version, "linux-x64": "9.9.9"}},
            "releases": {
                "windows-x64": {
                    version: {
                        "url": self.base + "files/" + name,
                        "sha256": digest or hashlib.sha256(self.installer).hexdigest(),
                        "notes": notes,
                    }
                }
            },
        }
        return name

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def make_tls_context(work):
    """A server context with a fresh self-signed certificate for 127.0.0.1."""
    key = os.path.join(work, "tls.key")
    cert = os.path.join(work, "tls.crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class Wine:
    def __init__(self, wine_run, prefix, work):
        self.wine_run = wine_run
        self.prefix = os.path.abspath(prefix)
        self.work = work
        self.runs = 0

    def start(self, args):
        """Starts args under wine; finish() collects the result."""
        self.runs += 1
        out_path = os.path.join(self.work, "run%d.out" % self.runs)
        err_path = os.path.join(self.work, "run%d.err" % self.runs)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([self.wine_run, "--prefix", self.prefix] + args,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        return process, args, out_path, err_path

    def finish(self, started, timeout=180):
        """(exit code, stdout, stderr) of a started program."""
        process, args, out_path, err_path = started
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            self.kill_server()
            raise Failure("timed out after %ds: %s" % (timeout, " ".join(args)))
        with open(out_path, "rb") as out, open(err_path, "rb") as err:
            return code, out.read(), err.read()

    def run(self, args, timeout=180):
        """Runs args under wine; returns (exit code, stdout, stderr)."""
        return self.finish(self.start(args), timeout)

    def kill_server(self):
        env = dict(os.environ, WINEPREFIX=self.prefix)
        subprocess.call(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def set_appdata(self, value):
        code, _, err = self.run(["reg", "add", SHELL_FOLDERS, "/v", "AppData", "/t",
                                 "REG_EXPAND_SZ", "/d", value, "/f"])
        check(code == 0, "reg add AppData failed: %r" % err[-500:])

    def c_drive(self):
        return os.path.join(self.prefix, "drive_c")


def wait_for(path, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if os.path.exists(path):
            return True
        time.sleep(0.1)
    return os.path.exists(path)


def expect_crlf_text(raw, what):
    check(raw.count(b"\n") == raw.count(b"\r\n"), "%s has a line end without CR: %r" % (what, raw))
    check(raw.endswith(b"}\r\n"), "%s does not end with a brace and CR LF: %r" % (what, raw))
    return raw.decode("utf-8").replace("\r\n", "\n")


def screenshot_has_window(path):
    """Whether the screenshot holds a finished step's green text."""
    convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"
    raw = subprocess.run([convert, path, "-depth", "8", "rgb:-"], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    green = sum(1 for i in range(0, len(raw) - 2, 3) if raw[i:i + 3] == GREEN)
    return green


class Cycle:
    def __init__(self, wine, server, program, installer, dismiss, label, windows_appdata,
                 unix_appdata):
        self.dismiss = dismiss
        self.wine = wine
        self.server = server
        self.program = program
        self.installer = installer
        self.label = label
        self.windows_appdata = windows_appdata  # as the program spells it, '/' separators
        self.updates = os.path.join(unix_appdata, "Korrinwade", "Solvane", "Updates")
        self.windows_updates = windows_appdata + "/Korrinwade/Solvane/Updates"

    def state_text(self):
        with open(os.path.join(self.updates, "Updates.json"), "rb") as f:
            return expect_crlf_text(f.read(), "%s state file" % self.label)

    def log(self):
        path = os.path.join(self.updates, "SolvaneSetup.log")
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def fresh_install(self, screenshot=None, close_with=None):
        """The fresh install of 0.1.0. With `screenshot`, the window is shot
        mid-download; with `close_with` (close_window.exe), it is closed
        mid-download, which must cancel nothing."""
        name = self.server.publish("0.1.0", "First release.")
        self.server.slow = screenshot is not None or close_with is not None
        self.server.download_started.clear()
        shot = {}

        def take():
            if not self.server.download_started.wait(90):
                return
            # A slow machine may paint late: shoot again while the download
            # (about six seconds) lasts.
            for _ in range(6):
                time.sleep(0.8)
                shot["code"] = subprocess.call(
                    ["import", "-display", os.environ["DISPLAY"], "-window", "root", screenshot],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
                if shot["code"] == 0 and screenshot_has_window(screenshot) >= 20:
                    break

        taker = threading.Thread(target=take, daemon=True) if screenshot else None
        if taker:
            taker.start()
        program = self.wine.start([self.program])
        if close_with:
            check(self.server.download_started.wait(90), "%s: no download" % self.label)
            closed, out, _ = self.wine.run([close_with, "60"], timeout=90)
            check(closed == 0 and b"still_there=1" in out,
                  "%s: closing the window mid-download: %r" % (self.label, out))
        code, _, err = self.wine.finish(program)
        self.server.slow = False
        if taker:
            taker.join(30)
        check(code == 0, "%s: fresh install exit %d, stderr %r, log:\n%s"
              % (self.label, code, err[-800:], self.log()))
        marker = os.path.join(self.updates, name + ".ran")
        check(wait_for(marker, 30), "%s: the fresh install did not start %s" % (self.label, name))
        check(self.state_text() ==
              '{\n   "release_notes": {\n      "notes": "First release.",\n'
              '      "version": "0.1.0"\n   }\n}\n',
              "%s: state after the fresh install:\n%s" % (self.label, self.state_text()))
        check("install: fresh install started" in self.log(), "no install line in the log")
        if screenshot:
            check(shot.get("code") == 0, "screenshot failed")
            green = screenshot_has_window(screenshot)
            check(green >= 20, "screenshot shows no finished (green) step: %d pixels" % green)
            print("screenshot: %s (%d pixels of the done colour)" % (screenshot, green))

    def check_over_tls(self, tls_program, tls_server):
        """An update check of the HTTPS build stages a release fetched through
        Schannel: manifest and installer both arrive over TLS."""
        name = tls_server.publish("0.3.0", "Over TLS.")
        requests = len(tls_server.requests)
        code, _, err = self.wine.run([tls_program, "--check", "0.2.0", "--force"])
        check(code == 0, "TLS --check exit %d %r" % (code, err[-300:]))
        check(len(tls_server.requests) - requests == 2,
              "TLS --check made %r" % tls_server.requests[requests:])
        staged = json.loads(self.state_text()).get("staged", {})
        check(staged.get("version") == "0.3.0" and staged.get("installer", "").endswith(name),
              "nothing staged over TLS:\n%s\nlog:\n%s" % (self.state_text(), self.log()[-1500:]))
        with open(os.path.join(self.updates, name), "rb") as f:
            check(f.read() == tls_server.installer, "the installer fetched over TLS differs")

    def shipped_apply(self, shipped):
        """The shipped exe (real release server) with nothing staged: --apply
        needs no network, logs its line and ends with 1."""
        before = self.log()
        code, _, err = self.wine.run([shipped, "--apply"])
        check(code == 1, "shipped exe: --apply with nothing staged exit %d %r" % (code, err[-300:]))
        added = self.log()[len(before):]
        check("apply: launching staged installer" in added,
              "shipped exe wrote no apply line: %r" % added)

    def failed_install(self, message):
        """A fresh install that must fail with `message` in a message box."""
        program = self.wine.start([self.program])
        code, out, err = self.wine.run([self.dismiss, "90"], timeout=120)
        result, _, _ = self.wine.finish(program)
        shown = dict(line.split("=", 1) for line in out.decode("utf-8").splitlines()
                     if "=" in line)
        check(code == 0, "%s: no message box for %r: %r" % (self.label, message, out))
        check(shown.get("text") == message, "%s: message box said %r, expected %r"
              % (self.label, shown.get("text"), message))
        check(shown.get("owner") == "SolvaneSetupClass",
              "message box not owned by the progress window: %r" % shown)
        # The error icon's red disc covers a good part of its 32 x 32 pixels.
        check(shown.get("icon") == "1" and int(shown.get("red_pixels", "-1")) >= 150,
              "message box without the error icon: %r" % shown)
        check(shown.get("buttons", "").startswith("1 ") and shown.get("buttons").endswith("ok=1"),
              "message box buttons: %r" % shown)
        check(result == 1, "%s: failed install exit %d" % (self.label, result))
        print("message box: %s" % ", ".join("%s=%s" % item for item in sorted(shown.items())))

    def failures(self):
        self.server.manifest = None
        self.failed_install("Could not find a release for this platform.")
        check(not os.path.exists(os.path.join(self.updates, "Updates.json")),
              "a failed manifest fetch wrote the state file")

        name = self.server.publish("0.1.0", "Tampered.", digest="0" * 64)
        self.failed_install("Download failed or verification error.")
        check(not os.path.exists(os.path.join(self.updates, name)),
              "the download that failed verification is still there")
        check(not os.path.exists(os.path.join(self.updates, "Updates.json")),
              "a failed verification wrote the state file")
        check(not os.path.exists(os.path.join(self.updates, name + ".ran")),
              "an unverified installer was started")

    def check_and_apply(self):
        name = self.server.publish("0.2.0", "Second release: faster, \u00e9l\u00e9gant.")
        before = int(time.time())
        # The installed version carries characters beyond ASCII: the command
        # line reaches the program as UTF-16 and must arrive as UTF-8. It
        # still reads as 0.1.0.
        current = "0.1.0+\u00fc\u00e9"
        code, _, err = self.wine.run([self.program, "--check", current])
        after = int(time.time())
        check(code == 0, "%s: --check exit %d %r" % (self.label, code, err[-500:]))
        check("check: current=%s force=0" % current in self.log(),
              "%s: the version argument did not reach the log as UTF-8:\n%s"
              % (self.label, self.log()))
        staged_path = self.windows_updates + "/" + name
        text = self.state_text()
        lines = text.split("\n")
        check(len(lines) == 15 and lines[14] == "", "%s: not 14 lines:\n%s" % (self.label, text))
        pattern = (
            r'\{\n   "last_check": (\d+),\n   "release_notes": \{\n'
            r'      "notes": "First release\.",\n      "version": "0\.1\.0"\n   \},\n'
            r'   "staged": \{\n      "date": "(\d{4}-\d\d-\d\d)",\n'
            r'      "installer": "(.*)",\n'
            r'      "notes": "Second release: faster, \u00e9l\u00e9gant\.",\n'
            r'      "sha256": "([0-9a-f]{64})",\n      "version": "0\.2\.0"\n   \}\n\}\n$')
        match = re.match(pattern, text)
        check(match, "%s: state after --check:\n%s" % (self.label, text))
        check(before - 1 <= int(match.group(1)) <= after + 1, "last_check out of range")
        today = {datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%d")
                 for t in (before, after)}
        check(match.group(2) in today, "staged date %s" % match.group(2))
        check(match.group(3) == staged_path,
              "%s: installer %r, expected %r" % (self.label, match.group(3), staged_path))
        check(match.group(4) == hashlib.sha256(self.server.installer).hexdigest(), "sha256")
        check(os.path.exists(os.path.join(self.updates, name)), "staged file missing")
        check("check: staged 0.2.0" in self.log(), "no staged line in the log")

        # Inside the interval an unforced check does nothing at all.
        requests = len(self.server.requests)
        code, _, _ = self.wine.run([self.program, "--check", "0.1.0"])
        check(code == 0 and self.state_text() == text, "a second check changed the state")
        check(len(self.server.requests) == requests, "a skipped check fetched something")
        check("check: skipped (within 24h interval)" in self.log(), "no skipped line")

        code, _, err = self.wine.run([self.program, "--apply"])
        check(code == 0, "%s: --apply exit %d %r" % (self.label, code, err[-500:]))
        check(wait_for(os.path.join(self.updates, name + ".ran"), 30),
              "%s: --apply did not start %s" % (self.label, name))
        applied = self.state_text()
        expected = ('{\n   "last_check": %s,\n   "release_notes": {\n'
                    '      "notes": "Second release: faster, \u00e9l\u00e9gant.",\n'
                    '      "version": "0.2.0"\n   }\n}\n' % match.group(1))
        check(applied == expected, "%s: state after --apply:\n%s" % (self.label, applied))

        code, _, _ = self.wine.run([self.program, "--apply"])
        check(code == 1, "%s: a second --apply exit %d" % (self.label, code))
        check(self.state_text() == applied, "a second --apply changed the state")

    def damaged_and_stuck_state(self):
        """The state file's faults under Windows: a damaged file is kept aside
        and logged, a last_check years ahead does not hold the check back,
        and a read-only state file stops the check before any download."""
        state = os.path.join(self.updates, "Updates.json")
        self.server.publish("0.3.0", "Third.")
        with open(state, "wb") as f:
            f.write(b'{"last_check": 5,')
        code, _, err = self.wine.run([self.program, "--check", "0.2.0"])
        check(code == 0, "%s: --check with a damaged state exit %d %r" % (self.label, code, err))
        with open(state + ".corrupt", "rb") as f:
            check(f.read() == b'{"last_check": 5,', "the damaged state was not kept aside")
        check("check: state file is not valid JSON; kept aside as Updates.json.corrupt, "
              "starting from an empty state" in self.log(), "no kept-aside line:\n" + self.log())
        check("check: staged 0.3.0" in self.log(), "the check after a damaged state staged nothing")

        # A clock that once ran ten years ahead left its last_check behind.
        with open(state, "wb") as f:
            f.write(b'{"last_check": %d}' % (int(time.time()) + 10 * 365 * 86400))
        before = int(time.time())
        code, _, _ = self.wine.run([self.program, "--check", "0.2.0"])
        check(code == 0 and self.log().rstrip().endswith("check: staged 0.3.0"),
              "a last_check far in the future skipped the check:\n" + self.log()[-600:])
        last = json.loads(self.state_text())["last_check"]
        check(before - 1 <= last <= int(time.time()) + 1, "last_check %d not now" % last)

        # Read-only: the check cannot record anything, so it downloads nothing.
        name = self.server.publish("0.4.0", "Fourth.")
        with open(state, "wb") as f:
            f.write(b'{"last_check": 5}')
        os.chmod(state, 0o444)
        try:
            code, _, _ = self.wine.run([self.program, "--check", "0.2.0"])
            check(code == 0, "--check with a read-only state exit %d" % code)
            check(self.log().rstrip().endswith(
                "check: cannot write the state file; nothing downloaded"),
                "no cannot-write line:\n" + self.log()[-600:])
            check(not os.path.exists(os.path.join(self.updates, name)),
                  "a check that could not record last_check downloaded %s" % name)
            with open(state, "rb") as f:
                check(f.read() == b'{"last_check": 5}', "the read-only state changed")
        finally:
            os.chmod(state, 0o644)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--installer", required=True)
    parser.add_argument("--dismiss", required=True)
    parser.add_argument("--close", required=True)
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--tls-program", required=True)
    parser.add_argument("--tls-port", type=int, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    if not os.environ.get("DISPLAY"):
        print("wine_cycle: needs an X display (run it under Xvfb, see scripts/test-windows.sh)")
        return 1

    with open(args.installer, "rb") as f:
        installer = f.read()
    work = tempfile.mkdtemp(prefix="solvane-wine-cycle-")
    wine = Wine(args.wine_run, args.prefix, work)
    server = ReleaseServer(args.port, installer)
    tls_server = ReleaseServer(args.tls_port, installer, make_tls_context(work))
    passed = failed = 0
    try:
        # The prefix's users: one folder per Unix user name. Any first run
        # makes the prefix.
        code, _, err = wine.run(["reg", "query", SHELL_FOLDERS, "/v", "AppData"])
        check(code == 0, "wine does not run: %r" % err[-500:])
        # Xvfb has no window manager: wine draws the caption (title, icon,
        # close button) itself, so the screenshot shows the whole window.
        code, _, err = wine.run(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                                 "Decorated", "/t", "REG_SZ", "/d", "N", "/f"])
        check(code == 0, "reg add Decorated failed: %r" % err[-500:])
        users = [d for d in glob.glob(os.path.join(wine.c_drive(), "users", "*"))
                 if os.path.basename(d) != "Public"]
        check(len(users) == 1, "cannot tell the prefix's user folder: %r" % users)
        user = os.path.basename(users[0])
        plain_unix = os.path.join(users[0], "AppData", "Roaming")
        odd_name = "J\u00f6rg M\u00fcller"
        odd_unix = os.path.join(wine.c_drive(), "users", "Public", odd_name, "AppData")

        profiles = [
            ("plain profile", None, "C:/users/%s/AppData/Roaming" % user, plain_unix),
            ("non-ASCII profile", "C:\\users\\Public\\%s\\AppData" % odd_name,
             "C:/users/Public/%s/AppData" % odd_name, odd_unix),
        ]
        for index, (label, registry, windows_appdata, unix_appdata) in enumerate(profiles):
            shutil.rmtree(os.path.join(unix_appdata, "Korrinwade"), ignore_errors=True)
            os.makedirs(unix_appdata, exist_ok=True)
            try:
                wine.set_appdata(registry or PLAIN_APPDATA)
                cycle = Cycle(wine, server, args.program, args.installer, args.dismiss, label,
                              windows_appdata, unix_appdata)
                if index == 0:
                    cycle.failures()
                if index == 0:
                    cycle.fresh_install(screenshot=args.screenshot)
                else:
                    cycle.fresh_install(close_with=args.close)
                cycle.check_and_apply()
                if index == 0:
                    cycle.shipped_apply(args.shipped)
                    cycle.check_over_tls(args.tls_program, tls_server)
                    cycle.damaged_and_stuck_state()
                print("ok: %s (%s)" % (label, cycle.windows_updates))
                passed += 1
            except Failure as failure:
                print("FAILED: %s: %s" % (label, failure))
                failed += 1
            finally:
                if registry:
                    wine.set_appdata(PLAIN_APPDATA)
    except Failure as failure:
        print("FAILED: set-up: %s" % failure)
        failed += 1
    finally:
        server.close()
        tls_server.close()
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
