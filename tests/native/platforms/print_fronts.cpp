// Prints the front of a fixed set of tables, so that builds of the engine for
// different platforms can be compared byte for byte. The tables are made in
// code with exact arithmetic only (no random distribution of the standard
// library; of the C library's mathematics only ldexp and nextafter, which do
// not round), so every build sees the same tables. Doubles are printed as the 16 hex digits of their bits,
// without printf.
//
// Tables of the "boundary" kind put values within a few units in the last
// place of a box boundary, where a value's box rests on the last bit of the
// platform's log1p: there, and only there, the design lets two platforms
// differ. For each such value the driver prints its key with the log1p and
// the quotient behind it, and the table is laid out so that the value's box
// shows in the front: see boundary_table.
//
// Output, one table after another:
//   table <name> variables <n> stands <s> epsilon <bits>
//   key option <j> y <bits> log1p <bits> quotient <bits> box <k>   (boundary tables)
//   front <members>
//   member <option of each stand> : <target bits>...
// or, for a call that fails, "error <message>" in place of the front.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "core/check.hpp"
#include "core/data_table.hpp"
#include "engine/front.hpp"
#include "engine/grid_key.hpp"

namespace {

using Option = std::vector<double>;
using Stand = std::vector<Option>;

struct Case {
    std::string name;
    std::vector<Stand> stands;
    double epsilon;
    std::vector<std::string> keys;  // the key lines of a boundary table
};

std::string bits(double x) {
    const uint64_t b = std::bit_cast<uint64_t>(x);
    std::string s(16, '0');
    for (int i = 0; i < 16; ++i) s[15 - i] = "0123456789abcdef"[(b >> (4 * i)) & 15];
    return s;
}

// SplitMix64: the same numbers everywhere.
struct Numbers {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1), exact
    uint64_t below(uint64_t n) { return next() % n; }
};

enum class Kind { Uniform, TradeOff, Integers, Spread, Negative, Huge };

double value(Numbers& numbers, Kind kind) {
    switch (kind) {
        case Kind::Uniform: return numbers.unit() * 100.0;
        case Kind::TradeOff: return numbers.unit() * 10.0;
        case Kind::Integers: return static_cast<double>(numbers.below(10));
        case Kind::Spread: {  // a full mantissa times 2^-20 ... 2^39
            const int exponent = static_cast<int>(numbers.below(60)) - 20;
            return (1.0 + numbers.unit()) * std::ldexp(1.0, exponent);
        }
        case Kind::Negative: return numbers.unit() * 100.0 - 50.0;
        case Kind::Huge: return numbers.unit() * 1e12;
    }
    return 0.0;
}

Case random_table(std::string name, uint64_t seed, size_t n, size_t n_stands, size_t min_options,
                  size_t max_options, Kind kind, double epsilon) {
    Numbers numbers{seed};
    Case c{std::move(name), {}, epsilon, {}};
    for (size_t i = 0; i < n_stands; ++i) {
        Stand stand(min_options + numbers.below(max_options - min_options + 1));
        for (Option& option : stand) {
            option.resize(n);
            double sum = 0.0;
            for (size_t k = 0; k < n; ++k) sum += option[k] = value(numbers, kind);
            // Trade-off: the last variable falls as the others rise, so that
            // most designs are incomparable and the fronts are large.
            if (kind == Kind::TradeOff) option[n - 1] = 10.0 * static_cast<double>(n) - sum + 2.0 * option[n - 1];
        }
        c.stands.push_back(std::move(stand));
    }
    return c;
}

double exponent_of(double x) {  // floor(log2(x)) for a normal positive x, from its bits
    return static_cast<double>(static_cast<int>(std::bit_cast<uint64_t>(x) >> 52) - 1023);
}

// What the engine keys for a value v of the second stand when the first stand
// is the single option 0: the value shifted by the table's minimum 0 plus
// 1e-9, plus the first stand's shifted 0, plus the 1e-9 of the key formula.
double keyed(double v) { return (1e-9 + ((v - 0.0) + 1e-9)) + 1e-9; }

