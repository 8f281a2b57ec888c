// Rectangular linear sum assignment by shortest augmenting paths.
//
// Rows are inserted one at a time; each insertion is a Dijkstra-like search over reduced costs that
// the row and column potentials keep non-negative. The order of floating-point operations and the
// tie rules below are part of the contract: they decide which of several equal optima is returned,
// and every caller's results (and their agreement with other tools) depend on that choice.
#include "core/lsap.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VESTRIM_LSAP_AVX2 1
#endif

namespace vestrim::lsap {

std::string_view to_string(LSAPError e) {
    switch (e) {
        case LSAPError::Invalid:
            return "Invalid";
        case LSAPError::Infeasible:
            return "Infeasible";
    }
    return "Invalid";
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// One allocation carved into consecutive arrays of 8-byte elements (doubles, sizes, flags), so
// that a solver's working arrays cost one allocation per call.
class Slab {
public:
    void reset(std::size_t words) {
        storage_.reset(new std::byte[8 * words]);
        next_ = storage_.get();
    }
    template <class T>
    void take(T*& array, std::size_t n) {
        static_assert(sizeof(T) == 8);
        array = reinterpret_cast<T*>(next_);
        next_ += 8 * n;
    }

private:
    std::unique_ptr<std::byte[]> storage_;
    std::byte* next_ = nullptr;
};
constexpr std::uint64_t kFree = ~std::uint64_t{0};

// All working state of one call, carved out of one allocation made once per call.
//
// During a search the columns not yet reached sit in the `remaining` list. Their tentative lengths,
// potentials, predecessors and free flags are kept in that list's own order (the *_at arrays,
// indexed by list position), so a scan reads them contiguously and only the cost row is gathered.
// When the search reaches a column, its length and predecessor are written back to the
// column-indexed arrays `d` and `path`; only reached columns are read from those.
//
// Every search starts with the list in descending column order, column j at position nc - 1 - j.
// The column potentials, owners and free flags are stored in that order too (`v_rev`,
// `row4col_rev`, `free_rev`), so that the list is set up by plain copies, in the same sweep as the
// search's first pass (see first_scan_*), and a search's first pick can be found without setting
// the list up at all (see first_pick_*).
struct Workspace {
    Slab storage;  // every array below, in one allocation

    double* u;               // nr row potentials
    double* v_rev;           // nc column potentials; column j at nc - 1 - j
    double* d;               // nc path lengths of reached columns
    double* d_at;            // nc, by list position
    double* v_at;            // nc, by list position
    std::size_t* path;       // nc: row each reached column was last reached from
    std::size_t* path_at;    // nc, by list position
    std::size_t* col4row;    // nr
    std::size_t* row4col_rev;  // nc: row owning each column; column j at nc - 1 - j
    std::size_t* remaining;  // nc columns not yet reached in the current search
    std::size_t* reached;    // nc columns reached in the current search, in order
    std::uint64_t* free_at;  // nc, by list position: kFree while the column has no row
    std::uint64_t* free_rev;   // nc: kFree while the column has no row; column j at nc - 1 - j
    interrupt::Meter meter;  // a search's passes count the columns they scan

    Workspace(std::size_t nr, std::size_t nc) {
        storage.reset(2 * nr + 11 * nc);
        auto take = [&](auto*& array, std::size_t n) { storage.take(array, n); };
        take(u, nr);
        take(v_rev, nc);
        take(d, nc);
        take(d_at, nc);
        take(v_at, nc);
        take(path, nc);
        take(path_at, nc);
        take(col4row, nr);
        take(row4col_rev, nc);
        take(remaining, nc);
        take(reached, nc);
        take(free_at, nc);
        take(free_rev, nc);
        std::fill(free_rev, free_rev + nc, kFree);
        std::fill(u, u + nr, 0.0);
        std::fill(v_rev, v_rev + nc, 0.0);
        std::fill(col4row, col4row + nr, kNone);
        std::fill(row4col_rev, row4col_rev + nc, kNone);
    }
};

// One pass of the search from row `i` over list positions [begin, end): relaxes every remaining
// column through row i and picks the position to reach next. Among equal lowest lengths the rule
// is: the last position whose column is free, or, when none is free, the first one.
// The cost of a cell as the search sees it: the caller's value, negated when maximising (`sign` is
// then the sign bit, else 0). Negation is exact, so this equals reading a negated copy.
inline double cost_at(const double* w, std::size_t j, std::uint64_t sign) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(w[j]) ^ sign);
}

struct Scan {
    const double* wi;  // cost row i (negated through `sign`)
    double min_val;    // path length reached so far
    double ui;
    std::size_t i;
    const std::size_t* remaining;
    const double* v_at;
    double* d_at;
    std::size_t* path_at;
    const std::uint64_t* free_at;
    std::uint64_t sign;
};

struct Pick {
    double lowest = kInf;
    std::size_t best = kNone;
};

// What the first pass of a search sets up while it relaxes: position p gets column nc - 1 - p with
// its potential and free flag, an infinite length and no predecessor.
struct Setup {
    std::size_t nc;
    const double* v_rev;
    const std::uint64_t* free_rev;
    std::size_t* remaining;
    double* v_at;
    double* d_at;
    std::size_t* path_at;
    std::uint64_t* free_at;
};

inline void first_scan_portable(const Scan& s, const Setup& setup, std::size_t begin, std::size_t end,
                                Pick& pick);

void scan_portable(const Scan& s, std::size_t begin, std::size_t end, Pick& pick) {
    // Locals, so the compiler need not reload them after every store through the arrays.
    const double* const wi = s.wi;
    const double min_val = s.min_val;
    const double ui = s.ui;
    const std::size_t i = s.i;
    const std::size_t* const remaining = s.remaining;
    const double* const v_at = s.v_at;
    double* const d_at = s.d_at;
    std::size_t* const path_at = s.path_at;
    const std::uint64_t* const free_at = s.free_at;
    const std::uint64_t sign = s.sign;
    double lowest = pick.lowest;
    std::size_t best = pick.best;
    for (std::size_t p = begin; p < end; ++p) {
        const double r = ((cost_at(wi, remaining[p], sign) + min_val) - ui) - v_at[p];
        const double old = d_at[p];
        // Strict: an equal length keeps the older predecessor. Written without branches: the
        // outcome is data-dependent and mispredicts badly.
        const std::size_t shorter = -static_cast<std::size_t>(old > r);
        const double dj = std::min(old, r);  // (r < old) ? r : old
        d_at[p] = dj;
        path_at[p] = (path_at[p] & ~shorter) | (i & shorter);
        if (dj < lowest || (dj == lowest && free_at[p])) {
            lowest = dj;
            best = p;
        }
    }
    pick.lowest = lowest;
    pick.best = best;
}

inline void first_scan_portable(const Scan& s, const Setup& setup, std::size_t begin, std::size_t end,
                                Pick& pick) {
    for (std::size_t p = begin; p < end; ++p) {
        setup.remaining[p] = setup.nc - 1 - p;
        setup.v_at[p] = setup.v_rev[p];
        setup.free_at[p] = setup.free_rev[p];
        setup.d_at[p] = kInf;
        setup.path_at[p] = kNone;
    }
    scan_portable(s, begin, end, pick);
}

