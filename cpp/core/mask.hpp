// Binary masks as COCO run-length encodings: alternating background/foreground run lengths walked
// column-major over an (h, w) image, always starting with a (possibly empty) background run.
// Every operation works on the runs directly; only the dense conversions touch pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim::mask {

// Longest run a single count can hold. Longer stretches are written as several runs joined by
// zero-length runs of the other colour.
inline constexpr std::uint64_t kMaxRun = 0xFFFFFFFFu;

struct Rle {
    std::vector<std::uint32_t> counts;  // even indices background, odd indices foreground
    std::uint64_t h = 0;
    std::uint64_t w = 0;

    // The validating constructor: h * w must fit 64 bits and the runs must cover exactly h * w
    // pixels. Every mask made from outside data comes through here.
    static Result<Rle> create(std::uint64_t h, std::uint64_t w, std::vector<std::uint32_t> counts);

    // Decodes a COCO compressed counts string, then validates as `create` does.
    static Result<Rle> from_compressed(std::uint64_t h, std::uint64_t w, std::string_view bytes);

    // Foreground pixel count (sum of the odd-indexed runs).
    std::uint64_t area() const;

    // The COCO compressed counts string of the runs (ASCII "0".."o"); "" for no runs.
    std::string to_compressed() const;
};

// Run lengths of a compressed counts string, before any size check.
Result<std::vector<std::uint32_t>> decode_counts(std::string_view bytes);

// Compressed counts string of a run list.
std::string encode_counts(std::span<const std::uint32_t> counts);

// "mask size mismatch: (h_a, w_a) vs (h_b, w_b)"
std::string size_mismatch(const Rle& a, const Rle& b);

// IoU of two masks of the same size; with `is_crowd`, intersection over the area of `a`.
Result<double> iou(const Rle& a, const Rle& b, bool is_crowd);

// Row-major len(a) x len(b) IoU matrix. `is_crowd`, when given, holds one flag per mask of `b`.
Result<memory::LargeVector<double>> iou_matrix(std::span<const Rle> a, std::span<const Rle> b,
                                       std::optional<std::span<const bool>> is_crowd);

// Union (or intersection) of same-size masks; an empty list gives the empty (0, 0) mask.
Result<Rle> merge(std::span<const Rle> masks, bool intersect);

// Bounding box of the foreground in whole pixels, x along columns, y along rows, in corner form
// (x1, y1, x2, y2), or with `xywh` as (x, y, width, height). All zeros for an empty foreground.
Box bbox(const Rle& m, bool xywh);

// Dense row-major (h, w) grid of 0/1 bytes.
std::vector<std::uint8_t> decode_rows(const Rle& m);

// Writes the dense (h, w) image of 0/1 bytes to `out` (h * w bytes): column-major (pixel (r, c) at
// c * h + r), or row-major (at r * w + c) with `row_major`.
void decode_into(const Rle& m, std::uint8_t* out, bool row_major);

// Run-length encodes an (h, w) byte image read through arbitrary byte strides (negative and zero
// strides included); any nonzero byte is foreground.
Result<Rle> encode(const std::uint8_t* data, std::uint64_t h, std::uint64_t w,
                   std::ptrdiff_t row_stride, std::ptrdiff_t col_stride);

// Sizes of dense outputs, computed wide enough that no product of image dimensions overflows.
using u128 = unsigned __int128;

// Refuses an output before any work is done: one of more than 2^63 - 1 pixels, or of more bytes
// than memory::available(). Returns the message of the MemoryError (starting with `what`, e.g.
// "decoding a (4, 5) mask"), or nothing when the output can be built.
std::optional<std::string> refuse_output(const std::string& what, u128 pixels, u128 bytes);

// The fewest bytes the run list of an image of `pixels` pixels can take (every run is at most
// kMaxRun pixels long).
u128 encoded_bytes_at_least(u128 pixels);

}  // namespace vestrim::mask
