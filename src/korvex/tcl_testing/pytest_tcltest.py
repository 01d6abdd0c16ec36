"""tcltest suites run by pytest: every tcltest ``test`` of a ``*.test`` file
is one pytest item (see the guide, "Running tcltest suites with pytest").

Part of the korvex_tcl plugin, which registers this module. Like it, it
imports nothing of Tcl until a matching file is collected: until then the
plugin only compares file names with ``tcltest_files``.

A file is collected by a dry run (korvex.tcl_testing.tcltest_runner): the file
evaluated with every test skipped, which finds tests whose names are
computed. Its items run in one FileRun: one fresh Interpreter evaluating the
file, stopping at each selected test until its item runs.
"""

from __future__ import annotations

import fnmatch
import functools
import os
import re
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Generator, Iterable, Iterator, List, NoReturn, Optional, Tuple, Union

import pytest

from korvex.tcl_testing import pytest_plugin as _tcl_pytest

if TYPE_CHECKING:
    from _pytest._code.code import ReprExceptionInfo, TerminalRepr

    from korvex.tcl_testing.tcltest_runner import End, FileRun, Result
    from korvex.tcl.interpreter import Interpreter

DEFAULT_FILES = ["*.test"]

_dist_given = pytest.StashKey[bool]()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addini("tcltest_files", "glob patterns of tcltest files to collect (an empty value: none)",
                  type="args", default=list(DEFAULT_FILES))
    parser.addini("tcltest_arguments", "arguments given to each tcltest file, as tclsh FILE ARGS would "
                  "(tcltest's -constraints, -limitconstraints, -tmpdir...; $NAME: from the environment)",
                  type="args", default=[])
    parser.addini("tcltest_ignore", "path globs of tcltest files not to collect, relative to the rootdir "
                  "(** any directories, * within one name; a glob without / matches base names): "
                  "files that other test files source", type="args", default=[])
    parser.addini("tcltest_summary", "default of --tcltest-summary", type="bool", default=False)
    group = parser.getgroup("korvex_tcl")
    group.addoption(
        "--tcltest-summary", action="store_true", default=None,
        help="print tcltest's own line for each tcltest file (name: Total N Passed N Skipped N "
             "Failed N) in the terminal summary")


# tcltest's options (tcltest 2.5's configure): each takes a value, and may
# be given by a unique prefix.
_TCLTEST_OPTIONS = ("-asidefromdir", "-constraints", "-debug", "-errfile", "-file", "-limitconstraints", "-load",
                    "-loadfile", "-match", "-notfile", "-outfile", "-preservecore", "-relateddir", "-singleproc",
                    "-skip", "-testdir", "-tmpdir", "-verbose")


def check_tcltest_arguments(args: List[str]) -> Optional[str]:
    """What is wrong with tcltest arguments, as tcltest would take them
    from a command line (an unknown option, which tcltest only warns of in
    a test's output; an option without its value, on which it exits), or
    None."""
    i = 0
    while i < len(args):
        option = args[i]
        matches = [o for o in _TCLTEST_OPTIONS if o == option or (len(option) > 1 and o.startswith(option))]
        if option == "-help":
            return "-help prints tcltest's usage and exits: not an argument for its files"
        if len(matches) != 1 and option not in matches:
            return "%s option %s (tcltest's options: %s)" % (
                "ambiguous" if matches else "unknown", option, " ".join(_TCLTEST_OPTIONS))
        if i + 1 >= len(args):
            return "missing value for option %s" % option
        i += 2
    return None


@pytest.hookimpl(trylast=True)  # after junitxml has set up its writer
def pytest_configure(config: pytest.Config) -> None:
    problem = check_tcltest_arguments(tcltest_arguments(config)) if config.getini("tcltest_files") else None
    if problem is not None:
        raise pytest.UsageError("tcltest_arguments: " + problem)
    xml = _tcl_pytest._junit_xml(config)
    if xml is not None:
        config.pluginmanager.register(_JunitClassnames(xml, config.getini("tcltest_files")),
                                      "korvex_tcl-tcltest-junitxml")
    summary = config.getoption("tcltest_summary")
    if summary if summary is not None else config.getini("tcltest_summary"):
        config.pluginmanager.register(_Summary(), "korvex_tcl-tcltest-summary")


