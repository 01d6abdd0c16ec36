#include "support/bridge/watcher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace kx {
namespace watcher {
namespace {

using Clock = std::chrono::steady_clock;

struct Watched {
    tcl::AsyncHandler async;
    void (*mark)(tcl::AsyncHandler);
    bool has_deadline;
    Clock::time_point deadline;
    bool on_signals;
    void (*breaker)(void *, bool) = nullptr;  // see set_breaker
    void *breaker_data = nullptr;
};

struct Watcher {
    std::mutex mu;
    std::vector<Watched> watched;
    bool started = false;
    int wake[2] = {-1, -1};     // a byte wakes the thread (something changed)
    int signals[2] = {-1, -1};  // Python's wakeup file descriptor writes here
    bool sees_signals = false;
    unsigned long main_thread = 0;  // Python's main thread, once seen
};

// Never destroyed: the thread may still be waiting when the process exits.
Watcher &the_watcher() {
    static Watcher *const w = new Watcher;
    return *w;
}

// Empties the pipe; whether a SIGINT was among the signals written to it.
bool drain(int fd) {
    char buf[64];
    bool interrupt = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        interrupt = interrupt || std::memchr(buf, SIGINT, (size_t)n) != nullptr;
    return interrupt;
}

void poke(Watcher &w) {
    char c = 0;
    if (w.wake[1] >= 0)
        (void)!write(w.wake[1], &c, 1);
}

void run(Watcher *w) {
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(w->mu);
            Clock::time_point now = Clock::now();
            for (const Watched &x : w->watched) {
                if (!x.has_deadline)
                    continue;
                long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(x.deadline - now).count();
                long wait = ms > 0 ? ms + 1 : kRemarkMicros / 1000;
                if (timeout < 0 || wait < timeout)
                    timeout = (int)std::min<long>(wait, 1L << 30);
            }
        }
        int signals_fd;
        {
            std::lock_guard<std::mutex> lock(w->mu);
            signals_fd = w->sees_signals ? w->signals[0] : -1;
        }
        pollfd fds[2] = {{w->wake[0], POLLIN, 0}, {signals_fd, POLLIN, 0}};
        int n = poll(fds, signals_fd >= 0 ? 2 : 1, timeout);
        bool signalled = false, interrupted = false;
        if (n > 0) {
            if (fds[0].revents)
                drain(w->wake[0]);
            if (signals_fd >= 0 && fds[1].revents) {
                interrupted = drain(signals_fd);
                signalled = true;
            }
        }
        std::lock_guard<std::mutex> lock(w->mu);
        Clock::time_point now = Clock::now();
        // Marking under the lock: remove() cannot return while a handler it
        // removes is being marked.
        for (const Watched &x : w->watched) {
            bool passed = x.has_deadline && x.deadline <= now;
            if ((signalled && x.on_signals) || passed)
                x.mark(x.async);
            if (x.breaker && (passed || interrupted))
                x.breaker(x.breaker_data, passed);
        }
    }
}

// A non-blocking pipe, close-on-exec; false when none can be made.
bool make_pipe(int fds[2]) {
    if (pipe(fds) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
        fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    }
    return true;
}

}  // namespace

void add(tcl::AsyncHandler async, void (*mark)(tcl::AsyncHandler), bool on_signals) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    w.watched.push_back({async, mark, false, {}, on_signals, nullptr, nullptr});
    if (!w.started && (w.wake[0] >= 0 || make_pipe(w.wake))) {
        std::thread(run, &w).detach();
        w.started = true;
    }
    poke(w);
}

void remove(tcl::AsyncHandler async) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    w.watched.erase(std::remove_if(w.watched.begin(), w.watched.end(),
                                   [async](const Watched &x) { return x.async == async; }),
                    w.watched.end());
}

void set_breaker(tcl::AsyncHandler async, void (*breaker)(void *, bool), void *data) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    for (Watched &x : w.watched)
        if (x.async == async) {
            x.breaker = breaker;
            x.breaker_data = data;
        }
}

void set_deadline(tcl::AsyncHandler async, double seconds) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    for (Watched &x : w.watched) {
        if (x.async != async)
            continue;
        x.has_deadline = seconds >= 0;
        if (x.has_deadline) {
            double capped = std::min(seconds, 1e9);
            x.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(capped));
        }
    }
    poke(w);
}

int signal_pipe() {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.signals[1] < 0 && !make_pipe(w.signals))
        return -1;
    return w.signals[1];
}

void signals_seen(bool seen) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    w.sees_signals = seen;
    if (w.wake[0] < 0)
        make_pipe(w.wake);
    poke(w);
}

unsigned long main_thread() {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.main_thread;
}

bool sees_signals() {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.sees_signals;
}

void watch_signals() {
    int fd = signal_pipe();
    if (fd < 0)
        return;
    // _signal's own (what signal publishes): signal itself builds its enums,
    // which would cost every import of the package.
    nb::object set_wakeup_fd = import_attr("_signal", "set_wakeup_fd");
    nb::object kwargs = nb::dict();
    PyDict_SetItemString(kwargs.ptr(), "warn_on_full_buffer", Py_False);
    nb::object args = nb::make_tuple(nb::int_(fd));
    PyObject *old = PyObject_Call(set_wakeup_fd.ptr(), args.ptr(), kwargs.ptr());
    if (!old) {  // not the main thread, say
        PyErr_Clear();
        return;
    }
    {
        // Only Python's main thread may set the wakeup file descriptor.
        std::lock_guard<std::mutex> lock(the_watcher().mu);
        the_watcher().main_thread = PyThread_get_thread_ident();
    }
    nb::object previous = nb::steal(old);
    if (PyLong_AsLong(old) != -1) {
        // Somebody's already: given back.
        nb::object back = nb::make_tuple(previous);
        PyObject *r = PyObject_Call(set_wakeup_fd.ptr(), back.ptr(), nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
        return;
    }
    signals_seen(true);
}

}  // namespace watcher
}  // namespace kx
