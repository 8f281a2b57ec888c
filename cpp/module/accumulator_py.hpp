// The `Accumulator` object's layout and its access guards, shared with the package's native module
// (which saves and restores an accumulator's whole state for pickling).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/accumulator.hpp"
#include "module/boxes.hpp"

namespace vestrim::py {

struct AccumulatorObject {
    accumulator::Accumulator state;
    BoxFormat box_format = BoxFormat::Xyxy;
    // 0 = free, -1 = held by an update, n > 0 = held by n readers. Re-entrant calls (from an
    // element's __float__ during conversion) or truly parallel threads fail instead of corrupting state.
    std::atomic<std::int64_t> access{0};
};

// Exclusive access for the lifetime of the guard, if it could be taken.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(std::atomic<std::int64_t>& counter) : counter_(counter) {
        std::int64_t expected = 0;
        held_ = counter_.compare_exchange_strong(expected, -1);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveAccess() {
        if (held_) counter_.store(0);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    explicit operator bool() const { return held_; }

private:
    std::atomic<std::int64_t>& counter_;
    bool held_ = false;
};

// Shared (read) access for the lifetime of the guard, if no update holds the instance.
class SharedAccess {
public:
    explicit SharedAccess(std::atomic<std::int64_t>& counter) : counter_(counter) {
        std::int64_t current = counter_.load();
        while (current != -1) {
            if (counter_.compare_exchange_weak(current, current + 1)) {
                held_ = true;
                return;
            }
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedAccess() {
        if (held_) counter_.fetch_sub(1);
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    explicit operator bool() const { return held_; }

private:
    std::atomic<std::int64_t>& counter_;
    bool held_ = false;
};

}  // namespace vestrim::py
