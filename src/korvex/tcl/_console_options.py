"""The console's command line (korvex-tcl, python -m korvex.tcl), read
without Tcl: the package reads it before it makes its shared interpreter,
which must follow the console's --no-tclx (see :func:`console_command_line`).
Imports nothing of korvex.tcl."""

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs every console start a few milliseconds
    from typing import List, Optional, Sequence


class Usage(Exception):
    """A command line that cannot be run: exit status 2."""


class Options:
    def __init__(self) -> None:
        self.interactive = False
        self.python = False
        self.script: Optional[str] = None  # -c SCRIPT
        self.file: Optional[str] = None
        self.encoding: Optional[str] = None  # of FILE
        self.args: List[str] = []
        self.action: Optional[str] = None  # "help" or "version"
        self.coverage: List[str] = []  # the paths measured
        self.coverage_reports: List[str] = []
        self.tclx: Optional[bool] = None  # False: --no-tclx; None: as KORVEX_TCL_TCLX says
        self.profile: Optional[str] = None  # --profile[=DIR]: the directory of the profile
        self.debug = False  # --debug: the Tcl debugger's post-mortem prompt after an uncaught error
        self.breaks: List[str] = []  # --break LOCATION: the Tcl debugger's breakpoints


def parse(argv: "Sequence[str]") -> Options:
    opts = Options()
    rest = list(argv)
    while rest:
        arg = rest.pop(0)
        if arg == "--":
            break
        if arg in ("-h", "--help"):
            opts.action = opts.action or "help"
        elif arg == "--version":
            opts.action = opts.action or "version"
        elif arg == "--python":
            opts.python = True
        elif arg == "-i":
            opts.interactive = True
        elif arg == "--no-tclx":
            opts.tclx = False
        elif arg == "--profile" or arg.startswith("--profile="):
            opts.profile = arg.partition("=")[2] or "prof"
        elif arg == "--debug":
            opts.debug = True
        elif arg == "--break":
            if not rest:
                raise Usage("argument --break: expected one argument")
            opts.breaks.append(rest.pop(0))
        elif arg in ("--coverage", "--coverage-report"):
            if not rest:
                raise Usage("argument %s: expected one argument" % arg)
            value = rest.pop(0)
            if arg == "--coverage":
                opts.coverage.append(value)
            else:
                from korvex.tcl_testing import coverage_report as _coverage_report

                try:
                    _coverage_report.parse_kind(value)
                except ValueError as exc:
                    raise Usage(str(exc)) from None
                opts.coverage_reports.append(value)
        elif arg == "-encoding":
            if not rest:
                raise Usage("argument -encoding: expected one argument")
            opts.encoding = rest.pop(0)
        elif arg == "-c" or (arg.startswith("-c") and not arg.startswith("--")):
            script = arg[2:]
            if not script:
                if not rest:
                    raise Usage("argument -c: expected one argument")
                script = rest.pop(0)
            opts.script = script
            opts.args = rest
            return check(opts)
        elif arg.startswith("-") and arg != "-":
            raise Usage("unrecognized option: " + arg)
        else:
            rest.insert(0, arg)
            break
    if rest:
        opts.file = rest.pop(0)
        opts.args = rest
    return check(opts)


def check(opts: Options) -> Options:
    if opts.python and (opts.script is not None or opts.file is not None or opts.interactive):
        raise Usage("--python takes no FILE, -c or -i")
    if opts.encoding is not None and opts.file is None:
        raise Usage("-encoding needs a FILE")
    if opts.coverage_reports and not opts.coverage:
        raise Usage("--coverage-report needs --coverage PATH")
    for path in opts.coverage or ():
        if not os.path.exists(path):
            raise Usage("--coverage: no such file or directory: %s" % path)
    return opts


# The names the console runs under as the program: its script (pip's, or the
# launcher [info nameofexecutable] names) and the modules python -m runs.
_PROGRAM = "korvex-tcl"
_MODULES = ("korvex.tcl", "korvex.tcl.__main__")


def console_command_line() -> "Optional[List[str]]":
    """The console's arguments when this process is the console
    (``korvex-tcl ...``, ``python -m korvex.tcl ...``), else None.

    Python imports this package before the console reads its command line:
    under ``python -m`` the package is imported with ``sys.argv[0]`` still
    "-m" and the rest of the process's command line (``sys.orig_argv``) is
    the console's; the console's script is the main module itself."""
    argv = list(sys.argv)
    if not argv:
        return None
    if argv[0] == "-m":
        original = list(getattr(sys, "orig_argv", ()))
        at = len(original) - len(argv)  # where the module's name is
        if at < 1 or original[at + 1:] != argv[1:]:
            return None
        name = original[at]
        if original[at - 1] == "-m" and name in _MODULES or name in ["-m" + m for m in _MODULES]:
            return argv[1:]
        return None
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if isinstance(path, str) and os.path.basename(path) == _PROGRAM and os.path.basename(argv[0]) == _PROGRAM:
        return argv[1:]
    return None


# The console's arguments the package's shared interpreter was made for (the
# process being the console), until the console takes that interpreter for
# its run: see made_for_console() and take_shared().
_shared_made_for: "Optional[List[str]]" = None


def made_for_console(args: "List[str]") -> None:
    """Notes that the shared interpreter was made as the console's command
    line `args` asks (korvex.tcl calls this)."""
    global _shared_made_for
    _shared_made_for = list(args)


def take_shared(args: "Sequence[str]") -> bool:
    """Whether the console running with the process's arguments `args` may
    run in the shared interpreter: the package made it for exactly this
    command line, and no run has taken it yet."""
    global _shared_made_for
    if _shared_made_for is None or _shared_made_for != list(args):
        return False
    _shared_made_for = None
    return True


# What Python sets LC_CTYPE to when it finds the C locale (PEP 538).
_COERCED = ("C.UTF-8", "C.utf8", "UTF-8")


def undo_locale_coercion() -> None:
    """Takes back what Python did to a C locale at start-up: it set LC_CTYPE
    in the environment (where Tcl's env() shows it, and where Tcl reads its
    system encoding from); tclsh leaves both alone. Python did so exactly
    when it also chose its UTF-8 mode for that locale by itself. Done before
    the console's interpreter is made, which reads the environment."""
    if (sys.flags.utf8_mode != 1 or "utf8" in getattr(sys, "_xoptions", {})
            or os.environ.get("PYTHONUTF8") or os.environ.get("LC_ALL")
            or os.environ.get("LC_CTYPE") not in _COERCED):
        return
    del os.environ["LC_CTYPE"]
    import locale

    try:
        locale.setlocale(locale.LC_CTYPE, "")
    except locale.Error:
        pass
