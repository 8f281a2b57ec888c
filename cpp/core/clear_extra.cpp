#include "core/clear_extra.hpp"

#include <algorithm>

namespace vestrim::clear {

ClearExtra finalise_clear_extra(const ClearExtraCounts& c) {
    ClearExtra r;
    if (c.empty) {
        r.mlr = 1.0;
        return r;
    }
    const double tp = static_cast<double>(c.tp);
    const double fn = static_cast<double>(c.fn);
    const double fp = static_cast<double>(c.fp);
    r.clr_f1 = tp / std::max(1.0, (tp + 0.5 * fn) + 0.5 * fp);
    r.clr_frames = c.frames;
    r.fp_per_frame = fp / std::max(1.0, static_cast<double>(c.frames));
    r.motp_sum = c.motp_sum;
    const double tracks = std::max(1.0, static_cast<double>(c.mt + c.pt + c.ml));
    r.mtr = static_cast<double>(c.mt) / tracks;
    r.ptr = static_cast<double>(c.pt) / tracks;
    r.mlr = static_cast<double>(c.ml) / tracks;
    return r;
}

}  // namespace vestrim::clear
