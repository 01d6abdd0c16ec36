"""tcltest files run by pytest: pytester projects with *.test files."""

import os
import re
import xml.etree.ElementTree as ET

import pytest

from korvex.tcl_testing.pytest_tcltest import node_name

pytest_plugins = ["pytester"]
pytestmark = pytest.mark.tcltest_items

HEAD = "package require tcltest\nnamespace import ::tcltest::*\n"


def tcltest(pytester, name="suite", body="", **files):
    """Writes tcltest files (the tcltest header added); returns the first path."""
    files = dict({name: body} if body else {}, **files)
    paths = [pytester.path / (n + ".test") for n in files]
    for path, text in zip(paths, files.values()):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(HEAD + text + "\ncleanupTests\n")
    return paths[0]


def outcomes(reprec):
    """{node name: outcome} of the call phase (setup for skips)."""
    found = {}
    for report in reprec.getreports("pytest_runtest_logreport"):
        if report.when == "call" or (report.when == "setup" and not report.passed):
            found[report.nodeid.split("::", 1)[1]] = report.outcome
    return found


def skip_reason(report):
    return report.longrepr[2].replace("Skipped: ", "", 1)


def report_of(reprec, name):
    return next(r for r in reprec.getreports("pytest_runtest_logreport")
                if r.when == "call" and r.nodeid.endswith("::" + name))


PLAIN = r"""
test plain-1 {a test} {expr {1 + 1}} 2
test plain-2 {new style} -body {string length abc} -result 3
test plain-3 {glob match} -body {format abc} -match glob -result a*
"""


def test_each_test_of_a_file_is_an_item(pytester):
    tcltest(pytester, "suite", PLAIN)
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    assert outcomes(reprec) == {"plain-1": "passed", "plain-2": "passed", "plain-3": "passed"}
    ids = [r.nodeid for r in reprec.getreports("pytest_runtest_logreport") if r.when == "call"]
    assert ids == ["suite.test::plain-1", "suite.test::plain-2", "suite.test::plain-3"]


def test_items_carry_the_line_of_their_test(pytester):
    tcltest(pytester, "suite", PLAIN)
    result = pytester.runpytest("-p", "no:cacheprovider", "--collect-only", "-q")
    result.stdout.fnmatch_lines(["suite.test::plain-1", "suite.test::plain-2", "suite.test::plain-3"])
    items, _ = pytester.inline_genitems("-p", "no:cacheprovider")
    assert [item.location[1] for item in items] == [3, 4, 5]  # 0-based, after the two header lines


SKIPPING = r"""
testConstraint yes 1
testConstraint no 0
testConstraint never 0
test skip-1 {one unmet} no {set a 1} 1
test skip-2 {two unmet} -constraints {yes no never} -body {set a 1} -result 1
test skip-3 {an expression} -constraints {yes && no} -body {set a 1} -result 1
test skip-4 {met} yes {set a 1} 1
test skip-5 {skipped from inside} -body {tcltest::Skip "not today"} -result 1
"""


def test_constraint_skips_are_pytest_skips_naming_the_constraints(pytester):
    tcltest(pytester, "suite", SKIPPING)
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    assert outcomes(reprec) == {"skip-1": "skipped", "skip-2": "skipped", "skip-3": "skipped",
                                "skip-4": "passed", "skip-5": "skipped"}
    reasons = {r.nodeid.split("::")[1]: skip_reason(r) for r in reprec.getreports("pytest_runtest_logreport")
               if r.skipped}
    assert reasons == {
        "skip-1": "constraints not satisfied: no",
        "skip-2": "constraints not satisfied: no, never",
        "skip-3": "constraints not satisfied: yes && no",
        "skip-5": "skipped by tcltest: not today",
    }
    # Reported at the test's own line.
    result = pytester.runpytest("-p", "no:cacheprovider", "-rs")
    result.stdout.fnmatch_lines(["SKIPPED [[]1[]] suite.test:7: constraints not satisfied: no"])


FAILURES = {
    "result": ("test f-1 {wrong result} {expr {1 + 1}} 3",
               ["---- Result was:", "2", "---- Result should have been (exact matching):", "3"],
               "Result was: 2; expected (exact matching): 3"),
    "error": ("test f-1 {an error} -body {error boom} -result 1",
              ["---- Test generated error; Return code was: 1", "---- errorInfo: boom", "---- errorCode: NONE"],
              "Test generated error: boom"),
    "return code": ("test f-1 {no error} -body {set a 1} -returnCodes error -result 1",
                    ["---- Test completed normally; Return code was: 0",
                     "---- Return code should have been one of: 1"],
                    "Test completed normally; Return code was: 0"),
    "error code": ("test f-1 {errorcode} -body {error boom {} {A B}} -errorCode {C D} -result boom",
                   ["---- Error code was: 'A B'", "---- Error code should have been: 'C D'"],
                   "Error code was: 'A B'"),
    "output": ("test f-1 {output} -body {puts hi} -output bye\\n",
               ["---- Output was:", "hi", "---- Output should have been (exact matching):", "bye"],
               "Output was: hi; expected (exact matching): bye"),
    "error output": ("test f-1 {stderr} -body {puts stderr oops} -errorOutput {}",
                     ["---- Error output was:", "oops"],
                     "Error output was: oops; expected (exact*"),
    "setup": ("test f-1 {setup} -setup {error nosetup} -body {set a 1} -result 1",
              ["---- Test setup failed:", "nosetup", "---- errorInfo(setup): nosetup*"],
              "Test setup failed: nosetup"),
    "cleanup": ("test f-1 {cleanup} -body {set a 1} -cleanup {error nocleanup} -result 1",
                ["---- Test cleanup failed:", "nocleanup"], "Test cleanup failed: nocleanup"),
    "match mode": ("test f-1 {regexp} -body {set a abc} -match regexp -result {^b}",
                   ["---- Result was:", "abc", "---- Result should have been (regexp matching):", "^b"],
                   "Result was: abc; expected (regexp matching): ^b"),
}


