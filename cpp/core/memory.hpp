// How much memory one computation may plan to use, and the refusal of work that would not fit.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vestrim::memory {

// The least of the machine's physical memory, the process's address-space limit and the memory
// limit of its control group (v1 or v2): more than this cannot be allocated, or not without the
// process being killed.
std::uint64_t available();

// Work refused up front because it would need more memory than available(); the boundary raises
// MemoryError with the message.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vestrim::memory
