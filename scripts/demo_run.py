#!/usr/bin/env python3
"""Runs a built launcher once in a fresh Wine prefix and reports what it did.

Called by scripts/demo after the build; uses the Wine prefix helpers of the
end-to-end tests (tests/e2e/harness.py). By default it runs the demo's own
launcher (build/demo/InstallerLauncher.exe, settings
resources/demo/demo_settings.json). Before the run it starts each listed
process (the demo service's program under the listed name, which waits to be
ended) and installs the older demo product of the prefix's platform.
"""
import argparse
import json
import ntpath
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

PACKAGE_KEY = "HKLM\\Software\\Corvane\\TolvexOrvik\\DemoPackage"
LAUNCHER = "C:\\demo\\InstallerLauncher.exe"
DEMO_SETTINGS = os.path.join(ROOT, "resources", "demo", "demo_settings.json")
# The older demo product installed before the run, per platform (the
# launcher removes it when its product code is on the list it uses).
OLDER_PACKAGE = {"win64": "DemoOlder64.msi", "win32": "DemoOlder32.msi"}
UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
# Values put into the settings key before the run (name, type, data); the
# launcher is a 32-bit program and sees the 32-bit registry view.
SEED = [("Gain", "REG_DWORD", "7"), ("Profile", "REG_SZ", "Studio"), ("Mixer\\Name", "REG_SZ", "Demo")]


class Build:
    """What the launcher was built with: its settings file and the names
    that follow from it."""

    def __init__(self, settings_path):
        self.settings_path = settings_path
        with open(settings_path, encoding="utf-8") as f:
            self.settings = json.load(f)
        drivers = self.settings["driversKeyPath"]
        guid = self.settings["settingsGuid"]
        self.settings_key = drivers + "\\" + guid                     # below HKLM
        self.backup_key = drivers + "\\SettingsBackup_" + guid
        self.service = self.settings["monitorServiceName"]
        self.package_folder = "C:\\ProgramData\\%s\\%s" % (self.settings["installersFolderName"],
                                                               self.settings["productFolderName"])

    def process_names(self):
        return list(self.settings.get("processNames", []))

    def product_codes(self, win64):
        return list(self.settings.get("oldProductCodes64" if win64 else "oldProductCodes32", []))


def section(title):
    print("\n== " + title)


def show_key(wp, key, view):
    out = wp.reg_query(key, view=view, recurse=True)
    if out is None:
        print("   %s: absent" % key)
        return
    print("   %s:" % key)
    for line in out.splitlines():
        if line.strip():
            print("     " + line.strip())


def yes_no(flag):
    return "yes" if flag else "no"


