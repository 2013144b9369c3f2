#pragma once

#include "bindings/python.hpp"

namespace trelvik {

// The method definitions of find_pareto_front and create_random_points, in
// that order.
extern PyMethodDef entry_methods[2];

}  // namespace trelvik
