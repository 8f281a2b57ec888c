#include "core/accumulator_state.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"

namespace vestrim::accumulator {
namespace {

constexpr char kTag[4] = {'V', 'A', 'C', 'C'};
constexpr std::uint32_t kVersion = 1;

// Counts beyond any real sequence. Below them every sum the accumulators form (occurrence totals,
// the matcher's path lengths over pair counts) stays far from overflowing.
constexpr std::uint64_t kMaxOccurrences = std::uint64_t{1} << 53;
constexpr std::uint64_t kMaxPairTotal = std::uint64_t{1} << 53;
// A trajectory's counters are 32 bits wide and grow by one per occurrence: a restored record keeps
// 2^31 occurrences of room, so that no update can wrap them.
constexpr std::uint32_t kMaxTrackCount = std::uint32_t{1} << 31;

// Bytes of one saved record of each kind.
constexpr std::size_t kTrackBytes = 8 + 4 + 4 + 4 + 1 + 8 + 8 + 8;
constexpr std::size_t kIdCountBytes = 8 + 8;
constexpr std::size_t kPairBytes = 4 + 4 + 8;

// The saved state covers every field of a trajectory record: a new field must be saved and checked
// too (and the version raised), which this size is here to remind of. New state elsewhere in the
// accumulators is caught by the tests that continue a restored accumulator beside the original.
static_assert(sizeof(clear::GtTrack) == 40);

enum TrackFlags : std::uint8_t { kHasLastMatch = 1, kTracked = 2, kGapOpen = 4 };

class Writer {
public:
    void bytes(const char* data, std::size_t n) { out_.insert(out_.end(), data, data + n); }
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u32(std::uint32_t v) { little_endian(v, 4); }
    void u64(std::uint64_t v) { little_endian(v, 8); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void reserve(std::size_t n) { out_.reserve(n); }
    memory::LargeVector<char> take() { return std::move(out_); }

private:
    void little_endian(std::uint64_t v, int n) {
        for (int k = 0; k < n; ++k) out_.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
    }
    memory::LargeVector<char> out_;  // huge pages: a state of gigabytes is freed quickly
};

class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }
    bool bytes(char* out, std::size_t n) {
        if (remaining() < n) return false;
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool u8(std::uint8_t& v) {
        std::uint64_t x;
        if (!little_endian(x, 1)) return false;
        v = static_cast<std::uint8_t>(x);
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint64_t x;
        if (!little_endian(x, 4)) return false;
        v = static_cast<std::uint32_t>(x);
        return true;
    }
    bool u64(std::uint64_t& v) { return little_endian(v, 8); }
    bool i64(std::int64_t& v) {
        std::uint64_t x;
        if (!little_endian(x, 8)) return false;
        v = static_cast<std::int64_t>(x);
        return true;
    }
    bool f64(double& v) {
        std::uint64_t x;
        if (!little_endian(x, 8)) return false;
        v = std::bit_cast<double>(x);
        return true;
    }
    // A record count, refused when the records cannot all be there (so nothing is reserved for them).
    bool count(std::uint64_t& n, std::size_t record_bytes) { return u64(n) && n <= remaining() / record_bytes; }

private:
    bool little_endian(std::uint64_t& v, int n) {
        if (remaining() < static_cast<std::size_t>(n)) return false;
        v = 0;
        for (int k = 0; k < n; ++k)
            v |= std::uint64_t{static_cast<unsigned char>(data_[pos_ + static_cast<std::size_t>(k)])} << (8 * k);
        pos_ += static_cast<std::size_t>(n);
        return true;
    }
    std::string_view data_;
    std::size_t pos_ = 0;
};

Result<void> fail(const std::string& message) { return std::unexpected("accumulator state: " + message); }
Result<void> truncated() { return fail("truncated"); }

bool add_to(std::uint64_t& total, std::uint64_t value) { return !__builtin_add_overflow(total, value, &total); }

}  // namespace

// The friend of both accumulators that reads and writes their private state.
struct StateCodec {
    static void save(const Accumulator& acc, Writer& out);
    static Result<void> load(Reader& in, Accumulator& acc, Convention convention);
    static Result<void> load_clear(Reader& in, clear::ClearAccumulator& acc, Convention convention);
    static Result<void> load_identity(Reader& in, identity::IdentityAccumulator& acc);
    static Result<void> check_totals(const Accumulator& acc);
};

void StateCodec::save(const Accumulator& acc, Writer& out) {
    const identity::IdentityAccumulator& d = acc.identity;
    out.reserve(256 + acc.clear.state_.tracks().size() * kTrackBytes +
                (d.gt_counts_.size() + d.pred_counts_.size()) * kIdCountBytes + d.pair_counts_.size() * kPairBytes);
    interrupt::Meter meter;  // a state of millions of records takes a while to write
    out.bytes(kTag, sizeof kTag);
    out.u32(kVersion);
    out.f64(acc.iou_threshold);

    const clear::ClearAccumulator& c = acc.clear;
    out.u8(c.convention_ == Convention::Benchmark ? 1 : 0);
    out.u64(c.totals_.num_frames);
    out.u64(c.totals_.num_gt);
    out.u64(c.totals_.num_matches);
    out.u64(c.totals_.num_false_positives);
    out.u64(c.totals_.num_misses);
    out.u64(c.totals_.num_switches);
    out.f64(c.state_.motp_sum);
    out.u64(c.state_.frag_present_only);
    out.u64(c.state_.solved_frames);
    // Track records in index order; each record's gt id is found through the id index.
    const auto tracks = c.state_.tracks();
    std::vector<Id> track_ids(tracks.size());
    c.state_.index_.for_each([&](std::uint64_t id, std::uint64_t slot) { track_ids[slot - 1] = static_cast<Id>(id); });
    out.u64(tracks.size());
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        meter.add(kTrackBytes);
        const clear::GtTrack& t = tracks[k];
        out.i64(track_ids[k]);
        out.u32(t.present_count);
        out.u32(t.matched_count);
        out.u32(t.segment_count);
        out.u8(static_cast<std::uint8_t>((t.has_last_match ? kHasLastMatch : 0) | (t.tracked ? kTracked : 0) |
                                         (t.gap_open ? kGapOpen : 0)));
        out.i64(t.last_match);
        out.u64(t.last_matched_frame);
        out.u64(t.prior_matched_frame);
    }

