#!/usr/bin/env python3
"""floors_check.py -- the floor plan of src/ holds: every include points to the file's own
folder or to a floor below it, no two modules include each other round a circle, and no .cpp
grows past the length a reader takes in at once.

Usage: floors_check.py SRC_DIR     (exit 0: holds; 1: each breach printed on a line)"""
import os
import re
import sys

# A point's road, from the top down: the top of src/ starts and stops the service; intake takes
# messages; outbox holds and posts points; mapapi (the map client) and base serve from below
# and know nothing of each other.
FLOORS = {"": 4, "intake": 3, "outbox": 2, "mapapi": 1, "base": 1}
CPP_LINES_MAX = 450
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(src):
    for root, _, names in os.walk(src):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(root, name)
                yield os.path.relpath(path, src), path


def folder_of(rel):
    return os.path.dirname(rel)


def module_of(rel):
    return os.path.splitext(rel)[0]


def breaches(src):
    found, edges = [], {}
    for rel, path in sources(src):
        text = open(path, encoding="utf-8").read()
        own = folder_of(rel)
        if own not in FLOORS:
            found.append(f"{rel}: folder {own} is on no floor")
            continue
        if rel.endswith(".cpp") and text.count("\n") > CPP_LINES_MAX:
            found.append(f"{rel}: {text.count(chr(10))} lines, more than {CPP_LINES_MAX}")
        for target in INCLUDE.findall(text):
            if not os.path.exists(os.path.join(src, target)):
                found.append(f"{rel}: includes {target}, which is not a path below src/")
                continue
            theirs = folder_of(target)
            if theirs != own and (theirs not in FLOORS or FLOORS[theirs] >= FLOORS[own]):
                found.append(f"{rel}: includes {target}, which is not below {own or 'the top'}")
            if module_of(target) != module_of(rel):
                edges.setdefault(module_of(rel), set()).add(module_of(target))
    return found + circles(edges)


def circles(edges):
    found, state = [], {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open":
                found.append("circle: " + " -> ".join(path[path.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    return found


if __name__ == "__main__":
    problems = breaches(sys.argv[1])
    for line in problems:
        print(line)
    sys.exit(1 if problems else 0)
