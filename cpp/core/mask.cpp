#include "core/mask.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdio>
#include <utility>

#include "core/interrupt.hpp"

namespace vestrim::mask {
namespace {

using u64 = std::uint64_t;

// Walks one run list pixel stretch by pixel stretch. Loading a run flips the colour, so a
// zero-length run is stepped over by an advance of 0 pixels.
class RunCursor {
public:
    explicit RunCursor(std::span<const std::uint32_t> runs)
        : runs_(runs), remaining_(runs.empty() ? 0 : runs[0]) {}

    u64 remaining() const { return remaining_; }
    bool foreground() const { return foreground_; }
    // Nothing left: no pixels in the current run and no further run to load.
    bool done() const { return remaining_ == 0 && next_ >= runs_.size(); }

    void advance(u64 n) {
        remaining_ -= n;
        if (remaining_ == 0 && next_ < runs_.size()) {
            remaining_ = runs_[next_++];
            foreground_ = !foreground_;
        }
    }

private:
    std::span<const std::uint32_t> runs_;
    u64 remaining_;
    std::size_t next_ = 1;
    bool foreground_ = false;
};

// Appends a run of `n` pixels, splitting one longer than a 32-bit count into full-length pieces
// joined by zero-length runs of the other colour, so the alternation is kept and nothing is lost.
void append_run(std::vector<std::uint32_t>& out, u64 n) {
    while (n > kMaxRun) {
        out.push_back(static_cast<std::uint32_t>(kMaxRun));
        out.push_back(0);
        n -= kMaxRun;
    }
    out.push_back(static_cast<std::uint32_t>(n));
}

struct Overlap {
    u64 intersection = 0;
    u64 union_ = 0;
};

// Both run lists cover the same number of pixels (same size, Rle invariant). The walk goes to the
// end of both lists: stopping where both cursors merely stand on zero-length runs would drop the
// rest of the image.
Overlap overlap(const Rle& a, const Rle& b) {
    Overlap o;
    RunCursor ca(a.counts), cb(b.counts);
    for (;;) {
        const u64 c = std::min(ca.remaining(), cb.remaining());
        const bool fa = ca.foreground(), fb = cb.foreground();
        if (fa || fb) o.union_ += c;
        if (fa && fb) o.intersection += c;
        ca.advance(c);
        cb.advance(c);
        if (ca.done() && cb.done()) break;
        if (ca.done() != cb.done() && ca.remaining() + cb.remaining() > 0)
            throw InternalError("mask runs of equal size cover different pixel counts");
    }
    return o;
}

double ratio(const Overlap& o, bool is_crowd, u64 area_a) {
    if (o.intersection == 0) return 0.0;
    const u64 denominator = is_crowd ? area_a : o.union_;
    if (denominator == 0) return 0.0;
    return static_cast<double>(o.intersection) / static_cast<double>(denominator);
}

double iou_same_size(const Rle& a, const Rle& b, bool is_crowd, u64 area_a) {
    if (a.counts.empty() || b.counts.empty()) return 0.0;
    return ratio(overlap(a, b), is_crowd, area_a);
}

bool same_size(const Rle& a, const Rle& b) { return a.h == b.h && a.w == b.w; }

// One step of the merge fold: the pixelwise OR (or AND) of two same-size run lists. Stretches of
// equal output colour are joined into one run.
void combine(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b, bool intersect,
             std::vector<std::uint32_t>& out) {
    out.clear();
    RunCursor ca(a), cb(b);
    u64 pending = 0;
    bool colour = false;
    for (;;) {
        const u64 c = std::min(ca.remaining(), cb.remaining());
        pending += c;
        ca.advance(c);
        cb.advance(c);
        const bool previous = colour;
        colour = intersect ? (ca.foreground() && cb.foreground())
                           : (ca.foreground() || cb.foreground());
        const bool finished = ca.done() && cb.done();
        if (colour != previous || finished) {
            append_run(out, pending);
            pending = 0;
        }
        if (finished) break;
        if (ca.done() != cb.done() && ca.remaining() + cb.remaining() > 0)
            throw InternalError("mask runs of equal size cover different pixel counts");
    }
}


// Column gathering buffer for strided bitmaps: large enough to amortise the row walks, small
// enough to stay in cache.
constexpr u64 kGatherBytes = 1 << 16;

constexpr u64 kOnes = 0x0101010101010101ull;
constexpr u64 kHighs = 0x8080808080808080ull;

inline u64 load8(const std::uint8_t* p) {
    u64 x;
    std::memcpy(&x, p, sizeof x);
    return x;  // little-endian: byte k of memory is bits 8k..8k+7
}

// First index in [i, n) whose byte is nonzero (foreground), or n.
u64 find_foreground(const std::uint8_t* p, u64 i, u64 n) {
    for (; i + 8 <= n; i += 8) {
        if (const u64 x = load8(p + i)) return i + (std::countr_zero(x) >> 3);
    }
    for (; i < n; ++i)
        if (p[i] != 0) return i;
    return n;
}

// First index in [i, n) whose byte is zero (background), or n.
u64 find_background(const std::uint8_t* p, u64 i, u64 n) {
    for (; i + 8 <= n; i += 8) {
        const u64 x = load8(p + i);
        // The lowest flagged byte is the first zero byte (higher flags may be borrow artefacts).
        if (const u64 zero = (x - kOnes) & ~x & kHighs) return i + (std::countr_zero(zero) >> 3);
    }
    for (; i < n; ++i)
        if (p[i] == 0) return i;
    return n;
}

// Run-length encodes bytes handed to it in pixel order; any nonzero byte is foreground.
class RunBuilder {
public:
    void scan(const std::uint8_t* p, u64 n) {
        u64 i = 0;
        while (i < n) {
            const u64 j = foreground_ ? find_background(p, i, n) : find_foreground(p, i, n);
            count_ += j - i;
            if (j < n) {  // pixel j starts a run of the other colour
                append_run(runs_, count_);
                foreground_ = !foreground_;
                count_ = 0;
            }
            i = j;
        }
    }

