#!/usr/bin/env python3
"""The real selection-watcher.exe against the real Chrome, Edge and Firefox of this Windows machine.

Usage: browser_e2e.py [--ci] [--out DIR] PATH\\TO\\selection-watcher.exe [chrome|edge|firefox ...]

Each installed browser is started fresh on the sample page, placed at the top left of the display
and brought to the front, and the cases of the macOS test run against it with one watcher; the
input is real (SendInput). Every present line must name the browser, lie inside its window and
contain the point the mouse pressed, and is compared with where the page painted the selection on
the screen. One line per case, `ok`, `FAIL` or `skip`, then the verdict. Screenshots and the
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
CASES, TOL = macos.CASES, macos.TOL

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
ERRORS = (AssertionError, desktop.DesktopError, OSError, subprocess.SubprocessError, ValueError)


def line_rule(reported, painted, scale):
    """Left edges agree; the painted right edge lies between the reported one and one character
    past it (a selection that runs past a line's end paints one more); the reported box lies
    inside the painted one vertically."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    return (abs(x - px) <= TOL and -TOL <= px + pw - x - w <= page.CHAR * scale + TOL
            and y >= py - TOL and y + h <= py + ph + TOL)


def matches(rule, reported, painted, scale=1.0):
    return line_rule(reported, painted, scale) if rule == "line" else macos.matches(rule, reported, painted)


def verdict(outcomes, ci, wanted):
    """Exit status and last line from [(browser, case, "ok" | "FAIL" | "skip")]. With --ci every
    wanted browser must have run and nothing may be skipped."""
    count = {s: sum(1 for _, _, o in outcomes if o == s) for s in ("ok", "FAIL", "skip")}
    missing = [b for b in wanted if not any(o[0] == b and o[2] != "skip" for o in outcomes)] if ci else []
    failed = count["FAIL"] or not count["ok"] or ci and (count["skip"] or missing)
    line = f"{count['ok']} passed, {count['FAIL']} failed, {count['skip']} skipped"
    if missing or ci and count["skip"]:
        line += f" (--ci: {', '.join(missing)} did not run)" if missing else " (--ci: skips fail)"
    return (1 if failed else 0), line


def step(run, action, argument, expected, shot):
    if action == "start":
        run.watcher = desktop.Watcher(run.exe, types.SimpleNamespace(dir=run.out, env=os.environ))
    run.view.act(action, argument, run.other)
    began = time.monotonic()
    if expected == "exit":
        status, seconds = run.watcher.close()
        output = "".join(line for _, line in run.watcher.lines.all) + run.watcher.stderr()
        macos.check(status == 0 and seconds < 1, f"exit status {status} after {seconds:.2f} s")
        macos.check(not [w for w in page.SELECTED_WORDS if w in output], "selected text in the watcher's output")
        return f"status 0 after {seconds:.2f} s, standard error {run.watcher.stderr()!r}"
    line = run.watcher.lines.next(15)
    after = f"after {max(0, run.watcher.lines.all[-1][0] - began):.2f} s"
    if expected == "cleared":
        macos.check(line == '{"selection":false}\n', f"expected a cleared line, got {line!r}")
        return "cleared " + after
    reported = macos.check_present(line, run.app, run.view.frame, run.view.press)
    painted = win.painted_box(run.view.region, mac.MAGENTA, shot)
    rule = "contains" if expected == "contains" else run.rule
    # Both boxes side by side whatever the verdict: a first run says which rule holds.
    figures = f"bounds {reported} {after}, painted {painted} ({rule}), press {macos.rounded(run.view.press)}"
    macos.check(matches(rule, reported, painted, run.view.scale), "mismatch: " + figures)
    return figures


def run_browser(name, exe, watcher, out, other):
    """Prints a line per case; [(browser, case, outcome)]."""
    app, _, _, kind, rule = BROWSERS[name]
    run = types.SimpleNamespace(app=app, rule=rule, exe=watcher, out=out, other=other, watcher=None)
    outcomes, folder, proc, found = [], win.fresh_folder(), None, []
    try:
        profile = os.path.join(folder, "profile")
        os.makedirs(profile)
        proc = win.start(win.browser_argv(kind, exe, profile, win.copy_page(folder)), os.path.join(out, name + ".log"))
        # Firefox's launcher hands over to another process: the window says which.
        found = desktop.wait_for("the page's window", lambda: win.windows(win.TITLE), timeout=60, interval=0.5)
        run.view = win.View(found[0][0], os.path.join(out, name + "-corner.png"))
        for n, (case, steps) in enumerate(CASES, 1):
            case, shot = case.replace("Finder", "another program"), os.path.join(out, f"{name}-{n:02d}")
            try:
                macos.check(n == 1 or run.watcher and run.watcher.proc.poll() is None, "the watcher has ended")
                figures = "; ".join(step(run, *s, shot + ".png") for s in steps)
                print(f"ok   {name} {case}: {figures}", flush=True)
                outcomes.append((name, case, "ok"))
            except ERRORS as e:
                print(f"FAIL {name} {case}: {e}", flush=True)
                outcomes.append((name, case, "FAIL"))
                run.view.recover(run.watcher, shot + "-failed.png")
    except ERRORS as e:
        print(f"FAIL {name} start: {e}", flush=True)
        outcomes.append((name, "start", "FAIL"))
        win.screenshot(os.path.join(out, name + "-start-failed.png"))
    finally:
        if run.watcher:
            with open(os.path.join(out, name + "-watcher.txt"), "w", encoding="utf-8") as f:
                f.writelines([line for _, line in run.watcher.lines.all] + ["--\n", run.watcher.stderr()])
            run.watcher.kill()
        win.stop([h for h, _ in found], [p for _, p in found] + ([proc.pid] if proc else []))
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
    wanted, outcomes = args.browsers or list(BROWSERS), []
    other_hwnd, other_pids = win.other_window(out)
    try:
        for name in wanted:
            exe = win.installed(*BROWSERS[name][1:3])
            if not exe:
                print(f"skip {name}: not installed", flush=True)
                outcomes.append((name, "installed", "skip"))
                continue
            print(f"--   {name}: {exe}", flush=True)
            outcomes += run_browser(name, exe, os.path.abspath(args.watcher), out, other_hwnd)
    finally:
        win.stop([other_hwnd], other_pids)
    status, line = verdict(outcomes, args.ci, wanted)
    print(line, flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
