#include "core/hota.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/lsap.hpp"

namespace vestrim::hota {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Floor of the overlap denominators (strict) and of LocA's numerator and denominator.
constexpr double kTiny = 1e-10;
// Added to each alpha so that a similarity printed as the alpha itself still reaches it.
constexpr double kAlphaMargin = -1e-9;

inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// Open-addressing map from 64-bit keys to dense indices 0, 1, 2, ... in order of first insertion.
// Interns the gt and predicted ids, and numbers the pairs counted as true positives.
class DenseIndex {
public:
    DenseIndex() { slots_.assign(16, Slot{0, kNone}); }

    std::size_t size() const { return size_; }

    std::size_t intern(std::uint64_t key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.value == kNone) {
                if (2 * (size_ + 1) > slots_.size()) {
                    grow();
                    return intern(key);
                }
                slot = Slot{key, size_};
                return size_++;
            }
            if (slot.key == key) return slot.value;
        }
    }

private:
    struct Slot {
        std::uint64_t key;
        std::size_t value;  // kNone marks an empty slot
    };

    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{0, kNone});
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.value == kNone) continue;
            std::size_t i = mix(slot.key) & mask;
            while (slots_[i].value != kNone) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// The (gt index, pred index) pairs that got a non-zero overlap share in some frame, each with a
// dense pair id in order of first appearance. Every other pair has potential matches and global
// alignment 0.0, so the per-pair tables grow with the pairs that actually overlap, not with G x P.
// Each gt index keeps its own small open-addressing table keyed by pred index: the tables of the
// ids present in a frame are few and stay in cache from one frame to the next.
class PairIndex {
public:
    explicit PairIndex(std::size_t num_gt_ids) : rows_(num_gt_ids) {}

    std::size_t size() const { return size_; }

    // The pair's id, or kNone if it has none.
    std::size_t find(std::size_t gt, std::size_t pred) const {
        const Row& row = rows_[gt];
        if (row.entries.empty()) return kNone;
        const std::uint32_t tag = static_cast<std::uint32_t>(pred) + 1;
        const std::size_t mask = row.entries.size() - 1;
        for (std::size_t i = slot_of(pred, row.shift);; i = (i + 1) & mask) {
            const Entry& e = row.entries[i];
            if (e.tag == tag) return e.id;
            if (e.tag == 0) return kNone;
        }
    }

    // The pair's id, assigning the next one if the pair is new.
    std::size_t intern(std::size_t gt, std::size_t pred) {
        Row& row = rows_[gt];
        if (2 * (row.size + 1) > row.entries.size()) grow(row);
        const std::uint32_t tag = static_cast<std::uint32_t>(pred) + 1;
        const std::size_t mask = row.entries.size() - 1;
        for (std::size_t i = slot_of(pred, row.shift);; i = (i + 1) & mask) {
            Entry& e = row.entries[i];
            if (e.tag == tag) return e.id;
            if (e.tag == 0) {
                if (size_ == kMaxPairs) throw InternalError("hota: too many overlapping id pairs");
                e = Entry{tag, static_cast<std::uint32_t>(size_)};
                ++row.size;
                return size_++;
            }
        }
    }

    // Calls f(gt, pred, id) for every pair.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t g = 0; g < rows_.size(); ++g)
            for (const Entry& e : rows_[g].entries)
                if (e.tag != 0) f(g, static_cast<std::size_t>(e.tag - 1), static_cast<std::size_t>(e.id));
    }

    // Pred indices are stored as 32-bit tags (index + 1, 0 marking a free entry).
    static constexpr std::size_t kMaxPredIds = std::numeric_limits<std::uint32_t>::max() - 1;

private:
    static constexpr std::size_t kMaxPairs = std::numeric_limits<std::uint32_t>::max();

    struct Entry {
        std::uint32_t tag;
        std::uint32_t id;
    };
    struct Row {
        std::vector<Entry> entries;  // power-of-two size, at most half full
        std::size_t size = 0;
        unsigned shift = 64;
    };

    static std::size_t slot_of(std::size_t pred, unsigned shift) {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(pred) * 0x9e3779b97f4a7c15ULL) >> shift);
    }

    static void grow(Row& row) {
        const std::size_t capacity = row.entries.empty() ? 8 : row.entries.size() * 2;
        std::vector<Entry> old(capacity, Entry{0, 0});
        old.swap(row.entries);
        row.shift = static_cast<unsigned>(64 - std::countr_zero(capacity));
        const std::size_t mask = capacity - 1;
        for (const Entry& e : old) {
            if (e.tag == 0) continue;
            std::size_t i = slot_of(e.tag - 1, row.shift);
            while (row.entries[i].tag != 0) i = (i + 1) & mask;
            row.entries[i] = e;
        }
    }

    std::vector<Row> rows_;
    std::size_t size_ = 0;
};

