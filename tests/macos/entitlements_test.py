#!/usr/bin/env python3
"""Checks the entitlements selection-watcher is signed with: exactly four, each true.

    entitlements_test.py FILE            the entitlements file the build signs with
    entitlements_test.py --signed EXE    what a built executable's signature carries (macOS only);
                                         the signature must also be valid and use the hardened runtime

Exits 0 when everything holds, 1 with one line per problem otherwise.
"""
import plistlib
import re
import subprocess
import sys

EXPECTED = {
    "com.apple.security.automation.apple-events",
    "com.apple.security.cs.allow-jit",
    "com.apple.security.cs.allow-unsigned-executable-memory",
    "com.apple.security.cs.disable-library-validation",
}


def problems(entitlements):
    """Everything wrong with a parsed entitlements dictionary, one message each."""
    if not isinstance(entitlements, dict):
        return [f"the top level is a {type(entitlements).__name__}, not a dictionary"]
    found = []
    found += [f"missing {key}" for key in sorted(EXPECTED - entitlements.keys())]
    found += [f"unexpected {key}" for key in sorted(entitlements.keys() - EXPECTED)]
    # Only the boolean true grants an entitlement; 1 or "true" would not.
    found += [
        f"{key} is {entitlements[key]!r}, not true"
        for key in sorted(EXPECTED & entitlements.keys())
        if entitlements[key] is not True
    ]
    return found


def signed_entitlements(executable):
    """The entitlements in a signed executable, after checking the signature itself."""
    subprocess.run(["codesign", "--verify", "--strict", executable], check=True)
    details = subprocess.run(["codesign", "-d", "-v", executable], check=True,
                             capture_output=True, text=True).stderr
    # e.g. "flags=0x10002(adhoc,runtime)"
    flags = re.search(r"flags=0x[0-9a-f]+\(([^)]*)\)", details)
    if not flags or "runtime" not in flags.group(1).split(","):
        raise SystemExit(f"{executable} is not signed with the hardened runtime:\n{details}")
    xml = subprocess.run(["codesign", "-d", "--entitlements", "-", "--xml", executable],
                         check=True, capture_output=True).stdout
    return plistlib.loads(xml)


def main(argv):
    if len(argv) == 2:
        try:
            with open(argv[1], "rb") as file:
                entitlements = plistlib.load(file)
        except Exception as error:  # any parser's complaint means the file is unusable
            print(f"{argv[1]}: not a property list: {error}")
            return 1
        source = argv[1]
    elif len(argv) == 3 and argv[1] == "--signed":
        entitlements = signed_entitlements(argv[2])
        source = argv[2]
    else:
        print(__doc__)
        return 2
    found = problems(entitlements)
    for problem in found:
        print(f"{source}: {problem}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
