// ParetoFrontSolution: the read-only record of one design that both entry
// functions return. Only the module creates instances.
#pragma once

#include "bindings/python.hpp"
#include "core/result.hpp"

namespace trelvik {

// The class (borrowed), created on first use; nullptr with a RuntimeError set
// if it cannot be created.
PyObject* solution_type();

// Adds the class to the module and its name to __all__.
bool register_solution_class(PyObject* module);

// A new instance that takes over the pair's two vectors.
PyObject* new_solution(ResultPair&& pair);

}  // namespace trelvik
