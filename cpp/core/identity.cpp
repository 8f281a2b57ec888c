#include "core/identity.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include "core/frame_rows.hpp"
#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/lsap.hpp"
#include "core/memory.hpp"

namespace vestrim::identity {
namespace {

// Marks a forbidden cell of the cost matrices; finite because the solver rejects infinities.
constexpr double kForbidden = 1e18;

// The work of counting one pair in the hash table of pairs (often a cache miss), in meter units.
constexpr std::uint64_t kPairWork = 64;

// Rounds half away from zero and converts, saturating: negative or NaN gives 0, too large gives the
// largest count.
std::uint64_t round_to_count(double x) {
    const double r = std::round(x);
    if (!(r > 0.0)) return 0;
    if (r >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(r);
}

// Maximum-weight bipartite matching (not necessarily perfect) over a sparse graph with positive
// integer weights, returning the total weight.
//
// Successive shortest paths in exact integer arithmetic: minimise -weight, where every row also has
// a private zero-cost "unmatched" column, so each row insertion always finds an augmenting path.
// Row and column potentials keep reduced costs non-negative for the Dijkstra searches. Only the
// optimum total is returned, so which of several optimal matchings is found does not matter.
class SparseMatcher {
public:
    // Rows 0 .. rows-1; edge e of row r is (cols[e], weights[e]) for e in [start[r], start[r+1]).
    SparseMatcher(std::size_t rows, std::size_t cols, std::span<const std::size_t> start,
                  std::span<const std::uint32_t> edge_cols, std::span<const std::int64_t> weights)
        : rows_(rows),
          cols_(cols),
          start_(start),
          edge_cols_(edge_cols),
          weights_(weights),
          u_(rows, 0),
          v_(cols + rows, 0),
          d_(cols + rows, kUnreached),
          path_(cols + rows, kNone),
          col4row_(rows, kNone),
          row4col_(cols + rows, kNone),
          done_(cols + rows, 0) {}

    std::uint64_t solve() {
        // Initial potentials: each row's best edge (or its unmatched column) is tight. Rows whose
        // best column is still free take it at once; the rest are inserted by shortest paths.
        for (std::size_t r = 0; r < rows_; ++r) {
            std::int64_t best_weight = 0;
            std::size_t best_col = unmatched_col(r);
            // Among equally heavy edges, a free column is preferred: rows of equal pairs then take
            // their columns at once instead of queueing for the first one.
            for (std::size_t e = start_[r]; e < start_[r + 1]; ++e) {
                if (weights_[e] > best_weight ||
                    (weights_[e] == best_weight && row4col_[best_col] != kNone && row4col_[edge_cols_[e]] == kNone)) {
                    best_weight = weights_[e];
                    best_col = edge_cols_[e];
                }
            }
            meter_.add(1 + start_[r + 1] - start_[r]);
            u_[r] = -best_weight;
            if (row4col_[best_col] == kNone) {
                col4row_[r] = best_col;
                row4col_[best_col] = r;
            }
        }
        for (std::size_t r = 0; r < rows_; ++r) {
            if (col4row_[r] == kNone) insert_row(r);
        }
        std::uint64_t total = 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            const std::size_t c = col4row_[r];
            if (c >= cols_) continue;
            for (std::size_t e = start_[r]; e < start_[r + 1]; ++e) {
                if (edge_cols_[e] == c) {
                    total += static_cast<std::uint64_t>(weights_[e]);
                    break;
                }
            }
        }
        return total;
    }

    // After solve(): the column matched to row r and the weight of that edge, or -1 and 0.
    std::pair<std::int64_t, std::uint64_t> partner(std::size_t r) const {
        const std::size_t c = col4row_[r];
        if (c >= cols_) return {-1, 0};
        for (std::size_t e = start_[r]; e < start_[r + 1]; ++e)
            if (edge_cols_[e] == c) return {static_cast<std::int64_t>(c), static_cast<std::uint64_t>(weights_[e])};
        return {-1, 0};
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr std::int64_t kUnreached = std::numeric_limits<std::int64_t>::max();

    std::size_t unmatched_col(std::size_t r) const { return cols_ + r; }

    void relax(std::size_t row, std::int64_t row_dist, std::size_t col, std::int64_t cost) {
        if (done_[col]) return;
        const std::int64_t dist = row_dist + (cost - u_[row] - v_[col]);
        if (dist < d_[col]) {
            if (d_[col] == kUnreached) reached_.push_back(col);
            d_[col] = dist;
            path_[col] = row;
            heap_.emplace_back(dist, col);
            std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
        }
    }

    void insert_row(std::size_t cur) {
        std::size_t row = cur;
        std::int64_t row_dist = 0;
        std::size_t sink = kNone;
        std::int64_t sink_dist = 0;
        for (;;) {
            meter_.add(16 * (1 + start_[row + 1] - start_[row]));  // a heap step per edge, at most
            for (std::size_t e = start_[row]; e < start_[row + 1]; ++e)
                relax(row, row_dist, edge_cols_[e], -weights_[e]);
            relax(row, row_dist, unmatched_col(row), 0);
            // Every reached row's unmatched column is free, so the heap cannot run dry first.
            std::size_t col = kNone;
            while (!heap_.empty()) {
                std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
                const auto [dist, c] = heap_.back();
                heap_.pop_back();
                if (!done_[c] && dist == d_[c]) {
                    col = c;
                    break;
                }
            }
            if (col == kNone) throw InternalError("finite cost matrix is solvable: Infeasible");
            done_[col] = 1;
            settled_.push_back(col);
            if (row4col_[col] == kNone) {
                sink = col;
                sink_dist = d_[col];
                break;
            }
            row = row4col_[col];
            row_dist = d_[col];
        }
        // Potentials: settled columns and the rows matched to them move by their slack to the sink,
        // which keeps matched edges tight and every reduced cost non-negative.
        u_[cur] += sink_dist;
        for (std::size_t col : settled_) {
            const std::int64_t slack = sink_dist - d_[col];
            v_[col] -= slack;
            if (col != sink) u_[row4col_[col]] += slack;
        }
        for (std::size_t col = sink;;) {
            const std::size_t r = path_[col];
            row4col_[col] = r;
            std::swap(col4row_[r], col);
            if (r == cur) break;
        }
        for (std::size_t col : reached_) {
            d_[col] = kUnreached;
            done_[col] = 0;
        }
        reached_.clear();
        settled_.clear();
        heap_.clear();
    }

    std::size_t rows_;
    std::size_t cols_;
    std::span<const std::size_t> start_;
    std::span<const std::uint32_t> edge_cols_;
    std::span<const std::int64_t> weights_;
    std::vector<std::int64_t> u_;
    std::vector<std::int64_t> v_;
    std::vector<std::int64_t> d_;
    std::vector<std::size_t> path_;
    std::vector<std::size_t> col4row_;
    std::vector<std::size_t> row4col_;
    std::vector<unsigned char> done_;
    std::vector<std::size_t> reached_;
    std::vector<std::size_t> settled_;
    std::vector<std::pair<std::int64_t, std::size_t>> heap_;  // min-heap of (length, column)
    interrupt::Meter meter_;  // a search may scan every edge; each searched row's are counted
};

std::uint64_t sum(const std::vector<std::uint64_t>& counts) {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts) total += c;
    return total;
}

}  // namespace

std::uint32_t intern(IdIndex& index, std::vector<std::uint64_t>& counts, Id id) {
    const auto [stored, inserted] = index.try_emplace(static_cast<std::uint64_t>(id), counts.size() + 1);
    if (inserted) counts.push_back(0);
    return static_cast<std::uint32_t>(stored - 1);
}

void IdentityAccumulator::add_frame_ids(std::span<const Id> gt_ids, std::span<const Id> pred_ids) {
    ++num_frames_;
    frame_gt_.clear();
    frame_pred_.clear();
    for (Id id : gt_ids) {
        const std::uint32_t k = intern(gt_index_, gt_counts_, id);
        ++gt_counts_[k];
        frame_gt_.push_back(k);
    }
    for (Id id : pred_ids) {
        const std::uint32_t k = intern(pred_index_, pred_counts_, id);
        ++pred_counts_[k];
        frame_pred_.push_back(k);
    }
}

template <class Rows>
void IdentityAccumulator::count_pairs(std::size_t rows, const Rows& similarity, double threshold,
                                      interrupt::Meter* meter) {
    for (std::size_t j = 0; j < rows; ++j) {
        std::uint64_t pairs = 0;
        similarity.for_each_at_least(j, threshold, [&](std::size_t k, double) {
            const auto [count, inserted] = pair_counts_.try_emplace(pair_key(frame_gt_[j], frame_pred_[k]), 1, meter);
            if (!inserted) ++count;
            ++pairs;
        });
        if (meter != nullptr) meter->add(kPairWork * pairs);
    }
}

void IdentityAccumulator::update(std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                                 const double* similarity, double threshold, interrupt::Meter* meter) {
    add_frame_ids(gt_ids, pred_ids);
    if (gt_ids.empty() || pred_ids.empty()) return;
    count_pairs(gt_ids.size(), frame_rows::DenseRows(similarity, pred_ids.size()), threshold, meter);
}

std::optional<IdentityAccumulator> IdentityAccumulator::prepare_update(std::span<const Id> gt_ids,
                                                                     std::span<const Id> pred_ids,
                                                                     const double* similarity, double threshold,
                                                                     interrupt::Meter& meter) {
    // A small frame is not scanned twice: its cell count bounds its pairs.
    constexpr std::size_t kSmallFrame = 4096;
    std::size_t pairs = gt_ids.size() * pred_ids.size();
    if (pairs > kSmallFrame) {
        pairs = 0;
        const frame_rows::DenseRows rows(similarity, pred_ids.size());
        for (std::size_t j = 0; j < gt_ids.size(); ++j) {
            meter.add(pred_ids.size());
            rows.for_each_at_least(j, threshold, [&](std::size_t, double) { ++pairs; });
        }
    }
    const std::size_t n = gt_ids.size();
    const std::size_t m = pred_ids.size();
    if (pairs <= kInPlacePairs) {
        // Each step leaves the contents alone; only room is added.
        gt_index_.reserve(n, &meter);
        pred_index_.reserve(m, &meter);
        pair_counts_.reserve(pairs, &meter);
        memory::make_room(gt_counts_, n, meter);
        memory::make_room(pred_counts_, m, meter);
        frame_gt_.reserve(n);
        frame_pred_.reserve(m);
        return std::nullopt;
    }
    IdentityAccumulator next;
    next.gt_counts_.reserve(gt_counts_.size() + n);
    next.gt_counts_ = gt_counts_;
    next.pred_counts_.reserve(pred_counts_.size() + m);
    next.pred_counts_ = pred_counts_;
    next.gt_index_ = gt_index_.copy_with_room(n, &meter);
    next.pred_index_ = pred_index_.copy_with_room(m, &meter);
    next.pair_counts_ = pair_counts_.copy_with_room(pairs, &meter);
    next.num_frames_ = num_frames_;
    next.update(gt_ids, pred_ids, similarity, threshold, &meter);
    return next;
}

void IdentityAccumulator::update(const sparse_sim::SparseSimFrames& store, std::size_t k, double threshold,
                                 interrupt::Meter* meter) {
    const auto gt_ids = store.gt_ids(k);
    const auto pred_ids = store.pred_ids(k);
    if (0.0 >= threshold) {
        dense_.resize(gt_ids.size() * pred_ids.size());
        store.densify(k, dense_.data());
        update(gt_ids, pred_ids, dense_.data(), threshold, meter);
        return;
    }
    add_frame_ids(gt_ids, pred_ids);
    count_pairs(gt_ids.size(), frame_rows::StoredRows(store, k), threshold, meter);
}

IdentityMetrics IdentityAccumulator::finish(std::uint64_t idfn, std::uint64_t idfp) const {
    IdentityMetrics m;
    m.num_frames = num_frames_;
    m.num_gt = sum(gt_counts_);
    m.num_pred = sum(pred_counts_);
    m.idfn = idfn;
    m.idfp = idfp;
    // idfn never exceeds num_gt: it is num_gt less a non-negative matched total, floored at 0.
    m.idtp = m.num_gt - idfn;
    finalise_ratios(m);
    return m;
}

void finalise_ratios(IdentityMetrics& m) {
    const double tp = static_cast<double>(m.idtp);
    const double denom = 0.5 * static_cast<double>(m.idfn) + (0.5 * static_cast<double>(m.idfp) + tp);
    m.idf1 = denom > 0.0 ? tp / denom : 0.0;
    const std::uint64_t predicted = m.idtp + m.idfp;
    m.idp = predicted != 0 ? tp / static_cast<double>(predicted) : 0.0;
    m.idr = m.num_gt != 0 ? tp / static_cast<double>(m.num_gt) : 0.0;
}

// Why a matching over the co-occurring pairs gives exactly the dense result: in the dense cost
// matrices every finite assignment pairs a set M of (gt, pred) trajectories, sends every other gt
// to its own "unmatched" column and every other pred to its own row. Its FN sum is then
// num_gt - sum_M pair_counts and its FP sum num_pred - sum_M pair_counts, so the total cost is
// num_gt + num_pred - 2 sum_M pair_counts. Every optimal assignment therefore has the same
// matched total, the largest one, and with it the same FN and FP sums: the tie-breaking of the
// solver cannot change idfn or idfp. Pairs that never co-occurred add 0 and can be left out.
std::uint64_t IdentityAccumulator::best_matching_total(std::vector<std::int64_t>* partner_of_gt,
                                                       std::vector<std::uint64_t>* partner_count) const {
    const std::size_t rows = gt_counts_.size();
    std::vector<std::size_t> start(rows + 1, 0);
    interrupt::Meter meter;  // tens of millions of pairs take a while
    pair_counts_.for_each([&](std::uint64_t key, std::uint64_t) {
        meter.add(kPairWork);
        ++start[(key >> 32) + 1];
    });
    for (std::size_t r = 0; r < rows; ++r) start[r + 1] += start[r];
    memory::LargeVector<std::uint32_t> edge_cols;
    memory::LargeVector<std::int64_t> weights;
    memory::resize_in_pieces(edge_cols, pair_counts_.size(), &meter);
    memory::resize_in_pieces(weights, pair_counts_.size(), &meter);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    pair_counts_.for_each([&](std::uint64_t key, std::uint64_t count) {
        meter.add(kPairWork);
        const std::size_t e = fill[key >> 32]++;
        edge_cols[e] = static_cast<std::uint32_t>(key & 0xffffffffu);
        weights[e] = static_cast<std::int64_t>(count);
    });
    // The table's order depends on the process's hash key; the matching found among equally good
    // ones must not, so each row's edges are put in column order.
    std::vector<std::pair<std::uint32_t, std::int64_t>> row_edges;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t begin = start[r];
        const std::size_t end = start[r + 1];
        if (end - begin < 2) continue;
        meter.add(16 * (end - begin));
        row_edges.clear();
        for (std::size_t e = begin; e < end; ++e) row_edges.emplace_back(edge_cols[e], weights[e]);
        std::sort(row_edges.begin(), row_edges.end());
        for (std::size_t e = begin; e < end; ++e) std::tie(edge_cols[e], weights[e]) = row_edges[e - begin];
    }
    SparseMatcher matcher(rows, pred_counts_.size(), start, edge_cols, weights);
    const std::uint64_t total = matcher.solve();
    if (partner_of_gt != nullptr && partner_count != nullptr) {
        partner_of_gt->resize(rows);
        partner_count->resize(rows);
        for (std::size_t r = 0; r < rows; ++r) std::tie((*partner_of_gt)[r], (*partner_count)[r]) = matcher.partner(r);
    }
    return total;
}

