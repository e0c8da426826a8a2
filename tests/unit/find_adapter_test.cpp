// HbaFindAdapter and HbaFindPortFromBios: finding, checking and describing the adapter.
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

class FindAdapter : public ConfigTest {
  protected:
    // Everything the probe did to the board's ports, and every mapping.
    Log portTraffic() const { return host.log({"map io", "S=", "R", "W", "BS", "BC", "P"}); }
};

TEST_F(FindAdapter, ProbesAWindowBoardInOrder) {
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(again, FALSE);

    Log expected = {
        "map io CC0+7=ok", "S=00",   "R+00=00",  // whatever the board latched, dropped
        "W32=55",          "R32=AA",             // echo
        "BS=01",                                 // DMA channel
        "R33=0F",                                // interrupt index
        "R31=00",          "R30=00",             // board setup ...
    };
    for (int i = 0; i < 8; i++) {
        expected.push_back(fmt::format("W5{}=0{}", i, i));
        expected.push_back(fmt::format("W6{}=20", i));
    }
    expected.insert(expected.end(), {
                                        "W37=38", "R30=00", "W30=40", "W30=00",  // ... done
                                        "R37=38",                                // mode
                                        "R33=0F",                                // own id
                                    });
    EXPECT_EQ(host.log({"map io", "S=", "R", "W", "BS"}), expected);
}

TEST_F(FindAdapter, DescribesAWindowBoard) {
    config.DemandMode = TRUE;
    config.InterruptMode = Latched;
    config.RealModeInitialized = TRUE;

    ASSERT_EQ(probe(), SP_RETURN_FOUND);

    EXPECT_EQ(ULONG{adapter.AdapterMode}, ADAPTER_MODE_WINDOW);
    EXPECT_EQ(PUCHAR{adapter.PioDataPort}, host.ioBasePointer() + PORT_FIFO);
    EXPECT_EQ(PUCHAR{adapter.BaseIoAddress}, host.ioBasePointer());
    EXPECT_EQ(HbaSettings.BoardPortBase, host.ioBase());
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0xA2u);
    EXPECT_EQ(adapter.InitiatorId, kBoardOwnId);
    EXPECT_EQ(config.InitiatorBusId[0], kBoardOwnId);

    EXPECT_EQ(config.MaximumTransferLength, 65536u);
    EXPECT_EQ(config.BusInterruptLevel, 5u);
    EXPECT_EQ(config.BusInterruptVector, 13u);
    EXPECT_EQ(config.InterruptMode, LevelSensitive);
    EXPECT_EQ(config.ScatterGather, TRUE);
    EXPECT_EQ(config.Master, TRUE);
    EXPECT_EQ(config.DmaChannel, 0xFFFFFFFFu);
    EXPECT_EQ(config.Dma32BitAddresses, TRUE);
    EXPECT_EQ(config.BufferAccessScsiPortControlled, TRUE);
    EXPECT_EQ(config.DemandMode, FALSE);
    EXPECT_EQ(config.RealModeInitialized, FALSE);
    EXPECT_EQ(config.NumberOfBuses, 1);

    EXPECT_EQ(ranges[0].RangeStart.QuadPart, host.ioBase());
    EXPECT_EQ(ranges[0].RangeLength, 7u);
    EXPECT_EQ(ranges[0].RangeInMemory, FALSE);
    EXPECT_EQ(ranges[5].RangeStart.QuadPart, kWindowBase);
    EXPECT_EQ(ranges[5].RangeInMemory, TRUE);
}

