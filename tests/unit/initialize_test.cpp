// Controller initialization, bus reset and the completion of every outstanding request.
#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;

// The records are packed: compare copies of their fields, never references to them.
template <class T>
T field(T value) {
    return value;
}

class InitializeTest : public DriverTest {
  protected:
    InitializeTest() {
        // A controller that raises INT at once and completes its Reset with status 0x01.
        host.aux().value = AUX_INT;
        host.reg(REG_SCSI_STATUS).queue = {STATUS_RESET, STATUS_RESET_EAF};
        host.readOnly(REG_SCSI_STATUS);
        for (UCHAR t = 0; t < 8; t++) {
            host.reg(REG_ID_MAP + t).value = t;
        }
        adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    }

    // The entries from the own-ID write on: the programming after the reset pulse.
    Log programming() const {
        Log all = host.log();
        for (size_t i = 0; i < all.size(); i++) {
            if (all[i].rfind("W00=", 0) == 0) {
                return Log(all.begin() + static_cast<long>(i), all.end());
            }
        }
        return {};
    }
};

TEST_F(InitializeTest, PulsesTheBoardResetThenProgramsTheController) {
    host.reg(REG_BOARD_CONTROL).value = 0x01;
    host.reg(REG_FIFO_STATUS).value = 0xFF;
    adapter.InitiatorId = 7;
    HbaSettings.ClockDivisor = 2;
    adapter.ActiveFlags = 0x7FF;
    adapter.BusState = BUS_DATA;

    EXPECT_EQ(HbaInitialize(&adapter), TRUE);

    EXPECT_EQ(host.log(),
              (Log{"R30=01", "W30=05", "W30=07",   "stall 2000",   "W30=05", "stall 2000",
                   "S=80",   "R17=00", "stall 10", "W00=8F",       "S=80",   "W18=00",
                   "S=80",   "R17=01", "W01=2F",   "W02=80",       "W16=80", "R37=FF",
                   "W37=1F", "R50=00", "R51=01",   "R52=02",       "R53=03", "R54=04",
                   "R55=05", "R56=06", "R57=07",   "stall 2500000"}));
    // Requests and their bookkeeping are not the initialization's business.
    EXPECT_EQ(field(adapter.ActiveFlags), 0x7FFu);
    EXPECT_EQ(field(adapter.BusState), ULONG{BUS_DATA});
}

TEST_F(InitializeTest, NoInterruptAfterThePulseSkipsItsStatusRead) {
    host.aux().queue.assign(HBA_POLL_RESET_PULSE + 1, 0x00);

    EXPECT_EQ(HbaInitialize(&adapter), TRUE);

    Log log = host.log();
    Log untilOwnId(log.begin(), log.begin() + 6 + 2 * HBA_POLL_RESET_PULSE + 1 + 1);
    EXPECT_EQ(untilOwnId.back(), "W00=08");
    EXPECT_EQ(std::count(untilOwnId.begin(), untilOwnId.end(), "stall 1"), HBA_POLL_RESET_PULSE);
    EXPECT_EQ(std::count(log.begin(), log.end(), "R17=00"), 1) << "only the Reset's status";
}

struct ControlCase {
    ULONG parity;
    ULONG mode;
    UCHAR control;
};

TEST_F(InitializeTest, ControlRegisterFollowsParityCheckAndDmaMode) {
    const std::vector<ControlCase> cases = {
        {1, ADAPTER_MODE_WINDOW, 0x2F}, {0, ADAPTER_MODE_WINDOW, 0x2E},
        {1, ADAPTER_MODE_PLAIN, 0x2F},  {0, ADAPTER_MODE_PLAIN, 0x2E},
        {1, ADAPTER_MODE_FIFO, 0x8F},   {0, ADAPTER_MODE_FIFO, 0x8E},
    };
    for (const ControlCase& c : cases) {
        host.clearLog();
        host.reg(REG_SCSI_STATUS).queue = {STATUS_RESET, STATUS_RESET};
        HbaSettings.ParityCheckEnabled = c.parity;
        adapter.AdapterMode = c.mode;
        EXPECT_EQ(HbaInitialize(&adapter), TRUE);
        EXPECT_EQ(host.log({"W01"}), Log{fmt::format("W01={:02X}", c.control)})
            << "parity " << c.parity << " mode " << std::hex << c.mode;
    }
}

