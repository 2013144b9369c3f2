// Binding the call's arguments to parameters and converting them to native
// values, with the exact errors that Python callers see.
#pragma once

#include "bindings/python.hpp"  // first: the interpreter's header sets feature macros

#include <cstdint>

#include "core/data_table.hpp"

namespace trelvik {

struct ArgumentSpec {
    const char* function_name;
    const char* positional_names[2];
};

// Fills both slots with new references, or fails with TypeError.
bool bind_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, Ref slots[2]);

// Stands, options and values of `data`. On failure the pending exception is
// already as the caller must see it (argument 'data').
bool convert_data(PyObject* data, RawTable& table);

bool convert_double(PyObject* object, double* value);
bool convert_count(PyObject* object, uint32_t* value);

// Rewrites the pending exception of a failed conversion of parameter `name`:
// an exact TypeError gets the prefix "argument '{name}': "; any other
// exception stays as it is.
void argument_error(const char* name);

// Sets "'{type}' object is not an instance of '{expected}'" as a TypeError;
// `expected` is the __qualname__ of the expected class, known in advance so
// that no import or attribute read can fail on the way.
void raise_type_mismatch(PyObject* object, const char* expected);

}  // namespace trelvik
