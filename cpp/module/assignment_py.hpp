// Pair matching at the module boundary, shared by every matching entry point (boxes, masks, 3D
// boxes): the `method` option and the `Matching` result class.
#pragma once

#include <string>

#include "core/assignment.hpp"
#include "core/types.hpp"
#include "module/py.hpp"

namespace vestrim::py {

// Exactly "hungarian" or "greedy"; otherwise the message
// unknown method "<text, debug-quoted>", expected "hungarian" or "greedy".
Result<assignment::Method> parse_method(const std::string& text);

// Moves a finished matching into a new `Matching` object (nullptr with an exception set on failure).
PyObject* new_matching(assignment::Matching&& matching);

}  // namespace vestrim::py
