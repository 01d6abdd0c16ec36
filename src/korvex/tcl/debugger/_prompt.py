"""The ``(tcl-pdb)`` prompt: pdb's commands over Tcl's frames."""

from __future__ import annotations

import os
import sys
TYPE_CHECKING = False
if TYPE_CHECKING:  # (typing costs a console start a few milliseconds)
    from typing import Any, Callable, List, Optional, TextIO

from korvex.tcl.zelph import zelph

from ._frames import Frame

PROMPT = "(tcl-pdb) "

HELP = """\
Commands (any other input is Tcl, evaluated in the selected frame):
  where (w)          the frames, the selected one marked with >
  up (u) [N]         select the frame N (1) levels out; down (d) [N]: in
  list (l)           the source lines around the selected frame's line
  locals             the selected frame's variables
  step (s)           run to the next command, entering procedures (live frames)
  next (n)           run to the next command of this frame (live frames)
  return (r)         run until this procedure returns (live frames)
  continue (c)       leave the prompt; the run goes on
  quit (q)           end the run
  help (h)           this text"""

# What a prompt ends with: how the run goes on.
CONTINUE, QUIT, STEP, NEXT, RETURN = "continue", "quit", "step", "next", "return"

_WORDS = {
    "c": CONTINUE, "cont": CONTINUE, "continue": CONTINUE, "q": QUIT, "quit": QUIT, "exit": QUIT,
    "s": STEP, "step": STEP, "n": NEXT, "next": NEXT, "r": RETURN, "return": RETURN,
}

# The reads of a frame's variables that a frame gone is answered from what
# was kept: (command words, how many words).
_READS = {("set", 2), ("info", 2), ("array", 3), ("array", 4)}


