// Interned attribute names, cached for the life of the process.
#pragma once

#include "bindings/python.hpp"

namespace trelvik {

// Borrowed references to interned strings, or nullptr with an exception set.
PyObject* name_all();       // "__all__"
PyObject* name_name();      // "__name__"
PyObject* name_qualname();  // "__qualname__"
PyObject* name_module();    // "__module__"

}  // namespace trelvik
