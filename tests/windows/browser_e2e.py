#!/usr/bin/env python3
"""The real selection-watcher.exe against the real Chrome, Edge and Firefox of this Windows machine.

Usage: browser_e2e.py [--ci] [--out DIR] PATH\\TO\\selection-watcher.exe [chrome|edge|firefox ...]

Each installed browser is started fresh on the sample page, placed at the top left of the display
and brought to the front, and the cases of the macOS test run against it with one watcher; the
input is real (SendInput). Every present line must name the browser, lie inside its window and
contain the point the mouse pressed, and is compared with where the page painted the selection on
the screen. One line per case, `ok` or `FAIL`, then the macOS test's verdict. Screenshots and the
watcher's lines are kept in DIR.
"""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
import desktop  # noqa: E402
import macdesktop as mac  # noqa: E402
import page  # noqa: E402
import windesktop as win  # noqa: E402

# The macOS test's line checks, rectangle rules and case table are this test's too.
_spec = importlib.util.spec_from_file_location("macos_browser_e2e", os.path.join(HERE, "..", "macos", "browser_e2e.py"))
macos = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(macos)
TOL, EMPTY = macos.TOL, macos.EMPTY
# Rows of Windows' own, after the shared table, each with what it requires; the shared table's
# select-all is by keys (Ctrl+A) already, and its cold first selection needs the page woken at the
# attach (Chromium: its web content's tree and text boxes; Firefox: its cached bounds) and the core
# asking again while the first rectangle has no area.
WINDOWS_CASES = (
    ("Shift+End from a click (a selection by a key: Firefox's event; Chromium's on the page's fragment "
     "root, or a released key heard)", [("start", None, "cleared"), ("shift-end", ("p2", 4), "present"), EMPTY]),
    ("a new tab after the attach (its page window followed: woken and heard when made or shown)",
     [("new-tab", None, None), ("double", ("p1", "bravo"), "present"), EMPTY, ("close-tab", None, None),
      ("close", None, "exit")]),
    ("focus in the address bar at start (the page woken and heard though the focus is not in it)",
     [("address", None, None), ("start", None, "cleared"), ("double", ("p3", "lima"), "present"), EMPTY,
      ("close", None, "exit")]),
)
CASES = macos.CASES + WINDOWS_CASES
# With native UI Automation off (Windows' proxy instead): at worst nothing selected, and no hang.
UIA_OFF_CASES = (("native UI Automation off: a word, at worst no selection, then the end within a second",
                  [("start", None, "cleared"), ("double", ("p1", "bravo"), "any"), ("close", None, "exit")]),)

# name: identifier the watcher reports, executable, its folder under Program Files, kind, rectangle
# rule. Firefox's text ranges answer the lines of the text itself (mozilla/gecko-dev
# accessible/windows/uia/UiaTextRange.cpp, GetBoundingRectangles: LineRects), painted as they are:
# "exact". Chromium's answer the boxes of the text in physical pixels (chromium/chromium
# ui/accessibility/platform/ax_platform_node_textrangeprovider_win.cc, GetBoundingRectangles:
# AXRange's rectangles, as its ATK answers on Linux) while Chromium paints the selection over the
# whole line box: "line". Both until a first run shows otherwise.
BROWSERS = {
    "chrome": ("com.google.Chrome", "chrome.exe", r"Google\Chrome\Application", "chromium", "line"),
    "edge": ("com.microsoft.edgemac", "msedge.exe", r"Microsoft\Edge\Application", "chromium", "line"),
    "firefox": ("org.mozilla.firefox", "firefox.exe", "Mozilla Firefox", "firefox", "exact"),
}