class Prompt:
    """One stop of the debugger. `frames` run outermost first; the innermost
    is selected. `live`: the frames exist (evaluation goes through ``uplevel``),
    else they are what was kept when an error was raised."""

    def __init__(self, interp: Any, frames: List[Frame], live: bool, out: Optional[TextIO] = None,
                 read: Optional[Callable[[str], str]] = None, child: str = "") -> None:
        self.interp = interp
        # A child interpreter's frames (its path): evaluation goes there, through interp eval.
        self.child = child
        self.frames = frames
        self.live = live
        self.index = len(frames) - 1
        self.out = out or sys.stdout
        self.read = read or read_line

    # -- output ---------------------------------------------------------------

    def say(self, text: str) -> None:
        self.out.write(text + "\n")
        self.out.flush()

    @property
    def frame(self) -> Frame:
        return self.frames[self.index]

    def where(self) -> None:
        self.say("Tcl traceback (most recent call last):")
        for i, frame in enumerate(self.frames):
            if not frame.level and not frame.path and len(self.frames) > 1:
                continue
            mark = ">" if i == self.index else " "
            self.say("%s %s" % (mark, frame.where()))
            if i == self.index and frame.command:
                self.say("    %s" % _one_line(frame.command))

    def show_frame(self) -> None:
        frame = self.frame
        self.say("> %s" % frame.where())
        if frame.command:
            self.say("    %s" % _one_line(frame.command))

    def list_source(self) -> None:
        frame = self.frame
        if not frame.path or frame.line <= 0:
            self.say("*** no source file for this frame")
            return
        try:
            with open(frame.path, encoding="utf-8", errors="replace") as f:
                lines = f.read().split("\n")
        except OSError as exc:
            self.say("*** cannot read %s: %s" % (frame.path, exc.strerror))
            return
        first = max(frame.line - 5, 1)
        for n in range(first, min(first + 11, len(lines) + 1)):
            self.say("%4d %s %s" % (n, "->" if n == frame.line else "  ", lines[n - 1]))

    def show_locals(self) -> None:
        frame = self.frame
        if frame.level == 0:
            self.say("*** the global level: its variables are the interpreter's globals (info globals)")
            return
        try:
            values = frame.values if not self.live else self._live_values()
        except Exception as exc:
            self.say("*** %s" % _message(exc))
            return
        if not values:
            self.say("(no variables)")
        for name in sorted(values or {}):
            value = (values or {})[name]
            if isinstance(value, dict):
                for key in sorted(value):
                    self.say("%s(%s) = %s" % (name, key, _shown(value[key])))
                if not value:
                    self.say("%s = (empty array)" % name)
            elif value is None:
                self.say("%s (no value)" % name)
            else:
                self.say("%s = %s" % (name, _shown(value)))

    def _live_values(self) -> Any:
        tk = self.interp.tk
        run = self.tcl
        level = "#%d" % self.frame.level
        values: Any = {}
        for name in tk.splitlist(run("uplevel %s {info vars}" % level)):
            name = str(name)
            if int(run("uplevel %s %s" % (level, _tcl_list(self.interp, ["array", "exists", name])))):
                items = tk.splitlist(run("uplevel %s %s" % (level, _tcl_list(self.interp, ["array", "get", name]))))
                values[name] = {str(items[i]): str(items[i + 1]) for i in range(0, len(items) - 1, 2)}
            elif int(run("uplevel %s %s" % (level, _tcl_list(self.interp, ["info", "exists", name])))):
                values[name] = run("uplevel %s %s" % (level, _tcl_list(self.interp, ["set", name])))
            else:
                values[name] = None
        return values

    # -- evaluation -------------------------------------------------------------

    def tcl(self, script: str) -> str:
        """Evaluates `script` where Tcl is (the prompt runs inside it): in
        the interpreter through tk.eval (tk.call runs at the global level),
        or in the child through interp eval (which runs at its level)."""
        if self.child:
            script = _tcl_list(self.interp, ["interp", "eval", self.child, script])
        return str(self.interp.tk.eval(script))

    def evaluate(self, script: str) -> None:
        frame = self.frame
        if self.live or frame.level == 0:
            try:
                result = self.tcl("uplevel #%d %s" % (frame.level, _tcl_list(self.interp, [script])))
            except Exception as exc:
                self.say("*** %s" % _message(exc))
                return
            if str(result) != "":
                self.say(str(result))
            return
        answer = self._kept_read(script)
        if answer is not None:
            ok, text = answer
            self.say(("%s" if ok else "*** %s") % text if text or not ok else "")
            return
        self.say("(frame %d is gone: run at global level)" % frame.level)
        try:
            result = self.tcl("uplevel #0 %s" % _tcl_list(self.interp, [script]))
        except Exception as exc:
            self.say("*** %s" % _message(exc))
            return
        if str(result) != "":
            self.say(str(result))

    def _kept_read(self, script: str) -> Any:
        """(ok, text) for a read of the kept frame's variables, else None."""
        try:
            words = [str(w) for w in self.interp.tk.splitlist(script)]
        except Exception:
            return None
        if not words or (words[0], len(words)) not in _READS and not (words[0] == "info" and len(words) <= 3):
            return None
        values = self.frame.values or {}
        head = words[0]
        if head == "set" and len(words) == 2:
            name = words[1]
            if "(" in name and name.endswith(")"):
                base, key = name[:-1].split("(", 1)
                value = values.get(base)
                if isinstance(value, dict) and key in value:
                    return True, value[key]
                return False, 'can\'t read "%s": no such element in array' % name
            value = values.get(name)
            if isinstance(value, dict):
                return False, 'can\'t read "%s": variable is array' % name
            if value is None:
                return False, 'can\'t read "%s": no such variable' % name
            return True, value
        if head == "info" and len(words) >= 2 and words[1] in ("locals", "vars"):
            names = sorted(values)
            if len(words) == 3:
                import fnmatch
                names = [n for n in names if fnmatch.fnmatchcase(n, words[2])]
            return True, _tcl_list(self.interp, names)
        if head == "info" and len(words) == 3 and words[1] == "exists":
            return True, "1" if words[2] in values and values[words[2]] is not None else "0"
        if head == "array" and len(words) >= 3 and words[1] in ("get", "names", "size", "exists"):
            value = values.get(words[2])
            if words[1] == "exists":
                return True, "1" if isinstance(value, dict) else "0"
            if not isinstance(value, dict):
                return True, "0" if words[1] == "size" else ""
            if words[1] == "size":
                return True, str(len(value))
            keys = list(value)
            if len(words) == 4:
                import fnmatch
                keys = [k for k in keys if fnmatch.fnmatchcase(k, words[3])]
            if words[1] == "names":
                return True, _tcl_list(self.interp, keys)
            return True, _tcl_list(self.interp, [x for k in keys for x in (k, value[k])])
        return None

    # -- the loop -------------------------------------------------------------------

    def run(self, header: str = "") -> str:
        """Shows where the run is, then reads commands until one leaves;
        returns CONTINUE, QUIT, STEP, NEXT or RETURN."""
        if header:
            self.say(header)
        if self.live:
            self.show_frame()
        else:
            self.where()
        while True:
            try:
                line = self.read(PROMPT)
            except KeyboardInterrupt:
                self.say("\n--KeyboardInterrupt--\n(continue or quit leaves the prompt)")
                continue
            except EOFError:
                self.say("")
                return CONTINUE
            line = line.strip()
            if not line:
                continue
            word, _, rest = line.partition(" ")
            rest = rest.strip()
            action = _WORDS.get(word) if not rest else None
            if action in (STEP, NEXT, RETURN) and not self.live:
                self.say("*** the frames are gone (the error unwound them): %s needs a live breakpoint" % action)
                continue
            if action in (STEP, NEXT, RETURN) and self.child:
                self.say("*** no stepping in a child interpreter (%s): continue, or a breakpoint further on"
                         % self.child)
                continue
            if action is not None:
                return action
            if word in ("w", "where", "bt") and not rest:
                self.where()
            elif word in ("u", "up", "d", "down") and (not rest or rest.isdigit()):
                self._move((1 if word[0] == "u" else -1) * (int(rest) if rest else 1))
            elif word in ("l", "list") and not rest:
                self.list_source()
            elif word == "locals" and not rest:
                self.show_locals()
            elif word in ("h", "help") and not rest:
                self.say(HELP)
            else:
                self.evaluate(line)

    def _move(self, steps: int) -> None:
        target = self.index - steps
        lowest = 0 if self.frames[0].path or len(self.frames) == 1 else 1
        if target < lowest:
            self.say("*** oldest frame")
            target = lowest
        elif target >= len(self.frames):
            self.say("*** newest frame")
            target = len(self.frames) - 1
        self.index = target
        self.show_frame()


