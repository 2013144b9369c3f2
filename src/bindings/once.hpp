// Process-wide objects created on first use (type objects, cached classes and
// names). A thread that finds the object missing waits for the fill lock with
// the interpreter lock released, and takes the interpreter lock back before
// it fills or reads, so two threads filling the same cache cannot block each
// other through the interpreter lock. Once filled, readers take no lock.
#pragma once

#include <atomic>
#include <mutex>

#include "bindings/python.hpp"

namespace trelvik {

struct OnceObject {
    OnceObject();  // registers the cache, so that a forked child can reset its lock
    std::atomic<PyObject*> object{nullptr};
    std::recursive_mutex fill_lock;  // recursive: a fill that runs Python code may come back here
    OnceObject* next_cache = nullptr;
};

// Returns the cached object (borrowed), calling `fill` to create it if it is
// missing. `fill` returns a new reference, or nullptr with an exception set;
// it must not throw. On failure the cache stays empty for a later attempt.
template <class Fill>
PyObject* once_object(OnceObject& cache, Fill fill) {
    if (PyObject* ready = cache.object.load(std::memory_order_acquire)) return ready;
    PyThreadState* released = PyEval_SaveThread();
    cache.fill_lock.lock();
    PyEval_RestoreThread(released);
    PyObject* ready = cache.object.load(std::memory_order_acquire);
    if (!ready) {
        ready = fill();
        if (ready) cache.object.store(ready, std::memory_order_release);
    }
    cache.fill_lock.unlock();
    return ready;
}

}  // namespace trelvik
