#include "core/hota.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <utility>

#include "core/id_hash.hpp"
#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/memory.hpp"
#include "core/lsap.hpp"
#include "core/parallel.hpp"
#include "core/psum.hpp"

namespace vestrim::hota {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Floor of the overlap denominators (strict) and of LocA's numerator and denominator.
constexpr double kTiny = 1e-10;
// Added to each alpha so that a similarity printed as the alpha itself still reaches it.
constexpr double kAlphaMargin = -1e-9;

// Open-addressing map from 64-bit keys to dense indices 0, 1, 2, ... in order of first insertion.
// Interns the gt and predicted ids, and numbers the pairs counted as true positives.
class DenseIndex {
public:
    DenseIndex() { slots_.assign(16, Slot{0, kNone}); }

    std::size_t size() const { return size_; }

    std::size_t intern(std::uint64_t key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
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

    std::size_t slot_of(std::uint64_t key, std::size_t mask) const {
        return static_cast<std::size_t>(id_hash::keyed(key, hash_key_)) & mask;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{0, kNone});
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.value == kNone) continue;
            std::size_t i = slot_of(slot.key, mask);
            while (slots_[i].value != kNone) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::uint64_t hash_key_ = id_hash::process_key();
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

// The work of looking up or interning one pair (a hash probe, often a cache miss), in meter units.
constexpr std::uint64_t kPairWork = 64;

// Similarity frames are read in place, or laid out into the caller's buffer (see SimFrames).
class SimFrameSource {
public:
    static constexpr bool kSparse = false;
    explicit SimFrameSource(const SimFrames& frames) : frames_(frames) {}
    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_.gt_ids(k); }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_.pred_ids(k); }
    const double* similarity(std::size_t k, SimFrames::Buffer& buffer) const {
        return frames_.frame(k, buffer).similarity;
    }

private:
    SimFrames frames_;
};

// Sparse similarity frames are read entry by entry where a pass only needs the non-zero cells, and
// otherwise laid out densely, one frame at a time, into the caller's buffer.
class SparseFrameSource {
public:
    static constexpr bool kSparse = true;
    explicit SparseFrameSource(const sparse_sim::SparseSimFrames& frames) : frames_(frames) {}
    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_.gt_ids(k); }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_.pred_ids(k); }
    // Row-major gt x pred similarity of frame k, laid out in `buffer`.
    const double* similarity(std::size_t k, SimFrames::Buffer& buffer) const {
        buffer.resize(frames_.gt_ids(k).size() * frames_.pred_ids(k).size());
        frames_.densify(k, buffer.data());
        return buffer.data();
    }
    sparse_sim::SparseSimFrames::Row row(std::size_t k, std::size_t r) const { return frames_.row(k, r); }
    double at(std::size_t k, std::size_t r, std::size_t c) const { return frames_.at(k, r, c); }

private:
    const sparse_sim::SparseSimFrames& frames_;
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

// One matched pair of a frame's optimal matching: its dense ids, its similarity and the number of
// alphas (a prefix of the ascending thresholds) at which it counts.
struct FrameMatch {
    std::size_t gt;
    std::size_t pred;
    double similarity;
    std::size_t reached;
};

// The two passes over one source. `align` interns the ids, runs the first pass and computes the
// global alignment (one thread: its sums run in frame order); `match` solves every frame's
// weighted matching (frames are independent once the alignment is known, so on up to `threads`
// threads) and folds the matchings into the counts in frame order, so that every sum adds its
// terms in the same order whatever the number of threads.
template <class Source>
class Passes final : public TwoPass::Impl {
public:
    Passes(Source source, Convention convention, GtAssociation* per_gt = nullptr)
        : source_(std::move(source)), convention_(convention), per_gt_(per_gt) {}

