#!/usr/bin/python3
"""Figures of the Linux backend beside a minimal pyatspi listener, both measured in the same run
on a virtual desktop, with Firefox ESR and then Chrome's engine in front. Prints figures; asserts
nothing.

Usage: atspi_figures.py PATH/TO/selection-watcher [idle seconds, default 30] [firefox|chrome ...]

For each action (a double-clicked word, a click that clears it, switching to xterm and back): the
time from the action to the watcher's line and to the listener's events, and the watcher's AT-SPI
round trips (counted inside it by a preloaded shim, dbus_call_count.c) from the action to its line,
and in all until every look the action brings is over.
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402
from atspi_size_figures import CallCounter  # noqa: E402

RUNS = 10
LOOKS = 1.2  # seconds after an action by which every look it brings is over
BASELINE = ["/usr/bin/python3",
            os.path.join(HERE, "pyatspi_baseline.py")]


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def memory(pid):
    """Resident set and peak, and from smaps_rollup the proportional share of shared pages (PSS)
    and the private pages: RSS counts every shared-library page the process has touched in full."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Pss", "Private_Clean", "Private_Dirty"):
                values[key] = int(rest.split()[0])
    values["Private"] = values.pop("Private_Clean", 0) + values.pop("Private_Dirty", 0)
    return values


class Listener:
    def __init__(self, name, argv, env, ready):
        self.name = name
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.lines = desktop.Lines(self.proc.stdout)
        first = self.lines.next(60)
        self.startup = self.lines.all[0][0] - self.started
        if ready is not None and first.strip() != ready:
            raise RuntimeError(f"{name}: unexpected first line {first!r}")

    def first_after(self, t0, wanted=None):
        """Seconds from t0 to the first line after it, or to the first one in `wanted`."""
        for t, line in list(self.lines.all):
            if t >= t0 and (wanted is None or line.strip() in wanted):
                return t - t0
        return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.terminate()
            self.proc.wait(10)


def quiet(listeners, ms=300, timeout=10):
    """Waits until no listener has written anything for `ms` milliseconds."""
    def settled():
        last = max((l.lines.all[-1][0] for l in listeners if l.lines.all), default=0)
        return time.monotonic() - last > ms / 1000
    desktop.wait_for("the listeners to go quiet", settled, timeout=timeout)


def measure_startup(exe, env, runs=5):
    times = {"selection-watcher": [], "pyatspi": []}
    for _ in range(runs):
        for name, argv, ready in (("selection-watcher", [exe], None),
                                  ("pyatspi", BASELINE, "ready")):
            listener = Listener(name, argv, env, ready)
            times[name].append(listener.startup)
            listener.stop()
    return times


def summary(values):
    ms = sorted(v * 1000 for v in values if v is not None)
    if not ms:
        return "no data"
    return f"{ms[0]:7.1f} {statistics.median(ms):7.1f} {ms[-1]:7.1f}   (n={len(ms)})"


