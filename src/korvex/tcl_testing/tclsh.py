"""What makes the console tclsh: a script file evaluated as tclsh evaluates
it, tclsh's loop for commands piped in, its prompts, the standard channels
held by one interpreter, and info nameofexecutable naming a program that
runs Tcl as the console does.

tclsh reads the file and evaluates it at the top level (no command around
it), with ``info script`` set and Tcl's "this script is a file" mark, so that
``info frame``, ``info level``, error lines and the handling of ``return``
and ``break`` at the file's top level are those of a sourced file at level 0.
Tcl offers that only to C code (``Tcl_FSEvalFileEx``); calling it directly
would run Tcl code that may reach Python commands outside ``_tkinter``, so
the console evaluates the file's text through ``_tkinter`` instead, with the
same mark set on the interpreter for the one evaluation (see
:func:`eval_file`).

``info nameofexecutable`` names a launcher: a small script that runs this
console with this Python, so that ``exec [info nameofexecutable] f.tcl``
(and tcltest's ``[interpreter]``) runs Tcl, not Python.
"""

from __future__ import annotations

import contextlib
import os
import re
import stat
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing, like tempfile, hashlib and locale below, would cost every console start
    from typing import Any, Iterator, Optional, Tuple

from korvex.tcl import _console_options
from korvex.tcl import _tclsh as _native
from korvex.tcl.interpreter import TclError
from korvex.tcl.zelph import zelph

__all__ = ["eval_file", "command_loop", "write", "prompt_text", "own_std_channels", "launcher", "executable",
           "set_executable", "undo_locale_coercion"]

# --- evaluating a file ---------------------------------------------------------

# Reads a script file as Tcl_FSEvalFileEx does: the encoding given or the
# system's, ^Z ends the text, a byte order mark is dropped; a file that
# cannot be read is the error "couldn't read file ...".
_READ_FILE = r"""{path encoding} {
    set fail {{path message options} {
        set code [dict get $options -errorcode]
        if {[lindex $code 0] ne "POSIX"} {return -code error -errorcode $code $message}
        return -code error -errorcode $code "couldn't read file \"$path\": [lindex $code 2]"
    }}
    if {[catch {file stat $path st} msg options]} {apply $fail $path $msg $options}
    if {[catch {open $path r} chan options]} {apply $fail $path $chan $options}
    try {
        chan configure $chan -eofchar "\x1a {}"
        if {$encoding ne ""} {chan configure $chan -encoding $encoding}
        if {[catch {read $chan} text options]} {apply $fail $path $text $options}
    } finally {
        close $chan
    }
    if {[string index $text 0] eq "\ufeff"} {set text [string range $text 1 end]}
    return $text
}"""


def _source(interp: Any, path: str, encoding: Optional[str]) -> Any:
    # The fallback: Tcl's source, called without a command around it. The
    # error's last words are that call, no part of the file's stack.
    words = ["-encoding", encoding, path] if encoding else [path]
    try:
        interp.yarl.source(*words)
    except TclError as exc:
        text = interp.get_var("::errorInfo")
        command = zelph(["source", *words])
        for head in ("\n    invoked from within\n\"", "\n    while executing\n\""):
            for shown in _shortened(command):
                if text.endswith(head + shown + '"'):
                    text = text[:-len(head + shown + '"')]
        raise TclError(text) from exc


def _shortened(command: str) -> Iterator[str]:
    # Tcl shows a command in errorInfo cut to 150 bytes and "...".
    yield command
    data = command.encode("utf-8")
    if len(data) > 150:
        yield data[:150].decode("utf-8", "ignore") + "..."
        yield command[:150] + "..."


def _evaluable(text: str) -> Any:
    # What _tkinter's eval takes: UTF-8 text without NUL (lone surrogates,
    # from a file Tcl read as CESU-8, do not encode).
    if "\0" in text:
        return False
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _measured(path: str) -> bool:
    backend = sys.modules.get("korvex.tcl._coverage")
    return backend is not None and bool(backend.measures(os.path.realpath(path)))


