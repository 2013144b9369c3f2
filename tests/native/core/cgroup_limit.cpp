// The memory limit of a control group, read from fake /proc and /sys folders:
// cgroup v2, v1, both at once, a container's own namespace, limits on
// ancestors, and files that hold no number.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "expect.hpp"
#include "core/platform.hpp"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// One folder for this run, so that runs at the same time do not meet.
const fs::path base = fs::temp_directory_path() / ("trelvik-cgroup-" + std::to_string(std::random_device{}()));

// A fresh fake root with the given mountinfo and cgroup files.
fs::path fake_root(const std::string& name, const std::string& mountinfo, const std::string& cgroup) {
    const fs::path root = base / name;
    fs::remove_all(root);
    write(root / "proc/self/mountinfo", mountinfo);
    write(root / "proc/self/cgroup", cgroup);
    return root;
}

const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string v1_mount =
    "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime shared:5 - cgroup cgroup rw,memory\n";
const std::string v1_unlimited = "9223372036854771712\n";

}  // namespace

int main() {
    using trelvik::cgroup_memory_limit;

    // v2: the smallest limit on the way up counts; "max" is none.
    fs::path root = fake_root("v2", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n" + v2_mount, "0::/app.slice/job\n");
    write(root / "sys/fs/cgroup/app.slice/job/memory.max", "max\n");
    write(root / "sys/fs/cgroup/app.slice/memory.max", "1073741824\n");
    EXPECT(cgroup_memory_limit(root.string()) == 1073741824, "v2: %llu",
           (unsigned long long)cgroup_memory_limit(root.string()));
    write(root / "sys/fs/cgroup/app.slice/job/memory.max", "536870912\n");
    EXPECT(cgroup_memory_limit(root.string()) == 536870912, "v2 inner limit");

    // v1 beside an empty v2 hierarchy (hybrid); v1's "unlimited" is a huge number.
    root = fake_root("v1", v1_mount + "42 32 0:39 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
                     "4:memory:/docker/abc\n0::/\n");
    write(root / "sys/fs/cgroup/memory/memory.limit_in_bytes", v1_unlimited);
    write(root / "sys/fs/cgroup/memory/docker/memory.limit_in_bytes", v1_unlimited);
    write(root / "sys/fs/cgroup/memory/docker/abc/memory.limit_in_bytes", "268435456\n");
    EXPECT(cgroup_memory_limit(root.string()) == 268435456, "v1");

    // A container's namespace: the mounted root is its own group, so the
    // path it sees is not below the mount's root; the mount point holds the limit.
    root = fake_root("namespace", "36 32 0:33 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
                     "4:memory:/\n");
    write(root / "sys/fs/cgroup/memory/memory.limit_in_bytes", "134217728\n");
    EXPECT(cgroup_memory_limit(root.string()) == 134217728, "v1 in a namespace");

    // A mount point with a space, written as \040; a controller list with memory.
    root = fake_root("escaped", "36 32 0:33 / /sys/fs/my\\040cgroups rw - cgroup cgroup rw,cpuacct,memory\n",
                     "5:cpuacct,memory:/job\n");
    write(root / "sys/fs/my cgroups/job/memory.limit_in_bytes", "4096\n");
    EXPECT(cgroup_memory_limit(root.string()) == 4096, "escaped mount point");

    // Both hierarchies limit: the smaller one wins.
    root = fake_root("both", v2_mount + v1_mount, "4:memory:/a\n0::/b\n");
    write(root / "sys/fs/cgroup/b/memory.max", "8192\n");
    write(root / "sys/fs/cgroup/memory/a/memory.limit_in_bytes", "16384\n");
    EXPECT(cgroup_memory_limit(root.string()) == 8192, "both");

    // No limit anywhere, no control groups, or files that hold no number.
    root = fake_root("none", v2_mount, "0::/x\n");
    EXPECT(cgroup_memory_limit(root.string()) == 0, "no limit files");
    write(root / "sys/fs/cgroup/x/memory.max", "12abc\n");
    write(root / "sys/fs/cgroup/memory.max", "-5\n");
    EXPECT(cgroup_memory_limit(root.string()) == 0, "files without a number");
    root = fake_root("empty", "", "");
    EXPECT(cgroup_memory_limit(root.string()) == 0, "no control groups");
    EXPECT(cgroup_memory_limit((root / "missing").string()) == 0, "no files at all");

    fs::remove_all(base);
    return finish("cgroup_limit");
}
