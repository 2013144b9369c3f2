#include "engine/filters/filter_order.hpp"

#include <algorithm>
#include <utility>

namespace trelvik {

void radix_sort(std::vector<KeyedIndex>& entries, std::vector<KeyedIndex>& scratch) {
    const size_t count = entries.size();
    if (count < 2) return;
    // Three digits of 11 bits cover the 32-bit key; one reading pass counts
    // all three.
    constexpr int digit_bits = 11, digits = 3;
    constexpr size_t digit_values = size_t{1} << digit_bits;
    constexpr uint64_t digit_mask = digit_values - 1;
    uint32_t histograms[digits][digit_values] = {};
    for (const KeyedIndex e : entries) {
        const uint64_t key = key_of(e);
        ++histograms[0][key & digit_mask];
        ++histograms[1][(key >> digit_bits) & digit_mask];
        ++histograms[2][key >> (2 * digit_bits)];
    }
    scratch.resize(count);
    for (int digit = 0; digit < digits; ++digit) {
        uint32_t* histogram = histograms[digit];
        const int shift = 32 + digit * digit_bits;
        if (histogram[(entries[0] >> shift) & digit_mask] == count) continue;  // one digit value
        uint32_t total = 0;
        for (size_t v = 0; v < digit_values; ++v) total += std::exchange(histogram[v], total);
        for (const KeyedIndex e : entries) scratch[histogram[(e >> shift) & digit_mask]++] = e;
        entries.swap(scratch);
    }
}

// A radix sort on coordinate `first`, cut to 22 bits above its smallest
// value (two passes of the sort), does the bulk; runs that tie in that key
// are sorted fully. More bits would cost a third pass and seldom split a run.
void lexicographic_order(const double* points, size_t count, size_t n, size_t first, std::vector<uint32_t>& order,
                         std::vector<KeyedIndex>& scratch) {
    std::vector<KeyedIndex> entries(count);
    uint64_t lowest = UINT64_MAX, highest = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t bits = ordered_bits(points[i * n + first]);
        lowest = std::min(lowest, bits);
        highest = std::max(highest, bits);
    }
    constexpr int key_bits = 22;
    const int drop = std::max(0, static_cast<int>(std::bit_width(highest - lowest)) - key_bits);
    for (size_t i = 0; i < count; ++i)
        entries[i] = keyed_index((ordered_bits(points[i * n + first]) - lowest) >> drop, static_cast<uint32_t>(i));
    radix_sort(entries, scratch);
    order.resize(count);
    for (size_t i = 0; i < count; ++i) order[i] = index_of(entries[i]);
    const auto lexicographic = [points, n, first](uint32_t a, uint32_t b) {
        const double* pa = points + size_t{a} * n;
        const double* pb = points + size_t{b} * n;
        if (pa[first] != pb[first]) return pa[first] < pb[first];
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
