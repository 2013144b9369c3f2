#include "bindings/names.hpp"

#include "bindings/once.hpp"

namespace trelvik {

namespace {

PyObject* interned(OnceObject& cache, const char* text) {
    return once_object(cache, [text] { return PyUnicode_InternFromString(text); });
}

OnceObject all_cache, name_cache, qualname_cache, module_cache, sequence_cache;

}  // namespace

PyObject* name_all() { return interned(all_cache, "__all__"); }
PyObject* name_name() { return interned(name_cache, "__name__"); }
PyObject* name_qualname() { return interned(qualname_cache, "__qualname__"); }
PyObject* name_module() { return interned(module_cache, "__module__"); }

PyObject* sequence_class() {
    return once_object(sequence_cache, []() -> PyObject* {
        Ref module_name(PyUnicode_FromString("collections.abc"));
        if (!module_name) return nullptr;
        Ref module(PyImport_Import(module_name.get()));
        if (!module) return nullptr;
        Ref sequence(PyObject_GetAttrString(module.get(), "Sequence"));
        if (!sequence) return nullptr;
        if (!PyType_Check(sequence.get())) {
            PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a class");
            return nullptr;
        }
        return sequence.release();
    });
}

}  // namespace trelvik
