// Partial designs. Each stage appends its front, in front order, as entries
// of (parent entry, chosen option) to one flat array; the entry of a root has
// no parent. A design is traced back through the parent links, iteratively.
// Entries that no current front member descends from are dropped by
// compaction, which runs whenever the array has doubled since the last one,
// so memory follows the live designs and the cost stays linear overall.
#pragma once

#include <cstdint>
#include <vector>

namespace trelvik {

struct HistoryEntry {
    uint64_t parent;  // index of the entry of the previous stand, or no_parent
    uint64_t choice;  // option chosen in this entry's stand
};

inline constexpr uint64_t no_parent = UINT64_MAX;

struct DesignHistory {
    std::vector<HistoryEntry> entries;
    uint64_t compact_at = uint64_t{1} << 20;  // size that triggers the next compaction
};

// Drops every entry that the last `front_size` entries (the current front) do
// not descend from, keeping the order of the rest. The front stays last.
void compact_if_due(DesignHistory& history, uint64_t front_size);

// Makes room for `count` more entries. Past a small size the array is given
// its whole room up to the next compaction, and some beyond, at once:
// growing it step by step would copy it each time, and many allocators hand
// back fresh pages, which the system must map and zero, for every larger
// block.
void make_room(DesignHistory& history, uint64_t count);

// The design vectors of the `count` entries from `first` on: one option index
// per stand, stand 0 first.
std::vector<std::vector<uint64_t>> trace_designs(const DesignHistory& history, uint64_t first, uint64_t count,
                                                uint64_t n_stands);

}  // namespace trelvik
