"""Random hostile values thrown at every path that hands values to Tcl.

Run as a script: ``python tests/hostile.py SEED [COUNT]`` performs COUNT random
operations (1500 by default) with values drawn from a generator seeded with
SEED, in this process, and prints "survived" when none crashed it. A value
may make an operation raise (that is fine); it must never crash the process
or corrupt what Tcl holds: a text written and read back must come back whole
(a mismatch prints "MISMATCH" and exits with status 3).

The tests run it with fixed seeds; ``make fuzz`` runs it with new seeds for a
while (see scripts/fuzz).
"""

import enum
import random
import sys


# --- values -----------------------------------------------------------------

class Boom(Exception):
    pass


def boom(*args):
    raise Boom("hostile")


class BadStr:
    __str__ = __repr__ = boom


class BadInt(int):
    __str__ = __repr__ = __index__ = __float__ = boom


class BadFloat(float):
    __str__ = __repr__ = __index__ = __float__ = boom


class BadStrSub(str):
    __str__ = __repr__ = __iter__ = __len__ = boom


class BadBytes(bytes):
    __str__ = __repr__ = __iter__ = __len__ = boom


class BadComplex(complex):
    __str__ = __repr__ = boom


class BadIntEnum(enum.IntEnum):
    A = 5
    __str__ = __repr__ = __format__ = boom


class BadTuple(tuple):
    """Its storage holds one thing, its methods tell another."""

    def __iter__(self):
        return iter(("lies",))

    def __getitem__(self, i):
        return "lies"

    def __len__(self):
        return 1

    __str__ = __repr__ = boom


class BadList(list):
    def __iter__(self):
        return iter(("lies",))

    def __getitem__(self, i):
        return "lies"

    def __len__(self):
        return 7

    __str__ = __repr__ = boom


class BadDict(dict):
    __str__ = __repr__ = boom

    def __iter__(self):
        return iter([["k"], 5])

    def keys(self):
        return [["k"], 5]

    def items(self):
        return [("a",), 5, ("b", "c", "d")]


class BadSet(set):
    __str__ = __repr__ = __iter__ = boom


class BadFrozenSet(frozenset):
    def __iter__(self):
        return iter([BadStr()])


class ShiftingMapping:
    """A mapping whose methods return the wrong shapes."""

    def __init__(self, shape):
        self.shape = shape

    def keys(self):
        return self.shape

    def __iter__(self):
        return iter(self.shape) if hasattr(self.shape, "__iter__") else self.shape

    def __getitem__(self, key):
        return self.shape

    def __len__(self):
        return 3


class Hook:
    def __init__(self, value):
        self.value = value

    def __tclobj__(self):
        return self.value


class ZelphHook:
    def __init__(self, value):
        self.value = value

    def __zelph__(self):
        return self.value


class FailingHook:
    def __tclobj__(self):
        raise Boom("hook")

    def __zelph__(self):
        raise Boom("hook")


