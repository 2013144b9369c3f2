#include "engine/box_map.hpp"

#include <algorithm>
#include <new>

#include "random/chacha.hpp"

namespace trelvik {

namespace {

void place_all(BoxMap& boxes) {
    for (size_t box = 0; box < boxes.count; ++box) {
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

namespace {

// Room for `wanted` boxes in every per-box array, keeping the open ones.
void make_box_room(BoxMap& boxes, size_t wanted) {
    const size_t n = boxes.n_variables, open = boxes.count;
    boxes.keys.reserve(wanted * n, open * n);
    boxes.targets.reserve(wanted * n, open * n);
    boxes.parents.reserve(wanted, open);
    boxes.choices.reserve(wanted, open);
    boxes.hashes.reserve(wanted, open);
    boxes.room = wanted;
}

}  // namespace

void reset_boxes(BoxMap& boxes, size_t n_variables, size_t expected) {
    boxes.n_variables = n_variables;
    boxes.count = 0;
    make_box_room(boxes, std::max<size_t>(expected, 16));
    size_t capacity = 16;
    while (capacity < 2 * expected && capacity < (size_t{1} << 40)) capacity *= 2;
    if (boxes.slots.size() == capacity)
        std::fill(boxes.slots.begin(), boxes.slots.end(), 0);
    else
        boxes.slots.assign(capacity, 0);
    boxes.mask = capacity - 1;
}

void grow_box_room(BoxMap& boxes) {
    // Box numbers are stored in 32 bits; far beyond any memory anyway.
    if (boxes.count >= UINT32_MAX - 1) throw std::bad_alloc();
    make_box_room(boxes, std::min<size_t>(2 * boxes.count + 16, UINT32_MAX - 1));
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
    for (size_t box = 0; box < boxes.count; ++box)
        boxes.hashes[box] = strong_hash(boxes.hash_keys.strong, boxes.keys.data() + box * n, n);
    std::fill(boxes.slots.begin(), boxes.slots.end(), 0);
    place_all(boxes);
}

}  // namespace trelvik
