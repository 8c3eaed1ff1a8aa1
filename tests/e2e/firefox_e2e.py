#!/usr/bin/python3
"""The real selection-watcher against real Firefox ESR on a virtual X11 desktop.

Usage: firefox_e2e.py PATH/TO/selection-watcher

Every expectation is checked against the watcher's standard output; every rectangle against where
the selection is painted on the screen (the test page paints selections in a colour of its own).
Missing packages fail the run; nothing is skipped.
"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402

TOLERANCE = 2  # pixels between the reported rectangle and the painted one
FIREFOX = "org.mozilla.firefox"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Watcher:
    def __init__(self, exe, d):
        self.stderr_path = os.path.join(d.dir, "watcher.stderr")
        self.proc = subprocess.Popen([exe], env=d.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=open(self.stderr_path, "wb"))
        self.lines = desktop.Lines(self.proc.stdout)

    def event(self, timeout=20):
        line = self.lines.next(timeout)
        check(line.endswith("\n") and "\r" not in line, f"badly framed line {line!r}")
        return json.loads(line)

    def close(self, timeout=15):
        self.proc.stdin.close()
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the watcher did not exit when its input closed")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


class Run:
    def __init__(self, exe):
        self.exe = exe
        self.steps = 0

    def step(self, name):
        self.steps += 1
        print(f"-- {self.steps}. {name}", flush=True)

    def expect_present(self, w, painted):
        event = w.event()
        check(event.get("selection") is True, f"expected a present selection, got {event}")
        check(event.get("app") == FIREFOX, f"expected app {FIREFOX}, got {event}")
        check("bounds" in event, f"no bounds in {event}")
        b = event["bounds"]
        reported = (b["x"], b["y"], b["width"], b["height"])
        check(set(event) == {"selection", "app", "bounds"}, f"unexpected members in {event}")
        check(all(abs(r - p) <= TOLERANCE for r, p in zip(reported, painted)),
              f"reported bounds {reported}, painted {painted}")
        print(f"   present, bounds {reported}, painted {painted}", flush=True)
        return event

    def expect_cleared(self, w):
        event = w.event()
        check(event == {"selection": False}, f"expected a cleared selection, got {event}")
        print("   cleared", flush=True)


def run(exe):
    r = Run(exe)
    d = desktop.Desktop()
    watcher = None
    try:
        d.start(accessibility=False)

        r.step("without accessibility: the permission error, status 2")
        p = subprocess.run([exe], env=d.env, input=b"", capture_output=True, timeout=60)
        check(p.stdout == b'{"error":"ax_permission_denied"}\n',
              f"stdout {p.stdout!r}, stderr {p.stderr!r}")
        check(p.returncode == 2, f"exit status {p.returncode}")

        d.set_accessibility(True)
        xterm_pid, xterm = d.start_xterm()
        firefox_pid, firefox = d.start_firefox(page.url())
        view = page.View(d)

        r.step("first line with Firefox in front and nothing selected")
        watcher = Watcher(exe, d)
        event = watcher.event(timeout=30)
        check(event == {"selection": False}, f"first line {event}")

        r.step("the first selection after Firefox starts: a word, exact bounds")
        painted = view.double_click_word("p1", "bravo")
        r.expect_present(watcher, painted)

        r.step("extending it with shift+Right gives no line")
        view.extend_right(3, wider_than=painted)
        view.click_empty()
        r.expect_cleared(watcher)  # the very next line: nothing came in between

        # Each selection is reported, and cleared again by a click on empty space.
        for name, select in (
                ("a selection across two paragraphs", lambda: view.drag(("p1", 12), ("p2", 12))),
                ("a selection ending just before a link", lambda: view.drag(("p3", 0), ("p3", 5))),
                ("a word in a textarea", lambda: view.double_click_word("area", "oscar")),
                ("a word in an input", lambda: view.double_click_word("field", "romeo"))):
            r.step(name)
            r.expect_present(watcher, select())
            view.click_empty()
            r.expect_cleared(watcher)

        r.step("switching to xterm clears, switching back reports the selection again")
        painted = view.double_click_word("p2", "golf")
        r.expect_present(watcher, painted)
        d.activate(xterm)
        r.expect_cleared(watcher)
        d.activate(firefox)
        r.expect_present(watcher, painted)
        view.click_empty()
        r.expect_cleared(watcher)

        r.step("closing standard input ends the watcher with status 0")
        status = watcher.close()
        check(status == 0, f"exit status {status}")

        r.step("no selected text in any output")
        output = "".join(line for _, line in watcher.lines.all) + watcher.stderr()
        for word in page.SELECTED_WORDS:
            check(word not in output, f"selected text {word!r} leaked into the output")
        check(watcher.stderr() == "", f"unexpected diagnostics: {watcher.stderr()!r}")
        watcher = None
        print("e2e: all passed", flush=True)
        return 0
    except (Failure, desktop.DesktopError, subprocess.TimeoutExpired, json.JSONDecodeError) as e:
        print(f"e2e FAILED at step {r.steps}: {e}", file=sys.stderr, flush=True)
        if watcher is not None:
            print("watcher lines: " + "".join(l for _, l in watcher.lines.all), file=sys.stderr)
            print("watcher stderr: " + watcher.stderr(), file=sys.stderr)
        for name in ("firefox", "xvfb", "a11y-bus", "openbox"):
            path = os.path.join(d.dir, name + ".log")
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    tail = f.read()[-2000:]
                if tail.strip():
                    print(f"--- {name}.log (tail)\n{tail}", file=sys.stderr)
        return 1
    finally:
        if watcher is not None and watcher.proc.poll() is None:
            watcher.proc.kill()
            watcher.proc.wait()
        d.stop()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    started = time.monotonic()
    status = run(os.path.abspath(sys.argv[1]))
    print(f"e2e took {time.monotonic() - started:.1f} s", flush=True)
    sys.exit(status)
