// Device kinds other than disks through the whole machine: what the driver learns from their
// INQUIRY and READ CAPACITY data and how that changes what reaches the caller and how data moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "tests/e2e/devices.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kCd = 2;
constexpr std::uint8_t kWorm = 3;
constexpr std::uint8_t kPhantom = 4;
constexpr std::uint8_t kStream = 5;
constexpr std::uint32_t kCdBlock = scsi::CdRom::kBlockSize;
constexpr std::uint8_t kNoDevice = 0x7F;

std::string modeOf(const ::testing::TestParamInfo<BoardKind>& p) {
    return modeName(p.param);
}

// ---------------------------------------------------------------- phantom-LUN CD-ROM

class PhantomLun : public ::testing::TestWithParam<BoardKind> {};

// The drive answers every LUN as LUN 0; the driver turns LUNs 1-7 into "no device" so the port
// driver does not see eight CD-ROMs. A CD-ROM with two real LUNs keeps both.
TEST_P(PhantomLun, ScanSeesOnlyLunZeroOfTheQuirkDrive) {
    DeviceScene scene(GetParam());
    scene.add<scsi::PhantomLunCdRom>(kPhantom, DeviceScene::disc(64, kPhantom));
    auto twoLuns = targetAt(kCd);
    twoLuns.luns = {0, 1};
    scene.addWith<scsi::CdRom>(twoLuns, DeviceScene::disc(64, kCd));
    scene.boot();

    ASSERT_EQ(scene.port->units().size(), 3u);
    for (const auto& [t, l] : {std::pair{kCd, 0}, std::pair{kCd, 1}, std::pair{kPhantom, 0}}) {
        const auto* u = scene.unitAt(t, static_cast<std::uint8_t>(l));
        ASSERT_NE(u, nullptr) << "target " << int{t} << " LUN " << l;
        EXPECT_EQ(u->deviceType, 5);
    }
    const auto lun0 = scene.unitAt(kPhantom, 0)->inquiry;
    EXPECT_EQ(std::string(lun0.begin() + 16, lun0.begin() + 29), "CD-ROM QV-72T");

    // Asked directly, every other LUN answers on the bus as LUN 0 but reaches the caller empty.
    scene.target = kPhantom;
    for (std::uint8_t l = 1; l < 8; ++l) {
        scene.lun = l;
        const std::size_t mark = scene.machine.trace().mark();
        std::vector<std::uint8_t> data(36);
        const Outcome out = scene.runRequest(inquiry(), data);
        EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(out.length, 36u);
        EXPECT_EQ(scene.busBytes(mark, "in", kPhaseDataIn).at(0), 5) << "LUN " << int{l};
        EXPECT_EQ(data[0], kNoDevice) << "LUN " << int{l};
        EXPECT_TRUE(std::equal(data.begin() + 1, data.end(), lun0.begin() + 1));
    }
    scene.lun = 0;
    std::vector<std::uint8_t> data(36);
    EXPECT_EQ(scene.runRequest(inquiry(), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, lun0);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, PhantomLun, ::testing::ValuesIn(kModes), modeOf);

// ---------------------------------------------------------------- write-once as CD-ROM

struct CdrCase {
    const char* name;
    const char* arguments;
    std::uint8_t reportedType;
};

class WriteOnceType : public ::testing::TestWithParam<std::tuple<BoardKind, CdrCase>> {};

TEST_P(WriteOnceType, InquiryReportsTheTypeTheOptionAsks) {
    const auto [mode, c] = GetParam();
    DeviceScene scene(mode, c.arguments);
    scene.add<scsi::WriteOnce>(kWorm, std::make_shared<scsi::BlockImage>(1024, kBlock, kWorm));
    scene.boot();

    const auto* u = scene.unitAt(kWorm, 0);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->deviceType, c.reportedType);

    scene.target = kWorm;
    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(36);
    const Outcome out = scene.runRequest(inquiry(), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data[0], c.reportedType);
    EXPECT_EQ(scene.busBytes(mark, "in", kPhaseDataIn).at(0), 4) << "the device itself says 4";
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteOnceType,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::Values(CdrCase{"Plain", "", 4},
                                                              CdrCase{"Cdr", "/cdr", 5},
                                                              CdrCase{"CdrUpper", "/CDR", 5})),
                         ModeAndCaseName());

// ---------------------------------------------------------------- byte-mode devices

