// Request dispatch, the control request, message-only requests, and the selection paths.
#include "tests/unit/engine_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;

class DispatchTest : public EngineTest {};

TEST_F(DispatchTest, FunctionsNotServedComeBackAtOnce) {
    for (UCHAR function : {SRB_FUNCTION_CLAIM_DEVICE, SRB_FUNCTION_SHUTDOWN, SRB_FUNCTION_FLUSH,
                           SRB_FUNCTION_RELEASE_RECOVERY, SRB_FUNCTION_FLUSH_QUEUE}) {
        host.clearLog();
        PSCSI_REQUEST_BLOCK srb = message("srb", function, 1, 0);
        EXPECT_EQ(HbaStartIo(&adapter, srb), TRUE);
        EXPECT_EQ(host.log(), (Log{"complete srb=22", "next"})) << int(function);
    }
}

TEST_F(DispatchTest, MalformedExecuteRequestsEndWithoutTouchingTheBus) {
    host.addUnit(1, 0);
    PSCSI_REQUEST_BLOCK noCdb = request("nocdb", 1, 0, SCSIOP_INQUIRY);
    noCdb->CdbLength = 0;
    PSCSI_REQUEST_BLOCK longCdb = request("long", 1, 0, SCSIOP_INQUIRY);
    longCdb->CdbLength = 13;
    PSCSI_REQUEST_BLOCK noUnit = request("nounit", 2, 0, SCSIOP_INQUIRY);

    HbaStartIo(&adapter, noCdb);
    HbaStartIo(&adapter, longCdb);
    HbaStartIo(&adapter, noUnit);
    EXPECT_EQ(host.log(), (Log{"complete nocdb=06", "next", "complete long=06", "next",
                               "lun 0:2:0=no", "complete nounit=08", "next"}));
    EXPECT_EQ(copy(adapter.PendingSrb), nullptr);
}

TEST_F(DispatchTest, MessageRequestForAbsentUnitEnds) {
    PSCSI_REQUEST_BLOCK reset = message("rst", SRB_FUNCTION_RESET_DEVICE, 3, 0);
    HbaStartIo(&adapter, reset);
    EXPECT_EQ(host.log(), (Log{"lun 0:3:0=no", "complete rst=08", "next"}));
}

struct ControlCase {
    const char* name;
    const char* signature;
    ULONG code;
    ULONG bufferLength;
    bool accepted;
    ULONG returnCode;
};

class ControlRequestTest : public EngineTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlRequestTest, OnlyTheSignatureAndTheResetCodeAreServed) {
    const ControlCase& c = GetParam();
    host.addUnit(4, 0);
    PSCSI_REQUEST_BLOCK srb = request("ctl", 4, 0, 0, SRB_FLAGS_DATA_IN, c.bufferLength);
    srb->Function = SRB_FUNCTION_IO_CONTROL;
    std::vector<UCHAR>& buffer = bufferOf(srb);
    SRB_IO_CONTROL header{};
    std::memcpy(header.Signature, c.signature, 8);
    header.ControlCode = c.code;
    header.ReturnCode = 0x55;
    std::memcpy(buffer.data(), &header, std::min<size_t>(buffer.size(), sizeof(header)));

    HbaStartIo(&adapter, srb);

