"""The console: python -m korvex.tcl on a terminal (a pseudo-terminal driven
like a keyboard), through pipes, with script files and -c, and the Tab
completion it offers, called directly."""

import os
import re
import select
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings, strategies as st

from korvex.tcl import Interpreter, zelph
from korvex.tcl.console import HISTORY_LENGTH, complete, main

# Generous: a loaded two-core machine starts Python slowly. A fault fails the
# test after this long instead of hanging the run.
TIMEOUT = 60
CONSOLE = [sys.executable, "-m", "korvex.tcl"]


@pytest.fixture
def home(tmp_path):
    path = tmp_path / "home"
    path.mkdir()
    return path


def _env(home, **extra):
    env = dict(os.environ, HOME=str(home), TERM="dumb", INPUTRC=os.devnull)
    env.pop("PYTHONSTARTUP", None)
    env.update(extra)
    return env


def run(home, *args, input="", command=CONSOLE):
    return subprocess.run([*command, *args], input=input, capture_output=True, text=True,
                          timeout=TIMEOUT, env=_env(home))


# --- on a terminal ------------------------------------------------------------

# The child makes the pseudo-terminal its controlling terminal, so that Ctrl-C
# typed there sends SIGINT to it as on a real one, then becomes the console.
_ON_TTY = ("import fcntl, os, sys, termios; fcntl.ioctl(0, termios.TIOCSCTTY, 0); "
           "os.execv(sys.executable, [sys.executable] + sys.argv[1:])")