def measure(engine, exe, idle_seconds):
    with desktop.Desktop() as d:
        _, xterm = d.start_xterm()
        _, browser = d.start_browser(engine, page.url())
        view = page.View(d)
        counter = CallCounter(d.dir)
        watcher = Listener("selection-watcher", [exe], dict(d.env, **counter.env), None)
        baseline = Listener("pyatspi", BASELINE, d.env, "ready")
        both = [watcher, baseline]
        quiet(both)

        x, y = view.word_point("p1", "bravo")
        ex, ey = view.ox + page.EMPTY[0], view.oy + page.EMPTY[1]
        actions = {
            # The selection appears on the second press of a double click, which comes soon enough
            # after the first for the two to make one.
            "select a word (double click)": (lambda: (d.click(x, y), time.sleep(0.15)), d.click),
            "clear it (click empty space)": (lambda: (d.move_mouse(ex, ey), quiet(both)), d.click),
            "switch to xterm (selection shown)": (None, lambda: d.activate(xterm)),
            "switch back to the browser": (None, lambda: d.activate(browser)),
        }
        # The baseline prints every event; the watcher can only speak once the browser has told of
        # the change itself. So beside the baseline's first event of any kind stands its first
        # event of the kind that carries the change.
        carries = {
            "select a word (double click)": {"object:text-selection-changed"},
            "clear it (click empty space)": {"object:text-selection-changed",
                                             "object:text-caret-moved"},
            "switch to xterm (selection shown)": {"window:deactivate"},
            "switch back to the browser": {"window:activate"},
        }
        rows = ("selection-watcher", "pyatspi, any event", "pyatspi, the event that carries it",
                "watcher after that event", "round trips before the line", "round trips in all")
        latency = {label: {row: [] for row in rows} for label in actions}

        def run(label, act):
            per = latency[label]
            first = counter.count()
            count = len(watcher.lines.all)
            t0 = time.monotonic()
            act()
            desktop.wait_for("the watcher's line", lambda: len(watcher.lines.all) > count)
            time.sleep(max(0.0, t0 + LOOKS - time.monotonic()))
            quiet(both)
            line = watcher.lines.all[count][0]
            times = counter.times(first)
            per[rows[0]].append(line - t0)
            per[rows[1]].append(baseline.first_after(t0))
            per[rows[2]].append(baseline.first_after(t0, carries[label]))
            carried = per[rows[2]][-1]
            per[rows[3]].append(None if carried is None else line - t0 - carried)
            per[rows[4]].append(sum(t0 <= t < line for t in times))
            per[rows[5]].append(len(times))

        labels = list(actions)
        for _ in range(RUNS):
            for label in labels[:2]:
                prepare, act = actions[label]
                prepare()
                run(label, act)
        # Switching to a window that is not accessible, and back (the selection is kept).
        view.double_click_word("p2", "golf")
        quiet(both)
        for _ in range(RUNS):
            for label in labels[2:]:
                run(label, actions[label][1])
        view.click_empty()
        quiet(both)

        before = {l.name: cpu_ticks(l.proc.pid) for l in both}
        time.sleep(idle_seconds)  # the measurement itself: idle time with the browser in front
        idle = {l.name: cpu_ticks(l.proc.pid) - before[l.name] for l in both}
        mem = {l.name: memory(l.proc.pid) for l in both}
        for l in both:
            l.stop()
        startup = measure_startup(exe, d.env)
    return latency, idle, mem, startup


def counts(values):
    return f"{min(values):7d} {statistics.median(values):7.0f} {max(values):7d}   (n={len(values)})"


def main(exe, idle_seconds, engines):
    hz = os.sysconf("SC_CLK_TCK")
    for engine in engines:
        latency, idle, mem, startup = measure(engine, exe, idle_seconds)
        print(f"\n{engine}: from the xdotool action to the first line, ms, and round trips: "
              f"min median max ({RUNS} runs)")
        for label, per in latency.items():
            print(f"  {label}")
            for name, values in per.items():
                print(f"    {name:36s} {counts(values) if 'round' in name else summary(values)}")
        print(f"  idle CPU over {idle_seconds} s with the browser in front (clock ticks of 1/{hz} s)")
        for name, ticks in idle.items():
            print(f"    {name:18s} {ticks} ticks = {100 * ticks / hz / idle_seconds:.2f} % of one core")
        print("  memory after the run, kB")
        for name, m in mem.items():
            print(f"    {name:18s} RSS {m.get('VmRSS')}  peak {m.get('VmHWM')}  PSS {m.get('Pss')}"
                  f"  private {m.get('Private')}")
        print("  start-up to the first line (watcher: first event; pyatspi: listening), ms: "
              "min median max")
        for name, values in startup.items():
            print(f"    {name:18s} {summary(values)}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    numbers = [int(a) for a in sys.argv[2:] if a.isdigit()]
    sys.exit(main(os.path.abspath(sys.argv[1]), numbers[0] if numbers else 30,
                  [a for a in sys.argv[2:] if not a.isdigit()] or ["firefox", "chrome"]))
