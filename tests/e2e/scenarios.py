#!/usr/bin/env python3
"""End-to-end scenarios of the launcher executable under Wine.

    scenarios.py NAME        run one scenario (exit 0 when every check holds)
    scenarios.py --list [32|64]  list the scenario names (64: those a 64-bit launcher runs)

Paths come from the environment (tests/e2e/CMakeLists.txt sets them):
    E2E_PAYLOADS   the build's demo-payloads folder
    E2E_LAUNCHER   the default launcher executable
    E2E_VARIANTS   folder holding one subfolder per launcher variant
    E2E_TEMPLATES  folder of the Wine template prefixes

Each scenario runs in a fresh prefix. The runtime installers and legacy
uninstallers are stand-ins that append a record of every run (name, command
line, own path, current folder); a recorder stands where a 32-bit process
finds msiexec.exe and hands each call on to the real engine, so the demo
packages really get installed and can be checked in the registry and on disk.
"""

import hashlib
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import WinePrefix, Failure, check, limit  # noqa: E402

RUN_DIR = "C:\\e2e\\run"
LAUNCHER = RUN_DIR + "\\InstallerLauncher.exe"
PACKAGE = "C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik\\CorvaneInstaller.msi"
SYSTEM_FOLDER = "C:\\windows\\system32"
SYSTEM_MSIEXEC = SYSTEM_FOLDER + "\\msiexec.exe"
DEMO_KEY = "HKLM\\Software\\Corvane\\TolvexOrvik\\DemoPackage"
DRIVERS_KEY = "HKLM\\Software\\Corvane\\Audio\\Drivers"
SETTINGS_GUID = "{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}"
BACKUP_KEY_PATH = "Software\\Corvane\\Audio\\Drivers\\SettingsBackup_" + SETTINGS_GUID
# The shell's "open" on a package is pointed at msiexec with an extra
# property that marks a run as coming through the association: the launcher
# must never take that way.
SHELL_MARK = "E2E_SHELL_OPEN=1"
SHELL_OPEN = '"%s" /i "%%1" /qn %s' % (SYSTEM_MSIEXEC, SHELL_MARK)
# Wine runs the launcher with administrator rights: its working folder and
# its log go below the Windows folder's SystemTemp or Temp, never below the
# user's TEMP.
WORKING_FILE = re.compile(
    r"^C:\\windows\\(?:SystemTemp|Temp)\\"
    r"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\\([^\\]+)$",
    re.IGNORECASE)
QUESTION_TITLE = "Orvik legacy removal"
QUESTION_TEXT = "Remove the previous driver installation now?"


def argument_tail(command_line):
    """The command line without its program name, split off as Windows
    programs do (double quotes toggle, blanks end the name and are dropped)."""
    i, quoted = 0, False
    while i < len(command_line) and (quoted or ord(command_line[i]) > 32):
        if command_line[i] == '"':
            quoted = not quoted
        i += 1
    while i < len(command_line) and ord(command_line[i]) <= 32:
        i += 1
    return command_line[i:]


def program_of(command_line):
    return command_line[:len(command_line) - len(argument_tail(command_line))].strip().strip('"')


def describe(records):
    return "\n".join("  %s | %s | %s | %s | backup key: %s" % r for r in records) or \
        "  (no runs recorded)"


