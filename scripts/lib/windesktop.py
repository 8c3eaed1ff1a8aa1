"""The Windows desktop, for the end-to-end test against real browsers: their windows found by the
sample page's title, placed and brought forward with user32, mouse and keys sent with SendInput,
the screen read with GDI. Python 3 standard library only (ctypes, winreg). The process is made
per-monitor DPI aware, so every coordinate here is a screen pixel, as the watcher reports them.
On other systems only the pure helpers are usable: the browsers' command lines and the PNG writer.
"""

import ctypes
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import desktop
import macdesktop as mac
import page

# Where each browser window is put, in screen pixels: inside the 1024x768 display of a hosted
# runner above its taskbar, and large enough for the sample page at 100 % (it needs 850 by 480).
GEOMETRY = (0, 0, 1010, 720)
TITLE = "sw-page"  # the sample page's title, which each browser puts in its window's title

# Fresh profiles without first-run pages or help bubbles, as Chromium's own switches say
# (chrome/common/chrome_switches.cc, components/search_engines/search_engines_switches.cc,
# components/feature_engagement/public/switches.h); Edge takes the same switches, and its welcome
# pages need the HideFirstRunExperience policy on top (see the Windows workflow). Not
# --force-renderer-accessibility: the watcher turns the pages' accessibility on itself.
CHROMIUM_FLAGS = ["--no-first-run", "--no-default-browser-check", "--disable-search-engine-choice-screen",
                  "--propagate-iph-for-testing", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]
# Firefox reads these from the fresh profile's user.js; the page at the display's own scale.
FIREFOX_PREFS = dict(desktop.FIREFOX_PREFS, **{"layout.css.devPixelsPerPx": "-1.0"})


# Native UI Automation off, for the rows of older providers: Firefox's preference (0: never), and
# Chromium's policy (read from the user's policies too; Chrome 125 to 146 honour it), per browser.
UIA_OFF_PREFS = {"accessibility.uia.enable": 0}
UIA_POLICY_KEYS = {"chrome.exe": r"Software\Policies\Google\Chrome", "msedge.exe": r"Software\Policies\Microsoft\Edge"}


def browser_argv(kind, exe, profile, url, native=True):
    """The command line of a browser of `kind` ("chromium" or "firefox") on a fresh profile in
    `profile`; for Firefox, its preferences are written there (native UI Automation off unless
    `native`; Chromium's is a policy, see uia_policy)."""
    if kind == "chromium":
        return [exe, f"--user-data-dir={profile}"] + CHROMIUM_FLAGS + [url]
    prefs = dict(FIREFOX_PREFS, **({} if native else UIA_OFF_PREFS))
    with open(os.path.join(profile, "user.js"), "w") as f:
        f.writelines(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items())
    return [exe, "-profile", profile, "-no-remote", "-new-instance", url]


def uia_policy(exe, off):
    """Sets (off) or removes Chromium's UiAutomationProviderEnabled policy for the browser `exe`
    in the user's policies; False where it has none."""
    import winreg
    path = UIA_POLICY_KEYS.get(os.path.basename(exe).lower())
    if not path:
        return False
    with winreg.CreateKey(winreg.HKEY_CURRENT_USER, path) as k:
        if off:
            winreg.SetValueEx(k, "UiAutomationProviderEnabled", 0, winreg.REG_DWORD, 0)
        else:
            try:
                winreg.DeleteValue(k, "UiAutomationProviderEnabled")
            except FileNotFoundError:
                pass
    return True


def png(width, height, bgra):
    """A PNG file (8-bit RGB) of top-down BGRA pixels, as GDI gives them."""
    rows = bytearray()
    for y in range(height):
        row, rgb = bgra[y * width * 4:(y + 1) * width * 4], bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows += b"\0" + rgb

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))


# ---- Win32 -------------------------------------------------------------------------------------

