"""Reads the log of a running window through AT-SPI and compares it, line by
line, with the lines the window says it holds.

Usage: log_atspi.py APP LINES_FILE (inside a D-Bus session with an X display)
"""
import os
import select
import subprocess
import sys
import time

import pyatspi


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def find(node, predicate, depth=0):
    if node is None or depth > 30:
        return None
    if predicate(node):
        return node
    # The lists' own children are lines, not windows: not searched further.
    if node.getRole() == pyatspi.ROLE_LIST:
        return None
    for i in range(node.childCount):
        found = find(node.getChildAtIndex(i), predicate, depth + 1)
        if found is not None:
            return found
    return None


def main():
    app, lines_file = sys.argv[1:]
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    proc = subprocess.Popen([app, lines_file], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=env, text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        if not ready or proc.stdout.readline().strip() != "ready":
            fail("the window did not start")
        with open(lines_file, encoding="utf-8") as f:
            expected = f.read().split("\n")[:-1]
        if len(expected) < 300:
            fail("the window holds only %d lines" % len(expected))

        log = None
        deadline = time.monotonic() + 20
        while log is None and time.monotonic() < deadline:
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                application = desktop.getChildAtIndex(i)
                if application is not None and application.name == "Dravik":
                    log = find(application, lambda n: n.getRole() == pyatspi.ROLE_LIST
                               and n.name == "Zapisnik")
            if log is None:
                time.sleep(0.2)
        if log is None:
            fail("no list named Zapisnik in the window's accessibility tree")

        if log.childCount != len(expected):
            fail("the list has %d children, the log %d lines; the last: %r" % (log.childCount, len(expected), [log.getChildAtIndex(i).name for i in range(log.childCount - 3, log.childCount)]))
        if log.queryTable().nRows != len(expected):
            fail("the table has %d rows" % log.queryTable().nRows)
        for row, text in enumerate(expected):
            line = log.getChildAtIndex(row)
            if line.getRole() != pyatspi.ROLE_LIST_ITEM:
                fail("line %d is a %s" % (row, line.getRoleName()))
            if line.name != text:
                fail("line %d reads %r, the log holds %r" % (row, line.name, text))
            if line.getIndexInParent() != row:
                fail("line %d says it is child %d" % (row, line.getIndexInParent()))
        # The first line is on screen, the last lies below the visible part.
        if not log.getChildAtIndex(0).getState().contains(pyatspi.STATE_SHOWING):
            fail("the first line is not showing")
        if log.getChildAtIndex(len(expected) - 1).getState().contains(pyatspi.STATE_SHOWING):
            fail("the last line, scrolled out of view, is said to be showing")
        # The window closes with a reader attached; it must end cleanly.
        proc.stdin.close()
        try:
            status = proc.wait(30)
        except subprocess.TimeoutExpired:
            fail("the window did not close")
        if status != 0:
            fail("the window ended with status %d" % status)
        print("read %d log lines through AT-SPI" % len(expected))
        print("1 passed, 0 failed")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)


main()
