"""End-to-end scenarios of the preparation steps: the launcher variant built
from preparation_settings.json runs in a fresh Wine prefix, with helpers
(prep_probe.cpp) standing in for listed processes, msiexec, the device-monitor
service and the driver package run.

    scenarios.py main | service_stopped | win32
"""

import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness import PROBE_DIR as PREP, WinePrefix, check  # noqa: E402

LAUNCHER = os.environ.get("PREP_LAUNCHER")
PROBE = os.environ.get("PREP_PROBE")
PACKAGES = os.environ.get("PREP_PACKAGES")
PAYLOADS = os.environ.get("E2E_PAYLOADS")

DUMP = PREP + "\\backup.txt"
SETTINGS_DUMP = PREP + "\\settings.txt"
SERVICE = "TolvexOrvikAudioDevMon"
GUID = "{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}"
DRIVERS = "Software\\Corvane\\Audio\\Drivers"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"


def code(n):
    return "{3C7B9E20-1D4A-4F6B-8E2C-7A5D0F1B2C%s}" % n


REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11


def sz(text):
    return (text + "\0").encode("utf-16-le")


def blob(kind, payload=b"", total=None):
    return struct.pack("<III", 12 + len(payload) if total is None else total, 0, kind) + payload


EMPTY = blob(0)

# (subkey, name, type, data, what the backup holds: (type, data); None: as is)
SETTINGS = [
    ("", "", REG_SZ, sz("default"), None),
    ("", "Latin", REG_SZ, sz("Gr\u00fc\u00dfe \u00ff"), None),
    ("", "Euro", REG_SZ, sz("5 \u20ac"), None),                       # no narrow form: verbatim
    ("", "Embedded", REG_SZ, "ab\0cd\0".encode("utf-16-le"), (REG_SZ, sz("ab"))),
    ("", "Bool", REG_BINARY, blob(1, b"\x01"), None),
    ("", "Int32", REG_BINARY, blob(2, b"\xff\xff\xff\xff"), None),
    ("", "Int64", REG_BINARY, blob(3, struct.pack("<q", 1 << 40)), None),
    ("", "Float", REG_BINARY, blob(4, struct.pack("<f", 2.5)), None),
    ("", "Double", REG_BINARY, blob(5, struct.pack("<d", -0.5)), None),
    ("", "Kind6", REG_BINARY, blob(6, b"abc"), (REG_BINARY, blob(8, b"abc"))),
    ("", "Kind7", REG_BINARY, blob(7, b"xyz"), (REG_BINARY, blob(8, b"xyz"))),
    ("", "Bytes", REG_BINARY, blob(8, b"\x00\x01\x02"), None),
    ("", "Text", REG_BINARY, blob(9, b"hi\0"), (REG_SZ, sz("hi"))),
    ("", "Opaque", REG_BINARY, blob(10, b"\x10\x20"), None),
    ("", "OpaqueEmpty", REG_BINARY, blob(10), None),
    ("", "Empty", REG_BINARY, EMPTY, None),
    ("", "Trailing", REG_BINARY, blob(2, b"\x07\0\0\0") + b"junk", (REG_BINARY, blob(2, b"\x07\0\0\0"))),
    ("", "NarrowInt", REG_BINARY, blob(2, b"\x01\x02"), (REG_BINARY, EMPTY)),   # wrong width
    ("", "WideBool", REG_BINARY, blob(1, b"\x01\x02"), (REG_BINARY, EMPTY)),
    ("", "EmptyBytes", REG_BINARY, blob(8), None),                   # no valid blob: verbatim
    ("", "NotABlob", REG_BINARY, b"\x01\x02\x03", None),
    ("", "Dword", REG_DWORD, struct.pack("<I", 0x12345678), None),
    ("", "Qword", REG_QWORD, struct.pack("<Q", 0x1122334455667788), None),
    ("", "Multi", REG_MULTI_SZ, "one\0two\0\0".encode("utf-16-le"), None),
    ("", "Expand", REG_EXPAND_SZ, sz("%SystemRoot%\\x"), None),
    ("Device", "Name", REG_SZ, sz("Speakers"), None),
    ("Device\\Mixer", "Gain", REG_BINARY, blob(2, b"\x05\0\0\0"), None),
    ("Device\\Mixer", "Levels", REG_DWORD, struct.pack("<I", 3), None),
    ("Device\\Empty", None, None, None, None),
]
LEFTOVER = [
    ("", "Leftover", REG_SZ, sz("from an earlier run"), None),
    ("", "Latin", REG_SZ, sz("older version"), None),
    ("Stale", "Old", REG_DWORD, struct.pack("<I", 1), None),
]