// The pick of a search's first pass from row i (min_val 0, every old length infinite) over all nc
// positions, without setting the list up: it only reads. Same lengths, same rule.
void first_pick_portable(const double* wi, std::uint64_t sign, double ui, std::size_t nc, const double* v_rev,
                         const std::uint64_t* free_rev, Pick& pick) {
    const double min_val = 0.0;
    double lowest = pick.lowest;
    std::size_t best = pick.best;
    for (std::size_t p = 0; p < nc; ++p) {
        const double r = ((cost_at(wi, nc - 1 - p, sign) + min_val) - ui) - v_rev[p];
        const double dj = std::min(kInf, r);
        if (dj < lowest || (dj == lowest && free_rev[p])) {
            lowest = dj;
            best = p;
        }
    }
    pick.lowest = lowest;
    pick.best = best;
}

#ifdef VESTRIM_LSAP_AVX2
// Four positions at a time. Each lane applies the sequential rule to the positions congruent to it,
// which leaves per lane its lowest length and, among that lane's positions holding it, the last free
// one or else the first one. Merging the lanes by the same rule gives exactly the sequential pick;
// every length is computed by the same operations in the same order as the portable scan.
//
// The first pass of a search (kFirst) also sets the list up as it goes: its positions hold the
// columns in descending order, so the cost row is read as a contiguous block, reversed, instead of
// gathered; every old length is infinite and every old predecessor kNone.
template <bool kFirst>
__attribute__((target("avx2"))) void scan_avx2(const Scan& s, const Setup* setup, std::size_t len, Pick& pick) {
    const std::size_t vec_end = len & ~std::size_t{3};
    if (vec_end != 0) {
        const __m256d min_val = _mm256_set1_pd(s.min_val);
        const __m256d ui = _mm256_set1_pd(s.ui);
        const __m256d row = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(s.i)));
        const __m256d sign = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(s.sign)));
        const __m256i step = _mm256_set1_epi64x(4);
        __m256i pos = _mm256_setr_epi64x(0, 1, 2, 3);
        __m256d lowest = _mm256_set1_pd(kInf);
        __m256d best = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        __m256d best_free = _mm256_setzero_pd();
        const double* const wi = s.wi;
        const std::size_t* const remaining = s.remaining;
        const double* const v_at = s.v_at;
        double* const d_at = s.d_at;
        double* const path_at = reinterpret_cast<double*>(s.path_at);
        const double* const free_at = reinterpret_cast<const double*>(s.free_at);
        // The first pass writes the list through these (the same arrays as above).
        const std::size_t nc = kFirst ? setup->nc : 0;
        const double* const v_rev = kFirst ? setup->v_rev : nullptr;
        const double* const free_rev = kFirst ? reinterpret_cast<const double*>(setup->free_rev) : nullptr;
        std::size_t* const setup_remaining = kFirst ? setup->remaining : nullptr;
        double* const setup_v_at = kFirst ? setup->v_at : nullptr;
        double* const setup_free_at = kFirst ? reinterpret_cast<double*>(setup->free_at) : nullptr;
        for (std::size_t p = 0; p < vec_end; p += 4) {
            __m256d w, v, old, old_path, free;
            if constexpr (kFirst) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(setup_remaining + p),
                                    _mm256_sub_epi64(_mm256_set1_epi64x(static_cast<long long>(nc - 1 - p)),
                                                     _mm256_setr_epi64x(0, 1, 2, 3)));
                w = _mm256_permute4x64_pd(_mm256_loadu_pd(wi + (nc - 4 - p)), 0x1B);
                v = _mm256_loadu_pd(v_rev + p);
                _mm256_storeu_pd(setup_v_at + p, v);
                free = _mm256_loadu_pd(free_rev + p);
                _mm256_storeu_pd(setup_free_at + p, free);
                old = _mm256_set1_pd(kInf);
                old_path = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
            } else {
                // Scalar loads beat the gather instruction on several processors.
                const __m128d w01 = _mm_loadh_pd(_mm_load_sd(wi + remaining[p]), wi + remaining[p + 1]);
                const __m128d w23 = _mm_loadh_pd(_mm_load_sd(wi + remaining[p + 2]), wi + remaining[p + 3]);
                w = _mm256_insertf128_pd(_mm256_castpd128_pd256(w01), w23, 1);
                v = _mm256_loadu_pd(v_at + p);
                free = _mm256_loadu_pd(free_at + p);
                old = _mm256_loadu_pd(d_at + p);
                old_path = _mm256_loadu_pd(path_at + p);
            }
            w = _mm256_xor_pd(w, sign);
            const __m256d r = _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(w, min_val), ui), v);
            const __m256d shorter = _mm256_cmp_pd(old, r, _CMP_GT_OQ);
            const __m256d dj = _mm256_blendv_pd(old, r, shorter);
            _mm256_storeu_pd(d_at + p, dj);
            _mm256_storeu_pd(path_at + p, _mm256_blendv_pd(old_path, row, shorter));
            const __m256d take =
                _mm256_or_pd(_mm256_cmp_pd(dj, lowest, _CMP_LT_OQ),
                             _mm256_and_pd(_mm256_cmp_pd(dj, lowest, _CMP_EQ_OQ), free));
            lowest = _mm256_blendv_pd(lowest, dj, take);
            best = _mm256_blendv_pd(best, _mm256_castsi256_pd(pos), take);
            best_free = _mm256_blendv_pd(best_free, free, take);
            pos = _mm256_add_epi64(pos, step);
        }
        alignas(32) double lane_lowest[4];
        alignas(32) std::uint64_t lane_best[4];
        alignas(32) std::uint64_t lane_free[4];
        _mm256_store_pd(lane_lowest, lowest);
        _mm256_store_pd(reinterpret_cast<double*>(lane_best), best);
        _mm256_store_pd(reinterpret_cast<double*>(lane_free), best_free);
        double low = kInf;
        for (int k = 0; k < 4; ++k) low = std::min(low, lane_lowest[k]);
        std::size_t last_free = kNone;
        std::size_t first = kNone;
        for (int k = 0; k < 4; ++k) {
            if (lane_lowest[k] != low || lane_best[k] == kNone) continue;
            if (lane_free[k] && (last_free == kNone || lane_best[k] > last_free)) last_free = lane_best[k];
            if (!lane_free[k] && (first == kNone || lane_best[k] < first)) first = lane_best[k];
        }
        pick.lowest = low;
        pick.best = last_free != kNone ? last_free : first;
    }
    if constexpr (kFirst) {
        first_scan_portable(s, *setup, vec_end, len, pick);
    } else {
        scan_portable(s, vec_end, len, pick);
    }
}

