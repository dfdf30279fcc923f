#!/usr/bin/python3
"""Reads the relay panel as a screen reader does, over the desktop's accessibility bus (AT-SPI).

    read-panel.py PID TABS

Prints one JSON object: "tree", every object of the panel's application in depth-first order
({"role", "name", "labels", "value", "showing"}), and "tabs", the control with the keyboard
focus at first and after each of TABS presses of Tab ({"role", "name", "labels", "value"}).
Tab is pressed with xdotool, on whatever window has the X input focus: give it to the panel
first. Exits 1 with a reason on stderr when the panel does not show up or the focus gets stuck.
"""
import json
import subprocess
import sys
import time

import pyatspi

WAIT = 20  # s: what this waits for has happened by then, or the read fails


def fail(reason):
    print(f'read-panel: {reason}', file=sys.stderr)
    sys.exit(1)


def application(pid):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        time.sleep(0.1)
    fail(f'no application with process {pid} on the accessibility bus')


def labels(obj):
    return [relation.getTarget(i).name
            for relation in obj.getRelationSet()
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY
            for i in range(relation.getNTargets())]


def value(obj):
    """What a screen reader reads as the object's value: an editable box's text."""
    if obj.getRole() == pyatspi.ROLE_COMBO_BOX:
        for child in obj:
            if child.getRole() == pyatspi.ROLE_TEXT:
                return child.queryText().getText(0, -1)
    return None


def describe(obj):
    return {'role': obj.getRoleName(), 'name': obj.name, 'labels': labels(obj),
            'value': value(obj)}


def tree(obj):
    yield dict(describe(obj), showing=obj.getState().contains(pyatspi.STATE_SHOWING))
    for child in obj:
        yield from tree(child)


def focused(obj):
    if obj.getState().contains(pyatspi.STATE_FOCUSED):
        # An editable box's text field takes the focus; the reader announces the box.
        parent = obj.parent
        if obj.getRole() == pyatspi.ROLE_TEXT and parent.getRole() == pyatspi.ROLE_COMBO_BOX:
            return parent
        return obj
    for child in obj:
        found = focused(child)
        if found is not None:
            return found
    return None


def focus_after(app, previous):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        now = focused(app)
        if now is not None and (previous is None or describe(now) != previous):
            return describe(now)
        time.sleep(0.02)
    fail(f'the focus stayed on {previous}')


def main():
    pid, tabs = int(sys.argv[1]), int(sys.argv[2])
    app = application(pid)
    result = {'tree': list(tree(app)), 'tabs': [focus_after(app, None)]}
    for _ in range(tabs):
        subprocess.run(['xdotool', 'key', 'Tab'], check=True)
        result['tabs'].append(focus_after(app, result['tabs'][-1]))
    print(json.dumps(result))


main()
