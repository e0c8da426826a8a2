// Message-in handling, synchronous negotiation, and request completion with device snooping.
#include "tests/unit/engine_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;
using Bytes = std::vector<UCHAR>;

class MessageTest : public EngineTest {
  protected:
    MessageTest() {
        HbaSettings.MinSyncPeriod = 25;
        HbaSettings.MaxSyncOffset = 12;
        unit = host.addUnit(2, 0);
        srb = request("rd", 2, 0, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
        connect(srb, BUS_MESSAGE_IN);
    }
    PHW_LU_EXTENSION unit;
    PSCSI_REQUEST_BLOCK srb;
};

struct RejectCase {
    const char* name;
    Bytes message;
    ULONG flags;
};

class RejectTest : public MessageTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RejectTest, AnsweredWithMessageReject) {
    setMessage(GetParam().message);
    adapter.ActiveFlags = GetParam().flags;
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(queued(), (Bytes{MSG_MESSAGE_REJECT}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_MESSAGE_EXCHANGE});
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RejectTest,
    ::testing::Values(RejectCase{"LinkedComplete", {0x0A}, 0},
                      RejectCase{"LinkedCompleteFlag", {0x0B}, 0}, RejectCase{"Abort", {0x06}, 0},
                      RejectCase{"Identify", {0x80}, 0},
                      RejectCase{"AfterCommandComplete", {0x02}, ACTIVE_MESSAGES_ONLY},
                      RejectCase{"ExtendedLengthZero", {0x01, 0x00}, 0},
                      RejectCase{"ExtendedCutAtSeven", {0x01, 0x09, 0x01, 1, 2, 3, 4}, 0},
                      RejectCase{"UnknownExtended", {0x01, 0x02, 0x02, 0x00}, 0},
                      RejectCase{"SdtrWrongLength", {0x01, 0x02, 0x01, 0x19}, 0},
                      RejectCase{"ModifyBeyondTheData", {0x01, 0x05, 0x00, 0, 0, 0, 65}, 0},
                      RejectCase{
                          "ModifyBeforeTheStart", {0x01, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xF0}, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MessageTest, ExtendedMessageWaitsForItsLength) {
    setMessage({0x01});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    setMessage({0x01, 0x03, 0x01, 0x19});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_CONNECTED});
    setMessage({0x01, 0x05, 0x00, 0, 0, 0});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.MessageCount), 6) << "kept for the next byte";
}

TEST_F(MessageTest, PointerMessages) {
    PUCHAR start = adapter.CurrentDataPointer;
    adapter.CurrentDataPointer = start + 32;
    adapter.CurrentDataLength = 32;
    setMessage({MSG_SAVE_DATA_POINTER});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(unit->SavedDataPointer), start + 32);

    setMessage({0x01, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xF0});  // -16
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.CurrentDataPointer), start + 16);
    EXPECT_EQ(copy(adapter.CurrentDataLength), 48u);

    setMessage({MSG_RESTORE_POINTERS});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.CurrentDataPointer), start + 32);
    EXPECT_EQ(copy(adapter.CurrentDataLength), 32u);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_CONNECTED});
}

TEST_F(MessageTest, ModifyDataPointerWithoutAnExecuteRequestIsRejected) {
    unit->ActiveSrb = nullptr;
    unit->MessageSrb = message("abt", SRB_FUNCTION_ABORT_COMMAND, 2, 0);
    PUCHAR before = adapter.CurrentDataPointer;
    setMessage({0x01, 0x05, 0x00, 0, 0, 0, 4});
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(queued(), (Bytes{MSG_MESSAGE_REJECT}));
    EXPECT_EQ(copy(adapter.CurrentDataPointer), before);
}

