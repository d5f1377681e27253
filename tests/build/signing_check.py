#!/usr/bin/env python3
"""A signed build of the launcher, in a scratch folder, with a throw-away
certificate made here: the signature verifies against that certificate and a
signing that fails leaves no unsigned launcher behind. A copy of the signed
launcher is kept in WORK_DIR/signed.

    signing_check.py         build, sign and verify (no Wine needed)
    signing_check.py --run   the kept signed launcher passes the end-to-end
                             run of 64-bit Windows 10 as the plain one does

Environment (set by CTest): SOURCE_DIR, TOOLCHAIN, WORK_DIR, E2E_PAYLOADS
(the build's demo payloads, embedded here too), E2E_TEMPLATES.
"""

import os
import shutil
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import scenarios  # noqa: E402
from harness import check  # noqa: E402

PASSWORD = "throw-away pass phrase"


def run(*args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace", **kwargs)


def make_certificate(work):
    """A self-signed code-signing certificate in a PKCS#12 file, its password
    in a file of its own."""
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    pkcs12, password = os.path.join(work, "signer.p12"), os.path.join(work, "password.txt")
    with open(password, "w") as f:
        f.write(PASSWORD + "\n")
    out = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
              "-out", cert, "-days", "2", "-subj", "/CN=Launcher test signer",
              "-addext", "extendedKeyUsage=codeSigning")
    check(out.returncode == 0, "openssl req failed:\n" + out.stdout)
    out = run("openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pkcs12,
              "-passout", "file:" + password)
    check(out.returncode == 0, "openssl pkcs12 failed:\n" + out.stdout)
    return cert, pkcs12, password


def configure(build, *options, expect_success=True):
    out = run("cmake", "-S", os.environ["SOURCE_DIR"], "-B", build, "-G", "Ninja",
              "-DCMAKE_TOOLCHAIN_FILE=" + os.environ["TOOLCHAIN"], "-DCMAKE_BUILD_TYPE=Release",
              "-DLAUNCHER_PAYLOAD_DIR=" + os.environ["E2E_PAYLOADS"], *options)
    if expect_success:
        check(out.returncode == 0, "configuring failed:\n" + out.stdout)
    return out


def build_launcher(build):
    return run("cmake", "--build", build, "--target", "InstallerLauncher", "-j", "2")


def refused_port():
    """A local port with nobody listening on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    work = os.environ["WORK_DIR"]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, pkcs12, password = make_certificate(work)
    build = os.path.join(work, "build")
    launcher = os.path.join(build, "InstallerLauncher.exe")

    # No timestamp server and no explicit opt-out: configuring stops.
    signing = ["-DLAUNCHER_SIGNING_PKCS12=" + pkcs12, "-DLAUNCHER_SIGNING_PASSWORD_FILE=" + password]
    out = configure(build, *signing, expect_success=False)
    check(out.returncode != 0 and "dies with the certificate" in " ".join(out.stdout.split()),
          "signing without a timestamp server was not refused:\n" + out.stdout)
    print("signing without a timestamp server needs the explicit opt-out")

    configure(build, *signing, "-DLAUNCHER_SIGNING_TIMESTAMP_URL=none")
    out = build_launcher(build)
    check(out.returncode == 0, "the signed build failed:\n" + out.stdout)
    with open(os.path.join(build, "build.ninja"), encoding="utf-8", errors="replace") as f:
        check(PASSWORD not in f.read(), "the password is on a build command line")

    out = run("osslsigncode", "verify", "-CAfile", cert, "-in", launcher)
    check(out.returncode == 0 and "Signature verification: ok" in out.stdout,
          "the signature does not verify:\n" + out.stdout)
    print("signature verifies against the throw-away certificate")
    os.makedirs(os.path.join(work, "signed"))
    shutil.copy(launcher, signed_copy(work))

    # A timestamp server that cannot be reached: the build fails and the
    # launcher, linked but not signed, is gone.
    configure(build, "-DLAUNCHER_SIGNING_TIMESTAMP_URL=http://127.0.0.1:%d/" % refused_port())
    out = build_launcher(build)
    check(out.returncode != 0, "signing with an unreachable timestamp server succeeded")
    check("signing %s failed" % launcher in " ".join(out.stdout.split()),
          "the failed build does not say that signing failed:\n" + out.stdout)
    check(not os.path.exists(launcher), "an unsigned launcher was left after the failed signing")
    print("a failed signing leaves no launcher")

    shutil.rmtree(build)
    print("ok")


def signed_copy(work):
    return os.path.join(work, "signed", "InstallerLauncher.exe")


def run_signed():
    launcher = signed_copy(os.environ["WORK_DIR"])
    check(os.path.exists(launcher), "no signed launcher: build.signed_launcher makes it")
    os.environ["E2E_LAUNCHER"] = launcher
    scenarios.SCENARIOS["win64_win10"]()
    print("the signed launcher ran the 64-bit Windows 10 scenario")


if __name__ == "__main__":
    if sys.argv[1:] == ["--run"]:
        run_signed()
    else:
        main()