class Mutator:
    """Changes the list it sits in while it is converted."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.clear()
        self.target.extend([BadStr()] * 3)
        return "m"

    def __zelph__(self):
        self.target.clear()
        return "z"


SCALARS = ["ok", "a b", "{", "}", "", "\\", "a\x00b", "\x00", "\xe9\x00\u20ac", "\U0001f600\x00",
           "\ud800", "a\udc80b", "\udfff", b"\xff\x00", 1, -7, 2 ** 70, 2.5, float("nan"),
           float("inf"), True, None]


def hostile_scalar():
    r = random.random()
    if r < 0.4:
        return random.choice(SCALARS)
    return random.choice([
        BadStr, lambda: BadInt(5), lambda: BadFloat(1.5), lambda: BadStrSub("s\x00t"),
        lambda: BadBytes(b"b\x00"), lambda: BadComplex(1, 2), lambda: BadIntEnum.A,
        lambda: BadTuple(("a", BadStr(), BadInt(3))), lambda: BadList(["x", BadInt(1), BadStr()]),
        lambda: BadDict({"a": BadStr()}), lambda: BadSet({1, 2}), lambda: BadFrozenSet({1}),
        lambda: ShiftingMapping(random.choice([[("a",)], 5, [["a", "b"]], [5], "ab"])),
        FailingHook, bad_mardeck,
    ])()


def bad_mardeck():
    from korvex.tcl.mardeck import Mardeck

    shape = random.choice([[["a", "1"]], [("a",)], [5], 5, [("a", "1", "2")], None, [("a.b", BadStr())]])

    class M(Mardeck):
        def all_items(self):
            return shape

        def items(self):
            return shape

    m = M()
    dict.__setitem__(m, "k", "v")
    return m


def gen(depth=0):
    r = random.random()
    if depth > 3 or r < 0.3:
        return hostile_scalar()
    if r < 0.45:
        return [gen(depth + 1) for _ in range(random.randint(0, 3))]
    if r < 0.55:
        return tuple(gen(depth + 1) for _ in range(random.randint(0, 3)))
    if r < 0.62:
        return {str(i): gen(depth + 1) for i in range(random.randint(0, 2))}
    if r < 0.66:
        target = [gen(depth + 1)]
        target.append(Mutator(target))
        return target
    if r < 0.7:
        loop = [gen(depth + 1)]
        loop.append(loop)
        return loop
    return Hook(gen(depth + 1)) if r < 0.85 else ZelphHook(gen(depth + 1))


# --- operations ---------------------------------------------------------------

def setup():
    from korvex.tcl import Interpreter, tclobj, zelph
    from korvex.tcl.internal import GetListFromAny
    from korvex.tcl.mardeck import Mardeck
    from korvex.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

    interp = Interpreter()
    interp.eval("proc echo args {return $args}")
    interp.eval("array set arr {a 1}")
    interp.history.disable()
    cmd = TclCommand("echo", tcl=interp)
    ns = TclNamespace("::", tcl=interp)
    var = TclVariable("tv", tcl=interp)
    arr = TclArrayVariable("arr3", tcl=interp)

    def callback(v):
        interp.create_callback(lambda *a: v, cmd_name="cb", force=True)
        return interp.eval("cb")

    def mardeck_update(v):
        m = Mardeck({"a": {"b": "1"}})
        m.update(v)
        m.update(key=v)
        return interp.set_keyed_list("k", m)

    wide = interp.eval("string length \U0001f600") == "1"  # Tcl 9 counts code points

    def tcl_length(text):
        return len(text) if wide else len(text.encode("utf-16-le")) // 2

    def round_trip(v):
        """A text written through one path reads back whole through another."""
        if not isinstance(v, str) or any(0xD800 <= ord(c) <= 0xDFFF for c in v):
            return
        writers = [("rt", lambda: interp.set_var("rt", v)), ("rt", lambda: interp.vars.__setitem__("rt", v)),
                   ("rt", lambda: interp.yarl.set("rt", v)), ("rt", lambda: TclCommand("set", ("rt",), tcl=interp)(v)),
                   ("tv", lambda: var.set(v)), ("rt", lambda: interp.set_list("rt", [v]))]
        name, write = random.choice(writers)
        write()
        expected = v
        if write is writers[-1][1]:
            got = [interp.get_list(name)[0], interp.tk.call("lindex", interp.tk.getvar(name), 0)]
            length = interp.eval("string length [lindex $%s 0]" % name)
        else:
            got = [interp.get_var(name), interp.vars[name], interp.tk.getvar(name)]
            length = interp.eval("string length $%s" % name)
        if any(g != expected for g in got) or int(length) != tcl_length(v):
            print("MISMATCH", repr(v), [repr(g) for g in got], length)
            sys.exit(3)

    return [
        lambda v: interp.tk.call("set", "z", tclobj(v)), lambda v: interp.set_var("x", v),
        lambda v: interp.set_list("x", v), lambda v: interp.set_array("arr2", v),
        lambda v: interp.set_keyed_list("k", v), lambda v: interp.vars.set("arr", v, array_index="b"),
        lambda v: cmd(v, opt=v), lambda v: interp.yarl.echo(v, cast_=False), lambda v: zelph(v),
        lambda v: interp.yarl.echo(v, v, k=v), callback, lambda v: TclCommand("echo", v, tcl=interp)(),
        lambda v: interp.cast_any(v), lambda v: interp.cast_boolean(v), lambda v: interp.cast_int(v),
        lambda v: interp.cast_list(v), lambda v: interp.cast_keyed_list(v), lambda v: GetListFromAny(v, interp),
        lambda v: Mardeck(v), mardeck_update, lambda v: ns.call("echo", v), lambda v: var.set(v),
        lambda v: arr.__setitem__("i", v), lambda v: interp.objs.__setitem__("o", v),
        lambda v: interp.set_boolean("b", v), lambda v: interp.history.append(v), round_trip,
        lambda v: round_trip(random.choice(["a\x00b", "\x00", "\xe9\x00", "x\x00\U0001f600", "plain"])),
    ]


def main(seed, count=1500):
    random.seed(seed)
    ops = setup()
    for _ in range(count):
        value = gen()
        op = random.choice(ops)
        try:
            op(value)
        except SystemExit:
            raise
        except BaseException as exc:  # noqa: B036 - anything raised is fine, only a crash is not
            if isinstance(exc, KeyboardInterrupt):
                raise
    print("survived")


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 1500)
