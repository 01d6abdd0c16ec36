"""The data Tcl coverage yields (file coverage by path) and its report
writers: term, term-missing, lcov, Cobertura xml, html. Published by
korvex.tcl.tclcoverage, which measures."""

from __future__ import annotations

import html
import json
import os
import re
import sys
import time
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple
from xml.etree import ElementTree


class Procedure(NamedTuple):
    name: str
    line: int
    hits: int


class FileCoverage:
    """The coverage of one file: hits by line, and its procedures; `bodies`
    gives the lines of each procedure's body by (name, line), `sourced` is
    False for a file under a measured directory that nothing sourced."""

    __slots__ = ("path", "lines", "procedures", "bodies", "sourced", "branches", "next_lines", "parse_error")

    def __init__(self, path: str, lines: Optional[Dict[int, int]] = None,
                 procedures: Optional[List[Procedure]] = None,
                 bodies: Optional[Dict[Tuple[str, int], List[int]]] = None, sourced: bool = True) -> None:
        self.path = path
        self.lines: Dict[int, int] = dict(lines or {})
        self.procedures: List[Procedure] = list(procedures or [])
        self.bodies: Dict[Tuple[str, int], List[int]] = dict(bodies or {})
        self.sourced = sourced
        # The arms of each if and switch by its line: [destination, hits]
        # (destination: the line the arm starts on; -line: the implicit empty else or default).
        self.branches: Dict[int, List[List[int]]] = {}
        # Where the implicit arm of each branch (by line) goes on to, where
        # known: the next command's line, or a loop's own after its body.
        self.next_lines: Dict[int, int] = {}
        # What Tcl's parser says of a script of the file it cannot parse
        # ("missing close-brace in the command on line 12"), or None.
        self.parse_error: Optional[str] = None

    @property
    def run(self) -> List[int]:
        return sorted(n for n, hits in self.lines.items() if hits)

    @property
    def missed(self) -> List[int]:
        return sorted(n for n, hits in self.lines.items() if not hits)

    @property
    def percent(self) -> float:
        return 100.0 * len(self.run) / len(self.lines) if self.lines else 100.0

    def merge(self, other: "FileCoverage") -> None:
        self.sourced = self.sourced or other.sourced
        self.parse_error = self.parse_error or other.parse_error
        for line, following in other.next_lines.items():
            self.next_lines.setdefault(line, following)
        for key, body in other.bodies.items():
            self.bodies.setdefault(key, body)
        for line, arms in other.branches.items():
            mine_arms = self.branches.get(line)
            if mine_arms is None or len(mine_arms) != len(arms):
                self.branches[line] = [list(a) for a in arms]
            else:
                for a, b in zip(mine_arms, arms):
                    a[1] += b[1]
        for line, hits in other.lines.items():
            self.lines[line] = self.lines.get(line, 0) + hits
        mine = {(p.name, p.line): i for i, p in enumerate(self.procedures)}
        for p in other.procedures:
            i = mine.get((p.name, p.line))
            if i is None:
                mine[(p.name, p.line)] = len(self.procedures)
                self.procedures.append(p)
            else:
                self.procedures[i] = self.procedures[i]._replace(hits=self.procedures[i].hits + p.hits)

    def __repr__(self) -> str:
        return "<FileCoverage %s: %d of %d lines>" % (self.path, len(self.run), len(self.lines))


