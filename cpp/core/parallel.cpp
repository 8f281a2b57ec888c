#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/interrupt.hpp"

#ifdef __linux__
#include <sched.h>
#endif

namespace vestrim::parallel {
namespace {

// How often the waiting caller runs its poll: well inside the 100 ms an interrupt may take.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// A worker's poll reads the call's stop flag.
thread_local const std::atomic<bool>* worker_stop = nullptr;

bool stop_requested() { return worker_stop->load(std::memory_order_relaxed); }

}  // namespace

std::size_t usable_cores() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t threads_per_call(std::size_t usable_cores, std::size_t processes) {
    return std::max<std::size_t>(1, usable_cores / std::max<std::size_t>(1, processes));
}

void for_each_index(std::size_t threads, std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    threads = std::min(threads, n);
    if (threads <= 1) {
        for (std::size_t i = 0; i < n; ++i) body(i, 0);
        return;
    }

    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished_cv;
    std::size_t finished = 0;
    std::exception_ptr first_error;

    auto work = [&](std::size_t worker) {
        worker_stop = &stop;
        {
            const interrupt::Scope polling(&stop_requested);
            try {
                for (std::size_t i; !stop.load(std::memory_order_relaxed) &&
                                    (i = next.fetch_add(1, std::memory_order_relaxed)) < n;)
                    body(i, worker);
            } catch (...) {
                const std::lock_guard lock(mutex);
                if (!first_error && !stop.load()) first_error = std::current_exception();
                stop.store(true);
            }
        }
        worker_stop = nullptr;
        const std::lock_guard lock(mutex);
        ++finished;
        finished_cv.notify_one();
    };

    std::vector<std::thread> workers;
    workers.reserve(threads);
    try {
        for (std::size_t t = 0; t < threads; ++t) workers.emplace_back(work, t);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the ones running take every index.
    }
    if (workers.empty()) {
        for (std::size_t i = 0; i < n; ++i) body(i, 0);
        return;
    }

    bool interrupted = false;
    {
        std::unique_lock lock(mutex);
        while (!finished_cv.wait_for(lock, kPollInterval, [&] { return finished == workers.size(); })) {
            if (interrupted) continue;
            lock.unlock();
            try {
                interrupt::poll_now();
            } catch (const interrupt::Interrupted&) {
                interrupted = true;
            }
            lock.lock();
            if (interrupted) stop.store(true);
        }
    }
    for (std::thread& w : workers) w.join();
    if (interrupted) throw interrupt::Interrupted{};
    if (first_error) std::rethrow_exception(first_error);
}

void run_tasks(std::size_t threads, std::span<const std::function<void()>> tasks) {
    for_each_index(threads, tasks.size(), [&](std::size_t i, std::size_t) { tasks[i](); });
}

}  // namespace vestrim::parallel
