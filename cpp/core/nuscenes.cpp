#include "core/nuscenes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/psum.hpp"

namespace vestrim::nuscenes {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kClassNames[kClasses] = {"bicycle", "bus", "car", "motorcycle", "pedestrian", "trailer", "truck"};

sweep::Metrics metrics(const sweep::Counts& c) {
    sweep::Metrics m;
    const double errors = c.fn + c.ids + c.fp;
    m[sweep::Recall] = (c.tp + c.ids) / c.gt;
    m[sweep::Mota] = std::max(0.0, 1.0 - errors / c.gt);
    // Matched recall; algebraically max(0, 1 - fp / tp), kept in the benchmark's form for its rounding.
    const double r = c.tp / c.gt;
    m[sweep::Motar] = r * c.gt == 0 ? kNaN : std::max(0.0, 1.0 - (errors - (1.0 - r) * c.gt) / (r * c.gt));
    m[sweep::Motp] = c.tp + c.ids == 0 ? kNaN : c.cost_sum / (c.tp + c.ids);
    m[sweep::Faf] = c.fp / c.frames * 100.0;
    m[sweep::Gt] = c.gt;
    m[sweep::Mt] = c.mostly_tracked;
    m[sweep::Ml] = c.mostly_lost;
    m[sweep::Tp] = c.tp;
    m[sweep::Fp] = c.fp;
    m[sweep::Fn] = c.fn;
    m[sweep::Ids] = c.ids;
    m[sweep::Frag] = c.fragmentations;
    m[sweep::Tid] = c.tracked == 0 ? kNaN : c.tid_sum / c.tracked;
    m[sweep::Lgd] = c.tracked == 0 ? kNaN : c.lgd_sum / c.tracked;
    return m;
}

sweep::Metrics worst(double gt, double gt_tracks) {
    sweep::Metrics m;
    m[sweep::Recall] = m[sweep::Motar] = m[sweep::Mota] = m[sweep::Mt] = m[sweep::Tp] = 0.0;
    m[sweep::Motp] = 2.0;
    m[sweep::Faf] = 500.0;
    m[sweep::Tid] = m[sweep::Lgd] = 20.0;
    m[sweep::Ml] = gt_tracks;
    m[sweep::Gt] = m[sweep::Fn] = gt;
    m[sweep::Fp] = m[sweep::Ids] = m[sweep::Frag] = kNaN;
    return m;
}

constexpr sweep::Formulas kFormulas{metrics, worst, 0.8, 0.2, 0.5, 2.0};

// Where each per-threshold metric goes among the 17 fields.
constexpr std::array<Field, sweep::kMetrics> kFieldOf = {Recall, Motar, Gt, Mota, Motp, Mt, Ml, Faf,
                                                         Tp,     Fp,    Fn, Ids,  Frag, Tid, Lgd};

// Fields summed in the combined entry; the others are averaged.
constexpr bool summed(std::size_t field) {
    return field == Mt || field == Ml || field == Tp || field == Fp || field == Fn || field == Ids || field == Frag;
}

}  // namespace

const sweep::Formulas& formulas() { return kFormulas; }

double centre_distance(const double* a, const double* b) {
    const double p = a[0] * b[0] + a[1] * b[1];
    double t = -2.0 * p;
    t = t + (a[0] * a[0] + a[1] * a[1]);
    t = t + (b[0] * b[0] + b[1] * b[1]);
    return std::sqrt(std::max(t, 0.0));
}

void DistanceCriterion::pairs(std::size_t gt_begin, std::size_t n_gt, std::span<const std::size_t> preds,
                              double* cost, unsigned char* valid) const {
    const std::size_t np = preds.size();
    for (std::size_t i = 0; i < n_gt; ++i) {
        const double* g = &data_.gt_xy[2 * (gt_begin + i)];
        for (std::size_t j = 0; j < np; ++j) {
            const double d = centre_distance(g, &data_.pred_xy[2 * preds[j]]);
            cost[i * np + j] = d;
            valid[i * np + j] = d < kMatchDistance;
        }
    }
}

void average_track_scores(Boxes& boxes) {
    const std::size_t n = boxes.ids.size();
    if (n == 0) return;
    const std::size_t tracks = static_cast<std::size_t>(*std::max_element(boxes.ids.begin(), boxes.ids.end())) + 1;
    // Group the scores by track, keeping their order (a counting sort).
    std::vector<std::size_t> start(tracks + 1, 0);
    for (std::int64_t id : boxes.ids) ++start[static_cast<std::size_t>(id) + 1];
    for (std::size_t t = 0; t < tracks; ++t) start[t + 1] += start[t];
    std::vector<double> grouped(n);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < n; ++k) grouped[fill[static_cast<std::size_t>(boxes.ids[k])]++] = boxes.scores[k];
    std::vector<double> mean(tracks);
    for (std::size_t t = 0; t < tracks; ++t) {
        const std::size_t count = start[t + 1] - start[t];
        if (count) mean[t] = psum::pairwise_sum(&grouped[start[t]], count) / static_cast<double>(count);
    }
    for (std::size_t k = 0; k < n; ++k) boxes.scores[k] = mean[static_cast<std::size_t>(boxes.ids[k])];
}

