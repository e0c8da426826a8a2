// Interrupt service, bus phase service and reselection.
#include "tests/unit/engine_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;

class InterruptTest : public EngineTest {
  protected:
    InterruptTest() { unit = host.addUnit(2, 0); }

    // A read held at selection, as HbaStartIo leaves it.
    PSCSI_REQUEST_BLOCK selecting() {
        adapter.TargetSync[2].SyncFlags = SYNC_SETTLED;
        PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 1024);
        HbaStartIo(&adapter, srb);
        host.clearLog();
        return srb;
    }

    PHW_LU_EXTENSION unit;
};

TEST_F(InterruptTest, NoInterruptPendingTouchesNothingButAuxStatus) {
    EXPECT_EQ(HbaInterrupt(&adapter), FALSE);
    EXPECT_EQ(host.log(), (Log{"S=01"}));
    EXPECT_EQ(copy(adapter.AuxStatus), ULONG{AUX_DBR});
}

TEST_F(InterruptTest, SelectionOutcomeDecidesTheHold) {
    struct Case {
        UCHAR status;
        bool reached;
    };
    for (Case c : {Case{STATUS_SELECT_COMPLETE, true}, Case{STATUS_TRANSFER_DONE | 6, true},
                   Case{0x8E, true}, Case{STATUS_SELECT_ABORTED, false},
                   Case{STATUS_SELECT_ABORTED_BUS_FREE, false}, Case{STATUS_RESELECTED, false},
                   Case{STATUS_SELECTION_TIMEOUT, false}}) {
        adapter = HW_DEVICE_EXTENSION{};
        adapter.BaseIoAddress = host.ioBasePointer();
        adapter.AdapterMode = ADAPTER_MODE_PLAIN;
        unit->SelectionRetries = 0;
        PSCSI_REQUEST_BLOCK srb = selecting();
        int before = host.nextRequests();
        interrupt(c.status);
        EXPECT_EQ(host.nextRequests() - before, c.reached ? 1 : 0) << int(c.status);
        EXPECT_EQ(adapter.PendingSrb == nullptr, c.reached) << int(c.status);
        if (!c.reached) {
            EXPECT_EQ(copy(adapter.PendingSrb), srb);
        }
    }
}

// A device reset whose selection loses to a reselection: the reselected connection carries none
// of the selection's set-up, so when that target later leaves the bus the reset is not taken as
// done (it never went out); it stays held for the next bus free.
TEST_F(InterruptTest, SelectionLostToAReselectionLeavesItsSetUpBehind) {
    PSCSI_REQUEST_BLOCK reset = message("rst", SRB_FUNCTION_RESET_DEVICE, 2, 0);
    HbaStartIo(&adapter, reset);
    ASSERT_EQ(copy(adapter.BusState), ULONG{BUS_SELECTING});
    ASSERT_TRUE(adapter.ActiveFlags & ACTIVE_MESSAGE_REQUEST);
    host.clearLog();
    interrupt(STATUS_RESELECTED);
    EXPECT_EQ(adapter.ActiveFlags & (ACTIVE_MESSAGE_REQUEST | ACTIVE_MESSAGE_OUT), 0u);
    EXPECT_TRUE(adapter.ActiveFlags & ACTIVE_PENDING);
    EXPECT_EQ(copy(adapter.PendingSrb), reset);
    interrupt(STATUS_DISCONNECTED, PHASE_DISCONNECTED_IN_SEQUENCE);
    EXPECT_TRUE(host.log({"complete"}).empty()) << "the reset was reported done";
    EXPECT_TRUE(host.errors().empty());
}

TEST_F(InterruptTest, SecondSelectionTimeoutEndsTheRequest) {
    PSCSI_REQUEST_BLOCK srb = selecting();
    interrupt(STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(host.log({"W18", "complete", "next"}), (Log{"W18=08"})) << "selected again at once";
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_SELECTING});

    host.clearLog();
    interrupt(STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(host.log({"W18", "complete", "next"}), (Log{"complete rd=0A", "next"}));
    EXPECT_EQ(copy(unit->ActiveSrb), nullptr);
    EXPECT_EQ(copy(unit->SelectionRetries), 0u);
    EXPECT_EQ(copy(adapter.PendingSrb), nullptr);
    EXPECT_EQ(srb->SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
}

TEST_F(InterruptTest, SixtyFifthInterruptOfAConnectionResets) {
    PSCSI_REQUEST_BLOCK srb = selecting();
    for (int i = 0; i < 64; i++) {
        interrupt(0x28 | BUS_PHASE_STATUS);
    }
    EXPECT_TRUE(host.errors().empty());
    interrupt(0x28 | BUS_PHASE_STATUS);
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_INTERRUPT_LIMIT}));
    EXPECT_EQ(host.resetsDetected(), 1);
    EXPECT_EQ(srb->SrbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
}