def pytest_unconfigure(config: pytest.Config) -> None:
    # A run left waiting (a session stopped by Ctrl-C, -x) ends here, in
    # pytest's thread, not whenever its greenlet is collected.
    runner = sys.modules.get("korvex.tcl_testing.tcltest_runner")
    if runner is not None:
        runner.abort_all()


@pytest.hookimpl(hookwrapper=True)
def pytest_cmdline_main(config: pytest.Config) -> Iterator[None]:
    # Before pytest-xdist turns -n without --dist into --dist load.
    config.stash[_dist_given] = getattr(config.option, "dist", "no") != "no"
    yield


# -- collection --------------------------------------------------------------

def _matches(path: Union[str, "os.PathLike[str]"], patterns: Iterable[str]) -> bool:
    name = os.path.basename(str(path))
    for pattern in patterns:
        if os.sep in pattern or "/" in pattern:
            if fnmatch.fnmatch(str(path), pattern if os.path.isabs(pattern) else "*" + os.sep + pattern):
                return True
        elif fnmatch.fnmatch(name, pattern):
            return True
    return False


def pytest_collect_file(file_path: Path, parent: pytest.Collector) -> Optional["TcltestFile"]:
    config = parent.config
    patterns = config.getini("tcltest_files")
    if patterns and _matches(file_path, patterns) and not _ignored(config, file_path, parent.session):
        file: TcltestFile = TcltestFile.from_parent(parent, path=file_path)
        return file
    return None


def _ignored(config: pytest.Config, path: Path, session: pytest.Session) -> bool:
    """Whether the ini option tcltest_ignore leaves the file out (a file
    named on the command line is collected whatever it says, as pytest's
    own --ignore does)."""
    globs = config.getini("tcltest_ignore")
    if not globs or session.isinitpath(path):
        return False
    return path_matches(path, globs, config.rootpath)


def path_matches(path: Path, globs: Iterable[str], root: Path) -> bool:
    """Whether `path` matches one of the path globs, relative to `root`
    (absolute ones as they are): "**" stands for any number of directories,
    "*", "?" and "[...]" for characters within one name; a glob without a
    slash matches the base name."""
    try:
        relative = path.relative_to(root).as_posix()
    except ValueError:
        relative = None
    for glob in globs:
        if "/" not in glob.rstrip("/") and os.sep not in glob:
            if fnmatch.fnmatchcase(path.name, glob.rstrip("/")):
                return True
            continue
        glob = glob.replace(os.sep, "/")
        subject = path.as_posix() if os.path.isabs(glob) else relative
        if subject is not None and _glob_pattern(glob.lstrip("/") if not os.path.isabs(glob) else glob
                                                 ).fullmatch(subject):
            return True
    return False


@functools.lru_cache(maxsize=64)
def _glob_pattern(glob: str) -> "re.Pattern[str]":
    parts = []
    i = 0
    while i < len(glob):
        if glob.startswith("**/", i) and (i == 0 or glob[i - 1] == "/"):
            parts.append("(?:.*/)?")  # any directories, none included
            i += 3
        elif glob.startswith("**", i) and (i == 0 or glob[i - 1] == "/") and i + 2 == len(glob):
            parts.append(".*")
            i += 2
        elif glob[i] == "*":
            parts.append("[^/]*")
            i += 1
        elif glob[i] == "?":
            parts.append("[^/]")
            i += 1
        elif glob[i] == "[" and "]" in glob[i + 2:]:
            end = glob.index("]", i + 2)
            body = glob[i + 1:end]
            negate = body[0] in "!^"
            parts.append("[%s%s]" % ("^" if negate else "", body[negate:].replace("\\", "\\\\")))
            i = end + 1
        else:
            parts.append(re.escape(glob[i]))
            i += 1
    return re.compile("".join(parts))


def tcltest_arguments(config: pytest.Config) -> List[str]:
    """The ini option tcltest_arguments, $NAME and ${NAME} replaced from the
    environment (-tmpdir /tmp/t-$PYTEST_XDIST_WORKER: one per worker)."""
    return [os.path.expandvars(arg) for arg in config.getini("tcltest_arguments")]


