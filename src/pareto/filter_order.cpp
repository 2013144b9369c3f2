#include "pareto/filter_order.hpp"

#include <algorithm>
#include <utility>

namespace trelvik {

void radix_sort(std::vector<KeyedIndex>& entries, std::vector<KeyedIndex>& scratch) {
    const size_t count = entries.size();
    if (count < 2) return;
    uint64_t any_bits = 0;
    for (const KeyedIndex e : entries) any_bits |= e;
    const int key_bits = static_cast<int>(std::bit_width(any_bits >> 32));
    scratch.resize(count);
    constexpr int digit_bits = 11;
    constexpr uint64_t digit_mask = (uint64_t{1} << digit_bits) - 1;
    uint32_t histogram[size_t{1} << digit_bits];
    for (int shift = 32; shift < 32 + key_bits; shift += digit_bits) {
        std::fill(std::begin(histogram), std::end(histogram), 0u);
        for (const KeyedIndex e : entries) ++histogram[(e >> shift) & digit_mask];
        if (histogram[(entries[0] >> shift) & digit_mask] == count) continue;  // one digit value
        uint32_t total = 0;
        for (uint32_t& h : histogram) total += std::exchange(h, total);
        for (const KeyedIndex e : entries) scratch[histogram[(e >> shift) & digit_mask]++] = e;
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
    }
    const int drop = std::max(0, static_cast<int>(std::bit_width(highest - lowest)) - 32);
    for (size_t i = 0; i < count; ++i)
        entries[i] = keyed_index((ordered_bits(points[i * n]) - lowest) >> drop, static_cast<uint32_t>(i));
    radix_sort(entries, scratch);
    order.resize(count);
    for (size_t i = 0; i < count; ++i) order[i] = index_of(entries[i]);
    const auto lexicographic = [points, n](uint32_t a, uint32_t b) {
        const double* pa = points + size_t{a} * n;
        const double* pb = points + size_t{b} * n;
        for (size_t k = 0; k < n; ++k)
            if (pa[k] != pb[k]) return pa[k] < pb[k];
        return false;
    };
    for (size_t begin = 0; begin < count;) {
        size_t end = begin + 1;
        while (end < count && key_of(entries[end]) == key_of(entries[begin])) ++end;
        if (end - begin > 1) std::sort(order.data() + begin, order.data() + end, lexicographic);
        begin = end;
    }
}

}  // namespace trelvik