def eval_file(interp: Any, path: str, encoding: Optional[str] = None, measure: bool = False) -> Any:
    """Evaluates the file at path as tclsh evaluates its script. Raises
    TclError with the text tclsh prints (its errorInfo) if it fails;
    SystemExit and KeyboardInterrupt pass through. With `measure`, a file
    that Tcl coverage measures runs through ``source``, which it counts (one
    command level deeper, as the guide on coverage says)."""
    tk = interp.tk
    text = tk.eval(zelph(["apply", _READ_FILE, path, encoding or ""]))
    # (mark_file is False where this Tcl's structure hides the mark.)
    if not _evaluable(text) or (measure and _measured(path)) or not _native.mark_file(tk, False):
        return _source(interp, path, encoding)
    outer = tk.eval("info script")
    tk.eval(zelph(["info", "script", path]))
    # (Tcl's source tells the debugger of a file with a line breakpoint; this tells it here.)
    debugger = sys.modules.get("korvex.tcl.debugger")
    running = debugger.running_file(interp, path) if debugger is not None else contextlib.nullcontext()
    try:
        _native.mark_file(tk, True)
        with running:
            interp.eval(text, record=False)
    except TclError as exc:
        # What Tcl_FSEvalFileEx adds: the file and the line of the error.
        shown = path if len(path.encode("utf-8")) <= 150 else path[:150] + "..."
        _native.add_error_info(tk, ('\n    (file "%s" line %d)' % (shown, _native.error_line(tk)))
                               .encode("utf-8", "surrogateescape"))
        raise TclError(interp.get_var("::errorInfo")) from exc
    finally:
        _native.mark_file(tk, False)
        tk.eval(zelph(["info", "script", outer]))


# --- the launcher --------------------------------------------------------------

# Where the console's own modules are found: the directory holding korvex/.
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The longest "#!" line Linux reads whole (older kernels: 127 bytes).
_SHEBANG_MAX = 127


def _launcher_text(python: str, root: str, tclx: bool = True) -> str:
    body = ("# Runs Tcl files and commands as the korvex.tcl console (korvex-tcl) does,\n"
            "# with the Python that wrote this file%s.\n" % ("" if tclx else ", without TclX"))
    # Without TclX the launcher says so itself, not the environment it was
    # given (a script may clear the environment of the programs it runs),
    # before the package makes its shared interpreter.
    code = "import sys; sys.path[0:1] = [%r]; %sfrom korvex.tcl.console import main; %ssys.exit(main())" % (
        root, "" if tclx else "import os; os.environ['KORVEX_TCL_TCLX'] = '0'; ",
        "" if tclx else "sys.argv[1:1] = ['--no-tclx']; ")
    shebang = "#!" + python
    if len(shebang) < _SHEBANG_MAX and not any(c.isspace() for c in python) and python.isprintable():
        # Python itself: no shell between the caller and the console, which
        # would add PWD to the environment or correct a stale one.
        return "%s\n%s%s\n" % (shebang, body, code.replace("; ", "\n"))

    def quote(text: str) -> str:
        return "'" + text.replace("'", "'\\''") + "'"
    return "#!/bin/sh\n%sexec %s -c %s \"$0\" \"$@\"\n" % (
        body, quote(python), quote(code.replace("import sys; ", "import sys; sys.argv[0:2] = sys.argv[1:2]; ")))


def _private_dir(path: str) -> Any:
    """path as a directory of this user's that only they can write, or None."""
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        st = os.lstat(path)
    except OSError:
        return None
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid() or st.st_mode & 0o022:
        return None
    return path


def _cache_dirs() -> Any:
    cache = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(cache):
        cache = os.path.join(os.path.expanduser("~"), ".cache")
    yield os.path.join(cache, "korvex-tcl")
    import tempfile

    yield os.path.join(tempfile.gettempdir(), "korvex-tcl-%d" % os.getuid())


def _write_launcher(directory: str, text: str) -> Any:
    """The launcher in directory, written unless it is there already; and
    whether it was written."""
    path = os.path.join(directory, "korvex-tcl")
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text and os.access(path, os.X_OK):
                return path, False
    except (OSError, UnicodeDecodeError):
        pass
    import tempfile

    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".korvex-tcl-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(temporary, 0o755)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    return path, True


# A launcher another text replaced (its Python and package the same, the
# package since changed) is kept this long for runs that may still use it.
_REPLACED_KEPT = 24 * 3600

# (Patterns compiled on first use, by re's cache: not at every console start.)
_ROOT_IN_CODE = r"sys\.path\[0:1\] = \[('(?:[^'\\\n]|\\.)*'|\"(?:[^\"\\\n]|\\.)*\")\]"


