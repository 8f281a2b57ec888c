// The columns benchmark tables print beside CLEAR's own: F1, false positives per frame, the summed
// overlap of the matches, the frames counted, and the shares of mostly tracked, partially tracked
// and mostly lost trajectories. One finaliser serves a sequence and a combination of sequences.
#pragma once

#include <cstdint>

namespace vestrim::clear {

struct ClearExtra {
    double clr_f1 = 0.0;        // TP / max(1, TP + FN / 2 + FP / 2)
    double fp_per_frame = 0.0;  // FP / max(1, clr_frames)
    double motp_sum = 0.0;      // summed similarity of the matches
    std::uint64_t clr_frames = 0;
    double mtr = 0.0;  // MT / max(1, MT + PT + ML), likewise PTR and MLR
    double ptr = 0.0;
    double mlr = 0.0;
};

struct ClearExtraCounts {
    std::uint64_t tp = 0;
    std::uint64_t fn = 0;
    std::uint64_t fp = 0;
    std::uint64_t mt = 0;
    std::uint64_t pt = 0;
    std::uint64_t ml = 0;
    std::uint64_t frames = 0;
    double motp_sum = 0.0;
    // A sequence with nothing on one side: the benchmarks stop before counting frames or matches and
    // report every ratio 0 except MLR, which is 1 (every trajectory, if any, is lost).
    bool empty = false;
};

ClearExtra finalise_clear_extra(const ClearExtraCounts& counts);

}  // namespace vestrim::clear
