"""A flame graph (SVG) of collapsed stacks, for a picture without other tools:

    python -m korvex.tcl.profiler.flamegraph prof/tcl.collapsed > flame.svg

Each box is an entry on a path of calls, as wide as the time spent there with
its callees; callers below, callees above. Hovering shows the name and the time.
"""

from __future__ import annotations

import sys
import zlib
from typing import Dict, Iterable, List, Optional, Tuple
from xml.sax.saxutils import escape

__all__ = ["render", "main"]


class _Node:
    __slots__ = ("name", "total", "children")

    def __init__(self, name: str) -> None:
        self.name = name
        self.total = 0
        self.children: Dict[str, _Node] = {}


def _tree(lines: Iterable[str]) -> _Node:
    root = _Node("all")
    for line in lines:
        stack, _, count = line.rstrip("\n").rpartition(" ")
        if not stack or not count.isdigit():
            continue
        n = int(count)
        node = root
        node.total += n
        for frame in stack.split(";"):
            node = node.children.setdefault(frame, _Node(frame))
            node.total += n
    return root


def _colour(name: str) -> str:
    h = zlib.crc32(name.encode("utf-8"))
    return "rgb(%d,%d,%d)" % (205 + h % 50, 80 + (h >> 8) % 120, (h >> 16) % 60)


def render(lines: Iterable[str], title: str = "Tcl flame graph", width: int = 1200,
           row: int = 17, min_width: float = 0.5) -> str:
    """The SVG text of a flame graph of collapsed-stack lines ("a;b;c N")."""
    root = _tree(lines)
    boxes: List[Tuple[float, int, float, _Node]] = []  # x, depth, width, node
    depth_max = 0
    scale = (width - 20) / root.total if root.total else 0.0

    def place(node: _Node, x: float, depth: int) -> None:
        nonlocal depth_max
        w = node.total * scale
        if w < min_width:
            return
        boxes.append((x, depth, w, node))
        depth_max = max(depth_max, depth)
        for child in sorted(node.children.values(), key=lambda c: c.name):
            place(child, x, depth + 1)
            x += child.total * scale

    place(root, 10.0, 0)
    height = (depth_max + 1) * row + 50
    out = ['<?xml version="1.0" standalone="no"?>',
           '<svg version="1.1" width="%d" height="%d" xmlns="http://www.w3.org/2000/svg" '
           'font-family="Verdana, sans-serif" font-size="11">' % (width, height),
           '<rect width="100%" height="100%" fill="#f8f8f8"/>',
           '<text x="%d" y="20" text-anchor="middle" font-size="15">%s</text>' % (width // 2, escape(title))]
    for x, depth, w, node in boxes:
        y = height - 10 - (depth + 1) * row
        label = node.name
        chars = int(w / 7)
        if chars < len(label):
            label = label[: chars - 2] + ".." if chars > 3 else ""
        share = 100.0 * node.total / root.total if root.total else 0.0
        out.append('<g><title>%s (%.3f ms, %.2f%%)</title><rect x="%.1f" y="%d" width="%.1f" height="%d" '
                   'fill="%s" rx="2"/><text x="%.1f" y="%d">%s</text></g>'
                   % (escape(node.name), node.total / 1e3, share, x, y, w, row - 1,
                      "#ddd" if depth == 0 else _colour(node.name), x + 3, y + row - 5, escape(label)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 1:
        sys.stderr.write("usage: python -m korvex.tcl.profiler.flamegraph FILE.collapsed > flame.svg\n")
        return 2
    with open(args[0], encoding="utf-8") as f:
        sys.stdout.write(render(f, title="Tcl flame graph: %s" % args[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
