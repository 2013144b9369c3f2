#include "pareto/filter_order.hpp"

#include <algorithm>
#include <utility>

namespace trelvik {

void radix_sort(std::vector<KeyedIndex>& entries, std::vector<KeyedIndex>& scratch) {
    const size_t count = entries.size();
    if (count < 2) return;
    uint64_t any_bits = 0;
    for (const KeyedIndex& e : entries) any_bits |= e.key;
    const int key_bits = static_cast<int>(std::bit_width(any_bits));
    scratch.resize(count);
    constexpr int digit_bits = 11;
    constexpr uint64_t digit_mask = (uint64_t{1} << digit_bits) - 1;
    uint32_t histogram[size_t{1} << digit_bits];
    for (int shift = 0; shift < key_bits; shift += digit_bits) {
        std::fill(std::begin(histogram), std::end(histogram), 0u);
        for (const KeyedIndex& e : entries) ++histogram[(e.key >> shift) & digit_mask];
        if (histogram[(entries[0].key >> shift) & digit_mask] == count) continue;  // one digit value
        uint32_t total = 0;
        for (uint32_t& h : histogram) total += std::exchange(h, total);
        for (const KeyedIndex& e : entries) scratch[histogram[(e.key >> shift) & digit_mask]++] = e;
        entries.swap(scratch);
    }
}

// A radix sort on the first coordinate, cut to 32 bits above its smallest
// value, does the bulk; runs that tie in that key are sorted fully.
void lexicographic_order(const double* points, size_t count, size_t n, std::vector<uint32_t>& order,
                         std::vector<KeyedIndex>& scratch) {
    std::vector<KeyedIndex> entries(count);
    uint64_t lowest = UINT64_MAX, highest = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t bits = ordered_bits(points[i * n]);
        lowest = std::min(lowest, bits);
        highest = std::max(highest, bits);
        entries[i] = KeyedIndex{bits, static_cast<uint32_t>(i)};
    }
    const int drop = std::max(0, static_cast<int>(std::bit_width(highest - lowest)) - 32);
    for (KeyedIndex& e : entries) e.key = (e.key - lowest) >> drop;
    radix_sort(entries, scratch);
    order.resize(count);
    for (size_t i = 0; i < count; ++i) order[i] = entries[i].index;
    const auto lexicographic = [points, n](uint32_t a, uint32_t b) {
        const double* pa = points + size_t{a} * n;
        const double* pb = points + size_t{b} * n;
        for (size_t k = 0; k < n; ++k)
            if (pa[k] != pb[k]) return pa[k] < pb[k];
        return false;
    };
    for (size_t begin = 0; begin < count;) {
        size_t end = begin + 1;
        while (end < count && entries[end].key == entries[begin].key) ++end;
        if (end - begin > 1) std::sort(order.data() + begin, order.data() + end, lexicographic);
        begin = end;
    }
}

}  // namespace trelvik
