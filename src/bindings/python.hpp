// The one place that includes the interpreter's header; the build defines
// Py_LIMITED_API so that only the stable ABI of 3.9 is used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace trelvik {

// Whether the interpreter is past the point of no return of its exit. From
// then on, a daemon thread that wants the interpreter lock back is ended by
// unwinding its stack (a forced unwind, on glibc) without the lock:
// destructors on that way must leave reference counts alone, which the
// finalizing thread owns, and no handler may stop the unwind.
inline bool interpreter_exiting() { return !Py_IsInitialized(); }

// Owns one strong reference, released when the holder goes out of scope, so
// that every early return and every C++ exception releases what it took.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // Not noexcept: releasing an object may run Python code (a __del__) that
    // lets the interpreter end this thread, and that unwind must pass.
    Ref& operator=(Ref&& other) {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~Ref() noexcept(false) {
        if (object_ && !interpreter_exiting()) Py_DECREF(object_);
    }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace trelvik