// first_pick_portable in two passes, four positions at a time. The sequential rule picks, among the
// positions holding the lowest length, the last free one, or the first one when none is free; its
// running lowest is then that position's length. So: first the lowest length (a minimum, which
// does not depend on the order in which it is taken), then a search backwards for the last free
// position holding it, or forwards for the first. Lengths are never NaN (min(inf, r) is inf for a
// NaN r); an infinite lowest length ends the search as infeasible, whichever position is picked.
__attribute__((target("avx2"))) void first_pick_avx2(const double* wi, std::uint64_t sign, double ui,
                                                     std::size_t nc, const double* v_rev,
                                                     const std::uint64_t* free_rev, Pick& pick) {
    const std::size_t vec_end = nc & ~std::size_t{3};
    const __m256d zero = _mm256_setzero_pd();
    const __m256d inf = _mm256_set1_pd(kInf);
    const __m256d u = _mm256_set1_pd(ui);
    const __m256d sign_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(sign)));
    // Lengths of positions p .. p + 3, exactly as the sequential pass computes them.
    auto lengths = [&](std::size_t p) __attribute__((target("avx2"))) {
        const __m256d w = _mm256_xor_pd(_mm256_permute4x64_pd(_mm256_loadu_pd(wi + (nc - 4 - p)), 0x1B), sign_bits);
        const __m256d r = _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(w, zero), u), _mm256_loadu_pd(v_rev + p));
        return _mm256_blendv_pd(inf, r, _mm256_cmp_pd(inf, r, _CMP_GT_OQ));
    };
    auto length = [&](std::size_t p) { return std::min(kInf, ((cost_at(wi, nc - 1 - p, sign) + 0.0) - ui) - v_rev[p]); };

    // Rows of moderate length keep their lengths for the second pass instead of recomputing them.
    constexpr std::size_t kKept = 512;
    alignas(32) double kept[kKept];
    const bool keep = nc <= kKept;
    auto lengths_again = [&](std::size_t p) __attribute__((target("avx2"))) {
        return keep ? _mm256_load_pd(kept + p) : lengths(p);
    };

    __m256d low_a = inf, low_b = inf;
    std::size_t p = 0;
    if (keep) {
        for (; p + 8 <= vec_end; p += 8) {
            const __m256d a = lengths(p), b = lengths(p + 4);
            _mm256_store_pd(kept + p, a);
            _mm256_store_pd(kept + p + 4, b);
            low_a = _mm256_min_pd(low_a, a);
            low_b = _mm256_min_pd(low_b, b);
        }
        if (p < vec_end) {
            const __m256d a = lengths(p);
            _mm256_store_pd(kept + p, a);
            low_a = _mm256_min_pd(low_a, a);
        }
    } else {
        for (; p + 8 <= vec_end; p += 8) {
            low_a = _mm256_min_pd(low_a, lengths(p));
            low_b = _mm256_min_pd(low_b, lengths(p + 4));
        }
        if (p < vec_end) low_a = _mm256_min_pd(low_a, lengths(p));
    }
    alignas(32) double lane[4];
    _mm256_store_pd(lane, _mm256_min_pd(low_a, low_b));
    double low = std::min(std::min(lane[0], lane[1]), std::min(lane[2], lane[3]));
    for (std::size_t q = vec_end; q < nc; ++q) low = std::min(low, length(q));
    if (std::isinf(low)) {
        pick.lowest = kInf;
        pick.best = kNone;
        return;
    }

    std::size_t best = kNone;
    for (std::size_t q = nc; q > vec_end && best == kNone; --q)
        if (free_rev[q - 1] && length(q - 1) == low) best = q - 1;
    const __m256d target = _mm256_set1_pd(low);
    for (std::size_t q = vec_end; q > 0 && best == kNone; q -= 4) {
        const __m256d free = _mm256_loadu_pd(reinterpret_cast<const double*>(free_rev + q - 4));
        const int mask =
            _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(lengths_again(q - 4), target, _CMP_EQ_OQ), free));
        if (mask != 0) best = q - 4 + static_cast<std::size_t>(31 - __builtin_clz(static_cast<unsigned>(mask)));
    }
    for (std::size_t q = 0; q < vec_end && best == kNone; q += 4) {
        const int mask = _mm256_movemask_pd(_mm256_cmp_pd(lengths_again(q), target, _CMP_EQ_OQ));
        if (mask != 0) best = q + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (std::size_t q = vec_end; q < nc && best == kNone; ++q)
        if (length(q) == low) best = q;
    pick.best = best;
    pick.lowest = length(best);
}
#endif

// Whether every value is finite: |x| <= DBL_MAX holds (NaN fails every ordered comparison).
#ifdef VESTRIM_LSAP_AVX2
__attribute__((target("avx2"))) bool all_finite_avx2(const double* x, std::size_t n) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    const __m256d largest = _mm256_set1_pd(std::numeric_limits<double>::max());
    __m256d special = _mm256_setzero_pd();
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4)
        special = _mm256_or_pd(special,
                               _mm256_cmp_pd(_mm256_and_pd(_mm256_loadu_pd(x + k), magnitude), largest, _CMP_NLE_UQ));
    bool finite = _mm256_movemask_pd(special) == 0;
    for (; k < n; ++k) finite = finite && std::isfinite(x[k]);
    return finite;
}
#endif

bool all_finite_piece(const double* x, std::size_t n, bool use_avx2) {
#ifdef VESTRIM_LSAP_AVX2
    if (use_avx2) return all_finite_avx2(x, n);
#else
    (void)use_avx2;
#endif
    bool finite = true;
    for (std::size_t k = 0; k < n; ++k) finite = finite && std::isfinite(x[k]);
    return finite;
}

// The same over a matrix of any size, a piece at a time with the work counted on a meter.
bool all_finite(const double* x, std::size_t n, bool use_avx2) {
    constexpr std::size_t kPiece = std::size_t{1} << 18;
    interrupt::Meter meter;
    for (std::size_t k = 0; k < n; k += kPiece) {
        const std::size_t piece = std::min(kPiece, n - k);
        meter.add(piece);
        if (!all_finite_piece(x + k, piece, use_avx2)) return false;
    }
    return true;
}

// The rows x cols matrix `in` transposed (cols x rows), each value read as f(in_row, j), with the
// work counted on a meter. (An ordinary allocation: the heap hands a buffer freed by the previous
// call back without the cost of fresh pages.)
template <class T, class F>
std::unique_ptr<T[]> transpose(const T* in, std::size_t rows, std::size_t cols, F&& f) {
    interrupt::Meter meter;
    std::unique_ptr<T[]> out(new T[rows * cols]);
    for (std::size_t i = 0; i < rows; ++i) {
        meter.add(2 * cols);
        const T* row = in + i * cols;
        for (std::size_t j = 0; j < cols; ++j) out[j * rows + i] = f(row, j);
    }
    return out;
}

