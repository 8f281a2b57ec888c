// Switch-subtype events (transfer, ascend, migrate), counted under a two-stage per-frame matcher of
// their own: stage 1 keeps each object's previous hypothesis while it still passes, stage 2 solves an
// optimal assignment among what is left. Independent of the CLEAR matcher.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/id_hash.hpp"
#include "core/match_record.hpp"
#include "core/sim_frames.hpp"
#include "core/types.hpp"

namespace vestrim::switch_events {

struct QuorvantixSwitchEvents {
    std::uint64_t num_transfer = 0;
    std::uint64_t num_ascend = 0;
    std::uint64_t num_migrate = 0;
};

class SwitchEventsAccumulator {
public:
    // Folds in one frame: n object (gt) ids, m hypothesis (pred) ids and the row-major n x m
    // similarity matrix. A pair passes when its similarity is >= threshold; NaN never passes, in
    // either stage. A frame with an empty side changes nothing. Throws InternalError only if the
    // solver fails (a +inf similarity at or above the threshold).
    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity,
                double threshold);

    const QuorvantixSwitchEvents& events() const { return events_; }

    // From now on every update rewrites `record` with the frame's events (nullptr stops).
    void set_record(match_record::SwitchEvents* record) { record_ = record; }

private:
    using IdMap = std::unordered_map<Id, Id, id_hash::KeyedHash>;
    using IdSet = std::unordered_set<Id, id_hash::KeyedHash>;
    IdMap hyp_for_object_;  // latest match of each object, either stage
    IdMap object_for_hyp_;  // latest stage-2 match of each hypothesis
    IdSet matched_objects_;
    IdSet matched_hyps_;
    QuorvantixSwitchEvents events_;
    // Per-frame working buffers, reused across frames.
    std::vector<unsigned char> object_matched_;
    std::vector<unsigned char> hyp_matched_;
    std::vector<std::size_t> free_objects_;
    std::vector<std::size_t> free_hyps_;
    memory::LargeVector<double> scores_;  // a frame's matrices (see memory.hpp)
    memory::LargeVector<unsigned char> allowed_;
    match_record::SwitchEvents* record_ = nullptr;
};

// Whole sequence from validated similarity frames.
QuorvantixSwitchEvents compute_quorvantix_switch_events(const SimFrames& frames, double threshold);

}  // namespace vestrim::switch_events
