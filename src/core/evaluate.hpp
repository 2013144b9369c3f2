// Design evaluation: the target vector of a design is the element-wise sum of
// its chosen options, accumulated in stand order from +0.0.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data_table.hpp"

namespace trelvik {

std::vector<double> add_vectors(const std::vector<double>& left, const std::vector<double>& right);

std::vector<double> evaluate_design(const DataTable& table, const std::vector<uint64_t>& design);

}  // namespace trelvik