class Run:
    """One launcher run in a fresh prefix, with the checks the scenarios share."""

    def __init__(self, wp, code, out, err, cwd=RUN_DIR):
        self.wp, self.code, self.out, self.err, self.cwd = wp, code, out, err, cwd
        self.records = wp.records()
        print("launcher exit code %d; recorded runs:\n%s" % (code, describe(self.records)))

    def fail(self, message):
        raise Failure("%s\nrecorded runs:\n%s\nlauncher stdout: %r stderr tail: %r" % (
            message, describe(self.records), self.out, self.err[-400:]))

    def expect(self, condition, message):
        if not condition:
            self.fail(message)

    def names(self):
        return [r.name.lower() for r in self.records]

    def by_name(self, name):
        found = [r for r in self.records if r.name.lower() == name.lower()]
        self.expect(len(found) == 1, "expected exactly one run of %s" % name)
        return found[0]

    def exit_code_zero(self):
        self.expect(self.code == 0, "launcher exit code %d, expected 0" % self.code)

    def order(self, expected):
        self.expect(self.names() == [n.lower() for n in expected],
                    "runs in this order expected: %s" % ", ".join(expected))

    def working_folder_runs(self, expected):
        """Each named stand-in ran from one shared new folder below the
        Windows folder's SystemTemp or Temp, under its own file name, started in that folder
        (never the launcher's current folder, which the user controls), with
        the expected arguments. Returns the folder."""
        folders = set()
        for name, arguments in expected:
            rec = self.by_name(name)
            m = WORKING_FILE.match(rec.path)
            self.expect(m and m.group(2).lower() == name.lower(),
                        "%s ran from %s, not from a UUID folder in the Windows folder's SystemTemp or Temp"
                        % (name, rec.path))
            folder = rec.path[:-len(name) - 1]
            folders.add(folder)
            self.expect(rec.folder.rstrip("\\").lower() == folder.lower(),
                        "%s started in %s, expected its working folder %s"
                        % (name, rec.folder, folder))
            self.expect(argument_tail(rec.command_line) == arguments,
                        "%s got arguments %r, expected %r"
                        % (name, argument_tail(rec.command_line), arguments))
        self.expect(len(folders) == 1, "installers ran from different folders: %s" % folders)
        return folders.pop()

    def working_folder_removed(self, folder):
        self.expect(not self.wp.exists(folder), "working folder %s still exists" % folder)

    def working_folder_kept(self, folder, files):
        present = [f.lower() for f in self.wp.listdir(folder)]
        self.expect(present == sorted(f.lower() for f in files),
                    "working folder %s should be left with %s, holds %s" % (folder, files, present))

    def msiexec_run(self):
        return self.by_name("msiexec.exe")

    def installed_without_template(self):
        """No template: the system's msiexec with /i and the quoted package, as
        the default association would run it, never the association itself."""
        self.msiexec_direct('/i "%s"' % PACKAGE)

    def msiexec_direct(self, arguments):
        rec = self.msiexec_run()
        self.expect(SHELL_MARK not in rec.command_line,
                    "msiexec should be run by the launcher, not through the shell's open")
        self.expect(program_of(rec.command_line).lower() == SYSTEM_MSIEXEC.lower(),
                    "msiexec should be started by its full path in the system folder, got %r"
                    % program_of(rec.command_line))
        self.expect(argument_tail(rec.command_line) == arguments,
                    "msiexec got %r, expected %r" % (argument_tail(rec.command_line), arguments))
        self.expect(rec.folder.rstrip("\\").lower() == SYSTEM_FOLDER.lower(),
                    "msiexec started in %s, expected the system folder %s"
                    % (rec.folder, SYSTEM_FOLDER))

    def package_left(self, variant):
        path = self.wp.unix(PACKAGE)
        self.expect(os.path.isfile(path), "package file %s missing" % PACKAGE)
        payload = os.path.join(self.wp.payloads, variant + ".msi")
        self.expect(_digest(path) == _digest(payload),
                    "%s holds other bytes than %s.msi" % (PACKAGE, variant))

    def no_package(self):
        self.expect(not self.wp.exists(PACKAGE), "package file %s was written" % PACKAGE)

    def installed(self, variant, folder=None):
        """The variant's registry value in its own view, its file on disk, and
        no other variant installed."""
        x64 = variant.endswith("64")
        view = (64 if x64 else 32) if self.wp.is_win64 else None
        got = self.wp.reg_value(DEMO_KEY, "Variant", view=view)
        self.expect(got == variant, "installed variant in registry: %r, expected %r" % (got, variant))
        if self.wp.is_win64:
            other = self.wp.reg_value(DEMO_KEY, "Variant", view=32 if x64 else 64)
            self.expect(other is None, "a second package landed in the other view: %r" % other)
        if folder is None:
            folder = "C:\\Program Files%s\\Corvane\\TolvexOrvik" % (
                " (x86)" if self.wp.is_win64 and not x64 else "")
        self.expect(self.wp.exists(folder + "\\" + variant + ".txt"),
                    "%s.txt not installed in %s (has %s)" % (variant, folder, self.wp.listdir(folder)))

    def nothing_installed(self):
        views = (32, 64) if self.wp.is_win64 else (None,)
        for view in views:
            got = self.wp.reg_value(DEMO_KEY, "Variant", view=view)
            self.expect(got is None, "a package was installed: %r" % got)

    def backup_only_around_package(self):
        """The settings copy exists while the package installs and at no
        other child's run."""
        for rec in self.records:
            want = "1" if rec.name.lower() == "msiexec.exe" else "0"
            self.expect(rec.probe == want, "settings backup key %s during %s" % (
                "missing" if want == "1" else "present", rec.name))

    def completed_with(self, variant, folder):
        """The end of a whole run: the backup existed only around the package,
        `variant` is installed and left in the shared folder, the working
        folder is gone, and so is the settings copy."""
        self.backup_only_around_package()
        self.installed(variant)
        self.package_left(variant)
        self.working_folder_removed(folder)
        self.settings_keys(main_sequence_ran=True)

    def settings_keys(self, main_sequence_ran):
        """The settings key is made by the backup step (32-bit view) and its
        copy is gone after the run; a run stopped at the gate touches neither."""
        view = 32 if self.wp.is_win64 else None
        settings = self.wp.reg_key_exists(DRIVERS_KEY + "\\" + SETTINGS_GUID, view=view)
        backup = self.wp.reg_key_exists(DRIVERS_KEY + "\\SettingsBackup_" + SETTINGS_GUID, view=view)
        self.expect(settings == main_sequence_ran,
                    "settings key %s" % ("missing" if main_sequence_ran else "created by a stopped run"))
        self.expect(not backup, "settings backup key left behind")


def _digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def env_path(name):
    value = os.environ.get(name)
    check(value, "environment variable %s is not set" % name)
    return value


def variant_launcher(name):
    return os.path.join(env_path("E2E_VARIANTS"), name, "InstallerLauncher.exe")


