"""The sample page (page.html) as laid out on the screen: where its words are, and where the browser
actually painted a selection (the page paints selections in a colour nothing else uses)."""

import os
import time

import desktop

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page.html")
SELECTION = (255, 0, 255)   # ::selection background
CORNER = (0, 255, 0)        # marks the top left corner of the page
CHAR = 24 * 1233 / 2048     # advance of DejaVu Sans Mono at 24px
LINE = 36

# Text origin (left, top) and height of each element, relative to the page corner, and its text.
ELEMENTS = {
    "p1": (40, 40, LINE, "alpha bravo charlie delta"),
    "p2": (40, 100, LINE, "foxtrot golf hotel india"),
    "p3": (40, 160, LINE, "kilo lima mike"),
    "area": (45, 231, 80, "november oscar papa"),
    "field": (45, 341, LINE, "quebec romeo sierra"),
}
EMPTY = (800, 450)  # blank page, nowhere near any text
# Words the tests select; none of them may ever appear in the watcher's output.
SELECTED_WORDS = ["bravo", "charlie", "foxtrot", "golf", "kilo", "oscar", "romeo"]


def url():
    return "file://" + PATH


class View:
    def __init__(self, d, timeout=60):
        self.d = d
        box = desktop.wait_for("the page to be painted",
                               lambda: d.screenshot().bbox(CORNER), timeout=timeout, interval=0.2)
        self.ox, self.oy = box[0], box[1]

    def point(self, element, index, line_offset=0.5):
        left, top, _, text = ELEMENTS[element]
        return self.ox + left + index * CHAR, self.oy + top + LINE * line_offset

    def word_point(self, element, word):
        index = ELEMENTS[element][3].index(word)
        return self.point(element, index + len(word) / 2)

    def region(self, *elements):
        tops = [ELEMENTS[e][1] for e in elements]
        bottoms = [ELEMENTS[e][1] + ELEMENTS[e][2] for e in elements]
        return (self.ox, self.oy + min(tops) - 4, self.ox + 900, self.oy + max(bottoms) + 4)

    def painted(self, region, condition=lambda box: True, timeout=10):
        """The selection's painted box once it holds still on the screen (and meets `condition`)."""
        last = [None]

        def settled():
            box = self.d.screenshot().bbox(SELECTION, region)
            stable = box is not None and box == last[0] and condition(box)
            last[0] = box
            return box if stable else None

        return desktop.wait_for("the selection to be painted", settled, timeout=timeout)

    def double_click_word(self, element, word):
        self.d.click(*self.word_point(element, word), count=2)
        self.last_region = self.region(element)
        return self.painted(self.last_region)

    def drag(self, start, end):
        (e0, i0), (e1, i1) = start, end
        x0, y0 = self.point(e0, i0)
        x1, y1 = self.point(e1, i1)
        self.d.move_mouse(x0, y0)
        self.d.xdotool("mousedown", 1)
        self.d.move_mouse(x1, y1)
        self.d.xdotool("mouseup", 1)
        self.last_region = self.region(e0, e1)
        return self.painted(self.last_region)

    def extend_right(self, count, wider_than):
        for _ in range(count):
            self.d.key("shift+Right")
        return self.painted(self.last_region, lambda box: box[2] > wider_than[2])

    def click_empty(self):
        self.d.click(self.ox + EMPTY[0], self.oy + EMPTY[1])