struct OwnIdCase {
    UCHAR initiator;
    ULONG clockDivisor;
    UCHAR ownId;
};

TEST_F(InitializeTest, OwnIdCarriesIdAdvancedFeaturesAndClockDivisor) {
    const std::vector<OwnIdCase> cases = {
        {7, 2, 0x8F},
        {7, 0, 0x0F},
        {0, 3, 0xC8},
        {0x0D, 0x07, 0xCD},  // only the low three and two bits count
    };
    for (const OwnIdCase& c : cases) {
        host.clearLog();
        host.reg(REG_SCSI_STATUS).queue = {STATUS_RESET, STATUS_RESET};
        adapter.InitiatorId = c.initiator;
        HbaSettings.ClockDivisor = c.clockDivisor;
        EXPECT_EQ(HbaInitialize(&adapter), TRUE);
        Log log = programming();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0], fmt::format("W00={:02X}", c.ownId));
    }
}

TEST_F(InitializeTest, ResetStatusIsJudgedByItsLowThreeBits) {
    const std::vector<std::pair<UCHAR, BOOLEAN>> cases = {
        {0x00, TRUE},  {0x01, TRUE},  {0x40, TRUE},  {0x41, TRUE},  {0x09, TRUE},
        {0x02, FALSE}, {0x07, FALSE}, {0x42, FALSE}, {0x16, FALSE}, {0x85, FALSE},
    };
    for (const auto& [status, accepted] : cases) {
        host.clearLog();
        host.reg(REG_SCSI_STATUS).queue = {0x00, status};
        adapter.TargetIdMap[3] = 0xEE;
        adapter.TargetSync[3] = {SYNC_SETTLED, 4, 8, 1};

        EXPECT_EQ(HbaInitialize(&adapter), accepted) << "status " << std::hex << int{status};
        if (!accepted) {
            // Only the own-ID register is programmed; no map, no target, no settling stall.
            EXPECT_EQ(programming(),
                      (Log{"W00=08", "S=80", "W18=00", "S=80", fmt::format("R17={:02X}", status)}));
            EXPECT_EQ(adapter.TargetIdMap[3], 0xEE);
            EXPECT_EQ(adapter.TargetSync[3].SyncFlags, SYNC_SETTLED);
            EXPECT_EQ(adapter.TargetSync[3].SyncOffset, 8);
        }
    }
}

TEST_F(InitializeTest, ControllerThatNeverAnswersTheResetFailsAfterItsBound) {
    host.aux().value = 0x00;
    adapter.TargetIdMap[1] = 0xEE;

    EXPECT_EQ(HbaInitialize(&adapter), FALSE);

    const std::vector<std::pair<uint8_t, uint8_t>> writes = {
        {REG_BOARD_CONTROL, 0x04}, {REG_BOARD_CONTROL, 0x06}, {REG_BOARD_CONTROL, 0x04},
        {REG_OWN_ID, 0x08},        {REG_COMMAND, CMD_RESET},
    };
    EXPECT_EQ(host.registerWrites(), writes);
    // Two pulse stalls, 50 polls for the pulse's interrupt, 1000 for the Reset's.
    EXPECT_EQ(host.totalStall(),
              2u * HBA_STALL_RESET_PULSE + HBA_POLL_RESET_PULSE + HBA_POLL_RESET);
    EXPECT_EQ(host.log({"R17"}), Log{});
    EXPECT_EQ(adapter.TargetIdMap[1], 0xEE);
}

