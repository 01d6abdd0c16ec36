"""Tcl coverage: exact lines and procedures, and Tcl behaving as it does without it."""

import os
import shutil
import subprocess
import sys

import pytest

from korvex.tcl.interpreter import Interpreter
from korvex.tcl.tclcoverage import Coverage, CoverageData, FileCoverage, Procedure, install

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


@pytest.fixture
def lib(tmp_path):
    """A copy of the data files in a directory of the test's own."""
    for name in ("coverage_counted.tcl", "coverage_control.tcl", "coverage_itcl.tcl"):
        shutil.copy(os.path.join(DATA, name), tmp_path / name)
    return tmp_path


def measure(path, script, measured=None):
    """Runs `script` in a new interpreter while `measured` (default `path`) is measured."""
    with Interpreter() as interp, interp.coverage([measured or path]) as cov:
        result = interp.eval(script)
    return result, cov.data()


def test_a_hand_counted_file_gives_exactly_its_lines_and_procedures(lib):
    path = str(lib / "coverage_counted.tcl")
    result, data = measure(lib, "source %s; counted 4" % path)
    assert result == "6"
    f = data[os.path.realpath(path)]
    assert sorted(f.lines) == [2, 3, 4, 5, 7, 8, 10, 13, 14, 16, 17]
    assert f.missed == [8, 14]
    assert f.lines[5] == 3 + 4 and f.lines[4] == 2 and f.lines[17] == 1
    assert f.procedures == [Procedure("counted", 2, 2), Procedure("unused", 13, 0), Procedure("empty", 16, 0)]


CONTROL_LINES = [2, 3, 4, 5, 7, 9, 11, 12, 14, 15, 16, 18, 20, 23, 26, 27, 29, 31, 32, 34, 35, 37, 39, 41, 42,
                 44, 45, 47, 48, 50, 51, 53, 55, 56, 58, 60, 61, 63, 66, 67, 68, 70, 71]


@pytest.mark.parametrize("x, missed", [
    ("1", [7, 9, 23, 29, 37, 63, 68, 71]),
    ("0", [5, 7, 20, 27, 29, 37, 63, 68, 71]),
    ("2", [7, 9, 20, 27, 37, 63, 68, 71]),
])
def test_every_control_structure_is_counted_by_hand(lib, x, missed):
    path = str(lib / "coverage_control.tcl")
    script = "source %s; ctl %s" % (path, x)
    with Interpreter() as plain:
        expected = plain.eval(script)
    result, data = measure(lib, script)
    assert result == expected
    f = data[os.path.realpath(path)]
    assert sorted(f.lines) == CONTROL_LINES
    assert f.missed == missed
    assert f.lines[12] == 2 and f.lines[45] == 2 and f.lines[48] == 2 and f.lines[14] == 1
    assert f.procedures == [Procedure("ctl", 2, 1), Procedure("ctlns::inner", 61, 0),
                            Procedure("Counter.constructor", 67, 0), Procedure("Counter.bump", 70, 0)]


def test_methods_constructors_and_namespaced_procedures_count_their_calls(lib):
    path = str(lib / "coverage_control.tcl")
    _, data = measure(lib, "source %s; ctlns::inner; [Counter new] bump" % path)
    f = data[os.path.realpath(path)]
    assert {p.name: p.hits for p in f.procedures} == {
        "ctl": 0, "ctlns::inner": 1, "Counter.constructor": 1, "Counter.bump": 1}
    assert 63 in f.run and 68 in f.run and 71 in f.run


FRAMES = """\
proc where {} {
    if {1} {
        return [dict get [info frame 0] line]
    }
}
set ::top [dict get [info frame 0] line]
set ::script [info script]
set ::frame [info frame 0]
proc fails {} {
    set a 1
    if {$a} {
        error boom
    }
}
set ::claimed [list [file system [info script]] [file exists [info script]]]
"""


def _error_info(interp, script):
    return interp.eval("catch {%s} m o; list $m [dict get $o -errorinfo] [dict get $o -errorcode] "
                       "[dict get $o -errorline]" % script)


def test_info_frame_info_script_and_error_info_are_unchanged(tmp_path):
    path = tmp_path / "frames.tcl"
    path.write_text(FRAMES)
    script = ("source %s; list [where] $::top $::script $::frame $::claimed [info body where]"
              % path)
    with Interpreter() as plain:
        expected = plain.eval(script)
        expected_error = _error_info(plain, "fails")
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:
        got = interp.eval(script)
        error = _error_info(interp, "fails")
    where, top, script_name, frame, claimed, body = Interpreter.cast_list(got)
    assert (where, top, script_name, claimed) == ("3", "6", str(path), "native 1")
    assert Interpreter.cast_list(got)[:5] == Interpreter.cast_list(expected)[:5]
    assert error == expected_error
    assert "::korvex::hit" in body  # the one difference: see the guide
    assert cov.data()[str(path)].lines[3] == 1