// Inserts row `cur` by one shortest-path search followed by the potential update and augmentation.
// Returns false when the search meets an infinite path length.
bool augment(const double* w, std::uint64_t sign, std::size_t nc, std::size_t cur, bool use_avx2, Workspace& ws) {
    std::size_t* const remaining = ws.remaining;
    double* const d_at = ws.d_at;
    double* const v_at = ws.v_at;
    std::size_t* const path_at = ws.path_at;
    std::uint64_t* const free_at = ws.free_at;

    std::size_t len = nc;
    const std::size_t* const row4col_rev = ws.row4col_rev;
    const Setup setup{nc, ws.v_rev, ws.free_rev, remaining, v_at, d_at, path_at, free_at};

    double min_val = 0.0;
    std::size_t i = cur;
    std::size_t n_reached = 0;
    std::size_t sink = kNone;
    ws.meter.add(nc);

    // Most searches end at their first pick, a column that no row owns yet. That pick is found by a
    // pass that only reads; the list is set up (by the first pass below, which repeats the same
    // computation) only when the search has to go on.
    {
        Pick pick;
#ifdef VESTRIM_LSAP_AVX2
        if (use_avx2)
            first_pick_avx2(w + cur * nc, sign, ws.u[cur], nc, ws.v_rev, ws.free_rev, pick);
        else
            first_pick_portable(w + cur * nc, sign, ws.u[cur], nc, ws.v_rev, ws.free_rev, pick);
#else
        first_pick_portable(w + cur * nc, sign, ws.u[cur], nc, ws.v_rev, ws.free_rev, pick);
#endif
        if (!std::isinf(pick.lowest) && pick.best != kNone && ws.free_rev[pick.best] != 0) {
            // What the first pass would have recorded: the column, its length, reached from cur.
            const std::size_t j = nc - 1 - pick.best;
            min_val = pick.lowest;
            ws.reached[n_reached++] = j;
            ws.d[j] = pick.lowest;
            ws.path[j] = cur;
            sink = j;
        }
    }

    while (sink == kNone) {
        ws.meter.add(len);
        const Scan scan{w + i * nc, min_val, ws.u[i], i, remaining, v_at, d_at, path_at, free_at, sign};
        const bool first = n_reached == 0;
        Pick pick;
#ifdef VESTRIM_LSAP_AVX2
        if (use_avx2) {
            if (first)
                scan_avx2<true>(scan, &setup, len, pick);
            else
                scan_avx2<false>(scan, nullptr, len, pick);
        } else if (first) {
            first_scan_portable(scan, setup, 0, len, pick);
        } else {
            scan_portable(scan, 0, len, pick);
        }
#else
        (void)use_avx2;
        if (first)
            first_scan_portable(scan, setup, 0, len, pick);
        else
            scan_portable(scan, 0, len, pick);
#endif
        min_val = pick.lowest;
        if (std::isinf(pick.lowest) || pick.best == kNone) return false;

        const std::size_t best = pick.best;
        const std::size_t j = remaining[best];
        const bool is_free = free_at[best] != 0;
        ws.reached[n_reached++] = j;
        ws.d[j] = d_at[best];
        ws.path[j] = path_at[best];
        --len;
        remaining[best] = remaining[len];
        d_at[best] = d_at[len];
        v_at[best] = v_at[len];
        path_at[best] = path_at[len];
        free_at[best] = free_at[len];
        if (is_free) {
            sink = j;
        } else {
            i = row4col_rev[nc - 1 - j];
        }
    }

    // Rows other than `cur` reached by the search are exactly the owners of the reached columns
    // other than the sink; each update is independent of the others, so visiting them in the order
    // they were reached gives the same values as visiting them by index.
    double* const u = ws.u;
    double* const v_rev = ws.v_rev;
    const double* const d = ws.d;
    u[cur] = u[cur] + min_val;
    for (std::size_t k = 0; k + 1 < n_reached; ++k) {
        const std::size_t j = ws.reached[k];
        const std::size_t r = row4col_rev[nc - 1 - j];
        u[r] = (min_val - d[j]) + u[r];
    }
    for (std::size_t k = 0; k < n_reached; ++k) {
        const std::size_t j = ws.reached[k];
        double& vj = v_rev[nc - 1 - j];
        vj = vj - (min_val - d[j]);
    }

    std::size_t j = sink;
    for (;;) {
        const std::size_t row = ws.path[j];
        ws.row4col_rev[nc - 1 - j] = row;
        ws.free_rev[nc - 1 - j] = 0;
        std::swap(ws.col4row[row], j);
        if (row == cur) break;
    }
    return true;
}

// A cost with forbidden cells kept apart: `penalties` counts forbidden cells (each worth more than
// any difference of values), `value` sums the rest. Both add componentwise; order is lexicographic.
// Penalty counts are small integers, exact in a double; an infinite penalty marks an unreached
// column.
struct Lex {
    double penalties;
    double value;
};
inline Lex operator+(Lex a, Lex b) { return {a.penalties + b.penalties, a.value + b.value}; }
inline Lex operator-(Lex a, Lex b) { return {a.penalties - b.penalties, a.value - b.value}; }
inline bool operator<(Lex a, Lex b) {
    return a.penalties < b.penalties || (a.penalties == b.penalties && a.value < b.value);
}
inline bool operator==(Lex a, Lex b) { return a.penalties == b.penalties && a.value == b.value; }
constexpr Lex kLexInf{kInf, kInf};

// How a Lex search picks the next column. Over the lengths of one pass, in list order, the rule is
// the plain solver's: take a position when its length is lower than the lowest so far, or equal to
// it and its column free. That leaves the lowest length M and, among the positions holding M, the
// last free one, or else the first one. When every length is finite (penalty counts always are;
// only values can overflow), lexicographic order is a total order and that outcome is found without
// the loop-carried comparisons: the lowest penalty count, the lowest value among the lengths with
// that count, then the position. Otherwise the rule is applied position by position.
//
// What the sweep computing a pass's lengths gathers for the pick on the way: the lowest count, the
// lowest value among the lengths whose count is `guess` (the count the caller expects to be lowest;
// when it is, no second sweep is needed), and whether every value is finite. Sweeping a position
// twice changes none of these, so the vector sweeps cover a row's last positions by one block that
// overlaps the one before.
struct LexLow {
    double penalties = kInf;
    double guess_value = kInf;
    bool finite = true;
};

inline void fold(LexLow& low, double guess, double pen, double val) {
    low.penalties = std::min(low.penalties, pen);
    if (pen == guess) low.guess_value = std::min(low.guess_value, val);
    low.finite = low.finite && std::fabs(val) <= std::numeric_limits<double>::max();
}

inline bool holds(const double* pen, const double* val, std::size_t k, Lex m) {
    return pen[k] == m.penalties && val[k] == m.value;
}

#ifdef VESTRIM_LSAP_AVX2
// Reduces four lanes of partial results into `low` (`special` flags the lanes that met a value
// that is not finite).
__attribute__((target("avx2"))) void merge_lanes(__m256d pen, __m256d guess_value, __m256d special, LexLow& low) {
    alignas(32) double lane_pen[4];
    alignas(32) double lane_val[4];
    _mm256_store_pd(lane_pen, pen);
    _mm256_store_pd(lane_val, guess_value);
    for (int k = 0; k < 4; ++k) {
        low.penalties = std::min(low.penalties, lane_pen[k]);
        low.guess_value = std::min(low.guess_value, lane_val[k]);
    }
    low.finite = low.finite && _mm256_movemask_pd(special) == 0;
}

// Lanes whose value is not finite (|x| > DBL_MAX, or NaN).
__attribute__((target("avx2"))) inline __m256d not_finite(__m256d x) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    return _mm256_cmp_pd(_mm256_and_pd(x, magnitude), _mm256_set1_pd(std::numeric_limits<double>::max()),
                         _CMP_NLE_UQ);
}

// The lowest value among the lengths [0, n) (n >= 4) whose count is `count`.
__attribute__((target("avx2"))) double lowest_value_with_avx2(const double* pen, const double* val, std::size_t n,
                                                              double count) {
    const __m256d target = _mm256_set1_pd(count);
    const __m256d inf = _mm256_set1_pd(kInf);
    __m256d low = inf;
    const std::size_t last = n - 4;
    for (std::size_t k = 0;; k = std::min(k + 4, last)) {
        const __m256d with = _mm256_cmp_pd(_mm256_loadu_pd(pen + k), target, _CMP_EQ_OQ);
        low = _mm256_min_pd(low, _mm256_blendv_pd(inf, _mm256_loadu_pd(val + k), with));
        if (k == last) break;
    }
    alignas(32) double lane[4];
    _mm256_store_pd(lane, low);
    return std::min(std::min(lane[0], lane[1]), std::min(lane[2], lane[3]));
}

// Lanes of k .. k + 3 holding `m` (and free, when `free` is given), as a bit mask.
__attribute__((target("avx2"))) inline int holding_mask(const double* pen, const double* val,
                                                        const std::uint64_t* free, std::size_t k, __m256d tp,
                                                        __m256d tv) {
    __m256d eq = _mm256_and_pd(_mm256_cmp_pd(_mm256_loadu_pd(pen + k), tp, _CMP_EQ_OQ),
                               _mm256_cmp_pd(_mm256_loadu_pd(val + k), tv, _CMP_EQ_OQ));
    if (free != nullptr) eq = _mm256_and_pd(eq, _mm256_loadu_pd(reinterpret_cast<const double*>(free + k)));
    return _mm256_movemask_pd(eq);
}

