// An accumulator's whole state as bytes, and back: what pickling needs so that a restored
// accumulator continues exactly where the original was.
#pragma once

#include <string>
#include <string_view>

#include "core/accumulator.hpp"
#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim::accumulator {

// Everything folded in so far: the threshold, CLEAR's convention, running totals and per-trajectory bookkeeping,
// Identity's id and pair counts, in a versioned little-endian layout (working buffers are not state).
// Equal states give equal bytes.
memory::LargeVector<char> save_state(const Accumulator& acc);

// The accumulator `bytes` describe, after checking that they are one complete and consistent state
// as `save_state` writes it, of an accumulator under CLEAR's `convention`; otherwise a message
// naming the first problem. Whatever the bytes, the result is an accumulator that can keep
// accumulating safely, or an error.
Result<Accumulator> load_state(std::string_view bytes, Convention convention);

}  // namespace vestrim::accumulator
