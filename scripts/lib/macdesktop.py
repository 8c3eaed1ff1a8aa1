"""The Mac's own desktop, for the end-to-end test against real browsers: their windows and menu
commands through the accessibility interface, the mouse as Quartz events, windows placed with System
Events, the screen through screencapture. Python 3 standard library only (the python3 of the Xcode
command line tools); the system libraries are loaded with ctypes, each function declared as its
header declares it. On other systems only the pure parts are usable: the PNG reader, colour boxes and
their points, press points, the choice of the command-A menu item.
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

# The browsers as installed in /Applications or ~/Applications: application, executable inside it
# (its process name), and how it starts: "chromium" and "firefox" fresh on a temporary profile,
# "own" through Launch Services on the user's own profile, and only when it is not running (Safari
# has no option for a profile of its own; Arc asks a new profile to sign in to an account).
APPS = {
    "com.apple.Safari": ("Safari.app", "Safari", "own"),
    "com.google.Chrome": ("Google Chrome.app", "Google Chrome", "chromium"),
    "org.mozilla.firefox": ("Firefox.app", "firefox", "firefox"),
    "com.microsoft.edgemac": ("Microsoft Edge.app", "Microsoft Edge", "chromium"),
    "com.google.Chrome.canary": ("Google Chrome Canary.app", "Google Chrome Canary", "chromium"),
    "com.brave.Browser": ("Brave Browser.app", "Brave Browser", "chromium"),
    "company.thebrowser.Browser": ("Arc.app", "Arc", "own"),
}
TITLE = "sw-page"  # page.html's title, which the window showing it carries
GEOMETRY = (80, 60, 1000, 660)  # where each browser window is put, in points
PLACE_SLACK = 40  # points a browser may keep its window from GEOMETRY (title bars, minimum sizes)
# A fresh profile shows no first-run pages (--no-first-run skips the first-run flow and, with it,
# the search engine choice, which the next switch also turns off where it exists:
# components/search_engines/search_engines_switches.cc), no in-product help bubbles
# (--propagate-iph-for-testing without a value: components/feature_engagement/public/switches.h),
# no default-browser bar and no keychain prompt. The privacy notice is shown only over chrome://
# pages and about:blank (PrivacySandboxService::IsUrlSuitableForDialog), never over this file://
# page. Edge's own welcome pages obey only its HideFirstRunExperience policy (see the workflow).
CHROMIUM_FLAGS = ["--no-first-run", "--no-default-browser-check", "--disable-search-engine-choice-screen",
                  "--propagate-iph-for-testing", "--use-mock-keychain", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync",
                  "--window-position=%d,%d" % GEOMETRY[:2], "--window-size=%d,%d" % GEOMETRY[2:]]
# As on Linux, but at the display's own scale (a Retina Mac has two pixels to the CSS pixel).
FIREFOX_PREFS = dict(desktop.FIREFOX_PREFS, **{"layout.css.devPixelsPerPx": "-1.0"})
# The page's selection (#ff00ff) and corner (#00ff00) as any display profile renders them.
MAGENTA = rb"[\xc8-\xff][\x00-\x64][\xc8-\xff]"
GREEN = rb"[\x00-\x96][\xe6-\xff][\x00-\x96]"  # brighter than the windows' green zoom button


def png_pixels(data):
    """(width, height, bytes per pixel, pixels) of a non-interlaced 8-bit RGB or RGBA PNG; ValueError
    for anything else, a truncated or damaged file included."""
    try:
        return _png_pixels(data)
    except (struct.error, zlib.error, IndexError, KeyError) as e:
        raise ValueError(f"damaged PNG ({e})") from None


def _png_pixels(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", data[pos + 8:pos + 21])
        elif kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    if header is None:
        raise ValueError("PNG without a header")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError(f"PNG of depth {depth}, colour type {colour}, interlace {interlace}")
    bpp = 3 if colour == 2 else 4
    raw, stride, out = zlib.decompress(idat), width * bpp, bytearray()
    if len(raw) < height * (stride + 1):
        raise ValueError(f"PNG with {len(raw)} bytes of pixels for {width} by {height}")
    prev = bytearray(stride)
    for start in range(0, height * (stride + 1), stride + 1):
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        if kind > 4:
            raise ValueError(f"PNG row filter {kind}")
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


def to_points(box, region, image_width):
    """A box in the pixels of a capture of `region` (points) as a box in screen points: a capture
    has the display's pixels to the point (two on a Retina display), measured from the image."""
    scale = image_width / region[2]
    return tuple(v / scale + (region[i] if i < 2 else 0) for i, v in enumerate(box))


