#!/usr/bin/python3
"""The smallest useful AT-SPI listener, for comparison: one line per focus, selection, caret or
window activation event, nothing else. Prints "ready" once it listens."""
import pyatspi

EVENTS = ["object:state-changed:focused", "object:text-selection-changed",
          "object:text-caret-moved", "window:activate", "window:deactivate"]


def on_event(event):
    print(event.type, flush=True)


for name in EVENTS:
    pyatspi.Registry.registerEventListener(on_event, name)
print("ready", flush=True)
# Without gil=False pyatspi adds a 10 ms polling timer to the main loop.
pyatspi.Registry.start(gil=False)