    out.u64(d.num_frames_);
    const auto save_ids = [&](const identity::IdIndex& index, const std::vector<std::uint64_t>& counts) {
        std::vector<Id> ids(counts.size());
        index.for_each([&](std::uint64_t id, std::uint64_t slot) { ids[slot - 1] = static_cast<Id>(id); });
        out.u64(counts.size());
        for (std::size_t k = 0; k < counts.size(); ++k) {
            meter.add(kIdCountBytes);
            out.i64(ids[k]);
            out.u64(counts[k]);
        }
    };
    save_ids(d.gt_index_, d.gt_counts_);
    save_ids(d.pred_index_, d.pred_counts_);
    // Pairs sorted by key, so that equal states give equal bytes whatever the table's layout.
    memory::LargeVector<std::pair<std::uint64_t, std::uint64_t>> pairs;
    pairs.reserve(d.pair_counts_.size());
    d.pair_counts_.for_each([&](std::uint64_t key, std::uint64_t count) {
        meter.add(kPairBytes);
        pairs.emplace_back(key, count);
    });
    std::sort(pairs.begin(), pairs.end(), [&](const auto& a, const auto& b) {
        meter.add(1);
        return a < b;
    });
    out.u64(pairs.size());
    for (const auto& [key, count] : pairs) {
        meter.add(kPairBytes);
        out.u32(static_cast<std::uint32_t>(key >> 32));
        out.u32(static_cast<std::uint32_t>(key & 0xffffffffu));
        out.u64(count);
    }
}

