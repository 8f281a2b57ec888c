// The confidence sweep of 3D tracking benchmarks: one class's frames are matched once without a
// score threshold to find which scores reach which recall, the scores at fixed recall points become
// thresholds, every distinct threshold gets its own matching pass, each pass is counted CLEAR-style
// (matches, switches, misses, false positives, per-track coverage), and the per-threshold metrics
// are summarised (the best threshold's values, averages over the recall points).
//
// What is matched to what is a parameter (`Criterion`: a cost per pair and whether the pair may
// match at all), and so are the formulas turning counts into metrics (`Formulas`). The matching
// itself is fixed: per frame, a ground-truth object keeps the track it was last matched to when
// that track is present and a valid pair (whatever an assignment would prefer), the rest go to a
// minimum-cost assignment that uses as many valid pairs as it can.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vestrim::sweep {

inline constexpr std::size_t kRecallPoints = 40;

// The recall points, from 0.1 to 1 in 39 equal steps, each rounded to 12 decimals.
const std::array<double, kRecallPoints>& recall_points();

// One class's boxes laid out by frame, frames in the order they are scored (scene by scene, in
// time). Ids are dense (0 .. n-1) and distinct across scenes: an id names one track of one scene.
// Ground truth and predictions are indexed separately; a criterion sees these indices.
struct ClassFrames {
    std::vector<std::size_t> gt_offsets;    // frames + 1: gt boxes of frame f are [gt_offsets[f], gt_offsets[f+1])
    std::vector<std::size_t> pred_offsets;  // frames + 1
    std::vector<std::int64_t> gt_ids;
    std::vector<std::int64_t> pred_ids;
    std::vector<double> pred_scores;        // the score each threshold is compared with (>=)
    std::size_t num_gt_ids = 0;             // gt ids are < num_gt_ids
    std::size_t num_pred_ids = 0;

    std::size_t frames() const { return gt_offsets.empty() ? 0 : gt_offsets.size() - 1; }
};

// What may be matched: for the frame's gt boxes [gt_begin, gt_begin + n_gt) and the predictions
// listed in `preds`, fills the row-major n_gt x preds.size() matrices `cost` (lower is better; the
// match quality averaged into motp) and `valid` (1 where the pair may match). Called concurrently
// from several passes: must not change shared state.
class Criterion {
public:
    virtual ~Criterion() = default;
    virtual void pairs(std::size_t gt_begin, std::size_t n_gt, std::span<const std::size_t> preds, double* cost,
                       unsigned char* valid) const = 0;
};

// The counts of one pass, as doubles.
struct Counts {
    double tp = 0;            // matches (a switch is not one)
    double ids = 0;           // switches
    double fn = 0;            // misses
    double fp = 0;            // false positives
    double gt = 0;            // tp + ids + fn
    double frames = 0;        // frames with a box on either side
    double cost_sum = 0;      // pairwise sum of the cost of every event in order (0 for misses and false positives)
    double mostly_tracked = 0;
    double mostly_lost = 0;
    double fragmentations = 0;
    double tracked = 0;       // gt tracks with at least one match or switch
    double tid_sum = 0;       // over tracked tracks: frames before the first match or switch
    double lgd_sum = 0;       // over tracked tracks: longest run of frames without a match or switch
};

// The per-threshold metrics, in output order.
enum Metric : std::size_t {
    Recall, Motar, Gt, Mota, Motp, Mt, Ml, Faf, Tp, Fp, Fn, Ids, Frag, Tid, Lgd, kMetrics
};
using Metrics = std::array<double, kMetrics>;

// The formulas: one pass's counts into metrics, and the values of a class whose thresholds are
// all unreached (nothing matched at any recall point) given its gt count and number of gt tracks.
struct Formulas {
    Metrics (*metrics)(const Counts&);
    Metrics (*worst)(double gt, double gt_tracks);
    double mostly_tracked_ratio;  // a track covered at least this much is mostly tracked
    double mostly_lost_ratio;     // covered less than this: mostly lost
    double seconds_per_frame;     // scales tid and lgd
    double worst_motp;            // stands for an undefined motp in the average over recall points
};

// The class summary: every per-threshold metric at the best threshold, plus the two averages.
struct ClassResult {
    std::array<double, kRecallPoints> confidence;   // NaN where a recall point is not reached
    std::array<double, kRecallPoints> recall_hypo;  // the recall point of each index; index 0 is recall 1
    std::array<Metrics, kRecallPoints> curves;      // NaN where unreached
    Metrics best;
    double amota = 0;
    double amotp = 0;
    std::size_t passes = 0;  // distinct thresholds matched (the pass without a threshold not counted)
};

// Runs `count` independent tasks (each given its index), possibly at once; returns when all are done.
using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;

// Refused input (a threshold curve no scoring can produce): the message of the error.
struct SweepError {
    std::string message;
};

// Sweeps one class. A class with no ground truth has no result (the caller writes NaN); a
// collected score count above the gt count or thresholds that decrease along the recall points
// are refused (thrown as SweepError). `parallel` runs the threshold passes (serially when empty).
ClassResult sweep_class(const ClassFrames& frames, const Criterion& criterion, const Formulas& formulas,
                        const ParallelFor& parallel = {});

// The thresholds of the recall points from the collected scores (any order) and the gt count:
// index 0 is recall 1. NaN where the recall point is beyond what the scores reach.
std::array<double, kRecallPoints> thresholds(std::vector<double> scores, double gt);

// One matching pass at `threshold` (NaN: every prediction). With `collect`, the scores of the
// predictions whose track was matched (not switched) in their frame are appended to it.
Counts match_pass(const ClassFrames& frames, const Criterion& criterion, const Formulas& formulas,
                  double threshold, std::vector<double>* collect);

}  // namespace vestrim::sweep
