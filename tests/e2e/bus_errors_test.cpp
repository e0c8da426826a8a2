// Bus and target errors end to end: each ends its request as the driver defines, writes the
// expected error-log entry, and leaves the disk served afterwards, in each transfer mode.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;

scsi::TargetSettings staysConnected() {
    scsi::TargetSettings ts;
    ts.disconnects = false;
    return ts;
}

scsi::FaultSpec once() {
    scsi::FaultSpec s;
    s.times = 1;
    return s;
}

// After an error the disk still serves a read, byte for byte.
void expectServedAfter(Scene& scene, std::uint32_t lba) {
    scene.target = kDisk;
    std::vector<std::uint8_t> data(16 * kBlock);
    const Outcome out = scene.runRequest(read10(lba, 16), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, lba, 16 * kBlock));
}

class BusErrors : public ::testing::TestWithParam<BoardKind> {};

TEST_P(BusErrors, BusyStatusEndsWithErrorAndNoLogEntry) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    disk.fail(scsi::Fault::Busy, once());
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(8, 4), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(out.scsiStatus, scsi::status::Busy);
    expectServedAfter(scene, 8);
    scene.expectInvariants();
}

// The first selection time-out selects again at once; the second ends the request.
struct SelectionCase {
    const char* name;
    std::uint32_t unanswered;  // selections the disk lets time out
    std::uint8_t srbStatus;
};
const SelectionCase kSelections[] = {
    {"OneTimeOutIsRetried", 1, SRB_STATUS_SUCCESS},
    {"SecondTimeOutEndsTheRequest", 2, SRB_STATUS_SELECTION_TIMEOUT},
};

class SelectionTimeout : public ::testing::TestWithParam<std::tuple<BoardKind, SelectionCase>> {};

TEST_P(SelectionTimeout, RetriedOnce) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec silent;
    silent.times = c.unanswered;
    disk.fail(scsi::Fault::NoSelectionResponse, silent);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(2 * kBlock);
    const Outcome out = scene.runRequest(read10(30, 2), data);
    EXPECT_EQ(out.srbStatus, c.srbStatus);
    EXPECT_FALSE(scene.lastTimedOut);
    EXPECT_EQ(scene.machine.trace().since(mark, "bus", "select").size(), 2u)
        << "a request is selected twice at most";
    if (c.srbStatus == SRB_STATUS_SUCCESS) {
        EXPECT_EQ(data, Scene::image(kDisk, 30, 2 * kBlock));
    }
    expectServedAfter(scene, 31);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, SelectionTimeout,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kSelections)),
                         ModeAndCaseName());

// A byte with bad parity in the data: INITIATOR DETECTED ERROR goes out, the disk gives up the
// command with CHECK CONDITION, and the parity error is logged once.
TEST_P(BusErrors, DataParityErrorSendsInitiatorDetectedError) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec parity = once();
    parity.phase = scsi::Phase::DataIn;
    parity.byte = 100;
    disk.fail(scsi::Fault::ParityError, parity);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(12, 4), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(out.scsiStatus, scsi::status::CheckCondition);
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    EXPECT_NE(std::find(sent.begin(), sent.end(), 0x05), sent.end())
        << "no INITIATOR DETECTED ERROR";
    expectServedAfter(scene, 12);
    scene.expectInvariants({Scene::logEntry(kDisk, 0, SP_BUS_PARITY_ERROR, 11)});
}

// A message byte with bad parity. Taken by the driver byte by byte (here SAVE DATA POINTER in the
// middle of the data): MESSAGE PARITY ERROR goes out, the disk sends the message again and the read
// succeeds. Taken by the controller's own status sequence (COMMAND COMPLETE): the driver answers
// INITIATOR DETECTED ERROR, and the disk ends the command with CHECK CONDITION.
struct MessageParityCase {
    const char* name;
    bool disconnects;
    std::uint8_t errorMessage;
    std::uint8_t srbStatus;
};
const MessageParityCase kMessageParity[] = {
    {"ReceivedByTheDriver", true, 0x09, SRB_STATUS_SUCCESS},
    {"ReceivedInTheStatusSequence", false, 0x05, SRB_STATUS_ERROR},
};

class MessageParity : public ::testing::TestWithParam<std::tuple<BoardKind, MessageParityCase>> {};