def reg_file(entries_by_key):
    """A regedit import file (UTF-16) for {key path: [(name, type, data)]}."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in entries_by_key.items():
        lines.append("[HKEY_LOCAL_MACHINE\\%s]" % key)
        for name, kind, data in values:
            label = "@" if name == "" else '"%s"' % name
            lines.append("%s=hex(%x):%s" % (label, kind, ",".join("%02x" % b for b in data)))
        lines.append("")
    return ("\r\n".join(lines) + "\r\n").encode("utf-16")


def import_reg(wp, entries_by_key, view=None):
    path = wp.unix(PREP + "\\import.reg")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(reg_file(entries_by_key))
    wp.wine("reg", "import", PREP + "\\import.reg", *(["/reg:%d" % view] if view else []), check_rc=True)


def seed_settings(wp, view, table, leaf):
    keys = {}
    for sub, name, kind, data, _ in table:
        key = DRIVERS + "\\" + leaf + ("\\" + sub if sub else "")
        keys.setdefault(key, [])
        if name is not None:
            keys[key].append((name, kind, data))
    import_reg(wp, keys, view)


def tree(rows, copied):
    """(set of key paths, {(key, name): (type, data)}) of a table of rows;
    with `copied`, each value in the form the backup copy gives it."""
    keys, values = {""}, {}
    for sub, name, kind, data, as_copied in rows:
        keys.add(sub)
        if "\\" in sub:
            keys.add(sub.rsplit("\\", 1)[0])
        if name is not None:
            values[(sub, name)] = (copied and as_copied) or (kind, data)
    return keys, values


def expected_backup():
    """What the backup should hold: the settings copied over the leftover."""
    return tree(LEFTOVER + SETTINGS, copied=True)


def expected_settings(seeded=SETTINGS):
    """The settings key after the run: the seeded tree, untouched by the
    copy, plus the value the package wrote."""
    keys, values = tree(seeded, copied=False)
    values[("", "PackageMark")] = (REG_SZ, sz("written by the package"))
    return keys, values


def read_dump(wp, dump=DUMP):
    keys, values = set(), {}
    with open(wp.unix(dump), encoding="utf-8") as f:
        for line in f.read().splitlines():
            fields = line.split("\t")
            if fields[0] == "key":
                keys.add(fields[1])
            elif fields[0] == "value":
                values[(fields[1], fields[2])] = (int(fields[3]), bytes.fromhex(fields[4]))
    return keys, values


def prepare(wp):
    """The launcher, and the helper where the launcher finds msiexec: the
    package run ("/i") is the helper's own, removals are recorded and handed
    to a saved copy of the real engine."""
    wp.put(LAUNCHER, "C:\\e2e\\run\\InstallerLauncher.exe")
    wp.use_msiexec_recorder()                                   # saves the engine copy
    wp.put(PROBE, wp.system32_folder + "\\msiexec.exe")        # our helper in its place


def install_packages(wp, names):
    for name in names:
        target = "C:\\e2e\\packages\\%s.msi" % name
        wp.put(os.path.join(PACKAGES, name + ".msi"), target)
        wp.wine("msiexec", "/i", target, "/qn", check_rc=True)


def run_launcher(wp, extra_env=None):
    rc, out, err = wp.launch("C:\\e2e\\run\\InstallerLauncher.exe", extra_env=extra_env)
    check(rc == 0, "launcher exit code %d: %s %s" % (rc, out, err))


def working_folder_left(wp):
    # The launcher runs elevated under Wine: its working folder is below the
    # Windows folder's SystemTemp or Temp.
    windows = os.path.join(wp.path, "drive_c", "windows")
    entries = {e.lower(): os.path.join(windows, e) for e in os.listdir(windows)}
    temp = entries.get("systemtemp") or entries.get("temp")
    check(temp, "no SystemTemp or Temp in the prefix's Windows folder")
    return [d for d in os.listdir(temp) if os.path.exists(os.path.join(temp, d, "vcredist_x86.exe"))]


def dump_settings(wp):
    """The settings key's tree (32-bit view) as it is now."""
    wp.put(PROBE, PREP + "\\settings_dump.exe")
    wp.wine(PREP + "\\settings_dump.exe", check_rc=True)
    return read_dump(wp, SETTINGS_DUMP)


