"""Tcl coverage reports: --tcl-cov through pytester with each report type,
fail-under, the union of xdist workers, the console option, the html pages."""

import os
import shutil
import subprocess
import sys
from html.parser import HTMLParser
from xml.etree import ElementTree

import pytest

pytest_plugins = ["pytester"]

LIB = """\
proc branch {x} {
    if {$x} {
        return yes
    }
    return no
}
proc unused {} {
    return never
}
"""

TESTS = """
import os

LIB = os.path.join(os.path.dirname(__file__), "lib", "branch.tcl")

def test_yes(tcl):
    tcl.eval("source " + LIB)
    assert tcl.eval("branch 1") == "yes"

def test_no(tcl):
    tcl.eval("source " + LIB)
    assert tcl.eval("branch 0") == "no"
"""


@pytest.fixture
def project(pytester):
    (pytester.path / "lib").mkdir()
    (pytester.path / "lib" / "branch.tcl").write_text(LIB)
    pytester.makepyfile(test_branch=TESTS)
    return pytester


def test_term_missing_lists_the_missed_lines(project):
    result = project.runpytest("--tcl-cov=lib", "--tcl-cov-report=term-missing", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
    result.stdout.re_match_lines([r"Name\s+Lines\s+Miss\s+Cover\s+Missing",
                                  r"lib/branch\.tcl\s+6\s+1\s+83%\s+8$", r"TOTAL\s+6\s+1\s+83%",
                                  r"Procedures: 1 of 2 run"])


ITCL_LIB = """\
package require itcl
itcl::class Account {
    variable balance 0
    method deposit {n} {
        incr balance $n
    }
    method withdraw {n} {
        incr balance -$n
    }
}
"""


def test_an_itcl_class_whose_methods_are_never_called_is_not_covered(project):
    (project.path / "lib" / "account.tcl").write_text(ITCL_LIB)
    project.makepyfile(test_account="""
import os

def test_load(tcl):
    tcl.eval("source " + os.path.join(os.path.dirname(__file__), "lib", "account.tcl"))
    assert tcl.eval("[Account #auto] deposit 5") == "5"
""")
    result = project.runpytest("--tcl-cov=lib/account.tcl", "--tcl-cov-report=term-missing", "test_account.py")
    result.assert_outcomes(passed=1)
    result.stdout.re_match_lines([r"lib/account\.tcl\s+7\s+1\s+85%\s+8$", r"Procedures: 1 of 2 run"])


def test_term_is_the_default_and_a_run_without_the_option_reports_nothing(project):
    project.runpytest("--tcl-cov=lib").stdout.re_match_lines([r"lib/branch\.tcl\s+6\s+1\s+83%$"])
    result = project.runpytest()
    assert "Tcl coverage" not in result.stdout.str()


def test_the_ini_value_names_the_paths(project):
    project.makeini("[pytest]\ntcl_cov = lib\n")
    project.runpytest().stdout.re_match_lines([r"lib/branch\.tcl\s+6\s+1\s+83%$"])


def test_lcov_records_lines_and_procedures(project):
    project.runpytest("--tcl-cov=lib", "--tcl-cov-report=lcov:out/tcl.lcov").assert_outcomes(passed=2)
    text = (project.path / "out" / "tcl.lcov").read_text()
    path = os.path.realpath(project.path / "lib" / "branch.tcl")
    assert text == "\n".join([
        "TN:", "SF:" + path, "FN:1,branch", "FN:7,unused", "FNDA:2,branch", "FNDA:0,unused", "FNF:2", "FNH:1",
        "DA:1,2", "DA:2,2", "DA:3,1", "DA:5,1", "DA:7,2", "DA:8,0", "LF:6", "LH:5", "end_of_record", ""])


def test_cobertura_xml_is_what_ci_servers_read(project):
    project.runpytest("--tcl-cov=lib", "--tcl-cov-report=xml").assert_outcomes(passed=2)
    root = ElementTree.parse(project.path / "coverage.xml").getroot()
    assert root.tag == "coverage" and root.get("lines-valid") == "6" and root.get("lines-covered") == "5"
    assert root.find("sources/source").text == str(project.path)
    cls = root.find("packages/package/classes/class")
    assert cls.get("filename") == "lib/branch.tcl" and root.find("packages/package").get("name") == "lib"
    assert [(line.get("number"), line.get("hits")) for line in cls.findall("lines/line")] == [
        ("1", "2"), ("2", "2"), ("3", "1"), ("5", "1"), ("7", "2"), ("8", "0")]
    assert [(m.get("name"), m.get("line-rate")) for m in cls.findall("methods/method")] == [
        ("branch", "1"), ("unused", "0")]


def test_cobertura_methods_list_every_line_of_their_body(project):
    project.runpytest("--tcl-cov=lib", "--tcl-cov-report=xml", "-k", "yes").assert_outcomes(passed=1)
    methods = ElementTree.parse(project.path / "coverage.xml").getroot().findall(".//methods/method")
    assert [(m.get("name"), m.get("line-rate"), [(x.get("number"), x.get("hits")) for x in m.findall("lines/line")])
            for m in methods] == [("branch", "0.6667", [("2", "1"), ("3", "1"), ("5", "0")]),
                                  ("unused", "0", [("8", "0")])]


def test_files_nobody_sourced_under_a_measured_directory_count_at_zero(project):
    (project.path / "lib" / "sub").mkdir()
    (project.path / "lib" / "sub" / "never.tcl").write_text("proc never {} {\n    return 1\n}\nset x 1\n")
    (project.path / "lib" / "notes.txt").write_text("set x 1\n")
    result = project.runpytest("--tcl-cov=lib", "--tcl-cov-report=term-missing")
    result.stdout.re_match_lines([r"lib/branch\.tcl\s+6\s+1\s+83%\s+8$", r"lib/sub/never\.tcl\s+3\s+3\s+0%\s+1-2, 4$",
                                  r"TOTAL\s+9\s+4\s+55%", r"Procedures: 1 of 3 run"])
    assert "notes" not in result.stdout.str()


def test_a_measured_path_that_does_not_exist_is_a_usage_error(project):
    result = project.runpytest("--tcl-cov=lib/modulez", "--tcl-cov-fail-under=80")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*--tcl-cov: no such file or directory: lib/modulez*"])


@pytest.mark.parametrize("files", [[], ["never.tcl"]])
def test_a_run_that_sources_no_measured_file_warns_and_fails_the_gate(project, files):
    # Tests that load another copy of the library: nothing measured ran.
    (project.path / "copy").mkdir()
    for name in files:
        (project.path / "copy" / name).write_text(LIB)
    result = project.runpytest("--tcl-cov=copy", "--tcl-cov-fail-under=0")
    assert result.ret == pytest.ExitCode.TESTS_FAILED
    result.stdout.fnmatch_lines(["*no measured Tcl file was sourced (under copy)*",
                                 "FAIL Required Tcl coverage of 0% not reached. Total coverage: 0.00%"])


@pytest.mark.parametrize("how", ["option", "ini"])
def test_omitted_files_are_left_out(project, how):
    (project.path / "lib" / "pkgIndex.tcl").write_text("package ifneeded branch 1 [list source $dir/branch.tcl]\n")
    (project.path / "lib" / "support").mkdir()
    (project.path / "lib" / "support" / "helper.tcl").write_text("set helper 1\n")
    args = ["--tcl-cov=lib", "--tcl-cov-report=term-missing"]
    if how == "option":
        args += ["--tcl-cov-omit=*/pkgIndex.tcl", "--tcl-cov-omit=lib/support/*"]
    else:
        project.makeini("[pytest]\ntcl_cov_omit =\n    */pkgIndex.tcl\n    lib/support/*\n")
    result = project.runpytest(*args)
    result.assert_outcomes(passed=2)
    result.stdout.re_match_lines([r"lib/branch\.tcl\s+6\s+1\s+83%\s+8$", r"TOTAL\s+6\s+1\s+83%"])
    assert "pkgIndex" not in result.stdout.str() and "helper" not in result.stdout.str()


class _Page(HTMLParser):
    """Rows and links of a report page."""

    def __init__(self):
        super().__init__()
        self.rows, self.links, self._row, self._cell = [], [], None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr":
            self._row = (attrs.get("class"), attrs.get("id"), [])
        elif tag == "td" and self._row is not None:
            self._cell = ""
        elif tag == "a":
            self.links.append(attrs.get("href"))

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self._row is not None and self._cell is not None:
            self._row[2].append(self._cell)
            self._cell = None
        elif tag == "tr" and self._row is not None:
            self.rows.append(self._row)
            self._row = None


def _parse(path):
    page = _Page()
    page.feed(path.read_text())
    return page


def _html(project):
    project.runpytest("--tcl-cov=lib", "--tcl-cov-report=html:cov").assert_outcomes(passed=2)
    index = _parse(project.path / "cov" / "index.html")
    files = [r for r in index.rows if r[0] == "file"]
    assert [r[2] for r in files] == [["lib/branch.tcl", "6", "1", "83%"]]
    page = _parse(project.path / "cov" / index.links[0])
    source = {int(r[2][0]): (r[0], r[2][1]) for r in page.rows if r[1]}
    assert source[2] == ("run", "2") and source[8] == ("missed", "0") and source[4] == (None, "")
    assert [r[2] for r in page.rows if not r[1] and r[2]] == [["branch", "1", "2"], ["unused", "7", "0"]]
    return project.path / "cov"


def test_html_has_an_index_and_a_page_per_file_with_hits(project):
    _html(project)


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def test_html_renders_in_headless_chromium(project, tmp_path):
    browser = _chromium()
    if browser is None:
        pytest.skip("no Chromium here: the html is checked by its structure only")
    directory = _html(project)
    index = _parse(directory / "index.html")
    # The browser is no part of the package: not run under the sanitizers' preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    for name in ("index.html", index.links[0]):
        result = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=%s" % (tmp_path / "profile"),
             "--dump-dom", (directory / name).as_uri()], capture_output=True, text=True, timeout=120, env=env)
        assert result.returncode == 0, result.stderr
        dom = _Page()
        dom.feed(result.stdout)
        assert dom.rows == _parse(directory / name).rows  # the browser reads every row as written
    shot = tmp_path / "page.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                    "--user-data-dir=%s" % (tmp_path / "profile"), "--screenshot=%s" % shot,
                    "--window-size=800,600", (directory / index.links[0]).as_uri()],
                   capture_output=True, timeout=120, env=env)
    assert shot.exists() and shot.stat().st_size > 1000