def classify(line):
    """One line of the shared record file as (kind, fields): stand-in records
    become "runtime", "removal", "package" or "child"; the service's lines
    "control" or "service"."""
    fields = line.split("\t")
    name = fields[0].lower()
    if name == "msiexec.exe":
        args = fields[1] if len(fields) > 1 else ""
        return ("removal" if re.search(r"(^|\s)/x", args, re.I) else "package"), fields
    if name.startswith(("vc2005_redist", "vcredist")):
        return "runtime", fields
    if name.endswith(".exe"):
        return "child", fields
    if name.startswith("control "):
        return "control", fields
    return "service", fields


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", default="win64")
    parser.add_argument("--version", default="win10")
    parser.add_argument("--build", required=True)
    parser.add_argument("--probe", required=True,
                        help="prep_probe.exe of the build (the demo service and the listed processes)")
    parser.add_argument("--launcher", help="another launcher than the demo's own")
    parser.add_argument("--settings", help="the settings file that launcher was built with")
    parser.add_argument("options", nargs="*")
    args = parser.parse_args()

    build = Build(args.settings or DEMO_SETTINGS)
    launcher = args.launcher or os.path.join(args.build, "demo", "InstallerLauncher.exe")
    payloads = os.path.join(args.build, "demo-payloads")
    templates = os.path.join(args.build, "wine-templates")
    command_line = " ".join(['"%s"' % LAUNCHER] + args.options)
    win64 = args.arch == "win64"
    processes = build.process_names()
    codes = build.product_codes(win64)
    uninstall_view = 64 if win64 else None     # the view the launcher tests

    print("demo: %d-bit launcher in a %s prefix reporting %s; command line: %s" % (
        harness.PROCESS_BITS, args.arch, args.version, command_line))

    section("Settings the launcher was built with (%s)" % build.settings_path)
    print("   processes to end: %s" % (", ".join(processes) if processes else "none listed"))
    print("   older products (%s list, this is a %s prefix): %s" % (
        "64-bit" if win64 else "32-bit", "64-bit" if win64 else "32-bit",
        ", ".join(codes) if codes else "none listed"))
    print("   device-monitor service: %s" % build.service)
    print("   settings key: HKLM\\%s (32-bit view)" % build.settings_key)

    # The children and the demo service append to one file, so its lines
    # give the order in which things happened.
    started = []
    with harness.WinePrefix(arch=args.arch, version=args.version, payloads=payloads,
                            templates=templates, record_file=harness.PROBE_LOG) as wp:
        # Before msiexec's recorder is put in place: the older product's
        # installation is not part of what the launcher did.
        older = os.path.join(payloads, "older", OLDER_PACKAGE[args.arch])
        older_installed = bool(codes) and os.path.exists(older)
        if older_installed:
            wp.put(older, "C:\\demo\\older\\" + OLDER_PACKAGE[args.arch])
            wp.wine("msiexec", "/i", "C:\\demo\\older\\" + OLDER_PACKAGE[args.arch], "/qn",
                    check_rc=True)
        for name in processes:
            wp.put(args.probe, "C:\\demo\\processes\\" + name)
            started.append(wp.start("C:\\demo\\processes\\" + name))
        if processes:
            wp.wait_probe_log(lambda log: all("started\t" + n in log for n in processes),
                              "the listed processes")
        for name, kind, data in SEED:
            sub, _, value = name.rpartition("\\")
            wp.reg_add("HKLM\\" + build.settings_key + ("\\" + sub if sub else ""), value, data,
                       kind=kind, view=32)
        wp.install_probe_service(args.probe, build.service, start=True)
        wp.use_msiexec_recorder()
        wp.env["E2E_PROBE_KEY"] = build.backup_key
        wp.put(launcher, LAUNCHER)

        section("Before the run")
        print("   settings key seeded: %s" % ", ".join("%s=%s" % (n, d) for n, _, d in SEED))
        print("   backup key: %s" % ("present" if wp.reg_key_exists("HKLM\\" + build.backup_key, view=32)
                                     else "absent"))
        print("   service %s: demo service (prep_probe.exe) installed and running; it records"
              % build.service)
        print("     each control code it receives")
        if processes:
            print("   demo processes started: %s (the demo service's program under that name,"
                  % ", ".join(processes))
            print("     waiting to be ended)")
        if older_installed:
            print("   older demo product installed: %s" % OLDER_PACKAGE[args.arch])
        running_before = wp.running_processes()
        listed_before = [p for p in running_before if p in processes]
        print("   listed processes running: %s" % (
            "none listed" if not processes else ", ".join(listed_before) or "none"))
        registered_before = {c: wp.reg_key_exists("HKLM\\" + UNINSTALL + c, view=uninstall_view)
                             for c in codes}
        print("   listed older products registered: %s" % (
            "none listed" if not codes else
            ", ".join("%s %s" % (c, yes_no(r)) for c, r in registered_before.items())))

        code, stdout, _ = wp.launch(command_line, timeout=600)

        lines = wp.record_lines()
        events = [classify(line) for line in lines]
        records = wp.records()

        section("Children that ran (program, command line)")
        if not records:
            print("   none")
        for r in records:
            print("   %s\t%s" % (r.name, r.command_line))

        section("Processes")
        running_after = wp.running_processes()
        gone = sorted(set(running_before) - set(running_after) - {"winedbg.exe", "start.exe"})
        if not processes:
            print("   none listed, nothing ended")
        else:
            listed_after = [p for p in running_after if p in processes]
            print("   listed running before: %s" % (", ".join(listed_before) or "none"))
            print("   listed running after: %s" % (", ".join(listed_after) or "none"))
        print("   running before the run and gone after it: %s" % (", ".join(gone) or "none"))

        section("Older products (%s list)" % ("64-bit" if win64 else "32-bit"))
        removals = [f for kind, f in events if kind == "removal"]
        if not codes:
            print("   none listed")
        for c in codes:
            after = wp.reg_key_exists("HKLM\\" + UNINSTALL + c, view=uninstall_view)
            print("   %s: registered before %s, after %s" % (c, yes_no(registered_before[c]), yes_no(after)))
        print("   msiexec removal runs: %s" % ("none" if not removals else ""))
        for f in removals:
            print("     " + f[1])

        section("Device-monitor service %s" % build.service)
        controls = [f for kind, f in events if kind == "control"]
        print("   control codes received: %s" % (
            ", ".join(f[0].split(" ", 1)[1] for f in controls) if controls else "none"))

        section("Settings backup (32-bit view)")
        packages = [f for kind, f in events if kind == "package"]
        for f in packages:
            present = len(f) > 4 and f[4] == "1"
            print("   during the package run (%s): backup %s" % (
                f[0], "present" if present else "absent" if len(f) > 4 else "not probed"))
            if present:
                print("     values: %s" % ("; ".join(f[5:]) or "none"))
        if not packages:
            print("   no package run seen")
        backup_after = wp.reg_key_exists("HKLM\\" + build.backup_key, view=32)
        print("   after the run: backup %s" % ("still there" if backup_after else "gone"))
        show_key(wp, "HKLM\\" + build.settings_key, 32)

        section("Order observed")
        working = sorted({ntpath.dirname(f[2]) for kind, f in events if kind == "runtime" and len(f) > 2})
        working_left = [w for w in working if wp.exists(w)]
        steps = []
        for kind, f in events:
            if kind == "runtime":
                steps.append("runtime %s" % f[0])
            elif kind == "removal":
                steps.append("removal run")
            elif kind == "control":
                backup = f[1].split("=", 1)[1] if len(f) > 1 and "=" in f[1] else "?"
                steps.append("control %s sent (backup key then: %s)" % (
                    f[0].split(" ", 1)[1], "absent" if backup == "-1" else "%s values" % backup))
            elif kind == "package":
                made = len(f) > 4 and f[4] == "1"
                if made:
                    steps.append("backup made")
                steps.append("package run (backup key then: %s)" % ("present" if made else "absent"))
            elif kind == "child":
                steps.append("child %s" % f[0])
        steps.append("backup %s" % ("gone" if not backup_after else "still there"))
        if working:
            steps.append("working folder %s" % ("left: " + ", ".join(working_left) if working_left
                                                else "removed (%s)" % ", ".join(working)))
        else:
            steps.append("no working folder seen (no runtime ran)")
        for i, step in enumerate(steps, 1):
            print("   %d. %s" % (i, step))
        print("   (\"backup made\" is inferred: absent when the control arrived, present at the")
        print("    package run; backup and working folder are checked after the run, so their")
        print("    removals are not ordered against each other)")

        section("Driver package installed")
        package_view = 64 if win64 else 32
        variant = wp.reg_value(PACKAGE_KEY, "Variant", view=package_view)
        print("   %s\\Variant = %s" % (PACKAGE_KEY, variant if variant else "(none)"))
        for folder in ("C:\\Program Files\\Corvane\\TolvexOrvik",
                       "C:\\Program Files (x86)\\Corvane\\TolvexOrvik"):
            if wp.exists(folder):
                print("   %s: %s" % (folder, ", ".join(wp.listdir(folder)) or "(empty)"))

        section("Files left")
        print("   %s: %s" % (build.package_folder, ", ".join(wp.listdir(build.package_folder)) or "(none)"))
        # The user's TEMP, and the Windows folder's SystemTemp and Temp,
        # where an elevated run makes its working folder.
        windows = os.path.join(wp.path, "drive_c", "windows")
        temps = [wp.temp_folder()] + [os.path.join(windows, e) for e in sorted(os.listdir(windows))
                                      if e.lower() in ("systemtemp", "temp")]
        left = []
        for temp in temps:
            for name in sorted(os.listdir(temp)):
                path = os.path.join(temp, name)
                if os.path.isdir(path) and len(name) == 36 and name.count("-") == 4:
                    left.append("%s\\ (%s)" % (name, ", ".join(sorted(os.listdir(path))) or "empty"))
        print("   temporary working folders: %s" % ("; ".join(left) if left else "none (removed)"))

        if stdout.strip():
            section("Launcher's standard output")
            for line in stdout.splitlines():
                print("   " + line)

        # What an administrator reading the run afterwards would see.
        section("Run log")
        for path, text in wp.run_logs():
            print("   " + os.path.basename(path))
            for line in text.splitlines():
                print("     " + line)

        section("Exit code")
        print("   %d" % code)
    for process in started:
        try:
            process.wait(timeout=harness.limit(30))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
