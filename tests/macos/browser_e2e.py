#!/usr/bin/env python3
"""The real selection-watcher against the real Safari, Chrome, Firefox and Edge of this Mac.

Usage: browser_e2e.py [--access] [--out DIR] PATH/TO/selection-watcher [BUNDLE ...]

Each installed browser is started fresh on the sample page (Safari, which has no profile of its own
to start with, only when it is not running) and the table of cases runs against it, with one
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
# How a browser's rectangle compares with the painted selection. Safari and Firefox report the
# selected text's own box; Chromium the boxes of the text elements at the selection's ends, as wide
# as the page across lines, which only has to contain what is painted.
RULES = {"com.apple.Safari": "exact", "com.google.Chrome": "contains",
         "org.mozilla.firefox": "exact", "com.microsoft.edgemac": "contains"}
# Each case is a list of steps (action, argument, expected), run in this order in one browser with
# one watcher. Expected: "cleared", "present" (the browser's rule), "contains", or "exit".
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
GRANT = ("no accessibility access: turn on the application this runs in (Terminal, iTerm, ...) in "
         "System Settings > Privacy & Security > Accessibility, then run it again")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_present(line, bundle, window, press=None):
    """The rectangle (x, y, width, height) of a present line, or Failure saying what is wrong."""
    try:
        event = json.loads(line) if line.endswith("\n") and "\r" not in line else None
    except ValueError:
        event = None
    check(isinstance(event, dict) and event.keys() == {"selection", "app", "bounds"}
          and event["selection"] is True, f"expected a present line with app and bounds, got {line!r}")
    check(event["app"] == bundle, f"app {event['app']!r}, not {bundle}")
    bounds = event["bounds"]
    check(isinstance(bounds, dict) and bounds.keys() == {"x", "y", "width", "height"}
          and all(type(v) is int for v in bounds.values()), f"bounds {bounds!r}")
    x, y, w, h = r = tuple(bounds[k] for k in ("x", "y", "width", "height"))
    check(w >= 1 and h >= 1, f"bounds {r} have no area")
    wx, wy, ww, wh = window
    check(x >= wx - TOL and y >= wy - TOL and x + w <= wx + ww + TOL and y + h <= wy + wh + TOL,
          f"bounds {r} outside the window {window}")
    check(press is None or x - TOL <= press[0] <= x + w + TOL and y - TOL <= press[1] <= y + h + TOL,
          f"bounds {r} do not contain the press at {press}")
    return r


def check_cleared(line):
    check(line == '{"selection":false}\n', f"expected a cleared line, got {line!r}")


def matches(rule, reported, painted):
    """"exact": every edge within TOL; "contains": the painted box lies inside the reported one."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    if rule == "exact":
        return all(abs(a - b) <= TOL for a, b in zip((x, y, x + w, y + h), (px, py, px + pw, py + ph)))
    return x <= px + TOL and y <= py + TOL and x + w >= px + pw - TOL and y + h >= py + ph - TOL


