// Four or more variables: a sweep in lexicographic order. A point is dominated
// exactly when an earlier point that was kept is no worse in coordinates
// 1..n-1 (it is no worse in coordinate 0 by the order, and the points are
// distinct); a tree over those coordinates answers that question.
//
// The tree is built over the points in Z order (the bits of coordinates
// 1..n-1 interleaved): a node's points are split where the highest bit of
// their code changes, which halves one coordinate's range, like a k-d tree,
// but without any median search. Each node holds the per-coordinate minimum
// over its kept points, which prunes every subtree that cannot hold one no
// worse than the query. Coordinates are stored in tree order, so that a query
// reads memory in order.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pareto/filter_order.hpp"
#include "pareto/filters.hpp"

namespace trelvik {

namespace {

// At most this many coordinates (1..max_code_dims) enter the Z-order code,
// with code_bits bits between them: enough to split any stage down to leaves.
constexpr size_t max_code_dims = 8;
constexpr int code_bits = 33;

// Z-order codes of coordinates 1..used, each taken relative to its smallest
// value and cut to a common width, and the point indices sorted by them.
void z_order(const double* points, size_t count, size_t n, std::vector<KeyedIndex>& entries,
             std::vector<KeyedIndex>& scratch) {
    const size_t used = std::min(n - 1, max_code_dims);
    const int width = code_bits / static_cast<int>(used);  // at most 11
    uint64_t lowest[max_code_dims], highest[max_code_dims];
    int drop[max_code_dims];
    std::fill(lowest, lowest + used, UINT64_MAX);
    std::fill(highest, highest + used, 0);
    for (size_t i = 0; i < count; ++i)
        for (size_t d = 0; d < used; ++d) {
            const uint64_t bits = ordered_bits(points[i * n + 1 + d]);
            lowest[d] = std::min(lowest[d], bits);
            highest[d] = std::max(highest[d], bits);
        }
    for (size_t d = 0; d < used; ++d) drop[d] = std::max(0, static_cast<int>(std::bit_width(highest[d] - lowest[d])) - width);
    // Each bit t of a byte moves to bit t * used.
    uint64_t spread[256];
    for (uint64_t v = 0; v < 256; ++v) {
        spread[v] = 0;
        for (size_t t = 0; t < 8; ++t) spread[v] |= ((v >> t) & 1) << (t * used);
    }
    entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
        uint64_t code = 0;
        for (size_t d = 0; d < used; ++d) {
            const uint64_t cell = (ordered_bits(points[i * n + 1 + d]) - lowest[d]) >> drop[d];
            uint64_t spread_cell = spread[cell & 255];
            if (width > 8) spread_cell |= spread[(cell >> 8) & 255] << (8 * used);  // then used <= 3
            code |= spread_cell << (used - 1 - d);
        }
        entries[i] = KeyedIndex{code, static_cast<uint32_t>(i)};
    }
    radix_sort(entries, scratch);
}

// D is the number of coordinates in the tree (n - 1), or 0 when known only at
// run time.
template <size_t D>
class ZTreeSweep {
public:
    ZTreeSweep(const double* points, size_t count, size_t n) : dims_(D != 0 ? D : n - 1) {
        std::vector<KeyedIndex> entries, scratch;
        z_order(points, count, n, entries, scratch);
        rows_.resize(count * dims_);
        slot_of_.resize(count);
        codes_.resize(count);
        for (size_t s = 0; s < count; ++s) {
            const uint32_t i = entries[s].index;
            slot_of_[i] = static_cast<uint32_t>(s);
            codes_[s] = entries[s].key;
            std::copy(points + size_t{i} * n + 1, points + size_t{i} * n + n, rows_.data() + s * dims_);
        }
        build(count);
        minima_.assign(nodes_.size() * dims_, INFINITY);
        kept_.assign(rows_.size(), NAN);  // NaN is never <= anything: not yet kept
    }

    uint32_t slot_of(uint32_t i) const { return slot_of_[i]; }

    // Whether a kept point is no worse than the point in slot s in every
    // coordinate of the tree.
    bool covered(uint32_t s) {
        const double* b = &rows_[size_t{s} * dims_];
        // The last point that covered one often covers the next.
        if (witness_ != no_witness && no_worse(&kept_[size_t{witness_} * dims_], b)) return true;
        if (!no_worse(&minima_[0], b)) return false;
        // Depth-first, each node pushing at most two children: the stack never
        // holds more than the depth plus one nodes.
        uint32_t stack[max_depth + 2];
        size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const Node node = nodes_[stack[--top]];
            if (node.child == leaf) {
                for (uint32_t t = node.begin; t < node.end; ++t)
                    if (no_worse(&kept_[size_t{t} * dims_], b)) {
                        witness_ = t;
                        return true;
                    }
                continue;
            }
            if (no_worse(&minima_[size_t{node.child + 1} * dims_], b)) stack[top++] = node.child + 1;
            if (no_worse(&minima_[size_t{node.child} * dims_], b)) stack[top++] = node.child;
        }
        return false;
    }

