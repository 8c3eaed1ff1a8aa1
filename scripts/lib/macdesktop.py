"""The Mac's own desktop, for the end-to-end test against real browsers: their windows through the
accessibility interface, mouse and keys as Quartz events, windows placed with System Events, the
screen through screencapture. Python 3 standard library only (the python3 of the Xcode command line
tools); the frameworks are loaded with ctypes. On other systems only the PNG reader and the colour
boxes are usable.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zlib

import desktop
import page

# The browsers as installed in /Applications: application and executable inside it (Safari is
# started through Launch Services: it has no option for a profile of its own).
APPS = {
    "com.apple.Safari": ("Safari.app", None),
    "com.google.Chrome": ("Google Chrome.app", "Google Chrome"),
    "org.mozilla.firefox": ("Firefox.app", "firefox"),
    "com.microsoft.edgemac": ("Microsoft Edge.app", "Microsoft Edge"),
}
GEOMETRY = (80, 60, 1000, 660)  # where each browser window is put, in points
CHROMIUM_FLAGS = ["--no-first-run", "--no-default-browser-check", "--use-mock-keychain",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-position=%d,%d" % GEOMETRY[:2], "--window-size=%d,%d" % GEOMETRY[2:]]
# As on Linux, but at the display's own scale (a Retina Mac has two pixels to the CSS pixel).
FIREFOX_PREFS = dict(desktop.FIREFOX_PREFS, **{"layout.css.devPixelsPerPx": "-1.0"})
# The page's selection (#ff00ff) and corner (#00ff00) as any display profile renders them.
MAGENTA = rb"[\xc8-\xff][\x00-\x64][\xc8-\xff]"
GREEN = rb"[\x00-\x96][\xe6-\xff][\x00-\x96]"  # brighter than the windows' green zoom button


def png_pixels(data):
    """(width, height, bytes per pixel, pixels) of a non-interlaced 8-bit RGB or RGBA PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        elif kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError(f"PNG of depth {depth}, colour type {colour}, interlace {interlace}")
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
    for m in re.finditer(b"(?=" + pattern + b")", pixels):  # overlapping: misaligned hits are skipped
        if m.start() % bpp == 0:
            xs.append(m.start() // bpp % width)
            ys.append(m.start() // bpp // width)
    return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1) if xs else None


try:
    _F = "/System/Library/Frameworks/%s.framework/%s"
    AX = ctypes.CDLL(_F % ("ApplicationServices", "ApplicationServices"))
    CF = ctypes.CDLL(_F % ("CoreFoundation", "CoreFoundation"))
    CG = ctypes.CDLL(_F % ("CoreGraphics", "CoreGraphics"))
except OSError:  # not a Mac
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


def executable_path():
    """The executable this process runs, as the system names it (for TCC)."""
    path = ctypes.create_string_buffer(4096)
    ctypes.CDLL("/usr/lib/libproc.dylib").proc_pidpath(os.getpid(), path, 4096)
    return path.value.decode()


# ---- reading windows ---------------------------------------------------------------------------

def ax(element, name):
    """An attribute's value, or None. Values are not released: the test is short-lived."""
    value, key = ctypes.c_void_p(), CF.CFStringCreateWithCString(None, name.encode(), 0x08000100)
    error = AX.AXUIElementCopyAttributeValue(element, key, ctypes.byref(value))
    CF.CFRelease(key)
    return value.value if error == 0 and value.value else None


def ax_pair(element, name, kind):  # kind 1: CGPoint, 2: CGSize
    value, pair = ax(element, name), Pair()
    return (pair.x, pair.y) if value and AX.AXValueGetValue(value, kind, ctypes.byref(pair)) else None


def window_frame(pid):
    """(x, y, width, height) in points of the application's focused window, or None."""
    window = ax(AX.AXUIElementCreateApplication(pid), "AXFocusedWindow")
    if not window:
        return None
    position, size = ax_pair(window, "AXPosition", 1), ax_pair(window, "AXSize", 2)
    return position + size if position and size else None


def web_area_origin(pid):
    """Top left of the page in the focused window, from the accessibility tree, or None."""
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


# ---- input ---------------------------------------------------------------------------------------

def mouse(kind, point, click_state=0):  # 1 down, 2 up, 5 moved, 6 dragged (left button)
    event = CG.CGEventCreateMouseEvent(None, kind, Pair(*point), 0)
    if click_state:
        CG.CGEventSetIntegerValueField(event, 1, click_state)  # kCGMouseEventClickState
    CG.CGEventPost(0, event)  # kCGHIDEventTap
    CF.CFRelease(event)


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
        CG.CGEventPost(0, event)
        CF.CFRelease(event)
        time.sleep(0.05)


def osascript(*lines, check=True):
    """Runs AppleScript. The first time, macOS asks whether this terminal may control System Events."""
    r = subprocess.run(["osascript"] + [a for line in lines for a in ("-e", line)],
                       capture_output=True, text=True, timeout=60)
    if check and r.returncode:
        raise desktop.DesktopError("osascript: " + r.stderr.strip())
    return r.stdout.strip()


def process(which):  # a process of System Events, by name or by PID
    return f'process "{which}"' if isinstance(which, str) else f"(first process whose unix id is {which})"


def front(which, check=True):
    osascript(f'tell application "System Events" to set frontmost of {process(which)} to true', check=check)


def place(pid):
    """Brings the application's window 1 to the front at GEOMETRY; its frame once it is there."""
    x, y, w, h = GEOMETRY

    def placed():
        osascript(f'tell application "System Events" to tell {process(pid)}', "set frontmost to true",
                  f"set position of window 1 to {{{x}, {y}}}", f"set size of window 1 to {{{w}, {h}}}",
                  "end tell")
        frame = window_frame(pid)
        return frame if frame and all(abs(a - b) <= 40 for a, b in zip(frame, GEOMETRY)) else None

    desktop.wait_for("the browser window", lambda: front(pid, False) or window_frame(pid), timeout=60,
                     interval=0.5)
    return desktop.wait_for("the window placed", placed, timeout=20, interval=0.5)


# ---- the screen ----------------------------------------------------------------------------------

def painted_box(region, pattern, path, timeout=20):
    """The box (points) of the pixels matching `pattern` in `region` (points) once it holds still;
    the last capture stays in `path`."""
    region = tuple(round(v) for v in region)
    boxes, (x, y, w, h) = [], region

    def still():
        subprocess.run(["screencapture", "-x", "-t", "png", f"-R{x},{y},{w},{h}", path], check=True,
                       timeout=30)
        with open(path, "rb") as f:
            width, _, bpp, pixels = png_pixels(f.read())
        box, scale = colour_box(width, bpp, pixels, pattern), width / w
        boxes.append(box and tuple(v / scale + (region[i] if i < 2 else 0) for i, v in enumerate(box)))
        return boxes[-1] if boxes[-1] and boxes[-2:] == boxes[-1:] * 2 else None

    try:
        return desktop.wait_for("paint", still, timeout=timeout, interval=0.2)
    except desktop.DesktopError:
        raise desktop.DesktopError(f"nothing in the colour held still in {region} (see {path})") from None


# ---- browsers ------------------------------------------------------------------------------------

def installed(bundle):
    app = APPS[bundle][0]
    for folder in ("/Applications", os.path.expanduser("~/Applications")):
        if os.path.isdir(os.path.join(folder, app)):
            return os.path.join(folder, app)
    return None


def pgrep(name):
    return subprocess.run(["pgrep", "-x", name], capture_output=True, text=True).stdout.split()


def start_browser(bundle, app, folder):
    """The PID of the browser started fresh on a copy of the sample page in `folder` (outside any
    folder a browser would need access to), with a profile there where it takes one."""
    executable, url = APPS[bundle][1], "file://" + shutil.copy(page.PATH, folder)
    if executable is None:  # through Launch Services, without restoring windows
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


def stop_browser(bundle, pid):
    """Ends a browser started here by its PID: SIGTERM, and after 10 s SIGKILL to its process group."""
    child = APPS[bundle][1] is not None

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


class View:
    """The sample page in a browser window placed at GEOMETRY: where its words are, the input the
    end-to-end cases make on it, where the mouse pressed and where the selection is painted."""

    def __init__(self, pid, screen, corner_path):
        self.pid, self.screen, self.press, self.region = pid, screen, None, None
        self.frame = place(pid)
        if screen:  # the page's green corner
            origin = painted_box(self.frame[:2] + (160, 300), GREEN, corner_path, 30)
        else:
            origin = desktop.wait_for("the page", lambda: web_area_origin(pid), 30, 0.5)
        self.ox, self.oy = origin[:2]

    def point(self, element, index):
        left, top, height, _ = page.ELEMENTS[element]
        return self.ox + left + index * page.CHAR, self.oy + top + height / 2

    def area(self, *elements):
        top = min(page.ELEMENTS[e][1] for e in elements)
        bottom = max(page.ELEMENTS[e][1] + page.ELEMENTS[e][2] for e in elements)
        return self.ox, self.oy + top - 4, 900, bottom - top + 8

    def act(self, action, argument):
        """double (element, word), drag ((element, index), (element, index)), select-all, empty (a
        click on empty space), finder (Finder in front), back (this browser in front again)."""
        if action == "double":
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

    def painted(self, path):
        return painted_box(self.region, MAGENTA, path)

    def recover(self, watcher, path):
        """After a failed case: a screenshot, the browser in front, nothing selected, no line pending."""
        if self.screen:
            subprocess.run(["screencapture", "-x", path], timeout=30)
        front(self.pid, check=False)
        self.act("empty", None)
        time.sleep(1.5)
        while watcher and not watcher.lines.queue.empty():
            watcher.lines.queue.get()
