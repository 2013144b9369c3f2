#include "bindings/names.hpp"

#include "bindings/once.hpp"

namespace trelvik {

namespace {

PyObject* interned(OnceObject& cache, const char* text) {
    return once_object(cache, [text] { return PyUnicode_InternFromString(text); });
}

OnceObject all_cache, name_cache, qualname_cache, module_cache;

}  // namespace

PyObject* name_all() { return interned(all_cache, "__all__"); }
PyObject* name_name() { return interned(name_cache, "__name__"); }
PyObject* name_qualname() { return interned(qualname_cache, "__qualname__"); }
PyObject* name_module() { return interned(module_cache, "__module__"); }

}  // namespace trelvik
