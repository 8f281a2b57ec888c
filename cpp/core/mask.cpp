#include "core/mask.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdio>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/interrupt.hpp"
#include "core/memory.hpp"

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
// A run of billions of pieces is room made once and filled with interruptions possible.
void append_run(std::vector<std::uint32_t>& out, u64 n) {
    if (n > kMaxRun) {
        const u64 pieces = (n - 1) / kMaxRun;  // full-length pieces before the last one
        out.reserve(out.size() + 2 * pieces + 1);
        interrupt::Meter meter;
        for (u64 k = 0; k < pieces; ++k) {
            meter.add(2);
            out.push_back(static_cast<std::uint32_t>(kMaxRun));
            out.push_back(0);
        }
        n -= pieces * kMaxRun;
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
    [[gnu::noinline]] void scan(const std::uint8_t* p, u64 n) {
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

    // The same for `columns` columns of `h` pixels held as bits: word i of column c, holding
    // pixels 64i .. 64i+63 of the column (1 foreground, pixel p in bit p % 64), is
    // bits[c + i * stride]. Kept out of line: its loops want their own registers.
    [[gnu::noinline]] void scan_bit_columns(const u64* bits, std::size_t stride, u64 columns, u64 h) {
        u64 count = count_;
        u64 colour = foreground_ ? ~u64{0} : 0;  // all bits of the colour being counted
        const u64 full = h / 64, rest = h % 64;
        for (u64 c = 0; c < columns; ++c) {
            const u64* word = bits + c;
            for (u64 k = 0; k < full; ++k, word += stride) {
                if (*word == colour) {
                    count += 64;
                } else {
                    split_word(*word, 64, count, colour);
                }
            }
            if (rest != 0) split_word(*word, rest, count, colour);
        }
        count_ = count;
        foreground_ = colour != 0;
    }

    std::vector<std::uint32_t> finish() {
        append_run(runs_, count_);
        return std::move(runs_);
    }

private:
    // Counts the first `valid` bits of `word` into the run being counted (`count` pixels so far, of
    // `colour`), appending a run at every change of colour.
    [[gnu::always_inline]] void split_word(u64 word, u64 valid, u64& count, u64& colour) {
        const u64 in_range = valid == 64 ? ~u64{0} : (u64{1} << valid) - 1;
        // Set bits mark pixels of the other colour than the run being counted.
        u64 differ = (word ^ colour) & in_range;
        u64 pos = 0;
        while (differ != 0) {
            const auto j = static_cast<unsigned>(std::countr_zero(differ));
            append_run(runs_, count + (j - pos));
            colour = ~colour;
            count = 0;
            pos = j;
            // From pixel j on, compare with the new colour.
            differ = ~differ & in_range & (~u64{0} << j);
        }
        count += valid - pos;
    }

    std::vector<std::uint32_t> runs_;
    u64 count_ = 0;
    bool foreground_ = false;
};

// Columns [c_begin, c_end) of an image with any strides: a block of columns at a time is gathered
// into a small column-major buffer, reading each image row once per block, then scanned in order.
// A column taller than the buffer is gathered and scanned a piece of rows at a time.
void encode_gathered(RunBuilder& runs, const std::uint8_t* data, u64 h, u64 c_begin, u64 c_end,
                     std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, interrupt::Meter& meter) {
    if (h == 0 || c_begin >= c_end) return;
    const u64 piece = std::min(h, kGatherBytes);  // rows gathered at a time (all when several columns fit)
    const u64 block = std::max<u64>(1, std::min<u64>(c_end - c_begin, kGatherBytes / h));
    std::vector<std::uint8_t> columns(block * piece);
    for (u64 c0 = c_begin; c0 < c_end; c0 += block) {
        const u64 nc = std::min(block, c_end - c0);
        for (u64 r0 = 0; r0 < h; r0 += piece) {
            const u64 nr = std::min(piece, h - r0);
            meter.add(1 + nc * nr);
            const std::uint8_t* origin =
                data + static_cast<std::ptrdiff_t>(c0) * col_stride + static_cast<std::ptrdiff_t>(r0) * row_stride;
            for (u64 r = 0; r < nr; ++r) {
                const std::uint8_t* row = origin + static_cast<std::ptrdiff_t>(r) * row_stride;
                std::uint8_t* out = columns.data() + r;
                if (col_stride == 1) {
                    for (u64 k = 0; k < nc; ++k) out[k * nr] = row[k];
                } else {
                    for (u64 k = 0; k < nc; ++k) out[k * nr] = row[static_cast<std::ptrdiff_t>(k) * col_stride];
                }
            }
            runs.scan(columns.data(), nc * nr);  // the gathered columns (or piece), one after the other
        }
    }
}

#if defined(__SSE2__)
// Images whose rows hold adjacent pixels (C order) are read a strip of columns at a time, row by
// row, and turned into one bitmap per column (64 rows to a word), from which the strip's columns
// are run-length encoded in order. Per 16 pixels that is a load, a compare and two bit operations,
// instead of a scattered byte copy per pixel.
constexpr u64 kStripColumns = 64;
constexpr u64 kMinStripRows = 16;

// Byte k of the result holds the foreground bits of column k over `n` (at most 8) rows from `p`:
// row i in bit i.
[[gnu::always_inline]] inline __m128i pack_rows(const std::uint8_t* p, std::ptrdiff_t row_stride,
                                                unsigned n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    for (unsigned i = 0; i < n; ++i) {
        const __m128i v = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(p + static_cast<std::ptrdiff_t>(i) * row_stride));
        const __m128i bit = _mm_set1_epi8(static_cast<char>(1u << i));
        acc = _mm_or_si128(acc, _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), bit));
    }
    return acc;
}

