// Loading the driver on the simulated machine: probe, initialization and the bus scan, in each
// transfer mode.
#include <gtest/gtest.h>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

struct ModeCase {
    BoardKind kind;
    ULONG maximumTransfer;
    ULONG dmaChannel;  // as the driver describes the adapter
};

class ProbeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ProbeTest, FindsInitializesAndScansTwoDisks) {
    const ModeCase& c = GetParam();
    Scene scene(c.kind);
    scene.addDisk(0);
    scene.addDisk(3);
    scene.boot();

    const auto& config = scene.port->configuration();
    EXPECT_TRUE(scene.port->adapterFound());
    EXPECT_EQ(config.InitiatorBusId[0], 7);
    EXPECT_EQ(config.BusInterruptLevel, 9u);
    EXPECT_EQ(config.MaximumTransferLength, c.maximumTransfer);
    EXPECT_EQ(config.DmaChannel, c.dmaChannel);
    EXPECT_EQ(scene.port->accessRanges()[0].RangeStart.QuadPart, kBase);
    EXPECT_EQ(scene.port->accessRanges()[0].RangeLength, 7u);

    const auto& units = scene.port->units();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].target, 0);
    EXPECT_EQ(units[1].target, 3);
    for (const auto& u : units) {
        EXPECT_EQ(u.lun, 0);
        EXPECT_EQ(u.deviceType, 0);  // direct access
        ASSERT_GE(u.inquiry.size(), 16u);
        EXPECT_EQ(std::string(u.inquiry.begin() + 8, u.inquiry.begin() + 15), "CBUSSIM");
    }

    // The scan asked every id but the adapter's own; absent targets ended by selection time-out.
    const auto trace = scene.machine.trace();
    for (std::uint32_t id = 0; id < 7; ++id) {
        bool selected = false;
        for (const auto& e : trace.select("bus", "select")) {
            selected = selected || e.value(0) == id;
        }
        EXPECT_TRUE(selected) << "target " << id << " was never selected";
    }
    for (const auto& e : trace.select("bus", "select")) {
        EXPECT_NE(e.value(0), 7u) << "the adapter selected its own id";
    }
    EXPECT_EQ(scene.machine.trace().count("port", "call"),
              scene.machine.trace().count("port", "return"));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, ProbeTest,
                         ::testing::Values(ModeCase{BoardKind::Plain, 65536, 3},
                                           ModeCase{BoardKind::Fifo, 65536, 3},
                                           ModeCase{BoardKind::Window, 65536, 0xFFFFFFFFu}),
                         [](const auto& p) { return modeName(p.param.kind); });

}  // namespace
}  // namespace cbus::e2e