// The first (last) index in [0, n) (n >= 4) holding `m` whose flag in `free` is set (any, for
// nullptr), or kNone.
__attribute__((target("avx2"))) std::size_t first_holding_avx2(const double* pen, const double* val,
                                                               const std::uint64_t* free, std::size_t n, Lex m) {
    const __m256d tp = _mm256_set1_pd(m.penalties);
    const __m256d tv = _mm256_set1_pd(m.value);
    const std::size_t last = n - 4;
    for (std::size_t k = 0;; k = std::min(k + 4, last)) {
        const int mask = holding_mask(pen, val, free, k, tp, tv);
        if (mask != 0) return k + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        if (k == last) return kNone;
    }
}

__attribute__((target("avx2"))) std::size_t last_holding_avx2(const double* pen, const double* val,
                                                              const std::uint64_t* free, std::size_t n, Lex m) {
    const __m256d tp = _mm256_set1_pd(m.penalties);
    const __m256d tv = _mm256_set1_pd(m.value);
    for (std::size_t end = n;; end = std::max(end - 4, std::size_t{4})) {
        const int mask = holding_mask(pen, val, free, end - 4, tp, tv);
        if (mask != 0) return end - 4 + static_cast<std::size_t>(31 - __builtin_clz(static_cast<unsigned>(mask)));
        if (end == 4) return kNone;
    }
}

// The lengths from row i at the start of a search (min_val 0) to the nc >= 4 columns, by list
// position (position p holds column nc - 1 - p, so the row is read as blocks, reversed), four at a
// time: the same operations as the scalar form in LexSolver.
__attribute__((target("avx2"))) void lex_first_lengths_avx2(const double* value_row,
                                                            const unsigned char* allowed_row, std::uint64_t sign,
                                                            Lex ui, std::size_t nc, const double* v_pen_rev,
                                                            const double* v_val_rev, double* r_pen, double* r_val,
                                                            double guess, LexLow& low) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d inf = _mm256_set1_pd(kInf);
    const __m256d u_pen = _mm256_set1_pd(ui.penalties);
    const __m256d u_val = _mm256_set1_pd(ui.value);
    const __m256d target = _mm256_set1_pd(guess);
    const __m256d sign_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(sign)));
    __m256d low_pen = inf, low_val = inf, special = zero;
    const std::size_t last = nc - 4;
    for (std::size_t p = 0;; p = std::min(p + 4, last)) {
        const std::size_t first_col = nc - 4 - p;  // columns first_col .. first_col + 3, reversed
        std::uint32_t mask_bytes;
        std::memcpy(&mask_bytes, allowed_row + first_col, sizeof mask_bytes);
        const __m256d allowed = _mm256_castsi256_pd(
            _mm256_cmpgt_epi64(_mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(__builtin_bswap32(mask_bytes)))),
                               _mm256_setzero_si256()));
        const __m256d w = _mm256_xor_pd(_mm256_permute4x64_pd(_mm256_loadu_pd(value_row + first_col), 0x1B), sign_bits);
        const __m256d c_pen = _mm256_blendv_pd(one, zero, allowed);
        const __m256d c_val = _mm256_blendv_pd(zero, w, allowed);
        const __m256d rp =
            _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(c_pen, zero), u_pen), _mm256_loadu_pd(v_pen_rev + p));
        const __m256d rv =
            _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(c_val, zero), u_val), _mm256_loadu_pd(v_val_rev + p));
        _mm256_storeu_pd(r_pen + p, rp);
        _mm256_storeu_pd(r_val + p, rv);
        low_pen = _mm256_min_pd(low_pen, rp);
        low_val = _mm256_min_pd(low_val, _mm256_blendv_pd(inf, rv, _mm256_cmp_pd(rp, target, _CMP_EQ_OQ)));
        special = _mm256_or_pd(special, not_finite(rv));
        if (p == last) break;
    }
    merge_lanes(low_pen, low_val, special, low);
}

// A later pass of a Lex search from row i over the len >= 4 list positions: relaxes each remaining
// column through row i, four at a time, with the same operations as the scalar form in LexSolver.
// Relaxing a position twice leaves it as once (strict comparison).
__attribute__((target("avx2"))) void lex_relax_avx2(const double* value_row, const unsigned char* allowed_row,
                                                    std::uint64_t sign, Lex min_val, Lex ui, std::size_t i,
                                                    std::size_t len, const std::size_t* remaining,
                                                    const double* v_pen_at, const double* v_val_at,
                                                    double* d_pen_at, double* d_val_at, std::size_t* path_at,
                                                    LexLow& low) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d inf = _mm256_set1_pd(kInf);
    const __m256d m_pen = _mm256_set1_pd(min_val.penalties);
    const __m256d m_val = _mm256_set1_pd(min_val.value);
    const __m256d u_pen = _mm256_set1_pd(ui.penalties);
    const __m256d u_val = _mm256_set1_pd(ui.value);
    const __m256d row = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(i)));
    const __m256d sign_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(sign)));
    __m256d low_pen = inf, low_val = inf, special = zero;
    const std::size_t last = len - 4;
    for (std::size_t p = 0;; p = std::min(p + 4, last)) {
        const std::size_t j0 = remaining[p], j1 = remaining[p + 1], j2 = remaining[p + 2], j3 = remaining[p + 3];
        const __m256d allowed = _mm256_castsi256_pd(_mm256_cmpgt_epi64(
            _mm256_setr_epi64x(allowed_row[j0], allowed_row[j1], allowed_row[j2], allowed_row[j3]),
            _mm256_setzero_si256()));
        // Scalar loads beat the gather instruction on several processors.
        const __m128d w01 = _mm_loadh_pd(_mm_load_sd(value_row + j0), value_row + j1);
        const __m128d w23 = _mm_loadh_pd(_mm_load_sd(value_row + j2), value_row + j3);
        const __m256d w = _mm256_xor_pd(_mm256_insertf128_pd(_mm256_castpd128_pd256(w01), w23, 1), sign_bits);
        const __m256d c_pen = _mm256_blendv_pd(one, zero, allowed);
        const __m256d c_val = _mm256_blendv_pd(zero, w, allowed);
        const __m256d r_pen =
            _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(c_pen, m_pen), u_pen), _mm256_loadu_pd(v_pen_at + p));
        const __m256d r_val =
            _mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(c_val, m_val), u_val), _mm256_loadu_pd(v_val_at + p));
        const __m256d old_pen = _mm256_loadu_pd(d_pen_at + p);
        const __m256d old_val = _mm256_loadu_pd(d_val_at + p);
        // Strict: an equal length keeps the older predecessor.
        const __m256d shorter = _mm256_or_pd(
            _mm256_cmp_pd(r_pen, old_pen, _CMP_LT_OQ),
            _mm256_and_pd(_mm256_cmp_pd(r_pen, old_pen, _CMP_EQ_OQ), _mm256_cmp_pd(r_val, old_val, _CMP_LT_OQ)));
        const __m256d dj_pen = _mm256_blendv_pd(old_pen, r_pen, shorter);
        const __m256d dj_val = _mm256_blendv_pd(old_val, r_val, shorter);
        _mm256_storeu_pd(d_pen_at + p, dj_pen);
        _mm256_storeu_pd(d_val_at + p, dj_val);
        double* const path = reinterpret_cast<double*>(path_at + p);
        _mm256_storeu_pd(path, _mm256_blendv_pd(_mm256_loadu_pd(path), row, shorter));
        low_pen = _mm256_min_pd(low_pen, dj_pen);
        low_val = _mm256_min_pd(low_val, _mm256_blendv_pd(inf, dj_val, _mm256_cmp_pd(dj_pen, m_pen, _CMP_EQ_OQ)));
        special = _mm256_or_pd(special, not_finite(dj_val));
        if (p == last) break;
    }
    merge_lanes(low_pen, low_val, special, low);
}
#endif

