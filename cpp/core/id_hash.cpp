#include "core/id_hash.hpp"

#include <chrono>
#include <random>

namespace vestrim::id_hash {
namespace {

std::uint64_t draw_key() {
    try {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // No entropy source: a clock reading still differs from run to run, which a file's author
        // cannot predict closely enough to aim ids at.
        return mix(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    }
}

}  // namespace

std::uint64_t process_key() {
    static const std::uint64_t key = draw_key();
    return key;
}

}  // namespace vestrim::id_hash