struct FatalCase {
    UCHAR status;
    ULONG busState;
    ULONG code;
    ULONG id;
    ULONG flags = 0;
};

class FatalStatusTest : public InterruptTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FatalStatusTest, LogsAndResets) {
    const FatalCase& c = GetParam();
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    connect(srb, c.busState);
    adapter.ActiveFlags = c.flags;
    interrupt(c.status);
    ASSERT_EQ(host.errors().size(), 1u);
    EXPECT_EQ(host.errors()[0].errorCode, c.code);
    EXPECT_EQ(host.errors()[0].uniqueId, c.id);
    EXPECT_EQ(host.resetsDetected(), 1);
    EXPECT_EQ(host.completions().size(), 1u);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FatalStatusTest,
    ::testing::Values(FatalCase{0x10, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 3},
                      FatalCase{0x17, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 3},
                      FatalCase{0x1B, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 5},
                      FatalCase{0x23, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 6},
                      FatalCase{0x26, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 6},
                      FatalCase{0x40, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 9},
                      FatalCase{0x45, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 12},
                      FatalCase{0x84, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 8},
                      FatalCase{0x05, BUS_CONNECTED, SP_INTERNAL_ADAPTER_ERROR, 13},
                      FatalCase{0x1B, BUS_MESSAGE_EXCHANGE, SP_PROTOCOL_ERROR, 4,
                                ACTIVE_MESSAGES_ONLY},
                      FatalCase{0x8C, BUS_CONNECTED, SP_PROTOCOL_ERROR, 17}));

TEST_F(InterruptTest, BusResetCompletesEverythingAndRestoresTheController) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    connect(srb);
    // Target 1 agreed to synchronous transfers, target 3 is never to be asked.
    adapter.TargetSync[1] = {SYNC_SETTLED, 50, 8, 0};
    adapter.TargetSync[3] = {SYNC_SETTLED | SYNC_NEVER_OFFER, 2, 0, 0};
    interrupt(STATUS_RESET_EAF);
    EXPECT_TRUE(host.errors().empty());
    EXPECT_EQ(host.log({"complete", "reset", "W01", "W02", "W16"}),
              (Log{"complete rd=14", "reset", "W01=2F", "W02=80", "W16=80"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
    // The reset ended every target's agreement: negotiate again, unless never to be asked.
    EXPECT_EQ(adapter.TargetSync[1].SyncFlags, 0);
    EXPECT_EQ(adapter.TargetSync[1].SyncOffset, 0);
    EXPECT_EQ(adapter.TargetSync[1].SyncPeriod, SYNC_PERIOD_ASYNC);
    EXPECT_EQ(adapter.TargetSync[3].SyncFlags, SYNC_NEVER_OFFER);
}

// The drop ends a negotiation only while it is open. In the connection that offered SDTR, bit
// 0x040 outlives the target's accepted reply; the target keeps that agreement through a later
// drop, so the adapter must keep it too.
struct DropCase {
    const char* name;
    UCHAR status;
    ULONG activeFlags;
    TARGET_SYNC before;
    TARGET_SYNC after;
};

class DropDuringNegotiationTest : public InterruptTest,
                                  public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropDuringNegotiationTest, FallsBackOnlyWhileTheNegotiationIsOpen) {
    const DropCase& c = GetParam();
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    connect(srb);
    adapter.TargetSync[2] = c.before;
    adapter.ActiveFlags = c.activeFlags;
    interrupt(c.status, 0x30);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), c.after.SyncFlags);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncPeriod), c.after.SyncPeriod);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), c.after.SyncOffset);
}

