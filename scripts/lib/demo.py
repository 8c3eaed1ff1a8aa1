#!/usr/bin/python3
"""Runs selection-watcher against Firefox on a virtual desktop, makes a few selections, prints the
watcher's lines as they come and saves a screenshot of each reported rectangle.

Usage: demo.py PATH/TO/selection-watcher OUTPUT_DIR
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
import page  # noqa: E402


def main(exe, out):
    os.makedirs(out, exist_ok=True)
    with desktop.Desktop() as d:
        print("starting a virtual desktop with Firefox ...", flush=True)
        _, xterm = d.start_xterm()
        _, firefox = d.start_firefox(page.url())
        view = page.View(d)
        watcher = desktop.Watcher(exe, d)
        shots = []

        def show(timeout=20):
            event = watcher.event(timeout)
            print("  selection-watcher: " + watcher.lines.all[-1][1], end="", flush=True)
            bounds = event.get("bounds")
            if bounds:
                path = os.path.join(out, f"selection-{len(shots) + 1}.png")
                x, y, w, h = bounds["x"], bounds["y"], bounds["width"], bounds["height"]
                raw = os.path.join(d.dir, "shot.ppm")
                d.screenshot(raw)
                subprocess.run(["convert", raw, "-fill", "none", "-stroke", "red", "-strokewidth",
                                "2", "-draw", f"rectangle {x - 2},{y - 2} {x + w + 1},{y + h + 1}",
                                path], check=True)
                shots.append(path)
            return event

        try:
            print("watcher started; its first line tells the initial state:", flush=True)
            show(30)
            steps = [
                ("double-click a word", lambda: view.double_click_word("p1", "bravo")),
                ("click on empty space", view.click_empty),
                ("drag across two paragraphs", lambda: view.drag(("p1", 12), ("p2", 12))),
                ("click on empty space", view.click_empty),
                ("double-click a word in the textarea", lambda: view.double_click_word("area", "oscar")),
                ("switch to xterm", lambda: d.activate(xterm)),
                ("switch back to Firefox", lambda: d.activate(firefox)),
                ("click on empty space", view.click_empty),
            ]
            for label, action in steps:
                print("> " + label, flush=True)
                action()
                show()
            status, _ = watcher.close()
            print(f"standard input closed: the watcher exited with status {status}", flush=True)
        finally:
            watcher.kill()
        print("screenshots with each reported rectangle drawn in red:")
        for path in shots:
            print("  " + path)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
