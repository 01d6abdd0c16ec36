"""Tcl files in coverage.py's data and reports through korvex.tcl.coverage_plugin:
pytest-cov serial and under xdist, contexts, omit, fail-under, a never-sourced
file, a wrong path, coverage.py's own run/combine/report commands, its html."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("coverage")
pytest.importorskip("pytest_cov")

pytest_plugins = ["pytester"]

COUNTED = Path(__file__).parent / "data" / "coverage_counted.tcl"
BRANCHES = Path(__file__).parent / "data" / "coverage_branches.tcl"
# By hand: the lines commands start on, and those `counted 3` leaves unrun.
STATEMENTS = [2, 3, 4, 5, 7, 8, 10, 13, 14, 16, 17]
NEVER = "proc never {} {\n    return 1\n}\n"

TESTS = """
import os

LIB = os.path.join(os.path.dirname(__file__), "lib", "counted.tcl")

def test_small(tcl):
    tcl.eval("source " + LIB)
    assert tcl.eval("counted 3") == "3"

def test_big(tcl):
    tcl.eval("source " + LIB)
    assert tcl.eval("counted 20") == "big"
"""


@pytest.fixture
def project(pytester):
    (pytester.path / "lib").mkdir()
    shutil.copy(COUNTED, pytester.path / "lib" / "counted.tcl")
    (pytester.path / "lib" / "never.tcl").write_text(NEVER)
    pytester.makepyfile(test_counted=TESTS)
    (pytester.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n")
    return pytester


def _report(path):
    files = json.loads(Path(path).read_text())["files"]
    return {name: (f["executed_lines"], f["missing_lines"]) for name, f in files.items()}


@pytest.mark.parametrize("args", [[], ["-n", "2", "-p", "xdist"], ["--cov-branch"]])
def test_pytest_cov_reports_tcl_files_beside_python(project, args):
    result = project.runpytest_subprocess("--cov=lib", "--cov=.", "--cov-report=term-missing",
                                          "--cov-report=json:cov.json", *args)
    result.assert_outcomes(passed=2)
    # With branches: line 7's if took its arm (big) and its empty else (small), line 4's loop
    # always ran its body (partial: its way on to line 7 without running it never ran): 13 of 15.
    counted, never = ((r"\s+4\s+1\s+87%", r"\s+0\s+0\s+0%") if args == ["--cov-branch"]
                      else (r"\s+91%", r"\s+0%"))
    result.stdout.re_match_lines([r"lib/counted\.tcl\s+11\s+1%s\s+%s14$" % (counted, "4->7, " * bool(args[-1:] == ["--cov-branch"])),
                                  r"lib/never\.tcl\s+2\s+2%s\s+1-2$" % never])
    assert "No Tcl file" not in result.stdout.str() + result.stderr.str()  # the xdist controller ran no Tcl
    report = _report(project.path / "cov.json")
    assert report["lib/counted.tcl"] == ([n for n in STATEMENTS if n != 14], [14])
    assert report["lib/never.tcl"] == ([], [1, 2])
    assert report["test_counted.py"][1] == []  # Python measured as ever


def test_contexts_say_which_test_ran_each_tcl_line(project):
    project.runpytest_subprocess("--cov=lib", "--cov-context=test", "-k", "small or big").assert_outcomes(passed=2)
    import coverage

    data = coverage.CoverageData(basename=str(project.path / ".coverage"))
    data.read()
    (path,) = [p for p in data.measured_files() if p.endswith("counted.tcl")]
    contexts = data.contexts_by_lineno(path)
    both = ["test_counted.py::test_big|run", "test_counted.py::test_small|run"]
    assert {n: sorted(c) for n, c in contexts.items()} == {
        n: (both[:1] if n == 8 else both) for n in STATEMENTS if n != 14}


@pytest.mark.parametrize("rc, status", [
    ("fail_under = 90\n", 1),  # never.tcl at 0 % counts: 10 of 13
    ("fail_under = 90\nomit = */never.tcl\n", 0),  # 10 of 11
])
def test_fail_under_and_omit_come_from_coverage_configuration(project, rc, status):
    (project.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n"
                                              + rc.replace("fail_under", "[report]\nfail_under"))
    result = project.runpytest_subprocess("--cov=lib", "--cov-report=term")
    assert result.ret == status
    assert ("never.tcl" in result.stdout.str()) == (status == 1)


def test_a_python_package_directory_as_source_measures_the_tcl_files_it_ships(project):
    (project.path / "mypkg").mkdir()
    (project.path / "mypkg" / "__init__.py").write_text("")
    shutil.copy(COUNTED, project.path / "mypkg" / "counted.tcl")
    (project.path / "mypkg" / "never.tcl").write_text(NEVER)
    project.makepyfile(test_counted=TESTS.replace('"lib"', '"mypkg"'))
    result = project.runpytest_subprocess("--cov=mypkg", "--cov-report=term-missing")
    result.assert_outcomes(passed=2)
    result.stdout.re_match_lines([r"mypkg/counted\.tcl\s+11\s+1\s+91%\s+14$", r"mypkg/never\.tcl\s+2\s+2\s+0%"])


def test_a_source_that_does_not_exist_measures_nothing_and_says_so(project):
    result = project.runpytest_subprocess("--cov=lib/modulez", "--cov-report=term", "--cov-fail-under=1")
    assert result.ret != 0
    text = result.stdout.str() + result.stderr.str()
    assert "counted.tcl" not in text
    assert "No data was collected" in text or "never imported" in text


def test_a_tcl_path_never_sourced_warns_and_counts_at_zero(project):
    (project.path / "copy").mkdir()
    (project.path / "copy" / "counted.tcl").write_text(COUNTED.read_text())
    result = project.runpytest_subprocess("--cov=copy", "--cov-report=term-missing", "--cov-fail-under=1")
    assert result.ret != 0
    result.stdout.re_match_lines([r"copy/counted\.tcl\s+11\s+11\s+0%"])
    assert "No Tcl file under" in result.stdout.str() + result.stderr.str()


def _coverage(project, *args):
    return subprocess.run([sys.executable, "-m", "coverage", *args], cwd=project.path, capture_output=True,
                          text=True, timeout=300)


def test_coverage_run_parallel_combine_and_its_reports(project):
    (project.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\nsource = lib\n"
                                              "parallel = true\n[report]\nprecision = 1\n")
    for test in ("small", "big"):
        run = _coverage(project, "run", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", test)
        assert run.returncode == 0, run.stdout + run.stderr
    combine = _coverage(project, "combine")
    assert combine.returncode == 0, combine.stderr
    report = _coverage(project, "report", "-m")
    assert "lib/counted.tcl      11      1  90.9%   14" in report.stdout, report.stdout
    assert _coverage(project, "lcov", "-o", "cov.lcov").returncode == 0
    lcov = (project.path / "cov.lcov").read_text()
    assert "DA:8,1" in lcov and "DA:14,0" in lcov
    assert _coverage(project, "xml", "-o", "cov.xml").returncode == 0
    assert 'filename="counted.tcl"' in (project.path / "cov.xml").read_text()


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


def test_coverage_html_shows_tcl_pages_and_their_contexts(project, tmp_path):
    (project.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n"
                                              "[html]\nshow_contexts = true\n")
    project.runpytest_subprocess("--cov=lib", "--cov-context=test", "--cov-report=html:hc").assert_outcomes(passed=2)
    (page,) = (project.path / "hc").glob("*counted_tcl.html")
    text = page.read_text()
    assert 'id="t14"' in text and "test_big" in text and "test_small" in text
    assert "never_tcl.html" in (project.path / "hc" / "index.html").read_text()
    browser = _chromium()
    if browser is None:
        pytest.skip("no Chromium here: the html is checked by its text only")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    result = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                             "--user-data-dir=%s" % (tmp_path / "profile"), "--dump-dom", page.as_uri()],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert 'id="t14"' in result.stdout and "mis" in result.stdout


# Arms of coverage_branches.tcl by hand: line 5 -> 6, 8 or the empty else, which goes on to
# line 10; line 10 -> 11, 13 or the empty default, on to line 15; line 15 -> 16 or 18.
@pytest.mark.parametrize("calls, executed, missing", [
    ("pick 12", [[5, 6], [10, 15], [15, 18]], [[5, 8], [5, 10], [10, 11], [10, 13], [15, 16]]),
    ("pick 12; pick 3; pick 7", [[5, 6], [5, 8], [5, 10], [10, 13], [10, 15], [15, 16], [15, 18]], [[10, 11]]),
    ("pick 1; pick 2; pick 9; pick 11; pick 0; pick 7",
     [[5, 6], [5, 8], [5, 10], [10, 11], [10, 13], [10, 15], [15, 16], [15, 18]], []),
])
def test_branches_are_coverage_arcs_of_each_arm(pytester, calls, executed, missing):
    (pytester.path / "lib").mkdir()
    shutil.copy(BRANCHES, pytester.path / "lib" / "branches.tcl")
    (pytester.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n")
    pytester.makepyfile(test_branches="""