def run_launcher(wp, arguments="", launcher=None, exit_codes=None, before=None, cwd=RUN_DIR):
    """Sets the prefix up as every scenario needs it and runs the launcher."""
    source = launcher or env_path("E2E_LAUNCHER")
    check(os.path.isfile(source), "launcher not built: " + source)
    wp.use_msiexec_recorder()
    wp.set_msi_open_command(SHELL_OPEN)
    wp.env["E2E_PROBE_KEY"] = BACKUP_KEY_PATH
    if exit_codes:
        wp.set_exit_codes(exit_codes)
    wp.put(source, LAUNCHER)
    if before:
        before(wp)
    command_line = '"%s"%s' % (LAUNCHER, " " + arguments if arguments else "")
    code, out, err = wp.launch(command_line, cwd=cwd)
    return Run(wp, code, out, err, cwd)


def prefix(arch="win64", version="win10"):
    return WinePrefix(arch=arch, version=version, payloads=env_path("E2E_PAYLOADS"),
                      templates=os.environ.get("E2E_TEMPLATES"))


# ---- platform scenarios: no option, the package chosen by platform ------------
def platform_scenario(arch, version, variant):
    def scenario():
        with prefix(arch, version) as wp:
            run = run_launcher(wp)
            run.exit_code_zero()
            runtimes = [("vcredist_x86.exe", "/passive /norestart")]
            if wp.is_win64:
                runtimes.append(("vcredist_x64.exe", "/passive /norestart"))
            run.order([n for n, _ in runtimes] + ["msiexec.exe"])
            folder = run.working_folder_runs(runtimes)
            run.installed_without_template()
            run.completed_with(variant, folder)
    scenario.arch = arch
    return scenario


# ---- command-line options (64-bit Windows 10) -----------------------------------
def option_scenario(arguments, runtime_arguments, msiexec_arguments, variant="MSI_WIN10_64",
                    folder=None, before=None, arch="win64"):
    def scenario():
        with prefix(arch) as wp:
            run = run_launcher(wp, arguments, before=before)
            run.exit_code_zero()
            runtimes = ["vcredist_x86.exe"] + (["vcredist_x64.exe"] if wp.is_win64 else [])
            run.order(runtimes + ["msiexec.exe"])
            work = run.working_folder_runs([(name, runtime_arguments) for name in runtimes])
            run.msiexec_direct(msiexec_arguments.replace("<PKG>", '"%s"' % PACKAGE))
            run.backup_only_around_package()
            run.installed(variant, folder)
            run.package_left("MSI_WIN10_64" if wp.is_win64 else "MSI_WIN10_32")
            run.working_folder_removed(work)
    scenario.arch = arch
    return scenario


def place_msi32(wp):
    wp.put(os.path.join(wp.payloads, "MSI32.msi"), "C:\\e2e\\other\\MSI32.msi")


# ---- runtime failure ----------------------------------------------------------------
def runtime_failure_stops():
    with prefix() as wp:
        run = run_launcher(wp, exit_codes={"vcredist_x86.exe": 1603})
        run.exit_code_zero()
        run.order(["vcredist_x86.exe"])
        folder = run.working_folder_runs([("vcredist_x86.exe", "/passive /norestart")])
        run.working_folder_kept(folder, ["vcredist_x86.exe"])
        run.no_package()
        run.nothing_installed()
        run.settings_keys(main_sequence_ran=False)


def runtime_failure_continues():
    with prefix() as wp:
        run = run_launcher(wp, launcher=variant_launcher("continue"),
                           exit_codes={"vcredist_x86.exe": 3010})
        run.exit_code_zero()
        # The failed x86 runtime ends the runtime step: no x64 runtime.
        run.order(["vcredist_x86.exe", "msiexec.exe"])
        folder = run.working_folder_runs([("vcredist_x86.exe", "/passive /norestart")])
        run.installed_without_template()
        run.completed_with("MSI_WIN10_64", folder)


# ---- legacy uninstallers --------------------------------------------------------------
def legacy_scenario(variant, uninstallers, exit_codes=None, completes=True):
    def scenario():
        with prefix() as wp:
            run = run_launcher(wp, launcher=variant_launcher(variant), exit_codes=exit_codes)
            run.exit_code_zero()
            runtimes = [("vcredist_x86.exe", "/passive /norestart"),
                        ("vcredist_x64.exe", "/passive /norestart")]
            legacy = [(name, "") for name in uninstallers]
            names = [n for n, _ in runtimes + legacy]
            run.order(names + (["msiexec.exe"] if completes else []))
            folder = run.working_folder_runs(runtimes + legacy)
            run.backup_only_around_package()
            if completes:
                run.installed_without_template()
                run.installed("MSI_WIN10_64")
                run.package_left("MSI_WIN10_64")
                run.working_folder_removed(folder)
            else:
                run.working_folder_kept(folder, names)
                run.no_package()
                run.nothing_installed()
            run.settings_keys(main_sequence_ran=completes)
    return scenario