// Eight results of pack_rows (rows 0-7, 8-15, ..., 56-63 of 16 columns) become the 16 columns'
// 64-bit words (row r in bit r), stored at out[0 .. 15].
inline void store_column_words(const __m128i g[8], u64* out) {
    const __m128i a0 = _mm_unpacklo_epi8(g[0], g[1]), a1 = _mm_unpackhi_epi8(g[0], g[1]);
    const __m128i b0 = _mm_unpacklo_epi8(g[2], g[3]), b1 = _mm_unpackhi_epi8(g[2], g[3]);
    const __m128i c0 = _mm_unpacklo_epi8(g[4], g[5]), c1 = _mm_unpackhi_epi8(g[4], g[5]);
    const __m128i d0 = _mm_unpacklo_epi8(g[6], g[7]), d1 = _mm_unpackhi_epi8(g[6], g[7]);
    // Four bytes (rows 0-31) per column: e0 columns 0-3, e1 4-7, e2 8-11, e3 12-15; f likewise
    // for rows 32-63.
    const __m128i e0 = _mm_unpacklo_epi16(a0, b0), e1 = _mm_unpackhi_epi16(a0, b0);
    const __m128i e2 = _mm_unpacklo_epi16(a1, b1), e3 = _mm_unpackhi_epi16(a1, b1);
    const __m128i f0 = _mm_unpacklo_epi16(c0, d0), f1 = _mm_unpackhi_epi16(c0, d0);
    const __m128i f2 = _mm_unpacklo_epi16(c1, d1), f3 = _mm_unpackhi_epi16(c1, d1);
    auto* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi32(e0, f0));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi32(e0, f0));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi32(e1, f1));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi32(e1, f1));
    _mm_storeu_si128(o + 4, _mm_unpacklo_epi32(e2, f2));
    _mm_storeu_si128(o + 5, _mm_unpackhi_epi32(e2, f2));
    _mm_storeu_si128(o + 6, _mm_unpacklo_epi32(e3, f3));
    _mm_storeu_si128(o + 7, _mm_unpackhi_epi32(e3, f3));
}

// Encodes the leading columns of a C-ordered image (h > 0) in strips, a multiple of 16 columns;
// returns how many columns it took (the rest, fewer than 16, is left to the caller).
u64 encode_row_strips(RunBuilder& runs, const std::uint8_t* data, u64 h, u64 w,
                      std::ptrdiff_t row_stride, interrupt::Meter& meter) {
    const u64 words = (h + 63) / 64;
    // Word `word` of column k of the strip is bits[word * kStripColumns + k].
    std::vector<u64> bits(words * kStripColumns);
    u64 c0 = 0;
    while (w - c0 >= 16) {
        const u64 nc = std::min<u64>(kStripColumns, (w - c0) & ~u64{15});
        meter.add(1 + nc * h);
        for (u64 word = 0; word < words; ++word) {
            const u64 r0 = word * 64;
            const u64 rows = std::min<u64>(64, h - r0);
            const std::uint8_t* block = data + static_cast<std::ptrdiff_t>(r0) * row_stride + c0;
            for (u64 k = 0; k < nc; k += 16) {
                __m128i g[8];
                for (unsigned group = 0; group < 8; ++group) {
                    const u64 first = group * 8u;
                    const std::uint8_t* p =
                        block + static_cast<std::ptrdiff_t>(first) * row_stride + static_cast<std::ptrdiff_t>(k);
                    if (rows >= first + 8) {
                        g[group] = pack_rows(p, row_stride, 8);
                    } else if (rows > first) {
                        g[group] = pack_rows(p, row_stride, static_cast<unsigned>(rows - first));
                    } else {
                        g[group] = _mm_setzero_si128();
                    }
                }
                store_column_words(g, &bits[word * kStripColumns + k]);
            }
        }
        runs.scan_bit_columns(bits.data(), kStripColumns, nc, h);
        c0 += nc;
    }
    return c0;
}

