#include "core/events.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "core/flat_map.hpp"
#include "core/hota.hpp"
#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/sparse_sim.hpp"

namespace vestrim::events {
namespace {

constexpr double kNoPair = std::numeric_limits<double>::quiet_NaN();

Kind kind_of(match_record::SwitchKind k) {
    switch (k) {
        case match_record::SwitchKind::Transfer: return Kind::Transfer;
        case match_record::SwitchKind::Ascend: return Kind::Ascend;
        case match_record::SwitchKind::Migrate: return Kind::Migrate;
    }
    throw InternalError("unknown switch event kind");
}

std::int64_t frame_number_at(std::span<const std::int64_t> frame_numbers, std::size_t t) {
    return frame_numbers.empty() ? static_cast<std::int64_t>(t) : frame_numbers[t];
}

std::int64_t as_count(std::uint64_t value) { return static_cast<std::int64_t>(value); }

// Dense indices of ids in order of first appearance, with the ids themselves.
class IdOrder {
public:
    std::uint32_t intern(Id id) {
        const auto [stored, inserted] = index_.try_emplace(static_cast<std::uint64_t>(id), ids_.size() + 1);
        if (inserted) ids_.push_back(id);
        return static_cast<std::uint32_t>(stored - 1);
    }
    const std::vector<Id>& ids() const { return ids_; }

private:
    FlatMap index_;
    std::vector<Id> ids_;
};

// The per-trajectory counts of a sequence, gathered frame by frame from the recorder's CLEAR matches
// and the identity accumulator; HOTA's per-gt association is added at the end.
class TrackTableBuilder {
public:
    explicit TrackTableBuilder(Convention convention) : recorder_(convention, false) {}

    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity, double threshold) {
        recorder_.update(0, gt_ids, pred_ids, similarity, threshold);
        identity_.update(gt_ids, pred_ids, similarity, threshold, &meter_);  // an interrupt discards the tables
        frame_gt_.clear();
        frame_pred_.clear();
        for (const Id id : gt_ids) {
            const std::uint32_t g = gt_order_.intern(id);
            if (g == gt_switches_.size()) gt_switches_.push_back(0);
            frame_gt_.push_back(g);
        }
        for (const Id id : pred_ids) {
            const std::uint32_t p = pred_order_.intern(id);
            if (p == pred_matched_.size()) {
                pred_matched_.push_back(0);
                pred_covered_.push_back(0);
            }
            frame_pred_.push_back(p);
        }
        for (const match_record::ClearMatch& match : recorder_.last_matches()) {
            const std::uint32_t g = frame_gt_[match.row];
            const std::uint32_t p = frame_pred_[match.col];
            pred_matched_[p] += 1;
            if (match.switched) gt_switches_[g] += 1;
            if (covered_.try_emplace((std::uint64_t{p} << 32) | g, 1).second) pred_covered_[p] += 1;
        }
    }