def question_scenario(answer):
    def scenario():
        with prefix() as wp:
            helper = "C:\\e2e\\tools\\answer_box.exe"
            wp.put(wp.tool("answer_box.exe"), helper)
            answerer = {}

            def start_answerer(wp):
                answerer["p"] = wp.start(helper, QUESTION_TITLE, answer, str(limit(60000)))

            run = run_launcher(wp, launcher=variant_launcher("question"), before=start_answerer)
            out, err = answerer["p"].communicate(timeout=limit(60))
            run.expect(answerer["p"].returncode == 0,
                       "the question box was not answered (%d): %s" % (answerer["p"].returncode, err))
            run.expect(out.strip() == QUESTION_TEXT, "question text was %r" % out.strip())
            run.exit_code_zero()
            if answer == "yes":
                runtimes = [("vcredist_x86.exe", "/passive /norestart"),
                            ("vcredist_x64.exe", "/passive /norestart")]
                run.order(["vcredist_x86.exe", "vcredist_x64.exe", "qx_isu.exe", "msiexec.exe"])
                folder = run.working_folder_runs(runtimes + [("qx_isu.exe", "")])
                run.installed_without_template()
                run.completed_with("MSI_WIN10_64", folder)
            else:
                run.order([])
                temp = elevated_temp_folder(wp)
                made = [n for n in os.listdir(temp) if re.fullmatch(r"[0-9a-fA-F-]{36}", n)]
                run.expect(not made, "a working folder was made: %s" % made)
                run.no_package()
                run.nothing_installed()
                run.settings_keys(main_sequence_ran=False)
    return scenario


# ---- a msiexec.exe planted beside the launcher --------------------------------------------
def planted_msiexec():
    def plant(wp):
        wp.put(wp.tool("stand_in.exe"), RUN_DIR + "\\msiexec.exe")

    with prefix() as wp:
        run = run_launcher(wp, "/quiet", before=plant)
        run.exit_code_zero()
        planted = [r for r in run.records if r.path.lower() == (RUN_DIR + "\\msiexec.exe").lower()]
        run.expect(not planted, "the msiexec.exe in the current folder ran")
        run.order(["vcredist_x86.exe", "vcredist_x64.exe", "msiexec.exe"])
        work = run.working_folder_runs([("vcredist_x86.exe", "/q /norestart"),
                                        ("vcredist_x64.exe", "/q /norestart")])
        rec = run.msiexec_run()
        run.expect(rec.path.lower() == (wp.system32_folder + "\\msiexec.exe").lower(),
                   "msiexec ran from %s" % rec.path)
        run.msiexec_direct('/i "%s" /quiet' % PACKAGE)
        run.installed("MSI_WIN10_64")
        run.package_left("MSI_WIN10_64")
        run.working_folder_removed(work)


# ---- the package cannot be written: the sequence still finishes ---------------------------
def package_folder_blocked():
    def block(wp):
        # A file where the product folder should be: making the folder
        # reports "already exists", and creating the package below it fails.
        blocker = wp.unix("C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik")
        os.makedirs(os.path.dirname(blocker), exist_ok=True)
        with open(blocker, "w") as f:
            f.write("not a folder\n")

    with prefix() as wp:
        run = run_launcher(wp, before=block)
        run.exit_code_zero()
        run.order(["vcredist_x86.exe", "vcredist_x64.exe"])
        folder = run.working_folder_runs([("vcredist_x86.exe", "/passive /norestart"),
                                          ("vcredist_x64.exe", "/passive /norestart")])
        line = re.search(r"^CreateFile failed \(\d+\)$", run.out, re.MULTILINE)
        run.expect(line, "no CreateFile diagnostic line on standard output")
        run.expect(not line or line.group(0) in run_log(wp), "the diagnostic line is not in the run log")
        run.expect("CheckFolder" not in run.out, "the file was refused as a folder level")
        run.nothing_installed()
        # The steps after the package run still ran.
        run.working_folder_removed(folder)
        run.settings_keys(main_sequence_ran=True)


# ---- the run log and the exit code on request ------------------------------------------------
def elevated_temp_folder(wp):
    """Unix path of the folder where an elevated run makes its working folder
    and its log: the Windows folder's SystemTemp when there is one, else its
    Temp (names compared without regard to case, as Windows does)."""
    windows = os.path.join(wp.path, "drive_c", "windows")
    entries = {e.lower(): os.path.join(windows, e) for e in os.listdir(windows)}
    for name in ("systemtemp", "temp"):
        if name in entries and os.path.isdir(entries[name]):
            return entries[name]
    check(False, "no SystemTemp or Temp in the prefix's Windows folder")


def run_log(wp):
    """The lines of the one log file the (elevated) run left next to its
    working folder."""
    temp = elevated_temp_folder(wp)
    logs = [n for n in os.listdir(temp) if re.fullmatch(r"InstallerLauncher_\d{8}_\d{6}\.log", n)]
    check(len(logs) == 1, "one run log expected in %s, found %s" % (temp, logs))
    with open(os.path.join(temp, logs[0]), encoding="utf-8") as f:
        return f.read().splitlines()