// Calls visit(j) for every j in [0, n) with row[j] != 0, in ascending order.
#ifdef VESTRIM_LSAP_AVX2
template <class Visit>
__attribute__((target("avx2"))) void for_each_set_avx2(const unsigned char* row, std::size_t n, Visit&& visit) {
    auto visit_bits = [&](std::size_t base, std::uint32_t bits) {
        for (; bits != 0; bits &= bits - 1) visit(base + static_cast<std::size_t>(std::countr_zero(bits)));
    };
    const __m256i zero = _mm256_setzero_si256();
    auto set_bits = [&](std::size_t j) __attribute__((target("avx2"))) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
        return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero)));
    };
    std::size_t j = 0;
    for (; j + 32 <= n; j += 32) visit_bits(j, set_bits(j));
    // The last bytes by one block that overlaps the one before, without the bytes already seen.
    if (j < n) visit_bits(n - 32, set_bits(n - 32) & (~std::uint32_t{0} << (j - (n - 32))));
}
#endif

template <class Visit>
void for_each_set(const unsigned char* row, std::size_t n, bool use_avx2, Visit&& visit) {
#ifdef VESTRIM_LSAP_AVX2
    if (use_avx2 && n >= 32) {
        for_each_set_avx2(row, n, visit);
        return;
    }
#else
    (void)use_avx2;
#endif
    for (std::size_t j = 0; j < n; ++j)
        if (row[j] != 0) visit(j);
}

// The position the rule takes among the lengths (pen, val) of positions [0, n), given what the
// sweep that computed them gathered; `free` holds the positions' free flags. kNone if there is none.
std::size_t lex_pick(const double* pen, const double* val, const std::uint64_t* free, std::size_t n,
                     const LexLow& low, double guess, bool use_avx2) {
    if (!low.finite) {
        Lex lowest = kLexInf;
        std::size_t best = kNone;
        for (std::size_t p = 0; p < n; ++p) {
            const Lex d{pen[p], val[p]};
            if (d < lowest || (d == lowest && free[p])) {
                lowest = d;
                best = p;
            }
        }
        return best;
    }
    const bool vector = use_avx2 && n >= 4;
    Lex m{low.penalties, low.guess_value};
    if (low.penalties != guess) {
        m.value = kInf;
#ifdef VESTRIM_LSAP_AVX2
        if (vector) m.value = lowest_value_with_avx2(pen, val, n, m.penalties);
#endif
        for (std::size_t k = 0; k < n && !vector; ++k)
            if (pen[k] == m.penalties) m.value = std::min(m.value, val[k]);
    }
#ifdef VESTRIM_LSAP_AVX2
    if (vector) {
        const std::size_t best = last_holding_avx2(pen, val, free, n, m);
        return best != kNone ? best : first_holding_avx2(pen, val, nullptr, n, m);
    }
#endif
    for (std::size_t k = n; k > 0; --k)
        if (free[k - 1] && holds(pen, val, k - 1, m)) return k - 1;
    for (std::size_t k = 0; k < n; ++k)
        if (holds(pen, val, k, m)) return k;
    return kNone;
}

// The searches of `augment` written over Lex costs: the same list of remaining columns (descending
// column order, removal by moving the last position into the gap), the same lengths
// ((cost + min_val) - u) - v, the same tie rules and the same potential updates, so that with no
// penalty involved every value is the one `augment` computes. The cost of cell (i, j) is read from
// the working value and mask rows: (0, value) where allowed, (1, 0) elsewhere.
//
// As in `augment`, column potentials and free flags are stored in the order of a search's starting
// list (column j at nc - 1 - j). A search's first pass, from the row being inserted, computes its
// lengths in that order, reading the row as a block; most searches end there, at a free column.
// Otherwise those lengths become the list's tentative lengths and the search goes on.
class LexSolver {
public:
    LexSolver(std::size_t nr, std::size_t nc, const double* value, const unsigned char* allowed, std::uint64_t sign,
              bool use_avx2)
        : nr_(nr), nc_(nc), value_(value), allowed_(allowed), sign_(sign), use_avx2_(use_avx2) {
        storage_.reset(3 * nr + 18 * nc);
        auto take = [&](auto*& array, std::size_t n) { storage_.take(array, n); };
        take(u_pen_, nr);
        take(u_val_, nr);
        take(col4row_, nr);
        take(v_pen_rev_, nc);
        take(v_val_rev_, nc);
        take(free_rev_, nc);
        take(descending_, nc);
        take(d_pen_, nc);
        take(d_val_, nc);
        take(path_, nc);
        take(row4col_, nc);
        take(reached_, nc);
        take(r_pen_, nc);
        take(r_val_, nc);
        take(remaining_, nc);
        take(d_pen_at_, nc);
        take(d_val_at_, nc);
        take(v_pen_at_, nc);
        take(v_val_at_, nc);
        take(path_at_, nc);
        take(free_at_, nc);
        std::fill(u_pen_, u_pen_ + nr, 0.0);
        std::fill(u_val_, u_val_ + nr, 0.0);
        std::fill(col4row_, col4row_ + nr, kNone);
        std::fill(v_pen_rev_, v_pen_rev_ + nc, 0.0);
        std::fill(v_val_rev_, v_val_rev_ + nc, 0.0);
        std::fill(free_rev_, free_rev_ + nc, kFree);
        for (std::size_t p = 0; p < nc; ++p) descending_[p] = nc - 1 - p;
        std::fill(row4col_, row4col_ + nc, kNone);
    }

    // Inserts every row; false if a search finds no column (cannot happen with finite costs).
    bool run() {
        for (std::size_t cur = 0; cur < nr_; ++cur)
            if (!augment(cur)) return false;
        return true;
    }

    const std::size_t* col4row() const { return col4row_; }

private:
    Lex u(std::size_t i) const { return Lex{u_pen_[i], u_val_[i]}; }
    Lex cost(const double* value_row, const unsigned char* allowed_row, std::size_t j) const {
        const bool ok = allowed_row[j] != 0;
        return Lex{ok ? 0.0 : 1.0, ok ? cost_at(value_row, j, sign_) : 0.0};
    }

