#!/usr/bin/env python3
"""The real selection-watcher against the real Safari, Chrome, Firefox and Edge of this Mac.

Usage: browser_e2e.py [--access] [--out DIR] PATH/TO/selection-watcher [BUNDLE ...]

Each installed browser is started fresh on a local page (Chrome and Edge with a temporary
--user-data-dir, Firefox with a temporary profile; Safari has no such option, so it runs with the
user's own and is left alone when it is already running), and the same table of cases runs against
it with mouse and keys posted as Quartz events. One line per case, `ok` or `FAIL`, then
`N passed, N failed`. Every present line must name the browser, lie inside its window and contain
the point the mouse pressed; with screen recording allowed it is also compared with the selection's
painted pixels (the page paints selections in a colour of their own).
--access only says whether this process and the watcher have the access they need: status 0 with
accessibility and screen recording, 1 without screen recording, 2 without accessibility.
Python 3 standard library only. The parts without macOS calls are tested on every system.
"""

import argparse
import ctypes
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import types
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
import desktop  # noqa: E402  (its Watcher and wait_for; nothing of X11 runs on import)
import page  # noqa: E402

TOL = 2  # points between the reported rectangle and the painted one, or the window's frame
GEOMETRY = (80, 60, 1000, 660)  # where each browser window is put, in points
# Name, bundle identifier, application, executable inside it, how the rectangle compares with the
# painted selection. Chromium reports the boxes of the text elements at the selection's ends (as
# wide as the page across lines), so there it only has to contain what is painted.
BROWSERS = (
    ("Safari", "com.apple.Safari", "Safari.app", None, "exact"),
    ("Google Chrome", "com.google.Chrome", "Google Chrome.app", "Google Chrome", "contains"),
    ("Firefox", "org.mozilla.firefox", "Firefox.app", "firefox", "exact"),
    ("Microsoft Edge", "com.microsoft.edgemac", "Microsoft Edge.app", "Microsoft Edge", "contains"),
)
CHROMIUM_FLAGS = ["--no-first-run", "--no-default-browser-check", "--use-mock-keychain",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-position=%d,%d" % GEOMETRY[:2], "--window-size=%d,%d" % GEOMETRY[2:]]
# As on Linux, but at the display's own scale (a Retina Mac has two pixels to the CSS pixel).
FIREFOX_PREFS = dict(desktop.FIREFOX_PREFS, **{"layout.css.devPixelsPerPx": "-1.0"})

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
    ("Finder in front, then the browser again", [("double", ("p2", "golf"), "present"),
                                                 ("finder", None, "cleared"),
                                                 ("back", None, "present"), EMPTY]),
    ("standard input closed", [("close", None, "exit")]),
)
# The painted selection and the page's corner, as any display profile renders #ff00ff and #00ff00.
MAGENTA = rb"[\xc8-\xff][\x00-\x64][\xc8-\xff]"
GREEN = rb"[\x00-\x96][\xe6-\xff][\x00-\x96]"  # brighter than the windows' green zoom button
GRANT = ("no accessibility access: turn on the application this runs in (Terminal, iTerm, ...) in "
         "System Settings > Privacy & Security > Accessibility, then run it again")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---- pure parts ----------------------------------------------------------------------------------

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