def _launcher_of(text: str) -> Any:
    """(Python, root, with TclX) of a launcher's text, or None when it is no
    launcher this module writes."""
    import ast
    import shlex

    lines = text.split("\n")
    if len(lines) < 3 or not lines[1].startswith("# Runs Tcl files and commands as the korvex.tcl console"):
        return None
    try:
        if lines[0] == "#!/bin/sh":
            words = shlex.split(next(line for line in lines if line.startswith("exec ")))
            python, code = words[1], words[3]
        elif lines[0].startswith("#!"):
            python, code = lines[0][2:], text
        else:
            return None
        found = re.search(_ROOT_IN_CODE, code)
        if found is None:
            return None
        root = ast.literal_eval(found.group(1))
    except (ValueError, SyntaxError, StopIteration, IndexError):
        return None
    if not isinstance(root, str):
        return None
    return python, root, "without TclX" not in lines[2]


def _prune(base: str, kept: str, text: str) -> None:
    """Removes the launchers under base that nothing can run any more (their
    Python or their package is gone, as with a deleted virtual environment)
    and those another text has replaced for the same Python, package and
    mode a while ago; `kept` is the directory of the launcher `text`."""
    import shutil

    mine = _launcher_of(text)
    try:
        names = os.listdir(base)
    except OSError:
        return
    now = time.time()
    for name in names:
        directory = os.path.join(base, name)
        if directory == kept or len(name) != 16 or not all(c in "0123456789abcdef" for c in name):
            continue
        path = os.path.join(directory, "korvex-tcl")
        try:
            st = os.lstat(directory)
            if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid():
                continue
            with open(path, encoding="utf-8") as f:
                found = _launcher_of(f.read(100000))
            age = now - os.lstat(path).st_mtime
        except (OSError, UnicodeDecodeError):
            continue
        if found is None or set(os.listdir(directory)) - {"korvex-tcl"}:
            continue  # not only a launcher of ours: left alone
        python, root, _ = found
        gone = not os.path.exists(python) or not os.path.isdir(os.path.join(root, "korvex", "tcl"))
        if gone or (found == mine and age > _REPLACED_KEPT):
            shutil.rmtree(directory, ignore_errors=True)


def _sha256(data: bytes) -> Any:
    # CPython's own SHA-256 where it has one: hashlib loads OpenSSL, which
    # costs a console start several milliseconds.
    try:
        if sys.version_info >= (3, 12):  # (a failed import searches the whole path)
            from _sha2 import sha256  # type: ignore[import-not-found, unused-ignore]
        else:
            from _sha256 import sha256  # type: ignore[import-not-found, no-redef, unused-ignore]
    except ImportError:
        from hashlib import sha256  # type: ignore[assignment, unused-ignore]
    return sha256(data)


def launcher(tclx: bool = True) -> Any:
    """The path of a launcher running the console with this Python, with
    TclX or without (written to the user's cache directory, or a private one
    under the temporary directory, when missing), or None where none can be
    written."""
    text = _launcher_text(sys.executable, _ROOT, tclx)
    key = _sha256(text.encode("utf-8", "surrogateescape")).hexdigest()[:16]
    for base in _cache_dirs():
        if _private_dir(base) is None:
            continue
        directory = _private_dir(os.path.join(base, key))
        if directory is None:
            continue
        try:
            path, written = _write_launcher(directory, text)
        except OSError:
            continue
        if written:  # a new Python, package or mode: a time to tidy up
            _prune(base, directory, text)
        return path
    return None


# (Done before any interpreter of the console is made; kept here under its
# old name.)
undo_locale_coercion = _console_options.undo_locale_coercion


def executable() -> Tuple[str, str]:
    """What ``info nameofexecutable`` names, and Tcl's system encoding."""
    name = _native.name_of_executable()
    return (os.fsdecode(name) if name else ""), _native.system_encoding()


# Gives Tcl's standard channels (one set per thread, made on first use with
# the system encoding of the time) that still read and write the encoding
# "from" the encoding "to".
_FOLLOW_ENCODING = r"""{from to} {
    foreach c {stdin stdout stderr} {
        if {[chan names $c] ne {} && [chan configure $c -encoding] eq $from} {
            chan configure $c -encoding $to
        }
    }
}"""


def set_executable(interp: Any, path: str, encoding: Optional[str] = None) -> Any:
    """Makes path what ``info nameofexecutable`` names, for the whole
    process (as Tcl keeps it). Tcl then takes its system encoding from the
    environment again, as at start-up, or sets it to encoding if given; the
    standard channels follow it."""
    _, before = executable()
    _native.find_executable(os.fsencode(path))
    if encoding is not None:
        _native.set_system_encoding(encoding.encode("utf-8"))
    _, after = executable()
    if after != before:
        try:
            interp.tk.eval(zelph(["apply", _FOLLOW_ENCODING, before, after]))
        except (TclError, RuntimeError):  # closed, or another thread's
            pass


