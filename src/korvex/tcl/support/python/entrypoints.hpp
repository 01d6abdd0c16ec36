// Entry points of a group, found with importlib.metadata.entry_points.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

// The entry points of `group`, in the order importlib.metadata finds them.
// importlib.metadata costs more to import than all the rest of the package,
// so it is imported only when a look at the installed metadata on sys.path
// finds a distribution that may declare the group, or when the search could
// reach metadata this look cannot see (zip files, eggs, other finders).
nb::object entry_points(nb::handle group);

}  // namespace kx
