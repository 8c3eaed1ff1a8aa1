#!/usr/bin/env python3
"""Checks the entitlements selection-watcher is signed with: exactly four, each true. Takes the
entitlements file, or --signed and a built executable (macOS), whose signature must also be valid
and use the hardened runtime."""
import plistlib
import re
import subprocess
import sys

EXPECTED = {"com.apple.security.automation.apple-events", "com.apple.security.cs.allow-jit",
            "com.apple.security.cs.allow-unsigned-executable-memory",
            "com.apple.security.cs.disable-library-validation"}


def run(*args):
    return subprocess.run(args, check=True, capture_output=True)


if sys.argv[1:2] == ["--signed"]:
    exe = sys.argv[2]
    run("codesign", "--verify", "--strict", exe)
    details = run("codesign", "-d", "-v", exe).stderr.decode()  # "flags=0x10002(adhoc,runtime)"
    if not re.search(r"flags=0x[0-9a-f]+\([^)]*\bruntime\b", details):
        sys.exit(f"{exe} is not signed with the hardened runtime:\n{details}")
    entitlements = plistlib.loads(run("codesign", "-d", "--entitlements", "-", "--xml", exe).stdout)
else:
    with open(sys.argv[1], "rb") as file:
        entitlements = plistlib.load(file)
# Only the boolean true grants an entitlement; 1 or "true" would not.
if not isinstance(entitlements, dict) or entitlements.keys() != EXPECTED or \
        any(value is not True for value in entitlements.values()):
    sys.exit(f"{sys.argv[-1]}: not exactly the four entitlements, each true: {entitlements!r}")