def log_of_a_failing_runtime_and_a_restart():
    """Continue after a failing runtime, and a package asking for a restart:
    the log names every child with its path, parameters and exit code."""
    with prefix() as wp:
        run = run_launcher(wp, launcher=variant_launcher("continue"),
                           exit_codes={"vcredist_x86.exe": 1603, "msiexec.exe": 3010})
        run.exit_code_zero()
        folder = run.working_folder_runs([("vcredist_x86.exe", "/passive /norestart")])
        log = run_log(wp)
        msiexec = wp.system32_folder.replace("syswow64", "system32") + "\\msiexec.exe"
        want = [
            'command line: "%s"' % LAUNCHER,
            "platform: 64-bit Windows, Windows 10 or later",
            'child "%s\\vcredist_x86.exe" starts with parameters: /passive /norestart' % folder,
            'child "%s\\vcredist_x86.exe" ended with exit code 1603' % folder,
            "step InstallPrerequisites: 1603",
            'child "%s" starts with parameters: /i "%s"' % (msiexec, PACKAGE),
            'child "%s" ended with exit code 3010' % msiexec,
            "step InstallDriverPackage: 3010",
            "exit code: 0",
        ]
        lines = [l for l in log if l.lower() in [w.lower() for w in want]]
        run.expect(len(lines) == len(want) and log[-1] == "exit code: 0",
                   "log lacks %s:\n%s" % ([w for w in want if w.lower() not in [l.lower() for l in log]],
                                           "\n".join(log)))
        # Elevated (as every run under Wine is), the run first refuses to
        # follow junctions a non-administrator made, where Windows can.
        run.expect(re.fullmatch(r"redirection trust: (enforced|not available \(.*\))", log[0]),
                   "the log's first line: %r" % log[0])
        # How long the runtime took to write, check and run, for slow runs.
        runtime = re.escape(folder + "\\vcredist_x86.exe")
        timed = [r'file "%s": written in \d+ ms, closed and reopened in \d+ ms, compared in \d+ ms' % runtime,
                 r'child "%s" ran for \d+ ms' % runtime]
        run.expect(all(any(re.fullmatch(t, l, re.IGNORECASE) for l in log) for t in timed),
                   "log lacks the times of vcredist_x86.exe:\n" + "\n".join(log))


def exit_code_reported(exit_codes, expected):
    """reportFailureInExitCode set: the gate's stop, or the package run's result."""
    def scenario():
        with prefix() as wp:
            run = run_launcher(wp, launcher=variant_launcher("report"), exit_codes=exit_codes)
            run.expect(run.code == expected, "exit code %d, expected %d" % (run.code, expected))
            run.expect(run_log(wp)[-1] == "exit code: %d" % expected, "the log's last line")
    return scenario


# ---- one run at a time, and a busy Windows Installer -----------------------------------------
ANOTHER_RUN = "Another run of this installer is in progress"


def run_logs(wp):
    """The lines of every run log the (elevated) runs left next to their
    working folders, oldest name first."""
    temp = elevated_temp_folder(wp)
    logs = sorted(n for n in os.listdir(temp) if re.fullmatch(r"InstallerLauncher_\d{8}_\d{6}(_\d+)?\.log", n))
    result = []
    for name in logs:
        with open(os.path.join(temp, name), encoding="utf-8") as f:
            result.append(f.read().splitlines())
    return result


def backup_present(wp):
    key = DRIVERS_KEY + "\\SettingsBackup_" + SETTINGS_GUID
    return any(wp.reg_key_exists(key, view=view) for view in (32, 64))


def second_run_stops():
    """A second launcher started while the first one's package run is in
    progress stops at once with one line and 1618, and changes nothing of the
    first run, which then completes."""
    release = "C:\\e2e\\release.flag"
    with prefix() as wp:
        first = {}

        def hold_msiexec(wp):
            wp.env["E2E_HOLD"] = "msiexec.exe=" + release

        def run_first():
            try:
                first["run"] = run_launcher(wp, launcher=variant_launcher("report"), before=hold_msiexec)
            except Exception as error:  # reported by the main thread
                first["error"] = error

        thread = threading.Thread(target=run_first)
        thread.start()
        try:
            check(wp.wait_for(lambda: "msiexec.exe" in [r.name.lower() for r in wp.records()], timeout=90),
                  "the first run never reached its package run: %s" % first.get("error"))
            records_before = wp.record_lines()
            started = time.time()
            code, out, err = wp.launch('"%s"' % LAUNCHER)
            took = time.time() - started
            records_after = wp.record_lines()
            backup_kept = backup_present(wp)
        finally:
            with open(wp.unix(release), "w") as f:
                f.write("go on\n")
            thread.join(timeout=limit(180))
        check("run" in first, "the first run failed: %s" % first.get("error"))
        run = first["run"]
        run.expect(code == 1618, "second run: exit code %d, expected 1618" % code)
        run.expect(out.splitlines() == [ANOTHER_RUN], "second run printed %r" % out)
        run.expect(took < limit(20), "the second run took %.1f s" % took)
        run.expect(records_after == records_before, "the second run started something: %s" %
                   records_after[len(records_before):])
        run.expect(backup_kept, "the settings backup was gone while the first package run was held")
        logs = run_logs(wp)
        second = [log for log in logs if ANOTHER_RUN in log]
        run.expect(len(logs) == 2 and len(second) == 1 and second[0][-2:] == [ANOTHER_RUN, "exit code: 1618"],
                   "run logs: %s" % logs)
        # The first run went on as if alone: one package run, with the backup
        # in place, and the backup gone after it.
        run.expect(run.code == 0, "first run: exit code %d" % run.code)
        package_runs = [r for r in run.records if r.name.lower() == "msiexec.exe"]
        run.expect(len(package_runs) == 1 and package_runs[0].probe == "1",
                   "the first run's package run: %s" % package_runs)
        run.expect(not backup_present(wp), "settings backup left behind")
        completes_untouched(run)