Result<void> StateCodec::load_clear(Reader& in, clear::ClearAccumulator& acc, Convention convention) {
    clear::ClearMetrics& totals = acc.totals_;
    clear::TrackState& state = acc.state_;
    std::uint64_t num_tracks = 0;
    std::uint8_t saved_convention = 0;
    if (!in.u8(saved_convention)) return truncated();
    if (saved_convention != (convention == Convention::Benchmark ? 1 : 0)) return fail("another CLEAR convention");
    acc.convention_ = convention;
    if (!in.u64(totals.num_frames) || !in.u64(totals.num_gt) || !in.u64(totals.num_matches) ||
        !in.u64(totals.num_false_positives) || !in.u64(totals.num_misses) || !in.u64(totals.num_switches) ||
        !in.f64(state.motp_sum) || !in.u64(state.frag_present_only) || !in.u64(state.solved_frames) ||
        !in.count(num_tracks, kTrackBytes))
        return truncated();
    if (num_tracks > UINT32_MAX) return fail("too many ground-truth ids");

    std::uint64_t present_total = 0;
    std::uint64_t matched_total = 0;
    interrupt::Meter meter;  // a state of millions of records takes a while to read
    for (std::uint64_t k = 0; k < num_tracks; ++k) {
        meter.add(kTrackBytes);
        Id id = 0;
        clear::GtTrack t;
        std::uint8_t flags = 0;
        if (!in.i64(id) || !in.u32(t.present_count) || !in.u32(t.matched_count) || !in.u32(t.segment_count) ||
            !in.u8(flags) || !in.i64(t.last_match) || !in.u64(t.last_matched_frame) ||
            !in.u64(t.prior_matched_frame))
            return truncated();
        if (state.track_index(id) != k) return fail("ground-truth id " + std::to_string(id) + " listed twice");
        if (flags & ~(kHasLastMatch | kTracked | kGapOpen)) return fail("unknown trajectory flags");
        t.has_last_match = flags & kHasLastMatch;
        t.tracked = flags & kTracked;
        t.gap_open = flags & kGapOpen;
        // What every update keeps true of a trajectory record.
        const bool matched = t.matched_count > 0;
        const bool consistent =
            t.present_count > 0 && t.present_count <= kMaxTrackCount && t.matched_count <= t.present_count && t.segment_count <= t.matched_count &&
            (t.segment_count > 0) == matched && t.has_last_match == matched && t.tracked == matched &&
            (!t.gap_open || matched) &&
            (matched ? t.last_matched_frame < state.solved_frames
                     : t.last_matched_frame == clear::GtTrack::kNever && t.last_match == 0) &&
            (t.prior_matched_frame == clear::GtTrack::kNever ||
             (matched && t.prior_matched_frame < t.last_matched_frame));
        if (!consistent) return fail("inconsistent record for ground-truth id " + std::to_string(id));
        state.track(static_cast<std::uint32_t>(k)) = t;
        present_total += t.present_count;  // at most 2^32 records of 32-bit counts: no overflow
        matched_total += t.matched_count;
    }

    std::uint64_t gt_total = totals.num_matches;
    if (totals.num_gt > kMaxOccurrences || totals.num_frames > kMaxOccurrences ||
        totals.num_false_positives > kMaxOccurrences)
        return fail("counts out of range");
    if (!add_to(gt_total, totals.num_misses) || gt_total != totals.num_gt || present_total != totals.num_gt ||
        matched_total != totals.num_matches || totals.num_switches > totals.num_matches ||
        state.frag_present_only > totals.num_matches || state.solved_frames > totals.num_frames)
        return fail("inconsistent CLEAR totals");
    return {};
}

