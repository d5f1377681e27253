#!/usr/bin/env python3
"""Makes a package built by wixl byte-identical from build to build.

wixl writes a fresh random package code and the build time into the
package's summary information, and its cabinet records the modification time
of each packed file. This script:
  --touch FILE...           sets the modification time of the files to pack
                            to a fixed moment (before wixl runs);
  PACKAGE PACKAGE_CODE      puts the given package code and the fixed moment
                            into the summary information (after wixl runs).
The summary information holds the package code as a 38-character string
property (NUL and one padding byte) followed by the two time properties (created, last saved);
that run of bytes must occur exactly once, or the script fails rather than
guess.
"""
import os
import re
import struct
import sys

# 2026-01-01 00:00:00 UTC, as seconds since 1970 and as a FILETIME.
FIXED_UNIX = 1767225600
FIXED_FILETIME = (FIXED_UNIX + 11644473600) * 10_000_000

SUMMARY_RUN = re.compile(
    rb"\x1e\x00\x00\x00\x27\x00\x00\x00(\{[0-9A-Fa-f-]{36}\})\x00\x00"
    rb"\x40\x00\x00\x00(.{8})\x40\x00\x00\x00(.{8})",
    re.DOTALL,
)


def touch(paths):
    for path in paths:
        os.utime(path, (FIXED_UNIX, FIXED_UNIX))


def normalize(package, package_code):
    code = package_code.strip("{}").upper()
    if not re.fullmatch(r"[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}", code):
        sys.exit(f"normalize_msi: not a GUID: {package_code}")
    data = bytearray(open(package, "rb").read())
    matches = list(SUMMARY_RUN.finditer(data))
    if len(matches) != 1:
        sys.exit(f"normalize_msi: {package}: expected one summary run, found {len(matches)}")
    match = matches[0]
    data[match.start(1):match.end(1)] = ("{" + code + "}").encode("ascii")
    stamp = struct.pack("<Q", FIXED_FILETIME)
    data[match.start(2):match.end(2)] = stamp
    data[match.start(3):match.end(3)] = stamp
    with open(package, "wb") as out:
        out.write(data)


def main(argv):
    if len(argv) >= 2 and argv[0] == "--touch":
        touch(argv[1:])
    elif len(argv) == 2:
        normalize(argv[0], argv[1])
    else:
        sys.exit("usage: normalize_msi.py --touch FILE... | normalize_msi.py PACKAGE PACKAGE_CODE")


if __name__ == "__main__":
    main(sys.argv[1:])