struct IdMapCase {
    std::vector<UCHAR> registers;
    std::vector<UCHAR> map;
    std::vector<UCHAR> reverse;
};

TEST_F(InitializeTest, IdMapIsReadWithItsReverse) {
    const UCHAR K = 0xEE;  // an entry that no target maps to keeps what it held
    const std::vector<IdMapCase> cases = {
        {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {{7, 6, 5, 4, 3, 2, 1, 0}, {7, 6, 5, 4, 3, 2, 1, 0}, {7, 6, 5, 4, 3, 2, 1, 0}},
        {{0, 1, 3, 4, 6, 3, 6, 7}, {0, 1, 3, 4, 6, 3, 6, 7}, {0, 1, K, 5, 3, K, 6, 7}},
        // Bus ids are three bits: values above 7 are taken modulo 8, never outside the tables.
        {{0x08, 0x0B, 0xFF, 0x80, 4, 5, 6, 0x7A},
         {0, 3, 7, 0, 4, 5, 6, 2},
         {3, K, 7, 1, 4, 5, 6, 2}},
    };
    for (const IdMapCase& c : cases) {
        host.reg(REG_SCSI_STATUS).queue = {STATUS_RESET, STATUS_RESET};
        for (UCHAR t = 0; t < 8; t++) {
            host.reg(REG_ID_MAP + t).value = c.registers[t];
            adapter.TargetIdReverse[t] = K;
        }
        adapter.SavedOwnId = 0x5A;  // the field after the reverse table

        EXPECT_EQ(HbaInitialize(&adapter), TRUE);

        EXPECT_EQ(std::vector<UCHAR>(adapter.TargetIdMap, adapter.TargetIdMap + 8), c.map);
        EXPECT_EQ(std::vector<UCHAR>(adapter.TargetIdReverse, adapter.TargetIdReverse + 8),
                  c.reverse);
        EXPECT_EQ(adapter.SavedOwnId, 0x5A);
    }
}

TEST_F(InitializeTest, EveryTargetReturnsToAsynchronousKeepingItsNeverOfferMark) {
    const UCHAR flags[8] = {0x03, 0x01, 0x02, 0x00, 0x83, 0x01, 0x00, 0x02};
    for (int t = 0; t < 8; t++) {
        adapter.TargetSync[t] = {flags[t], 5, 12, 1};
    }

    EXPECT_EQ(HbaInitialize(&adapter), TRUE);

    const UCHAR expected[8] = {0x02, 0x00, 0x02, 0x00, 0x82, 0x00, 0x00, 0x02};
    for (int t = 0; t < 8; t++) {
        EXPECT_EQ(adapter.TargetSync[t].SyncFlags, expected[t]) << "target " << t;
        EXPECT_EQ(adapter.TargetSync[t].SyncPeriod, SYNC_PERIOD_ASYNC);
        EXPECT_EQ(adapter.TargetSync[t].SyncOffset, 0);
        EXPECT_EQ(adapter.TargetSync[t].SyncFast, 0);
    }
}

// Requests outstanding on several units, as a reset finds them.
class CompleteAllTest : public DriverTest {
  protected:
    CompleteAllTest() {
        connectedUnit = host.addUnit(2, 0);
        pendingUnit = host.addUnit(4, 1);
        messageUnit = host.addUnit(6, 7);
        idleUnit = host.addUnit(0, 0);
        connected = makeSrb(2, 0, 0x28, SRB_FLAGS_DATA_IN, 512);
        pending = makeSrb(4, 1, 0x00, 0);
        message = makeSrb(6, 7, 0, 0);
        message.Function = SRB_FUNCTION_ABORT_COMMAND;
        host.name(&connected, "connected");
        host.name(&pending, "pending");
        host.name(&message, "message");
        for (PHW_LU_EXTENSION unit : {connectedUnit, pendingUnit, messageUnit, idleUnit}) {
            unit->LuFlags = 0xFFFF;
            unit->SelectionRetries = 1;
        }
        adapter.AdapterMode = ADAPTER_MODE_PLAIN;
    }

    void outstanding() {
        connectedUnit->ActiveSrb = &connected;
        adapter.ActiveLuExtension = connectedUnit;
        adapter.TargetId = 2;
        pendingUnit->ActiveSrb = &pending;
        adapter.PendingSrb = &pending;
        messageUnit->MessageSrb = &message;
        adapter.ActiveFlags = ACTIVE_PENDING | ACTIVE_DATA_HANDED;
        adapter.BusState = BUS_DATA;
    }

    Log notifications() const { return host.log({"flush", "next", "complete", "reset"}); }

    PHW_LU_EXTENSION connectedUnit, pendingUnit, messageUnit, idleUnit;
    SCSI_REQUEST_BLOCK connected, pending, message;
};

TEST_F(CompleteAllTest, ConnectedRequestEndsFirstAndEveryOtherWithBusReset) {
    outstanding();

    HbaCompleteAll(&adapter);

    EXPECT_EQ(notifications(), (Log{"flush", "next", "complete connected=14", "complete pending=0E",
                                    "complete message=0E"}));
    EXPECT_EQ(field(adapter.PendingSrb), nullptr);
    EXPECT_EQ(field(adapter.ActiveLuExtension), nullptr);
    EXPECT_EQ(field(adapter.BusState), ULONG{BUS_FREE});
    EXPECT_EQ(field(adapter.ActiveFlags), 0u);
    for (PHW_LU_EXTENSION unit : {connectedUnit, pendingUnit, messageUnit, idleUnit}) {
        EXPECT_EQ(field(unit->ActiveSrb), nullptr);
        EXPECT_EQ(field(unit->MessageSrb), nullptr);
        EXPECT_EQ(field(unit->LuFlags), 0xFFE3);
        EXPECT_EQ(field(unit->SelectionRetries), 0u);
    }
    // Every unit the port driver may have is asked for, path 0.
    EXPECT_EQ(host.log({"lun"}).size(), 64u);
}

TEST_F(CompleteAllTest, NothingOutstandingCompletesNothingAndClearsTheResetBits) {
    adapter.ActiveFlags = 0xFFF & ~(ACTIVE_PENDING | ACTIVE_DATA_HANDED);
    adapter.BusState = BUS_CONNECTED;

    HbaCompleteAll(&adapter);

    EXPECT_EQ(notifications(), Log{});
    EXPECT_EQ(field(adapter.ActiveFlags), 0x881u) << "0x001 and 0x080 (and bits above) are kept";
    EXPECT_EQ(field(adapter.BusState), ULONG{BUS_FREE});
    EXPECT_EQ(field(idleUnit->LuFlags), 0xFFE3);
    EXPECT_EQ(field(idleUnit->SelectionRetries), 0u);
}

TEST_F(CompleteAllTest, OnlyASystemDmaTransferIsFlushed) {
    const std::vector<std::tuple<ULONG, ULONG, bool>> cases = {
        {ADAPTER_MODE_PLAIN, ACTIVE_DATA_HANDED, true},
        {ADAPTER_MODE_PLAIN, 0, false},
        {ADAPTER_MODE_FIFO, ACTIVE_DATA_HANDED, false},
        {ADAPTER_MODE_WINDOW, ACTIVE_DATA_HANDED, false},
    };
    for (const auto& [mode, flags, flushed] : cases) {
        host.clearLog();
        outstanding();
        adapter.AdapterMode = mode;
        adapter.ActiveFlags = flags;
        HbaCompleteAll(&adapter);
        Log log = notifications();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front() == "flush", flushed) << "mode " << std::hex << mode;
    }
}