class CoverageData(Dict[str, FileCoverage]):
    """File coverage by path (absolute, real). What the report writers take."""

    def merge(self, other: "CoverageData") -> "CoverageData":
        for path, cov in other.items():
            if path in self:
                self[path].merge(cov)
            else:
                self[path] = FileCoverage(path, cov.lines, cov.procedures, cov.bodies, cov.sourced)
                self[path].branches = {line: [list(a) for a in arms] for line, arms in cov.branches.items()}
                self[path].next_lines = dict(cov.next_lines)
                self[path].parse_error = cov.parse_error
        return self

    @property
    def sourced(self) -> bool:
        """Whether any measured file was sourced (False: nothing was measured)."""
        return any(f.sourced for f in self.values())

    @property
    def percent(self) -> float:
        total = sum(len(f.lines) for f in self.values())
        run = sum(len(f.run) for f in self.values())
        return 100.0 * run / total if total else 100.0

    def to_json(self) -> str:
        return json.dumps({path: {"lines": sorted(f.lines.items()), "procedures": [list(p) for p in f.procedures],
                                  "bodies": [[n, l, b] for (n, l), b in f.bodies.items()], "sourced": f.sourced,
                                  "branches": [[line, arms] for line, arms in f.branches.items()],
                                  "next_lines": sorted(f.next_lines.items()), "parse_error": f.parse_error}
                           for path, f in self.items()})

    @classmethod
    def from_json(cls, text: str) -> "CoverageData":
        data = cls()
        for path, f in json.loads(text).items():
            data[path] = FileCoverage(path, {int(n): int(h) for n, h in f["lines"]},
                                      [Procedure(str(n), int(l), int(h)) for n, l, h in f["procedures"]],
                                      {(str(n), int(l)): [int(x) for x in b] for n, l, b in f.get("bodies", ())},
                                      bool(f.get("sourced", True)))
            data[path].branches = {int(line): [[int(d), int(h)] for d, h in arms]
                                   for line, arms in f.get("branches", ())}
            data[path].next_lines = {int(line): int(n) for line, n in f.get("next_lines", ())}
            error = f.get("parse_error")
            data[path].parse_error = str(error) if error else None
        return data

    def report(self, kind: str = "term", out: Any = None) -> None:
        """Writes a report (``term``, ``term-missing``, ``lcov:FILE``, ``xml:FILE``, ``html:DIR``)."""
        write(self, kind, out)


def unparsed(data: CoverageData) -> List[str]:
    """The warnings for the files Tcl's parser stops in, as coverage.py
    warns of a Python file it cannot parse."""
    return ["Couldn't parse Tcl file '%s': %s (couldnt-parse)" % (shown(f.path), f.parse_error)
            for f in _files(data) if f.parse_error]


KINDS = ("term", "term-missing", "lcov", "xml", "html")
DEFAULT_FILES = {"lcov": "coverage.lcov", "xml": "coverage.xml", "html": "htmlcov"}


def parse_kind(spec: str) -> Tuple[str, Optional[str]]:
    """("lcov", "out.info") for "lcov:out.info"; ValueError for an unknown kind."""
    kind, _, target = spec.partition(":")
    if kind not in KINDS:
        raise ValueError("unknown Tcl coverage report %r (one of: term, term-missing, lcov[:FILE], "
                         "xml[:FILE], html[:DIR])" % spec)
    if kind.startswith("term"):
        if target:
            raise ValueError("the %s report takes no file: %r" % (kind, spec))
        return kind, None
    return kind, target or DEFAULT_FILES[kind]


def write(data: CoverageData, spec: str, out: Any = None) -> Optional[str]:
    """Writes the report `spec`; a terminal report goes to `out` (default
    stdout). Returns the file or directory written, if any."""
    kind, target = parse_kind(spec)
    if kind.startswith("term"):
        (out or sys.stdout).write(term(data, missing=kind == "term-missing"))
        return None
    assert target is not None
    {"lcov": write_lcov, "xml": write_xml, "html": write_html}[kind](data, target)
    return target


def shown(path: str) -> str:
    """The path as reports show it: relative to the working directory when under it."""
    try:
        rel = os.path.relpath(path)
    except ValueError:
        return path
    return path if rel.startswith("..") else rel


def ranges(lines: Iterable[int]) -> str:
    """"8, 14, 20-25" for [8, 14, 20, 21, 22, 23, 24, 25]."""
    out: List[str] = []
    run: List[int] = []
    for n in sorted(lines):
        if run and n == run[-1] + 1:
            run.append(n)
            continue
        if run:
            out.append(str(run[0]) if len(run) == 1 else "%d-%d" % (run[0], run[-1]))
        run = [n]
    if run:
        out.append(str(run[0]) if len(run) == 1 else "%d-%d" % (run[0], run[-1]))
    return ", ".join(out)


def _files(data: CoverageData) -> List[FileCoverage]:
    return [data[p] for p in sorted(data, key=shown)]


