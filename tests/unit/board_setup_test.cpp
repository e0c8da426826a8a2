// HbaSetupWindow: the memory window, the board's own set-up, and the working controller timing.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/config_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;
// The records are packed: their wider fields are copied (ULONG{...}) before EXPECT_EQ binds them
// to references.

class BoardSetup : public ConfigTest {};

TEST_F(BoardSetup, LoadsTheBoardAndChoosesTheWindowPathInOrder) {
    host.reg(REG_BOARD_CONTROL).value = 0x00;
    host.setMemoryWord(kWindowBase + WINDOW_BASE_WORD_OFFSET, host.ioBase());

    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));

    Log expected = {"R31=00", "map mem D0000+8192=ok", "R30=00"};
    for (int i = 0; i < 8; i++) {  // identity id map, every target asynchronous
        expected.push_back(fmt::format("W5{}=0{}", i, i));
        expected.push_back(fmt::format("W6{}=20", i));
    }
    expected.insert(expected.end(), {
                                        "M2:D1002>0CC0", "W37=38",     // the window path
                                        "M1:D0FFE>00", "M1:D0FFF>00",  //
                                        "R30=00", "W30=40",            // latch pulse
                                        "M1:D0FFE>00", "M1:D0FFF>00",  //
                                        "W30=00",                      //
                                    });
    EXPECT_EQ(host.log({"R", "W", "map", "M"}), expected);
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0xA2u);
    EXPECT_EQ(PUCHAR{adapter.WindowData}, mappedMemory(kWindowBase + WINDOW_DATA_OFFSET));
}

TEST_F(BoardSetup, AnotherWordInTheWindowChoosesTheFifoPath) {
    fifoBoard();
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(host.log({"W37"}), (Log{"W37=24"}));
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0xA2u);
}

TEST_F(BoardSetup, FirmwareSetUpBoardKeepsItsRegisters) {
    host.reg(REG_BOARD_CONTROL).value = BOARD_CONTROL_FIRMWARE;
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    for (auto [reg, value] : host.registerWrites()) {
        EXPECT_EQ(reg, REG_BOARD_CONTROL) << "register " << int(reg) << " written";
    }
    EXPECT_EQ(host.log({"M2"}), Log{});
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0x22u);
}

TEST_F(BoardSetup, LatchPulseKeepsOnlyTheLowBitsAfterwards) {
    // Bit 3 of 0xB5 is clear: the board is loaded first, then pulsed.
    host.reg(REG_BOARD_CONTROL).value = 0xB5;
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(host.log({"W30"}), (Log{"W30=F5", "W30=05"}));
}

TEST_F(BoardSetup, DescribesTheWindowInAccessRangeFive) {
    ranges[1].RangeLength = 0x55;
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(ranges[5].RangeStart.QuadPart, kWindowBase);
    EXPECT_EQ(ranges[5].RangeLength, WINDOW_SIZE);
    EXPECT_EQ(ranges[5].RangeInMemory, TRUE);
    EXPECT_EQ(ranges[1].RangeLength, 0x55u) << "entries 1 to 4 are not the setup's";
    EXPECT_EQ(ranges[0].RangeLength, BOARD_PORT_RANGE);
}

struct WindowSelectCase {
    uint8_t select;
    uint32_t address;
};

class WindowSelect : public BoardSetup, public ::testing::WithParamInterface<WindowSelectCase> {};

TEST_P(WindowSelect, OnlyTheLowThreeBitsPlaceTheWindow) {
    host.reg(REG_WINDOW_SELECT).value = GetParam().select;
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(host.log({"map"}), (Log{fmt::format("map mem {:X}+8192=ok", GetParam().address)}));
    EXPECT_EQ(PUCHAR{adapter.WindowData}, mappedMemory(GetParam().address + WINDOW_DATA_OFFSET));
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowSelect,
                         ::testing::Values(WindowSelectCase{0x00, 0xD0000},
                                           WindowSelectCase{0x01, 0xD2000},
                                           WindowSelectCase{0x0A, 0xD4000},
                                           WindowSelectCase{0x07, 0xDE000},
                                           WindowSelectCase{0xFF, 0xDE000}));

TEST_F(BoardSetup, WindowSeenThroughAnotherSlotStillComparesTheBase) {
    // The window at slot 3 shows the board's base: the comparison reads that window, not slot 0.
    host.reg(REG_WINDOW_SELECT).value = 3;
    host.setMemoryWord(kWindowBase + WINDOW_BASE_WORD_OFFSET, 0x1234);
    host.setMemoryWord(0xD6000 + WINDOW_BASE_WORD_OFFSET, host.ioBase());
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(host.log({"W37"}), (Log{"W37=38"}));
}

TEST_F(BoardSetup, SetsTheWorkingControllerTiming) {
    ASSERT_EQ(HbaSettings.MinSyncPeriod, 50);
    ASSERT_EQ(HbaSettings.ClockDivisor, 0u);
    ASSERT_TRUE(HbaSetupWindow(&adapter, &config));
    EXPECT_EQ(HbaSettings.MaxSyncOffset, 12);
    EXPECT_EQ(HbaSettings.MinSyncPeriod, 25);
    EXPECT_EQ(HbaSettings.ClockDivisor, 2u);
    EXPECT_EQ(HbaSettings.SelectionTimeout, 128u);
}

TEST_F(BoardSetup, UnmappableWindowFailsBeforeWritingAnything) {
    host.failMapping(kWindowBase, false);
    adapter.OptionFlags = 0x1234;

    EXPECT_FALSE(HbaSetupWindow(&adapter, &config));

    EXPECT_EQ(host.log(), (Log{"R31=00", "map mem D0000+8192=fail"}));
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0x1234u);
    EXPECT_EQ(PUCHAR{adapter.WindowData}, nullptr);
    EXPECT_EQ(ranges[5].RangeLength, 0u);
    EXPECT_EQ(HbaSettings.MinSyncPeriod, 50);
    EXPECT_EQ(HbaSettings.ClockDivisor, 0u);
}

}  // namespace
}  // namespace cbus::test