    SRB_IO_CONTROL after{};
    std::memcpy(&after, buffer.data(), std::min<size_t>(buffer.size(), sizeof(after)));
    if (c.accepted) {
        EXPECT_EQ(copy(adapter.PendingSrb), srb);
        EXPECT_EQ(queued(), (std::vector<UCHAR>{MSG_BUS_DEVICE_RESET}));
        EXPECT_EQ(adapter.ActiveFlags & (ACTIVE_MESSAGE_REQUEST | ACTIVE_MESSAGES_ONLY),
                  ULONG{ACTIVE_MESSAGE_REQUEST});
    } else {
        EXPECT_EQ(host.log({"complete", "next"}), (Log{"complete ctl=06", "next"}));
    }
    if (c.bufferLength >= sizeof(SRB_IO_CONTROL)) {
        EXPECT_EQ(after.ReturnCode, c.returnCode);
    } else {
        // A buffer too short for the header is not written.
        EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.end()),
                  std::vector<UCHAR>(reinterpret_cast<UCHAR*>(&header),
                                     reinterpret_cast<UCHAR*>(&header) + buffer.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ControlRequestTest,
    ::testing::Values(
        ControlCase{"ResetCode", "DOZIZAVA", 1, sizeof(SRB_IO_CONTROL), true, 0},
        ControlCase{"OtherCode", "DOZIZAVA", 2, sizeof(SRB_IO_CONTROL), false, 11},
        ControlCase{"LastSignatureByteDiffers", "DOZIZAVB", 1, sizeof(SRB_IO_CONTROL), false, 11},
        ControlCase{"FirstSignatureByteDiffers", "XOZIZAVA", 1, sizeof(SRB_IO_CONTROL), false, 11},
        ControlCase{"ShortBuffer", "DOZIZAVA", 1, sizeof(SRB_IO_CONTROL) - 1, false, 0x55}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(DispatchTest, ControlRequestWithoutBufferIsRefusedUnread) {
    PSCSI_REQUEST_BLOCK srb = message("ctl", SRB_FUNCTION_IO_CONTROL, 4, 0);
    srb->DataTransferLength = sizeof(SRB_IO_CONTROL);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log(), (Log{"complete ctl=06", "next"}));
}

TEST_F(DispatchTest, ResetBusRequestIsCompletedAfterTheReset) {
    PHW_LU_EXTENSION unit = host.addUnit(1, 0);
    PSCSI_REQUEST_BLOCK busy = request("busy", 1, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 512);
    unit->ActiveSrb = busy;
    PSCSI_REQUEST_BLOCK reset = message("rst", SRB_FUNCTION_RESET_BUS, 5, 0);
    reset->PathId = 3;

    HbaStartIo(&adapter, reset);
    EXPECT_EQ(host.log({"complete", "next", "W18"}),
              (Log{"W18=04", "W18=00", "complete busy=0E", "complete rst=01", "next"}));
}

TEST_F(DispatchTest, TerminateIsRefused) {
    host.addUnit(1, 0);
    HbaStartIo(&adapter, message("term", SRB_FUNCTION_TERMINATE_IO, 1, 0));
    EXPECT_EQ(host.log({"complete", "next"}), (Log{"complete term=06", "next"}));
}

class SelectTest : public EngineTest {
  protected:
    SelectTest() { unit = host.addUnit(2, 1); }
    PHW_LU_EXTENSION unit;
};

TEST_F(SelectTest, FirstCommandToATargetOffersSdtrBySelectWithAtn) {
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 1, SCSIOP_READ, SRB_FLAGS_DATA_IN, 4096);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log(),
              (Log{"lun 0:2:1=yes", "S=01", "W11=20", "W15=42", "W10=00", "S=01", "W18=06"}));
    EXPECT_EQ(queued(), (std::vector<UCHAR>{0xC1, 0x01, 0x03, 0x01, 50, 12}));
    EXPECT_EQ(copy(adapter.ActiveFlags),
              ULONG{ACTIVE_PENDING | ACTIVE_MESSAGE_OUT | ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE});
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_SELECTING});
    EXPECT_EQ(copy(adapter.PendingSrb), srb);
    EXPECT_EQ(copy(unit->ActiveSrb), srb);
    EXPECT_EQ(srb->Cdb[1], 0) << "Select-with-ATN leaves the CDB alone";
}

TEST_F(SelectTest, NegotiatedTargetGoesBySelectAndTransferWithTheCdbLoaded) {
    adapter.TargetSync[2] = {SYNC_SETTLED, 3, 8, 0};
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 1, SCSIOP_READ, SRB_FLAGS_DATA_IN, 4096);
    srb->Cdb[1] = 0xFF;
    srb->CdbLength = 12;
    for (UCHAR i = 2; i < 12; i++) {
        srb->Cdb[i] = i;
    }
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log(),
              (Log{"lun 0:2:1=yes", "S=01",    "W11=38", "W15=42", "W0F=01", "W00=0C", "W03=28",
                   "W04=3F",        "W05=02",  "W06=03", "W07=04", "W08=05", "W09=06", "W0A=07",
                   "W0B=08",        "W0C=09",  "W0D=0A", "W0E=0B", "W16=80", "S=01",   "W12=00",
                   "W+13=00",       "W+14=00", "W10=00", "W18=08"}));
    EXPECT_EQ(copy(adapter.MessageIndex), 1) << "the controller sends the IDENTIFY";
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_SDTR_MASK, 0u);
}

TEST_F(SelectTest, InquiryAndSynchDisabledRequestsNeverOfferSdtr) {
    PSCSI_REQUEST_BLOCK inquiry = request("inq", 2, 1, SCSIOP_INQUIRY, SRB_FLAGS_DATA_IN, 36);
    HbaStartIo(&adapter, inquiry);
    EXPECT_EQ(copy(adapter.MessageCount), 1);
    EXPECT_EQ(host.log({"W18"}), (Log{"W18=08"}));

    adapter.BusState = BUS_FREE;
    adapter.TargetSync[2] = {0, 5, 7, 1};
    PSCSI_REQUEST_BLOCK plain =
        request("rd", 2, 1, SCSIOP_READ, SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER, 8);
    HbaStartIo(&adapter, plain);
    EXPECT_EQ(copy(adapter.MessageCount), 1);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 7) << "the entry is left as it was";
}