    // The first pick of the search from `cur` read off the row's allowed cells, when that is
    // possible. Counts are exact: the cost count of a forbidden cell is 1 and of an allowed one 0, so
    // if some allowed cell lies in a column of the highest count potential (max_v_pen_), the lengths
    // of exactly those cells have the lowest count (every forbidden cell's is higher by at least one,
    // every other allowed cell's is higher too). Only they can hold the lowest length, so the rule
    // over all positions picks among them: by lowest value, then the last free position (the lowest
    // free column), else the first (the highest column). A value elsewhere that is not finite does
    // not change that: it never sits at the lowest count. Returns the position and its length, or
    // kNone when there is no such cell or one of their values is not finite.
    std::size_t sparse_first_pick(std::size_t cur, Lex& lowest) const {
        const Lex ucur = u(cur);
        const Lex zero{0.0, 0.0};
        const double* const value_row = value_ + cur * nc_;
        const unsigned char* const allowed_row = allowed_ + cur * nc_;
        const double top = max_v_pen_;
        double low = kInf;
        std::size_t low_free = kNone;  // lowest free column holding `low`
        std::size_t low_last = kNone;  // highest column holding `low`
        bool finite = true;
        for_each_set(allowed_row, nc_, use_avx2_, [&](std::size_t j) {
            const std::size_t p = nc_ - 1 - j;
            if (v_pen_rev_[p] != top) return;
            const Lex r = ((Lex{0.0, cost_at(value_row, j, sign_)} + zero) - ucur) - Lex{v_pen_rev_[p], v_val_rev_[p]};
            finite = finite && std::fabs(r.value) <= std::numeric_limits<double>::max();
            if (r.value < low || low_last == kNone) {
                low = r.value;
                lowest = r;
                low_free = free_rev_[p] ? j : kNone;
                low_last = j;
            } else if (r.value == low) {
                if (low_free == kNone && free_rev_[p]) low_free = j;
                low_last = j;
            }
        });
        if (!finite || low_last == kNone) return kNone;
        const std::size_t j = low_free != kNone ? low_free : low_last;
        lowest = ((Lex{0.0, cost_at(value_row, j, sign_)} + zero) - ucur) - Lex{v_pen_rev_[nc_ - 1 - j], v_val_rev_[nc_ - 1 - j]};
        return nc_ - 1 - j;
    }

    // The first pass of the search from `cur`: the lengths to every column, by starting list
    // position, into r_pen_/r_val_; returns the position to reach first (kNone if there is none).
    // `allowed_at_top` tells whether the row has an allowed cell in a column of the highest count
    // potential, which decides the lowest count (see sparse_first_pick).
    std::size_t first_pass(std::size_t cur, bool allowed_at_top) {
        const Lex ucur = u(cur);
        const Lex zero{0.0, 0.0};
        const double* const value_row = value_ + cur * nc_;
        const unsigned char* const allowed_row = allowed_ + cur * nc_;
        const double guess = ((allowed_at_top ? 0.0 : 1.0) - ucur.penalties) - max_v_pen_;
        LexLow low;
#ifdef VESTRIM_LSAP_AVX2
        if (use_avx2_ && nc_ >= 4) {
            lex_first_lengths_avx2(value_row, allowed_row, sign_, ucur, nc_, v_pen_rev_, v_val_rev_, r_pen_, r_val_,
                                   guess, low);
            return lex_pick(r_pen_, r_val_, free_rev_, nc_, low, guess, use_avx2_);
        }
#endif
        for (std::size_t p = 0; p < nc_; ++p) {
            const Lex r = ((cost(value_row, allowed_row, nc_ - 1 - p) + zero) - ucur) - Lex{v_pen_rev_[p], v_val_rev_[p]};
            r_pen_[p] = r.penalties;
            r_val_[p] = r.value;
            fold(low, guess, r.penalties, r.value);
        }
        return lex_pick(r_pen_, r_val_, free_rev_, nc_, low, guess, use_avx2_);
    }

    // A later pass of the search from row i: relaxes the `len` remaining positions and returns the
    // position to reach next (kNone if there is none).
    std::size_t pass(std::size_t i, Lex min_val, std::size_t len) {
        const Lex ui = u(i);
        const double* const value_row = value_ + i * nc_;
        const unsigned char* const allowed_row = allowed_ + i * nc_;
        // The lowest length of most passes has min_val's penalty count.
        const double guess = min_val.penalties;
        LexLow low;
#ifdef VESTRIM_LSAP_AVX2
        if (use_avx2_ && len >= 4) {
            lex_relax_avx2(value_row, allowed_row, sign_, min_val, ui, i, len, remaining_, v_pen_at_, v_val_at_,
                           d_pen_at_, d_val_at_, path_at_, low);
            return lex_pick(d_pen_at_, d_val_at_, free_at_, len, low, guess, use_avx2_);
        }
#endif
        for (std::size_t p = 0; p < len; ++p) {
            const Lex r = ((cost(value_row, allowed_row, remaining_[p]) + min_val) - ui) - Lex{v_pen_at_[p], v_val_at_[p]};
            // Strict: an equal length keeps the older predecessor.
            if (r < Lex{d_pen_at_[p], d_val_at_[p]}) {
                d_pen_at_[p] = r.penalties;
                d_val_at_[p] = r.value;
                path_at_[p] = i;
            }
            fold(low, guess, d_pen_at_[p], d_val_at_[p]);
        }
        return lex_pick(d_pen_at_, d_val_at_, free_at_, len, low, guess, use_avx2_);
    }

    bool augment(std::size_t cur) {
        // Most searches end at their first pick, a free column, found from the allowed cells alone.
        Lex min_val;
        meter_.add(nc_);
        std::size_t first = sparse_first_pick(cur, min_val);
        if (first == kNone || !free_rev_[first]) {
            first = first_pass(cur, first != kNone);
            if (first == kNone) return false;
            min_val = Lex{r_pen_[first], r_val_[first]};
        }
        if (std::isinf(min_val.penalties)) return false;
        std::size_t n_reached = 0;
        std::size_t j = nc_ - 1 - first;
        reached_[n_reached++] = j;
        d_pen_[j] = min_val.penalties;
        d_val_[j] = min_val.value;
        path_[j] = cur;
        if (!free_rev_[first]) {
            // The search goes on from the list as its first pass leaves it: the first pass's lengths,
            // all reached from cur, without the position it reached.
            std::swap(r_pen_, d_pen_at_);
            std::swap(r_val_, d_val_at_);
            std::copy(descending_, descending_ + nc_, remaining_);
            std::copy(v_pen_rev_, v_pen_rev_ + nc_, v_pen_at_);
            std::copy(v_val_rev_, v_val_rev_ + nc_, v_val_at_);
            std::copy(free_rev_, free_rev_ + nc_, free_at_);
            std::fill(path_at_, path_at_ + nc_, cur);
            std::size_t len = nc_;
            remove(first, len);
            for (;;) {
                meter_.add(2 * len);  // a pass reads both the value and the mask
                const std::size_t best = pass(row4col_[j], min_val, len);
                if (best == kNone) return false;
                min_val = Lex{d_pen_at_[best], d_val_at_[best]};
                if (std::isinf(min_val.penalties)) return false;
                j = remaining_[best];
                reached_[n_reached++] = j;
                d_pen_[j] = min_val.penalties;
                d_val_[j] = min_val.value;
                path_[j] = path_at_[best];
                const bool is_free = free_at_[best] != 0;
                remove(best, len);
                if (is_free) break;
            }
        }
        finish(cur, min_val, j, n_reached);
        return true;
    }

    // Takes position p out of the list by moving the last position into it.
    void remove(std::size_t p, std::size_t& len) {
        --len;
        remaining_[p] = remaining_[len];
        d_pen_at_[p] = d_pen_at_[len];
        d_val_at_[p] = d_val_at_[len];
        v_pen_at_[p] = v_pen_at_[len];
        v_val_at_[p] = v_val_at_[len];
        path_at_[p] = path_at_[len];
        free_at_[p] = free_at_[len];
    }

