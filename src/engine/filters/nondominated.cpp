#include "engine/filters/nondominated.hpp"

#include "engine/filters/filters.hpp"

namespace trelvik {

// Below this many points the plain archive is faster than sorting.
constexpr size_t plain_scan_limit = 64;

void mark_non_dominated(const double* points, size_t count, size_t n_variables,
                        std::vector<uint8_t>& keep) {
    keep.assign(count, 0);
    if (count <= plain_scan_limit || n_variables == 1)
        mark_by_plain_scan(points, count, n_variables, keep);
    else if (n_variables == 2)
        mark_by_sweep_2d(points, count, keep);
    else if (n_variables == 3)
        mark_by_sweep_3d(points, count, keep);
    else
        mark_by_ztree_sweep(points, count, n_variables, keep);
}

}  // namespace trelvik
