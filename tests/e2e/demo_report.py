"""The demo's report (scripts/demo_run.py) on one platform: the preparation
steps must show as observed in the prefix, in the order they happened: the
listed demo process ended, the listed older demo product removed, the
control sent, the settings backup made and removed around the package run.

    demo_report.py win64|win32

Environment (set by CTest): DEMO_BUILD (the build folder), DEMO_PROBE
(prep_probe.exe).
"""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from harness import SKIP_CODE, check, limit  # noqa: E402

DEMO = os.path.normpath(os.path.join(HERE, "..", "..", "scripts", "demo_run.py"))
DEMO_SETTINGS = os.path.normpath(os.path.join(HERE, "..", "..", "resources", "demo", "demo_settings.json"))

# Per platform: Windows version and launcher options (the 32-bit one also
# takes the quiet path, where msiexec is run directly).
RUNS = {"win64": ("win10", []), "win32": ("win7", ["-quiet"])}


def run_demo(arch):
    version, options = RUNS[arch]
    out = subprocess.run([sys.executable, DEMO, "--arch", arch, "--version", version,
                          "--build", os.environ["DEMO_BUILD"], "--probe", os.environ["DEMO_PROBE"],
                          "--", *options],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=limit(600))
    if out.returncode == SKIP_CODE:   # Wine cannot run the demo here: say why
        print(out.stdout.strip())
        sys.exit(SKIP_CODE)
    check(out.returncode == 0, "demo failed (%d):\n%s" % (out.returncode, out.stdout))
    return [line.strip() for line in out.stdout.splitlines()]


def main(arch):
    lines = run_demo(arch)
    report = "\n".join(lines)

    def has(text):
        check(text in lines, "report lacks %r:\n%s" % (text, report))

    # The demo settings list one process and one older product per
    # platform: the process ran before and is gone after, the product was
    # registered before and is removed by one msiexec run.
    with open(DEMO_SETTINGS, encoding="utf-8") as f:
        settings = json.load(f)
    bits = arch[3:] + "-bit"
    processes = settings["processNames"]
    codes = settings["oldProductCodes64" if arch == "win64" else "oldProductCodes32"]
    check(len(processes) == 1 and len(codes) == 1, "the demo settings list %r and %r" % (processes, codes))
    has("processes to end: " + processes[0])
    has("listed running before: " + processes[0])
    has("listed running after: none")
    gone = [line for line in lines if line.startswith("running before the run and gone after it:")]
    check(gone and processes[0] in gone[0].split(": ", 1)[1].split(", "), "process not gone:\n" + report)
    has("older products (%s list, this is a %s prefix): %s" % (bits, bits, codes[0]))
    has("%s: registered before yes, after no" % codes[0])
    removals = lines[lines.index("msiexec removal runs:") + 1]
    check(removals.endswith("msiexec.exe\" /passive /X " + codes[0]), "removal runs:\n" + report)
    # The demo service got the control once, and the package run saw the
    # backup with the values seeded before the run; afterwards it is gone.
    has("control codes received: 128")
    has("during the package run (msiexec.exe): backup present")
    has("values: Gain=7; Profile=Studio; Mixer\\Name=Demo")
    has("after the run: backup gone")

    order = lines[lines.index("== Order observed") + 1:]
    order = order[:[i for i, line in enumerate(order) if line.startswith("==")][0]]
    steps = [line.split(". ", 1)[1] for line in order if line[:1].isdigit()]
    runtimes = [s for s in steps if s.startswith("runtime ")]
    check(runtimes and steps[:len(runtimes)] == runtimes, "runtimes do not come first: %r" % steps)
    check(steps[len(runtimes):len(runtimes) + 5] == [
        "removal run", "control 128 sent (backup key then: absent)", "backup made",
        "package run (backup key then: present)", "backup gone"], "order seen: %r" % steps)
    check(len(steps) == len(runtimes) + 6 and steps[-1].startswith("working folder removed"),
          "order seen: %r" % steps)
    check(lines[lines.index("== Exit code") + 1] == "0", "exit code:\n" + report)


if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] not in RUNS:
        sys.exit("usage: demo_report.py " + "|".join(RUNS))
    check(os.environ.get("DEMO_BUILD") and os.environ.get("DEMO_PROBE"), "run through CTest (environment missing)")
    main(sys.argv[1])
    print("ok")