INSTANTIATE_TEST_SUITE_P(Drops, DropDuringNegotiationTest,
                         ::testing::Values(DropCase{"ReplyAwaited",
                                                    STATUS_DISCONNECTED,
                                                    ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE,
                                                    {0, 2, 0, 0},
                                                    {SYNC_NEVER_OFFER, 2, 0, 0}},
                                           DropCase{"AnswerAwaited",
                                                    STATUS_UNEXPECTED_DISCONNECT,
                                                    ACTIVE_SDTR_ANSWERED,
                                                    {0, 2, 8, 0},
                                                    {SYNC_NEVER_OFFER, 2, 0, 0}},
                                           DropCase{"AgreementSettled",
                                                    STATUS_DISCONNECTED,
                                                    ACTIVE_NOP_ONCE,
                                                    {SYNC_SETTLED, 2, 8, 0},
                                                    {SYNC_SETTLED, 2, 8, 0}},
                                           DropCase{"AgreementSettledDroppedInData",
                                                    STATUS_UNEXPECTED_DISCONNECT,
                                                    ACTIVE_NOP_ONCE,
                                                    {SYNC_SETTLED, 3, 8, 0},
                                                    {SYNC_SETTLED, 3, 8, 0}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(InterruptTest, UnannouncedDisconnectLogsAndFallsBackToAsynchronous) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    connect(srb);
    adapter.TargetSync[2] = {0, 2, 8, 1};
    adapter.ActiveFlags = ACTIVE_SDTR_SENT;
    interrupt(STATUS_DISCONNECTED, 0x30);
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_UNANNOUNCED_BUS_FREE}));
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), SYNC_NEVER_OFFER);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 0);
    EXPECT_EQ(copy(unit->ActiveSrb), srb) << "stays until a reset ends it";
    EXPECT_EQ(copy(unit->LastPhase), 0x30);

    host.clearLog();
    connect(srb);
    interrupt(STATUS_DISCONNECTED, PHASE_DISCONNECTED_IN_SEQUENCE);
    EXPECT_EQ(host.errors().size(), 1u) << "inside the sequence: silent";
}

// A target takes ABORT or BUS DEVICE RESET by leaving the bus while the Transfer Info that sent
// it still waits, which the controller reports as an unexpected disconnect: that bus free is the
// message's outcome, not a failure. Any other bus free there stays an error.
struct FreedCase {
    const char* name;
    UCHAR lastMessage;
    UCHAR remaining;  // transfer count left when the target went
    bool expected;
};

class FreedByMessageTest : public InterruptTest, public ::testing::WithParamInterface<FreedCase> {};

TEST_P(FreedByMessageTest, DeviceResetRequestEndsWhenTheTargetTakesItsMessage) {
    const FreedCase& c = GetParam();
    PSCSI_REQUEST_BLOCK rst = message("rst", SRB_FUNCTION_RESET_DEVICE, 2, 0);
    PHW_LU_EXTENSION u = host.addUnit(2, 0);
    u->MessageSrb = rst;
    adapter.ActiveLuExtension = u;
    adapter.TargetId = 2;
    adapter.BusState = BUS_MESSAGE_EXCHANGE;
    adapter.ActiveFlags = ACTIVE_MESSAGE_REQUEST | ACTIVE_MESSAGES_ONLY;
    setMessage({0xC0, c.lastMessage});
    host.reg(REG_COUNT_LOW).queue.push_back(c.remaining);

    interrupt(STATUS_UNEXPECTED_DISCONNECT);

    if (c.expected) {
        EXPECT_TRUE(host.errors().empty());
        EXPECT_EQ(host.log({"complete"}), (Log{"complete rst=01"}));
        EXPECT_EQ(copy(u->MessageSrb), nullptr);
    } else {
        EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_UNEXPECTED_DISCONNECT}));
        EXPECT_TRUE(host.log({"complete"}).empty());
        EXPECT_EQ(copy(u->MessageSrb), rst) << "stays until a reset ends it";
    }
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
}

INSTANTIATE_TEST_SUITE_P(Messages, FreedByMessageTest,
                         ::testing::Values(FreedCase{"DeviceResetTaken", 0x0C, 0, true},
                                           FreedCase{"AbortTaken", 0x06, 0, true},
                                           FreedCase{"DeviceResetNotAllSent", 0x0C, 1, false},
                                           FreedCase{"OtherMessage", 0x05, 0, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(InterruptTest, ParityErrorQueuesTheErrorMessageAndLogsOnce) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    connect(srb);
    interrupt(STATUS_PARITY_ERROR);
    EXPECT_EQ(host.log({"W18", "log"}), (Log{"log rd 0:2:0 code=1 id=11", "W18=02", "W18=03"}));
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_INITIATOR_DETECTED_ERROR}));

    host.clearLog();
    adapter.BusState = BUS_MESSAGE_IN;
    interrupt(STATUS_PARITY_ERROR_ATN);
    EXPECT_EQ(host.log({"W18", "log"}), (Log{"W18=03"})) << "no second entry, no second ATN";
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_PARITY_ERROR}));
    EXPECT_EQ(HbaSettings.ParityCheckEnabled, 1u);
}

