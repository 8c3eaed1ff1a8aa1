#!/usr/bin/python3
"""The real selection-watcher against a real browser on a virtual desktop: Firefox ESR, or
Chrome's engine started as users start it (without any accessibility flag), on X11, or on Wayland
as a native Wayland client, under Xwayland, or as a Snap runs (a runtime folder of its own with a
link to the display, and an X connection held beside it). The same cases run on every desktop.

Usage: browser_e2e.py firefox|chrome PATH/TO/selection-watcher [x11|wayland|xwayland|snap]

Every expectation is checked against the watcher's standard output; every rectangle against where
the selection is painted on the screen (the test pages paint selections in a colour of their own).
Missing packages fail the run; nothing is skipped.
"""

import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402
import wayland  # noqa: E402

DESKTOPS = {"x11": desktop.Desktop, "wayland": wayland.Desktop,
            "xwayland": lambda: wayland.Desktop(xwayland=True),
            "snap": lambda: wayland.Desktop(linked_runtime=True)}

TOLERANCE = 2  # pixels between the reported rectangle and the painted one
# Preloaded into the watcher, it logs each D-Bus call it makes: when it measures a rectangle.
CALL_LOG = os.path.join(HERE, "..", "..", "bench", "dbus_call_count.c")
MEASURING = re.compile(r"\.Get(Range|Character)?Extents ")


