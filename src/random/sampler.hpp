// Random designs: each stand's option drawn uniformly and independently from
// the calling thread's generator, each design evaluated on the table.
#pragma once

#include <cstdint>

#include "core/data_table.hpp"
#include "core/result.hpp"

namespace trelvik {

ResultArray sample_random_designs(const DataTable& table, uint32_t n_points);

}  // namespace trelvik