TEST_F(FindAdapter, DescribesAFifoPortBoard) {
    fifoBoard();
    config.Master = TRUE;
    config.ScatterGather = TRUE;
    config.DmaWidth = Width16Bits;
    config.Dma32BitAddresses = TRUE;

    ASSERT_EQ(probe(), SP_RETURN_FOUND);

    EXPECT_EQ(ULONG{adapter.AdapterMode}, ADAPTER_MODE_FIFO);
    EXPECT_EQ(PUCHAR{adapter.PioDataPort}, host.ioBasePointer() + PORT_FIFO);
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0xA2u);
    EXPECT_EQ(config.MaximumTransferLength, 65536u);
    EXPECT_EQ(config.ScatterGather, FALSE);
    EXPECT_EQ(config.Master, FALSE);
    EXPECT_EQ(config.Dma32BitAddresses, FALSE);
    EXPECT_EQ(config.DmaChannel, kBoardDmaChannel) << "left as configured";
    EXPECT_EQ(config.DmaWidth, Width16Bits) << "left as configured";
}

TEST_F(FindAdapter, DescribesAPlainBoardSetUpByItsFirmware) {
    firmwareBoard(0xFF);
    config.Master = TRUE;
    config.DmaWidth = Width16Bits;
    config.DmaSpeed = TypeA;
    config.Dma32BitAddresses = TRUE;

    ASSERT_EQ(probe(), SP_RETURN_FOUND);

    EXPECT_EQ(ULONG{adapter.AdapterMode}, ADAPTER_MODE_PLAIN);
    EXPECT_EQ(PUCHAR{adapter.PioDataPort}, nullptr);
    EXPECT_EQ(ULONG{adapter.OptionFlags}, 0x22u);
    EXPECT_EQ(config.MaximumTransferLength, 65536u);
    EXPECT_EQ(config.ScatterGather, FALSE);
    EXPECT_EQ(config.Master, TRUE) << "left as configured";
    EXPECT_EQ(config.DmaChannel, kBoardDmaChannel);
    EXPECT_EQ(config.DmaWidth, Width8Bits);
    EXPECT_EQ(config.DmaSpeed, Compatible);
    EXPECT_EQ(config.Dma32BitAddresses, FALSE);
    EXPECT_EQ(config.RealModeInitialized, TRUE);
}

struct ModeCase {
    uint8_t fifoStatus;
    ULONG mode;
};