    void align() override;
    HotaMetrics match(std::size_t threads) override;
    void solve_frames() override;
    HotaMetrics finish() override;

private:
    // Per-thread scratch of the second pass.
    struct Scratch {
        memory::LargeVector<double> score;
        bool score_zero = true;   // every entry of `score` is +0.0 (between sparse frames)
        SimFrames::Buffer dense;  // a frame laid out densely
        interrupt::Meter meter;
    };

    // Walks the frames in order, handing each its dense gt and pred indices.
    template <class Visit>
    void for_each_frame(Visit&& visit) {
        interrupt::Meter meter;
        for (std::size_t k = 0; k < num_frames_; ++k) {
            const auto gt = frame_gt(k);
            const auto pred = frame_pred(k);
            meter.add(1 + gt.size() + pred.size() + 2 * gt.size() * pred.size());
            visit(k, gt, pred);
        }
    }
    std::span<const std::size_t> frame_gt(std::size_t k) const {
        return {gt_index_.data() + gt_offset_[k], gt_offset_[k + 1] - gt_offset_[k]};
    }
    std::span<const std::size_t> frame_pred(std::size_t k) const {
        return {pred_index_.data() + pred_offset_[k], pred_offset_[k + 1] - pred_offset_[k]};
    }

    // Marks the first pass done: from now on solve_frames() may run.
    void publish_alignment();

    // Frame k's optimal matching under the global alignment, into `out` (cleared first).
    void solve_frame(std::size_t k, Scratch& scratch, std::vector<FrameMatch>& out) const;
    // Adds one frame's matching (of a frame with n_gt and n_pred ids) to the counts.
    void fold_frame(std::size_t n_gt, std::size_t n_pred, std::span<const FrameMatch> matched);
    HotaMetrics summary() const;

    Source source_;
    Convention convention_;
    GtAssociation* per_gt_ = nullptr;  // per-gt association wanted (event tables), or none
    std::size_t num_frames_ = 0;
    std::size_t num_gt_ = 0;
    std::size_t num_pred_ = 0;
    bool degenerate_ = false;

    // Dense indices of every frame's ids, frame after frame; frame k's are [offset[k], offset[k + 1]).
    std::vector<std::size_t> gt_index_;
    std::vector<std::size_t> pred_index_;
    std::vector<std::size_t> gt_offset_;
    std::vector<std::size_t> pred_offset_;
    std::vector<double> gt_id_count_;
    std::vector<double> pred_id_count_;

    // The second pass when shared out: each thread takes the next frame not yet taken and keeps
    // its matching; whichever thread gets `fold_mutex_` folds the frames solved so far, in frame
    // order from `folded_` on, and finish() folds what is left.
    std::atomic<bool> aligned_{false};
    std::atomic<std::size_t> next_frame_{0};
    std::vector<std::vector<FrameMatch>> frame_matches_;
    std::unique_ptr<std::atomic<bool>[]> solved_;
    std::mutex fold_mutex_;
    std::size_t folded_ = 0;
    void fold_solved();

    std::optional<PairIndex> pairs_;
    memory::LargeVector<double> global_alignment_;  // by pair id
    bool plain_alignment_ = true;

    std::array<double, kNumAlphas> thresholds_{};
    std::array<double, kNumAlphas> hota_tp_{};
    std::array<double, kNumAlphas> hota_fn_{};
    std::array<double, kNumAlphas> hota_fp_{};
    std::array<double, kNumAlphas> loca_sum_{};

    // Pairs counted as a true positive at least once (at the lowest alpha, which every counted pair
    // reaches) get a slot holding their per-alpha match counts; all other pairs count zero.
    DenseIndex slot_of_pair_;                                    // key gt * P + pred -> slot
    std::vector<std::pair<std::size_t, std::size_t>> slot_ids_;  // (gt index, pred index)
    std::vector<double> matches_count_;                          // kNumAlphas per slot
};