TEST_F(InterruptTest, ParityErrorDuringInquiryRestartsItWithoutParityChecking) {
    PSCSI_REQUEST_BLOCK inquiry = request("inq", 2, 0, SCSIOP_INQUIRY, SRB_FLAGS_DATA_IN, 36);
    connect(inquiry);
    interrupt(STATUS_PARITY_ERROR);
    EXPECT_EQ(HbaSettings.ParityCheckEnabled, 0u);
    EXPECT_TRUE(host.completions().empty());
    EXPECT_EQ(host.resetsDetected(), 0);
    EXPECT_EQ(copy(adapter.PendingSrb), inquiry);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_SELECTING});
    EXPECT_EQ(host.log({"W01"}), (Log{})) << "the controller never answered the reset here";
}

TEST_F(InterruptTest, InquiryParityRecoveryKeepsAnotherWaitingRequest) {
    PSCSI_REQUEST_BLOCK inquiry = request("inq", 2, 0, SCSIOP_INQUIRY, SRB_FLAGS_DATA_IN, 36);
    connect(inquiry);
    host.addUnit(3, 0);
    PSCSI_REQUEST_BLOCK waiting = request("wait", 3, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 512);
    HbaStartIo(&adapter, waiting);  // held: the bus is busy
    ASSERT_EQ(copy(adapter.PendingSrb), waiting);

    interrupt(STATUS_PARITY_ERROR);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete inq=0F"})) << "handed back to be retried";
    EXPECT_EQ(copy(adapter.PendingSrb), waiting);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_SELECTING});
    EXPECT_EQ(copy(adapter.TargetId), 3);
    EXPECT_EQ(copy(unit->ActiveSrb), nullptr);
}

TEST_F(InterruptTest, DataTransferAccountsFromTheRemainingCount) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 1024);
    connect(srb, BUS_DATA);
    PUCHAR start = adapter.CurrentDataPointer;
    unit->MaxBytesMoved = 0;
    adapter.ActiveFlags = ACTIVE_DATA_HANDED;
    host.reg(REG_COUNT_HIGH).queue = {0x00};
    host.reg(REG_COUNT_MIDDLE).queue = {0x01};
    host.reg(REG_COUNT_LOW).queue = {0x00};  // 256 left
    interrupt(STATUS_TRANSFER_DONE | BUS_PHASE_STATUS);
    EXPECT_EQ(copy(adapter.CurrentDataPointer), start + 768);
    EXPECT_EQ(copy(adapter.CurrentDataLength), 256u);
    EXPECT_EQ(copy(unit->MaxBytesMoved), 768u);
    EXPECT_EQ(host.log({"flush", "W18", "W10"}), (Log{"flush", "W10=46", "W18=09"}));
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_TRANSFER_MASK, 0u);

    // A later, shorter transfer after RESTORE POINTERS does not lower the mark.
    adapter.CurrentDataPointer = start;
    adapter.CurrentDataLength = 1024;
    adapter.BusState = BUS_DATA;
    adapter.ActiveFlags = ACTIVE_DATA_HANDED;
    host.reg(REG_COUNT_HIGH).queue = {0x00};
    host.reg(REG_COUNT_MIDDLE).queue = {0x03};
    host.reg(REG_COUNT_LOW).queue = {0x00};
    interrupt(STATUS_TRANSFER_DONE | BUS_PHASE_MESSAGE_IN);
    EXPECT_EQ(copy(unit->MaxBytesMoved), 768u);

    // A count beyond what was handed over moves nothing.
    adapter.ActiveFlags = ACTIVE_DATA_HANDED;
    adapter.BusState = BUS_DATA;
    PUCHAR before = adapter.CurrentDataPointer;
    host.reg(REG_COUNT_HIGH).queue = {0x01};
    host.reg(REG_COUNT_MIDDLE).queue = {0x00};
    host.reg(REG_COUNT_LOW).queue = {0x00};
    interrupt(STATUS_TRANSFER_DONE | BUS_PHASE_STATUS);
    EXPECT_EQ(copy(adapter.CurrentDataPointer), before);
}