class TransferMode : public FindAdapter, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TransferMode, FollowsTheFifoStatusRegister) {
    firmwareBoard(GetParam().fifoStatus);
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(ULONG{adapter.AdapterMode}, GetParam().mode);
    bool driverMoves = (GetParam().mode & MODE_NO_SYSTEM_DMA) != 0;
    EXPECT_EQ(PUCHAR{adapter.PioDataPort},
              driverMoves ? host.ioBasePointer() + PORT_FIFO : nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferMode,
    ::testing::Values(ModeCase{0xFF, ADAPTER_MODE_PLAIN},  // no register
                      ModeCase{0x1C, ADAPTER_MODE_FIFO},   // bit 2 first
                      ModeCase{0x04, ADAPTER_MODE_FIFO}, ModeCase{0x24, ADAPTER_MODE_FIFO},
                      ModeCase{0xFB, ADAPTER_MODE_WINDOW}, ModeCase{0x18, ADAPTER_MODE_WINDOW},
                      ModeCase{0x38, ADAPTER_MODE_WINDOW},
                      ModeCase{0x08, ADAPTER_MODE_PLAIN},  // one bit only
                      ModeCase{0x10, ADAPTER_MODE_PLAIN}, ModeCase{0x00, ADAPTER_MODE_PLAIN},
                      ModeCase{0xE3, ADAPTER_MODE_PLAIN}));

TEST_F(FindAdapter, WindowBoardWithTheBlockMoveTakesLongTransfers) {
    host.blockMove = true;
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(config.MaximumTransferLength, 65536u);
    EXPECT_EQ(ULONG{adapter.OptionFlags} & OPTION_OWN_BLOCK_MOVE, 0u);
}

TEST_F(FindAdapter, WindowBoardWithoutTheBlockMoveCopiesItselfInShortTransfers) {
    host.blockMove = false;
    ASSERT_EQ(probe("/fifomax=32"), SP_RETURN_FOUND);
    EXPECT_EQ(config.MaximumTransferLength, 4096u);
    EXPECT_EQ(ULONG{adapter.OptionFlags} & OPTION_OWN_BLOCK_MOVE, OPTION_OWN_BLOCK_MOVE);
}

TEST_F(FindAdapter, BlockMoveMattersOnlyInWindowMode) {
    fifoBoard();
    host.blockMove = false;
    ASSERT_EQ(probe("/fifomax=8"), SP_RETURN_FOUND);
    EXPECT_EQ(config.MaximumTransferLength, 8192u);
    EXPECT_EQ(ULONG{adapter.OptionFlags} & OPTION_OWN_BLOCK_MOVE, 0u);
}

// The options as the probe applies them.
enum class Board { Window, Fifo, Plain };

struct OptionEffect {
    const char* name;
    const char* argument;
    Board board;
    ULONG optionFlags;
    ULONG maximumTransfer;
    ULONG burstOption;
    ULONG cdr;
};

class OptionEffects : public FindAdapter, public ::testing::WithParamInterface<OptionEffect> {};

TEST_P(OptionEffects, Apply) {
    const OptionEffect& c = GetParam();
    if (c.board == Board::Fifo) {
        fifoBoard();
    } else if (c.board == Board::Plain) {
        firmwareBoard(0xFF);
    }

    ASSERT_EQ(probe(c.argument), SP_RETURN_FOUND);

    EXPECT_EQ(ULONG{adapter.OptionFlags}, c.optionFlags);
    EXPECT_EQ(config.MaximumTransferLength, c.maximumTransfer);
    EXPECT_EQ(HbaSettings.BurstSizeOption, c.burstOption);
    EXPECT_EQ(HbaSettings.CdrOption, c.cdr);
    ULONG burst = c.burstOption != 0 ? c.burstOption : 256;
    for (int target = 0; target < 8; target++) {
        for (int lun = 0; lun < 8; lun++) {
            EXPECT_EQ(ULONG{adapter.BurstSize[target][lun]}, burst) << target << ":" << lun;
        }
    }
}

const OptionEffect kOptionEffects[] = {
    // Disconnection: disabled by the setup, enabled by "/discon", disabled by "/nodisc".
    {"NoneOnWindow", nullptr, Board::Window, 0xA2, 65536, 0, 0},
    {"NoneOnFifo", nullptr, Board::Fifo, 0xA2, 65536, 0, 0},
    {"NoneOnPlain", nullptr, Board::Plain, 0x22, 65536, 0, 0},
    {"EmptyString", "", Board::Window, 0xA2, 65536, 0, 0},
    {"Discon", "/discon", Board::Window, 0x82, 65536, 0, 0},
    {"DisconOnFifo", "/discon", Board::Fifo, 0x82, 65536, 0, 0},
    {"DisconOnPlain", "/DISCON", Board::Plain, 0x02, 65536, 0, 0},
    {"Nodisc", "/nodisc", Board::Window, 0xA2, 65536, 0, 0},
    {"DisconAndNodisc", "/discon /nodisc", Board::Window, 0xA2, 65536, 0, 0},
    {"NodiscAndDiscon", "/nodisc /discon", Board::Plain, 0x22, 65536, 0, 0},
    {"Async", "/async", Board::Window, 0x1A2, 65536, 0, 0},
    {"AsyncAndDiscon", "/Async /Discon", Board::Fifo, 0x182, 65536, 0, 0},

    // "/fifomax": kilobytes, FIFO-port boards only, 0 meaning the default.
    {"Fifomax16", "/fifomax=16", Board::Fifo, 0xA2, 16 * 1024, 0, 0},
    {"Fifomax128HasNoUpperBound", "/fifomax=128", Board::Fifo, 0xA2, 128 * 1024, 0, 0},
    {"Fifomax0", "/fifomax=0", Board::Fifo, 0xA2, 65536, 0, 0},
    {"FifomaxWithoutValue", "/fifomax", Board::Fifo, 0xA2, 65536, 0, 0},
    {"FifomaxEmptyValue", "/fifomax= ", Board::Fifo, 0xA2, 65536, 0, 0},
    {"FifomaxProductWrapsToZero", "/fifomax=4194304", Board::Fifo, 0xA2, 65536, 0, 0},
    {"FifomaxOnWindow", "/fifomax=32", Board::Window, 0xA2, 65536, 0, 0},
    {"FifomaxOnPlain", "/fifomax=32", Board::Plain, 0x22, 65536, 0, 0},

    // "/smitmin": at most 2048, whole 32-bit words, below 4 the default.
    {"Smitmin512", "/smitmin=512", Board::Window, 0xA2, 65536, 512, 0},
    {"Smitmin4096IsCapped", "/smitmin=4096", Board::Window, 0xA2, 65536, 2048, 0},
    {"Smitmin2048", "/smitmin=2048", Board::Window, 0xA2, 65536, 2048, 0},
    {"Smitmin0IsTheDefault", "/smitmin=0", Board::Window, 0xA2, 65536, 0, 0},
    {"SmitminRoundsDownToWords", "/smitmin=510", Board::Window, 0xA2, 65536, 508, 0},
    {"SmitminJustBelowTheCap", "/smitmin=2047", Board::Window, 0xA2, 65536, 2044, 0},
    {"SmitminBelowOneWordIsTheDefault", "/smitmin=3", Board::Window, 0xA2, 65536, 0, 0},
    {"SmitminOneWord", "/smitmin=4", Board::Window, 0xA2, 65536, 4, 0},
    {"SmitminNegativeAsUnsignedIsCapped", "/smitmin=4294967295", Board::Window, 0xA2, 65536, 2048,
     0},
    {"SmitminFirstOccurrenceDecides", "/smitmin /smitmin=512", Board::Window, 0xA2, 65536, 0, 0},

    // "/cdr".
    {"Cdr", "/cdr", Board::Window, 0xA2, 65536, 0, 1},
    {"Cdrom", "/CDROM", Board::Window, 0xA2, 65536, 0, 1},
    {"Everything", "/cdr /smitmin=1024 /fifomax=4 /async /discon", Board::Fifo, 0x182, 4096, 1024,
     1},
};

std::string effectName(const ::testing::TestParamInfo<OptionEffect>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, OptionEffects, ::testing::ValuesIn(kOptionEffects), effectName);

TEST_F(FindAdapter, CallersStringIsLowerCased) {
    char argument[] = "/NODISC /FifoMax=8";
    ASSERT_EQ(HbaFindAdapter(&adapter, nullptr, nullptr, argument, &config, &again),
              SP_RETURN_FOUND);
    EXPECT_STREQ(argument, "/nodisc /fifomax=8");
}

struct InterruptCase {
    uint8_t index;
    ULONG level;
    ULONG vector;
};

class InterruptIndex : public FindAdapter, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptIndex, GivesLevelAndVector) {
    const InterruptCase& c = GetParam();
    host.reg(REG_BOARD_CONFIG).value = static_cast<uint8_t>((c.index << 3) | 0xC6);
    config.BusInterruptLevel = c.level;

