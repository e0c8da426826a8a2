// HbaAdapterState: saving the controller's registers for the firmware and restoring them.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;
// The records are packed: their wider fields are copied (ULONG{...}) before EXPECT_EQ binds them
// to references.

class AdapterState : public DriverTest {
  protected:
    AdapterState() {
        host.readOnly(REG_SCSI_STATUS);
        adapter.InitiatorId = 7;
    }

    // INT after the pulse, CIP clear for the Reset command, INT after it; the chip status
    // read after the pulse, then the one after the Reset command.
    void controllerAnswers(uint8_t resetStatus) {
        host.aux().queue = {AUX_INT, 0x00, AUX_INT};
        host.reg(REG_SCSI_STATUS).queue = {0x00, resetStatus};
    }

    BOOLEAN restore() { return HbaAdapterState(&adapter, nullptr, FALSE); }
    Log traffic() const { return host.log({"R", "W", "S=", "stall"}); }
};

class SaveRequest : public AdapterState, public ::testing::WithParamInterface<UCHAR> {};

// TRUE is the documented request; every other non-zero value saves too.
TEST_P(SaveRequest, CopiesFiveRegisters) {
    host.reg(REG_OWN_ID).value = 0x8F;
    host.reg(REG_CONTROL).value = 0x2F;
    host.reg(REG_TIMEOUT).value = 0x80;
    host.reg(REG_SYNC).value = 0x3C;
    host.reg(REG_SOURCE_ID).value = 0x87;
    adapter.SavedDestinationId = 0;

    EXPECT_EQ(HbaAdapterState(&adapter, nullptr, GetParam()), TRUE);

    EXPECT_EQ(host.log(), (Log{"R00=8F", "R01=2F", "R02=80", "R11=3C", "R16=87"}));
    EXPECT_EQ(adapter.SavedOwnId, 0x8F);
    EXPECT_EQ(adapter.SavedControl, 0x2F);
    EXPECT_EQ(adapter.SavedTimeout, 0x80);
    EXPECT_EQ(adapter.SavedSync, 0x3C);
    EXPECT_EQ(adapter.SavedSourceId, 0x87);
    EXPECT_EQ(adapter.SavedDestinationId, 0) << "nothing fills it";
}

INSTANTIATE_TEST_SUITE_P(Values, SaveRequest, ::testing::Values(TRUE, 2, 0x7F, 0x80, 0xFF));

TEST_F(AdapterState, RestoreResetsAndWritesTheSavedValuesBackInOrder) {
    host.reg(REG_BOARD_CONTROL).value = 0xF0;
    adapter.SavedOwnId = 0x85;
    adapter.SavedControl = 0x2F;
    adapter.SavedTimeout = 0x80;
    adapter.SavedSync = 0x3C;
    adapter.SavedSourceId = 0x87;
    adapter.InitiatorId = 6;
    controllerAnswers(STATUS_RESET);

    EXPECT_EQ(restore(), TRUE);

    EXPECT_EQ(traffic(),
              (Log{
                  "R30=F0",        "W30=F4",     "W30=F6",   "stall 2000",  // reset pulse
                  "W30=F4",        "stall 2000",                            //
                  "S=80",          "R17=00",     "stall 10",                // its interrupt
                  "W00=86",                                                 // own id, FS kept
                  "S=00",          "W18=00",                                // Reset command
                  "stall 1000",    "S=80",       "R17=00",                  // its interrupt
                  "W01=2F",        "W02=80",     "W11=3C",   "W15=00",     "W16=80",
                  "stall 2500000",  // the bus settles
              }));
}

TEST_F(AdapterState, RestoreWithoutSaveWritesZerosAndTheOwnId) {
    controllerAnswers(STATUS_RESET_EAF);
    EXPECT_EQ(restore(), TRUE);
    EXPECT_EQ(host.log({"W0", "W1"}),
              (Log{"W00=07", "W18=00", "W01=00", "W02=00", "W11=00", "W15=00", "W16=00"}));
}

TEST_F(AdapterState, SecondRestoreWritesTheSameValues) {
    adapter.SavedControl = 0x2F;
    adapter.SavedSourceId = 0x90;
    controllerAnswers(STATUS_RESET);
    ASSERT_EQ(restore(), TRUE);
    Log first = host.log({"W"});
    host.clearLog();
    controllerAnswers(STATUS_RESET);
    ASSERT_EQ(restore(), TRUE);
    EXPECT_EQ(host.log({"W"}), first);
}