template <class Source>
void Passes<Source>::align() {
    num_frames_ = source_.size();

    // Id interning and per-id occurrence counts, frame by frame, gt then predicted ids.
    DenseIndex gt_map;
    DenseIndex pred_map;
    gt_offset_.assign(num_frames_ + 1, 0);
    pred_offset_.assign(num_frames_ + 1, 0);
    for (std::size_t k = 0; k < num_frames_; ++k) {
        gt_offset_[k + 1] = gt_offset_[k] + source_.gt_ids(k).size();
        pred_offset_[k + 1] = pred_offset_[k] + source_.pred_ids(k).size();
    }
    num_gt_ = gt_offset_[num_frames_];
    num_pred_ = pred_offset_[num_frames_];
    gt_index_.reserve(num_gt_);
    pred_index_.reserve(num_pred_);
    for (std::size_t k = 0; k < num_frames_; ++k) {
        for (const Id id : source_.gt_ids(k)) {
            const std::size_t g = gt_map.intern(static_cast<std::uint64_t>(id));
            if (g == gt_id_count_.size()) {
                gt_id_count_.push_back(0.0);
                if (per_gt_ != nullptr) per_gt_->gt_ids.push_back(id);
            }
            gt_id_count_[g] += 1.0;
            gt_index_.push_back(g);
        }
        for (const Id id : source_.pred_ids(k)) {
            const std::size_t p = pred_map.intern(static_cast<std::uint64_t>(id));
            if (p == pred_id_count_.size()) pred_id_count_.push_back(0.0);
            pred_id_count_[p] += 1.0;
            pred_index_.push_back(p);
        }
    }
    const std::size_t num_gt_ids = gt_id_count_.size();
    const std::size_t num_pred_ids = pred_id_count_.size();
    if (per_gt_ != nullptr) {
        per_gt_->association.assign(num_gt_ids * kNumAlphas, 0.0);
        per_gt_->true_positives.assign(num_gt_ids * kNumAlphas, 0.0);
    }
    if (num_gt_ids == 0 || num_pred_ids == 0) {
        degenerate_ = true;
        publish_alignment();
        return;
    }

    if (num_pred_ids > PairIndex::kMaxPredIds) throw InternalError("hota: too many predicted ids");
    pairs_.emplace(num_gt_ids);
    PairIndex& pairs = *pairs_;

    // First pass: each pair's summed per-frame overlap share. A zero share leaves the sum unchanged,
    // so only pairs with a non-zero share enter the index.
    // Each frame's share denominators: the row sum plus the column sum minus the cell. Column sums
    // add top to bottom; row sums left to right under the module's rules, and in the benchmarks'
    // pairwise order under theirs: a last-bit difference in an alignment can flip a tie between
    // equally good matchings in the second pass, so the order is part of the result.
    const bool pairwise_rows = convention_ == Convention::Benchmark;
    memory::LargeVector<double> potential_matches;  // by pair id
    std::vector<double> row_sum;
    std::vector<double> col_sum;
    interrupt::Meter rows_meter;  // a large frame takes long: its rows are counted as they go
    std::vector<double> dense_row;
    SimFrames::Buffer dense;
    for_each_frame([&](std::size_t k, std::span<const std::size_t> gt, std::span<const std::size_t> pred) {
        const std::size_t n_gt = gt.size();
        const std::size_t n_pred = pred.size();
        if (n_gt == 0 || n_pred == 0) return;
        row_sum.assign(n_gt, 0.0);
        col_sum.assign(n_pred, 0.0);
        // Cells in row-major order; a zero similarity (either sign) has a zero share.
        auto share = [&](std::size_t r, std::size_t c, double value) {
            if (value == 0.0) return;
            rows_meter.add(kPairWork);
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
                const auto row = source_.row(k, r);
                double sum = 0.0;
                for (std::size_t e = 0; e < row.size; ++e) {
                    sum += row.values[e];
                    col_sum[row.cols[e]] += row.values[e];
                }
                row_sum[r] = sum;
            }
            if (pairwise_rows) {
                // The pairwise sum groups by position, so it needs the whole row, zeros included.
                dense_row.assign(n_pred, 0.0);
                for (std::size_t r = 0; r < n_gt; ++r) {
                    const auto row = source_.row(k, r);
                    for (std::size_t e = 0; e < row.size; ++e) dense_row[row.cols[e]] = row.values[e];
                    row_sum[r] = psum::pairwise_sum(dense_row.data(), n_pred);
                    for (std::size_t e = 0; e < row.size; ++e) dense_row[row.cols[e]] = 0.0;
                }
            }
            for (std::size_t r = 0; r < n_gt; ++r) {
                const auto row = source_.row(k, r);
                rows_meter.add(2 * row.size);
                memory::make_room(potential_matches, row.size, rows_meter);
                for (std::size_t e = 0; e < row.size; ++e) share(r, row.cols[e], row.values[e]);
            }
        } else {
            const double* sim = source_.similarity(k, dense);
            // In blocks of rows: the column sums still add top to bottom.
            constexpr std::size_t kBlockRows = 256;
            for (std::size_t r = 0; r < n_gt; r += kBlockRows) {
                const std::size_t rows = std::min(kBlockRows, n_gt - r);
                rows_meter.add(rows * n_pred);
                add_row_and_column_sums(sim + r * n_pred, rows, n_pred, row_sum.data() + r, col_sum.data());
            }
            if (pairwise_rows) {
                for (std::size_t r = 0; r < n_gt; ++r) {
                    rows_meter.add(n_pred);
                    row_sum[r] = psum::pairwise_sum(sim + r * n_pred, n_pred);
                }
            }
            for (std::size_t r = 0; r < n_gt; ++r) {
                const double* row = sim + r * n_pred;
                rows_meter.add(2 * n_pred);
                memory::make_room(potential_matches, n_pred, rows_meter);
                for (std::size_t c = 0; c < n_pred; ++c) share(r, c, row[c]);
            }
        }
    });

    // Global alignment of each indexed pair, computed in place over its potential matches; every
    // pair outside the index has alignment 0.0. When all alignments are finite and carry no sign
    // bit, a zero similarity gives a weighted score equal to itself (+0 x +-0), so the second pass
    // looks up only the cells with a non-zero similarity.
    global_alignment_ = std::move(potential_matches);
    pairs.for_each([&](std::size_t i, std::size_t j, std::size_t id) {
        rows_meter.add(16);
        const double potential = global_alignment_[id];
        const double denom = (gt_id_count_[i] + pred_id_count_[j]) - potential;
        const double alignment = denom > kTiny ? potential / denom : 0.0;
        global_alignment_[id] = alignment;
        if (!std::isfinite(alignment) || std::signbit(alignment)) plain_alignment_ = false;
    });
    publish_alignment();
}

