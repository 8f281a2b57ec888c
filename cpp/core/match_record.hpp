// What the per-frame matchers decided in one frame, for callers that want to see it rather than only
// the totals. A matcher handed a record (set_record) rewrites it on every update; a matcher without
// one pays a single null test per accepted match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vestrim::match_record {

// An accepted CLEAR match: gt row i, pred column j of the frame, and whether it counted a switch
// (the gt id was last matched to another prediction).
struct ClearMatch {
    std::size_t row;
    std::size_t col;
    bool switched;
};

// The switch-subtype events.
enum class SwitchKind : std::uint8_t { Transfer, Ascend, Migrate };

struct SwitchEvent {
    SwitchKind kind;
    std::size_t row;
    std::size_t col;
};

// The CLEAR matches of the last frame, in the order the matcher accepted them (ascending gt row).
using ClearMatches = std::vector<ClearMatch>;

// The switch events of the last frame, in the order they were counted.
using SwitchEvents = std::vector<SwitchEvent>;

}  // namespace vestrim::match_record