@pytest.mark.parametrize("kind", list(FAILURES))
def test_each_kind_of_failure_shows_tcltests_own_report(pytester, kind):
    test, lines, summary = FAILURES[kind]
    tcltest(pytester, "suite", test)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(failed=1)
    header = "==== f-1 %s FAILED" % test.split("{")[1].split("}")[0]
    result.stdout.fnmatch_lines([header] + lines + ["==== f-1 FAILED"])
    result.stdout.fnmatch_lines(["FAILED suite.test::f-1 - %s" % summary])
    # Nothing of the report is repeated as captured output.
    assert result.stdout.str().count(header) == 1


def test_a_failing_test_has_the_tcl_history_section(pytester):
    tcltest(pytester, "suite", "test f-1 {fails} {set a 2} 1")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.stdout.fnmatch_lines(["*- Tcl history -*", "Interpreters: suite.test (tcltest file): 1 entry",
                                 "*: test f-1 fails {set a 2} 1"])


def test_a_bad_test_command_fails_its_item_and_the_file(pytester):
    tcltest(pytester, "suite", "test b-1 {ok} {set a 1} 1\ntest b-2 {bad option} -nosuch 1\n"
                               "test b-3 {never reached} {set a 1} 1")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, failed=1, errors=1)
    result.stdout.fnmatch_lines(["*ERROR at teardown of [[]tcltest] b-2*",
                                 "an error reached the top level while finishing*",
                                 "bad option \"-nosuch\": must be *", "*[[]tcltest] b-2 _*",
                                 "bad option \"-nosuch\": *",
                                 "FAILED suite.test::b-2 - the test command failed: bad option*"])


COMPUTED = r"""
foreach n {1 2 3} {
    test loop-$n "computed $n" {expr {$n * 2}} [expr {$n * 2}]
}
proc check {name value} {
    test proc-$name {made in a procedure} [list set x $value] $value
}
check a 1
check b 2
namespace eval ns {
    test ns-[string repeat x 3] {made in a namespace} {set y 1} 1
}
"""


def test_tests_with_computed_names_are_found(pytester):
    tcltest(pytester, "suite", COMPUTED)
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    assert outcomes(reprec) == dict.fromkeys(
        ["loop-1", "loop-2", "loop-3", "proc-a", "proc-b", "ns-xxx"], "passed")


def test_tests_in_a_child_interpreter_are_items(pytester):
    # tcltest::loadIntoChildInterpreter: the child reports its counts to the file's tcltest.
    tcltest(pytester, "suite", r"""
test top-1 {} {set a 1} 1
set child [interp create]
tcltest::loadIntoChildInterpreter $child
interp eval $child {
    namespace import ::tcltest::*
    testConstraint no 0
    test child-1 {in the child} {set a 1} 1
    test child-2 {fails in the child} {set a 1} 2
    test child-3 {skipped in the child} no {set a 1} 1
    cleanupTests
}
interp delete $child
test top-2 {} {set a 1} 1
""")
    result = pytester.runpytest("-p", "no:cacheprovider", "-rA")
    result.assert_outcomes(passed=3, failed=1, skipped=1)
    result.stdout.fnmatch_lines(["*---- Result should have been*", "suite.test:*Total*5*Passed*3*Skipped*1*Failed*1",
                                 "SKIPPED [[]1[]] suite.test:12: constraints not satisfied: no"])
    result.stdout.no_fnmatch_line("*env array elements changed*")


def test_the_files_own_code_runs_once_around_its_tests(pytester):
    # Set-up at the top, between the tests and after them, each run once; the
    # file runs from its own directory with argv0 and argv as tclsh gives them.
    path = tcltest(pytester, "sub/suite", r"""
set log [open log.txt a]
puts $log "top [pwd] $argv0 [list $argv] $argc"
proc double {x} {expr {$x * 2}}
set base 21
test s-1 {uses the set-up} {double $base} 42
set base 5
test s-2 {sees code between tests} {double $base} 10
puts $log "between"
test s-3 {state of earlier tests} -body {set ::kept 1} -result 1
test s-4 {} {set ::kept} 1
puts $log "bottom"
close $log
""")
    reprec = pytester.inline_run("-p", "no:cacheprovider", "-o", "tcltest_arguments=-verbose be")
    reprec.assertoutcome(passed=4)
    log = (path.parent / "log.txt").read_text()
    # Collection's dry run runs the top-level code too; the run, once more.
    expected = "top %s suite.test {-verbose be} 2\nbetween\nbottom\n" % path.parent
    assert log == expected * 2


def test_cleanup_tests_runs_once_at_the_end(pytester):
    tcltest(pytester, "suite", """
test c-1 {} {set a 1} 1
test c-2 {} {set a 1} 1
proc tcltest::cleanupTestsHook {} {puts "cleanup hook ran"}
""")
    result = pytester.runpytest("-p", "no:cacheprovider", "-rA")
    result.assert_outcomes(passed=2)
    result.stdout.fnmatch_lines(["*Captured stdout teardown*", "cleanup hook ran",
                                 "suite.test:*Total*2*Passed*2*Skipped*0*Failed*0"])
    assert result.stdout.str().count("cleanup hook ran") == 1


def test_output_of_a_test_is_its_captured_output(pytester):
    tcltest(pytester, "suite", 'test o-1 {} {puts "said by o-1"; set a 1} 2\n'
                               'test o-2 {} {puts "said by o-2"; set a 1} 1')
    result = pytester.runpytest("-p", "no:cacheprovider", "-rA")
    text = result.stdout.str()
    o1 = text[text.index(" o-1 _"):]
    assert "said by o-1" in o1.split(" o-2 _")[0]
    assert "said by o-2" in text[text.index(" o-2 _"):]


