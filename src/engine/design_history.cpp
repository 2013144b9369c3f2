#include "engine/design_history.hpp"

#include <algorithm>

#include "core/check.hpp"

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
    // Half again, for the stage that crosses the compaction size: moving the
    // array then would hold both blocks at once.
    entries.reserve(std::max(needed, history.compact_at + history.compact_at / 2));
}

std::vector<std::vector<uint64_t>> trace_designs(const DesignHistory& history, uint64_t first, uint64_t count,
                                                uint64_t n_stands) {
    std::vector<std::vector<uint64_t>> designs(count, std::vector<uint64_t>(n_stands));
    // All designs step back one stand at a time together: the entries of one
    // stand lie close together, so the parent links are followed within a
    // small part of the history instead of across all of it per design.
    std::vector<uint64_t> at(count);
    for (uint64_t r = 0; r < count; ++r) at[r] = first + r;
    for (uint64_t stand = n_stands; stand-- > 0;)
        for (uint64_t r = 0; r < count; ++r) {
            if (at[r] == no_parent) fail_equal_check(n_stands - stand - 1, n_stands, "design shorter than the table");
            const HistoryEntry e = history.entries[at[r]];
            designs[r][stand] = e.choice;
            at[r] = e.parent;
        }
    for (uint64_t r = 0; r < count; ++r)
        if (at[r] != no_parent) fail_equal_check(n_stands + 1, n_stands, "design longer than the table");
    return designs;
}

}  // namespace trelvik
