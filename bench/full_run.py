#!/usr/bin/env python3
"""Times whole launcher runs under Wine beside what the platform itself needs
for the same bytes, and prints the figures side by side.

    bench/full_run.py [--build build/win32] [--runs 5] [--source DIR] [--large-mib 256]

The default build is build/win32 where this machine can run 32-bit code,
build/win64 (the x64 launcher) elsewhere.

Each round runs every program below once, one after another, each in a fresh
64-bit prefix (made before the clock starts); the figures are medians over
--runs rounds, each with its smallest and largest value. Running the kinds in
turn rather than one kind after the other lets every kind see the same load
of a busy machine.

  full run       the build's InstallerLauncher.exe with its demo payloads:
                 both runtime stand-ins, the real demo package through msiexec;
  large run      the same launcher and payloads, built from --source (default:
                 this tree) in <build>/bench-large, except that the x86 runtime
                 is --large-mib MiB (its stand-in, padded), so that the two
                 runs differ in that payload's size only;
  writer         bench_writer.exe, the simplest program that writes a carried
                 resource with WriteFile in the launcher's pieces and compares
                 it again (bench/bench_writer.cpp): once carrying 4 KiB, once
                 the large runtime's bytes;
  cp             cp of the large runtime's bytes on the host, no Wine.

The launcher's phases come from its run log: its line for vcredist_x86.exe
(written in, closed and reopened in, compared in) and the child's "ran for"
line; start-up, resource lookup and everything else is what is left of the
run's time (for the writer: what is left beside the times it prints). The
peak memory is each process's high-water mark of resident memory (VmHWM,
which counts the pages of its own image that it touched), read on the host
while it runs.

Extra time: in each round, the large run's time less the full run's, and
the large writer's less the small one's; the ratio of their medians is the
launcher's cost over the platform's for the same bytes.

A benchmark, not a test: it prints figures and judges nothing. On a shared
machine the figures move from one invocation to the next; compare figures of
one invocation with each other.
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

LAUNCHER = "C:\\bench\\InstallerLauncher.exe"
WRITER = "C:\\bench\\bench_writer.exe"
WRITER_OUTPUT = "C:\\windows\\Temp\\bench_writer.bin"
PHASES = ("writing", "closing and reopening", "comparing", "the child's run")


class PeakMemory(threading.Thread):
    """Follows the resident-memory high-water mark (VmHWM, KiB) of the Wine
    process running `program` in the prefix `prefix` until it ends."""

    def __init__(self, prefix, program):
        super().__init__(daemon=True)
        self.marker = ("WINEPREFIX=" + prefix + "\0").encode()
        self.program = program.lower().encode()
        self.peak_kib = 0
        self.done = threading.Event()

    def _find(self):
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if self.program not in f.read().lower():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if self.marker in f.read() + b"\0":
                        return pid
            except OSError:
                pass
        return None

    def run(self):
        pid = None
        while not self.done.is_set():
            pid = pid or self._find()
            if pid:
                try:
                    with open("/proc/%s/status" % pid) as f:
                        found = re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.MULTILINE)
                    if found:
                        self.peak_kib = max(self.peak_kib, int(found.group(1)))
                except OSError:
                    pid = None  # ended
            self.done.wait(0.03)


def timed_run(build, program, windows_name, command_line):
    """One run of `program` in a fresh prefix: (seconds, its standard output,
    the lines of a run log it left, its peak resident memory in KiB)."""
    with harness.WinePrefix(arch="win64", payloads=os.path.join(build, "demo-payloads"),
                            templates=os.path.join(build, "wine-templates")) as wp:
        wp.put(program, windows_name)
        wp.launch("cmd /c exit", cwd="C:\\bench")  # wineserver and the launch helper warm
        memory = PeakMemory(wp.path, windows_name.rsplit("\\", 1)[1])
        memory.start()
        start = time.monotonic()
        code, out, err = wp.launch(command_line, cwd="C:\\bench")
        seconds = time.monotonic() - start
        memory.done.set()
        memory.join()
        if code != 0:
            sys.exit("%s exit code %d: %s %s" % (windows_name, code, out, err[-300:]))
        log = []
        for name in glob.glob(os.path.join(wp.path, "drive_c", "windows", "*", "InstallerLauncher_*.log")):
            with open(name, encoding="utf-8", errors="replace") as f:
                log += f.read().splitlines()
        return seconds, out, log, memory.peak_kib


def launcher_phases(log, seconds):
    """{phase: seconds} of the x86 runtime in a run log, and what is left of
    the run's time as "start-up, lookup and the rest"."""
    phases = {}
    for line in log:
        found = re.match(r'file ".*\\vcredist_x86\.exe": written in (\d+) ms, closed and reopened in (\d+) ms, '
                         r'compared in (\d+) ms$', line)
        if found:
            for phase, ms in zip(PHASES, found.groups()):
                phases[phase] = int(ms) / 1000
        found = re.match(r'child ".*\\vcredist_x86\.exe" ran for (\d+) ms$', line)
        if found:
            phases["the child's run"] = int(found.group(1)) / 1000
    if len(phases) != len(PHASES):
        sys.exit("the run log lacks the times of vcredist_x86.exe:\n" + "\n".join(log))
    phases["start-up, lookup and the rest"] = seconds - sum(phases.values())
    return phases


def writer_phases(out, seconds):
    """{phase: seconds} the writer printed, and what is left of its run's time
    (Wine starting it and mapping its image) as "start-up, lookup and the rest"."""
    found = re.search(r"written in (\d+) ms, closed and reopened in (\d+) ms, compared in (\d+) ms", out)
    if not found:
        sys.exit("bench_writer printed no times: " + out)
    phases = {phase: int(ms) / 1000 for phase, ms in zip(PHASES, found.groups())}
    phases["start-up, lookup and the rest"] = seconds - sum(phases.values())
    return phases


