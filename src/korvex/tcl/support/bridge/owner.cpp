#include "support/bridge/owner.hpp"

#include <atomic>
#include <mutex>

namespace kx {
namespace owner {

struct Thread {
    std::mutex mu;
    tcl::ThreadId tcl_thread = nullptr;
    bool alive = true;
    bool event_queued = false;  // a wake-up event waits in the thread's queue
    std::vector<void *> items;
    std::atomic<size_t> count{0};  // items.size(), read without the lock
};

namespace {

std::atomic<void (*)()> g_on_event{nullptr};

// The calling thread's record; its destructor runs when the thread ends.
struct Holder {
    Ref ref;
    ~Holder() {
        if (!ref)
            return;
        std::lock_guard<std::mutex> lock(ref->mu);
        ref->alive = false;
    }
};

thread_local Holder t_holder;

int wake(tcl::Event *, int) {
    Thread *t = t_holder.ref.get();
    if (!t)
        return 1;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        t->event_queued = false;
    }
    if (void (*run)() = g_on_event.load(std::memory_order_acquire))
        run();
    return 1;
}

}  // namespace

Ref current() {
    if (!t_holder.ref) {
        t_holder.ref = std::make_shared<Thread>();
        t_holder.ref->tcl_thread = tcl::api().GetCurrentThread();
    }
    return t_holder.ref;
}

bool is_current(const Ref &t) { return t && t.get() == t_holder.ref.get(); }

bool hand_over(const Ref &t, void *item) {
    if (!t)
        return false;
    std::lock_guard<std::mutex> lock(t->mu);
    // (A thread that has ended never gets an event: its Tcl thread id may
    // belong to a new thread by now.)
    if (!t->alive)
        return false;
    t->items.push_back(item);
    t->count.store(t->items.size(), std::memory_order_release);
    if (!t->event_queued) {
        const tcl::Api &api = tcl::api();
        tcl::Event *ev = reinterpret_cast<tcl::Event *>(api.Alloc(sizeof(tcl::Event)));
        ev->proc = wake;
        ev->nextPtr = nullptr;
        api.ThreadQueueEvent(t->tcl_thread, ev, tcl::kQueueTail);
        api.ThreadAlert(t->tcl_thread);
        t->event_queued = true;
    }
    return true;
}

bool waiting() {
    Thread *t = t_holder.ref.get();
    return t && t->count.load(std::memory_order_acquire) > 0;
}

std::vector<void *> take() {
    std::vector<void *> out;
    Thread *t = t_holder.ref.get();
    if (!t)
        return out;
    std::lock_guard<std::mutex> lock(t->mu);
    out.swap(t->items);
    t->count.store(0, std::memory_order_release);
    return out;
}

void give_back(const std::vector<void *> &items) {
    if (items.empty())
        return;
    Thread *t = current().get();
    std::lock_guard<std::mutex> lock(t->mu);
    t->items.insert(t->items.end(), items.begin(), items.end());
    t->count.store(t->items.size(), std::memory_order_release);
}

void on_event(void (*run)()) { g_on_event.store(run, std::memory_order_release); }

}  // namespace owner
}  // namespace kx
