// Data through each of the board's paths, checked byte for byte against the disk image, and
// the ways a transfer can end early.
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

constexpr std::uint32_t kDest = 0x20000;

BoardSettings plainBoard() {
    BoardSettings s;
    s.kind = BoardKind::Plain;
    return s;
}

BoardSettings fifoBoard() {
    BoardSettings s;
    s.kind = BoardKind::Fifo;
    s.firmwareInitialized = true;
    return s;
}

// Writes count bytes (0, 1, 2, ...) to the FIFO port without waiting for it.
void fifoWrite(Rig& rig, int count) {
    for (int i = 0; i < count; ++i) {
        rig.machine.io().write(kBase + 6, static_cast<std::uint8_t>(i));
    }
}

// Reads the FIFO port as a host engine would: 256-byte moves on data ready, stop on stopped.
std::vector<std::uint8_t> fifoRead(Rig& rig, std::uint32_t count) {
    std::vector<std::uint8_t> got;
    while (got.size() < count) {
        const std::uint8_t s = rig.read(board::RegFifoStatus);
        if (s & board::FifoStopped) {
            break;
        }
        if (!(s & board::FifoReady)) {
            continue;
        }
        const std::size_t n = std::min<std::size_t>(256, count - got.size());
        std::vector<std::uint8_t> block(n);
        rig.machine.io().readString(kBase + 6, block);
        got.insert(got.end(), block.begin(), block.end());
    }
    return got;
}

std::vector<std::uint8_t> windowRead(Rig& rig, std::uint32_t count, std::uint32_t burst = 2048) {
    std::vector<std::uint8_t> got;
    const std::uint32_t data = rig.board->windowBase() + board::WindowDataOffset;
    while (got.size() < count) {
        const std::uint8_t s = rig.boardStatus();
        if (s & board::StatusEnded) {
            break;
        }
        if (!(s & board::StatusBurstReady)) {
            continue;
        }
        const std::size_t n = std::min<std::size_t>(burst, count - got.size());
        for (std::size_t i = 0; i < n; i += 4) {
            const std::uint32_t w = rig.machine.memory().read32(data);
            for (int b = 0; b < 4; ++b) {
                got.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
            }
        }
    }
    rig.write(board::RegBurst, board::BurstIdle);
    return got;
}

enum class Path { Dma, Fifo, Window };

class ReadPath : public ::testing::TestWithParam<Path> {};