// Box frames yield the IoU matrix of the frame, computed into one reused buffer.
// Similarity frames are read in place.
class SimFrameSource {
public:
    static constexpr bool kSparse = false;
    explicit SimFrameSource(std::span<const SimFrame> frames) : frames_(frames) {}
    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_[k].gt_ids; }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_[k].pred_ids; }
    const double* similarity(std::size_t k) const { return frames_[k].similarity; }

private:
    std::span<const SimFrame> frames_;
};

// Sparse similarity frames are read entry by entry where a pass only needs the non-zero cells, and
// otherwise laid out densely, one frame at a time, into a reused buffer.
class SparseFrameSource {
public:
    static constexpr bool kSparse = true;
    explicit SparseFrameSource(const sparse_sim::SparseSimFrames& frames) : frames_(frames) {}
    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_.gt_ids(k); }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_.pred_ids(k); }
    // Row-major gt x pred similarity of frame k; valid until the next call.
    const double* similarity(std::size_t k) {
        buffer_.resize(frames_.gt_ids(k).size() * frames_.pred_ids(k).size());
        frames_.densify(k, buffer_.data());
        return buffer_.data();
    }
    sparse_sim::SparseSimFrames::Row row(std::size_t k, std::size_t r) const { return frames_.row(k, r); }

private:
    const sparse_sim::SparseSimFrames& frames_;
    std::vector<double> buffer_;
};

// row_sum[r] = the sum of row r, left to right; col_sum[c] += each row's entry c, top to bottom.
// Four rows advance together so that the four running row sums overlap; every sum still adds its
// terms in the same order as the one-row loop. `col_sum` must start at zero.
void add_row_and_column_sums(const double* sim, std::size_t rows, std::size_t cols, double* row_sum,
                             double* col_sum) {
    std::size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
        const double* a = sim + r * cols;
        const double* b = a + cols;
        const double* c3 = b + cols;
        const double* d = c3 + cols;
        double sa = 0.0, sb = 0.0, sc = 0.0, sd = 0.0;
        for (std::size_t c = 0; c < cols; ++c) {
            sa += a[c];
            sb += b[c];
            sc += c3[c];
            sd += d[c];
            col_sum[c] = (((col_sum[c] + a[c]) + b[c]) + c3[c]) + d[c];
        }
        row_sum[r] = sa;
        row_sum[r + 1] = sb;
        row_sum[r + 2] = sc;
        row_sum[r + 3] = sd;
    }
    for (; r < rows; ++r) {
        const double* row = sim + r * cols;
        double s = 0.0;
        for (std::size_t c = 0; c < cols; ++c) {
            s += row[c];
            col_sum[c] += row[c];
        }
        row_sum[r] = s;
    }
}

HotaMetrics degenerate_result(std::size_t num_frames, std::size_t num_gt, std::size_t num_pred,
                              Convention convention) {
    const auto grid = alphas(convention);
    HotaMetrics m;
    m.alphas.assign(grid.begin(), grid.end());
    m.hota_alphas.assign(kNumAlphas, 0.0);
    m.deta_alphas.assign(kNumAlphas, 0.0);
    m.assa_alphas.assign(kNumAlphas, 0.0);
    m.loca_alphas.assign(kNumAlphas, 1.0);
    m.hota_tp_alphas.assign(kNumAlphas, 0.0);
    m.hota_fn_alphas.assign(kNumAlphas, static_cast<double>(num_gt));
    m.hota_fp_alphas.assign(kNumAlphas, static_cast<double>(num_pred));
    m.ass_re_alphas.assign(kNumAlphas, 0.0);
    m.ass_pr_alphas.assign(kNumAlphas, 0.0);
    m.hota = m.deta = m.assa = 0.0;
    m.loca = 1.0;
    m.num_frames = num_frames;
    m.num_gt = num_gt;
    m.num_pred = num_pred;
    return m;
}