class Terminal:
    """The console on a pseudo-terminal: send keys, expect output."""

    def __init__(self, home, *args, env=None):
        master, slave = os.openpty()
        try:
            self.proc = subprocess.Popen([sys.executable, "-c", _ON_TTY, *CONSOLE[1:], *args],
                                         stdin=slave, stdout=slave, stderr=slave,
                                         start_new_session=True, env=env or _env(home))
        finally:
            os.close(slave)
        self.fd = master
        self.text = ""
        self.pos = 0

    def send(self, keys):
        os.write(self.fd, keys.encode())

    def _read(self, deadline):
        ready, _, _ = select.select([self.fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            return
        try:
            data = os.read(self.fd, 4096)
        except OSError:  # EIO: the console has gone
            data = b""
        if not data:
            raise EOFError
        self.text += data.decode("utf-8", "replace")

    def expect(self, pattern, timeout=TIMEOUT):
        """Waits for pattern (a regular expression) in the output after what
        earlier calls matched."""
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        while True:
            match = regex.search(self.text, self.pos)
            if match:
                self.pos = match.end()
                return match
            if time.monotonic() >= deadline:
                raise AssertionError("no %r in %r" % (pattern, self.text[self.pos:]))
            try:
                self._read(deadline)
            except EOFError:
                raise AssertionError("console ended; no %r in %r" % (pattern, self.text[self.pos:]))

    def prompt(self):
        self.expect(r"(^|\n)% $")

    def command(self, line, result):
        """Types line; expects its result (a regular expression; "" for an
        empty result, which prints nothing) and the next prompt."""
        self.send(line + "\n")
        self.expect(re.escape(line) + r"\r*\n" + (result + r"\r*\n" if result else "") + "% $")

    def interrupt_prompt(self, shows=r"\n% $", prompt=r"\n% $"):
        """Ctrl-C at the prompt, until the console `shows` it. Python's
        readline misses a signal that comes after it drew the prompt and
        before it waits for keys (the next key delivers it); a person is never
        that quick, a test is: repeat."""
        for _ in range(30):
            self.send("\x03")
            try:
                self.expect(shows, timeout=1)
                break
            except AssertionError:
                pass
        else:
            raise AssertionError("Ctrl-C at the prompt did nothing: %r" % self.text[self.pos:])
        # A Ctrl-C sent while the first was still on its way may be pending:
        # an empty line takes it (one prompt either way), not the next command.
        self.send("\n")
        self.expect(prompt)

    def wait(self):
        """The exit status, once the console has ended."""
        deadline = time.monotonic() + TIMEOUT
        try:
            while time.monotonic() < deadline:
                self._read(deadline)
        except EOFError:
            pass
        return self.proc.wait(timeout=TIMEOUT)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=TIMEOUT)
        os.close(self.fd)


@pytest.fixture
def terminal(home):
    started = []

    def start(*args, env=None):
        term = Terminal(home, *args, env=env)
        started.append(term)
        term.prompt()
        return term
    yield start
    for term in started:
        term.close()


def test_terminal_multi_line_input_results_and_errors(terminal):
    term = terminal()
    term.send("proc add {a b} {\n")
    term.expect(r"\n> $")
    term.send("    return [expr {$a + $b}]\n")
    term.expect(r"\n> $")
    term.send("}\n")
    term.prompt()
    term.command("add 2 3", "5")
    term.send("set nothing {}\n")  # an empty result prints nothing
    term.expect(r"set nothing \{\}\r*\n% $")
    term.send("add 1\n")
    term.expect(r'wrong # args: should be "add a b"\r*\n    while executing\r*\n"add 1"\r*\n% $')
    term.command("add 40 2", "42")
    term.send("exit\n")
    assert term.wait() == 0


def test_terminal_multi_line_command_is_one_history_entry(terminal):
    pytest.importorskip("readline")
    term = terminal()
    term.send("proc twice {a} {\n")
    term.expect(r"\n> $")
    term.send("    return [expr {2 * $a}]\n")
    term.expect(r"\n> $")
    term.send("}\n")
    term.prompt()
    term.command("twice 4", "8")
    term.command("rename twice {}", "")
    # Ctrl-P three times: the whole procedure comes back, not its last line.
    term.send("\x10\x10\x10\n")
    term.prompt()
    term.command("twice 21", "42")
    term.send("history\n")
    term.expect(r"1\s+proc twice \{a\} \{\r*\n\s+return \[expr \{2 \* \$a\}\]\r*\n\s+\}\r*\n\s+2\s+twice 4\r*\n")
    term.prompt()  # (Ctrl-D only once the console reads again)
    term.send("\x04")
    assert term.wait() == 0


def test_terminal_tcl_prompts(terminal):
    term = terminal()
    term.send('set tcl_prompt1 {puts -nonewline "tcl\\[[history nextid]\\]% "}\n')
    term.expect(r"\r*\ntcl\[2\]% $")
    term.send('set tcl_prompt2 {puts -nonewline "more: "}\n')
    term.expect(r"tcl\[3\]% $")
    term.send("list {a\n")
    term.expect(r"\nmore: $")
    term.send("b}\n")
    term.expect(r"\{a\r*\nb\}\r*\ntcl\[4\]% $")
    term.send("set tcl_prompt1 {error broken}\n")
    term.expect(r"\}\r*\nerror broken\r*\nbroken\r*\n% $")  # as tclsh: the message, then "% "
    term.send("exit\n")
    assert term.wait() == 0


def test_terminal_tab_completion(terminal):
    pytest.importorskip("readline")
    term = terminal()
    term.command("namespace eval zz_space {proc greet {} {return hi-there}; variable count 7}", "")
    term.command("proc zz_alpha_one {} {return ran-one}; proc zz_alpha_onetwo {} {}", "")
    term.command("set zz_variable_x 42", "42")
    # A command: completed to the longest common prefix, which runs.
    term.send("zz_alpha_o\t")
    term.expect("ne")
    term.send("\n")
    term.expect(r"ran-one\r*\n% $")
    # A namespace, then a command in it.
    term.send("zz_sp\t")
    term.expect("ace::")
    term.send("gre\t")
    term.expect("et")
    term.send("\n")
    term.expect(r"hi-there\r*\n% $")
    # Variables after $, global and namespaced, plain and from ::.
    term.send("puts $zz_var\t")
    term.expect("iable_x")
    term.send("\n")
    term.expect(r"\n42\r*\n% $")
    term.send("puts $::zz_space::co\t")
    term.expect("unt")
    term.send("\n")
    term.expect(r"\n7\r*\n% $")
    term.send("::tcl::mathfunc::ab\t")
    term.expect("s")
    term.send(" -3\n")
    term.expect(r"\n3\r*\n% $")
    term.send("\x04")
    assert term.wait() == 0


def test_terminal_ctrl_c_stops_a_running_command(terminal):
    term = terminal()
    term.send("puts started; while 1 {}\n")
    term.expect(r"started\r*\n")
    term.send("\x03")
    term.expect(r"interrupted\r*\n% $")
    term.command("expr {6 * 7}", "42")
    term.command("set tcl_interactive", "1")
    term.send("exit 3\n")
    assert term.wait() == 3


def test_terminal_ctrl_c_at_the_prompt_drops_the_input(terminal):
    term = terminal()
    term.send("proc unfinished {} {\n")
    term.expect(r"\n> $")
    term.interrupt_prompt()
    # Not part of the dropped proc body: it runs at once.
    term.command("set a 5", "5")
    term.command("info commands unfinished", "")
    term.interrupt_prompt()
    term.command("set a", "5")
    term.send("\x04")
    assert term.wait() == 0


@pytest.mark.parametrize("keys, status", [("\x04", 0), ("exit\n", 0), ("exit 3\n", 3), ("exit 300\n", 44)],
                         ids=["ctrl-d", "exit", "exit 3", "exit 300"])
def test_terminal_leaving(terminal, keys, status):
    term = terminal()
    term.send(keys)
    assert term.wait() == status


def test_terminal_history_file(terminal, home):
    pytest.importorskip("readline")
    (home / ".korvex_tcl_history").write_text("set from_history 17\n")
    term = terminal()
    term.send("\x10")  # Ctrl-P: the previous line, from the file
    term.expect("set from_history 17")
    term.send("\n")
    term.expect(r"\n17\r*\n% $")
    term.command("set fresh_line 1", "1")
    term.send("exit\n")
    assert term.wait() == 0
    lines = (home / ".korvex_tcl_history").read_text().splitlines()
    assert lines[-3:] == ["set from_history 17", "set fresh_line 1", "exit"]


def test_terminal_history_file_is_bounded(terminal, home):
    pytest.importorskip("readline")
    (home / ".korvex_tcl_history").write_text("".join("set x %d\n" % i for i in range(HISTORY_LENGTH + 200)))
    term = terminal()
    term.command("set last 1", "1")
    term.send("\x04")
    assert term.wait() == 0
    lines = (home / ".korvex_tcl_history").read_text().splitlines()
    assert len(lines) == HISTORY_LENGTH
    assert lines[-1] == "set last 1"


def test_terminal_without_a_usable_home(terminal, home):
    # Neither reading nor writing the history may spoil the session.
    term = terminal(env=_env(home / "missing" / "dir"))
    term.command("set a 1", "1")
    term.send("exit 4\n")
    assert term.wait() == 4


# --- through pipes: commands read from stdin -----------------------------------

def test_piped_commands_run_without_prompts_or_results(home):
    result = run(home, input="puts first\nexpr {1 + 2}\nproc f {a} {\n    return [expr {$a * 2}]\n}\n"
                             "puts [f 21]\nputs -nonewline last\n")
    assert (result.stdout, result.stderr, result.returncode) == ("first\n42\nlast", "", 0)


def test_piped_error_is_reported_and_the_run_goes_on(home):
    # As tclsh: the message alone, and the status stays 0.
    result = run(home, input="puts before\nerror boom\nputs after\n")
    assert (result.stdout, result.stderr, result.returncode) == ("before\nafter\n", "boom\n", 0)


@pytest.mark.parametrize("args, stdout", [([], "a b c\n"), (["-i"], "% > a b\n% > a b c\n% ")], ids=["piped", "-i"])
def test_backslash_newline_continues_a_command(home, args, stdout):
    result = run(home, *args, input="set x [list a\\\nb]\nputs [concat $x\\\n c]\n")
    assert (result.stdout, result.stderr, result.returncode) == (stdout, "", 0)


def test_piped_exit_and_interactive_off(home):
    result = run(home, input="puts $tcl_interactive\nexit 6\nputs never\n")
    assert (result.stdout, result.returncode) == ("0\n", 6)


def test_piped_commands_share_stdin_with_the_script(home):
    # As in tclsh, [gets stdin] reads the line after the command.
    result = run(home, input='gets stdin line\nthis is data\nputs "got: $line"\n')
    assert (result.stdout, result.returncode) == ("got: this is data\n", 0)


def test_piped_unfinished_command_is_dropped(home):
    # As tclsh: a command still unfinished at the end of the input never runs.
    result = run(home, input="puts ok\nproc f {} {\n  puts x\n")
    assert (result.stdout, result.stderr, result.returncode) == ("ok\n", "", 0)


def test_interactive_through_pipes(home):
    # -i gives prompts and results without a terminal: what a terminal
    # shows, in the order it happened.
    result = run(home, "-i", input="puts one\nexpr {1 + 1}\nputs -nonewline three\n\nproc p {} {\n"
                                   "return four\n}\np\nerror five\nset tcl_interactive\n")
    assert result.stdout == "% one\n% 2\n% three% % > > % four\n% % 1\n% "
    assert result.stderr == 'five\n    while executing\n"error five"\n'
    assert result.returncode == 0


def test_results_the_output_cannot_encode_are_escaped(home):
    result = subprocess.run([*CONSOLE, "-i"], input="set a \\u00e9t\\u00e9\nset b ok\n", capture_output=True,
                            text=True, timeout=TIMEOUT, env=_env(home, PYTHONIOENCODING="ascii"))
    assert (result.stdout, result.stderr, result.returncode) == ("% \\xe9t\\xe9\n% ok\n% ", "", 0)


@pytest.mark.parametrize("args, how", [([], "invoked from within"), (["-i"], "while executing")],
                         ids=["piped", "-i"])
def test_error_details_stay_for_the_next_command(home, args, how):
    # What the console runs between commands leaves errorInfo and errorCode
    # alone. A piped command is compiled, as tclsh compiles it.
    result = run(home, *args, input="expr {1 / 0}\nputs $errorCode\nputs $errorInfo\n")
    assert result.stdout.replace("% ", "") == 'ARITH DIVZERO {divide by zero}\ndivide by zero\n' \
        '    %s\n"expr {1 / 0}"\n' % how


# --- script files and -c ---------------------------------------------------------

SHOW = 'puts [list $argv0 $argc $argv [info script] $tcl_interactive]'


def test_file_sees_its_arguments(home, tmp_path):
    script = tmp_path / "show.tcl"
    script.write_text(SHOW + "\n")
    result = run(home, str(script), "a", "-b", "c d", "--", "-i")
    assert result.returncode == 0, result.stderr
    shown = Interpreter.cast_list(result.stdout.strip())
    assert shown == (str(script), "5", "a -b {c d} -- -i", str(script), "0")


@pytest.mark.parametrize("body, status", [
    ("", 0),
    ("exit", 0),
    ("exit 3", 3),
    ("exit 0x10", 16),
    ("exit -1", 255),
    ("catch {exit 4}", 4),          # exit cannot be caught
    ("proc f {} {exit 5}; f", 5),
    ("error boom", 1),
    ("exit 1 2", 1),
    ("exit foo", 1),
], ids=lambda v: str(v))
def test_exit_status(home, tmp_path, body, status):
    script = tmp_path / "exit.tcl"
    script.write_text("puts -nonewline started\n" + body + "\nputs -nonewline ,ended\n")
    by_file = run(home, str(script))
    by_c = run(home, "-c", script.read_text())
    for result in (by_file, by_c):
        assert result.returncode == status
        # Tcl's buffered output is written out whichever way the script ends.
        assert result.stdout == ("started,ended" if body in ("",) else "started")


def test_exit_arguments_are_checked_as_in_tcl(home):
    result = run(home, "-c", 'puts [catch {exit foo} m]:$m; puts [catch {exit 1 2} m]:$m;'
                             'puts [lindex $errorCode 0]')
    assert result.stdout.splitlines() == ['1:expected integer but got "foo"',
                                          '1:wrong # args: should be "exit ?returnCode?"', "TCL"]


def test_file_error_shows_errorinfo(home, tmp_path):
    script = tmp_path / "fails.tcl"
    script.write_text("puts before\nproc f {} {\n    error boom\n}\nf\nputs after\n")
    result = run(home, str(script))
    assert result.stdout == "before\n"
    assert result.stderr == ('boom\n    while executing\n"error boom"\n    (procedure "f" line 2)\n'
                             '    invoked from within\n"f"\n    (file "%s" line 5)\n' % script)
    assert result.returncode == 1


@pytest.mark.parametrize("name, reason", [("nothing.tcl", "no such file or directory"),
                                          (".", "illegal operation on a directory")])
def test_unreadable_file(home, tmp_path, name, reason):
    path = str(tmp_path / name)
    result = run(home, path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == 'couldn\'t read file "%s": %s\n' % (path, reason)


def test_c_script_arguments(home):
    result = run(home, "-c", "puts [list $argc $argv [info script] $tcl_interactive]; puts $argv0", "x", "-y")
    assert result.returncode == 0, result.stderr
    first, argv0 = result.stdout.splitlines()
    assert first == "2 {x -y} {} 0"
    assert argv0 == "python -m korvex.tcl"


def test_i_stays_interactive_after_the_script(home, tmp_path):
    script = tmp_path / "setup.tcl"
    script.write_text("set during $tcl_interactive\nproc hello {} {return hello}\n")
    result = run(home, "-i", str(script), "arg", input="hello\nlist $during $tcl_interactive $argv\n")
    assert result.stdout == "% hello\n% 0 1 arg\n% "
    assert result.returncode == 0
    # Also after -c, and after a failing script (its error reported first).
    result = run(home, "-i", "-c", "set x 5; error early", input="set x\nexit 2\n")
    assert result.stdout == "% 5\n% "
    assert result.stderr.startswith("early\n")
    assert result.returncode == 2


def test_console_script(home):
    script = os.path.join(os.path.dirname(sys.executable), "korvex-tcl")
    if not os.path.exists(script):
        pytest.skip("the korvex-tcl script is not installed beside this Python")
    result = run(home, "-c", "puts $argv0; exit 7", command=[script])
    assert (result.stdout, result.returncode) == ("korvex-tcl\n", 7)


# --- the command line ----------------------------------------------------------

def test_help(home):
    result = run(home, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(
        "usage: python -m korvex.tcl [--no-tclx] [--coverage PATH ...] [-i] [-encoding NAME] [FILE [ARG ...]]")
    for text in ("-c SCRIPT", "-i", "--python", "argv0", "exit N", ".korvex_tcl_history", "Tab",
                 "--coverage-report TYPE", "--no-tclx", "--debug", "--break LOCATION"):
        assert text in result.stdout


def test_version(home):
    import korvex.tcl

    result = run(home, "--version")
    assert (result.stdout, result.returncode) == ("korvex.tcl %s\n" % korvex.tcl.__version__, 0)


@pytest.mark.parametrize("args, message", [
    (["-x"], "unrecognized option: -x"),
    (["-c"], "argument -c: expected one argument"),
    (["--python", "file.tcl"], "--python takes no FILE, -c or -i"),
    (["-i", "--python"], "--python takes no FILE, -c or -i"),
])
def test_usage_errors(capfd, args, message):
    assert main(args) == 2
    out, err = capfd.readouterr()
    assert out == ""
    assert err.startswith("usage: ")
    assert err.endswith(": error: %s\n" % message)


# The installed script (pip's korvex-tcl) and python -m korvex.tcl.
SCRIPT = os.path.join(os.path.dirname(sys.executable), "korvex-tcl")


@pytest.mark.parametrize("command", [CONSOLE, [SCRIPT]], ids=["-m", "script"])
@pytest.mark.parametrize("args, input", [
    (["probe.tcl"], ""), (["-c", "set ::marker 1; puts [probe]"], ""), ([], "set ::marker 1\nputs [probe]\n"),
    (["--no-tclx", "probe.tcl"], ""),
], ids=["file", "-c", "piped", "no-tclx"])
def test_the_console_process_has_one_interpreter(tmp_path, command, args, input):
    # The script runs in the package's shared interpreter, which Python code
    # of the process (here a start-up hook's command) reaches as korvex.tcl.
    from test_entrypoints import make_distribution

    make_distribution(tmp_path, [("tcl_init", "probe")])
    (tmp_path / "probe.tcl").write_text("set ::marker 1\nputs [probe]\n")
    env = dict(_env(tmp_path), PYTHONPATH=str(tmp_path))
    result = subprocess.run([*command, *args], input=input, cwd=tmp_path, capture_output=True, text=True,
                            timeout=TIMEOUT, env=env)
    assert (result.stdout, result.stderr, result.returncode) == ("1 1\n", "", 0)


def test_a_file_run_imports_only_what_it_needs(tmp_path):
    # What costs a console start milliseconds and a file run never uses.
    (tmp_path / "hi.tcl").write_text("puts hi\n")
    for _ in range(2):  # (the first run in a new home writes the launcher)
        result = subprocess.run([sys.executable, "-X", "importtime", SCRIPT, "hi.tcl"], cwd=tmp_path,
                                capture_output=True, text=True, timeout=TIMEOUT, env=_env(tmp_path))
    assert result.stdout == "hi\n"
    imported = {line.rpartition("|")[2].strip() for line in result.stderr.splitlines() if "|" in line}
    assert "korvex.tcl.console" in imported
    assert imported & {"ctypes", "typing", "json", "hashlib", "tempfile", "korvex.tcl.internal"} == set()


def test_main_called_with_arguments_leaves_the_shared_interpreter_alone(capfd):
    # Called from a program (argv given), the console runs in an interpreter
    # of its own, as before.
    import korvex.tcl

    assert main(["-c", "set ::console_marker 1; puts [info exists ::console_marker]"]) == 0
    assert capfd.readouterr().out == "1\n"
    assert korvex.tcl.eval("info exists ::console_marker") == "0"
    assert korvex.tcl.eval("info commands ::exit") == ""


def test_main_returns_the_status(capfd):
    assert main(["-c", "puts hello; exit 9"]) == 9
    assert main(["-c", "set x 1"]) == 0
    assert main(["-c", "error oops"]) == 1
    out, err = capfd.readouterr()
    assert out == "hello\n"
    assert err == 'oops\n    while executing\n"error oops"\n'


def test_python_console_through_pipes(home):
    result = run(home, "--python", input=(
        "print(interp.eval('expr {6 * 7}'))\n"
        "print(zelph(['a b', 'c']), Mardeck.__name__, TclError is korvex.tcl.TclError)\n"
        "print(isinstance(interp, Interpreter), interp is not korvex.tcl._global_interpreter)\n"
        "try:\n    interp.eval('error boom')\nexcept TclError as exc:\n    print('caught', exc.result)\n\n"
        "interp.eval('exit 5')\n"
        "print('never')\n"))
    assert result.stdout.replace(">>> ", "").replace("... ", "").splitlines() == [
        "42", "{a b} c Mardeck True", "True True", "caught boom"]
    assert "interp" in result.stderr and "zelph" in result.stderr  # the banner
    assert result.returncode == 5


# --- Tab completion, called directly ----------------------------------------------

@pytest.fixture(scope="module")
def interp():
    with Interpreter() as tcl:
        tcl.eval("""
            namespace eval ::zz {
                variable counter 1
                variable arr; array set arr {x 1 y 2}
                proc hello {} {}
                namespace eval inner {proc deep {} {}}
            }
            array set zarr {alpha 1 beta 2 {with space} 3 a*b 4}
            set zvar 1
            proc z*weird {} {}
        """)
        yield tcl


@pytest.mark.parametrize("word, expected", [
    ("zz", ["zz::"]),
    ("zz::", ["zz::hello", "zz::inner::"]),
    ("::zz::", ["::zz::hello", "::zz::inner::"]),
    ("zz::in", ["zz::inner::"]),
    ("zz::inner::", ["zz::inner::deep"]),
    ("::zz::inner::d", ["::zz::inner::deep"]),
    ("tcl::mathfunc::ab", ["tcl::mathfunc::abs"]),
    ("::tcl::mathfunc::ab", ["::tcl::mathfunc::abs"]),
    ("stri", ["string"]),
    ("z*", ["z*weird"]),          # glob characters are literal
    ("z?", []),
    ("nosuch::x", []),
    ("$zv", ["$zvar"]),
    ("$::zv", ["$::zvar"]),
    ("$zz::c", ["$zz::counter"]),
    ("$::zz::", ["$::zz::arr", "$::zz::counter", "$::zz::inner::"]),
    ("$tcl_pl", ["$tcl_platform"]),
    ("$zarr(", ["$zarr(a*b)", "$zarr(alpha)", "$zarr(beta)", "$zarr(with space)"]),
    ("$zarr(a*", ["$zarr(a*b)"]),
    ("$::zarr(b", ["$::zarr(beta)"]),
    ("$zz::arr(", ["$zz::arr(x)", "$zz::arr(y)"]),
    ("$zvar(", []),
    ("$nosuch::", []),
    ("${zv", []),
])
def test_complete(interp, word, expected):
    assert complete(interp, word) == expected


def test_complete_everything(interp):
    commands = complete(interp, "")
    assert {"set", "string", "zz::", "tcl::"} <= set(commands)
    assert commands == sorted(commands)
    assert {"$zvar", "$argv", "$zz::"} <= set(complete(interp, "$"))
    assert "::set" in complete(interp, "::")


@settings(max_examples=60, deadline=None)
@given(st.text(st.characters(blacklist_categories=("Cs", "Cc")), min_size=1, max_size=8)
       .filter(lambda s: ":" not in s and "(" not in s))
def test_every_prefix_completes_to_the_name(interp, name):
    # Whatever the name holds (glob characters, braces, spaces), each prefix
    # completes to it, as a command and as a variable in a namespace.
    interp.eval(zelph(["namespace", "eval", "::zz_prop", zelph(["proc", name, "", ""])]))
    interp.eval(zelph(["set", "::zz_prop::" + name, "1"]))
    try:
        for end in range(len(name) + 1):
            assert "zz_prop::" + name in complete(interp, "zz_prop::" + name[:end])
            assert "$::zz_prop::" + name in complete(interp, "$::zz_prop::" + name[:end])
    finally:
        interp.eval("namespace delete ::zz_prop")


def test_terminal_python_console(home):
    term = Terminal(home, "--python")
    try:
        term.expect(r"leaves\.\r*\n>>> $")
        term.send("interp.eval('expr {6 * 7}')\n")
        term.expect(r"\n'42'\r*\n>>> $")
        term.send("interp.eval('while 1 {}')\n")
        time.sleep(0.2)
        term.send("\x03")
        term.expect(r"KeyboardInterrupt\r*\n>>> $")
        term.interrupt_prompt(shows=r"KeyboardInterrupt\r*\n>>> $", prompt=r"\n>>> $")
        term.send("interp.eval('exit 5')\n")
        assert term.wait() == 5
    finally:
        term.close()
