"""The source tree's own rules: the Python modules import one another without
cycles (counting the imports inside functions: a lazy import still ties two
modules together), and the C++ shared by the extension modules stands in
layers, each folder of support/ including only from its own layer and those
below (see the README.md of each)."""

import ast
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def python_modules():
    """{module name: path} of the package's Python modules (korvex is a namespace package)."""
    modules = {}
    for path in sorted((SRC / "korvex").rglob("*.py")):
        parts = list(path.relative_to(SRC).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        modules[".".join(parts)] = path
    return modules


def imported(name, path, modules):
    """The package's modules that module `name` imports, at any depth of its code."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")
                anchor = anchor[:len(anchor) - (node.level - 1)]
                base = ".".join(anchor + ([base] if base else []))
            targets = [base] + [base + "." + alias.name for alias in node.names]
        else:
            continue
        found.update(t for t in targets if t in modules and t != name)
    return found


def find_cycle(graph):
    """A list of modules that import one another in a ring, or None."""
    state = {}  # 1: on the current path, 2: done
    path = []

    def visit(node):
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                cycle = visit(nxt)
                if cycle:
                    return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle
    return None


def test_find_cycle_finds_a_ring():
    assert find_cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": {"b", "c"}, "b": {"c"}, "c": set()}) is None


def test_no_python_module_imports_in_a_cycle():
    modules = python_modules()
    assert "korvex.tcl_testing.pytest_plugin" in modules and "korvex.tcl.console" in modules
    graph = {name: imported(name, path, modules) for name, path in modules.items()}
    # The scan sees the imports it should (a relative one and a lazy one).
    assert "korvex.tcl_testing.tclsh" in graph["korvex.tcl_testing.tcltest_runner"]
    assert "korvex.tcl.console" in graph["korvex.tcl_testing.tcltest_runner"]
    assert find_cycle(graph) is None, " -> ".join(find_cycle(graph))



# The folders of support/, lowest layer first.
LAYERS = ["python", "tcl", "bridge", "handles"]
SUPPORT = SRC / "korvex" / "tcl" / "support"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def upward_includes(files):
    """(file, included) for each include of a higher layer, or of a place outside the layers, in `files`
    ({path relative to support/: text})."""
    found = []
    for name, text in sorted(files.items()):
        rank = LAYERS.index(name.split("/")[0])
        for target in INCLUDE.findall(text):
            parts = target.split("/")
            if parts[0] != "support":
                continue  # a header of the C++ library, nanobind or Python
            if len(parts) != 3 or parts[1] not in LAYERS or LAYERS.index(parts[1]) > rank:
                found.append((name, target))
    return found


def test_upward_includes_finds_them():
    files = {"tcl/a.cpp": '#include "support/python/x.hpp"\n#include "support/tcl/y.hpp"\n#include <vector>\n',
             "python/b.hpp": '#include "support/bridge/c.hpp"\n',
             "bridge/c.hpp": '# include "support/d.hpp"\n'}
    assert upward_includes(files) == [("bridge/c.hpp", "support/d.hpp"), ("python/b.hpp", "support/bridge/c.hpp")]


def test_support_is_layered():
    assert sorted(p.name for p in SUPPORT.iterdir()) == sorted(LAYERS)
    files = {}
    for layer in LAYERS:
        folder = SUPPORT / layer
        assert (folder / "README.md").is_file(), folder
        for path in folder.iterdir():
            assert path.suffix in (".cpp", ".hpp", ".md") and path.is_file(), path
            if path.suffix != ".md":
                files["%s/%s" % (layer, path.name)] = path.read_text()
    assert upward_includes(files) == []


def test_every_include_of_support_names_a_file_there():
    missing = [(str(path.relative_to(SRC)), target) for path in sorted(SRC.rglob("*.[ch]pp"))
               for target in INCLUDE.findall(path.read_text())
               if target.startswith("support/") and not (SUPPORT.parent / target).is_file()]
    assert missing == []


def test_no_cpp_file_is_long_without_saying_why():
    # A source longer than this says at its top why it stays so.
    long = [str(path.relative_to(SRC)) for path in sorted(SRC.rglob("*.[ch]pp"))
            if len(path.read_text().splitlines()) > 900
            and "Longer than the ~900 lines" not in "\n".join(path.read_text().splitlines()[:40])]
    assert long == []
