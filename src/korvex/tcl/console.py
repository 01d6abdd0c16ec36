"""The korvex.tcl console: ``python -m korvex.tcl`` and the ``korvex-tcl`` command.

With no arguments it is an interactive Tcl prompt on a new
:class:`~korvex.tcl.interpreter.Interpreter` (TclX loaded, unless
``--no-tclx`` or ``KORVEX_TCL_TCLX=0`` asks for plain Tcl); with a file it runs
that file as a Tcl script and exits with its status; with ``-c`` it runs a
script given on the command line; with ``--python`` it opens Python's own
interactive console with an interpreter at hand. ``korvex-tcl --help`` says
it all.
"""

import os
import sys

from korvex.tcl_testing import tclsh as _tclsh

from . import _console_options
from . import debugger as _debugger
from .interpreter import Interpreter, TclError
from .zelph import zelph

__all__ = ["main", "complete", "HISTORY_FILE", "HISTORY_LENGTH"]

#: Where the interactive prompt keeps its line history (``~`` is ``$HOME``).
HISTORY_FILE = "~/.korvex_tcl_history"
#: How many lines the history file keeps.
HISTORY_LENGTH = 1000

PROMPT = "% "
CONTINUATION_PROMPT = "> "
# The exit status of a run stopped by Ctrl-C, as shells report SIGINT.
INTERRUPTED = 130

# Characters that end a word for Tab completion: Tcl's word and command
# separators. "$" and ":" stay inside a word so "$::ns::v" completes whole.
_COMPLETER_DELIMS = " \t\n[]{};\""

# Flushes Tcl's standard channels (Tcl buffers them on pipes). Only the
# channels that are still open, and without touching the caller's variables.
_FLUSH_TCL = ("apply {{} {foreach c {stdout stderr} "
              "{if {[chan names $c] ne {}} {catch {flush $c}}}}}")



def _usage(prog):
    return ("usage: {p} [--no-tclx] [--coverage PATH ...] [-i] [-encoding NAME] [FILE [ARG ...]]\n"
            "       {p} [--no-tclx] [--coverage PATH ...] [-i] -c SCRIPT [ARG ...]\n"
            "       {p} [--no-tclx] --python\n"
            "       {p} [--debug] [--break LOCATION ...] [OPTION ...] FILE|-c SCRIPT [ARG ...]\n").format(p=prog)


def _help(prog):
    return _usage(prog) + """
An interactive Tcl prompt on a new korvex.tcl Interpreter (TclX loaded unless
--no-tclx is given or KORVEX_TCL_TCLX is 0), a runner for Tcl script files, and
a Python console with an interpreter at hand.

With no FILE or -c and stdin a terminal: a Tcl prompt ("% ", and "> " while a
command is unfinished; the scripts in tcl_prompt1 and tcl_prompt2 where set).
Results are printed; an error prints Tcl's errorInfo. Ctrl-C stops a running
command or drops the input typed so far; Ctrl-D or "exit ?N?" leaves. Tab
completes command, namespace and variable ("$...") names. Line history is
kept in {history}.

With stdin not a terminal, the commands read from it run as tclsh runs them:
each once complete, without prompts or results (until tcl_interactive is set
to 1); a failing command writes its message to stderr and the run goes on.
The status is N after "exit N", else 0.

[info nameofexecutable] names a program that runs Tcl as this console does.

arguments:
  FILE           a Tcl script to run as tclsh runs it ([info script] is
                 FILE, [info frame] and [info level] as at tclsh's top level).
                 argv0 is FILE, argv the list of the ARGs, argc their count.
                 The status is N after "exit N", 0 at the end of the script,
                 1 after an uncaught error (its errorInfo goes to stderr).
  ARG            an argument of the script: everything after FILE or SCRIPT,
                 even when it starts with "-".

options:
  -c SCRIPT      run SCRIPT as FILE would run (argv0 is "{prog}")
  --debug        after an uncaught error of FILE or SCRIPT, the Tcl debugger's
                 post-mortem prompt "(tcl-pdb) " at the failing frame, with
                 the variables as they were when the error was raised; Ctrl-C
                 while Tcl runs stops at the prompt
  --break LOCATION
                 stop at the Tcl debugger's prompt at LOCATION: a procedure
                 (::acme::log), a method ("::acme::Order close") or
                 FILE.tcl:LINE; repeatable
  --coverage PATH
                 measure the line and procedure coverage of the Tcl files
                 under PATH (a file or directory; repeatable) that the run
                 sources, FILE's own lines included, and report it at the
                 end, with what the consoles it starts (tcltest's test
                 files) ran
  --coverage-report TYPE
                 the coverage report: term (the default, to stderr),
                 term-missing, lcov[:FILE], xml[:FILE] (Cobertura),
                 html[:DIR]; repeatable
  -encoding NAME read FILE in the encoding NAME (default: the system's)
  -i             go on to the prompt after FILE or SCRIPT, whatever stdin is
  --profile[=DIR]
                 profile the run's Tcl procedures: the top 20 by own time
                 (to stderr) at the end, DIR/tcl.prof (pstats) and
                 DIR/tcl.collapsed (flame graphs); DIR defaults to prof
  --no-tclx      plain Tcl, as tclsh has it: the interpreter does not load
                 TclX (also what [info nameofexecutable] runs)
  --python       Python's interactive console with interp (a new Interpreter),
                 Interpreter, zelph, tclobj, Mardeck and TclError at hand
  --version      print the version and exit
  -h, --help     print this help and exit
""".format(prog=prog, history=HISTORY_FILE)


