// Requests that do not simply succeed: CHECK CONDITION, an absent target, disconnection, bus resets
// and a request the driver cannot finish in time.
#include <gtest/gtest.h>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;

scsi::TargetSettings staysConnected() {
    scsi::TargetSettings ts;
    ts.disconnects = false;
    return ts;
}

class Errors : public ::testing::TestWithParam<BoardKind> {};

TEST_P(Errors, CheckConditionEndsWithErrorAndTheStatusByte) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec once;
    once.times = 1;
    disk.fail(scsi::Fault::CheckCondition, once);

    std::vector<std::uint8_t> data(8 * kBlock);
    Outcome out = scene.runRequest(read10(10, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(out.scsiStatus, scsi::status::CheckCondition);
    EXPECT_EQ(out.length, 0u);

    // The unit goes on serving requests.
    out = scene.runRequest(read10(10, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 10, 8 * kBlock));
    scene.expectInvariants();
}

TEST_P(Errors, AbsentTargetEndsWithSelectionTimeout) {
    Scene scene(GetParam());
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scene.target = 5;

    std::vector<std::uint8_t> data(kBlock);
    const Outcome out = scene.runRequest(read10(0, 1), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_FALSE(scene.lastTimedOut);
    for (const auto& e : scene.machine.trace().select("bus", "connected")) {
        EXPECT_NE(e.value(0), 5u) << "an absent target answered";
    }

    // A present target is still served afterwards.
    scene.target = kDisk;
    EXPECT_EQ(scene.runRequest(read10(0, 1), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 0, kBlock));
    scene.expectInvariants();
}

TEST_P(Errors, BusResetRequestCompletesAndTheDiskIsServedAfter) {
    Scene scene(GetParam());
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    const std::size_t mark = scene.machine.trace().mark();

    std::vector<std::uint8_t> none;
    port::Request reset;
    reset.function = SRB_FUNCTION_RESET_BUS;
    const auto id = scene.port->submit(reset);
    ASSERT_TRUE(scene.port->run());
    EXPECT_EQ(scene.port->result(id).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_FALSE(scene.machine.trace().since(mark, "bus", "reset").empty());

    std::vector<std::uint8_t> data(16 * kBlock);
    const Outcome out = scene.runRequest(read10(50, 16), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 50, 16 * kBlock));
    scene.expectInvariants();
}

TEST_P(Errors, StalledTargetTimesOutAndTheBusIsReset) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec stall;
    stall.times = 1;
    stall.phase = scsi::Phase::DataIn;
    stall.durationNs = 30'000'000'000ull;  // longer than the request's time-out
    disk.fail(scsi::Fault::Stall, stall);

    port::Request r;
    r.target = kDisk;
    r.cdb = read10(0, 1);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = kBlock;
    r.timeOutSeconds = 2;
    const std::uint64_t start = scene.machine.now();
    const auto id = scene.port->submit(r);
    ASSERT_TRUE(scene.port->run());
    const port::Result& res = scene.port->result(id);
    EXPECT_TRUE(res.completed);
    EXPECT_TRUE(res.timedOut);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);  // the connected request
    EXPECT_GE(scene.machine.now() - start, 2'000'000'000ull);
    EXPECT_GE(scene.machine.trace().count("port", "timeout"), 1u);
    EXPECT_GE(scene.machine.trace().count("bus", "reset"), 1u);

    // After the reset the disk answers again.
    std::vector<std::uint8_t> data(kBlock);
    EXPECT_EQ(scene.runRequest(read10(3, 1), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 3, kBlock));
    scene.expectInvariants();
}

TEST_P(Errors, DisconnectingDiskWithDisconOption) {
    Scene scene(GetParam(), "/discon");
    auto& disk = scene.addDisk(kDisk);  // disconnects for its medium access when allowed
    scene.boot();
    const std::size_t mark = scene.machine.trace().mark();

    std::vector<std::uint8_t> data(32 * kBlock);
    Outcome out = scene.runRequest(read10(300, 32), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, 32 * kBlock);
    EXPECT_EQ(data, Scene::image(kDisk, 300, 32 * kBlock));

    std::vector<std::uint8_t> written(8 * kBlock, 0x3C);
    data = written;
    out = scene.runRequest(write10(900, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(scene.stored(kDisk, 900, written.size()), written);

    EXPECT_GE(scene.machine.trace().since(mark, "bus", "reselect").size(), 2u)
        << "the disk never disconnected";
    (void)disk;
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, Errors, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

}  // namespace
}  // namespace cbus::e2e
