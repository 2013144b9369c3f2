#include "bindings/solution.hpp"

#include <new>

#include "bindings/failure.hpp"
#include "bindings/module.hpp"
#include "bindings/names.hpp"
#include "bindings/once.hpp"

namespace trelvik {

namespace {

struct SolutionObject {
    PyObject_HEAD
    std::vector<uint64_t> design_vector;
    std::vector<double> target_vector;
};

SolutionObject* as_solution(PyObject* self) { return reinterpret_cast<SolutionObject*>(self); }

template <class Value, class Convert>
PyObject* list_of(const std::vector<Value>& values, Convert convert) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return object_creation_failed();
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = convert(values[i]);
        if (!item) return object_creation_failed();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_design_vector(PyObject* self, void*) {
    return raising_guard<PyObject*>(nullptr, [self] {
        return list_of(as_solution(self)->design_vector,
                       [](uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
    });
}

PyObject* get_target_vector(PyObject* self, void*) {
    return raising_guard<PyObject*>(nullptr, [self] {
        return list_of(as_solution(self)->target_vector, [](double v) { return PyFloat_FromDouble(v); });
    });
}

// str(getattr(type, name)), or "<unknown>" when either step fails.
Ref attribute_text(PyObject* type, PyObject* name) {
    Ref value(name ? PyObject_GetAttr(type, name) : nullptr);
    Ref text(value ? PyObject_Str(value.get()) : nullptr);
    if (text) return text;
    PyErr_Clear();
    return Ref(PyUnicode_FromString("<unknown>"));
}

PyObject* refuse_new(PyTypeObject* subtype, PyObject*, PyObject*) {
    return raising_guard<PyObject*>(nullptr, [subtype]() -> PyObject* {
        PyObject* type = reinterpret_cast<PyObject*>(subtype);
        Ref module = attribute_text(type, name_module());
        Ref qualname = attribute_text(type, name_qualname());
        if (module && qualname)
            PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
        return nullptr;
    });
}

void solution_dealloc(PyObject* self) {
    silent_guard([self] {
        SolutionObject* solution = as_solution(self);
        solution->design_vector.~vector();
        solution->target_vector.~vector();
        PyTypeObject* type = Py_TYPE(self);
        Py_INCREF(type);
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (!free_instance) {
            Py_DECREF(type);
            fail_check("PyBaseObject_Type should have tp_free");
        }
        free_instance(self);
        Py_DECREF(type);  // the temporary reference
        Py_DECREF(type);  // the reference every instance holds to its heap type
    });
}

char empty_doc[] = "";

PyGetSetDef solution_getset[] = {
    {"design_vector", get_design_vector, nullptr, empty_doc, nullptr},
    {"target_vector", get_target_vector, nullptr, empty_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot solution_slots[] = {
    {Py_tp_getset, solution_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solution_dealloc)},
    {0, nullptr},
};

PyType_Spec solution_spec = {
    "trelvik.ParetoFrontSolution",
    static_cast<int>(sizeof(SolutionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    solution_slots,
};

OnceObject solution_cache;

}  // namespace

PyObject* solution_type() {
    return once_object(solution_cache, []() -> PyObject* {
        PyObject* type = PyType_FromSpec(&solution_spec);
        if (type) return type;
        FetchedError cause = FetchedError::fetch();
        Ref message(PyUnicode_FromString("An error occurred while initializing class ParetoFrontSolution"));
        Ref error(message ? PyObject_CallFunctionObjArgs(PyExc_RuntimeError, message.get(), nullptr)
                          : nullptr);
        if (!error) return nullptr;
        PyException_SetCause(error.get(), cause.value.release());  // steals the reference
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        return nullptr;
    });
}

bool register_solution_class(PyObject* module) {
    PyObject* type = solution_type();
    if (!type) return false;
    Ref name(PyUnicode_FromString("ParetoFrontSolution"));
    return name && module_add(module, name.get(), type);
}

PyObject* new_solution(ResultPair&& pair) {
    PyObject* type = solution_type();
    if (!type) {
        PyErr_WriteUnraisable(nullptr);
        fail_check("failed to create type object for `ParetoFrontSolution`");
    }
    PyObject* object = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (!object) return nullptr;  // the pair is released by its owner
    SolutionObject* solution = as_solution(object);
    new (&solution->design_vector) std::vector<uint64_t>(std::move(pair.design_vector));
    new (&solution->target_vector) std::vector<double>(std::move(pair.target_vector));
    return object;
}

}  // namespace trelvik
