// The boxes of one stage, in the order in which a candidate first reached
// each of them, with the candidate that holds each box. Lookup is by open
// addressing over a fixed (unseeded) hash of the key, so that one input
// always gives one output, in one order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace trelvik {

struct BoxMap {
    size_t n_variables = 0;
    std::vector<uint64_t> keys;     // per box: its grid key, n_variables entries
    std::vector<double> targets;    // per box: the holder's target, n_variables entries
    std::vector<uint32_t> parents;  // per box: the holder's parent, a position in the previous front
    std::vector<uint64_t> choices;  // per box: the holder's option in this stage's stand
    std::vector<uint64_t> hashes;   // per box: hash of its key, for rehashing
    std::vector<uint64_t> slots;    // 0 when empty, else (hash >> 32) << 32 | (box + 1)
    uint64_t mask = 0;
};

// Empties the map for a stage that is expected to fill about `expected` boxes.
void reset_boxes(BoxMap& boxes, size_t n_variables, size_t expected);

// Doubles the slot array and reinserts every box.
void grow_slots(BoxMap& boxes);

inline uint64_t hash_key(const uint64_t* key, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (size_t k = 0; k < n; ++k) {
        h = (h ^ key[k]) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    return h;
}

inline constexpr uint32_t new_box = UINT32_MAX;

// The box holding `key`, or new_box after appending a box for it (whose
// target, parent and choice the caller then fills).
inline uint32_t find_or_add_box(BoxMap& boxes, const uint64_t* key, uint64_t hash) {
    const size_t n = boxes.n_variables;
    const uint64_t tag = hash >> 32;
    uint64_t s = hash & boxes.mask;
    for (;; s = (s + 1) & boxes.mask) {
        const uint64_t slot = boxes.slots[s];
        if (slot == 0) break;
        if ((slot >> 32) != tag) continue;
        const uint32_t box = static_cast<uint32_t>(slot) - 1;
        const uint64_t* held = boxes.keys.data() + size_t{box} * n;
        size_t k = 0;
        while (k < n && held[k] == key[k]) ++k;
        if (k == n) return box;
    }
    const size_t box = boxes.hashes.size();
    if (box >= UINT32_MAX - 1) throw std::bad_alloc();  // far beyond any memory anyway
    boxes.keys.insert(boxes.keys.end(), key, key + n);
    boxes.targets.resize(boxes.targets.size() + n);
    boxes.parents.push_back(0);
    boxes.choices.push_back(0);
    boxes.hashes.push_back(hash);
    if (2 * (box + 1) > boxes.slots.size())
        grow_slots(boxes);
    else
        boxes.slots[s] = (tag << 32) | (box + 1);  // the empty slot that ended the probe
    return new_box;
}

}  // namespace trelvik