def line_rule(reported, painted, scale):
    """Left edges agree; the painted right edge lies between the reported one and one character
    past it (a selection that runs past a line's end paints one more); the reported box lies
    inside the painted one vertically."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    return (abs(x - px) <= TOL and -TOL <= px + pw - x - w <= page.CHAR * scale + TOL
            and y >= py - TOL and y + h <= py + ph + TOL)


def matches(rule, reported, painted, scale=1.0):
    return line_rule(reported, painted, scale) if rule == "line" else macos.matches(rule, reported, painted)


def at_worst_cleared(line, app, window):
    """With native UI Automation off: no line (nothing selected still), a cleared one, or a whole
    present line of the browser inside its window; what it was."""
    if line is None or line == '{"selection":false}\n':
        return "nothing selected"
    return f"bounds {macos.check_present(line, app, window)}"


def step(run, action, argument, expected, shot):
    if action == "start":
        run.watcher = desktop.Watcher(run.exe, types.SimpleNamespace(dir=run.out, env=os.environ))
    run.view.act(action, argument, run.other)
    began = time.monotonic()
    if expected is None:
        return action
    if expected == "any":
        try:
            line = run.watcher.lines.next(5)
        except desktop.DesktopError:
            line = None
        return at_worst_cleared(line, run.app, run.view.frame)
    if expected == "exit":
        return macos.exited(run.watcher)
    line = run.watcher.lines.next(15)
    after = f"after {max(0, run.watcher.lines.all[-1][0] - began):.2f} s"
    if expected == "cleared":
        return macos.cleared(line, after)
    reported = macos.check_present(line, run.app, run.view.frame, run.view.press)
    painted = win.painted_box(run.view.region, mac.MAGENTA, shot)
    rule = "contains" if expected == "contains" else run.rule
    # Both boxes side by side whatever the verdict: a first run says which rule holds.
    figures = f"bounds {reported} {after}, painted {painted} ({rule}), press {macos.rounded(run.view.press)}"
    macos.check(matches(rule, reported, painted, run.view.scale), "mismatch: " + figures)
    return figures


def run_browser(name, exe, watcher, out, other, native=True):
    """Prints a line per case; their results ("ok" or "FAIL"). Not `native`: the rows of older
    providers, with the browser's native UI Automation off."""
    app, _, _, kind, rule = BROWSERS[name]
    run = types.SimpleNamespace(app=app, rule=rule, exe=watcher, out=out, other=other, watcher=None)
    outcomes, folder, proc, found = [], win.fresh_folder(), None, []
    label, cases = (name, CASES) if native else (name + "-uia-off", UIA_OFF_CASES)
    policy = kind == "chromium" and not native and win.uia_policy(exe, True)
    try:
        profile = os.path.join(folder, "profile")
        os.makedirs(profile)
        url = win.copy_page(folder)
        proc = win.start(win.browser_argv(kind, exe, profile, url, native), os.path.join(out, label + ".log"))
        # Firefox's launcher hands over to another process: the window says which.
        found = desktop.wait_for("the page's window", lambda: win.windows(win.TITLE), timeout=60, interval=0.5)
        run.view = win.View(found[0][0], os.path.join(out, label + "-corner.png"))
        run.view.url = url
        for n, (case, steps) in enumerate(cases, 1):
            case = case.replace("Finder", "another program")
            shot = os.path.join(out, f"{label}-{n:02d}")
            outcomes.append(macos.run_case(run, step, label, case, steps, shot))
    except macos.ERRORS as e:
        print(f"FAIL {label} start: {e}", flush=True)
        outcomes.append("FAIL")
        win.screenshot(os.path.join(out, label + "-start-failed.png"))
    finally:
        if run.watcher:
            macos.keep_lines(run.watcher, os.path.join(out, label + "-watcher.txt"))
        win.stop([h for h, _ in found], [p for _, p in found] + ([proc.pid] if proc else []))
        if policy:
            win.uia_policy(exe, False)
        shutil.rmtree(folder, ignore_errors=True)
    return outcomes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], epilog=__doc__.split("\n\n", 2)[2],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ci", action="store_true", help="every browser (Chrome, Edge, Firefox) must be "
                        "installed and run, and any skip is a failure (the workflow runs with it)")
    parser.add_argument("--out", help="folder for screenshots, browser logs and the watcher's lines")
    parser.add_argument("watcher", help="the selection-watcher.exe to test")
    parser.add_argument("browsers", nargs="*", help=", ".join(BROWSERS) + " (default: all)")
    args = parser.parse_args()
    if not win.WIN or set(args.browsers) - set(BROWSERS):
        parser.error("runs on Windows only, with browsers among " + ", ".join(BROWSERS))
    win.dpi_aware()
    width, height, scale = win.display()
    print(f"display: {width}x{height} pixels at {scale:.0%}; windows placed at {win.GEOMETRY}", flush=True)
    alone = subprocess.run([args.watcher], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    first = (alone.stdout.decode(errors="replace").splitlines() or [""])[0]
    print(f"watcher alone, input closed: {first}, status {alone.returncode}", flush=True)
    if alone.returncode == 2:
        print("selection-watcher cannot use UI Automation here (status 2)", flush=True)
        return 2
    out = os.path.abspath(args.out or win.fresh_folder())
    os.makedirs(out, exist_ok=True)
    print(f"screenshots and watcher lines in {out}", flush=True)
    outcomes = {}
    other_hwnd, other_pids = win.other_window(out)
    try:
        for name in args.browsers or BROWSERS:
            exe = win.installed(*BROWSERS[name][1:3])
            print(f"--   {name}: {exe or 'not installed'}", flush=True)
            outcomes[name] = [r for native in (True, False) for r in run_browser(
                name, exe, os.path.abspath(args.watcher), out, other_hwnd, native)] if exe else "not installed"
    finally:
        win.stop([other_hwnd], other_pids)
    line, status = macos.verdict(outcomes, args.ci)
    print(line, flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