template <class Source>
void Passes<Source>::publish_alignment() {
    const auto grid = alphas(convention_);
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        thresholds_[a] = convention_ == Convention::Benchmark ? grid[a] - kBenchmarkEpsilon : grid[a] + kAlphaMargin;
    }
    if (!degenerate_) {
        frame_matches_.resize(num_frames_);
        solved_ = std::make_unique<std::atomic<bool>[]>(num_frames_);  // value-initialised: false
    }
    aligned_.store(true, std::memory_order_release);
}

template <class Source>
void Passes<Source>::solve_frames() {
    // The first pass may still run on another thread; a stop asked meanwhile ends the wait.
    while (!aligned_.load(std::memory_order_acquire)) {
        interrupt::poll_now();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (degenerate_) return;
    Scratch scratch;
    for (std::size_t k; (k = next_frame_.fetch_add(1, std::memory_order_relaxed)) < num_frames_;) {
        const std::size_t n_gt = frame_gt(k).size();
        const std::size_t n_pred = frame_pred(k).size();
        scratch.meter.add(1 + n_gt + n_pred + 2 * n_gt * n_pred);
        solve_frame(k, scratch, frame_matches_[k]);
        solved_[k].store(true, std::memory_order_release);
        if (fold_mutex_.try_lock()) {
            const std::lock_guard lock(fold_mutex_, std::adopt_lock);
            fold_solved();
        }
    }
}

template <class Source>
void Passes<Source>::fold_solved() {
    for (; folded_ < num_frames_ && solved_[folded_].load(std::memory_order_acquire); ++folded_) {
        fold_frame(frame_gt(folded_).size(), frame_pred(folded_).size(), frame_matches_[folded_]);
        std::vector<FrameMatch>().swap(frame_matches_[folded_]);
    }
}

template <class Source>
HotaMetrics Passes<Source>::finish() {
    if (degenerate_) {
        return pred_id_count_.empty() ? degenerate_result(num_frames_, num_gt_, 0, convention_)
                                      : degenerate_result(num_frames_, 0, num_pred_, convention_);
    }
    fold_solved();
    if (folded_ != num_frames_) throw InternalError("hota: a frame was left unsolved");
    return summary();
}

template <class Source>
void Passes<Source>::solve_frame(std::size_t k, Scratch& scratch, std::vector<FrameMatch>& out) const {
    out.clear();
    const auto gt = frame_gt(k);
    const auto pred = frame_pred(k);
    const std::size_t n_gt = gt.size();
    const std::size_t n_pred = pred.size();
    if (n_gt == 0 || n_pred == 0) return;
    const PairIndex& pairs = *pairs_;
    auto weighted = [&](std::size_t r, std::size_t c, double value) {
        if (plain_alignment_ && value == 0.0) return value;
        const std::size_t id = pairs.find(gt[r], pred[c]);
        return (id == kNone ? 0.0 : global_alignment_[id]) * value;
    };
    // The similarity of a cell, for the matched pairs.
    const double* sim = nullptr;
    auto similarity_at = [&](std::size_t r, std::size_t c) {
        if constexpr (Source::kSparse) {
            if (sim == nullptr) return source_.at(k, r, c);
        }
        return sim[r * n_pred + c];
    };
    memory::LargeVector<double>& score = scratch.score;
    if (Source::kSparse && plain_alignment_) {
        // Every left-out cell is +0.0 and keeps that score (see above), so only the stored cells
        // need weighting.
        if constexpr (Source::kSparse) {
            // The buffer is kept at +0.0 from one frame to the next: only the stored cells are
            // written, and put back to +0.0 once the frame is solved.
            if (!scratch.score_zero) score.clear();  // refilled with +0.0 below
            if (score.size() < n_gt * n_pred) memory::resize_in_pieces(score, n_gt * n_pred, &scratch.meter);
            scratch.score_zero = false;
            for (std::size_t r = 0; r < n_gt; ++r) {
                const auto row = source_.row(k, r);
                double* line = score.data() + r * n_pred;
                for (std::size_t e = 0; e < row.size; ++e) line[row.cols[e]] = weighted(r, row.cols[e], row.values[e]);
                scratch.meter.add(kPairWork * row.size);
            }
        }
    } else {
        scratch.score_zero = false;
        sim = source_.similarity(k, scratch.dense);
        memory::resize_in_pieces(score, n_gt * n_pred, &scratch.meter);
        for (std::size_t r = 0; r < n_gt; ++r) {
            const double* row = sim + r * n_pred;
            double* line = score.data() + r * n_pred;
            for (std::size_t c = 0; c < n_pred; ++c) line[c] = weighted(r, c, row[c]);
            scratch.meter.add(kPairWork * n_pred);  // at most a lookup per cell
        }
    }

    auto solved = lsap::solve(n_gt, n_pred, score.data(), true);
    if (!solved) throw InternalError("finite score matrix: " + std::string(lsap::to_string(solved.error())));
    if constexpr (Source::kSparse) {
        if (plain_alignment_) {
            for (std::size_t r = 0; r < n_gt; ++r) {
                const auto row = source_.row(k, r);
                double* line = score.data() + r * n_pred;
                for (std::size_t e = 0; e < row.size; ++e) line[row.cols[e]] = 0.0;
            }
            scratch.score_zero = true;
        }
    }
    const lsap::Assignment& assignment = *solved;
    for (std::size_t m = 0; m < assignment.rows.size(); ++m) {
        const std::size_t r = static_cast<std::size_t>(assignment.rows[m]);
        const std::size_t c = static_cast<std::size_t>(assignment.cols[m]);
        const double s = similarity_at(r, c);
        // The thresholds ascend, so the pair counts at a prefix of them.
        std::size_t reached = 0;
        while (reached < kNumAlphas && s >= thresholds_[reached]) ++reached;
        out.push_back(FrameMatch{gt[r], pred[c], s, reached});
    }
}

template <class Source>
void Passes<Source>::fold_frame(std::size_t n_gt, std::size_t n_pred, std::span<const FrameMatch> matched_pairs) {
    if (n_gt == 0) {
        for (double& fp : hota_fp_) fp += static_cast<double>(n_pred);
        return;
    }
    if (n_pred == 0) {
        for (double& fn : hota_fn_) fn += static_cast<double>(n_gt);
        return;
    }
    const std::size_t num_pred_ids = pred_id_count_.size();
    std::array<std::size_t, kNumAlphas> matched{};
    for (const FrameMatch& pair : matched_pairs) {
        for (std::size_t a = 0; a < pair.reached; ++a) {
            loca_sum_[a] += pair.similarity;
            ++matched[a];
        }
        if (pair.reached == 0) continue;
        const std::size_t slot = slot_of_pair_.intern(static_cast<std::uint64_t>(pair.gt) * num_pred_ids + pair.pred);
        if (slot == slot_ids_.size()) {
            slot_ids_.emplace_back(pair.gt, pair.pred);
            matches_count_.resize(matches_count_.size() + kNumAlphas, 0.0);
        }
        double* counts = matches_count_.data() + slot * kNumAlphas;
        for (std::size_t a = 0; a < pair.reached; ++a) counts[a] += 1.0;
    }
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        hota_tp_[a] += static_cast<double>(matched[a]);
        hota_fn_[a] += static_cast<double>(n_gt - matched[a]);
        hota_fp_[a] += static_cast<double>(n_pred - matched[a]);
    }
}

