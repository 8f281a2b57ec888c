// nuScenes 3D tracking: track scores, the filling of track gaps, centre-distance matching and the
// benchmark's formulas, over boxes already read and filtered. The sweep itself is `sweep`'s.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/sweep.hpp"

namespace vestrim::nuscenes {

inline constexpr std::size_t kClasses = 7;  // bicycle, bus, car, motorcycle, pedestrian, trailer, truck
inline constexpr double kMatchDistance = 2.0;

// The 17 values of a class and of the combination, in output order.
enum Field : std::size_t {
    Amota, Amotp, Recall, Motar, Gt, Mota, Motp, Mt, Ml, Faf, Tp, Fp, Fn, Ids, Frag, Tid, Lgd, kFields
};
using Summary = std::array<double, kFields>;

// Boxes of one side (ground truth or predictions), every class, laid out by frame; frames run scene
// by scene, each scene in time. Ids are dense and distinct across scenes (a track of one scene).
struct Boxes {
    std::vector<std::size_t> offsets;  // frames + 1
    std::vector<std::int64_t> ids;
    std::vector<std::int32_t> classes;  // 0 .. kClasses - 1
    std::vector<double> xy;             // x, y of each box (global metres)
    std::vector<double> scores;         // predictions only
};

// Where the scenes' frames lie and when each was taken (integer microseconds).
struct Scenes {
    std::vector<std::size_t> offsets;  // scenes + 1, into the frames
    std::vector<std::int64_t> timestamps;
};

// Every box of a track gets the mean of the track's scores (pairwise sum in frame then list order,
// divided by the count).
void average_track_scores(Boxes& boxes);

// Fills each track's missing frames between its first and last: for frame t with neighbours at
// t_left < t < t_right, r = (t_right - t) / (t_right - t_left) and each value is
// (1 - r) * left + r * right. That weights the far neighbour, as the benchmark does; its published
// numbers rest on it. New boxes take the right neighbour's id and class and follow the frame's own
// boxes, tracks in the order they first appear in the scene.
Boxes interpolate(const Boxes& boxes, const Scenes& scenes);

// The benchmark's distance between two xy centres, through the expansion of the squared distance
// (|x|^2 + |y|^2 - 2 x.y), as the benchmark computes it: at global coordinates it differs from
// the direct difference in the last digits, and matching compares it with a threshold.
double centre_distance(const double* a, const double* b);

// One class's frames and the criterion that matches them by centre distance (< 2 m).
struct ClassData {
    sweep::ClassFrames frames;
    std::vector<double> gt_xy, pred_xy;
};
std::array<ClassData, kClasses> split_classes(const Boxes& gt, const Boxes& pred);

class DistanceCriterion final : public sweep::Criterion {
public:
    explicit DistanceCriterion(const ClassData& data) : data_(data) {}
    void pairs(std::size_t gt_begin, std::size_t n_gt, std::span<const std::size_t> preds, double* cost,
               unsigned char* valid) const override;

private:
    const ClassData& data_;
};

const sweep::Formulas& formulas();

// A class's 17 values from its sweep; all NaN when it has no ground truth.
Summary summarise(const sweep::ClassResult& result, bool has_gt);

// The combined entry over the classes given: counts summed, the rest averaged, NaN ignored; the
// gt count is averaged too, as the benchmark does.
Summary combine(const std::vector<Summary>& classes);

struct ClassScore {
    bool has_gt = false;
    sweep::ClassResult sweep;
    Summary summary;
};

// Scores the selected classes (by index) of one tracker: average track scores, fill gaps on both
// sides, sweep each class. Throws sweep::SweepError for refused input.
std::vector<ClassScore> score(Boxes gt, Boxes pred, const Scenes& scenes, const std::vector<std::size_t>& classes,
                              const sweep::ParallelFor& parallel = {});

}  // namespace vestrim::nuscenes
