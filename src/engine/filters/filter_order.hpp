// Orders shared by the non-dominated filters: a radix sort of integer keys and
// the lexicographic order of points.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvik {

// The bits of a double as an unsigned integer in the same order as the values;
// -0.0 is taken as 0.0.
inline uint64_t ordered_bits(double x) {
    const uint64_t bits = std::bit_cast<uint64_t>(x + 0.0);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// A sort entry: a key of at most 32 bits above the 32-bit index of its
// point, so that an entry is one word and a pass of the sort moves 8 bytes.
using KeyedIndex = uint64_t;

inline KeyedIndex keyed_index(uint64_t key, uint32_t index) { return (key << 32) | index; }
inline uint64_t key_of(KeyedIndex entry) { return entry >> 32; }
inline uint32_t index_of(KeyedIndex entry) { return static_cast<uint32_t>(entry); }

// Sorts by key, stably, least significant digit first; a digit on which
// every key agrees is skipped. `scratch` is working memory.
void radix_sort(std::vector<KeyedIndex>& entries, std::vector<KeyedIndex>& scratch);

// Point indices in order of their coordinate `first`, ties broken by the
// lexicographic order of the points (rows of n doubles, pairwise distinct, no
// NaN); with first = 0, the lexicographic order. A point can be dominated
// only by a point before it in this order. `scratch` is working memory.
void lexicographic_order(const double* points, size_t count, size_t n, size_t first, std::vector<uint32_t>& order,
                         std::vector<KeyedIndex>& scratch);

}  // namespace trelvik