def node_name(name: str) -> str:
    """The pytest name of the Tcl test `name`: the name itself, with what
    would break a node id escaped. A backslash is doubled; "::" (pytest's
    separator) becomes ":\\x3a"; control characters are written as Python
    escapes ("\\n", "\\x1b"); an empty name is "{}"."""
    if name == "":
        return "{}"
    out = []
    previous = ""
    for char in name:
        if char == "\\":
            out.append("\\\\")
        elif char == ":" and previous == ":":
            out.append("\\x3a")
        elif not char.isprintable() and char != " ":
            out.append(repr(char)[1:-1] if char in "\n\r\t" or ord(char) < 0x100
                       else "\\u%04x" % ord(char) if ord(char) < 0x10000 else "\\U%08x" % ord(char))
        else:
            out.append(char)
        previous = char
    return "".join(out)


class TcltestFile(pytest.File):
    """A tcltest file: its tests are the items, found by a dry run."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._run: Optional[FileRun] = None
        self._told = False  # whether an item reported how the run ended
        # tcltest's counts of the file's runs so far (Total, Passed, Skipped,
        # Failed), what makes them partial, and how many tests a new run
        # skips because an earlier one ran them.
        self._counts = [0, 0, 0, 0]
        self._partial: List[str] = []
        self._offset = 0
        # Set by the teardown for the summary: the counts and what makes them partial.
        self.summary: Optional[Tuple[List[int], List[str]]] = None
        self.selected: List[Tuple[str, int]] = []  # the keys of the items to run, in order
        self.order: Dict[Tuple[str, int], int] = {}  # each test's place in the file

    def collect(self) -> Iterator["TcltestItem"]:
        from korvex.tcl_testing.tcltest_runner import collect
        from korvex.tcl.interpreter import TclError

        try:
            with _tcl_pytest.unwatched():
                found, _ = collect(self.path, tcltest_arguments(self.config),
                                   _tcl_pytest._option_timeout(self.config), _tcl_pytest.tclx_setting(self.config))
        except TclError as exc:
            raise self.CollectError(str(exc)) from None
        # With --dist loadgroup, pytest-xdist keeps the items of a group together.
        group = None
        if getattr(self.config.option, "dist", "no") == "loadgroup":
            group = pytest.mark.xdist_group(self.nodeid)
        seen: Dict[str, int] = {}
        used = set()
        for place, (name, line) in enumerate(found):
            occurrence = seen[name] = seen.get(name, 0) + 1
            label = base = node_name(name)
            count = occurrence
            while label in used:  # the same name again: "name[2]", "name[3]"...
                label = "%s[%d]" % (base, count)
                count += 1
            used.add(label)
            item = TcltestItem.from_parent(self, name=label, key=(name, occurrence), place=place, line=line)
            if group is not None:
                item.add_marker(group)
            self.order[item.key] = place
            yield item

    def teardown(self) -> None:
        run, self._run = self._run, None
        if run is None:
            return
        if run.end is None:
            with _tcl_pytest.unwatched():
                run.finish(_tcl_pytest._option_timeout(self.config))
        end = run.end
        assert end is not None
        self._fold(run)
        self.summary = (self._counts, self._partial)
        self._counts, self._partial, self._offset = [0, 0, 0, 0], [], 0
        problems = []
        if end.kind in ("error", "timeout", "aborted") and not self._told:
            problems.append("%s while finishing %s:\n%s" % (_ENDS[end.kind], self.path.name, end.text))
        if end.unlisted:
            problems.append(_unlisted(self.path.name, end.unlisted))
        if problems:
            pytest.fail("\n".join(problems), pytrace=False)

    # -- running ---------------------------------------------------------------

    def result_of(self, item: "TcltestItem", seconds: float) -> "Result | End | None":
        from korvex.tcl_testing.tcltest_runner import FileRun

        run = self._run
        if run is not None and run.end is None and run.position >= item.place:
            run.finish(seconds)  # this test was passed by: run the file again
        if run is None or (run.end is not None and self._again(run, item)):
            if run is not None:
                self._fold(run)
            args = tcltest_arguments(self.config)
            run = self._run = FileRun(self.path, args, self.selected, self.order,
                                      tclx=_tcl_pytest.tclx_setting(self.config))
            self._told = False
        item.run = run
        if run.end is not None:
            return run.end
        return run.run_test(item.key, seconds)

    def _fold(self, run: "FileRun") -> None:
        """Adds tcltest's counts of an ended run to the file's: a run after
        one unwound in a test skips the tests the first one met (they are
        not counted twice), and the unwound test, which tcltest never
        counted as passed or failed, is a failure as pytest reports it."""
        end = run.end
        if end is None:
            return
        stopped = end.kind in ("timeout", "aborted") and end.in_test
        offset, self._offset = self._offset, (end.met if stopped else 0)
        if end.counts is None:
            self._partial.append("the counts of a stopped run are not known")
            return
        total, passed, skipped, failed = end.counts
        total, skipped = total - offset, skipped - offset
        if stopped:  # (tcltest counts a test in its Total as it starts)
            failed += 1
        if skipped < 0:  # run again for a test passed by: its tests ran twice
            self._partial.append("the file ran again for a test run out of order")
            total, skipped = total - skipped, 0
        self._counts = [a + b for a, b in zip(self._counts, (total, passed, skipped, failed))]
        if end.kind == "exit":
            self._partial.append("%s called exit %d" % ("test %s" % end.key[0] if end.key else "the file",
                                                          end.status))
        elif end.kind == "error":
            self._partial.append("an error ended the file's run")
        elif end.kind in ("timeout", "aborted") and not end.in_test:
            self._partial.append("the run was stopped between tests")

    @staticmethod
    def _again(run: "FileRun", item: "TcltestItem") -> bool:
        """Whether a new run of the file must serve the item, the last one
        having ended."""
        end = run.end
        assert end is not None
        if end.kind == "finished" or item.place <= run.position:
            return True
        return end.kind in ("timeout", "aborted") and end.in_test


def _unlisted(name: str, tests: "Iterable[Tuple[str, int]]") -> str:
    """What the teardown of a file says of the tests its run met that its
    collection did not find (they are not items: they were skipped)."""
    listed = ", ".join("%s (line %d)" % (test, line) if line > 0 else test for test, line in tests)
    return ("%s ran tests that its collection did not find, so they are no items and were skipped: %s\n"
            "(the file's top-level code takes another way when its tests run than when they are only listed)"
            % (name, listed))


_ENDS = {
    "error": "an error reached the top level",
    "timeout": "the time limit ran out",
    "aborted": "the run was stopped",
}


class TcltestFailure(Exception):
    """A tcltest test failed, or did not run: `report` is what to show."""

    def __init__(self, report: str, message: str) -> None:
        super().__init__(message)
        self.report = report
        self.message = message


def _skip(reason: str) -> BaseException:
    # Reported at the test's own line, not the plugin's.
    try:
        return pytest.skip.Exception(reason, _use_item_location=True)
    except TypeError:  # pragma: no cover - a pytest without it
        return pytest.skip.Exception(reason)


class TcltestItem(pytest.Item):
    """One tcltest test: `key` is (its Tcl name, which test of that name in the file)."""

    keeps_time_limit = True  # the file's run applies the test's limit (see FileRun)

    def __init__(self, *, key: Tuple[str, int], place: int, line: int, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.key = key
        self.place = place
        self.line = line
        self.run: Optional[FileRun] = None

    @property
    def file(self) -> TcltestFile:
        parent = self.parent
        assert isinstance(parent, TcltestFile)
        return parent

    def runtest(self) -> None:
        file = self.file
        test = self.stash.get(_tcl_pytest._test, None)  # the plugin read the limit at setup
        seconds = test.seconds if test is not None else _tcl_pytest._test_timeout(self)
        try:
            with _tcl_pytest.unwatched():
                result = file.result_of(self, seconds)
        except (KeyboardInterrupt, pytest.fail.Exception) as exc:
            # Raised in pytest's thread (Ctrl-C, pytest-timeout's signal
            # method) while Tcl worked: the run is stopped, and said so here,
            # not again at the teardown.
            file._told = True
            run = self.run
            stack = ""
            if run is not None and run.stopped is not None:
                stack = run.stopped.report
            elif run is not None and run.end is not None:
                stack = run.end.text
            if isinstance(exc, KeyboardInterrupt):
                stopped = KeyboardInterrupt("in the tcltest test %s%s" % (self.key[0], _where(stack)))
                _raise_at(stopped, self.path, self.line)
            message = str(getattr(exc, "msg", exc))
            raise TcltestFailure("%s\nthe test was stopped%s\n%s" % (message, _where(stack), stack),
                                 message) from None
        from korvex.tcl_testing.tcltest_runner import End

        if isinstance(result, End):
            self._not_run(result)
        if result is None:
            raise TcltestFailure("not run: the file did not run this test where collection found it",
                                 "not run where collection found it")
        run = self.run
        if run is not None and run.overran is not None and result.outcome in ("failed", "error", "none"):
            overrun = _overrun(run.overran, run.took)
            raise TcltestFailure(overrun + "\n" + result.report, "the time limit ran out in this test: " + overrun)
        if result.outcome == "passed":
            return
        if result.outcome == "skipped":
            raise _skip(_skip_reason(result))
        if result.outcome == "failed":
            raise TcltestFailure(result.report, _summary(result.report))
        if result.outcome == "error":
            first = result.report.split("\n", 1)[0]
            raise TcltestFailure(result.report, "the test command failed: " + first)
        raise TcltestFailure("tcltest counted this test as neither passed, skipped nor failed",
                             "tcltest counted no outcome")

    def _not_run(self, end: "End") -> NoReturn:
        file = self.file
        told, file._told = file._told, True
        if end.kind == "timeout" or (end.kind in ("error", "aborted") and not told):
            where = "in this test" if end.in_test else "in the file's code before this test"
            if end.kind == "error":
                where = "before this test" if not end.in_test else where
            text = "%s %s:\n%s" % (_ENDS[end.kind], where, end.text)
            run = self.run
            if end.kind == "timeout" and run is not None and run.overran is not None:
                overrun = _overrun(run.overran, run.took)
                text = "%s %s: %s\n%s" % (_ENDS[end.kind], where, overrun, end.text)
                where += ": " + overrun
            failure = TcltestFailure(text, "%s %s" % (_ENDS[end.kind], where))
            raise failure from end.exc
        if end.kind == "exit" and end.key == self.key and not told:
            text = "this test called exit %d: the file's run ended there" % end.status
            raise TcltestFailure(text, text)
        if end.kind == "exit":
            reason = "the file called exit %d before this test" % end.status
        elif end.kind in ("error", "aborted"):
            reason = "the file's run had ended (%s)" % _ENDS[end.kind]
        else:
            reason = "the file ended without running this test"
        raise TcltestFailure("not run: " + reason, "not run: " + reason)

    def repr_failure(self, excinfo: pytest.ExceptionInfo[BaseException], style: Any = None,
                     ) -> Union[str, TerminalRepr]:
        if isinstance(excinfo.value, TcltestFailure):
            text = _shortened(excinfo.value.report, self.config.getoption("tbstyle", "auto"))
            return _report(text, excinfo.value.message, str(self.path), self.line)
        return super().repr_failure(excinfo)

    def reportinfo(self) -> Tuple[Union["os.PathLike[str]", str], Optional[int], str]:
        # The domain heads the failure's section. pytest's terminal shows the
        # node id with a domain that ends it rewritten, dots read as Python's
        # "module.Class.test" ("csv-1.2" would show as "csv-1::2", an id that
        # selects nothing); a domain marked as pytest marks a doctest's keeps
        # the id as written.
        return self.path, (self.line - 1 if self.line > 0 else None), "[tcltest] " + self.name

    def tcl_interpreters(self) -> List[Tuple[str, Interpreter]]:
        """The interpreters of this test, for the "Tcl history" section."""
        run = self.run
        interp = run.interp or run.last_interp if run is not None else None
        if interp is None:
            return []
        return [("%s (tcltest file)" % self.path.name, interp)]


def _overrun(seconds: float, took: Optional[float]) -> str:
    """What a time limit stopped, with how long the work really ran when it
    went on well past the limit (a command blocked in the system)."""
    text = "Tcl work exceeded the time limit of %s seconds" % (seconds,)
    if took is not None and took - seconds >= max(0.5, seconds * 0.25):
        text += " (it ran %.1f seconds)" % took
    return text


def _where(errorinfo: str) -> str:
    """Where Tcl was, from the errorInfo of work that was stopped: the command
    running and the innermost procedure, on one line (", at ..."), or ""."""
    lines = errorinfo.split("\n")
    command = frame = ""
    for i, line in enumerate(lines):
        if not command and line.strip() in ("while executing", "invoked from within") and i + 1 < len(lines):
            command = lines[i + 1].strip()
        elif command and line.strip().startswith("(") and "line" in line:
            frame = " " + line.strip()
            break
    if len(command) > 80:
        command = command[:76] + '..."'
    return ", at %s%s" % (command, frame) if command else ""


def _raise_at(exc: BaseException, path: "os.PathLike[str]", line: int) -> NoReturn:
    """Raises exc from a frame at the line of the tcltest file: pytest shows
    that line as the place of the exception (for a Python test: the test's
    line), not the plugin's."""
    exc.__suppress_context__ = True
    code = compile("\n" * (max(line, 1) - 1) + "raise __exc", os.fspath(path), "exec")
    exec(code, {"__exc": exc})
    raise exc  # not reached