    std::vector<std::uint32_t> finish() {
        append_run(runs_, count_);
        return std::move(runs_);
    }

private:
    std::vector<std::uint32_t> runs_;
    u64 count_ = 0;
    bool foreground_ = false;
};
}  // namespace

Result<Rle> Rle::create(std::uint64_t h, std::uint64_t w, std::vector<std::uint32_t> counts) {
    u64 total = 0;
    for (const std::uint32_t n : counts) total += n;
    u64 pixels = 0;
    if (__builtin_mul_overflow(h, w, &pixels)) {
        return std::unexpected("mask dimensions too large: " + std::to_string(h) + " * " +
                               std::to_string(w) + " overflows");
    }
    if (total != pixels) {
        return std::unexpected("RLE counts cover " + std::to_string(total) + " pixels, expected " +
                               std::to_string(pixels) + " (" + std::to_string(h) + " * " +
                               std::to_string(w) + ")");
    }
    Rle rle;
    rle.counts = std::move(counts);
    rle.h = h;
    rle.w = w;
    return rle;
}

Result<std::vector<std::uint32_t>> decode_counts(std::string_view bytes) {
    std::vector<std::uint32_t> runs;
    const std::size_t n = bytes.size();
    std::size_t pos = 0;
    while (pos < n) {
        // Bit arithmetic on the unsigned image of the signed accumulator: shifts and the delta
        // wrap instead of overflowing.
        u64 x = 0;
        for (int k = 0;; ++k) {
            const auto byte = static_cast<std::uint8_t>(bytes[pos++]);
            const auto c = static_cast<std::uint8_t>(byte - 48);
            if (c >= 64) {
                char msg[48];
                std::snprintf(msg, sizeof msg, "invalid byte 0x%02x in RLE counts string", byte);
                return std::unexpected(std::string(msg));
            }
            const bool more = (c & 0x20) != 0;
            if (k == 12) {
                // Only bits 60..63 are left for the thirteenth group.
                x |= static_cast<u64>(c & 0x0F) << 60;
                if (more) {
                    return std::unexpected(std::string(
                        pos >= n ? "truncated RLE counts string"
                                 : "RLE counts string has an oversized run-length group"));
                }
                if (c & 0x10)
                    return std::unexpected(
                        std::string("RLE counts string has an oversized signed run-length group"));
                break;
            }
            x |= static_cast<u64>(c & 0x1F) << (5 * k);
            if (!more) {
                if (c & 0x10) x |= ~u64{0} << (5 * (k + 1));  // sign-extend from the last group
                break;
            }
            if (pos >= n) return std::unexpected(std::string("truncated RLE counts string"));
        }
        const std::size_t m = runs.size();
        if (m > 2) x += runs[m - 2];
        if (x > kMaxRun) {
            return std::unexpected("RLE counts string decodes to an out-of-range run length (" +
                                   std::to_string(static_cast<std::int64_t>(x)) + ")");
        }
        runs.push_back(static_cast<std::uint32_t>(x));
    }
    return runs;
}

Result<Rle> Rle::from_compressed(std::uint64_t h, std::uint64_t w, std::string_view bytes) {
    auto runs = decode_counts(bytes);
    if (!runs) return std::unexpected(std::move(runs.error()));
    return create(h, w, std::move(*runs));
}

std::string encode_counts(std::span<const std::uint32_t> counts) {
    std::string out;
    out.reserve(counts.size() * 2);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        std::int64_t x = counts[i];
        if (i > 2) x -= counts[i - 2];
        for (;;) {
            const auto g = static_cast<int>(x & 0x1F);
            x >>= 5;  // arithmetic: the sign survives
            const bool finished = (g & 0x10) ? x == -1 : x == 0;
            out.push_back(static_cast<char>((finished ? g : (g | 0x20)) + 48));
            if (finished) break;
        }
    }
    return out;
}