import os

def test_arms(tcl):
    tcl.eval("source " + os.path.join(os.path.dirname(__file__), "lib", "branches.tcl"))
    tcl.eval(%r)
""" % calls)
    result = pytester.runpytest_subprocess("--cov=lib", "--cov-branch", "--cov-report=json:cov.json")
    result.assert_outcomes(passed=1)
    f = json.loads((pytester.path / "cov.json").read_text())["files"]["lib/branches.tcl"]
    pick = lambda arcs: [a for a in arcs if a[0] < 26]  # (the loops' procedures are not called)
    assert (pick(f["executed_branches"]), pick(f["missing_branches"])) == (executed, missing)
    assert f["summary"]["num_branches"] == 16


# Where the way past an if without else, or past a loop that never ran its
# body, goes on to: the next command (2->5, 5->10), back to the loop at the
# end of a loop's body (6->5), the finally after a try's body (11->15); only
# the end of a procedure is the exit (17->exit), as coverage.py writes Python's.
SHAPES = """proc shapes {x} {
    if {$x} {
        set a 1
    }
    foreach i {} {
        if {$i} {
            set b 1
        }
    }
    try {
        if {$x} {
            set c 1
        }
    } finally {
        set d 1
    }
    if {$x} {
        set e 1
    }
}
"""


def test_branch_misses_name_the_line_the_way_on_leads_to(pytester):
    (pytester.path / "lib").mkdir()
    (pytester.path / "lib" / "shapes.tcl").write_text(SHAPES)
    (pytester.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n")
    pytester.makepyfile(test_shapes="""
import os

def test_shapes(tcl):
    tcl.eval("source " + os.path.join(os.path.dirname(__file__), "lib", "shapes.tcl"))
    tcl.eval("shapes 1")
""")
    result = pytester.runpytest_subprocess("--cov=lib", "--cov-branch", "--cov-report=json:cov.json",
                                           "--cov-report=term-missing")
    result.assert_outcomes(passed=1)
    f = json.loads((pytester.path / "cov.json").read_text())["files"]["lib/shapes.tcl"]
    assert sorted(f["executed_branches"]) == [[2, 3], [5, 10], [11, 12], [17, 18]]
    assert sorted(f["missing_branches"]) == [[2, 5], [5, 6], [6, 5], [6, 7], [11, 15], [17, -17]]
    result.stdout.re_match_lines([r"lib/shapes\.tcl\s+.*\s2->5, 6-7, 11->15, 17->exit$"])