def _run_log(pytester, *args):
    log = pytester.path / "ran.txt"
    if log.exists():
        log.unlink()
    reprec = pytester.inline_run("-p", "no:cacheprovider", *args)
    return reprec, log.read_text().split() if log.exists() else []


SELECTABLE = r"""
test sel-1 {} {set f [open ran.txt a]; puts $f sel-1; close $f; set a 1} 1
test sel-2 {} {set f [open ran.txt a]; puts $f sel-2; close $f; set a 2} 1
test other-3 {} {set f [open ran.txt a]; puts $f other-3; close $f; set a 1} 1
"""


def test_only_selected_tests_run(pytester):
    tcltest(pytester, "suite", SELECTABLE)
    reprec, ran = _run_log(pytester, "-k", "sel")
    assert outcomes(reprec) == {"sel-1": "passed", "sel-2": "failed"}
    assert ran == ["sel-1", "sel-2"]
    reprec, ran = _run_log(pytester, "suite.test::other-3")
    assert outcomes(reprec) == {"other-3": "passed"} and ran == ["other-3"]
    reprec, ran = _run_log(pytester, "--deselect", "suite.test::sel-2")
    assert ran == ["sel-1", "other-3"]


def test_last_failed_reruns_only_the_failures(pytester):
    tcltest(pytester, "suite", SELECTABLE)
    log = pytester.path / "ran.txt"
    pytester.inline_run()
    assert log.read_text().split() == ["sel-1", "sel-2", "other-3"]
    log.unlink()
    reprec = pytester.inline_run("--lf")
    assert outcomes(reprec) == {"sel-2": "failed"}
    assert log.read_text().split() == ["sel-2"]
    # Failed first: the file's items still run in the file's order.
    log.unlink()
    pytester.inline_run("--ff")
    assert log.read_text().split() == ["sel-1", "sel-2", "other-3"]


def test_items_run_in_the_files_order_whatever_the_collection_order(pytester):
    tcltest(pytester, "suite", SELECTABLE)
    pytester.makeconftest("""
        def pytest_collection_modifyitems(items):
            items.reverse()
    """)
    reprec, ran = _run_log(pytester)
    assert ran == ["sel-1", "sel-2", "other-3"]


def test_items_run_out_of_order_run_the_file_again(pytester):
    # A plugin that reorders the final list after this one: each item still
    # runs after the file's code before it, in a new run of the file.
    tcltest(pytester, "suite", "set ::base 40\n" + SELECTABLE.replace("set a 1} 1", "incr ::base 2} 42"))
    pytester.makeconftest("""
        def pytest_collection_finish(session):
            session.items.reverse()
    """)
    reprec, ran = _run_log(pytester)
    assert ran == ["other-3", "sel-2", "sel-1"]
    assert outcomes(reprec) == {"other-3": "passed", "sel-2": "failed", "sel-1": "passed"}


ODD = r"""
test {a::b} {colons} {set a 1} 1
test {with space} {} {set a 1} 1
test "new\nline" {} {set a 1} 1
test {back\slash} {} {set a 1} 1
test {[bracket]} {} {set a 1} 1
test dup {first} {set a 1} 1
test dup {second} {set a 1} 2
test :: {only colons} {set a 1} 1
test {} {empty} {set a 1} 1
"""


def test_odd_names_make_usable_node_ids(pytester):
    tcltest(pytester, "suite", ODD)
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    assert outcomes(reprec) == {
        "a:\\x3ab": "passed", "with space": "passed", "new\\nline": "passed", "back\\\\slash": "passed",
        "[bracket]": "passed", "dup": "passed", "dup[2]": "failed", ":\\x3a": "passed", "{}": "passed"}
    for nodeid in ["suite.test::a:\\x3ab", "suite.test::dup[2]", "suite.test::with space",
                   "suite.test::new\\nline"]:
        reprec = pytester.inline_run("-p", "no:cacheprovider", nodeid)
        assert list(outcomes(reprec)) == [nodeid.split("::", 1)[1]], nodeid


@pytest.mark.parametrize("name, node", [
    ("plain-1.2", "plain-1.2"), ("a::b", "a:\\x3ab"), (":::", ":\\x3a\\x3a"), ("tab\there", "tab\\there"),
    ("esc\x1b", "esc\\x1b"), ("", "{}"), ("über ∑", "über ∑"), ("a\\b", "a\\\\b"),
])
def test_node_names(name, node):
    assert node_name(name) == node
    assert "::" not in node


def test_junit_xml_has_a_test_case_per_tcltest_test(pytester):
    tcltest(pytester, "sub/suite", "test j-1 {} {set a 1} 1\ntest j-2 {} {set a 2} 1\n"
                                   "test j-3 {} -constraints nosuch -body {set a 1} -result 1")
    xml = pytester.path / "junit.xml"
    pytester.inline_run("-p", "no:cacheprovider", "--junitxml=%s" % xml)
    cases = {case.get("name"): case for case in ET.parse(xml).iter("testcase")}
    assert sorted(cases) == ["j-1", "j-2", "j-3"]
    assert {case.get("classname") for case in cases.values()} == {"sub.suite_test"}
    failure = cases["j-2"].find("failure")
    assert failure.get("message") == "Result was: 2; expected (exact matching): 1"
    assert failure.text.startswith("==== j-2  FAILED\n") and "---- Result should have been" in failure.text
    assert cases["j-3"].find("skipped").get("message") == "constraints not satisfied: nosuch"
    assert "Tcl history" in cases["j-2"].find("system-out").text


@pytest.mark.parametrize("text, message", [
    ("test p-1 {} {set a 1} 1\ntest p-2 {} {set a 1\n", 'missing close-brace\n    while executing\n'
                                                         '"test p-2 {} {"\n    (file "suite.test" line 4)'),
    ("package require nosuchpackage\ntest p-1 {} {set a 1} 1\n",
     "can't find package nosuchpackage\n    while executing\n\"package require nosuchpackage\"\n"
     "    (file \"suite.test\" line 3)"),
])
def test_a_file_that_cannot_be_parsed_or_set_up_is_one_collection_error(pytester, text, message):
    (pytester.path / "suite.test").write_text(HEAD + text)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(errors=1)
    assert message in result.stdout.str()
    result.stdout.fnmatch_lines(["*ERROR collecting suite.test*", "ERROR suite.test"])


