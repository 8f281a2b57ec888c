// Where a tracker goes wrong: the per-frame events behind the CLEAR counts and the switch-subtype
// events, and per-trajectory tables. Every event comes from the metric cores' own matching of the
// frame (their match records), so the counts of a log equal the metrics by construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/clear.hpp"
#include "core/identity.hpp"
#include "core/match_record.hpp"
#include "core/switch_events.hpp"
#include "core/types.hpp"

namespace vestrim::events {

// The kinds of event; the numbering is the stored code.
enum class Kind : std::uint8_t { Match, Switch, FalsePositive, Miss, Transfer, Ascend, Migrate };
inline constexpr std::size_t kNumKinds = 7;

// One row per event, in equal-length columns. Indices and lengths are 64-bit throughout.
struct EventLog {
    std::vector<std::int64_t> frame;
    std::vector<std::uint8_t> kind;
    std::vector<Id> gt_id;  // 0 where has_gt is 0
    std::vector<Id> pred_id;
    std::vector<std::uint8_t> has_gt;
    std::vector<std::uint8_t> has_pred;
    std::vector<double> similarity;  // NaN where the event has no pair
    std::vector<std::uint8_t> from_switch_matcher;

    std::int64_t size() const { return static_cast<std::int64_t>(frame.size()); }
    void append(std::int64_t frame_number, Kind k, const Id* gt, const Id* pred, double sim, bool switch_matcher);
};

// The kinds' names, by code.
inline constexpr const char* kKindNames[kNumKinds] = {"MATCH", "SWITCH", "FP", "MISS", "TRANSFER", "ASCEND", "MIGRATE"};

// A log's columns, borrowed (all of one length).
struct EventColumns {
    std::span<const std::int64_t> frame;
    std::span<const std::uint8_t> kind;
    std::span<const Id> gt_id;
    std::span<const Id> pred_id;
    std::span<const std::uint8_t> has_gt;
    std::span<const std::uint8_t> has_pred;
    std::span<const double> similarity;
    std::span<const std::uint8_t> from_switch_matcher;
};

// The log as CSV text: a header, then per event frame, its number within the frame, the kind's name,
// gt id, pred id (empty where absent), similarity (shortest round-trip form, a whole number with
// ".0"; empty for NaN) and from_switch_matcher as 0 / 1. Rows of one frame must be contiguous.
// Caller error: a kind code out of range.
Result<std::string> events_csv(const EventColumns& log);

// Feeds frames to the CLEAR accumulator of a convention and to the switch-event matcher, each with
// its match record, and writes the events of every frame. Within a frame the events come as
//   1. MATCH or SWITCH for each accepted CLEAR match, by ascending gt row;
//   2. MISS for each gt row left unmatched, by row;
//   3. FP for each prediction column left unmatched, by column;
//   4. TRANSFER / ASCEND / MIGRATE of the switch-event matcher, in the order it counts them (by its
//      assignment's gt row; for one pair ASCEND before TRANSFER before MIGRATE).
class EventRecorder {
public:
    explicit EventRecorder(Convention convention, bool keep_log = true);
    // The accumulators hold pointers to this object's records.
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    // One frame (row-major n x m similarity, gt in rows). Same failures as the accumulators; a frame
    // that fails adds no event.
    void update(std::int64_t frame_number, std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                const double* similarity, double threshold);

    // The matches the CLEAR accumulator accepted in the last frame.
    const match_record::ClearMatches& last_matches() const { return clear_matches_; }
    const clear::ClearAccumulator& clear() const { return clear_; }
    EventLog take_log() { return std::move(log_); }

private:
    clear::ClearAccumulator clear_;
    switch_events::SwitchEventsAccumulator switches_;
    match_record::ClearMatches clear_matches_;
    match_record::SwitchEvents switch_record_;
    std::vector<unsigned char> row_matched_;
    std::vector<unsigned char> col_matched_;
    bool keep_log_;
    EventLog log_;
};

// Whole sequences. `frame_numbers` (one per frame) names the frames in the log; empty means 0, 1, 2...
EventLog frame_events(std::span<const Frame> frames, std::span<const std::int64_t> frame_numbers, double threshold,
                      Convention convention);
EventLog frame_events_from_similarity(const SimFrames& frames, std::span<const std::int64_t> frame_numbers,
                                      double threshold, Convention convention);

// How a gt trajectory is classed by its matched ratio (clear::TrackClass codes).
struct GtTable {
    std::vector<Id> id;
    std::vector<std::int64_t> frames;   // occurrences
    std::vector<std::int64_t> matched;  // CLEAR matches, switches included
    std::vector<double> ratio;
    std::vector<std::uint8_t> track_class;
    std::vector<std::int64_t> frag;
    std::vector<std::int64_t> switches;
    std::vector<Id> partner;  // the global identity matching's prediction (0 where has_partner is 0)
    std::vector<std::uint8_t> has_partner;
    std::vector<std::int64_t> idtp;
    std::vector<double> association;  // HOTA association score, mean over the alphas
    // Per alpha (hota::kNumAlphas values per gt, row-major): the association score and the true
    // positives it averages over.
    std::vector<double> association_alphas;
    std::vector<double> tp_alphas;
};

struct PredTable {
    std::vector<Id> id;
    std::vector<std::int64_t> frames;
    std::vector<std::int64_t> matched;
    std::vector<std::int64_t> gt_covered;  // distinct gt ids it was matched to (CLEAR)
    std::vector<std::int64_t> idfp;
};

// Both tables list ids in order of first appearance.
struct TrackTables {
    GtTable gt;
    PredTable pred;
};

TrackTables track_tables(std::span<const Frame> frames, double threshold, Convention convention);
TrackTables track_tables_from_similarity(const SimFrames& frames, double threshold, Convention convention);

}  // namespace vestrim::events
