// The built-in default run of cbsim: clean in every mode, reproducible from its seed.
#include <gtest/gtest.h>

#include <tuple>

#include "tools/cbsim/default_run.h"

namespace cbus::cbsim {
namespace {

auto key(const RequestRecord& r) {
    return std::tuple(r.target, r.write, r.lba, r.blocks, r.srbStatus, r.simulatedNs, r.interrupts);
}

struct ModeCase {
    BoardKind mode;
    const char* arguments;
};

class DefaultRun : public ::testing::TestWithParam<ModeCase> {};

TEST_P(DefaultRun, ScansTheThreeDevicesAndEveryRequestIsExact) {
    RunOptions o;
    o.mode = GetParam().mode;
    o.arguments = GetParam().arguments;
    o.requests = 40;
    const RunReport r = runDefault(o);
    ASSERT_TRUE(r.adapterFound);
    ASSERT_EQ(r.units.size(), 3u);
    EXPECT_EQ(r.units[0].deviceType, 0);
    EXPECT_EQ(r.units[1].deviceType, 0);
    EXPECT_EQ(r.units[2].target, 4);
    EXPECT_EQ(r.units[2].deviceType, 5);
    ASSERT_EQ(r.requests.size(), 40u);
    const bool wrote = std::any_of(r.requests.begin(), r.requests.end(),
                                   [](const RequestRecord& q) { return q.write; });
    EXPECT_TRUE(wrote) << "the workload never wrote";
    for (const auto& q : r.requests) {
        EXPECT_EQ(q.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_TRUE(q.dataMatches) << "target " << int{q.target} << " lba " << q.lba;
    }
    EXPECT_TRUE(r.contractErrors.empty()) << r.contractErrors.front();
    EXPECT_TRUE(r.errorLog.empty());
    EXPECT_EQ(r.resetsDetected, 0);
    EXPECT_TRUE(r.clean());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DefaultRun,
    ::testing::Values(ModeCase{BoardKind::Plain, ""}, ModeCase{BoardKind::Fifo, ""},
                      ModeCase{BoardKind::Window, ""}, ModeCase{BoardKind::Plain, "/discon"},
                      ModeCase{BoardKind::Fifo, "/discon"}, ModeCase{BoardKind::Window, "/discon"}),
    [](const auto& p) {
        return std::string(modeName(p.param.mode)) + (p.param.arguments[0] != '\0' ? "Discon" : "");
    });

TEST(DefaultRun, SameSeedSameRunOtherSeedOtherWorkload) {
    RunOptions o;
    o.requests = 16;
    o.seed = 5;
    const RunReport a = runDefault(o);
    const RunReport b = runDefault(o);
    o.seed = 6;
    const RunReport c = runDefault(o);
    ASSERT_EQ(a.requests.size(), b.requests.size());
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        EXPECT_EQ(key(a.requests[i]), key(b.requests[i])) << "request " << i;
    }
    EXPECT_EQ(a.simulatedNs, b.simulatedNs);
    bool differs = false;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        differs = differs || key(a.requests[i]) != key(c.requests[i]);
    }
    EXPECT_TRUE(differs) << "the seed does not reach the workload";
}

}  // namespace
}  // namespace cbus::cbsim