TEST_F(MessageTest, CommandCompleteAndDisconnectAnnounceBusFree) {
    unit->LuFlags = LU_STATUS_RECEIVED;
    unit->MaxBytesMoved = 64;
    setMessage({MSG_COMMAND_COMPLETE});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(host.log({"complete"}), (Log{"complete rd=01"}));
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_LEAVING});
    EXPECT_EQ(copy(unit->ActiveSrb), nullptr);

    setMessage({MSG_DISCONNECT});
    adapter.ActiveFlags = 0;
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.ActiveFlags), ULONG{ACTIVE_MESSAGES_ONLY});
}

TEST_F(MessageTest, WdtrIsAnsweredWithEightBits) {
    setMessage({0x01, 0x02, 0x03, 0x02});
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(queued(), (Bytes{0x01, 0x02, 0x03, 0x00}));
}

// A width agreement ends the synchronous one (the target drops it too): the target is
// asynchronous at once, in the registers as well, and is offered SDTR again next time; a target
// never to be offered SDTR keeps that mark.
TEST_F(MessageTest, WdtrEndsTheSynchronousAgreement) {
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    adapter.TargetIdMap[2] = 4;
    adapter.TargetSync[2] = {SYNC_SETTLED, 2, 8, 0};
    setMessage({0x01, 0x02, 0x03, 0x01});
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), 0);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 0);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncPeriod), SYNC_PERIOD_ASYNC);
    EXPECT_EQ(host.log({"W"}), (Log{"W64=20", "W11=20"}));

    adapter.TargetSync[2] = {SYNC_SETTLED | SYNC_NEVER_OFFER, 2, 0, 0};
    setMessage({0x01, 0x02, 0x03, 0x01});
    HbaMessageIn(&adapter);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), SYNC_NEVER_OFFER);
}

struct SdtrCase {
    const char* name;
    bool ours;  // a reply to the adapter's SDTR
    UCHAR period, offset;
    bool accepted;
    Bytes answer;  // queued when the target started it
    TARGET_SYNC entry;
    Log writes;
};

class SdtrTest : public MessageTest, public ::testing::WithParamInterface<SdtrCase> {};