    ASSERT_EQ(probe(), SP_RETURN_FOUND);

    EXPECT_EQ(HbaSettings.BoardInterruptLevel, c.level);
    EXPECT_EQ(HbaSettings.InterruptVectorSetting, c.vector);
    EXPECT_EQ(config.BusInterruptLevel, c.level);
    EXPECT_EQ(config.BusInterruptVector, c.vector);
    EXPECT_EQ(adapter.InitiatorId, 6) << "bits 0-2 of the same register";
}

INSTANTIATE_TEST_SUITE_P(Cases, InterruptIndex,
                         ::testing::Values(InterruptCase{0, 3, 11}, InterruptCase{1, 5, 13},
                                           InterruptCase{2, 6, 14}, InterruptCase{3, 9, 17},
                                           InterruptCase{4, 255, 255}, InterruptCase{5, 12, 20},
                                           InterruptCase{6, 15, 21}, InterruptCase{7, 255, 255}));

TEST_F(FindAdapter, NoInterruptSettingIsRejectedUnlessConfiguredSo) {
    for (uint8_t index : {4, 7}) {
        SCOPED_TRACE(index);
        host.reg(REG_BOARD_CONFIG).value = static_cast<uint8_t>(index << 3);
        config.BusInterruptLevel = 5;
        host.clearLog();

        EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);

        EXPECT_EQ(HbaSettings.BoardInterruptLevel, 255u) << "stored before the comparison";
        EXPECT_EQ(HbaSettings.InterruptVectorSetting, 255u);
        EXPECT_EQ(host.log({"map mem"}), Log{}) << "the board is not set up";
        EXPECT_EQ(portTraffic().back(), "R33=" + fmt::format("{:02X}", index << 3));
    }
}