TEST_F(SelectTest, DataOutInPlainModeHandsTheDataToSystemDmaFirst) {
    adapter.TargetSync[2].SyncFlags = SYNC_SETTLED;
    PSCSI_REQUEST_BLOCK srb = request("wr", 2, 1, SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 1024);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log({"W15", "W18", "iomap", "BC"}),
              (Log{"W15=02", "iomap wr len=1024", "BC=01"}));
    EXPECT_EQ(copy(adapter.DeferredCommand), CMD_SELECT_ATN_TRANSFER);
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_TRANSFER_MASK, ULONG{ACTIVE_TRANSFER_MASK});

    // No disconnection: selected at once, no DMA.
    adapter.BusState = BUS_FREE;
    adapter.ActiveFlags = 0;
    adapter.OptionFlags = OPTION_NO_DISCONNECT;
    host.clearLog();
    HbaStartIo(&adapter, request("wr2", 2, 1, SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 1024));
    EXPECT_EQ(host.log({"W18", "iomap"}), (Log{"W18=09"}));
    EXPECT_EQ(copy(adapter.MessageBuffer[0]), 0x81) << "IDENTIFY without disconnect privilege";
}

TEST_F(SelectTest, RequestWithoutDirectionHasNoLength) {
    adapter.TargetSync[2].SyncFlags = SYNC_SETTLED;
    PSCSI_REQUEST_BLOCK srb = request("tur", 2, 1, 0x00, 0, 100);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(srb->DataTransferLength, 0u);
    EXPECT_EQ(copy(unit->SavedDataLength), 0u);
}

TEST_F(SelectTest, SynchronousValueByBoard) {
    adapter.TargetIdMap[2] = 5;
    adapter.TargetSync[2] = {SYNC_SETTLED, 2, 12, 1};
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    HbaStartIo(&adapter, request("a", 2, 1, SCSIOP_READ, SRB_FLAGS_DATA_IN, 512));
    EXPECT_EQ(host.log({"W11", "W65", "W15"}), (Log{"W65=AC", "W15=45"}));

    adapter.BusState = BUS_FREE;
    adapter.AdapterMode = ADAPTER_MODE_FIFO;
    adapter.TargetSync[3] = {0, 2, 0, 0};
    host.addUnit(3, 0);
    host.clearLog();
    HbaStartIo(&adapter, request("b", 3, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 512));
    EXPECT_EQ(host.log({"W11", "W6", "W18"}), (Log{"W11=20", "W18=08"}));
    EXPECT_EQ(copy(adapter.TargetSync[3].SyncFlags), SYNC_NEVER_OFFER)
        << "FIFO boards never negotiate";
}

