// The conduction engine against answers worked out here: series resistances
// of a column, cell-by-cell heat balances of random models, energy kept by
// the implicit steps, their orders, and every failure it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tavro/allocation.hpp"
#include "tavro/conduction_engine.hpp"
#include "tavro/silicon_model.hpp"

namespace tavro::conduction {
void PrintTo(Status status, std::ostream* os) { *os << status_name(status); }
}  // namespace tavro::conduction

namespace {

using namespace tavro::conduction;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A model description owning its arrays.
struct Model {
    int nx = 1, ny = 1, nz = 1;
    std::vector<double> x{0.0, 1e-3}, y{0.0, 1e-3}, z;
    std::vector<std::uint16_t> material;
    std::vector<MaterialSpec> materials;
    std::vector<double> h[kFaceCount], ambient[kFaceCount];
    std::vector<std::int64_t> cell;
    std::vector<std::int32_t> block;
    std::vector<double> weight;
    int blocks = 1;

    std::size_t n() const { return material.size(); }
    bool present(std::size_t c) const { return material[c] != kNoMaterial; }
    std::vector<double> stated_kz() const {
        std::vector<double> k;
        for (std::uint16_t mat : material) k.push_back(materials[mat].kz);
        return k;
    }
    double width(int axis, int i) const {
        const std::vector<double>& e = axis == 0 ? x : axis == 1 ? y : z;
        return e[i + 1] - e[i];
    }
    ModelSpec spec() const {
        ModelSpec s;
        s.nx = nx, s.ny = ny, s.nz = nz;
        s.x_edges = x.data(), s.y_edges = y.data(), s.z_edges = z.data();
        s.material = material.data(), s.materials = materials.data();
        s.material_count = static_cast<int>(materials.size());
        for (int f = 0; f < kFaceCount; ++f)
            if (!h[f].empty()) s.faces[f] = FaceSpec{h[f].data(), ambient[f].data()};
        s.sources = SourceSpec{cell.size(), cell.data(), block.data(), weight.data(), blocks};
        return s;
    }
};

std::unique_ptr<Engine> build(const Model& m) {
    Status status = Status::ok;
    std::string message;
    auto engine = Engine::create(m.spec(), &status, &message);
    EXPECT_EQ(status, Status::ok) << message;
    return engine;
}

// Heat into each cell with material (W) from its neighbours, its outer faces
// and its sources at field T: zero everywhere at the steady state.
std::vector<double> net_heat(const Model& m, const std::vector<double>& T, const std::vector<double>& watts) {
    std::vector<double> q(m.n(), 0.0);
    for (std::size_t s = 0; s < m.cell.size(); ++s) q[m.cell[s]] += m.weight[s] * watts[m.block[s]];
    const int size[3] = {m.nx, m.ny, m.nz};
    const std::size_t stride[3] = {std::size_t(m.ny) * m.nz, std::size_t(m.nz), 1};
    for (int i = 0; i < m.nx; ++i)
        for (int j = 0; j < m.ny; ++j)
            for (int k = 0; k < m.nz; ++k) {
                const std::size_t c = (std::size_t(i) * m.ny + j) * m.nz + k;
                if (!m.present(c)) continue;
                const int at[3] = {i, j, k};
                for (int axis = 0; axis < 3; ++axis) {
                    const int a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
                    const double area = m.width(a1, at[a1]) * m.width(a2, at[a2]);
                    auto half = [&](std::size_t cell, int index) {
                        const MaterialSpec& mat = m.materials[m.material[cell]];
                        const double k_axis = axis == 0 ? mat.kx : axis == 1 ? mat.ky : mat.kz;
                        return m.width(axis, index) / (2.0 * k_axis * area);
                    };
                    const std::size_t next = c + stride[axis];
                    if (at[axis] + 1 < size[axis] && m.present(next)) {
                        const double flow = (T[next] - T[c]) / (half(c, at[axis]) + half(next, at[axis] + 1));
                        q[c] += flow;
                        q[next] -= flow;
                    }
                    for (int high = 0; high < 2; ++high) {
                        const int face = 2 * axis + high;
                        if (at[axis] != (high ? size[axis] - 1 : 0) || m.h[face].empty()) continue;
                        const std::size_t f = axis == 0 ? std::size_t(j) * m.nz + k
                                              : axis == 1 ? std::size_t(i) * m.nz + k
                                                          : std::size_t(i) * m.ny + j;
                        const double hf = m.h[face][f];
                        if (hf == 0.0) continue;
                        const double r = half(c, at[axis]) + (std::isinf(hf) ? 0.0 : 1.0 / (hf * area));
                        q[c] += (m.ambient[face][f] - T[c]) / r;
                    }
                }
            }
    return q;
}

// nx x ny x nz cells of random anisotropic materials on uneven edges; the
// top two layers only over the inner footprint; each outer face cell
// insulated, held or convective at random; two blocks of heat sources.
Model random_model(unsigned seed, int nx, int ny, int nz) {
    std::mt19937 rng(seed);
    auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    Model m;
    m.nx = nx, m.ny = ny, m.nz = nz;
    auto edges = [&](int count, double lo, double hi) {
        std::vector<double> e{0.0};
        for (int i = 0; i < count; ++i) e.push_back(e.back() + uni(lo, hi));
        return e;
    };
    m.x = edges(nx, 0.2e-3, 1e-3), m.y = edges(ny, 0.2e-3, 1e-3), m.z = edges(nz, 5e-6, 300e-6);
    for (int i = 0; i < 4; ++i) m.materials.push_back({uni(1, 400), uni(1, 400), uni(1, 400), uni(1e6, 3.5e6)});
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j)
            for (int k = 0; k < nz; ++k) {
                const bool inside = i > 0 && i < nx - 1 && j > 0 && j < ny - 1;
                m.material.push_back(k >= nz - 2 && !inside ? kNoMaterial : std::uint16_t(rng() % 4));
            }
    const std::size_t face_cells[3] = {std::size_t(ny) * nz, std::size_t(nx) * nz, std::size_t(nx) * ny};
    for (int f = 0; f < kFaceCount; ++f)
        for (std::size_t c = 0; c < face_cells[f / 2]; ++c) {
            const unsigned kind = rng() % 3;
            m.h[f].push_back(kind == 0 ? 0.0 : kind == 1 ? kInf : uni(10, 1e5));
            m.ambient[f].push_back(uni(290, 330));
        }
    m.blocks = 2;
    m.cell = {0, (std::int64_t(ny) + 1) * nz + nz - 1};  // a corner, a cell of the top footprint
    m.block = {0, 1};
    m.weight = {1.0, 1.0};
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j)
            if (rng() % 2) m.cell.push_back((std::int64_t(i) * ny + j) * nz), m.block.push_back(rng() % 2),
                    m.weight.push_back(uni(0.1, 1.0));
    double total[2] = {0.0, 0.0};
    for (std::size_t s = 0; s < m.cell.size(); ++s) total[m.block[s]] += m.weight[s];
    for (std::size_t s = 0; s < m.cell.size(); ++s) m.weight[s] /= total[m.block[s]];
    return m;
}