TEST_F(FindAdapter, OtherConfiguredLevelIsRejected) {
    config.BusInterruptLevel = 6;
    EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);
    EXPECT_EQ(HbaSettings.BoardInterruptLevel, 5u);
    EXPECT_EQ(HbaSettings.InterruptVectorSetting, 13u);
    EXPECT_EQ(HbaSettings.BoardDmaChannel, kBoardDmaChannel);
    EXPECT_EQ(PUCHAR{adapter.BaseIoAddress}, host.ioBasePointer());
}

TEST_F(FindAdapter, OtherConfiguredDmaChannelIsRejectedBeforeTheModeIsKnown) {
    // A window board reports no channel once accepted, but the check comes first.
    firmwareBoard(0x18);
    for (ULONG configured : {0u, 2u, 3u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(configured);
        config.DmaChannel = configured;
        host.clearLog();

        EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);

        EXPECT_EQ(HbaSettings.BoardDmaChannel, kBoardDmaChannel);
        EXPECT_EQ(portTraffic().back(), "BS=01");
        EXPECT_EQ(config.DmaChannel, configured);
    }
}

// Boards that are not there, or not this board: nothing beyond the echo register is touched.
struct AbsentBoardCase {
    const char* name;
    bool storesOnly;  // the echo register gives back what was written
    uint8_t answer;   // else every port and register reads this
};

class AbsentBoard : public FindAdapter, public ::testing::WithParamInterface<AbsentBoardCase> {};

TEST_P(AbsentBoard, IsNotFound) {
    const AbsentBoardCase& c = GetParam();
    host.reg(REG_ECHO).callback = nullptr;
    if (!c.storesOnly) {
        uint8_t answer = c.answer;
        host.reg(REG_ECHO).callback = [answer] { return answer; };
        host.reg(0).callback = [answer] { return answer; };
        host.aux().value = answer;
        host.boardStatus().value = answer;
        host.reg(REG_BOARD_CONFIG).value = answer;
    }

    EXPECT_EQ(probe("/cdr /smitmin=64"), SP_RETURN_NOT_FOUND);

    EXPECT_EQ(again, FALSE);
    EXPECT_EQ(PUCHAR{adapter.BaseIoAddress}, host.ioBasePointer());
    EXPECT_EQ(HbaSettings.BoardPortBase, host.ioBase());
    EXPECT_EQ(HbaSettings.CdrOption, 1u);
    EXPECT_EQ(HbaSettings.BurstSizeOption, 64u);
    Log traffic = portTraffic();
    ASSERT_FALSE(traffic.empty());
    EXPECT_EQ(traffic.back(), c.storesOnly ? "R32=55" : fmt::format("R32={:02X}", c.answer));
    EXPECT_EQ(host.log({"map mem"}), Log{});
    EXPECT_EQ(ULONG{adapter.AdapterMode}, 0u);
}

