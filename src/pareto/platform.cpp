#include "pareto/platform.hpp"

#include <atomic>
#include <cerrno>

#if defined(__linux__)
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace trelvik {

namespace {

#if defined(__linux__)
std::atomic<uint64_t> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Registered when the module is loaded, before anything can be keyed.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);
#endif

}  // namespace

bool system_random_bytes(void* buffer, size_t size) {
#if defined(__linux__)
    // The system call itself, so that C libraries older than glibc 2.25 serve too.
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const long got = syscall(SYS_getrandom, out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
    return true;
#else
#error "no random source for this platform"
#endif
}

uint64_t fork_generation() {
#if defined(__linux__)
    (void)fork_handler_registered;
    return forks_seen.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

}  // namespace trelvik
