#!/usr/bin/env python3
"""The real selection-watcher against the real browsers of this Mac.

Usage: browser_e2e.py [--ci] [--access] [--out DIR] PATH/TO/selection-watcher [BUNDLE ...]

Each browser is started fresh on the sample page (Safari and Arc, which cannot start on a profile
of their own, only when they are not running) and the cases below run against it with one watcher:
the runner image's Safari, Chrome, Firefox and Edge, and Chrome Canary, Brave and Arc where they
are installed. Every present line must name the browser, lie inside its window and contain the
point the mouse pressed; with screen recording allowed it is compared with the painted selection,
the two boxes printed side by side. One line per case, `ok` or `FAIL`, then `N passed, N failed`
and what was skipped. The first lines say which process runs the test and what started it, what it
may do (accessibility, posting events, screen recording), the display's size and scale, and what
the watcher alone writes; without accessibility or event posting nothing runs (status 2).
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
# The browsers of the runner image: with --ci each must be installed and run.
IMAGE = ("com.apple.Safari", "com.google.Chrome", "org.mozilla.firefox", "com.microsoft.edgemac")
# Safari and Firefox report the selected text's own box (Firefox's first selection too: it measures
# from its second question on, which the watcher asks). Chromium measures no text for a reader: it
# reports the boxes of the text elements at the selection's ends, as wide as the page across lines,
# and a page's text area or input by its whole frame: they contain what is painted. Whether Chrome
# and Edge on macOS report line or text boxes, and whether Safari's box across lines is the
# selection's or the text's, only a Mac can say: every present line prints both boxes.
RULES = dict(dict.fromkeys(mac.APPS, "contains"), **{"com.apple.Safari": "exact", "org.mozilla.firefox": "exact"})
# Steps (action, argument, expected line), run in this order in one browser with one watcher.
# Expected: "cleared", "present" (by the browser's rule), "contains", or "exit".
EMPTY = ("empty", None, "cleared")
CASES = (
    ("cold first selection (Firefox's first bounds are empty)",
     [("start", None, "cleared"), ("double", ("p1", "bravo"), "present")]),
    ("a click on empty space clears", [EMPTY]),
    ("a double-clicked word", [("double", ("p1", "charlie"), "present"), EMPTY]),
    # Chromium answers the second paragraph's box, then the link's: both miss the start.
    ("a drag across two paragraphs", [("drag", (("p1", 12), ("p2", 12)), "present"), EMPTY]),
    ("a drag from a word into the link after it, on one line",
     [("drag", (("p3", 0), ("p3", 7)), "present"), EMPTY]),
    ("a word in a textarea", [("double", ("area", "oscar"), "present"), EMPTY]),
    ("a word in an input", [("double", ("field", "romeo"), "present"), EMPTY]),
    ("non-ASCII text", [("double", ("p4", "naïve"), "present"), EMPTY]),
    ("select-all from the menu, then a click clears", [("select-all", None, "contains"), EMPTY]),
    ("Finder in front, then the browser again",
     [("double", ("p2", "golf"), "present"), ("finder", None, "cleared"), ("back", None, "present"), EMPTY]),
    ("standard input closed", [("close", None, "exit")]),
)
# Selections made with no button or key released just before, which only a notification tells of
# (the follow-ups of a release end 1 s after it): each line says how long after the last release
# it came. Run on macOS only, before the input closes.
NO_INPUT = (("a selection a page script makes 1.5 s after a click", [("script", None, "present"), EMPTY]),)
MAC_CASES = CASES[:-1] + NO_INPUT + CASES[-1:]
ERRORS = (AssertionError, desktop.DesktopError, OSError, subprocess.SubprocessError, ValueError)


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


def verdict(outcomes, ci):
    """(last line, exit status) from what happened. `outcomes` maps each browser wanted to why it
    did not run (a string) or to its cases' results: "ok", "FAIL", or "unpainted" (passed, its
    pixel comparison skipped). Without --ci skips are said and pass; with --ci each is a failure."""
    results = [r for v in outcomes.values() if not isinstance(v, str) for r in v]
    passed, failed = len(results) - results.count("FAIL"), results.count("FAIL")
    skipped = [f"{bundle} ({why})" for bundle, why in outcomes.items() if isinstance(why, str)]
    unpainted = results.count("unpainted")
    if unpainted:
        skipped.append(f"pixel comparisons in {unpainted} case{'s' * (unpainted > 1)} (no screen recording)")
    line = f"{passed} passed, {failed} failed"
    if skipped:
        line += "; skipped: " + ", ".join(skipped) + (" - with --ci a skip is a failure" if ci else "")
    return line, 0 if passed and not failed and not (ci and skipped) else 1


def exited(watcher):
    """After the input closed: status 0 within a second, and no selected word in any output."""
    status, seconds = watcher.close()
    output = "".join(line for _, line in watcher.lines.all) + watcher.stderr()
    check(status == 0 and seconds < 1, f"exit status {status} after {seconds:.2f} s")
    check(not [w for w in page.SELECTED_WORDS if w in output], "selected text in the watcher's output")
    return f"status 0 after {seconds:.2f} s, standard error {watcher.stderr()!r}"


def cleared(line, after):
    check(line == '{"selection":false}\n', f"expected a cleared line, got {line!r}")
    return "cleared " + after


def run_case(run, step, label, case, steps, shot):
    """Runs a case's steps, printing its line; "ok", "unpainted" (pixels not compared) or "FAIL"."""
    run.unpainted = False
    try:
        check(any(s[0] == "start" for s in steps) or run.watcher and run.watcher.proc.poll() is None,
              "the watcher has ended")
        figures = "; ".join(step(run, *s, shot + ".png") for s in steps)
        print(f"ok   {label} {case}: {figures}", flush=True)
        return "unpainted" if run.unpainted else "ok"
    except ERRORS as e:
        print(f"FAIL {label} {case}: {e}", flush=True)
        run.view.recover(run.watcher, shot + "-failed.png")
        return "FAIL"


