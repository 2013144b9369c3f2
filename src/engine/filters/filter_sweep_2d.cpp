// Two variables: in lexicographic order a point survives exactly when its
// second coordinate beats that of every point before it.
#include <cmath>

#include "engine/filters/filter_order.hpp"
#include "engine/filters/filters.hpp"

namespace trelvik {

void mark_by_sweep_2d(const double* points, size_t count, std::vector<uint8_t>& keep) {
    std::vector<uint32_t> order;
    std::vector<KeyedIndex> scratch;
    lexicographic_order(points, count, 2, 0, order, scratch);
    double best = INFINITY;
    for (uint32_t i : order) {
        const double y = points[size_t{i} * 2 + 1];
        if (y < best) {
            best = y;
            keep[i] = 1;
        }
    }
}

}  // namespace trelvik