def timed_cp(source, folder):
    target = os.path.join(folder, "copy.bin")
    start = time.monotonic()
    subprocess.run(["cp", "--sparse=never", source, target], check=True)
    seconds = time.monotonic() - start
    os.unlink(target)
    return seconds


def build_setting(build, name):
    """A value from the build's CMake cache ("" when it has none)."""
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def large_build(build, source, mib):
    """Builds (once) the launcher with the build's demo payloads but an x86
    runtime of `mib` MiB, and the writer carrying that runtime. Returns
    (launcher, writer, the runtime's file)."""
    folder = os.path.join(build, "bench-large")
    payloads = os.path.join(folder, "payloads")
    os.makedirs(payloads, exist_ok=True)
    demo = os.path.join(build, "demo-payloads")
    for name in os.listdir(demo):
        if re.fullmatch(r"(VC2005_REDIST_64\.exe|MSI.*\.msi)", name):
            shutil.copy(os.path.join(demo, name), payloads)
    runtime = os.path.join(payloads, "VC2005_REDIST_32.exe")
    if not os.path.exists(runtime) or os.path.getsize(runtime) != mib << 20:
        # The stand-in stays a program that runs: the padding is data after
        # its last section.
        shutil.copy(os.path.join(demo, "tools", "stand_in.exe"), runtime)
        with open(runtime, "ab") as f:
            f.truncate(mib << 20)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_TOOLCHAIN_FILE=" + build_setting(build, "CMAKE_TOOLCHAIN_FILE"),
                    "-DLAUNCHER_PAYLOAD_DIR=" + payloads, "-DBENCH_WRITER_PAYLOAD=" + runtime],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "InstallerLauncher", "bench_writer", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return (os.path.join(folder, "InstallerLauncher.exe"), os.path.join(folder, "bench", "bench_writer.exe"),
            runtime)


def spread(values, unit="s", scale=1.0, digits=2):
    """"median (min-max)" of `values`."""
    form = "%%.%df" % digits
    return ("%s %s (%s-%s)" % (form % (statistics.median(values) * scale), unit, form % (min(values) * scale),
                               form % (max(values) * scale)))


def row(name, *cells):
    print("  %-31s" % name + "".join("%-26s" % c for c in cells))


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
    small_writer = os.path.join(build, "bench", "bench_writer.exe")
    large, large_writer, runtime = large_build(build, os.path.abspath(args.source), args.large_mib)
    scratch = tempfile.mkdtemp(prefix="bench-cp.", dir=build)

    kinds = ("full", "large", "writer 4 KiB", "writer large", "cp")
    seconds = {k: [] for k in kinds}
    phases = {k: [] for k in kinds[:4]}
    peak = {"full": [], "large": [], "writer large": []}
    writer_line = '"%s" "%s"' % (WRITER, WRITER_OUTPUT)
    for _ in range(args.runs):
        for kind, program in (("full", launcher), ("large", large)):
            s, _, log, kib = timed_run(build, program, LAUNCHER, '"%s"' % LAUNCHER)
            seconds[kind].append(s)
            phases[kind].append(launcher_phases(log, s))
            peak[kind].append(kib)
        for kind, program in (("writer 4 KiB", small_writer), ("writer large", large_writer)):
            s, out, _, kib = timed_run(build, program, WRITER, writer_line)
            seconds[kind].append(s)
            phases[kind].append(writer_phases(out, s))
            peak.setdefault(kind, []).append(kib)
        seconds["cp"].append(timed_cp(runtime, scratch))
    shutil.rmtree(scratch, ignore_errors=True)

    def extra(a, b):
        return [x - y for x, y in zip(seconds[a], seconds[b])]

    def phase(kind, name):
        return [p[name] for p in phases[kind]]

    print("%s, %d MiB payload, %d rounds; median (min-max)" % (
        "x64" if harness.PROCESS_BITS == 64 else "32-bit", args.large_mib, args.runs))
    print()
    print("Whole runs")
    row("", "ours", "minimal writer", "cp on the host")
    row("small payload", "full " + spread(seconds["full"]), "4 KiB " + spread(seconds["writer 4 KiB"]), "")
    row("large payload", spread(seconds["large"]), spread(seconds["writer large"]), spread(seconds["cp"]))
    ours, writer = extra("large", "full"), extra("writer large", "writer 4 KiB")
    row("extra time for the payload", spread(ours), spread(writer), "")
    ratio = statistics.median(ours) / statistics.median(writer) if statistics.median(writer) > 0 else float("inf")
    print("  ours over the minimal writer's: %.2fx" % ratio)
    print()
    print("Phases of the %d MiB payload, large less small" % args.large_mib)
    row("", "ours (from the run log)", "minimal writer", "")
    for name in ("start-up, lookup and the rest",) + PHASES:
        ours = [a - b for a, b in zip(phase("large", name), phase("full", name))]
        if name == "the child's run":
            theirs = "-"
        else:
            theirs = spread([a - b for a, b in zip(phase("writer large", name), phase("writer 4 KiB", name))])
        row(name, spread(ours), theirs, "")
    print()
    print("Peak memory of the process (VmHWM)")
    row("", "ours", "minimal writer", "")
    row("small payload", spread(peak["full"], "MiB", 1 / 1024, 1), spread(peak["writer 4 KiB"], "MiB", 1 / 1024, 1))
    row("large payload", spread(peak["large"], "MiB", 1 / 1024, 1), spread(peak["writer large"], "MiB", 1 / 1024, 1))


if __name__ == "__main__":
    main()
