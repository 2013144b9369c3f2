#include "engine/front.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/check.hpp"
#include "core/evaluate.hpp"
#include "core/platform.hpp"
#include "engine/box_map.hpp"
#include "engine/box_staircase.hpp"
#include "engine/design_history.hpp"
#include "engine/filters/nondominated.hpp"
#include "engine/grid_key.hpp"

namespace trelvik {

namespace {

// Every option vector moved so that each variable's smallest value over the
// whole table becomes 1e-9: (value - minimum) + 1e-9. NaN never becomes a
// minimum, and -0.0 does not replace +0.0.
std::vector<double> shifted_values(const DataTable& table) {
    const size_t n = table.n_variables;
    const std::vector<double>& values = table.stands.values;
    std::vector<double> minima(n, INFINITY);
    for (size_t i = 0; i < values.size(); i += n)
        for (size_t k = 0; k < n; ++k)
            if (values[i + k] < minima[k]) minima[k] = values[i + k];
    std::vector<double> shifted(values.size());
    for (size_t i = 0; i < values.size(); i += n)
        for (size_t k = 0; k < n; ++k) shifted[i + k] = (values[i + k] - minima[k]) + 1e-9;
    return shifted;
}

// One stage: every front member (in front order) extended by every option (in
// option order), each candidate fed straight into its box. A box keeps the
// first candidate that reached it, replaced by each later one that dominates
// the current holder. N is the number of variables, or 0 when only known at
// run time (`n`); Terms the length of the grid key's series (see
// grid_coordinate_with).
//
// Candidates are keyed in small batches, and the hash slot of each is
// prefetched before the batch is placed, in order: the slot table is larger
// than the caches, and waiting for it would otherwise dominate.
//
// With two variables, candidates whose box the staircase shows to be beaten
// are dropped before the lookup.
template <size_t N, int Terms>
void fill_boxes(const double* front, size_t front_size, const double* options, size_t n_options,
                size_t n, const GridScale& scale, BoxMap& boxes, BoxStaircase& staircase) {
    constexpr size_t batch = 16;
    if constexpr (N != 0) n = N;
    std::vector<double> targets(batch * n);
    std::vector<uint64_t> keys(batch * n);
    uint64_t hashes[batch];
    uint64_t parents[batch];
    uint64_t choices[batch];
    const detail::LogEntry* log_table = detail::log_table();
    // A local copy, which no store through the arrays below can alias, so
    // that its fields stay in registers.
    const GridScale local_scale = scale;

    size_t p = 0, j = 0;  // the next candidate to key
    while (p < front_size && n_options > 0) {
        size_t filled = 0;
        while (filled < batch && p < front_size) {
            const double* parent = front + p * n;
            const double* option = options + j * n;
            double* target = targets.data() + filled * n;
            uint64_t* key = keys.data() + filled * n;
            for (size_t k = 0; k < n; ++k) target[k] = parent[k] + option[k];
            // Spelled out per variable where N is known: compilers keep this
            // loop rolled (its body holds a call), and the rolled loop cost
            // 1 to 7 % of a whole call.
            if constexpr (N != 0) {
                [&]<size_t... K>(std::index_sequence<K...>) {
                    ((key[K] = grid_coordinate_with<Terms>(target[K], local_scale, log_table)), ...);
                }(std::make_index_sequence<N>{});
            } else {
                for (size_t k = 0; k < n; ++k) key[k] = grid_coordinate_with<Terms>(target[k], local_scale, log_table);
            }
            parents[filled] = p;
            choices[filled] = j;
            if (++j == n_options) {
                j = 0;
                ++p;
            }
            if constexpr (N == 2)
                if (staircase.active && staircase_beats(staircase, key)) {
                    ++staircase.beaten;
                    continue;
                }
            hashes[filled] = hash_key(boxes, key, n);
            TRELVIK_PREFETCH(boxes.slots.data() + (hashes[filled] & boxes.mask));
            ++filled;
        }
        for (size_t c = 0; c < filled; ++c) {
            const double* target = targets.data() + c * n;
            const uint32_t box = find_or_add_box<N>(boxes, keys.data() + c * n, hashes[c]);
            size_t index;
            if (box == new_box) {
                index = boxes.count - 1;
                if constexpr (N == 2)
                    if (staircase.active) staircase_add(staircase, keys.data() + c * n);
            } else {
                index = box;
                if (!dominates(target, boxes.targets.data() + index * n, n)) continue;
            }
            // An element loop, not std::copy: n is small, and a library call
            // for a few bytes costs more than the copy.
            double* held = boxes.targets.data() + index * n;
            for (size_t k = 0; k < n; ++k) held[k] = target[k];
            boxes.parents[index] = parents[c];
            boxes.choices[index] = choices[c];
        }
        strengthen_if_probed_too_much(boxes, filled);
    }
}

// The number of candidates of a stage, saturated.
size_t candidate_count(size_t front_size, size_t n_options) {
    if (n_options != 0 && front_size > SIZE_MAX / n_options) return SIZE_MAX;
    return front_size * n_options;
}

// The range of the first variable over a stage's candidates.
void first_variable_range(const double* front, size_t front_size, const double* options, size_t n_options,
                          size_t n, double& low, double& high) {
    double front_low = INFINITY, front_high = -INFINITY, option_low = INFINITY, option_high = -INFINITY;
    for (size_t p = 0; p < front_size; ++p) {
        front_low = std::min(front_low, front[p * n]);
        front_high = std::max(front_high, front[p * n]);
    }
    for (size_t j = 0; j < n_options; ++j) {
        option_low = std::min(option_low, options[j * n]);
        option_high = std::max(option_high, options[j * n]);
    }
    low = front_low + option_low;
    high = front_high + option_high;
}

template <int Terms>
void fill_boxes_for(size_t n, const double* front, size_t front_size, const double* options,
                    size_t n_options, const GridScale& scale, BoxMap& boxes, BoxStaircase& staircase) {
    switch (n) {
        case 1: return fill_boxes<1, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
        case 2: {
            double low, high;
            first_variable_range(front, front_size, options, n_options, n, low, high);
            const size_t candidates = candidate_count(front_size, n_options);
            reset_staircase(staircase, low, high, scale.g, candidates);
            fill_boxes<2, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
            return review_staircase(staircase, candidates);
        }
        case 3: return fill_boxes<3, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
        case 4: return fill_boxes<4, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
        case 5: return fill_boxes<5, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
        case 6: return fill_boxes<6, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
        default: return fill_boxes<0, Terms>(front, front_size, options, n_options, n, scale, boxes, staircase);
    }
}

// A guess at the number of boxes of a stage, to size the map: it grows if needed.
size_t expected_boxes(size_t front_size, size_t n_options) {
    return std::min(candidate_count(front_size, n_options), 4 * front_size + 16);
}

}  // namespace

ResultArray build_front(const DataTable& table, double epsilon) {
    if (table.n_stands == 0) fail_index_check(0, 0);
    const size_t n = table.n_variables;
    const std::vector<double> shifted = shifted_values(table);
    const GridScale scale = make_grid_scale(epsilon);

    // Stage 0: every option of the first stand, unboxed and unfiltered.
    const size_t first_count = table.option_counts[0];
    RawBuffer<double> front;
    front.reserve(first_count * n, 0);
    std::copy(shifted.data(), shifted.data() + first_count * n, front.data());
    DesignHistory history;
    history.entries.reserve(first_count);
    for (size_t j = 0; j < first_count; ++j) history.entries.push_back({no_parent, j});
    size_t front_size = first_count;

    BoxMap boxes;
    key_boxes(boxes, draw_box_hash_keys());
    BoxStaircase staircase;
    std::vector<uint8_t> keep;
    for (uint64_t stand = 1; stand < table.n_stands && front_size > 0; ++stand) {
        const size_t n_options = table.option_counts[stand];
        const double* options = shifted.data() + table.stands.first_option[stand] * n;
        reset_boxes(boxes, n, expected_boxes(front_size, n_options));
        if (scale.two_terms)
            fill_boxes_for<2>(n, front.data(), front_size, options, n_options, scale, boxes, staircase);
        else
            fill_boxes_for<4>(n, front.data(), front_size, options, n_options, scale, boxes, staircase);

        const size_t survivors = boxes.count;
        mark_non_dominated(boxes.targets.data(), survivors, n, keep);
        const uint64_t front_begin = history.entries.size() - front_size;
        make_room(history, survivors);
        // The kept targets move to the start of the boxes' own array, which
        // then becomes the front: no copy into another array. The old
        // front's array is the boxes' next.
        double* targets = boxes.targets.data();
        size_t kept = 0;
        for (size_t b = 0; b < survivors; ++b) {
            if (!keep[b]) continue;
            for (size_t k = 0; k < n; ++k) targets[kept * n + k] = targets[b * n + k];
            history.entries.push_back({front_begin + boxes.parents[b], boxes.choices[b]});
            ++kept;
        }
        std::swap(front, boxes.targets);
        front_size = kept;
        compact_if_due(history, front_size);
    }
    if (front_size == 0) return {};

    // The reported targets are sums over the unshifted table.
    ResultArray result;
    result.reserve(front_size);
    std::vector<std::vector<uint64_t>> designs =
        trace_designs(history, history.entries.size() - front_size, front_size, table.n_stands);
    history = DesignHistory{};  // not needed any more: free it before the results are built
    for (std::vector<uint64_t>& design : designs) {
        std::vector<double> target = evaluate_design(table, design);
        result.push_back(ResultPair{std::move(design), std::move(target)});
    }
    return result;
}

}  // namespace trelvik
