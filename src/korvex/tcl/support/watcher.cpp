#include "support/watcher.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kx {
namespace watcher {
namespace {

struct Watcher {
    std::mutex mu;
    std::condition_variable wake;
    std::vector<std::pair<tcl::AsyncHandler, void (*)(tcl::AsyncHandler)>> handlers;
    bool started = false;
};

// Never destroyed: the thread may still be waiting when the process exits.
Watcher &the_watcher() {
    static Watcher *const w = new Watcher;
    return *w;
}

void run(Watcher *w) {
    std::unique_lock<std::mutex> lock(w->mu);
    for (;;) {
        if (w->handlers.empty()) {
            w->wake.wait(lock);
            continue;
        }
        w->wake.wait_for(lock, std::chrono::microseconds(kWatchMicros));
        // Marking under the lock: remove() cannot return while a handler
        // it removes is being marked.
        for (auto &h : w->handlers)
            h.second(h.first);
    }
}

}  // namespace

void add(tcl::AsyncHandler async, void (*mark)(tcl::AsyncHandler)) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    w.handlers.emplace_back(async, mark);
    if (!w.started) {
        std::thread(run, &w).detach();
        w.started = true;
    }
    w.wake.notify_one();
}

void remove(tcl::AsyncHandler async) {
    Watcher &w = the_watcher();
    std::lock_guard<std::mutex> lock(w.mu);
    w.handlers.erase(std::remove_if(w.handlers.begin(), w.handlers.end(),
                                    [async](const auto &h) { return h.first == async; }),
                     w.handlers.end());
}

}  // namespace watcher
}  // namespace kx