template <class Source>
HotaMetrics compute_hota_generic(Source& source, Convention convention, GtAssociation* per_gt = nullptr) {
    const std::size_t num_frames = source.size();

    // Id interning and per-id occurrence counts, frame by frame, gt then predicted ids. The dense
    // indices of every frame go into two flat arrays, frame after frame.
    DenseIndex gt_map;
    DenseIndex pred_map;
    std::size_t num_gt = 0;
    std::size_t num_pred = 0;
    for (std::size_t k = 0; k < num_frames; ++k) {
        num_gt += source.gt_ids(k).size();
        num_pred += source.pred_ids(k).size();
    }
    std::vector<std::size_t> gt_index;
    std::vector<std::size_t> pred_index;
    gt_index.reserve(num_gt);
    pred_index.reserve(num_pred);
    std::vector<double> gt_id_count;
    std::vector<double> pred_id_count;
    for (std::size_t k = 0; k < num_frames; ++k) {
        for (const Id id : source.gt_ids(k)) {
            const std::size_t g = gt_map.intern(static_cast<std::uint64_t>(id));
            if (g == gt_id_count.size()) {
                gt_id_count.push_back(0.0);
                if (per_gt != nullptr) per_gt->gt_ids.push_back(id);
            }
            gt_id_count[g] += 1.0;
            gt_index.push_back(g);
        }
        for (const Id id : source.pred_ids(k)) {
            const std::size_t p = pred_map.intern(static_cast<std::uint64_t>(id));
            if (p == pred_id_count.size()) pred_id_count.push_back(0.0);
            pred_id_count[p] += 1.0;
            pred_index.push_back(p);
        }
    }
    const std::size_t num_gt_ids = gt_id_count.size();
    const std::size_t num_pred_ids = pred_id_count.size();
    if (per_gt != nullptr) {
        per_gt->association.assign(num_gt_ids * kNumAlphas, 0.0);
        per_gt->true_positives.assign(num_gt_ids * kNumAlphas, 0.0);
    }

    if (num_pred_ids == 0) return degenerate_result(num_frames, num_gt, 0, convention);
    if (num_gt_ids == 0) return degenerate_result(num_frames, 0, num_pred, convention);

    // Walks the frames in order, handing each its dense gt and pred indices.
    auto for_each_frame = [&](auto&& visit) {
        std::size_t gt_off = 0;
        std::size_t pred_off = 0;
        interrupt::Meter meter;
        for (std::size_t k = 0; k < num_frames; ++k) {
            const std::size_t n_gt = source.gt_ids(k).size();
            const std::size_t n_pred = source.pred_ids(k).size();
            meter.add(1 + n_gt + n_pred + 2 * n_gt * n_pred);
            visit(k, std::span<const std::size_t>(gt_index.data() + gt_off, n_gt),
                  std::span<const std::size_t>(pred_index.data() + pred_off, n_pred));
            gt_off += n_gt;
            pred_off += n_pred;
        }
    };

    if (num_pred_ids > PairIndex::kMaxPredIds) throw InternalError("hota: too many predicted ids");
    PairIndex pairs(num_gt_ids);

    // First pass: each pair's summed per-frame overlap share. A zero share leaves the sum unchanged,
    // so only pairs with a non-zero share enter the index.
    std::vector<double> potential_matches;  // by pair id
    std::vector<double> row_sum;
    std::vector<double> col_sum;
    for_each_frame([&](std::size_t k, std::span<const std::size_t> gt, std::span<const std::size_t> pred) {
        const std::size_t n_gt = gt.size();
        const std::size_t n_pred = pred.size();
        if (n_gt == 0 || n_pred == 0) return;
        row_sum.assign(n_gt, 0.0);
        col_sum.assign(n_pred, 0.0);
        // Cells in row-major order; a zero similarity (either sign) has a zero share.
        auto share = [&](std::size_t r, std::size_t c, double value) {
            if (value == 0.0) return;
            const double denom = (row_sum[r] + col_sum[c]) - value;
            if (!(denom > kTiny)) return;
            const std::size_t id = pairs.intern(gt[r], pred[c]);
            if (id == potential_matches.size()) potential_matches.push_back(0.0);
            potential_matches[id] += value / denom;
        };
        if constexpr (Source::kSparse) {
            // Only the stored cells: the left-out ones are +0.0, whose share is zero and which leave
            // every row and column sum unchanged (a sum that starts at +0.0 is never -0.0, and
            // x + +0.0 == x for every other x), so the sums still add their terms in row-major order
            // and equal the dense ones bit for bit.
            for (std::size_t r = 0; r < n_gt; ++r) {
                const auto row = source.row(k, r);
                double sum = 0.0;
                for (std::size_t e = 0; e < row.size; ++e) {
                    sum += row.values[e];
                    col_sum[row.cols[e]] += row.values[e];
                }
                row_sum[r] = sum;
            }
            for (std::size_t r = 0; r < n_gt; ++r) {
                const auto row = source.row(k, r);
                for (std::size_t e = 0; e < row.size; ++e) share(r, row.cols[e], row.values[e]);
            }
        } else {
            const double* sim = source.similarity(k);
            add_row_and_column_sums(sim, n_gt, n_pred, row_sum.data(), col_sum.data());
            for (std::size_t r = 0; r < n_gt; ++r) {
                const double* row = sim + r * n_pred;
                for (std::size_t c = 0; c < n_pred; ++c) share(r, c, row[c]);
            }
        }
    });

    // Global alignment of each indexed pair, computed in place over its potential matches; every
    // pair outside the index has alignment 0.0. When all alignments are finite and carry no sign
    // bit, a zero similarity gives a weighted score equal to itself (+0 x +-0), so the second pass
    // looks up only the cells with a non-zero similarity.
    std::vector<double>& global_alignment = potential_matches;
    bool plain_alignment = true;
    pairs.for_each([&](std::size_t i, std::size_t j, std::size_t id) {
        const double potential = potential_matches[id];
        const double denom = (gt_id_count[i] + pred_id_count[j]) - potential;
        const double alignment = denom > kTiny ? potential / denom : 0.0;
        global_alignment[id] = alignment;
        if (!std::isfinite(alignment) || std::signbit(alignment)) plain_alignment = false;
    });

    // Second pass: weighted optimal matching per frame, counted at every alpha.
    std::array<double, kNumAlphas> thresholds;
    const auto grid = alphas(convention);
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        thresholds[a] = convention == Convention::Benchmark ? grid[a] - kBenchmarkEpsilon : grid[a] + kAlphaMargin;
    }

    std::array<double, kNumAlphas> hota_tp{};
    std::array<double, kNumAlphas> hota_fn{};
    std::array<double, kNumAlphas> hota_fp{};
    std::array<double, kNumAlphas> loca_sum{};

    // Pairs counted as a true positive at least once (at the lowest alpha, which every counted pair
    // reaches) get a slot holding their per-alpha match counts; all other pairs count zero.
    DenseIndex slot_of_pair;                                    // key gt * P + pred -> slot
    std::vector<std::pair<std::size_t, std::size_t>> slot_ids;  // (gt index, pred index)
    std::vector<double> matches_count;                          // kNumAlphas per slot

    std::vector<double> score;
    for_each_frame([&](std::size_t k, std::span<const std::size_t> gt, std::span<const std::size_t> pred) {
        const std::size_t n_gt = gt.size();
        const std::size_t n_pred = pred.size();
        if (n_gt == 0) {
            for (double& fp : hota_fp) fp += static_cast<double>(n_pred);
            return;
        }
        if (n_pred == 0) {
            for (double& fn : hota_fn) fn += static_cast<double>(n_gt);
            return;
        }
        auto weighted = [&](std::size_t r, std::size_t c, double value) {
            if (plain_alignment && value == 0.0) return value;
            const std::size_t id = pairs.find(gt[r], pred[c]);
            return (id == kNone ? 0.0 : global_alignment[id]) * value;
        };
        // The similarity of a cell, for the matched pairs.
        const double* sim = nullptr;
        auto similarity_at = [&](std::size_t r, std::size_t c) {
            if constexpr (Source::kSparse) {
                if (sim == nullptr) {
                    const auto row = source.row(k, r);
                    const std::uint32_t* end = row.cols + row.size;
                    const std::uint32_t* at = std::lower_bound(row.cols, end, static_cast<std::uint32_t>(c));
                    return at != end && *at == c ? row.values[at - row.cols] : 0.0;
                }
            }
            return sim[r * n_pred + c];
        };
        if (Source::kSparse && plain_alignment) {
            // Every left-out cell is +0.0 and keeps that score (see above), so only the stored
            // cells need weighting.
            if constexpr (Source::kSparse) {
                score.assign(n_gt * n_pred, 0.0);
                for (std::size_t r = 0; r < n_gt; ++r) {
                    const auto row = source.row(k, r);
                    double* out = score.data() + r * n_pred;
                    for (std::size_t e = 0; e < row.size; ++e) out[row.cols[e]] = weighted(r, row.cols[e], row.values[e]);
                }
            }
        } else {
            sim = source.similarity(k);
            score.resize(n_gt * n_pred);
            for (std::size_t r = 0; r < n_gt; ++r) {
                const double* row = sim + r * n_pred;
                double* out = score.data() + r * n_pred;
                for (std::size_t c = 0; c < n_pred; ++c) out[c] = weighted(r, c, row[c]);
            }
        }

        auto solved = lsap::solve(n_gt, n_pred, score.data(), true);
        if (!solved) throw InternalError("finite score matrix: " + std::string(lsap::to_string(solved.error())));
        const lsap::Assignment& assignment = *solved;

        std::array<std::size_t, kNumAlphas> matched{};
        for (std::size_t m = 0; m < assignment.rows.size(); ++m) {
            const std::size_t r = static_cast<std::size_t>(assignment.rows[m]);
            const std::size_t c = static_cast<std::size_t>(assignment.cols[m]);
            const double s = similarity_at(r, c);
            // The thresholds ascend, so the pair counts at a prefix of them.
            std::size_t reached = 0;
            while (reached < kNumAlphas && s >= thresholds[reached]) ++reached;
            for (std::size_t a = 0; a < reached; ++a) {
                loca_sum[a] += s;
                ++matched[a];
            }
            if (reached == 0) continue;
            const std::size_t slot = slot_of_pair.intern(static_cast<std::uint64_t>(gt[r]) * num_pred_ids + pred[c]);
            if (slot == slot_ids.size()) {
                slot_ids.emplace_back(gt[r], pred[c]);
                matches_count.resize(matches_count.size() + kNumAlphas, 0.0);
            }
            double* counts = matches_count.data() + slot * kNumAlphas;
            for (std::size_t a = 0; a < reached; ++a) counts[a] += 1.0;
        }
        for (std::size_t a = 0; a < kNumAlphas; ++a) {
            hota_tp[a] += static_cast<double>(matched[a]);
            hota_fn[a] += static_cast<double>(n_gt - matched[a]);
            hota_fp[a] += static_cast<double>(n_pred - matched[a]);
        }
    });

    // Association sums run over pairs in ascending (gt index, pred index) order.
    std::vector<std::size_t> slot_order(slot_ids.size());
    for (std::size_t s = 0; s < slot_order.size(); ++s) slot_order[s] = s;
    std::sort(slot_order.begin(), slot_order.end(),
              [&](std::size_t a, std::size_t b) { return slot_ids[a] < slot_ids[b]; });

    HotaMetrics m;
    m.alphas.assign(grid.begin(), grid.end());
    m.hota_alphas.resize(kNumAlphas);
    m.deta_alphas.resize(kNumAlphas);
    m.assa_alphas.resize(kNumAlphas);
    m.loca_alphas.resize(kNumAlphas);
    m.hota_tp_alphas.assign(hota_tp.begin(), hota_tp.end());
    m.hota_fn_alphas.assign(hota_fn.begin(), hota_fn.end());
    m.hota_fp_alphas.assign(hota_fp.begin(), hota_fp.end());
    m.ass_re_alphas.resize(kNumAlphas);
    m.ass_pr_alphas.resize(kNumAlphas);
    std::array<double, kNumAlphas> assa_sums{}, ass_re_sums{}, ass_pr_sums{};
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        double assa_sum = 0.0;
        double ass_re_sum = 0.0;
        double ass_pr_sum = 0.0;
        for (const std::size_t slot : slot_order) {
            const double matches = matches_count[slot * kNumAlphas + a];
            if (!(matches > 0.0)) continue;
            const double gt_count = gt_id_count[slot_ids[slot].first];
            const double pred_count = pred_id_count[slot_ids[slot].second];
            assa_sum += (matches / std::max(1.0, (gt_count + pred_count) - matches)) * matches;
            ass_re_sum += (matches / std::max(1.0, gt_count)) * matches;
            ass_pr_sum += (matches / std::max(1.0, pred_count)) * matches;
        }
        assa_sums[a] = assa_sum;
        ass_re_sums[a] = ass_re_sum;
        ass_pr_sums[a] = ass_pr_sum;
        if (per_gt != nullptr) {
            for (const std::size_t slot : slot_order) {
                const double matches = matches_count[slot * kNumAlphas + a];
                if (!(matches > 0.0)) continue;
                const auto [g, p] = slot_ids[slot];
                const double overlap = matches / std::max(1.0, (gt_id_count[g] + pred_id_count[p]) - matches);
                per_gt->association[g * kNumAlphas + a] += overlap * matches;
                per_gt->true_positives[g * kNumAlphas + a] += matches;
            }
        }
    }
    finalise(m, {hota_tp, hota_fn, hota_fp, assa_sums, ass_re_sums, ass_pr_sums, loca_sum});
    m.num_frames = num_frames;
    m.num_gt = num_gt;
    m.num_pred = num_pred;
    return m;
}

}  // namespace