TEST_F(SelectTest, SelectionNotStartedMarksNothingInProgress) {
    host.aux().queue = {AUX_INT};
    PSCSI_REQUEST_BLOCK srb = request("rd", 2, 1, SCSIOP_READ, SRB_FLAGS_DATA_IN, 512);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log({"W", "S"}), (Log{"S=80"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
    EXPECT_EQ(copy(adapter.PendingSrb), srb);
    EXPECT_EQ(adapter.ActiveFlags & (ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE), 0u);

    adapter.ActiveFlags = 0;
    host.aux().queue = {AUX_BSY};
    PSCSI_REQUEST_BLOCK reset = message("rst", SRB_FUNCTION_RESET_DEVICE, 2, 1);
    HbaStartIo(&adapter, reset);
    EXPECT_EQ(copy(adapter.PendingSrb), reset);
    EXPECT_EQ(adapter.ActiveFlags & (ACTIVE_MESSAGE_REQUEST | ACTIVE_MESSAGES_ONLY), 0u);
}

TEST_F(SelectTest, DataEngineTimeoutDuringSelectionLeavesNothingStarted) {
    adapter.AdapterMode = ADAPTER_MODE_FIFO;
    adapter.PioDataPort = host.ioBasePointer() + PORT_FIFO;
    PSCSI_REQUEST_BLOCK srb = request("wr", 2, 1, SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 512);
    // The FIFO never reports ready or stopped.
    host.reg(REG_FIFO_STATUS).value = 0;
    host.readOnly(REG_FIFO_STATUS);
    HbaStartIo(&adapter, srb);
    EXPECT_EQ(host.log({"complete", "next", "reset"}), (Log{"reset", "next", "complete wr=14"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_FREE});
    EXPECT_EQ(copy(adapter.PendingSrb), nullptr);
    EXPECT_EQ(copy(adapter.ActiveFlags), 0u);
}

class MessageRequestTest : public EngineTest {
  protected:
    MessageRequestTest() {
        unit = host.addUnit(2, 1);
        other = host.addUnit(2, 4);
    }
    PHW_LU_EXTENSION unit;
    PHW_LU_EXTENSION other;
};

TEST_F(MessageRequestTest, AbortOfAnotherRequestFailsAtOnce) {
    PSCSI_REQUEST_BLOCK active = request("act", 2, 1, SCSIOP_READ);
    unit->ActiveSrb = active;
    PSCSI_REQUEST_BLOCK abort = message("abt", SRB_FUNCTION_ABORT_COMMAND, 2, 1);
    abort->NextSrb = request("gone", 2, 1, SCSIOP_READ);
    HbaStartIo(&adapter, abort);
    EXPECT_EQ(host.log({"complete", "next"}), (Log{"complete abt=03", "next"}));
    EXPECT_EQ(copy(unit->MessageSrb), nullptr);
}

TEST_F(MessageRequestTest, AbortSendsIdentifyAndAbortThenEndsBothInOrder) {
    PSCSI_REQUEST_BLOCK active = request("act", 2, 1, SCSIOP_READ);
    unit->ActiveSrb = active;
    PSCSI_REQUEST_BLOCK abort = message("abt", SRB_FUNCTION_ABORT_COMMAND, 2, 1);
    abort->NextSrb = active;
    HbaStartIo(&adapter, abort);
    EXPECT_EQ(queued(), (std::vector<UCHAR>{0xC1, MSG_ABORT}));
    EXPECT_EQ(host.log({"W18"}), (Log{"W18=06"}));
    EXPECT_EQ(adapter.ActiveFlags & 0x30u, 0x30u);

    HbaCompleteMessageSrb(&adapter, SRB_STATUS_SUCCESS);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete act=02", "complete abt=01"}));
    EXPECT_EQ(copy(unit->ActiveSrb), nullptr);
    EXPECT_EQ(copy(unit->MessageSrb), nullptr);
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_MESSAGE_REQUEST, 0u);
}

TEST_F(MessageRequestTest, AbortWhoseRequestEndedWhileHeldReleasesTheHold) {
    PSCSI_REQUEST_BLOCK active = request("act", 2, 1, SCSIOP_READ);
    unit->ActiveSrb = active;
    PSCSI_REQUEST_BLOCK abort = message("abt", SRB_FUNCTION_ABORT_COMMAND, 2, 1);
    abort->NextSrb = active;
    adapter.BusState = BUS_CONNECTED;  // another target is connected: the abort is held
    HbaStartIo(&adapter, abort);
    EXPECT_EQ(copy(adapter.PendingSrb), abort);

    unit->ActiveSrb = nullptr;  // the request ended meanwhile
    adapter.ActiveLuExtension = other;
    interrupt(STATUS_DISCONNECTED, PHASE_DISCONNECTED_IN_SEQUENCE);
    EXPECT_EQ(host.log({"complete", "next"}), (Log{"complete abt=03", "next"}));
    EXPECT_EQ(copy(adapter.PendingSrb), nullptr);
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_PENDING, 0u);
    EXPECT_EQ(copy(unit->MessageSrb), nullptr);

    // No later bus free or reset hands it back again.
    interrupt(STATUS_DISCONNECTED, PHASE_DISCONNECTED_IN_SEQUENCE);
    HbaCompleteAll(&adapter);
    EXPECT_EQ(host.completions().size(), 1u);
}

TEST_F(MessageRequestTest, DeviceResetEndsEveryLunOfTheTargetFirst) {
    PSCSI_REQUEST_BLOCK a = request("a", 2, 1, SCSIOP_READ);
    PSCSI_REQUEST_BLOCK b = request("b", 2, 4, SCSIOP_READ);
    unit->ActiveSrb = a;
    other->ActiveSrb = b;
    PSCSI_REQUEST_BLOCK reset = message("rst", SRB_FUNCTION_RESET_DEVICE, 2, 1);
    HbaStartIo(&adapter, reset);
    EXPECT_EQ(queued(), (std::vector<UCHAR>{0xC1, MSG_BUS_DEVICE_RESET}));
    interrupt(STATUS_DISCONNECTED, 0);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete a=0E", "complete b=0E", "complete rst=01"}));
    EXPECT_TRUE(host.errors().empty()) << "a bus free after the message is announced";
}

TEST_F(MessageRequestTest, RejectedMessageEndsOnlyTheMessageRequest) {
    PSCSI_REQUEST_BLOCK a = request("a", 2, 1, SCSIOP_READ);
    unit->ActiveSrb = a;
    unit->MessageSrb = message("rst", SRB_FUNCTION_RESET_DEVICE, 2, 1);
    adapter.ActiveLuExtension = unit;
    adapter.ActiveFlags = ACTIVE_MESSAGE_REQUEST;
    HbaCompleteMessageSrb(&adapter, SRB_STATUS_MESSAGE_REJECTED);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete rst=0D"}));
    EXPECT_EQ(copy(unit->ActiveSrb), a);
}

}  // namespace
}  // namespace cbus::test