TEST_F(CompleteAllTest, TargetCaughtNegotiatingIsNotAskedAgain) {
    const std::vector<std::pair<ULONG, bool>> cases = {
        {ACTIVE_SDTR_ANSWERED, true},
        {ACTIVE_SDTR_SENT, true},
        {ACTIVE_NOP_ONCE, true},
        {ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE, true},
        {0, false},
        {ACTIVE_DATA_HANDED, false},
    };
    for (const auto& [flags, marked] : cases) {
        outstanding();
        adapter.ActiveFlags = flags;
        adapter.TargetSync[2] = {SYNC_SETTLED, 3, 8, 1};
        HbaCompleteAll(&adapter);
        const TARGET_SYNC& sync = adapter.TargetSync[2];
        if (marked) {
            EXPECT_EQ(sync.SyncFlags, SYNC_SETTLED | SYNC_NEVER_OFFER) << std::hex << flags;
            EXPECT_EQ(sync.SyncPeriod, SYNC_PERIOD_ASYNC);
            EXPECT_EQ(sync.SyncOffset, 0);
            EXPECT_EQ(sync.SyncFast, 0);
        } else {
            EXPECT_EQ(sync.SyncFlags, SYNC_SETTLED) << std::hex << flags;
            EXPECT_EQ(sync.SyncOffset, 8);
        }
    }
}

