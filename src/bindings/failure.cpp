#include "bindings/failure.hpp"

#include <cstdio>

#include "bindings/once.hpp"

namespace trelvik {

namespace {

OnceObject panic_cache;

const char panic_doc[] =
    "\n"
    "The exception raised when trelvik's native code, called from Python, fails an internal "
    "check.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The class PanicException, or its argument, could not be made (out of
// memory, at the recursion limit, ...) while an internal check failure was
// being raised. The caller gets the error that stopped it, with the check's
// message as a note (shown under the traceback from 3.11 on); the class is
// tried again at the next failure. Nothing here may fail in turn: a failure
// to attach the note leaves the error without it.
void raise_without_panic_class(const std::string& message) {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    FetchedError pending = FetchedError::fetch();
    if (pending.value) {
        const std::string note = "trelvik: could not raise PanicException for a failed internal check: " + message;
        Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        Ref notes(text ? PyObject_GetAttrString(pending.value.get(), "__notes__") : nullptr);
        if (!notes && text && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            notes = Ref(PyList_New(0));
            if (notes && PyObject_SetAttrString(pending.value.get(), "__notes__", notes.get()) < 0) notes = Ref();
        }
        if (!notes || !PyList_Check(notes.get()) || PyList_Append(notes.get(), text.get()) < 0) PyErr_Clear();
    }
    pending.restore();
}

// UTF-8 text of str(object), or `fallback` when that fails (the failure is cleared).
std::string text_of(PyObject* object, const char* fallback) {
    Ref text(PyObject_Str(object));
    Ref bytes(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
    if (!bytes) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(PyBytes_AsString(bytes.get()),
                       static_cast<size_t>(PyBytes_Size(bytes.get())));
}

}  // namespace

PyObject* panic_exception_type() {
    return once_object(panic_cache, [] {
        Py_INCREF(PyExc_BaseException);
        PyObject* type = PyErr_NewExceptionWithDoc("trelvik_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        Py_DECREF(PyExc_BaseException);
        return type;
    });
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    Ref text(type ? PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))
                  : nullptr);
    Ref args(text ? PyTuple_New(1) : nullptr);
    if (!args) {
        raise_without_panic_class(message);
        return;
    }
    PyTuple_SetItem(args.get(), 0, text.release());
    PyErr_SetObject(type, args.get());
}

FetchedError FetchedError::fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return FetchedError{Ref(type), Ref(value), Ref(traceback)};
}

void FetchedError::restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }

void resume_if_panic() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return;
    }
    PyObject* panic_type = panic_cache.object.load(std::memory_order_acquire);
    if (!panic_type) return;  // no PanicException exists yet, so none is pending
    FetchedError pending = FetchedError::fetch();
    if (!pending.value || reinterpret_cast<PyObject*>(Py_TYPE(pending.value.get())) != panic_type) {
        pending.restore();
        return;
    }
    std::string message = text_of(pending.value.get(), "Unwrapped panic from Python code");
    std::fputs("trelvik: resuming an internal failure after fetching a PanicException from Python\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    pending.restore();
    PyErr_PrintEx(0);
    resume_check_failure(std::move(message));
}

PyObject* object_creation_failed() {
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyErr_WriteUnraisable(nullptr);
    fail_check("PyObject pointer is null");
}

namespace detail {

void raise_memory_error() { PyErr_NoMemory(); }

void raise_capacity_overflow() {
    write_check_report("capacity overflow", std::source_location::current());
    raise_panic("capacity overflow");
}

void raise_unknown_failure() {
    write_check_report("unexpected native exception", std::source_location::current());
    raise_panic("unexpected native exception");
}

}  // namespace detail

}  // namespace trelvik
