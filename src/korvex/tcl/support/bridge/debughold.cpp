#include "support/bridge/debughold.hpp"

#include "support/bridge/bridgestate.hpp"
#include "support/bridge/watcher.hpp"

#include <algorithm>

namespace kx {
namespace bridge {

void shift_deadlines(nb::handle tk, double seconds) {
    State *s = state_of_tk(tk);
    if (!s || s->deadlines.empty())
        return;
    for (Deadline &d : s->deadlines)
        d.at = tcl::plus(d.at, seconds);
    if (!s->async)
        return;
    // (as the bridge tells the watcher of a new deadline)
    tcl::Time t = tcl::now();
    double earliest = 1e300;
    for (const Deadline &d : s->deadlines)
        earliest = std::min(earliest, (double)(d.at.sec - t.sec) + (double)(d.at.usec - t.usec) / 1e6);
    watcher::set_deadline(s->async, std::max(earliest, 0.0));
}

}  // namespace bridge
}  // namespace kx
