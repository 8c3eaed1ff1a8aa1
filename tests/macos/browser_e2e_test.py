#!/usr/bin/env python3
"""The macOS end-to-end test's rules, on any system: its line checks against lines as a watcher
writes them (and as a broken one might), the rectangle rules, the case table and where its presses
land, the PNG reader, colour boxes, the choice of the command-A menu item, and the verdict
from what a run recorded."""
import base64
import os
import sys
import types
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_e2e as e2e  # noqa: E402

mac, CHROME = e2e.mac, "com.google.Chrome"
CHAR = mac.page.CHAR


def present(height=37, width=900, x=120, y=130, app=CHROME, end="}\n"):
    bounds = '{"height":%s,"width":%s,"x":%s,"y":%s}' % (height, width, x, y)
    return '{"app":"%s","bounds":%s,"selection":true' % (app, bounds) + end


# A line, and what its refusal says (None: accepted), in a window at (80, 60), 1000 by 660, with the
# mouse pressed at (200, 150).
LINES = [(present(), None), (present(end=',"text":"x"}\n'), "expected a present"),
         ('{"selection":true,"bounds":{"y":130,"x":120,"width":900,"height":37},'
          '"app":"com.google.Chrome"}\n', None),
         ('{"bounds":{"height":37,"width":900,"x":120,"y":130},"selection":true}\n', "expected a present"),
         (present(end="}"), "expected a present"), (present(end="}\r\n"), "expected a present"),
         ('{"selection":false}\n', "expected a present"), ('{"error":"ax_permission_denied"}\n', "expected"),
         (present(app="org.mozilla.firefox"), "app"), (present(app=""), "app"), (present(x=120.5), "bounds"),
         (present(height="true"), "bounds"), (present().replace('"height":37,', ""), "bounds"),
         (present(width=0), "empty"), (present(x=1120), "outside"), (present(y=-4), "outside"),
         (present(y=700), "outside"), (present(height=20, width=90, y=300), "press"),
         (present().replace("true", "1"), "expected a present")]
RECTS = [((100, 100, 50, 20), (101, 99, 49, 21), True, True),
         ((90, 95, 900, 40), (100, 100, 50, 20), False, True),
         ((100, 100, 50, 20), (100, 100, 40, 20), False, True),
         ((100, 100, 50, 20), (90, 95, 900, 40), False, False),
         ((100, 100, 50, 20), (100, 100, 60, 20), False, False)]
# By a real encoder (libpng, adaptive): 8 by 12 RGBA pixels whose rows use all five filters.
PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAMCAYAAABfnvydAAAArElEQVQY02NMSU37z4AHMDEQAJQrYPikyPb/Q0v5/6QPn/+f"
    "9i3773uc/b9CoOj/Wfyd/z8du/WfhYGBgUFERIShTUODwaZwOsO0gIcM5vOUGCrMKhie9NxlYGTQCPivpaXFgAszEvIm3Apc"
    "mKAvmP8/EGpYqaXKIC3jx8AmJsKw64c3w4eZ1gwNV44x/J+YjLDim4YGwy9dXoajvEEMutwpDHK6XxkKnq9hAAA8nDtkEPSy"
    "KQAAAABJRU5ErkJggg==")
# 4 by 2 RGB pixels: the zoom button's green, P3 magenta, P3 green, black; black, a magenta that only
# appears across two pixels (must not count), red, sRGB magenta.
PIXELS = bytes([40, 200, 64, 234, 51, 247, 117, 251, 76, 0, 0, 0,
                0, 0, 0, 160, 255, 16, 255, 0, 0, 255, 0, 255])

# Menu items (element, command character, modifiers, enabled) and the one chosen, or the error.
SELECT_ALL = [([("quit", "Q", 0, True), ("all", "A", 0, True)], "all"),
              ([("deselect", "A", 1, True), ("all", "a", None, None)], "all"),
              ([("ctrl", "A", 12, True), ("opt", "A", 2, True), ("none", None, None, True)], "no menu item"),
              ([("all", "A", 0, False)], "disabled")]
