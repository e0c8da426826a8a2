// Register access and the issuing of controller commands: the count, the phase, the
// disconnect-free substitution, and the choice of data path in the modes without system DMA.
#include <fmt/format.h>

#include <vector>

#include "tests/support/driver_fixture.h"

namespace cbus::test {
namespace {

class IssueCommandTest : public DriverTest {
  protected:
    IssueCommandTest() {
        unit = host.addUnit(2, 0);
        host.name(&srb, "srb");
    }

    // Connects a request of the given kind, as selection does before a data command.
    void connect(UCHAR opcode, ULONG flags, ULONG length) {
        srb = makeSrb(2, 0, opcode, flags, length);
        unit->ActiveSrb = &srb;
        adapter.ActiveLuExtension = unit;
        buffer.assign(length, 0);
        adapter.CurrentDataPointer = buffer.data();
        adapter.CurrentDataLength = length;
    }

    PHW_LU_EXTENSION unit;
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> buffer;
};

TEST_F(IssueCommandTest, RegisterAccessWritesTheAddressBeforeEveryAccess) {
    host.reg(0x33).value = 0x2F;
    HbaWriteRegister(&adapter, 0x32, 0x55);
    EXPECT_EQ(HbaReadRegister(&adapter, 0x33), 0x2F);
    EXPECT_EQ(host.log(), (std::vector<std::string>{"W32=55", "R33=2F"}));
}

TEST_F(IssueCommandTest, TransferCountTakesOneAddressWriteMostSignificantFirst) {
    HbaWriteTransferCount(&adapter, 0x123456);
    host.reg(0x12).value = 0xAB;
    host.reg(0x13).value = 0xCD;
    host.reg(0x14).value = 0xEF;
    EXPECT_EQ(HbaReadTransferCount(&adapter), 0xABCDEFu);
    EXPECT_EQ(host.log(), (std::vector<std::string>{"W12=12", "W+13=34", "W+14=56", "R12=AB",
                                                    "R+13=CD", "R+14=EF"}));
}

struct CountCase {
    LONG count;
    std::vector<std::string> expected;
};

TEST_F(IssueCommandTest, CountMinusOneLeavesTheCountRegistersAndOthersWriteTheLow24Bits) {
    const std::vector<CountCase> cases = {
        {CMD_NO_COUNT, {"S=00", "W18=20"}},
        {0, {"S=00", "W12=00", "W+13=00", "W+14=00", "W18=20"}},
        {0x10000, {"S=00", "W12=01", "W+13=00", "W+14=00", "W18=20"}},
        {0x7F123456, {"S=00", "W12=12", "W+13=34", "W+14=56", "W18=20"}},
    };
    for (const CountCase& c : cases) {
        host.clearLog();
        EXPECT_EQ(HbaIssueCommand(&adapter, CMD_TRANSFER_INFO, c.count, 0), TRUE);
        EXPECT_EQ(host.log(), c.expected) << "count " << c.count;
    }
}

TEST_F(IssueCommandTest, WaitsForCommandInProgressToClear) {
    host.aux().queue = {AUX_CIP, AUX_CIP, AUX_CIP};
    EXPECT_EQ(HbaIssueCommand(&adapter, CMD_NEGATE_ACK, CMD_NO_COUNT, 0), TRUE);
    EXPECT_EQ(host.log(), (std::vector<std::string>{"S=10", "stall 1", "S=10", "stall 1", "S=10",
                                                    "stall 1", "S=00", "W18=03"}));
}

TEST_F(IssueCommandTest, ControllerStuckBusyWritesNothing) {
    host.aux().value = AUX_CIP | AUX_BSY;
    EXPECT_EQ(HbaIssueCommand(&adapter, CMD_SELECT_ATN_TRANSFER, 0, 0x45), FALSE);
    // One read, then 50 stalls each followed by a read.
    EXPECT_EQ(host.totalStall(), 50u);
    EXPECT_TRUE(host.registerWrites().empty());
    EXPECT_EQ(host.log({"S"}), std::vector<std::string>{"S=30 x51"});
}

struct SelectCase {
    const char* name;
    UCHAR command;
    ULONG srbFlags;
    ULONG optionFlags;
    UCHAR written;
};

class SelectTransferTest : public IssueCommandTest,
                           public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SelectTransferTest, DisconnectFreeRequestsSelectWithoutAtn) {
    const SelectCase& c = GetParam();
    connect(0x00, c.srbFlags, 0);
    adapter.OptionFlags = c.optionFlags;
    adapter.AdapterMode = ADAPTER_MODE_PLAIN;
    HbaIssueCommand(&adapter, c.command, 0, 0x45);
    EXPECT_EQ(host.log({"W10", "W18"}),
              (std::vector<std::string>{"W10=45", fmt::format("W18={:02X}", c.written)}));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SelectTransferTest,
    ::testing::Values(
        SelectCase{"WithAtnAllowed", CMD_SELECT_ATN_TRANSFER, 0, 0, CMD_SELECT_ATN_TRANSFER},
        SelectCase{"RequestDisablesDisconnect", CMD_SELECT_ATN_TRANSFER,
                   SRB_FLAGS_DISABLE_DISCONNECT, 0, CMD_SELECT_TRANSFER},
        SelectCase{"AdapterDisablesDisconnect", CMD_SELECT_ATN_TRANSFER, 0, OPTION_NO_DISCONNECT,
                   CMD_SELECT_TRANSFER},
        SelectCase{"WithoutAtnPassedDirectly", CMD_SELECT_TRANSFER, 0, 0, CMD_SELECT_TRANSFER}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(IssueCommandTest, OtherCommandsWriteNoPhase) {
    adapter.AdapterMode = ADAPTER_MODE_PLAIN;
    HbaIssueCommand(&adapter, CMD_SELECT_ATN, CMD_NO_COUNT, 0x45);
    EXPECT_TRUE(host.log({"W10"}).empty());
}

TEST_F(IssueCommandTest, PlainModeWritesOnlyCountPhaseAndCommand) {
    adapter.AdapterMode = ADAPTER_MODE_PLAIN;
    connect(0x28, SRB_FLAGS_DATA_IN, 4096);
    HbaIssueCommand(&adapter, CMD_SELECT_TRANSFER, 4096, 0x45);
    EXPECT_EQ(host.log(), (std::vector<std::string>{"S=00", "W12=00", "W+13=10", "W+14=00",
                                                    "W10=45", "W18=09"}));
}

TEST_F(IssueCommandTest, FifoModeArmsTheBoardWritesTheCommandThenRunsTheEngine) {
    adapter.AdapterMode = ADAPTER_MODE_FIFO;
    connect(0x28, SRB_FLAGS_DATA_IN, 512);
    host.reg(REG_FIFO_STATUS).value = FIFO_STOPPED;  // the engine ends at once
    HbaIssueCommand(&adapter, CMD_TRANSFER_INFO, 512, 0);
    std::vector<std::string> log = host.log();
    ASSERT_GE(log.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 8),
              (std::vector<std::string>{"S=00", "W12=00", "W+13=02", "W+14=00", "BC=02", "W18=20",
                                        "S=00", "R37=02"}));
    EXPECT_TRUE(host.log({"W37"}).empty());
}

// A command the controller ignored (a reselection's interrupt landed first) starts no data phase:
// no engine waits for one, in any of the three driver-run paths, and the window-mode FIFO path
// is switched back all the same.
struct IgnoredCase {
    const char* name;
    ULONG mode;
    ULONG length;
    std::vector<std::string> tail;  // the log from the command on
};

class IgnoredCommandTest : public IssueCommandTest,
                           public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(IgnoredCommandTest, RunsNoEngine) {
    const IgnoredCase& c = GetParam();
    adapter.AdapterMode = c.mode;
    connect(0x2A, SRB_FLAGS_DATA_OUT, c.length);
    host.reg(REG_FIFO_STATUS).value = 0x3B;
    host.aux().queue = {0x00, AUX_INT | AUX_LCI};
    EXPECT_EQ(HbaIssueCommand(&adapter, CMD_SELECT_ATN_TRANSFER, c.length, 0), TRUE);
    std::vector<std::string> log = host.log();
    const auto command = std::find(log.begin(), log.end(), "W18=08");
    ASSERT_NE(command, log.end());
    EXPECT_EQ(std::vector<std::string>(command, log.end()), c.tail);
    EXPECT_TRUE(host.errors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, IgnoredCommandTest,
    ::testing::Values(IgnoredCase{"FifoPort", ADAPTER_MODE_FIFO, 4096, {"W18=08", "S=C0"}},
                      IgnoredCase{"Window", ADAPTER_MODE_WINDOW, 4096, {"W18=08", "S=C0"}},
                      IgnoredCase{"FifoPathInWindowMode",
                                  ADAPTER_MODE_WINDOW,
                                  258,
                                  {"W18=08", "S=C0", "W37=38"}}),
    [](const auto& p) { return p.param.name; });

TEST_F(IssueCommandTest, DataCountWithNoConnectedRequestMovesNothing) {
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    adapter.ActiveLuExtension = nullptr;
    EXPECT_EQ(HbaIssueCommand(&adapter, CMD_TRANSFER_INFO, 4096, 0), TRUE);
    EXPECT_EQ(host.log(), (std::vector<std::string>{"S=00", "W12=00", "W+13=10", "W+14=00", "BC=02",
                                                    "W18=20"}));
}

TEST_F(IssueCommandTest, FifoPathInWindowModeIsSwitchedBackEvenAfterAnEngineTimeOut) {
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    connect(0x28, SRB_FLAGS_DATA_IN, 258);
    host.reg(REG_FIFO_STATUS).queue = {0x3B};
    host.reg(REG_FIFO_STATUS).callback = [] { return UCHAR{0}; };  // never ready, never stopped
    host.aux().value = AUX_INT;                                    // the reset's waits pass

    HbaIssueCommand(&adapter, CMD_TRANSFER_INFO, 258, 0);

    EXPECT_EQ(host.log({"log"}), std::vector<std::string>{"log srb 0:2:0 code=4 id=22"});
    std::vector<std::string> writes = host.log({"W37"});
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), "W37=38");
}

struct PathCase {
    const char* name;
    UCHAR opcode;
    ULONG flags;
    LONG count;
    bool byteMode;
    bool window;
};

class WindowPathTest : public IssueCommandTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(WindowPathTest, ChoosesTheWindowOnlyForWholeWordsOfSuitableCommands) {
    const PathCase& c = GetParam();
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    connect(c.opcode, c.flags, static_cast<ULONG>(c.count));
    HbaSettings.ByteModeTable[2][0] = c.byteMode ? 1 : 0;
    // The engines end at once: the window reports its end, the FIFO its stop.
    host.boardStatus().value = BOARD_STATUS_WINDOW_ENDED;
    host.reg(REG_FIFO_STATUS).queue = {0x3B};
    host.reg(REG_FIFO_STATUS).callback = [] { return UCHAR{FIFO_STOPPED}; };