TEST_F(InterruptTest, SequenceCompleteTakesTheStatusAndCompletes) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb);
    unit->MaxBytesMoved = 16;
    host.reg(REG_TARGET_LUN).value = 0x02;
    interrupt(STATUS_SEQUENCE_COMPLETE);
    EXPECT_EQ(srb->ScsiStatus, 0x02);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete rd=04"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
    EXPECT_TRUE(host.errors().empty());
}

class PhaseTest : public InterruptTest {};

TEST_F(PhaseTest, EmptyMessageOutSendsErrorOrTheOwedNoOperation) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb);
    adapter.ActiveFlags = ACTIVE_NOP_ONCE;
    interrupt(0x88 | BUS_PHASE_MESSAGE_OUT);
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_NO_OPERATION}));
    EXPECT_TRUE(host.errors().empty());

    adapter.MessageCount = 0;
    host.clearLog();
    interrupt(0x88 | BUS_PHASE_MESSAGE_OUT);
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_INITIATOR_DETECTED_ERROR}));
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_EMPTY_MESSAGE_OUT}));
    EXPECT_EQ(host.log({"W19", "W18"}), (Log{"W18=20", "W19=05"}));
}

TEST_F(PhaseTest, MessageOutSendsTheRestThenEverythingAgain) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb, BUS_MESSAGE_EXCHANGE);
    setMessage({0xC0, 0x01, 0x03, 0x01, 0x19, 0x0C});
    adapter.ActiveFlags = ACTIVE_MESSAGE_OUT;
    // Stopped on a phase change with four bytes still to go: two went out.
    host.reg(REG_COUNT_LOW).queue = {0x04};
    interrupt(STATUS_STOPPED_ON_PHASE | BUS_PHASE_MESSAGE_OUT);
    EXPECT_EQ(copy(adapter.MessageIndex), 2);
    EXPECT_EQ(host.log({"W19", "W18"}), (Log{"W18=20", "W19=03", "W19=01", "W19=19", "W19=0C"}));

    host.clearLog();
    adapter.MessageIndex = adapter.MessageCount;
    interrupt(0x88 | BUS_PHASE_MESSAGE_OUT);
    EXPECT_EQ(host.log({"W19", "W18"}), (Log{"W18=02", "W18=20", "W19=C0", "W19=01", "W19=03",
                                             "W19=01", "W19=19", "W19=0C"}));
}

TEST_F(PhaseTest, DataPhaseDirection) {
    PSCSI_REQUEST_BLOCK both = request("both", 2, 0, 0x3C, SRB_FLAGS_UNSPECIFIED_DIRECTION, 64);
    connect(both);
    interrupt(0x88 | BUS_PHASE_DATA_OUT);
    EXPECT_EQ(both->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION, ULONG{SRB_FLAGS_DATA_OUT});
    EXPECT_EQ(host.log({"iomap", "BC=01"}), (Log{"iomap both len=64", "BC=01"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_DATA});

    PSCSI_REQUEST_BLOCK writer = request("wr", 2, 0, SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 64);
    connect(writer);
    interrupt(0x88 | BUS_PHASE_DATA_IN);
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_DATA_PHASE}));
    EXPECT_EQ(host.log({"complete"}), (Log{"complete wr=14"}));
}

TEST_F(PhaseTest, CommandOrDataPhaseWithoutAnActiveRequestResets) {
    for (UCHAR phase : {BUS_PHASE_COMMAND, BUS_PHASE_DATA_IN}) {
        PSCSI_REQUEST_BLOCK abort = message("abt", SRB_FUNCTION_ABORT_COMMAND, 2, 0);
        unit->ActiveSrb = nullptr;
        unit->MessageSrb = abort;
        adapter.ActiveLuExtension = unit;
        adapter.BusState = BUS_CONNECTED;
        adapter.CurrentDataLength = 64;
        host.clearLog();
        interrupt(0x88 | phase);
        EXPECT_EQ(host.log({"log", "complete", "iomap"}),
                  (Log{"log abt 0:2:0 code=5 id=16", "complete abt=0E"}))
            << int(phase);
    }
}

