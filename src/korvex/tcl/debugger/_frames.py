"""Tcl's frames for the debugger: those of a live evaluation, and those kept
when an error was raised, with each frame's variables as they were then."""

from __future__ import annotations

import re
TYPE_CHECKING = False
if TYPE_CHECKING:  # (typing costs a console start a few milliseconds)
    from typing import Any, Dict, List, Optional, Sequence, Tuple

# ::tcl::KorvexDebugFrames VALUES SKIP RAISED DROP: the frames of the levels 0 .. the
# caller's level minus SKIP, outermost first, each a list
#   {level label path line cmd vars}
# label: the procedure (::acme::log), the method ("::Order close"), "apply"
# for a lambda, "namespace eval ::ns", "" at level 0; path and line: where
# the command running in that level is, as `info frame` tells ({} 0 when it
# is not in a file); vars (with VALUES) {name kind value ...}, kind "scalar",
# "array" (value: array get) or "unset"; within: for a command run from a
# string (no file of its own), its line in that string, and line is where
# the command holding the string is. The command running in the
# innermost level of a raised error has no frame of its own: its line is
# given negated, where the body of its procedure starts (the line in the
# body is errorInfo's, read once the error has unwound). DROP: how many of
# the innermost `info frame` entries are the debugger's own.
#
# ::tcl::KorvexDebugRaised is a write trace on ::errorInfo: at the first step
# of each error it keeps the errorInfo and the frames with their values in
# ::tcl::KorvexDebug(raised) (the last few errors).
SCRIPT = r"""
proc ::tcl::KorvexDebugFrames {values skip {raised 0} {drop 0}} {
    set top [expr {[info level] - $skip}]
    set here [info level]
    set at {}
    set n [expr {[info frame] - $drop}]
    set moved {}
    for {set j 1} {$j < $n} {incr j} {
        set f [info frame $j]
        if {[dict exists $f level]} {
            set k [expr {$here - [dict get $f level]}]
        } elseif {!$raised && $j == $n - 1} {
            # A script run through uplevel (tcltest's test body) gives no
            # level: the command running there is the innermost level's.
            set k $top
            set moved $k
        } else {
            continue
        }
        if {$k < 0 || $k > $top} continue
        # A command evaluated from a string (one whose compiled form a new
        # trace discarded) has no file: the command holding it tells where.
        if {![dict exists $f file] && [dict exists $at $k] && [dict exists [dict get $at $k] file]} {
            dict set f within [expr {[dict exists $f line] ? [dict get $f line] : 0}]
            dict set f file [dict get $at $k file]
            dict set f line [dict get $at $k line]
        }
        dict set at $k $f
    }
    set frames {}
    for {set k 0} {$k <= $top} {incr k} {
        set label {}
        set path {}
        set line 0
        set cmd {}
        if {$k > 0} {
            set call [info level $k]
            set cmd $call
        }
        set code {}
        set within 0
        if {[dict exists $at $k]} {
            set f [dict get $at $k]
            if {[dict exists $f method] && [dict exists $f class]} {
                set label "[dict get $f class] [dict get $f method]"
                set code [list method [dict get $f class] [dict get $f method]]
            } elseif {[dict exists $f proc]} {
                set label [dict get $f proc]
                set code [list proc [dict get $f proc]]
            } elseif {[dict exists $f lambda]} {
                set label apply
            }
            if {$raised && $k == $top} {
                if {[::tcl::KorvexDebugKnown $code]
                        && ![catch {::tcl::unsupported::getbytecode {*}$code} bc]
                        && [dict exists $bc sourcefile]} {
                    set path [dict get $bc sourcefile]
                    set line -[dict get $bc initiallinenumber]
                }
            } elseif {[dict exists $f file]} {
                set path [dict get $f file]
                set line [dict get $f line]
                if {[dict exists $f within]} {set within [dict get $f within]}
            }
            if {!$raised || $k != $top} {set cmd [dict get $f cmd]}
        }
        if {$moved ne {} && $k == $moved} {
            set label [expr {$k ? [lindex $call 0] : {}}]
        }
        if {$label eq {} && $k > 0 && [lindex $call 0] eq "namespace"} {
            set label "namespace eval [uplevel #$k [list namespace current]]"
        }
        set vars {}
        if {$values && $k > 0} {
            foreach name [uplevel #$k [list info vars]] {
                upvar #$k $name v
                if {[array exists v]} {
                    lappend vars $name array [array get v]
                } elseif {[info exists v]} {
                    lappend vars $name scalar $v
                } else {
                    lappend vars $name unset {}
                }
            }
        }
        lappend frames [list $k $label $path $line $cmd $vars $within]
    }
    return $frames
}
# (No command here may fail, nor run a script through uplevel: either resets
# the line that errorInfo is about to give for the error being raised.)
proc ::tcl::KorvexDebugKnown {code} {
    lassign $code kind a b
    if {$kind eq "proc"} {return [llength [info procs $a]]}
    if {$kind ne "method" || ![info object isa class $a]} {return 0}
    expr {$b in [info class methods $a -all -private]}
}
proc ::tcl::KorvexDebugHere {{depth 2}} {
    set n [info frame]
    set at [expr {$n - $depth}]
    set f [info frame $at]
    # A command of a file's top level that Tcl evaluates from its text after
    # a command substitution shows as a string evaluated: the frame around
    # it, at the same level, has its file and line. (Frames by number from
    # the outermost: a body run while nothing is compiled inline is a frame
    # more.)
    if {![dict exists $f file] && [dict exists $f level] && $at > 1} {
        set g [info frame [expr {$at - 1}]]
    } else {
        set g {}
    }
    if {[dict exists $g file] && [dict exists $g level] && [dict get $g level] == [dict get $f level]} {
        dict set f file [dict get $g file]
        dict set f line [dict get $g line]
    }
    set level [expr {[info level] - 1}]
    foreach key {file line proc method class} {
        set $key [expr {[dict exists $f $key] ? [dict get $f $key] : {}}]
    }
    list $level $file [expr {$line eq {} ? 0 : $line}] $proc $method $class
}
proc ::tcl::KorvexDebugRaised {args} {
    set info $::errorInfo
    if {[string first "\n    invoked from within\n" $info] >= 0} return
    if {[catch {::tcl::KorvexDebugFrames 1 2 1} frames]} return
    upvar #0 ::tcl::KorvexDebug(raised) kept
    lappend kept [list $info $frames]
    if {[llength $kept] > 8} {set kept [lrange $kept end-7 end]}
}
"""

