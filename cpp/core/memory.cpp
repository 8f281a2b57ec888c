#include "core/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

std::string to_decimal(unsigned __int128 v) {
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return {digits.rbegin(), digits.rend()};
}

void refuse_frame(std::uint64_t index, std::uint64_t gt, std::uint64_t pred, std::uint64_t per_pair) {
    using u128 = unsigned __int128;
    const u128 bytes = u128{gt} * pred * per_pair;
    // Smaller frames always fit; asking the system about its memory costs system calls.
    if (bytes <= (u128{1} << 26)) return;
    const std::uint64_t capacity = available();
    if (bytes <= capacity) return;
    // Both sides are counts of objects held in memory (below 2^48): the product cannot wrap.
    const std::string needed = to_decimal(bytes);
    throw Refused("the frame at index " + std::to_string(index) + " holds " + std::to_string(gt) + " ground-truth and " +
                  std::to_string(pred) + " predicted objects: scoring it needs about " + needed + " bytes (" +
                  std::to_string(per_pair) + " per pair), more than the " + std::to_string(capacity) +
                  " bytes of memory available");
}

void* allocate_large(std::size_t bytes) {
    if (bytes < kLargeBlock) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (bytes > SIZE_MAX - kHugePage) throw std::bad_alloc();
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(block, rounded, MADV_HUGEPAGE);  // only advice: without huge pages the block works the same
#endif
    return block;
}

void free_large(void* block) noexcept { std::free(block); }

}  // namespace vestrim::memory
