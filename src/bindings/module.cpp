// The module `trelvik`: multi-phase initialisation with one execution slot,
// which adds the result class and the two entry functions.
#include "bindings/module.hpp"

#include "bindings/convert.hpp"
#include "bindings/entry.hpp"
#include "bindings/failure.hpp"
#include "bindings/names.hpp"
#include "bindings/solution.hpp"

namespace trelvik {

namespace {

// __all__ of the module, created empty if missing; nullptr with an exception set.
Ref all_list(PyObject* module) {
    PyObject* all_name = name_all();
    if (!all_name) return Ref();
    Ref all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return Ref();
        return all;
    }
    if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
        return Ref();
    }
    return all;
}

// The result class, PanicException and the cached names are made once for
// the whole process. A sub-interpreter must not share them (its objects may
// even come from an allocator of its own), so the module refuses to load
// anywhere but in the main interpreter, whose identifier is always 0.
bool refuse_sub_interpreter() {
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return false;
    PyErr_SetString(PyExc_ImportError,
                    "trelvik can only be imported in the main interpreter, not in a sub-interpreter: "
                    "its classes are shared by the whole process. Import it in the main interpreter "
                    "(under mod_wsgi: WSGIApplicationGroup %{GLOBAL}).");
    return true;
}

int module_exec(PyObject* module) {
    if (refuse_sub_interpreter()) return -1;
    return raising_guard<int>(-1, [module] {
        if (!PyModule_Check(module)) {
            raise_type_mismatch(module, "module");
            return -1;
        }
        if (!register_solution_class(module)) return -1;
        for (PyMethodDef& definition : entry_methods) {
            Ref module_name(PyModule_GetNameObject(module));
            if (!module_name) return -1;
            Ref function(PyCMethod_New(&definition, module, module_name.get(), nullptr));
            module_name = Ref();
            if (!function) return -1;
            PyObject* name_attribute = name_name();
            if (!name_attribute) return -1;
            Ref name(PyObject_GetAttr(function.get(), name_attribute));
            if (!name) return -1;
            if (!PyUnicode_Check(name.get())) {
                raise_type_mismatch(name.get(), "str");
                return -1;
            }
            if (!module_add(module, name.get(), function.get())) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "trelvik",
    "Pareto fronts of stand-wise choice problems, as a natively implemented Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

bool module_add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyErr_WriteUnraisable(nullptr);
        fail_check("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

}  // namespace trelvik

PyMODINIT_FUNC PyInit_trelvik(void) { return PyModuleDef_Init(&trelvik::module_definition); }
