// Every way a kernel runs on this machine: the plain reference, and the
// optimised kernel on each instruction set this build has and this CPU can
// run (held there by an IsaCapScope). Tests instantiate over these so that
// each vector path is checked here, not only the widest.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tavro/simd_isa.hpp"

namespace tavro {

inline void PrintTo(Isa isa, std::ostream* os) { *os << isa_name(isa); }

}  // namespace tavro

namespace tavro::testing {

inline std::vector<Isa> available_isas() {
    std::vector<Isa> isas;
    for (int i = 0; i < kIsaCount; ++i) {
        if (isa_available(static_cast<Isa>(i))) isas.push_back(static_cast<Isa>(i));
    }
    return isas;
}

inline std::string isa_test_name(const ::testing::TestParamInfo<Isa>& info) {
    return isa_name(info.param);
}

// A test whose optimised kernel runs are held to one instruction set.
class OnEachIsa : public ::testing::TestWithParam<Isa> {
private:
    IsaCapScope scope_{GetParam()};
};

// A kernel function on one path. `run` calls it with the path's cap.
template <class Fn>
struct KernelPath {
    std::string name;
    Fn fn;
    Isa cap;

    template <class... Args>
    auto run(Args&&... args) const {
        const IsaCapScope scope(cap);
        return fn(std::forward<Args>(args)...);
    }
};

template <class Fn>
void PrintTo(const KernelPath<Fn>& path, std::ostream* os) {
    *os << path.name;
}

template <class Fn>
std::vector<KernelPath<Fn>> kernel_paths(Fn optimised, Fn reference) {
    std::vector<KernelPath<Fn>> paths;
    for (Isa isa : available_isas()) {
        paths.push_back({std::string("optimised_") + isa_name(isa), optimised, isa});
    }
    paths.push_back({"reference", reference, Isa::scalar});
    return paths;
}

template <class Fn>
std::string path_test_name(const ::testing::TestParamInfo<KernelPath<Fn>>& info) {
    return info.param.name;
}

}  // namespace tavro::testing