IdentityAccumulator::Matching IdentityAccumulator::matching() const {
    Matching m;
    auto ids_of = [](const IdIndex& index, std::size_t size) {
        std::vector<Id> ids(size);
        index.for_each([&](std::uint64_t key, std::uint64_t stored) { ids[stored - 1] = static_cast<Id>(key); });
        return ids;
    };
    m.gt_ids = ids_of(gt_index_, gt_counts_.size());
    m.pred_ids = ids_of(pred_index_, pred_counts_.size());
    m.gt_counts = gt_counts_;
    m.pred_counts = pred_counts_;
    best_matching_total(&m.partner_of_gt, &m.partner_count);
    return m;
}

IdentityMetrics IdentityAccumulator::compute() const {
    if (gt_counts_.empty() && pred_counts_.empty()) return finish(0, 0);
    const std::uint64_t matched = best_matching_total();
    const std::uint64_t num_gt = sum(gt_counts_);
    const std::uint64_t num_pred = sum(pred_counts_);
    // A matched total above the occurrence count (possible only with ids repeated within a frame)
    // makes the dense sum negative, which rounds to 0.
    const std::uint64_t idfn = num_gt > matched ? num_gt - matched : 0;
    const std::uint64_t idfp = num_pred > matched ? num_pred - matched : 0;
    return finish(idfn, idfp);
}