// Transposes a 16 x 16 byte tile: src holds 16 columns of 16 bytes, column k at src + k * src_step;
// dst receives 16 rows, row r at dst + r * dst_step.
inline void transpose_16x16(const std::uint8_t* src, u64 src_step, std::uint8_t* dst, u64 dst_step) {
    __m128i a[16], b[16];
    for (int k = 0; k < 16; ++k)
        a[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k * src_step));
    // b[p]: rows 0-7 of columns 2p, 2p+1 (interleaved); b[8 + p]: rows 8-15.
    for (int p = 0; p < 8; ++p) {
        b[p] = _mm_unpacklo_epi8(a[2 * p], a[2 * p + 1]);
        b[8 + p] = _mm_unpackhi_epi8(a[2 * p], a[2 * p + 1]);
    }
    // a[4s + q]: rows 4s .. 4s+3 of columns 4q .. 4q+3.
    for (int q = 0; q < 4; ++q) {
        a[q] = _mm_unpacklo_epi16(b[2 * q], b[2 * q + 1]);
        a[4 + q] = _mm_unpackhi_epi16(b[2 * q], b[2 * q + 1]);
        a[8 + q] = _mm_unpacklo_epi16(b[8 + 2 * q], b[8 + 2 * q + 1]);
        a[12 + q] = _mm_unpackhi_epi16(b[8 + 2 * q], b[8 + 2 * q + 1]);
    }
    // b[4s + 2t + u]: rows 4s+2u, 4s+2u+1 of columns 8t .. 8t+7.
    for (int s = 0; s < 4; ++s) {
        for (int t = 0; t < 2; ++t) {
            b[4 * s + 2 * t] = _mm_unpacklo_epi32(a[4 * s + 2 * t], a[4 * s + 2 * t + 1]);
            b[4 * s + 2 * t + 1] = _mm_unpackhi_epi32(a[4 * s + 2 * t], a[4 * s + 2 * t + 1]);
        }
    }
    for (int s = 0; s < 4; ++s) {
        for (int u = 0; u < 2; ++u) {
            const u64 r = 4 * s + 2 * u;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + r * dst_step),
                             _mm_unpacklo_epi64(b[4 * s + u], b[4 * s + 2 + u]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (r + 1) * dst_step),
                             _mm_unpackhi_epi64(b[4 * s + u], b[4 * s + 2 + u]));
        }
    }
}
#endif

// Columns expanded at a time when decoding to row-major order.
constexpr u64 kTileColumns = 16;

// Writes the pixels of a run list as 0/1 bytes in run order, resuming where the last call stopped.
class RunFiller {
public:
    explicit RunFiller(std::span<const std::uint32_t> runs)
        : runs_(runs), left_(runs.empty() ? 0 : runs[0]) {}

    void fill(std::uint8_t* out, u64 n) {
        while (n > 0) {
            while (left_ == 0) {
                if (next_ >= runs_.size()) throw InternalError("mask runs cover fewer pixels than the image");
                left_ = runs_[next_++];
                value_ ^= 1;
            }
            const u64 take = std::min(left_, n);
            std::memset(out, value_, take);
            out += take;
            n -= take;
            left_ -= take;
        }
    }

private:
    std::span<const std::uint32_t> runs_;
    u64 left_;
    std::size_t next_ = 1;
    std::uint8_t value_ = 0;
};

using memory::to_decimal;
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
    // A run ends at each byte without the continuation bit: room for exactly that many, at most.
    runs.reserve(static_cast<std::size_t>(std::count_if(
        bytes.begin(), bytes.end(), [](char b) { return static_cast<std::uint8_t>(b - 48) < 32; })));
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

