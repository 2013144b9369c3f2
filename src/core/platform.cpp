#include "core/platform.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

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

// A mount of a control group hierarchy that holds the memory controller.
struct CgroupMount {
    std::string root;         // the hierarchy's folder that is mounted
    std::string mount_point;  // where it is mounted
    bool v2;
};

// A path field of /proc/self/mountinfo, whose spaces and other special
// characters are written as octal escapes (\040).
std::string unescape_mount_path(const std::string& field) {
    std::string path;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

// The cgroup2 mount and the cgroup v1 mount of the memory controller.
std::vector<CgroupMount> cgroup_mounts(const std::string& root) {
    std::vector<CgroupMount> mounts;
    std::ifstream mountinfo(root + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, device, mount_root, mount_point, field;
        fields >> id >> parent >> device >> mount_root >> mount_point;
        while (fields >> field && field != "-") {
        }
        std::string type, source, options;
        fields >> type >> source >> options;
        const bool v1_memory = type == "cgroup" && ("," + options + ",").find(",memory,") != std::string::npos;
        if (type == "cgroup2" || v1_memory)
            mounts.push_back({unescape_mount_path(mount_root), unescape_mount_path(mount_point), type == "cgroup2"});
    }
    return mounts;
}

// The process's path in the v2 hierarchy ("0::path") or in the v1 hierarchy
// of the memory controller ("n:...,memory,...:path"); empty when absent.
std::string cgroup_path(const std::string& root, bool v2) {
    std::ifstream cgroups(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match = v2 ? line.compare(0, first, "0") == 0 && controllers.empty()
                              : ("," + controllers + ",").find(",memory,") != std::string::npos;
        if (match) return line.substr(second + 1);
    }
    return "";
}

// The limit in a memory.max or memory.limit_in_bytes file; 0 for none ("max",
// a missing file or anything that is not a number).
uint64_t read_limit(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text)) return 0;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

}  // namespace

uint64_t cgroup_memory_limit(const std::string& root) {
    uint64_t smallest = 0;
    for (const CgroupMount& mount : cgroup_mounts(root)) {
        const std::string path = cgroup_path(root, mount.v2);
        if (path.empty()) continue;
        // The process's folder below the mount point. Where the mounted part
        // of the hierarchy does not hold that path (a container's own cgroup
        // namespace shows it as "/"), the mount point itself is its folder.
        std::string relative;
        if (mount.root == "/") {
            relative = path;
        } else if (path.compare(0, mount.root.size(), mount.root) == 0 &&
                   (path.size() == mount.root.size() || path[mount.root.size()] == '/')) {
            relative = path.substr(mount.root.size());
        }
        while (!relative.empty() && relative.back() == '/') relative.pop_back();
        // Every ancestor's limit applies too: walk up to the mount point.
        const char* file = mount.v2 ? "/memory.max" : "/memory.limit_in_bytes";
        for (;;) {
            const uint64_t limit = read_limit(root + mount.mount_point + relative + file);
            if (limit != 0 && (smallest == 0 || limit < smallest)) smallest = limit;
            if (relative.empty()) break;
            const size_t slash = relative.rfind('/');
            relative.erase(slash == std::string::npos ? 0 : slash);
        }
    }
    return smallest;
}

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
    const uint64_t machine = (uint64_t{info.totalram} + uint64_t{info.totalswap}) * info.mem_unit;
    const uint64_t group = cgroup_memory_limit("");
    return group != 0 ? std::min(machine, group) : machine;
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