// The smallest value v whose keyed value is at least y.
double value_keyed_at(double y) {
    double v = y - 3e-9;
    while (keyed(v) >= y) v = std::nextafter(v, -INFINITY);
    while (keyed(v) < y) v = std::nextafter(v, INFINITY);
    return v;
}

// A table of two stands and three variables whose front shows the box of
// every value near the boundary (1 + epsilon)^k - 1 of the first variable.
// 1 + epsilon must be a short binary fraction whose k-th power is exact in
// double precision, so that the boundary is exact.
//
// The first stand is the single option 0. The second holds, for every keyed
// value y within a window of units in the last place around the boundary,
// two options: P, whose first variable is keyed at y, and after it Q, whose
// first variable lies in the middle of the box below the boundary and whose
// second variable is a little worse than P's. P and Q share their boxes of
// the second and third variables; each pair has boxes of its own there, on a
// line along which no pair dominates another. So P is always in the front,
// and Q is in it exactly when P is keyed into the box above the boundary
// (when P lies in the box below, P holds that box first and Q does not
// dominate it).
Case boundary_table(const std::string& epsilon_name, double epsilon, int k) {
    const double base = 1.0 + epsilon;
    double low = 1.0;  // (1 + epsilon)^(k - 1)
    for (int i = 1; i < k; ++i) low *= base;
    const double boundary = low * base - 1.0;
    const double middle_below = boundary - (boundary - (low - 1.0)) / 2.0;
    // One unit in the last place of y moves the quotient by about
    // y / ((1 + y) ln(1 + y)) of its own unit: the window holds every y whose
    // quotient lies within a few units of k.
    const int window = 6 + 4 * static_cast<int>(std::max(0.0, exponent_of(boundary) + 1.0));
    std::vector<double> ys;
    double y = boundary;
    for (int step = 0; step < window; ++step) y = std::nextafter(y, -INFINITY);
    for (int step = -window; step <= window; ++step, y = std::nextafter(y, INFINITY)) ys.push_back(y);

    // The boxes of the second variable, one a pair: level i lies in the
    // middle of box i. The third variable takes them in reverse order.
    const size_t pairs = ys.size();
    std::vector<double> level(pairs), step(pairs);
    double power = 1.0;
    for (size_t i = 0; i < pairs; ++i, power *= base) {
        level[i] = power * (1.0 + epsilon / 2.0) - 1.0;
        step[i] = power * epsilon / 8.0;
    }
    Case c{"boundary-epsilon-" + epsilon_name + "-k-" + std::to_string(k),
           {Stand{Option{0.0, 0.0, 0.0}}, Stand{}}, epsilon, {}};
    const trelvik::GridScale scale = trelvik::make_grid_scale(epsilon);
    const double below = value_keyed_at(middle_below);
    for (size_t i = 0; i < pairs; ++i) {
        const double v = value_keyed_at(ys[i]);
        const double w = level[i], u = level[pairs - 1 - i];
        c.stands[1].push_back(Option{v, w, u});
        c.stands[1].push_back(Option{below, w + step[i], u});
        const double target = 1e-9 + ((v - 0.0) + 1e-9);  // as the engine sums it
        const double keyed_y = target + 1e-9, logarithm = std::log1p(keyed_y);
        const uint64_t box = trelvik::grid_coordinate(target, scale, trelvik::detail::log_table());
        c.keys.push_back("key option " + std::to_string(2 * i) + " y " + bits(keyed_y) + " log1p " +
                         bits(logarithm) + " quotient " + bits(logarithm / scale.g) + " box " +
                         std::to_string(box));
    }
    return c;
}

