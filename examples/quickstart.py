"""A first run of korvex.tcl: evaluate Tcl, look at the history, catch an error."""

from korvex.tcl import Interpreter, TclError

interp = Interpreter()  # a Tcl interpreter with TclX loaded, no Tk window

# Evaluate Tcl: results come back as text.
interp.eval("set greeting {hello from Tcl}")
print("greeting       ->", interp.eval("set greeting"))
print("string length  ->", interp.eval("string length $greeting"))

# TclX is there: keyed lists, among others.
interp.eval("keylset person name.first Jo name.last Doe")
print("keyed list     ->", interp.eval("set person"))

# Every script is recorded; a marker collects just the part you care about.
interp.history.start_marker("setup")
interp.eval("proc double {x} { expr {$x * 2} }")
interp.eval("set answer [double 21]")
interp.history.end_marker("setup")
print("answer         ->", interp.eval("set answer"))
print("\nhistory of the 'setup' marker:")
for entry in interp.history.filter("setup"):
    print("  ", entry)

# Tcl errors raise TclError carrying Tcl's own stack trace (errorInfo).
try:
    interp.eval("double")
except TclError as exc:
    print("\ncaught TclError:")
    print("  " + str(exc).replace("\n", "\n  "))

# The package has a shared interpreter too, with the same methods.
import korvex.tcl

print("\nshared interpreter: expr 6*7 ->", korvex.tcl.eval("expr {6*7}"))
