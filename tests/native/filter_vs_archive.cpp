// The fast non-dominated filter against the plain archive, which is its
// definition: on random point sets of every size and dimension, with many
// ties in single coordinates, both must keep exactly the same points.
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "expect.hpp"
#include "pareto/nondominated.hpp"

int main() {
    std::mt19937_64 rng(20261207);
    for (int trial = 0; trial < 400; ++trial) {
        const size_t n = 1 + trial % 6;
        const size_t count = std::uniform_int_distribution<size_t>(1, trial < 300 ? 400 : 3000)(rng);
        // Few distinct values per coordinate make ties common; anti-correlated
        // coordinates make large fronts.
        const int levels = std::uniform_int_distribution<int>(2, 60)(rng);
        std::vector<double> points;
        std::set<std::vector<double>> seen;
        for (size_t attempt = 0; seen.size() < count && attempt < 50 * count; ++attempt) {
            std::vector<double> p(n);
            double spent = 0;
            for (size_t k = 0; k < n; ++k) {
                p[k] = std::uniform_int_distribution<int>(0, levels)(rng);
                spent += p[k];
            }
            if (trial % 2 == 0 && n > 1) p[n - 1] = std::max(0.0, levels * 1.5 - spent + p[n - 1]);
            // Monotone maps per coordinate keep the ties and the dominance but
            // spread the values over signs and binary exponents.
            for (size_t k = 0; k < n; ++k) {
                if (trial % 3 == 1) p[k] = (p[k] - levels / 2) * std::ldexp(1.0, static_cast<int>(k) * 40 - 90);
                if (trial % 3 == 2 && k % 2 == 1) p[k] = std::ldexp(1.0, static_cast<int>(p[k]) * 7 - 200);
            }
            if (seen.insert(p).second) points.insert(points.end(), p.begin(), p.end());
        }
        const size_t used = points.size() / n;
        std::vector<uint32_t> archive;
        for (size_t i = 0; i < used; ++i) trelvik::offer(archive, static_cast<uint32_t>(i), points.data(), n);
        std::vector<uint8_t> expected(used, 0);
        for (uint32_t m : archive) expected[m] = 1;
        std::vector<uint8_t> keep;
        trelvik::mark_non_dominated(points.data(), used, n, keep);
        size_t differing = 0;
        for (size_t i = 0; i < used; ++i) differing += keep[i] != expected[i];
        EXPECT(differing == 0, "trial %d: %zu of %zu points differ (n=%zu, front %zu)", trial, differing, used,
               n, archive.size());
        // The archive itself keeps its members in offer order.
        for (size_t i = 1; i < archive.size(); ++i) EXPECT(archive[i - 1] < archive[i], "archive order");
    }
    return finish("filter_vs_archive");
}
