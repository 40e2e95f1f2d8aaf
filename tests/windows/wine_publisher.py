#!/usr/bin/env python3
"""The installer's own signature under wine, through the real program: builds
taking installers signed as "Korrinwade Ltd." (one also pinning --key, and
pins from signed manifests) against installers signed by osslsigncode under
self-signed certificates. Wine judges no chain, so that is not tested."""

import argparse
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_cycle import (DIRECT, PLAIN_APPDATA, Cycle, Failure, ReleaseServer,  # noqa: E402
                        Wine, check, wait_for)

NAME = "Korrinwade Ltd."
REFUSED = "not signed by %s: " % NAME


def openssl(*args):
    return subprocess.run(("openssl",) + args, check=True, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


class Run(Cycle):
    def sign(self, common_name, key=None):
        """The stand-in installer signed by a self-signed code-signing certificate."""
        self.serial += 1
        leaf, out = ["%s/%d.%s" % (self.work, self.serial, kind) for kind in ("pem", "exe")]
        openssl("req", "-x509", "-new", "-key", key or self.key_a, "-subj", "/CN=" + common_name,
                "-days", "30", "-addext", "extendedKeyUsage=codeSigning", "-out", leaf)
        subprocess.run([self.osslsigncode, "sign", "-certs", leaf, "-key", key or self.key_a,
                        "-h", "sha256", "-in", self.installer, "-out", out], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return open(out, "rb").read()

    def serve(self, version, installer, publishers=None):
        """Publishes `version`; with `publishers`, in a manifest signed by a
        release key of the pinned (signed) build, listing those pins."""
        self.server.installer = installer
        self.server.manifest_bytes = self.server.signature = None
        name = self.server.publish(version, "Release %s." % version)
        if publishers is not None:
            self.serial += 1
            self.server.manifest.update(serial=self.serial, expires="2099-01-01T00:00:00Z",
                                        publishers=publishers)
            self.server.manifest_bytes = json.dumps(self.server.manifest).encode()
            self.server.signature = self.minisign(self.minisign_path, self.keys, "release-1.key",
                                                  "manifest.json", self.server.manifest_bytes)
        return os.path.join(self.updates, name)

    def staged(self):
        return (json.loads(self.raw_state_text()).get("staged") or {}).get("version")

    def run(self, program, *args):
        before = self.log()
        code, _, err = self.wine.run([program] + list(args))
        return code, self.log()[len(before):]

    def expect_check(self, program, version, installer, refusal=None, publishers=None):
        """A forced check of `version`: staged, or refused (file gone) for `refusal`."""
        path = self.serve(version, installer, publishers)
        code, added = self.run(program, "--check", "0.1.0", "--force")
        line = "check: " + ("%s %s%s" % (version, REFUSED, refusal) if refusal else
                            "staged " + version)
        check(code == 0 and line in added, "%s: no %r in:\n%s" % (version, line, added))
        check(os.path.exists(path) != bool(refusal), "%s: file left as it was" % version)
        print(line)
        return path


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "pinned", "plain", "installer", "dismiss", "hold", "port",
                   "wine-run", "prefix", "key", "osslsigncode", "minisign", "keys"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="solvane-wine-publisher-")
    wine = Wine(args.wine_run, args.prefix, work)
    server = ReleaseServer(int(args.port), b"")
    try:
        wine.set_connection_settings(DIRECT)
        wine.set_appdata(PLAIN_APPDATA)
        user = [d for d in glob.glob(os.path.join(wine.c_drive(), "users", "*"))
                if os.path.basename(d) != "Public"][0]
        unix_appdata = os.path.join(user, "AppData", "Roaming")
        shutil.rmtree(os.path.join(unix_appdata, "Korrinwade"), ignore_errors=True)
        run = Run(wine, server, args.program, args.installer, args.dismiss, "publisher",
                  "C:/users/%s/AppData/Roaming" % os.path.basename(user), unix_appdata)
        run.work, run.osslsigncode, run.serial, run.key_a = work, args.osslsigncode, 1, args.key
        run.minisign_path, run.keys = args.minisign, args.keys
        run.key_b = os.path.join(work, "unpinned.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                run.key_b)

        # The fresh install: another signer is refused with its reason, the right one started.
        path = run.serve("0.1.0", run.sign("Other Vendor Ltd."))
        run.failed_install('The installer could not be started. It is not signed by %s '
                           '(signed by "Other Vendor Ltd.").' % NAME, args.program)
        check(not os.path.exists(path) and not os.path.exists(path + ".ran"), "install refused")
        path = run.serve("0.1.0", run.sign(NAME))
        check(run.run(args.program)[0] == 0 and wait_for(path + ".ran", 30), "install started")

        superseded = run.expect_check(args.program, "0.2.0", run.sign(NAME))
        changed = bytearray(run.sign(NAME))
        changed[len(changed) // 3] ^= 1  # in the code, which the signature covers
        key_b_pin = hashlib.sha256(openssl("pkey", "-in", run.key_b, "-pubout", "-outform",
                                           "der")).hexdigest()
        for version, installer, program, reason in [
                ("0.3.0", open(args.installer, "rb").read(), args.program, "no signature"),
                ("0.3.1", run.sign("Other Vendor Ltd."), args.program,
                 'signed by "Other Vendor Ltd."'),
                ("0.3.2", run.sign("Korrinwade Ltd"), args.program, 'signed by "Korrinwade Ltd"'),
                ("0.3.3", bytes(changed), args.program, "changed after it was signed"),
                ("0.3.4", run.sign(NAME, run.key_b), args.pinned,
                 "its key %s is not pinned" % key_b_pin)]:
            run.expect_check(program, version, installer, reason,
                             [] if program == args.pinned else None)
            check(run.staged() == "0.2.0", "%s: staged %r" % (version, run.staged()))

        # A scanner holds the superseded installer without delete sharing:
        # let go once the new release is on record, its removal begun.
        windows_path = run.windows_updates + "/" + os.path.basename(superseded)
        holder = wine.start([args.hold, windows_path.replace("/", "\\")])
        check(wait_for(superseded + ".held", 60), "hold_file never held the installer")
        run.serve("0.6.0", run.sign(NAME))
        checking = wine.start([args.program, "--check", "0.1.0", "--force"])
        deadline = time.time() + 120
        while run.staged() != "0.6.0" and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(1)
        open(superseded + ".release", "w").close()
        wine.finish(checking)
        wine.finish(holder)
        check("check: the superseded installer of 0.2.0 was held by another program for a while"
              in run.log() and not os.path.exists(superseded), "no wait:\n%s" % run.log()[-800:])

        # A signed manifest pins a renewed key; --apply takes the pin from the record.
        path = run.expect_check(args.pinned, "0.7.0", run.sign(NAME, run.key_b), None, [key_b_pin])
        check(run.run(args.pinned, "--apply")[0] == 0 and wait_for(path + ".ran", 30), "apply")
        # What a build without names staged, one with names does not start.
        path = run.expect_check(args.plain, "0.5.0", open(args.installer, "rb").read())
        code, added = run.run(args.program, "--apply")
        check(code == 1 and "apply: 0.5.0 not started: %sno signature" % REFUSED in added,
              "apply of an unsigned installer:\n%s" % added)
        time.sleep(1)
        check(not os.path.exists(path + ".ran") and not os.path.exists(path) and
              not run.staged(), "the refused installer was started or kept")
        print("apply 0.5.0: refused; ok: publisher checks")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        server.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