def keep_lines(watcher, path):
    """Saves what the watcher wrote, then ends it."""
    with open(path, "w", encoding="utf-8") as f:
        f.writelines([line for _, line in watcher.lines.all] + ["--\n", watcher.stderr()])
    watcher.kill()


def step(run, action, argument, expected, shot):
    if action == "start":
        run.watcher = desktop.Watcher(run.exe, types.SimpleNamespace(dir=run.out, env=os.environ))
    run.view.act(action, argument)
    began = time.monotonic()
    if expected == "exit":
        return exited(run.watcher)
    line = run.watcher.lines.next(15)
    at = run.watcher.lines.all[-1][0]
    since = at - run.view.released
    told = " (after every follow-up: a notification told it)" if since > 1.2 else ""
    after = f"after {max(0, at - began):.2f} s, {since:.2f} s after the last button release{told}"
    if expected == "cleared":
        return cleared(line, after)
    reported = check_present(line, run.bundle, run.view.frame, run.view.press)
    figures = f"{after}, window {rounded(run.view.frame)}, press {rounded(run.view.press)}"
    if not run.view.screen:
        run.unpainted = True
        return f"reported {reported} {figures}, painted box not compared (no screen recording)"
    rule = "contains" if expected == "contains" else RULES[run.bundle]
    painted = rounded(run.view.painted(shot))
    boxes = f"reported {reported} painted {painted}"
    check(matches(rule, reported, painted), f"{boxes}; the rule is {rule} ({figures})")
    return f"{boxes} ({rule} holds) {figures}"


def rounded(numbers):
    return numbers and tuple(round(v, 1) for v in numbers)


def run_browser(bundle, app, exe, screen, out):
    """Prints a line per case; the cases' results ("ok", "unpainted" or "FAIL")."""
    run = types.SimpleNamespace(bundle=bundle, exe=exe, out=out, watcher=None, pid=None)
    results = []
    folder = tempfile.mkdtemp(prefix="sw-browser-")
    try:
        run.pid = mac.start_browser(bundle, app, folder)
        run.view = mac.View(run.pid, screen, os.path.join(out, bundle + "-corner.png"))
        for n, (case, steps) in enumerate(MAC_CASES, 1):
            results.append(run_case(run, step, bundle, case, steps, os.path.join(out, f"{bundle}-{n:02d}")))
    except ERRORS as e:
        print(f"FAIL {bundle} start: {e}", flush=True)
        results.append("FAIL")
    finally:
        if run.watcher:
            keep_lines(run.watcher, os.path.join(out, bundle + "-watcher.txt"))
        if run.pid:
            mac.stop_browser(bundle, run.pid)
        shutil.rmtree(folder, ignore_errors=True)
    return results