IdentityMetrics IdentityAccumulator::compute_dense() const {
    const std::size_t no = gt_counts_.size();
    const std::size_t nh = pred_counts_.size();
    const std::size_t n = no + nh;
    if (n == 0) return finish(0, 0);

    std::vector<double> fn(n * n, 0.0);
    std::vector<double> fp(n * n, 0.0);
    for (std::size_t r = no; r < n; ++r)
        for (std::size_t c = 0; c < nh; ++c) fp[r * n + c] = kForbidden;
    for (std::size_t r = 0; r < no; ++r)
        for (std::size_t c = nh; c < n; ++c) fn[r * n + c] = kForbidden;
    for (std::size_t r = 0; r < no; ++r) {
        const double count = static_cast<double>(gt_counts_[r]);
        for (std::size_t c = 0; c < nh; ++c) fn[r * n + c] = count;
        fn[r * n + nh + r] = count;
    }
    for (std::size_t c = 0; c < nh; ++c) {
        const double count = static_cast<double>(pred_counts_[c]);
        for (std::size_t r = 0; r < no; ++r) fp[r * n + c] = count;
        fp[(no + c) * n + c] = count;
    }
    for (std::size_t r = 0; r < no; ++r) {
        for (std::size_t c = 0; c < nh; ++c) {
            const std::uint64_t* count = pair_counts_.find(pair_key(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c)));
            const double ex = count == nullptr ? 0.0 : static_cast<double>(*count);
            fn[r * n + c] -= ex;
            fp[r * n + c] -= ex;
        }
    }
    std::vector<double> cost(n * n);
    for (std::size_t k = 0; k < n * n; ++k) cost[k] = fn[k] + fp[k];

    auto solved = lsap::solve(n, n, cost.data(), false);
    if (!solved)
        throw InternalError("finite cost matrix is solvable: " + std::string(lsap::to_string(solved.error())));
    double fn_sum = 0.0;
    double fp_sum = 0.0;
    for (std::size_t t = 0; t < solved->rows.size(); ++t) {
        const std::size_t k = solved->rows[t] * n + solved->cols[t];
        fn_sum += fn[k];
        fp_sum += fp[k];
    }
    return finish(round_to_count(fn_sum), round_to_count(fp_sum));
}

