// Identity metrics (IDF1, IDP, IDR): one global one-to-one matching between whole ground-truth and
// whole predicted trajectories that minimises the detections on which the two disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/flat_map.hpp"
#include "core/interrupt.hpp"
#include "core/sim_frames.hpp"
#include "core/sparse_sim.hpp"
#include "core/types.hpp"

namespace vestrim::accumulator {
struct StateCodec;  // saves and restores an accumulator's whole state (accumulator_state.cpp)
}

namespace vestrim::identity {

struct IdentityMetrics {
    double idf1 = 0.0;
    double idp = 0.0;
    double idr = 0.0;
    std::uint64_t idtp = 0;
    std::uint64_t idfp = 0;
    std::uint64_t idfn = 0;
    std::uint64_t num_frames = 0;
    std::uint64_t num_gt = 0;    // ground-truth occurrences over all frames
    std::uint64_t num_pred = 0;  // predicted occurrences over all frames
};

// IDF1, IDP and IDR from m's idtp, idfp, idfn and num_gt: the one finalisation of a sequence and
// of sequences combined by summing their counts.
void finalise_ratios(IdentityMetrics& m);

// Id -> dense index + 1 (0 marks an empty slot), indices assigned 0, 1, 2, ... in order of first
// appearance.
using IdIndex = FlatMap;

// Dense index of `id`; a new id gets the next index and a zero entry appended to `counts`.
std::uint32_t intern(IdIndex& index, std::vector<std::uint64_t>& counts, Id id);

class IdentityAccumulator {
public:
    // Folds in one frame: n gt ids, m pred ids and the row-major n x m similarity matrix (read only
    // when both sides are non-empty). A pair counts when its similarity is >= threshold; NaN never
    // does. An id listed twice in a frame is counted twice. With a `meter`, a frame's pairs are
    // counted on it as they are folded in: an interrupt may then stop the fold part way, for a caller
    // that discards the accumulator when interrupted (the frame is otherwise folded in whole).
    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity,
                double threshold, interrupt::Meter* meter = nullptr);

    // Gets ready to fold in a frame whole or not at all, with Ctrl-C acting throughout (the
    // streaming accumulator's update). A frame with few pairs at or above the threshold gets room for
    // its ids and pairs, so that update() of it without a meter then neither allocates nor takes
    // long; nothing is returned. A frame with more pairs is folded into a copy, returned to take this
    // accumulator's place. Either way the work is counted on `meter`, and an interruption or running
    // out of memory leaves this accumulator as it was.
    std::optional<IdentityAccumulator> prepare_update(std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                                                      const double* similarity, double threshold,
                                                      interrupt::Meter& meter);

    // The same for frame k of a stored sequence: only its stored cells are read when a +0.0
    // similarity does not count (a threshold above zero), the whole frame otherwise.
    void update(const sparse_sim::SparseSimFrames& store, std::size_t k, double threshold,
                interrupt::Meter* meter = nullptr);

    // The metrics of everything folded in so far. Leaves the accumulator unchanged.
    IdentityMetrics compute() const;

    // The same counts from the full (G+P) x (G+P) FN/FP cost matrices, solved by the assignment
    // solver. compute() gives identical results without building them; this form is kept as the
    // reference it is checked against.
    IdentityMetrics compute_dense() const;

    std::uint64_t num_frames() const { return num_frames_; }

    // The global matching behind compute(), trajectory by trajectory. Ids are listed in order of
    // first appearance with their occurrence counts; partner_of_gt[g] is the index (into pred_ids)
    // of the prediction matched to gt id g, or -1, and partner_count[g] the occurrences the pair
    // shares (its IDTP; 0 without a partner).
    struct Matching {
        std::vector<Id> gt_ids;
        std::vector<Id> pred_ids;
        std::vector<std::uint64_t> gt_counts;
        std::vector<std::uint64_t> pred_counts;
        std::vector<std::int64_t> partner_of_gt;
        std::vector<std::uint64_t> partner_count;
    };
    Matching matching() const;

private:
    friend struct accumulator::StateCodec;

    // A frame with at most this many pairs at or above the threshold is folded in place by
    // prepare_update's caller: inserting them takes a few tens of milliseconds at most.
    static constexpr std::size_t kInPlacePairs = std::size_t{1} << 18;

    // Interns the frame's ids (frame_gt_, frame_pred_) and counts them.
    void add_frame_ids(std::span<const Id> gt_ids, std::span<const Id> pred_ids);
    template <class Rows>
    void count_pairs(std::size_t rows, const Rows& similarity, double threshold, interrupt::Meter* meter);

    static std::uint64_t pair_key(std::uint32_t gt, std::uint32_t pred) {
        return (std::uint64_t{gt} << 32) | pred;
    }

    // The record for the given identity false negatives and false positives.
    IdentityMetrics finish(std::uint64_t idfn, std::uint64_t idfp) const;

    // Largest total of pair counts over one-to-one (gt id, pred id) matchings; fills `partner_of_gt`
    // and `partner_count` (see Matching) when given.
    std::uint64_t best_matching_total(std::vector<std::int64_t>* partner_of_gt = nullptr,
                                      std::vector<std::uint64_t>* partner_count = nullptr) const;

    std::vector<std::uint64_t> gt_counts_;
    std::vector<std::uint64_t> pred_counts_;
    IdIndex gt_index_;
    IdIndex pred_index_;
    // (gt index, pred index) -> occurrence pairs in a common frame at or above the threshold.
    FlatMap pair_counts_;
    std::uint64_t num_frames_ = 0;
    // Dense indices of the current frame's ids; reused across frames.
    std::vector<std::uint32_t> frame_gt_;
    std::vector<std::uint32_t> frame_pred_;
    std::vector<double> dense_;  // a stored frame laid out densely
};

// Whole sequence from boxes, IoU as the similarity. One frame's IoU matrix is alive at a time.
IdentityMetrics compute_identity(std::span<const Frame> frames, double threshold);

// Whole sequence from validated similarity frames. Cannot fail.
IdentityMetrics compute_identity_from_similarity(const SimFrames& frames, double threshold);

}  // namespace vestrim::identity
