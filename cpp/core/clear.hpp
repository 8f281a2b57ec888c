// CLEAR MOT: the continuity-biased per-frame matcher with its trajectory bookkeeping, and the
// finalisation of its running totals into MOTA, MOTP and the related counts and ratios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/flat_map.hpp"
#include "core/match_record.hpp"
#include "core/memory.hpp"
#include "core/sim_frames.hpp"
#include "core/sparse_sim.hpp"
#include "core/types.hpp"

namespace vestrim::accumulator {
struct StateCodec;  // saves and restores an accumulator's whole state (accumulator_state.cpp)
}

namespace vestrim::clear {

// The finished CLEAR MOT result. Inside ClearAccumulator the same record holds the running totals;
// only num_frames, num_gt, num_matches, num_false_positives, num_misses and num_switches change
// during accumulation, everything else stays at its initial value until `compute`.
struct ClearMetrics {
    std::vector<double> track_ratios;  // matched frames / present frames per gt id, descending
    double mota = 0.0;
    double motp = 0.0;
    std::uint64_t num_frames = 0;
    std::uint64_t num_gt = 0;
    std::uint64_t num_matches = 0;          // TP
    std::uint64_t num_false_positives = 0;  // FP
    std::uint64_t num_misses = 0;           // FN
    std::uint64_t num_switches = 0;         // IDSW
    std::uint64_t mt = 0;
    std::uint64_t pt = 0;
    std::uint64_t ml = 0;
    std::uint64_t frag = 0;
    double moda = 0.0;
    double smota = 0.0;
    double motal = 0.0;
    double clr_re = 0.0;
    double clr_pr = 0.0;
    std::uint64_t frag_present_only = 0;
};

// Per-trajectory bookkeeping, one record per gt id ever present. Records are created on first
// presence and never removed, so memory grows with the number of distinct gt ids only.
struct GtTrack {
    static constexpr std::uint64_t kNever = UINT64_MAX;

    std::uint32_t present_count = 0;  // occurrences (an id listed twice in a frame counts twice)
    std::uint32_t matched_count = 0;  // accepted matches, switches included
    std::uint32_t segment_count = 0;  // matched runs
    bool has_last_match = false;
    bool tracked = false;   // matched at least once
    bool gap_open = false;  // present without a match since the last match
    Id last_match = 0;      // pred id of the most recent accepted match (valid if has_last_match)
    // Indices (among solved frames, see TrackState::solved_frames) of the last two distinct solved
    // frames in which this id was matched; together they answer "matched in the previous solved
    // frame" even after the id has been matched in the current one.
    std::uint64_t last_matched_frame = kNever;
    std::uint64_t prior_matched_frame = kNever;
};

class TrackState {
public:
    // The record for `gt_id`, or nullptr if the id was never present.
    const GtTrack* find(Id gt_id) const;

    // Index of the record for `gt_id`, created empty if the id is new.
    std::uint32_t track_index(Id gt_id);

    GtTrack& track(std::uint32_t index) { return tracks_[index]; }
    std::span<const GtTrack> tracks() const { return tracks_; }

    // Present-only fragmentation step for one occurrence of a gt id: a present-but-unmatched frame
    // after the first match opens a gap, a later match closes it and counts one fragmentation.
    // Frames in which the id is absent neither open nor close a gap.
    void record_presence(GtTrack& track, bool matched);

    // Similarity sum of all accepted matches: match by match under the module's convention, frame
    // sums (each in row order) under the benchmarks'.
    double motp_sum = 0.0;
    std::uint64_t frag_present_only = 0;
    // Frames that reached the matching step (at least one gt and one pred), counting only those
    // completed; the "previously matched" set is the set matched in solved frame solved_frames - 1.
    std::uint64_t solved_frames = 0;

private:
    friend struct accumulator::StateCodec;

    FlatMap index_;  // gt id -> record index + 1
    std::vector<GtTrack> tracks_;
};

// How the two conventions match a frame (n gt, m pred, both non-empty):
//
// - Module: a pair is acceptable when its similarity is >= threshold; the pair repeating a gt id's
//   most recent match (in any earlier frame) gets a continuity bonus that dominates every
//   similarity; the assignment takes the most acceptable pairs, then the largest total score (the
//   forbidden pairs it must take never round the scores away); every assigned acceptable pair is
//   a match.
// - Benchmark: a pair scores its similarity, plus 1000 when the prediction is the one the gt id was
//   matched to in the last solved frame (the last earlier frame with both sides present), and 0 when
//   its similarity is below threshold - 2^-52; the assignment maximises the total score and an
//   assigned pair is a match when its score is above 2^-52.
//
// Both then count switches (a match whose gt id was last matched to another prediction, in any
// earlier frame), matched runs, MT/PT/ML and the present-only fragmentation the same way. They
// finalise differently: the module's MOTA is 1 - (FN + FP + IDSW) / num_gt, the benchmark's
// (TP - FP - IDSW) / max(1, TP + FN), and a benchmark sequence without any gt reports 0 for every
// ratio. A NaN similarity or a NaN threshold never yields a match under either.
class ClearAccumulator {
public:
    explicit ClearAccumulator(Convention convention = Convention::Module) : convention_(convention) {}