def check_same_tree(what, got, want):
    got_keys, got_values = got
    want_keys, want_values = want
    check(got_keys == want_keys, "%s keys %r, expected %r" % (what, sorted(got_keys), sorted(want_keys)))
    for key in sorted(set(want_values) | set(got_values)):
        check(got_values.get(key) == want_values.get(key),
              "%s value %r: got %r, expected %r" % (what, key, got_values.get(key), want_values.get(key)))


def check_backup_gone(wp, view):
    check(not wp.reg_key_exists("HKLM\\%s\\SettingsBackup_%s" % (DRIVERS, GUID), view=view),
          "the backup key is still there after the run")
    check(wp.reg_value("HKLM\\%s\\%s" % (DRIVERS, GUID), "PackageMark", view=view) == "written by the package",
          "the settings key is not as the package left it")
    check(not working_folder_left(wp), "the working folder is still there")


def scenario_main():
    """64-bit Windows 10: processes, older products, a running service and a
    full settings key with a leftover backup, in one run."""
    with WinePrefix(arch="win64", payloads=PAYLOADS) as wp:
        install_packages(wp, ["PrepOld32", "PrepOldFail", "PrepOldOk"])  # by the real engine
        prepare(wp)
        check(wp.reg_key_exists(UNINSTALL + code("01"), view=32) and
              not wp.reg_key_exists(UNINSTALL + code("01"), view=64), "PrepOld32 is not in the 32-bit view only")
        check(wp.reg_key_exists(UNINSTALL + code("03"), view=64), "PrepOldOk is not registered")
        wp.install_probe_service(PROBE, SERVICE, start=True)
        seed_settings(wp, 32, SETTINGS, GUID)
        seed_settings(wp, 32, LEFTOVER, "SettingsBackup_" + GUID)
        wp.reg_add("HKLM\\%s\\%s" % (DRIVERS, GUID), "Native", "64-bit view", view=64)
        sleepers = ["p1\\PrepTarget.exe", "p2\\PrepTarget.exe", "p3\\preptarget.exe", "p4\\PrepTwice.exe"]
        for s in sleepers:
            wp.put(PROBE, "C:\\e2e\\" + s)
            wp.start("C:\\e2e\\" + s)
        wp.wait_probe_log(lambda log: sum(l.startswith("started") for l in log) == 4, "the listed processes")

        run_launcher(wp, extra_env={"PREP_FAIL_CODE": code("02")})

        log = [l for l in wp.probe_log() if not l.startswith(("started", "service running"))]
        kinds = [l.split("\t")[0].split(" ")[0] for l in log]
        check(kinds == ["msiexec", "msiexec", "control", "package"], "sequence seen: %r" % log)
        removals = [l.split("\t")[1] for l in log[:2]]
        check(removals == ["/passive /X " + code("02"), "/passive /X " + code("03")],
              "removals: %r (the 32-bit-only product must not be removed)" % removals)
        for line in log[:2] + log[3:]:
            check(line.endswith("alive=preptarget.exe"), "listed processes still running: " + line)
        # Each ended process was waited for until it was gone, before the
        # removals started.
        run_log = [l for _, text in wp.run_logs() for l in text.splitlines()]
        ended = [l for l in run_log if l.startswith("process ")]
        check(len(ended) == 3 and all(re.fullmatch(r"process (PrepTarget|PrepTwice)\.exe \(\d+\) ended: gone after "
                                                   r"\d+ ms", l) for l in ended), "the waits logged: %r" % ended)
        starts = [i for i, l in enumerate(run_log) if "msiexec.exe\" starts with parameters: /passive" in l]
        check(starts and run_log.index(ended[-1]) < starts[0],
              "a removal started before the ended processes were gone: %r" % run_log)
        # The leftover backup holds its own values until the copy is made.
        want_keys, want_values = expected_backup()
        leftover = len([r for r in LEFTOVER if r[0] == ""])
        merged = len([k for k in want_values if k[0] == ""])
        check(log[2] == "control 128\tbackup=%d" % leftover, "service got: %r" % log[2])
        check("\tbackup=%d\tworking=1\t" % merged in log[3],
              "the package ran without the backup or the working folder: " + log[3])

        check(wp.reg_key_exists(UNINSTALL + code("01"), view=32), "the 32-bit-only product was removed")
        check(wp.reg_key_exists(UNINSTALL + code("02"), view=64), "the failing removal removed its product")
        check(not wp.reg_key_exists(UNINSTALL + code("03"), view=64), "the product after the failure is still there")

        check_same_tree("backup", read_dump(wp), (want_keys, want_values))

        check_backup_gone(wp, 32)
        # The copy reads the settings key and changes nothing in it.
        check_same_tree("settings after the run", dump_settings(wp), expected_settings())
        check(wp.reg_value("HKLM\\%s\\%s" % (DRIVERS, GUID), "Native", view=64) == "64-bit view",
              "the 64-bit settings key changed")
        check(wp.reg_value("HKLM\\%s\\%s" % (DRIVERS, GUID), "PackageMark", view=64) is None,
              "the 64-bit settings key changed")
        check(not wp.reg_key_exists("HKLM\\%s\\SettingsBackup_%s" % (DRIVERS, GUID), view=64),
              "a backup was made in the 64-bit view")