void finalise(HotaMetrics& m, const AlphaSums& sums, bool plain_means) {
    m.hota_alphas.resize(kNumAlphas);
    m.deta_alphas.resize(kNumAlphas);
    m.assa_alphas.resize(kNumAlphas);
    m.loca_alphas.resize(kNumAlphas);
    m.ass_re_alphas.resize(kNumAlphas);
    m.ass_pr_alphas.resize(kNumAlphas);
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        const double tp = sums.tp[a];
        const double deta = tp / std::max(1.0, tp + sums.fn[a] + sums.fp[a]);
        const double d = std::max(1.0, tp);
        const double assa = sums.assa[a] / d;
        m.deta_alphas[a] = deta;
        m.assa_alphas[a] = assa;
        m.ass_re_alphas[a] = sums.ass_re[a] / d;
        m.ass_pr_alphas[a] = sums.ass_pr[a] / d;
        m.hota_alphas[a] = std::sqrt(deta * assa);
        m.loca_alphas[a] = std::max(kTiny, sums.loca[a]) / std::max(kTiny, tp);
    }
    const auto mean = [plain_means](std::span<const double> values) {
        if (!plain_means) return mean_over_alphas(values);
        double sum = 0.0;
        for (const double x : values) sum += x;
        return sum / static_cast<double>(values.size());
    };
    m.hota = mean(m.hota_alphas);
    m.deta = mean(m.deta_alphas);
    m.assa = mean(m.assa_alphas);
    m.loca = mean(m.loca_alphas);
}