# What a run recorded, with --ci or not: the exit status and what the last line says.
IMG = dict.fromkeys(e2e.IMAGE, ["ok", "ok"])
VERDICTS = [(IMG, False, 0, "8 passed, 0 failed"), (IMG, True, 0, "8 passed, 0 failed"),
            (dict(IMG, **{CHROME: ["ok", "FAIL"]}), False, 1, "7 passed, 1 failed"),
            (dict(IMG, **{CHROME: "not installed"}), False, 0, "skipped: com.google.Chrome (not installed)"),
            (dict(IMG, **{CHROME: "not installed"}), True, 1, "a skip is a failure"),
            (dict(IMG, **{CHROME: ["unpainted", "ok"]}), False, 0, "pixel comparisons in 1 case (no screen"),
            (dict(IMG, **{CHROME: ["unpainted", "ok"]}), True, 1, "a skip is a failure"),
            ({b: "not installed" for b in e2e.IMAGE}, False, 1, "0 passed, 0 failed")]



def outcome(call, error):
    """What `call` returned, or the `error` it raised."""
    try:
        return call()
    except error as e:
        return e


failures = []
for line, error in LINES:
    got = outcome(lambda: e2e.check_present(line, CHROME, (80, 60, 1000, 660), (200, 150)), AssertionError)
    if isinstance(got, AssertionError) != (error is not None) or error and error not in str(got):
        failures.append(f"{line!r}: {got!r}, expected {error!r}")
failures += [f"rules for {r} against {p}" for r, p, *want in RECTS
             if [e2e.matches(rule, r, p) for rule in ("exact", "contains")] != want]
width, height, bpp, pixels = mac.png_pixels(PNG)
if (width, height, bpp, zlib.crc32(pixels)) != (8, 12, 4, 0xe331eba0):
    failures.append("PNG decoded wrong")
boxes = [mac.colour_box(4, 3, PIXELS, colour) for colour in (mac.MAGENTA, mac.GREEN)]
failures += [] if boxes == [(1, 0, 3, 2), (2, 0, 1, 1)] else [f"colour boxes {boxes}"]
for items, want in SELECT_ALL:
    got = str(outcome(lambda: mac.select_all_item(items), mac.desktop.DesktopError))
    if want not in got:
        failures.append(f"command-A among {items}: {got!r}, expected {want!r}")
failures += [f"verdict {outcomes} (ci {ci}): {got}" for outcomes, ci, status, said in VERDICTS
             for got in [e2e.verdict(outcomes, ci)] if got[1] != status or said not in got[0]]
# The watcher starts first and ends last, lines alternate as the watcher writes them, every selected
# word is one the watcher's output is searched for, and every press lands on its element's first
# line of text, inside the word double-clicked.
steps = [s for _, case in e2e.MAC_CASES for s in case]
cleared = [s[2] == "cleared" for s in steps[:-1]]
if steps[0][0] != "start" or steps[-1][0] != "close" or cleared != [i % 2 == 0 for i in range(len(cleared))]:
    failures.append("the case table's lines do not alternate from start to close")
for action, argument, _ in steps:
    press = mac.press_of(action, argument)
    if action == "double" and argument[1] not in mac.page.SELECTED_WORDS:
        failures.append(argument[1] + " is never looked for")
    if press:
        element = argument[0] if action == "double" else argument[0][0]
        left, top, _, text = mac.page.ELEMENTS[element]
        start = text.index(argument[1]) if action == "double" else 0
        end = start + len(argument[1]) if action == "double" else len(text)
        if not (left + start * CHAR <= press[0] < left + end * CHAR and top < press[1] < top + mac.page.LINE):
            failures.append(f"{action} {argument} presses at {press}, off its text")
# Before the watcher's first line the page is found by window titles alone: nothing else is read.
read, saved = [], (mac.AX, mac.ax, mac.ax_str, mac.ax_list)
mac.AX = types.SimpleNamespace(AXUIElementCreateSystemWide=lambda: "system", AXUIElementCreateApplication=str,
                               AXUIElementGetPid=lambda e, found: setattr(found._obj, "value", 7))
mac.ax = lambda element, name: read.append(name) or name
mac.ax_str = lambda element, name: read.append(name) or "sw-page - Browser"
mac.ax_list = lambda element, name: read.append(name) or ["window"]
fronts = [mac.in_front(7, mac.TITLE), mac.in_front(7, "other"), mac.in_front(8, mac.TITLE)]
mac.AX, mac.ax, mac.ax_str, mac.ax_list = saved
if fronts[0] is not None or None in fronts[1:] or set(read) - {"AXFocusedApplication", "AXFocusedWindow",
                                                              "AXWindows", "AXTitle"}:
    failures.append(f"in_front: {fronts}, reading {sorted(set(read))}")
checks = sum(map(len, (LINES, RECTS, SELECT_ALL, VERDICTS, steps))) + 1
print("\n".join(failures) or f"browser_e2e rules: {checks} checks passed")
sys.exit(1 if failures else 0)
