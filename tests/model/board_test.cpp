// The board's own registers, firmware data and interrupt gating.
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

TEST(Board, EchoReadsTheComplementAndConfigurationHoldsTheSwitches) {
    BoardSettings s;
    s.interruptIndex = 5;
    s.ownId = 6;
    s.dmaChannel = 2;
    Rig rig(s);
    rig.write(board::RegEcho, 0x55);
    EXPECT_EQ(rig.read(board::RegEcho), 0xAA);
    EXPECT_EQ(rig.read(board::RegConfig), (5 << 3) | 6);
    EXPECT_EQ(rig.boardStatus() & board::StatusDmaMask, 2);
    EXPECT_EQ(rig.board->interruptLevel(), 12);
    EXPECT_EQ(rig.read(0x38), 0xFF);  // undefined board register
}

TEST(Board, FirmwareDataLocatesTheBoard) {
    BoardSettings s;
    s.firmwareBlock = 0xCA;
    Rig rig(s);
    const std::uint8_t block = rig.machine.memory().read8(0x4BC);
    EXPECT_EQ(block, 0xCA);
    EXPECT_EQ(rig.machine.memory().read16(block * 4096u + 0x1800), kBase);
}

TEST(Board, FirmwareInitializedBoardHasItsTablesLoaded) {
    for (BoardKind kind : {BoardKind::Plain, BoardKind::Fifo, BoardKind::Window}) {
        BoardSettings s;
        s.kind = kind;
        s.firmwareInitialized = true;
        Rig rig(s);
        EXPECT_TRUE(rig.read(board::RegControl) & board::ControlFirmware);
        EXPECT_EQ(rig.read(board::RegIdMap + 5), 5);
        EXPECT_EQ(rig.read(board::RegTargetSync + 3), 0x20);
        const std::uint8_t fs = rig.read(board::RegFifoStatus);
        EXPECT_EQ(fs, kind == BoardKind::Plain ? 0xFF : kind == BoardKind::Window ? 0x18 : 0x04);
    }
}

TEST(Board, WindowWordAt4098HoldsTheIoBaseOnlyOnAWindowBoard) {
    for (BoardKind kind : {BoardKind::Fifo, BoardKind::Window}) {
        BoardSettings s;
        s.kind = kind;
        s.windowSelect = 3;
        Rig rig(s);
        EXPECT_EQ(rig.board->windowBase(), 0xD6000u);
        EXPECT_EQ(rig.read(board::RegWindowSelect), 3);
        const std::uint16_t w = rig.machine.memory().read16(0xD6000 + 4098);
        EXPECT_EQ(w, kind == BoardKind::Window ? kBase : 0xFFFF);
    }
}

TEST(Board, ChipResetBitHoldsTheChipAndItsReleaseRaisesResetStatus) {
    Rig rig;
    rig.write(board::RegControl, board::ControlEnable | board::ControlChipReset);
    EXPECT_EQ(rig.aux(), 0x00);
    rig.write(board::RegControl, board::ControlEnable);
    rig.machine.stall(30'000);
    EXPECT_TRUE(rig.machine.interrupts().asserted(9));
    EXPECT_EQ(rig.read(r::ScsiStatus), 0x00);
    EXPECT_FALSE(rig.machine.interrupts().asserted(9));
}

TEST(Board, InterruptIsGatedByTheEnableBit) {
    Rig rig;
    rig.write(board::RegControl, 0);
    rig.write(r::OwnId, 7);
    rig.write(r::Command, sbic::cmd::Reset);
    rig.machine.stall(1'000'000);
    EXPECT_TRUE(rig.aux() & sbic::aux::Int);
    EXPECT_FALSE(rig.machine.interrupts().asserted(9));
    rig.write(board::RegControl, board::ControlEnable);
    EXPECT_TRUE(rig.machine.interrupts().asserted(9));
}

TEST(Board, PlainBoardRegister37ReadsAllOnesWhateverIsWritten) {
    BoardSettings s;
    s.kind = BoardKind::Plain;
    Rig rig(s);
    rig.write(board::RegFifoStatus, 0x24);
    EXPECT_EQ(rig.read(board::RegFifoStatus), 0xFF);
    rig.boardCommand(0x77);
    EXPECT_EQ(rig.machine.trace().count("board", "contract"), 1u);
}

}  // namespace
}  // namespace cbus::test
