#!/usr/bin/python3
"""Figures of the watcher on the Wayland desktop, with each engine as a native Wayland client:
its wake-ups and CPU while idle with nothing selected and with a selection standing, and how long
a click that clears a selected large page takes to be reported. Prints figures; asserts nothing.
As root it runs itself as the unprivileged user the compositor needs.

Usage: wayland_figures.py PATH/TO/selection-watcher [idle seconds, default 10]
"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402
import wayland  # noqa: E402


def counters(pid):
    """(voluntary context switches, CPU clock ticks) of a process so far."""
    with open(f"/proc/{pid}/status") as f:
        switches = int(next(l for l in f if l.startswith("voluntary_ctxt_switches")).split()[1])
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return switches, int(fields[11]) + int(fields[12])


def idle(pid, seconds):
    time.sleep(1)  # what the last action started has settled
    before = counters(pid)
    time.sleep(seconds)
    after = counters(pid)
    return after[0] - before[0], after[1] - before[1]


def measure(engine, exe, seconds):
    with wayland.Desktop() as d:
        d.start_browser(engine, page.big_page(d.dir, 1 << 20))
        view = page.View(d)
        time.sleep(3)  # the page measured, and in Chrome's engine its tree built
        watcher = desktop.Watcher(exe, d)
        watcher.event(30)
        figures = {"nothing selected": idle(watcher.proc.pid, seconds)}
        view.select_all()
        watcher.event(30)
        figures["a selection standing"] = idle(watcher.proc.pid, seconds)
        started = time.monotonic()
        view.click_empty()
        watcher.event(30)
        cleared = time.monotonic() - started
        watcher.close()
    hz = os.sysconf("SC_CLK_TCK")
    print(f"\n{engine}, native Wayland client, large page, idle over {seconds} s:")
    for name, (switches, ticks) in figures.items():
        print(f"    {name:22s} {switches:4d} wake-ups (voluntary context switches), "
              f"{ticks} CPU ticks of 1/{hz} s")
    print(f"    click clearing a select-all to the cleared line: {1000 * cleared:.0f} ms", flush=True)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    exe, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2]) if len(sys.argv) == 3 else 10.0
    status = wayland.as_user(["/usr/bin/python3", os.path.abspath(__file__), exe, str(seconds)],
                             {os.path.abspath(__file__): "bench/wayland_figures.py",
                              exe: "selection-watcher",
                              os.path.join(HERE, "..", "scripts", "lib"): "scripts/lib"})
    if status is None:
        for engine in ("firefox", "chrome"):
            measure(engine, exe, seconds)
        status = 0
    sys.exit(status)
