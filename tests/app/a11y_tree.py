"""Prints the accessible tree of the application named argv[1] as a screen reader reads it from the
accessibility bus: one "role: 'name'" line per object, indented two spaces a level. Waits up to
argv[2] seconds for the application to show a window there; exits 1 if it never does."""
import sys
import time

import pyatspi


def application(name):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == name and app.childCount > 0:
            return app
    return None


def lines(node, depth=0):
    yield f"{'  ' * depth}{node.getRoleName()}: {node.name!r}"
    for child in node:
        if child is not None:
            yield from lines(child, depth + 1)


def main():
    name, seconds = sys.argv[1], float(sys.argv[2])
    deadline = time.monotonic() + seconds
    while (app := application(name)) is None:
        if time.monotonic() > deadline:
            print(f"no application {name!r} with a window on the accessibility bus", file=sys.stderr)
            return 1
        time.sleep(0.2)
    print("\n".join(lines(app)))
    return 0


sys.exit(main())