TEST_F(PhaseTest, MessageInStartsAFreshMessageAfterADataPhase) {
    // Selected by Select-and-Transfer: the IDENTIFY is still counted in the buffer.
    PSCSI_REQUEST_BLOCK srb = selecting();
    ASSERT_EQ(copy(adapter.MessageCount), 1);
    interrupt(STATUS_STOPPED_ON_PHASE | BUS_PHASE_DATA_IN);
    adapter.ActiveFlags &= ~ACTIVE_DATA_HANDED;
    interrupt(STATUS_TRANSFER_DONE | BUS_PHASE_MESSAGE_IN);
    EXPECT_EQ(copy(adapter.MessageCount), 1) << "the byte is the first of a new message";

    adapter.MessageBuffer[0] = MSG_SAVE_DATA_POINTER;
    adapter.CurrentDataLength = 100;
    interrupt(STATUS_MESSAGE_PAUSED);
    EXPECT_EQ(copy(unit->SavedDataLength), 100u);
    EXPECT_EQ(srb->SrbStatus, 0);
}

TEST_F(PhaseTest, ExtendedMessageBytesAreAppendedUntilWhole) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb, BUS_MESSAGE_EXCHANGE);
    std::deque<UCHAR> bytes = {0x01, 0x03, 0x01, 0x19, 0x08};
    host.reg(REG_DATA).callback = [&bytes] {
        UCHAR b = bytes.front();
        bytes.pop_front();
        return b;
    };
    for (int i = 0; i < 5; i++) {
        interrupt(0x88 | BUS_PHASE_MESSAGE_IN);
        interrupt(STATUS_MESSAGE_PAUSED);
    }
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 8);
    // The period factor comes back raised to the adapter's minimum.
    EXPECT_EQ(queued(), (std::vector<UCHAR>{0x01, 0x03, 0x01, 50, 0x08}));
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_SDTR_ANSWERED, ULONG{ACTIVE_SDTR_ANSWERED});
}

TEST_F(PhaseTest, SurplusMessageByteIsDroppedAndTheMessageRejected) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb, BUS_MESSAGE_IN);
    setMessage({0x01, 0x09, 0x55, 1, 2, 3, 4});
    host.reg(REG_DATA).value = 0xEE;
    interrupt(0x88 | BUS_PHASE_MESSAGE_IN);
    EXPECT_EQ(copy(adapter.MessageCount), HBA_MESSAGE_BUFFER_SIZE + 1);
    EXPECT_EQ(copy(adapter.MessageBuffer[6]), 4) << "the buffer is not written past its end";
    interrupt(STATUS_MESSAGE_PAUSED);
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_MESSAGE_REJECT}));
    EXPECT_EQ(host.log({"W18"}), (Log{"W18=20", "W18=02", "W18=03"}));
}

TEST_F(PhaseTest, OnlyMessagePhasesWhileLeaving) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 16);
    connect(srb, BUS_MESSAGE_EXCHANGE);
    adapter.ActiveFlags = ACTIVE_MESSAGES_ONLY;
    interrupt(0x88 | BUS_PHASE_STATUS);
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_MESSAGES_ONLY_PHASE}));
}

class ReselectTest : public InterruptTest {
  protected:
    PSCSI_REQUEST_BLOCK disconnected(ULONG flags, ULONG left, UCHAR lastPhase) {
        PSCSI_REQUEST_BLOCK srb = request("rd", 2, 0, SCSIOP_READ, flags, 1024);
        unit->ActiveSrb = srb;
        unit->SavedDataPointer = static_cast<PUCHAR>(srb->DataBuffer) + (1024 - left);
        unit->SavedDataLength = left;
        unit->LastPhase = lastPhase;
        adapter.TargetSync[2] = {SYNC_SETTLED, 3, 8, 0};
        adapter.TargetIdMap[2] = 6;
        adapter.TargetId = 5;
        adapter.InterruptCount = 40;
        host.reg(REG_SOURCE_ID).value = 0x02;
        return srb;
    }
};