SOURCE_ERROR = """\
set x 1
namespace eval ::failing {
    proc ok {} {
        return 1
    }
    error "failed while loading"
}
"""


def test_an_error_while_sourcing_reports_the_original_text(tmp_path):
    path = tmp_path / "failing.tcl"
    path.write_text(SOURCE_ERROR)
    with Interpreter() as plain:
        expected = _error_info(plain, "source %s" % path)
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:
        got = _error_info(interp, "source %s" % path)
        global_info = interp.eval("set ::errorInfo")
    assert got == expected
    assert "::korvex::hit" not in global_info
    assert cov.data()[str(path)].missed == [4]  # 6 ran: the error is its command


def test_source_with_an_encoding_reads_the_file_in_it(tmp_path):
    path = tmp_path / "latin.tcl"
    path.write_bytes("set word \"caf\u00e9\"\nset n [string length $word]\n".encode("iso8859-1"))
    result, data = measure(tmp_path, "source -encoding iso8859-1 %s; list $word $n" % path)
    assert result == "caf\u00e9 4"
    assert data[str(path)].run == [1, 2]


def test_package_require_and_auto_load_are_measured(tmp_path):
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "pkgIndex.tcl").write_text("package ifneeded covpkg 1.0 [list source [file join $dir covpkg.tcl]]\n")
    (pkg / "covpkg.tcl").write_text("package provide covpkg 1.0\nproc covpkg_f {} {\n    return f\n}\n")
    (pkg / "autof.tcl").write_text("proc autof {} {\n    return auto\n}\n")
    (pkg / "tclIndex").write_text("# Tcl autoload index file, version 2.0\nset auto_index(autof) [list source [file join $dir autof.tcl]]\n")
    result, data = measure(pkg, "lappend ::auto_path %s; package require covpkg; list [covpkg_f] [autof]" % pkg)
    assert result == "f auto"
    assert data[str(pkg / "covpkg.tcl")].run == [1, 2, 3]
    assert data[str(pkg / "autof.tcl")].procedures == [Procedure("autof", 1, 1)]
    assert str(pkg / "pkgIndex.tcl") in data


def test_files_outside_the_measured_paths_and_runs_without_coverage_are_untouched(tmp_path):
    inside, outside = tmp_path / "in", tmp_path / "out"
    inside.mkdir()
    outside.mkdir()
    for d in (inside, outside):
        (d / "f.tcl").write_text("proc f {} {\n    return 1\n}\n")
    with Interpreter() as interp:
        install(interp)  # installed, but no coverage running
        interp.eval("source %s" % (inside / "f.tcl"))
        assert interp.eval("info body f") == "\n    return 1\n"
        with interp.coverage([inside]) as cov:
            interp.eval("source %s" % (outside / "f.tcl"))
            assert interp.eval("info body f") == "\n    return 1\n"
    # Listed as never sourced: nothing of it ran while coverage did.
    (f,) = cov.data().values()
    assert (f.path, f.sourced, f.lines) == (os.path.realpath(inside / "f.tcl"), False, {1: 0, 2: 0})


def test_a_file_changed_between_sources_is_measured_as_it_is_now(tmp_path):
    path = tmp_path / "changing.tcl"
    path.write_text("set a 1\n")
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:
        interp.eval("source %s" % path)
        path.write_text("set a 1\n\nset b 2\n")
        interp.eval("source %s" % path)
    assert cov.data()[str(path)].lines == {1: 1, 3: 1}


@pytest.mark.parametrize("script, hits", [
    ("interp create c; c eval [list source $f]; interp delete c", 1),
    ("interp create -- c; c eval {interp create d}; c eval [list d eval [list source $f]]; interp delete c", 1),
    ("set c [interp create]; $c eval [list source $f]; $c eval [list source $f]; interp delete $c", 2),
    ("interp create -safe s; catch {s eval [list source $f]}; interp delete s", 0),  # a safe one has no source
])
def test_child_interpreters_are_measured(tmp_path, script, hits):
    path = tmp_path / "child.tcl"
    path.write_text("set a 1\n")
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:
        interp.set_var("f", str(path))
        assert interp.eval(script + "; set x ok") == "ok"
    assert cov.data()[os.path.realpath(path)].lines == {1: hits}