std::string absentName(const ::testing::TestParamInfo<AbsentBoardCase>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, AbsentBoard,
                         ::testing::Values(AbsentBoardCase{"StoresWhatIsWritten", true, 0},
                                           AbsentBoardCase{"FloatingBusAllFF", false, 0xFF},
                                           AbsentBoardCase{"AllZero", false, 0x00},
                                           AbsentBoardCase{"All55", false, 0x55},
                                           AbsentBoardCase{"AlmostTheAnswer", false, 0xAB}),
                         absentName);

TEST_F(FindAdapter, EchoingBoardThatReadsFFElsewhereHasTheWrongChannel) {
    host.aux().value = 0xFF;
    host.boardStatus().value = 0xFF;
    host.reg(REG_BOARD_CONFIG).value = 0xFF;
    EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);
    EXPECT_EQ(HbaSettings.BoardDmaChannel, 3u);
}

TEST_F(FindAdapter, UnmappablePortsAreAnError) {
    host.failMapping(host.ioBase(), true);
    EXPECT_EQ(probe("/smitmin=512 /cdr"), SP_RETURN_ERROR);
    EXPECT_EQ(again, FALSE);
    EXPECT_EQ(portTraffic(), (Log{"map io CC0+7=fail"}));
    EXPECT_EQ(PUCHAR{adapter.BaseIoAddress}, nullptr);
    EXPECT_EQ(HbaSettings.BurstSizeOption, 512u) << "options stay set on a failed probe";
    EXPECT_EQ(HbaSettings.CdrOption, 1u);
}

TEST_F(FindAdapter, UnmappableWindowIsAnError) {
    host.failMapping(kWindowBase, false);
    EXPECT_EQ(probe(), SP_RETURN_ERROR);
    EXPECT_EQ(host.log({"map"}), (Log{"map io CC0+7=ok", "map mem D0000+8192=fail"}));
    EXPECT_EQ(HbaSettings.BoardInterruptLevel, 5u);
    EXPECT_EQ(ULONG{adapter.AdapterMode}, 0u);
    EXPECT_EQ(host.log({"unmap"}), Log{}) << "the port mapping is kept";
}

TEST_F(FindAdapter, ConfiguredRangeLengthIsMappedButSevenIsReported) {
    ranges[0].RangeLength = 16;
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(host.log({"map io"}), (Log{"map io CC0+16=ok"}));
    EXPECT_EQ(ranges[0].RangeLength, 7u);
}

TEST_F(FindAdapter, ConfiguredRangeShorterThanThePortsMapsAllSeven) {
    for (ULONG length : {0u, 1u, 6u}) {
        SCOPED_TRACE(length);
        ranges[0].RangeStart.QuadPart = host.ioBase();
        ranges[0].RangeLength = length;
        config.DmaChannel = kBoardDmaChannel;  // a window board reported none
        host.clearLog();
        ASSERT_EQ(probe(), SP_RETURN_FOUND);
        EXPECT_EQ(host.log({"map io"}), (Log{"map io CC0+7=ok"}));
    }
}

TEST_F(FindAdapter, OnlyTheLow32BitsOfTheConfiguredStartCount) {
    ranges[0].RangeStart.QuadPart = 0x100000000ll + host.ioBase();
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(host.log({"map io"}), (Log{"map io CC0+7=ok"}));
}

TEST_F(FindAdapter, ConfiguredRangeOutsideTheIoSpaceIsBadConfig) {
    struct Range {
        uint32_t start, length;
    };
    for (Range r : {Range{0x10000, 7}, Range{0xFFFA, 7}, Range{0xFFF0, 17},
                    Range{0xCC0, 0xFFFFFFFF}, Range{0xFFFFFFF0, 0x20}}) {
        SCOPED_TRACE(fmt::format("{:X}+{}", r.start, r.length));
        ranges[0].RangeStart.QuadPart = r.start;
        ranges[0].RangeLength = r.length;
        host.clearLog();
        EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);
        EXPECT_EQ(portTraffic(), Log{});
    }
    ranges[0].RangeStart.QuadPart = 0xFFF0;
    ranges[0].RangeLength = 16;
    host.clearLog();
    probe();
    EXPECT_EQ(host.log({"map io"}), (Log{"map io FFF0+16=ok"})) << "the last ports still fit";
}

