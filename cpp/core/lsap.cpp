// Rectangular linear sum assignment by shortest augmenting paths.
//
// Rows are inserted one at a time; each insertion is a Dijkstra-like search over reduced costs that
// the row and column potentials keep non-negative. The order of floating-point operations and the
// tie rules below are part of the contract: they decide which of several equal optima is returned,
// and every caller's results (and their agreement with other tools) depend on that choice.
#include "core/lsap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>

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

// All working state of one call, carved out of a single allocation.
struct Workspace {
    std::unique_ptr<double[]> reals;
    std::unique_ptr<std::size_t[]> indices;
    std::unique_ptr<unsigned char[]> flags;

    double* u;               // nr row potentials
    double* v;               // nc column potentials
    double* d;               // nc tentative path lengths
    std::size_t* path;       // nc: row each column was last reached from
    std::size_t* col4row;    // nr
    std::size_t* row4col;    // nc
    std::size_t* remaining;  // nc columns not yet reached in the current search
    unsigned char* row_seen; // nr
    unsigned char* col_seen; // nc
    unsigned char* col_free; // nc: 1 while the column has no row assigned (mirrors row4col)

    Workspace(std::size_t nr, std::size_t nc)
        : reals(new double[nr + 2 * nc]),
          indices(new std::size_t[nr + 3 * nc]),
          flags(new unsigned char[nr + 2 * nc]) {
        u = reals.get();
        v = u + nr;
        d = v + nc;
        path = indices.get();
        col4row = path + nc;
        row4col = col4row + nr;
        remaining = row4col + nc;
        row_seen = flags.get();
        col_seen = row_seen + nr;
        col_free = col_seen + nc;
        std::fill(u, u + nr + nc, 0.0);
        std::fill(col4row, col4row + nr, kNone);
        std::fill(row4col, row4col + nc, kNone);
        std::fill(col_free, col_free + nc, static_cast<unsigned char>(1));
    }
};

// Inserts row `cur` by one shortest-path search followed by the potential update and augmentation.
// Returns false when the search meets an infinite path length.
bool augment(const double* w, std::size_t nr, std::size_t nc, std::size_t cur, Workspace& ws) {
    double* const u = ws.u;
    double* const v = ws.v;
    double* const d = ws.d;
    std::size_t* const path = ws.path;
    std::size_t* const remaining = ws.remaining;
    const unsigned char* const col_free = ws.col_free;

    std::size_t len = nc;
    for (std::size_t k = 0; k < nc; ++k) remaining[k] = nc - 1 - k;
    std::fill(ws.row_seen, ws.row_seen + nr, static_cast<unsigned char>(0));
    std::fill(ws.col_seen, ws.col_seen + nc, static_cast<unsigned char>(0));
    std::fill(d, d + nc, kInf);

    double min_val = 0.0;
    std::size_t i = cur;
    std::size_t sink = kNone;
    while (sink == kNone) {
        ws.row_seen[i] = 1;
        const double* const wi = w + i * nc;
        const double ui = u[i];
        std::size_t best = kNone;
        double lowest = kInf;
        for (std::size_t p = 0; p < len; ++p) {
            const std::size_t j = remaining[p];
            const double r = ((wi[j] + min_val) - ui) - v[j];
            double dj = d[j];
            // Strict: an equal length keeps the older predecessor.
            const bool shorter = dj > r;
            dj = shorter ? r : dj;
            d[j] = dj;
            path[j] = shorter ? i : path[j];
            // Among equal lowest lengths, prefer the last free column, else the first one seen.
            const bool take = dj < lowest || (dj == lowest && col_free[j]);
            lowest = take ? dj : lowest;
            best = take ? p : best;
        }
        min_val = lowest;
        if (std::isinf(lowest) || best == kNone) return false;

        const std::size_t j = remaining[best];
        ws.col_seen[j] = 1;
        remaining[best] = remaining[--len];
        if (col_free[j]) {
            sink = j;
        } else {
            i = ws.row4col[j];
        }
    }

    u[cur] = u[cur] + min_val;
    for (std::size_t r = 0; r < nr; ++r) {
        if (ws.row_seen[r] && r != cur) u[r] = (min_val - d[ws.col4row[r]]) + u[r];
    }
    for (std::size_t c = 0; c < nc; ++c) {
        if (ws.col_seen[c]) v[c] = v[c] - (min_val - d[c]);
    }

    std::size_t j = sink;
    for (;;) {
        const std::size_t row = path[j];
        ws.row4col[j] = row;
        ws.col_free[j] = 0;
        std::swap(ws.col4row[row], j);
        if (row == cur) break;
    }
    return true;
}

}  // namespace

std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize) {
    if (rows == 0 || cols == 0) return Assignment{};

    const bool transpose = rows > cols;
    const std::size_t nr = transpose ? cols : rows;
    const std::size_t nc = transpose ? rows : cols;
    const std::size_t n = nr * nc;

    // The caller's array is used in place unless it has to be transposed or negated.
    std::unique_ptr<double[]> owned;
    const double* w = cost;
    if (transpose) {
        owned.reset(new double[n]);
        for (std::size_t i = 0; i < rows; ++i) {
            const double* src = cost + i * cols;
            for (std::size_t j = 0; j < cols; ++j) owned[j * nc + i] = src[j];
        }
        w = owned.get();
    }
    if (maximize) {
        if (!owned) {
            owned.reset(new double[n]);
            std::copy(cost, cost + n, owned.get());
        }
        for (std::size_t k = 0; k < n; ++k) owned[k] = -owned[k];
        w = owned.get();
    }

    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(w[k])) return std::unexpected(LSAPError::Invalid);
    }

    Workspace ws(nr, nc);
    for (std::size_t cur = 0; cur < nr; ++cur) {
        if (!augment(w, nr, nc, cur, ws)) return std::unexpected(LSAPError::Infeasible);
    }

    Assignment out;
    out.rows.resize(nr);
    out.cols.resize(nr);
    if (!transpose) {
        for (std::size_t i = 0; i < nr; ++i) {
            out.rows[i] = i;
            out.cols[i] = ws.col4row[i];
        }
    } else {
        std::vector<std::size_t> order(nr);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return ws.col4row[a] < ws.col4row[b];
        });
        for (std::size_t t = 0; t < nr; ++t) {
            out.rows[t] = ws.col4row[order[t]];
            out.cols[t] = order[t];
        }
    }
    return out;
}

}  // namespace vestrim::lsap
