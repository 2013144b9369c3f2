#include "bindings/solution.hpp"

#include <utility>

#include "bindings/failure.hpp"
#include "bindings/module.hpp"
#include "bindings/names.hpp"
#include "bindings/once.hpp"

namespace trelvik {

namespace {

// The interpreter allocates instances zero-filled, and Python code can make
// one that the module never fills (the class is mutable: its __new__ can be
// replaced). So the record holds only a pointer, which zero-filled is null
// and reads as a design with empty vectors.
struct SolutionObject {
    PyObject_HEAD
    ResultPair* pair;  // owned; null when never filled
};

SolutionObject* as_solution(PyObject* self) { return reinterpret_cast<SolutionObject*>(self); }

template <class Value, class Convert>
PyObject* list_of(const Value* values, size_t size, Convert convert) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return object_creation_failed();
    for (size_t i = 0; i < size; ++i) {
        PyObject* item = convert(values[i]);
        if (!item) return object_creation_failed();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_design_vector(PyObject* self, void*) {
    return raising_guard<PyObject*>(nullptr, [self] {
        const ResultPair* pair = as_solution(self)->pair;
        return list_of(pair ? pair->design_vector.data() : nullptr, pair ? pair->design_vector.size() : 0,
                       [](uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
    });
}

PyObject* get_target_vector(PyObject* self, void*) {
    return raising_guard<PyObject*>(nullptr, [self] {
        const ResultPair* pair = as_solution(self)->pair;
        return list_of(pair ? pair->target_vector.data() : nullptr, pair ? pair->target_vector.size() : 0,
                       [](double v) { return PyFloat_FromDouble(v); });
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
        delete std::exchange(as_solution(self)->pair, nullptr);
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
    Ref object(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (!object) return nullptr;  // the pair is released by its owner
    // Moves the two vectors, copying no value; a failure to allocate leaves
    // the instance empty, and dropping it is sound.
    as_solution(object.get())->pair = new ResultPair(std::move(pair));
    return object.release();
}

}  // namespace trelvik
