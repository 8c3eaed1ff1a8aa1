#!/usr/bin/env python3
"""Prints what selection-watcher reports until Ctrl-C (or SIGTERM).

    python3 -m selection_watcher [/path/to/selection-watcher]

Without an argument it runs $SELECTION_WATCHER, or the executable the package was installed with,
or selection-watcher from the PATH.
Exit status: 0 after Ctrl-C or SIGTERM, 2 without accessibility access, 1 when the watcher kept
dying or could not be started.
"""

import signal
import sys

from selection_watcher import SelectionWatcher, permission_help


def describe(event):
    if not event["selection"]:
        return "nothing selected"
    bounds = event.get("bounds")
    where = (f"at x={bounds['x']} y={bounds['y']}, {bounds['width']}x{bounds['height']}"
             if bounds else "at an unknown position")
    return f"text selected in {event.get('app') or 'an unnamed browser'} {where}"


def ended_how(returncode):
    if returncode is not None and returncode < 0:
        return signal.Signals(-returncode).name
    return f"status {returncode}"


def main(argv):
    def err(text):
        print(text, file=sys.stderr, flush=True)

    def give_up(returncode, failures, error):
        if error:
            err(f"cannot start {watcher.command[0]}: {error}")
        else:
            err(f"selection-watcher ended {failures} times in a row "
                f"(last: {ended_how(returncode)}); giving up")

    watcher = SelectionWatcher(
        argv[1] if len(argv) > 1 else None,
        on_selection=lambda event: print(describe(event), flush=True),
        on_diagnostic=lambda line: err(f"selection-watcher: {line}"),
        on_unexpected=lambda line: err(f"ignored output line: {line}"),
        on_restart=lambda returncode, failures, delay: err(
            f"selection-watcher ended ({ended_how(returncode)}); starting it again in {delay:g} s"),
        on_permission_denied=lambda: err(permission_help()),
        on_give_up=give_up,
    )
    # SIGTERM ends it the same way as Ctrl-C.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.default_int_handler)
    watcher.start()
    try:
        end = watcher.wait()
    except KeyboardInterrupt:
        end = watcher.stop()
    return {"stopped": 0, "permission_denied": 2, "gave_up": 1}[end.reason]


if __name__ == "__main__":
    sys.exit(main(sys.argv))
