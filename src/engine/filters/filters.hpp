// The non-dominated filters behind mark_non_dominated, one per file. Each
// takes rows of n doubles (pairwise distinct, no NaN) and sets keep[i] to 1
// for exactly the points that no other point dominates; keep arrives sized
// and zeroed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvik {

// Any n: the plain archive itself (filter_plain.cpp).
void mark_by_plain_scan(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep);

// n = 2: a sweep in lexicographic order (filter_sweep_2d.cpp).
void mark_by_sweep_2d(const double* points, size_t count, std::vector<uint8_t>& keep);

// n = 3: a sweep over a Fenwick tree of prefix minima (filter_sweep_3d.cpp).
void mark_by_sweep_3d(const double* points, size_t count, std::vector<uint8_t>& keep);

// n >= 2, meant for n >= 4: a sweep over a tree in Z order (filter_ztree.cpp).
void mark_by_ztree_sweep(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep);

}  // namespace trelvik
