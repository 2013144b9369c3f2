#include "engine/filters/filters.hpp"
#include "engine/filters/nondominated.hpp"

namespace trelvik {

void offer(std::vector<uint32_t>& archive, uint32_t w, const double* points, size_t n_variables) {
    const double* pw = points + size_t{w} * n_variables;
    for (uint32_t m : archive)
        if (dominates(points + size_t{m} * n_variables, pw, n_variables)) return;
    size_t kept = 0;
    for (uint32_t m : archive)
        if (!dominates(pw, points + size_t{m} * n_variables, n_variables)) archive[kept++] = m;
    archive.resize(kept);
    archive.push_back(w);
}

void mark_by_plain_scan(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    std::vector<uint32_t> archive;
    for (size_t i = 0; i < count; ++i) offer(archive, static_cast<uint32_t>(i), points, n);
    for (uint32_t m : archive) keep[m] = 1;
}

}  // namespace trelvik
