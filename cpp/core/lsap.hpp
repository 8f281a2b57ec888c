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

// The same problem with forbidden cells (allowed[k] == 0): the assignment uses as many allowed cells
// as it can and, among those assignments, has the best total of its allowed values; the values of
// forbidden cells are never read. This is what `solve` computes in exact arithmetic for the matrix
// whose forbidden cells carry a penalty larger than any difference of totals: each cost is kept as a
// pair (penalty count, value), added componentwise and compared lexicographically, so a penalty never
// absorbs a value. It runs the same searches with the same tie rules, so where no forbidden cell
// is needed (an assignment of only allowed cells exists) it returns exactly what `solve` returns for
// any such penalty. Invalid if an allowed value is not finite.
std::expected<Assignment, LSAPError> solve_with_forbidden(std::size_t rows, std::size_t cols, const double* value,
                                                          const unsigned char* allowed, bool maximize);

// Implementation of the inner scan. Every kernel returns exactly the same pairs; `Auto` uses vector
// instructions when the processor has them, `Portable` never does (kept selectable for testing).
enum class Kernel { Auto, Portable };

std::expected<Assignment, LSAPError> solve(std::size_t rows, std::size_t cols, const double* cost,
                                           bool maximize, Kernel kernel);
std::expected<Assignment, LSAPError> solve_with_forbidden(std::size_t rows, std::size_t cols, const double* value,
                                                          const unsigned char* allowed, bool maximize, Kernel kernel);

}  // namespace vestrim::lsap
