// A small open-addressing hash map from 64-bit keys to non-zero 64-bit values, for the id and pair
// tables on the hot paths (linear probing in one flat array, no per-entry allocation).
// A zero value marks an empty slot, so stored values must never be 0. Keys are hashed with the
// process's hash key (see id_hash.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/id_hash.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"

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
        if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size(), meter);
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

    // Makes room for `extra` more entries, so that inserting that many neither allocates nor moves
    // the table. Growing counts its work on `meter`; an interruption leaves the map as it was.
    void reserve(std::size_t extra, interrupt::Meter* meter) {
        const std::size_t capacity = capacity_for(size_ + extra);
        if (capacity > slots_.size()) rehash(capacity, meter);
    }

    // A copy with room for `extra` more entries (see reserve), made with its work counted on
    // `meter`; this map is left alone.
    FlatMap copy_with_room(std::size_t extra, interrupt::Meter* meter) const {
        FlatMap copy(hash_key_);
        const std::size_t capacity = capacity_for(size_ + extra);
        copy.slots_ = rehashed(capacity, meter);
        copy.mask_ = capacity - 1;
        copy.size_ = size_;
        return copy;
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
    struct Slot {
        std::uint64_t key = 0;
        std::uint64_t value = 0;  // 0: empty
    };

    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>(id_hash::keyed(key, hash_key_)) & mask_;
    }

    // The smallest table (a power of two, at least 16 slots and no smaller than this one) that holds
    // `entries` at most half full.
    std::size_t capacity_for(std::size_t entries) const {
        std::size_t capacity = slots_.empty() ? 16 : slots_.size();
        while (capacity < 2 * entries) capacity *= 2;
        return capacity;
    }

    // The entries moved into a new table of `capacity` slots, which replaces the old one only once
    // complete.
    void rehash(std::size_t capacity, interrupt::Meter* meter) {
        slots_ = rehashed(capacity, meter);
        mask_ = capacity - 1;
    }

    memory::LargeVector<Slot> rehashed(std::size_t capacity, interrupt::Meter* meter) const {
        memory::LargeVector<Slot> fresh;
        memory::resize_in_pieces(fresh, capacity, meter);
        const std::size_t mask = capacity - 1;
        for (const Slot& s : slots_) {
            if (meter != nullptr) meter->add(1);
            if (s.value == 0) continue;
            std::size_t i = static_cast<std::size_t>(id_hash::keyed(s.key, hash_key_)) & mask;
            while (fresh[i].value != 0) i = (i + 1) & mask;
            fresh[i] = s;
        }
        return fresh;
    }

    std::uint64_t hash_key_;
    memory::LargeVector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vestrim