    // Keeps the point in slot s. The minima are lowered from its leaf upwards,
    // up to the first node that it does not lower: none above that one
    // changes either.
    void add(uint32_t s) {
        const double* p = &rows_[size_t{s} * dims_];
        std::copy(p, p + dims_, kept_.data() + size_t{s} * dims_);
        for (uint32_t v = leaf_of_[s];; v = nodes_[v].parent) {
            double* lowest = &minima_[size_t{v} * dims_];
            bool lowered = false;
            for (size_t d = 0; d < dims(); ++d)
                if (p[d] < lowest[d]) {
                    lowest[d] = p[d];
                    lowered = true;
                }
            if (!lowered || v == 0) break;
        }
    }

private:
    static constexpr size_t leaf_size = 32;  // scanning a leaf is cheaper than descending
    static constexpr uint32_t leaf = 0;  // no node has the root as its child
    static constexpr uint32_t no_witness = UINT32_MAX;
    // One level per code bit, then halving runs of equal codes (at most 32 times).
    static constexpr size_t max_depth = code_bits + 32;
    struct Node {
        uint32_t begin, end;  // its slots
        uint32_t child;       // the first of its two children, or leaf
        uint32_t parent;
    };

    size_t dims() const { return D != 0 ? D : dims_; }

    bool no_worse(const double* p, const double* b) const {
        bool all = true;
        for (size_t d = 0; d < dims(); ++d) all &= p[d] <= b[d];
        return all;
    }

    // Iterative, so that nothing recurses; children are stored in pairs.
    void build(size_t count) {
        leaf_of_.resize(count);
        nodes_.push_back(Node{0, static_cast<uint32_t>(count), leaf, 0});
        std::vector<uint32_t> pending{0};
        while (!pending.empty()) {
            const uint32_t v = pending.back();
            pending.pop_back();
            const Node node = nodes_[v];
            if (node.end - node.begin <= leaf_size) {
                std::fill(leaf_of_.begin() + node.begin, leaf_of_.begin() + node.end, v);
                continue;
            }
            uint32_t middle;
            const uint64_t differing = codes_[node.begin] ^ codes_[node.end - 1];
            if (differing == 0) {
                middle = node.begin + (node.end - node.begin) / 2;
            } else {
                const uint64_t top_bit = uint64_t{1} << (std::bit_width(differing) - 1);
                middle = static_cast<uint32_t>(
                    std::partition_point(codes_.begin() + node.begin, codes_.begin() + node.end,
                                         [top_bit](uint64_t code) { return (code & top_bit) == 0; }) -
                    codes_.begin());
            }
            const uint32_t child = static_cast<uint32_t>(nodes_.size());
            nodes_[v].child = child;
            nodes_.push_back(Node{node.begin, middle, leaf, v});
            nodes_.push_back(Node{middle, node.end, leaf, v});
            pending.push_back(child + 1);
            pending.push_back(child);
        }
    }

    size_t dims_;
    std::vector<double> rows_;       // coordinates 1..n-1 of every point, by slot (Z order)
    std::vector<uint32_t> slot_of_;  // point index -> slot
    std::vector<uint64_t> codes_;    // per slot: the Z-order code
    std::vector<uint32_t> leaf_of_;  // per slot: its leaf
    std::vector<Node> nodes_;
    std::vector<double> minima_;     // per node: minimum of each coordinate over kept points
    std::vector<double> kept_;       // per slot: the coordinates once kept, NaN before
    uint32_t witness_ = no_witness;  // the slot that last covered a query
};

template <size_t D>
void sweep(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    std::vector<uint32_t> order;
    {
        std::vector<KeyedIndex> scratch;
        lexicographic_order(points, count, n, order, scratch);
    }
    ZTreeSweep<D> tree(points, count, n);
    for (uint32_t i : order) {
        const uint32_t s = tree.slot_of(i);
        if (tree.covered(s)) continue;
        keep[i] = 1;
        tree.add(s);
    }
}

}  // namespace

void mark_by_ztree_sweep(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    switch (n) {
        case 4: return sweep<3>(points, count, n, keep);
        case 5: return sweep<4>(points, count, n, keep);
        case 6: return sweep<5>(points, count, n, keep);
        default: return sweep<0>(points, count, n, keep);
    }
}

}  // namespace trelvik