def _summary(report: str) -> str:
    """A line saying why a test failed, from tcltest's report: its first
    "---- " line (with the line after it when it ends in a colon, and what
    was expected after what was got); for an error, the error's message."""
    lines = report.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("---- "):
            text = line[5:]
            if text.startswith("Test generated error"):
                info = next((l[len("---- errorInfo: "):] for l in lines[i:] if l.startswith("---- errorInfo: ")),
                            None)
                if info:
                    return "Test generated error: " + info
            if text.endswith(":") and i + 1 < len(lines):
                text += " " + lines[i + 1]
                j = next((k for k in range(i + 2, len(lines)) if lines[k].startswith("---- ")), len(lines))
                if j < len(lines) and "should have been" in lines[j] and lines[j].endswith(":"):
                    text += "; expected%s %s" % (lines[j].split("should have been", 1)[1],
                                                 lines[j + 1] if j + 1 < len(lines) else "")
            return text
    return lines[0] if lines else "failed"


def _skip_reason(result: "Result") -> str:
    unmet = list(result.unmet[1:]) if result.unmet else []
    constraints = result.unmet[0] if result.unmet else ""
    reasons = list(result.reasons)
    if unmet:
        return "constraints not satisfied: " + ", ".join(unmet)
    if "userSpecifiedLimitConstraint" in reasons:
        return "no constraints, and tcltest's -limitconstraints is on"
    if reasons:
        if reasons == [constraints.strip()]:
            return "constraints not satisfied: " + reasons[0]
        return "skipped by tcltest: " + "; ".join(reasons)
    return "excluded by tcltest's -match or -skip"


