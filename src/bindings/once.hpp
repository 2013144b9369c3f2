// Process-wide objects created on first use (type objects, cached classes and
// names). A fill runs with the interpreter lock held, but the Python code it
// may run (an import, a finalizer woken by an allocation) can let another
// thread fill the same cache, or come back to it on the same thread. Every
// fill therefore makes its own object, and the first one stored wins: a fill
// that finds the cache filled when it finishes drops its object and returns
// the stored one. No lock is taken, so none can be inherited held by a forked
// child or be held by a thread that the interpreter tears down at exit.
#pragma once

#include <atomic>

#include "bindings/python.hpp"

namespace trelvik {

struct OnceObject {
    std::atomic<PyObject*> object{nullptr};
};

// Returns the cached object (borrowed), calling `fill` to create it if it is
// missing. `fill` returns a new reference, or nullptr with an exception set;
// on failure the cache stays empty for a later attempt.
template <class Fill>
PyObject* once_object(OnceObject& cache, Fill fill) {
    if (PyObject* ready = cache.object.load(std::memory_order_acquire)) return ready;
    PyObject* made = fill();
    if (!made) return nullptr;
    PyObject* stored = nullptr;
    if (cache.object.compare_exchange_strong(stored, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);  // another fill finished first
    return stored;
}

}  // namespace trelvik
