// Tcl's and Python's standard output and error in the order written.
//
// Tcl's stdout and stderr channels and Python's sys.stdout and sys.stderr
// buffer separately: to a pipe or a file, Python's lines written before a Tcl
// `puts` reached the file after it. A thin transform stacked on Tcl's stdout
// and stderr channels of the thread flushes Python's two streams whenever
// Tcl's output is about to reach the file (Tcl's stdout is line-buffered, its
// stderr unbuffered, so that is at each line); what Tcl keeps back (a line
// without its end, a channel made fully buffered) is flushed when a package
// call returns to Python and before a Python command runs.
#pragma once

namespace kx {
namespace stdio {

// Stacks the transform on the calling thread's Tcl stdout and stderr, unless
// it is there already. With the GIL held, from the thread of a new
// interpreter, before any script of it runs.
void attach();

// Flushes what Tcl's stdout and stderr hold back, when the transform is the
// top of their channel (then only C code runs; it takes the GIL itself to
// flush Python's streams first). Cheap when there is nothing to flush: a
// look at two buffers.
void flush_tcl();

}  // namespace stdio
}  // namespace kx
