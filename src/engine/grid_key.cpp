#include "engine/grid_key.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/check.hpp"

namespace trelvik {

GridScale make_grid_scale(double epsilon) {
    GridScale scale;
    scale.g = std::log1p(epsilon);
    scale.inv_g = 1.0 / scale.g;
    // From g > 2e-11 on, the bracket's ends lie in (-1, 2^52) for every value
    // it takes (quotients from about -1e-3 up to log(1e300) / g < 3.5e13,
    // margins below 4): truncation is then defined and needs no test. Finer
    // scales take the exact path, as do zero, negative, infinite and NaN g.
    scale.bracketing = scale.g > 2e-11 && scale.g < 1e300 && std::isfinite(scale.inv_g);
    // Where a box spans at least 1e-5 in log1p, the series stops after two
    // terms. Its error, below 2.49e-9, and the errors that grow with the
    // quotient (about 1e-15 of a logarithm below 710) stay under a margin of
    // 1.1e-8, which therefore needs no part that scales with the quotient;
    // it sends about one value in 450 at random to the exact path, where a
    // box spans 1e-5. Finer boxes take four terms, whose error 1e-11 covers a
    // thousand times over, plus 1e-13 of the quotient. Two terms instead of
    // four took whole calls to 0.90 to 0.98 of their time.
    scale.two_terms = scale.bracketing && scale.g >= 1e-5;
    scale.absolute_margin = (scale.two_terms ? 1.1e-8 : 1e-11) * scale.inv_g;
    return scale;
}

std::string format_quotient(double q) {
    if (std::isnan(q)) return "NaN";
    if (std::isinf(q)) return q > 0 ? "inf" : "-inf";
    // The shortest digits that read back as q: the first precision whose
    // correctly rounded scientific form parses to q again (std::to_chars for
    // double is missing from some standard libraries still in use).
    char buffer[64];
    for (int precision = 0; precision < 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*e", precision, q);
        if (std::strtod(buffer, nullptr) == q) break;
    }
    // Written out positionally: a rejected quotient is a whole number, so
    // every digit lies before the point and the rest are zeros (-2e291 is
    // "-2" and 291 zeros). Any character that is not a digit before the
    // exponent is the sign or the decimal point of the current locale.
    const std::string text(buffer);  // like "-1.6094379130341003e+297"
    const size_t e = text.find_first_of("eE");
    const int exponent = std::atoi(text.c_str() + e + 1);
    std::string digits;
    for (size_t i = 0; i < e; ++i)
        if (text[i] >= '0' && text[i] <= '9') digits += text[i];
    const std::string sign = q < 0 ? "-" : "";
    const int integer_digits = exponent + 1;
    if (integer_digits <= 0) return sign + "0";  // |q| < 1: not a whole number, never rejected
    if (static_cast<int>(digits.size()) <= integer_digits)
        return sign + digits + std::string(static_cast<size_t>(integer_digits) - digits.size(), '0');
    return sign + digits.substr(0, static_cast<size_t>(integer_digits)) + "." +
           digits.substr(static_cast<size_t>(integer_digits));
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