// A stream device and the commands that move its bytes; opcode 0 where the kind has none.
struct ByteModeCase {
    const char* name;
    scsi::DeviceType type;
    std::uint8_t inOpcode;
    std::uint8_t outOpcode;
    bool tenByte;  // length in bytes 6-8 of a 10-byte CDB
};

constexpr ByteModeCase kByteModeDevices[] = {
    {"Printer", scsi::DeviceType::Printer, 0, scsi::op::Print, false},
    {"Processor", scsi::DeviceType::Processor, scsi::op::Receive, scsi::op::Send, false},
    {"Scanner", scsi::DeviceType::Scanner, scsi::op::ReadScanner, scsi::op::SetWindow, true},
    {"Communications", scsi::DeviceType::Communications, scsi::op::GetMessage, scsi::op::Send,
     false},
};

// Large enough and aligned so that a disk's data would go through the window or in FIFO blocks.
constexpr std::uint32_t kStreamBytes = 4096;

// The unit's data moved one byte per data-ready indication, never through the window.
void expectByteByByte(BoardKind mode, const PortProbe& probe, std::size_t bytes) {
    EXPECT_TRUE(probe.writesTo(board::RegBurst).empty()) << "a window transfer was armed";
    if (mode == BoardKind::Plain) {
        EXPECT_EQ(probe.fifoAccesses(), 0u);
        return;
    }
    EXPECT_EQ(probe.fifoAccesses(), bytes);
    const auto runs = probe.fifoRuns();
    EXPECT_EQ(runs.size(), bytes);
    EXPECT_EQ(std::count(runs.begin(), runs.end(), std::size_t{1}),
              static_cast<std::ptrdiff_t>(runs.size()))
        << "bytes moved without a data-ready check between them";
    EXPECT_EQ(probe.fifoAccessesWithoutReady(), 0u);
}

class ByteModeDevice : public ::testing::TestWithParam<std::tuple<BoardKind, ByteModeCase>> {};

TEST_P(ByteModeDevice, DataMovesOneBytePerReadyAndExactly) {
    const auto [mode, c] = GetParam();
    DeviceScene scene(mode);
    PortProbe probe(scene.machine, *scene.board);
    const auto source = numbered(kStreamBytes, 11);
    auto& dev = scene.addStream(kStream, c.type, source);
    scene.boot();
    ASSERT_NE(scene.unitAt(kStream, 0), nullptr);
    EXPECT_EQ(scene.unitAt(kStream, 0)->deviceType, static_cast<std::uint8_t>(c.type));
    scene.target = kStream;
    auto cdb = [&](std::uint8_t opcode) {
        return c.tenByte ? cdb10Length24(opcode, kStreamBytes) : cdb6(opcode, kStreamBytes);
    };

    if (c.inOpcode != 0) {
        probe.accesses.clear();
        probe.recording = true;
        std::vector<std::uint8_t> data(kStreamBytes);
        const Outcome out = scene.runRequest(cdb(c.inOpcode), data, SRB_FLAGS_DATA_IN);
        probe.recording = false;
        EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(out.length, kStreamBytes);
        EXPECT_EQ(data, source);
        expectByteByByte(mode, probe, kStreamBytes);
    }

    probe.accesses.clear();
    probe.recording = true;
    const auto sent = numbered(kStreamBytes, 77);
    auto data = sent;
    const Outcome out = scene.runRequest(cdb(c.outOpcode), data, SRB_FLAGS_DATA_OUT);
    probe.recording = false;
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, kStreamBytes);
    EXPECT_EQ(c.type == scsi::DeviceType::Scanner ? dev.window() : dev.taken(), sent);
    expectByteByByte(mode, probe, kStreamBytes);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, ByteModeDevice,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kByteModeDevices)),
                         ModeAndCaseName());

// The same commands to a disk go in 256-byte FIFO blocks or through the window: what the probe
// sees above is the byte mode, not the way every transfer looks.
class ByteModeContrast : public ::testing::TestWithParam<BoardKind> {};

TEST_P(ByteModeContrast, DiskReadSixMovesInBlocksOrBursts) {
    DeviceScene scene(GetParam());
    PortProbe probe(scene.machine, *scene.board);
    scene.addDisk(0);
    scene.boot();
    probe.recording = true;
    std::vector<std::uint8_t> data(kStreamBytes);
    const Outcome out = scene.runRequest({scsi::op::Read6, 0, 0, 9, 8, 0}, data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(0, 9, kStreamBytes));
    if (GetParam() == BoardKind::Fifo) {
        EXPECT_EQ(probe.fifoRuns(), std::vector<std::size_t>(kStreamBytes / 256, 256));
    }
    if (GetParam() == BoardKind::Window) {
        EXPECT_EQ(probe.fifoAccesses(), 0u);
        EXPECT_EQ(probe.writesTo(board::RegBurst), (std::vector<std::uint8_t>{1, 0}));
    }
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, ByteModeContrast, ::testing::ValuesIn(kModes), modeOf);

