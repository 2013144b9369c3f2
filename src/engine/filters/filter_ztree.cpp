// Four or more variables: a sweep in order of one coordinate, the swept one,
// ties broken lexicographically. A point is dominated exactly when an earlier
// point that was kept is no worse in the other coordinates (it is no worse in
// the swept one by the order, and the points are distinct); a tree over those
// coordinates answers that question.
//
// The tree is built over the points in Z order (the bits of the other
// coordinates interleaved): a node's points are split where the highest bit of
// their code changes, which halves one coordinate's range, like a k-d tree,
// but without any median search. Each node holds the per-coordinate minimum
// over its kept points, which prunes every subtree that cannot hold one no
// worse than the query. The tests run on integer cells that keep the order of
// the values, packed into 64-bit words; only a kept point that passes them is
// compared in doubles. The queries are laid out in sweep order, the kept
// points leaf by leaf, so that both are read in sequence.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "core/raw_buffer.hpp"
#include "engine/filters/filter_order.hpp"
#include "engine/filters/filters.hpp"

namespace trelvik {

namespace {

// Every coordinate of the tree is also held as a cell: an integer
// in the same order as the values, (bits - lowest) >> drop of the
// order-keeping bits of the double. x <= y gives cell(x) <= cell(y), so the
// cells answer "no worse" for the tree's tests with integer arithmetic, never
// too strictly; a kept point whose cells pass is checked again in doubles.
//
// Cells are packed into 64-bit words, PerWord to a word, in fields of
// 64 / PerWord bits. A field holds a cell of field_bits - 2 bits, room above
// it for a value above every cell, and a guard bit at its top. Fewer words
// per point make the tests cheaper (one word: one subtraction); the price is
// coarser cells (19 or 14 bits for three or four to a word, instead of 30),
// which only lets more kept points through to the comparison in doubles and
// prunes a little less.
template <size_t PerWord>
struct CellLayout {
    static constexpr int field_bits = 64 / static_cast<int>(PerWord);
    static constexpr int cell_bits = field_bits - 2;
    static constexpr uint64_t below_guard = (uint64_t{1} << (field_bits - 1)) - 1;
    static constexpr uint64_t above_every_cell = below_guard;  // passes no test
    static constexpr uint64_t guards = [] {
        uint64_t bits = 0;
        for (size_t f = 0; f < PerWord; ++f) bits |= uint64_t{1} << (field_bits * static_cast<int>(f) + field_bits - 1);
        return bits;
    }();
    static constexpr size_t word_of(size_t d) { return d / PerWord; }
    static constexpr int shift_of(size_t d) { return field_bits * static_cast<int>(d % PerWord); }
};

// Three or four coordinates (four or five variables) in one word; five (six
// variables) three to a word, in two words: five to a word would leave cells
// of 10 bits, too coarse once a share of the points lies far from the rest
// (with one point in twenty so placed, the filter took twice its time).
// More coordinates, or a count known only at run time (D = 0), two to a word.
constexpr size_t per_word_for(size_t d) { return d == 3 || d == 4 ? d : d == 5 ? 3 : 2; }

// The range of ordered bits that a coordinate's cells resolve: that of an
// even sample of the rows, less its few lowest and highest values. A handful
// of extreme points (such as the ends of a front, where one coordinate is
// near zero) would otherwise stretch the range so far that the bulk of the
// points would share a few cells, and the tree's splits would not separate
// them. Values beyond the range take its first or last cell, which keeps
// the order.
constexpr size_t range_sample = 256;
constexpr size_t range_trim = 2;  // sampled values left out at each end, from 16 samples on

// Adds v to `extremes` (last + 1 values, the most extreme first, as ranked
// by `before`) if it ranks before the last of them.
template <class Before>
void keep_extreme(uint64_t* extremes, size_t last, uint64_t v, Before before) {
    if (!before(v, extremes[last])) return;
    size_t at = last;
    for (; at > 0 && before(v, extremes[at - 1]); --at) extremes[at] = extremes[at - 1];
    extremes[at] = v;
}

// How one coordinate's values become cells: (bits - lowest) >> drop of
// their order-keeping bits, clamped to [lowest, highest]; `width` is the bit
// width of the largest cell.
struct CellScale {
    uint64_t lowest, highest;
    int drop, width;
};

// The scale of coordinate `axis` of `count` points, from an even sample of
// them in sweep order.
template <size_t PerWord>
CellScale cell_scale(const double* points, const uint32_t* order, size_t count, size_t n, size_t axis) {
    using Layout = CellLayout<PerWord>;
    const size_t samples = std::min(count, range_sample);
    const size_t trim = samples >= 16 ? range_trim : 0;
    // The trim + 1 lowest and highest sampled values, each list sorted from
    // its end of the range inwards.
    uint64_t low[range_trim + 1], high[range_trim + 1];
    std::fill_n(low, trim + 1, UINT64_MAX);
    std::fill_n(high, trim + 1, uint64_t{0});
    for (size_t i = 0; i < samples; ++i) {
        const uint64_t bits = ordered_bits(points[size_t{order[i * count / samples]} * n + axis]);
        keep_extreme(low, trim, bits, std::less<uint64_t>());
        keep_extreme(high, trim, bits, std::greater<uint64_t>());
    }
    CellScale scale;
    scale.lowest = low[trim];
    scale.highest = high[trim];
    const int range_width = static_cast<int>(std::bit_width(scale.highest - scale.lowest));
    scale.drop = std::max(0, range_width - Layout::cell_bits);
    scale.width = range_width - scale.drop;
    return scale;
}

inline uint64_t cell_of(double value, const CellScale& scale) {
    return (std::clamp(ordered_bits(value), scale.lowest, scale.highest) - scale.lowest) >> scale.drop;
}

// Whether every cell of p is at most the same cell of q: per word, one
// subtraction whose borrow shows in each field's guard bit.
template <size_t PerWord, size_t Words>
bool cells_no_worse(const uint64_t* p, const uint64_t* q, size_t words) {
    constexpr uint64_t guards = CellLayout<PerWord>::guards;
    if constexpr (Words != 0) words = Words;
    uint64_t all = guards;
    for (size_t w = 0; w < words; ++w) all &= (q[w] | guards) - p[w];
    return all == guards;
}

// Each field of `a` lowered to the same field of `b` where that is lower;
// whether any was.
template <size_t PerWord>
bool lower_cells(uint64_t& a, uint64_t b) {
    using Layout = CellLayout<PerWord>;
    uint64_t lowered;
    if constexpr (PerWord == 2) {  // two plain minima: cheaper than the masks below
        lowered = (std::min(a >> 32, b >> 32) << 32) | std::min(a & 0xFFFFFFFFu, b & 0xFFFFFFFFu);
    } else {
        // The guard bits left by a - b mark the fields where a >= b; spread
        // over their fields, they select b there.
        const uint64_t at_least = (((a | Layout::guards) - b) & Layout::guards) >> (Layout::field_bits - 1);
        const uint64_t take_b = at_least * Layout::below_guard;
        lowered = (b & take_b) | (a & ~take_b);
    }
    const bool changed = lowered != a;
    a = lowered;
    return changed;
}

// At most this many coordinates of the tree enter the Z-order code, with
// code_bits bits between them (two passes of the radix sort): enough to
// split the stages down to leaves; runs of equal codes are halved.
constexpr size_t max_code_dims = 8;
constexpr int code_bits = 22;

// Z-order codes of the first `used` coordinates of the tree, from the top
// bits of their cells.
struct ZCode {
    size_t used;
    int width;  // bits per coordinate, at most 11
    int drop[max_code_dims];
    uint64_t spread[256];  // each bit t of a byte moved to bit t * used

