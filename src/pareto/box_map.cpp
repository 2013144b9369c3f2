#include "pareto/box_map.hpp"

#include <algorithm>
#include <new>

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

}  // namespace

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

void grow_slots(BoxMap& boxes) {
    boxes.slots.assign(boxes.slots.size() * 2, 0);
    boxes.mask = boxes.slots.size() - 1;
    place_all(boxes);
}

}  // namespace trelvik