std::string Rle::to_compressed() const { return encode_counts(counts); }

std::uint64_t Rle::area() const {
    u64 total = 0;
    for (std::size_t i = 1; i < counts.size(); i += 2) total += counts[i];
    return total;
}

std::string size_mismatch(const Rle& a, const Rle& b) {
    return "mask size mismatch: (" + std::to_string(a.h) + ", " + std::to_string(a.w) + ") vs (" +
           std::to_string(b.h) + ", " + std::to_string(b.w) + ")";
}

Result<double> iou(const Rle& a, const Rle& b, bool is_crowd) {
    if (!same_size(a, b)) return std::unexpected(size_mismatch(a, b));
    return iou_same_size(a, b, is_crowd, is_crowd ? a.area() : 0);
}

Result<std::vector<double>> iou_matrix(std::span<const Rle> a, std::span<const Rle> b,
                                       std::optional<std::span<const bool>> is_crowd) {
    if (is_crowd && is_crowd->size() != b.size()) {
        return std::unexpected("is_crowd must have one entry per mask in the second set, got " +
                               std::to_string(is_crowd->size()) + " for " +
                               std::to_string(b.size()));
    }
    const bool any_crowd = is_crowd && std::ranges::find(*is_crowd, true) != is_crowd->end();
    std::vector<double> out(a.size() * b.size());
    double* cell = out.data();
    for (const Rle& ma : a) {
        const u64 area_a = any_crowd ? ma.area() : 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const Rle& mb = b[j];
            if (!same_size(ma, mb)) return std::unexpected(size_mismatch(ma, mb));
            *cell++ = iou_same_size(ma, mb, is_crowd && (*is_crowd)[j], area_a);
        }
    }
    return out;
}

Result<Rle> merge(std::span<const Rle> masks, bool intersect) {
    if (masks.empty()) return Rle::create(0, 0, {});
    const Rle& first = masks.front();
    for (const Rle& m : masks) {
        if (!same_size(first, m)) return std::unexpected(size_mismatch(first, m));
    }
    Rle result;
    result.h = first.h;
    result.w = first.w;
    if (first.h == 0 || first.w == 0 || masks.size() == 1) {
        result.counts = first.counts;
        return result;
    }
    std::vector<std::uint32_t> acc, next;
    combine(masks[0].counts, masks[1].counts, intersect, acc);
    for (std::size_t i = 2; i < masks.size(); ++i) {
        combine(acc, masks[i].counts, intersect, next);
        std::swap(acc, next);
    }
    result.counts = std::move(acc);
    return result;
}

