#!/usr/bin/python3
"""The watcher's resident memory over a long run of switches on a virtual X11 desktop: Firefox ESR
in front with a word selected, xterm in front, Firefox again, the word cleared and selected again,
and so on, one cycle every two seconds or so. Prints the watcher's RSS once a minute, and its
lines and cycles; asserts nothing.

Usage: atspi_soak.py PATH/TO/selection-watcher [minutes, default 10] [firefox|chrome]
"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(l for l in f if l.startswith("VmRSS")).split()[1])


def main(exe, minutes, engine):
    with desktop.Desktop() as d:
        _, xterm = d.start_xterm()
        _, browser = d.start_browser(engine, page.url())
        view = page.View(d)
        watcher = desktop.Watcher(exe, d)
        watcher.event(60)
        started = time.monotonic()
        cycles, figures = 0, []
        words = (("p1", "bravo"), ("p2", "golf"), ("area", "oscar"))
        while len(figures) <= minutes:
            if time.monotonic() - started >= 60 * len(figures):
                figures.append(rss(watcher.proc.pid))
                print(f"minute {len(figures) - 1:2d}: RSS {figures[-1]} kB, {cycles} cycles, "
                      f"{len(watcher.lines.all)} lines", flush=True)
                continue
            view.double_click_word(*words[cycles % len(words)])
            d.activate(xterm)
            d.activate(browser)
            view.click_empty()
            cycles += 1
        status, _ = watcher.close()
        first = figures[1]
        print(f"{engine}: {cycles} cycles in {minutes} min, {len(watcher.lines.all)} lines, "
              f"exit {status}; RSS after the first minute {first} kB, at the end {figures[-1]} kB "
              f"({figures[-1] - first:+d} kB), largest {max(figures[1:]) - first:+d} kB", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*desktop.bench_arguments(__doc__, 10, "firefox")))
