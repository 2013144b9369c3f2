// How failures cross into Python. Every function that the interpreter calls
// runs inside a guard:
//   - a failure with a Python exception set passes through as it is;
//   - an internal check failure (already reported on standard error) becomes
//     PanicException, a direct subclass of BaseException;
//   - running out of memory becomes MemoryError.
// The guards are the only places that catch InternalCheckFailure.
#pragma once

#include "bindings/python.hpp"  // first: the interpreter's header sets feature macros

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "core/check.hpp"

namespace trelvik {

// The pending exception, taken from the interpreter and normalised. Held by
// owners from the moment it is fetched, so that no failure on the way leaks it.
struct FetchedError {
    Ref type, value, traceback;

    static FetchedError fetch();  // clears the pending exception
    void restore();               // makes it pending again, handing over the references
};

// The PanicException class (borrowed), created on first use; nullptr with an
// exception set if it cannot be created.
PyObject* panic_exception_type();

// Makes PanicException(message) the pending exception. If the class cannot
// be created, the error that stopped it is left pending instead, with the
// message attached as a note.
void raise_panic(const std::string& message);

// Called after a failed interpreter call, with its exception pending. If that
// exception is a PanicException that Python code let escape from a nested
// call into this module, prints it with its traceback and resumes the
// internal failure: throws InternalCheckFailure with the same message.
void resume_if_panic();

// For a null result of an interpreter call that creates an object where the
// module has no other way to go on. Returns nullptr, leaving a pending
// MemoryError as it is; any other failure is reported as unraisable and
// becomes the internal failure "PyObject pointer is null".
PyObject* object_creation_failed();

namespace detail {
void raise_memory_error();
void raise_capacity_overflow();
void raise_unknown_failure();
}  // namespace detail

// The guards are not noexcept, and their last clause takes standard
// exceptions only (the module throws no others): the unwind by which the
// interpreter ends a daemon thread at exit (glibc's pthread_exit) is no
// standard exception, and must pass through them and the C frames above
// untouched. GCC's runtime would let a catch (...) rethrow it; LLVM's
// libc++abi could not, and would end the process.

// Runs body() and returns its result. `failure` is the value that signals a
// pending exception (nullptr or -1).
template <class Result, class Body>
Result raising_guard(Result failure, Body&& body) {
    try {
        Result result = body();
        if (result == failure) resume_if_panic();
        return result;
    } catch (const InternalCheckFailure& check) {
        raise_panic(check.message);
    } catch (const std::bad_alloc&) {
        detail::raise_memory_error();
    } catch (const std::length_error&) {
        detail::raise_capacity_overflow();
    } catch (const std::exception&) {
        detail::raise_unknown_failure();
    }
    return failure;
}

// For deallocators: nothing leaves; a failure is reported through the
// interpreter's unraisable hook, and a pending exception is kept.
template <class Body>
void silent_guard(Body&& body) {
    try {
        body();
        return;
    } catch (const InternalCheckFailure& check) {
        FetchedError pending = FetchedError::fetch();
        raise_panic(check.message);
        PyErr_WriteUnraisable(nullptr);
        pending.restore();
    } catch (const std::exception&) {
        FetchedError pending = FetchedError::fetch();
        detail::raise_unknown_failure();
        PyErr_WriteUnraisable(nullptr);
        pending.restore();
    }
}

}  // namespace trelvik
