#include "core/evaluate.hpp"

#include <algorithm>
#include <functional>
#include <vector>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "core/sparse_sim.hpp"

namespace vestrim::evaluate {
namespace {

// Every frame's IoU matrix kept without its zeros, computed by chunks of frames on up to `threads`
// threads and joined in frame order: the same store a single pass builds.
sparse_sim::SparseSimFrames store_box_ious(std::span<const Frame> frames, std::size_t threads) {
    const std::size_t chunks = std::min(frames.size(), threads * 8);
    std::vector<sparse_sim::SparseSimFrames> parts(chunks);
    parallel::for_each_index(threads, chunks, [&](std::size_t i, std::size_t) {
        const std::size_t begin = frames.size() * i / chunks;
        const std::size_t end = frames.size() * (i + 1) / chunks;
        parts[i] = sparse_sim::store_box_ious(frames.subspan(begin, end - begin),
                                              [](const sparse_sim::SparseSimFrames&, std::size_t, const double*) {});
    });
    sparse_sim::SparseSimFrames store;
    for (sparse_sim::SparseSimFrames& part : parts) store.extend(std::move(part));
    return store;
}

// Feeds every frame of the store to `acc.update(store, k, threshold)`.
template <class Accumulator>
void accumulate_stored(const sparse_sim::SparseSimFrames& store, Accumulator& acc, double threshold) {
    interrupt::Meter meter;
    for (std::size_t k = 0; k < store.size(); ++k) {
        const std::size_t n = store.gt_ids(k).size();
        const std::size_t m = store.pred_ids(k).size();
        meter.add(1 + n + m + 2 * n * m);
        acc.update(store, k, threshold);
    }
}

// CLEAR, Identity and HOTA's two passes on `threads` threads: one runs HOTA's first pass and then
// Identity, another CLEAR, and every thread, its own family done, takes HOTA's per-frame matchings
// (which wait for the first pass) until none is left. The first pass is the first task handed out,
// so that the tasks also finish when fewer threads run them. The caller then calls hota.finish().
void families_side_by_side(std::size_t threads, hota::TwoPass& hota, const std::function<void()>& clear,
                           const std::function<void()>& identity) {
    parallel::for_each_index(threads, std::max<std::size_t>(threads, 2), [&](std::size_t task, std::size_t) {
        if (task == 0) {
            hota.align();
            identity();
        } else if (task == 1) {
            clear();
        }
        hota.solve_frames();
    });
}

}  // namespace

Evaluation evaluate(std::span<const Frame> frames, double threshold, Convention convention, std::size_t threads) {
    if (threads <= 1 || frames.size() < 2) {
        clear::ClearAccumulator clear_acc(convention);
        identity::IdentityAccumulator identity_acc;
        const sparse_sim::SparseSimFrames store =
            sparse_sim::store_box_ious(frames, [&](const sparse_sim::SparseSimFrames& stored, std::size_t k, const double*) {
                clear_acc.update(stored, k, threshold);
                identity_acc.update(stored, k, threshold);
            });
        return Evaluation{clear_acc.compute(), identity_acc.compute(),
                          hota::compute_hota_from_sparse(store, convention), clear_acc.motp_sum()};
    }

    // The IoUs first, then the families side by side on them (see families_side_by_side).
    const sparse_sim::SparseSimFrames store = store_box_ious(frames, threads);
    Evaluation out;
    hota::TwoPass hota_passes(store, convention);
    families_side_by_side(
        threads, hota_passes,
        [&] {
            clear::ClearAccumulator acc(convention);
            accumulate_stored(store, acc, threshold);
            out.clear = acc.compute();
            out.motp_sum = acc.motp_sum();
        },
        [&] {
            identity::IdentityAccumulator acc;
            accumulate_stored(store, acc, threshold);
            out.identity = acc.compute();
        });
    out.hota = hota_passes.finish();
    return out;
}

Evaluation evaluate_from_similarity(const SimFrames& frames, double threshold, Convention convention,
                                    std::size_t threads) {
    if (threads <= 1 || frames.size() < 2) {
        Evaluation out;
        out.clear = clear::compute_clear_from_similarity(frames, threshold, convention, &out.motp_sum);
        out.identity = identity::compute_identity_from_similarity(frames, threshold);
        out.hota = hota::compute_hota_from_similarity(frames, convention);
        return out;
    }
    Evaluation out;
    hota::TwoPass hota_passes(frames, convention);
    families_side_by_side(
        threads, hota_passes,
        [&] { out.clear = clear::compute_clear_from_similarity(frames, threshold, convention, &out.motp_sum); },
        [&] { out.identity = identity::compute_identity_from_similarity(frames, threshold); });
    out.hota = hota_passes.finish();
    return out;
}

}  // namespace vestrim::evaluate