TEST_P(MessageParity, ErrorMessageGoesOutOnceAndTheRequestEnds) {
    const auto [mode, c] = GetParam();
    Scene scene(mode, "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    if (c.disconnects) {
        scsi::FaultSpec midData = once();
        midData.byte = kBlock;
        disk.fail(scsi::Fault::DisconnectMidData, midData);
    }
    scsi::FaultSpec parity = once();
    parity.phase = scsi::Phase::MessageIn;
    parity.byte = 0;
    disk.fail(scsi::Fault::ParityError, parity);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(14, 4), data);
    EXPECT_EQ(out.srbStatus, c.srbStatus);
    EXPECT_FALSE(scene.lastTimedOut);
    if (c.srbStatus == SRB_STATUS_SUCCESS) {
        EXPECT_EQ(data, Scene::image(kDisk, 14, 4 * kBlock));
    } else {
        EXPECT_EQ(out.scsiStatus, scsi::status::CheckCondition);
    }
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), c.errorMessage), 1) << "error message";
    expectServedAfter(scene, 14);
    scene.expectInvariants({Scene::logEntry(kDisk, 0, SP_BUS_PARITY_ERROR, 11)});
}

INSTANTIATE_TEST_SUITE_P(Cases, MessageParity,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kMessageParity)),
                         ModeAndCaseName());

// A parity error in an INQUIRY's data turns parity checking off and the INQUIRY starts again.
TEST_P(BusErrors, ParityErrorInInquiryTurnsParityCheckingOff) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec parity = once();
    parity.opcode = 0x12;
    parity.phase = scsi::Phase::DataIn;
    parity.byte = 3;
    disk.fail(scsi::Fault::ParityError, parity);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(36);
    const Outcome out = scene.runRequest({0x12, 0, 0, 0, 36, 0}, data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, 36u);
    EXPECT_EQ(data, scene.port->units().front().inquiry);
    EXPECT_EQ(scene.machine.trace().since(mark, "target0", "command").size(), 2u)
        << "the INQUIRY was not started again";
    EXPECT_EQ(scene.port->resetsDetected(), 0);

    // Parity checking stays off: a later parity error goes unnoticed by the adapter.
    disk.fail(scsi::Fault::ParityError, parity);
    data.assign(36, 0);
    EXPECT_EQ(scene.runRequest({0x12, 0, 0, 0, 36, 0}, data).srbStatus, SRB_STATUS_SUCCESS);
    expectServedAfter(scene, 20);
    scene.expectInvariants({Scene::logEntry(kDisk, 0, SP_BUS_PARITY_ERROR, 11)});
}

// The disk drops off the bus in the middle of the data: the disconnect is logged, the request is
// left unfinished until the port driver's time-out resets the bus.
TEST_P(BusErrors, UnexpectedDisconnectThenTimeOut) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec drop = once();
    drop.phase = scsi::Phase::DataIn;
    drop.byte = 600;
    disk.fail(scsi::Fault::BusFree, drop);

    port::Request r;
    r.target = kDisk;
    r.cdb = read10(0, 4);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = 4 * kBlock;
    r.timeOutSeconds = 2;
    const auto id = scene.port->submit(r);
    ASSERT_TRUE(scene.port->run());
    const port::Result& res = scene.port->result(id);
    EXPECT_TRUE(res.timedOut);
    // Still the unit's request when the reset comes: ended as the connected one.
    EXPECT_EQ(res.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    expectServedAfter(scene, 40);
    // The controller reports the drop as an unexpected disconnect (chip status 0x41).
    scene.expectInvariants({Scene::logEntry(kDisk, 0, SP_UNEXPECTED_DISCONNECT, 10)});
}

// The disk asserts RST when the command arrives: every request ends, the reset is reported,
// nothing is logged.
TEST_P(BusErrors, BusResetFromTheBus) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    disk.fail(scsi::Fault::ResetBus, once());
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(2, 4), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    EXPECT_FALSE(scene.lastTimedOut);
    EXPECT_GE(scene.port->resetsDetected(), 1);
    expectServedAfter(scene, 2);
    scene.expectInvariants();
}

