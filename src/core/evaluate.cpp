#include "core/evaluate.hpp"

#include "core/check.hpp"

namespace trelvik {

std::vector<double> add_vectors(const std::vector<double>& left, const std::vector<double>& right) {
    if (left.size() != right.size())
        fail_equal_check(left.size(), right.size(), "Vectors must be the same length");
    std::vector<double> sum(left.size());
    for (size_t k = 0; k < sum.size(); ++k) sum[k] = left[k] + right[k];
    return sum;
}

std::vector<double> evaluate_design(const DataTable& table, const std::vector<uint64_t>& design) {
    if (design.size() != table.n_stands) fail_equal_check(design.size(), table.n_stands, nullptr);
    // Accumulating in place gives the same sums, in the same order, as adding
    // each option into a fresh vector.
    std::vector<double> target(table.n_variables, 0.0);
    double* acc = target.data();
    const uint64_t n = table.n_variables;
    for (uint64_t i = 0; i < table.n_stands; ++i) {
        const uint64_t j = design[i];
        if (j >= table.option_counts[i]) fail_index_check(table.option_counts[i], j);
        const double* values = table.option(i, j);
        for (uint64_t k = 0; k < n; ++k) acc[k] += values[k];
    }
    return target;
}

}  // namespace trelvik
