// Epsilon-grid key: the box index of a value x is
//     floor(log1p(x + 1e-9) / log1p(epsilon))
// computed with the C library's log1p in double precision. A quotient that is
// negative, infinite or NaN fails the call ("negative coordinate value: q").
//
// Most values are keyed without log1p: a table-driven logarithm with a proven
// error bound brackets the quotient, and only when the bracket straddles a
// box boundary is the exact formula evaluated. Both give the identical index.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

namespace trelvik {

struct GridScale {
    double g;      // log1p(epsilon)
    double inv_g;  // 1 / g, for the bracketing path
    double absolute_margin;  // the bracket's half-width, less 1e-13 of the quotient with four terms
    bool bracketing;  // false when g is not a positive, finite, reciprocable number
    bool two_terms;   // the series for log1p stops after t^2 (coarse enough boxes)
};

GridScale make_grid_scale(double epsilon);

// The exact box index of one value; fails the call on a rejected quotient.
uint64_t grid_coordinate_exact(double x, double g);

// The shortest decimal form of a rejected quotient, positional, no exponent.
std::string format_quotient(double q);

namespace detail {

struct LogEntry {
    double inv_center;  // 1 / c for the centre c of the mantissa interval
    double log_center;  // log(c)
};
inline constexpr int log_table_bits = 8;
const LogEntry* log_table();

}  // namespace detail

// The box index of one value: exact, and cheap away from box boundaries.
// Terms is the length of the series for log1p: 2 where scale.two_terms, else
// 4 (a template argument, so that a loop over many values chooses once).
template <int Terms>
inline uint64_t grid_coordinate_with(double x, const GridScale& scale, const detail::LogEntry* table) {
    static_assert(Terms == 2 || Terms == 4);
    const double y = x + 1e-9;
    // 0 <= y <= 1e300, so that 1 <= u < 2^1024: read as unsigned integers,
    // the bits of such doubles are exactly those up to the bits of 1e300
    // (negative values and NaN have larger ones; -0.0 takes the exact path).
    constexpr uint64_t bits_of_1e300 = std::bit_cast<uint64_t>(1e300);
    // Two terms are chosen only for scales that bracket (make_grid_scale).
    if ((Terms == 2 || scale.bracketing) && std::bit_cast<uint64_t>(y) <= bits_of_1e300) {
        const double u = 1.0 + y;
        const uint64_t bits = std::bit_cast<uint64_t>(u);
        const int exponent = static_cast<int>(bits >> 52) - 1023;
        const uint64_t index = (bits >> (52 - detail::log_table_bits)) & ((1u << detail::log_table_bits) - 1);
        const uint64_t mantissa_bits = (bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull;
        const double m = std::bit_cast<double>(mantissa_bits);
        const detail::LogEntry& e = table[index];
        // |t| <= 2^-9, so the series below is accurate to |t|^3 / 3 < 2.5e-9
        // after two terms and to |t|^5 / 5 < 6e-15 after four.
        const double t = m * e.inv_center - 1.0;
        const double log1p_t = Terms == 2 ? t * (1.0 + t * -0.5)
                                          : t * (1.0 + t * (-0.5 + t * (1.0 / 3.0 + t * -0.25)));
        const double log_u = exponent * 0.69314718055994530942 + (e.log_center + log1p_t);
        const double q = log_u * scale.inv_g;
        // The bracket covers every error of this approximation and of the
        // library's log1p and division, with room to spare (see make_grid_scale).
        const double margin = Terms == 2 ? scale.absolute_margin : q * 1e-13 + scale.absolute_margin;
        const double low = q - margin;
        const double high = q + margin;
        // The scale bounds both ends to (-1, 2^52), where truncation is
        // exact and defined; it is the floor except on (-1, 0), where the
        // true quotient is not negative: equal truncations mean one box.
        const int64_t box = static_cast<int64_t>(low);
        if (static_cast<int64_t>(high) == box) return static_cast<uint64_t>(box);
    }
    return grid_coordinate_exact(x, scale.g);
}

inline uint64_t grid_coordinate(double x, const GridScale& scale, const detail::LogEntry* table) {
    return scale.two_terms ? grid_coordinate_with<2>(x, scale, table) : grid_coordinate_with<4>(x, scale, table);
}

}  // namespace trelvik