def test_every_interpreter_with_coverage_installed_is_measured(tmp_path):
    path = tmp_path / "both.tcl"
    path.write_text("proc both {} {\n    return 1\n}\n")
    with Interpreter() as a, Interpreter() as b:
        install(b)
        with a.coverage([path]) as cov:
            a.eval("source %s; both" % path)
            b.eval("source %s; both; both" % path)
    assert cov.data()[str(path)].procedures == [Procedure("both", 1, 3)]


def test_data_merges_and_travels_as_json():
    one = CoverageData({"/a.tcl": FileCoverage("/a.tcl", {1: 1, 2: 0}, [Procedure("p", 1, 0)])})
    two = CoverageData({"/a.tcl": FileCoverage("/a.tcl", {1: 0, 2: 3}, [Procedure("p", 1, 2)]),
                        "/b.tcl": FileCoverage("/b.tcl", {5: 0})})
    merged = CoverageData.from_json(one.to_json()).merge(CoverageData.from_json(two.to_json()))
    assert merged["/a.tcl"].lines == {1: 1, 2: 3} and merged["/a.tcl"].missed == []
    assert merged["/a.tcl"].procedures == [Procedure("p", 1, 2)]
    assert merged["/b.tcl"].missed == [5]
    assert merged.percent == pytest.approx(200 / 3)


def test_an_unparsable_file_is_measured_up_to_its_error(tmp_path):
    path = tmp_path / "broken.tcl"
    path.write_text("set a 1\nset b {\n")
    with Interpreter() as plain:
        expected = _error_info(plain, "source %s" % path)
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:
        assert _error_info(interp, "source %s" % path) == expected
    assert cov.data()[str(path)].lines == {1: 1}