template <class Source>
HotaMetrics Passes<Source>::match(std::size_t threads) {
    // Second pass: weighted optimal matching per frame, counted at every alpha.
    if (degenerate_) return finish();
    if (std::min(threads, num_frames_) <= 1) {
        Scratch scratch;
        std::vector<FrameMatch> matched;
        for_each_frame([&](std::size_t k, std::span<const std::size_t> gt, std::span<const std::size_t> pred) {
            solve_frame(k, scratch, matched);
            fold_frame(gt.size(), pred.size(), matched);
        });
        return summary();
    }
    parallel::for_each_index(threads, threads, [&](std::size_t, std::size_t) { solve_frames(); });
    return finish();
}

template <class Source>
HotaMetrics Passes<Source>::summary() const {
    // Association sums run over pairs in ascending (gt index, pred index) order.
    std::vector<std::size_t> slot_order(slot_ids_.size());
    for (std::size_t s = 0; s < slot_order.size(); ++s) slot_order[s] = s;
    interrupt::Meter meter;  // millions of pairs take a while to sort
    std::sort(slot_order.begin(), slot_order.end(), [&](std::size_t a, std::size_t b) {
        meter.add(1);
        return slot_ids_[a] < slot_ids_[b];
    });

    const auto grid = alphas(convention_);
    HotaMetrics m;
    m.alphas.assign(grid.begin(), grid.end());
    m.hota_tp_alphas.assign(hota_tp_.begin(), hota_tp_.end());
    m.hota_fn_alphas.assign(hota_fn_.begin(), hota_fn_.end());
    m.hota_fp_alphas.assign(hota_fp_.begin(), hota_fp_.end());
    std::array<double, kNumAlphas> assa_sums{}, ass_re_sums{}, ass_pr_sums{};
    for (std::size_t a = 0; a < kNumAlphas; ++a) {
        double assa_sum = 0.0;
        double ass_re_sum = 0.0;
        double ass_pr_sum = 0.0;
        for (const std::size_t slot : slot_order) {
            const double matches = matches_count_[slot * kNumAlphas + a];
            if (!(matches > 0.0)) continue;
            const double gt_count = gt_id_count_[slot_ids_[slot].first];
            const double pred_count = pred_id_count_[slot_ids_[slot].second];
            assa_sum += (matches / std::max(1.0, (gt_count + pred_count) - matches)) * matches;
            ass_re_sum += (matches / std::max(1.0, gt_count)) * matches;
            ass_pr_sum += (matches / std::max(1.0, pred_count)) * matches;
        }
        assa_sums[a] = assa_sum;
        ass_re_sums[a] = ass_re_sum;
        ass_pr_sums[a] = ass_pr_sum;
        if (per_gt_ != nullptr) {
            for (const std::size_t slot : slot_order) {
                const double matches = matches_count_[slot * kNumAlphas + a];
                if (!(matches > 0.0)) continue;
                const auto [g, p] = slot_ids_[slot];
                const double overlap = matches / std::max(1.0, (gt_id_count_[g] + pred_id_count_[p]) - matches);
                per_gt_->association[g * kNumAlphas + a] += overlap * matches;
                per_gt_->true_positives[g * kNumAlphas + a] += matches;
            }
        }
    }
    finalise(m, {hota_tp_, hota_fn_, hota_fp_, assa_sums, ass_re_sums, ass_pr_sums, loca_sum_});
    m.num_frames = num_frames_;
    m.num_gt = num_gt_;
    m.num_pred = num_pred_;
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
    return compute_hota_from_sparse(sparse_sim::store_box_ious(frames, [](const sparse_sim::SparseSimFrames&, std::size_t, const double*) {}),
                                    convention);
}