// A bus reset from the bus after the disk has agreed to synchronous transfers: the reset ends
// the disk's agreement, so the driver forgets its own and negotiates again before the next data.
TEST_P(BusErrors, BusResetFromTheBusEndsTheSynchronousAgreement) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    expectServedAfter(scene, 3);  // negotiated (synchronous outside FIFO-port mode)
    disk.fail(scsi::Fault::ResetBus, once());
    std::vector<std::uint8_t> data(4 * kBlock);
    EXPECT_EQ(scene.runRequest(read10(2, 4), data).srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);

    const std::size_t mark = scene.machine.trace().mark();
    expectServedAfter(scene, 9);
    EXPECT_EQ(scene.machine.trace().since(mark, "bus", "sync-mismatch").size(), 0u);
    const scsi::SyncAgreement agreed =
        GetParam() == BoardKind::Fifo ? scsi::SyncAgreement{} : scsi::SyncAgreement{8, 50};
    EXPECT_EQ(disk.agreement(), agreed);
    scene.expectInvariants();
}

// A target that sends message after message once the CDB is in. Each SAVE DATA POINTER costs the
// driver one interrupt or two (taken by the controller's own sequence, or byte by byte), so
// seventy pass the 64 a connection may take and end in the fatal reset, while twenty are served.
struct ChattyCase {
    const char* name;
    std::size_t saveDataPointers;
    bool reset;
};
const ChattyCase kChatty[] = {
    {"TwentySaveDataPointers", 20, false},
    {"SeventySaveDataPointers", 70, true},
};

class ChattyTarget : public ::testing::TestWithParam<std::tuple<BoardKind, ChattyCase>> {};

TEST_P(ChattyTarget, IsServedUntilTheInterruptLimit) {
    const auto [mode, c] = GetParam();
    Scene scene(mode, "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec chatter = once();
    chatter.message.assign(c.saveDataPointers, 0x02);
    disk.fail(scsi::Fault::UnknownMessage, chatter);

    std::vector<std::uint8_t> data(kBlock);
    const Outcome out = scene.runRequest(read10(5, 1), data);
    EXPECT_FALSE(scene.lastTimedOut);
    if (c.reset) {
        EXPECT_EQ(out.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
        EXPECT_GE(scene.port->resetsDetected(), 1);
    } else {
        EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(data, Scene::image(kDisk, 5, kBlock));
        EXPECT_EQ(scene.port->resetsDetected(), 0);
    }
    expectServedAfter(scene, 5);
    if (c.reset) {
        scene.expectInvariants({Scene::logEntry(kDisk, 0, SP_INTERNAL_ADAPTER_ERROR, 1)});
    } else {
        scene.expectInvariants();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChattyTarget,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kChatty)),
                         ModeAndCaseName());

// A NO OPERATION from a target, taken byte by byte, is rejected; the rest of that message is
// dropped and the synchronous agreement made before it holds. Not on the FIFO-port board: there
// the controller's own sequence takes the byte after the CDB and stops holding ACK, and the
// driver, which never reads that byte back, ends in a Transfer Info time-out.
class PhaseByPhase : public ::testing::TestWithParam<BoardKind> {};

TEST_P(PhaseByPhase, TargetsNoOperationIsRejectedAndTheAgreementHolds) {
    Scene scene(GetParam(), "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec chatter = once();
    chatter.message = {0x08, 0x08};
    disk.fail(scsi::Fault::UnknownMessage, chatter);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(8 * kBlock);
    const Outcome out = scene.runRequest(read10(5, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 5, 8 * kBlock));
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x07), 1) << "MESSAGE REJECT";
    EXPECT_EQ(scene.machine.trace().since(mark, "bus", "sync-mismatch").size(), 0u);
    expectServedAfter(scene, 5);
    scene.expectInvariants();
}

// Reselections the driver cannot take up: by a unit with no request (logged, ABORT; the request
// then ends at the port driver's time-out), and without IDENTIFY (the target goes on to a data
// phase while only a message is expected: protocol error and reset).
struct ReselectCase {
    const char* name;
    scsi::Fault fault;
    port::ErrorLogEntry entry;
    bool abortSent;
    std::uint8_t srbStatus;
};
const ReselectCase kReselects[] = {
    {"UnitWithoutRequest", scsi::Fault::ReselectWrongLun,
     port::ErrorLogEntry{kDisk, 1, SP_INVALID_RESELECTION, 18, false}, true, SRB_STATUS_BUS_RESET},
    {"WithoutIdentify", scsi::Fault::ReselectWithoutIdentify,
     port::ErrorLogEntry{kDisk, 0, SP_PROTOCOL_ERROR, 14, true}, false,
     SRB_STATUS_PHASE_SEQUENCE_FAILURE},
};

class BadReselection : public ::testing::TestWithParam<std::tuple<BoardKind, ReselectCase>> {};