    explicit ZCode(const std::vector<CellScale>& scales) {
        used = std::min(scales.size(), max_code_dims);
        width = code_bits / static_cast<int>(used);
        for (size_t d = 0; d < used; ++d) drop[d] = std::max(0, scales[d].width - width);
        for (uint64_t v = 0; v < 256; ++v) {
            spread[v] = 0;
            for (size_t t = 0; t < 8; ++t) spread[v] |= ((v >> t) & 1) << (t * used);
        }
    }

    // The part of a code that the cell of coordinate d < used gives.
    uint64_t part(size_t d, uint64_t cell) const {
        cell >>= drop[d];
        uint64_t spread_cell = spread[cell & 255];
        if (width > 8) spread_cell |= spread[(cell >> 8) & 255] << (8 * used);  // then used <= 2
        return spread_cell << (used - 1 - d);
    }
};

// D is the number of coordinates in the tree (n - 1), or 0 when known only at
// run time; W the number of cell words per point (0: known at run time).
template <size_t D, size_t W>
class ZTreeSweep {
public:
    static constexpr size_t per_word = per_word_for(D);
    using Layout = CellLayout<per_word>;

    // `entries` holds the sweep positions in Z order, with their codes.
    ZTreeSweep(const std::vector<KeyedIndex>& entries, size_t dims, size_t words) : dims_(dims), words_(words) {
        const size_t count = entries.size();
        leaf_of_.resize(count);
        build(entries);
        // Every cell above every other: nothing kept yet.
        std::vector<uint64_t> above(this->words(), 0);
        for (size_t d = 0; d < this->dims(); ++d)
            above[Layout::word_of(d)] |= Layout::above_every_cell << Layout::shift_of(d);
        minima_.resize(nodes_.size() * this->words());
        for (size_t i = 0; i < minima_.size(); ++i) minima_[i] = above[i % this->words()];
        // A leaf's slots are read only once filled.
        kept_.reserve(count * this->words(), 0);
        kept_exact_.reserve(count * this->dims(), 0);
        filled_.assign(nodes_.size(), 0);
    }