WIN = sys.platform == "win32"
if WIN:
    import winreg
    from ctypes import wintypes as W

    user32, gdi32, dwmapi = ctypes.WinDLL("user32"), ctypes.WinDLL("gdi32"), ctypes.WinDLL("dwmapi")
    H, ENUMPROC = ctypes.c_void_p, ctypes.WINFUNCTYPE(W.BOOL, ctypes.c_void_p, W.LPARAM)
    for lib, name, res, args in (
            (user32, "SetProcessDpiAwarenessContext", W.BOOL, [H]),
            (user32, "GetDpiForSystem", W.UINT, []),
            (user32, "GetSystemMetrics", ctypes.c_int, [ctypes.c_int]),
            (user32, "EnumWindows", W.BOOL, [ENUMPROC, W.LPARAM]),
            (user32, "IsWindowVisible", W.BOOL, [H]),
            (user32, "IsIconic", W.BOOL, [H]),
            (user32, "GetWindowTextW", ctypes.c_int, [H, W.LPWSTR, ctypes.c_int]),
            (user32, "GetWindowThreadProcessId", W.DWORD, [H, ctypes.POINTER(W.DWORD)]),
            (user32, "GetWindowRect", W.BOOL, [H, ctypes.POINTER(W.RECT)]),
            (user32, "GetForegroundWindow", H, []),
            (user32, "SetForegroundWindow", W.BOOL, [H]),
            (user32, "BringWindowToTop", W.BOOL, [H]),
            (user32, "ShowWindow", W.BOOL, [H, ctypes.c_int]),
            (user32, "SetWindowPos", W.BOOL, [H, H, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int, W.UINT]),
            (user32, "PostMessageW", W.BOOL, [H, W.UINT, W.WPARAM, W.LPARAM]),
            (user32, "AttachThreadInput", W.BOOL, [W.DWORD, W.DWORD, W.BOOL]),
            (user32, "SendInput", W.UINT, [W.UINT, ctypes.c_void_p, ctypes.c_int]),
            (user32, "GetDC", H, [H]),
            (user32, "ReleaseDC", ctypes.c_int, [H, H]),
            (gdi32, "CreateCompatibleDC", H, [H]),
            (gdi32, "CreateDIBSection", H, [H, ctypes.c_void_p, W.UINT, ctypes.POINTER(ctypes.c_void_p), H, W.DWORD]),
            (gdi32, "SelectObject", H, [H, H]),
            (gdi32, "BitBlt", W.BOOL, [H, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int, H,
                                       ctypes.c_int, ctypes.c_int, W.DWORD]),
            (gdi32, "DeleteObject", W.BOOL, [H]),
            (gdi32, "DeleteDC", W.BOOL, [H]),
            (dwmapi, "DwmGetWindowAttribute", ctypes.c_long, [H, W.DWORD, ctypes.c_void_p, W.DWORD])):
        getattr(lib, name).restype, getattr(lib, name).argtypes = res, args

    class MOUSEINPUT(ctypes.Structure):
        _fields_ = [("dx", W.LONG), ("dy", W.LONG), ("mouseData", W.DWORD), ("dwFlags", W.DWORD),
                    ("time", W.DWORD), ("dwExtraInfo", ctypes.c_size_t)]

    class KEYBDINPUT(ctypes.Structure):
        _fields_ = [("wVk", W.WORD), ("wScan", W.WORD), ("dwFlags", W.DWORD), ("time", W.DWORD),
                    ("dwExtraInfo", ctypes.c_size_t)]

    class INPUT(ctypes.Structure):
        class _U(ctypes.Union):  # the largest member (MOUSEINPUT) sets the size SendInput checks
            _fields_ = [("mi", MOUSEINPUT), ("ki", KEYBDINPUT)]
        _anonymous_, _fields_ = ("u",), [("type", W.DWORD), ("u", _U)]


def dpi_aware():
    """Screen pixels everywhere (per-monitor aware, version 2), as the watcher itself is."""
    user32.SetProcessDpiAwarenessContext(ctypes.c_void_p(-4))


def display():
    """(width, height, scale) of the primary display, in pixels; 1.0 is 96 DPI."""
    return user32.GetSystemMetrics(0), user32.GetSystemMetrics(1), user32.GetDpiForSystem() / 96


APP_PATHS = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"


def installed(exe_name, folder):
    """The browser's executable: registered under App Paths (as installers register it), else in
    `folder` of Program Files or of the user's local programs; None if not installed."""
    for root in (winreg.HKEY_LOCAL_MACHINE, winreg.HKEY_CURRENT_USER):
        try:
            path = winreg.QueryValue(root, APP_PATHS + exe_name)
        except OSError:
            continue
        if os.path.isfile(path.strip('"')):
            return path.strip('"')
    for base in ("ProgramFiles", "ProgramFiles(x86)", "LOCALAPPDATA"):
        path = os.path.join(os.environ.get(base, ""), folder, exe_name)
        if os.environ.get(base) and os.path.isfile(path):
            return path
    return None


