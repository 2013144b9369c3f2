// What differs between operating systems and compilers lives here, behind
// plain functions and one macro; the rest of the code is standard C++20.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trelvik {

// Fills `size` bytes from the operating system's random source (getrandom on
// Linux, getentropy on macOS, ProcessPrng on Windows). Returns false, with
// nothing promised about the buffer, if the source failed.
bool system_random_bytes(void* buffer, size_t size);

// A number that changes in every child process made by fork(): per-thread
// state that a child must not share with its parent (random keys) compares
// it with the value it was made under. Always 0 where there is no fork.
uint64_t fork_generation();

// Physical memory plus swap (the page file on Windows), in bytes, or the
// memory limit of the process's control group (a container's limit on Linux)
// when that is smaller; 0 when the system does not tell.
uint64_t memory_and_swap_bytes();

// The smallest memory limit set on the calling process's control group or
// any of its ancestors, under cgroup v2 (memory.max) or v1
// (memory.limit_in_bytes), read from the files below `root` ("" for the
// system's own; tests pass a folder of their own); 0 when none is set or
// there are no control groups.
uint64_t cgroup_memory_limit(const std::string& root);

// The calling thread's name ("" when it has none) and its identifier as the
// operating system's tools show it.
std::string current_thread_name();
uint64_t current_thread_id();

}  // namespace trelvik

// A hint to fetch the cache line at `address`; nothing where unsupported.
#if defined(__GNUC__) || defined(__clang__)
#define TRELVIK_PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define TRELVIK_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define TRELVIK_PREFETCH(address) ((void)(address))
#endif