    TrackTables finish(const hota::GtAssociation& association) const {
        const identity::IdentityAccumulator::Matching matching = identity_.matching();
        const std::vector<Id>& gt_ids = gt_order_.ids();
        const std::vector<Id>& pred_ids = pred_order_.ids();
        // Every part interns ids in order of first appearance over the same frames.
        if (matching.gt_ids != gt_ids || matching.pred_ids != pred_ids || association.gt_ids != gt_ids)
            throw InternalError("track tables: id orders disagree");

        TrackTables out;
        GtTable& gt = out.gt;
        const std::size_t num_gt = gt_ids.size();
        const std::size_t num_pred = pred_ids.size();
        std::vector<std::uint64_t> idtp_of_pred(num_pred, 0);
        std::vector<double> per_alpha(hota::kNumAlphas);
        for (std::size_t g = 0; g < num_gt; ++g) {
            const clear::GtTrack* track = recorder_.clear().track_state().find(gt_ids[g]);
            if (track == nullptr) throw InternalError("track tables: gt id without a CLEAR record");
            const double ratio = static_cast<double>(track->matched_count) / static_cast<double>(track->present_count);
            gt.id.push_back(gt_ids[g]);
            gt.frames.push_back(track->present_count);
            gt.matched.push_back(track->matched_count);
            gt.ratio.push_back(ratio);
            gt.track_class.push_back(static_cast<std::uint8_t>(clear::track_class(ratio)));
            gt.frag.push_back(track->segment_count > 0 ? track->segment_count - 1 : 0);
            gt.switches.push_back(gt_switches_[g]);
            const std::int64_t p = matching.partner_of_gt[g];
            gt.has_partner.push_back(p >= 0);
            gt.partner.push_back(p >= 0 ? pred_ids[static_cast<std::size_t>(p)] : 0);
            gt.idtp.push_back(as_count(matching.partner_count[g]));
            if (p >= 0) idtp_of_pred[static_cast<std::size_t>(p)] = matching.partner_count[g];
            for (std::size_t a = 0; a < hota::kNumAlphas; ++a) {
                const double tp = association.true_positives[g * hota::kNumAlphas + a];
                per_alpha[a] = tp > 0.0 ? association.association[g * hota::kNumAlphas + a] / tp : 0.0;
                gt.tp_alphas.push_back(tp);
            }
            gt.association_alphas.insert(gt.association_alphas.end(), per_alpha.begin(), per_alpha.end());
            gt.association.push_back(hota::mean_over_alphas(per_alpha));
        }
        PredTable& pred = out.pred;
        for (std::size_t p = 0; p < num_pred; ++p) {
            pred.id.push_back(pred_ids[p]);
            pred.frames.push_back(as_count(matching.pred_counts[p]));
            pred.matched.push_back(pred_matched_[p]);
            pred.gt_covered.push_back(pred_covered_[p]);
            const std::uint64_t count = matching.pred_counts[p];
            pred.idfp.push_back(as_count(count > idtp_of_pred[p] ? count - idtp_of_pred[p] : 0));
        }
        return out;
    }

private:
    EventRecorder recorder_;
    identity::IdentityAccumulator identity_;
    IdOrder gt_order_;
    IdOrder pred_order_;
    std::vector<std::int64_t> gt_switches_;
    std::vector<std::int64_t> pred_matched_;
    std::vector<std::int64_t> pred_covered_;
    FlatMap covered_;  // (pred index, gt index) pairs matched at least once
    interrupt::Meter meter_;
    std::vector<std::uint32_t> frame_gt_;
    std::vector<std::uint32_t> frame_pred_;
};

}  // namespace

void EventLog::append(std::int64_t frame_number, Kind k, const Id* gt, const Id* pred, double sim,
                      bool switch_matcher) {
    frame.push_back(frame_number);
    kind.push_back(static_cast<std::uint8_t>(k));
    gt_id.push_back(gt != nullptr ? *gt : 0);
    pred_id.push_back(pred != nullptr ? *pred : 0);
    has_gt.push_back(gt != nullptr);
    has_pred.push_back(pred != nullptr);
    similarity.push_back(sim);
    from_switch_matcher.push_back(switch_matcher);
}

EventRecorder::EventRecorder(Convention convention, bool keep_log) : clear_(convention), keep_log_(keep_log) {
    clear_.set_record(&clear_matches_);
    switches_.set_record(&switch_record_);
}

void EventRecorder::update(std::int64_t frame_number, std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                           const double* similarity, double threshold) {
    clear_.update(gt_ids, pred_ids, similarity, threshold);
    switches_.update(gt_ids, pred_ids, similarity, threshold);
    if (!keep_log_) return;

    const std::size_t n = gt_ids.size();
    const std::size_t m = pred_ids.size();
    row_matched_.assign(n, 0);
    col_matched_.assign(m, 0);
    for (const match_record::ClearMatch& match : clear_matches_) {
        log_.append(frame_number, match.switched ? Kind::Switch : Kind::Match, &gt_ids[match.row],
                    &pred_ids[match.col], similarity[match.row * m + match.col], false);
        row_matched_[match.row] = 1;
        col_matched_[match.col] = 1;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!row_matched_[i]) log_.append(frame_number, Kind::Miss, &gt_ids[i], nullptr, kNoPair, false);
    for (std::size_t j = 0; j < m; ++j)
        if (!col_matched_[j]) log_.append(frame_number, Kind::FalsePositive, nullptr, &pred_ids[j], kNoPair, false);
    for (const match_record::SwitchEvent& event : switch_record_) {
        log_.append(frame_number, kind_of(event.kind), &gt_ids[event.row], &pred_ids[event.col],
                    similarity[event.row * m + event.col], true);
    }
}

