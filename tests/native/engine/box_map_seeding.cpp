// The box map under keys crafted to collide for one hash seed: with that seed
// and no way out, lookups turn quadratic (which shows the keys do collide);
// with the switch to the keyed strong hash they stay linear; and whatever the
// seed or hash, the boxes come out in the same first-reached order.
#include <cstdint>
#include <random>
#include <vector>

#include "expect.hpp"
#include "engine/box_map.hpp"

namespace {

constexpr uint64_t crafted_seed = 0x5EED;
constexpr size_t crafted_count = 2048;

// One-variable keys whose fast hash under crafted_seed has its low 16 bits
// zero: they share one slot in every map of up to 65,536 slots.
std::vector<uint64_t> colliding_keys() {
    std::vector<uint64_t> keys;
    for (uint64_t k = 0; keys.size() < crafted_count; ++k)
        if ((trelvik::fast_hash(crafted_seed, &k, 1) & 0xFFFF) == 0) keys.push_back(k);
    return keys;
}

// Fills a map as a stage does (lookups in batches of 16, the check between
// batches), twice over so that the second pass finds every box; returns the
// key of each box in box order.
std::vector<uint64_t> fill(trelvik::BoxMap& boxes, const std::vector<uint64_t>& keys) {
    trelvik::reset_boxes(boxes, 1, 16);
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 0; i < keys.size(); ++i) {
            const uint32_t box = trelvik::find_or_add_box(boxes, &keys[i], trelvik::hash_key(boxes, &keys[i], 1));
            if (pass == 1) EXPECT(box == i, "key %zu found in box %u", i, box);
            if (i % 16 == 15) trelvik::strengthen_if_probed_too_much(boxes, 16);
        }
    return std::vector<uint64_t>(boxes.keys.data(), boxes.keys.data() + boxes.count);
}

}  // namespace

int main() {
    const std::vector<uint64_t> keys = colliding_keys();

    trelvik::BoxMap fixed;
    trelvik::key_boxes(fixed, trelvik::BoxHashKeys{crafted_seed, {1, 2}});
    fixed.may_strengthen = false;
    const std::vector<uint64_t> order = fill(fixed, keys);
    EXPECT(order == keys, "boxes out of first-reached order");
    EXPECT(fixed.displaced > 2'000'000, "only %llu slots of displacement: the keys do not collide", (unsigned long long)fixed.displaced);

    trelvik::BoxMap guarded;
    trelvik::key_boxes(guarded, trelvik::BoxHashKeys{crafted_seed, {3, 4}});
    EXPECT(fill(guarded, keys) == order, "strong hashing changed the boxes");
    EXPECT(guarded.strong, "the map never switched to the strong hash");
    EXPECT(guarded.displaced < 60'000, "%llu slots of displacement before the switch", (unsigned long long)guarded.displaced);

    // Random seeds, as every call draws them; the same boxes in the same order.
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        trelvik::BoxMap boxes;
        trelvik::key_boxes(boxes, trelvik::BoxHashKeys{rng(), {rng(), rng()}});
        EXPECT(fill(boxes, keys) == order, "seed changed the boxes");
        EXPECT(!boxes.strong, "random seed needed the strong hash");
        EXPECT(boxes.displaced < 4 * boxes.lookups, "%llu slots of displacement for %llu lookups",
               (unsigned long long)boxes.displaced, (unsigned long long)boxes.lookups);
    }
    return finish("box_map_seeding");
}
