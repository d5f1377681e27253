#!/usr/bin/env python3
"""Times whole launcher runs under Wine and prints the figures.

    bench/full_run.py [--build build/win32] [--runs 5] [--source DIR] [--large-mib 256]

The default build is build/win32 where this machine can run 32-bit code,
build/win64 (the x64 launcher) elsewhere.

Two figures, each the median of --runs runs in fresh 64-bit prefixes (the
prefix is made before the clock starts):

  full run     the build's InstallerLauncher.exe with its demo payloads: both
               runtime stand-ins, the real demo package through msiexec;
  large run    a launcher carrying a runtime of --large-mib MiB (the runtime
               stand-in, padded) and the demo package, built from --source
               (default: this tree) in <build>/bench-large; this shows the
               cost of writing and checking a large payload.

A benchmark, not a test: it prints figures and judges nothing.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

LAUNCHER = "C:\\bench\\InstallerLauncher.exe"


def timed_run(build, launcher):
    """Seconds from start to end of one launcher run in a fresh prefix."""
    payloads = os.path.join(build, "demo-payloads")
    with harness.WinePrefix(arch="win64", payloads=payloads,
                            templates=os.path.join(build, "wine-templates")) as wp:
        wp.put(launcher, LAUNCHER)
        wp.launch("cmd /c exit", cwd="C:\\bench")  # wineserver and the launch helper warm
        start = time.monotonic()
        code, out, err = wp.launch('"%s"' % LAUNCHER, cwd="C:\\bench")
        seconds = time.monotonic() - start
        if code != 0:
            sys.exit("launcher exit code %d: %s %s" % (code, out, err[-300:]))
        return seconds


def build_setting(build, name):
    """A value from the build's CMake cache ("" when it has none)."""
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def large_launcher(build, source, mib):
    """Builds (once) a launcher whose x86 runtime payload is `mib` MiB."""
    folder = os.path.join(build, "bench-large")
    payloads = os.path.join(folder, "payloads")
    launcher = os.path.join(folder, "InstallerLauncher.exe")
    os.makedirs(payloads, exist_ok=True)
    runtime = os.path.join(payloads, "VC2005_REDIST_32.exe")
    if not os.path.exists(runtime) or os.path.getsize(runtime) != mib << 20:
        # The stand-in stays a program that runs: the padding is data after
        # its last section.
        shutil.copy(os.path.join(build, "demo-payloads", "tools", "stand_in.exe"), runtime)
        with open(runtime, "ab") as f:
            f.truncate(mib << 20)
    shutil.copy(os.path.join(build, "demo-payloads", "MSI_WIN10_64.msi"), payloads)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_TOOLCHAIN_FILE=" + build_setting(build, "CMAKE_TOOLCHAIN_FILE"),
                    "-DLAUNCHER_PAYLOAD_DIR=" + payloads], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "InstallerLauncher", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return launcher


def report(name, seconds):
    print("%-10s median %.2f s  (runs: %s)" % (name, statistics.median(seconds),
                                                ", ".join("%.2f" % s for s in seconds)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    runs32 = subprocess.run([os.path.join(ROOT, "scripts", "machine-kind"), "--quiet"]).returncode == 0
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "win32" if runs32 else "win64"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--source", default=ROOT)
    parser.add_argument("--large-mib", type=int, default=256)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    # The Wine helpers place the msiexec recorder by the launcher's bitness.
    harness.PROCESS_BITS = 64 if "x86_64" in build_setting(build, "CMAKE_TOOLCHAIN_FILE") else 32

    launcher = os.path.join(build, "InstallerLauncher.exe")
    report("full run", [timed_run(build, launcher) for _ in range(args.runs)])
    large = large_launcher(build, os.path.abspath(args.source), args.large_mib)
    report("large run", [timed_run(build, large) for _ in range(args.runs)])


if __name__ == "__main__":
    main()
