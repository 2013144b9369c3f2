#include "bindings/failure.hpp"

#include <cstdio>
#include <cstdlib>

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

// A failure while a failure is being turned into an exception: nothing sound
// is left to do.
[[noreturn]] void abort_at_boundary(const char* detail) {
    write_check_report(detail, std::source_location::current());
    write_check_report("uncaught panic at ffi boundary", std::source_location::current());
    std::abort();
}

bool memory_error_pending() { return PyErr_ExceptionMatches(PyExc_MemoryError) != 0; }

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
    if (!type) {
        if (memory_error_pending()) return;
        abort_at_boundary("Failed to initialize new exception type.");
    }
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref args(text ? PyTuple_New(1) : nullptr);
    if (!args) {
        if (memory_error_pending()) return;
        abort_at_boundary("could not build the message of a PanicException");
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
    if (PyErr_Occurred() && memory_error_pending()) return nullptr;
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