def access(watcher, ci):
    """Prints what this process may do and the display it runs on; the list of what it lacks."""
    trusted, post, screen = (mac.AX.AXIsProcessTrusted(), mac.CG.CGPreflightPostEventAccess(),
                             mac.CG.CGPreflightScreenCaptureAccess())
    chain = mac.ancestry()
    (dx, dy, dw, dh), scale = mac.display()
    gx, gy, gw, gh = mac.GEOMETRY
    alone = subprocess.run([watcher], stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    allowed = {True: "allowed", False: "NOT allowed"}
    print(f"process: {chain[0]}, started by {' <- '.join(chain[1:]) or 'launchd'}\n"
          f"accessibility: {'trusted' if trusted else 'NOT trusted'}; posting events: {allowed[post]}; "
          f"screen recording: {allowed[screen]}\n"
          f"display: {dw:g} by {dh:g} points at ({dx:g}, {dy:g}), {scale:g} pixels to the point\n"
          f"watcher alone, input closed: {alone.stdout.decode().strip()}, status {alone.returncode}",
          flush=True)
    needed = (("Accessibility", trusted), ("Accessibility for the watcher it starts", alone.returncode != 2),
              ("posting events (Accessibility allows it)", post),
              ("Screen Recording", screen or not ci),
              (f"a display of at least {gx + gw} by {gy + gh} points", gx + gw <= dw and gy + gh <= dh))
    lacking = [what for what, ok in needed if not ok]
    if lacking:
        print(f"{'::error::' if os.environ.get('GITHUB_ACTIONS') else ''}missing: {', '.join(lacking)}. "
              f"Access is granted to the application responsible for this process, the last one above "
              f"({chain[-1]}): on a Mac, the terminal, in System Settings > Privacy & Security; on a "
              f"hosted runner, its agent, which the image grants it to (configure-tccdb-macos.sh)",
              flush=True)
    return lacking, screen


def main():
    title, _, body = __doc__.split("\n\n", 2)
    parser = argparse.ArgumentParser(description=f"{title}\n\n{body}",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ci", action="store_true",
                        help="as in CI: Safari, Chrome, Firefox and Edge must all be installed and run, "
                             "screen recording must be allowed, and any skip is a failure")
    parser.add_argument("--access", action="store_true",
                        help="only say what this process may do and the display; status 2 if "
                             "something needed is missing, 1 if screen recording is (without --ci)")
    parser.add_argument("--out", help="folder for screenshots and the watcher's lines")
    parser.add_argument("watcher")
    parser.add_argument("bundles", nargs="*", help=", ".join(RULES))
    args = parser.parse_args()
    if mac.AX is None or set(args.bundles) - set(RULES):
        parser.error("runs on macOS only, with browsers among " + ", ".join(RULES))
    if not os.access(args.watcher, os.X_OK):
        parser.error(f"no executable at {args.watcher}")
    lacking, screen = access(os.path.abspath(args.watcher), args.ci)
    if lacking or args.access:
        return 2 if lacking else 0 if screen else 1
    out = args.out or tempfile.mkdtemp(prefix="sw-macos-e2e-")
    os.makedirs(out, exist_ok=True)
    print(f"screenshots and watcher lines in {out}", flush=True)
    outcomes = {}
    for bundle in args.bundles or RULES:
        app = mac.installed(bundle)
        if not app or mac.APPS[bundle][2] == "own" and mac.pgrep(mac.APPS[bundle][1]):
            why = "running already: quit it to test it" if app else "not installed"
            print(f"--   {bundle}: {why}", flush=True)
            if args.bundles or bundle in IMAGE or app:  # Canary, Brave and Arc count where installed
                outcomes[bundle] = why
            continue
        outcomes[bundle] = run_browser(bundle, app, os.path.abspath(args.watcher), screen, out)
    line, status = verdict(outcomes, args.ci)
    print(line, flush=True)
    return status

if __name__ == "__main__":
    sys.exit(main())
