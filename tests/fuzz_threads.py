"""Threads and failures at once: several threads, each with interpreters of
its own, whose callbacks fail in every way, under time limits, closing and
remaking their interpreters and dropping them in each other's threads.

Run as a script: ``python tests/fuzz_threads.py SEED [COUNT]`` performs COUNT
random operations (spread over 2 to 4 threads) drawn from a generator seeded
with SEED, and prints "survived" when every operation ended as it must and
every interpreter stayed usable. A wrong outcome prints a line starting with
"WRONG" and exits with status 3. ``make fuzz`` runs it with new seeds (see
scripts/fuzz); the tests run it with fixed seeds.
"""

import queue
import random
import sys
import threading
import time


class Failure(Exception):
    pass


class Fatal(BaseException):
    """Not an Exception: Tcl may not handle it, the caller gets it."""


class BadStr:
    def __str__(self):
        raise Failure("no text")


def wrong(*what):
    print("WRONG", *(str(w)[:300] for w in what), flush=True)
    sys.exit(3)


def exits_with(exc_type, call, check_cause=None):
    """call() must raise exactly `exc_type` (with a cause of `check_cause`)."""
    try:
        call()
    except BaseException as exc:  # noqa: B036 - judged here
        if type(exc) is not exc_type:
            wrong("expected", exc_type.__name__, "got", repr(exc))
        if check_cause is not None and not isinstance(exc.__cause__, check_cause):
            wrong("expected the cause", check_cause.__name__, "got", repr(exc.__cause__))
        return exc
    wrong("expected", exc_type.__name__, "got success")