Boxes interpolate(const Boxes& boxes, const Scenes& scenes) {
    const bool scored = !boxes.scores.empty();
    const std::size_t frames = boxes.offsets.size() - 1;
    // Frame of each box.
    std::vector<std::size_t> frame_of(boxes.ids.size());
    for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t k = boxes.offsets[f]; k < boxes.offsets[f + 1]; ++k) frame_of[k] = f;

    struct Added {
        std::int64_t id;
        std::int32_t cls;
        double x, y, score;
    };
    std::vector<std::vector<Added>> added(frames);

    std::vector<std::int64_t> order;                        // the scene's tracks by first appearance
    std::vector<std::vector<std::size_t>> of_track;         // box indices of each track, in order
    std::vector<std::int64_t> slot;                         // id -> index into of_track, -1 if not yet seen
    const std::size_t max_id =
        boxes.ids.empty() ? 0 : static_cast<std::size_t>(*std::max_element(boxes.ids.begin(), boxes.ids.end())) + 1;
    slot.assign(max_id, -1);

    for (std::size_t s = 0; s + 1 < scenes.offsets.size(); ++s) {
        order.clear();
        of_track.clear();
        for (std::size_t k = boxes.offsets[scenes.offsets[s]]; k < boxes.offsets[scenes.offsets[s + 1]]; ++k) {
            std::int64_t& t = slot[static_cast<std::size_t>(boxes.ids[k])];
            if (t < 0) {
                t = static_cast<std::int64_t>(of_track.size());
                of_track.emplace_back();
                order.push_back(boxes.ids[k]);
            }
            of_track[static_cast<std::size_t>(t)].push_back(k);
        }
        for (std::size_t t = 0; t < of_track.size(); ++t) {
            const std::vector<std::size_t>& own = of_track[t];
            // Walk the frames strictly between consecutive frames that hold the track.
            for (std::size_t a = 0; a + 1 < own.size(); ++a) {
                // `left` is the track's last box at its frame, `right` the first box of the next frame.
                const std::size_t f_left = frame_of[own[a]], f_right = frame_of[own[a + 1]];
                if (f_right <= f_left + 1) continue;
                const std::size_t left = own[a], right = own[a + 1];
                for (std::size_t f = f_left + 1; f < f_right; ++f) {
                    // As integers first: the benchmark subtracts integer microseconds.
                    const double r = static_cast<double>(scenes.timestamps[f_right] - scenes.timestamps[f]) /
                                     static_cast<double>(scenes.timestamps[f_right] - scenes.timestamps[f_left]);
                    auto mix = [&](double l, double rv) { return (1.0 - r) * l + r * rv; };
                    added[f].push_back(Added{boxes.ids[right], boxes.classes[right],
                                             mix(boxes.xy[2 * left], boxes.xy[2 * right]),
                                             mix(boxes.xy[2 * left + 1], boxes.xy[2 * right + 1]),
                                             scored ? mix(boxes.scores[left], boxes.scores[right]) : 0.0});
                }
            }
        }
        for (std::int64_t id : order) slot[static_cast<std::size_t>(id)] = -1;
    }
    // Tracks were walked in order of first appearance, so each frame's additions are in that order.

    Boxes out;
    std::size_t total = boxes.ids.size();
    for (const auto& a : added) total += a.size();
    out.offsets.reserve(frames + 1);
    out.ids.reserve(total);
    out.classes.reserve(total);
    out.xy.reserve(2 * total);
    if (scored) out.scores.reserve(total);
    out.offsets.push_back(0);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t k = boxes.offsets[f]; k < boxes.offsets[f + 1]; ++k) {
            out.ids.push_back(boxes.ids[k]);
            out.classes.push_back(boxes.classes[k]);
            out.xy.push_back(boxes.xy[2 * k]);
            out.xy.push_back(boxes.xy[2 * k + 1]);
            if (scored) out.scores.push_back(boxes.scores[k]);
        }
        for (const Added& a : added[f]) {
            out.ids.push_back(a.id);
            out.classes.push_back(a.cls);
            out.xy.push_back(a.x);
            out.xy.push_back(a.y);
            if (scored) out.scores.push_back(a.score);
        }
        out.offsets.push_back(out.ids.size());
    }
    return out;
}