@pytest.mark.parametrize("under, status, text", [
    ("90", 1, "FAIL Required Tcl coverage of 90% not reached. Total coverage: 83.33%"),
    ("80", 0, "Required Tcl coverage of 80% reached. Total coverage: 83.33%"),
])
def test_fail_under_fails_the_run_below_the_threshold(project, under, status, text):
    result = project.runpytest("--tcl-cov=lib", "--tcl-cov-fail-under=" + under)
    assert result.ret == status
    result.stdout.fnmatch_lines([text])


@pytest.mark.parametrize("args, message", [
    (["--tcl-cov-report=pdf"], "unknown Tcl coverage report 'pdf'"),
    (["--tcl-cov-report=term:x"], "the term report takes no file"),
    (["--tcl-cov-fail-under=101"], "--tcl-cov-fail-under must be between 0 and 100"),
])
def test_bad_options_are_usage_errors(project, args, message):
    result = project.runpytest("--tcl-cov=lib", *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*" + message + "*"])


def test_xdist_workers_give_the_union(project):
    pytest.importorskip("xdist")
    result = project.runpytest_subprocess("-n", "2", "-p", "xdist", "--dist=each", "--tcl-cov=lib",
                                          "--tcl-cov-report=term-missing", "--tcl-cov-report=lcov:u.lcov",
                                          "-k", "yes")
    result.assert_outcomes(passed=2)
    result = project.runpytest_subprocess("-n", "2", "-p", "xdist", "--tcl-cov=lib",
                                          "--tcl-cov-report=lcov:union.lcov")
    result.assert_outcomes(passed=2)
    text = (project.path / "union.lcov").read_text()
    # Each branch ran in one worker at most; the union has both.
    assert "DA:3,1" in text and "DA:5,1" in text and "DA:8,0" in text and "LH:5" in text
    assert "DA:2,2" in (project.path / "u.lcov").read_text()  # each worker ran test_yes


def test_the_console_measures_a_script(tmp_path):
    lib = tmp_path / "lib"
    lib.mkdir()
    (lib / "branch.tcl").write_text(LIB)
    script = tmp_path / "main.tcl"
    script.write_text("source [file join [file dirname [info script]] lib branch.tcl]\nputs [branch 1]\nexit 3\n")
    result = subprocess.run([sys.executable, "-m", "korvex.tcl", "--coverage", str(lib), "--coverage-report",
                             "term-missing", "--coverage-report", "lcov:%s" % (tmp_path / "c.lcov"), str(script)],
                            capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (result.stdout, result.returncode) == ("yes\n", 3)
    assert "lib/branch.tcl" in result.stderr and "5, 8" in result.stderr
    assert "LH:4" in (tmp_path / "c.lcov").read_text()


ALL_TCL = """package require tcltest
namespace import ::tcltest::*
configure -testdir [file dirname [file normalize [info script]]] {*}$argv
runAllTests
"""
DOUBLE_TEST = """package require tcltest
namespace import ::tcltest::*
source [file join [file dirname [file dirname [file normalize [info script]]]] lib branch.tcl]
test double-1 {} {branch %s} %s
cleanupTests
"""


@pytest.mark.parametrize("args", [[], ["-singleproc", "1"]])
def test_the_console_measures_the_consoles_tcltest_starts_for_each_file(tmp_path, args):
    # tcltest runs each test file in a console of its own ([info nameofexecutable]) unless
    # -singleproc: their lines count, and the script that ran is measured too.
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "branch.tcl").write_text(LIB)
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "all.tcl").write_text(ALL_TCL)
    (tmp_path / "tests" / "yes.test").write_text(DOUBLE_TEST % (1, "yes"))
    (tmp_path / "tests" / "no.test").write_text(DOUBLE_TEST % (0, "no"))
    (tmp_path / "tmp").mkdir()
    result = subprocess.run([sys.executable, "-m", "korvex.tcl", "--coverage", ".", "--coverage-report",
                             "term-missing", "tests/all.tcl", *args],
                            capture_output=True, text=True, timeout=180, cwd=tmp_path,
                            env=dict(os.environ, TMPDIR=str(tmp_path / "tmp")))
    assert result.returncode == 0, result.stdout + result.stderr
    assert not [name for name in os.listdir(tmp_path / "tmp") if name.startswith("korvex-tcl-coverage-")]
    assert "Total\t2\tPassed\t2" in result.stdout
    rows = {line.split()[0]: line.split()[1:] for line in result.stderr.splitlines() if line.startswith(("lib/", "tests/"))}
    assert rows["lib/branch.tcl"] == ["6", "1", "83%", "8"]  # both arms, from the two files' consoles
    assert rows["tests/all.tcl"] == ["4", "0", "100%"]


