// Requests that carry no command: the "DOZIZAVA" control request, device reset, unknown and
// refused functions; and the window board without the port's block move, and a probe through the
// firmware data.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;
constexpr std::uint32_t kReturnRefused = 11;

scsi::TargetSettings staysConnected() {
    scsi::TargetSettings ts;
    ts.disconnects = false;
    return ts;
}

std::vector<std::uint8_t> controlHeader(const char* signature, std::uint32_t code) {
    SRB_IO_CONTROL h{};
    h.HeaderLength = sizeof(SRB_IO_CONTROL);
    std::memcpy(h.Signature, signature, 8);
    h.ControlCode = code;
    h.ReturnCode = 0xFFFFFFFF;
    std::vector<std::uint8_t> bytes(sizeof(h));
    std::memcpy(bytes.data(), &h, sizeof(h));
    return bytes;
}

std::uint32_t returnCode(const std::vector<std::uint8_t>& bytes) {
    SRB_IO_CONTROL h{};
    std::memcpy(&h, bytes.data(), sizeof(h));
    return h.ReturnCode;
}

struct ControlCase {
    const char* name;
    const char* signature;
    std::uint32_t code;
    std::uint8_t srbStatus;
    std::uint32_t returnCode;
    bool deviceReset;  // the disk received BUS DEVICE RESET
};
const ControlCase kControls[] = {
    {"Accepted", "DOZIZAVA", 1, SRB_STATUS_SUCCESS, 0, true},
    {"OtherCode", "DOZIZAVA", 2, SRB_STATUS_INVALID_REQUEST, kReturnRefused, false},
    {"OtherSignature", "DOZIZAVB", 1, SRB_STATUS_INVALID_REQUEST, kReturnRefused, false},
};

class ControlRequest : public ::testing::TestWithParam<std::tuple<BoardKind, ControlCase>> {};

TEST_P(ControlRequest, EndsAsItsHeaderSays) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    const std::size_t mark = scene.machine.trace().mark();
    const auto id =
        scene.submitFunction(SRB_FUNCTION_IO_CONTROL, kDisk, controlHeader(c.signature, c.code));
    ASSERT_TRUE(scene.port->run());
    const port::Result& r = scene.port->result(id);
    EXPECT_EQ(r.srbStatus, c.srbStatus);
    EXPECT_EQ(returnCode(r.data), c.returnCode);
    EXPECT_EQ(scene.machine.trace().since(mark, "target0", "bus-device-reset").size(),
              c.deviceReset ? 1u : 0u);

    std::vector<std::uint8_t> data(8 * kBlock);
    EXPECT_EQ(scene.runRequest(read10(3, 8), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 3, 8 * kBlock));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, ControlRequest,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kControls)),
                         ModeAndCaseName());

struct FunctionCase {
    const char* name;
    std::uint8_t function;
    std::uint8_t srbStatus;
    bool deviceReset;
};
const FunctionCase kFunctions[] = {
    {"ResetDevice", SRB_FUNCTION_RESET_DEVICE, SRB_STATUS_SUCCESS, true},
    {"TerminateIo", SRB_FUNCTION_TERMINATE_IO, SRB_STATUS_INVALID_REQUEST, false},
    {"Shutdown", 0x07, SRB_STATUS_BAD_FUNCTION, false},
    {"Flush", 0x08, SRB_STATUS_BAD_FUNCTION, false},
    {"AboveTerminateIo", 0x15, SRB_STATUS_BAD_FUNCTION, false},
};

class FunctionRequest : public ::testing::TestWithParam<std::tuple<BoardKind, FunctionCase>> {};

TEST_P(FunctionRequest, EndsWithItsStatus) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    // A first read settles a synchronous agreement (outside FIFO-port mode), which a device
    // reset ends on both sides: the read after it must renegotiate, not run mismatched.
    std::vector<std::uint8_t> data(4 * kBlock);
    ASSERT_EQ(scene.runRequest(read10(3, 4), data).srbStatus, SRB_STATUS_SUCCESS);
    const std::size_t mark = scene.machine.trace().mark();
    const auto id = scene.submitFunction(c.function, kDisk);
    ASSERT_TRUE(scene.port->run());
    EXPECT_EQ(scene.port->result(id).srbStatus, c.srbStatus);
    EXPECT_EQ(scene.machine.trace().since(mark, "target0", "bus-device-reset").size(),
              c.deviceReset ? 1u : 0u);
    if (!c.deviceReset) {
        EXPECT_TRUE(scene.machine.trace().since(mark, "bus", "select").empty())
            << "a refused request reached the bus";
    }

    EXPECT_EQ(scene.runRequest(read10(9, 4), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 9, 4 * kBlock));
    EXPECT_TRUE(scene.machine.trace().since(mark, "bus", "sync-mismatch").empty());
    if (c.deviceReset && mode != BoardKind::Fifo) {
        EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 1u) << "SDTR was not offered again";
    }
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, FunctionRequest,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kFunctions)),
                         ModeAndCaseName());

// Without the port's block move the window board moves at most 4096 bytes per request, exactly.
TEST(WindowBoard, WithoutBlockMoveLimitsTransfersTo4096) {
    Scene scene(BoardKind::Window);
    scene.portSettings.blockMoveAvailable = false;
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    EXPECT_EQ(scene.port->configuration().MaximumTransferLength, 4096u);

    std::vector<std::uint8_t> data(8 * kBlock);
    Outcome out = scene.runRequest(read10(77, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, 4096u);
    EXPECT_EQ(data, Scene::image(kDisk, 77, 8 * kBlock));

    std::vector<std::uint8_t> written(8 * kBlock);
    for (std::size_t i = 0; i < written.size(); ++i) {
        written[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    }
    data = written;
    out = scene.runRequest(write10(500, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(scene.stored(kDisk, 500, written.size()), written);
    scene.expectInvariants();
}

// With no I/O start in the registry the probe finds the board through the firmware data.
class FirmwareProbe : public ::testing::TestWithParam<BoardKind> {};

TEST_P(FirmwareProbe, FindsTheBoardWithoutARegistryAddress) {
    Scene scene(GetParam());
    scene.portSettings.registry.ioStart = 0;
    scene.addDisk(kDisk, staysConnected());
    scene.boot();
    ASSERT_EQ(scene.port->units().size(), 1u);
    EXPECT_EQ(scene.port->accessRanges()[0].RangeStart.u.LowPart, kBase);

    std::vector<std::uint8_t> data(8 * kBlock);
    EXPECT_EQ(scene.runRequest(read10(21, 8), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 21, 8 * kBlock));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, FirmwareProbe, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

}  // namespace
}  // namespace cbus::e2e
