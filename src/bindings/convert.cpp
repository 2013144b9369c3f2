// Ownership rule of this file: every object read here is held by a strong
// reference (a Ref, or the argument tuple or the keyword dictionary the call
// owns) across every interpreter call that may run Python code, and that is
// nearly all of them: an allocation can start a garbage collection whose
// finalizers run anything, including code that drops items from the very
// lists being converted. A borrowed pointer is used only where a comment
// says why nothing can run while it is held.
#include "bindings/convert.hpp"

#include <algorithm>
#include <cstring>

#include "bindings/failure.hpp"
#include "bindings/names.hpp"

namespace trelvik {

namespace {

constexpr Py_ssize_t n_parameters = 2;

// The __qualname__ of the type of `object` as a str, or a stand-in when it
// cannot be read.
Ref qualified_type_name(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Py_INCREF(type);
    Ref owned_type(type);  // reading the name may run code that reassigns __class__
    PyObject* attribute = name_qualname();
    Ref name(attribute ? PyObject_GetAttr(type, attribute) : nullptr);
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return Ref(PyUnicode_FromString("<failed to extract type name>"));
}

// Index of the parameter whose name is exactly the UTF-8 of `key`, or -1.
int parameter_index(const ArgumentSpec& spec, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    Ref utf8(PyUnicode_AsUTF8String(key));
    if (!utf8) {
        PyErr_Clear();  // an unencodable name matches nothing
        return -1;
    }
    const char* bytes = PyBytes_AsString(utf8.get());
    const size_t length = static_cast<size_t>(PyBytes_Size(utf8.get()));
    for (int i = 0; i < n_parameters; ++i) {
        const char* name = spec.positional_names[i];
        if (std::strlen(name) == length && std::memcmp(name, bytes, length) == 0) return i;
    }
    return -1;
}

void raise_missing(const ArgumentSpec& spec, const Ref slots[2]) {
    int missing = 0;
    for (int i = 0; i < n_parameters; ++i) missing += slots[i] ? 0 : 1;
    if (missing == 2)
        PyErr_Format(PyExc_TypeError, "%s() missing 2 required positional arguments: '%s' and '%s'",
                     spec.function_name, spec.positional_names[0], spec.positional_names[1]);
    else
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     spec.function_name, spec.positional_names[slots[0] ? 1 : 0]);
}

// Whether `object` may stand for a stand list, a stand or an option; its
// length hint (0 when unknown) goes to `hint`.
bool check_level(PyObject* object, Py_ssize_t* hint) {
    if (PyList_CheckExact(object)) {
        *hint = PyList_Size(object);
        return true;
    }
    if (PyTuple_CheckExact(object)) {
        *hint = PyTuple_Size(object);
        return true;
    }
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_type_mismatch(object, "Sequence");  // collections.abc.Sequence
        return false;
    }
    *hint = PyObject_Size(object);
    if (*hint < 0) {
        // Only a hint: an ordinary error of __len__ does not stop the
        // conversion, but an interrupt or an exit request must reach the caller.
        resume_if_panic();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        *hint = 0;
    }
    return true;
}

// Makes room for `hint` more elements, growing geometrically as push_back
// would. The hint only saves reallocations: a lying __len__ gets at most
// 65,536 elements ahead of what is there.
template <class T>
void reserve_more(std::vector<T>& array, Py_ssize_t hint) {
    if (static_cast<size_t>(hint) <= array.capacity() - array.size()) return;  // the usual case
    const size_t wanted = array.size() + static_cast<size_t>(std::min<Py_ssize_t>(hint, 1 << 16));
    if (wanted > array.capacity()) array.reserve(std::max(wanted, 2 * array.capacity()));
}

// Calls visit(item) for every item that iterating `sequence` (held by the
// caller) yields, in order. Exact lists and tuples are read by index, which
// yields the same items as their iterators, also when a visit changes the
// list. Every item is held for the whole visit.
template <class Visit>
bool for_each_item(PyObject* sequence, Visit&& visit) {
    if (PyList_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PyList_Size(sequence); ++i) {
            PyObject* borrowed = PyList_GetItem(sequence, i);
            Py_INCREF(borrowed);
            Ref item(borrowed);  // a visit may run code that drops it from the list
            if (!visit(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(sequence)) {
        // Borrowed, and sound: a tuple never drops its items, and the caller
        // holds the tuple for the whole loop.
        const Py_ssize_t size = PyTuple_Size(sequence);
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!visit(PyTuple_GetItem(sequence, i))) return false;
        return true;
    }
    Ref iterator(PyObject_GetIter(sequence));
    if (!iterator) return false;
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!visit(item.get())) return false;
    }
}