def press_point(element, index):
    """Where the mouse presses, from the page's corner: `index` characters into the element's text,
    half a line below the top of its first line (a textarea is taller than its one line)."""
    left, top, _, _ = page.ELEMENTS[element]
    return left + index * page.CHAR, top + page.LINE / 2


def press_of(action, argument):
    """Where the mouse presses, from the page's corner: the middle of a double-clicked word, the
    start of a drag ((element, index), (element, index)); None for other actions."""
    if action == "double":
        element, word = argument
        return press_point(element, page.ELEMENTS[element][3].index(word) + len(word) / 2)
    return press_point(*argument[0]) if action == "drag" else None


def select_all_item(items):
    """Of the menu items (element, command character, modifiers, enabled), the one that command-A
    runs: character A in either case, command and no other modifier (AXMenuItemCmdModifiers 0, also
    when absent), not disabled. Chosen by its shortcut, not by its title (in the user's language)
    nor by a key code (the key labelled A on one layout is Q on another). DesktopError if none."""
    found = [item for item in items if (item[1] or "").lower() == "a" and not item[2]]
    for element, _, _, enabled in found:
        if enabled is not False:
            return element
    raise desktop.DesktopError("the menu item of command-A is disabled" if found else
                               "no menu item with the shortcut command-A in the menu bar")


try:
    _F = "/System/Library/Frameworks/%s.framework/%s"
    AX = ctypes.CDLL(_F % ("ApplicationServices", "ApplicationServices"))
    CF = ctypes.CDLL(_F % ("CoreFoundation", "CoreFoundation"))
    CG = ctypes.CDLL(_F % ("CoreGraphics", "CoreGraphics"))
    LIBSYSTEM = ctypes.CDLL("/usr/lib/libSystem.B.dylib")  # proc_pidpath (libproc.h)
except OSError:  # not a Mac
    AX = CF = CG = LIBSYSTEM = None


class Pair(ctypes.Structure):  # CGPoint and CGSize
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


class Rect(ctypes.Structure):  # CGRect
    _fields_ = [("origin", Pair), ("size", Pair)]