IdentityMetrics compute_identity(std::span<const Frame> frames, double threshold) {
    IdentityAccumulator acc;
    memory::LargeVector<double> iou;
    interrupt::Meter meter;
    for (const Frame& f : frames) {
        meter.add(1 + f.gt_ids.size() + f.pred_ids.size() + 2 * f.gt_ids.size() * f.pred_ids.size());
        if (!f.gt_ids.empty() && !f.pred_ids.empty()) {
            memory::resize_in_pieces(iou, f.gt_ids.size() * f.pred_ids.size(), &meter);
            iou::iou_matrix(f.gt_boxes, f.pred_boxes, iou.data());
        } else {
            iou.clear();
        }
        acc.update(f.gt_ids, f.pred_ids, iou.data(), threshold);
    }
    return acc.compute();
}

IdentityMetrics compute_identity_from_similarity(const SimFrames& frames, double threshold) {
    IdentityAccumulator acc;
    interrupt::Meter meter;
    SimFrames::Buffer buffer;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const SimFrame f = frames.frame(k, buffer);
        meter.add(1 + f.rows() + f.cols() + f.rows() * f.cols());
        acc.update(f.gt_ids, f.pred_ids, f.similarity, threshold, &meter);
    }
    return acc.compute();
}

}  // namespace vestrim::identity