TEST_F(ReselectTest, PhaseByPhaseResumeOnlyNegatesAck) {
    disconnected(SRB_FLAGS_DATA_IN, 512, 0x30);
    host.reg(REG_DATA).value = 0x80;
    interrupt(STATUS_RESELECTED_IDENTIFY);
    // The command phase is cleared: a stop on a phase change later in this connection must not
    // read an earlier sequence's "complete".
    EXPECT_EQ(host.log({"W", "lun"}),
              (Log{"lun 0:2:0=yes", "W11=38", "W15=46", "W10=00", "W18=03"}));
    EXPECT_EQ(copy(adapter.TargetId), 2);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_CONNECTED});
    EXPECT_EQ(copy(adapter.InterruptCount), 0u);
    EXPECT_EQ(copy(unit->LastPhase), 0);
    EXPECT_EQ(copy(adapter.CurrentDataLength), 512u);
}

TEST_F(ReselectTest, ResumeInsideTheSequence) {
    disconnected(SRB_FLAGS_DATA_OUT, 256, PHASE_DISCONNECTED_IN_SEQUENCE);
    host.reg(REG_DATA).value = 0x80;
    interrupt(STATUS_RESELECTED_IDENTIFY);
    EXPECT_EQ(host.log({"W1", "iomap", "BC=01"}),
              (Log{"W11=38", "W15=06", "iomap rd len=256", "BC=01"}));
    EXPECT_EQ(copy(adapter.DeferredCommand), CMD_SELECT_TRANSFER);
    EXPECT_EQ(copy(adapter.DeferredPhase), PHASE_RESELECTED_RESUME);

    host.clearLog();
    disconnected(SRB_FLAGS_DATA_IN, 0, PHASE_DISCONNECTED_IN_SEQUENCE);
    adapter.ActiveFlags = 0;
    host.reg(REG_DATA).value = 0x80;
    interrupt(STATUS_RESELECTED_IDENTIFY);
    EXPECT_EQ(host.log({"W1", "W+1", "iomap"}),
              (Log{"W15=46", "W12=00", "W+13=00", "W+14=00", "W10=45", "W18=09"}))
        << "no synchronous value without data";
}

TEST_F(ReselectTest, UnitWithoutRequestIsLoggedAndAborted) {
    host.reg(REG_SOURCE_ID).value = 0x02;
    host.reg(REG_DATA).value = 0x83;
    interrupt(STATUS_RESELECTED_IDENTIFY);
    EXPECT_EQ(host.log({"log", "W18", "lun"}),
              (Log{"lun 0:2:3=no", "log none 0:2:3 code=3 id=18", "W18=02", "W18=03"}));
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_ABORT}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_MESSAGE_EXCHANGE});

    // The ABORT goes out and the target leaves: no unit record is written.
    interrupt(0x88 | BUS_PHASE_MESSAGE_OUT);
    interrupt(STATUS_DISCONNECTED);
    EXPECT_EQ(host.errors().size(), 1u);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
}

TEST_F(ReselectTest, IdentifyWithoutItsBitIsAnsweredWithAbort) {
    host.reg(REG_SOURCE_ID).value = 0x04;
    host.reg(REG_TARGET_LUN).value = 0x01;
    interrupt(STATUS_RESELECTED_IN_SEQUENCE);
    EXPECT_TRUE(host.errors().empty());
    EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_ABORT}));
    EXPECT_EQ(copy(adapter.TargetId), 4);
}

TEST_F(ReselectTest, IdentifyAsMessageByteAfterReselection) {
    disconnected(SRB_FLAGS_DATA_IN, 512, 0x30);
    interrupt(STATUS_RESELECTED);
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_MESSAGES_ONLY, ULONG{ACTIVE_MESSAGES_ONLY});
    host.reg(REG_DATA).value = 0xC0;
    interrupt(0x88 | BUS_PHASE_MESSAGE_IN);
    interrupt(STATUS_MESSAGE_PAUSED);
    EXPECT_EQ(copy(adapter.ActiveLuExtension), unit);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_CONNECTED});
    EXPECT_EQ(copy(adapter.TargetId), 2);
}

TEST_F(ReselectTest, HeldRequestIsNoNexus) {
    adapter.TargetSync[2].SyncFlags = SYNC_SETTLED;
    host.aux().queue = {AUX_INT};  // the reselection is pending: the selection waits
    PSCSI_REQUEST_BLOCK held = request("held", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
    HbaStartIo(&adapter, held);
    host.reg(REG_SOURCE_ID).value = 0x02;
    host.reg(REG_DATA).value = 0x80;
    interrupt(STATUS_RESELECTED_IDENTIFY);
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_INVALID_RESELECTION}));
    EXPECT_EQ(copy(adapter.PendingSrb), held);
}

}  // namespace
}  // namespace cbus::test