UTF8 = 0x08000100  # kCFStringEncodingUTF8
if AX:
    P, U32 = ctypes.c_void_p, ctypes.c_uint32
    for lib, name, res, args in (
            (AX, "AXIsProcessTrusted", ctypes.c_bool, []),
            (CG, "CGPreflightScreenCaptureAccess", ctypes.c_bool, []),
            (CG, "CGPreflightPostEventAccess", ctypes.c_bool, []),
            (AX, "AXUIElementCreateApplication", P, [ctypes.c_int]),
            (AX, "AXUIElementCreateSystemWide", P, []),
            (AX, "AXUIElementGetPid", ctypes.c_int32, [P, ctypes.POINTER(ctypes.c_int)]),
            (AX, "AXUIElementCopyAttributeValue", ctypes.c_int32, [P, P, ctypes.POINTER(P)]),
            (AX, "AXUIElementPerformAction", ctypes.c_int32, [P, P]),
            (AX, "AXValueGetValue", ctypes.c_bool, [P, ctypes.c_int, P]),
            (CF, "CFGetTypeID", ctypes.c_ulong, [P]),
            (CF, "CFStringGetTypeID", ctypes.c_ulong, []),
            (CF, "CFNumberGetTypeID", ctypes.c_ulong, []),
            (CF, "CFBooleanGetTypeID", ctypes.c_ulong, []),
            (CF, "CFArrayGetTypeID", ctypes.c_ulong, []),
            (CF, "CFStringCreateWithCString", P, [P, ctypes.c_char_p, U32]),
            (CF, "CFStringGetCString", ctypes.c_bool, [P, ctypes.c_char_p, ctypes.c_long, U32]),
            (CF, "CFNumberGetValue", ctypes.c_bool, [P, ctypes.c_long, P]),
            (CF, "CFBooleanGetValue", ctypes.c_bool, [P]),
            (CF, "CFArrayGetCount", ctypes.c_long, [P]),
            (CF, "CFArrayGetValueAtIndex", P, [P, ctypes.c_long]),
            (CF, "CFRelease", None, [P]),
            (CG, "CGMainDisplayID", U32, []),
            (CG, "CGDisplayBounds", Rect, [U32]),
            (CG, "CGDisplayCopyDisplayMode", P, [U32]),
            (CG, "CGDisplayModeGetWidth", ctypes.c_size_t, [P]),
            (CG, "CGDisplayModeGetPixelWidth", ctypes.c_size_t, [P]),
            (CG, "CGDisplayModeRelease", None, [P]),
            (CG, "CGEventCreateMouseEvent", P, [P, U32, Pair, U32]),
            (CG, "CGEventSetIntegerValueField", None, [P, U32, ctypes.c_int64]),
            (CG, "CGEventPost", None, [U32, P]),
            (LIBSYSTEM, "proc_pidpath", ctypes.c_int, [ctypes.c_int, P, U32])):
        getattr(lib, name).restype, getattr(lib, name).argtypes = res, args


def executable_path(pid=None):
    """The executable a process runs, as the system names it."""
    path = ctypes.create_string_buffer(4096)
    n = LIBSYSTEM.proc_pidpath(pid or os.getpid(), path, 4096)
    return path.value.decode() if n > 0 else "?"


def ancestry():
    """This process and the ones that started it, up to launchd: on a hosted runner the last before
    launchd is the agent that access is granted to."""
    chain, pid = [], os.getpid()
    while pid > 1 and len(chain) < 16:
        ppid = subprocess.run(["ps", "-o", "ppid=", "-p", str(pid)], capture_output=True, text=True).stdout
        chain.append(executable_path(pid))
        pid = int(ppid) if ppid.strip().isdigit() else 0
    return chain


def display():
    """(x, y, width, height) of the main display in points, and its pixels to the point."""
    main = CG.CGMainDisplayID()
    bounds, mode = CG.CGDisplayBounds(main), CG.CGDisplayCopyDisplayMode(main)
    scale = CG.CGDisplayModeGetPixelWidth(mode) / max(1, CG.CGDisplayModeGetWidth(mode)) if mode else 0
    if mode:
        CG.CGDisplayModeRelease(mode)
    return (bounds.origin.x, bounds.origin.y, bounds.size.x, bounds.size.y), scale


# ---- reading windows ---------------------------------------------------------------------------

def ax(element, name):
    """An attribute's value, or None. Values are not released: the test is short-lived."""
    value, key = ctypes.c_void_p(), CF.CFStringCreateWithCString(None, name.encode(), UTF8)
    error = AX.AXUIElementCopyAttributeValue(element, key, ctypes.byref(value)) if element else -1
    CF.CFRelease(key)
    return value.value if error == 0 and value.value else None


def ax_typed(element, name, type_id):
    value = ax(element, name)
    return value if value and CF.CFGetTypeID(value) == type_id() else None


def ax_str(element, name):
    value, buf = ax_typed(element, name, CF.CFStringGetTypeID), ctypes.create_string_buffer(1024)
    return buf.value.decode() if value and CF.CFStringGetCString(value, buf, 1024, UTF8) else None