    HbaIssueCommand(&adapter, CMD_TRANSFER_INFO, c.count, 0);

    std::vector<std::string> expected;
    if (c.window) {
        bool in = (c.flags & SRB_FLAGS_DATA_IN) != 0;
        expected = {"BC=02", in ? "W44=01" : "W44=03", "W18=20", "W44=00"};
    } else {
        // Path bit 2 only for the transfer; the kept bits 5-2 come back without it.
        expected = {"BC=02", "R37=3B", "W37=3C", "W18=20", "R37=02", "W37=38"};
    }
    EXPECT_EQ(host.log({"BC", "W44", "W37", "R37", "W18"}), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, WindowPathTest,
    ::testing::Values(PathCase{"Read4096", 0x28, SRB_FLAGS_DATA_IN, 4096, false, true},
                      PathCase{"Read4100NotWholeUnits", 0x28, SRB_FLAGS_DATA_IN, 4100, false,
                               false},
                      PathCase{"Write4100WholeWords", 0x2A, SRB_FLAGS_DATA_OUT, 4100, false, true},
                      PathCase{"Read258", 0x28, SRB_FLAGS_DATA_IN, 258, false, false},
                      PathCase{"Write258", 0x2A, SRB_FLAGS_DATA_OUT, 258, false, false},
                      PathCase{"Read255", 0x28, SRB_FLAGS_DATA_IN, 255, false, false},
                      PathCase{"Write252", 0x2A, SRB_FLAGS_DATA_OUT, 252, false, false},
                      PathCase{"Write256", 0x2A, SRB_FLAGS_DATA_OUT, 256, false, true},
                      PathCase{"Opcode55", 0x55, SRB_FLAGS_DATA_OUT, 4096, false, false},
                      PathCase{"OpcodeC8", 0xC8, SRB_FLAGS_DATA_IN, 4096, false, false},
                      PathCase{"Opcode9F", 0x9F, SRB_FLAGS_DATA_IN, 4096, false, false},
                      PathCase{"OpcodeA8", 0xA8, SRB_FLAGS_DATA_IN, 4096, false, true},
                      PathCase{"OpcodeE0", 0xE0, SRB_FLAGS_DATA_IN, 4096, false, true},
                      PathCase{"Opcode08", 0x08, SRB_FLAGS_DATA_IN, 4096, false, true},
                      PathCase{"ByteModeUnit", 0x28, SRB_FLAGS_DATA_IN, 4096, true, false},
                      // Both directions set: data-in is taken.
                      PathCase{"BothDirectionsRead", 0x28, SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT,
                               4096, false, true}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace cbus::test