def term(data: CoverageData, missing: bool = False) -> str:
    rows = [(shown(f.path), len(f.lines), len(f.missed), "%d%%" % int(f.percent), ranges(f.missed))
            for f in _files(data)]
    lines_total = sum(r[1] for r in rows)
    missed_total = sum(r[2] for r in rows)
    percent = 100.0 * (lines_total - missed_total) / lines_total if lines_total else 100.0
    head = ("Name", "Lines", "Miss", "Cover", "Missing")
    total = ("TOTAL", lines_total, missed_total, "%d%%" % int(percent), "")
    width = max([len(head[0]), len(total[0])] + [len(r[0]) for r in rows])
    columns = 5 if missing else 4

    def line(row: Tuple[Any, ...]) -> str:
        text = "%-*s %7s %7s %6s" % (width, row[0], row[1], row[2], row[3])
        if columns == 5 and row[4]:
            text += "   " + row[4]
        return text.rstrip()

    rule = "-" * (width + 23 + (10 if missing else 0))
    out = [" Tcl coverage ".center(len(rule), "-"), line(head), rule]
    out += [line(r) for r in rows]
    out += [rule, line(total)]
    procs = sum(len(f.procedures) for f in data.values())
    if procs:
        hit = sum(1 for f in data.values() for p in f.procedures if p.hits)
        out.append("Procedures: %d of %d run" % (hit, procs))
    return "\n".join(out) + "\n"


def lcov(data: CoverageData) -> str:
    out = []
    for f in _files(data):
        out += ["TN:", "SF:%s" % f.path]
        for p in f.procedures:
            out.append("FN:%d,%s" % (p.line, p.name))
        for p in f.procedures:
            out.append("FNDA:%d,%s" % (p.hits, p.name))
        out.append("FNF:%d" % len(f.procedures))
        out.append("FNH:%d" % sum(1 for p in f.procedures if p.hits))
        for n in sorted(f.lines):
            out.append("DA:%d,%d" % (n, f.lines[n]))
        out += ["LF:%d" % len(f.lines), "LH:%d" % len(f.run), "end_of_record"]
    return "\n".join(out) + "\n"


def _ensure_parent(path: str) -> None:
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, exist_ok=True)


def write_lcov(data: CoverageData, path: str) -> None:
    _ensure_parent(path)
    with open(path, "w", encoding="utf-8") as f:
        f.write(lcov(data))


def _rate(run: int, total: int) -> str:
    return "%.4g" % (run / total if total else 1.0)


def xml(data: CoverageData) -> str:
    """Cobertura XML, file names relative to the working directory (its <source>) when under it."""
    from importlib.metadata import version

    total = sum(len(f.lines) for f in data.values())
    run = sum(len(f.run) for f in data.values())
    root = ElementTree.Element("coverage", {
        "version": "korvex-tcl %s" % version("korvex-tcl"), "timestamp": str(int(time.time() * 1000)),
        "lines-valid": str(total), "lines-covered": str(run), "line-rate": _rate(run, total),
        "branches-valid": "0", "branches-covered": "0", "branch-rate": "0", "complexity": "0"})
    sources = ElementTree.SubElement(root, "sources")
    ElementTree.SubElement(sources, "source").text = os.getcwd()
    packages = ElementTree.SubElement(root, "packages")
    by_dir: Dict[str, List[FileCoverage]] = {}
    for f in _files(data):
        by_dir.setdefault(os.path.dirname(shown(f.path)) or ".", []).append(f)
    for directory, files in by_dir.items():
        p_total = sum(len(f.lines) for f in files)
        p_run = sum(len(f.run) for f in files)
        package = ElementTree.SubElement(packages, "package", {
            "name": directory.replace(os.sep, "."), "line-rate": _rate(p_run, p_total),
            "branch-rate": "0", "complexity": "0"})
        classes = ElementTree.SubElement(package, "classes")
        for f in files:
            cls = ElementTree.SubElement(classes, "class", {
                "name": os.path.basename(f.path), "filename": shown(f.path),
                "line-rate": _rate(len(f.run), len(f.lines)), "branch-rate": "0", "complexity": "0"})
            methods = ElementTree.SubElement(cls, "methods")
            for p in f.procedures:
                # A method's lines are its body's; an empty body has its definition's line only.
                body = [n for n in f.bodies.get((p.name, p.line), ()) if n in f.lines]
                hits = [(n, f.lines[n]) for n in body] or [(p.line, p.hits)]
                method = ElementTree.SubElement(methods, "method", {
                    "name": p.name, "signature": "", "line-rate": _rate(sum(1 for _, h in hits if h), len(hits)),
                    "branch-rate": "0", "complexity": "0"})
                lines = ElementTree.SubElement(method, "lines")
                for n, h in hits:
                    ElementTree.SubElement(lines, "line", {"number": str(n), "hits": str(h)})
            lines = ElementTree.SubElement(cls, "lines")
            for n in sorted(f.lines):
                ElementTree.SubElement(lines, "line", {"number": str(n), "hits": str(f.lines[n]),
                                                       "branch": "false"})
    ElementTree.indent(root)
    return '<?xml version="1.0" ?>\n' + ElementTree.tostring(root, encoding="unicode") + "\n"


