// Stopping long computations early. The core knows nothing about what asks it to stop: the caller
// installs a poll function for the duration of a call (`Scope`), and long loops count their work on
// a `Meter`, which calls the poll once per `kWorkPerPoll` units. When the poll reports a pending
// stop, the meter throws `Interrupted`, unwinding the computation; the caller has already recorded
// the reason (for the Python boundary: the exception its signal check raised).
//
// A unit of work is roughly one cheap inner-loop step (one matrix cell scanned, one pixel); a
// budget of 2^20 units makes a poll about every millisecond of the cheapest work and a few
// milliseconds of heavier work, while costing one subtraction per counted step on the fast path.
//
// Loops must count their work at points where throwing leaves their owner consistent: a streaming
// accumulator counts before it changes any state.
#pragma once

#include <cstdint>

namespace vestrim::interrupt {

// Returns true when the computation must stop.
using Poll = bool (*)();

// Thrown by a meter when the installed poll asks to stop. Deliberately not a std::exception, so
// that handlers for ordinary errors do not swallow it.
struct Interrupted {};

inline constexpr std::uint64_t kWorkPerPoll = std::uint64_t{1} << 20;

// Installs `poll` for the current thread until the scope ends (nested scopes restore the previous
// poll; nullptr disables polling, e.g. around code that runs without the interpreter lock).
class Scope {
public:
    explicit Scope(Poll poll);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Poll previous_;
};

// Calls the current thread's poll, if any; throws Interrupted when it asks to stop.
void poll_now();

// Counts work and polls once per kWorkPerPoll units. Cheap enough for a per-row or per-frame call.
class Meter {
public:
    void add(std::uint64_t work) {
        if (work < left_) {
            left_ -= work;
            return;
        }
        left_ = kWorkPerPoll;
        poll_now();
    }

private:
    std::uint64_t left_ = kWorkPerPoll;
};

}  // namespace vestrim::interrupt