BROKEN = "proc ok {} {\n    return 1\n}\nproc broken {} {\n    set x 1\n\nset y 2\n"
UNPARSED = "Couldn't parse Tcl file '%s': missing close-brace in the command on line 4 (couldnt-parse)"


@pytest.mark.parametrize("runner", ["console", "--tcl-cov", "pytest-cov"])
def test_a_tcl_file_that_does_not_parse_is_warned_of(pytester, runner):
    if runner == "pytest-cov":
        pytest.importorskip("pytest_cov")
    (pytester.path / "lib").mkdir()
    (pytester.path / "lib" / "broken.tcl").write_text(BROKEN)
    (pytester.path / "lib" / "good.tcl").write_text("set a 1\n")
    (pytester.path / "run.tcl").write_text("source lib/good.tcl\ncatch {source lib/broken.tcl} m\nputs $m\n")
    if runner == "console":
        result = subprocess.run([sys.executable, "-m", "korvex.tcl", "--coverage", "lib", "run.tcl"],
                                capture_output=True, text=True, timeout=120, cwd=pytester.path)
        assert result.stdout == "missing close-brace\n"
        text = result.stderr
        assert "Tcl coverage warning: " + UNPARSED % "lib/broken.tcl" in text
    else:
        (pytester.path / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n")
        pytester.makepyfile(test_run="def test_run(tcl):\n    tcl.eval('source run.tcl')\n")
        args = ["--tcl-cov=lib"] if runner == "--tcl-cov" else ["--cov=lib", "--cov-report=term"]
        result = pytester.runpytest_subprocess(*args)
        result.assert_outcomes(passed=1)
        text = result.stdout.str() + result.stderr.str()
        path = "lib/broken.tcl" if runner == "--tcl-cov" else os.path.realpath(pytester.path / "lib" / "broken.tcl")
        assert UNPARSED % path in text
    assert "good.tcl" in text and text.count("Couldn't parse") == 1  # broken.tcl's only, once


def test_the_console_rejects_a_report_without_coverage(tmp_path):
    result = subprocess.run([sys.executable, "-m", "korvex.tcl", "--coverage-report", "term", "x.tcl"],
                            capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert result.returncode == 2 and "--coverage-report needs --coverage PATH" in result.stderr


@pytest.mark.tcltest_items
def test_tcltest_items_and_interpreters_made_after_the_run_are_measured_and_sound(project):
    (project.path / "branch.test").write_text(
        "package require tcltest\nnamespace import ::tcltest::*\n"
        "source [file join [file dirname [info script]] lib branch.tcl]\n"
        "test b-1 {} {branch 1} yes\ncleanupTests\n")
    result = project.runpytest("--tcl-cov=lib", "--tcl-cov-report=term-missing", "--tcl-cov-report=lcov:t.lcov",
                               "branch.test")
    result.assert_outcomes(passed=1)
    result.stdout.re_match_lines([r"lib/branch\.tcl\s+6\s+2\s+66%\s+5, 8$"])
    # The collection's dry run sourced the file too: it is no run of it.
    assert "DA:1,1\n" in (project.path / "t.lcov").read_text()
    from korvex.tcl.interpreter import Interpreter

    with Interpreter() as interp:  # construction still works once the run has ended
        assert interp.eval("info commands ::korvex::hit") in ("", "::korvex::hit")