Result<std::string> events_csv(const EventColumns& log) {
    const std::size_t n = log.frame.size();
    std::string out = "frame,event,kind,gt_id,pred_id,similarity,from_switch_matcher\n";
    out.reserve(out.size() + n * 48);
    char buffer[32];
    auto put = [&](auto value) {
        const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, written.ptr);
    };
    interrupt::Meter meter;
    std::int64_t within = 0;
    for (std::size_t r = 0; r < n; ++r) {
        meter.add(64);
        if (log.kind[r] >= kNumKinds)
            return std::unexpected("event " + std::to_string(r) + " has an unknown kind " + std::to_string(log.kind[r]));
        within = r > 0 && log.frame[r] == log.frame[r - 1] ? within + 1 : 0;
        put(log.frame[r]);
        out += ',';
        put(within);
        out += ',';
        out += kKindNames[log.kind[r]];
        out += ',';
        if (log.has_gt[r]) put(log.gt_id[r]);
        out += ',';
        if (log.has_pred[r]) put(log.pred_id[r]);
        out += ',';
        const double s = log.similarity[r];
        if (!std::isnan(s)) {
            const std::size_t start = out.size();
            put(s);
            // A whole number reads as a float, as Python writes it ("1.0", not "1").
            if (std::isfinite(s) && out.find_first_of(".e", start) == std::string::npos) out += ".0";
        }
        out += log.from_switch_matcher[r] ? ",1\n" : ",0\n";
    }
    return out;
}

EventLog frame_events(std::span<const Frame> frames, std::span<const std::int64_t> frame_numbers, double threshold,
                      Convention convention) {
    EventRecorder recorder(convention);
    memory::LargeVector<double> iou;  // one frame's matrix, reused
    interrupt::Meter meter;
    for (std::size_t t = 0; t < frames.size(); ++t) {
        const Frame& frame = frames[t];
        const std::size_t n = frame.gt_ids.size();
        const std::size_t m = frame.pred_ids.size();
        meter.add(1 + n + m + 6 * n * m);
        memory::resize_in_pieces(iou, n * m, &meter);
        if (n > 0 && m > 0) iou::iou_matrix(frame.gt_boxes, frame.pred_boxes, iou.data());
        recorder.update(frame_number_at(frame_numbers, t), frame.gt_ids, frame.pred_ids, iou.data(), threshold);
    }
    return recorder.take_log();
}

EventLog frame_events_from_similarity(const SimFrames& frames, std::span<const std::int64_t> frame_numbers,
                                      double threshold, Convention convention) {
    EventRecorder recorder(convention);
    interrupt::Meter meter;
    SimFrames::Buffer buffer;
    for (std::size_t t = 0; t < frames.size(); ++t) {
        const SimFrame frame = frames.frame(t, buffer);
        meter.add(1 + frame.rows() + frame.cols() + 4 * frame.rows() * frame.cols());
        recorder.update(frame_number_at(frame_numbers, t), frame.gt_ids, frame.pred_ids, frame.similarity,
                        threshold);
    }
    return recorder.take_log();
}

TrackTables track_tables(std::span<const Frame> frames, double threshold, Convention convention) {
    TrackTableBuilder builder(convention);
    const sparse_sim::SparseSimFrames store = sparse_sim::store_box_ious(
        frames, [&](const sparse_sim::SparseSimFrames& stored, std::size_t k, const double* iou) {
            builder.update(stored.gt_ids(k), stored.pred_ids(k), iou, threshold);
        });
    hota::GtAssociation association;
    hota::compute_hota_from_sparse(store, convention, association);
    return builder.finish(association);
}

TrackTables track_tables_from_similarity(const SimFrames& frames, double threshold, Convention convention) {
    TrackTableBuilder builder(convention);
    interrupt::Meter meter;
    SimFrames::Buffer buffer;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const SimFrame f = frames.frame(k, buffer);
        meter.add(1 + f.rows() + f.cols() + 4 * f.rows() * f.cols());
        builder.update(f.gt_ids, f.pred_ids, f.similarity, threshold);
    }
    hota::GtAssociation association;
    hota::compute_hota_from_similarity(frames, convention, association);
    return builder.finish(association);
}

}  // namespace vestrim::events