TEST_F(AdapterState, SaveThenRestoreGivesTheFirmwareItsRegisters) {
    host.reg(REG_OWN_ID).value = 0x47;
    host.reg(REG_CONTROL).value = 0x0F;
    host.reg(REG_TIMEOUT).value = 0x20;
    host.reg(REG_SYNC).value = 0x21;
    host.reg(REG_SOURCE_ID).value = 0x8B;
    ASSERT_EQ(HbaAdapterState(&adapter, nullptr, TRUE), TRUE);
    host.clearLog();

    controllerAnswers(STATUS_RESET);
    ASSERT_EQ(restore(), TRUE);

    EXPECT_EQ(host.log({"W0", "W1"}),
              (Log{"W00=47", "W18=00", "W01=0F", "W02=20", "W11=21", "W15=00", "W16=80"}));
}

// The id is the adapter's own, three bits wide: a configured id above 7 must not reach the
// frequency-select bits the firmware set.
TEST_F(AdapterState, OwnIdAboveSevenCannotChangeTheFrequencySelect) {
    adapter.SavedOwnId = 0x80;
    adapter.InitiatorId = 0x4F;
    controllerAnswers(STATUS_RESET);
    ASSERT_EQ(restore(), TRUE);
    EXPECT_EQ(host.log({"W00"}), (Log{"W00=87"}));
}

TEST_F(AdapterState, NoInterruptAfterThePulseSkipsTheStatusRead) {
    // 51 reads without INT after the pulse, CIP clear for the command, then INT.
    host.aux().queue = std::deque<uint8_t>(51, 0x00);
    host.aux().queue.push_back(0x00);
    host.aux().queue.push_back(AUX_INT);
    host.reg(REG_SCSI_STATUS).queue = {STATUS_RESET};

    EXPECT_EQ(restore(), TRUE);

    EXPECT_EQ(host.totalStall(), 2000u + 2000u + 50u + 1000u + 2500000u)
        << "50 polls of 1 us, no stall after a status read";
    Log order = host.log({"R17", "W00", "W18"});
    EXPECT_EQ(order, (Log{"W00=07", "W18=00", "R17=00"}));
}

TEST_F(AdapterState, ControllerThatNeverInterruptsFailsTheRestore) {
    adapter.SavedControl = 0x2F;
    adapter.ActiveFlags = 0x104;
    adapter.BusState = BUS_CONNECTED;

    EXPECT_EQ(restore(), FALSE);

    EXPECT_EQ(host.log({"W0", "W1", "R17"}), (Log{"W00=07", "W18=00"}))
        << "the own-ID register is written, the others are not";
    EXPECT_EQ(host.log({"stall 10"}), (Log{"stall 1000", "stall 10 x1000"}));
    EXPECT_EQ(host.log({"stall 2500000"}), Log{});
    EXPECT_EQ(ULONG{adapter.ActiveFlags}, 0x104u);
    EXPECT_EQ(ULONG{adapter.BusState}, ULONG{BUS_CONNECTED});
}

TEST_F(AdapterState, BusyControllerLeavesTheResetUnwrittenAndTheWaitDecides) {
    host.aux().value = AUX_CIP;
    EXPECT_EQ(restore(), FALSE);
    EXPECT_EQ(host.log({"W18"}), Log{});
}

struct ResetStatusCase {
    uint8_t status;
    BOOLEAN restored;
};

class ResetStatus : public AdapterState, public ::testing::WithParamInterface<ResetStatusCase> {};

TEST_P(ResetStatus, OnlyTheLowThreeBitsDecide) {
    controllerAnswers(GetParam().status);
    EXPECT_EQ(restore(), GetParam().restored);
    EXPECT_EQ(host.log({"W01"}).size(), GetParam().restored ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResetStatus,
                         ::testing::Values(ResetStatusCase{0x00, TRUE}, ResetStatusCase{0x01, TRUE},
                                           ResetStatusCase{0x08, TRUE}, ResetStatusCase{0x41, TRUE},
                                           ResetStatusCase{0xF9, TRUE},
                                           ResetStatusCase{0x02, FALSE},
                                           ResetStatusCase{0x42, FALSE},
                                           ResetStatusCase{0x07, FALSE},
                                           ResetStatusCase{0x16, FALSE}));

}  // namespace
}  // namespace cbus::test