# --- the standard channels -------------------------------------------------------

# TCL_STDIN, TCL_STDOUT, TCL_STDERR and the channels' names.
_STD_CHANNELS_BY_KIND = ((2, "stdin"), (4, "stdout"), (8, "stderr"))


def own_std_channels(interp: Any, other: Any) -> Any:
    """Makes interp, not other, hold Tcl's standard channels (one set per
    thread, held by every interpreter that uses channels). tclsh has one
    interpreter: there a script's "close stdout" closes the file descriptor,
    and the next file opened becomes the new stdout. Returns a function that
    gives other back those still standard."""
    interp.tk.eval("chan names")  # its channel table, and the standard channels in it
    taken = []
    for kind, name in _STD_CHANNELS_BY_KIND:
        chan = _native.std_channel(kind)
        held = zelph(["chan", "names", name])
        if chan and other.tk.eval(held) and interp.tk.eval(held):
            other.tk.eval(zelph(["close", name]))  # only let go: interp still holds it
            taken.append((kind, chan))

    def give_back() -> None:
        for kind, chan in taken:
            _native.register_std_channel(other.tk, kind, chan)  # if still standard
    return give_back


# --- prompts -------------------------------------------------------------------

# Runs a prompt script as tclsh does (global level, its output is the
# prompt), catching what it writes to stdout: {code text-or-message}.
_PROMPT = r"""{name} {
    upvar #0 $name script
    set out {}
    chan push stdout [list apply {{var op chan args} {
        upvar #0 $var out
        switch -- $op {
            initialize {return {initialize finalize write flush}}
            write {append out [lindex $args 0]; return}
            default {return}
        }
    }} ::tcl::korvex_prompt_out]
    set ::tcl::korvex_prompt_out {}
    try {
        set code [catch {uplevel #0 $script} message]
    } finally {
        chan pop stdout
    }
    set out [encoding convertfrom [chan configure stdout -encoding] $::tcl::korvex_prompt_out]
    unset ::tcl::korvex_prompt_out
    if {$code == 1} {return [list 1 $message]}
    return [list 0 $out]
}"""


def prompt_text(interp: Any, continuation: bool) -> Any:
    """The prompt tclsh would show: what the script in tcl_prompt1 (or
    tcl_prompt2 for continuation) writes to stdout, or None where the
    variable is not set. A failing script is reported on stderr, as tclsh
    does, and gives None."""
    name = "::tcl_prompt2" if continuation else "::tcl_prompt1"
    try:
        if interp.tk.eval(zelph(["info", "exists", name])) != "1":
            return None
        code, text = interp.tk.splitlist(interp.tk.eval(zelph(["apply", _PROMPT, name])))
    except TclError:
        return None
    if str(code) == "1":
        sys.stderr.write(str(text) + "\n")
        sys.stderr.flush()
        return None
    return str(text)


# --- tclsh's command loop ------------------------------------------------------

# tcl_interactive as tclsh links it to its "stdin is a terminal" flag: only
# booleans can be set ("can't set ...: variable must have boolean value",
# the variable keeping the flag), and unsetting it brings it back.
_LINK_INTERACTIVE = r"""{} {
    set ::tcl::LinkedInteractive [expr {!!$::tcl_interactive}]
    trace add variable ::tcl_interactive {write unset} {apply {{name element op} {
        if {$op eq "unset"} {
            set ::tcl_interactive $::tcl::LinkedInteractive
            trace add variable ::tcl_interactive {write unset} [info level 0]
        } elseif {[string is boolean -strict $::tcl_interactive]} {
            set ::tcl::LinkedInteractive [expr {!!$::tcl_interactive}]
        } else {
            set ::tcl_interactive $::tcl::LinkedInteractive
            return -code error "variable must have boolean value"
        }
    }}}
}"""

# One line of stdin through Tcl's channel: {count line blocked}; no stdin
# channel (closed) reads as the end.
_GETS = r"""{} {
    if {[catch {gets stdin line} count]} {return {-1 {} 0}}
    list $count $line [expr {$count < 0 && [chan blocked stdin]}]
}"""

# Writes text and a newline to a standard channel, if it is open.
_WRITE = r"""{chan text newline} {
    catch {
        if {$newline} {puts $chan $text} else {puts -nonewline $chan $text}
        flush $chan
    }
}"""


