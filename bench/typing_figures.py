#!/usr/bin/python3
"""Whether the user's typing waits on the watcher: on a virtual X11 desktop, with Firefox ESR
watched and the focus in the sample page's textarea, the time from the start of typing 12 keys
(xdotool, 12 ms apart) until the textarea's painted text holds all of them, with no watcher, and
with the watcher's process stopped (SIGSTOP) since before the first key. Painted pixels decide,
never what the accessibility interface says. Prints figures; asserts nothing.

Usage: typing_figures.py PATH/TO/selection-watcher [runs, default 3] [firefox|chrome]
"""

import ctypes
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402

KEYS = 12
SETTLED = 4.0  # seconds of unchanged pixels after the last key that make the text final


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


class Region:
    """The pixels of one rectangle of the screen, read straight from the X server: a screenshot
    through ImageMagick takes an eighth of a second, this a few milliseconds."""

    def __init__(self, d, region):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x11.XGetImage.restype = ctypes.POINTER(XImage)
        self.x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                       ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x11.XFree.argtypes = [ctypes.c_void_p]
        self.display = self.x11.XOpenDisplay(d.env["DISPLAY"].encode())
        if not self.display:
            raise desktop.DesktopError("cannot open the display")
        self.root = self.x11.XDefaultRootWindow(self.display)
        self.region = region

    def pixels(self):
        x0, y0, x1, y1 = self.region
        image = self.x11.XGetImage(self.display, self.root, x0, y0, x1 - x0, y1 - y0,
                                   0xFFFFFFFF, 2)  # AllPlanes, ZPixmap
        if not image:
            raise desktop.DesktopError("no image")
        data = ctypes.string_at(image.contents.data, image.contents.bytes_per_line * (y1 - y0))
        self.x11.XFree(image.contents.data)
        self.x11.XFree(image)
        return data


def painted_after_typing(d, region):
    """Seconds from the start of typing to the first look at the region that shows the final text."""
    samples = []
    started = time.monotonic()
    typist = desktop.subprocess.Popen(["xdotool", "type", "--delay", "12", "x" * KEYS], env=d.env)
    last_change = started
    while True:
        pixels = region.pixels()
        now = time.monotonic()
        if samples and pixels != samples[-1][1]:
            last_change = now
        samples.append((now, pixels))
        if typist.poll() is not None and now - last_change > SETTLED:
            break
        time.sleep(0.005)
        if now - started > 60:
            raise desktop.DesktopError("the text never settled")
    final = samples[-1][1]
    return next(t for t, c in samples if c == final) - started


def erase(d, region):
    d.xdotool("key", "--delay", "12", *["BackSpace"] * KEYS)
    last = [None]

    def settled():
        now = region.pixels()
        same, last[0] = now == last[0], now
        return same
    desktop.wait_for("the text erased", settled, timeout=60, interval=0.5)


def main(exe, runs, engine):
    # A blinking caret would change the pixels forever: it stands still.
    desktop.FIREFOX_PREFS["ui.caretBlinkTime"] = 0
    results = {"no watcher": [], "watcher stopped": []}
    with desktop.Desktop() as d:
        d.start_browser(engine, page.url())
        view = page.View(d)
        left, top, height, text = page.ELEMENTS["area"]
        region = Region(d, (int(view.ox + left - 4), int(view.oy + top - 2),
                            int(view.ox + left + 570), int(view.oy + top + height)))
        # The caret after the text, where each run's keys go and are erased again.
        d.click(*view.point("area", len(text) + 0.3))
        time.sleep(1)
        for run in range(runs):
            for label in results:
                watcher = None
                if label == "watcher stopped":
                    watcher = desktop.Watcher(exe, d)
                    watcher.event(30)
                    time.sleep(2)  # listening, and every look of the start done
                    os.kill(watcher.proc.pid, signal.SIGSTOP)
                try:
                    seconds = painted_after_typing(d, region)
                finally:
                    if watcher is not None:
                        os.kill(watcher.proc.pid, signal.SIGCONT)
                        watcher.close()
                results[label].append(seconds)
                print(f"run {run + 1}, {label}: {seconds:.2f} s", flush=True)
                erase(d, region)
    print(f"\n{engine}, {KEYS} keys typed into a textarea, from the first key to all of them "
          f"painted, s:")
    for label, values in results.items():
        print(f"    {label:16s} " + "  ".join(f"{v:.2f}" for v in values))
    return 0


if __name__ == "__main__":
    sys.exit(main(*desktop.bench_arguments(__doc__, 3, "firefox")))
