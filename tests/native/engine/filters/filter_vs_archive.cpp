// The fast non-dominated filter against the plain archive, which is its
// definition: both must keep exactly the same points, on random point sets of
// every size and dimension with many ties in single coordinates, and on sets
// shaped like the stages of a front: a few translated copies of one
// non-dominated set, since every option of a stand moves the whole front,
// and on near ties that only an exact comparison tells apart.
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "expect.hpp"
#include "engine/filters/nondominated.hpp"

namespace {

std::mt19937_64 rng(20261207);

void compare(const std::vector<double>& points, size_t n, const char* kind, int trial) {
    const size_t used = points.size() / n;
    std::vector<uint32_t> archive;
    for (size_t i = 0; i < used; ++i) trelvik::offer(archive, static_cast<uint32_t>(i), points.data(), n);
    std::vector<uint8_t> expected(used, 0);
    for (uint32_t m : archive) expected[m] = 1;
    std::vector<uint8_t> keep;
    trelvik::mark_non_dominated(points.data(), used, n, keep);
    size_t differing = 0;
    for (size_t i = 0; i < used; ++i) differing += keep[i] != expected[i];
    EXPECT(differing == 0, "%s %d: %zu of %zu points differ (n=%zu, front %zu)", kind, trial, differing, used, n,
           archive.size());
    // The archive itself keeps its members in offer order.
    for (size_t i = 1; i < archive.size(); ++i) EXPECT(archive[i - 1] < archive[i], "archive order");
}

// Random points with few distinct values per coordinate.
void random_set(int trial) {
    const size_t n = 1 + static_cast<size_t>(trial % 6);
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
    compare(points, n, "random", trial);
}

// A stage: the non-dominated part of points on a curved surface, moved by a
// few option vectors, thinned at random as boxing would, and summed in
// floating point so that near ties round as the engine's sums do. Options
// differ by about the spacing of the front, so the copies interleave.
void stage_set(int trial) {
    const size_t n = 4 + static_cast<size_t>(trial % 3);
    const size_t base_count = std::uniform_int_distribution<size_t>(50, trial < 30 ? 600 : 3000)(rng);
    const size_t n_options = std::uniform_int_distribution<size_t>(2, 5)(rng);
    const bool integral = trial % 4 == 3;  // integer sums: exact, with many ties
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> base;
    for (size_t i = 0; i < base_count; ++i) {
        // Points on a sphere's positive part, scaled: no one dominates another
        // before rounding.
        std::vector<double> p(n);
        double norm = 0;
        for (double& v : p) {
            v = unit(rng) + 1e-3;
            norm += v * v;
        }
        for (double& v : p) v = 1000.0 * (2.0 - v / std::sqrt(norm));
        if (integral) for (double& v : p) v = std::round(v);
        base.insert(base.end(), p.begin(), p.end());
    }
    std::vector<uint8_t> front;
    trelvik::mark_non_dominated(base.data(), base_count, n, front);
    const double spread = 1000.0 / std::pow(static_cast<double>(base_count), 1.0 / static_cast<double>(n - 1));
    std::vector<double> points;
    std::set<std::vector<double>> seen;
    for (size_t j = 0; j < n_options; ++j) {
        std::vector<double> option(n);
        for (double& v : option) v = integral ? std::round(spread * 3 * unit(rng)) : spread * 3 * unit(rng) + 0.1;
        for (size_t i = 0; i < base_count; ++i) {
            if (!front[i] || unit(rng) < 0.3) continue;
            std::vector<double> p(n);
            for (size_t k = 0; k < n; ++k) p[k] = base[i * n + k] + option[k];
            if (seen.insert(p).second) points.insert(points.end(), p.begin(), p.end());
        }
    }
    compare(points, n, "stage", trial);
}

// Near ties: values a few units in the last place apart, in a set whose
// range (one far point) is wide, so that a coarse view of the values cannot
// tell them apart and only the exact comparison can.
void near_tie_set(int trial) {
    const size_t n = 4 + static_cast<size_t>(trial % 6);  // up to 9: the path for any number of variables too
    const size_t count = std::uniform_int_distribution<size_t>(100, 2000)(rng);
    std::uniform_int_distribution<int> base(0, 6), step(0, 3);
    std::vector<double> points(n, trial % 2 == 0 ? 1e300 : 1e-300);
    std::set<std::vector<double>> seen{points};
    for (size_t attempt = 0; seen.size() < count && attempt < 50 * count; ++attempt) {
        std::vector<double> p(n);
        for (double& v : p) {
            v = 1000.0 + base(rng);
            for (int s = step(rng); s > 0; --s) v = std::nextafter(v, INFINITY);
        }
        if (seen.insert(p).second) points.insert(points.end(), p.begin(), p.end());
    }
    compare(points, n, "near ties", trial);
}

}  // namespace

int main() {
    for (int trial = 0; trial < 400; ++trial) random_set(trial);
    for (int trial = 0; trial < 60; ++trial) stage_set(trial);
    for (int trial = 0; trial < 36; ++trial) near_tie_set(trial);
    return finish("filter_vs_archive");
}