def call_log(folder):
    """The watcher's environment for the preloaded call log, and the log's path."""
    library, log, counts = (os.path.join(folder, n) for n in ("calls.so", "calls.log", "calls"))
    flags = desktop.subprocess.run(["pkg-config", "--cflags", "dbus-1"], capture_output=True,
                                   text=True, check=True).stdout.split()
    desktop.subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library, CALL_LOG, *flags, "-ldl"],
                           check=True)
    with open(counts, "wb") as f:
        f.write(bytes(8 * 4097))
    open(log, "w").close()
    return {"LD_PRELOAD": library, "SW_CALL_COUNT": counts, "SW_CALL_LOG": log}, log


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def matches(engine, reported, painted):
    """Firefox paints the text's own box. Chrome paints the whole line box, and past a line's end
    the width of one character; only left and right edges can be compared, the rest must lie inside."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    if engine == "firefox":
        return all(abs(r - p) <= TOLERANCE for r, p in zip(reported, painted))
    return (abs(x - px) <= TOLERANCE and -TOLERANCE <= px + pw - x - w <= page.CHAR + TOLERANCE
            and y >= py - TOLERANCE and y + h <= py + ph + TOLERANCE)


def contains(reported, painted):
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    return (x <= px + TOLERANCE and y <= py + TOLERANCE and x + w >= px + pw - TOLERANCE
            and y + h >= py + ph - TOLERANCE)


def covers(reported, painted, view, top=True, bottom=True):
    """Takes in what is painted, and no further than the page's left and right edges and (where the
    painted selection's first or last line is visible) than one line beyond it: a long selection's
    rectangle must not take in text around it."""
    (x, y, w, h), (px, py, pw, ph) = reported, painted
    reach = page.BIG_LINE + TOLERANCE
    return (contains(reported, painted) and x >= view.ox - TOLERANCE and x + w <= view.right + TOLERANCE
            and (not top or y >= py - reach) and (not bottom or y + h <= py + ph + reach))


def run(engine, exe, kind):
    steps = []
    bundle = desktop.BUNDLES[engine]
    # A native Wayland client answers where its text lies relative to its window, which is no
    # place on the screen: its present lines carry no rectangle. So does one started as a Snap,
    # which reaches the display through a link and holds an X connection beside it.
    bounded = kind not in ("wayland", "snap")

    def step(name):
        steps.append(name)
        print(f"-- {len(steps)}. {name}", flush=True)

    def expect_present(painted, rule=lambda r, p: matches(engine, r, p)):
        event = watcher.event(30)
        members = {"selection", "app", "bounds"} if bounded else {"selection", "app"}
        check(set(event) == members and event["selection"] is True
              and event["app"] == bundle, f"expected a present selection in {bundle}, got {event}")
        reported = tuple(event["bounds"][k] for k in ("x", "y", "width", "height")) if bounded else None
        check(not bounded or rule(reported, painted), f"reported bounds {reported}, painted {painted}")

    def expect_cleared(timeout=20):
        event = watcher.event(timeout)
        check(event == {"selection": False}, f"expected a cleared selection, got {event}")

    def expect_quiet(seconds=1.5):
        """No line for longer than the watcher keeps looking after a click or key."""
        try:
            raise Failure(f"expected no line, got {watcher.event(seconds)}")
        except desktop.DesktopError:
            pass

    def click_clears():
        view.click_empty()
        expect_cleared()

    d = DESKTOPS[kind]()
    watcher = None
    try:
        d.start(accessibility=False)

        step("without accessibility: the permission error, status 2")
        p = desktop.subprocess.run([exe], env=d.env, input=b"", capture_output=True, timeout=60)
        check(p.stdout == b'{"error":"ax_permission_denied"}\n' and p.returncode == 2,
              f"stdout {p.stdout!r}, stderr {p.stderr!r}, status {p.returncode}")

        # On before the browser starts: otherwise it never joins the accessibility bus.
        d.set_accessibility(True)
        _, xterm = d.start_xterm()
        browser_pid, browser = d.start_browser(engine, page.url())
        view = page.View(d)

        step("first line with the browser in front and nothing selected")
        # libatspi itself leaks a few bytes when an application joins the bus during one of its
        # calls; telling that apart takes whole stacks through GLib, which has no frame pointers.
        suppressions = os.path.join(d.dir, "lsan.supp")
        with open(suppressions, "w") as f:
            f.write("leak:dbind_send_and_allow_reentry\n")
        # The sanitizers' runtime need not come first: the call log only wraps libdbus.
        options = {"ASAN_OPTIONS": "fast_unwind_on_malloc=0:verify_asan_link_order=0",
                   "LSAN_OPTIONS": "print_suppressions=0:suppressions=" + suppressions}
        calls_env, calls = call_log(d.dir)
        watcher = desktop.Watcher(exe, d, dict({k: ":".join(filter(None, [d.env.get(k), v]))
                                                for k, v in options.items()}, **calls_env))
        event = watcher.event(timeout=30)
        check(event == {"selection": False}, f"first line {event}")

        step("the first selection after the browser starts: a word, exact bounds")
        painted = view.double_click_word("p1", "bravo")
        expect_present(painted)

        step("extending it with shift+Right gives no line")
        view.extend_right(3, wider_than=painted)
        click_clears()  # the very next line: nothing came in between

        # Each selection is reported, and cleared again by a click on empty space.
        for name, select in (
                ("a selection across two paragraphs", lambda: view.drag(("p1", 12), ("p2", 12))),
                ("a selection ending inside a link", lambda: view.drag(("p3", 0), ("p3", 7))),
                ("a word in a textarea", lambda: view.double_click_word("area", "oscar")),
                ("a word in an input", lambda: view.double_click_word("field", "romeo")),
                ("a word that is not ASCII", lambda: view.double_click_word("p4", "naïve"))):
            step(name)
            expect_present(select())
            click_clears()

        def input_heard():
            """The watcher's match rules for buttons and text events, and whether it wakes up
            when Shift is pressed and released with AltGr (Mod5) held, keys that change nothing in
            the page, where key releases reach it: from the X server, never the registry, whose
            keystroke listeners hold the user's keys until they answer."""
            rules, keys = d.listeners_of(watcher.proc.pid)
            check(keys == 0, f"the watcher holds {keys} keystroke listeners")
            woke = None
            if kind in ("x11", "xwayland"):
                time.sleep(1.5)  # past the looks of the last change
                before = desktop.wakeups(watcher.proc.pid)
                d.key("ISO_Level3_Shift+shift")
                time.sleep(0.5)
                woke = desktop.wakeups(watcher.proc.pid) > before
            return woke, sorted(r for r in rules if re.search(r"member='(Button|Text\w+)'", r))

        step("switching to xterm clears, switching back reports the selection again; "
             "keys, buttons and text events are heard only while the browser is in front")
        painted = view.double_click_word("p2", "golf")
        expect_present(painted)
        heard = input_heard()
        text = [r for r in heard[1] if "member='Text" in r]
        check(heard[0] is not False and len(text) == 2 and all("sender=" in r for r in text)
              and len(heard[1]) == 3, f"in front, the watcher hears {heard}")
        d.activate(xterm)
        expect_cleared()
        quiet = (None if heard[0] is None else False, [])
        desktop.wait_for("the watcher to stop listening to input",
                         lambda: input_heard() == quiet, timeout=20)
        d.activate(browser)
        expect_present(painted)
        check(input_heard() == heard, f"back in front, the watcher hears {input_heard()}")

        step("the browser killed: cleared, the watcher keeps running and forgets its bus name")
        # libatspi's own rule for every name's departure is the one the watcher follows.
        departures = [r for r in d.listeners_of(watcher.proc.pid)[0] if "NameOwnerChanged" in r]
        check(departures and not any("arg0=" in r for r in departures),
              f"the watcher's departure rules: {departures}")
        d.kill_browser(browser_pid)
        expect_cleared(timeout=5)
        check(watcher.proc.poll() is None, "the watcher ended with the browser")

        step("the browser started again on a large page: ctrl+a, then a click long after the key")
        d.start_browser(engine, page.big_page(d.dir, 1 << 20))
        view = page.View(d)
        time.sleep(3)  # the page measured, and in Chrome's engine its tree built
        # Each stays selected, no line for longer than the watcher keeps looking after the key or
        # click (so only the click that follows can tell), until that click clears it.
        for name, select, rule in (
                (None, view.select_all, lambda r, p: covers(r, p, view, top=False, bottom=False)),
                # Chrome's engine leaves the caret at the start of the next paragraph. Reported from
                # the double click on the way, or from the third click: inside the paragraph.
                ("a paragraph selected by a triple click stays selected until a click clears it",
                 lambda: view.triple_click(1), lambda r, p: contains(p, r)),
                ("three paragraphs, the caret in the first: the rectangle takes in nothing more",
                 lambda: view.select_paragraphs(1, 3), lambda r, p: covers(r, p, view)),
                ("a selection from far above the visible part of the page: what is painted is inside",
                 lambda: view.select_across_pages(6),
                 lambda r, p: r[1] < view.oy and covers(r, p, view, top=False))):
            if name:
                step(name)
            expect_present(select(), rule)
            expect_quiet()
            click_clears()

        step("closing standard input while a rectangle is measured (right after the key where none "
             "is) ends the watcher with status 0 within a second")
        with open(calls) as f:
            f.seek(0, os.SEEK_END)
            d.key("ctrl+a")
            if bounded:
                desktop.wait_for("a measurement",
                                 lambda: any(MEASURING.search(l) for l in f.readlines()),
                                 interval=0.001)
        status, seconds = watcher.close()
        check(status == 0 and seconds < 1, f"exit status {status} after {seconds:.2f} s")

        step("no selected text in any output")
        output = "".join(line for _, line in watcher.lines.all) + watcher.stderr()
        for word in page.SELECTED_WORDS:
            check(word not in output, f"selected text {word!r} leaked into the output")
        check(watcher.stderr() == "", f"unexpected diagnostics: {watcher.stderr()!r}")
        print("e2e: all passed", flush=True)
        return 0
    except (Failure, desktop.DesktopError, desktop.subprocess.TimeoutExpired, ValueError) as e:
        print(f"e2e FAILED at step {len(steps)}: {e}", file=sys.stderr, flush=True)
        if watcher is not None:
            print("watcher lines: " + "".join(l for _, l in watcher.lines.all), file=sys.stderr)
            print("watcher stderr: " + watcher.stderr(), file=sys.stderr)
        return 1
    finally:
        if watcher is not None:
            watcher.kill()
        d.stop()


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in desktop.BUNDLES or (
            sys.argv[3:] and sys.argv[3] not in DESKTOPS):
        sys.exit(__doc__)
    engine, exe, kind = sys.argv[1], os.path.abspath(sys.argv[2]), (sys.argv[3:] or ["x11"])[0]
    # The compositor refuses root: as root, a Wayland run runs again as an unprivileged user.
    lib = os.path.join(HERE, "..", "..", "scripts", "lib")
    status = None if kind == "x11" else wayland.as_user(
        ["/usr/bin/python3", os.path.abspath(__file__), engine, exe, kind],
        {os.path.abspath(__file__): "tests/e2e/browser_e2e.py", exe: "selection-watcher",
         lib: "scripts/lib", os.path.abspath(CALL_LOG): "bench/dbus_call_count.c"})
    if status is None:
        status = run(engine, exe, kind)
    sys.exit(status)
