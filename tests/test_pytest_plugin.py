"""The pytest plugin, run on test files of its own through pytester."""

import re
import xml.etree.ElementTree as ET

import pytest

import korvex.tcl
from korvex.tcl import pytest_plugin

pytest_plugins = ["pytester"]

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}"


def sections(reprec, name):
    """The "Tcl history" section of each report of the test `name`, by phase."""
    found = {}
    for report in reprec.getreports("pytest_runtest_logreport"):
        if report.nodeid.endswith("::" + name):
            texts = [text for title, text in report.sections if title == pytest_plugin.SECTION]
            if texts:
                found[report.when] = texts[0]
    return found


def history_lines(text):
    """The entry lines of a section, as (markers, command) pairs."""
    rows = []
    for line in text.splitlines():
        if re.match(STAMP, line):
            head, command = line.split(": ", 1)
            markers = re.search(r"\[(.*)\]$", head)
            rows.append((markers.group(1) if markers else "", command))
    return rows


FAILING = """
import pytest
from korvex.tcl import TclError

def test_passes(tcl):
    tcl.eval("set ok 1")

def test_fails(tcl):
    tcl.eval("set a 1")
    tcl.history.start_marker("step")
    tcl.history.start_marker("outer")
    tcl.eval("set b 2")
    tcl.history.end_marker("outer")
    tcl.eval("set c 3")
    tcl.history.end_marker("step")
    tcl.eval("set d 4")
    assert tcl.eval("set a") == "2"
"""


def test_a_failing_test_reports_its_history_and_a_passing_one_nothing(pytester):
    pytester.makepyfile(FAILING)
    reprec = pytester.inline_run()
    reprec.assertoutcome(passed=1, failed=1)
    assert sections(reprec, "test_passes") == {}
    text = sections(reprec, "test_fails")["call"]
    assert history_lines(text) == [
        ("", "set a 1"), ("step outer", "set b 2"), ("step", "set c 3"), ("", "set d 4"), ("", "set a")]
    assert "tcl (fixture): 5 entries" in text


def test_the_report_shows_only_what_ran_during_the_test(pytester):
    pytester.makepyfile("""
        def test_first(tcl_session):
            tcl_session.eval("set before 1")

        def test_second(tcl_session):
            tcl_session.eval("set during 1")
            assert 0
    """)
    reprec = pytester.inline_run()
    assert history_lines(sections(reprec, "test_second")["call"]) == [("", "set during 1")]


@pytest.mark.parametrize("option, shown, left_out", [
    ([], 60, None), (["--tcl-history=3"], 3, 57), (["-o", "tcl_history=10"], 10, 50), (["--tcl-history=0"], 0, None)])
def test_the_number_of_entries_is_bounded(pytester, option, shown, left_out):
    pytester.makepyfile("""
        def test_many(tcl):
            for i in range(60):
                tcl.eval("set x %d" % i)
            assert 0
    """)
    reprec = pytester.inline_run(*option)
    found = sections(reprec, "test_many")
    if not shown:
        assert found == {}
        return
    rows = history_lines(found["call"])
    # The limit keeps the newest entries, newest last; 50 by default.
    expected = min(shown, 50) if not option else shown
    assert [cmd for _, cmd in rows] == ["set x %d" % i for i in range(60 - expected, 60)]
    if left_out or not option:
        assert "(%d earlier entries left out" % (60 - expected) in found["call"]


def test_a_tcl_error_brings_its_errorcode_and_errorinfo(pytester):
    pytester.makepyfile("""
        def boom():
            raise KeyError("no such key")

        def test_tcl(tcl):
            tcl.eval("proc f {} {nosuch 1}")
            tcl.eval("f")

        def test_callback(tcl):
            tcl.createcommand("boom", boom)
            tcl.eval("boom")

        def test_behind_an_assertion(tcl):
            try:
                tcl.eval("error oops {} {MY CODE}")
            except Exception as exc:
                raise AssertionError("wrapped") from exc
    """)
    reprec = pytester.inline_run()

    def whole(name):  # the failure as shown: the exception, then the section
        report = next(r for r in reprec.getreports("pytest_runtest_logreport")
                      if r.when == "call" and r.nodeid.endswith("::" + name))
        return report.longreprtext + "\n" + sections(reprec, name)["call"]

    text = sections(reprec, "test_tcl")["call"]
    assert "errorcode: TCL LOOKUP COMMAND nosuch" in text
    # errorInfo once: the exception's text is errorInfo, so the section leaves it out.
    assert whole("test_tcl").count('(procedure "f" line 1)') == 1
    text = sections(reprec, "test_callback")["call"]
    assert "errorcode: PYTHON KeyError" in text
    assert "raise KeyError" in whole("test_callback")  # the Python traceback, as Tcl's errorInfo holds it
    assert "errorcode: MY CODE" in sections(reprec, "test_behind_an_assertion")["call"]