def _one_line(text: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= 100 else text[:96] + " ..."


def _shown(value: str) -> str:
    return value if len(value) <= 2000 else value[:2000] + "... (%d characters)" % len(value)


def _message(exc: BaseException) -> str:
    result = getattr(exc, "result", None)
    return str(result) if isinstance(result, str) else str(exc).split("\n", 1)[0]


def _tcl_list(interp: Any, items: List[str]) -> str:
    """The Tcl list of `items`."""
    return str(zelph(list(items)))


_readline_ready = False


def read_line(prompt: str) -> str:
    """A line of the process's standard input: through input() with readline
    editing and history on a terminal, else read from the stream as it comes."""
    global _readline_ready
    stdin = sys.stdin
    if stdin is not None and stdin.isatty():
        if not _readline_ready:
            _readline_ready = True
            try:
                import readline  # noqa: F401  (input() edits with it once loaded)
            except ImportError:
                pass
        # While Python waits for a line, _tkinter's input hook runs Tcl events
        # in a loop that never looks at signals: Ctrl-C would wait for the
        # next key. The prompt waits without it (as the console does).
        hook = _input_hook()
        saved = hook.value if hook is not None else None
        if hook is not None:
            hook.value = None
        try:
            return input(prompt)
        finally:
            if hook is not None:
                hook.value = saved
    sys.stdout.write(prompt)
    sys.stdout.flush()
    line = _read_raw_line()
    if not line:
        raise EOFError
    return line


def _input_hook() -> Any:
    """PyOS_InputHook as a ctypes variable, or None where it cannot be reached."""
    try:
        import ctypes

        return ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook")
    except Exception:
        return None


def _read_raw_line() -> str:
    """A line from descriptor 0 read a byte at a time (nothing beyond the line
    is taken from a pipe that another reader, Tcl's stdin, shares)."""
    data = bytearray()
    while not data.endswith(b"\n"):
        try:
            chunk = os.read(0, 1)
        except InterruptedError:
            continue
        if not chunk:
            break
        data += chunk
    return data.decode("utf-8", "replace")
