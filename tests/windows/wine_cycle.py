#!/usr/bin/env python3
"""The whole life of the Windows program under wine, against a release server
on 127.0.0.1: two fresh installs that fail with their error message boxes
(read and dismissed by dismiss_error.exe), a fresh install with its progress
window on screen (a screenshot is saved and checked for the green of a
finished step; in the second profile the window is closed mid-download and
the install goes on), then an update check that stages a newer release,
two --apply at once launching it once, a second --apply finding nothing, and an unforced check
inside the 24-hour interval; then the shipped exe's --apply with nothing staged, and
a forced check of a build whose release server is on HTTPS (Schannel).
Every launched installer is a stand-in exe that writes "<its path>.ran".

The build with release keys then refuses a tampered manifest in the fresh
install, stages a signed one and refuses an older serial after it. Last, the
manifest's release control: a channel, a withdrawal and a rollout; and a
delta update from the installer started last, with a damaged patch falling
back to the full download; four machine policies through the registry. Then
the build with root keys follows a key
rotation and refuses the replaced key's manifest.

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
import base64
import datetime
import glob
import gzip
import hashlib
import http.client
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

GREEN = bytes((0x22, 0x8B, 0x22))
PLAIN_APPDATA = r"%USERPROFILE%\AppData\Roaming"
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
POLICY_KEY = r"\SOFTWARE\Policies\Korrinwade\Solvane"
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "HTTP_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")
# The flags of the connection settings value.
DIRECT, NAMED_PROXY, AUTO_CONFIG_URL = 1, 2, 4


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# The validator of the one installer file the server has.
ETAG = '"wine-installer-1"'


class ReleaseServer:
    """manifest.json and installer files below /solvane/ on 127.0.0.1."""

    def __init__(self, port, installer_bytes, tls_context=None):
        self.installer = installer_bytes
        self.manifest = {}
        self.manifest_bytes = None  # served as they are instead of `manifest`
        self.signature = None  # manifest.json.minisig; None answers 404
        self.slow = False
        self.slow_seconds = 6  # how long a slow reply takes
        self.download_started = threading.Event()
        self.requests = []
        # Resume: the next installer response is cut after this share of the
        # file; Range and If-Range are answered against one ETag, and the
        # installer body bytes sent are counted.
        self.cut_at = None
        self.ranges = []
        self.installer_bytes_sent = 0
        # The manifest and its signature: answered 304 to a request naming
        # their ETag (`conditional`), gzip-encoded when asked (`gzip`), or
        # refused with 429 and this Retry-After (`busy`).
        self.conditional = False
        self.gzip = False
        self.busy = None
        self.if_none_match = {}
        self.files = {}  # path -> bytes, served as they are
        self.etag = ETAG  # the ETag of every answer but the resumable installer's
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server.requests.append(self.path)
                if self.path.startswith("/solvane/manifest.json"):
                    server.if_none_match[self.path] = self.headers.get("If-None-Match", "")
                    if server.busy and self.path == "/solvane/manifest.json":
                        self.send_response(429)
                        self.send_header("Retry-After", server.busy)
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    if server.conditional and self.headers.get("If-None-Match") == ETAG:
                        self.send_response(304)
                        self.send_header("ETag", ETAG)
                        self.end_headers()
                        return
                if self.path in server.files:
                    self.reply(server.files[self.path], "application/octet-stream")
                elif self.path == "/solvane/manifest.json" and server.manifest_bytes is not None:
                    self.reply(server.manifest_bytes, "application/json")
                elif self.path == "/solvane/manifest.json" and server.manifest is not None:
                    self.reply(json.dumps(server.manifest).encode(), "application/json")
                elif self.path == "/solvane/manifest.json.minisig" and server.signature:
                    self.reply(server.signature, "text/plain")
                elif self.path.startswith("/solvane/files/") and self.path.endswith(".exe"):
                    server.download_started.set()
                    self.installer_reply()
                else:
                    self.reply(b"not found", "text/plain", status=404)

            def installer_reply(self):
                body = server.installer
                ranged = self.headers.get("Range", "")
                server.ranges.append((ranged, self.headers.get("If-Range", "")))
                start = 0
                match = re.fullmatch(r"bytes=(\d+)-", ranged)
                if match and self.headers.get("If-Range") == ETAG and int(match.group(1)) < len(body):
                    start = int(match.group(1))
                cut, server.cut_at = server.cut_at, None
                if cut is None and start == 0:
                    server.installer_bytes_sent += len(body)
                    self.reply(body, "application/octet-stream", server.slow)
                    return
                self.send_response(206 if start else 200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("ETag", ETAG)
                self.send_header("Content-Length", str(len(body) - start))
                if start:
                    self.send_header("Content-Range",
                                     "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
                self.end_headers()
                end = len(body) if cut is None else int(len(body) * cut)
                self.wfile.write(body[start:end])
                self.wfile.flush()
                server.installer_bytes_sent += end - start
                if cut is not None:
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)

            def reply(self, body, kind, slow=False, status=200):
                self.send_response(status)
                if (server.gzip and self.path == "/solvane/manifest.json"
                        and "gzip" in self.headers.get("Accept-Encoding", "")):
                    body = gzip.compress(body)
                    self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Type", kind)
                self.send_header("ETag", server.etag)
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
                    time.sleep(server.slow_seconds / 30)

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
                        "size": len(self.installer),
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

    def start(self, args, env=None):
        """Starts args under wine, with `env` added to the environment;
        finish() collects the result."""
        self.runs += 1
        out_path = os.path.join(self.work, "run%d.out" % self.runs)
        err_path = os.path.join(self.work, "run%d.err" % self.runs)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([self.wine_run, "--prefix", self.prefix] + args,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       env=self.environment(env))
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

    def run(self, args, timeout=180, env=None):
        """Runs args under wine; returns (exit code, stdout, stderr)."""
        return self.finish(self.start(args, env), timeout)

    @staticmethod
    def environment(extra):
        """The test's environment without proxy variables, plus `extra`."""
        env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
        env.update(extra or {})
        return env

    def set_connection_settings(self, flags, proxy="", bypass="", pac=""):
        """Writes the user's proxy settings the way Windows keeps them: the
        binary DefaultConnectionSettings value that WinHTTP reads."""
        data = struct.pack("<III", 0x46, 1, flags)
        for text in (proxy, bypass, pac):
            raw = text.encode("ascii")
            data += struct.pack("<I", len(raw)) + raw
        data += bytes(32)
        code, _, err = self.run(["reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings",
                                 "/t", "REG_BINARY", "/d", data.hex(), "/f"])
        check(code == 0, "reg add DefaultConnectionSettings failed: %r" % err[-500:])

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

    def raw_state_text(self):
        with open(os.path.join(self.updates, "Updates.json"), "rb") as f:
            return expect_crlf_text(f.read(), "%s state file" % self.label)

    def state_text(self):
        """The state file's text without its "launched" notes and its "base",
        which the program keeps so that a later run removes launched
        installers or patches the last one, and without the installation's
        random rollout draw."""
        text = re.sub(r'   "launched": \[\n(?:      .*\n)*   \],\n', "", self.raw_state_text())
        text = re.sub(r'   "base": \{\n(?:      .*\n)*   \},\n', "", text)
        text = re.sub(r'   "rollout_draw": \d+,\n', "", text)
        return re.sub(r',\n   "rollout_draw": \d+\n', "\n", text)

    def launched(self):
        return [entry["installer"] for entry in
                json.loads(self.raw_state_text()).get("launched", [])]

    def base(self):
        return json.loads(self.raw_state_text()).get("base", {})

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

    def resume(self):
        """A check cut at 40 % keeps its bytes and records them; the next check
        asks for the rest only, with If-Range, and stages the joined file. The
        release is newer than the signed step's, so the check wants it."""
        name = self.server.publish("0.5.0", "Resumed.")
        size = len(self.server.installer)
        held = int(size * 0.4)
        self.server.cut_at = 0.4
        code, _, err = self.wine.run([self.program, "--check", "0.3.0", "--force"])
        check(code == 0, "cut --check exit %d %r" % (code, err[-300:]))
        partial = os.path.join(self.updates, name + ".partial")
        check(os.path.exists(partial) and os.path.getsize(partial) == held,
              "the cut download was not kept:\n%s" % self.log()[-800:])
        record = json.loads(self.state_text()).get("partial", {})
        check(record.get("bytes") == held and record.get("validator") == ETAG
              and record.get("file") == self.windows_updates + "/" + name + ".partial",
              "partial record: %r" % record)
        sent = self.server.installer_bytes_sent
        code, _, err = self.wine.run([self.program, "--check", "0.3.0", "--force"])
        check(code == 0, "resumed --check exit %d %r" % (code, err[-300:]))
        check(self.server.ranges[-1] == ("bytes=%d-" % held, ETAG),
              "the resumed check asked %r" % (self.server.ranges[-1],))
        check(self.server.installer_bytes_sent - sent == size - held,
              "the resumed check took %d bytes, not the %d left"
              % (self.server.installer_bytes_sent - sent, size - held))
        state = json.loads(self.state_text())
        check(state.get("staged", {}).get("version") == "0.5.0" and "partial" not in state,
              "not staged after the resume:\n%s" % self.state_text())
        with open(os.path.join(self.updates, name), "rb") as f:
            check(f.read() == self.server.installer, "the resumed installer differs")
        check(not os.path.exists(partial), "the partial file is still there")

    def shipped_apply(self, shipped):
        """The shipped exe (real release server) with nothing staged: --apply
        needs no network, logs its line and ends with 1."""
        before = self.log()
        code, _, err = self.wine.run([shipped, "--apply"])
        check(code == 1, "shipped exe: --apply with nothing staged exit %d %r" % (code, err[-300:]))
        added = self.log()[len(before):]
        check("apply: launching staged installer" in added,
              "shipped exe wrote no apply line: %r" % added)

    def failed_install(self, message, program_path=None):
        """A fresh install that must fail with `message` in a message box."""
        program = self.wine.start([program_path or self.program])
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
        # The step's fixed sentence, then why in a second one.
        self.server.manifest = None
        self.failed_install("Could not find a release for this platform. "
                            "The server answered with an error (HTTP 404).")
        check(not os.path.exists(os.path.join(self.updates, "Updates.json")),
              "a failed manifest fetch wrote the state file")

        name = self.server.publish("0.1.0", "Tampered.", digest="0" * 64)
        self.failed_install("Download failed or verification error. "
                            "The download does not match the published release.")
        check(not os.path.exists(os.path.join(self.updates, name)),
              "the download that failed verification is still there")
        check(not os.path.exists(os.path.join(self.updates, "Updates.json")),
              "a failed verification wrote the state file")
        check(not os.path.exists(os.path.join(self.updates, name + ".ran")),
              "an unverified installer was started")

        # Wine reports an old Windows to RtlGetVersion (6.1.7601 in a fresh
        # prefix); no Windows is 99.
        self.server.publish("0.1.0", "Too new.")
        self.server.manifest["releases"]["windows-x64"]["0.1.0"]["min_os"] = "99.0"
        self.failed_install("Could not find a release for this platform. "
                            "It needs Windows 99.0 or later.")

    def minisign(self, minisign, keys, key, name, text):
        """Debian's minisign's signature of `text` with test key `key`, the
        file signed being called `name`."""
        path = os.path.join(self.wine.work, name)
        with open(path, "wb") as f:
            f.write(text)
        subprocess.run([minisign, "-S", "-s", os.path.join(keys, key), "-m", path], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        with open(path + ".minisig", "rb") as f:
            return f.read()

    def publish_signed(self, minisign, keys, serial, key):
        """Release 0.4.0 in a manifest with `serial`, signed with test key `key`."""
        name = self.server.publish("0.4.0", "Signed release.")
        self.server.manifest["serial"] = serial
        expires = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=30)
        self.server.manifest["expires"] = expires.strftime("%Y-%m-%dT%H:%M:%SZ")
        text = json.dumps(self.server.manifest, indent=2).encode()
        self.server.signature = self.minisign(minisign, keys, key, "manifest.json", text)
        self.server.manifest_bytes = text
        return name

    def signed(self, signed_program, minisign, keys):
        """The build with release keys: a tampered manifest makes the fresh
        install show the no-release message; a signed one is staged and its
        serial recorded; a genuinely signed older serial is then refused."""
        def publish(serial, key):
            return self.publish_signed(minisign, keys, serial, key)

        try:
            name = publish(7, "release-1.key")
            self.server.manifest_bytes = self.server.manifest_bytes.replace(b"Signed", b"signed")
            self.failed_install("Could not find a release for this platform. "
                                "The release's signature is not valid.", signed_program)
            check("install: manifest rejected: bad signature" in self.log(),
                  "%s: no rejection line:\n%s" % (self.label, self.log()))
            check(not os.path.exists(os.path.join(self.updates, name)),
                  "a refused manifest's installer was downloaded")

            # What the build without keys stages without a digest, the build
            # with keys neither starts nor keeps.
            self.server.manifest_bytes = self.server.signature = None
            del self.server.manifest["releases"]["windows-x64"]["0.4.0"]["sha256"]
            code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
            check(code == 0 and self.log().rstrip().endswith("check: staged 0.4.0"),
                  "%s: unsigned 0.4.0 not staged:\n%s" % (self.label, self.log()[-600:]))
            code, _, _ = self.wine.run([signed_program, "--apply"])
            check(code == 1 and self.log().rstrip().endswith(
                "apply: staged 0.4.0 has no digest; not started"),
                "%s: signed --apply of an undigested record:\n%s" % (self.label, self.log()[-600:]))
            check(not os.path.exists(os.path.join(self.updates, name + ".ran")),
                  "the signed build started what the unsigned build staged")

            publish(7, "release-2.key")
            code, _, err = self.wine.run([signed_program, "--check", "0.2.0", "--force"])
            check("check: staged 0.4.0 is not the signed release, dropped" in self.log(),
                  "%s: the unsigned record was kept:\n%s" % (self.label, self.log()[-800:]))
            check(code == 0, "%s: signed --check exit %d %r" % (self.label, code, err[-500:]))
            check(self.log().rstrip().endswith("check: staged 0.4.0"),
                  "%s: signed manifest not staged:\n%s" % (self.label, self.log()))
            state = json.loads(self.state_text())
            check(state.get("manifest_serial") == 7, "manifest_serial not recorded: %r" % state)
            self.kind_to_the_server(signed_program)

            publish(6, "release-1.key")
            code, _, _ = self.wine.run([signed_program, "--check", "0.2.0", "--force"])
            check(self.log().rstrip().endswith("check: manifest rejected: older than serial 7"),
                  "%s: older serial not refused:\n%s" % (self.label, self.log()))
            after = json.loads(self.state_text())
            check(after["staged"] == state["staged"] and after["manifest_serial"] == 7,
                  "a refused manifest changed the state: %r" % after)

            # A state file set aside as damaged keeps the serial in Trust.json.
            # The state comes back afterwards: the later steps build on it.
            with open(os.path.join(self.updates, "Updates.json"), "rb") as f:
                kept = f.read()
            with open(os.path.join(self.updates, "Updates.json"), "wb") as f:
                f.write(b'{"manifest_serial": 7, "x": "\x01 cut')
            code, _, _ = self.wine.run([signed_program, "--check", "0.2.0", "--force"])
            check(code == 0 and "check: state file is not valid JSON" in self.log() and
                  self.log().rstrip().endswith("check: manifest rejected: older than serial 7"),
                  "%s: the serial did not survive a damaged state file:\n%s" %
                  (self.label, self.log()[-800:]))
            check(json.loads(self.state_text()).get("manifest_serial") == 7,
                  "the serial was not restored: %s" % self.state_text())
            with open(os.path.join(self.updates, "Updates.json"), "wb") as f:
                f.write(kept)
        finally:
            self.server.manifest_bytes = None
            self.server.signature = None

    def release_entry(self, version, **members):
        """A release entry of the test installer for `version`, with `members`."""
        members.update({"url": self.server.base + "files/Solvane-%s-setup.exe" % version,
                        "sha256": hashlib.sha256(self.server.installer).hexdigest(),
                        "size": len(self.server.installer)})
        return members

    def check_log(self, installed, *more):
        """Runs --check as `installed` with `more` options; the lines it logged."""
        before = len(self.log())
        code, _, err = self.wine.run([self.program, "--check", installed] + list(more))
        check(code == 0, "%s: --check exit %d %r" % (self.label, code, err[-500:]))
        return self.log()[before:]

    def release_control(self):
        """The manifest's release control: a channel check takes the beta
        release, withdrawing it takes the staged installer back so that
        --apply starts nothing, and a client outside a rollout downloads
        nothing."""
        entry = self.release_entry

        def run_check(installed, *more):
            return self.check_log(installed, "--force", *more)

        current = {"stable": {"windows-x64": "3.0.0"}, "beta": {"windows-x64": "3.1.0"}}
        releases = {"3.0.0": entry("3.0.0"), "3.1.0": entry("3.1.0", channel="beta")}
        self.server.manifest = {"current": current, "releases": {"windows-x64": releases}}
        log = run_check("0.5.0", "--channel", "beta")
        check("check: staged 3.1.0" in log, "%s: beta not staged:\n%s" % (self.label, log))
        staged = os.path.join(self.updates, "Solvane-3.1.0-setup.exe")
        check(os.path.exists(staged), "%s: no staged beta installer" % self.label)
        draw = json.loads(self.raw_state_text()).get("rollout_draw")
        check(isinstance(draw, int) and 0 <= draw < 2 ** 32, "rollout_draw %r" % draw)

        releases["3.1.0"]["withdrawn"] = True
        log = run_check("3.0.0", "--channel", "beta")
        check("check: staged 3.1.0 withdrawn" in log,
              "%s: withdrawal not logged:\n%s" % (self.label, log))
        check(not os.path.exists(staged), "%s: the withdrawn installer was left" % self.label)
        check("staged" not in json.loads(self.state_text()), "staged record left behind")
        self.wine.run([self.program, "--apply"])
        check(not os.path.exists(staged + ".ran"), "the withdrawn installer was started")

        current["stable"]["windows-x64"] = "3.2.0"
        releases["3.2.0"] = entry("3.2.0", rollout={"percent": 0})
        requests = len(self.server.requests)
        log = run_check("3.0.0")
        check("check: outside the rollout of 3.2.0 (0%)" in log and
              "check: nothing offered to this installation" in log,
              "%s: rollout not held back:\n%s" % (self.label, log))
        check(not any("3.2.0" in path for path in self.server.requests[requests:]),
              "a client outside the rollout downloaded the release")

        # A release above this system is passed over for the newest it runs.
        current["stable"]["windows-x64"] = "3.4.0"
        releases["3.3.0"] = entry("3.3.0", min_os="6.0")
        releases["3.4.0"] = entry("3.4.0", min_os="99.0")
        log = run_check("3.0.0")
        check("check: 3.4.0 needs Windows 99.0; this is " in log and "check: staged 3.3.0" in log,
              "%s: min_os not honoured:\n%s" % (self.label, log))
        print("system version: %s" % log[log.index("this is ") + 8:].splitlines()[0])
        releases["3.3.0"]["withdrawn"] = True
        log = run_check("3.0.0")
        check("check: staged 3.3.0 withdrawn" in log, "%s: 3.3.0 left staged" % self.label)

    def machine_policies(self):
        """Four machine policies through the registry: UpdatesEnabled=0 under
        HKLM fetches nothing, Channel under HKCU replaces --channel,
        TargetVersionPrefix under HKLM passes over the release outside it,
        and CheckIntervalHours sets the interval an unforced check keeps.
        The keys, and the release staged, are taken back afterwards."""
        entry, run_check = self.release_entry, self.check_log

        def policy(root, name, kind, data):
            code, _, err = self.wine.run(["reg", "add", root + POLICY_KEY, "/v", name, "/t",
                                          kind, "/d", data, "/f"])
            check(code == 0, "reg add %s failed: %r" % (name, err[-500:]))

        current = {"stable": {"windows-x64": "5.0.0"}, "beta": {"windows-x64": "5.1.0"}}
        releases = {"4.2.0": entry("4.2.0"), "5.0.0": entry("5.0.0"),
                    "5.1.0": entry("5.1.0", channel="beta")}
        self.server.manifest = {"current": current, "releases": {"windows-x64": releases}}
        try:
            policy("HKLM", "UpdatesEnabled", "REG_DWORD", "0")
            requests = len(self.server.requests)
            log = run_check("4.0.0", "--force")
            check("check: policies in force: UpdatesEnabled=0" in log and
                  "check: updates turned off by policy" in log,
                  "%s: updates not off:\n%s" % (self.label, log))
            check(len(self.server.requests) == requests, "a check turned off asked the server")
            self.wine.run(["reg", "delete", "HKLM" + POLICY_KEY, "/f"])

            policy("HKCU", "Channel", "REG_SZ", "beta")
            log = run_check("4.0.0", "--force")
            check("check: staged 5.1.0" in log, "%s: Channel not used:\n%s" % (self.label, log))

            policy("HKLM", "TargetVersionPrefix", "REG_SZ", "4.")
            log = run_check("4.0.0", "--force")
            check("check: 5.1.0 outside TargetVersionPrefix 4." in log and
                  "check: staged 4.2.0" in log, "%s: prefix not kept:\n%s" % (self.label, log))

            # The forced check just now is within any interval; the line
            # names the policy's.
            policy("HKLM", "CheckIntervalHours", "REG_DWORD", "48")
            log = run_check("4.0.0")
            check("check: skipped (within 48h interval)" in log,
                  "%s: interval not kept:\n%s" % (self.label, log))
        finally:
            for root in ("HKLM", "HKCU"):
                self.wine.run(["reg", "delete", root + POLICY_KEY, "/f"])
        # Nothing staged is left for the cases after these.
        for members in releases.values():
            members["withdrawn"] = True
        check("check: staged 4.2.0 withdrawn" in run_check("4.0.0", "--force"),
              "%s: the policies' release was left staged" % self.label)

    def kind_to_the_server(self, signed_program):
        """The signed build against a server that compresses the manifest,
        then answers 304 to the kept copy's ETag, then asks to be left alone."""
        def signed_check(*extra):
            code, _, err = self.wine.run([signed_program, "--check", "0.2.0"] + list(extra))
            check(code == 0, "%s: --check exit %d %r" % (self.label, code, err[-500:]))
            return self.log().rstrip().splitlines()[-1]

        try:
            self.server.gzip = True
            last = signed_check("--force")
            check(last.endswith("check: already staged 0.4.0"),
                  "%s: gzip-encoded manifest: %s" % (self.label, last))
            self.server.conditional = True
            last = signed_check("--force")
            check(last.endswith("check: already staged 0.4.0") and
                  self.server.if_none_match.get("/solvane/manifest.json") == ETAG and
                  self.server.if_none_match.get("/solvane/manifest.json.minisig") == ETAG,
                  "%s: kept copy not asked after: %s %r" % (self.label, last,
                                                           self.server.if_none_match))
            self.server.busy = "3600"
            last = signed_check("--force")
            check("check: the server asks to wait until " in self.log(),
                  "%s: Retry-After not logged:\n%s" % (self.label, self.log()[-600:]))
            state = json.loads(self.state_text())
            hold = state.get("check_hold_until", 0) - time.time()
            check(3500 < hold <= 3600, "%s: hold %r" % (self.label, state))
            state["last_check"] = int(time.time()) - 2 * 86400
            with open(os.path.join(self.updates, "Updates.json"), "w") as f:
                json.dump(state, f)
            last = signed_check()
            check(last.endswith("check: skipped (the server asked to wait)"),
                  "%s: unforced check during the hold: %s" % (self.label, last))
        finally:
            self.server.gzip = self.server.conditional = False
            self.server.busy = None

    def delta_update(self, zstd):
        """A release listing a patch (made by Debian's zstd) from the base,
        the installer started last: the check downloads the patch alone. A
        damaged patch falls back to the full installer in the same check."""
        base = self.base()
        check(base.get("sha256") == hashlib.sha256(self.server.installer).hexdigest(),
              "%s: no base to patch: %r" % (self.label, base))
        work = tempfile.mkdtemp(prefix="solvane-delta-")
        releases = {}

        def publish(version, damaged=False):
            data = self.server.installer + ("overlay of %s\n" % version).encode() * 8192
            for name, content in (("base", self.server.installer), ("next", data)):
                with open(os.path.join(work, name), "wb") as f:
                    f.write(content)
            subprocess.run([zstd, "-q", "-f", "--patch-from=" + os.path.join(work, "base"),
                            os.path.join(work, "next"), "-o", os.path.join(work, "patch")],
                           check=True)
            with open(os.path.join(work, "patch"), "rb") as f:
                patch = f.read()
            if damaged:
                patch = patch[:len(patch) // 2] + bytes([patch[len(patch) // 2] ^ 0x55]) + \
                    patch[len(patch) // 2 + 1:]
            paths = ("/solvane/delta/Solvane-%s-setup.exe" % version,
                     "/solvane/delta/%s.zst" % version)
            self.server.files.update({paths[0]: data, paths[1]: patch})
            releases[version] = {
                "url": self.server.base + paths[0][len("/solvane/"):],
                "sha256": hashlib.sha256(data).hexdigest(),
                "size": len(data),
                "deltas": [{"from_sha256": base["sha256"],
                            "url": self.server.base + paths[1][len("/solvane/"):],
                            "sha256": hashlib.sha256(patch).hexdigest(), "size": len(patch)}]}
            self.server.manifest = {"current": {"stable": {"windows-x64": version}},
                                    "releases": {"windows-x64": releases}}
            return paths, data, len(patch)

        try:
            for version, damaged in (("4.0.0", False), ("4.1.0", True)):
                (installer, patch), data, patch_size = publish(version, damaged)
                requests = len(self.server.requests)
                before = len(self.log())
                code, _, err = self.wine.run([self.program, "--check", "3.0.0", "--force"])
                log = self.log()[before:]
                fetched = self.server.requests[requests:]
                check(code == 0 and "check: staged %s" % version in log,
                      "%s: %s not staged:\n%s" % (self.label, version, log))
                with open(os.path.join(self.updates, "Solvane-%s-setup.exe" % version), "rb") as f:
                    check(f.read() == data, "%s: staged %s is not the release" % (self.label, version))
                check(patch in fetched, "%s: patch of %s not fetched" % (self.label, version))
                if not damaged:
                    check(installer not in fetched and patch_size < len(data) // 4,
                          "%s: more than the patch crossed: %r" % (self.label, fetched))
                else:
                    check("check: delta from %s failed: patch damaged" % base["version"] in log and
                          "; downloading in full" in log and installer in fetched,
                          "%s: damaged patch did not fall back:\n%s" % (self.label, log))
        finally:
            shutil.rmtree(work, ignore_errors=True)
            self.server.files.clear()

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
        check(len(lines) == 21 and lines[20] == "", "%s: not 20 lines:\n%s" % (self.label, text))
        # The manifest is kept, with the validator to ask after it next time.
        pattern = (
            r'\{\n   "kept_manifest": \{\n      "etag": "\\"wine-installer-1\\"",\n'
            r'      "last_modified": "",\n      "signature_etag": "",\n'
            r'      "signature_last_modified": ""\n   \},\n'
            r'   "last_check": (\d+),\n   "release_notes": \{\n'
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

        # Two --apply at once: the lock on the updates folder lets one launch
        # and consume the record; the other finds nothing staged (or the
        # folder busy) and exits 1 without launching.
        first = self.wine.start([self.program, "--apply"])
        second = self.wine.start([self.program, "--apply"])
        results = [self.wine.finish(first), self.wine.finish(second)]
        codes = sorted(code for code, _, _ in results)
        check(codes == [0, 1], "%s: two --apply at once exit %r %r" % (
            self.label, codes, [err[-300:] for _, _, err in results]))
        check(wait_for(os.path.join(self.updates, name + ".ran"), 30),
              "%s: --apply did not start %s" % (self.label, name))
        # The launched installer stays as the base of the next delta update.
        check(os.path.exists(os.path.join(self.updates, name)), "the launched installer is gone")
        check(self.base().get("installer") == staged_path, "%s: base not kept: %r" % (
            self.label, self.base()))
        applied = self.state_text()
        expected = ('{\n   "kept_manifest": {\n      "etag": "\\"wine-installer-1\\"",\n'
                    '      "last_modified": "",\n      "signature_etag": "",\n'
                    '      "signature_last_modified": ""\n   },\n'
                    '   "last_check": %s,\n   "release_notes": {\n'
                    '      "notes": "Second release: faster, \u00e9l\u00e9gant.",\n'
                    '      "version": "0.2.0"\n   }\n}\n' % match.group(1))
        check(applied == expected, "%s: state after --apply:\n%s" % (self.label, applied))

        code, _, _ = self.wine.run([self.program, "--apply"])
        check(code == 1, "%s: a second --apply exit %d" % (self.label, code))
        check(self.state_text() == applied, "a second --apply changed the state")

    def sharing_the_folder(self):
        """--apply never waits for a check that is downloading over a slow link,
        and a second check leaves that download alone; a state file that
        cannot be saved makes --apply start nothing, however often it runs."""
        name = self.server.publish("0.8.0", "Staged.")
        code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
        check(code == 0 and self.log().rstrip().endswith("check: staged 0.8.0"),
              "%s: 0.8.0 not staged:\n%s" % (self.label, self.log()[-600:]))

        state = os.path.join(self.updates, "Updates.json")
        os.chmod(state, 0o444)
        try:
            for _ in range(3):
                code, _, _ = self.wine.run([self.program, "--apply"])
                check(code == 1 and self.log().rstrip().endswith(
                    "apply: cannot write the state file; 0.8.0 not started"),
                    "%s: --apply with a read-only state:\n%s" % (self.label, self.log()[-600:]))
            time.sleep(1)
            check(not os.path.exists(os.path.join(self.updates, name + ".ran")),
                  "%s: --apply started an installer it could not record" % self.label)
        finally:
            os.chmod(state, 0o644)

        slow_name = self.server.publish("0.9.0", "Slow.")
        self.server.slow, self.server.slow_seconds = True, 40
        self.server.download_started.clear()
        try:
            downloading = self.wine.start([self.program, "--check", "0.2.0", "--force"])
            check(self.server.download_started.wait(120), "the slow download never started")
            code, _, err = self.wine.run([self.program, "--apply"])
            check(code == 0, "%s: --apply during a download exit %d %r:\n%s"
                  % (self.label, code, err[-300:], self.log()[-600:]))
            check(wait_for(os.path.join(self.updates, name + ".ran"), 30),
                  "%s: --apply did not start %s" % (self.label, name))
            code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
            check(code == 0 and self.log().rstrip().endswith(
                "check: a download of 0.9.0 is in progress"),
                "%s: second check during a download:\n%s" % (self.label, self.log()[-600:]))
            code, _, err = self.wine.finish(downloading)
            check(code == 0 and self.log().rstrip().endswith("check: staged 0.9.0"),
                  "%s: the slow download was not staged:\n%s" % (self.label, self.log()[-600:]))
            check(os.path.exists(os.path.join(self.updates, slow_name)), "0.9.0 file missing")
        finally:
            self.server.slow, self.server.slow_seconds = False, 6

    def bounded_answers(self):
        """What a relay can send cannot grow the state or fill the disk: an
        ETag of control characters is dropped, an installer larger than its
        published size is refused before its body, and a disk without room
        for the release is not written to."""
        state = os.path.join(self.updates, "Updates.json")
        self.server.publish("9.0.0", "Hostile validators.")
        self.server.etag = '"' + "\x01" * 20000 + '"'
        try:
            code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
        finally:
            self.server.etag = ETAG
        check(code == 0 and "FetchManifest: validator dropped (unusable ETag)" in self.log() and
              self.log().rstrip().endswith("check: staged 9.0.0"),
              "%s: a hostile ETag:\n%s" % (self.label, self.log()[-800:]))
        check(os.path.getsize(state) < 8192, "the state grew: %d bytes" % os.path.getsize(state))

        name = self.server.publish("9.1.0", "Larger than published.")
        self.server.manifest["releases"]["windows-x64"]["9.1.0"]["size"] -= 1
        code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
        check(self.log().rstrip().endswith(
            "check: download/verify failed for 9.1.0: larger than its published size"),
            "%s: an installer over its size:\n%s" % (self.label, self.log()[-600:]))
        check(not os.path.exists(os.path.join(self.updates, name)), "an oversized file was kept")

        # A 4 MiB disk has no room for any release and the margin kept free.
        name = self.server.publish("9.2.0", "No room.")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", self.updates],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
            print("%s: not tested here: mount -t tmpfs refused (not root?)" % self.label)
            return
        try:
            code, _, _ = self.wine.run([self.program, "--check", "0.2.0", "--force"])
            check(code == 0 and self.log().rstrip().endswith(
                "check: download/verify failed for 9.2.0: cannot write (disk full)"),
                "%s: a full disk:\n%s" % (self.label, self.log()[-600:]))
            # The download's lock may leave its partial file, empty.
            partial = os.path.join(self.updates, name + ".partial")
            check(not os.path.exists(partial) or os.path.getsize(partial) == 0,
                  "a download began on a full disk")
        finally:
            subprocess.run(["umount", self.updates], check=True)

    def key_rotation(self, rooted_program, minisign, keys):
        """The build with root keys, from a reset state: keys/2.json signed
        by two of its three root keys brings release-3, whose manifest is
        staged; the replaced key's manifest is refused after it."""
        def key_line(name):
            with open(os.path.join(keys, name + ".pub")) as f:
                return f.read().splitlines()[1]

        def check_with(serial, key):
            self.publish_signed(minisign, keys, serial, key)
            self.wine.run([rooted_program, "--check", "0.2.0", "--force"])
            return self.log().rstrip()

        for name in ("Updates.json", "Trust.json"):
            os.remove(os.path.join(self.updates, name))
        key_set = json.dumps({"version": 2, "release_keys": [key_line("release-3")],
                              "root_keys": [key_line("root-%d" % i) for i in (1, 2, 3)],
                              "root_threshold": 2, "serial_floor": 5}).encode()
        files = {"/solvane/keys/2.json": key_set, "/solvane/keys/2.json.minisig": b"".join(
            self.minisign(minisign, keys, "root-%d.key" % i, "2.json", key_set) for i in (1, 3))}
        self.server.files.update(files)
        key_id = base64.b64decode(key_line("release-3"))[2:10][::-1].hex().upper()
        try:
            log = check_with(5, "release-3.key")
            check("check: key set 2 accepted (release keys %s; serials from 5)" % key_id in log and
                  log.endswith("check: staged 0.4.0"),
                  "%s: the rotation was not followed:\n%s" % (self.label, log[-800:]))
            log = check_with(6, "release-1.key")
            check(log.endswith("check: manifest rejected: signed by a key no longer trusted"),
                  "%s: the replaced key's manifest:\n%s" % (self.label, log[-600:]))
        finally:
            self.server.manifest_bytes = self.server.signature = None
            for path in files:
                del self.server.files[path]

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


class ForwardProxy:
    """A forwarding HTTP proxy on 127.0.0.1 that passes absolute-form GET
    requests on to loopback servers only, counts them, and can demand sign-in
    with 407 answers."""

    def __init__(self):
        self.forwarded = []
        self.sign_ins = []
        self.schemes = []
        self.refuse_every_sign_in = False
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                sign_in = self.headers.get("Proxy-Authorization")
                if sign_in:
                    proxy.sign_ins.append(sign_in)
                if proxy.schemes and (not sign_in or proxy.refuse_every_sign_in):
                    self.send_response(407)
                    for scheme in proxy.schemes:
                        self.send_header("Proxy-Authenticate", scheme)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                match = re.match(r"http://127\.0\.0\.1:(\d+)(/.*)$", self.path)
                if not match:
                    self.send_error(502)
                    return
                proxy.forwarded.append(self.path)
                upstream = http.client.HTTPConnection("127.0.0.1", int(match.group(1)), timeout=60)
                upstream.request("GET", match.group(2))
                answer = upstream.getresponse()
                body = answer.read()
                upstream.close()
                self.send_response(answer.status)
                self.send_header("Content-Type", answer.getheader("Content-Type", "text/plain"))
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.address = "127.0.0.1:%d" % self.port
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class PacServer:
    """Serves /proxy.pac, a script that sends every URL to `proxy_address`."""

    def __init__(self, proxy_address):
        script = ('function FindProxyForURL(url, host) { return "PROXY %s"; }\n'
                  % proxy_address).encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                self.send_response(200 if self.path == "/proxy.pac" else 404)
                self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                self.send_header("Content-Length", str(len(script)))
                self.end_headers()
                self.wfile.write(script)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/proxy.pac" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def proxy_cases(wine, cycle):
    """Update checks and fresh installs under the user's proxy settings: a
    named proxy, a per-scheme list, a bypass entry, a PAC file served from
    loopback, PAC files that cannot be fetched, proxy variables that override
    the settings, and a proxy that asks for sign-in."""
    server = cycle.server
    proxy = ForwardProxy()
    pac = PacServer(proxy.address)
    # A port with nothing behind it, and one that takes connections but never answers.
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    closed_port = closed.getsockname()[1]
    closed.close()
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    silent_url = "http://127.0.0.1:%d/proxy.pac" % silent.getsockname()[1]
    manifest_url = server.base + "manifest.json"
    through = lambda name: [manifest_url, server.base + "files/" + name]

    def routes():
        return [line.split("] FetchManifest: ", 1)[1] for line in cycle.log().splitlines()
                if "] FetchManifest: route " in line]

    def run_check(label, expect_forwarded, expect_route, env=None):
        shutil.rmtree(os.path.dirname(os.path.dirname(cycle.updates)), ignore_errors=True)
        name = server.publish("0.2.0", "Behind a proxy.")
        before = len(proxy.forwarded)
        code, _, err = wine.run([cycle.program, "--check", "0.1.0", "--force"], env=env)
        check(code == 0, "%s: --check exit %d %r" % (label, code, err[-300:]))
        staged = json.loads(cycle.state_text()).get("staged", {})
        check(staged.get("version") == "0.2.0",
              "%s: nothing staged:\n%s" % (label, cycle.log()[-1500:]))
        forwarded = proxy.forwarded[before:]
        check(forwarded == (through(name) if expect_forwarded else []),
              "%s: the proxy forwarded %r" % (label, forwarded))
        got = routes()
        check(len(got) == 2 and all(re.fullmatch(expect_route, line) for line in got),
              "%s: route lines %r, expected %r" % (label, got, expect_route))
        print("proxy: %s: %s" % (label, got[0]))

    named = re.escape("route proxy %s (system)" % proxy.address)
    by_pac = re.escape("route proxy %s (PAC)" % proxy.address)
    refused = r"route direct \(proxy detection failed: WinHTTP error \d+.*\)"
    # Bounded by the program's own wait, whatever WinHTTP's time-outs do.
    timed_out = re.escape("route direct (proxy detection failed: timed out after 5 s)")
    try:
        wine.set_connection_settings(NAMED_PROXY, proxy.address)
        run_check("named proxy", True, named)
        wine.set_connection_settings(NAMED_PROXY, "https=127.0.0.1:%d;http=%s"
                                     % (closed_port, proxy.address))
        run_check("per-scheme list", True, named)
        wine.set_connection_settings(NAMED_PROXY, proxy.address, "<local>;127.0.0.1")
        run_check("bypass entry", False, re.escape("route direct (system, bypass list)"))
        wine.set_connection_settings(AUTO_CONFIG_URL, pac=pac.url)
        run_check("PAC file", True, by_pac)
        wine.set_connection_settings(AUTO_CONFIG_URL, pac="http://127.0.0.1:%d/proxy.pac"
                                     % closed_port)
        run_check("PAC server refusing connections", False, refused)
        wine.set_connection_settings(AUTO_CONFIG_URL, pac=silent_url)
        run_check("PAC server never answering", False, timed_out)
        wine.set_connection_settings(NAMED_PROXY, "127.0.0.1:%d" % closed_port)
        run_check("http_proxy over the settings", True,
                  re.escape("route proxy %s (environment)" % proxy.address),
                  env={"http_proxy": "http://" + proxy.address})
        wine.set_connection_settings(NAMED_PROXY, proxy.address)
        run_check("NO_PROXY over the settings", False, re.escape("route direct (environment)"),
                  env={"NO_PROXY": "127.0.0.1"})

        # Sign-in as the current user: the exe answers the 407 with the
        # empty name and password that stand for the logged-on user.
        proxy.schemes = ['Basic realm="corp"']
        signed = len(proxy.sign_ins)
        run_check("proxy asking for sign-in", True, named)
        check(proxy.sign_ins[signed:] == ["Basic Og=="] * 2,
              "sign-in answers %r" % proxy.sign_ins[signed:])

        # A proxy that refuses the user's sign-in is named as such: in the
        # check's log line and in the fresh install's message.
        proxy.refuse_every_sign_in = True
        shutil.rmtree(os.path.dirname(os.path.dirname(cycle.updates)), ignore_errors=True)
        code, _, err = wine.run([cycle.program, "--check", "0.1.0", "--force"])
        check(code == 0 and err == b"", "refused sign-in: --check exit %d %r" % (code, err[-300:]))
        lines = [line.split("] ", 1)[1] for line in cycle.log().splitlines() if "] " in line]
        check(lines[-1] == "check: manifest fetch failed: proxy sign-in refused (HTTP 407)",
              "refused sign-in: log ends %r" % lines[-3:])
        print("proxy: refused sign-in: %s" % lines[-1])
        shutil.rmtree(os.path.dirname(os.path.dirname(cycle.updates)), ignore_errors=True)
        cycle.failed_install("Could not find a release for this platform. "
                             "The proxy asks for a sign-in.")
        check(any(line.endswith("install: manifest fetch failed: proxy sign-in refused (HTTP 407)")
                  for line in cycle.log().splitlines()),
              "refused sign-in: no install line:\n%s" % cycle.log()[-800:])
        proxy.refuse_every_sign_in = False
        proxy.schemes = []

        for label, flags, settings, route in (
                ("fresh install, named proxy", NAMED_PROXY, {"proxy": proxy.address}, named),
                ("fresh install, PAC file", AUTO_CONFIG_URL, {"pac": pac.url}, by_pac)):
            shutil.rmtree(os.path.dirname(os.path.dirname(cycle.updates)), ignore_errors=True)
            wine.set_connection_settings(flags, **settings)
            before = len(proxy.forwarded)
            cycle.fresh_install()
            check(proxy.forwarded[before:] == through("Solvane-0.1.0-setup.exe"),
                  "%s: the proxy forwarded %r" % (label, proxy.forwarded[before:]))
            check(all(re.fullmatch(route, line) for line in routes()) and len(routes()) == 2,
                  "%s: route lines %r" % (label, routes()))
            print("proxy: %s: %s" % (label, routes()[0]))
    finally:
        wine.set_connection_settings(DIRECT)
        proxy.close()
        pac.close()
        silent.close()


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
    parser.add_argument("--proxies-only", action="store_true",
                        help="run only the proxy cases (a shorter round while working on them)")
    parser.add_argument("--signed-program", required=True)
    parser.add_argument("--rooted-program", required=True)
    parser.add_argument("--minisign", required=True)
    parser.add_argument("--keys", required=True)
    parser.add_argument("--zstd", required=True)
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
        # No proxy and no auto-detection: nothing looks for a PAC file on the network.
        wine.set_connection_settings(DIRECT)
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
        for index, (label, registry, windows_appdata, unix_appdata) in enumerate(
                [] if args.proxies_only else profiles):
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
                    cycle.signed(args.signed_program, args.minisign, args.keys)
                    cycle.resume()
                    cycle.damaged_and_stuck_state()
                    cycle.sharing_the_folder()
                    cycle.release_control()
                    cycle.machine_policies()
                    cycle.delta_update(args.zstd)
                    cycle.bounded_answers()
                    cycle.key_rotation(args.rooted_program, args.minisign, args.keys)
                print("ok: %s (%s)" % (label, cycle.windows_updates))
                passed += 1
            except Failure as failure:
                print("FAILED: %s: %s" % (label, failure))
                failed += 1
            finally:
                if registry:
                    wine.set_appdata(PLAIN_APPDATA)
        try:
            wine.set_appdata(PLAIN_APPDATA)
            shutil.rmtree(os.path.join(plain_unix, "Korrinwade"), ignore_errors=True)
            proxy_cases(wine, Cycle(wine, server, args.program, args.installer, args.dismiss,
                                    "proxies", profiles[0][2], plain_unix))
            print("ok: proxies")
            passed += 1
        except Failure as failure:
            print("FAILED: proxies: %s" % failure)
            failed += 1
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
