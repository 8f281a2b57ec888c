// A small open-addressing hash map from 64-bit keys to non-zero 64-bit values, for the id and pair
// tables on the hot paths (one probe sequence in two flat arrays, no per-entry allocation).
// A zero value marks an empty slot, so stored values must never be 0. Keys are hashed with the
// process's hash key (see id_hash.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/id_hash.hpp"
#include "core/interrupt.hpp"

namespace vestrim {

class FlatMap {
public:
    FlatMap() : FlatMap(id_hash::process_key()) {}
    explicit FlatMap(std::uint64_t hash_key) : hash_key_(hash_key) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // The value stored under `key`, or nullptr.
    const std::uint64_t* find(std::uint64_t key) const {
        if (size_ == 0) return nullptr;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            if (slots_[i].value == 0) return nullptr;
            if (slots_[i].key == key) return &slots_[i].value;
        }
    }

    // The value stored under `key`, inserting `initial` (non-zero) first if the key is new; the
    // flag tells whether it was inserted. With a `meter`, growing the table counts its work on it
    // (a table of millions of entries takes a while to move); an interruption leaves the map as it
    // was before the call.
    std::pair<std::uint64_t&, bool> try_emplace(std::uint64_t key, std::uint64_t initial,
                                                interrupt::Meter* meter = nullptr) {
        if (2 * (size_ + 1) > slots_.size()) grow(meter);
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.value == 0) {
                s = {key, initial};
                ++size_;
                return {s.value, true};
            }
            if (s.key == key) return {s.value, false};
        }
    }

    // Calls f(key, value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_)
            if (s.value != 0) f(s.key, s.value);
    }

    // The most slots a lookup of a stored key visits: what colliding keys would drive up.
    std::size_t longest_probe() const {
        std::size_t longest = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].value != 0) {
                const std::size_t length = ((i - slot_of(slots_[i].key)) & mask_) + 1;
                if (length > longest) longest = length;
            }
        return longest;
    }

private:
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>(id_hash::keyed(key, hash_key_)) & mask_;
    }

    // Doubles the table: the entries are copied into a new one, which replaces the old one only
    // once complete.
    void grow(interrupt::Meter* meter) {
        const std::size_t capacity = slots_.empty() ? 16 : 2 * slots_.size();
        std::vector<Slot> fresh;
        fresh.reserve(capacity);
        constexpr std::size_t kPiece = std::size_t{1} << 16;  // emptied slots between counts
        while (fresh.size() < capacity) {
            const std::size_t n = capacity - fresh.size() < kPiece ? capacity - fresh.size() : kPiece;
            fresh.resize(fresh.size() + n);
            if (meter != nullptr) meter->add(n);
        }
        const std::size_t mask = capacity - 1;
        for (const Slot& s : slots_) {
            if (meter != nullptr) meter->add(1);
            if (s.value == 0) continue;
            std::size_t i = static_cast<std::size_t>(id_hash::keyed(s.key, hash_key_)) & mask;
            while (fresh[i].value != 0) i = (i + 1) & mask;
            fresh[i] = s;
        }
        slots_ = std::move(fresh);
        mask_ = mask;
    }

    struct Slot {
        std::uint64_t key = 0;
        std::uint64_t value = 0;  // 0: empty
    };

    std::uint64_t hash_key_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vestrim
