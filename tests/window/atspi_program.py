#!/usr/bin/python3
"""Drives a running quorvel through AT-SPI, as a screen reader's user does:
chooses the device type, the port and the data file in the lists named by
their labels, presses "Program", answers the final message and reads the
success line from the run log.

    atspi_program.py PORT DATA_FILE
"""
import sys
import time

import pyatspi

PORT = sys.argv[1]
SAMPLE = sys.argv[2]
DEVICE = "KV-310"
KEY_RETURN = 0xFF0D
SUCCESS = "- Result: KV-310 programming was successful."


def wait_for(what, find, seconds=20.0):
    """Waits until find() returns something (asking the bus every 100 ms)."""
    deadline = time.monotonic() + seconds
    while True:
        found = find()
        if found:
            return found
        if time.monotonic() > deadline:
            raise SystemExit("not found in time: " + what)
        time.sleep(0.1)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name.lower() == "quorvel":
            return app
    return None


def find(root, role, name=None):
    def matches(node):
        return node is not None and node.getRole() == role and (name is None or node.name == name)
    return pyatspi.findDescendant(root, matches, breadth_first=True)


def type_text(text):
    for char in text:
        pyatspi.Registry.generateKeyboardEvent(ord(char), None, pyatspi.KEY_SYM)
        time.sleep(0.05)


def labelled_by(root, label):
    """The control the label with this text names (its "label for" relation)."""
    node = find(root, pyatspi.ROLE_LABEL, label)
    if node is None:
        return None
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABEL_FOR and relation.getNTargets() > 0:
            return relation.getTarget(0)
    return None


def do_action(node, *names):
    """Runs the first of the node's actions that has one of the names."""
    action = node.queryAction()
    wanted = [name.lower() for name in names]
    for i in range(action.nActions):
        if action.getName(i).lower() in wanted:
            return action.doAction(i)
    raise SystemExit("%s has no action %s" % (node.getRoleName(), "/".join(names)))


def choose(root, label, typed, entry):
    """Opens the list the label names, types the start of the entry and
    presses Enter; the closed list shows the entry as its name."""
    combo = wait_for("the list labelled " + label, lambda: labelled_by(root, label))
    if combo.getRole() != pyatspi.ROLE_COMBO_BOX:
        raise SystemExit(label + " names a " + combo.getRoleName())
    do_action(combo, "ShowMenu")
    wait_for("the open list " + label, lambda: combo.getState().contains(pyatspi.STATE_EXPANDED), 5)
    type_text(typed)
    pyatspi.Registry.generateKeyboardEvent(KEY_RETURN, None, pyatspi.KEY_SYM)
    wait_for(entry + " chosen in " + label, lambda: combo.name == entry, 5)


def press(node):
    do_action(node, "Press", "Click")


def log_text(app):
    log = find(app, pyatspi.ROLE_TEXT, "Run log")
    if log is None:
        return ""
    text = log.queryText()
    return text.getText(0, text.characterCount)


def main():
    app = wait_for("the quorvel application", application, 30)
    window = wait_for("the main window", lambda: find(app, pyatspi.ROLE_FRAME, "Quorvel"))
    choose(window, "Device type:", "kv", DEVICE)
    choose(window, "Comm port:", "/", PORT)
    choose(window, "Data file:", "/", SAMPLE)
    program = wait_for("an enabled Program button", lambda: (
        lambda b: b if b is not None and b.getState().contains(pyatspi.STATE_ENABLED) else None)(
            find(window, pyatspi.ROLE_PUSH_BUTTON, "Program")))
    press(program)

    # The final message: its OK button closes it.
    def message_ok():
        for node in app:
            if node is None or node.getRole() not in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT):
                continue
            button = find(node, pyatspi.ROLE_PUSH_BUTTON, "OK")
            if button is not None:
                return button
        return None
    ok = wait_for("the final message", message_ok, 120)
    press(ok)
    try:
        text = wait_for("the success line", lambda: SUCCESS in log_text(window) and log_text(window),
                        10)
    except SystemExit:
        print("the log reads:\n" + log_text(window), file=sys.stderr)
        raise
    print(text.splitlines()[-1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
