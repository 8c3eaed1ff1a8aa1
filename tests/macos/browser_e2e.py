#!/usr/bin/env python3
"""The real selection-watcher against the real Safari, Chrome, Firefox and Edge of this Mac.

Usage: browser_e2e.py [--access] [--out DIR] PATH/TO/selection-watcher [BUNDLE ...]

Each installed browser is started fresh on the sample page (Safari, which cannot start with a
profile of its own, only when it is not running) and the cases below run against it with one
watcher. Every present line must name the browser, lie inside its window and contain the point the
mouse pressed; with screen recording allowed it is compared with the painted selection too. One
line per case, `ok` or `FAIL`, then `N passed, N failed`. --access only says whether this process
and the watcher may read other applications (status 2 if not) and record the screen (1 if not).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
import desktop  # noqa: E402
import macdesktop as mac  # noqa: E402
import page  # noqa: E402

TOL = 2  # points
# Safari and Firefox report the selected text's own box. Chromium reports the boxes of the text
# elements at the selection's ends, as wide as the page across lines: they contain what is painted.
RULES = {"com.apple.Safari": "exact", "com.google.Chrome": "contains",
         "org.mozilla.firefox": "exact", "com.microsoft.edgemac": "contains"}
# Steps (action, argument, expected line), run in this order in one browser with one watcher.
# Expected: "cleared", "present" (by the browser's rule), "contains", or "exit".
EMPTY = ("empty", None, "cleared")
CASES = (
    ("cold first selection", [("start", None, "cleared"), ("double", ("p1", "bravo"), "present")]),
    ("a click on empty space clears", [EMPTY]),
    ("a double-clicked word", [("double", ("p1", "charlie"), "present"), EMPTY]),
    ("a drag across two paragraphs", [("drag", (("p1", 12), ("p2", 12)), "present"), EMPTY]),
    ("a drag into a link", [("drag", (("p3", 0), ("p3", 7)), "present"), EMPTY]),
    ("a word in a textarea", [("double", ("area", "oscar"), "present"), EMPTY]),
    ("a word in an input", [("double", ("field", "romeo"), "present"), EMPTY]),
    ("non-ASCII text", [("double", ("p4", "naïve"), "present"), EMPTY]),
    ("select-all, then a click clears", [("select-all", None, "contains"), EMPTY]),
    ("Finder in front, then the browser again",
     [("double", ("p2", "golf"), "present"), ("finder", None, "cleared"), ("back", None, "present"), EMPTY]),
    ("standard input closed", [("close", None, "exit")]),
)
ERRORS = (AssertionError, desktop.DesktopError, OSError, subprocess.SubprocessError, ValueError)
GRANT = ("no accessibility access: turn on the application this runs in (Terminal, iTerm, ...) in "
         "System Settings > Privacy & Security > Accessibility, then run this again")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_present(line, bundle, window, press=None):
    """The rectangle (x, y, width, height) of a present line; AssertionError saying what is wrong."""
    try:
        event = json.loads(line) if line.endswith("\n") and "\r" not in line else None
    except ValueError:
        event = None
    check(isinstance(event, dict) and event.keys() == {"selection", "app", "bounds"}
          and event["selection"] is True, f"expected a present line with app and bounds, got {line!r}")
    bounds = event["bounds"]
    check(event["app"] == bundle and isinstance(bounds, dict)
          and bounds.keys() == {"x", "y", "width", "height"} and all(type(v) is int for v in bounds.values()),
          f"app or bounds wrong for {bundle}: {line!r}")
    x, y, w, h = r = tuple(bounds[k] for k in ("x", "y", "width", "height"))
    wx, wy, ww, wh = window
    check(w >= 1 and h >= 1 and wx - TOL <= x and wy - TOL <= y and x + w <= wx + ww + TOL
          and y + h <= wy + wh + TOL, f"bounds {r} empty or outside the window {window}")
    check(not press or x - TOL <= press[0] <= x + w + TOL and y - TOL <= press[1] <= y + h + TOL,
          f"bounds {r} do not contain the press at {press}")
    return r


def matches(rule, reported, painted):
    """exact: every edge within TOL; contains: the painted box lies inside the reported one."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    if rule == "exact":
        return all(abs(a - b) <= TOL for a, b in zip((x, y, x + w, y + h), (px, py, px + pw, py + ph)))
    return x <= px + TOL and y <= py + TOL and x + w >= px + pw - TOL and y + h >= py + ph - TOL