// A 1 mm x 1 mm column: layers (k, thickness, cells whose thickness grows
// by `ratio` upwards) from the bottom, heated evenly in the bottom layer,
// cooled through the top only.
struct Layer {
    double k, thickness;
    int cells;
    double ratio;
};

Model column(const std::vector<Layer>& layers, double h_top, double ambient, bool silicon = false) {
    Model m;
    m.z = {0.0};
    for (const Layer& layer : layers) {
        double sum = 0.0, part = 1.0;
        for (int c = 0; c < layer.cells; ++c, part *= layer.ratio) sum += part;
        part = layer.thickness / sum;
        for (int c = 0; c < layer.cells; ++c, part *= layer.ratio) {
            m.material.push_back(std::uint16_t(m.materials.size()));
            m.z.push_back(m.z.back() + part);
        }
        MaterialSpec mat{layer.k, layer.k, layer.k, 1.6e6, false};
        mat.silicon_conductivity = silicon && m.materials.empty();
        m.materials.push_back(mat);
    }
    m.nz = static_cast<int>(m.material.size());
    for (int c = 0; c < layers[0].cells; ++c) {
        m.cell.push_back(c), m.block.push_back(0);
        m.weight.push_back(m.width(2, c) / layers[0].thickness);
    }
    m.h[int(Face::z_high)] = {h_top};
    m.ambient[int(Face::z_high)] = {ambient};
    return m;
}