def test_interpreters_the_test_made_or_holds_are_reported(pytester):
    pytester.makepyfile("""
        from korvex.tcl import Interpreter

        class Rig:
            def __init__(self):
                self.interp = Interpreter()

        def test_local():
            interp = Interpreter()
            interp.eval("set local 1")
            assert 0

        def test_hidden():
            rig = Rig()
            rig.interp.eval("set hidden 1")
            assert 0

        def test_shared():
            import korvex.tcl
            korvex.tcl.eval("set shared 1")
            assert 0

        def test_no_tcl_at_all():
            assert 0
    """)
    reprec = pytester.inline_run()
    assert "interp (local in test_local): 1 entry" in sections(reprec, "test_local")["call"]
    assert "made by the test: 1 entry" in sections(reprec, "test_hidden")["call"]
    assert "shared interpreter: 1 entry" in sections(reprec, "test_shared")["call"]
    assert sections(reprec, "test_no_tcl_at_all") == {}


def test_errors_in_fixtures_are_reported_too(pytester):
    pytester.makepyfile("""
        import pytest

        @pytest.fixture
        def rig(tcl):
            tcl.eval("set setup 1")
            yield tcl
            tcl.eval("set teardown 1")
            raise RuntimeError("teardown failed")

        def test_it(rig):
            rig.eval("set body 1")
    """)
    reprec = pytester.inline_run()
    found = sections(reprec, "test_it")
    assert list(found) == ["teardown"]
    assert [cmd for _, cmd in history_lines(found["teardown"])] == ["set setup 1", "set body 1", "set teardown 1"]