def ax_int(element, name):
    value, number = ax_typed(element, name, CF.CFNumberGetTypeID), ctypes.c_int64()
    return number.value if value and CF.CFNumberGetValue(value, 4, ctypes.byref(number)) else None


def ax_bool(element, name):  # None when absent
    value = ax_typed(element, name, CF.CFBooleanGetTypeID)
    return bool(CF.CFBooleanGetValue(value)) if value else None


def ax_list(element, name):
    array = ax_typed(element, name, CF.CFArrayGetTypeID)
    return [CF.CFArrayGetValueAtIndex(array, i) for i in range(CF.CFArrayGetCount(array))] if array else []


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


def web_area(window):
    """The page (AXWebArea) in a window, or None."""
    todo = [window]
    for _ in range(2000):
        element = todo.pop() if todo else None
        if not element or ax_str(element, "AXRole") == "AXWebArea":
            return element
        todo += ax_list(element, "AXChildren")
    return None


def web_area_origin(pid):
    """Top left of the page in the focused window, from the accessibility tree, or None."""
    area = web_area(ax(AX.AXUIElementCreateApplication(pid), "AXFocusedWindow"))
    return area and ax_pair(area, "AXPosition", 1)


def in_front(pid, title):
    """None when application `pid` is in front with its focused window named after the page titled
    `title`; otherwise what is in front instead (a first-run page, a dialog, ...). Only titles are
    read: a role read in a browser's window can turn its page's accessibility on before the watcher
    runs, and the first case would no longer start cold."""
    front, found = ax(AX.AXUIElementCreateSystemWide(), "AXFocusedApplication"), ctypes.c_int(0)
    if not front or AX.AXUIElementGetPid(front, ctypes.byref(found)) or found.value != pid:
        return f"{ax_str(front, 'AXTitle')!r} (pid {found.value}) is in front"
    app = AX.AXUIElementCreateApplication(pid)
    window = ax(app, "AXFocusedWindow")
    named = ax_str(window, "AXTitle") or ""
    if not window or title not in named:
        titles = [ax_str(w, "AXTitle") for w in ax_list(app, "AXWindows")]
        return f"the focused window is {named!r} (windows: {titles})"
    return None


def covered(window):
    """Whether a sheet covers the window: asked only once the watcher has started."""
    return "AXSheet" in [ax_str(c, "AXRole") for c in ax_list(window, "AXChildren")]


# ---- input ---------------------------------------------------------------------------------------

def mouse(kind, point, click_state=0):  # 1 down, 2 up, 5 moved, 6 dragged (left button)
    event = CG.CGEventCreateMouseEvent(None, kind, Pair(*point), 0)
    if not event:
        raise desktop.DesktopError(f"no mouse event of type {kind} could be made")
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