// The column's field by series resistances: the top face carries all the
// power, every inner face the power generated below it.
std::vector<double> column_field(const Model& m, const std::vector<double>& k, double power) {
    const double area = 1e-6, h = m.h[int(Face::z_high)][0];
    std::vector<double> below(m.n(), 0.0), T(m.n());
    for (std::size_t s = 0; s < m.cell.size(); ++s) below[m.cell[s]] += m.weight[s] * power;
    for (std::size_t c = 1; c < m.n(); ++c) below[c] += below[c - 1];
    const int top = m.nz - 1;
    const double film = std::isinf(h) ? 0.0 : 1.0 / (h * area);
    T[top] = m.ambient[int(Face::z_high)][0] + power * (film + m.width(2, top) / (2.0 * k[top] * area));
    for (int c = top - 1; c >= 0; --c)
        T[c] = T[c + 1] + below[c] * (m.width(2, c) / (2.0 * k[c]) + m.width(2, c + 1) / (2.0 * k[c + 1])) / area;
    return T;
}

double largest_difference(const std::vector<double>& a, const std::vector<double>& b) {
    double d = 0.0;
    for (std::size_t c = 0; c < a.size(); ++c) d = std::max(d, std::fabs(a[c] - b[c]));
    return d;
}

struct ColumnCase {
    const char* name;
    std::vector<Layer> layers;
    double h, ambient, power;
};
void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.name; }

class ConductionColumn : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(ConductionColumn, CellTemperaturesFollowTheSeriesResistances) {
    const ColumnCase& p = GetParam();
    const Model m = column(p.layers, p.h, p.ambient);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    std::vector<double> T(m.n(), p.ambient);
    SolveReport report;
    ASSERT_EQ(engine->steady(&p.power, T.data(), SolveOptions(), &report), Status::ok);
    const std::vector<double> expected = column_field(m, m.stated_kz(), p.power);
    const double rise = expected[0] - p.ambient;
    for (std::size_t c = 0; c < m.n(); ++c) EXPECT_NEAR(T[c], expected[c], 1e-9 * rise) << "cell " << c;
    EXPECT_NEAR(report.heat_out_watts, p.power, 1e-9 * p.power);  // nothing through the insulated bottom
    double peak = 0.0, mean = 0.0, weighted = 0.0;
    engine->block_temperatures(T.data(), &peak, &mean);
    for (std::size_t s = 0; s < m.cell.size(); ++s) weighted += m.weight[s] * expected[m.cell[s]];
    EXPECT_NEAR(peak, expected[0], 1e-9 * rise);
    EXPECT_NEAR(mean, weighted, 1e-9 * rise);
}

INSTANTIATE_TEST_SUITE_P(
    Stacks, ConductionColumn,
    ::testing::Values(
        ColumnCase{"DieTimSpreader", {{150, 0.5e-3, 5, 1.3}, {5, 50e-6, 3, 1.0}, {400, 2e-3, 6, 0.7}}, 2e4, 318, 3.0},
        ColumnCase{"ThinActiveOnCopper", {{150, 1e-6, 2, 1.0}, {400, 1e-3, 10, 1.2}}, 1e5, 300, 0.5},
        ColumnCase{"HeldTop", {{30, 0.2e-3, 4, 2.0}, {1.5, 0.1e-3, 3, 0.5}}, kInf, 350, 0.02}),
    [](const ::testing::TestParamInfo<ColumnCase>& info) { return std::string(info.param.name); });

// One cell: the preconditioner is all but exact, and for many powers the
// first iteration leaves no residual at all, which is convergence rather
// than a breakdown.
TEST(ConductionColumn, OneCellConverges) {
    const Model m = column({{150, 0.3e-3, 1, 1.0}}, 1e3, 300);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    SolveReport report;
    for (double power = 0.001; power < 0.02; power += 0.001) {
        double T = 300.0;
        EXPECT_EQ(engine->steady(&power, &T, SolveOptions(), &report), Status::ok) << power;
        EXPECT_NEAR(T, column_field(m, m.stated_kz(), power)[0], 1e-9 * (T - 300.0)) << power;
        EXPECT_EQ(engine->step(&power, 1.0, Scheme::backward_euler, &T, SolveOptions(), &report), Status::ok) << power;
    }
}

class ConductionRandomModel : public ::testing::TestWithParam<unsigned> {};