def png_pixels(data):
    """(width, height, bytes per pixel, pixels) of a non-interlaced 8-bit RGB or RGBA PNG."""
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        elif kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    check(depth == 8 and colour in (2, 6) and not interlace, f"PNG of depth {depth}, colour {colour}")
    bpp = 3 if colour == 2 else 4
    raw, stride, out = zlib.decompress(idat), width * bpp, bytearray()
    prev = bytearray(stride)
    for start in range(0, height * (stride + 1), stride + 1):
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride) if kind else ():
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 4:  # Paeth
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                a = a if pa <= pb and pa <= pc else b if pb <= pc else c
            line[i] = (line[i] + (a, b, (a + b) // 2, a)[kind - 1]) & 255
        out += line
        prev = line
    return width, height, bpp, bytes(out)


def colour_box(width, bpp, pixels, pattern):
    """Bounding box (x, y, width, height), in pixels, of the pixels matching `pattern`, or None."""
    xs, ys = [], []
    for m in re.finditer(b"(?=" + pattern + b")", pixels):
        if m.start() % bpp == 0:
            xs.append(m.start() // bpp % width)
            ys.append(m.start() // bpp // width)
    return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1) if xs else None


# ---- macOS ---------------------------------------------------------------------------------------

try:
    _F = "/System/Library/Frameworks/%s.framework/%s"
    AX = ctypes.CDLL(_F % ("ApplicationServices", "ApplicationServices"))
    CF = ctypes.CDLL(_F % ("CoreFoundation", "CoreFoundation"))
    CG = ctypes.CDLL(_F % ("CoreGraphics", "CoreGraphics"))
except OSError:  # not a Mac: only the parts above are usable
    AX = CF = CG = None


class Pair(ctypes.Structure):  # CGPoint and CGSize
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


if AX:
    P = ctypes.c_void_p
    for lib, name, res, args in (
            (AX, "AXIsProcessTrusted", ctypes.c_bool, []),
            (CG, "CGPreflightScreenCaptureAccess", ctypes.c_bool, []),
            (AX, "AXUIElementCreateApplication", P, [ctypes.c_int]),
            (AX, "AXUIElementCopyAttributeValue", ctypes.c_int32, [P, P, ctypes.POINTER(P)]),
            (AX, "AXValueGetValue", ctypes.c_bool, [P, ctypes.c_int, P]),
            (CF, "CFStringCreateWithCString", P, [P, ctypes.c_char_p, ctypes.c_uint32]),
            (CF, "CFStringGetCString", ctypes.c_bool, [P, ctypes.c_char_p, ctypes.c_long, ctypes.c_uint32]),
            (CF, "CFArrayGetCount", ctypes.c_long, [P]),
            (CF, "CFArrayGetValueAtIndex", P, [P, ctypes.c_long]),
            (CF, "CFRelease", None, [P]),
            (CG, "CGEventCreateMouseEvent", P, [P, ctypes.c_uint32, Pair, ctypes.c_uint32]),
            (CG, "CGEventCreateKeyboardEvent", P, [P, ctypes.c_uint16, ctypes.c_bool]),
            (CG, "CGEventSetIntegerValueField", None, [P, ctypes.c_uint32, ctypes.c_int64]),
            (CG, "CGEventSetFlags", None, [P, ctypes.c_uint64]),
            (CG, "CGEventPost", None, [ctypes.c_uint32, P])):
        getattr(lib, name).restype, getattr(lib, name).argtypes = res, args


def ax(element, name):
    """An attribute's value (a short-lived test: values are not released), or None."""
    value, key = ctypes.c_void_p(), CF.CFStringCreateWithCString(None, name.encode(), 0x08000100)
    error = AX.AXUIElementCopyAttributeValue(element, key, ctypes.byref(value))
    CF.CFRelease(key)
    return value.value if error == 0 and value.value else None


def ax_pair(element, name, kind):  # kind 1: CGPoint, 2: CGSize
    value, pair = ax(element, name), Pair()
    return (pair.x, pair.y) if value and AX.AXValueGetValue(value, kind, ctypes.byref(pair)) else None


def window_frame(pid):
    window = ax(AX.AXUIElementCreateApplication(pid), "AXFocusedWindow")
    if not window:
        return None
    position, size = ax_pair(window, "AXPosition", 1), ax_pair(window, "AXSize", 2)
    return position + size if position and size else None


def web_area_origin(pid):
    """Top left of the page, from the accessibility tree: where no screen recording is allowed."""
    todo, buf = [ax(AX.AXUIElementCreateApplication(pid), "AXFocusedWindow")], ctypes.create_string_buffer(99)
    for _ in range(2000):
        element = todo.pop() if todo else None
        if not element:
            return None
        role = ax(element, "AXRole")
        if role and CF.CFStringGetCString(role, buf, 99, 0x08000100) and buf.value == b"AXWebArea":
            return ax_pair(element, "AXPosition", 1)
        children = ax(element, "AXChildren")
        count = CF.CFArrayGetCount(children) if children else 0
        todo += [CF.CFArrayGetValueAtIndex(children, i) for i in range(count)]
    return None


def post(event, click_state=None):
    if click_state:
        CG.CGEventSetIntegerValueField(event, 1, click_state)  # kCGMouseEventClickState
    CG.CGEventPost(0, event)  # kCGHIDEventTap
    CF.CFRelease(event)


def mouse(kind, point, click_state=None):  # 1 down, 2 up, 5 moved, 6 dragged (left button)
    post(CG.CGEventCreateMouseEvent(None, kind, Pair(*point), 0), click_state)


def click(point, count=1):
    mouse(5, point)
    time.sleep(0.05)
    for n in range(1, count + 1):
        mouse(1, point, n)
        time.sleep(0.05)  # the button held as a person holds it
        mouse(2, point, n)
        time.sleep(0.08)


def drag(start, end, steps=12):
    mouse(5, start)
    time.sleep(0.05)
    mouse(1, start, 1)
    for i in range(1, steps + 1):
        time.sleep(0.02)
        mouse(6, tuple(s + (e - s) * i / steps for s, e in zip(start, end)))
    time.sleep(0.05)
    mouse(2, end, 1)


def command_key(code):  # code 0 is the A key
    for down in (True, False):
        event = CG.CGEventCreateKeyboardEvent(None, code, down)
        CG.CGEventSetFlags(event, 0x100000)  # command
        post(event)
        time.sleep(0.05)


def osascript(*lines):
    """Runs AppleScript; the first time, macOS asks whether this terminal may control System Events."""
    return subprocess.run(["osascript"] + [a for line in lines for a in ("-e", line)],
                          capture_output=True, text=True, timeout=60).stdout.strip()


def process(which):  # a process of System Events, by name or by PID
    return f'process "{which}"' if isinstance(which, str) else f"(first process whose unix id is {which})"


def front(which):
    osascript(f'tell application "System Events" to set frontmost of {process(which)} to true')


def capture(region, path):
    """The screen's pixels in `region` (points), saved to `path`; (scale, width, bpp, pixels)."""
    x, y, w, h = region
    subprocess.run(["screencapture", "-x", "-t", "png", f"-R{x},{y},{w},{h}", path], check=True, timeout=30)
    with open(path, "rb") as f:
        width, _, bpp, pixels = png_pixels(f.read())
    return width / w, width, bpp, pixels


def painted_box(region, pattern, path, timeout=20):
    """The box (points) painted in `pattern`'s colour once it holds still, or Failure."""
    boxes, region = [], tuple(round(v) for v in region)

    def still():
        scale, width, bpp, pixels = capture(region, path)
        box = colour_box(width, bpp, pixels, pattern)
        boxes.append(box and tuple(v / scale + (region[i] if i < 2 else 0) for i, v in enumerate(box)))
        return boxes[-1] if boxes[-1] and boxes[-2:] == boxes[-1:] * 2 else None

    try:
        return desktop.wait_for("paint", still, timeout=timeout, interval=0.2)
    except desktop.DesktopError:
        raise Failure(f"nothing painted in the selection's colour held still in {region} (see {path})")


# ---- one browser ---------------------------------------------------------------------------------

def start_browser(bundle, app, executable, url, folder):
    """The PID of the browser started fresh on `url`."""
    if executable is None:  # Safari: through Launch Services, without restoring windows
        subprocess.run(["open", "-F", "-b", bundle, url], check=True, timeout=60)
        return int(desktop.wait_for("Safari", lambda: pgrep("Safari"), timeout=60)[0])
    profile = tempfile.mkdtemp(prefix="profile-", dir=folder)
    if bundle == "org.mozilla.firefox":
        with open(os.path.join(profile, "user.js"), "w") as f:
            f.writelines(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n"
                         for k, v in FIREFOX_PREFS.items())
        argv = ["-profile", profile, "-no-remote", "-new-instance", url]
    else:
        argv = [f"--user-data-dir={profile}"] + CHROMIUM_FLAGS + [url]
    with open(os.path.join(folder, bundle + ".log"), "ab") as log:
        return subprocess.Popen([os.path.join(app, "Contents", "MacOS", executable)] + argv,
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True).pid


def pgrep(name):
    return subprocess.run(["pgrep", "-x", name], capture_output=True, text=True).stdout.split()


def stop(pid, child):
    """Ends a browser started here by its PID: SIGTERM, and after 10 s SIGKILL to its process group."""
    def gone():
        try:
            return os.waitpid(pid, os.WNOHANG)[0] if child else os.kill(pid, 0)
        except OSError:
            return True

    try:
        os.kill(pid, signal.SIGTERM)
        desktop.wait_for("the browser to quit", gone, timeout=10)
    except (OSError, desktop.DesktopError):
        pass
    if child:  # its helpers share its process group, whose id is its PID
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass


class Run:
    """One browser's run: its window, its page, one watcher, and the steps of the cases."""

    def __init__(self, bundle, rule, exe, pid, screen, out):
        self.bundle, self.rule, self.exe, self.pid, self.screen, self.out = \
            bundle, rule, exe, pid, screen, out
        self.watcher, self.press, self.region, self.shot = None, None, None, None

    def settle(self):
        desktop.wait_for("the browser window", lambda: front(self.pid) or window_frame(self.pid),
                         timeout=60, interval=0.5)
        x, y, w, h = GEOMETRY

        def placed():
            osascript(f'tell application "System Events" to tell {process(self.pid)}',
                      "set frontmost to true", f"set position of window 1 to {{{x}, {y}}}",
                      f"set size of window 1 to {{{w}, {h}}}", "end tell")
            frame = window_frame(self.pid)
            return frame if frame and all(abs(a - b) <= 40 for a, b in zip(frame, GEOMETRY)) else None

        self.frame = desktop.wait_for("the window placed", placed, timeout=20, interval=0.5)
        corner = self.frame[:2] + (160, 300)
        where = os.path.join(self.out, self.bundle + "-corner.png")
        origin = painted_box(corner, GREEN, where, timeout=30)[:2] if self.screen else desktop.wait_for(
            "the page", lambda: web_area_origin(self.pid), timeout=30, interval=0.5)
        self.ox, self.oy = origin

    def point(self, element, index):
        left, top, height, _ = page.ELEMENTS[element]
        return self.ox + left + index * page.CHAR, self.oy + top + height / 2

    def act(self, action, argument):
        if action == "start":
            where = types.SimpleNamespace(dir=self.out, env=dict(os.environ))
            self.watcher = desktop.Watcher(self.exe, where)
        elif action == "double":
            element, word = argument
            self.press = self.point(element, page.ELEMENTS[element][3].index(word) + len(word) / 2)
            self.region = self.area(element)
            click(self.press, 2)
        elif action == "drag":
            (e0, i0), (e1, i1) = argument
            self.press, self.region = self.point(e0, i0), self.area(e0, e1)
            drag(self.press, self.point(e1, i1))
        elif action == "select-all":
            self.press, self.region = None, (self.ox, self.oy, 700, 480)
            command_key(0)
        elif action == "empty":
            click((self.ox + page.EMPTY[0], self.oy + page.EMPTY[1]))
        elif action in ("finder", "back"):
            front("Finder" if action == "finder" else self.pid)

    def area(self, *elements):
        top = min(page.ELEMENTS[e][1] for e in elements)
        bottom = max(page.ELEMENTS[e][1] + page.ELEMENTS[e][2] for e in elements)
        return self.ox, self.oy + top - 4, 900, bottom - top + 8

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
        figures = f"bounds {reported} {after}, window {tuple(round(v) for v in self.frame)}, press {press}"
        if not self.screen:
            return figures + ", pixel comparison skipped (no screen recording)"
        painted = painted_box(self.region, MAGENTA, self.shot)
        rule = "contains" if expected == "contains" else self.rule
        check(matches(rule, reported, painted), f"bounds {reported}, painted {painted} ({rule})")
        return f"{figures}, painted {tuple(round(v, 1) for v in painted)} ({rule})"

    def recover(self):
        """After a failed case: the browser in front, nothing selected, no line pending."""
        front(self.pid)
        click((self.ox + page.EMPTY[0], self.oy + page.EMPTY[1]))
        time.sleep(1.5)
        while not self.watcher.lines.queue.empty():
            self.watcher.lines.queue.get()


def run_browser(bundle, app, executable, rule, exe, screen, out):
    """Prints a line per case; returns (passed, failed)."""
    passed = failed = 0
    if executable is None and pgrep("Safari"):
        print(f"--   {bundle}: Safari is running already (it cannot start with a profile of its "
              "own): quit it to test it", flush=True)
        return 0, 0
    folder = tempfile.mkdtemp(prefix="sw-browser-")
    url = "file://" + shutil.copy(page.PATH, folder)  # outside any folder the browser would need access to
    pid = start_browser(bundle, app, executable, url, folder)
    run = Run(bundle, rule, exe, pid, screen, out)
    try:
        try:
            run.settle()
        except (Failure, desktop.DesktopError, OSError, subprocess.SubprocessError) as e:
            print(f"FAIL {bundle} start: {e}", flush=True)
            return 0, 1
        for n, (case, steps) in enumerate(CASES, 1):
            run.shot = os.path.join(out, f"{bundle}-{n:02d}.png")
            try:
                check(n == 1 or run.watcher and run.watcher.proc.poll() is None, "the watcher has ended")
                figures = "; ".join(run.step(*s) for s in steps)
                print(f"ok   {bundle} {case}: {figures}", flush=True)
                passed += 1
            except (Failure, desktop.DesktopError, OSError, subprocess.SubprocessError, ValueError) as e:
                print(f"FAIL {bundle} {case}: {e}", flush=True)
                failed += 1
                if screen:
                    shot = os.path.join(out, f"{bundle}-{n:02d}-failed.png")
                    subprocess.run(["screencapture", "-x", shot], timeout=30)
                if run.watcher and run.watcher.proc.poll() is None:
                    run.recover()
        return passed, failed
    finally:
        if run.watcher:
            with open(os.path.join(out, bundle + "-watcher.txt"), "w") as f:
                f.writelines(line for _, line in run.watcher.lines.all)
                f.write("-- standard error\n" + run.watcher.stderr())
            run.watcher.kill()
        stop(pid, executable is not None)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--access", action="store_true")
    parser.add_argument("--out", default=None)
    parser.add_argument("watcher")
    parser.add_argument("bundles", nargs="*")
    args = parser.parse_args()
    if AX is None:
        sys.exit("this test runs on macOS only")
    exe = os.path.abspath(args.watcher)
    path = ctypes.create_string_buffer(4096)
    ctypes.CDLL("/usr/lib/libproc.dylib").proc_pidpath(os.getpid(), path, 4096)
    print(f"process: {path.value.decode()}", flush=True)
    trusted, screen = AX.AXIsProcessTrusted(), CG.CGPreflightScreenCaptureAccess()
    print(f"accessibility: {'trusted' if trusted else 'NOT trusted'}; screen recording: "
          f"{'allowed' if screen else 'not allowed, the pixel comparisons will be skipped'}", flush=True)
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
    for name, bundle, app, executable, rule in BROWSERS:
        if args.bundles and bundle not in args.bundles:
            continue
        found = [p for p in ("/Applications", os.path.expanduser("~/Applications"))
                 if os.path.isdir(os.path.join(p, app))]
        if not found:
            print(f"--   {bundle}: {name} is not installed", flush=True)
            continue
        p, f = run_browser(bundle, os.path.join(found[0], app), executable, rule, exe, screen, out)
        passed, failed = passed + p, failed + f
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
