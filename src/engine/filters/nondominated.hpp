// Dominance for minimisation, and the non-dominated filter of a stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvik {

// True when a is nowhere worse than b and somewhere better. A NaN on either
// side makes it false; equal vectors do not dominate each other. Every
// coordinate is compared, without an early exit: the outcome is hard to
// predict, and a missed branch costs more than the few comparisons saved.
inline bool dominates(const double* a, const double* b, size_t n) {
    bool no_worse = true, better = false;
    for (size_t k = 0; k < n; ++k) {
        no_worse &= a[k] <= b[k];
        better |= a[k] < b[k];
    }
    return no_worse && better;
}

// The plain archive: offers point w to an archive of point indices. w is
// dropped if a member dominates it; otherwise the members it dominates are
// removed (the rest keep their order) and w is appended.
void offer(std::vector<uint32_t>& archive, uint32_t w, const double* points, size_t n_variables);

// Sets keep[i] to 1 exactly for the points that no other point dominates, 0
// otherwise. Points are rows of n_variables doubles; they must be pairwise
// distinct and free of NaN. The kept points, in index order, are then exactly
// what offering every point in index order to an empty archive leaves.
void mark_non_dominated(const double* points, size_t count, size_t n_variables,
                        std::vector<uint8_t>& keep);

}  // namespace trelvik
