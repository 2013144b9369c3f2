#include "pareto/grid_key.hpp"

#include <charconv>
#include <cmath>

#include "pareto/check.hpp"

namespace trelvik {

GridScale make_grid_scale(double epsilon) {
    GridScale scale;
    scale.g = std::log1p(epsilon);
    scale.inv_g = 1.0 / scale.g;
    // Below 1e-200 the margins of the bracket lose their meaning; such
    // scales take the exact path, as do zero, negative, infinite and NaN g.
    scale.bracketing = scale.g > 1e-200 && scale.g < 1e300 && std::isfinite(scale.inv_g);
    return scale;
}

std::string format_quotient(double q) {
    if (std::isnan(q)) return "NaN";
    if (std::isinf(q)) return q > 0 ? "inf" : "-inf";
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, q, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

uint64_t grid_coordinate_exact(double x, double g) {
    const double q = std::floor(std::log1p(x + 1e-9) / g);
    if (q == 0.0) return 0;  // either sign of zero
    if (q > 0.0 && q < INFINITY) {
        if (q >= 18446744073709551616.0) return UINT64_MAX;
        return static_cast<uint64_t>(q);
    }
    fail_check("negative coordinate value: " + format_quotient(q));
}

namespace detail {

const LogEntry* log_table() {
    static const auto table = [] {
        struct Table {
            LogEntry entries[1 << log_table_bits];
        } t;
        const int n = 1 << log_table_bits;
        for (int i = 0; i < n; ++i) {
            const double center = 1.0 + (i + 0.5) / n;
            t.entries[i] = LogEntry{1.0 / center, std::log(center)};
        }
        return t;
    }();
    return table.entries;
}

}  // namespace detail

}  // namespace trelvik
