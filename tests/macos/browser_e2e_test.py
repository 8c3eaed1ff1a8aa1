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
B = '"bounds":{"height":37,"width":900,"x":120,"y":130}'
LINES = [  # line, what the failure says (None: accepted)
    ('{"app":"com.google.Chrome",%s,"selection":true}\n' % B, None),
    ('{"selection":true,%s,"app":"com.google.Chrome"}\n' % B, None),
    ('{%s,"selection":true}\n' % B, "expected a present line"),
    ('{"app":"com.google.Chrome","selection":true}\n', "expected a present line"),
    ('{"app":"com.google.Chrome",%s,"selection":true,"text":"bravo"}\n' % B, "expected a present line"),
    ('{"app":"com.google.Chrome",%s,"selection":true}' % B, "expected a present line"),
    ('{"app":"com.google.Chrome",%s,"selection":true}\r\n' % B, "expected a present line"),
    ('{"selection":false}\n', "expected a present line"),
    ('{"error":"ax_permission_denied"}\n', "expected a present line"),
    ('{"app":"com.google.Chrome",%s,"selection":1}\n' % B, "expected a present line"),
    ('{"app":"org.mozilla.firefox",%s,"selection":true}\n' % B, "not com.google.Chrome"),
    ('{"app":"",%s,"selection":true}\n' % B, "not com.google.Chrome"),
    ('{"app":"com.google.Chrome","bounds":{"height":37,"width":0,"x":120,"y":130},"selection":true}\n', "no area"),
    ('{"app":"com.google.Chrome","bounds":{"height":37,"width":900,"x":120.5,"y":130},"selection":true}\n', "bounds"),
    ('{"app":"com.google.Chrome","bounds":{"height":true,"width":900,"x":120,"y":130},"selection":true}\n', "bounds"),
    ('{"app":"com.google.Chrome","bounds":{"width":900,"x":120,"y":130},"selection":true}\n', "bounds"),
    ('{"app":"com.google.Chrome","bounds":{"height":37,"width":900,"x":1120,"y":130},"selection":true}\n', "outside"),
    ('{"app":"com.google.Chrome","bounds":{"height":37,"width":900,"x":120,"y":-4},"selection":true}\n', "outside"),
    ('{"app":"com.google.Chrome","bounds":{"height":37,"width":900,"x":120,"y":700},"selection":true}\n', "outside"),
    ('{"app":"com.google.Chrome","bounds":{"height":20,"width":90,"x":120,"y":300},"selection":true}\n', "press"),
]
CLEARED = [('{"selection":false}\n', True), ('{"selection": false}\n', False), ('{"selection":false}', False),
           ('{"app":"com.google.Chrome","selection":false}\n', False), ('{"selection":true}\n', False)]
RECTS = [  # reported, painted, exact, contains
    ((100, 100, 50, 20), (101, 99, 49, 21), True, True),
    ((100, 100, 50, 20), (100, 100, 40, 20), False, True),
    ((90, 95, 900, 40), (100, 100, 50, 20), False, True),
    ((100, 100, 50, 20), (90, 95, 900, 40), False, False),
]
# Written by a real encoder (libpng, adaptive): 8 by 12 pixels whose rows use all five filters.
PNGS = [(3, 0x9ff169aa, "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAMCAIAAADQ/GvKAAAAiElEQVQY02NMSU1jwAaYGHAA0iUYPimyfWgpT/rw+bRvme9xdoVA0V"
                        "n8nZ+O3WJhYGAQERFp09CwKZw+LeCh+TylCrOKJz13GRk0ArSwAUZczoUahQlwuor5/wOhlVqq0jJ+bGIiu354f5hp3XDl2P+JyVCjvmlo"
                        "/NLlPcobpMudIqf7teD5GgDOZi/vpIQE1AAAAABJRU5ErkJggg=="),
        (4, 0xe331eba0, "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAMCAYAAABfnvydAAAArElEQVQY02NMSU37z4AHMDEQAJQrYPikyPb/Q0v5/6QPn/+f9i3773"
                        "uc/b9CoOj/Wfyd/z8du/WfhYGBgUFERIShTUODwaZwOsO0gIcM5vOUGCrMKhie9NxlYGTQCPivpaXFgAszEvIm3ApcmKAvmP8/EGpYqaXK"
                        "IC3jx8AmJsKw64c3w4eZ1gwNV44x/J+YjLDim4YGwy9dXoajvEEMutwpDHK6XxkKnq9hAAA8nDtkEPSyKQAAAABJRU5ErkJggg==")]
# 4 by 2 pixels: the zoom button's green, P3 magenta, P3 green, sRGB magenta, and a magenta that only
# appears across two pixels (bytes 1 to 3), which must not count.
PIXELS = bytes([40, 200, 64, 234, 51, 247, 117, 251, 76, 0, 0, 0,
                0, 0, 0, 160, 255, 16, 255, 0, 0, 255, 0, 255])

failures = []
for line, error in LINES:
    try:
        e2e.check_present(line, CHROME, WINDOW, PRESS)
        got = None
    except e2e.Failure as e:
        got = str(e)
    if (got is None) != (error is None) or error and error not in got:
        failures.append(f"{line!r}: {got!r}, expected {error!r}")
for line, ok in CLEARED:
    try:
        e2e.check_cleared(line)
        failures += [] if ok else [f"cleared accepted {line!r}"]
    except e2e.Failure:
        failures += [f"cleared refused {line!r}"] if ok else []
for reported, painted, exact, contains in RECTS:
    if (e2e.matches("exact", reported, painted), e2e.matches("contains", reported, painted)) != (exact, contains):
        failures.append(f"rules for {reported} against {painted}")
for bpp, crc, text in PNGS:
    width, height, got_bpp, pixels = e2e.png_pixels(base64.b64decode(text))
    if (width, height, got_bpp, zlib.crc32(pixels)) != (8, 12, bpp, crc):
        failures.append(f"PNG of {bpp} bytes a pixel decoded wrong")
if (e2e.colour_box(4, 3, PIXELS, e2e.MAGENTA), e2e.colour_box(4, 3, PIXELS, e2e.GREEN)) != ((1, 0, 3, 2), (2, 0, 1, 1)):
    failures.append("colour boxes " + repr((e2e.colour_box(4, 3, PIXELS, e2e.MAGENTA), e2e.colour_box(4, 3, PIXELS, e2e.GREEN))))
# The table: the watcher starts first and ends last, lines alternate as the watcher writes them, and
# every selected word is one the output is searched for.
steps = [s for _, case in e2e.CASES for s in case]
expected = [s[2] == "cleared" for s in steps[:-1]]
if steps[0][0] != "start" or steps[-1] != ("close", None, "exit") or expected != [i % 2 == 0 for i in range(len(expected))]:
    failures.append("the case table's steps do not alternate from start to close")
failures += [f"{s[1][1]} is not searched for" for s in steps if s[0] == "double" and s[1][1] not in e2e.page.SELECTED_WORDS]
print("\n".join(failures) or f"browser_e2e rules: {len(LINES) + len(CLEARED) + len(RECTS) + len(PNGS) + 3} checks passed")
sys.exit(1 if failures else 0)