def busy_engine_waits():
    """A neighbour holds the Windows Installer's mutex for a few seconds: the
    package run starts only after it lets go, and the log says so."""
    holder = {}

    def hold_engine(wp):
        wp.env["E2E_TIMES"] = "1"
        busy = "C:\\e2e\\tools\\busy_neighbour.exe"
        wp.put(wp.tool("stand_in.exe"), busy)
        holder["p"] = wp.start(busy, "--hold-mutex", "Global\\_MSIExecute", "8000")
        check(wp.wait_for(lambda: any(l.startswith("mutex\theld\t") for l in wp.record_lines()), timeout=30),
              "the neighbour never took the mutex")

    with prefix() as wp:
        run = run_launcher(wp, launcher=variant_launcher("report"), before=hold_engine)
        holder["p"].communicate(timeout=limit(60))
        times = {}
        for line in wp.record_lines():
            fields = line.split("\t")
            if fields[0] in ("mutex", "time"):
                times[fields[1].lower()] = int(fields[2])
        run.expect({"held", "released", "msiexec.exe"} <= set(times), "time stamps: %s" % times)
        run.expect(times["msiexec.exe"] >= times["released"],
                   "msiexec started %d ms before the neighbour let go" % (times["released"] - times["msiexec.exe"]))
        log = run_log(wp)
        waits = [l for l in log if l.startswith("Windows Installer ")]
        run.expect(len(waits) == 2 and waits[0] == "Windows Installer busy: waiting up to 600 s for it" and
                   re.fullmatch(r"Windows Installer free after \d+ ms", waits[1]), "wait lines: %s" % waits)
        run.expect(run.code == 0, "exit code %d" % run.code)
        completes_untouched(run)


def msiexec_busy_retried():
    """msiexec answers 1618 twice, then 0: started again twice, each retry
    logged, and the last result counts."""
    def answers(wp):
        wp.env["E2E_EXIT_CODES"] = "msiexec.exe=1618,1618,0"

    with prefix() as wp:
        run = run_launcher(wp, launcher=variant_launcher("report"), before=answers)
        run.expect(run.code == 0, "exit code %d, expected the last run's 0" % run.code)
        runs = [r for r in run.records if r.name.lower() == "msiexec.exe"]
        run.expect(len(runs) == 3 and len({r.command_line for r in runs}) == 1,
                   "three equal package runs expected: %s" % runs)
        log = run_log(wp)
        retries = [l for l in log if l.startswith("msiexec found another installation")]
        run.expect(retries == ["msiexec found another installation in progress: retry %d of 3" % n for n in (1, 2)],
                   "retry lines: %s" % retries)
        ends = [l.rsplit(" ", 1)[1] for l in log if l.startswith('child "') and "msiexec.exe\" ended" in l]
        run.expect(ends == ["1618", "1618", "0"], "msiexec ended with %s" % ends)
        run.expect(log[-1] == "exit code: 0", "the log's last line")
        run.backup_only_around_package()  # around every try
        run.installed("MSI_WIN10_64")
        run.settings_keys(main_sequence_ran=True)


# ---- what other processes and users might try ----------------------------------------------
# Each row: what is planted before the run, and what must hold afterwards.
# The launcher runs from RUN_DIR with another current folder, CWD_DIR.
CWD_DIR = "C:\\e2e\\cwd"
ELSEWHERE = "C:\\e2e\\elsewhere"
VICTIM = "C:\\e2e\\victim.msi"
VENDOR = "C:\\ProgramData\\Corvane"
PRODUCT = VENDOR + "\\Installers\\TolvexOrvik"
PLANTED_DLLS = ["shcore.dll", "dwmapi.dll"]


def plant_dlls(wp):
    plant_dlls_named(wp, PLANTED_DLLS)


def attack_children(wp):
    wp.env["E2E_ATTACK"] = "1"


def link_folder(link, target):
    """A Unix symbolic link at `link` to the folder `target` (Wine shows it as
    a reparse point; its own CreateSymbolicLinkW makes nothing)."""
    def plant(wp):
        os.makedirs(wp.unix(target), exist_ok=True)
        os.makedirs(os.path.dirname(wp.unix(link)), exist_ok=True)
        os.symlink(wp.unix(target), wp.unix(link))
    return plant


def hard_link_package(wp):
    os.makedirs(wp.unix(PRODUCT), exist_ok=True)
    with open(wp.unix(VICTIM), "wb") as f:
        f.write(b"not to be overwritten")
    os.link(wp.unix(VICTIM), wp.unix(PACKAGE))


def completes_untouched(run):
    """The attempt changed nothing: the run is complete as without it."""
    folder = run.working_folder_runs([("vcredist_x86.exe", "/passive /norestart"),
                                      ("vcredist_x64.exe", "/passive /norestart")])
    run.installed_without_template()
    run.completed_with("MSI_WIN10_64", folder)


def no_dll_loaded(run):
    marker = run.wp.unix("C:\\e2e\\canary.txt")
    run.expect(not os.path.exists(marker), "a planted DLL was loaded: %s" % (
        open(marker, "rb").read().decode("utf-16-le", "replace") if os.path.exists(marker) else ""))
    completes_untouched(run)


def children_could_not_touch_their_files(run):
    attacks = [l.split("\t") for l in run.wp.record_lines() if l.startswith("attack\t")]
    targets = [a[1].lower() for a in attacks]
    run.expect(len(attacks) == 3 and targets[2] == PACKAGE.lower() and
               all(t.endswith(("\\vcredist_x86.exe", "\\vcredist_x64.exe")) for t in targets[:2]),
               "attacks by both runtimes and msiexec expected, got %r" % attacks)
    for attack in attacks:
        run.expect(attack[2] == "read=ok write=refused delete=refused rename=refused folder=refused",
                   "%s: %s" % (attack[1], attack[2]))
    completes_untouched(run)