TEST_F(FindAdapter, RecordWithoutTheSixAccessRangesIsBadConfig) {
    config.NumberOfAccessRanges = 5;
    EXPECT_EQ(probe("/cdr"), SP_RETURN_BAD_CONFIG);
    EXPECT_EQ(again, FALSE);
    EXPECT_EQ(HbaSettings.CdrOption, 1u);
    EXPECT_EQ(host.log(), Log{});

    config.NumberOfAccessRanges = ACCESS_RANGE_ENTRIES;
    config.AccessRanges = nullptr;
    EXPECT_EQ(probe(), SP_RETURN_BAD_CONFIG);
    EXPECT_EQ(host.log(), Log{});
}

TEST_F(FindAdapter, ConfiguredOwnIdIsTakenUnmaskedWithoutReadingTheBoard) {
    config.InitiatorBusId[0] = 0x0D;
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(adapter.InitiatorId, 0x0D);
    EXPECT_EQ(config.InitiatorBusId[0], 0x0D);
    EXPECT_EQ(host.log({"R33"}), (Log{"R33=0F"})) << "read once, for the interrupt index";
}

TEST_F(FindAdapter, GivesEveryTargetAndUnitItsStartingState) {
    for (int target = 0; target < 8; target++) {
        adapter.TargetSync[target] = {static_cast<UCHAR>(target & 3), 5, 12, 1};
        for (int lun = 0; lun < 8; lun++) {
            HbaSettings.ByteModeTable[target][lun] = 1;
            adapter.DeviceType[target][lun] = 0x05;
        }
    }

    ASSERT_EQ(probe(), SP_RETURN_FOUND);

    for (int target = 0; target < 8; target++) {
        EXPECT_EQ(adapter.TargetSync[target].SyncFlags, target & 3) << "not the probe's";
        EXPECT_EQ(adapter.TargetSync[target].SyncPeriod, 2);
        EXPECT_EQ(adapter.TargetSync[target].SyncOffset, 0);
        EXPECT_EQ(adapter.TargetSync[target].SyncFast, 0);
        for (int lun = 0; lun < 8; lun++) {
            EXPECT_EQ(HbaSettings.ByteModeTable[target][lun], 0);
            EXPECT_EQ(adapter.DeviceType[target][lun], 0x7F);
            EXPECT_EQ(ULONG{adapter.BurstSize[target][lun]}, 256u);
        }
    }
}

TEST_F(FindAdapter, LeavesTheWorkingControllerTimingOnEveryBoard) {
    for (Board board : {Board::Window, Board::Fifo, Board::Plain}) {
        port::restoreDriverSettings();
        config.DmaChannel = kBoardDmaChannel;  // a window board reported none
        if (board == Board::Fifo) {
            fifoBoard();
        } else if (board == Board::Plain) {
            firmwareBoard(0xFF);
        }
        ASSERT_EQ(probe(), SP_RETURN_FOUND);
        EXPECT_EQ(HbaSettings.MaxSyncOffset, 12);
        EXPECT_EQ(HbaSettings.MinSyncPeriod, 25);
        EXPECT_EQ(HbaSettings.ClockDivisor, 2u);
        EXPECT_EQ(HbaSettings.SelectionTimeout, 128u);
    }
}

// The firmware data: byte at 0x4BC names a 4 KB block whose word at 0x1800 is the I/O base.
class FirmwareBase : public FindAdapter {
  protected:
    FirmwareBase() {
        ranges[0].RangeStart.QuadPart = 0;
        ranges[0].RangeLength = 16;
        host.setMemory(0x4BC, {0xD4});
        host.setMemoryWord(0xD4000 + 0x1800, static_cast<uint16_t>(host.ioBase()));
    }
};

