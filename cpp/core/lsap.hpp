// Rectangular linear sum assignment (shortest augmenting path, Jonker-Volgenant family, Crouse's
// rectangular form). Every optimal matching in the library goes through `solve`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

namespace vestrim::lsap {

enum class LSAPError { Invalid, Infeasible };

// "Invalid" or "Infeasible": appended by callers to their internal-error messages.
std::string_view to_string(LSAPError e);

struct Assignment {
    std::vector<std::uint64_t> rows;  // strictly ascending
    std::vector<std::uint64_t> cols;  // parallel to rows
};

// Solves the rows x cols problem given as a row-major array (read, never modified). Minimises the
// total unless `maximize` is set. Returns min(rows, cols) pairs with rows ascending.
std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize);

// Implementation of the inner scan. Every kernel returns exactly the same pairs; `Auto` uses vector
// instructions when the processor has them, `Portable` never does (kept selectable for testing).
enum class Kernel { Auto, Portable };

std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize, Kernel kernel);

}  // namespace vestrim::lsap