    // The potential update and the augmentation along the path to `sink`.
    void finish(std::size_t cur, Lex min_val, std::size_t sink, std::size_t n_reached) {
        const Lex ucur = u(cur) + min_val;
        u_pen_[cur] = ucur.penalties;
        u_val_[cur] = ucur.value;
        for (std::size_t k = 0; k + 1 < n_reached; ++k) {
            const std::size_t j = reached_[k];
            const std::size_t r = row4col_[j];
            const Lex ur = (min_val - Lex{d_pen_[j], d_val_[j]}) + u(r);
            u_pen_[r] = ur.penalties;
            u_val_[r] = ur.value;
        }
        bool counts_changed = false;
        for (std::size_t k = 0; k < n_reached; ++k) {
            const std::size_t j = reached_[k];
            const std::size_t p = nc_ - 1 - j;
            const Lex vj = Lex{v_pen_rev_[p], v_val_rev_[p]} - (min_val - Lex{d_pen_[j], d_val_[j]});
            counts_changed = counts_changed || vj.penalties != v_pen_rev_[p];
            v_pen_rev_[p] = vj.penalties;
            v_val_rev_[p] = vj.value;
        }
        if (counts_changed) max_v_pen_ = *std::max_element(v_pen_rev_, v_pen_rev_ + nc_);
        for (std::size_t j = sink;;) {
            const std::size_t row = path_[j];
            row4col_[j] = row;
            free_rev_[nc_ - 1 - j] = 0;
            std::swap(col4row_[row], j);
            if (row == cur) break;
        }
    }

    std::size_t nr_;
    std::size_t nc_;
    const double* value_;
    const unsigned char* allowed_;
    std::uint64_t sign_;
    bool use_avx2_;
    double max_v_pen_ = 0.0;  // the highest count among the column potentials
    interrupt::Meter meter_;  // a search's passes count the columns they scan
    Slab storage_;  // every array below, in one allocation
    double* u_pen_;              // nr row potentials, by component
    double* u_val_;
    std::size_t* col4row_;       // nr
    double* v_pen_rev_;          // nc column potentials, by component; column j at nc - 1 - j
    double* v_val_rev_;
    std::uint64_t* free_rev_;    // nc: kFree while the column has no row; column j at nc - 1 - j
    std::size_t* descending_;    // nc: the starting list, nc - 1 - p at p
    double* d_pen_;              // nc lengths of reached columns, by column
    double* d_val_;
    std::size_t* path_;          // nc: row each reached column was reached from
    std::size_t* row4col_;       // nc
    std::size_t* reached_;       // nc columns reached by the current search, in order
    double* r_pen_;              // nc lengths of the latest first pass, by starting list position
    double* r_val_;
    std::size_t* remaining_;     // nc columns not yet reached, in list order
    double* d_pen_at_;           // nc tentative lengths, by list position
    double* d_val_at_;
    double* v_pen_at_;           // nc column potentials, by list position
    double* v_val_at_;
    std::size_t* path_at_;       // nc, by list position
    std::uint64_t* free_at_;     // nc, by list position
};

// The pairs (input row, input column) of a solved problem, ordered by input row. Working row k is
// input column k when the problem was transposed.
Assignment assignment_of(const std::size_t* col4row, std::size_t nr, bool transpose) {
    Assignment out;
    out.rows.resize(nr);
    out.cols.resize(nr);
    if (!transpose) {
        for (std::size_t i = 0; i < nr; ++i) {
            out.rows[i] = i;
            out.cols[i] = col4row[i];
        }
    } else {
        std::vector<std::size_t> order(nr);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return col4row[a] < col4row[b]; });
        for (std::size_t t = 0; t < nr; ++t) {
            out.rows[t] = col4row[order[t]];
            out.cols[t] = order[t];
        }
    }
    return out;
}

}  // namespace

std::expected<Assignment, LSAPError> solve_with_forbidden(std::size_t rows, std::size_t cols, const double* value,
                                                          const unsigned char* allowed, bool maximize) {
    return solve_with_forbidden(rows, cols, value, allowed, maximize, Kernel::Auto);
}

std::expected<Assignment, LSAPError> solve_with_forbidden(std::size_t rows, std::size_t cols, const double* value,
                                                          const unsigned char* allowed, bool maximize, Kernel kernel) {
    if (rows == 0 || cols == 0) return Assignment{};
    const std::size_t n = rows * cols;
#ifdef VESTRIM_LSAP_AVX2
    const bool use_avx2 = kernel == Kernel::Auto && __builtin_cpu_supports("avx2");
#else
    const bool use_avx2 = false;
    (void)kernel;
#endif
    if (!all_finite(value, n, use_avx2)) {
        // Only the allowed values must be finite. Without branches: the mask is irregular.
        bool finite = true;
        interrupt::Meter meter;
        for (std::size_t k = 0; k < n; ++k) {
            if ((k & 0xffff) == 0) meter.add(0x10000);
            finite &= (allowed[k] == 0) | (std::fabs(value[k]) <= std::numeric_limits<double>::max());
        }
        if (!finite) return std::unexpected(LSAPError::Invalid);
    }
    const bool transpose = rows > cols;
    const std::size_t nr = transpose ? cols : rows;
    const std::size_t nc = transpose ? rows : cols;
    constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;
    std::uint64_t sign = maximize ? kSignBit : 0;
    // Read in place unless it has to be transposed (then negated as it is copied, when maximising).
    std::unique_ptr<double[]> value_t;
    std::unique_ptr<unsigned char[]> allowed_t;
    if (transpose) {
        value_t = lsap::transpose(value, rows, cols, [&](const double* row, std::size_t j) { return cost_at(row, j, sign); });
        allowed_t = lsap::transpose(allowed, rows, cols, [](const unsigned char* row, std::size_t j) { return row[j]; });
        value = value_t.get();
        allowed = allowed_t.get();
        sign = 0;
    }
    LexSolver solver(nr, nc, value, allowed, sign, use_avx2);
    if (!solver.run()) return std::unexpected(LSAPError::Infeasible);
    return assignment_of(solver.col4row(), nr, transpose);
}

std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize) {
    return solve(rows, cols, cost, maximize, Kernel::Auto);
}

std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize, Kernel kernel) {
    if (rows == 0 || cols == 0) return Assignment{};

    const bool transpose = rows > cols;
    const std::size_t nr = transpose ? cols : rows;
    const std::size_t nc = transpose ? rows : cols;
    const std::size_t n = nr * nc;

#ifdef VESTRIM_LSAP_AVX2
    const bool use_avx2 = kernel == Kernel::Auto && __builtin_cpu_supports("avx2");
#else
    const bool use_avx2 = false;
    (void)kernel;
#endif
    if (!all_finite(cost, n, use_avx2)) return std::unexpected(LSAPError::Invalid);

    // The caller's array is used in place unless it has to be transposed; maximising negates each
    // cost as it is read (or as it is copied, when transposing).
    constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;
    std::unique_ptr<double[]> owned;
    const double* w = cost;
    std::uint64_t sign = maximize ? kSignBit : 0;
    if (transpose) {
        owned = lsap::transpose(cost, rows, cols, [&](const double* row, std::size_t j) { return cost_at(row, j, sign); });
        w = owned.get();
        sign = 0;
    }

    Workspace ws(nr, nc);
    for (std::size_t cur = 0; cur < nr; ++cur)
        if (!augment(w, sign, nc, cur, use_avx2, ws)) return std::unexpected(LSAPError::Infeasible);

    return assignment_of(ws.col4row, nr, transpose);
}

}  // namespace vestrim::lsap
