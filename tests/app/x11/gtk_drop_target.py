#!/usr/bin/python3
"""A GTK 3 drop target for the X11 tests: like qt_drop_target, a window at a
given place that takes one drop of files and checks each one's bytes against
the file of the same name in the reference folder when the drop arrives.
    gtk_drop_target.py <reference dir> <files expected> <x> <y>
"""
import os
import sys
import time
from urllib.parse import unquote, urlparse

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import GLib, Gdk, Gtk  # noqa: E402

reference, expected, x, y = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
result = {"code": 1}
started = {}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def on_drop(widget, context, x_, y_, time_):
    started["t"] = time.monotonic()
    widget.drag_get_data(context, Gdk.Atom.intern("text/uri-list", False), time_)
    return True


def on_data(widget, context, x_, y_, data, info, time_):
    uris = [u for u in data.get_uris() or []]
    ms = int((time.monotonic() - started.get("t", time.monotonic())) * 1000)
    faults = []
    if len(uris) != expected:
        faults.append("%d files, expected %d" % (len(uris), expected))
    for uri in uris:
        path = unquote(urlparse(uri).path)
        ref = os.path.join(reference, os.path.basename(path))
        if not os.path.isfile(path) or read(path) != read(ref):
            faults.append("wrong: " + path)
    Gtk.drag_finish(context, not faults, False, time_)
    print("FAIL " + "; ".join(faults) if faults else "dropped %d files in %d ms" % (len(uris), ms), flush=True)
    result["code"] = 1 if faults else 0
    GLib.idle_add(Gtk.main_quit)


window = Gtk.Window(title="gtk-drop-target")
window.set_default_size(300, 300)
window.move(x, y)
window.drag_dest_set(Gtk.DestDefaults.MOTION | Gtk.DestDefaults.HIGHLIGHT, [], Gdk.DragAction.COPY | Gdk.DragAction.MOVE)
window.drag_dest_add_uri_targets()
window.connect("drag-drop", on_drop)
window.connect("drag-data-received", on_data)
window.connect("destroy", Gtk.main_quit)
window.show_all()
GLib.timeout_add(200, lambda: print("ready", flush=True) and False)
Gtk.main()
sys.exit(result["code"])
