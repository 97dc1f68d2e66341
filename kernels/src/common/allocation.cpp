#include "tavro/allocation.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tavro {
namespace {

// Per-thread so that a test hook set by one thread never touches another's
// calls; a run's allocations all happen on the thread that started it.
thread_local AllocSite failing_site = AllocSite::none;

struct SiteName {
    const char* name;
    AllocSite site;
};

constexpr SiteName kSiteNames[] = {
    {"grid_T", AllocSite::grid_T},
    {"grid_k", AllocSite::grid_k},
    {"grid_cp", AllocSite::grid_cp},
    {"grid_Q", AllocSite::grid_Q},
    {"grid_bc", AllocSite::grid_bc},
    {"history", AllocSite::history},
    {"scratch", AllocSite::scratch},
    {"field_psi", AllocSite::field_psi},
    {"field_tau", AllocSite::field_tau},
    {"field_phi", AllocSite::field_phi},
    {"field_bc", AllocSite::field_bc},
    {"field_history", AllocSite::field_history},
    {"field_scratch", AllocSite::field_scratch},
    {"engine_model", AllocSite::engine_model},
    {"engine_hierarchy", AllocSite::engine_hierarchy},
    {"engine_vectors", AllocSite::engine_vectors},
};

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = 2 * kHugePageBytes;

// Large grids come from the C heap like NumPy's own arrays, so memory the
// process already holds is reused across calls; where transparent huge
// pages are opt-in, the whole 2 MiB pages inside a grid are asked for (as
// NumPy does), which makes both the first touch and the sweeps' page walks
// cheaper.
void* allocate_large(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes);
    if (p == nullptr) return nullptr;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    return p;
}
#else
constexpr std::size_t kHugePageThreshold = SIZE_MAX;
void* allocate_large(std::size_t bytes) noexcept { return std::malloc(bytes); }
#endif

}  // namespace

AllocSite alloc_site_from_name(const char* name) noexcept {
    if (name == nullptr) return AllocSite::none;
    for (const SiteName& entry : kSiteNames) {
        if (std::strcmp(entry.name, name) == 0) return entry.site;
    }
    return AllocSite::none;
}

FailingAllocationScope::FailingAllocationScope(AllocSite site) noexcept
    : previous_(failing_site) {
    failing_site = site;
}

FailingAllocationScope::~FailingAllocationScope() { failing_site = previous_; }

bool allocation_should_fail(AllocSite site) noexcept {
    return site != AllocSite::none && site == failing_site;
}

void* allocate_bytes(std::size_t count, std::size_t element_size, AllocSite site) noexcept {
    if (allocation_should_fail(site)) return nullptr;
    if (element_size != 0 && count > SIZE_MAX / element_size) return nullptr;
    const std::size_t bytes = count * element_size;
    if (bytes >= kHugePageThreshold) return allocate_large(bytes);
    // malloc(0) may return nullptr, which would read as a failure.
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void release_bytes(void* p) noexcept { std::free(p); }

}  // namespace tavro
