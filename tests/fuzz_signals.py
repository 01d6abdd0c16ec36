"""Signal storms: Ctrl-C (SIGINT sent by a timer thread), a raising signal
handler (SIGALRM from setitimer) and a harmless one (SIGUSR1) fired at random
moments while the main thread calls every public way into Tcl: the package's
methods, tkinter's methods inherited by Interpreter, the raw application
object (i.tk.*), construction, close(), time limits.

Run as a script: ``python tests/fuzz_signals.py SEED [COUNT]`` performs COUNT
random calls, and prints "survived" when each ended in its own result or in
exactly the exception of the signal that hit it (from i.tk.*, whose C methods
cannot be wrapped: Tcl's error, then that exception right after), nothing was
left parked for a later call, and interrupts and limits kept working. A wrong
outcome prints a line starting with "WRONG" and exits with status 3.
``make fuzz`` runs it with new seeds (see scripts/fuzz).
"""

import os
import random
import signal
import sys
import threading
import time


class Alarm(Exception):
    pass


class Storm:
    """The signals of one call: armed before it, disarmed after it."""

    def __init__(self):
        self.cond = threading.Condition()
        self.due = None  # (when, generation) of the SIGINT to send
        self.generation = 0
        self.sent_int = False
        self.sent_at = None  # when the SIGINT was sent
        self.alarms = 0
        self.usr1 = 0
        signal.signal(signal.SIGALRM, self.on_alarm)
        signal.signal(signal.SIGUSR1, self.on_usr1)
        threading.Thread(target=self.sender, daemon=True).start()

    def on_alarm(self, signum, frame):
        self.alarms += 1
        raise Alarm()

    def on_usr1(self, signum, frame):
        self.usr1 += 1

    def sender(self):
        with self.cond:
            while True:
                if self.due is None:
                    self.cond.wait()
                    continue
                when, generation = self.due
                delay = when - time.monotonic()
                if delay > 0:
                    self.cond.wait(delay)
                    continue
                self.due = None
                if generation == self.generation:
                    self.sent_int = True
                    self.sent_at = time.monotonic()
                    os.kill(os.getpid(), signal.SIGINT)

    def arm(self, kind, delay):
        self.sent_int = False
        self.sent_at = None
        self.alarms = 0
        if kind == "alarm":
            signal.setitimer(signal.ITIMER_REAL, max(delay, 1e-6))
        elif kind == "usr1":
            threading.Timer(delay, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        elif kind == "int":
            with self.cond:
                self.due = (time.monotonic() + delay, self.generation)
                self.cond.notify()

    def disarm(self):
        """Nothing is sent once this returns; what was sent is raised by drain().
        Returns what signals raised meanwhile (they came after the call)."""
        caught = []
        while True:
            try:
                signal.setitimer(signal.ITIMER_REAL, 0)
                with self.cond:
                    self.generation += 1
                    self.due = None
                return caught
            except (Alarm, KeyboardInterrupt) as exc:
                caught.append(type(exc))

    def drain(self):
        """Lets a signal already sent run its handler here: what it raised."""
        caught = []
        for _ in range(4):
            try:
                time.sleep(0.004)
            except (Alarm, KeyboardInterrupt) as exc:
                caught.append(type(exc))
        return caught


def wrong(*what):
    print("WRONG", *(str(w)[:300] for w in what), flush=True)
    sys.exit(3)


def setup(storm):
    from korvex.tcl import Interpreter, TclError, TclTimeoutError

    interp = Interpreter()
    interp.eval("proc spin {} {while 1 {}}")
    interp.eval("set tv 0")
    interp.eval("trace add variable tv write {apply {args {for {set k 0} {$k < 3000} {incr k} {}}}}")
    interp.eval("trace add variable tv read {apply {args {for {set k 0} {$k < 3000} {incr k} {}}}}")
    interp.create_callback(lambda m: str(sum(range(int(m)))), cmd_name="pywork")
    # Waits inside extensions and blocking reads, which never end by themselves.
    interp.eval("package require Expect; log_user 0; spawn cat; set timeout -1")
    interp.eval("package require Thread; set worker [thread::create]")
    interp.eval("package require sqlite3; sqlite3 db :memory:")
    interp.eval("proc accept {s a p} {set ::server $s}; set listener [socket -server accept 0]")
    interp.eval("set client [socket 127.0.0.1 [lindex [fconfigure $listener -sockname] 2]]; vwait ::server")

    def loop(n):
        return "set x 0; for {set k 0} {$k < %d} {incr k} {incr x}; set x" % n

    def make_and_close():
        made = Interpreter()
        made.close()

    def scratch_close():
        scratch = Interpreter()
        scratch.create_callback(lambda: 1, cmd_name="cb")
        scratch.eval("trace add command cb delete {apply {args {for {set k 0} {$k < 20000} {incr k} {}}}}")
        try:
            scratch.close()
        finally:
            # Closed whatever interrupted it.
            try:
                scratch.eval("set a")
                wrong("close() interrupted left the interpreter open")
            except TclError as exc:
                if exc.args != ("this Interpreter is closed",):
                    wrong("closed interpreter said", repr(exc))

    def limited(script, seconds):
        def run():
            with interp.time_limit(seconds):
                return interp.eval(script)
        return run

    def tcl_update():
        # (Both through the package: a raw call's own outcome is judged apart.)
        interp.eval("after 0 {for {set k 0} {$k < 20000} {incr k} {}}")
        return interp.update()

    # (call, expected result or None for any, how it may end: "pkg", "raw", "limit")
    ops = []
    for n in (0, 100, 3000, 30000):
        ops += [(lambda n=n: interp.eval(loop(n)), str(n), "pkg"),
                (lambda n=n: interp.tk.eval(loop(n)), str(n), "raw"),
                (lambda n=n: interp.call("eval", loop(n)), str(n), "pkg")]
    ops += [
        (lambda: interp.eval("pywork 200000"), str(sum(range(200000))), "pkg"),
        (lambda: interp.eval("catch {pywork 100000}"), "0", "pkg"),
        (lambda: interp.after(random.randint(0, 6)), None, "pkg"),
        (tcl_update, None, "pkg"),
        (lambda: interp.setvar("tv", "s"), None, "pkg"),
        (lambda: interp.getvar("tv"), None, "pkg"),
        (lambda: interp.set_var("tv", "p"), None, "pkg"),
        (lambda: interp.get_var("tv"), None, "pkg"),
        (lambda: interp.vars["tv"], None, "pkg"),
        (lambda: interp.cast_int("0x10"), 16, "pkg"),
        (lambda: interp.yarl.set("q", "1"), "1", "pkg"),
        (lambda: interp.tk.call("set", "q", "w"), "w", "raw"),
        (lambda: interp.tk.getvar("tv"), None, "raw"),
        (lambda: interp.tk.setvar("tv", "r"), None, "raw"),
        (make_and_close, None, "pkg"),
        (scratch_close, None, "pkg"),
        (limited("spin", 0.004), None, "limit"),
        (limited("after 20", 0.004), None, "limit"),
        (limited(loop(1000), 30), "1000", "pkg"),
        (limited("expect never", 0.004), None, "limit"),
        (limited("thread::send $worker {while 1 {}}", 0.004), None, "limit"),
        (limited("db eval {WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c}",
                 0.004), None, "limit"),
        (limited("gets $client", 0.004), None, "limit"),
    ]

    def healthy():
        # Nothing parked: an unrelated call works, an unrelated failure is its own.
        if interp.eval("set a usable") != "usable":
            wrong("interpreter unusable")
        if interp.eval("thread::send $worker {set w 1}") != "1" or interp.eval("db eval {SELECT 2}") != "2":
            wrong("the worker or the database unusable")
        try:
            interp.eval("error boom")
            wrong("error boom succeeded")
        except TclError as exc:
            if type(exc) is not TclError or exc.result != "boom" or exc.__cause__ is not None:
                wrong("an unrelated failure came out as", repr(exc), repr(exc.__cause__))

    def limits_and_interrupts_work():
        t0 = time.monotonic()
        try:
            with interp.time_limit(0.05):
                interp.eval("spin")
            wrong("a time limit did not stop the work")
        except TclTimeoutError:
            pass
        storm.arm("alarm", 0.05)
        try:
            interp.eval("spin")
            wrong("an alarm did not stop the work")
        except Alarm:
            pass
        storm.disarm()
        storm.drain()
        if time.monotonic() - t0 > 5:
            wrong("limits or interrupts came late: %.1f s" % (time.monotonic() - t0))

    return ops, healthy, limits_and_interrupts_work


def judge(storm, kind, flow, expected, outcome, late, name=""):
    """What the call did, given what was sent."""
    from korvex.tcl import TclError, TclTimeoutError

    sent = {"int": storm.sent_int, "alarm": storm.alarms > 0}.get(kind, False)
    signal_type = {"int": KeyboardInterrupt, "alarm": Alarm}.get(kind)
    status, value = outcome
    if status == "ok":
        if expected is not None and str(value) != str(expected):
            wrong("returned", repr(value), "expected", repr(expected), "under", kind)
        if sent and signal_type not in late:
            wrong("the", kind, "signal was lost (the call succeeded, nothing came after):", name)
        return
    exc = value
    if type(exc) is signal_type and sent:
        return
    if flow == "limit" and type(exc) is TclTimeoutError:
        if sent and signal_type not in late:
            wrong("the", kind, "signal was lost behind a timeout")
        return
    if flow == "raw" and type(exc) is TclError and sent and signal_type in late:
        return  # _tkinter's own methods: Tcl's error, then the interrupt
    wrong("raised", repr(exc), "under", kind, "sent" if sent else "not sent", "late", late, "in", name)


def main(seed, count=400):
    random.seed(seed)
    storm = Storm()
    ops, healthy, limits_and_interrupts_work = setup(storm)
    for done in range(count):
        call, expected, flow = random.choice(ops)
        kind = random.choice(["int", "alarm", "alarm", "usr1", "none"])
        delay = random.uniform(0, 0.008)
        outcome = None
        late = []
        returned = None
        try:
            storm.arm(kind, delay)
            try:
                outcome = ("ok", call())
            except BaseException as exc:  # noqa: B036 - judged below
                outcome = ("exc", exc)
            returned = time.monotonic()
            late += storm.disarm()
        except (Alarm, KeyboardInterrupt) as exc:
            late.append(type(exc))
            late += storm.disarm()
        late += storm.drain()
        # A SIGINT sent well before the call returned was the call's: it must
        # not have waited for a later bytecode (an alarm's delivery time is
        # the kernel's, so only the SIGINT is timed; the margin allows for a
        # busy machine).
        if (KeyboardInterrupt in late and returned is not None and storm.sent_at is not None
                and storm.sent_at < returned - 0.05):
            wrong("a SIGINT sent during the call surfaced only after it returned")
        if outcome is None:
            continue  # the signal came between the call's return and here
        judge(storm, kind, flow, expected, outcome, late, "op %d" % ops.index((call, expected, flow)))
        healthy()
        if done % 25 == 0:
            limits_and_interrupts_work()
    limits_and_interrupts_work()
    print("survived")


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 400)
