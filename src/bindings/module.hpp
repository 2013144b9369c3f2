#pragma once

#include "bindings/python.hpp"

namespace trelvik {

// Sets module attribute `name` to `value` and appends `name` to __all__
// (created as an empty list if the module has none).
bool module_add(PyObject* module, PyObject* name, PyObject* value);

}  // namespace trelvik
