#!/usr/bin/python3
"""What a screen reader hears of a program over AT-SPI, for the X11 tests.
    atspi_probe.py <application name>
Listens for focus changes before the program starts, so that the program
sends them, and prints one JSON object a line on stdout:
    {"ready": true}                once listening
    {"focus": ITEM}                for every object that gains the focus
and answers each line of stdin:
    app                            {"app": true|false}: the program is there
    find ROLE NAME                 {"found": ITEM|null}, the first showing
                                   object of that role and name, its children
                                   (up to 80) as "items"
    all ROLE                       {"all": [ITEM...]}, every object of a role
ITEM: {"role", "name", "description", "showing", "count", "parent_showing"}.
"""
import json
import os
import sys

import pyatspi
from gi.repository import GLib

APP_NAME = sys.argv[1]


def say(obj):
    sys.stdout.write(json.dumps(obj, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def showing(acc):
    try:
        return acc.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:  # gone while asked
        return False


def item(acc):
    parent = acc.parent
    return {
        "role": acc.getRoleName(),
        "name": acc.name,
        "description": acc.description,
        "showing": showing(acc),
        "count": acc.childCount,
        "parent_showing": showing(parent) if parent else False,
    }


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == APP_NAME:
            return app
    return None


def walk(acc, depth=0):
    """Objects under acc, widgets only: the items of lists and tables are
    many and are read through their list."""
    yield acc
    if depth > 12 or acc.getRoleName() in ("list", "table", "tree", "tree table"):
        return
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def on_focus(event):
    if event.detail1 != 1:
        return
    try:
        say({"focus": item(event.source)})
    except Exception as e:  # an object gone before it was read
        say({"focus": {"error": str(e)}})


def answer(words):
    app = application()
    if words[0] == "app":
        say({"app": app is not None})
    elif words[0] == "find":
        role, name = words[1].replace("_", " "), " ".join(words[2:])
        found = None
        for acc in walk(app) if app else ():
            if acc.getRoleName() == role and acc.name == name and showing(acc):
                found = item(acc)
                found["items"] = [item(acc.getChildAtIndex(i)) for i in range(min(acc.childCount, 80))]
                break
        say({"found": found})
    elif words[0] == "all":
        role = words[1].replace("_", " ")
        say({"all": [item(acc) for acc in walk(app) if acc.getRoleName() == role] if app else []})


pending = b""


def on_command(source, condition):
    global pending
    data = os.read(sys.stdin.fileno(), 4096)
    if not data:
        pyatspi.Registry.stop()
        return False
    pending += data
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        words = line.decode().split()
        if words:
            answer(words)
    return True


pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
say({"ready": True})
pyatspi.Registry.start()