std::array<double, kNumAlphas> alpha_grid() {
    std::array<double, kNumAlphas> grid;
    for (std::size_t k = 1; k <= kNumAlphas; ++k) grid[k - 1] = static_cast<double>(k) * 0.05;
    return grid;
}

// Compensated (Neumaier) sum of the per-alpha values in grid order, divided by their number. For
// this few values it equals the correctly rounded sum, so a constant curve has that constant as mean.
// `sum` itself is the plain left-to-right sum. The compensation is meaningless once a value or a
// partial sum is infinite (it computes inf - inf), so a result that is not finite is the plain sum's.
double mean_over_alphas(std::span<const double> values) {
    double sum = 0.0;
    double compensation = 0.0;
    for (const double x : values) {
        const double t = sum + x;
        if (std::fabs(sum) >= std::fabs(x))
            compensation += (sum - t) + x;
        else
            compensation += (x - t) + sum;
        sum = t;
    }
    const double count = static_cast<double>(values.size());
    const double mean = (sum + compensation) / count;
    return std::isfinite(mean) ? mean : sum / count;
}

std::array<double, kNumAlphas> benchmark_alpha_grid() {
    std::array<double, kNumAlphas> grid;
    for (std::size_t k = 0; k < kNumAlphas; ++k) grid[k] = 0.05 + static_cast<double>(k) * 0.05;
    return grid;
}

std::array<double, kNumAlphas> alphas(Convention convention) {
    return convention == Convention::Benchmark ? benchmark_alpha_grid() : alpha_grid();
}

HotaMetrics compute_hota(std::span<const Frame> frames, Convention convention) {
    // Both passes need every frame's IoU: each matrix is computed once and kept without its zeros.
    return compute_hota_from_sparse(sparse_sim::store_box_ious(frames, [](const Frame&, const double*) {}),
                                    convention);
}

HotaMetrics compute_hota_from_similarity(std::span<const SimFrame> frames, Convention convention) {
    SimFrameSource source(frames);
    return compute_hota_generic(source, convention);
}

HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames, Convention convention) {
    SparseFrameSource source(frames);
    return compute_hota_generic(source, convention);
}

HotaMetrics compute_hota_from_similarity(std::span<const SimFrame> frames, Convention convention,
                                         GtAssociation& per_gt) {
    SimFrameSource source(frames);
    return compute_hota_generic(source, convention, &per_gt);
}

HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames, Convention convention,
                                     GtAssociation& per_gt) {
    SparseFrameSource source(frames);
    return compute_hota_generic(source, convention, &per_gt);
}

}  // namespace vestrim::hota
