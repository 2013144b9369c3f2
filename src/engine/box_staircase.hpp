// Boxes of a two-variable stage that cannot survive, recognised before they
// are looked up. A box whose key is at least two boxes beyond an existing box
// in both variables holds only points that every point of that box dominates:
// box indices never decrease as the value grows, except by a last-bit wobble of
// log1p, which is far less than one box while keys stay below 2^48. Such a box
// can neither survive the filter nor keep a survivor out (whatever it would
// dominate, the earlier box dominates too), so its candidates may be dropped
// unseen. The result is exactly the same; on tables with many options per
// stand most candidates fall in such boxes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvik {

struct BoxStaircase {
    bool active = false;
    size_t beaten = 0;             // candidates dropped in this stage
    size_t idle_stages = 0;        // stages to skip before trying again
    uint64_t base = 0;             // the first-variable key of lowest[0]
    std::vector<uint64_t> lowest;  // per first-variable key k: at least the smallest
                                   // second-variable key of a box with first key <= k
};

inline constexpr uint64_t staircase_key_limit = uint64_t{1} << 48;

// Prepares for a stage whose candidates have first variables in [low, high],
// for grid scale g. Stays inactive when the keys could be too large, when the
// range is too wide to be worth an array (more than about two entries per
// candidate), and for a while after a stage where it dropped few candidates,
// since on such tables it costs more than it saves.
inline void reset_staircase(BoxStaircase& staircase, double low, double high, double g, size_t candidates) {
    staircase.active = false;
    staircase.beaten = 0;
    if (staircase.idle_stages > 0) {
        --staircase.idle_stages;
        return;
    }
    const double first = std::log1p(low + 1e-9) / g;
    const double last = std::log1p(high + 1e-9) / g;
    if (!(first >= 0.0) || !(last < 0.25 * static_cast<double>(staircase_key_limit))) return;
    // The wobble moves a key by at most one box; two more on each side spare it.
    const uint64_t base = static_cast<uint64_t>(first) >= 2 ? static_cast<uint64_t>(first) - 2 : 0;
    const uint64_t size = static_cast<uint64_t>(last) + 3 - base;
    if (size > 2 * std::min<uint64_t>(candidates, UINT64_MAX / 4) + 1024) return;
    staircase.base = base;
    staircase.lowest.assign(size, UINT64_MAX);
    staircase.active = true;
}

// After a stage of `candidates`: when the staircase dropped fewer than one in
// eight, it rests for the next fifteen stages.
inline void review_staircase(BoxStaircase& staircase, size_t candidates) {
    if (staircase.active && staircase.beaten < candidates / 8) staircase.idle_stages = 15;
}

// Whether an existing box lies at least two boxes below `key` in both variables.
inline bool staircase_beats(const BoxStaircase& staircase, const uint64_t* key) {
    if (key[0] < staircase.base + 2 || key[1] < 2 || key[1] >= staircase_key_limit) return false;
    const uint64_t at = key[0] - 2 - staircase.base;
    return at < staircase.lowest.size() && staircase.lowest[at] <= key[1] - 2;
}

// Records a new box. The walk is bounded so that no order of boxes makes it
// costly; a shorter walk only leaves entries higher, which beats fewer boxes.
inline void staircase_add(BoxStaircase& staircase, const uint64_t* key) {
    if (key[0] < staircase.base || key[1] >= staircase_key_limit) return;
    size_t at = key[0] - staircase.base;
    if (at >= staircase.lowest.size()) return;
    constexpr size_t max_walk = 256;
    const size_t end = std::min(staircase.lowest.size(), at + max_walk);
    for (; at < end && staircase.lowest[at] > key[1]; ++at) staircase.lowest[at] = key[1];
}

}  // namespace trelvik
