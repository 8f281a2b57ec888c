#include "core/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vestrim::memory {
namespace {

// The limit written in a cgroup file ("max" and unreadable files are no limit).
std::uint64_t limit_in(const std::string& path) {
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (in >> value) return value;
    return UINT64_MAX;
}

// The limit of the group at `group` (a path as /proc/self/cgroup lists it) under `root`, or of any
// group above it; the root's own file covers a container whose group is mounted as the root.
std::uint64_t group_limit(const std::string& root, std::string group, const char* file) {
    std::uint64_t limit = limit_in(root + "/" + file);
    while (!group.empty() && group != "/") {
        limit = std::min(limit, limit_in(root + group + "/" + file));
        group.resize(group.rfind('/'));
    }
    return limit;
}

std::uint64_t cgroup_limit() {
    std::ifstream in("/proc/self/cgroup");
    std::uint64_t limit = UINT64_MAX;
    for (std::string line; std::getline(in, line);) {
        // hierarchy-id:controllers:path
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (controllers.empty()) {
            limit = std::min(limit, group_limit("/sys/fs/cgroup", group, "memory.max"));
        } else {
            std::istringstream names(controllers);
            for (std::string name; std::getline(names, name, ',');)
                if (name == "memory")
                    limit = std::min(limit, group_limit("/sys/fs/cgroup/memory", group, "memory.limit_in_bytes"));
        }
    }
    return limit;
}

}  // namespace

std::uint64_t available() {
    std::uint64_t capacity = UINT64_MAX;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) capacity = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        capacity = std::min<std::uint64_t>(capacity, limit.rlim_cur);
    return std::min(capacity, cgroup_limit());
}

}  // namespace vestrim::memory