TEST_P(SdtrTest, AgreedSettingsAndRegister) {
    const SdtrCase& c = GetParam();
    adapter.ActiveFlags = c.ours ? ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE : 0;
    setMessage({0x01, 0x03, 0x01, c.period, c.offset});
    BOOLEAN reply = HbaMessageIn(&adapter);
    const TARGET_SYNC& e = adapter.TargetSync[2];
    EXPECT_EQ((Bytes{e.SyncFlags, e.SyncPeriod, e.SyncOffset, e.SyncFast}),
              (Bytes{c.entry.SyncFlags, c.entry.SyncPeriod, c.entry.SyncOffset, c.entry.SyncFast}));
    EXPECT_EQ(host.log({"W"}), c.writes);
    if (!c.accepted) {
        EXPECT_EQ(queued(), (Bytes{MSG_MESSAGE_REJECT}));
    } else if (c.ours) {
        EXPECT_EQ(reply, FALSE);
        EXPECT_EQ(adapter.ActiveFlags & ACTIVE_SDTR_MASK, 0u);
    } else {
        EXPECT_EQ(reply, TRUE);
        EXPECT_EQ(queued(), c.answer);
        EXPECT_EQ(adapter.ActiveFlags & ACTIVE_SDTR_MASK, ULONG{ACTIVE_SDTR_ANSWERED});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SdtrTest,
    ::testing::Values(
        SdtrCase{"TargetsLoweredToOurLimits",
                 false,
                 12,
                 20,
                 true,
                 {1, 3, 1, 25, 12},
                 {0, 2, 12, 1},
                 {"W11=AC"}},
        SdtrCase{"ReplyBeyondOurLimits", true, 12, 20, false, {}, {SYNC_SETTLED, 2, 0, 0}, {}},
        SdtrCase{"ReplyAccepted", true, 50, 8, true, {}, {SYNC_SETTLED, 2, 8, 0}, {"W11=28"}},
        SdtrCase{"Period75", true, 75, 8, true, {}, {SYNC_SETTLED, 3, 8, 0}, {"W11=38"}},
        SdtrCase{"Period150", false, 150, 4, true, {1, 3, 1, 150, 4}, {0, 6, 4, 0}, {"W11=64"}},
        SdtrCase{"Period151Refused", false, 151, 4, false, {}, {SYNC_SETTLED, 2, 0, 0}, {}},
        SdtrCase{"OffsetZeroIsAsynchronous", true, 10, 0, true, {}, {SYNC_SETTLED, 2, 0, 0}, {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MessageTest, SdtrInWindowModeWritesBothRegisters) {
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    adapter.TargetIdMap[2] = 4;
    setMessage({0x01, 0x03, 0x01, 25, 8});
    HbaMessageIn(&adapter);
    EXPECT_EQ(host.log({"W"}), (Log{"W64=A8", "W11=A8"}));
}

TEST_F(MessageTest, TargetSdtrRejectedWhenTheRequestDisablesSynchronous) {
    srb->SrbFlags |= SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    setMessage({0x01, 0x03, 0x01, 25, 8});
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(queued(), (Bytes{MSG_MESSAGE_REJECT}));
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 0);
}

TEST_F(MessageTest, MessageRejectOfOurSdtrLeavesTheTargetAsynchronousForGood) {
    adapter.ActiveFlags = ACTIVE_SDTR_SENT;
    setMessage({MSG_MESSAGE_REJECT});
    EXPECT_EQ(HbaMessageIn(&adapter), FALSE);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), SYNC_SETTLED | SYNC_NEVER_OFFER);
    EXPECT_EQ(copy(adapter.BusState), ULONG{BUS_CONNECTED});
}

TEST_F(MessageTest, SdtrDuringAMessageRequestReachesItsTarget) {
    unit->ActiveSrb = nullptr;
    PHW_LU_EXTENSION resetUnit = host.addUnit(5, 0);
    resetUnit->MessageSrb = message("rst", SRB_FUNCTION_RESET_DEVICE, 5, 0);
    adapter.ActiveLuExtension = resetUnit;
    adapter.TargetIdMap[5] = 3;
    adapter.TargetId = 5;  // as the selection left it
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    setMessage({0x01, 0x03, 0x01, 25, 8});
    EXPECT_EQ(HbaMessageIn(&adapter), TRUE);
    EXPECT_EQ(copy(adapter.TargetSync[5].SyncOffset), 8);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncOffset), 0);
    EXPECT_EQ(host.log({"W"}), (Log{"W63=A8", "W11=A8"}));
}

TEST_F(MessageTest, TargetSilentAfterOurAnswerAcceptsIt) {
    adapter.ActiveFlags = ACTIVE_SDTR_ANSWERED;
    setMessage({MSG_SAVE_DATA_POINTER});
    HbaMessageIn(&adapter);
    EXPECT_EQ(copy(adapter.TargetSync[2].SyncFlags), SYNC_SETTLED);
    EXPECT_EQ(adapter.ActiveFlags & ACTIVE_SDTR_MASK, 0u);
}

TEST_F(MessageTest, LoadSyncOrder) {
    adapter.TargetSync[2] = {SYNC_SETTLED, 3, 8, 0};
    HbaLoadSync(&adapter, TRUE, TRUE);
    EXPECT_EQ(host.log({"W"}), (Log{"W11=38", "W18=02", "W18=03"}));
    host.clearLog();
    adapter.AdapterMode = ADAPTER_MODE_FIFO;
    HbaLoadSync(&adapter, FALSE, TRUE);
    EXPECT_EQ(host.log({"W"}), (Log{"W11=20", "W18=03"}));
}

class CompleteTest : public EngineTest {
  protected:
    CompleteTest() { unit = host.addUnit(2, 3); }