def test_a_broken_history_does_not_hide_the_failure(pytester):
    pytester.makepyfile("""
        def test_it(tcl):
            tcl.history = object()
            assert 0
    """)
    result = pytester.runpytest()
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*Tcl history*", "*tcl (fixture): history not readable (AttributeError*"])
    result.stdout.no_fnmatch_line("*INTERNALERROR*")


@pytest.mark.parametrize("logging", ["no", "system-out", "log", "all", "system-err"])
@pytest.mark.parametrize("passing", ["True", "False"])
def test_junit_xml_holds_the_section_once_in_system_out(pytester, logging, passing):
    pytester.makepyfile(FAILING)
    xml = pytester.path / "junit.xml"
    pytester.inline_run("--junitxml=%s" % xml, "-o", "junit_logging=" + logging,
                        "-o", "junit_log_passing_tests=" + passing)
    cases = {case.get("name"): case for case in ET.parse(xml).iter("testcase")}
    outs = [el.text or "" for el in cases["test_fails"] if el.tag == "system-out"]
    assert sum(text.count("Tcl history") for text in outs) == 1, outs
    assert "[step outer]: set b 2" in "".join(outs)
    assert not any("Tcl history" in (el.text or "") for el in cases["test_passes"])


def test_the_tcl_fixture_is_new_for_each_test_and_closed_after(pytester):
    pytester.makepyfile("""
        import pytest
        from korvex.tcl import TclError
        seen = []

        def test_define(tcl):
            seen.append(tcl)
            tcl.eval("proc mine {} {}; set ::leak 1")
            tcl.create_callback(lambda: 1, "cb")

        def test_clean(tcl):
            assert tcl is not seen[0]
            assert tcl.eval("info commands mine") == ""
            assert tcl.eval("info exists ::leak") == "0"
            assert tcl.eval("info commands cb") == ""
            with pytest.raises(TclError, match="closed"):
                seen[0].eval("set a 1")

        def test_session_is_one(tcl_session, request):
            seen.append(tcl_session)

        def test_session_again(tcl_session, tcl_shared):
            import korvex.tcl
            assert tcl_session is seen[1]
            assert tcl_shared is korvex.tcl._global_interpreter
            assert tcl_session is not tcl_shared
    """)
    pytester.inline_run().assertoutcome(passed=4)


def test_tcl_timeout_fails_a_hanging_test(pytester):
    pytester.makepyfile("""
        import pytest
        import korvex.tcl
        from korvex.tcl import Interpreter, TclTimeoutError

        @pytest.mark.tcl_timeout(0.2)
        def test_marker(tcl):
            tcl.eval("while 1 {}")

        def test_option(tcl_session):
            tcl_session.eval("while 1 {}")

        @pytest.mark.tcl_timeout(0.2)
        def test_made_inside():
            Interpreter().eval("while 1 {}")

        @pytest.mark.tcl_timeout(0.2)
        def test_shared():
            korvex.tcl.eval("while 1 {}")

        @pytest.mark.tcl_timeout(0)
        def test_marker_lifts_the_option(tcl_session):
            tcl_session.eval("after 700")
    """)
    result = pytester.runpytest_subprocess("--tcl-timeout=0.5", "-p", "no:cacheprovider", timeout=120)
    result.assert_outcomes(failed=4, passed=1)
    out = result.stdout.str()
    # The marker's limit for test_marker, test_made_inside and test_shared; the option's for test_option.
    assert out.count("E       korvex.tcl.TclTimeoutError: Tcl work exceeded the time limit of 0.2 seconds") == 3
    assert out.count("E       korvex.tcl.TclTimeoutError: Tcl work exceeded the time limit of 0.5 seconds") == 1
    result.stdout.fnmatch_lines(["*errorcode: TCL LIMIT TIME*"])


def test_a_limit_does_not_outlive_its_test(pytester):
    pytester.makepyfile("""
        import pytest

        @pytest.mark.tcl_timeout(0.3)
        def test_quick(tcl_session):
            tcl_session.eval("set a 1")

        def test_slow_but_unbounded(tcl_session):
            tcl_session.eval("after 600")
    """)
    pytester.runpytest_subprocess("-p", "no:cacheprovider", timeout=120).assert_outcomes(passed=2)


@pytest.mark.parametrize("marker, message", [
    ('"x"', "tcl_timeout takes a number of seconds, not 'x'"),
    ("-1", "tcl_timeout must be 0 or more seconds"),
    ("1, 2", "tcl_timeout takes one argument"),
])
def test_a_bad_marker_errors_the_test(pytester, marker, message):
    pytester.makepyfile("""
        import pytest

        @pytest.mark.tcl_timeout(%s)
        def test_it():
            pass
    """ % marker)
    result = pytester.runpytest()
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*" + message + "*"])


@pytest.mark.parametrize("option, message", [
    ("--tcl-history=-1", "--tcl-history must be 0 or more"),
    ("--tcl-timeout=-2", "--tcl-timeout must be 0 or more seconds"),
    ("--tcl-timeout=nan", "--tcl-timeout must be 0 or more seconds"),
])
def test_bad_options_are_usage_errors(pytester, option, message):
    pytester.makepyfile("def test_it(): pass")
    result = pytester.runpytest(option)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*" + message + "*"])


def test_pytest_timeout_signals_reach_a_running_script(pytester):
    pytest.importorskip("pytest_timeout")
    pytester.makepyfile("""
        import pytest

        @pytest.mark.timeout(0.5, method="signal")
        def test_hangs(tcl):
            tcl.eval("while 1 {}")

        def test_after(tcl_shared):
            assert tcl_shared.eval("expr {1 + 1}") == "2"
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", timeout=120)
    result.assert_outcomes(failed=1, passed=1)
    result.stdout.fnmatch_lines(["*Timeout*", "*Tcl history*"])


def test_markers_and_options_are_registered(pytester):
    result = pytester.runpytest("--markers")
    result.stdout.fnmatch_lines(["@pytest.mark.tcl_timeout(seconds):*"])
    result = pytester.runpytest("--help")
    result.stdout.fnmatch_lines(["*--tcl-history=N*", "*--tcl-timeout=SECONDS*"])
    pytester.makepyfile("""
        import pytest

        @pytest.mark.tcl_timeout(5)
        def test_it(tcl):
            pass
    """)
    pytester.runpytest("--strict-markers").assert_outcomes(passed=1)


def test_the_plugin_can_be_turned_off(pytester):
    pytester.makepyfile("""
        def test_it(tcl):
            pass
    """)
    result = pytester.runpytest("-p", "no:korvex_tcl")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*fixture 'tcl' not found*"])


def test_construction_is_watched_only_while_a_session_runs(pytester):
    from korvex.tcl.interpreter import Interpreter

    pytester.makepyfile("def test_it(tcl): pass")
    before = Interpreter.__dict__["_load_entrypoint"]
    pytester.inline_run().assertoutcome(passed=1)
    # The nested session ended; this one still watches, with the same function.
    assert Interpreter.__dict__["_load_entrypoint"] is before


def test_xdist_workers_send_their_sections_to_the_controller(pytester):
    pytest.importorskip("xdist")
    pytester.makepyfile(test_one=FAILING, test_two="""
        import os

        def test_session(tcl_session):
            tcl_session.eval("set pid %d" % os.getpid())
            assert 0
    """)
    result = pytester.runpytest_subprocess("-n", "2", "-p", "no:cacheprovider",
                                           "--junitxml=%s" % (pytester.path / "j.xml"), timeout=180)
    result.assert_outcomes(failed=2, passed=1)
    result.stdout.fnmatch_lines(["*Tcl history*", "*[[]step outer[]]: set b 2*"])
    result.stdout.fnmatch_lines(["*tcl_session (fixture): 1 entry*", "*: set pid *"])
    cases = {case.get("name"): case for case in ET.parse(pytester.path / "j.xml").iter("testcase")}
    assert "set b 2" in "".join(el.text or "" for el in cases["test_fails"] if el.tag == "system-out")


def test_history_report_merges_interpreters_by_time():
    from datetime import datetime

    one, two = korvex.tcl.Interpreter(), korvex.tcl.Interpreter()
    start = datetime.now()
    one.eval("set a 1")
    two.eval("set b 2")
    one.eval("set c 3")
    text = pytest_plugin.history_report([("one", one), ("two", two)], start, 10)
    assert [line.split(": ", 1)[0].split()[1:] + [line.split(": ", 1)[1]]
            for line in text.splitlines()[1:]] == [["one", "set a 1"], ["two", "set b 2"], ["one", "set c 3"]]
    two.history.disable()
    assert "two: 0 entries, recording disabled" in pytest_plugin.history_report(
        [("one", one), ("two", two)], datetime.now(), 10, always={id(two)})


def test_interpreters_of_other_threads_are_left_alone(pytester):
    # The plugin must not take a reference to them: an interpreter has to be
    # freed in the thread that made it.
    pytester.makepyfile("""
        import threading
        from korvex.tcl import Interpreter

        def work():
            interp = Interpreter()
            interp.eval("set in_thread 1")

        def test_it(tcl):
            tcl.eval("set main 1")
            t = threading.Thread(target=work)
            t.start()
            t.join()
            assert 0
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", timeout=120)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["Interpreters: tcl (fixture): 1 entry"])
    result.stdout.no_fnmatch_line("*in_thread*")


def test_a_run_that_uses_no_tcl_imports_none(pytester):
    pytester.makepyfile("""
        import sys

        def test_passes():
            assert "korvex.tcl_testing.pytest_plugin" in sys.modules
            assert not {"korvex.tcl", "tkinter", "_tkinter"} & set(sys.modules)

        def test_fails():
            assert 0
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcl-timeout=5", timeout=120)
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.no_fnmatch_line("*Tcl history*")


@pytest.mark.parametrize("marked", [False, True], ids=["no limit", "a limit"])
def test_interpreters_are_watched_from_the_package_import_in_a_test(pytester, marked):
    # The package is imported first inside the tests, after the session
    # started; without a time limit anywhere the plugin has not been
    # following the tests until then.
    pytester.makepyfile("""
        import pytest

        def test_first():
            pass

        def test_reported():
            from korvex.tcl import Interpreter
            held = [Interpreter()]
            held[0].eval("set made 1")
            assert 0

        def test_next():
            from korvex.tcl import Interpreter
            held = [Interpreter()]
            held[0].eval("set next 1")
            assert 0
    """ + ("""
        @pytest.mark.tcl_timeout(0.2)
        def test_bounded():
            from korvex.tcl import Interpreter
            [Interpreter()][0].eval("while 1 {}")
    """ if marked else ""))
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", timeout=120)
    result.assert_outcomes(passed=1, failed=3 if marked else 2)
    out = result.stdout.str()
    assert out.count("interpreter 1 made by the test: 1 entry") == 2, out
    assert "set made 1" in out and "set next 1" in out
    if marked:
        result.stdout.fnmatch_lines(["*TclTimeoutError: Tcl work exceeded the time limit of 0.2 seconds*"])


def test_the_published_module_is_the_plugin(pytester):
    import korvex.tcl_testing.pytest_plugin

    assert pytest_plugin.tcl is korvex.tcl_testing.pytest_plugin.tcl
    assert pytest_plugin.history_report is korvex.tcl_testing.pytest_plugin.history_report
    # Named in place of the entry point, the published module is the whole plugin.
    pytester.makepyfile("def test_it(tcl): assert tcl.eval('package provide Tclx') == '8.4'")
    result = pytester.runpytest_subprocess("-p", "no:korvex_tcl", "-p", "korvex.tcl.pytest_plugin",
                                           "-p", "no:cacheprovider", "--tcl-history=3", timeout=120)
    result.assert_outcomes(passed=1)


DEEP_LIB = """\
proc p1 {} {p2}
proc p2 {} {p3}
proc p3 {} {
    p4
}
proc p4 {} {p5}
proc p5 {} {[Thing new] run}
oo::class create Thing {
    method run {} {
        p6
    }
}
proc p6 {} {
    set x 1
    error "deep failure"
}
"""


@pytest.mark.parametrize("ci", [None, "true"])  # on CI pytest prints the short summary's message whole
def test_a_deep_tcl_error_shows_file_and_line_of_each_frame_once(pytester, monkeypatch, ci):
    if ci:
        monkeypatch.setenv("CI", ci)
    else:
        monkeypatch.delenv("CI", raising=False)
        monkeypatch.delenv("BUILD_NUMBER", raising=False)
    pytester.path.joinpath("lib.tcl").write_text(DEEP_LIB)
    pytester.makepyfile("""
        import os
        from korvex.tcl import TclError

        def test_deep(tcl):
            tcl.eval("source " + os.path.abspath("lib.tcl"))
            try:
                tcl.eval("p1")
            except TclError as exc:  # Tcl's own text stays on the exception
                assert '(procedure "p6" line 3)' in exc.errorinfo
                raise
    """)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(failed=1)
    lib = str(pytester.path / "lib.tcl")
    result.stdout.fnmatch_lines(["Tcl traceback (most recent call last):"]
                                + ["  %s:%d: in %s" % (lib, line, name) for line, name in [
                                    (1, "::p1"), (2, "::p2"), (4, "::p3"), (6, "::p4"), (7, "::p5"),
                                    (10, "::Thing run"), (15, "::p6")]])
    assert result.stdout.str().count('(procedure "p6" line 3)') == 1
    if ci:
        result.stdout.fnmatch_lines(["FAILED *::test_deep - *TclError: deep failure"])


@pytest.mark.parametrize("style, stack_shown", [("long", True), ("short", True), ("line", False)])
def test_tb_line_shows_a_tcl_errors_message_not_its_stack(pytester, monkeypatch, style, stack_shown):
    monkeypatch.setenv("CI", "true")
    pytester.makepyfile("""
        def test_tcl(tcl):
            tcl.eval("proc f {} {error boom}")
            tcl.eval("f")
    """)
    result = pytester.runpytest("-p", "no:cacheprovider", "--tb=" + style)
    result.stdout.fnmatch_lines(["E   *TclError: boom"])
    assert ('(procedure "f" line 1)' in result.stdout.str()) == stack_shown


# -- Ctrl-C in a Python test ----------------------------------------------------------

CTRL_C_TESTS = """
import time

def test_in_tcl(tcl):
    tcl.eval("proc spin {} {\\n    close [open started w]\\n    while 1 {}\\n}")
    tcl.eval("set ready 1; spin")

def test_in_python(tcl):
    tcl.eval("set a 1")
    open("started", "w").close()
    time.sleep(60)
"""


@pytest.mark.parametrize("test, message", [
    # (pytest shows the test's line and stops; Tcl's place is said after the exception's name)
    ("test_in_tcl", r'KeyboardInterrupt: in Tcl \(tcl \(fixture\)\), at "while 1 \{\}" \(procedure "spin" line \d\)$'),
    ("test_in_python", r"KeyboardInterrupt$"),
])
def test_ctrl_c_in_a_python_test_says_where_tcl_was(pytester, test, message):
    import signal
    import subprocess
    import sys
    import time

    pytester.makepyfile(test_ctrl_c=CTRL_C_TESTS)
    process = subprocess.Popen([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "test_ctrl_c.py::" + test],
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
    line = 5 if test == "test_in_tcl" else 10
    assert re.search(r"^\S*test_ctrl_c\.py:%d: %s" % (line, message), out, re.M), out