# ---- windows -----------------------------------------------------------------------------------

def windows(title_prefix):
    """Visible top-level windows whose title starts with `title_prefix`: [(hwnd, pid)]."""
    found, buf = [], ctypes.create_unicode_buffer(512)

    def each(hwnd, _):
        titled = user32.IsWindowVisible(hwnd) and user32.GetWindowTextW(hwnd, buf, 512)
        if titled and buf.value.startswith(title_prefix):
            pid = W.DWORD()
            user32.GetWindowThreadProcessId(hwnd, ctypes.byref(pid))
            found.append((hwnd, pid.value))
        return True

    user32.EnumWindows(ENUMPROC(each), 0)
    return found


def frame(hwnd):
    """(x, y, width, height) of the window as drawn (without the invisible resize borders)."""
    r = W.RECT()
    if dwmapi.DwmGetWindowAttribute(hwnd, 9, ctypes.byref(r), ctypes.sizeof(r)):  # extended frame bounds
        user32.GetWindowRect(hwnd, ctypes.byref(r))
    return r.left, r.top, r.right - r.left, r.bottom - r.top


def front(hwnd, timeout=10):
    """Brings the window forward and checks it is the foreground window. Windows gives the
    foreground only to the process that had the last input, and the runner keeps its console in
    front: a key that does nothing makes this process the last one with input, and failing that
    this thread's input is attached to the foreground window's for the moment of the call."""
    def done():
        if user32.IsIconic(hwnd):
            user32.ShowWindow(hwnd, 9)  # SW_RESTORE
        key(0xE8, down=False)  # an unassigned virtual key
        if not user32.SetForegroundWindow(hwnd):
            other = user32.GetWindowThreadProcessId(user32.GetForegroundWindow(), None)
            me = ctypes.windll.kernel32.GetCurrentThreadId()
            user32.AttachThreadInput(me, other, True)
            user32.BringWindowToTop(hwnd)
            user32.SetForegroundWindow(hwnd)
            user32.AttachThreadInput(me, other, False)
        time.sleep(0.2)
        return user32.GetForegroundWindow() == hwnd

    desktop.wait_for("the window in front", done, timeout=timeout, interval=0.3)


def place(hwnd):
    """The window restored, at GEOMETRY and in front; its frame once it is there."""
    x, y, w, h = GEOMETRY

    def placed():
        user32.ShowWindow(hwnd, 9)
        user32.SetWindowPos(hwnd, None, x, y, w, h, 0x0004 | 0x0010)  # no z-order change, no activation
        got = frame(hwnd)
        return got if all(abs(a - b) <= 16 for a, b in zip(got, GEOMETRY)) else None

    got = desktop.wait_for("the window placed", placed, timeout=20, interval=0.5)
    front(hwnd)
    return got


# ---- input -------------------------------------------------------------------------------------

def send(*inputs):
    array = (INPUT * len(inputs))(*inputs)
    if user32.SendInput(len(inputs), array, ctypes.sizeof(INPUT)) != len(inputs):
        raise desktop.DesktopError(f"SendInput refused input (error {ctypes.GetLastError()})")


def mouse(flags, point=None):
    """One mouse input: a move to `point` (absolute, on the primary display) and/or button flags."""
    width, height, _ = display()
    dx = dy = 0
    if point:  # normalised so that it maps back onto this very pixel
        flags |= 0x8001  # MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE
        dx, dy = (round((v + 0.5) * 65536 / size) for v, size in zip(point, (width, height)))
    send(INPUT(type=0, mi=MOUSEINPUT(dx, dy, 0, flags, 0, 0)))


def click(point, count=1):
    mouse(0, point)
    time.sleep(0.05)
    for _ in range(count):
        mouse(0x0002)  # left down
        time.sleep(0.05)  # the button held as a person holds it
        mouse(0x0004)  # left up
        time.sleep(0.08)


def drag(start, end, steps=12):
    mouse(0, start)
    time.sleep(0.05)
    mouse(0x0002)
    for i in range(1, steps + 1):
        time.sleep(0.02)
        mouse(0, tuple(s + (e - s) * i / steps for s, e in zip(start, end)))
    time.sleep(0.05)
    mouse(0x0004)


def key(vk, down=True, up=True):
    for flags in ([0] if down else []) + ([0x0002] if up else []):  # KEYEVENTF_KEYUP
        send(INPUT(type=1, ki=KEYBDINPUT(vk, 0, flags, 0, 0)))