    // Completes a good request of Opcode to unit 2:3 with the data, Moved bytes of it moved.
    PSCSI_REQUEST_BLOCK complete(UCHAR opcode, Bytes data, ULONG length, ULONG moved,
                                 UCHAR lun = 3) {
        PSCSI_REQUEST_BLOCK srb = request("r", 2, lun, opcode, SRB_FLAGS_DATA_IN, length);
        std::copy(data.begin(), data.end(), bufferOf(srb).begin());
        PHW_LU_EXTENSION u = connect(srb);
        u->LuFlags = LU_STATUS_RECEIVED;
        u->MaxBytesMoved = moved;
        HbaCompleteRequest(&adapter);
        return srb;
    }

    static Bytes inquiry(UCHAR type, const char* product) {
        Bytes data(36, ' ');
        data[0] = type;
        for (size_t i = 0; product[i] != 0; i++) {
            data[16 + i] = static_cast<UCHAR>(product[i]);
        }
        return data;
    }

    PHW_LU_EXTENSION unit;
};

TEST_F(CompleteTest, StatusAndLength) {
    struct Case {
        UCHAR scsiStatus;
        bool statusReceived;
        ULONG moved;
        UCHAR srbStatus;
    };
    for (Case c :
         {Case{0x00, true, 64, SRB_STATUS_SUCCESS}, Case{0x04, true, 64, SRB_STATUS_SUCCESS},
          Case{0x02, true, 10, SRB_STATUS_ERROR}, Case{0x00, true, 10, SRB_STATUS_DATA_OVERRUN},
          Case{0x00, false, 64, SRB_STATUS_PHASE_SEQUENCE_FAILURE}}) {
        PSCSI_REQUEST_BLOCK srb = request("r", 2, 3, SCSIOP_READ, SRB_FLAGS_DATA_IN, 64);
        connect(srb);
        srb->ScsiStatus = c.scsiStatus;
        unit->LuFlags = c.statusReceived ? LU_STATUS_RECEIVED : 0;
        unit->MaxBytesMoved = c.moved;
        unit->SelectionRetries = 1;
        HbaCompleteRequest(&adapter);
        EXPECT_EQ(srb->SrbStatus, c.srbStatus) << int(c.scsiStatus);
        EXPECT_EQ(srb->DataTransferLength, c.moved);
        EXPECT_EQ(copy(unit->ActiveSrb), nullptr);
        EXPECT_EQ(copy(unit->LuFlags), 0);
        EXPECT_EQ(copy(unit->SelectionRetries), 0u);
    }
    EXPECT_EQ(errorIds(), (std::vector<ULONG>{ERROR_ID_NO_STATUS_BYTE}));
}

TEST_F(CompleteTest, InquirySnooping) {
    PSCSI_REQUEST_BLOCK srb = complete(SCSIOP_INQUIRY, inquiry(5, "CD-ROM QV-72T-X"), 255, 36);
    EXPECT_EQ(bufferOf(srb)[0], DEVICE_NOT_PRESENT) << "phantom LUN of the quirk drive";
    EXPECT_EQ(copy(adapter.DeviceType[2][3]), DEVICE_NOT_PRESENT);
    EXPECT_EQ(srb->DataTransferLength, 36u);
    EXPECT_EQ(srb->SrbStatus, SRB_STATUS_DATA_OVERRUN);

    srb = complete(SCSIOP_INQUIRY, inquiry(5, "CD-ROM QV-72T"), 36, 36, 0);
    EXPECT_EQ(bufferOf(srb)[0], 5) << "LUN 0 is the drive";

    HbaSettings.CdrOption = 1;
    srb = complete(SCSIOP_INQUIRY, inquiry(4, "WORM"), 36, 36);
    EXPECT_EQ(bufferOf(srb)[0], DEVICE_CDROM);
    EXPECT_EQ(copy(adapter.DeviceType[2][3]), DEVICE_CDROM);

    complete(SCSIOP_INQUIRY, inquiry(DEVICE_SCANNER, "SCAN"), 36, 36);
    EXPECT_EQ(HbaSettings.ByteModeTable[2][3], 1);
}

