// What differs between operating systems and compilers lives behind these
// plain functions; the rest of the engine is standard C++20.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trelvik {

// Fills `size` bytes from the operating system's random source. Returns
// false, with nothing promised about the buffer, if the source failed.
bool system_random_bytes(void* buffer, size_t size);

// A number that changes in every child process made by fork(): per-thread
// state that a child must not share with its parent (random keys) compares
// it with the value it was made under.
uint64_t fork_generation();

}  // namespace trelvik