TEST_P(ConductionRandomModel, SteadyStateBalancesEveryCell) {
    const Model m = random_model(GetParam(), 7, 6, 6);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const std::vector<double> watts{12.0, 3.5};
    std::vector<double> T(m.n(), std::nan(""));
    SolveReport report;
    ASSERT_EQ(engine->steady(watts.data(), T.data(), SolveOptions(), &report), Status::ok);
    EXPECT_NEAR(report.heat_out_watts, 15.5, 1e-9 * 15.5);
    EXPECT_DOUBLE_EQ(engine->heat_out(T.data()), report.heat_out_watts);
    for (std::size_t c = 0; c < m.n(); ++c) EXPECT_NE(std::isnan(T[c]), m.present(c)) << "cell " << c;
    double imbalance = 0.0;
    for (double q : net_heat(m, T, watts)) imbalance += std::fabs(q);
    EXPECT_LT(imbalance, 1e-8 * 15.5);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConductionRandomModel, ::testing::Values(1u, 2u, 3u));

TEST(ConductionThreads, FieldsAreTheSameBitsOnAnyTeam) {
    const Model m = random_model(7, 64, 64, 16);  // every loop on the finest level is split
    const std::vector<double> watts{40.0, 10.0}, hotter{80.0, 5.0};
    std::vector<std::vector<double>> fields;  // steady, stepped; per team size
    for (int threads : {1, 2, 3}) {
        auto engine = build(m);
        ASSERT_TRUE(engine);
        SolveOptions options;
        options.threads = threads;
        std::vector<double> T(m.n(), std::nan(""));
        SolveReport report;
        ASSERT_EQ(engine->steady(watts.data(), T.data(), options, &report), Status::ok);
        fields.push_back(T);
        ASSERT_EQ(engine->step(hotter.data(), 1e-3, Scheme::tr_bdf2, T.data(), options, &report), Status::ok);
        fields.push_back(T);
    }
    for (std::size_t f = 2; f < fields.size(); ++f)
        EXPECT_EQ(std::memcmp(fields[f].data(), fields[f % 2].data(), m.n() * sizeof(double)), 0) << "run " << f;
}

SolveOptions tight() {
    SolveOptions options;
    options.tol_kelvin = 1e-12;
    options.tol_watts = 1e-12;
    return options;
}

class ConductionTransient : public ::testing::TestWithParam<Scheme> {};

TEST_P(ConductionTransient, TheSteadyStateIsWhereStepsStayAndLongStepsGo) {
    const Model m = random_model(4, 6, 5, 5);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const std::vector<double> watts{8.0, 2.0};
    std::vector<double> steady(m.n(), std::nan("")), T;
    SolveReport report;
    ASSERT_EQ(engine->steady(watts.data(), steady.data(), tight(), &report), Status::ok);
    for (double dt : {1e-4, 1.0}) {
        T = steady;
        ASSERT_EQ(engine->step(watts.data(), dt, GetParam(), T.data(), SolveOptions(), &report), Status::ok);
        for (std::size_t c = 0; c < m.n(); ++c)
            EXPECT_TRUE(m.present(c) ? std::fabs(T[c] - steady[c]) <= 1e-9 : std::isnan(T[c])) << dt << " " << c;
    }
    T.assign(m.n(), 300.0);
    for (int s = 0; s < 10; ++s)
        ASSERT_EQ(engine->step(watts.data(), 10.0, GetParam(), T.data(), tight(), &report), Status::ok);
    for (std::size_t c = 0; c < m.n(); ++c)
        EXPECT_TRUE(m.present(c) ? std::fabs(T[c] - steady[c]) <= 1e-8 : std::isnan(T[c])) << c;
}

INSTANTIATE_TEST_SUITE_P(Schemes, ConductionTransient, ::testing::Values(Scheme::backward_euler, Scheme::tr_bdf2),
                         [](const ::testing::TestParamInfo<Scheme>& info) {
                             return std::string(info.param == Scheme::tr_bdf2 ? "TrBdf2" : "BackwardEuler");
                         });

TEST(ConductionTransient, ErrorFallsWithTheSchemesOrder) {
    const Model m = column({{150, 0.5e-3, 6, 1.0}, {5, 50e-6, 2, 1.0}, {400, 1e-3, 6, 1.0}}, 1e4, 300.0);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const double power = 2.0, end = 0.1;  // the column's time constant is about 0.3 s
    auto run = [&](Scheme scheme, int steps) {
        std::vector<double> T(m.n(), 300.0);
        SolveReport report;
        for (int s = 0; s < steps; ++s)
            EXPECT_EQ(engine->step(&power, end / steps, scheme, T.data(), tight(), &report), Status::ok);
        return T;
    };
    const std::vector<double> reference = run(Scheme::tr_bdf2, 1280);
    const std::pair<Scheme, double> orders[] = {{Scheme::backward_euler, 2.0}, {Scheme::tr_bdf2, 4.0}};
    for (const auto& [scheme, ratio] : orders) {
        double error[3];
        for (int halvings = 0; halvings < 3; ++halvings)
            error[halvings] = largest_difference(run(scheme, 10 << halvings), reference);
        EXPECT_GT(error[2], 1e-6);  // far above the solver's tolerance and the reference's own error
        for (int h = 0; h < 2; ++h) EXPECT_NEAR(error[h] / error[h + 1], ratio, 0.15 * ratio) << "halving " << h;
    }
}