def test_many_sources_in_threads_keep_the_filesystem_sound(tmp_path):
    # Each thread's source claims its own path object; a run in a subprocess
    # so that a crash is reported as such.
    (tmp_path / "t.tcl").write_text("proc t {} {\n    return [info script]\n}\nset ::s [info script]\n")
    code = """if 1:
        import threading
        from korvex.tcl.interpreter import Interpreter
        from korvex.tcl.tclcoverage import Coverage, install_everywhere
        install_everywhere()
        errors = []
        def work():
            try:
                with Interpreter() as i:
                    for _ in range(30):
                        assert i.eval("source {p}/t.tcl; list $::s [file exists $::s]") == "{p}/t.tcl 1"
            except Exception as exc:
                errors.append(exc)
        with Coverage([{p!r}]) as cov:
            threads = [threading.Thread(target=work) for _ in range(3)]
            [t.start() for t in threads]
            [t.join() for t in threads]
        assert not errors, errors
        print(cov.data()[{p!r} + "/t.tcl"].run)
    """.format(p=str(tmp_path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[1, 4]"  # (counts from threads at once may fall short)


def test_a_file_outside_the_measured_paths_may_source_one_inside(tmp_path):
    # The check of the path once held a lock across the unmeasured file's
    # evaluation: its nested source waited for it for ever. In a subprocess,
    # so that a hang is a failure.
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "leaf.tcl").write_text("set ::leaf 1\n")
    (tmp_path / "outer.tcl").write_text("source [file join [file dirname [info script]] in leaf.tcl]\n")
    code = """if 1:
        from korvex.tcl.interpreter import Interpreter
        with Interpreter() as i, i.coverage([{p!r} + "/in"]) as cov:
            i.eval("source {p}/outer.tcl")
        print(sorted(cov.data()[{p!r} + "/in/leaf.tcl"].lines.items()))
    """.format(p=str(tmp_path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "[(1, 1)]"), result.stderr


# Itcl: Debian's Itcl 4 (`itcl`) and Itcl 3.4, which loads in Tcl 8.6 too.
ITCL = [pytest.param("package require itcl", id="itcl4"),
        pytest.param("package require -exact Itcl 3.4", id="itcl3")]

ITCL_LINES = [2, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 23, 24, 25, 26, 30, 31, 33, 34, 35, 36, 37,
              39, 41, 42, 45, 46, 47, 50, 51, 52, 54, 55, 56, 59, 60]
ITCL_PROCEDURES = [("Shape.configbody.name", 3), ("Shape.constructor", 7), ("Shape.destructor", 11),
                   ("Shape.area", 14), ("Shape.describe", 17), ("Shape.total", 20), ("Shape.secret", 25),
                   ("Shape.hidden", 30), ("Square.constructor", 36), ("Square.area", 41),
                   ("Square.configbody.side", 45), ("Unused.never", 51), ("Unused.alsoNever", 54)]


@pytest.mark.parametrize("require", ITCL)
@pytest.mark.parametrize("script, missed, called", [
    ("", [12, 15, 26, 31, 46, 47, 52, 55, 56],
     {"Shape.configbody.name", "Shape.constructor", "Shape.describe", "Shape.total", "Square.constructor",
      "Square.area"}),
    ("$square configure -side 2; Shape::total; itcl::delete object $square; Unused u; u never",
     [15, 26, 31, 47, 55, 56],
     {"Shape.configbody.name", "Shape.constructor", "Shape.describe", "Square.constructor", "Square.area",
      "Square.configbody.side", "Shape.total", "Shape.destructor", "Unused.never"}),
])
def test_itcl_classes_give_exactly_their_lines_and_members(lib, require, script, missed, called):
    path = str(lib / "coverage_itcl.tcl")
    run = "%s; source %s; %s; list $described [Shape::total] $::configured" % (require, path, script)
    with Interpreter() as plain:
        expected = plain.eval(run)
    result, data = measure(lib, run)
    assert result == expected
    f = data[os.path.realpath(path)]
    assert sorted(f.lines) == ITCL_LINES
    assert f.missed == missed and f.percent < 100
    assert [(p.name, p.line) for p in f.procedures] == ITCL_PROCEDURES
    assert {p.name for p in f.procedures if p.hits} == called
    assert f.lines[8] == 1 and f.lines[42] == 1  # the base constructor ran once, called from the init script


ITCL_IMPORTED = """\
class Plain {
    method used {} {
        return used
    }
    method unused {} {
        return unused
    }
}
body Plain::unused {} {
    return later
}
"""


@pytest.mark.parametrize("require", ITCL)
@pytest.mark.parametrize("imports", ["interp", "file"])
def test_itcl_commands_imported_unqualified_are_known(tmp_path, require, imports):
    path = tmp_path / "imported.tcl"
    path.write_text(("namespace import itcl::*\n" if imports == "file" else "") + ITCL_IMPORTED)
    first = "namespace import itcl::*; " if imports == "interp" else ""
    _, data = measure(tmp_path, "%s; %ssource %s; [Plain #auto] used" % (require, first, path))
    f = data[str(path)]
    shift = 1 if imports == "file" else 0
    assert [(p.name, p.line - shift, p.hits) for p in f.procedures] == [
        ("Plain.used", 2, 1), ("Plain.unused", 5, 0), ("Plain.unused", 9, 0)]
    assert [n - shift for n in f.missed] == [6, 10]


@pytest.mark.parametrize("require", ITCL)
def test_an_itcl_body_naming_a_c_function_stays_as_it_is(tmp_path, require):
    path = tmp_path / "builtin.tcl"
    path.write_text("itcl::class C {\n    method myisa {className} {@itcl-builtin-isa}\n"
                    "    method m {} {\n        return [myisa C]\n    }\n}\n")
    result, data = measure(tmp_path, "%s; source %s; C c; c m" % (require, path))
    assert result == "1"
    assert data[str(path)].procedures == [Procedure("C.m", 3, 1)]


def test_itcl_types_count_type_methods_and_the_type_constructor(tmp_path):
    path = tmp_path / "type.tcl"
    path.write_text("itcl::type T {\n    typevariable n 0\n    typeconstructor {\n        set n 1\n    }\n"
                    "    typemethod count {} {\n        return $n\n    }\n    method hello {} {\n"
                    "        return hello\n    }\n}\n")
    result, data = measure(tmp_path, "package require itcl; source %s; T t; T count" % path)
    assert result == "1"
    f = data[str(path)]
    assert [(p.name, p.line, p.hits) for p in f.procedures] == [
        ("T.typeconstructor", 3, 1), ("T.count", 6, 1), ("T.hello", 9, 0)]
    assert f.missed == [10]


def test_a_command_named_class_that_is_not_itcl_keeps_its_words(tmp_path):
    path = tmp_path / "notitcl.tcl"
    path.write_text("proc class {name spec} {\n    return $spec\n}\n"
                    "set ::spec [class Thing {method m {} {\n    return 1\n}}]\n")
    result, data = measure(tmp_path, "source %s; set ::spec" % path)
    assert result == "method m {} {\n    return 1\n}"
    assert [p.name for p in data[str(path)].procedures] == ["class"]


@pytest.mark.parametrize("require", ITCL)
def test_itcl_classes_defined_from_a_string_are_not_measured(tmp_path, require):
    path = tmp_path / "base.tcl"
    path.write_text("itcl::class Base {\n    method hello {} {\n        return hello\n    }\n}\n")
    script = ("%s; source %s; itcl::class Derived {inherit Base; method other {} {return 1}}; "
              "[Derived #auto] hello" % (require, path))
    result, data = measure(tmp_path, script)
    assert result == "hello"
    assert list(data) == [str(path)]
    assert data[str(path)].procedures == [Procedure("Base.hello", 2, 1)]


@pytest.mark.parametrize("script, calls, results, branches", [
    # an if without else gains an empty one: the result of a run through no arm stays empty
    ("proc h {x} {\n    if {$x} {\n        return 1\n    }\n}\n", "list [h 0] [h 1] [h 0]", "{} 1 {}",
     {2: [[3, 1], [-2, 2]]}),
    # a braced {default} stays the default: no second default after it
    ("proc f {x} {\n    switch -- $x {\n        a {return A}\n        {default} {return D}\n    }\n}\n",
     "list [f a] [f zz] [f default]", "A D D", {2: [[3, 1], [4, 2]]}),
    ("proc g {x} {\n    switch -glob -- $x a* {\n        return A\n    } b - c {\n        return BC\n    }\n}\n",
     "list [g ax] [g c] [g z]", "A BC {}", {2: [[3, 1], [5, 1], [-2, 1]]}),
])
def test_branch_arms_are_counted_and_keep_what_the_command_does(tmp_path, script, calls, results, branches):
    path = tmp_path / "arms.tcl"
    path.write_text(script)
    with Interpreter() as plain:
        plain.eval("source %s" % path)
        assert plain.eval(calls) == results
    with Interpreter() as interp, interp.coverage([tmp_path]) as cov:  # lines only: no arm counted
        interp.eval("source %s" % path)
        assert interp.eval(calls) == results and "else {" not in interp.eval("info body %s" % script[5])
    assert cov.data()[os.path.realpath(path)].branches == {}
    with Interpreter() as interp, Coverage([tmp_path], interp, branch=True) as cov:
        interp.eval("source %s" % path)
        assert interp.eval(calls) == results
    assert cov.data()[os.path.realpath(path)].branches == branches


@pytest.mark.parametrize("calls, loops", [
    ("loops 0", {27: [[28, 0], [-27, 1]], 30: [[31, 0], [-30, 1]], 33: [[34, 0], [-33, 1]]}),
    ("loops 2; loops 3", {27: [[28, 5], [-27, 0]], 30: [[31, 4], [-30, 0]], 33: [[34, 0], [-33, 2]]}),
    # recursion: the inner runs never ran their body, the outer one did
    ("rec 2", {39: [[40, 2], [-39, 2]]}),
])
def test_loops_count_runs_of_their_body_and_runs_that_never_ran_it(tmp_path, calls, loops):
    path = tmp_path / "branches.tcl"
    shutil.copy(os.path.join(os.path.dirname(__file__), "data", "coverage_branches.tcl"), path)
    with Interpreter() as interp, Coverage([tmp_path], interp, branch=True) as cov:
        interp.eval("source %s" % path)
        interp.eval(calls)
    branches = cov.data()[os.path.realpath(path)].branches
    assert {line: arms for line, arms in branches.items() if line in loops} == loops


ERROR_IN_LOOPS = """proc f {l} {
    foreach x $l {
        if {$x > 1} {
            error "bad $x"
        }
    }
}
namespace eval ns {
    while {1} { break }
    switch -- a b { set y 1 }
    f {1 2}
}
"""


@pytest.mark.parametrize("branch", [False, True])
def test_error_info_is_unchanged_by_the_counters_of_arms_and_loops(tmp_path, branch):
    # The quoted namespace eval script runs past 150 characters: its quote is
    # mapped back to the original text, inserted else/default clauses and all.
    path = tmp_path / "err.tcl"
    path.write_text(ERROR_IN_LOOPS)
    script = "catch {source %s} m o; list $m [dict get $o -errorinfo] [dict get $o -errorline]" % path
    with Interpreter() as plain:
        expected = plain.eval(script)
    with Interpreter() as interp, Coverage([tmp_path], interp, branch=branch):
        assert interp.eval(script) == expected
