#!/usr/bin/python3
"""What selecting a whole page costs the watcher, by page size, in Firefox ESR and in Chrome's
engine, beside a plain pyatspi read of the same selection. Prints figures; asserts nothing.

Usage: atspi_size_figures.py PATH/TO/selection-watcher [firefox|chrome ...]

For each page (about 10 KB, 100 KB, 1 MB and 5 MB of text) and each of 3 tries: ctrl+a, then the
time from the key press to the watcher's line and to the browser's own announcement of the change
(as a minimal pyatspi listener sees it), and the watcher's CPU time and AT-SPI calls (counted
inside the watcher by a preloaded shim) until it is idle again: every evaluation that the key press
brought, the browser's announcement and the four looks after the key release together. Then, with the
selection still there (once per page), how long a plain pyatspi client takes to read its text. Last, on the largest page,
how long the watcher takes to exit when its standard input closes at moments up to 3 s after ctrl+a,
while the browser is still working the selection out.
"""

import os
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402

SIZES = [10_000, 100_000, 1_000_000, 5_000_000]
TRIES = 3
EXIT_DELAYS = [0.05, 0.5, 1.0, 1.2, 1.5, 2.0, 3.0]
READER = os.path.join(HERE, "pyatspi_read.py")
BASELINE = os.path.join(HERE, "pyatspi_baseline.py")


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


def wait_for_line(watcher, selection, timeout):
    """The watcher's next line that says `selection`, or None after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            event = watcher.event(max(0.1, deadline - time.monotonic()))
        except desktop.DesktopError:
            return None
        if event.get("selection") is selection:
            return event
    return None


class CallCounter:
    """The watcher's AT-SPI calls, counted by a preloaded shim (dbus_call_count.c), which also
    keeps when each of the last TIMES calls was made."""

    TIMES = 4096

    def __init__(self, folder):
        self.path = os.path.join(folder, "calls")
        with open(self.path, "wb") as f:
            f.write(bytes(8 * (1 + self.TIMES)))
        library = os.path.join(folder, "libcallcount.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library,
                        os.path.join(HERE, "dbus_call_count.c"),
                        *subprocess.run(["pkg-config", "--cflags", "dbus-1"], capture_output=True,
                                        text=True, check=True).stdout.split(), "-ldl"], check=True)
        self.env = {"LD_PRELOAD": library, "SW_CALL_COUNT": self.path}
        if "SW_CALL_LOG" in os.environ:
            self.env["SW_CALL_LOG"] = os.environ["SW_CALL_LOG"]
        self.last = 0

    def _read(self):
        with open(self.path, "rb") as f:
            data = f.read()
        return struct.unpack(f"={1 + self.TIMES}Q", data[:8 * (1 + self.TIMES)])

    def count(self):
        return self._read()[0]

    def take(self):
        """Calls since the last take."""
        now = self.count()
        taken, self.last = now - self.last, now
        return taken

    def times(self, first):
        """When each call from the `first` on was made, in seconds of time.monotonic()."""
        values = self._read()
        return [values[1 + n % self.TIMES] / 1e9 for n in range(max(first, values[0] - self.TIMES),
                                                                 values[0])]


def measure(engine, exe):
    rows = []
    with desktop.Desktop() as d:
        urls = {size: page.big_page(d.dir, size) for size in SIZES}
        browser, _ = d.start_browser(engine, page.url())
        page.View(d)
        counter = CallCounter(d.dir)
        watcher = desktop.Watcher(exe, d, counter.env)
        watcher.event(30)
        # When the browser itself announces the selection, to a listener that does nothing else.
        listener = d.spawn("pyatspi", ["/usr/bin/python3", BASELINE], stdout=subprocess.PIPE)
        events = desktop.Lines(listener.stdout)
        events.next(60)
        selected = False
        for size in SIZES:
            # A browser of its own for each page, started on it: nothing else has the focus.
            d.kill_browser(browser)
            if selected:
                wait_for_line(watcher, False, 60)
            selected = False
            browser, _ = d.start_browser(engine, urls[size])
            view = page.View(d)
            time.sleep(3)  # loaded, laid out, and the engine's tree built
            latencies, announced, cpus, reads, calls = [], [], [], [], []
            for _ in range(TRIES):
                view.click_empty()
                if selected:
                    wait_for_line(watcher, False, 60)
                selected = False
                idle(watcher.proc.pid)
                time.sleep(0.3)
                counter.take()
                before = cpu_seconds(watcher.proc.pid)
                t0 = time.monotonic()
                d.key("ctrl+a")
                event = wait_for_line(watcher, True, 120) or {}
                selected = bool(event)
                latencies.append(time.monotonic() - t0 if selected else None)
                announced.append(next((t - t0 for t, line in list(events.all) if t >= t0
                                       and line.startswith("object:text-selection-changed")), None))
                idle(watcher.proc.pid)
                cpus.append(cpu_seconds(watcher.proc.pid) - before)
                time.sleep(0.3)
                calls.append(counter.take())
                bounds = event.get("bounds")
            r = subprocess.run(["/usr/bin/python3", READER], env=d.env, capture_output=True,
                               text=True, timeout=600)
            reads.append(float(r.stdout.split()[0]) if r.returncode == 0 else None)
            rows.append((size, latencies, announced, cpus, reads, calls, bounds))
            print(f"{engine} {size}: {rows[-1]}", file=sys.stderr, flush=True)
        # The exit while the browser works out the largest selection: a watcher of its own for
        # each moment at which standard input closes after ctrl+a.
        watcher.close(30)
        exits = []
        for delay in EXIT_DELAYS:
            view.click_empty()
            time.sleep(1)
            watcher = desktop.Watcher(exe, d)
            watcher.event(30)
            idle(watcher.proc.pid)
            d.key("ctrl+a")
            time.sleep(delay)
            _, seconds = watcher.close(30)
            exits.append(seconds)
            time.sleep(8)  # the browser done with it
    return rows, exits


def ms(values):
    values = [v * 1000 for v in values if v is not None]
    return f"{statistics.median(values):8.0f}" if values else "    none"


def main(exe, engines):
    for engine in engines:
        rows, exits = measure(engine, exe)
        print(f"\n{engine}: ctrl+a on a page of N bytes of text, median of {TRIES} tries, ms")
        print("      page   to line   browser's event   watcher CPU   AT-SPI calls   plain read   bounds")
        for size, latencies, announced, cpus, reads, calls, bounds in rows:
            print(f"  {size:>8}  {ms(latencies)}   {ms(announced):>15}   {ms(cpus):>11}"
                  f"   {max(calls):>12}   {ms(reads):>10}   {bounds}")
        print("  standard input closed N s after ctrl+a on the largest page: exit after, ms")
        print("  " + "   ".join(f"{delay:.2f} s: {seconds * 1000:.0f}"
                                for delay, seconds in zip(EXIT_DELAYS, exits)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2:] or ["firefox", "chrome"]))