def refused_redirected_package(run):
    run.expect("CheckFolder failed (681)\n" in run.out, "no refusal of the link on standard output")
    run.expect(run.wp.listdir(ELSEWHERE) == [], "the link's target got %s" % run.wp.listdir(ELSEWHERE))
    run.order(["vcredist_x86.exe", "vcredist_x64.exe"])
    run.nothing_installed()
    run.settings_keys(main_sequence_ran=True)


def victim_untouched(run):
    with open(run.wp.unix(VICTIM), "rb") as f:
        run.expect(f.read() == b"not to be overwritten", "the hard-linked file was overwritten")
    completes_untouched(run)


def dot_local_refused():
    """A folder named after the launcher with ".local", beside it, would make
    Windows load the DLLs in it: the launcher refuses to run before it loads
    any, changes nothing and says why."""
    refused = "Refused to run: InstallerLauncher.exe.local beside the launcher would redirect the DLLs it loads"

    def plant(wp):
        for name in PLANTED_DLLS + ["comctl32.dll", "user32.dll"]:
            wp.put(env_path("E2E_CANARY"), LAUNCHER + ".local\\" + name)

    with prefix() as wp:
        run = run_launcher(wp, before=plant)
        run.expect(run.code == 80, "exit code %d, expected 80" % run.code)
        run.expect(run.out == refused + "\n", "standard output %r" % run.out)
        run.expect(not run.records, "something ran")
        marker = wp.unix("C:\\e2e\\canary.txt")
        run.expect(not os.path.exists(marker), "a DLL of the .local folder was loaded")
        run.expect(run_log(wp) == [refused, "exit code: 80"], "run log: %s" % run_log(wp))
        run.nothing_installed()
        run.settings_keys(main_sequence_ran=False)


# ---- what the launcher's process opens where its user may write ----------------------------
# Canary copies of every DLL Windows could look for beside the launcher or
# in its current folder: its imports, the system DLLs it loads and theirs.
CANARY_NAMES = ["kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "user32.dll", "gdi32.dll",
                "win32u.dll", "imm32.dll", "shell32.dll", "shlwapi.dll", "shcore.dll", "comctl32.dll",
                "uxtheme.dll", "dwmapi.dll", "rpcrt4.dll", "advapi32.dll", "sechost.dll", "bcrypt.dll",
                "ole32.dll", "oleaut32.dll", "combase.dll", "version.dll", "userenv.dll", "cryptbase.dll",
                "mscoree.dll", "libgcc_s_dw2-1.dll"]
# What the launcher's process may open there, and why; anything else fails.
EXPECTED_OPENS = {
    # The process's current folder, which the system holds open.
    CWD_DIR: "the current folder",
    # The launcher's own check for DLL redirection: it must look.
    LAUNCHER + ".local": "the check for a .local beside the launcher",
    # Wine's loader looks for the image's imports beside it before the system
    # folder; Windows takes these from its known DLLs. Neither loads them.
    RUN_DIR + "\\kernel32.dll": "Wine's loader, an import",
    RUN_DIR + "\\kernelbase.dll": "Wine's loader, kernel32's own import",
    RUN_DIR + "\\msvcrt.dll": "Wine's loader, an import",
    # Wine's loader asks every image whether it needs the .NET runtime.
    RUN_DIR + "\\mscoree.dll": "Wine's loader",
    # 32-bit: the compiler runtime's frame registration asks GetModuleHandle
    # for its shared runtime before the search is restricted; Wine looks for
    # the file to name the module, Windows does not, and it is never loaded.
    RUN_DIR + "\\libgcc_s_dw2-1.dll": "GetModuleHandle in the compiler runtime's start-up (32-bit)",
    CWD_DIR + "\\libgcc_s_dw2-1.dll": "GetModuleHandle in the compiler runtime's start-up (32-bit)",
}
NATIVE_OPEN = re.compile(r'^([0-9a-f]{4}):[0-9a-f]{4}:(?:trace|warn):file:'
                         r'(?:NtCreateFile|NtOpenFile|NtQueryAttributesFile|NtQueryFullAttributesFile)\b.*?'
                         r'L"\\\\\?\?\\\\([^"]*)"')


def files_opened_where_the_user_writes():
    """With canary DLLs beside the launcher and in its current folder, Wine's
    own trace of every file the launcher's process opens shows nothing opened
    there but what EXPECTED_OPENS explains, and no canary is loaded. (A
    .local folder beside it stops the run first: attack_dot_local.)"""
    def plant(wp):
        plant_dlls_named(wp, CANARY_NAMES)
        wp.env["WINEDEBUG"] = "+pid,+file"

    with prefix() as wp:
        os.makedirs(wp.unix(CWD_DIR), exist_ok=True)
        run = run_launcher(wp, before=plant, cwd=CWD_DIR)
        wp.env["WINEDEBUG"] = "-all"
        run.exit_code_zero()
        # The launcher's process is the one that looks for its .local.
        # (The trace doubles each backslash of a name.)
        opens = [(m.group(1), m.group(2).replace("\\\\", "\\").rstrip("\\").lower())
                 for m in map(NATIVE_OPEN.match, run.err.splitlines()) if m]
        own = {pid for pid, name in opens if name == (LAUNCHER + ".local").lower()}
        run.expect(len(own) == 1, "the launcher's process not found in the trace (%d opens)" % len(opens))
        watched = (RUN_DIR.lower(), CWD_DIR.lower())
        seen = {name for pid, name in opens if pid in own and name.startswith(watched)}
        unexpected = sorted(seen - {path.lower() for path in EXPECTED_OPENS})
        run.expect(not unexpected, "the launcher opened where its user may write: %s" % unexpected)
        no_dll_loaded(run)