_PROC_LINE = re.compile(r'\n    \((?:procedure "[^\n]*"|[^\n]* method "[^\n]*"|lambda term "[^\n]*") line (\d+)\)')


class Frame:
    """One level of a Tcl evaluation. `values` holds the variables as kept
    when an error was raised ({name: str, or {key: str} for an array}, None
    for a variable that exists but has no value), or is None for a live frame."""

    __slots__ = ("level", "label", "path", "line", "command", "values")

    def __init__(self, level: int, label: str, path: str, line: int, command: str,
                 values: Optional[Dict[str, Any]]) -> None:
        self.level = level
        self.label = label
        self.path = path
        self.line = line
        self.command = command
        self.values = values

    def where(self) -> str:
        """As the pytest plugin's Tcl traceback names a frame: ``path:line: in ::proc``."""
        label = self.label or ("(file)" if self.path else "(global)")
        if self.path:
            return "%s:%d: in %s" % (self.path, self.line, label)
        return "in %s (not defined from a file)" % label if self.level else "at global level"


def _values(split: Any, words: Sequence[str]) -> Dict[str, Any]:
    values: Dict[str, Any] = {}
    for i in range(0, len(words) - 2, 3):
        name, kind, value = words[i], words[i + 1], words[i + 2]
        if kind == "array":
            items = split(value)
            values[name] = {str(items[j]): str(items[j + 1]) for j in range(0, len(items) - 1, 2)}
        elif kind == "scalar":
            values[name] = str(value)
        else:
            values[name] = None
    return values


def parse(split: Any, text: Any, kept: bool, errorinfo: str = "", first: str = "") -> List[Frame]:
    """The frames of ::tcl::KorvexDebugFrames's result (with their values when
    `kept`); `errorinfo`, the error's full text, gives the line of a raised
    error's innermost frame (`first` is what the trace saw of it)."""
    frames = []
    for item in split(text):
        level, label, path, line, command, values, within = split(item)
        number = int(line)
        if number < 0:
            found = _PROC_LINE.search(errorinfo, len(first)) if errorinfo.startswith(first) else None
            number = -number + int(found.group(1)) - 1 if found else -number
        elif int(within) > 0 and path:
            number = _line_within(str(path), number, int(within), str(command))
        frames.append(Frame(int(level), str(label), str(path), number, str(command),
                            _values(split, split(values)) if kept else None))
    return frames


def _line_within(path: str, line: int, within: int, command: str) -> int:
    """The line in the file of a command run from a string that the command
    at `line` holds (a tcltest body, say): `within` lines into it when the
    string starts on that line and the file has the command there, else
    the first line from there on that has it, else `line`."""
    head = command.strip().split("\n", 1)[0].strip()
    if not head:
        return line
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().split("\n")
    except OSError:
        return line
    guess = line + within - 1
    if within and 0 < guess <= len(lines) and head in lines[guess - 1]:
        return guess
    for n in range(line, min(line + 1000, len(lines) + 1)):
        if head in lines[n - 1]:
            return n
    return line


def splitter(tk: Any) -> Any:
    """tk.splitlist giving str items (not Tcl_Obj)."""
    def split(value: Any) -> List[str]:
        return [item if isinstance(item, str) else str(item) for item in tk.splitlist(value)]
    return split


def kept_for(interp: Any, errorinfo: str) -> Optional[Tuple[str, List[Frame]]]:
    """What the interpreter kept of the error whose errorInfo is `errorinfo`:
    (errorInfo as first seen, frames with their values), the latest that
    matches; None when nothing was kept for it."""
    tk = interp.tk
    split = splitter(tk)
    try:
        if not int(tk.call("info", "exists", "::tcl::KorvexDebug(raised)")):
            return None
        kept = split(tk.eval("set ::tcl::KorvexDebug(raised)"))
    except Exception:  # closed, another thread's
        return None
    for record in reversed(kept):
        first, frames = split(record)
        if errorinfo.startswith(first) or (first.startswith(errorinfo) and errorinfo):
            found = parse(split, frames, True, errorinfo, first)
            failing = re.search(r'\n    while executing\n"((?:[^\n]|\n(?!    \())*)"', first)
            if found and failing:  # the command that failed, as errorInfo quotes it
                found[-1].command = failing.group(1)
            return first, found
    return None


def live(interp: Any, skip: int = 1, drop: int = 1) -> List[Frame]:
    """The frames of the evaluation running in `interp` (called from a
    Python command of it): levels 0 to the command's caller's; `drop`: how
    many innermost frames are the debugger's (3 from a step trace). (Through
    tk.eval, which runs where Tcl is: tk.call runs at the global level.)"""
    tk = interp.tk
    return parse(splitter(tk), tk.eval("::tcl::KorvexDebugFrames 0 %d 0 %d" % (skip, drop)), False)