def write(interp: Any, chan: str, text: str, newline: bool = True) -> None:
    """Writes text (and a newline) to Tcl's standard channel chan, if open."""
    interp.tk.eval(zelph(["apply", _WRITE, chan, text, int(newline)]))


def _prompt(interp: Any, continuation: bool) -> Any:
    """tclsh's prompt: the script in tcl_prompt1 (tcl_prompt2) run at the top
    level, or "% " (nothing while a command is unfinished)."""
    name = "::tcl_prompt2" if continuation else "::tcl_prompt1"
    text = "" if continuation else "% "
    if interp.tk.eval(zelph(["info", "exists", name])) == "1":
        try:
            interp.eval(interp.tk.eval(zelph(["set", name])), record=False)
            text = ""
        except TclError as exc:
            _native.add_error_info(interp.tk, b"\n    (script that generates prompt)")
            write(interp, "stderr", _message(exc))
    write(interp, "stdout", text, newline=False)


def _message(exc: BaseException) -> str:
    result = getattr(exc, "result", None)
    return result if isinstance(result, str) else str(exc)


_EXECUTING = '\n    while executing\n"'

# What "uplevel #0" adds to errorInfo when the command it runs fails.
_UPLEVEL_TAIL = r'\n    \("uplevel" body line -?\d+\)\n    (?:invoked from within|while executing)\n"\Z'


def _eval_compiled(interp: Any, command: str, text: bool) -> Any:
    """Runs command at the top level as tclsh runs a command read from stdin:
    compiled (Tcl_EvalObjEx), as a whole, where _tkinter's eval would parse
    and run it word by word, each command substitution one level deeper
    (which Tcl's recursion limit counts). "uplevel #0" compiles its script;
    the lines it adds to errorInfo are taken off again. Called with its
    words, it adds no frame of its own for [info frame]; that call gives the
    result as Python values, so when the result's text is wanted (`text`),
    the command goes through eval instead."""
    words = ["uplevel", "#0", command]
    try:
        if text:
            return interp.eval(zelph(words), record=False)
        return interp.call(*words)
    except TclError:
        info = str(interp.tk.getvar("::errorInfo"))
        for shown in _shortened(zelph(words)):
            if info.endswith(shown + '"'):
                end = len(info) - len(shown) - 1
                head = re.compile(_UPLEVEL_TAIL).search(info, 0, end)
                if head is not None and head.end() == end:
                    interp.tk.call("set", "::errorInfo", info[:head.start()])
                elif info[:end].endswith(_EXECUTING):
                    # break, continue or another code out of place: Tcl
                    # names the command that returned it, here uplevel.
                    data = command.encode("utf-8")
                    own = command if len(data) <= 150 else data[:150].decode("utf-8", "ignore") + "..."
                    interp.tk.call("set", "::errorInfo", info[:end] + own + '"')
                break
        raise


def command_loop(interp: Any) -> Any:
    """Runs the commands read from Tcl's stdin as tclsh does when stdin is
    not a terminal and no script file is given: each once it is complete,
    recorded in Tcl's history and run at the top level; a failing command
    writes its message to stderr and the loop goes on. Setting
    tcl_interactive to 1 turns on prompts and results, as in tclsh."""
    interp.tk.eval(zelph(["apply", _LINK_INTERACTIVE]))
    pending = ""
    # As long as there is a stdin (a command may close it).
    while interp.tk.eval("catch {chan configure stdin -blocking}") == "0":
        interactive = interp.tk.eval("set ::tcl::LinkedInteractive") == "1"
        if interactive:
            _prompt(interp, continuation=bool(pending))
        count, line, blocked = interp.tk.splitlist(interp.tk.eval(zelph(["apply", _GETS])))
        if int(count) < 0:
            if str(blocked) == "1":  # stdin made non-blocking: poll, as tclsh does
                time.sleep(0.001)
                continue
            return
        pending += str(line) + "\n"
        if interp.tk.eval(zelph(["info", "complete", pending])) != "1":
            continue
        command, pending = pending[:-1], ""
        try:
            interp.tk.eval(zelph(["::history", "add", command]))
        except TclError:
            pass
        try:
            # The result's text matters once prompts are on, or may be
            # turned on by this command.
            result = _eval_compiled(interp, command, text=interactive or "tcl_interactive" in command)
        except TclError as exc:
            write(interp, "stderr", _message(exc))
            continue
        if interp.tk.eval("set ::tcl::LinkedInteractive") == "1":
            result = result if isinstance(result, str) else zelph(result)  # turned on by the command
            if result:
                write(interp, "stdout", result)