std::array<ClassData, kClasses> split_classes(const Boxes& gt, const Boxes& pred) {
    std::array<ClassData, kClasses> out;
    const std::size_t frames = gt.offsets.size() - 1;
    // Dense ids per class.
    auto dense = [](const Boxes& b, std::vector<std::int64_t>& map, std::size_t& count) {
        return [&b, &map, &count](std::size_t k) {
            std::int64_t& d = map[static_cast<std::size_t>(b.ids[k])];
            if (d < 0) d = static_cast<std::int64_t>(count++);
            return d;
        };
    };
    const std::size_t gt_max = gt.ids.empty() ? 0 : static_cast<std::size_t>(*std::max_element(gt.ids.begin(), gt.ids.end())) + 1;
    const std::size_t pred_max =
        pred.ids.empty() ? 0 : static_cast<std::size_t>(*std::max_element(pred.ids.begin(), pred.ids.end())) + 1;
    for (std::size_t c = 0; c < kClasses; ++c) {
        ClassData& d = out[c];
        std::vector<std::int64_t> gt_map(gt_max, -1), pred_map(pred_max, -1);
        auto gt_id = dense(gt, gt_map, d.frames.num_gt_ids);
        auto pred_id = dense(pred, pred_map, d.frames.num_pred_ids);
        d.frames.gt_offsets.reserve(frames + 1);
        d.frames.pred_offsets.reserve(frames + 1);
        d.frames.gt_offsets.push_back(0);
        d.frames.pred_offsets.push_back(0);
        for (std::size_t f = 0; f < frames; ++f) {
            for (std::size_t k = gt.offsets[f]; k < gt.offsets[f + 1]; ++k) {
                if (static_cast<std::size_t>(gt.classes[k]) != c) continue;
                d.frames.gt_ids.push_back(gt_id(k));
                d.gt_xy.push_back(gt.xy[2 * k]);
                d.gt_xy.push_back(gt.xy[2 * k + 1]);
            }
            for (std::size_t k = pred.offsets[f]; k < pred.offsets[f + 1]; ++k) {
                if (static_cast<std::size_t>(pred.classes[k]) != c) continue;
                d.frames.pred_ids.push_back(pred_id(k));
                d.frames.pred_scores.push_back(pred.scores[k]);
                d.pred_xy.push_back(pred.xy[2 * k]);
                d.pred_xy.push_back(pred.xy[2 * k + 1]);
            }
            d.frames.gt_offsets.push_back(d.frames.gt_ids.size());
            d.frames.pred_offsets.push_back(d.frames.pred_ids.size());
        }
    }
    return out;
}

Summary summarise(const sweep::ClassResult& result, bool has_gt) {
    Summary s;
    s.fill(kNaN);
    if (!has_gt) return s;
    s[Amota] = result.amota;
    s[Amotp] = result.amotp;
    for (std::size_t m = 0; m < sweep::kMetrics; ++m) s[kFieldOf[m]] = result.best[m];
    return s;
}

Summary combine(const std::vector<Summary>& classes) {
    Summary out;
    for (std::size_t field = 0; field < kFields; ++field) {
        double sum = 0.0;
        std::size_t count = 0;
        for (const Summary& c : classes) {
            if (std::isnan(c[field])) continue;
            sum = sum + c[field];
            ++count;
        }
        if (summed(field))
            out[field] = sum;
        else
            out[field] = count == 0 ? kNaN : sum / static_cast<double>(count);
    }
    return out;
}

std::vector<ClassScore> score(Boxes gt, Boxes pred, const Scenes& scenes, const std::vector<std::size_t>& classes,
                              const sweep::ParallelFor& parallel) {
    average_track_scores(pred);
    const Boxes gt_filled = interpolate(gt, scenes);
    const Boxes pred_filled = interpolate(pred, scenes);
    gt = Boxes{};
    pred = Boxes{};
    const std::array<ClassData, kClasses> data = split_classes(gt_filled, pred_filled);
    std::vector<ClassScore> out;
    for (std::size_t c : classes) {
        ClassScore score;
        score.has_gt = !data[c].frames.gt_ids.empty();
        const DistanceCriterion criterion(data[c]);
        try {
            score.sweep = sweep::sweep_class(data[c].frames, criterion, formulas(), parallel);
        } catch (sweep::SweepError& e) {
            e.message = "class " + std::string(kClassNames[c]) + ": " + e.message;
            throw;
        }
        score.summary = summarise(score.sweep, score.has_gt);
        out.push_back(std::move(score));
    }
    return out;
}

}  // namespace vestrim::nuscenes