def _shortened(report: str, style: str) -> str:
    """tcltest's report as --tb `style` shortens a Python traceback: whole
    for long, auto and native; for short without the test's script (the
    source of the frames, which short leaves out for Python); for line and
    no, nothing (the one-line message stands for it)."""
    if style in ("line", "no"):
        return ""
    if style != "short":
        return report
    lines = report.split("\n")
    out, skipping = [], False
    for line in lines:
        if line.startswith("==== Contents of test case:"):
            skipping = True
            continue
        if skipping and (line.startswith("---- ") or line.startswith("==== ")):
            skipping = False
        if not skipping:
            out.append(line)
    return "\n".join(out)


def _report(text: str, message: str, path: str, line: int) -> ReprExceptionInfo:
    """tcltest's text as pytest shows a failure: as it stands, with a one-line
    message for the summary and JUnit XML (kept across pytest-xdist)."""
    from _pytest._code.code import ReprEntryNative, ReprExceptionInfo, ReprFileLocation, ReprTraceback

    entry = ReprEntryNative([text.rstrip("\n") + "\n"] if text else [])
    return ReprExceptionInfo(ReprTraceback([entry], None, "native"),
                             ReprFileLocation(path, max(line, 1), message))


# -- the order of items, selection ---------------------------------------------

@pytest.hookimpl(tryfirst=True)  # before pytest-xdist sends the list to the controller
def pytest_collection_finish(session: pytest.Session) -> None:
    """Keeps the items of each tcltest file together, in the file's order,
    where the first of them is (a file runs from its top, once; plugins that
    order tests, --ff among them, may have moved them), and tells each file
    which of its tests to run."""
    files: Dict[int, List[TcltestItem]] = {}
    for item in session.items:
        if isinstance(item, TcltestItem):
            files.setdefault(id(item.parent), []).append(item)
    if not files:
        return
    ordered: List[pytest.Item] = []
    for item in session.items:
        if not isinstance(item, TcltestItem):
            ordered.append(item)
        elif id(item.parent) in files:
            mine = sorted(files.pop(id(item.parent)), key=lambda i: i.place)
            item.file.selected[:] = [i.key for i in mine]
            ordered.extend(mine)
    session.items[:] = ordered


