"""End-to-end harness: runs Windows programs in throw-away Wine prefixes and
lets a test look at what they did (records of stand-in installers, registry,
files). Python 3 standard library only.

Usage:

    from harness import WinePrefix, Failure

    with WinePrefix(arch="win64", version="win10", payloads=DEMO_DIR) as wp:
        wp.use_msiexec_recorder()          # msiexec calls get recorded, then run for real
        wp.set_msi_open_command('"C:\\windows\\system32\\msiexec.exe" /qn /i "%1"')
        code = wp.launch(r'C:\\e2e\\run\\InstallerLauncher.exe /quiet',
                         exe=launcher_path, cwd=r"C:\\e2e\\run")
        for rec in wp.records():           # one per stand-in / recorder run
            print(rec.name, rec.command_line, rec.path, rec.folder)
        wp.reg_value(r"HKLM\\Software\\Corvane\\TolvexOrvik\\DemoPackage", "Variant", view=64)
        wp.exists(r"C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik\\CorvaneInstaller.msi")

Every prefix is a clone of a template made once per architecture (see
scripts/wine-lib.sh), with its own persistent wineserver; leaving the `with`
block kills that wineserver and deletes the prefix (unless WINE_RUN_KEEP is
set, then its path is printed). `payloads` is the demo-payloads folder of a
build (tools/stand_in.exe, tools/launch.exe, tools/answer_box.exe).

Environment that the stand-ins read (see resources/demo/stand_in.cpp) is set
per prefix through `wp.env`: E2E_RECORD (set by the harness), E2E_EXIT_CODES,
E2E_FORWARD, E2E_PROBE_KEY (then `rec.probe` is "1" when that HKLM key
existed during the run, "0" when not, and `rec.values` lists its values and
those of its subkeys as "subkey\\name=data" texts).

The preparation helper (tests/e2e/preparation/prep_probe.cpp) writes its own
lines to PROBE_LOG; `WinePrefix(record_file=PROBE_LOG)` makes the stand-ins
append to the same file, so that `record_lines()` gives the order of both.
`records()` returns the stand-in lines only.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.normpath(os.path.join(HERE, "..", "..", "scripts"))

# Where the harness keeps its own files inside a prefix.
E2E_DIR = "C:\\e2e"
RECORD_FILE = E2E_DIR + "\\records.tsv"
ENGINE_COPY = E2E_DIR + "\\engine\\msiexec.exe"

# The preparation helper's log and folder (fixed in prep_probe.cpp).
PROBE_DIR = E2E_DIR + "\\prep"
PROBE_LOG = PROBE_DIR + "\\log.txt"

class Record(namedtuple("Record", "name command_line path folder probe")):
    """One stand-in run. `values` (the probed key's values) is an attribute
    beside the five fields, so that a record still formats as a 5-tuple."""

    def __new__(cls, name, command_line, path, folder, probe, values=()):
        record = super().__new__(cls, name, command_line, path, folder, probe)
        record.values = tuple(values)
        return record


class Failure(AssertionError):
    """A check of a scenario failed; the message carries the evidence."""


def check(condition, message):
    if not condition:
        raise Failure(message)


# Exit code of a test that cannot run on this machine (CTest's SKIP_RETURN_CODE).
SKIP_CODE = 77

# Bitness of the programs under test (CMake's wine_tests() sets it).
PROCESS_BITS = int(os.environ.get("WINE_TEST_BITS", "32"))

# How many times slower than natively programs run here: the emulated 32-bit
# lane sets it (scripts/test-all). Every time limit of the harness and the
# scenarios is multiplied by it; what the scenarios measure is not.
TIME_FACTOR = int(os.environ.get("LAUNCHER_TIME_FACTOR", "1"))


def limit(seconds):
    """A time limit of `seconds` at native speed, as it holds here."""
    return seconds * TIME_FACTOR


def _lib(command, *args):
    """Runs one function of scripts/wine-lib.sh and returns its output. When
    Wine cannot run what the test needs here, the test ends at once: skipped
    (with the reason) on a machine that cannot run 32-bit code, failed
    otherwise."""
    script = '. "$1/wine-lib.sh"; shift; "$@"'
    env = dict(os.environ, WINE_TEST_BITS=str(PROCESS_BITS))
    out = subprocess.run(["bash", "-c", script, "wine-lib", SCRIPTS, command, *args],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if out.returncode == SKIP_CODE:
        print(out.stderr.strip())
        sys.exit(SKIP_CODE)
    if out.returncode != 0:
        raise Failure("wine-lib %s failed (%d): %s" % (command, out.returncode, out.stderr.strip()))
    return out.stdout.strip()


def _text(file):
    """What a program wrote to `file`, as text with "\n" line ends (as text
    mode reads it)."""
    file.seek(0)
    return file.read().decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "\n")


class Started:
    """A program started in the background (WinePrefix.start). Its output
    goes to files rather than pipes: a process that Wine starts on the
    program's behalf (its desktop process, a service) inherits them and may
    outlive it, and a pipe would then not reach its end until the prefix is
    gone."""

    def __init__(self, args, env):
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self._process = subprocess.Popen(args, env=env, stdout=self._out, stderr=self._err)

    @property
    def returncode(self):
        return self._process.returncode

    def wait(self, timeout=None):
        return self._process.wait(timeout)

    def kill(self):
        self._process.kill()

    def communicate(self, timeout=None):
        """Waits for the program to end; (stdout, stderr) as text."""
        self._process.wait(timeout)
        return _text(self._out), _text(self._err)


class WinePrefix:
    def __init__(self, arch="win64", version="win10", payloads=None, templates=None,
                 record_file=RECORD_FILE):
        self.arch = arch
        self.record_file = record_file
        self.version = version
        self.payloads = payloads
        self.templates = templates or os.environ.get("E2E_TEMPLATES") or os.path.join(
            SCRIPTS, "..", "build", "wine-templates")
        self.path = None
        self.env = {}
        self.loader = None

    # ---- lifetime -----------------------------------------------------------
    def __enter__(self):
        template = _lib("wine_template", os.path.abspath(self.templates), self.arch)
        self.loader = _lib("wine_loader", self.arch)
        # Next to the template, so that the clone can hard-link its DLLs.
        self.path = tempfile.mkdtemp(prefix="e2e-wine.", dir=os.path.abspath(self.templates))
        _lib("wine_clone", template, self.path)
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEARCH": self.arch,
            "WINEDEBUG": os.environ.get("WINEDEBUG", "-all"),
            "WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="),
            "E2E_RECORD": self.record_file,
        })
        for name in ("E2E_EXIT_CODES", "E2E_FORWARD", "E2E_PROBE_KEY", "E2E_LAUNCH",
                     "E2E_LAUNCH_DIR", "E2E_ATTACK"):
            self.env.pop(name, None)
        # Persistent for the run, with the time limit of wine-lib.sh so that
        # a run killed by a time-out leaves no server behind for good.
        persist = os.environ.get("WINESERVER_PERSIST", str(limit(120)))
        subprocess.run(["wineserver", "-p" + persist], env=self.env, check=True)
        _lib("wine_set_version", self.path, self.arch, self.version)
        os.makedirs(os.path.dirname(self.unix(self.record_file)), exist_ok=True)
        return self

    def __exit__(self, kind, error, trace):
        if kind is not None:
            # A failed scenario says why: every run log the launcher left.
            for path, text in self.run_logs():
                print("harness: run log %s:\n%s" % (path, text.rstrip()))
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)
        if os.environ.get("WINE_RUN_KEEP"):
            print("harness: kept prefix", self.path)
        else:
            shutil.rmtree(self.path, ignore_errors=True)
        return False

    # ---- paths ----------------------------------------------------------------
    @property
    def is_win64(self):
        return self.arch == "win64"

    @property
    def system32_folder(self):
        """The folder the launcher's System32 really is, as a Windows path:
        SysWOW64 for a 32-bit launcher on 64-bit Windows."""
        return "C:\\windows\\syswow64" if self.is_win64 and PROCESS_BITS == 32 \
            else "C:\\windows\\system32"

    def unix(self, windows_path):
        """Unix path of a C:\\ path inside this prefix (case as given)."""
        drive, rest = windows_path[:2], windows_path[2:]
        check(drive.upper() == "C:", "only C: paths are mapped: " + windows_path)
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def exists(self, windows_path):
        return os.path.exists(self._resolve(windows_path))

    def listdir(self, windows_path):
        path = self._resolve(windows_path)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def _resolve(self, windows_path):
        """Like unix(), but matches each level case-insensitively, as Windows does."""
        current = os.path.join(self.path, "drive_c")
        for part in [p for p in windows_path[2:].split("\\") if p]:
            exact = os.path.join(current, part)
            if os.path.exists(exact):
                current = exact
                continue
            match = [n for n in (os.listdir(current) if os.path.isdir(current) else [])
                     if n.lower() == part.lower()]
            current = os.path.join(current, match[0] if match else part)
        return current

    def temp_folder(self):
        """Unix path of the user's temporary folder (where the working folder goes)."""
        users = os.path.join(self.path, "drive_c", "users")
        found = [f for pattern in (("*", "Temp"), ("*", "AppData", "Local", "Temp"))
                 for f in glob.glob(os.path.join(users, *pattern))
                 if os.path.basename(os.path.dirname(f)) != "Public"]
        check(found, "no user temporary folder in the prefix")
        return found[0]

    def run_logs(self):
        """The launcher's run logs (name, date, time and ".log"), wherever a run
        leaves them: the Windows folder's SystemTemp and Temp, and the user's
        temporary folder. (Unix path, text) pairs, oldest first."""
        folders = [self._resolve("C:\\windows\\" + name) for name in ("SystemTemp", "Temp")]
        try:
            folders.append(self.temp_folder())
        except Failure:
            pass
        found = [f for folder in folders for f in glob.glob(os.path.join(folder, "*_????????_??????*.log"))]
        logs = []
        for path in sorted(found, key=os.path.getmtime):
            with open(path, encoding="utf-8", errors="replace") as f:
                logs.append((path, f.read()))
        return logs

    # ---- running programs -------------------------------------------------------
    def wine(self, *args, cwd=None, timeout=120, extra_env=None, check_rc=False):
        """Runs a program in the prefix. Now and then, on a loaded machine,
        Wine fails to start even a builtin program ("ShellExecuteEx failed"):
        then the program never ran, and it is started again (twice at most)."""
        env = dict(self.env)
        env.update(extra_env or {})
        for attempt in range(3):
            # Output to files, not pipes: see Started.
            with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
                done = subprocess.run([self.loader, *args], env=env, cwd=cwd, timeout=limit(timeout),
                                      stdout=stdout, stderr=stderr)
                out = subprocess.CompletedProcess(done.args, done.returncode, _text(stdout), _text(stderr))
            if out.returncode == 0 or "ShellExecuteEx failed" not in out.stdout + out.stderr:
                break
            print("harness: Wine did not start %s: %r" % (args[0], (out.stdout + out.stderr)[-300:]))
            time.sleep(1)
        if check_rc:
            check(out.returncode == 0, "wine %s failed (%d): %s%s" % (
                " ".join(args), out.returncode, out.stdout, out.stderr))
        return out

    def tool(self, name):
        check(self.payloads, "WinePrefix(payloads=...) is needed for " + name)
        return os.path.join(self.payloads, "tools", name)

    def put(self, source, windows_path):
        """Copies a Unix file to a path in the prefix, never writing into a file
        that is shared with the template (system32/syswow64 are hard links)."""
        dest = self.unix(windows_path)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        if os.path.lexists(dest):
            os.unlink(dest)
        shutil.copy(source, dest)

    def launch(self, command_line, cwd="C:\\e2e\\run", timeout=180, extra_env=None):
        """Runs a Windows command line exactly as written (through tools/launch.exe,
        since Wine re-quotes arguments given on the Unix side) with `cwd` as the
        current folder. Returns (the whole 32-bit exit code, stdout, stderr)."""
        os.makedirs(self.unix(cwd), exist_ok=True)
        self.put(self.tool("launch.exe"), E2E_DIR + "\\tools\\launch.exe")
        env = {"E2E_LAUNCH": command_line, "E2E_LAUNCH_DIR": cwd}
        env.update(extra_env or {})
        out = self.wine(E2E_DIR + "\\tools\\launch.exe", timeout=timeout, extra_env=env)
        # The exit status on this side keeps 8 bits; launch.exe prints all 32.
        whole = re.search(r"^launch: exit code (\d+)\r?$", out.stderr, re.MULTILINE)
        code = int(whole.group(1)) if whole else out.returncode
        return code, out.stdout, out.stderr

    def start(self, *args, extra_env=None):
        """Starts a program in the background (e.g. a box answerer); returns
        it as Started."""
        env = dict(self.env)
        env.update(extra_env or {})
        return Started([self.loader, *args], env)

    # ---- stand-ins and recorders ----------------------------------------------
    def set_exit_codes(self, codes):
        """{"vcredist_x86.exe": 1603, ...}: exit codes of stand-ins by file name."""
        self.env["E2E_EXIT_CODES"] = ";".join("%s=%d" % kv for kv in codes.items())

    def use_msiexec_recorder(self):
        """Puts a recorder where the launcher finds msiexec.exe. It appends
        its command line to the records and then runs a saved copy of the real
        engine with the same arguments, so packages still get installed."""
        system_msiexec = self.system32_folder + "\\msiexec.exe"
        engine = self.unix(ENGINE_COPY)
        os.makedirs(os.path.dirname(engine), exist_ok=True)
        shutil.copy(self._resolve(system_msiexec), engine)
        self.put(self.tool("stand_in.exe"), system_msiexec)
        self.env["E2E_FORWARD"] = "msiexec.exe=" + ENGINE_COPY
        if not self.is_win64 or PROCESS_BITS == 64:
            # In system32 Wine prefers its builtin msiexec over a file
            # standing there unless told otherwise.
            overrides = self.env.get("WINEDLLOVERRIDES", "")
            self.env["WINEDLLOVERRIDES"] = (overrides + ";" if overrides else "") + \
                "msiexec.exe=native,builtin"

    def set_msi_open_command(self, command):
        """What the shell's "open" on an .msi file runs (%1 is the package)."""
        self.reg_add("HKCR\\Msi.Package\\shell\\Open\\command", None, command)

    def record_lines(self):
        """Every line of the record file, in the order written."""
        path = self.unix(self.record_file)
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def records(self):
        """The stand-ins' records (lines that begin with a program's file name)."""
        result = []
        for line in self.record_lines():
            fields = line.split("\t")
            if not fields[0].lower().endswith(".exe"):
                continue                        # a line of the preparation helper
            fields += [""] * (5 - len(fields))
            result.append(Record(*fields[:5], values=tuple(fields[5:])))
        return result

    # ---- the preparation helper (prep_probe.exe) ---------------------------------
    def probe_log(self):
        """Lines of the preparation helper's log (PROBE_LOG)."""
        path = self.unix(PROBE_LOG)
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def wait_probe_log(self, predicate, what, timeout=30):
        check(self.wait_for(lambda: predicate(self.probe_log()), timeout=timeout),
              "timed out waiting for %s; log: %r" % (what, self.probe_log()))

    def install_probe_service(self, probe, name, start=True):
        """Registers the preparation helper as service `name` (it records each
        control code it gets in PROBE_LOG) and, with `start`, starts it and waits
        until it runs."""
        self.put(probe, PROBE_DIR + "\\monitor_service.exe")
        self.wine("sc", "create", name, "binpath=", PROBE_DIR + "\\monitor_service.exe", check_rc=True)
        if start:
            self.wine("sc", "start", name)
            self.wait_probe_log(lambda log: "service running" in log, "the service " + name)

    def running_processes(self):
        """Image names of the processes running in the prefix (Wine's tasklist
        prints nothing, so they come from the debugger's process list)."""
        out = self.wine("winedbg", "--command", "info proc", check_rc=True)
        return re.findall(r"^\s*=?[0-9a-f]{8}\s+\d+\s+(?:\\_ )*'(.*)'\s*$", out.stdout, re.M)

    # ---- registry ------------------------------------------------------------------
    def reg_add(self, key, name, data, kind="REG_SZ", view=None):
        args = ["reg", "add", key]
        args += ["/ve"] if name is None else ["/v", name]
        args += ["/t", kind, "/d", data, "/f"]
        if view:
            args.append("/reg:%d" % view)
        self.wine(*args, check_rc=True)

    def _reg_query(self, args):
        """`reg query` with `args`: its stdout, or None when it says the key or
        value is missing. Any other failure fails the scenario, so a broken
        query never reads as a missing key."""
        out = self.wine("reg", "query", *args)
        if out.returncode == 0:
            return out.stdout
        check("Unable to find the specified registry" in out.stdout + out.stderr,
              "wine reg query %s failed (%d): %s%s" % (" ".join(args), out.returncode, out.stdout, out.stderr))
        return None

    def reg_query(self, key, view=None, recurse=False):
        """Raw `reg query` output, or None when the key does not exist."""
        return self._reg_query([key] + (["/s"] if recurse else []) +
                               (["/reg:%d" % view] if view else []))

    def reg_value(self, key, name, view=None):
        """Data of one value as text, or None when key or value is missing."""
        out = self._reg_query([key, "/v", name] + (["/reg:%d" % view] if view else []))
        if out is None:
            return None
        for line in out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
                return parts[2] if len(parts) > 2 else ""
        return None

    def reg_key_exists(self, key, view=None):
        return self.reg_query(key, view=view) is not None

    def wait_for(self, predicate, timeout=10.0, interval=0.1):
        end = time.time() + limit(timeout)
        while time.time() < end:
            if predicate():
                return True
            time.sleep(interval)
        return predicate()
