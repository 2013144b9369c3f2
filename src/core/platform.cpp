#include "core/platform.hpp"

#include <atomic>
#include <cerrno>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#include <sys/sysctl.h>
#else
#include <sys/random.h>
#endif
#endif

namespace trelvik {

namespace {

#if !defined(_WIN32)
std::atomic<uint64_t> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Registered when the module is loaded, before anything can be keyed.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);
#endif

#if defined(_WIN32)
// A function of a system library, looked up once; nullptr if it is missing.
template <class Function>
Function system_function(const wchar_t* library, const char* name) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE, SIZE_T);
using GenRandomFunction = LONG(WINAPI*)(void*, PUCHAR, ULONG, ULONG);
using ThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
#endif

}  // namespace

bool system_random_bytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
#if defined(_WIN32)
    // ProcessPrng (Windows 10 and later) does not fail; BCryptGenRandom with
    // the system's preferred generator serves where it is missing.
    static const auto process_prng = system_function<ProcessPrngFunction>(L"bcryptprimitives.dll", "ProcessPrng");
    if (process_prng) return process_prng(out, size) != FALSE;
    static const auto gen_random = system_function<GenRandomFunction>(L"bcrypt.dll", "BCryptGenRandom");
    constexpr ULONG use_system_preferred_rng = 0x00000002;
    while (gen_random && size > 0) {
        const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
        if (gen_random(nullptr, out, chunk, use_system_preferred_rng) != 0) return false;
        out += chunk;
        size -= chunk;
    }
    return gen_random != nullptr;
#elif defined(__linux__)
    // The system call itself, so that C libraries older than glibc 2.25 serve too.
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
    while (size > 0) {  // getentropy gives at most 256 bytes a call
        const size_t chunk = size < 256 ? size : 256;
        if (getentropy(out, chunk) != 0) return false;
        out += chunk;
        size -= chunk;
    }
    return true;
#endif
}

uint64_t fork_generation() {
#if defined(_WIN32)
    return 0;
#else
    (void)fork_handler_registered;
    return forks_seen.load(std::memory_order_relaxed);
#endif
}

uint64_t memory_and_swap_bytes() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPageFile;  // the commit limit: physical memory plus page files
#elif defined(__linux__)
    struct sysinfo info;
    if (sysinfo(&info) != 0) return 0;
    return (uint64_t{info.totalram} + uint64_t{info.totalswap}) * info.mem_unit;
#elif defined(__APPLE__)
    uint64_t memory = 0;
    size_t length = sizeof memory;
    if (sysctlbyname("hw.memsize", &memory, &length, nullptr, 0) != 0) return 0;
    xsw_usage swap{};
    length = sizeof swap;
    if (sysctlbyname("vm.swapusage", &swap, &length, nullptr, 0) != 0) swap.xsu_total = 0;
    return memory + swap.xsu_total;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    return pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : 0;
#endif
}

std::string current_thread_name() {
#if defined(_WIN32)
    static const auto describe =
        system_function<ThreadDescriptionFunction>(L"kernel32.dll", "GetThreadDescription");
    PWSTR wide = nullptr;
    if (!describe || FAILED(describe(GetCurrentThread(), &wide)) || !wide) return "";
    std::string name;
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size > 1) {
        name.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), size, nullptr, nullptr);
        name.resize(static_cast<size_t>(size) - 1);
    }
    LocalFree(wide);
    return name;
#elif defined(__linux__) || defined(__APPLE__)
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return "";
    return name;
#else
    return "";
#endif
}

uint64_t current_thread_id() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#elif defined(__linux__)
    return static_cast<uint64_t>(syscall(SYS_gettid));
#elif defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#else
    return 0;
#endif
}

}  // namespace trelvik
