// Running one call's work on several threads.
//
// The rules, for every user of this header:
// - A call uses a fixed number of threads, `threads_per_call(usable_cores(), processes)`: the cores
//   this process may run on, shared evenly among the worker processes scoring at the same time.
// - Every thread is started and joined inside the call: no thread outlives it, so a process may
//   fork between calls.
// - Interrupts are honoured: the calling thread does none of the work. It waits and runs its own
//   interrupt poll (the one its `interrupt::Scope` installed, e.g. the Python boundary's signal
//   check) every few milliseconds; when that asks to stop, it raises a stop flag that the workers'
//   meters read at their next poll (they throw `interrupt::Interrupted`), joins them and throws
//   `interrupt::Interrupted` itself. A body is stoppable only if it counts its work on an
//   `interrupt::Meter` (or calls `interrupt::poll_now`).
// - With one thread, or at most one item, everything runs inline on the calling thread, which then
//   polls as usual from inside the body: the single-thread fallback.
// - A body's exception ends the call: the workers stop at their next poll, and the first exception
//   thrown is rethrown once all are joined.
//
//   const std::size_t threads = parallel::threads_per_call(parallel::usable_cores(), processes);
//   std::vector<Scratch> scratch(threads);
//   parallel::for_each_index(threads, frames.size(), [&](std::size_t k, std::size_t worker) {
//       solve(frames[k], scratch[worker]);
//   });
//   parallel::run_tasks(threads, {[&] { clear(); }, [&] { hota(); }});
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>

namespace vestrim::parallel {

// The number of cores this process may run on (its CPU affinity), at least 1.
std::size_t usable_cores();

// max(1, usable_cores / processes): the threads one call may use while `processes` worker
// processes (at least 1) score at the same time.
std::size_t threads_per_call(std::size_t usable_cores, std::size_t processes);

// Calls body(i, worker) once for every i in [0, n), on up to `threads` threads, in no particular
// order (each thread takes the next index not yet taken). `worker` (< threads) numbers the thread
// running the body, for scratch space of its own; inline it is 0.
void for_each_index(std::size_t threads, std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Runs every task once, on up to `threads` threads; the tasks are started in the given order.
void run_tasks(std::size_t threads, std::span<const std::function<void()>> tasks);
inline void run_tasks(std::size_t threads, std::initializer_list<std::function<void()>> tasks) {
    run_tasks(threads, std::span<const std::function<void()>>(tasks.begin(), tasks.size()));
}

}  // namespace vestrim::parallel
