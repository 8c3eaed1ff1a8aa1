#!/usr/bin/python3
"""What selecting a whole page costs the watcher, by page size, in Firefox ESR and in Chrome's
engine, beside a plain pyatspi read of the same selection. Prints figures; asserts nothing.

Usage: atspi_size_figures.py PATH/TO/selection-watcher [firefox|chrome ...]

For each page (about 10 KB, 100 KB, 1 MB and 5 MB of text) and each of 3 tries: ctrl+a, then the
time from the key press to the watcher's line, and the watcher's CPU time until it is idle again
(every evaluation that the key press brought, key releases included). Then, with the selection
still there, how long a plain pyatspi client takes to read its text. Last, on the largest page,
how long the watcher takes to exit when its standard input closes right after ctrl+a.
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

SIZES = [10_000, 100_000, 1_000_000, 5_000_000]
TRIES = 3
READER = os.path.join(HERE, "pyatspi_read.py")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle(pid, quiet=0.6, timeout=120):
    """Waits until the process has used no CPU for `quiet` seconds."""
    last = [cpu_seconds(pid), time.monotonic()]

    def settled():
        now = cpu_seconds(pid)
        if now != last[0]:
            last[:] = [now, time.monotonic()]
        return time.monotonic() - last[1] >= quiet

    desktop.wait_for("the watcher to go idle", settled, timeout=timeout, interval=0.1)


def clear(view, watcher):
    view.click_empty()
    try:
        watcher.event(3)
    except desktop.DesktopError:
        pass  # nothing was selected


def measure(engine, exe):
    rows = []
    with desktop.Desktop() as d:
        urls = {size: page.big_page(d.dir, size) for size in SIZES}
        d.start_browser(engine, page.url())
        page.View(d)
        watcher = desktop.Watcher(exe, d)
        watcher.event(30)
        for size in SIZES:
            view = page.open_page(d, urls[size])
            time.sleep(3)  # loaded, laid out, and the engine's tree built
            latencies, cpus, reads = [], [], []
            for _ in range(TRIES):
                clear(view, watcher)
                idle(watcher.proc.pid)
                while not watcher.lines.queue.empty():
                    watcher.lines.queue.get()
                before = cpu_seconds(watcher.proc.pid)
                t0 = time.monotonic()
                d.key("ctrl+a")
                event = watcher.event(180)
                latencies.append(time.monotonic() - t0 if event.get("selection") else None)
                idle(watcher.proc.pid)
                cpus.append(cpu_seconds(watcher.proc.pid) - before)
                r = subprocess.run(["/usr/bin/python3", READER], env=d.env, capture_output=True,
                                   text=True, timeout=600)
                reads.append(float(r.stdout.split()[0]) if r.returncode == 0 else None)
                bounds = event.get("bounds")
            rows.append((size, latencies, cpus, reads, bounds))
        # The exit while the largest selection is being evaluated.
        clear(view, watcher)
        idle(watcher.proc.pid)
        d.key("ctrl+a")
        time.sleep(0.05)
        status, exit_seconds = watcher.close(30)
    return rows, exit_seconds


def ms(values):
    values = [v * 1000 for v in values if v is not None]
    return f"{statistics.median(values):8.0f}" if values else "    none"


def main(exe, engines):
    for engine in engines:
        rows, exit_seconds = measure(engine, exe)
        print(f"\n{engine}: ctrl+a on a page of N bytes of text, median of {TRIES} tries, ms")
        print("      page   key press to line   watcher CPU   pyatspi plain read   bounds")
        for size, latencies, cpus, reads, bounds in rows:
            print(f"  {size:>8}   {ms(latencies):>17}   {ms(cpus):>11}   {ms(reads):>18}   {bounds}")
        print(f"  standard input closed 50 ms after ctrl+a on the largest page: exit after "
              f"{exit_seconds * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2:] or ["firefox", "chrome"]))