TEST(ConductionErrors, InsulatedModelHasNoSteadyStateButStepsKeepItsEnergy) {
    Model m = random_model(5, 5, 4, 4);
    for (int f = 0; f < kFaceCount; ++f) m.h[f].clear(), m.ambient[f].clear();
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const std::vector<double> watts{6.0, 1.0};
    std::vector<double> T(m.n(), 300.0);
    SolveReport report;
    EXPECT_EQ(engine->steady(watts.data(), T.data(), SolveOptions(), &report), Status::no_heat_path);
    for (Scheme scheme : {Scheme::backward_euler, Scheme::tr_bdf2}) {
        T.assign(m.n(), 300.0);
        ASSERT_EQ(engine->step(watts.data(), 0.01, scheme, T.data(), tight(), &report), Status::ok);
        double energy = 0.0;
        for (std::size_t c = 0; c < m.n(); ++c)
            if (m.present(c))
                energy += m.materials[m.material[c]].rho_c * m.width(0, int(c / m.nz / m.ny)) *
                          m.width(1, int(c / m.nz % m.ny)) * m.width(2, int(c % m.nz)) * (T[c] - 300.0);
        EXPECT_NEAR(energy, 7.0 * 0.01, 1e-9 * 7.0 * 0.01);
    }
}

TEST(ConductionErrors, PowerWhoseRiseOverflowsIsReportedAsSuch) {
    Model m = random_model(6, 4, 4, 3);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const std::vector<double> watts{1e300, 1e300};
    std::vector<double> T(m.n(), 300.0);
    SolveReport report;
    EXPECT_EQ(engine->steady(watts.data(), T.data(), SolveOptions(), &report), Status::overflow);
    T.assign(m.n(), 300.0);
    EXPECT_EQ(engine->step(watts.data(), 1.0, Scheme::tr_bdf2, T.data(), SolveOptions(), &report), Status::overflow);
}

TEST(ConductionErrors, InvalidModelsAreRefusedWithAReason) {
    const Model valid = random_model(6, 5, 4, 4);
    const std::pair<const char*, std::function<void(Model&)>> breakages[] = {
        {"repeated x edge", [](Model& m) { m.x[2] = m.x[1]; }},
        {"decreasing z edges", [](Model& m) { std::swap(m.z[1], m.z[2]); }},
        {"zero conductivity", [](Model& m) { m.materials[1].ky = 0.0; }},
        {"negative conductivity", [](Model& m) { m.materials[3].kz = -5.0; }},
        {"NaN h", [](Model& m) { m.h[int(Face::y_low)][3] = std::nan(""); }},
        {"negative h", [](Model& m) { m.h[int(Face::x_high)][0] = -1.0; }},
        {"material out of range", [](Model& m) { m.material[5] = 4; }},
        {"source in a cell without material", [](Model& m) { m.cell[1] = m.nz - 1; }},
    };
    for (const auto& [what, change] : breakages) {
        Model m = valid;
        change(m);
        Status status = Status::ok;
        std::string message;
        EXPECT_FALSE(Engine::create(m.spec(), &status, &message)) << what;
        EXPECT_EQ(status, Status::invalid_model) << what;
        EXPECT_FALSE(message.empty()) << what;
    }
}

struct FailingSite {
    const char* name;
    tavro::AllocSite site;
    Status steady_following;  // k(T) rounds keep the field before each round in an engine vector
};
void PrintTo(const FailingSite& s, std::ostream* os) { *os << s.name; }

class ConductionOutOfMemory : public ::testing::TestWithParam<FailingSite> {};

