#include "random/sampler.hpp"

#include "core/check.hpp"
#include "core/evaluate.hpp"
#include "random/chacha.hpp"

namespace trelvik {

ResultArray sample_random_designs(const DataTable& table, uint32_t n_points) {
    RandomGenerator& rng = thread_generator();
    ResultArray result;
    result.reserve(n_points);
    for (uint32_t point = 0; point < n_points; ++point) {
        std::vector<uint64_t> design(table.n_stands);
        for (uint64_t s = 0; s < table.n_stands; ++s) {
            const uint64_t count = table.option_counts[s];
            if (count == 0) fail_check("cannot sample empty range");
            design[s] = uniform_index(rng, count);
        }
        std::vector<double> target = evaluate_design(table, design);
        result.push_back(ResultPair{std::move(design), std::move(target)});
    }
    return result;
}

}  // namespace trelvik
