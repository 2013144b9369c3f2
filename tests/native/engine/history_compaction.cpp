// Compacting the design history must not change any design that the current
// front traces to, however the stages branch and die out.
#include <random>
#include <vector>

#include "expect.hpp"
#include "engine/design_history.hpp"

int main() {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 50; ++trial) {
        trelvik::DesignHistory compacted, full;
        compacted.compact_at = 64;  // compact often
        full.compact_at = UINT64_MAX;
        size_t front = 1 + rng() % 5;
        for (size_t j = 0; j < front; ++j) {
            compacted.entries.push_back({trelvik::no_parent, j});
            full.entries.push_back({trelvik::no_parent, j});
        }
        std::vector<uint64_t> full_front(front);
        for (size_t j = 0; j < front; ++j) full_front[j] = j;
        const uint64_t n_stands = 2 + rng() % 300;
        for (uint64_t stand = 1; stand < n_stands; ++stand) {
            const size_t next = 1 + rng() % 12;
            const uint64_t compacted_begin = compacted.entries.size() - front;
            std::vector<uint64_t> next_full(next);
            for (size_t r = 0; r < next; ++r) {
                const uint64_t parent = rng() % front, choice = rng() % 1000;
                compacted.entries.push_back({compacted_begin + parent, choice});
                next_full[r] = full.entries.size();
                full.entries.push_back({full_front[parent], choice});
            }
            full_front = next_full;
            front = next;
            trelvik::compact_if_due(compacted, front);
        }
        EXPECT(compacted.entries.size() < full.entries.size() || full.entries.size() <= 64,
               "trial %d: nothing was compacted", trial);
        const auto compacted_designs =
            trelvik::trace_designs(compacted, compacted.entries.size() - front, front, n_stands);
        const auto full_designs = trelvik::trace_designs(full, full_front[0], front, n_stands);
        for (size_t r = 0; r < front; ++r)
            EXPECT(compacted_designs[r] == full_designs[r], "trial %d: design %zu changed", trial, r);
    }
    return finish("history_compaction");
}