TEST_F(CompleteAllTest, ConnectedMessageRequestEndsWithBusResetAndKeepsItsUnitNamed) {
    connectedUnit->MessageSrb = &message;
    messageUnit->MessageSrb = nullptr;
    adapter.ActiveLuExtension = connectedUnit;
    adapter.ActiveFlags = ACTIVE_MESSAGE_REQUEST;

    HbaCompleteAll(&adapter);

    EXPECT_EQ(notifications(), Log{"complete message=0E"});
    EXPECT_EQ(field(adapter.ActiveLuExtension), connectedUnit);
    EXPECT_EQ(field(connectedUnit->MessageSrb), nullptr);
}

class ResetBusTest : public CompleteAllTest {
  protected:
    ResetBusTest() {
        host.aux().value = AUX_INT;
        host.readOnly(REG_SCSI_STATUS);
    }
};

TEST_F(ResetBusTest, DisconnectsInitializesThenCompletesWithoutReporting) {
    outstanding();

    EXPECT_EQ(HbaResetBus(&adapter, 0), TRUE);

    Log log = host.log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Log(log.begin(), log.begin() + 3), (Log{"S=80", "W18=04", "R30=00"}));
    auto settled = std::find(log.begin(), log.end(), "stall 2500000");
    auto first = std::find(log.begin(), log.end(), "complete connected=14");
    EXPECT_LT(settled, first) << "requests end after the controller is initialized again";
    EXPECT_EQ(host.resetsDetected(), 0);
    EXPECT_EQ(host.completions().size(), 3u);
}

TEST_F(ResetBusTest, FailedInitializationStillCompletesEveryRequest) {
    outstanding();
    host.aux().value = 0x00;  // the controller never answers the Reset

    EXPECT_EQ(HbaResetBus(&adapter, 0), TRUE);

    EXPECT_EQ(host.completions().size(), 3u);
    EXPECT_EQ(host.log({"stall 2500000"}), Log{});
}

TEST_F(ResetBusTest, NotifyReportsTheResetBeforeAnyRequestEnds) {
    outstanding();
    adapter.ActiveFlags |= ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE;
    adapter.TargetSync[2] = {SYNC_SETTLED, 3, 8, 1};

    EXPECT_EQ(HbaResetAndNotify(&adapter), TRUE);

    EXPECT_EQ(notifications(), (Log{"reset", "flush", "next", "complete connected=14",
                                    "complete pending=0E", "complete message=0E"}));
    // The reset cleared the settled mark; the interrupted SDTR leaves the target asynchronous.
    EXPECT_EQ(adapter.TargetSync[2].SyncFlags, SYNC_NEVER_OFFER);
    EXPECT_EQ(adapter.TargetSync[2].SyncOffset, 0);
    EXPECT_EQ(field(adapter.ActiveFlags), 0u);
}

}  // namespace
}  // namespace cbus::test