class Run:
    """One browser with its window, its page and one watcher, through the steps of the cases."""

    def __init__(self, bundle, exe, pid, screen, out):
        self.bundle, self.exe, self.pid, self.screen, self.out = bundle, exe, pid, screen, out
        self.watcher = self.press = self.region = self.shot = None

    def settle(self):
        self.frame = mac.place(self.pid)
        if self.screen:  # the page's green corner
            corner = os.path.join(self.out, self.bundle + "-corner.png")
            origin = mac.painted_box(self.frame[:2] + (160, 300), mac.GREEN, corner, 30)
        else:
            origin = desktop.wait_for("the page", lambda: mac.web_area_origin(self.pid), 30, 0.5)
        self.ox, self.oy = origin[:2]

    def point(self, element, index):
        left, top, height, _ = page.ELEMENTS[element]
        return self.ox + left + index * page.CHAR, self.oy + top + height / 2

    def area(self, *elements):
        top = min(page.ELEMENTS[e][1] for e in elements)
        bottom = max(page.ELEMENTS[e][1] + page.ELEMENTS[e][2] for e in elements)
        return self.ox, self.oy + top - 4, 900, bottom - top + 8

    def act(self, action, argument):
        if action == "start":
            where = types.SimpleNamespace(dir=self.out, env=dict(os.environ))
            self.watcher = desktop.Watcher(self.exe, where)
        elif action == "double":
            element, word = argument
            self.press = self.point(element, page.ELEMENTS[element][3].index(word) + len(word) / 2)
            self.region = self.area(element)
            mac.click(self.press, 2)
        elif action == "drag":
            (e0, i0), (e1, i1) = argument
            self.press, self.region = self.point(e0, i0), self.area(e0, e1)
            mac.drag(self.press, self.point(e1, i1))
        elif action == "select-all":
            self.press, self.region = None, (self.ox, self.oy, 700, 480)
            mac.command_key(0)
        elif action == "empty":
            mac.click((self.ox + page.EMPTY[0], self.oy + page.EMPTY[1]))
        elif action in ("finder", "back"):
            mac.front("Finder" if action == "finder" else self.pid)

    def step(self, action, argument, expected):
        self.act(action, argument)
        began = time.monotonic()
        if expected == "exit":
            status, seconds = self.watcher.close()
            output = "".join(line for _, line in self.watcher.lines.all) + self.watcher.stderr()
            check(status == 0 and seconds < 1, f"exit status {status} after {seconds:.2f} s")
            leaked = [w for w in page.SELECTED_WORDS if w in output]
            check(not leaked, f"selected text in the watcher's output: {leaked}")
            return f"status 0 after {seconds:.2f} s, standard error {self.watcher.stderr()!r}"
        try:
            line = self.watcher.lines.next(15)
        except desktop.DesktopError as e:
            raise Failure(f"{e} after {action}")
        after = f"after {max(0, self.watcher.lines.all[-1][0] - began):.2f} s"
        if expected == "cleared":
            check_cleared(line)
            return "cleared " + after
        reported = check_present(line, self.bundle, self.frame, self.press)
        press = self.press and tuple(round(v) for v in self.press)
        window = tuple(round(v) for v in self.frame)
        figures = f"bounds {reported} {after}, window {window}, press {press}"
        if not self.screen:
            return figures + ", pixel comparison skipped (no screen recording)"
        painted = mac.painted_box(self.region, mac.MAGENTA, self.shot)
        rule = "contains" if expected == "contains" else RULES[self.bundle]
        check(matches(rule, reported, painted), f"bounds {reported}, painted {painted} ({rule})")
        return f"{figures}, painted {tuple(round(v, 1) for v in painted)} ({rule})"

    def recover(self):
        """After a failed case: the browser in front, nothing selected, no line pending."""
        mac.front(self.pid)
        mac.click((self.ox + page.EMPTY[0], self.oy + page.EMPTY[1]))
        time.sleep(1.5)
        while not self.watcher.lines.queue.empty():
            self.watcher.lines.queue.get()


def run_browser(bundle, app, exe, screen, out):
    """Prints a line per case; returns (passed, failed)."""
    passed = failed = 0
    folder = tempfile.mkdtemp(prefix="sw-browser-")
    url = "file://" + shutil.copy(page.PATH, folder)  # outside any folder a browser needs access to
    run = Run(bundle, exe, None, screen, out)
    errors = (Failure, desktop.DesktopError, OSError, subprocess.SubprocessError, ValueError)
    try:
        run.pid = mac.start_browser(bundle, app, url, folder)
        run.settle()
        for n, (case, steps) in enumerate(CASES, 1):
            run.shot = os.path.join(out, f"{bundle}-{n:02d}.png")
            try:
                check(n == 1 or run.watcher and run.watcher.proc.poll() is None, "the watcher has ended")
                print(f"ok   {bundle} {case}: " + "; ".join(run.step(*s) for s in steps), flush=True)
                passed += 1
            except errors as e:
                print(f"FAIL {bundle} {case}: {e}", flush=True)
                failed += 1
                if screen:
                    subprocess.run(["screencapture", "-x", run.shot[:-4] + "-failed.png"], timeout=30)
                if run.watcher and run.watcher.proc.poll() is None:
                    run.recover()
    except errors as e:
        print(f"FAIL {bundle} start: {e}", flush=True)
        failed += 1
    finally:
        if run.watcher:
            with open(os.path.join(out, bundle + "-watcher.txt"), "w") as f:
                f.writelines(line for _, line in run.watcher.lines.all)
                f.write("-- standard error\n" + run.watcher.stderr())
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
    if set(args.bundles) - set(RULES):
        parser.error("browsers: " + ", ".join(RULES))
    if mac.AX is None:
        sys.exit("this test runs on macOS only")
    exe = os.path.abspath(args.watcher)
    trusted, screen = mac.AX.AXIsProcessTrusted(), mac.CG.CGPreflightScreenCaptureAccess()
    print(f"process: {mac.executable_path()}\naccessibility: {'trusted' if trusted else 'NOT trusted'}; "
          f"screen recording: {'allowed' if screen else 'not allowed, pixel comparisons skipped'}",
          flush=True)
    if not trusted:
        print(GRANT, flush=True)
        return 2
    first = subprocess.run([exe], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    print(f"watcher with standard input closed: {first.stdout.decode().strip()}, "
          f"status {first.returncode}", flush=True)
    if first.returncode == 2:
        print("selection-watcher itself has " + GRANT, flush=True)
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
            print(f"--   {bundle}: " + ("running already; quit it to test it" if app else "not installed"),
                  flush=True)
            continue
        p, f = run_browser(bundle, app, exe, screen, out)
        passed, failed = passed + p, failed + f
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
