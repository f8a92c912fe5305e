#!/usr/bin/python3
"""Fails when an include runs back up the house, or files include each other.

The floors, from the ground up (docs/design.md, "The house"):

    core/                      the shared words
    decide/ read/ write/       the stages, side by side on core/
    convert/                   the joiner and the list of parts
    library/                   the API over the joiner
    tools/ web/ python/ bench/ fuzz/   the faces

A folder may include its own files and those of any folder on a lower floor.
On one floor, only the leanings in SIDEWAYS are allowed, and only through the
files they name. tests/ and examples/ are outside the house: they may include
anything, and only fuzz/ includes from tests/ (the references they share).

It reads every `#include "..."` line, and the imports between bench/'s
scripts, whose modules must not import each other in a circle either.

Usage: check_includes.py [SOURCE_DIR]   (default: the folder above this one)
"""

import ast
import os
import re
import sys

FLOORS = [
    ["core"],
    ["decide", "read", "write"],
    ["convert"],
    ["library"],
    ["tools", "web", "python", "bench", "fuzz"],
]
FLOOR = {room: level for level, rooms in enumerate(FLOORS) for room in rooms}

# Leanings on the same floor: (from, to) -> the files of `to` that `from` may
# include. read/ takes the value rule and a method's size check from decide/;
# write/ takes the reader's side of the row contract, the BMP reader's stored
# rows for the legacy token path (read/bmp_source.hpp, read/bmp_rle.hpp), and
# the codec sessions its PNG and TIFF writers share with the readers.
SIDEWAYS = {
    ("read", "decide"): {"decide/methods.hpp", "decide/decide.hpp"},
    ("write", "read"): {"read/reader.hpp", "read/bmp_source.hpp", "read/bmp_rle.hpp", "read/png.hpp",
                        "read/tiff.hpp"},
}
# Folders outside the house, and who may include from them.
OUTSIDE = {"tests": {"fuzz"}, "examples": set()}

SOURCE = re.compile(r"\.(c|h|cc|cpp|hpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
# Folders whose files name their neighbours bare ("console.hpp"), and the
# include folders the build adds beside the source root.
INCLUDE_DIRS = ["library"]


def sources(root):
    for room in list(FLOOR) + list(OUTSIDE):
        for folder, _, names in os.walk(os.path.join(root, room)):
            for name in sorted(names):
                if SOURCE.search(name):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def resolve(root, source, target):
    """The file an include names, as a path from the root; None when it is
    not in the tree (a generated or a system header)."""
    for base in (os.path.dirname(source), "", *INCLUDE_DIRS):
        path = os.path.normpath(os.path.join(base, target)).replace(os.sep, "/")
        if os.path.isfile(os.path.join(root, path)):
            return path
    return None


def room_of(path):
    return path.split("/", 1)[0]


def allowed(source, target):
    src, dst = room_of(source), room_of(target)
    if src == dst or src in OUTSIDE:
        return True
    if dst in OUTSIDE:
        return src in OUTSIDE[dst]
    if src not in FLOOR or dst not in FLOOR:
        return True  # not a room of the house
    if FLOOR[dst] < FLOOR[src]:
        return True
    return target in SIDEWAYS.get((src, dst), set())


def circles(graph):
    """Each circle of the graph once, as a list of its nodes."""
    found, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                found.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


def python_imports(root, folder):
    """bench/'s scripts and the modules of the same folder that each imports."""
    graph = {}
    names = {n[:-3] for n in os.listdir(os.path.join(root, folder)) if n.endswith(".py")}
    for name in sorted(names):
        with open(os.path.join(root, folder, name + ".py"), encoding="utf-8") as f:
            tree = ast.parse(f.read(), name)
        imported = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                imported |= {a.name.split(".")[0] for a in node.names}
            elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                imported.add(node.module.split(".")[0])
        graph[f"{folder}/{name}.py"] = {f"{folder}/{m}.py" for m in imported & names}
    return graph


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    graph = {}
    for source in sources(root):
        with open(os.path.join(root, source), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for target in INCLUDE.findall(text):
            path = resolve(root, source, target)
            if path is None:
                continue
            if room_of(source) not in OUTSIDE:
                graph.setdefault(source, set()).add(path)
            if not allowed(source, path):
                src, dst = room_of(source), room_of(path)
                where = "beside" if FLOOR.get(src, -1) == FLOOR.get(dst, -2) else "not below"
                problems.append(f"{source} includes {path}: {dst}/ is {where} {src}/")
    graph.update(python_imports(root, "bench"))
    for circle in circles(graph):
        problems.append("a circle: " + " -> ".join(circle))
    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} include(s) against the floors (docs/design.md, \"The house\")")
        return 1
    print(f"{len(graph)} files: every include runs down the house, and none in a circle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
