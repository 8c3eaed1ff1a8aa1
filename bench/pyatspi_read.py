#!/usr/bin/python3
"""A plain pyatspi client reading the whole selection of the focused element of the active browser
window, each embedded object (one level down) read whole. Prints the seconds it took and the
characters read."""
import time

import pyatspi

EMBEDDED = "\ufffc"


def read(accessible, start, end):
    """The selected text: each embedded object's own text in place of its character."""
    text = accessible.queryText().getText(start, end)
    if EMBEDDED not in text:
        return text
    hypertext = accessible.queryHypertext()
    out = []
    for offset, char in enumerate(text, start):
        if char != EMBEDDED:
            out.append(char)
            continue
        child = hypertext.getLink(hypertext.getLinkIndex(offset)).getObject(0)
        out.append(child.queryText().getText(0, -1))
    return "".join(out)


started = time.monotonic()
for app in pyatspi.Registry.getDesktop(0):
    if app is None or app.name not in ("Firefox", "Chromium"):
        continue
    window = next(w for w in app if w.getState().contains(pyatspi.STATE_ACTIVE))
    col = window.queryCollection()
    rule = col.createMatchRule(pyatspi.StateSet(pyatspi.STATE_FOCUSED), col.MATCH_ALL, "",
                               col.MATCH_NONE, [], col.MATCH_NONE, "", col.MATCH_NONE, False)
    focused = col.getMatches(rule, col.SORT_ORDER_CANONICAL, 1, True)[0]
    text = focused.queryText()
    chars = sum(len(read(focused, *text.getSelection(i))) for i in range(text.getNSelections()))
    print(f"{time.monotonic() - started:.3f} {chars}")