TEST_P(BadReselection, IsAbortedAndTheRequestTimesOut) {
    const auto [mode, c] = GetParam();
    Scene scene(mode, "/discon");
    auto& disk = scene.addDisk(kDisk);
    scene.boot();
    disk.fail(c.fault, once());

    const std::size_t mark = scene.machine.trace().mark();
    port::Request r;
    r.target = kDisk;
    r.cdb = read10(0, 8);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = 8 * kBlock;
    r.timeOutSeconds = 2;
    const auto id = scene.port->submit(r);
    ASSERT_TRUE(scene.port->run());
    EXPECT_TRUE(scene.port->result(id).completed);
    EXPECT_EQ(scene.port->result(id).srbStatus, c.srbStatus);
    EXPECT_EQ(scene.machine.trace().since(mark, "target0", "abort").size(), c.abortSent ? 1u : 0u);
    expectServedAfter(scene, 60);
    scene.expectInvariants({c.entry});
}

INSTANTIATE_TEST_SUITE_P(Cases, BadReselection,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kReselects)),
                         ModeAndCaseName());

// A target stops taking MESSAGE OUT in the middle of a message, with REQ withheld for 30 ms: the
// driver's next byte is not taken within 3000 us, the time-out is logged, the bus is reset and
// the request ends.
//  - A disk not yet negotiated with stops after the IDENTIFY, in the middle of the adapter's
//    IDENTIFY and SDTR (not on the FIFO-port board, which offers no SDTR: its MESSAGE OUT at
//    selection is the IDENTIFY alone, sent by the controller's own sequence).
//  - A disk starts its own SDTR and stops after the first byte of the adapter's answer ("/discon",
//    so that the FIFO-port board selects with ATN and sends an IDENTIFY).
struct SilenceCase {
    const char* name;
    bool targetsSdtr;
    std::uint8_t lastByteTaken;
    const char* options;
};
constexpr SilenceCase kInOwnSdtr{"InAdaptersSdtr", false, 0x80, ""};
constexpr SilenceCase kInAnswer{"InAnswerToTargetsSdtr", true, 0x01, "/discon"};
const std::tuple<BoardKind, SilenceCase> kSilences[] = {
    {BoardKind::Plain, kInOwnSdtr}, {BoardKind::Window, kInOwnSdtr}, {BoardKind::Plain, kInAnswer},
    {BoardKind::Fifo, kInAnswer},   {BoardKind::Window, kInAnswer},
};

class TransferInfo : public ::testing::TestWithParam<std::tuple<BoardKind, SilenceCase>> {};

TEST_P(TransferInfo, TimesOutWhenTheTargetFallsSilent) {
    const auto [mode, c] = GetParam();
    Scene scene(mode, c.options);
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    // The adapter's own SDTR goes to a disk it has not talked to yet.
    constexpr std::uint8_t kFresh = 2;
    auto& silent = c.targetsSdtr ? disk : scene.addDisk(kFresh, staysConnected());
    const std::uint8_t target = c.targetsSdtr ? kDisk : kFresh;
    scsi::FaultSpec stall = once();
    stall.phase = scsi::Phase::MessageOut;
    stall.byte = 1;
    stall.durationNs = 30'000'000;
    if (c.targetsSdtr) {
        expectServedAfter(scene, 0);  // the adapter's own negotiation is over
        silent.fail(scsi::Fault::InitiateSdtr, once());
    }
    silent.fail(scsi::Fault::Stall, stall);

    const std::size_t mark = scene.machine.trace().mark();
    scene.target = target;
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(6, 4), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    EXPECT_FALSE(scene.lastTimedOut);
    EXPECT_GE(scene.port->resetsDetected(), 1);
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), c.lastByteTaken) << "the stall was elsewhere";
    expectServedAfter(scene, 6);
    scene.expectInvariants({Scene::logEntry(target, 0, SP_BUS_TIME_OUT, 21)});
}

INSTANTIATE_TEST_SUITE_P(Cases, TransferInfo, ::testing::ValuesIn(kSilences), ModeAndCaseName());

INSTANTIATE_TEST_SUITE_P(Modes, PhaseByPhase,
                         ::testing::Values(BoardKind::Plain, BoardKind::Window),
                         [](const auto& p) { return modeName(p.param); });

INSTANTIATE_TEST_SUITE_P(Modes, BusErrors, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

}  // namespace
}  // namespace cbus::e2e