// ---------------------------------------------------------------- window burst size

constexpr std::uint32_t k64KiB = 65536;

struct BurstCase {
    const char* name;
    const char* arguments;
    bool readCapacityFirst;
    std::size_t bursts;  // window bursts of the 64 KiB read
};

class CdBurst : public ::testing::TestWithParam<BurstCase> {};

TEST_P(CdBurst, ReadCapacitySetsTheBurstOfTheNextRead) {
    const BurstCase& c = GetParam();
    DeviceScene scene(BoardKind::Window, c.arguments);
    PortProbe probe(scene.machine, *scene.board);
    scene.add<scsi::CdRom>(kCd, DeviceScene::disc(200, kCd));
    scene.boot();
    scene.target = kCd;

    if (c.readCapacityFirst) {
        std::vector<std::uint8_t> capacity(8);
        const Outcome out = scene.runRequest(readCapacity(), capacity, SRB_FLAGS_DATA_IN);
        EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(capacity, (std::vector<std::uint8_t>{0, 0, 0, 199, 0, 0, 0x08, 0}));
    }

    probe.recording = true;
    std::vector<std::uint8_t> data(k64KiB);
    const Outcome out = scene.runRequest(read10(40, k64KiB / kCdBlock), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, k64KiB);
    EXPECT_EQ(data, Scene::image(kCd, 40, k64KiB, kCdBlock));
    EXPECT_EQ(probe.burstsReady(), c.bursts);
    EXPECT_EQ(probe.writesTo(board::RegBurst), (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(probe.fifoAccesses(), 0u);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CdBurst,
    ::testing::Values(BurstCase{"Learned2048", "", true, k64KiB / 2048},
                      BurstCase{"Default256", "", false, k64KiB / 256},
                      BurstCase{"Fixed512", "/smitmin=512", true, k64KiB / 512},
                      BurstCase{"FixedAbove2048", "/smitmin=4096", false, k64KiB / 2048}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- block move or the driver's loop

struct BlockMoveCase {
    const char* name;
    bool blockMoveAvailable;
    std::uint32_t maximumTransfer;
};

class WindowCopy : public ::testing::TestWithParam<BlockMoveCase> {};

// Without the port's block move the caller splits 64 KiB into requests of at most 4096 bytes; the
// bytes are the same either way.
TEST_P(WindowCopy, SixtyFourKiBReadIsTheImageEitherWay) {
    const BlockMoveCase& c = GetParam();
    DeviceScene scene(BoardKind::Window);
    scene.portSettings.blockMoveAvailable = c.blockMoveAvailable;
    scene.add<scsi::CdRom>(kCd, DeviceScene::disc(200, kCd));
    scene.boot();
    scene.target = kCd;
    const std::uint32_t maximum = scene.port->configuration().MaximumTransferLength;
    EXPECT_EQ(maximum, c.maximumTransfer);

    std::vector<std::uint8_t> capacity(8);
    EXPECT_EQ(scene.runRequest(readCapacity(), capacity, SRB_FLAGS_DATA_IN).srbStatus,
              SRB_STATUS_SUCCESS);

    std::vector<std::uint8_t> all;
    std::size_t requests = 0;
    for (std::uint32_t done = 0; done < k64KiB; done += maximum, ++requests) {
        const std::uint32_t lba = 7 + done / kCdBlock;
        std::vector<std::uint8_t> data(maximum);
        const Outcome out =
            scene.runRequest(read10(lba, static_cast<std::uint16_t>(maximum / kCdBlock)), data);
        ASSERT_EQ(out.srbStatus, SRB_STATUS_SUCCESS) << "at " << done;
        EXPECT_EQ(out.length, maximum);
        all.insert(all.end(), data.begin(), data.end());
    }
    EXPECT_EQ(requests, k64KiB / c.maximumTransfer);
    EXPECT_EQ(all, Scene::image(kCd, 7, k64KiB, kCdBlock));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowCopy,
                         ::testing::Values(BlockMoveCase{"BlockMove", true, 65536},
                                           BlockMoveCase{"DriverLoop", false, 4096}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace cbus::e2e