    // Folds in one frame: n gt ids, m pred ids and the row-major n x m similarity matrix (gt in rows,
    // higher is better). Throws InternalError only if the solver fails (a +inf similarity that
    // passes the threshold, or overflowing sums), before changing any state.
    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity,
                double threshold);

    // The same for frame k of a stored sequence: only its stored cells are read when a +0.0
    // similarity can neither match nor score (a threshold above zero), the whole frame otherwise.
    void update(const sparse_sim::SparseSimFrames& store, std::size_t k, double threshold);

    // Finalises into a new record; the accumulator is left unchanged and may keep accumulating.
    ClearMetrics compute() const;

    std::uint64_t num_frames() const { return totals_.num_frames; }
    double motp_sum() const { return state_.motp_sum; }

    // From now on every update rewrites `record` with the frame's accepted matches (nullptr stops).
    // The record is not part of the accumulator's state.
    void set_record(match_record::ClearMatches* record) { record_ = record; }

    // The per-trajectory bookkeeping so far.
    const TrackState& track_state() const { return state_; }

private:
    friend struct accumulator::StateCodec;

    // The frame's score matrix into scores_ (both sides present). The module rule also marks the
    // acceptable cells in allowed_ and tells whether some gt or prediction of the smaller side has
    // none (so that every assignment takes a forbidden pair); only when it has not are the forbidden
    // cells of scores_ written (the solver of the other case never reads them). A frame without any
    // acceptable cell matches nothing and gets neither matrix.
    // `Rows` is a frame_rows::DenseRows or StoredRows.
    enum class ModuleScores { Plain, Forced, NoneAcceptable };
    template <class Rows>
    ModuleScores fill_module_scores(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const Rows& similarity,
                                    double threshold);
    template <class Rows>
    void fill_benchmark_scores(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const Rows& similarity,
                               double threshold);
    template <class Rows>
    void update_rows(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const Rows& similarity,
                     double threshold);

    Convention convention_;
    ClearMetrics totals_;
    TrackState state_;
    // Working buffers reused across frames (a frame's matrices are large ones, see memory.hpp).
    memory::LargeVector<double> scores_;
    memory::LargeVector<unsigned char> allowed_;  // module rule: acceptable cells
    std::vector<unsigned char> column_allowed_;  // module rule: columns with an acceptable cell
    memory::LargeVector<std::size_t> accepted_;  // module rule: columns of the acceptable cells, row by row
    std::vector<std::size_t> row_accepted_end_;  // module rule: end of each row's run in accepted_
    std::vector<std::uint32_t> row_tracks_;
    std::vector<double> dense_;  // a stored frame laid out densely
    match_record::ClearMatches* record_ = nullptr;
};

// How a trajectory with the given matched / present ratio counts: mostly tracked above 0.8, mostly
// lost below 0.2, partially tracked otherwise.
enum class TrackClass : std::uint8_t { MostlyTracked, PartiallyTracked, MostlyLost };
TrackClass track_class(double ratio);

// The ratios of a CLEAR result from its counts (num_gt, TP, FP, FN, IDSW) and `motp_sum`, the
// summed IoU of its matches: MOTA, MOTP, MODA, sMOTA, MOTAL, recall and precision, written into
// `m`. The one finalisation of a sequence (ClearAccumulator::compute) and of sequences combined
// by summing their counts.
void finalise_ratios(ClearMetrics& m, double motp_sum, Convention convention);

// Whole sequence from boxes, IoU as the similarity. One frame's IoU matrix is alive at a time. The
// matches' summed similarity goes to `motp_sum` when given.
ClearMetrics compute_clear(std::span<const Frame> frames, double threshold,
                           Convention convention = Convention::Module, double* motp_sum = nullptr);

// Whole sequence from caller-supplied similarity matrices (see SimFrames); the matches' summed
// similarity goes to `motp_sum` when given.
ClearMetrics compute_clear_from_similarity(const SimFrames& frames, double threshold,
                                           Convention convention = Convention::Module,
                                           double* motp_sum = nullptr);

// The benchmark matching of one frame on its own (no history, so no continuity bonus), as the
// benchmarks use it to decide which predictions to remove: n x m row-major similarity, gt in rows.
// Writes to gt_of_pred[j] (m entries) the row matched to prediction j, or -1. `scores` is a working
// buffer. Throws InternalError only if the solver fails (a +inf similarity that passes).
void removal_matches(const double* similarity, std::size_t n, std::size_t m, double threshold,
                     memory::LargeVector<double>& scores, std::int64_t* gt_of_pred);

}  // namespace vestrim::clear