def control_key(vk, modifier=0x11):
    """Ctrl (or another modifier) and a key: virtual keys follow the keyboard layout, so 0x41 is A
    on every layout."""
    key(modifier, up=False)
    key(vk)
    key(modifier, down=False)


def type_text(text):
    for ch in text:  # KEYEVENTF_UNICODE, down and up
        for flags in (0x0004, 0x0006):
            send(INPUT(type=1, ki=KEYBDINPUT(0, ord(ch), flags, 0, 0)))


# ---- the screen ----------------------------------------------------------------------------------

def capture(region):
    """Top-down BGRA pixels of a screen region (x, y, width, height)."""
    x, y, w, h = region
    screen = user32.GetDC(None)
    memory = gdi32.CreateCompatibleDC(screen)
    # BITMAPINFO: its header (32-bit top-down rows, uncompressed) and an unused colour
    header = struct.pack("<IiiHHIIiiIII", 40, w, -h, 1, 32, 0, 0, 0, 0, 0, 0, 0)
    bits = ctypes.c_void_p()
    bitmap = gdi32.CreateDIBSection(screen, header, 0, ctypes.byref(bits), None, 0)
    try:
        old = gdi32.SelectObject(memory, bitmap)
        if not gdi32.BitBlt(memory, 0, 0, w, h, screen, x, y, 0x00CC0020 | 0x40000000):  # SRCCOPY | CAPTUREBLT
            raise desktop.DesktopError("the screen cannot be read (a locked or disconnected session?)")
        gdi32.SelectObject(memory, old)
        return ctypes.string_at(bits, w * h * 4)
    finally:
        gdi32.DeleteObject(bitmap)
        gdi32.DeleteDC(memory)
        user32.ReleaseDC(None, screen)


def screenshot(path, region=None):
    """Saves the screen (or a region of it) as a PNG."""
    width, height, _ = display()
    region = region or (0, 0, width, height)
    with open(path, "wb") as f:
        f.write(png(region[2], region[3], capture(region)))


def box_in(pixels, region, pattern):
    """Screen box of the pixels matching `pattern` in BGRA `pixels` of `region`, or None. The
    page's two colours read the same in BGRA as in RGBA."""
    box = mac.colour_box(region[2], 4, pixels, pattern)
    return box and (box[0] + region[0], box[1] + region[1], box[2], box[3])


def painted_box(region, pattern, path, timeout=20):
    """The screen box of the pixels matching `pattern` in `region` once it holds still; the last
    capture is saved in `path`."""
    region = tuple(int(round(v)) for v in region)
    boxes = [None]

    def still():
        pixels = capture(region)
        boxes.append(box_in(pixels, region, pattern))
        if boxes[-1] and boxes[-1] == boxes[-2]:
            with open(path, "wb") as f:
                f.write(png(region[2], region[3], pixels))
            return boxes[-1]
        return None

    try:
        return desktop.wait_for("paint", still, timeout=timeout, interval=0.2)
    except desktop.DesktopError:
        screenshot(path, region)
        raise desktop.DesktopError(f"nothing in the colour held still in {region} (see {path})") from None


# ---- the sample page ---------------------------------------------------------------------------

def press_point(origin, scale, element, index):
    """Screen point of character `index` of an element, halfway down its first line."""
    left, top, _, _ = page.ELEMENTS[element]
    return origin[0] + (left + index * page.CHAR) * scale, origin[1] + (top + page.LINE / 2) * scale


def element_area(origin, scale, elements):
    """Screen region around the elements, 900 CSS pixels wide."""
    top = min(page.ELEMENTS[e][1] for e in elements)
    bottom = max(page.ELEMENTS[e][1] + page.ELEMENTS[e][2] for e in elements)
    return origin[0], origin[1] + (top - 4) * scale, 900 * scale, (bottom - top + 8) * scale


ACTIONS = {"start", "double", "drag", "select-all", "empty", "finder", "back", "close", "shift-end", "address",
           "new-tab", "close-tab"}


