// The boxes of one stage, in the order in which a candidate first reached
// each of them, with the candidate that holds each box. Lookup is by open
// addressing (linear probing) over a hash of the key.
//
// The hash is keyed at random for every call, so that no table can be built
// whose keys collide under a hash known in advance. The fast hash is a
// multiply-xorshift chain started from a random seed; should the probes of a
// call still grow far beyond what random keys cost, the map switches to
// SipHash-1-3 under a random 128-bit key, which no input can steer without
// knowing that key. Boxes are kept in first-reached order whatever the hash,
// so the output never depends on the keys drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/raw_buffer.hpp"

namespace trelvik {

struct BoxHashKeys {
    uint64_t seed = 0;        // of the fast hash
    uint64_t strong[2] = {};  // of SipHash-1-3
};

// The per-box arrays have room for `room` boxes, of which the first `count`
// are open; a new box is a few plain stores. Its target, parent and choice
// are written by the caller that opened it.
struct BoxMap {
    size_t n_variables = 0;
    size_t count = 0;                 // boxes opened in this stage
    size_t room = 0;                  // boxes every per-box array has room for
    RawBuffer<uint64_t> keys;         // per box: its grid key, n_variables entries
    RawBuffer<double> targets;        // per box: the holder's target, n_variables entries
    RawBuffer<uint64_t> parents;      // per box: the holder's parent, a position in the previous front
    RawBuffer<uint64_t> choices;      // per box: the holder's option in this stage's stand
    RawBuffer<uint64_t> hashes;       // per box: hash of its key, for rehashing
    std::vector<uint64_t> slots;      // 0 when empty, else (hash >> 32) << 32 | (box + 1)
    uint64_t mask = 0;

    BoxHashKeys hash_keys;
    bool strong = false;       // hashing with SipHash-1-3
    bool may_strengthen = true;
    uint64_t lookups = 0;      // since the map was keyed, as counted by the checks
    uint64_t displaced = 0;    // slots visited by lookups beyond the first of each
};

// Fresh keys from the calling thread's random generator (itself keyed by the
// operating system, and anew in a forked child): three words per call.
BoxHashKeys draw_box_hash_keys();

// Keys a new map (or a map for a new call): fast hashing under `keys`.
void key_boxes(BoxMap& boxes, const BoxHashKeys& keys);

// Empties the map for a stage that is expected to fill about `expected` boxes.
// The hashing stays as it is. The targets array may be swapped out between
// stages for another of any capacity.
void reset_boxes(BoxMap& boxes, size_t n_variables, size_t expected);

// Doubles the slot array and reinserts every box.
void grow_slots(BoxMap& boxes);

// Room for twice as many boxes as are open, and 16 more; bad_alloc past
// 2^32 - 2 boxes, whose numbers would not fit the slots.
void grow_box_room(BoxMap& boxes);

// Counts `lookups` more lookups, and switches to SipHash-1-3 when the lookups
// so far visited far more slots than random keys would (on average at most
// 1.5 beyond the first at the map's load of one half). Call between lookups,
// never while hashes computed earlier are pending.
void strengthen_if_probed_too_much(BoxMap& boxes, uint64_t lookups);

inline uint64_t fast_hash(uint64_t seed, const uint64_t* key, size_t n) {
    uint64_t h = seed ^ n;
    for (size_t k = 0; k < n; ++k) {
        h = (h ^ key[k]) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    return h;
}

// SipHash-1-3 of the key's words, each taken as one 8-byte little-endian block.
uint64_t strong_hash(const uint64_t secret[2], const uint64_t* key, size_t n);

// `n` is the map's number of variables, passed so that a caller that knows
// it at compile time gets the hash unrolled.
inline uint64_t hash_key(const BoxMap& boxes, const uint64_t* key, size_t n) {
    if (boxes.strong) return strong_hash(boxes.hash_keys.strong, key, n);
    return fast_hash(boxes.hash_keys.seed, key, n);
}

inline constexpr uint32_t new_box = UINT32_MAX;

// Opens a box for `key`, whose probe for `hash` ended at the empty slot s.
inline void add_box(BoxMap& boxes, const uint64_t* key, uint64_t hash, uint64_t s) {
    const size_t n = boxes.n_variables;
    const size_t box = boxes.count;
    if (box == boxes.room) grow_box_room(boxes);
    // Element by element: for a few words, a library copy costs more.
    uint64_t* held = boxes.keys.data() + box * n;
    for (size_t k = 0; k < n; ++k) held[k] = key[k];
    boxes.hashes[box] = hash;
    boxes.count = box + 1;
    if (2 * (box + 1) > boxes.slots.size())
        grow_slots(boxes);
    else
        boxes.slots[s] = ((hash >> 32) << 32) | (box + 1);  // the empty slot that ended the probe
}

// The box holding `key`, or new_box after opening a box for it (whose
// target, parent and choice the caller then fills). N is the map's number of
// variables when the caller knows it at compile time, else 0.
template <size_t N = 0>
inline uint32_t find_or_add_box(BoxMap& boxes, const uint64_t* key, uint64_t hash) {
    const size_t n = N != 0 ? N : boxes.n_variables;
    const uint64_t tag = hash >> 32;
    const uint64_t home = hash & boxes.mask;
    uint64_t s = home;
    for (;; s = (s + 1) & boxes.mask) {
        const uint64_t slot = boxes.slots[s];
        if (slot == 0) break;
        if ((slot >> 32) != tag) continue;
        const uint32_t box = static_cast<uint32_t>(slot) - 1;
        const uint64_t* held = boxes.keys.data() + size_t{box} * n;
        bool equal = true;
        for (size_t k = 0; k < n; ++k) equal &= held[k] == key[k];
        if (equal) {
            boxes.displaced += (s - home) & boxes.mask;
            return box;
        }
    }
    boxes.displaced += (s - home) & boxes.mask;
    add_box(boxes, key, hash, s);
    return new_box;
}

}  // namespace trelvik