Result<memory::LargeVector<double>> iou_matrix(std::span<const Rle> a, std::span<const Rle> b,
                                       std::optional<std::span<const bool>> is_crowd) {
    if (is_crowd && is_crowd->size() != b.size()) {
        return std::unexpected("is_crowd must have one entry per mask in the second set, got " +
                               std::to_string(is_crowd->size()) + " for " +
                               std::to_string(b.size()));
    }
    const bool any_crowd = is_crowd && std::ranges::find(*is_crowd, true) != is_crowd->end();
    interrupt::Meter meter;  // each pair walks both run lists
    memory::LargeVector<double> out;
    memory::resize_in_pieces(out, a.size() * b.size(), &meter);
    double* cell = out.data();
    for (const Rle& ma : a) {
        const u64 area_a = any_crowd ? ma.area() : 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const Rle& mb = b[j];
            meter.add(1 + ma.counts.size() + mb.counts.size());
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
    interrupt::Meter meter;  // each step walks both run lists
    for (std::size_t i = 2; i < masks.size(); ++i) {
        meter.add(1 + acc.size() + masks[i].counts.size());
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
    if ((h == 1 || row_stride == 1) && (w == 1 || col_stride == static_cast<std::ptrdiff_t>(h))) {
        // The whole image is one contiguous column-major block, scanned in pieces so that a long
        // scan can be interrupted.
        constexpr u64 kPiece = u64{1} << 24;
        for (u64 done = 0, n = h * w; done < n; done += kPiece) {
            const u64 len = std::min(kPiece, n - done);
            meter.add(len);
            runs.scan(data + done, len);
        }
    } else if (row_stride == 1) {
        // Each column is contiguous (Fortran order, or a transposed C-order array).
        for (u64 c = 0; c < w; ++c) {
            meter.add(1 + h);
            runs.scan(data + static_cast<std::ptrdiff_t>(c) * col_stride, h);
        }
    } else if (h > 0) {
        u64 done = 0;
#if defined(__SSE2__)
        // Very short columns are gathered byte by byte: the copy stays within a few cache lines.
        if (col_stride == 1 && h >= kMinStripRows) done = encode_row_strips(runs, data, h, w, row_stride, meter);
#endif
        encode_gathered(runs, data, h, done, w, row_stride, col_stride, meter);
    }
    return Rle::create(h, w, runs.finish());
}

void decode_into(const Rle& m, std::uint8_t* out, bool row_major) {
    if (m.h == 0 || m.w == 0) return;
    RunFiller runs(m.counts);
    interrupt::Meter meter;
    if (!row_major || m.h == 1 || m.w == 1) {
        // Filled in pieces so that a long decode can be interrupted.
        constexpr u64 kPiece = u64{1} << 24;
        for (u64 done = 0, n = m.h * m.w; done < n; done += kPiece) {
            const u64 len = std::min(kPiece, n - done);
            meter.add(len);
            runs.fill(out + done, len);
        }
        return;
    }
    // A block of columns at a time is expanded column-major into a small buffer, then written out
    // row by row.
    const u64 h = m.h, w = m.w;
    std::vector<std::uint8_t> columns(kTileColumns * h);
    for (u64 c0 = 0; c0 < w; c0 += kTileColumns) {
        const u64 nc = std::min(kTileColumns, w - c0);
        meter.add(1 + nc * h);
        runs.fill(columns.data(), nc * h);
        u64 r0 = 0;
#if defined(__SSE2__)
        if (nc == kTileColumns) {
            for (; r0 + 16 <= h; r0 += 16) transpose_16x16(columns.data() + r0, h, out + r0 * w + c0, w);
        }
#endif
        for (u64 r = r0; r < h; ++r) {
            std::uint8_t* row = out + r * w + c0;
            for (u64 k = 0; k < nc; ++k) row[k] = columns[k * h + r];
        }
    }
}

std::optional<std::string> refuse_output(const std::string& what, u128 pixels, u128 bytes) {
    // Smaller outputs always fit; asking the system about its memory costs system calls.
    constexpr u128 kAlwaysFits = u128{1} << 26;
    if (bytes <= kAlwaysFits && pixels <= kAlwaysFits) return std::nullopt;
    if (pixels > static_cast<u128>(INT64_MAX))
        return what + " covers " + to_decimal(pixels) + " pixels, more than 2^63 - 1";
    const u64 capacity = memory::available();
    if (bytes > capacity) {
        return what + " needs " + to_decimal(bytes) + " bytes, more than the " +
               std::to_string(capacity) + " bytes of memory available";
    }
    return std::nullopt;
}

u128 encoded_bytes_at_least(u128 pixels) {
    if (pixels == 0) return sizeof(std::uint32_t);
    // Every full run of the longest length needs a zero-length run of the other colour after it.
    const u128 longest_runs = (pixels + kMaxRun - 1) / kMaxRun;
    return (2 * longest_runs - 1) * sizeof(std::uint32_t);
}

}  // namespace vestrim::mask
