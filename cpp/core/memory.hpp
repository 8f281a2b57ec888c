// How much memory one computation may plan to use, and the refusal of work that would not fit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <iterator>
#include <vector>

#include "core/interrupt.hpp"

namespace vestrim::memory {

// The least of the machine's physical memory, the process's address-space limit and the memory
// limit of its control group (v1 or v2): more than this cannot be allocated, or not without the
// process being killed.
std::uint64_t available();

// A byte count too wide for 64 bits, in decimal.
std::string to_decimal(unsigned __int128 v);

// Work refused up front because it would need more memory than available(); the boundary raises
// MemoryError with the message.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Peak bytes of one frame's work per (gt, pred) pair when every pair overlaps: the frame's similarity
// matrix, the solver's scores and marks, and the tables of overlapping pairs (measured, rounded up).
// A frame's work is dense, so these bound what one frame of n x m objects can take; the buffers are
// reused from frame to frame, so the largest frame sets the peak.
namespace bytes_per_pair {
inline constexpr std::uint64_t kClear = 32;
inline constexpr std::uint64_t kIdentity = 64;
inline constexpr std::uint64_t kHota = 48;
inline constexpr std::uint64_t kSwitchEvents = 24;
inline constexpr std::uint64_t kEvaluate = 96;  // CLEAR, Identity and HOTA over one sequence
inline constexpr std::uint64_t kRemoval = 32;   // the benchmarks' removal matching: IoU, scores, solver
}  // namespace bytes_per_pair

// Throws Refused, naming the frame and the sizes, when frame `index` of `gt` x `pred` objects would
// need more than available() at `per_pair` bytes per pair.
void refuse_frame(std::uint64_t index, std::uint64_t gt, std::uint64_t pred, std::uint64_t per_pair);

// The same for the largest frame of a sequence (records with gt_ids and pred_ids), before any of it
// is scored.
template <class Frames>
void refuse_largest_frame(const Frames& frames, std::uint64_t per_pair) {
    std::size_t largest = 0;
    std::uint64_t largest_pairs = 0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const std::uint64_t pairs = std::uint64_t{frames[k].gt_ids.size()} * frames[k].pred_ids.size();
        if (pairs > largest_pairs) {
            largest = k;
            largest_pairs = pairs;
        }
    }
    if (largest_pairs > 0)
        refuse_frame(largest, frames[largest].gt_ids.size(), frames[largest].pred_ids.size(), per_pair);
}

// Large buffers. A block of kLargeBlock bytes or more is aligned to, and asks to be backed by, the
// system's huge pages where it offers them (transparent huge pages on Linux); a smaller one is an
// ordinary allocation. Touching a large buffer's memory the first time, and handing it back, then
// take a small fraction of the time that 4 KiB pages take: a buffer of gigabytes is freed in
// milliseconds instead of a large part of a second, which is what an interrupted call waits for.
inline constexpr std::size_t kLargeBlock = std::size_t{4} << 20;
void* allocate_large(std::size_t bytes);  // throws std::bad_alloc
void free_large(void* block) noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { free_large(p); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Makes room in `v` for `extra` more elements as push_back would (at least doubling), moving the
// elements held in pieces with the work counted on `meter`: reallocating hundreds of megabytes takes
// a while. An interruption leaves `v` as it was.
template <class T, class A>
void make_room(std::vector<T, A>& v, std::size_t extra, interrupt::Meter& meter) {
    if (extra <= v.capacity() - v.size()) return;
    std::vector<T, A> grown;
    grown.reserve(std::max(v.size() + extra, 2 * v.capacity()));
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    for (std::size_t done = 0; done < v.size();) {
        const std::size_t piece = std::min(kPiece, v.size() - done);
        grown.insert(grown.end(), std::make_move_iterator(v.begin() + done),
                     std::make_move_iterator(v.begin() + done + piece));
        done += piece;
        meter.add(piece);
    }
    v.swap(grown);
}

// Resizes `v` to `n` elements (new ones value-initialised), filling a large one in pieces with the
// work counted on `meter` when given, a unit per byte: first touching hundreds of megabytes takes a
// while.
template <class T>
void resize_in_pieces(LargeVector<T>& v, std::size_t n, interrupt::Meter* meter) {
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    if (n <= v.size() || meter == nullptr) {
        v.resize(n);
        return;
    }
    v.reserve(n);
    while (v.size() < n) {
        const std::size_t piece = n - v.size() < kPiece ? n - v.size() : kPiece;
        v.resize(v.size() + piece);
        meter->add(piece * sizeof(T));
    }
}

}  // namespace vestrim::memory
