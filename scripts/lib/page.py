"""The sample page (page.html) as laid out on the screen: where its words are, and where the browser
actually painted a selection (the page paints selections in a colour nothing else uses)."""

import os

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
    "p4": (40, 400, LINE, "tango café naïve zoë"),
    "p5": (40, 460, LINE, "uniform victor whiskey"),  # a click selects "victor" 1.5 s later
}
EMPTY = (800, 450)  # blank page, nowhere near any text
# Words the tests select; none of them may ever appear in the watcher's output.
SELECTED_WORDS = ["bravo", "charlie", "foxtrot", "golf", "kilo", "oscar", "romeo", "naïve", "victor"]


def url():
    return "file://" + PATH


# The big page's layout: where its first paragraph starts, the distance from one paragraph to the
# next (six lines and a margin) and the height of a line.
BIG_TOP, BIG_PARAGRAPH, BIG_LINE = 40, 128, 20


def big_page(folder, size):
    """Writes a page of about `size` bytes of text, in paragraphs that leave the page's right half
    empty; returns its URL."""
    words = "uniform victor whiskey xray yankee zulu echo juliet".split()
    sentence = " ".join(words[i % len(words)] for i in range(14)) + ". "
    paragraph = "<p>" + sentence * 3 + "</p>\n"
    path = os.path.join(folder, f"big-{size}.html")
    with open(path, "w") as f:
        f.write('<!DOCTYPE html><html><head><meta charset="utf-8"><title>sw-big</title><style>'
                "body { margin: 0; font: 16px/20px 'DejaVu Sans Mono', monospace; }"
                "::selection { background: #ff00ff; color: #000; }"
                "#corner { position: absolute; left: 0; top: 0; width: 8px; height: 8px;"
                " background: #00ff00; }"
                "p { margin: 0 0 8px 40px; width: 500px; }</style></head><body>"
                '<div id="corner"></div><div style="height: 40px"></div>\n')
        f.write(paragraph * max(1, size // len(paragraph)))
        f.write("</body></html>\n")
    return "file://" + path


class View:
    def __init__(self, d, timeout=60):
        self.d = d
        # Held still for a second: Chrome's engine shows a bar above the page a moment after it.
        seen = []

        def settled():
            seen.append(d.screenshot().bbox(CORNER))
            return seen[-1] is not None and seen[-5:] == seen[-1:] * 5 and seen[-1]

        box = desktop.wait_for("the page to be painted", settled, timeout=timeout, interval=0.2)
        self.ox, self.oy = box[0], box[1]
        x, _, width, _ = d.geometry(d.active_window())
        self.right = x + width  # the page's right edge, scroll bar included

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

    def still(self, region, timeout=20):
        """Waits until the pixels of `region` hold still between two screenshots."""
        x0, y0, x1, y1 = region
        last = [None]

        def settled():
            image = self.d.screenshot()
            rows = b"".join(image.pixels[(y * image.width + x0) * 3:(y * image.width + x1) * 3]
                            for y in range(y0, y1))
            stable, last[0] = rows == last[0], rows
            return stable

        desktop.wait_for("the page to hold still", settled, timeout=timeout, interval=0.1)

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

    def big_point(self, paragraph):
        """On a big page scrolled to its top: a point in the first line of a paragraph."""
        return self.ox + 100, self.oy + BIG_TOP + paragraph * BIG_PARAGRAPH + BIG_LINE // 2

    def triple_click(self, paragraph):
        """On a big page: a whole paragraph, selected as people do, with three clicks on it."""
        self.d.click(*self.big_point(paragraph), count=3)
        self.last_region = (self.ox, self.oy, self.ox + 700, self.oy + 600)
        return self.painted(self.last_region)

    def click_empty(self):
        self.d.click(self.ox + EMPTY[0], self.oy + EMPTY[1])

    def select_all(self):
        """ctrl+a; the painted selection in the visible part of the page."""
        self.d.key("ctrl+a")
        self.last_region = (self.ox, self.oy, self.ox + 700, self.oy + 600)
        return self.painted(self.last_region, timeout=60)

    def select_paragraphs(self, first, last):
        """On a big page scrolled to its top: a click in the first line of paragraph `last`, then a
        shift+click in the first line of paragraph `first`, which leaves the caret there, at the top
        of the selection. The painted selection."""
        self.d.click(*self.big_point(last))
        self.d.click(*self.big_point(first), modifier="shift")
        self.last_region = (self.ox, self.oy, self.ox + 700, self.oy + 600)
        return self.painted(self.last_region)

    def select_across_pages(self, pages):
        """On a big page: a click in the first paragraph, `pages` pages down, a shift+click there.
        The painted selection in the visible part of the page, which starts far above it."""
        self.d.click(self.ox + 60, self.oy + 50)
        for _ in range(pages):
            self.d.key("Page_Down")
        self.still((self.ox, self.oy, self.ox + 700, self.oy + 600))  # the scrolling has ended
        self.d.click(self.ox + 300, self.oy + 400, modifier="shift")
        self.last_region = (self.ox, self.oy, self.ox + 700, self.oy + 600)
        return self.painted(self.last_region)


def open_page(d, url):
    """Loads `url` in the browser in front, through its address bar; the page's View."""
    d.key("ctrl+l")
    d.xdotool("type", "--delay", "2", url)
    d.key("Return")
    title = "sw-big" if "/big-" in url else "sw-page"
    desktop.wait_for("the page to load", lambda: title in d.run(
        "xdotool", "getactivewindow", "getwindowname", check=False), timeout=60)
    return View(d)
