// The cheap bracketing path of the grid key must give the same box index as
// floor(log1p(x + 1e-9) / log1p(epsilon)), for every value, including values
// that lie within a few units in the last place of a box boundary.
#include <cmath>
#include <random>

#include "expect.hpp"
#include "core/check.hpp"
#include "engine/grid_key.hpp"

int main() {
    std::mt19937_64 rng(7);
    const trelvik::detail::LogEntry* table = trelvik::detail::log_table();
    const double epsilons[] = {1e-12, 3e-11, 1e-7, 1e-5, 1e-4, 3e-4, 1e-3, 5e-3, 0.01, 0.1, 0.5, 1.0, 3.0, 1e3, 1e12};
    long checked = 0;
    for (double epsilon : epsilons) {
        const trelvik::GridScale scale = trelvik::make_grid_scale(epsilon);
        std::uniform_real_distribution<double> exponent(-9.0, 15.0);
        for (int i = 0; i < 200000; ++i) {
            double x = std::pow(10.0, exponent(rng));
            if (i % 2 == 1) {
                // Walk to a box boundary and a few ulps around it.
                const double q = std::floor(std::log1p(x + 1e-9) / scale.g);
                x = std::expm1(q * scale.g) - 1e-9;
                for (int step = i % 7; step > 0; --step) x = std::nextafter(x, i % 4 == 1 ? 0.0 : INFINITY);
                if (!(x >= 0)) continue;
            }
            const uint64_t fast = trelvik::grid_coordinate(x, scale, table);
            const uint64_t exact = trelvik::grid_coordinate_exact(x, scale.g);
            EXPECT(fast == exact, "epsilon %.17g, x %.17g: %llu != %llu", epsilon, x, (unsigned long long)fast,
                   (unsigned long long)exact);
            ++checked;
        }
        // Just above -1e-9 the quotient is barely positive and the bracket
        // reaches below zero.
        for (double x = -1e-9; x < 1e-9; x = std::nextafter(x + 1e-11, INFINITY)) {
            EXPECT(trelvik::grid_coordinate(x, scale, table) == trelvik::grid_coordinate_exact(x, scale.g),
                   "epsilon %.17g, x %.17g", epsilon, x);
            ++checked;
        }
    }
    // Values that must not take the cheap path still key exactly.
    const trelvik::GridScale tiny = trelvik::make_grid_scale(1e-300);
    EXPECT(trelvik::grid_coordinate(5.0, tiny, table) == UINT64_MAX, "saturation at 2^64");
    const trelvik::GridScale one_box = trelvik::make_grid_scale(INFINITY);
    EXPECT(trelvik::grid_coordinate(1e300, one_box, table) == 0, "infinite epsilon gives box 0");
    bool failed = false;
    try {
        trelvik::grid_coordinate(NAN, trelvik::make_grid_scale(0.1), table);
    } catch (const trelvik::InternalCheckFailure& f) {
        failed = f.message == "negative coordinate value: NaN";
    }
    EXPECT(failed, "NaN fails with its message");
    std::printf("checked %ld values\n", checked);
    return finish("grid_key_bracket");
}
