#!/usr/bin/python3
"""The window driven through the desktop's accessibility interface (AT-SPI), as a screen reader
or an automated desktop test drives it: the program started with four files (one not a stream,
one to take off again), listed in number order; the extra one selected and taken off by
"Remove", the output folder typed into the field found by its accessible name, StartDownload
pressed by its action, the list's rows read for each input's state, the warning answered, the log
read with its links.

Run inside a display and a session bus of its own (atspi_window.sh starts both):
    atspi_window.py PROGRAM TEST_DATA_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import gi

warnings.simplefilter("ignore", DeprecationWarning)

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

TIMEOUT = int(os.environ.get("ATSPI_TIMEOUT", "60"))


def wait_for(what, probe, timeout=TIMEOUT):
    end = time.monotonic() + timeout
    while True:
        try:
            value = probe()
        except GLib.GError:
            # An object the probe reached went away meanwhile (the list's rows are made anew
            # when they change): look again.
            value = None
        if value:
            return value
        if time.monotonic() > end:
            sys.exit("timed out waiting for " + what)
        time.sleep(0.1)


def fresh(acc):
    acc.clear_cache()
    return acc


def walk(acc):
    yield acc
    for i in range(fresh(acc).get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def find(root, role, name=None):
    for acc in walk(root):
        if (role is None or acc.get_role_name() == role) and (name is None or acc.get_name() == name):
            return acc
    return None


def rows(lst):
    return [c.get_name() for c in (lst.get_child_at_index(i)
                                   for i in range(fresh(lst).get_child_count()))
            if c is not None and c.get_role_name() == "list item"]


def press(button):
    names = [Atspi.Action.get_action_name(button, i) for i in range(Atspi.Action.get_n_actions(button))]
    Atspi.Action.do_action(button, names.index("Press") if "Press" in names else 0)


def main():
    program, data = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp()
    try:
        out = os.path.join(work, "out")
        os.mkdir(out)
        a = os.path.join(work, "a.h264")
        bad = os.path.join(work, "b.h264")
        c = os.path.join(work, "c.hevc")
        extra = os.path.join(work, "c10.h264")
        shutil.copy(os.path.join(data, "baseline_320x240.h264"), a)
        shutil.copy(os.path.join(data, "nobframes_320x240.hevc"), c)
        shutil.copy(os.path.join(data, "baseline_320x240.h264"), extra)
        with open(bad, "w") as f:
            f.write("a text, not a stream\n")
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        app_process = subprocess.Popen([program, extra, c, bad, a], env=env)
        try:
            return drive(app_process, out)
        finally:
            app_process.kill()
            app_process.wait()
    finally:
        shutil.rmtree(work)


def drive(app_process, out):
    desktop = Atspi.get_desktop(0)

    def the_app():
        for i in range(fresh(desktop).get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == app_process.pid:
                return app
        return None

    def the_app_running():
        if app_process.poll() is not None:
            # Could not open the display, as happens when the X server goes away under it: the
            # caller tries once more on a new one.
            print("the program ended (%d) before it showed" % app_process.returncode)
            sys.exit(3)
        return the_app()

    app = wait_for("the program on the accessibility bus", the_app_running)
    frame = wait_for("the window", lambda: find(app, "frame", "Tovanmuxer"))
    lst = wait_for("the list of inputs", lambda: find(frame, "list", "Inputs"))
    expected = ["a.h264: waiting", "b.h264: waiting", "c.hevc: waiting", "c10.h264: waiting"]
    got = wait_for("four rows", lambda: rows(lst) if len(rows(lst)) == 4 else None)
    if got != expected:
        sys.exit("rows %r, not %r" % (got, expected))
    for name in ("Select", "Browse", "Move up", "Move down", "Remove", "Clear"):
        if find(frame, "push button", name) is None:
            sys.exit("no button named " + name)
    # The last row selected and taken off.
    item = fresh(lst).get_child_at_index(3)
    Atspi.Action.do_action(item, 0)  # its only action, "Toggle", selects it
    remove = find(frame, "push button", "Remove")
    wait_for("Remove enabled", lambda: fresh(remove).get_state_set().contains(Atspi.StateType.ENABLED))
    press(remove)
    expected = expected[:3]
    got = wait_for("three rows", lambda: rows(lst) if len(rows(lst)) == 3 else None)
    if got != expected:
        sys.exit("rows %r, not %r" % (got, expected))

    folder = find(frame, "text", "Save downloaded files to")
    if folder is None:
        sys.exit("no field named 'Save downloaded files to'")
    Atspi.EditableText.set_text_contents(folder, out)
    start = find(frame, "push button", "StartDownload")
    press(start)

    # One input failed: a warning at the end, answered with its Yes button.
    def warning_yes():
        for acc in walk(app):
            if acc.get_role_name() in ("dialog", "alert", "window") and acc.get_name() == "Warning":
                return find(acc, "push button", "Yes")
        return None

    press(wait_for("the warning", warning_yes))
    final = rows(lst)
    if not (final[0].startswith("a.h264: done: ") and final[1].startswith("b.h264: failed: ")
            and final[2].startswith("c.hevc: done: ")):
        sys.exit("rows after the conversion: %r" % final)

    # The log is read-only text, with the text interface; its links are its children.
    log = next((acc for acc in walk(frame)
                if acc.get_name() == "Prompt Message" and "Text" in acc.get_interfaces()), None)
    if log is None:
        sys.exit("no log named 'Prompt Message'")
    content = Atspi.Text.get_text(log, 0, Atspi.Text.get_character_count(log))
    lines = [line for line in content.split("\n") if line]
    made = sorted(f for f in os.listdir(out))
    if len(lines) != 3 or "a.h264: 30 pictures" not in lines[0] or "b.h264: failed: " not in lines[1]:
        sys.exit("log %r" % content)
    if len(made) != 2 or not all(os.path.join(out, m) in content for m in made):
        sys.exit("outputs %r, log %r" % (made, content))
    links = [fresh(log).get_child_at_index(i) for i in range(log.get_child_count())]
    if sorted(link.get_name() for link in links) != [os.path.join(out, m) for m in made]:
        sys.exit("links %r" % [link.get_name() for link in links])
    for link in links:
        actions = [Atspi.Action.get_action_name(link, i) for i in range(Atspi.Action.get_n_actions(link))]
        if link.get_role_name() != "link" or "Press" not in actions:
            sys.exit("link %r: %s, actions %r" % (link.get_name(), link.get_role_name(), actions))
    print("read through AT-SPI: rows %r; log %d lines; %d outputs" % (final, len(lines), len(made)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