std::vector<Case> cases() {
    std::vector<Case> all;
    all.push_back(random_table("two-uniform", 1, 2, 14, 2, 8, Kind::Uniform, 0.01));
    all.push_back(random_table("two-trade-off-tiny-epsilon", 2, 2, 8, 6, 6, Kind::TradeOff, 1e-12));
    all.push_back(random_table("three-integers", 3, 3, 10, 1, 6, Kind::Integers, 0.05));
    all.push_back(random_table("three-large-epsilon", 4, 3, 8, 5, 5, Kind::Uniform, 1e6));
    all.push_back(random_table("four-spread", 5, 4, 7, 4, 4, Kind::Spread, 1e-6));
    all.push_back(random_table("four-huge-tiny-epsilon", 6, 4, 6, 3, 5, Kind::Huge, 1e-12));
    all.push_back(random_table("five-negative", 7, 5, 6, 4, 4, Kind::Negative, 0.3));
    all.push_back(random_table("six-trade-off", 8, 6, 5, 4, 4, Kind::TradeOff, 0.1));
    all.push_back(random_table("two-saturated-keys", 9, 2, 6, 3, 3, Kind::Uniform, 1e-300));
    // Each k-th power of 1 + epsilon below is exact.
    const struct {
        const char* name;
        double epsilon;
        std::vector<int> powers;
    } boundaries[] = {
        {"1", 1.0, {1, 2, 3, 4, 6, 9, 13, 20, 31}},
        {"3", 3.0, {1, 2, 3, 5, 8, 12}},
        {"0.5", 0.5, {1, 2, 3, 4, 5, 7, 10, 14, 20, 27, 33}},
        {"0.25", 0.25, {1, 2, 3, 5, 8, 12, 17, 22}},
        {"2^-4", 0x1p-4, {1, 2, 3, 5, 8, 12}},
        {"2^-10", 0x1p-10, {1, 2, 3, 4, 5}},
    };
    for (const auto& b : boundaries)
        for (int k : b.powers) all.push_back(boundary_table(b.name, b.epsilon, k));
    // Calls that fail: the message holds the rejected quotient, written out
    // in full by the engine's own formatting.
    all.push_back(random_table("error-epsilon-0", 10, 2, 3, 2, 2, Kind::Uniform, 0.0));
    all.push_back(random_table("error-epsilon-negative", 11, 3, 3, 2, 2, Kind::Uniform, -0.5));
    all.push_back(random_table("error-epsilon-tiny-negative", 12, 2, 3, 2, 2, Kind::Uniform, -1e-300));
    all.push_back(random_table("error-epsilon-nan", 13, 2, 3, 2, 2, Kind::Uniform, NAN));
    all.push_back(random_table("error-one-stand", 14, 2, 1, 2, 2, Kind::Uniform, 0.1));
    return all;
}

std::string run(const Case& c) {
    trelvik::RawTable raw;
    for (const Stand& stand : c.stands) {
        for (const Option& option : stand) {
            raw.values.insert(raw.values.end(), option.begin(), option.end());
            raw.option_ends.push_back(raw.values.size());
        }
        raw.stand_ends.push_back(raw.option_ends.size());
    }
    const size_t n = c.stands[0][0].size();
    std::string out = "table " + c.name + " variables " + std::to_string(n) + " stands " +
                      std::to_string(c.stands.size()) + " epsilon " + bits(c.epsilon) + "\n";
    for (const std::string& key : c.keys) out += key + "\n";
    auto table = trelvik::build_table(std::move(raw));
    if (const auto* error = std::get_if<trelvik::DataTableError>(&table))
        return out + "error " + trelvik::message(*error) + "\n";
    try {
        const trelvik::ResultArray front = trelvik::build_front(std::get<trelvik::DataTable>(table), c.epsilon);
        out += "front " + std::to_string(front.size()) + "\n";
        for (const trelvik::ResultPair& member : front) {
            out += "member";
            for (uint64_t option : member.design_vector) out += " " + std::to_string(option);
            out += " :";
            for (double target : member.target_vector) out += " " + bits(target);
            out += "\n";
        }
    } catch (const trelvik::InternalCheckFailure& failure) {
        out += "error " + failure.message + "\n";
    }
    return out;
}

}  // namespace

int main() {
    for (const Case& c : cases()) {
        const std::string out = run(c);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
