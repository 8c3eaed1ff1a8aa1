#!/usr/bin/python3
"""What the watcher costs while the user works in other programs, and after a selection in Chrome's
engine under Wayland once the focus has moved on. Prints figures; asserts nothing.

keys:    X11 desktop, a browser watched behind a GTK dialog (`zenity --entry`, which forwards its
         keys to the accessibility registry, as an xterm does not) in front: the watcher's
         voluntary context switches while 80 keys are typed into the dialog, next to the same
         time with nothing typed.
wayland: sway, Chrome's engine as a native Wayland client: a word selected, then the focus moved
         to the address bar (ctrl+l, where the browser selects the address: a selection stands),
         into it with nothing selected (ctrl+l, End), or into the browser's menu (alt+f, where no
         focused element is found in the window): the watcher's voluntary context switches over
         the idle seconds after each, from one second after the move. As root this part runs itself as the unprivileged user
         the compositor needs.

Wake-ups are the voluntary context switches of the watcher's main thread (/proc/PID/status), and
of all of its threads beside them.

Usage: input_figures.py PATH/TO/selection-watcher [keys|wayland|all] [idle seconds, default 10]
"""

import glob
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts", "lib"))
import desktop  # noqa: E402
import page  # noqa: E402
import wayland  # noqa: E402

KEYS_TYPED = 80


def switches(pid):
    """(main thread, all threads) voluntary context switches so far."""
    def read(path):
        with open(path) as f:
            return int(next(l for l in f if l.startswith("voluntary_ctxt_switches")).split()[1])
    main = read(f"/proc/{pid}/status")
    return main, sum(read(p) for p in glob.glob(f"/proc/{pid}/task/*/status"))


def delta(pid, act):
    before = switches(pid)
    act()
    after = switches(pid)
    return after[0] - before[0], after[1] - before[1]


def lines_meanwhile(watcher, seconds):
    got = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            got.append(watcher.event(max(0.05, deadline - time.monotonic())))
        except desktop.DesktopError:
            break
    return got


def keys(exe, engine):
    with desktop.Desktop() as d:
        d.start_browser(engine, page.url())
        page.View(d)
        watcher = desktop.Watcher(exe, d)
        print(f"first line: {watcher.event(30)}")
        dialog = d.spawn("zenity", ["zenity", "--entry", "--text=type here"], stdout=desktop.subprocess.PIPE)
        window = desktop.wait_for("the dialog", lambda: (d.windows_of(dialog.pid) or [None])[0])
        d.activate(window)
        time.sleep(3)  # the activation served, every follow-up of the last input done
        pid = watcher.proc.pid
        quiet = delta(pid, lambda: time.sleep(6))
        started = time.monotonic()
        typed = delta(pid, lambda: (d.xdotool("type", "--delay", "40", "a" * KEYS_TYPED),
                                    time.sleep(max(0.0, 6 - (time.monotonic() - started)))))
        d.key("Return")
        entered = dialog.stdout.read().decode().strip()
        lines = [l for _, l in watcher.lines.all]
        watcher.close()
    print(f"\n{engine} watched behind zenity --entry, X11, 6 s each:")
    print(f"    nothing typed          {quiet[0]:4d} wake-ups (main thread), {quiet[1]:4d} (all threads)")
    print(f"    {KEYS_TYPED} keys typed          {typed[0]:4d} wake-ups (main thread), {typed[1]:4d} (all threads)")
    print(f"    the dialog received {len(entered)} characters; watcher lines: {len(lines)}", flush=True)


def wayland_refocus(exe, seconds):
    with wayland.Desktop() as d:
        d.start_browser("chrome", page.url())
        view = page.View(d)
        watcher = desktop.Watcher(exe, d)
        print(f"first line: {watcher.event(30)}")
        pid = watcher.proc.pid
        figures = {}
        for name, move in (("ctrl+l (the address selected)", lambda: d.key("ctrl+l")),
                           ("ctrl+l, End (nothing selected)",
                            lambda: (d.key("ctrl+l"), time.sleep(0.5), d.key("End"))),
                           ("alt+f (the browser's menu)", lambda: d.key("alt+f"))):
            view.click_empty()
            lines_meanwhile(watcher, 2)
            view.double_click_word("p1", "bravo")
            print(f"selected: {lines_meanwhile(watcher, 2)}")
            time.sleep(1)
            figures[f"word selected, {seconds:.0f} s"] = delta(pid, lambda: time.sleep(seconds))
            move()
            print(f"focus moved by {name}: {lines_meanwhile(watcher, 1)}")
            figures[f"then {name}, next {seconds:.0f} s"] = delta(pid, lambda: time.sleep(seconds))
            d.key("Escape")
        watcher.close()
    print("\nChrome's engine, native Wayland client, after the focus left the page:")
    for name, (main, total) in figures.items():
        print(f"    {name:42s} {main:4d} wake-ups (main thread), {total:4d} (all threads)")
    sys.stdout.flush()


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3, 4) or (sys.argv[2:] and sys.argv[2] not in ("keys", "wayland", "all")):
        sys.exit(__doc__)
    exe = os.path.abspath(sys.argv[1])
    part = sys.argv[2] if len(sys.argv) > 2 else "all"
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    status = 0
    if part in ("keys", "all"):
        keys(exe, "firefox")
    if part in ("wayland", "all"):
        ran = wayland.as_user(["/usr/bin/python3", os.path.abspath(__file__), exe, "wayland",
                               str(seconds)],
                              {os.path.abspath(__file__): "bench/input_figures.py",
                               exe: "selection-watcher",
                               os.path.join(HERE, "..", "scripts", "lib"): "scripts/lib"})
        if ran is None:
            wayland_refocus(exe, seconds)
        else:
            status = ran
    sys.exit(status)