def test_an_unreadable_file_is_a_collection_error(pytester):
    path = tcltest(pytester, "suite", "test u-1 {} {set a 1} 1")
    path.chmod(0)
    if os.access(path, os.R_OK):
        pytest.skip("files are readable whatever their mode here (root)")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(['couldn\'t read file "suite.test": permission denied'])


def test_an_error_after_the_tests_is_a_teardown_error(pytester):
    tcltest(pytester, "suite", "test e-1 {} {set a 1} 1\nnosuchcommand\ntest e-2 {} {set a 1} 1")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*ERROR at teardown of [[]tcltest] e-1*",
                                 "an error reached the top level while finishing suite.test:",
                                 'invalid command name "nosuchcommand"'])


def test_a_file_that_exits_ends_its_run(pytester):
    # The dry run does not exit (no "go" file yet); the run does, before x-2.
    tcltest(pytester, "suite", "test x-1 {} {set a 1} 1\n"
                               "if {[file exists go]} {exit 3}\ntest x-2 {} {set a 1} 1")
    pytester.makeconftest("""
        import pathlib
        def pytest_collection_finish(session):
            pathlib.Path("go").write_text("")
    """)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(["FAILED suite.test::x-2 - not run: the file called exit 3 before this test"])


@pytest.mark.parametrize("option, collected", [
    ([], ["a.test", "b.test"]),
    (["-o", "tcltest_files=*.tcltest"], ["c.tcltest"]),
    (["-o", "tcltest_files=a.test *.tcltest"], ["a.test", "c.tcltest"]),
    (["-o", "tcltest_files="], []),
])
def test_tcltest_files_chooses_the_files(pytester, option, collected):
    for name in ("a.test", "b.test", "c.tcltest"):
        (pytester.path / name).write_text(HEAD + "test t-1 {} {set a 1} 1\ncleanupTests\n")
    reprec = pytester.inline_run("-p", "no:cacheprovider", *option)
    files = sorted({r.nodeid.split("::")[0] for r in reprec.getreports("pytest_runtest_logreport")})
    assert files == collected


