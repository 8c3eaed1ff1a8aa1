#!/usr/bin/env python3
"""The Windows end-to-end test's rules, on any system: where each case presses, the painted box
read from GDI's pixels, the Chromium rectangle rule, and the screenshots it writes (its verdict is
the macOS test's)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_e2e as e2e  # noqa: E402

win, mac, page = e2e.win, e2e.mac, e2e.page
failures = []

# Every press lands in its element's first line, and a double click inside its word, at every
# display scale and whichever fixed font the browser picks on Windows (Chromium: Courier New, or
# Consolas with ClearType, chrome/app/resources/locale_settings_win.grd): advances of 0.6 and 0.55 em.
steps = [s for _, case in e2e.CASES + e2e.UIA_OFF_CASES for s in case]
for scale in (1, 1.25, 1.5):
    origin = (7, 93)
    for action, argument, _ in steps:
        presses = {"double": lambda a: [(a[0], page.ELEMENTS[a[0]][3].index(a[1]) + len(a[1]) / 2)],
                   "drag": lambda a: list(a)}.get(action, lambda a: [])(argument)
        for element, index in presses:
            left, top, _, text = page.ELEMENTS[element]
            x, y = win.press_point(origin, scale, element, index)
            if not origin[1] + top * scale < y < origin[1] + (top + page.LINE) * scale:
                failures.append(f"{action} {argument} at scale {scale} presses outside the first line")
            for advance in (24 * 0.6, 24 * 0.55) if action == "double" else ():
                start = origin[0] + (left + text.index(argument[1]) * advance) * scale
                if not start < x < start + len(argument[1]) * advance * scale:
                    failures.append(f"{argument} at scale {scale}, advance {advance}: press {x:.0f} off the word")
failures += [f"{a} is not an action of the Windows test" for a, _, _ in steps if a not in win.ACTIONS]

# The painted box in screen pixels, from BGRA rows of a region at (100, 50): magenta at columns
# 1-2 of rows 1-2, green at (3, 0), one pixel whose bytes straddle two pixels counts as neither.
W, REGION = 4, (100, 50, 4, 3)
pixels = bytearray(W * 3 * 4)
for (x, y), bgra in (((1, 1), b"\xff\0\xff\xff"), ((2, 2), b"\xff\0\xff\xff"), ((3, 0), b"\0\xff\0\xff"),
                     ((0, 0), b"\0\0\xff\0"), ((1, 0), b"\xff\xff\0\0")):
    pixels[(y * W + x) * 4:(y * W + x) * 4 + 4] = bgra
boxes = [win.box_in(bytes(pixels), REGION, p) for p in (mac.MAGENTA, mac.GREEN)]
failures += [] if boxes == [(101, 51, 2, 2), (103, 50, 1, 1)] else [f"painted boxes {boxes}"]
# Screenshots: what the PNG reader of the macOS test reads back is what was captured, as RGB.
w, h, bpp, rgb = mac.png_pixels(win.png(W, 3, bytes(pixels)))
if (w, h, bpp, rgb[3 * 5:3 * 6], rgb[3 * 3:3 * 4]) != (4, 3, 3, b"\xff\0\xff", b"\0\xff\0"):
    failures.append("screenshot PNG reads back wrong")

# Chromium's rule: (reported, painted, scale, expected).
LINE_RULE = [((100, 104, 60, 28), (101, 100, 60, 36), 1, True),     # text box inside the line box
             ((100, 104, 60, 28), (100, 100, 74, 36), 1, True),     # one character past the line's end
             ((100, 104, 60, 28), (100, 100, 79, 36), 1.25, True),
             ((100, 104, 60, 28), (100, 100, 79, 36), 1, False),    # more than a character
             ((100, 104, 60, 28), (100, 100, 50, 36), 1, False),    # painted short of the reported
             ((110, 104, 60, 28), (100, 100, 70, 36), 1, False),    # left edges apart
             ((100, 96, 60, 44), (100, 100, 60, 36), 1, False)]     # taller than the line
failures += [f"line rule {r} {p} at {s}" for r, p, s, want in LINE_RULE if e2e.matches("line", r, p, s) != want]

# Fresh profiles as each browser documents, and the watcher must wake the pages itself.
argv = win.browser_argv("chromium", "chrome.exe", "/p", "file:///x")
if {"--no-first-run", "--user-data-dir=/p"} - set(argv) or "--force-renderer-accessibility" in argv:
    failures.append(f"Chromium's command line {argv}")
# Firefox's native UI Automation off only for the rows of older providers.
folder = win.fresh_folder()
for native, off in ((True, False), (False, True)):
    win.browser_argv("firefox", "firefox.exe", folder, "file:///x", native)
    with open(os.path.join(folder, "user.js")) as f:
        if ('user_pref("accessibility.uia.enable", 0);' in f.read()) != off:
            failures.append(f"Firefox's preferences with native {native}")
win.shutil.rmtree(folder)

print("\n".join(failures) or f"windows browser_e2e rules: {len(LINE_RULE) + 6} groups passed")
sys.exit(1 if failures else 0)