class Worker:
    def __init__(self, rnd, mailbox, peers):
        from korvex.tcl import Interpreter
        self.Interpreter = Interpreter
        self.rnd = rnd
        self.mailbox = mailbox  # interpreters of other threads, to drop here
        self.peers = peers
        self.made = 0
        self.interp = self.fresh()

    def fresh(self):
        interp = self.Interpreter()
        interp.eval("proc spin {} {while 1 {}}")
        return interp

    # --- failing callbacks ----------------------------------------------------

    def callback(self, func):
        self.made += 1
        name = "cb%d" % self.made
        self.interp.create_callback(func, cmd_name=name)
        return name

    def op_exception(self):
        text = self.rnd.choice(["plain", "sur\udc80rogate", "nul\x00", "\U0001f600", ""])
        exc_type = self.rnd.choice([Failure, ValueError, KeyError, ZeroDivisionError])

        def fail(*args):
            raise exc_type(text)
        name = self.callback(fail)
        from korvex.tcl import TclError
        exits_with(TclError, lambda: self.interp.eval(name), exc_type)
        if self.interp.eval("catch %s msg" % name) != "1":
            wrong("catch did not catch")

    def op_base_exception(self):
        exc_type = self.rnd.choice([KeyboardInterrupt, SystemExit, Fatal])
        name = self.callback(lambda: (_ for _ in ()).throw(exc_type("out")))
        # Not even catch stops it.
        exits_with(exc_type, lambda: self.interp.eval("catch %s; set reached 1" % name))

    def op_self_deleting(self):
        exc_type = self.rnd.choice([KeyboardInterrupt, Failure])
        how = self.rnd.choice(["rename {name} {{}}", "rename {name} {name}x"])
        holder = {}

        def selfish():
            self.interp.eval(how.format(name=holder["name"]))
            raise exc_type("gone")
        holder["name"] = name = self.callback(selfish)
        from korvex.tcl import TclError
        if exc_type is Failure:
            exits_with(TclError, lambda: self.interp.eval(name), Failure)
        else:
            exits_with(exc_type, lambda: self.interp.eval(name))
        self.interp.eval("catch {rename %sx {}}" % name)

    def op_bad_result(self):
        name = self.callback(lambda: BadStr())
        from korvex.tcl import TclError
        exits_with(TclError, lambda: self.interp.eval(name), Failure)

    def op_recursion(self):
        holder = {}

        def again(depth):
            depth = int(depth)
            return depth if depth == 0 else self.interp.eval("%s %d" % (holder["name"], depth - 1))
        holder["name"] = name = self.callback(again)
        depth = self.rnd.choice([5, 40, 100000])
        try:
            result = self.interp.eval("%s %d" % (name, depth))
        except RecursionError:
            return
        except Exception as exc:
            from korvex.tcl import TclError
            # Tcl's nesting limit, or Python's depth ran out while the
            # failure was being described (then Tcl gets its bare name).
            result = getattr(exc, "result", "")
            if type(exc) is not TclError or not ("nest" in result or result.startswith("RecursionError")):
                wrong("deep recursion gave", repr(exc))
            return
        if result != "0":
            wrong("recursion gave", repr(result))

    # --- limits ----------------------------------------------------------------

    def op_limit_in_tcl(self):
        from korvex.tcl import TclTimeoutError
        script = self.rnd.choice(["spin", "while 1 {}", "catch spin; spin", "after 2000",
                                  "interp create k; k eval {while 1 {}}"])

        def limited():
            with self.interp.time_limit(self.rnd.uniform(0.001, 0.03)):
                self.interp.eval(script)
        exits_with(TclTimeoutError, limited)
        self.interp.eval("catch {interp delete k}")

    def op_limit_in_callback(self):
        from korvex.tcl import TclTimeoutError
        name = self.callback(lambda: time.sleep(0.03))

        def limited():
            with self.interp.time_limit(0.01):
                self.interp.eval("%s; set a 1" % name)
        exits_with(TclTimeoutError, limited)

    def op_limit_not_reached(self):
        with self.interp.time_limit(30):
            if self.interp.eval("set x 0; for {set i 0} {$i < 100} {incr i} {incr x}; set x") != "100":
                wrong("limited work gave a wrong result")

    # --- closing, handing over ------------------------------------------------------

    def op_close(self):
        from korvex.tcl import TclError
        self.callback(lambda: 1)
        self.interp.close()
        exc = exits_with(TclError, lambda: self.interp.eval("set a"))
        if exc.args != ("this Interpreter is closed",):
            wrong("closed interpreter said", repr(exc))
        self.interp = self.fresh()

    def op_give_away(self):
        # Dropped (or closed) in another thread: handed back to this one.
        peer = self.rnd.choice(self.peers)
        peer.put(self.interp)
        self.interp = self.fresh()

    def op_drop_mail(self):
        while True:
            try:
                interp = self.mailbox.get_nowait()
            except queue.Empty:
                return
            if self.rnd.random() < 0.5:
                interp.close()
            del interp

    def op_values(self):
        value = self.rnd.choice(["x", "a b", "{", "\udc80", "\x00", str(self.rnd.random())])
        self.interp.set_var("v", value)
        if self.interp.get_var("v") != value:
            wrong("read back", repr(self.interp.get_var("v")), "for", repr(value))

    OPS = ["op_exception", "op_base_exception", "op_self_deleting", "op_bad_result", "op_recursion",
           "op_limit_in_tcl", "op_limit_in_callback", "op_limit_not_reached", "op_close", "op_give_away",
           "op_drop_mail", "op_values", "op_values"]

    def run(self, count):
        for _ in range(count):
            getattr(self, self.rnd.choice(self.OPS))()
            # Nothing left over: the interpreter works, and a failure is its own.
            if self.interp.eval("set a usable") != "usable":
                wrong("interpreter unusable")
            from korvex.tcl import TclError
            exc = exits_with(TclError, lambda: self.interp.eval("error boom"))
            if exc.result != "boom" or exc.__cause__ is not None:
                wrong("a later failure came out as", repr(exc), repr(exc.__cause__))
        self.op_drop_mail()
        self.interp.close()


def main(seed, count=300):
    rnd = random.Random(seed)
    nthreads = rnd.randint(2, 4)
    mailboxes = [queue.Queue() for _ in range(nthreads)]
    start = threading.Barrier(nthreads)
    done = []
    crashed = []

    def work(k):
        try:
            worker = Worker(random.Random(rnd.random()), mailboxes[k], mailboxes)
            start.wait()
            worker.run(count // nthreads)
            done.append(k)
        except SystemExit:
            crashed.append(k)
            raise
        except BaseException as exc:  # noqa: B036 - reported
            print("WRONG thread %d raised %r" % (k, exc), flush=True)
            crashed.append(k)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if crashed or len(done) != nthreads:
        sys.exit(3)
    print("survived")


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 300)
