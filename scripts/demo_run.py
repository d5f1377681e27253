#!/usr/bin/env python3
"""Runs a built launcher once in a fresh Wine prefix and reports what it did.

Called by scripts/demo after the build; uses the Wine prefix helpers of the
end-to-end tests (tests/e2e/harness.py).
"""
import argparse
import os
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

DRIVERS_KEY = "HKLM\\Software\\Corvane\\Audio\\Drivers"
SETTINGS_GUID = "{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}"
SETTINGS_KEY = DRIVERS_KEY + "\\" + SETTINGS_GUID
BACKUP_KEY = DRIVERS_KEY + "\\SettingsBackup_" + SETTINGS_GUID
PACKAGE_KEY = "HKLM\\Software\\Corvane\\TolvexOrvik\\DemoPackage"
PACKAGE_FOLDER = "C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik"
LAUNCHER = "C:\\demo\\InstallerLauncher.exe"
MSI_OPEN = '"C:\\windows\\system32\\msiexec.exe" /qn /i "%1"'


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", default="win64")
    parser.add_argument("--version", default="win10")
    parser.add_argument("--build", required=True)
    parser.add_argument("options", nargs="*")
    args = parser.parse_args()

    launcher = os.path.join(args.build, "InstallerLauncher.exe")
    payloads = os.path.join(args.build, "demo-payloads")
    templates = os.path.join(args.build, "wine-templates")
    command_line = " ".join(['"%s"' % LAUNCHER] + args.options)

    print("demo: %s prefix reporting %s; command line: %s" % (args.arch, args.version, command_line))
    print("demo: the shell's \"open\" on an .msi is pointed at msiexec with /qn")
    print("      (HKCR\\Msi.Package\\shell\\Open\\command = %s)," % MSI_OPEN)
    print("      since the package's full interface would wait headless for ever.")

    with harness.WinePrefix(arch=args.arch, version=args.version, payloads=payloads,
                            templates=templates) as wp:
        # A settings key with a value, so that the backup has something to copy.
        # The launcher is a 32-bit program: it sees the 32-bit registry view.
        wp.reg_add(SETTINGS_KEY, "Gain", "7", kind="REG_DWORD", view=32)
        wp.reg_add(SETTINGS_KEY + "\\Mixer", "Name", "Demo", view=32)
        wp.set_msi_open_command(MSI_OPEN)
        wp.use_msiexec_recorder()
        wp.put(launcher, LAUNCHER)

        code, stdout, _ = wp.launch(command_line, timeout=600)

        section("Children that ran (program, command line)")
        records = wp.records()
        if not records:
            print("   none")
        for r in records:
            print("   %s\t%s" % (r[0], r[1]))

        section("Driver package installed")
        package_view = 64 if args.arch == "win64" else 32
        variant = wp.reg_value(PACKAGE_KEY, "Variant", view=package_view)
        print("   %s\\Variant = %s" % (PACKAGE_KEY, variant if variant else "(none)"))
        for folder in ("C:\\Program Files\\Corvane\\TolvexOrvik",
                       "C:\\Program Files (x86)\\Corvane\\TolvexOrvik"):
            if wp.exists(folder):
                print("   %s: %s" % (folder, ", ".join(wp.listdir(folder)) or "(empty)"))

        section("Settings key and its backup (32-bit view)")
        show_key(wp, SETTINGS_KEY, 32)
        show_key(wp, BACKUP_KEY, 32)
        print("   (the backup exists while the package runs and is deleted afterwards)")

        section("Files left")
        print("   %s: %s" % (PACKAGE_FOLDER, ", ".join(wp.listdir(PACKAGE_FOLDER)) or "(none)"))
        temp = wp.temp_folder()
        left = []
        for name in sorted(os.listdir(temp)):
            path = os.path.join(temp, name)
            if os.path.isdir(path) and len(name) == 36 and name.count("-") == 4:
                left.append("%s\\ (%s)" % (name, ", ".join(sorted(os.listdir(path))) or "empty"))
        print("   temporary working folders: %s" % ("; ".join(left) if left else "none (removed)"))

        if stdout.strip():
            section("Launcher's standard output")
            for line in stdout.splitlines():
                print("   " + line)

        section("Exit code")
        print("   %d" % code)
    return 0


if __name__ == "__main__":
    sys.exit(main())
