#!/usr/bin/env python3
"""The macOS end-to-end test's own rules, on any system: its line checks against lines as a watcher
writes them (and as a broken one might), the rectangle rules, the PNG reader, the colour boxes and
the case table."""
import base64
import os
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_e2e as e2e  # noqa: E402

WINDOW, PRESS, CHROME = (80, 60, 1000, 660), (200, 150), "com.google.Chrome"


def present(height=37, width=900, x=120, y=130, app=CHROME, end="}\n"):
    bounds = '{"height":%s,"width":%s,"x":%s,"y":%s}' % (height, width, x, y)
    return '{"app":"%s","bounds":%s,"selection":true' % (app, bounds) + end


LINES = [  # line, what the failure says (None: accepted)
    (present(), None),
    ('{"selection":true,"bounds":{"y":130,"x":120,"width":900,"height":37},"app":"%s"}\n' % CHROME, None),
    ('{"bounds":{"height":37,"width":900,"x":120,"y":130},"selection":true}\n', "expected a present line"),
    ('{"app":"com.google.Chrome","selection":true}\n', "expected a present line"),
    (present(end=',"text":"bravo"}\n'), "expected a present line"),
    (present(end="}"), "expected a present line"),
    (present(end="}\r\n"), "expected a present line"),
    ('{"selection":false}\n', "expected a present line"),
    ('{"error":"ax_permission_denied"}\n', "expected a present line"),
    (present().replace("true", "1"), "expected a present line"),
    (present(app="org.mozilla.firefox"), "not com.google.Chrome"),
    (present(app=""), "not com.google.Chrome"),
    (present(width=0), "no area"),
    (present(x=120.5), "bounds"),
    (present(height="true"), "bounds"),
    (present().replace('"height":37,', ""), "bounds"),
    (present(x=1120), "outside"),
    (present(y=-4), "outside"),
    (present(y=700), "outside"),
    (present(height=20, width=90, y=300), "press"),
]
CLEARED = [('{"selection":false}\n', True), ('{"selection": false}\n', False), ('{"selection":false}', False),
           ('{"app":"com.google.Chrome","selection":false}\n', False), (present(), False)]
RECTS = [  # reported, painted, exact, contains
    ((100, 100, 50, 20), (101, 99, 49, 21), True, True),
    ((100, 100, 50, 20), (100, 100, 40, 20), False, True),
    ((90, 95, 900, 40), (100, 100, 50, 20), False, True),
    ((100, 100, 50, 20), (90, 95, 900, 40), False, False),
]
# Written by a real encoder (libpng, adaptive): 8 by 12 pixels whose rows use all five filters.
PNGS = [
    (3, 0x9ff169aa,
            "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAMCAIAAADQ/GvKAAAAiElEQVQY02NMSU1jwAaYGHAA0iUYPimyfWgpT/rw+bRvme9x"
            "doVA0Vn8nZ+O3WJhYGAQERFp09CwKZw+LeCh+TylCrOKJz13GRk0ArSwAUZczoUahQlwuor5/wOhlVqq0jJ+bGIiu354f5hp"
            "3XDl2P+JyVCjvmlo/NLlPcobpMudIqf7teD5GgDOZi/vpIQE1AAAAABJRU5ErkJggg=="),
    (4, 0xe331eba0,
            "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAMCAYAAABfnvydAAAArElEQVQY02NMSU37z4AHMDEQAJQrYPikyPb/Q0v5/6QPn/+f"
            "9i3773uc/b9CoOj/Wfyd/z8du/WfhYGBgUFERIShTUODwaZwOsO0gIcM5vOUGCrMKhie9NxlYGTQCPivpaXFgAszEvIm3Apc"
            "mKAvmP8/EGpYqaXKIC3jx8AmJsKw64c3w4eZ1gwNV44x/J+YjLDim4YGwy9dXoajvEEMutwpDHK6XxkKnq9hAAA8nDtkEPSy"
            "KQAAAABJRU5ErkJggg=="),
]
# 4 by 2 pixels: the zoom button's green, P3 magenta, P3 green, sRGB magenta, and a magenta that only
# appears across two pixels (bytes 1 to 3), which must not count.
PIXELS = bytes([40, 200, 64, 234, 51, 247, 117, 251, 76, 0, 0, 0,
                0, 0, 0, 160, 255, 16, 255, 0, 0, 255, 0, 255])

mac = e2e.mac


def refusal(check, *args):
    try:
        check(*args)
    except e2e.Failure as e:
        return str(e)


failures = []
for line, error in LINES:
    got = refusal(e2e.check_present, line, CHROME, WINDOW, PRESS)
    if (got is None) != (error is None) or error and error not in got:
        failures.append(f"{line!r}: {got!r}, expected {error!r}")
failures += [f"cleared {line!r}" for line, ok in CLEARED if (refusal(e2e.check_cleared, line) is None) != ok]
for reported, painted, exact, contains in RECTS:
    if tuple(e2e.matches(rule, reported, painted) for rule in ("exact", "contains")) != (exact, contains):
        failures.append(f"rules for {reported} against {painted}")
for bpp, crc, text in PNGS:
    width, height, got_bpp, pixels = mac.png_pixels(base64.b64decode(text))
    if (width, height, got_bpp, zlib.crc32(pixels)) != (8, 12, bpp, crc):
        failures.append(f"PNG of {bpp} bytes a pixel decoded wrong")
boxes = tuple(mac.colour_box(4, 3, PIXELS, colour) for colour in (mac.MAGENTA, mac.GREEN))
if boxes != ((1, 0, 3, 2), (2, 0, 1, 1)):
    failures.append(f"colour boxes {boxes}")
# The table: the watcher starts first and ends last, lines alternate as the watcher writes them, and
# every selected word is one the output is searched for.
steps = [s for _, case in e2e.CASES for s in case]
cleared = [s[2] == "cleared" for s in steps[:-1]]
if steps[0][0] != "start" or steps[-1][0] != "close" or cleared != [i % 2 == 0 for i in range(len(cleared))]:
    failures.append("the case table's steps do not alternate from start to close")
failures += [f"{s[1][1]} is not searched for" for s in steps
             if s[0] == "double" and s[1][1] not in e2e.page.SELECTED_WORDS]
checks = len(LINES) + len(CLEARED) + len(RECTS) + len(PNGS) + 3
print("\n".join(failures) or f"browser_e2e rules: {checks} checks passed")
sys.exit(1 if failures else 0)