def step(run, action, argument, expected, shot):
    if action == "start":
        run.watcher = desktop.Watcher(run.exe, types.SimpleNamespace(dir=run.out, env=os.environ))
    run.view.act(action, argument)
    began = time.monotonic()
    if expected == "exit":
        status, seconds = run.watcher.close()
        output = "".join(line for _, line in run.watcher.lines.all) + run.watcher.stderr()
        check(status == 0 and seconds < 1, f"exit status {status} after {seconds:.2f} s")
        check(not [w for w in page.SELECTED_WORDS if w in output], "selected text in the watcher's output")
        return f"status 0 after {seconds:.2f} s, standard error {run.watcher.stderr()!r}"
    line = run.watcher.lines.next(15)
    after = f"after {max(0, run.watcher.lines.all[-1][0] - began):.2f} s"
    if expected == "cleared":
        check(line == '{"selection":false}\n', f"expected a cleared line, got {line!r}")
        return "cleared " + after
    reported = check_present(line, run.bundle, run.view.frame, run.view.press)
    figures = f"bounds {reported} {after}, window {rounded(run.view.frame)}, press {rounded(run.view.press)}"
    if not run.view.screen:
        return figures + ", pixel comparison skipped (no screen recording)"
    painted, rule = run.view.painted(shot), "contains" if expected == "contains" else RULES[run.bundle]
    check(matches(rule, reported, painted), f"bounds {reported}, painted {rounded(painted)} ({rule})")
    return f"{figures}, painted {rounded(painted)} ({rule})"


def rounded(numbers):
    return numbers and tuple(round(v, 1) for v in numbers)


def run_browser(bundle, app, exe, screen, out):
    """Prints a line per case; (passed, failed)."""
    run = types.SimpleNamespace(bundle=bundle, exe=exe, out=out, watcher=None, pid=None)
    passed = failed = 0
    folder = tempfile.mkdtemp(prefix="sw-browser-")
    try:
        run.pid = mac.start_browser(bundle, app, folder)
        run.view = mac.View(run.pid, screen, os.path.join(out, bundle + "-corner.png"))
        for n, (case, steps) in enumerate(CASES, 1):
            shot = os.path.join(out, f"{bundle}-{n:02d}")
            try:
                check(n == 1 or run.watcher and run.watcher.proc.poll() is None, "the watcher has ended")
                figures = "; ".join(step(run, *s, shot + ".png") for s in steps)
                print(f"ok   {bundle} {case}: {figures}", flush=True)
                passed += 1
            except ERRORS as e:
                print(f"FAIL {bundle} {case}: {e}", flush=True)
                failed += 1
                run.view.recover(run.watcher, shot + "-failed.png")
    except ERRORS as e:
        print(f"FAIL {bundle} start: {e}", flush=True)
        failed += 1
    finally:
        if run.watcher:
            with open(os.path.join(out, bundle + "-watcher.txt"), "w") as f:
                f.writelines([line for _, line in run.watcher.lines.all] + ["--\n", run.watcher.stderr()])
            run.watcher.kill()
        if run.pid:
            mac.stop_browser(bundle, run.pid)
        shutil.rmtree(folder, ignore_errors=True)
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--access", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("watcher")
    parser.add_argument("bundles", nargs="*", help=", ".join(RULES))
    args = parser.parse_args()
    if mac.AX is None or set(args.bundles) - set(RULES):
        parser.error("runs on macOS only, with browsers among " + ", ".join(RULES))
    trusted, screen = mac.AX.AXIsProcessTrusted(), mac.CG.CGPreflightScreenCaptureAccess()
    print(f"process: {mac.executable_path()}\naccessibility: {'trusted' if trusted else 'NOT trusted'}; "
          f"screen recording: {'allowed' if screen else 'not allowed (no pixel comparisons)'}", flush=True)
    if trusted:
        alone = subprocess.run([args.watcher], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        print(f"watcher alone, input closed: {alone.stdout.decode().strip()}, status {alone.returncode}")
    if not trusted or alone.returncode == 2:
        print(("selection-watcher has " if trusted else "this process has ") + GRANT, flush=True)
        return 2
    if args.access:
        return 0 if screen else 1
    out = args.out or tempfile.mkdtemp(prefix="sw-macos-e2e-")
    os.makedirs(out, exist_ok=True)
    print(f"screenshots and watcher lines in {out}", flush=True)
    passed = failed = 0
    for bundle in args.bundles or RULES:
        app = mac.installed(bundle)
        if not app or bundle == "com.apple.Safari" and mac.pgrep("Safari"):
            print(f"--   {bundle}: " + ("running already: quit it to test it" if app else "not installed"))
            continue
        p, f = run_browser(bundle, app, os.path.abspath(args.watcher), screen, out)
        passed, failed = passed + p, failed + f
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
