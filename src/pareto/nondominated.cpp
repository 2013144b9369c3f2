#include "pareto/nondominated.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <numeric>

namespace trelvik {

void offer(std::vector<uint32_t>& archive, uint32_t w, const double* points, size_t n_variables) {
    const double* pw = points + size_t{w} * n_variables;
    for (uint32_t m : archive)
        if (dominates(points + size_t{m} * n_variables, pw, n_variables)) return;
    size_t kept = 0;
    for (uint32_t m : archive)
        if (!dominates(pw, points + size_t{m} * n_variables, n_variables)) archive[kept++] = m;
    archive.resize(kept);
    archive.push_back(w);
}

namespace {

// Below this many points the plain archive is faster than sorting.
constexpr size_t plain_scan_limit = 64;

void mark_by_plain_scan(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    std::vector<uint32_t> archive;
    for (size_t i = 0; i < count; ++i) offer(archive, static_cast<uint32_t>(i), points, n);
    for (uint32_t m : archive) keep[m] = 1;
}

// The bits of a double as an unsigned integer in the same order as the values.
inline uint64_t ordered_bits(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// A 64-bit sort key with the index of its point.
struct KeyedIndex {
    uint64_t key;
    uint32_t index;
};

// Sorts by key, least significant digit first; digits on which every key
// agrees are skipped. Stable, so equal keys keep their order.
void radix_sort(std::vector<KeyedIndex>& entries) {
    const size_t count = entries.size();
    if (count < 2) return;
    std::vector<KeyedIndex> scratch(count);
    constexpr int digit_bits = 11;
    constexpr uint64_t digit_mask = (1u << digit_bits) - 1;
    std::vector<uint32_t> histogram(size_t{1} << digit_bits);
    for (int shift = 0; shift < 64; shift += digit_bits) {
        std::fill(histogram.begin(), histogram.end(), 0);
        for (const KeyedIndex& e : entries) ++histogram[(e.key >> shift) & digit_mask];
        if (histogram[(entries[0].key >> shift) & digit_mask] == count) continue;  // one digit value
        uint32_t total = 0;
        for (uint32_t& h : histogram) total += std::exchange(h, total);
        for (const KeyedIndex& e : entries) scratch[histogram[(e.key >> shift) & digit_mask]++] = e;
        entries.swap(scratch);
    }
}

// Indices in lexicographic order of their points. A point can only be
// dominated by a point before it in this order, because a dominating point is
// lexicographically smaller and the points are distinct. A radix sort on the
// first coordinate does the bulk; runs that tie in it are sorted fully.
std::vector<uint32_t> lexicographic_order(const double* points, size_t count, size_t n) {
    std::vector<KeyedIndex> entries(count);
    for (size_t i = 0; i < count; ++i)
        entries[i] = KeyedIndex{ordered_bits(points[i * n] + 0.0), static_cast<uint32_t>(i)};  // -0.0 ties with 0.0
    radix_sort(entries);
    std::vector<uint32_t> order(count);
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
        if (end - begin > 1) std::sort(order.begin() + begin, order.begin() + end, lexicographic);
        begin = end;
    }
    return order;
}

// Two variables: sweep in lexicographic order; a point survives when its
// second coordinate beats every earlier one.
void mark_two(const double* points, size_t count, std::vector<uint8_t>& keep) {
    const std::vector<uint32_t> order = lexicographic_order(points, count, 2);
    double best = INFINITY;
    for (uint32_t i : order) {
        const double y = points[size_t{i} * 2 + 1];
        if (y < best) {
            best = y;
            keep[i] = 1;
        }
    }
}

// Three variables: sweep in lexicographic order over a Fenwick tree indexed by
// the rank of the second coordinate that holds prefix minima of the third.
void mark_three(const double* points, size_t count, std::vector<uint8_t>& keep) {
    const std::vector<uint32_t> order = lexicographic_order(points, count, 3);
    std::vector<uint32_t> by_y(count);
    std::iota(by_y.begin(), by_y.end(), 0u);
    std::sort(by_y.begin(), by_y.end(), [points](uint32_t a, uint32_t b) {
        return points[size_t{a} * 3 + 1] < points[size_t{b} * 3 + 1];
    });
    // Equal second coordinates share a rank, so that the query includes them.
    std::vector<uint32_t> rank(count);
    uint32_t r = 0;
    for (size_t k = 0; k < count; ++k) {
        if (k > 0 && points[size_t{by_y[k]} * 3 + 1] != points[size_t{by_y[k - 1]} * 3 + 1]) ++r;
        rank[by_y[k]] = r + 1;  // Fenwick positions start at 1
    }
    const size_t size = r + 1;
    std::vector<double> tree(size + 1, INFINITY);
    for (uint32_t i : order) {
        const double z = points[size_t{i} * 3 + 2];
        double lowest = INFINITY;
        for (size_t p = rank[i]; p > 0; p &= p - 1) lowest = std::min(lowest, tree[p]);
        if (lowest <= z) continue;  // an earlier point is no worse anywhere
        keep[i] = 1;
        for (size_t p = rank[i]; p <= size; p += p & (~p + 1)) tree[p] = std::min(tree[p], z);
    }
}

// Spreads the low 21 bits of x to every third bit.
inline uint64_t spread_by_three(uint64_t x) {
    x &= 0x1FFFFF;
    x = (x | x << 32) & 0x1F00000000FFFFull;
    x = (x | x << 16) & 0x1F0000FF0000FFull;
    x = (x | x << 8) & 0x100F00F00F00F00Full;
    x = (x | x << 4) & 0x10C30C30C30C30C3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

// Indices in Z order (Morton order) over coordinates 1..8 of each point: the
// value bits of each coordinate, relative to its smallest and cut to a common
// width, are interleaved from the top, so that points close in space are close
// in the order and every run sharing a code prefix is a box of space.
std::vector<KeyedIndex> z_order(const double* points, size_t count, size_t n) {
    constexpr size_t max_used = 8;
    const size_t used = std::min(n - 1, max_used);
    const int width = 63 / static_cast<int>(used);
    uint64_t lowest[max_used], highest[max_used];
    int drop[max_used];
    std::fill(lowest, lowest + used, UINT64_MAX);
    std::fill(highest, highest + used, 0);
    for (size_t i = 0; i < count; ++i)
        for (size_t d = 0; d < used; ++d) {
            const uint64_t bits = ordered_bits(points[i * n + 1 + d] + 0.0);
            lowest[d] = std::min(lowest[d], bits);
            highest[d] = std::max(highest[d], bits);
        }
    for (size_t d = 0; d < used; ++d) {
        const uint64_t range = highest[d] - lowest[d];
        drop[d] = range == 0 ? 0 : std::max(0, 64 - std::countl_zero(range) - width);
    }
    std::vector<KeyedIndex> entries(count);
    for (size_t i = 0; i < count; ++i) {
        uint64_t cell[max_used];
        for (size_t d = 0; d < used; ++d)
            cell[d] = (ordered_bits(points[i * n + 1 + d] + 0.0) - lowest[d]) >> drop[d];
        uint64_t code = 0;
        if (used == 3) {  // four variables, the common case
            code = spread_by_three(cell[0]) << 2 | spread_by_three(cell[1]) << 1 | spread_by_three(cell[2]);
        } else {
            for (int bit = width - 1; bit >= 0; --bit)
                for (size_t d = 0; d < used; ++d) code = code << 1 | ((cell[d] >> bit) & 1);
        }
        entries[i] = KeyedIndex{code, static_cast<uint32_t>(i)};
    }
    radix_sort(entries);
    return entries;
}

// Four or more variables: sweep in lexicographic order, asking a tree over
// coordinates 1..n-1 whether an earlier kept point is no worse in all of
// them. Each node knows the per-coordinate minimum over the kept points below
// it, which prunes every subtree that cannot hold one.
//
// The tree is built over the points in Z order: a node's points are split
// where the highest bit of their code changes, which halves one coordinate's
// range, like a k-d tree, but without any median search. The coordinates are
// copied in that order, so that queries read memory in order.
class ZTreeSweep {
public:
    ZTreeSweep(const double* points, size_t count, size_t n)
        : dims_(n - 1), rows_(count * dims_), slot_of_(count), codes_(count) {
        const std::vector<KeyedIndex> order = z_order(points, count, n);
        for (size_t s = 0; s < count; ++s) {
            const uint32_t i = order[s].index;
            slot_of_[i] = static_cast<uint32_t>(s);
            codes_[s] = order[s].key;
            std::copy(points + size_t{i} * n + 1, points + size_t{i} * n + n, rows_.begin() + s * dims_);
        }
        build(count);
        minima_.assign(nodes_.size() * dims_, INFINITY);
        kept_.assign(rows_.size(), NAN);  // NaN is never <= anything: not yet kept
    }

    // Whether a kept point is no worse than point i in every coordinate.
    bool covered(uint32_t i) const {
        const double* b = &rows_[size_t{slot_of_[i]} * dims_];
        if (!may_hold(0, b)) return false;
        // Depth-first, each node pushing at most two children: the stack never
        // holds more than the depth plus one nodes.
        uint32_t stack[max_depth + 2];
        size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const Node node = nodes_[stack[--top]];
            if (node.child == leaf) {
                for (uint32_t s = node.begin; s < node.end; ++s) {
                    const double* p = &kept_[size_t{s} * dims_];
                    size_t d = 0;
                    while (d < dims_ && p[d] <= b[d]) ++d;
                    if (d == dims_) return true;
                }
                continue;
            }
            if (may_hold(node.child + 1, b)) stack[top++] = node.child + 1;
            if (may_hold(node.child, b)) stack[top++] = node.child;
        }
        return false;
    }

    void add(uint32_t i) {
        const size_t s = slot_of_[i];
        const double* p = &rows_[s * dims_];
        std::copy(p, p + dims_, kept_.begin() + s * dims_);
        for (uint32_t v = 0;;) {
            double* lowest = &minima_[size_t{v} * dims_];
            for (size_t d = 0; d < dims_; ++d) lowest[d] = std::min(lowest[d], p[d]);
            const Node node = nodes_[v];
            if (node.child == leaf) break;
            v = s < nodes_[node.child].end ? node.child : node.child + 1;
        }
    }

private:
    static constexpr size_t leaf_size = 8;
    static constexpr uint32_t leaf = 0;  // no node has the root as its child
    // 64 code bits, then halving runs of equal codes (at most 32 times).
    static constexpr size_t max_depth = 64 + 32;
    struct Node {
        uint32_t begin, end;  // its slots
        uint32_t child;       // the first of its two children, or leaf
    };

    // Whether the kept points under node v may hold one no worse than b.
    bool may_hold(uint32_t v, const double* b) const {
        const double* lowest = &minima_[size_t{v} * dims_];
        if (dims_ == 3) return (lowest[0] <= b[0]) & (lowest[1] <= b[1]) & (lowest[2] <= b[2]);
        size_t d = 0;
        while (d < dims_ && lowest[d] <= b[d]) ++d;
        return d == dims_;
    }

    // Iterative, so that nothing recurses; children are stored in pairs.
    void build(size_t count) {
        nodes_.push_back(Node{0, static_cast<uint32_t>(count), leaf});
        std::vector<uint32_t> pending{0};
        while (!pending.empty()) {
            const uint32_t v = pending.back();
            pending.pop_back();
            const Node node = nodes_[v];
            if (node.end - node.begin <= leaf_size) continue;
            uint32_t middle;
            const uint64_t differing = codes_[node.begin] ^ codes_[node.end - 1];
            if (differing == 0) {
                middle = node.begin + (node.end - node.begin) / 2;
            } else {
                const uint64_t top_bit = uint64_t{1} << (63 - std::countl_zero(differing));
                middle = static_cast<uint32_t>(
                    std::partition_point(codes_.begin() + node.begin, codes_.begin() + node.end,
                                         [top_bit](uint64_t code) { return (code & top_bit) == 0; }) -
                    codes_.begin());
            }
            const uint32_t child = static_cast<uint32_t>(nodes_.size());
            nodes_[v].child = child;
            nodes_.push_back(Node{node.begin, middle, leaf});
            nodes_.push_back(Node{middle, node.end, leaf});
            pending.push_back(child + 1);
            pending.push_back(child);
        }
    }

    size_t dims_;
    std::vector<double> rows_;       // coordinates 1..n-1 of every point, by slot (Z order)
    std::vector<uint32_t> slot_of_;  // point index -> slot
    std::vector<uint64_t> codes_;    // per slot: the Z-order code
    std::vector<Node> nodes_;
    std::vector<double> minima_;     // per node: minimum of each coordinate over kept points
    std::vector<double> kept_;       // per slot: the coordinates once kept, NaN before
};

void mark_many(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    const std::vector<uint32_t> order = lexicographic_order(points, count, n);
    ZTreeSweep tree(points, count, n);
    for (uint32_t i : order) {
        if (tree.covered(i)) continue;
        keep[i] = 1;
        tree.add(i);
    }
}

}  // namespace

void mark_non_dominated(const double* points, size_t count, size_t n_variables,
                        std::vector<uint8_t>& keep) {
    keep.assign(count, 0);
    if (count <= plain_scan_limit || n_variables == 1)
        mark_by_plain_scan(points, count, n_variables, keep);
    else if (n_variables == 2)
        mark_two(points, count, keep);
    else if (n_variables == 3)
        mark_three(points, count, keep);
    else
        mark_many(points, count, n_variables, keep);
}

}  // namespace trelvik