def test_an_empty_tcltest_files_imports_no_tcl(pytester):
    (pytester.path / "data.test").write_text("not Tcl at all {")
    pytester.makepyfile("""
        import sys

        def test_no_tcl():
            assert not {"korvex.tcl", "tkinter", "_tkinter"} & set(sys.modules)
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-o", "tcltest_files=", timeout=120)
    result.assert_outcomes(passed=1)


def test_tcltest_arguments_reach_tcltest(pytester):
    tcltest(pytester, "suite", "test a-1 {} knownBug {set a 1} 1\ntest a-2 {} {set a 1} 1\n"
                               "test a-3 {} {set a 1} 1")
    reprec = pytester.inline_run("-p", "no:cacheprovider", "-o",
                                 "tcltest_arguments=-constraints knownBug -skip a-3")
    assert outcomes(reprec) == {"a-1": "passed", "a-2": "passed", "a-3": "skipped"}
    assert skip_reason(report_of(reprec, "a-3")) == "excluded by tcltest's -match or -skip"
    reprec = pytester.inline_run("-p", "no:cacheprovider", "-o", "tcltest_arguments=-limitconstraints 1 "
                                 "-constraints knownBug")
    assert outcomes(reprec) == {"a-1": "passed", "a-2": "skipped", "a-3": "skipped"}


def test_tcltest_arguments_take_environment_variables(pytester, monkeypatch, tmp_path):
    monkeypatch.setenv("KX_SCRATCH", str(tmp_path))
    tcltest(pytester, "suite", "test t-1 {} {file tail [temporaryDirectory]} scratch-1")
    reprec = pytester.inline_run("-p", "no:cacheprovider", "-o", "tcltest_arguments=-tmpdir ${KX_SCRATCH}/scratch-1")
    assert outcomes(reprec) == {"t-1": "passed"}
    assert (tmp_path / "scratch-1").is_dir()


def test_tcl_timeout_applies_to_each_test(pytester):
    tcltest(pytester, "suite", "test h-1 {} {set a 1} 1\ntest h-2 {hangs} {while 1 {}} 1\n"
                               "test h-3 {after the hang} {set a 1} 1")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcl-timeout=0.5", timeout=120)
    result.assert_outcomes(passed=2, failed=1)
    result.stdout.fnmatch_lines(["Tcl work exceeded the time limit of 0.5 seconds",
                                 "FAILED suite.test::h-2 - the time limit ran out in this test*"])


def test_pytest_timeout_stops_a_hanging_test(pytester):
    # pytest-timeout's signal reaches pytest's thread; the Tcl work in the
    # run's thread is cancelled and the file goes on in a new run.
    pytest.importorskip("pytest_timeout")
    tcltest(pytester, "suite", "test h-1 {} {set a 1} 1\ntest h-2 {hangs} {while 1 {}} 1\n"
                               "test h-3 {after the hang} {set a 1} 1")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--timeout=1", "--timeout-method=signal",
                                           timeout=120)
    result.assert_outcomes(passed=2, failed=1)
    # A report of a test's size, saying where Tcl was; none of the plugin's frames.
    result.stdout.fnmatch_lines(["Timeout (>1.0s) from pytest-timeout.",
                                 'the test was stopped, at "while 1 {}"*', "*FAILED suite.test::h-2 - Timeout*"])
    assert len(result.stdout.lines) < 100, result.stdout.str()


def test_no_garbage_collection_in_a_runs_thread(pytester):
    # An interpreter must be freed in the thread that made it: while a file's
    # thread runs, no collection may free what pytest's thread dropped.
    import gc
    import threading

    tcltest(pytester, "suite", "".join("test g-%d {} {set a [list %d]} %d\n" % (i, i, i) for i in range(300)))
    threads = set()

    def seen(phase, info):
        if phase == "start":
            threads.add(threading.get_ident())

    threshold = gc.get_threshold()
    gc.callbacks.append(seen)
    gc.set_threshold(5)
    try:
        reprec = pytester.inline_run("-p", "no:cacheprovider")
    finally:
        gc.callbacks.remove(seen)
        gc.set_threshold(*threshold)
    reprec.assertoutcome(passed=300)
    assert threads == {threading.get_ident()}


RUN_AND_COLLECT = r"""
import gc, sys
from korvex.tcl_testing.tcltest_runner import FileRun
how = sys.argv[2]
keys = [("a-1", 1), ("a-2", 1)]
run = FileRun(sys.argv[1], [], keys, {key: n for n, key in enumerate(keys)})
assert run.run_test(("a-1", 1)).outcome == "passed"
end = run.run_test(("a-2", 1), seconds=0.3) if how == "timeout" else run.finish()
assert end.kind == how, end.kind
assert run.interp is None
gc.collect()  # in this thread, not the run's
print("clean")
"""


@pytest.mark.parametrize("how", ["timeout", "error"])
def test_nothing_of_a_runs_interpreter_outlives_its_thread(tmp_path, how):
    # A frame kept by the traceback of an exception the run caught holds the
    # application object: freed later in another thread, Tcl deletes the
    # interpreter there and aborts the process.
    import subprocess
    import sys

    path = tmp_path / "suite.test"
    path.write_text(HEAD + "test a-1 {} {set a 1} 1\n"
                    # (a catch that swallows the gentle stop: the run is unwound)
                    + ("test a-2 {} {while 1 {catch {while 1 {}}}} 1\n" if how == "timeout" else "}{\n"))
    result = subprocess.run([sys.executable, "-c", RUN_AND_COLLECT, str(path), how], capture_output=True,
                            text=True, timeout=120, cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip().endswith("clean")


def test_xdist_keeps_a_files_items_on_one_worker_in_order(pytester):
    pytest.importorskip("xdist")
    for name in ("one", "two", "three"):  # each in a directory of its own
        tcltest(pytester, "%s/%s" % (name, name), "".join(
            "test %s-%d {} {set f [open ../ran.txt a]; puts $f \"[pid] %s-%d\"; close $f; set a 1} %d\n"
            % (name, i, name, i, 1 if i != 3 else 2) for i in range(1, 6)))
    xml = pytester.path / "junit.xml"
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-n", "2", "--junitxml=%s" % xml,
                                           timeout=300)
    result.assert_outcomes(passed=12, failed=3)
    lines = [line.split() for line in (pytester.path / "ran.txt").read_text().splitlines()]
    for name in ("one", "two", "three"):
        mine = [(pid, test) for pid, test in lines if test.startswith(name + "-")]
        assert [test for _, test in mine] == ["%s-%d" % (name, i) for i in range(1, 6)]
        assert len({pid for pid, _ in mine}) == 1
    assert len(list(ET.parse(xml).iter("testcase"))) == 15


def test_explicit_dist_load_still_gives_the_right_outcomes(pytester):
    pytest.importorskip("xdist")
    tcltest(pytester, "suite", "".join("test d-%d {} {set a %d} 1\n" % (i, i % 3 and 1) for i in range(1, 9)))
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-n", "2", "--dist", "load", timeout=300)
    result.assert_outcomes(passed=6, failed=2)


def test_python_tests_and_tcltest_files_side_by_side(pytester):
    tcltest(pytester, "suite", "test t-1 {} {set a 1} 1")
    pytester.makepyfile("""
        def test_python(tcl):
            assert tcl.eval("set a 1") == "1"
    """)
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    reprec.assertoutcome(passed=2)


def test_interpreter_of_a_run_is_fresh_and_has_tclx(pytester):
    tcltest(pytester, "a", "test a-1 {} {set ::leak 1; package provide Tclx} 8.4",
            b="test b-1 {} {info exists ::leak} 0")
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    reprec.assertoutcome(passed=2)


def test_interpreter_names_the_console(pytester):
    # tcltest's [interpreter] runs Tcl files, as the console's does.
    tcltest(pytester, "suite", r"""
set f [makeFile {puts [expr {6 * 7}]} child.tcl]
test i-1 {} {exec [interpreter] $f} 42
removeFile child.tcl
""")
    reprec = pytester.inline_run("-p", "no:cacheprovider")
    reprec.assertoutcome(passed=1)


def test_skipped_collection_of_unlisted_files(pytester):
    # A .test file the session is not given is not run.
    tcltest(pytester, "a", "test a-1 {} {set a 1} 1", b="test b-1 {} {set a 1} 1")
    reprec = pytester.inline_run("-p", "no:cacheprovider", "a.test")
    assert outcomes(reprec) == {"a-1": "passed"}


def test_a_test_file_has_no_effect_on_the_working_directory(pytester):
    tcltest(pytester, "suite", "test w-1 {} {cd /; set a 1} 1\ntest w-2 {} {pwd} /")
    pytester.makepyfile(test_after="""
        import os
        def test_cwd():
            assert os.getcwd() == %r
    """ % str(pytester.path))
    reprec = pytester.inline_run("-p", "no:cacheprovider", "suite.test", "test_after.py")
    reprec.assertoutcome(passed=3)


def test_verbose_names_in_the_terminal(pytester):
    tcltest(pytester, "suite", "test v-1 {} {set a 1} 1")
    result = pytester.runpytest("-p", "no:cacheprovider", "-v")
    result.stdout.fnmatch_lines(["suite.test::v-1 PASSED*"])
    assert re.search(r"collected 1 item", result.stdout.str())


@pytest.mark.timeout(120)
def test_a_failure_while_cleaning_up_a_run_is_reported_not_a_hang(pytester, monkeypatch):
    import importlib

    # The module the run will use (an earlier in-process run may have left
    # another one as the package's attribute).
    _tcltest_run = importlib.import_module("korvex.tcl_testing.tcltest_runner")

    def launcher(interp):
        def restore():
            raise OSError("restore failed")
        return restore

    monkeypatch.setattr(_tcltest_run, "_use_launcher", launcher)
    tcltest(pytester, "suite", "test c-1 {ok} {set a 1} 1\ntest c-2 {ok} {set a 2} 2")
    result = pytester.runpytest("-p", "no:cacheprovider")
    assert "restore failed" in result.stdout.str()
    assert result.ret != 0


# A tcllib-shaped suite: graph.test sources the pieces under graph/tests,
# which fail on their own (they use what graph.test sets up).
GRAPH = {
    "modules/struct/graph": "set impl critcl\nforeach piece {arcs ops/walk} {\n"
                            "    source [file join [file dirname [info script]] graph tests $piece.test]\n}\n",
    "modules/struct/graph/tests/arcs": "test graph-${impl}-arcs-1.0 {} {set a 1} 1",
    "modules/struct/graph/tests/ops/walk": "test graph-${impl}-walk-1.0 {} {set a 1} 1",
}


@pytest.mark.parametrize("ignore, args, collected", [
    ("modules/struct/graph/tests/**", [], ["modules/struct/graph.test"]),
    ("**/graph/tests/**", [], ["modules/struct/graph.test"]),
    ("**/tests/*.test", [], ["modules/struct/graph.test", "modules/struct/graph/tests/ops/walk.test"]),
    ("arcs.test w[a-z]lk.*", [], ["modules/struct/graph.test"]),
    ("graph/tests/**", [], None),  # relative to the rootdir: it names nothing here
    # A file named on the command line is collected whatever the option says (as with --ignore).
    ("**/graph/tests/**", ["modules/struct/graph/tests/arcs.test"], ["modules/struct/graph/tests/arcs.test"]),
])
def test_tcltest_ignore_leaves_out_files_by_path(pytester, ignore, args, collected):
    for name, body in GRAPH.items():
        path = pytester.path / (name + ".test")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text((HEAD if name.endswith("graph") else "") + body + "\n")
    pytester.makeini("[pytest]\ntcltest_ignore = %s\n" % ignore)
    result = pytester.runpytest("-p", "no:cacheprovider", "-rA", "--continue-on-collection-errors", *args)
    if collected is None:
        result.assert_outcomes(passed=2, errors=2)  # the pieces, collected alone, fail to collect
        return
    files = sorted({line.split()[1].split("::")[0] for line in result.stdout.lines
                    if line.startswith(("PASSED ", "ERROR ", "FAILED "))})
    assert files == collected
    if collected == ["modules/struct/graph.test"]:
        result.assert_outcomes(passed=2)


def test_junit_classname_is_the_file_as_a_class_of_its_directory(pytester):
    tcltest(pytester, "lib/modules/csv/csv", "test csv-1.2 {} {set a 1} 1", **{"csv.bench": "test b-1 {} {set a 1} 1"})
    xml = pytester.path / "junit.xml"
    pytester.inline_run("-p", "no:cacheprovider", "--junitxml=%s" % xml, "--junit-prefix=ci")
    assert sorted(case.get("classname") for case in ET.parse(xml).iter("testcase")) == [
        "ci.csv_bench_test", "ci.lib.modules.csv.csv_test"]


SUMMARY_SUITE = {
    "sub/csv": "test csv-1 {} {set a 1} 1\ntest csv-2 {} {set a 1} 2\ntest csv-3 {} nosuch {set a 1} 1\n"
               "test csv-4 {} {set a 1} 1",
    "json": "test json-1 {} {set a 1} 1",
    "other/json": "test json-9 {} {set a 1} 1",
}


@pytest.mark.parametrize("args", [["--tcltest-summary"], ["-o", "tcltest_summary=true", "-n", "2"]],
                         ids=["option", "ini under xdist"])
def test_tcltest_summary_prints_tcltests_line_for_each_file(pytester, args):
    if "-n" in args:
        pytest.importorskip("xdist")
    tcltest(pytester, **SUMMARY_SUITE)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-k", "not csv-4", *args, timeout=300)
    result.assert_outcomes(passed=3, failed=1, skipped=1)
    # The files' own names, paths where two share a name; tcltest counted the deselected test as skipped.
    result.stdout.fnmatch_lines([
        "*= tcltest summary =*",
        "json.test: Total 1 Passed 1 Skipped 0 Failed 0",
        "other/json.test: Total 1 Passed 1 Skipped 0 Failed 0",
        "csv.test: Total 4 Passed 1 Skipped 2 Failed 1",
    ], consecutive=True)
    assert "tcltest summary" not in pytester.runpytest("-p", "no:cacheprovider").stdout.str()


DOTTED = "test csv-1.1 {ok} {set a 1} 1\ntest csv-1.2 {fails} {set a 1} 2\n"


def test_node_ids_with_dots_are_shown_and_taken_as_written(pytester):
    # pytest reads a domain's dots as Python's module.Class.test: csv-1.2 must
    # not become csv-1::2 anywhere, an id that selects nothing.
    tcltest(pytester, "csv", DOTTED)
    result = pytester.runpytest("-v", "--junitxml=out.xml")
    result.stdout.fnmatch_lines(["csv.test::csv-1.1 PASSED*", "csv.test::csv-1.2 FAILED*",
                                 "FAILED csv.test::csv-1.2 - " + CSV_FAILURE])
    assert "csv-1::2" not in result.stdout.str()
    names = [case.get("name") for case in ET.parse(str(pytester.path / "out.xml")).iter("testcase")]
    assert names == ["csv-1.1", "csv-1.2"]
    again = pytester.runpytest("-v", "--lf")
    again.stdout.fnmatch_lines(["csv.test::csv-1.2 FAILED*"])
    again.assert_outcomes(failed=1)
    given = pytester.runpytest("-v", "-p", "no:cacheprovider", "csv.test::csv-1.2")
    given.assert_outcomes(failed=1)
    given.stdout.fnmatch_lines(["csv.test::csv-1.2 FAILED*"])


CSV_FAILURE = "Result was: 1; expected (exact matching): 2"


@pytest.mark.parametrize("args, shown, hidden", [
    (["--tb=long"], ["==== Contents of test case:", "---- Result was:"], []),
    (["--tb=short"], ["---- Result was:"], ["==== Contents of test case:"]),
    (["--tb=line"], ["*csv.test:4: " + CSV_FAILURE], ["---- Result was:", "==== csv-1.2 fails FAILED"]),
    (["--tb=line", "-q"], ["*csv.test:4: " + CSV_FAILURE], ["---- Result was:"]),
    (["--tb=line", "-qq"], ["*csv.test:4: " + CSV_FAILURE], ["---- Result was:"]),
    (["--tb=no"], ["FAILED csv.test::csv-1.2 - " + CSV_FAILURE], ["---- Result was:", "*csv.test:4:*"]),
])
def test_tb_styles_shorten_tcltest_reports(pytester, args, shown, hidden):
    tcltest(pytester, "csv", DOTTED)
    result = pytester.runpytest("-p", "no:cacheprovider", "-rf", *args)
    assert result.ret == 1
    result.stdout.fnmatch_lines(shown)
    for line in hidden:
        result.stdout.no_fnmatch_line(line)


def test_tcl_timeout_shows_the_stack_the_history_and_tcltests_counts(pytester):
    tcltest(pytester, "suite", "proc spin {} {while 1 {}}\ntest t-1 {} {set a 1} 1\n"
                               "test t-2 {spins} {spin} 1\ntest t-3 {blocks} {exec sleep 3} {}\n"
                               "test t-4 {after} {set a 1} 1")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcl-timeout=1", "-rA", timeout=120)
    result.assert_outcomes(passed=2, failed=2)
    text = result.stdout.str()
    t2 = text[text.index(" t-2 _"):text.index(" t-3 _")]
    assert t2.count("exceeded the time limit") == 1, t2
    result.stdout.fnmatch_lines(['*(procedure "spin" line 1)', "*invoked from within", '"spin"',
                                 "*: test t-2 spins spin 1"])
    result.stdout.fnmatch_lines(["Tcl work exceeded the time limit of 1.0 seconds (it ran [3-9].* seconds)"])
    # tcltest counted what pytest did: one run, two failures.
    result.stdout.fnmatch_lines(["suite.test:*Total*4*Passed*2*Skipped*0*Failed*2"])


SPIN = 'proc spin {} {close [open started w]; while 1 {}}\ntest spin-1.1 {spins} {spin} 1\n'


def test_ctrl_c_in_a_tcltest_item_is_a_keyboard_interrupt(pytester):
    import signal
    import subprocess
    import sys
    import time

    tcltest(pytester, "spin", SPIN)
    process = subprocess.Popen([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "spin.test"],
                               cwd=str(pytester.path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        deadline = time.monotonic() + 60
        while not (pytester.path / "started").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        out, _ = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 2, out
    assert re.search(r'spin\.test:4: KeyboardInterrupt: in the tcltest test spin-1\.1, at ".*" '
                     r'\(procedure "spin" line 1\)', out), out
    assert "Traceback" not in out and "pytest_tcltest.py" not in out, out


# -- one thread, as under tclsh; no test lost -----------------------------------

THREAD_SUITE = r"""
package require Thread
set main [thread::id]
test names-1 {only this thread is known to Thread} {
    list [llength [thread::names]] [expr {[thread::id] eq $main}]
} {1 1}
test worker-1 {a worker made and released} {
    set t [thread::create {thread::wait}]
    set r [thread::send $t {expr {6 * 7}}]
    thread::release -wait $t
    list $r [llength [thread::names]]
} {42 1}
test tsv-1 {a shared variable} {
    tsv::set shared k 5
    set t [thread::create {thread::wait}]
    thread::send $t {tsv::incr shared k 2}
    thread::release -wait $t
    tsv::get shared k
} 7
test tpool-1 {a pool} {
    set p [tpool::create -maxworkers 2]
    set jobs [lmap n {1 2 3} {tpool::post $p [list expr $n * 10]}]
    foreach j $jobs {tpool::wait $p $j}
    set r [lmap j $jobs {tpool::get $p $j}]
    tpool::release $p
    set r
} {10 20 30}
test unwound-1 {a catch swallows the gentle stop: the run is unwound} {
    while 1 {catch {while 1 {}}}
} 1
# Thread's own suites end by reaping every thread but this one.
while {[llength [thread::names]] > 1} {
    foreach tid [thread::names] {if {$tid != $main} {catch {thread::release -wait $tid}}}
}
test names-2 {this thread alone after the reaping, in a new run too} {
    list [llength [thread::names]] [expr {[thread::id] eq $main}]
} {1 1}
"""


@pytest.mark.parametrize("args", [[], ["-n", "2"]], ids=["alone", "xdist"])
def test_extensions_that_tie_themselves_to_a_thread_see_one(pytester, args):
    # Expect loaded by two files (once crashed pytest: a second thread);
    # Thread's names and reaping as under tclsh, also across a new run of
    # the file after a test was unwound (once each run added a thread).
    if args:
        pytest.importorskip("xdist")
    expect = "package require Expect\ntest e-1 {} {expr 1} 1\n"
    tcltest(pytester, "expect1", expect, expect2=expect, threads=THREAD_SUITE)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcl-timeout=1", "--tcltest-summary",
                                           *args, timeout=180)
    result.assert_outcomes(passed=7, failed=1)
    result.stdout.fnmatch_lines(["FAILED threads.test::unwound-1 - the time limit ran out*"])
    assert result.ret == 1


LOST = {
    # A helper a test made, removed at the top level: the dry run fails there.
    "helper": ("test top-1 {defines a helper} {proc helper {} {return ok}; helper} ok\n"
               "rename helper {}\ntest top-2 {after it} {expr {1 + 1}} 2\n", {"top-1", "top-2"}),
    # A variable a test sets, read at the top level (tcllib's blowfish).
    "variable": ("test v-1 {} {set ::key 1} 1\nunset ::key\ntest v-2 {} {expr 2} 2\n"
                 "test v-3 {} {expr 3} 3\n", {"v-1", "v-2", "v-3"}),
}


@pytest.mark.parametrize("case", list(LOST))
def test_tests_after_top_level_code_that_needs_a_tests_work_are_items(pytester, case):
    body, names = LOST[case]
    tcltest(pytester, "suite", body)
    result = pytester.runpytest("-p", "no:cacheprovider", "-v", "--tcltest-summary")
    result.assert_outcomes(passed=len(names))
    result.stdout.fnmatch_lines(["suite.test: Total %d Passed %d Skipped 0 Failed 0" % (len(names), len(names))])


def test_a_test_only_the_run_meets_is_named_not_lost(pytester):
    # Collection cannot list a test whose existence depends on another
    # test's work without an error to tell it so: the run names it.
    tcltest(pytester, "suite", "test u-1 {} {set ::made 1} 1\n"
                               "if {[info exists ::made]} {test u-2 {made by u-1} {expr 1} 1}\n")
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*suite.test ran tests that its collection did not find*: u-2 (line 4)"])


# -- reports a CI log can trust ---------------------------------------------------

LIBRARY = 'proc ::acme::inner {x} {\n    error "bad $x"\n}\nproc ::acme::outer {x} {\n    ::acme::inner $x\n}\n'


def test_an_error_in_a_test_names_its_message_and_the_library_frames(pytester, tmp_path):
    (pytester.path / "lib.tcl").write_text("namespace eval ::acme {}\n" + LIBRARY)
    tcltest(pytester, "suite", "source [file join [file dirname [info script]] lib.tcl]\n"
                               "test r-1 {an error} {::acme::outer 5} ok\n"
                               "test r-2 {no output} -body {set a 1} -result 1 -output hello\n")
    xml = tmp_path / "junit.xml"
    result = pytester.runpytest("-p", "no:cacheprovider", "-rf", "--junitxml", str(xml))
    result.assert_outcomes(failed=2)
    result.stdout.fnmatch_lines(["Tcl traceback (most recent call last):", "  */lib.tcl:6: in ::acme::outer",
                                 "  */lib.tcl:3: in ::acme::inner"])
    result.stdout.fnmatch_lines(["---- Output was:", "(empty)", "---- Output should have been (exact matching):",
                                 "hello"])
    result.stdout.fnmatch_lines(["FAILED suite.test::r-1 - Test generated error: bad 5",
                                 "FAILED suite.test::r-2 - Output was: (empty); expected*"])
    messages = [f.get("message") for f in ET.parse(xml).iter("failure")]
    assert messages == ["Test generated error: bad 5", "Output was: (empty); expected (exact matching): hello"]


@pytest.mark.parametrize("body, summary, outcomes", [
    # A test unwound at the time limit: the new run's skipped tests are not counted again.
    ("test u-1 {fails} {set a 1} 2\ntest u-2 {spins} {while 1 {catch {while 1 {}}}} 1\ntest u-3 {} {set a 1} 1",
     "suite.test: Total 3 Passed 1 Skipped 0 Failed 2", dict(passed=1, failed=2)),
    ("test x-1 {} {set a 1} 1\ntest x-2 {exits} {exit 3} 1\ntest x-3 {after} {set a 1} 1",
     "suite.test: Total 2 Passed 1 Skipped 0 Failed 0 (partial: test x-2 called exit 3)", dict(passed=1, failed=2)),
], ids=["unwound", "exit"])
def test_the_tcltest_summary_agrees_with_the_items_or_says_it_is_partial(pytester, body, summary, outcomes):
    tcltest(pytester, "suite", body)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcltest-summary", "--tcl-timeout=1", "-rf",
                                           timeout=120)
    result.assert_outcomes(**outcomes)
    result.stdout.fnmatch_lines([summary])
    text = result.stdout.str()
    assert "KorvexTcltest" not in text, text  # none of the runner's own frames
    if "exit" in body:
        result.stdout.fnmatch_lines(["FAILED suite.test::x-2 - this test called exit 3*",
                                     "FAILED suite.test::x-3 - not run: the file called exit 3 before this test"])
    # Each failure has its history, the unwound and the exiting test's too.
    assert text.count("- Tcl history -") == 2, text


@pytest.mark.parametrize("arguments, message", [
    ("-constrains knownBug", "ERROR: tcltest_arguments: unknown option -constrains (tcltest's options: *"),
    ("-constraints", "ERROR: tcltest_arguments: missing value for option -constraints"),
])
def test_tcltest_argument_mistakes_are_usage_errors(pytester, arguments, message):
    tcltest(pytester, "suite", "test t-1 {} {set a 1} 1")
    result = pytester.runpytest("-p", "no:cacheprovider", "-o", "tcltest_arguments=" + arguments)
    assert result.ret == 4
    result.stderr.fnmatch_lines([message])


def test_tb_line_prints_one_line_per_failure(pytester):
    tcltest(pytester, "suite", "test f-1 {fails} {set a 2} 1")
    pytester.makepyfile(test_py="def test_py(tcl):\n    tcl.eval('error boom')\n")
    result = pytester.runpytest("-p", "no:cacheprovider", "--tb=line")
    result.assert_outcomes(failed=2)
    result.stdout.no_fnmatch_line("*Tcl history*")
