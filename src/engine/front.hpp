// The epsilon-thinned Pareto front, built by dynamic programming over the
// stands: each stage extends every surviving partial design by every option
// of the next stand, keeps one candidate per epsilon box and then only the
// candidates that no other one dominates.
#pragma once

#include "core/data_table.hpp"
#include "core/result.hpp"

namespace trelvik {

ResultArray build_front(const DataTable& table, double epsilon);

}  // namespace trelvik