# -- pytest-xdist ----------------------------------------------------------------

@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config: pytest.Config, log: Any) -> Any:
    """Without --dist, each tcltest file goes whole to one worker (other tests
    are spread one by one, as --dist load does)."""
    if config.stash.get(_dist_given, True):
        return None
    # pytest-xdist is annotated but ships no py.typed marker, so mypy takes
    # its classes for Any (should it ship one, these ignores are not needed).
    from xdist.scheduler import LoadScopeScheduling  # type: ignore[import-untyped, unused-ignore]

    patterns = config.getini("tcltest_files")

    class TcltestFileScheduling(LoadScopeScheduling):  # type: ignore[misc, unused-ignore]
        def _split_scope(self, nodeid: str) -> str:
            return tcltest_scope(nodeid, patterns) or nodeid

    return TcltestFileScheduling(config, log)


def tcltest_scope(nodeid: str, patterns: Iterable[str]) -> Optional[str]:
    """The file part of a tcltest item's node id, else None."""
    path, sep, _ = nodeid.partition("::")
    if sep and _matches(path, patterns):
        return path
    return None



# -- JUnit XML -----------------------------------------------------------------

def junit_classname(path: str) -> str:
    """The JUnit classname of the tests of the tcltest file at `path` (its
    node id's file part): the directories dotted, as junitxml writes them,
    and the file as one class, its dots made underscores (lib/csv/csv.test:
    lib.csv.csv_test), so that CI servers list the file as a class of its
    directory's package rather than a class "test"."""
    directory, _, name = path.rpartition("/")
    name = name.replace(".", "_")
    return "%s.%s" % (directory.replace("/", "."), name) if directory else name