def write_xml(data: CoverageData, path: str) -> None:
    _ensure_parent(path)
    with open(path, "w", encoding="utf-8") as f:
        f.write(xml(data))


_STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
th, td { padding: 0.15em 0.6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
table.source td { text-align: left; font-family: monospace; white-space: pre; padding: 0 0.5em; }
table.source td.n, table.source td.hits { text-align: right; color: #666; }
tr.run td.code { background: #dfd; }
tr.missed td.code { background: #fdd; }
"""


def _page_name(path: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]", "_", shown(path).lstrip("/")) + ".html"


def _page(title: str, body: str) -> str:
    return ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n%s</body>\n</html>\n"
            % (html.escape(title), _STYLE, body))


def write_html(data: CoverageData, directory: str) -> None:
    """An index.html and one page per file: each line's hits, run lines green, missed ones red."""
    os.makedirs(directory, exist_ok=True)
    rows = []
    total = run = 0
    for f in _files(data):
        name = _page_name(f.path)
        total += len(f.lines)
        run += len(f.run)
        rows.append('<tr class="file"><td><a href="%s">%s</a></td><td>%d</td><td>%d</td><td>%d%%</td></tr>'
                    % (html.escape(name), html.escape(shown(f.path)), len(f.lines), len(f.missed),
                       int(f.percent)))
        with open(os.path.join(directory, name), "w", encoding="utf-8") as out:
            out.write(_page("Tcl coverage: %s" % shown(f.path), _file_body(f)))
    percent = 100.0 * run / total if total else 100.0
    body = ('<h1>Tcl coverage</h1>\n<table class="index">\n'
            "<tr><th>File</th><th>Lines</th><th>Missed</th><th>Cover</th></tr>\n%s\n"
            '<tr class="total"><td>Total</td><td>%d</td><td>%d</td><td>%d%%</td></tr>\n</table>\n'
            % ("\n".join(rows), total, total - run, int(percent)))
    with open(os.path.join(directory, "index.html"), "w", encoding="utf-8") as out:
        out.write(_page("Tcl coverage", body))


def _file_body(f: FileCoverage) -> str:
    try:
        with open(f.path, encoding="utf-8", errors="replace") as src:
            text = src.read().split("\n")
    except OSError:
        text = []
    if text and text[-1] == "":
        text.pop()
    out = ['<h1>%s</h1>' % html.escape(shown(f.path)),
           '<p>%d lines, %d run, %d missed: %d%%. <a href="index.html">Index</a></p>'
           % (len(f.lines), len(f.run), len(f.missed), int(f.percent))]
    if f.procedures:
        out.append('<table class="procedures">\n<tr><th>Procedure</th><th>Line</th><th>Calls</th></tr>')
        for p in f.procedures:
            out.append('<tr class="%s"><td>%s</td><td><a href="#L%d">%d</a></td><td>%d</td></tr>'
                       % ("run" if p.hits else "missed", html.escape(p.name), p.line, p.line, p.hits))
        out.append("</table>")
    out.append('<table class="source">')
    for n, code in enumerate(text, 1):
        hits = f.lines.get(n)
        cls = "" if hits is None else (' class="run"' if hits else ' class="missed"')
        out.append('<tr id="L%d"%s><td class="n">%d</td><td class="hits">%s</td><td class="code">%s</td></tr>'
                   % (n, cls, n, "" if hits is None else hits, html.escape(code) or " "))
    out.append("</table>")
    return "\n".join(out) + "\n"
