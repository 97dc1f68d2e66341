// Owning handles for the native buffers a call obtains, released on every
// exit path, and the test hook that makes a chosen allocation fail.
#pragma once

#include <cstdlib>
#include <memory>

#include "tavro/allocation.hpp"

namespace tavro::py {

struct BufferRelease {
    void operator()(void* p) const noexcept { release_bytes(p); }
};

template <class T>
using NativeBuffer = std::unique_ptr<T[], BufferRelease>;

template <class T>
NativeBuffer<T> allocate_buffer(std::size_t count, AllocSite site) {
    return NativeBuffer<T>(allocate_array<T>(count, site));
}

// TAVRO_KILN_FAIL_ALLOCATION names an allocation site (such as "grid_T" or
// "scratch") that fails while a call holds the returned scope: tests drive
// every out-of-memory path with it.
inline AllocSite requested_allocation_failure() {
    return alloc_site_from_name(std::getenv("TAVRO_KILN_FAIL_ALLOCATION"));
}

}  // namespace tavro::py