class View:
    """The sample page in a browser window: where its words are on the screen, the input each case
    makes on it, where the mouse pressed and where the selection is painted."""

    def __init__(self, hwnd, corner_path):
        self.hwnd, self.press, self.region = hwnd, None, None
        self.frame = place(hwnd)
        x, y, w, h = self.frame
        # The page's green corner, 8 CSS pixels square: where the page is, and its scale.
        try:
            corner = painted_box((x, y, min(w, 400), min(h, 400)), mac.GREEN, corner_path, 30)
        except desktop.DesktopError:
            raise desktop.DesktopError(
                f"the page is not at the top left of the window (see {corner_path}): a first-run page, a bar "
                "or another window covers it; Edge's welcome pages need its HideFirstRunExperience policy") from None
        self.origin, self.scale = corner[:2], corner[2] / 8
        self.url = None  # the page's, for a new tab

    def point(self, element, index):
        return press_point(self.origin, self.scale, element, index)

    def act(self, action, argument, other):
        """One of ACTIONS: double (element, word), drag ((element, index), (element, index)),
        select-all, empty (a click on empty space), finder (the window `other` in front: another
        program), back (this browser in front again), shift-end (element, index: a click there,
        then Shift+End), address (the focus in the address bar), new-tab (the page again in a new
        tab), close-tab; start and close act on the watcher only."""
        if action == "double":
            element, word = argument
            self.press = self.point(element, page.ELEMENTS[element][3].index(word) + len(word) / 2)
            self.region = element_area(self.origin, self.scale, [element])
            click(self.press, 2)
        elif action == "drag":
            (e0, i0), (e1, i1) = argument
            self.press, self.region = self.point(e0, i0), element_area(self.origin, self.scale, [e0, e1])
            drag(self.press, self.point(e1, i1))
        elif action == "select-all":
            self.press, self.region = None, self.origin + (700 * self.scale, 480 * self.scale)
            control_key(0x41)
        elif action == "empty":
            click(tuple(o + e * self.scale for o, e in zip(self.origin, page.EMPTY)))
        elif action in ("finder", "back"):  # another program in front, then this browser again
            front(other if action == "finder" else self.hwnd)
        elif action == "shift-end":
            element, index = argument
            self.press, self.region = self.point(element, index), element_area(self.origin, self.scale, [element])
            click(self.press)
            time.sleep(0.3)
            control_key(0x23, modifier=0x10)  # VK_END with VK_SHIFT
        elif action == "address":
            control_key(0x4C)  # Ctrl+L in Chrome, Edge and Firefox
        elif action == "new-tab":
            control_key(0x54)  # Ctrl+T, whose address bar has the focus
            time.sleep(1)
            type_text(self.url)
            key(0x0D)
            time.sleep(2)
        elif action == "close-tab":
            control_key(0x57)  # Ctrl+W

    def recover(self, watcher, path):
        """After a failed case: a screenshot, the browser in front, nothing selected, no line pending."""
        screenshot(path)
        front(self.hwnd)
        self.act("empty", None, None)
        time.sleep(1.5)
        while watcher and not watcher.lines.queue.empty():
            watcher.lines.queue.get()


# ---- processes ---------------------------------------------------------------------------------

def start(argv, log_path):
    """Starts a program with its output in `log_path`; its Popen."""
    with open(log_path, "ab") as log:
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log)


def stop(hwnds, pids):
    """Closes the windows, then ends what is left of each process tree by its PID."""
    for hwnd in hwnds:
        user32.PostMessageW(hwnd, 0x0010, 0, 0)  # WM_CLOSE
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(user32.IsWindowVisible(h) for h in hwnds):
        time.sleep(0.2)
    for pid in pids:
        subprocess.run(["taskkill", "/PID", str(pid), "/T", "/F"], capture_output=True)


def other_window(folder):
    """A window of a program that is not a browser (Tk, from this Python): (hwnd, PIDs to end).
    Found by its title: a virtual environment's python.exe starts the real one as its child."""
    script = ("import tkinter as t; r = t.Tk(); r.title('sw-other'); r.geometry('500x400+60+60'); "
              "t.Label(r, text='not a browser').pack(); r.mainloop()")
    proc = start([sys.executable, "-c", script], os.path.join(folder, "other.log"))
    hwnd, pid = desktop.wait_for("the other window", lambda: windows("sw-other"), timeout=30, interval=0.3)[0]
    return hwnd, [pid, proc.pid]


def fresh_folder():
    return tempfile.mkdtemp(prefix="sw-browser-")


def copy_page(folder):
    """A copy of the sample page in `folder`, as a file URL."""
    return "file:///" + shutil.copy(page.PATH, folder).replace("\\", "/")
