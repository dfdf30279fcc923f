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

import pyatspi
from gi.repository import GLib

WAIT = 20  # s: what this waits for has happened by then, or the read fails


def fail(reason):
    print(f'read-panel: {reason}', file=sys.stderr)
    sys.exit(1)


def wait_for(check, events, act=None):
    """What check(event) gives, asked once with no event and again at each of the AT-SPI
    `events`; None if it gives nothing within WAIT seconds. `act` runs once the events are
    listened for, so none it causes is missed."""
    found = []
    waiting = False

    def look(event=None):
        if found:
            return
        result = check(event)
        if result is not None:
            found.append(result)
            if waiting:
                pyatspi.Registry.stop()

    def give_up():
        pyatspi.Registry.stop()
        return False

    pyatspi.Registry.registerEventListener(look, *events)
    if act:
        act()
    look()
    if not found:
        waiting = True
        timer = GLib.timeout_add_seconds(WAIT, give_up)
        pyatspi.Registry.start(gil=False)
        waiting = False
        if found:
            GLib.source_remove(timer)
    pyatspi.Registry.deregisterEventListener(look, *events)
    return found[0] if found else None


def application(pid):
    def registered(_event):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        return None

    app = wait_for(registered, ['object:children-changed', 'window:create'])
    if app is None:
        fail(f'no application with process {pid} on the accessibility bus')
    return app


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


def announced(obj):
    """The control a screen reader announces for `obj`: an editable box for its text field."""
    parent = obj.parent
    if obj.getRole() == pyatspi.ROLE_TEXT and parent.getRole() == pyatspi.ROLE_COMBO_BOX:
        return parent
    return obj


def focused(obj):
    """The control with the focus at or below `obj`, leaving out what is not showing."""
    state = obj.getState()
    if state.contains(pyatspi.STATE_FOCUSED):
        return announced(obj)
    if not state.contains(pyatspi.STATE_SHOWING):
        return None
    for child in obj:
        found = focused(child)
        if found is not None:
            return found
    return None


def first_focus(app):
    """The control with the focus when the reader starts."""
    now = wait_for(lambda _event: focused(app), ['object:state-changed:focused'])
    if now is None:
        fail('no control has the focus')
    return describe(now)


def focus_after_tab(previous):
    """Presses Tab; the control the focus moves to, as its focus event tells."""
    def moved(event):
        if event is None or event.detail1 != 1:
            return None
        now = describe(announced(event.source))
        return now if now != previous else None

    def tab():
        subprocess.run(['xdotool', 'key', 'Tab'], check=True)

    now = wait_for(moved, ['object:state-changed:focused'], tab)
    if now is None:
        fail(f'the focus stayed on {previous}')
    return now


def main():
    pid, tabs = int(sys.argv[1]), int(sys.argv[2])
    app = application(pid)
    result = {'tree': list(tree(app)), 'tabs': [first_focus(app)]}
    for _ in range(tabs):
        result['tabs'].append(focus_after_tab(result['tabs'][-1]))
    print(json.dumps(result))


main()
