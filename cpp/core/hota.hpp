// HOTA over a whole sequence: a first pass that scores how strongly every (gt trajectory, predicted
// trajectory) pair overlaps, then a per-frame optimal matching weighted by that global alignment,
// counted at 19 localisation thresholds.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/sparse_sim.hpp"
#include "core/sim_frames.hpp"
#include "core/types.hpp"

namespace vestrim::hota {

inline constexpr std::size_t kNumAlphas = 19;

// The localisation thresholds: alpha k is the double product k * 0.05 (k = 1..19), so that
// 0.15000000000000002 and 0.30000000000000004 appear exactly as that product rounds.
std::array<double, kNumAlphas> alpha_grid();

// The benchmarks' thresholds: 0.05 + k * 0.05 in double arithmetic (k = 0..18); four of them differ
// from alpha_grid() in the last bit.
std::array<double, kNumAlphas> benchmark_alpha_grid();

// The thresholds of a convention: the module passes a pair at alpha when similarity >= alpha - 1e-9
// over alpha_grid(), the benchmarks when similarity >= alpha - 2^-52 over benchmark_alpha_grid().
std::array<double, kNumAlphas> alphas(Convention convention);

// The mean over the alphas of a per-alpha curve, as every summary score is computed: the sum in
// grid order, correctly rounded, divided by the number of values. Infinities and an overflowing
// sum give what the plain sum gives (a signed infinity; NaN for a NaN value or infinities of both
// signs).
double mean_over_alphas(std::span<const double> values);

// Every vector holds kNumAlphas entries, parallel to `alphas`.
struct HotaMetrics {
    std::vector<double> alphas;
    std::vector<double> hota_alphas;
    std::vector<double> deta_alphas;
    std::vector<double> assa_alphas;
    std::vector<double> loca_alphas;
    std::vector<double> hota_tp_alphas;
    std::vector<double> hota_fn_alphas;
    std::vector<double> hota_fp_alphas;
    std::vector<double> ass_re_alphas;
    std::vector<double> ass_pr_alphas;
    double hota = 0.0;
    double deta = 0.0;
    double assa = 0.0;
    double loca = 0.0;
    std::size_t num_frames = 0;
    std::size_t num_gt = 0;
    std::size_t num_pred = 0;
};

// Each gt id's part of the association score, gt ids in order of first appearance: entry
// g * kNumAlphas + a of `association` sums matches x association IoU over g's true-positive pairs at
// alpha a (AssA(a) is the sum of all of them over the true positives), `true_positives` counts them.
struct GtAssociation {
    std::vector<Id> gt_ids;
    std::vector<double> association;
    std::vector<double> true_positives;
};

// What every ratio of a HOTA result follows from, per alpha: TP, FN and FP, and the sums over the
// TP matches of their association scores (AssA, AssRe, AssPr) and of their similarity (LocA).
// Combining sequences adds these up (the association sums as each sequence's ratio times its TP).
struct AlphaSums {
    std::span<const double> tp, fn, fp, assa, ass_re, ass_pr, loca;
};

// Writes into `m` the per-alpha ratios (DetA, AssA, AssRe, AssPr, LocA, HOTA) and their means
// from `sums` (every span kNumAlphas long). The one finalisation of a sequence and of a
// combination. `plain_means` averages with the plain left-to-right sum instead of
// mean_over_alphas: how sequences combined under the module's convention have always been
// averaged.
void finalise(HotaMetrics& m, const AlphaSums& sums, bool plain_means = false);

// Box frames: each frame's similarity is the IoU matrix of its gt boxes (rows) against its
// predicted boxes (columns). Throws InternalError("finite score matrix: ...") if the solver refuses
// a frame's score matrix.
// The convention chooses the alphas and their threshold test (see `alphas`).
HotaMetrics compute_hota(std::span<const Frame> frames, Convention convention = Convention::Module);

// Similarity frames (see SimFrames). Same failure as above. The per-frame
// matchings of the second pass run on up to `threads` threads (see parallel.hpp); the result does
// not depend on their number.
HotaMetrics compute_hota_from_similarity(const SimFrames& frames,
                                         Convention convention = Convention::Module, std::size_t threads = 1);

// Similarity frames held without their zero entries; each frame is laid out densely again (into a
// reused buffer) when a pass needs it whole, so the result equals that of the dense frames. Same
// failure, same threads.
HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames,
                                     Convention convention = Convention::Module, std::size_t threads = 1);

// The same in its two stages, for a caller that runs other work next to the first: `align` (the
// ids, the first pass and the global alignment; one thread), then `match` (the per-frame matchings
// on up to `threads` threads, and the summary). The frames must outlive this object.
class TwoPass {
public:
    TwoPass(const SimFrames& frames, Convention convention);
    TwoPass(const sparse_sim::SparseSimFrames& frames, Convention convention);
    ~TwoPass();
    TwoPass(const TwoPass&) = delete;
    TwoPass& operator=(const TwoPass&) = delete;

    void align();
    HotaMetrics match(std::size_t threads);

    // For a caller that shares out the second pass itself, instead of `match`: any number of
    // threads call `solve_frames`, each solving frames not yet taken (waiting first, and polling,
    // until `align` has finished on its thread); once all have returned, `finish` folds the frames
    // in order and summarises.
    void solve_frames();
    HotaMetrics finish();

    struct Impl {
        virtual ~Impl() = default;
        virtual void align() = 0;
        virtual HotaMetrics match(std::size_t threads) = 0;
        virtual void solve_frames() = 0;
        virtual HotaMetrics finish() = 0;
    };

private:
    std::unique_ptr<Impl> impl_;
};

// The same two computations, also filling `per_gt`.
HotaMetrics compute_hota_from_similarity(const SimFrames& frames, Convention convention,
                                         GtAssociation& per_gt);
HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames, Convention convention,
                                     GtAssociation& per_gt);

}  // namespace vestrim::hota