Result<void> StateCodec::load_identity(Reader& in, identity::IdentityAccumulator& acc) {
    if (!in.u64(acc.num_frames_)) return truncated();
    interrupt::Meter meter;  // a state of millions of records takes a while to read
    const auto load_ids = [&](identity::IdIndex& index, std::vector<std::uint64_t>& counts,
                              std::uint64_t& total) -> Result<void> {
        std::uint64_t n = 0;
        if (!in.count(n, kIdCountBytes)) return truncated();
        if (n > UINT32_MAX) return fail("too many ids");
        counts.reserve(n);
        index.reserve(n, &meter);
        total = 0;
        for (std::uint64_t k = 0; k < n; ++k) {
            meter.add(kIdCountBytes);
            Id id = 0;
            std::uint64_t count = 0;
            if (!in.i64(id) || !in.u64(count)) return truncated();
            if (identity::intern(index, counts, id) != k) return fail("id " + std::to_string(id) + " listed twice");
            if (count == 0 || !add_to(total, count) || total > kMaxOccurrences)
                return fail("id count out of range");
            counts[k] = count;
        }
        return {};
    };
    std::uint64_t gt_total = 0;
    std::uint64_t pred_total = 0;
    if (auto r = load_ids(acc.gt_index_, acc.gt_counts_, gt_total); !r) return r;
    if (auto r = load_ids(acc.pred_index_, acc.pred_counts_, pred_total); !r) return r;

    std::uint64_t num_pairs = 0;
    if (!in.count(num_pairs, kPairBytes)) return truncated();
    acc.pair_counts_.reserve(num_pairs, &meter);  // the records are there, so the table is bounded by them
    std::uint64_t pair_total = 0;
    for (std::uint64_t k = 0; k < num_pairs; ++k) {
        meter.add(4 * kPairBytes);  // a hash insertion each
        std::uint32_t gt = 0;
        std::uint32_t pred = 0;
        std::uint64_t count = 0;
        if (!in.u32(gt) || !in.u32(pred) || !in.u64(count)) return truncated();
        if (gt >= acc.gt_counts_.size() || pred >= acc.pred_counts_.size()) return fail("pair of unknown ids");
        // A pair is counted once per co-occurrence of its two ids, so it cannot outnumber the product
        // of their occurrences.
        std::uint64_t bound = 0;
        if (count == 0 || !add_to(pair_total, count) || pair_total > kMaxPairTotal ||
            (!__builtin_mul_overflow(acc.gt_counts_[gt], acc.pred_counts_[pred], &bound) && count > bound))
            return fail("pair count out of range");
        const auto [stored, inserted] = acc.pair_counts_.try_emplace(identity::IdentityAccumulator::pair_key(gt, pred), count);
        if (!inserted) return fail("pair listed twice");
    }
    return {};
}

Result<void> StateCodec::check_totals(const Accumulator& acc) {
    // Both accumulators took every frame, so they agree on frames and occurrences.
    const clear::ClearMetrics& totals = acc.clear.totals_;
    std::uint64_t gt_total = 0;
    std::uint64_t pred_total = 0;
    for (std::uint64_t c : acc.identity.gt_counts_) gt_total += c;
    for (std::uint64_t c : acc.identity.pred_counts_) pred_total += c;
    if (acc.identity.num_frames_ != totals.num_frames || gt_total != totals.num_gt ||
        pred_total != totals.num_matches + totals.num_false_positives ||
        acc.identity.gt_counts_.size() != acc.clear.state_.tracks().size())
        return fail("CLEAR and Identity disagree");
    // ... and on which ground-truth ids occurred, and how often.
    const auto tracks = acc.clear.state_.tracks();
    bool same_ids = true;
    acc.clear.state_.index_.for_each([&](std::uint64_t id, std::uint64_t slot) {
        const std::uint64_t* index = acc.identity.gt_index_.find(id);
        same_ids = same_ids && index != nullptr && acc.identity.gt_counts_[*index - 1] == tracks[slot - 1].present_count;
    });
    if (!same_ids) return fail("CLEAR and Identity disagree");
    return {};
}

Result<void> StateCodec::load(Reader& in, Accumulator& acc, Convention convention) {
    char tag[sizeof kTag];
    std::uint32_t version = 0;
    if (!in.bytes(tag, sizeof tag) || std::memcmp(tag, kTag, sizeof tag) != 0) return fail("not an accumulator state");
    if (!in.u32(version)) return truncated();
    if (version != kVersion) return fail("unsupported version " + std::to_string(version));
    if (!in.f64(acc.iou_threshold)) return truncated();
    if (auto r = load_clear(in, acc.clear, convention); !r) return r;
    if (auto r = load_identity(in, acc.identity); !r) return r;
    if (in.remaining() != 0) return fail(std::to_string(in.remaining()) + " unexpected trailing bytes");
    return check_totals(acc);
}

memory::LargeVector<char> save_state(const Accumulator& acc) {
    Writer out;
    StateCodec::save(acc, out);
    return out.take();
}

Result<Accumulator> load_state(std::string_view bytes, Convention convention) {
    Reader in(bytes);
    Accumulator acc;
    if (auto r = StateCodec::load(in, acc, convention); !r) return std::unexpected(std::move(r.error()));
    return acc;
}

}  // namespace vestrim::accumulator