HotaMetrics compute_hota_from_similarity(const SimFrames& frames, Convention convention,
                                         std::size_t threads) {
    TwoPass passes(frames, convention);
    passes.align();
    return passes.match(threads);
}

HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames, Convention convention,
                                     std::size_t threads) {
    TwoPass passes(frames, convention);
    passes.align();
    return passes.match(threads);
}

TwoPass::TwoPass(const SimFrames& frames, Convention convention)
    : impl_(std::make_unique<Passes<SimFrameSource>>(SimFrameSource(frames), convention)) {}

TwoPass::TwoPass(const sparse_sim::SparseSimFrames& frames, Convention convention)
    : impl_(std::make_unique<Passes<SparseFrameSource>>(SparseFrameSource(frames), convention)) {}

TwoPass::~TwoPass() = default;

void TwoPass::align() { impl_->align(); }

HotaMetrics TwoPass::match(std::size_t threads) { return impl_->match(threads); }

void TwoPass::solve_frames() { impl_->solve_frames(); }

HotaMetrics TwoPass::finish() { return impl_->finish(); }

HotaMetrics compute_hota_from_similarity(const SimFrames& frames, Convention convention,
                                         GtAssociation& per_gt) {
    Passes<SimFrameSource> passes(SimFrameSource(frames), convention, &per_gt);
    passes.align();
    return passes.match(1);
}

HotaMetrics compute_hota_from_sparse(const sparse_sim::SparseSimFrames& frames, Convention convention,
                                     GtAssociation& per_gt) {
    Passes<SparseFrameSource> passes(SparseFrameSource(frames), convention, &per_gt);
    passes.align();
    return passes.match(1);
}

}  // namespace vestrim::hota
