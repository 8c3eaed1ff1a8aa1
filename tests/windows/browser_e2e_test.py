#!/usr/bin/env python3
"""The Windows end-to-end test's rules, on any system: where each case presses, the painted box
read from GDI's pixels and the Chromium rectangle rule (its verdict is the macOS test's)."""
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
# Chromium's rule: (reported, painted, scale, expected).
LINE_RULE = [((100, 104, 60, 28), (101, 100, 60, 36), 1, True),     # text box inside the line box
             ((100, 104, 60, 28), (100, 100, 74, 36), 1, True),     # one character past the line's end
             ((100, 104, 60, 28), (100, 100, 79, 36), 1.25, True),
             ((100, 104, 60, 28), (100, 100, 79, 36), 1, False),    # more than a character
             ((100, 104, 60, 28), (100, 100, 50, 36), 1, False),    # painted short of the reported
             ((110, 104, 60, 28), (100, 100, 70, 36), 1, False),    # left edges apart
             ((100, 96, 60, 44), (100, 100, 60, 36), 1, False)]     # taller than the line
failures += [f"line rule {r} {p} at {s}" for r, p, s, want in LINE_RULE if e2e.matches("line", r, p, s) != want]
# The watcher must wake the pages itself: the harness never turns Chromium's accessibility on.
if "--force-renderer-accessibility" in win.browser_argv("chromium", "chrome.exe", "/p", "file:///x"):
    failures.append("Chromium started with its accessibility on")

print("\n".join(failures) or f"windows browser_e2e rules: {len(LINE_RULE) + 5} groups passed")
sys.exit(1 if failures else 0)