def _program_name():
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if name in ("", "-c", "__main__.py"):
        return "python -m korvex.tcl"
    return name


_Usage = _console_options.Usage
_parse = _console_options.parse


# --- the interpreter ---------------------------------------------------------

def _tcl_error(message, code):
    # A TclError carrying its details goes through a callback to Tcl as it is:
    # Tcl sees this message and -errorcode, as from one of its own commands.
    exc = TclError(message)
    exc.result = message
    exc.errorcode = code
    exc.errorinfo = message
    return exc


def _exit_command(interp):
    # Tcl's exit would end the process from C, where Python would neither
    # flush its output nor save the history: this one unwinds to the console.
    def exit(*args):
        if len(args) > 1:
            raise _tcl_error('wrong # args: should be "exit ?returnCode?"', ("TCL", "WRONGARGS"))
        status = 0
        if args:
            try:
                status = interp.cast_int(args[0])
            except (TclError, ValueError):
                raise _tcl_error('expected integer but got "%s"' % args[0],
                                 ("TCL", "VALUE", "NUMBER")) from None
        raise SystemExit(status & 0xFF)  # what the process would report
    return exit


def _new_interpreter(argv0, args, interactive, tclx=None, interp=None):
    """The console's interpreter, set up for a run: a new one, or `interp`."""
    if interp is None:
        interp = Interpreter(tclx=tclx)
    interp.set_var("::argv0", argv0)
    interp.set_list("::argv", args)
    interp.set_int("::argc", len(args))
    interp.set_int("::tcl_interactive", 1 if interactive else 0)
    # _tkinter deletes Tcl's exit from every interpreter it makes (a start-up
    # hook may have put one back): "exit" is the console's own.
    interp.eval("if {[info commands ::exit] ne {}} {rename ::exit {}}", record=False)
    interp.create_callback(_exit_command(interp), cmd_name="::exit")
    _debugger.adopt(interp)  # ::korvex::breakpoint
    return interp


def _shared_interpreter(own_process):
    """The package's shared interpreter when the console may run in it: the
    process is the console, and the package made that interpreter for this
    command line (korvex.tcl, at import). Then the process has one
    interpreter, as tclsh has, and its Python side (korvex.tcl.eval, start-up
    hooks, callbacks) sees the script's. Else None: a new one is made."""
    if not own_process or not _console_options.take_shared(sys.argv[1:]):
        return None
    from .interpreter import _global_interpreter

    return _global_interpreter


def _use_launcher(tclx=None):
    """Makes ``info nameofexecutable`` name a program that runs Tcl as this
    console does (with TclX or without, as `tclx` and the environment
    decide), and Tcl's system encoding the environment's, as tclsh starts.
    Returns a function that puts both back as they were."""
    from .interpreter import _global_interpreter as interp, _tclx_wanted  # the channels are shared

    path = _tclsh.launcher(_tclx_wanted(tclx))
    if path is None:
        return lambda: None
    name, encoding = _tclsh.executable()
    _tclsh.set_executable(interp, path)

    def restore():
        try:
            _tclsh.set_executable(interp, name or sys.executable, encoding)
        except TclError:  # the shared interpreter closed meanwhile
            pass
    return restore


def _flush_tcl(interp):
    try:
        interp.eval(_FLUSH_TCL, record=False)
    except Exception:  # a closed or broken interpreter: nothing left to flush
        pass


def _flush_python():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass


