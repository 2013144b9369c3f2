#include "pareto/nondominated.hpp"

#include <algorithm>
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

// Indices in lexicographic order of their points. A point can only be
// dominated by a point before it in this order, because a dominating point is
// lexicographically smaller and the points are distinct. A radix sort on the
// first coordinate does the bulk; runs that tie in it are sorted fully.
std::vector<uint32_t> lexicographic_order(const double* points, size_t count, size_t n) {
    struct Entry {
        uint64_t key;
        uint32_t index;
    };
    std::vector<Entry> entries(count), scratch(count);
    for (size_t i = 0; i < count; ++i)
        entries[i] = Entry{ordered_bits(points[i * n] + 0.0), static_cast<uint32_t>(i)};  // -0.0 ties with 0.0
    constexpr int digit_bits = 11;
    constexpr uint64_t digit_mask = (1u << digit_bits) - 1;
    std::vector<uint32_t> histogram(size_t{1} << digit_bits);
    for (int shift = 0; shift < 64; shift += digit_bits) {
        std::fill(histogram.begin(), histogram.end(), 0);
        for (const Entry& e : entries) ++histogram[(e.key >> shift) & digit_mask];
        if (histogram[(entries[0].key >> shift) & digit_mask] == count) continue;  // one digit value
        uint32_t total = 0;
        for (uint32_t& h : histogram) total += std::exchange(h, total);
        for (const Entry& e : entries) scratch[histogram[(e.key >> shift) & digit_mask]++] = e;
        entries.swap(scratch);
    }
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

// Four or more variables: sweep in lexicographic order, asking a static k-d
// tree over coordinates 1..n-1 whether an earlier kept point is no worse in
// all of them. Each node knows the per-coordinate minimum over the kept
// points below it, which prunes every subtree that cannot hold one.
class KdSweep {
public:
    KdSweep(const double* points, size_t count, size_t n)
        : points_(points), n_(n), dims_(n - 1), slots_(count), leaf_of_(count) {
        std::iota(slots_.begin(), slots_.end(), 0u);
        build(0, count);
    }

    bool covered(uint32_t i) const {
        const double* b = points_ + size_t{i} * n_ + 1;
        uint32_t stack[128];
        size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const Node& node = nodes_[stack[--top]];
            const double* lowest = &minima_[size_t{node.index} * dims_];
            bool possible = true;
            for (size_t d = 0; d < dims_ && possible; ++d) possible = lowest[d] <= b[d];
            if (!possible) continue;
            if (node.left == no_child) {
                for (uint32_t s = node.begin; s < node.end; ++s) {
                    if (!active_[s]) continue;
                    const double* p = points_ + size_t{slots_[s]} * n_ + 1;
                    size_t d = 0;
                    while (d < dims_ && p[d] <= b[d]) ++d;
                    if (d == dims_) return true;
                }
            } else {
                stack[top++] = node.right;
                stack[top++] = node.left;
            }
        }
        return false;
    }

    void add(uint32_t i) {
        const double* p = points_ + size_t{i} * n_ + 1;
        active_[slot_of_[i]] = 1;
        for (uint32_t v = leaf_of_[i]; v != no_child; v = nodes_[v].parent) {
            double* lowest = &minima_[size_t{v} * dims_];
            bool changed = false;
            for (size_t d = 0; d < dims_; ++d)
                if (p[d] < lowest[d]) {
                    lowest[d] = p[d];
                    changed = true;
                }
            if (!changed) break;  // the ancestors are no higher than this node
        }
    }

private:
    static constexpr uint32_t no_child = UINT32_MAX;
    static constexpr size_t leaf_size = 8;
    struct Node {
        uint32_t index, parent, left, right, begin, end;
    };

    // Iterative build; the tree is balanced, so its depth is logarithmic.
    void build(size_t begin, size_t end) {
        struct Pending {
            uint32_t parent;
            size_t begin, end, depth;
            bool left_child;
        };
        std::vector<Pending> pending{{no_child, begin, end, 0, false}};
        while (!pending.empty()) {
            const Pending job = pending.back();
            pending.pop_back();
            const uint32_t index = static_cast<uint32_t>(nodes_.size());
            nodes_.push_back(Node{index, job.parent, no_child, no_child,
                                  static_cast<uint32_t>(job.begin), static_cast<uint32_t>(job.end)});
            if (job.parent != no_child)
                (job.left_child ? nodes_[job.parent].left : nodes_[job.parent].right) = index;
            if (job.end - job.begin <= leaf_size) {
                for (size_t s = job.begin; s < job.end; ++s) leaf_of_[slots_[s]] = index;
                continue;
            }
            const size_t d = 1 + job.depth % dims_;
            const size_t mid = job.begin + (job.end - job.begin) / 2;
            const double* pts = points_;
            const size_t n = n_;
            std::nth_element(slots_.begin() + job.begin, slots_.begin() + mid, slots_.begin() + job.end,
                             [pts, n, d](uint32_t a, uint32_t b) {
                                 return pts[size_t{a} * n + d] < pts[size_t{b} * n + d];
                             });
            pending.push_back({index, mid, job.end, job.depth + 1, false});
            pending.push_back({index, job.begin, mid, job.depth + 1, true});
        }
        minima_.assign(nodes_.size() * dims_, INFINITY);
        active_.assign(slots_.size(), 0);
        slot_of_.resize(slots_.size());
        for (size_t s = 0; s < slots_.size(); ++s) slot_of_[slots_[s]] = static_cast<uint32_t>(s);
    }

    const double* points_;
    size_t n_, dims_;
    std::vector<uint32_t> slots_;    // point indices, grouped by leaf
    std::vector<uint32_t> slot_of_;  // point index -> position in slots_
    std::vector<uint32_t> leaf_of_;  // point index -> its leaf node
    std::vector<uint8_t> active_;    // per slot: the point has been kept
    std::vector<Node> nodes_;
    std::vector<double> minima_;     // per node: minimum of each coordinate over kept points
};

void mark_many(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    const std::vector<uint32_t> order = lexicographic_order(points, count, n);
    KdSweep tree(points, count, n);
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