TEST_F(FirmwareBase, LocatesThePortsAndReleasesItsMappings) {
    ASSERT_EQ(probe(), SP_RETURN_FOUND);
    EXPECT_EQ(
        host.log({"map", "unmap", "M1:4BC", "M2:D5800"}),
        (Log{"map mem 400+3072=ok", "M1:4BC>D4", "unmap mem 400", "map mem D4000+8192=ok",
             "M2:D5800>0CC0", "unmap mem D4000", "map io CC0+7=ok", "map mem D0000+8192=ok"}));
    EXPECT_EQ(ranges[0].RangeStart.QuadPart, host.ioBase());
    EXPECT_EQ(ranges[0].RangeLength, 7u);
}

TEST_F(FirmwareBase, ReturnsTheWordZeroExtended) {
    host.setMemory(0x4BC, {0x10});
    host.setMemoryWord(0x10000 + 0x1800, 0xFEDC);
    EXPECT_EQ(HbaFindPortFromBios(&adapter, &config), 0xFEDCu);
}

TEST_F(FirmwareBase, UnmappableFirmwareDataGivesZero) {
    host.failMapping(0x400, false);
    EXPECT_EQ(HbaFindPortFromBios(&adapter, &config), 0u);
    EXPECT_EQ(host.log({"map", "unmap", "M"}), (Log{"map mem 400+3072=fail"}));
}

TEST_F(FirmwareBase, UnmappableFirmwareBlockGivesZeroAfterReleasingTheFirst) {
    host.failMapping(0xD4000, false);
    EXPECT_EQ(HbaFindPortFromBios(&adapter, &config), 0u);
    EXPECT_EQ(host.log({"map", "unmap"}),
              (Log{"map mem 400+3072=ok", "unmap mem 400", "map mem D4000+8192=fail"}));
}

// A base the board cannot have is no board: nothing is mapped in I/O space or written.
struct BadFirmwareCase {
    const char* name;
    bool failArea;
    bool failBlock;
    uint16_t word;
};

class BadFirmwareBase : public FirmwareBase,
                        public ::testing::WithParamInterface<BadFirmwareCase> {};

TEST_P(BadFirmwareBase, IsNotFoundBeforeAnyPortIsTouched) {
    const BadFirmwareCase& c = GetParam();
    if (c.failArea) {
        host.failMapping(0x400, false);
    }
    if (c.failBlock) {
        host.failMapping(0xD4000, false);
    }
    host.setMemoryWord(0xD4000 + 0x1800, c.word);

    EXPECT_EQ(probe("/cdr"), SP_RETURN_NOT_FOUND);

    EXPECT_EQ(portTraffic(), Log{});
    EXPECT_EQ(PUCHAR{adapter.BaseIoAddress}, nullptr);
    EXPECT_EQ(HbaSettings.CdrOption, 1u);
}

std::string badFirmwareName(const ::testing::TestParamInfo<BadFirmwareCase>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFirmwareBase,
    ::testing::Values(BadFirmwareCase{"DataAreaUnmappable", true, false, 0x0CC0},
                      BadFirmwareCase{"BlockUnmappable", false, true, 0x0CC0},
                      BadFirmwareCase{"BaseZero", false, false, 0x0000},
                      BadFirmwareCase{"PortsPastTheIoSpace", false, false, 0xFFFA},
                      BadFirmwareCase{"TopOfTheIoSpace", false, false, 0xFFFF}),
    badFirmwareName);

TEST_F(FirmwareBase, HighestBaseThatHoldsThePortsIsTried) {
    host.setMemoryWord(0xD4000 + 0x1800, 0xFFF9);
    probe();
    EXPECT_EQ(host.log({"map io"}), (Log{"map io FFF9+7=ok"}));
}

}  // namespace
}  // namespace cbus::test
