// How many threads one call of this module uses. The package's process pools tell each worker how
// many workers share the machine (VESTRIM_WORKER_PROCESSES); a user may fix the count instead
// (VESTRIM_THREADS, e.g. 1 to keep every call on its own thread).
#pragma once

#include <cstddef>

namespace vestrim::native {

// VESTRIM_THREADS when it is a positive integer (at most 64); otherwise max(1, usable cores / worker processes)
// with VESTRIM_WORKER_PROCESSES (a positive integer, else 1) processes.
std::size_t call_threads();

}  // namespace vestrim::native