TEST_P(ReadPath, SixtyFourKiBReadArrivesIntactAndCompletes) {
    BoardSettings s;
    s.kind = GetParam() == Path::Dma ? BoardKind::Plain : BoardKind::Window;
    s.firmwareInitialized = true;
    Rig rig(s);
    auto& disk = rig.addDisk(0);
    rig.init();
    constexpr std::uint32_t n = 65536;
    const auto eventsBefore = rig.machine.scheduler().eventsRun();
    std::vector<std::uint8_t> got;
    switch (GetParam()) {
        case Path::Dma:
            rig.machine.dma().program(3, kDest, n, DmaDirection::FromDevice);
            rig.selectAndTransfer(0, Rig::read10(100, 128), n, true);
            rig.boardCommand(board::CmdConnectDma);
            break;
        case Path::Fifo:
            rig.write(board::RegFifoStatus, 0x24);
            rig.boardCommand(board::CmdArm);
            rig.selectAndTransfer(0, Rig::read10(100, 128), n, true);
            got = fifoRead(rig, n);
            break;
        case Path::Window:
            rig.boardCommand(board::CmdArm);
            rig.write(board::RegBurst, board::BurstRead);
            rig.selectAndTransfer(0, Rig::read10(100, 128), n, true);
            got = windowRead(rig, n);
            break;
    }
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x60);
    EXPECT_EQ(rig.read(r::TargetLun), 0x00);
    EXPECT_EQ(rig.readCount(), 0u);
    if (GetParam() == Path::Dma) {
        auto m = rig.machine.memory().ram(kDest, n);
        got.assign(m.begin(), m.end());
        EXPECT_TRUE(rig.machine.dma().terminalCount(3));
    }
    EXPECT_EQ(got, Rig::expected(disk, 100, n));
    // Blocks, not bytes: the bus side costs a handful of events (plus the host's own polling).
    EXPECT_LT(rig.machine.trace().count("sbic", "block"), 200u);
    (void)eventsBefore;
    EXPECT_EQ(rig.contracts(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, ReadPath, ::testing::Values(Path::Dma, Path::Fifo, Path::Window));

TEST(DataPath, WindowWriteReachesTheImageAndEndsAfterTheLastByte) {
    BoardSettings s;
    s.firmwareInitialized = true;
    Rig rig(s);
    auto& disk = rig.addDisk(0);
    rig.init();
    constexpr std::uint32_t n = 8192;
    std::vector<std::uint8_t> data(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    rig.boardCommand(board::CmdArm);
    rig.write(board::RegBurst, board::BurstWrite);
    rig.selectAndTransfer(0, Rig::write10(40, 16), n, false);
    const std::uint32_t win = rig.board->windowBase() + board::WindowDataOffset;
    std::size_t sent = 0;
    while (sent < n) {
        const std::uint8_t st = rig.boardStatus();
        ASSERT_FALSE(st & board::StatusEnded);
        if (!(st & board::StatusBurstReady)) {
            continue;
        }
        for (std::size_t i = 0; i < 2048; i += 4, sent += 4) {
            std::uint32_t w = 0;
            for (int b = 0; b < 4; ++b) {
                w |= std::uint32_t{data[sent + b]} << (8 * b);
            }
            rig.machine.memory().write(win, w, 4);
        }
    }
    while (!(rig.boardStatus() & board::StatusEnded)) {
    }
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    std::vector<std::uint8_t> back;
    disk.image().read(40, 16, back);
    EXPECT_EQ(back, data);
}

TEST(DataPath, FifoReportsStoppedWhenTheTargetStopsEarly) {
    Rig rig(fifoBoard());
    auto& disk = rig.addDisk(0);
    disk.fail(scsi::Fault::BusFree, atByte(scsi::Phase::DataIn, 1000));
    rig.init();
    rig.boardCommand(board::CmdArm);
    rig.selectAndTransfer(0, Rig::read10(0, 8), 4096, true);
    auto got = fifoRead(rig, 4096);
    ASSERT_GE(got.size(), 1000u);
    got.resize(1000);
    EXPECT_EQ(got, Rig::expected(disk, 0, 1000));  // every byte that came, then stopped
    EXPECT_EQ(rig.waitInterrupt(), st::UnexpectedDisconnect);
    EXPECT_EQ(rig.readCount(), 4096u - 1000u);
    EXPECT_TRUE(rig.read(board::RegFifoStatus) & board::FifoStopped);
    // The 256-byte block that took the last 232 bytes read past them: all ones, no breach, since
    // the host could not know how many bytes the early stop left.
    EXPECT_EQ(rig.machine.io().read(kBase + 6), 0xFF);
    EXPECT_GE(rig.machine.trace().count("board", "read-past-data"), 2u);
    EXPECT_EQ(rig.machine.trace().count("board", "contract"), 0u);
}

TEST(DataPath, FifoReadWhileTheTransferRunsAndTheFifoIsEmptyIsAContractBreach) {
    Rig rig(fifoBoard());
    rig.addDisk(0);
    rig.init();
    rig.boardCommand(board::CmdArm);
    rig.selectAndTransfer(0, Rig::read10(0, 8), 4096, true);
    EXPECT_EQ(rig.machine.io().read(kBase + 6), 0xFF);  // before any data has come
    EXPECT_EQ(rig.machine.trace().count("board", "contract"), 1u);
    EXPECT_EQ(rig.machine.trace().count("board", "read-past-data"), 0u);
}

// A bus reset in the middle of a FIFO-port write resets the controller and clears its count: the
// board reports the transfer stopped, not "ready for more", so the host stops writing.
TEST(DataPath, FifoWriteReportsStoppedAfterABusReset) {
    Rig rig(fifoBoard());
    rig.addDisk(0);
    rig.init();
    rig.boardCommand(board::CmdArm);
    rig.selectAndTransfer(0, Rig::write10(0, 16), 8192, false);
    fifoWrite(rig, 256);
    rig.bus.reset();
    rig.machine.stall(1'000'000);
    const std::uint8_t status = rig.read(board::RegFifoStatus);
    EXPECT_TRUE(status & board::FifoStopped);
    EXPECT_FALSE(status & board::FifoReady);
    EXPECT_EQ(rig.machine.trace().count("board", "contract"), 0u);
}

// While the controller decodes a new command, the board takes the data direction from that
// command's set-up, not from the transfer before it.
TEST(DataPath, FifoDirectionFollowsTheNewCommandFromTheStart) {
    Rig rig(fifoBoard());
    rig.addDisk(0);
    rig.init();
    rig.boardCommand(board::CmdArm);
    rig.selectAndTransfer(0, Rig::write10(0, 1), 512, false);
    fifoWrite(rig, 512);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    rig.boardCommand(board::CmdArm);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    // Still decoding: nothing has come in, so nothing is ready to read.
    EXPECT_FALSE(rig.read(board::RegFifoStatus) & board::FifoReady);
    EXPECT_EQ(rig.machine.trace().count("board", "contract"), 0u);
}

TEST(DataPath, WindowEndsWhenTheTransferStopsEarly) {
    BoardSettings s;
    s.firmwareInitialized = true;
    Rig rig(s);
    auto& disk = rig.addDisk(0);
    disk.fail(scsi::Fault::BusFree, atByte(scsi::Phase::DataIn, 3000));
    rig.init();
    rig.boardCommand(board::CmdArm);
    rig.write(board::RegBurst, board::BurstRead);
    rig.selectAndTransfer(0, Rig::read10(0, 8), 4096, true);
    auto got = windowRead(rig, 4096, 256);
    got.resize(3000);
    EXPECT_EQ(got, Rig::expected(disk, 0, 3000));
    EXPECT_EQ(rig.waitInterrupt(), st::UnexpectedDisconnect);
}

TEST(DataPath, NoByteMovesWithoutTheBoardCommand) {
    Rig rig(plainBoard());
    rig.addDisk(0);
    rig.init();
    rig.machine.dma().program(3, kDest, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);  // no command 0x01
    EXPECT_EQ(rig.waitInterrupt(50'000'000), 0xFF);
    EXPECT_EQ(rig.machine.dma().remaining(3), 512u);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
}

TEST(DataPath, DmaStopsAtTerminalCountWithTheRestStillOnTheBus) {
    Rig rig(plainBoard());
    rig.addDisk(0);
    rig.init();
    rig.machine.dma().program(3, kDest, 300, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(50'000'000), 0xFF);  // the chip still wants to move bytes
    EXPECT_TRUE(rig.machine.dma().terminalCount(3));
    EXPECT_EQ(rig.readCount(), 212u);
    EXPECT_EQ(rig.machine.dma().flush(3), 0u);
}

TEST(Errors, ShortDataGivesUnexpectedStatusPhaseWithResidual) {
    Rig rig(plainBoard());
    rig.addDisk(0);
    rig.init();
    rig.machine.dma().program(3, kDest, 100, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, {0x12, 0, 0, 0, 36, 0}, 100, true);  // INQUIRY gives 36
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::UnexpectedPhase | 3);  // 0x4B
    EXPECT_EQ(rig.readCount(), 64u);
    EXPECT_TRUE(rig.bus.req());
    EXPECT_EQ(rig.machine.memory().read8(kDest + 2), 0x02);  // SCSI-2 version byte
}

TEST(Errors, ParityErrorWithHspHaltsWithAckHeld) {
    Rig rig(plainBoard());
    auto& disk = rig.addDisk(0);
    disk.fail(scsi::Fault::ParityError, atByte(scsi::Phase::DataIn, 10));
    rig.init();
    rig.machine.dma().program(3, kDest, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::ParityError);
    EXPECT_TRUE(rig.bus.ackHeld());
    EXPECT_TRUE(rig.aux() & sbic::aux::Pe);
    EXPECT_EQ(rig.readCount(), 512u - 11u);
}

TEST(Errors, SdtrAgreementMovesDataAtTheAgreedRateAndAMismatchFails) {
    for (bool matching : {true, false}) {
        Rig rig(plainBoard());
        auto& disk = rig.addDisk(0);
        disk.setAgreement({8, 50});  // 200 ns, offset 8
        rig.init();
        rig.write(r::Sync, matching ? 0x28 : 0x20);  // TP 2 (200 ns) with offset 8, or async
        rig.machine.dma().program(3, kDest, 512, DmaDirection::FromDevice);
        rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
        rig.boardCommand(board::CmdConnectDma);
        const auto s = rig.waitInterrupt();
        const auto* block = rig.machine.trace().last("sbic", "block");
        ASSERT_NE(block, nullptr);
        if (matching) {
            EXPECT_EQ(s, st::SelectTransferDone);
            // The DMA cycle (1 us) is slower than the agreed 200 ns period and paces the block.
            EXPECT_EQ(block->value(1), 1000u);
            auto m = rig.machine.memory().ram(kDest, 512);
            EXPECT_EQ(std::vector<std::uint8_t>(m.begin(), m.end()), Rig::expected(disk, 0, 512));
        } else {
            EXPECT_EQ(s, st::ParityError);
            EXPECT_EQ(rig.machine.trace().count("bus", "sync-mismatch"), 1u);
        }
    }
}

}  // namespace
}  // namespace cbus::test