class _JunitClassnames:
    """Gives the test cases of tcltest items their file's classname."""

    def __init__(self, xml: Any, patterns: List[str]) -> None:
        self.xml = xml
        self.patterns = patterns

    @pytest.hookimpl(tryfirst=True)  # before junitxml opens the test case
    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        if report.when != "setup":
            return
        path = tcltest_scope(report.nodeid, self.patterns)
        if path is None:
            return
        classname = junit_classname(path)
        if self.xml.prefix:
            classname = "%s.%s" % (self.xml.prefix, classname)
        # Attributes set before junitxml's own take the place of its (as record_xml_attribute's).
        self.xml.node_reporter(report).add_attribute("classname", classname)


# -- tcltest's own summary -----------------------------------------------------

_COUNTS = ("Total", "Passed", "Skipped", "Failed")


class _Summary:
    """--tcltest-summary: tcltest's counts of each file, as its cleanupTests
    prints them, in the terminal summary. A file's counts ride on the report
    of the teardown that ends its run (and so come back from pytest-xdist's
    workers)."""

    def __init__(self) -> None:
        self.files: Dict[str, Tuple[List[int], str]] = {}

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item: pytest.Item, call: pytest.CallInfo[None],
                                  ) -> Generator[None, Any, None]:
        outcome = yield
        if call.when != "teardown" or not isinstance(item, TcltestItem):
            return
        file = item.file
        summary, file.summary = file.summary, None
        if summary is not None:
            counts, partial = summary
            report = outcome.get_result()
            report.tcltest_counts = [file.nodeid, *counts, "; ".join(partial)]

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        counts = getattr(report, "tcltest_counts", None)
        if counts:
            self.files[str(counts[0])] = ([int(n) for n in counts[1:5]], str(counts[5]) if len(counts) > 5 else "")

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if not self.files:
            return
        names = {path: path.rpartition("/")[2] for path in self.files}
        clash = {name for name in names.values() if list(names.values()).count(name) > 1}
        terminalreporter.write_sep("=", "tcltest summary")
        for path in sorted(self.files):
            name = names[path] if names[path] not in clash else path
            counts, partial = self.files[path]
            terminalreporter.write_line("%s: %s%s" % (name, " ".join("%s %d" % pair for pair in zip(_COUNTS, counts)),
                                                       " (partial: %s)" % partial if partial else ""))