    // The leaf that holds the point at sweep position r.
    uint32_t leaf_of(uint32_t r) const { return leaf_of_[r]; }

    // Whether a kept point is no worse than b in every coordinate of the tree;
    // q holds the cells of b.
    bool covered(const uint64_t* q, const double* b, uint32_t own_leaf) {
        // The last point that covered one often covers the next.
        if (witness_ != no_witness && kept_covers(witness_, q, b)) return true;
        // Minima only grow from a node to its children, so a kept point no
        // worse than b lies either in b's own leaf or below a sibling of one
        // of the leaf's ancestors whose minima are no worse than b. Those
        // siblings are listed per leaf, nearest first; they seldom pass, so
        // the walk is a run of independent, well-predicted tests.
        if (no_worse(&minima_[size_t{own_leaf} * words()], q) && leaf_covers(own_leaf, q, b))
            return true;
        const LeafPath path = paths_[own_leaf];
        for (uint32_t l = path.begin; l < path.end; ++l) {
            const uint32_t sibling = siblings_[l];
            if (no_worse(&minima_[size_t{sibling} * words()], q) && search(sibling, q, b)) return true;
        }
        return false;
    }

    // Keeps a point of leaf own_leaf. It takes the leaf's next slot, so that a
    // leaf's kept points lie at its start and a scan reads them alone (the
    // filter took 4 to 9 % less time than with scans over every slot). The
    // minima are lowered from the leaf upwards, up to the first node that it
    // does not lower: none above that one changes either.
    void add(const uint64_t* q, const double* b, uint32_t own_leaf) {
        const uint32_t t = nodes_[own_leaf].begin + filled_[own_leaf]++;
        uint64_t* kept = kept_.data() + size_t{t} * words();
        double* kept_exact = kept_exact_.data() + size_t{t} * dims();
        for (size_t w = 0; w < words(); ++w) kept[w] = q[w];
        for (size_t d = 0; d < dims(); ++d) kept_exact[d] = b[d];
        for (uint32_t v = own_leaf;; v = nodes_[v].parent) {
            uint64_t* lowest = &minima_[size_t{v} * words()];
            bool lowered = false;
            for (size_t w = 0; w < words(); ++w) lowered |= lower_cells<per_word>(lowest[w], q[w]);
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
    struct LeafPath {
        uint32_t begin, end;  // in siblings_
    };

    size_t dims() const { return D != 0 ? D : dims_; }
    size_t words() const { return W != 0 ? W : words_; }

    bool no_worse(const uint64_t* p, const uint64_t* q) const { return cells_no_worse<per_word, W>(p, q, words_); }

    bool kept_covers(uint32_t t, const uint64_t* q, const double* b) const {
        if (!no_worse(&kept_[size_t{t} * words()], q)) return false;
        const double* p = &kept_exact_[size_t{t} * dims()];
        bool all = true;
        for (size_t d = 0; d < dims(); ++d) all &= p[d] <= b[d];
        return all;
    }

    bool leaf_covers(uint32_t v, const uint64_t* q, const double* b) {
        const uint32_t begin = nodes_[v].begin, end = begin + filled_[v];
        for (uint32_t t = begin; t < end; ++t)
            if (kept_covers(t, q, b)) {
                witness_ = t;
                return true;
            }
        return false;
    }

    // Whether a kept point below node `root` is no worse than b; the node's
    // own minima are known to be.
    bool search(uint32_t root, const uint64_t* q, const double* b) {
        // Depth-first, each node pushing at most two children: the stack never
        // holds more than the depth plus one nodes.
        uint32_t stack[max_depth + 2];
        size_t top = 0;
        stack[top++] = root;
        while (top > 0) {
            const uint32_t v = stack[--top];
            const Node node = nodes_[v];
            if (node.child == leaf) {
                if (leaf_covers(v, q, b)) return true;
                continue;
            }
            if (no_worse(&minima_[size_t{node.child + 1} * words()], q)) stack[top++] = node.child + 1;
            if (no_worse(&minima_[size_t{node.child} * words()], q)) stack[top++] = node.child;
        }
        return false;
    }

    // Iterative, so that nothing recurses; children are stored in pairs, and
    // every leaf lists the siblings of itself and its ancestors. A node's
    // slots are a range of `entries`, split where the highest bit in which
    // their codes differ changes.
    void build(const std::vector<KeyedIndex>& entries) {
        const size_t count = entries.size();
        nodes_.push_back(Node{0, static_cast<uint32_t>(count), leaf, 0});
        std::vector<uint32_t> pending{0};
        while (!pending.empty()) {
            const uint32_t v = pending.back();
            pending.pop_back();
            const Node node = nodes_[v];
            if (node.end - node.begin <= leaf_size) {
                for (uint32_t s = node.begin; s < node.end; ++s) leaf_of_[index_of(entries[s])] = v;
                if (paths_.size() <= v) paths_.resize(size_t{v} + 1);
                paths_[v].begin = static_cast<uint32_t>(siblings_.size());
                for (uint32_t u = v; u != 0; u = nodes_[u].parent) siblings_.push_back(((u - 1) ^ 1) + 1);
                paths_[v].end = static_cast<uint32_t>(siblings_.size());
                continue;
            }
            uint32_t middle;
            const uint64_t differing = key_of(entries[node.begin]) ^ key_of(entries[node.end - 1]);
            if (differing == 0) {
                middle = node.begin + (node.end - node.begin) / 2;
            } else {
                const uint64_t top_bit = uint64_t{1} << (std::bit_width(differing) - 1);
                middle = static_cast<uint32_t>(
                    std::partition_point(entries.begin() + node.begin, entries.begin() + node.end,
                                         [top_bit](KeyedIndex e) { return (key_of(e) & top_bit) == 0; }) -
                    entries.begin());
            }
            const uint32_t child = static_cast<uint32_t>(nodes_.size());
            nodes_[v].child = child;
            nodes_.push_back(Node{node.begin, middle, leaf, v});
            nodes_.push_back(Node{middle, node.end, leaf, v});
            pending.push_back(child + 1);
            pending.push_back(child);
        }
    }

    size_t dims_, words_;
    std::vector<uint32_t> leaf_of_;  // per sweep position: the leaf of its point
    std::vector<Node> nodes_;        // the root first, then children in pairs
    std::vector<LeafPath> paths_;    // per leaf: its part of siblings_
    std::vector<uint32_t> siblings_;
    std::vector<uint64_t> minima_;   // per node: the smallest cell of each coordinate over kept points
    // The points kept so far, each leaf's in the first filled_[leaf] of its
    // slots, in the order kept: their cells and coordinates.
    RawBuffer<uint64_t> kept_;
    RawBuffer<double> kept_exact_;
    std::vector<uint32_t> filled_;   // per leaf
    uint32_t witness_ = no_witness;  // the slot that last covered a query
};

// The coordinates in the order the sweep takes them: axes[0] is swept, the
// rest make up the tree, the first of them leading its Z-order codes. Any
// order gives the same result, but not the same time: on stages of the
// benchmark tables the best coordinate to sweep took half the time of the
// worst. Both choices are estimated from pairs of successive sampled rows,
// in time linear in n. The swept coordinate is the one that most often moves
// against the others: the points kept early in the sweep are then late in
// most other coordinates, and the tree's minima stay high. The tree's
// coordinates are ranked by how strongly they move with the swept one,
// either way; those nearly independent of it come last (on the six-variable
// stages, the filter then took 10 % less time than in the given order).
void choose_axes(const double* points, size_t count, size_t n, std::vector<size_t>& axes) {
    const size_t samples = std::min(count, range_sample);
    std::vector<int64_t> steps(n);
    // Per coordinate, moves in step less moves against: those of all the
    // others with it, and those of the swept one with it.
    std::vector<int64_t> with_others(n, 0), with_swept(n, 0);
    const auto for_each_pair = [&](auto&& visit) {
        for (size_t i = 1; i < samples; ++i) {
            const double* a = points + (i - 1) * count / samples * n;
            const double* b = points + i * count / samples * n;
            int64_t total = 0;
            for (size_t d = 0; d < n; ++d) {
                steps[d] = (a[d] < b[d]) - (b[d] < a[d]);
                total += steps[d];
            }
            visit(total);
        }
    };
    for_each_pair([&](int64_t total) {
        for (size_t d = 0; d < n; ++d) with_others[d] += steps[d] * (total - steps[d]);
    });
    const size_t swept = static_cast<size_t>(std::min_element(with_others.begin(), with_others.end()) -
                                             with_others.begin());
    for_each_pair([&](int64_t) {
        for (size_t d = 0; d < n; ++d) with_swept[d] += steps[swept] * steps[d];
    });
    axes.clear();
    axes.push_back(swept);
    for (size_t d = 0; d < n; ++d)
        if (d != swept) axes.push_back(d);
    std::stable_sort(axes.begin() + 1, axes.end(), [&with_swept](size_t a, size_t b) {
        return std::abs(with_swept[a]) > std::abs(with_swept[b]);
    });
}

template <size_t D, size_t W>
void sweep(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    std::vector<size_t> axes;
    choose_axes(points, count, n, axes);
    std::vector<uint32_t> order;
    {
        std::vector<KeyedIndex> scratch;
        lexicographic_order(points, count, n, axes[0], order, scratch);
    }
    // The coordinates of the tree in sweep order, as doubles and as cells, so
    // that the sweep reads its queries in sequence, and the Z-order codes of
    // the cells, in one pass; the tree's points are the sweep positions.
    constexpr size_t per_word = per_word_for(D);
    using Layout = CellLayout<per_word>;
    const size_t dims = n - 1, words = (dims + per_word - 1) / per_word;
    std::vector<CellScale> scales(dims);
    for (size_t d = 0; d < dims; ++d) scales[d] = cell_scale<per_word>(points, order.data(), count, n, axes[d + 1]);
    const ZCode z(scales);
    RawBuffer<double> rows;
    RawBuffer<uint64_t> cells;
    rows.reserve(count * dims, 0);
    cells.reserve(count * words, 0);
    std::vector<KeyedIndex> entries(count);
    for (size_t r = 0; r < count; ++r) {
        const double* point = points + size_t{order[r]} * n;
        double* row = rows.data() + r * dims;
        uint64_t* cell_row = cells.data() + r * words;
        uint64_t word = 0, code = 0;
        for (size_t d = 0; d < (D != 0 ? D : dims); ++d) {
            row[d] = point[axes[d + 1]];
            const uint64_t cell = cell_of(row[d], scales[d]);
            word |= cell << Layout::shift_of(d);
            if (d % per_word == per_word - 1 || d + 1 == dims) {  // the word is complete
                cell_row[Layout::word_of(d)] = word;
                word = 0;
            }
            if (d < z.used) code |= z.part(d, cell);
        }
        entries[r] = keyed_index(code, static_cast<uint32_t>(r));
    }
    {
        std::vector<KeyedIndex> scratch;
        radix_sort(entries, scratch);
    }
    ZTreeSweep<D, W> tree(entries, dims, words);
    for (uint32_t r = 0; r < count; ++r) {
        const double* b = rows.data() + size_t{r} * dims;
        const uint64_t* q = cells.data() + size_t{r} * words;
        const uint32_t own_leaf = tree.leaf_of(r);
        if (tree.covered(q, b, own_leaf)) continue;
        keep[order[r]] = 1;
        tree.add(q, b, own_leaf);
    }
}

}  // namespace

void mark_by_ztree_sweep(const double* points, size_t count, size_t n, std::vector<uint8_t>& keep) {
    switch (n) {
        case 4: return sweep<3, 1>(points, count, n, keep);
        case 5: return sweep<4, 1>(points, count, n, keep);
        case 6: return sweep<5, 2>(points, count, n, keep);
        default: return sweep<0, 0>(points, count, n, keep);
    }
}

}  // namespace trelvik