def select_all(pid):
    """Runs the application's own command-A menu item (Select All, whatever it is called)."""
    items = [(item, ax_str(item, "AXMenuItemCmdChar"), ax_int(item, "AXMenuItemCmdModifiers"),
              ax_bool(item, "AXEnabled"))
             for bar_item in ax_list(ax(AX.AXUIElementCreateApplication(pid), "AXMenuBar"), "AXChildren")
             for menu in ax_list(bar_item, "AXChildren") for item in ax_list(menu, "AXChildren")]
    press = CF.CFStringCreateWithCString(None, b"AXPress", UTF8)
    error = AX.AXUIElementPerformAction(select_all_item(items), press)
    CF.CFRelease(press)
    if error:
        raise desktop.DesktopError(f"pressing the command-A menu item failed: error {error}")


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
        return frame if frame and all(abs(a - b) <= PLACE_SLACK for a, b in zip(frame, GEOMETRY)) else None

    desktop.wait_for("the browser window", lambda: front(pid, False) or window_frame(pid), timeout=60,
                     interval=0.5)
    return desktop.wait_for(f"the window placed at {GEOMETRY}", placed, timeout=20, interval=0.5)


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
        box = colour_box(width, bpp, pixels, pattern)
        boxes.append(box and to_points(box, region, width))
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
    executable, kind = APPS[bundle][1:]
    url = "file://" + shutil.copy(page.PATH, folder)
    if kind == "own":  # through Launch Services, without restoring windows
        subprocess.run(["open", "-F", "-b", bundle, url], check=True, timeout=60)
        return int(desktop.wait_for(executable, lambda: pgrep(executable), timeout=60)[0])
    profile = tempfile.mkdtemp(prefix="profile-", dir=folder)
    if kind == "firefox":
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
    child = APPS[bundle][2] != "own"

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
        self.released = time.monotonic()  # when this view last released the mouse button
        self.frame = place(pid)
        instead = []

        def page_in_front():
            instead.append(in_front(pid, TITLE))
            return instead[-1] is None

        try:
            desktop.wait_for("the page in front", page_in_front, timeout=20, interval=0.5)
        except desktop.DesktopError:
            raise desktop.DesktopError(f"the page is not what is in front: {instead[-1]}") from None
        # The page's green corner; without screen recording, the page's place in the accessibility
        # tree, looked for once the watcher has written its first line (see in_front).
        self.origin = painted_box(self.frame[:2] + (160, 300), GREEN, corner_path, 30)[:2] if screen else None

    def page_origin(self):
        if self.origin is None:
            self.origin = desktop.wait_for("the page", lambda: web_area_origin(self.pid), 30, 0.5)
        return self.origin

    ox = property(lambda self: self.page_origin()[0])
    oy = property(lambda self: self.page_origin()[1])

    def point(self, relative):
        return self.ox + relative[0], self.oy + relative[1]

    def area(self, *elements):
        top = min(page.ELEMENTS[e][1] for e in elements)
        bottom = max(page.ELEMENTS[e][1] + page.ELEMENTS[e][2] for e in elements)
        return self.ox, self.oy + top - 4, 900, bottom - top + 8

    def act(self, action, argument):
        """double (element, word), drag ((element, index), (element, index)), select-all (the menu
        item, pressed through accessibility: no button or key is released), script (a click on the
        last line, whose script selects a word there 1.5 s later), empty (a click on empty space),
        finder (Finder in front), back (this browser in front again)."""
        if action in ("double", "drag"):
            elements = [e for e, _ in argument] if action == "drag" else [argument[0]]
            self.press, self.region = self.point(press_of(action, argument)), self.area(*elements)
            if action == "double":
                click(self.press, 2)
            else:
                drag(self.press, self.point(press_point(*argument[1])))
        elif action == "select-all":
            self.press, self.region = None, (self.ox, self.oy, 700, 480)
            select_all(self.pid)
        elif action == "script":
            self.press, self.region = None, self.area("p5")
            click(self.point(press_point("p5", 3)))
        elif action == "empty":
            click((self.ox + page.EMPTY[0], self.oy + page.EMPTY[1]))
        elif action in ("finder", "back"):
            front("Finder" if action == "finder" else self.pid)
        if action in ("double", "drag", "script", "empty"):
            self.released = time.monotonic()

    def painted(self, path):
        return painted_box(self.region, MAGENTA, path)

    def recover(self, watcher, path):
        """After a failed case: a screenshot, the browser in front, nothing selected, no line pending."""
        if self.screen:
            subprocess.run(["screencapture", "-x", path], timeout=30)
        if covered(ax(AX.AXUIElementCreateApplication(self.pid), "AXFocusedWindow")):
            print(f"     a sheet covers the page of pid {self.pid}", flush=True)
        front(self.pid, check=False)
        self.act("empty", None)
        time.sleep(1.5)
        while watcher and not watcher.lines.queue.empty():
            watcher.lines.queue.get()
