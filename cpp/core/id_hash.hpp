// Hashing of the ids (and keys built from them) that the input chooses. A fixed hash lets a file's
// author pick ids that all land in one probe sequence and make evaluating that file quadratic; the
// hash here is keyed by a random number drawn once per process, so no set of ids collides more
// than random ids do. Nothing computed may depend on the key: only where an entry sits in a table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vestrim::id_hash {

// The process's hash key, drawn from the system's entropy source on first use.
std::uint64_t process_key();

// splitmix64's finaliser, a bijection that spreads every input bit over the whole word.
inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

inline std::uint64_t keyed(std::uint64_t x, std::uint64_t key) { return mix(x ^ key); }

// For the standard containers keyed by ids.
struct KeyedHash {
    std::size_t operator()(std::uint64_t x) const { return static_cast<std::size_t>(keyed(x, process_key())); }
};

}  // namespace vestrim::id_hash