def _error_text(exc):
    text = getattr(exc, "errorinfo", None)
    return text if isinstance(text, str) else str(exc)


def _write(stream, text):
    # What the stream's encoding cannot show is shown escaped, not fatal.
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "ascii"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


def _report(text):
    _flush_python()
    try:
        _write(sys.stderr, text + "\n")
    except Exception:  # stderr is gone: nowhere left to tell
        pass


def _evaluate(interp, script, show_result, debug=False):
    """Runs script; prints its result (when asked) or its error (then with
    `debug` opens the debugger's post-mortem prompt). True if it succeeded.
    SystemExit and KeyboardInterrupt pass through."""
    _flush_python()
    try:
        result = interp.eval(script)
    except TclError as exc:
        _flush_tcl(interp)
        _report(_error_text(exc))
        if debug:
            _post_mortem(interp, exc)
        return False
    except Exception as exc:  # not Tcl's doing: report it like Python would
        _flush_tcl(interp)
        _report("%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__)
        return False
    _flush_tcl(interp)
    if show_result and result != "":
        _write(sys.stdout, result + "\n")
    return True


def _is_complete(interp, text):
    """Whether the lines in text (each ending in a newline, which matters:
    "puts a\\" and a newline is unfinished) make complete commands."""
    try:
        return interp.eval(zelph(["info", "complete", text]), record=False) == "1"
    except TclError:
        return True  # let the evaluation report what is wrong


# --- Tab completion ----------------------------------------------------------

def _glob_escape(text):
    return "".join("\\" + ch if ch in "*?[]\\" else ch for ch in text)


def _list(interp, command):
    try:
        return interp.tk.splitlist(interp.eval(zelph(command), record=False))
    except (TclError, ValueError):
        return ()


def _leaf(name):
    return name.rpartition("::")[2]


def _names(interp, word, kind):
    """Completions of a possibly qualified name: commands or variables
    (kind "commands" or "vars") and child namespaces (ending in "::"),
    written with the qualifiers of word."""
    head, sep, tail = word.rpartition("::")
    prefix = head + sep  # what the user wrote before the last name
    namespace = "::" + head.lstrip(":") if head.lstrip(":") else "::"
    inside = namespace + "::" if namespace != "::" else "::"
    # info commands/vars read the qualifiers literally and the last name as a
    # pattern; namespace children matches the whole name as a pattern.
    found = [prefix + _leaf(name)
             for name in _list(interp, ["info", kind, inside + _glob_escape(tail) + "*"])]
    found += [prefix + _leaf(name) + "::"
              for name in _list(interp, ["namespace", "children", namespace,
                                         _glob_escape(inside + tail) + "*"])]
    return found


def complete(interp, word):
    """The completions of ``word``, the word before the cursor, read live from
    ``interp`` at its global level, sorted.

    A word starting with ``$`` completes variable names (``$name``,
    ``$ns::name``, ``$::ns::name``), namespaces to descend into (ending in
    ``::``) and, after ``$name(``, the elements of an array. Any other word
    completes command names, namespaced ones too (``ns::cmd``,
    ``::tcl::mathfunc::abs``), and namespace names (ending in ``::``).
    Every completion starts with ``word``.
    """
    if word.startswith("$"):
        name = word[1:]
        if name.startswith("{"):
            return []
        if "(" in name:
            array, _, element = name.partition("(")
            if not array:
                return []
            found = ["$%s(%s)" % (array, e)
                     for e in _list(interp, ["array", "names", array if array.startswith("::") else "::" + array,
                                              "-glob", _glob_escape(element) + "*"])]
        else:
            found = ["$" + n for n in _names(interp, name, "vars")]
    else:
        found = _names(interp, word, "commands")
    return sorted({c for c in found if c.startswith(word)})


def _readline_setup(interp):
    """Line editing, Tab completion and the history file, where readline is
    available. Returns a function that saves the history, or None."""
    try:
        import readline
    except ImportError:
        return None
    path = os.path.expanduser(HISTORY_FILE)
    try:
        readline.read_history_file(path)
    except Exception:  # missing, unreadable or not a history file: start afresh
        pass
    readline.set_history_length(HISTORY_LENGTH)
    matches = []

    def completer(text, state):
        if state == 0:
            try:
                matches[:] = complete(interp, text)
            except Exception:
                matches[:] = []
        return matches[state] if state < len(matches) else None

    readline.set_completer(completer)
    readline.set_completer_delims(_COMPLETER_DELIMS)
    if getattr(readline, "backend", "") == "editline" or "libedit" in (readline.__doc__ or ""):
        readline.parse_and_bind("bind ^I rl_complete")
    else:
        readline.parse_and_bind("tab: complete")

    def save():
        try:
            readline.set_history_length(HISTORY_LENGTH)
            readline.write_history_file(path)
        except Exception:  # a read-only home must not spoil the exit
            pass
    return save


# --- running -----------------------------------------------------------------

def _input_hook():
    """PyOS_InputHook as a ctypes variable, or None where it cannot be reached."""
    try:
        import ctypes

        return ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook")
    except Exception:
        return None


def _read_line(prompt, hook):
    # While Python waits for a line, _tkinter's input hook runs Tcl events in
    # a loop that never looks at signals: Ctrl-C at the prompt would wait for
    # the next key. The console waits without it (every new interpreter puts
    # it back, so clear it each time).
    if hook is not None:
        hook.value = None
    return input(prompt)


def _default_prompt(lines):
    return CONTINUATION_PROMPT if lines else PROMPT


def _history_length():
    import readline

    return readline.get_current_history_length()


def _one_history_entry(first, script):
    """Makes the lines readline recorded for one command, from the entry
    numbered first on, one entry: the command as a whole."""
    import readline

    try:
        for index in reversed(range(first, readline.get_current_history_length())):
            readline.remove_history_item(index)
        readline.add_history(script)
    except (ValueError, AttributeError):  # a readline without these
        pass


def _interact(interp):
    """The interactive prompt, until Ctrl-D or exit. Returns the status."""
    interp.set_int("::tcl_interactive", 1)
    tty = sys.stdin.isatty() and sys.stdout.isatty()
    save_history = _readline_setup(interp) if tty else None
    hook = _input_hook()
    saved_hook = hook.value if hook is not None else None
    try:
        lines = []
        first_entry = None
        while True:
            running = False
            try:
                if not lines:
                    first_entry = _history_length() if save_history is not None else None
                prompt = _tclsh.prompt_text(interp, continuation=bool(lines))
                _flush_python()
                try:
                    line = _read_line(_default_prompt(lines) if prompt is None else prompt, hook)
                except EOFError:
                    if tty:
                        sys.stdout.write("\n")
                    return 0
                lines.append(line)
                script = "\n".join(lines)
                if not _is_complete(interp, script + "\n"):
                    continue
                if len(lines) > 1 and first_entry is not None:
                    _one_history_entry(first_entry, script)
                lines = []
                running = True
                if script.strip():
                    try:
                        # Tcl's own [history] (and the "!!" of unknown) see it.
                        interp.eval(zelph(["history", "add", script]), record=False)
                    except TclError:
                        pass
                _evaluate(interp, script, show_result=True)
            except KeyboardInterrupt:
                # At the prompt Ctrl-C drops the input typed so far; in a
                # command it stops the command, and the interpreter stays.
                lines = []
                _flush_tcl(interp)
                _flush_python()
                sys.stdout.write("\n")
                if running:
                    _report("interrupted")
    finally:
        if hook is not None:
            hook.value = saved_hook
        if save_history is not None:
            save_history()


def _run_file(interp, path, encoding, debug=False):
    """Runs the file as tclsh runs its script: an uncaught error writes its
    errorInfo to Tcl's stderr (nowhere if the script closed it), then with
    `debug` opens the debugger's post-mortem prompt. The status: 1 after an
    error, else 0."""
    _flush_python()
    try:
        _tclsh.eval_file(interp, path, encoding, measure=True)
    except TclError as exc:
        _tclsh.write(interp, "stderr", _error_text(exc))
        if debug:
            _post_mortem(interp, exc)
        return 1
    return 0


def _post_mortem(interp, exc):
    _flush_tcl(interp)
    try:
        interp.tk.call("flush", "stderr")
    except TclError:  # closed by the script
        pass
    try:
        _debugger.post_mortem(exc, [interp])
    except _debugger.Quit:
        pass


def _end_as_tclsh(interp, status):
    """How tclsh ends: with "exit STATUS", through whatever exit the script
    left defined; STATUS if that does not end the run."""
    _flush_tcl(interp)
    try:
        interp.eval("exit %d" % status, record=False)
    except TclError:  # exit deleted or failing: tclsh ends all the same
        pass
    return status


def _python_console(tclx):
    import code

    import korvex
    import korvex.tcl
    from .interpreter import TclTimeoutError
    from .mardeck import Mardeck
    from .zelph import tclobj

    interp = _new_interpreter("", [], False, tclx)
    namespace = {
        "__name__": "__console__", "__doc__": None,
        "korvex": korvex, "Interpreter": Interpreter, "interp": interp, "zelph": zelph,
        "tclobj": tclobj, "Mardeck": Mardeck, "TclError": TclError, "TclTimeoutError": TclTimeoutError,
    }
    if sys.stdin.isatty() and sys.stdout.isatty():
        try:
            import readline
            import rlcompleter

            readline.set_completer(rlcompleter.Completer(namespace).complete)
            readline.parse_and_bind("tab: complete")
        except ImportError:
            pass
    banner = ("korvex.tcl %s, Python %s\n"
              "interp: a new Interpreter (interp.eval(\"...\") runs Tcl), Interpreter, zelph, tclobj,\n"
              "Mardeck, TclError, TclTimeoutError, korvex. Ctrl-D or exit() leaves."
              % (korvex.tcl.__version__, sys.version.split()[0]))
    hook = _input_hook()
    saved_hook = hook.value if hook is not None else None

    class Console(code.InteractiveConsole):
        def raw_input(self, prompt=""):
            return _read_line(prompt, hook)

    try:
        Console(namespace).interact(banner=banner, exitmsg="")
    finally:
        if hook is not None:
            hook.value = saved_hook
        _flush_tcl(interp)
        interp.close()
    return 0


def _exit_status(exc):
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF
    _report(str(code))
    return 1


def _run(opts, prog, own_process):
    if opts.python:
        return _python_console(opts.tclx)
    # argv0 is the script file, else the program's name (for -c and the prompt).
    argv0 = opts.file if opts.file is not None else prog
    plain_prompt = opts.file is None and opts.script is None
    interactive = opts.interactive or (plain_prompt and sys.stdin.isatty())
    shared = _shared_interpreter(own_process)
    interp = _new_interpreter(argv0, opts.args, interactive and plain_prompt, opts.tclx, shared)
    give_back = lambda: None  # noqa: E731
    try:
        if opts.debug:
            _debugger.enable(interp)
        for location in opts.breaks:
            _debugger.set_break(interp, location)
        if own_process and shared is None:
            from .interpreter import _global_interpreter

            give_back = _tclsh.own_std_channels(interp, _global_interpreter)
        status = 0
        if opts.file is not None:
            status = _run_file(interp, opts.file, opts.encoding, opts.debug)
            if not interactive:
                return _end_as_tclsh(interp, status)
        elif opts.script is not None:
            status = 0 if _evaluate(interp, opts.script, show_result=False, debug=opts.debug) else 1
        if interactive:
            status = _interact(interp)
        elif plain_prompt:
            _tclsh.command_loop(interp)
            return _end_as_tclsh(interp, 0)
        return status
    except SystemExit as exc:
        return _exit_status(exc)
    except KeyboardInterrupt:
        return INTERRUPTED
    finally:
        _flush_tcl(interp)
        _flush_python()
        give_back()
        try:
            interp.close()
        except Exception:
            pass


def main(argv=None):
    """Runs the console with the command line ``argv`` (default
    ``sys.argv[1:]``) and returns the exit status.

    With the process's own command line (``argv`` None), the console's
    interpreter is the only one holding Tcl's standard channels while it
    runs, as in ``tclsh``: a script that closes ``stdout`` closes the file
    descriptor. With ``argv`` given, they stay shared with the process's
    other interpreters."""
    prog = _program_name()
    try:
        opts = _parse(sys.argv[1:] if argv is None else argv)
    except _Usage as exc:
        sys.stderr.write(_usage(prog) + "%s: error: %s\n" % (prog, exc))
        return 2
    if opts.action == "help":
        sys.stdout.write(_help(prog))
        return 0
    if opts.action == "version":
        import korvex.tcl

        sys.stdout.write("korvex.tcl %s\n" % korvex.tcl.__version__)
        return 0
    if argv is None:  # the process is the console's: before its interpreters read the environment
        _tclsh.undo_locale_coercion()
    # --no-tclx holds for the whole run: the interpreters a script makes
    # through Python and the programs it starts. (The package has set it for
    # its shared interpreter already when this process is the console.)
    saved_tclx = _set_environment(_TCLX_VARIABLE, "0") if opts.tclx is False else None
    coverage = profile = None
    try:
        restore_executable = _use_launcher(opts.tclx)
        try:
            coverage = _start_coverage(opts.coverage) if opts.coverage else _child_coverage()
            if opts.profile is not None:
                from korvex.tcl.profiler.run import RunProfile

                profile = RunProfile()
            return _run(opts, prog, own_process=argv is None)
        except SystemExit as exc:
            return _exit_status(exc)
        except KeyboardInterrupt:
            return INTERRUPTED
        finally:
            if coverage is not None:
                coverage.end(opts.coverage_reports or ["term"])
            if profile is not None:
                profile.report(opts.profile, sys.stderr)
            restore_executable()
    except ImportError as exc:
        if type(exc).__name__ != "TclxLoadError":
            raise
        _report("%s: %s" % (prog, exc))  # one line: the switches are in it
        return 1
    finally:
        if saved_tclx is not None:
            _restore_environment(*saved_tclx)


_TCLX_VARIABLE = "KORVEX_TCL_TCLX"
# Where a console measuring coverage tells the consoles it starts (tcltest
# runs each test file in one, through [info nameofexecutable]) what to
# measure and where to leave their data: {"paths": [...], "data": DIR}.
_CHILD_COVERAGE = "KORVEX_TCL_COVERAGE"


def _set_environment(name, value):
    saved = (name, os.environ.get(name))
    os.environ[name] = value
    return saved


def _restore_environment(name, value):
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value


class _Measuring:
    """Coverage of this console's run, and of the consoles it starts, which
    leave their data in `children` (a directory) for this one to add up;
    `parent` is such a directory of the console that started this one."""

    def __init__(self, paths, parent=None):
        from korvex.tcl_testing import tclcoverage

        tclcoverage.install_everywhere(True)
        self.coverage = tclcoverage.Coverage(paths).start()
        self.parent = parent
        self.children = None
        self.saved = None
        if parent is None:
            import json
            import tempfile

            self.children = tempfile.mkdtemp(prefix="korvex-tcl-coverage-")
            self.saved = _set_environment(_CHILD_COVERAGE, json.dumps(
                {"paths": self.coverage.paths, "data": self.children}))

    def end(self, reports):
        from korvex.tcl_testing import tclcoverage

        data = self.coverage.stop()
        tclcoverage.install_everywhere(False)
        if self.parent is not None:
            _leave_data(data, self.parent)
            return
        _restore_environment(*self.saved)
        _add_children(data, self.children)
        _write_reports(data, reports)


def _start_coverage(paths):
    return _Measuring(paths)


def _child_coverage():
    """Measuring for the console that started this one, as it asked (None
    when it did not)."""
    text = os.environ.get(_CHILD_COVERAGE)
    if not text:
        return None
    import json

    try:
        asked = json.loads(text)
        paths = [p for p in asked["paths"] if isinstance(p, str) and os.path.exists(p)]
        data = asked["data"]
    except (ValueError, KeyError, TypeError):
        return None
    if not paths or not isinstance(data, str) or not os.path.isdir(data):
        return None  # (the console that asked has ended)
    return _Measuring(paths, parent=data)


def _leave_data(data, directory):
    import tempfile

    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".child-", suffix=".json")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(data.to_json())
        os.replace(temporary, os.path.join(directory, "child-%d-%s" % (os.getpid(), os.path.basename(temporary))))
    except OSError as exc:
        _report("Tcl coverage of this run could not be handed to the console that started it: %s" % exc)


def _add_children(data, directory):
    import shutil

    from korvex.tcl_testing.coverage_report import CoverageData

    try:
        names = sorted(n for n in os.listdir(directory) if n.startswith("child-"))
    except OSError:
        names = []
    for name in names:
        try:
            with open(os.path.join(directory, name), encoding="utf-8") as f:
                data.merge(CoverageData.from_json(f.read()))
        except (OSError, ValueError, KeyError, TypeError) as exc:
            _report("Tcl coverage of a console this one started could not be read (%s): %s" % (name, exc))
    shutil.rmtree(directory, ignore_errors=True)


def _write_reports(data, reports):
    """Writes the reports: terminal ones to stderr (stdout is the script's)."""
    from korvex.tcl_testing import coverage_report as _coverage_report

    for warning in _coverage_report.unparsed(data):
        sys.stderr.write("Tcl coverage warning: %s\n" % warning)
    for spec in reports:
        try:
            target = _coverage_report.write(data, spec, sys.stderr)
        except OSError as exc:
            sys.stderr.write("Tcl coverage report %s could not be written: %s\n" % (spec, exc))
            continue
        if target is not None:
            sys.stderr.write("Tcl coverage %s written to %s\n" % (spec.partition(":")[0], target))
    sys.stderr.flush()