TEST_P(ConductionOutOfMemory, FailsCleanlyAndRecovers) {
    Model m = random_model(8, 6, 5, 4);
    m.materials[0].silicon_conductivity = true;
    Status status = Status::ok;
    std::string message;
    {
        const tavro::FailingAllocationScope fail(GetParam().site);
        EXPECT_FALSE(Engine::create(m.spec(), &status, &message));
        EXPECT_EQ(status, Status::out_of_memory);
        EXPECT_FALSE(message.empty());
    }
    auto engine = build(m), fresh = build(m);
    ASSERT_TRUE(engine && fresh);
    const std::vector<double> watts{5.0, 1.0};
    std::vector<double> T(m.n(), 300.0), U(m.n(), 300.0);
    SolveOptions following;
    following.follow_temperature = true;
    SolveReport report;
    {
        const tavro::FailingAllocationScope fail(GetParam().site);  // the first step allocates capacities
        EXPECT_EQ(engine->step(watts.data(), 0.01, Scheme::tr_bdf2, T.data(), SolveOptions(), &report),
                  Status::out_of_memory);
        T.assign(m.n(), std::nan(""));
        EXPECT_EQ(engine->steady(watts.data(), T.data(), following, &report), GetParam().steady_following);
    }
    T.assign(m.n(), 300.0);
    ASSERT_EQ(engine->step(watts.data(), 0.01, Scheme::tr_bdf2, T.data(), SolveOptions(), &report), Status::ok);
    ASSERT_EQ(fresh->step(watts.data(), 0.01, Scheme::tr_bdf2, U.data(), SolveOptions(), &report), Status::ok);
    EXPECT_EQ(std::memcmp(T.data(), U.data(), m.n() * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(Sites, ConductionOutOfMemory,
                         ::testing::Values(FailingSite{"Model", tavro::AllocSite::engine_model, Status::ok},
                                           FailingSite{"Hierarchy", tavro::AllocSite::engine_hierarchy, Status::ok},
                                           FailingSite{"Vectors", tavro::AllocSite::engine_vectors,
                                                       Status::out_of_memory}),
                         [](const ::testing::TestParamInfo<FailingSite>& info) { return std::string(info.param.name); });

TEST(ConductionFollowTemperature, SteadyStateIsTheFixedPointOfSiliconConductivity) {
    // A die over copper: 20 W lift the die by about 300 K, where k(T) is
    // some 15 % below its value at 300 K.
    const Model m = column({{150, 0.5e-3, 6, 1.2}, {400, 1e-3, 5, 1.0}}, 1e5, 300.0, true);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    const double power = 20.0;
    SolveOptions following = tight();
    following.follow_temperature = true;
    following.picard_tol = 1e-10;
    std::vector<double> T(m.n(), 300.0);
    SolveReport report;
    ASSERT_EQ(engine->steady(&power, T.data(), following, &report), Status::ok);
    EXPECT_GT(report.solves, 2);
    EXPECT_LE(report.picard_change, 1e-10);
    std::vector<double> k = m.stated_kz(), expected;
    for (int round = 0; round < 200; ++round) {
        expected = column_field(m, k, power);
        for (std::size_t c = 0; c < m.n(); ++c)
            if (m.materials[m.material[c]].silicon_conductivity) k[c] = tavro::silicon::conductivity(expected[c]);
    }
    for (std::size_t c = 0; c < m.n(); ++c) EXPECT_NEAR(T[c], expected[c], 1e-8) << "cell " << c;
    // Without following, the stated conductivities hold again.
    const std::vector<double> stated = column_field(m, m.stated_kz(), power);
    ASSERT_EQ(engine->steady(&power, T.data(), tight(), &report), Status::ok);
    EXPECT_GT(largest_difference(expected, stated), 1.0);
    for (std::size_t c = 0; c < m.n(); ++c) EXPECT_NEAR(T[c], stated[c], 1e-9 * (stated[0] - 300.0)) << "cell " << c;
}

TEST(ConductionFollowTemperature, ConductivityGoingNegativeIsReported) {
    // 10 W through a 10 W/(m^2 K) film on 1 mm^2 would be a million kelvin.
    const Model m = column({{150, 0.5e-3, 4, 1.0}, {150, 0.5e-3, 4, 1.0}}, 10.0, 300.0, true);
    auto engine = build(m);
    ASSERT_TRUE(engine);
    SolveOptions following;
    following.follow_temperature = true;
    const double power = 10.0;
    std::vector<double> T(m.n(), 300.0);
    SolveReport report;
    ASSERT_EQ(engine->steady(&power, T.data(), following, &report), Status::nonphysical_conductivity);
    ASSERT_TRUE(report.bad_cell >= 0 && report.bad_cell < m.nz) << report.bad_cell;
    EXPECT_GE(report.bad_temperature, 2300.0);
    EXPECT_EQ(T[report.bad_cell], report.bad_temperature);
}

}  // namespace