TEST_F(CompleteTest, SnoopingReadsOnlyMovedBytes) {
    // The product identification was not moved: no quirk, but the type byte was.
    PSCSI_REQUEST_BLOCK srb = complete(SCSIOP_INQUIRY, inquiry(5, "CD-ROM QV-72T"), 36, 20);
    EXPECT_EQ(bufferOf(srb)[0], 5);
    EXPECT_EQ(copy(adapter.DeviceType[2][3]), 5);

    // Nothing moved: nothing learned, nothing written.
    srb = complete(SCSIOP_INQUIRY, inquiry(4, "X"), 36, 0);
    EXPECT_EQ(copy(adapter.DeviceType[2][3]), 5);
    EXPECT_EQ(bufferOf(srb)[0], 4);

    // A saved pointer part-way through does not shift the positions read.
    srb = request("cap", 2, 3, SCSIOP_READ_CAPACITY, SRB_FLAGS_DATA_IN, 8);
    bufferOf(srb) = {0, 0, 0, 0, 0, 0, 0x02, 0x00};
    srb->DataBuffer = bufferOf(srb).data();
    PHW_LU_EXTENSION u = connect(srb);
    u->SavedDataPointer += 4;
    u->LuFlags = LU_STATUS_RECEIVED;
    u->MaxBytesMoved = 8;
    HbaCompleteRequest(&adapter);
    EXPECT_EQ(copy(adapter.BurstSize[2][3]), 512u);

    complete(SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 0x08, 0x00}, 8, 7);
    EXPECT_EQ(copy(adapter.BurstSize[2][3]), 512u) << "byte 7 was not moved";
}

TEST_F(CompleteTest, BlockLengthSnooping) {
    struct Case {
        UCHAR type;
        UCHAR opcode;
        Bytes data;
        ULONG burst;
    };
    const Bytes mode2048 = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x08, 0x00};
    for (Case c :
         {Case{5, SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 0x08, 0x00}, 2048},
          Case{0, SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 0x10, 0x00}, 2048},
          Case{0, SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 1, 0x00, 0x00}, 256},
          Case{0, SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 0x02, 0x02}, 256},
          Case{DEVICE_NOT_PRESENT, SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 2, 0}, 256},
          Case{5, SCSIOP_MODE_SENSE6, mode2048, 2048}, Case{0, SCSIOP_MODE_SENSE6, mode2048, 256},
          Case{4, SCSIOP_MODE_SENSE6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 256}}) {
        adapter.BurstSize[2][3] = BURST_SIZE_DEFAULT;
        adapter.DeviceType[2][3] = c.type;
        complete(c.opcode, c.data, static_cast<ULONG>(c.data.size()),
                 static_cast<ULONG>(c.data.size()));
        EXPECT_EQ(copy(adapter.BurstSize[2][3]), c.burst) << int(c.type) << " " << int(c.opcode);
    }

    HbaSettings.BurstSizeOption = 1024;
    adapter.DeviceType[2][3] = 5;
    complete(SCSIOP_READ_CAPACITY, {0, 0, 0, 0, 0, 0, 0x08, 0x00}, 8, 8);
    EXPECT_EQ(copy(adapter.BurstSize[2][3]), 256u) << "a fixed burst size is never changed";
}

TEST_F(CompleteTest, PrefixMatch) {
    const UCHAR data[] = "CD-ROM QV-72T rev";
    EXPECT_TRUE(HbaPrefixMatch(data, "CD-ROM QV-72T"));
    EXPECT_TRUE(HbaPrefixMatch(data, ""));
    EXPECT_FALSE(HbaPrefixMatch(data, "cd-rom"));
}

}  // namespace
}  // namespace cbus::test