Box bbox(const Rle& m, bool xywh) {
    bool any = false;
    u64 min_col = 0, max_col = 0, min_row = 0, max_row = 0;
    u64 start = 0;
    for (std::size_t i = 0; i < m.counts.size(); ++i) {
        const u64 n = m.counts[i];
        if ((i & 1) && n > 0) {
            const u64 first = start, last = start + n - 1;
            const u64 col0 = first / m.h, col1 = last / m.h;
            // A run that crosses into the next column covers that column's top row and the
            // previous column's bottom row.
            const u64 row0 = col0 == col1 ? first % m.h : 0;
            const u64 row1 = col0 == col1 ? last % m.h : m.h - 1;
            if (!any) {
                min_col = col0, max_col = col1, min_row = row0, max_row = row1;
                any = true;
            } else {
                min_col = std::min(min_col, col0);
                max_col = std::max(max_col, col1);
                min_row = std::min(min_row, row0);
                max_row = std::max(max_row, row1);
            }
        }
        start += n;
    }
    if (!any) return Box{0.0, 0.0, 0.0, 0.0};
    const u64 x2 = max_col + 1, y2 = max_row + 1;
    if (xywh) {
        return Box{static_cast<double>(min_col), static_cast<double>(min_row),
                   static_cast<double>(x2 - min_col), static_cast<double>(y2 - min_row)};
    }
    return Box{static_cast<double>(min_col), static_cast<double>(min_row),
               static_cast<double>(x2), static_cast<double>(y2)};
}

std::vector<std::uint8_t> decode_rows(const Rle& m) {
    std::vector<std::uint8_t> grid(m.h * m.w, 0);
    if (grid.empty()) return grid;
    // Position of the next pixel in column-major order, kept as (row, column).
    u64 row = 0, col = 0;
    interrupt::Meter meter;
    for (std::size_t i = 0; i < m.counts.size(); ++i) {
        u64 n = m.counts[i];
        meter.add(1 + n);
        if (i & 1) {
            for (; n > 0; --n) {
                grid[row * m.w + col] = 1;
                if (++row == m.h) row = 0, ++col;
            }
        } else {
            const u64 next = row + n;
            col += next / m.h;
            row = next % m.h;
        }
    }
    return grid;
}

Result<Rle> encode(const std::uint8_t* data, std::uint64_t h, std::uint64_t w,
                   std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    RunBuilder runs;
    interrupt::Meter meter;
    if (row_stride == 1) {
        // Each column is contiguous (Fortran order, or a transposed C-order array).
        for (u64 c = 0; c < w; ++c) {
            meter.add(1 + h);
            runs.scan(data + static_cast<std::ptrdiff_t>(c) * col_stride, h);
        }
    } else if (h > 0) {
        // Gather a block of columns at a time into a small column-major buffer, reading each
        // image row once per block, then scan the gathered columns in order.
        const u64 block = std::max<u64>(1, std::min<u64>(w, kGatherBytes / h));
        std::vector<std::uint8_t> columns(block * h);
        for (u64 c0 = 0; c0 < w; c0 += block) {
            const u64 nc = std::min(block, w - c0);
            meter.add(1 + nc * h);
            const std::uint8_t* origin = data + static_cast<std::ptrdiff_t>(c0) * col_stride;
            for (u64 r = 0; r < h; ++r) {
                const std::uint8_t* row = origin + static_cast<std::ptrdiff_t>(r) * row_stride;
                std::uint8_t* out = columns.data() + r;
                if (col_stride == 1) {
                    for (u64 k = 0; k < nc; ++k) out[k * h] = row[k];
                } else {
                    for (u64 k = 0; k < nc; ++k) out[k * h] = row[static_cast<std::ptrdiff_t>(k) * col_stride];
                }
            }
            for (u64 k = 0; k < nc; ++k) runs.scan(columns.data() + k * h, h);
        }
    }
    return Rle::create(h, w, runs.finish());
}

}  // namespace vestrim::mask
