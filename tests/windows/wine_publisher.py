#!/usr/bin/env python3
"""The installer's own signature under wine: a build that accepts installers
signed as "Korrinwade Ltd." only (and one that also pins that signer's key),
against installers signed with Debian's osslsigncode under certificates made
here with OpenSSL. --check stages the right one and refuses, removes and logs
an unsigned one, one by another signer, one whose signer's name differs only
in punctuation, one changed after it was signed and one under an unpinned
key; --apply and the fresh install refuse to start what a build without names
let through. Last, a scanner's hold on a superseded installer is waited out.

Wine accepts untrusted roots and expired certificates (see the closing note
of the change that added this), so the chain's own validity is not tested.
"""

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
from wine_cycle import (DIRECT, PLAIN_APPDATA, SHELL_FOLDERS, Cycle, Failure,  # noqa: E402
                        ReleaseServer, Wine, check, wait_for)

NAME = "Korrinwade Ltd."
NOT_SIGNED_BY = "not signed by %s: " % NAME


def run(args):
    subprocess.run(args, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class Signer:
    """A test root and code-signing certificates under it, and osslsigncode."""

    def __init__(self, work, keys, osslsigncode):
        self.work = work
        self.keys = keys
        self.osslsigncode = osslsigncode
        self.root = os.path.join(work, "root.pem")
        run(["openssl", "req", "-x509", "-new", "-key", self.key("b"), "-subj",
             "/CN=Solvane Test Root", "-days", "3650", "-out", self.root,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign"])
        self.extensions = os.path.join(work, "code-signing.cnf")
        with open(self.extensions, "w") as f:
            f.write("extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n")
        self.serial = 1

    def key(self, which):
        return os.path.join(self.keys, "publisher-%s.pem" % which)

    def certificate(self, common_name, which):
        self.serial += 1
        request = os.path.join(self.work, "leaf%d.csr" % self.serial)
        leaf = os.path.join(self.work, "leaf%d.pem" % self.serial)
        run(["openssl", "req", "-new", "-key", self.key(which), "-subj",
             "/CN=%s/O=Korrinwade" % common_name, "-out", request])
        run(["openssl", "x509", "-req", "-in", request, "-CA", self.root, "-CAkey", self.key("b"),
             "-set_serial", str(self.serial), "-days", "3650", "-extfile", self.extensions,
             "-out", leaf])
        return leaf

    def sign(self, unsigned, common_name, which="a"):
        """The exe's bytes signed by a certificate for `common_name` on key `which`."""
        leaf = self.certificate(common_name, which)
        out = os.path.join(self.work, "signed%d.exe" % self.serial)
        run([self.osslsigncode, "sign", "-certs", leaf, "-ac", self.root, "-key",
             self.key(which), "-h", "sha256", "-in", unsigned, "-out", out])
        with open(out, "rb") as f:
            return f.read()


class Publisher(Cycle):
    def serve(self, version, installer):
        self.server.installer = installer
        return self.server.publish(version, "Release %s." % version)

    def forced_check(self, program, version, current="0.1.0"):
        before = self.log()
        code, _, err = self.wine.run([program, "--check", current, "--force"])
        check(code == 0, "--check exit %d %r" % (code, err[-300:]))
        return self.log()[len(before):]

    def staged_version(self):
        path = os.path.join(self.updates, "Updates.json")
        if not os.path.exists(path):
            return None
        return (self.state_json().get("staged") or {}).get("version")

    def state_json(self):
        return json.loads(self.raw_state_text())

    def refused_checks(self, program, pinned, signer, unsigned):
        changed = bytearray(signer.sign(unsigned, NAME))
        changed[len(changed) // 3] ^= 0x01
        cases = [
            ("0.3.0", open(unsigned, "rb").read(), program, "no signature"),
            ("0.3.1", signer.sign(unsigned, "Other Vendor Ltd."), program,
             'signed by "Other Vendor Ltd."'),
            ("0.3.2", signer.sign(unsigned, "Korrinwade Ltd"), program,
             'signed by "Korrinwade Ltd"'),
            ("0.3.3", signer.sign(unsigned, "Korrinwade, Ltd."), program,
             'signed by "Korrinwade, Ltd."'),
            ("0.3.4", bytes(changed), program, "changed after it was signed"),
            ("0.3.5", signer.sign(unsigned, NAME, "b"), pinned,
             "its key %s is not pinned" % self.key_pin("b")),
        ]
        for version, installer, which, reason in cases:
            name = self.serve(version, installer)
            added = self.forced_check(which, version)
            expected = "check: %s %s%s" % (version, NOT_SIGNED_BY, reason)
            check(expected in added, "%s: expected %r in:\n%s" % (version, expected, added))
            check(not os.path.exists(os.path.join(self.updates, name)),
                  "%s: the refused installer was left in the folder" % version)
            check(self.staged_version() == "0.2.0", "%s: staged %r" % (version,
                                                                     self.staged_version()))
            print("refused by --check: %s (%s)" % (version, reason))

    def key_pin(self, which):
        der = subprocess.run(["openssl", "pkey", "-in", self.keys_dir + "/publisher-%s.pem" % which,
                              "-pubout", "-outform", "der"], check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        return hashlib.sha256(der).hexdigest()

    def accepted_check(self, program, version, installer):
        name = self.serve(version, installer)
        added = self.forced_check(program, version)
        check("check: staged %s" % version in added, "%s not staged:\n%s" % (version, added))
        check(os.path.exists(os.path.join(self.updates, name)), "%s file missing" % version)
        return name

    def refused_apply(self, plain, program, unsigned):
        # A build without names stages anything; one with names starts none of it.
        self.serve("0.5.0", open(unsigned, "rb").read())
        added = self.forced_check(plain, "0.5.0")
        check("check: staged 0.5.0" in added, "the plain build did not stage:\n%s" % added)
        name = os.path.join(self.updates, "Solvane-0.5.0-setup.exe")
        before = self.log()
        code, _, _ = self.wine.run([program, "--apply"])
        added = self.log()[len(before):]
        expected = "apply: 0.5.0 not started: %sno signature" % NOT_SIGNED_BY
        check(code == 1 and expected in added, "--apply of an unsigned installer %d:\n%s"
              % (code, added))
        time.sleep(1)
        check(not os.path.exists(name + ".ran"), "--apply started an unsigned installer")
        check(not os.path.exists(name), "the refused installer is still there")
        check(self.staged_version() is None, "the refused record is still staged")
        print("refused by --apply: 0.5.0 (no signature)")

    def accepted_apply(self, program, name):
        code, _, err = self.wine.run([program, "--apply"])
        check(code == 0, "--apply of the signed installer exit %d %r:\n%s"
              % (code, err[-300:], self.log()[-600:]))
        check(wait_for(os.path.join(self.updates, name + ".ran"), 30),
              "--apply did not start the signed installer")

    def install(self, program, signer, unsigned):
        shutil.rmtree(os.path.join(self.updates), ignore_errors=True)
        name = self.serve("0.1.0", signer.sign(unsigned, "Other Vendor Ltd."))
        self.failed_install("The installer could not be started. It is not signed by %s "
                            '(signed by "Other Vendor Ltd.").' % NAME, program)
        check(not os.path.exists(os.path.join(self.updates, name + ".ran")),
              "the fresh install started another signer's installer")
        check(not os.path.exists(os.path.join(self.updates, name)),
              "the refused fresh installer is still there")
        check("install: 0.1.0 not started: %ssigned by \"Other Vendor Ltd.\"" % NOT_SIGNED_BY
              in self.log(), "no refusal in the install's log:\n%s" % self.log())
        print("refused by the fresh install: another signer")

        name = self.serve("0.1.0", signer.sign(unsigned, NAME))
        code, _, err = self.wine.run([program])
        check(code == 0, "fresh install of the signed installer exit %d %r:\n%s"
              % (code, err[-300:], self.log()[-600:]))
        check(wait_for(os.path.join(self.updates, name + ".ran"), 30),
              "the fresh install did not start the signed installer")

    def scanner_hold(self, program, hold, signer, unsigned, staged_name):
        """A superseded installer held open without delete sharing is removed
        once let go, and the log says the check had to wait."""
        held = os.path.join(self.updates, staged_name)
        windows_held = self.windows_updates + "/" + staged_name
        holder = self.wine.start([hold, windows_held.replace("/", "\\")])
        check(wait_for(held + ".held", 60), "hold_file never held %s" % staged_name)
        self.serve("0.6.0", signer.sign(unsigned, NAME))
        checking = self.wine.start([program, "--check", "0.1.0", "--force"])
        # Let go only once the new release is on record, the removal that
        # follows it having begun.
        deadline = time.time() + 120
        while self.staged_version() != "0.6.0" and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(1)
        open(held + ".release", "w").close()
        code, _, _ = self.wine.finish(checking)
        self.wine.finish(holder)
        check(code == 0 and self.staged_version() == "0.6.0", "0.6.0 not staged:\n%s"
              % self.log()[-600:])
        check("check: the superseded installer of 0.2.0 was held by another program for a while"
              in self.log(), "no waiting line:\n%s" % self.log()[-800:])
        check(not os.path.exists(held), "the superseded installer stayed")
        print("waited for a held superseded installer")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, help="build with the publisher name")
    parser.add_argument("--pinned", required=True, help="the same with publisher-a's key pinned")
    parser.add_argument("--plain", required=True, help="the loopback build without names")
    parser.add_argument("--installer", required=True)
    parser.add_argument("--dismiss", required=True)
    parser.add_argument("--hold", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--keys", required=True)
    parser.add_argument("--osslsigncode", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="solvane-wine-publisher-")
    wine = Wine(args.wine_run, args.prefix, work)
    server = ReleaseServer(args.port, b"")
    try:
        code, _, err = wine.run(["reg", "query", SHELL_FOLDERS, "/v", "AppData"])
        check(code == 0, "wine does not run: %r" % err[-500:])
        wine.set_connection_settings(DIRECT)
        wine.set_appdata(PLAIN_APPDATA)
        users = [d for d in glob.glob(os.path.join(wine.c_drive(), "users", "*"))
                 if os.path.basename(d) != "Public"]
        check(len(users) == 1, "cannot tell the prefix's user folder: %r" % users)
        unix_appdata = os.path.join(users[0], "AppData", "Roaming")
        shutil.rmtree(os.path.join(unix_appdata, "Korrinwade"), ignore_errors=True)
        cycle = Publisher(wine, server, args.program, args.installer, args.dismiss, "publisher",
                          "C:/users/%s/AppData/Roaming" % os.path.basename(users[0]),
                          unix_appdata)
        cycle.keys_dir = args.keys
        signer = Signer(work, args.keys, args.osslsigncode)

        cycle.install(args.program, signer, args.installer)
        print("started by the fresh install: %s" % NAME)
        staged = cycle.accepted_check(args.program, "0.2.0", signer.sign(args.installer, NAME))
        print("staged by --check: %s" % NAME)
        cycle.refused_checks(args.program, args.pinned, signer, args.installer)
        cycle.scanner_hold(args.program, args.hold, signer, args.installer, staged)
        name = cycle.accepted_check(args.pinned, "0.7.0", signer.sign(args.installer, NAME))
        print("staged by --check of the pinned build: %s on the pinned key" % NAME)
        cycle.accepted_apply(args.program, name)
        print("started by --apply: %s" % NAME)
        cycle.refused_apply(args.plain, args.program, args.installer)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        server.close()
        shutil.rmtree(work, ignore_errors=True)
    print("ok: publisher checks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