def scenario_service_stopped():
    """The service is installed but stopped, and there are no settings yet:
    no control arrives, the run goes on, an empty backup comes and goes."""
    with WinePrefix(arch="win64", payloads=PAYLOADS) as wp:
        prepare(wp)
        wp.install_probe_service(PROBE, SERVICE, start=False)
        run_launcher(wp)
        log = wp.probe_log()
        check(len(log) == 1 and log[0].startswith("package\tbackup=0\t"), "log: %r" % log)
        keys, values = read_dump(wp)
        check(keys == {""} and not values, "the backup of no settings is not empty: %r %r" % (keys, values))
        check_backup_gone(wp, 32)


def scenario_win32():
    """32-bit Windows: the 32-bit product list and the only registry view;
    the real engine removes the products; the service is not installed."""
    with WinePrefix(arch="win32", payloads=PAYLOADS) as wp:
        # Code 04 is on the 32-bit list only: its removal shows which list
        # was used.
        install_packages(wp, ["PrepOld32", "PrepOld32Only"])  # by the real engine
        prepare(wp)
        for n in ("01", "04"):
            check(wp.reg_key_exists(UNINSTALL + code(n)), "product %s is not registered" % n)
        device = [r for r in SETTINGS if r[0].startswith("Device")]
        seed_settings(wp, None, device, GUID)
        run_launcher(wp)
        for n in ("01", "04"):
            check(not wp.reg_key_exists(UNINSTALL + code(n)), "the older product %s was not removed" % n)
        log = wp.probe_log()
        check([l.split("\t")[0] for l in log] == ["msiexec", "msiexec", "package"] and
              log[-1].startswith("package\tbackup=0\tworking=1"), "log: %r" % log)
        check_same_tree("backup", read_dump(wp), tree(device, copied=True))
        check_backup_gone(wp, None)
        check_same_tree("settings after the run", dump_settings(wp), expected_settings(device))


SCENARIOS = {"main": scenario_main, "service_stopped": scenario_service_stopped, "win32": scenario_win32}

if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] not in SCENARIOS:
        sys.exit("usage: scenarios.py " + "|".join(SCENARIOS))
    check(all([LAUNCHER, PROBE, PACKAGES, PAYLOADS]), "run through CTest (environment missing)")
    SCENARIOS[sys.argv[1]]()
    print("ok")
