#include "pareto/design_history.hpp"

#include <algorithm>

#include "pareto/check.hpp"

namespace trelvik {

void compact_if_due(DesignHistory& history, uint64_t front_size) {
    std::vector<HistoryEntry>& entries = history.entries;
    const uint64_t size = entries.size();
    if (size <= history.compact_at) return;

    constexpr uint64_t dead = UINT64_MAX;
    std::vector<uint64_t> remap(size, dead);
    for (uint64_t i = size - front_size; i < size; ++i) remap[i] = 0;
    // Parents precede their children, so one backward sweep marks all ancestors.
    for (uint64_t i = size; i-- > 0;)
        if (remap[i] != dead && entries[i].parent != no_parent) remap[entries[i].parent] = 0;
    uint64_t kept = 0;
    for (uint64_t i = 0; i < size; ++i) {
        if (remap[i] == dead) continue;
        const HistoryEntry e = entries[i];
        remap[i] = kept;
        entries[kept++] = HistoryEntry{e.parent == no_parent ? no_parent : remap[e.parent], e.choice};
    }
    entries.resize(kept);
    history.compact_at = std::max<uint64_t>(2 * kept, uint64_t{1} << 20);
    if (entries.capacity() > 2 * history.compact_at) entries.shrink_to_fit();
}

void make_room(DesignHistory& history, uint64_t count) {
    // Below this many entries the array grows as usual.
    constexpr uint64_t small = uint64_t{1} << 14;
    std::vector<HistoryEntry>& entries = history.entries;
    const uint64_t needed = entries.size() + count;
    if (needed <= entries.capacity() || needed <= small) return;
    entries.reserve(std::max(needed, history.compact_at));
}

std::vector<uint64_t> trace_design(const DesignHistory& history, uint64_t entry, uint64_t n_stands) {
    std::vector<uint64_t> design(n_stands);
    uint64_t stand = n_stands;
    for (uint64_t e = entry; e != no_parent; e = history.entries[e].parent) {
        if (stand == 0) fail_equal_check(n_stands + 1, n_stands, "design longer than the table");
        design[--stand] = history.entries[e].choice;
    }
    if (stand != 0) fail_equal_check(n_stands - stand, n_stands, "design shorter than the table");
    return design;
}

}  // namespace trelvik
