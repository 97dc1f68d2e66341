// Native buffer allocation with a test hook that makes a chosen allocation
// fail, so every out-of-memory path can be exercised on purpose.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro {

// Every native buffer the library obtains is named by its site.
enum class AllocSite : std::uint8_t {
    none = 0,
    grid_T,
    grid_k,
    grid_cp,
    grid_Q,
    grid_bc,
    history,
    scratch,
    field_psi,
    field_tau,
    field_phi,
    field_bc,
    field_history,
    field_scratch,
    engine_model,
    engine_hierarchy,
    engine_vectors,
};

// Parses a site name such as "grid_T" or "scratch"; AllocSite::none if unknown.
AllocSite alloc_site_from_name(const char* name) noexcept;

// While alive, allocations at `site` made by this thread fail. Scopes nest;
// the innermost wins. Intended for tests only.
class FailingAllocationScope {
public:
    explicit FailingAllocationScope(AllocSite site) noexcept;
    ~FailingAllocationScope();
    FailingAllocationScope(const FailingAllocationScope&) = delete;
    FailingAllocationScope& operator=(const FailingAllocationScope&) = delete;

private:
    AllocSite previous_;
};

// True when the current thread is told to fail allocations at `site`.
bool allocation_should_fail(AllocSite site) noexcept;

// malloc-backed arrays: nullptr on failure, on a count whose byte size
// overflows, or when the site is told to fail. A count of zero yields a valid,
// freeable pointer.
void* allocate_bytes(std::size_t count, std::size_t element_size, AllocSite site) noexcept;
void release_bytes(void* p) noexcept;

template <class T>
T* allocate_array(std::size_t count, AllocSite site) noexcept {
    return static_cast<T*>(allocate_bytes(count, sizeof(T), site));
}

}  // namespace tavro