// Appends the values of an exact list that holds only exact floats, the
// common option, without taking references: from taking an item to reading
// its value no interpreter call is made, so no Python code can run and drop
// it. Returns false, having appended an unspecified part, at the first item
// that is not an exact float.
bool append_exact_floats(PyObject* list, RawTable& table) {
    const Py_ssize_t size = PyList_Size(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* borrowed = PyList_GetItem(list, i);
        if (!PyFloat_CheckExact(borrowed)) return false;
        table.values.push_back(PyFloat_AsDouble(borrowed));  // cannot fail for an exact float
    }
    return true;
}

bool convert_option(PyObject* option, RawTable& table) {
    Py_ssize_t hint;
    if (!check_level(option, &hint)) return false;
    reserve_more(table.values, hint);
    if (PyList_CheckExact(option)) {
        const size_t start = table.values.size();
        if (append_exact_floats(option, table)) {
            table.option_ends.push_back(table.values.size());
            return true;
        }
        table.values.resize(start);  // something else in it: one item at a time
    }
    const bool done = for_each_item(option, [&table](PyObject* item) {
        double value;
        if (!convert_double(item, &value)) return false;
        table.values.push_back(value);
        return true;
    });
    if (!done) return false;
    table.option_ends.push_back(table.values.size());
    return true;
}

bool convert_stand(PyObject* stand, RawTable& table) {
    Py_ssize_t hint;
    if (!check_level(stand, &hint)) return false;
    reserve_more(table.option_ends, hint);
    if (!for_each_item(stand, [&table](PyObject* item) { return convert_option(item, table); }))
        return false;
    table.stand_ends.push_back(table.option_ends.size());
    return true;
}

}  // namespace

bool bind_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, Ref slots[2]) {
    const Py_ssize_t n = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < std::min(n, n_parameters); ++i) {
        PyObject* value = PyTuple_GetItem(args, i);
        Py_INCREF(value);
        slots[i] = Ref(value);
    }
    if (n > n_parameters) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd were given",
                     spec.function_name, static_cast<int>(n_parameters), n);
        return false;
    }
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            // The dictionary may be the caller's own (f(**d)), and code run
            // by an allocation may change it: hold the entry while it is read.
            Py_INCREF(key);
            Py_INCREF(value);
            Ref owned_key(key), owned_value(value);
            const int i = parameter_index(spec, key);
            if (i < 0) {
                Ref text(PyObject_Str(key));
                if (!text) return false;
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.function_name, text.get());
                return false;
            }
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             spec.function_name, spec.positional_names[i]);
                return false;
            }
            slots[i] = std::move(owned_value);
        }
    }
    if (!slots[0] || !slots[1]) {
        raise_missing(spec, slots);
        return false;
    }
    return true;
}

bool convert_data(PyObject* data, RawTable& table) {
    Py_ssize_t hint;
    bool done = check_level(data, &hint);
    if (done) {
        reserve_more(table.stand_ends, hint);
        done = for_each_item(data, [&table](PyObject* item) { return convert_stand(item, table); });
    }
    if (!done) argument_error("data");
    return done;
}

bool convert_double(PyObject* object, double* value) {
    const double v = PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *value = v;
    return true;
}

bool convert_count(PyObject* object, uint32_t* value) {
    unsigned long long wide;
    if (PyLong_Check(object)) {
        wide = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index(PyNumber_Index(object));
        if (!index) return false;
        if (!PyLong_Check(index.get())) {
            raise_type_mismatch(index.get(), "int");
            return false;
        }
        wide = PyLong_AsUnsignedLongLong(index.get());
    }
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *value = static_cast<uint32_t>(wide);
    return true;
}

void argument_error(const char* name) {
    FetchedError pending = FetchedError::fetch();
    if (!pending.value || reinterpret_cast<PyObject*>(Py_TYPE(pending.value.get())) != PyExc_TypeError) {
        pending.restore();
        return;
    }
    Ref text(PyObject_Str(pending.value.get()));
    if (!text) {
        PyErr_WriteUnraisable(pending.value.get());
        text = Ref(PyUnicode_FromString("<unprintable TypeError object>"));
        if (!text) return;
    }
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return;
    PyException_SetCause(error.get(), PyException_GetCause(pending.value.get()));
    PyErr_SetObject(PyExc_TypeError, error.get());
}

void raise_type_mismatch(PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref actual = qualified_type_name(object);
    if (!actual) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", actual.get(), expected);
}

}  // namespace trelvik