def plant_dlls_named(wp, names):
    for folder in (RUN_DIR, CWD_DIR):
        for name in names:
            wp.put(env_path("E2E_CANARY"), folder + "\\" + name)


ATTACKS = {
    "planted_dlls": (plant_dlls, CWD_DIR, no_dll_loaded),
    "children_attack_their_files": (attack_children, RUN_DIR, children_could_not_touch_their_files),
    "link_at_product_folder": (link_folder(PRODUCT, ELSEWHERE), RUN_DIR, refused_redirected_package),
    "link_at_vendor_folder": (link_folder(VENDOR, ELSEWHERE), RUN_DIR, refused_redirected_package),
    "hard_link_at_package": (hard_link_package, RUN_DIR, victim_untouched),
}


def attack_scenario(name):
    before, cwd, holds = ATTACKS[name]

    def scenario():
        with prefix() as wp:
            os.makedirs(wp.unix(cwd), exist_ok=True)
            run = run_launcher(wp, before=before, cwd=cwd)
            run.exit_code_zero()
            holds(run)
    return scenario


SCENARIOS = {
    "win64_win10": platform_scenario("win64", "win10", "MSI_WIN10_64"),
    "win64_win81": platform_scenario("win64", "win81", "MSI64"),
    "win32_win10": platform_scenario("win32", "win10", "MSI_WIN10_32"),
    "win32_win7": platform_scenario("win32", "win7", "MSI32"),
    "quiet": option_scenario("/quiet", "/q /norestart", "/i <PKG> /quiet"),
    "quiet_win32": option_scenario("-QUIET", "/q /norestart", "/i <PKG> /quiet",
                                   variant="MSI_WIN10_32", arch="win32"),
    "msiargs_double_quotes": option_scenario(
        '-msiargs "/i $MSIPATH /qn"', "/passive /norestart", "/i <PKG> /qn"),
    "msiargs_apostrophes": option_scenario(
        "/MsiArgs '/qn /i $MSIPATH INSTALLDIR=\"C:\\Demo Dir\"'", "/passive /norestart",
        '/qn /i <PKG> INSTALLDIR="C:\\Demo Dir"', folder="C:\\Demo Dir"),
    "msiargs_twice": option_scenario(
        '/msiargs "/i $MSIPATH /qn E2E_COPY=$MSIPATH"', "/passive /norestart",
        "/i <PKG> /qn E2E_COPY=<PKG>"),
    "msiargs_without_path": option_scenario(
        '/msiargs "/qn /i C:\\e2e\\other\\MSI32.msi"', "/passive /norestart",
        "/qn /i C:\\e2e\\other\\MSI32.msi", variant="MSI32", before=place_msi32),
    "runtime_failure_stops": runtime_failure_stops,
    "runtime_failure_continues": runtime_failure_continues,
    "uninst": legacy_scenario("uninst", ["qx_isu.exe"]),
    "uninst_fails": legacy_scenario("uninst", ["qx_isu.exe"], exit_codes={"qx_isu.exe": 1},
                                    completes=False),
    "uninst_and_uninst2": legacy_scenario("uninst2", ["qx_isu.exe", "qx_isu2.exe"]),
    "planted_msiexec": planted_msiexec,
    "attack_dot_local": dot_local_refused,
    "file_access": files_opened_where_the_user_writes,
    "package_folder_blocked": package_folder_blocked,
    "question_yes": question_scenario("yes"),
    "question_no": question_scenario("no"),
}
SCENARIOS.update({"attack_" + name: attack_scenario(name) for name in ATTACKS})
SCENARIOS.update({
    "run_log": log_of_a_failing_runtime_and_a_restart,
    "exit_code_gate_stop": exit_code_reported({"vcredist_x86.exe": 1603}, 1603),
    "exit_code_restart": exit_code_reported({"msiexec.exe": 3010}, 3010),
    "exit_code_success": exit_code_reported({}, 0),
    "second_run_stops": second_run_stops,
    "busy_engine_waits": busy_engine_waits,
    "msiexec_busy_retried": msiexec_busy_retried,
})


def main(argv):
    if len(argv) in (2, 3) and argv[1] == "--list":
        # With 64: only the scenarios in 64-bit prefixes (a 64-bit launcher
        # cannot start on 32-bit Windows).
        bits = argv[2] if len(argv) == 3 else "32"
        print("\n".join(name for name, run in SCENARIOS.items()
                        if bits == "32" or getattr(run, "arch", "win64") == "win64"))
        return 0
    if len(argv) != 2 or argv[1] not in SCENARIOS:
        print("usage: scenarios.py NAME | --list [32|64]", file=sys.stderr)
        return 2
    try:
        SCENARIOS[argv[1]]()
    except Failure as failure:
        print("FAILED %s: %s" % (argv[1], failure), file=sys.stderr)
        return 1
    print("passed", argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
