// Three variables: a sweep in lexicographic order over a Fenwick tree, indexed
// by the rank of the second coordinate, that holds prefix minima of the third
// over the points kept so far.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "engine/filters/filter_order.hpp"
#include "engine/filters/filters.hpp"

namespace trelvik {

void mark_by_sweep_3d(const double* points, size_t count, std::vector<uint8_t>& keep) {
    std::vector<uint32_t> order;
    std::vector<KeyedIndex> scratch;
    lexicographic_order(points, count, 3, 0, order, scratch);
    std::vector<uint32_t> by_y(count);
    std::iota(by_y.begin(), by_y.end(), 0u);
    std::sort(by_y.begin(), by_y.end(), [points](uint32_t a, uint32_t b) {
        return points[size_t{a} * 3 + 1] < points[size_t{b} * 3 + 1];
    });
    // Equal second coordinates share a rank, so that the query includes them.
    std::vector<uint32_t> rank(count);
    uint32_t r = 0;
    for (size_t k = 0; k < count; ++k) {
        if (k > 0 && points[size_t{by_y[k]} * 3 + 1] != points[size_t{by_y[k - 1]} * 3 + 1]) ++r;
        rank[by_y[k]] = r + 1;  // Fenwick positions start at 1
    }
    const size_t size = size_t{r} + 1;
    std::vector<double> tree(size + 1, INFINITY);
    for (uint32_t i : order) {
        const double z = points[size_t{i} * 3 + 2];
        double lowest = INFINITY;
        for (size_t p = rank[i]; p > 0; p &= p - 1) lowest = std::min(lowest, tree[p]);
        if (lowest <= z) continue;  // an earlier point is no worse anywhere
        keep[i] = 1;
        for (size_t p = rank[i]; p <= size; p += p & (~p + 1)) tree[p] = std::min(tree[p], z);
    }
}

}  // namespace trelvik
