#include "pareto/box_map.hpp"

#include <algorithm>
#include <new>

#include "pareto/chacha.hpp"

namespace trelvik {

namespace {

void place_all(BoxMap& boxes) {
    for (size_t box = 0; box < boxes.hashes.size(); ++box) {
        const uint64_t hash = boxes.hashes[box];
        uint64_t s = hash & boxes.mask;
        while (boxes.slots[s] != 0) s = (s + 1) & boxes.mask;
        boxes.slots[s] = ((hash >> 32) << 32) | (box + 1);
    }
}

inline uint64_t rotate_left(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
        v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
    }

    void absorb(uint64_t block) {  // one compression round per block
        v3 ^= block;
        round();
        v0 ^= block;
    }
};

// Random keys are displaced by at most 1.5 slots per lookup on average at a
// load of one half; the allowance absorbs the spread of small maps.
constexpr uint64_t displacement_per_lookup_allowed = 8;
constexpr uint64_t displacement_allowance = 4096;

}  // namespace

uint64_t strong_hash(const uint64_t secret[2], const uint64_t* key, size_t n) {
    SipState s{secret[0] ^ 0x736f6d6570736575ull, secret[1] ^ 0x646f72616e646f6dull,
               secret[0] ^ 0x6c7967656e657261ull, secret[1] ^ 0x7465646279746573ull};
    for (size_t k = 0; k < n; ++k) s.absorb(key[k]);
    s.absorb(uint64_t{(8 * n) & 0xff} << 56);  // the length of the message in bytes
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

BoxHashKeys draw_box_hash_keys() {
    RandomGenerator& rng = thread_generator();
    BoxHashKeys keys;
    keys.seed = next_u64(rng);
    keys.strong[0] = next_u64(rng);
    keys.strong[1] = next_u64(rng);
    return keys;
}

void key_boxes(BoxMap& boxes, const BoxHashKeys& keys) {
    boxes.hash_keys = keys;
    boxes.strong = false;
    boxes.lookups = 0;
    boxes.displaced = 0;
}

void reset_boxes(BoxMap& boxes, size_t n_variables, size_t expected) {
    boxes.n_variables = n_variables;
    boxes.keys.clear();
    boxes.targets.clear();
    boxes.parents.clear();
    boxes.choices.clear();
    boxes.hashes.clear();
    size_t capacity = 16;
    while (capacity < 2 * expected && capacity < (size_t{1} << 40)) capacity *= 2;
    if (boxes.slots.size() == capacity)
        std::fill(boxes.slots.begin(), boxes.slots.end(), 0);
    else
        boxes.slots.assign(capacity, 0);
    boxes.mask = capacity - 1;
}

void add_box(BoxMap& boxes, const uint64_t* key, uint64_t hash, uint64_t s) {
    const size_t n = boxes.n_variables;
    const size_t box = boxes.hashes.size();
    if (box >= UINT32_MAX - 1) throw std::bad_alloc();  // far beyond any memory anyway
    // Element by element: for a few words, a library copy or fill costs more.
    for (size_t k = 0; k < n; ++k) {
        boxes.keys.push_back(key[k]);
        boxes.targets.push_back(0.0);
    }
    boxes.parents.push_back(0);
    boxes.choices.push_back(0);
    boxes.hashes.push_back(hash);
    if (2 * (box + 1) > boxes.slots.size())
        grow_slots(boxes);
    else
        boxes.slots[s] = ((hash >> 32) << 32) | (box + 1);  // the empty slot that ended the probe
}

void grow_slots(BoxMap& boxes) {
    boxes.slots.assign(boxes.slots.size() * 2, 0);
    boxes.mask = boxes.slots.size() - 1;
    place_all(boxes);
}

void strengthen_if_probed_too_much(BoxMap& boxes, uint64_t lookups) {
    boxes.lookups += lookups;
    if (boxes.strong || !boxes.may_strengthen ||
        boxes.displaced <= displacement_per_lookup_allowed * boxes.lookups + displacement_allowance)
        return;
    boxes.strong = true;
    const size_t n = boxes.n_variables;
    for (size_t box = 0; box < boxes.hashes.size(); ++box)
        boxes.hashes[box] = strong_hash(boxes.hash_keys.strong, boxes.keys.data() + box * n, n);
    std::fill(boxes.slots.begin(), boxes.slots.end(), 0);
    place_all(boxes);
}

}  // namespace trelvik
