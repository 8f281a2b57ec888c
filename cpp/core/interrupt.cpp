#include "core/interrupt.hpp"

namespace vestrim::interrupt {
namespace {

thread_local Poll current_poll = nullptr;

}  // namespace

Scope::Scope(Poll poll) : previous_(current_poll) { current_poll = poll; }

Scope::~Scope() { current_poll = previous_; }

void poll_now() {
    const Poll poll = current_poll;
    if (poll != nullptr && poll()) throw Interrupted{};
}

}  // namespace vestrim::interrupt
