"""Checked by mypy --strict and pyright's strict mode (tests/test_typing.py),
never run: the stubs give precise types where users rely on them."""

# pyright: strict

from typing import Any

import korvex.tcl
from korvex.tcl import Array, Interpreter, Mardeck, TclError, TclTimeoutError
from korvex.tcl.history import Entry
from korvex.tcl.namespace import TclCommand, TclNamespace


def typed(interp: Interpreter) -> None:
    text: str = interp.eval("set a 1")
    text = interp.eval("set a 1", record=False)
    value: Any = interp.eval("set a 1", typecast=True)
    number: int = interp.cast_int(text)
    ratio: float = korvex.tcl.cast_double("0.5")
    flag: bool = korvex.tcl.get_boolean("::tcl_interactive")
    words: tuple[str, ...] = korvex.tcl.cast_list("a b", str)
    array: Array = interp.get_array("::env")
    keyed: Mardeck = korvex.tcl.cast_keyed_list("{a 1}")
    entries: list[Entry] = interp.history.filter(count=3)
    cmd: TclCommand = interp.create_callback(print)
    result: Any = cmd("x")
    ns: TclNamespace = interp.global_ns
    names: list[str] = TclNamespace.split("::a::b")
    vars_text: str = ns.vars["::a"]
    del text, value, number, ratio, flag, words, array, keyed, entries, result, names, vars_text


def failure_details(interp: Interpreter) -> tuple[str, tuple[str, ...], str, int | None]:
    try:
        interp.eval("error boom")
    except TclTimeoutError as late:
        return late.result, late.errorcode, late.errorinfo, late.errorline
    except TclError as exc:
        code: tuple[str, ...] = exc.errorcode
        line: int | None = exc.errorline
        return exc.result, code, exc.errorinfo, line
    return "", (), "", None


def history_texts(interp: Interpreter) -> list[str]:
    count: int = len(interp.history)
    texts = [entry.api for entry in interp.history]
    newest: Entry = next(iter(interp.history))
    return texts[:count] + [newest.api]
