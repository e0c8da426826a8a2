// Synchronous negotiation end to end: how each answer of the target settles the agreement, and that
// the agreed setting then moves data exactly, in each transfer mode.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;
constexpr std::uint8_t kMessageReject = 0x07;
constexpr std::uint8_t kExtended = 0x01;

scsi::TargetSettings staysConnected() {
    scsi::TargetSettings ts;
    ts.disconnects = false;
    return ts;
}

// A 32 KiB write then read back at `lba`, and a read of the image: the agreed setting carries data.
void expectDataMoves(Scene& scene, std::uint32_t lba) {
    std::vector<std::uint8_t> data(64 * kBlock);
    Outcome out = scene.runRequest(read10(lba, 64), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, 64 * kBlock);
    EXPECT_EQ(data, Scene::image(kDisk, lba, 64 * kBlock));

    std::vector<std::uint8_t> written(32 * kBlock);
    for (std::size_t i = 0; i < written.size(); ++i) {
        written[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    data = written;
    out = scene.runRequest(write10(lba + 100, 32), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(scene.stored(kDisk, lba + 100, written.size()), written);
    EXPECT_EQ(scene.machine.trace().count("bus", "sync-mismatch"), 0u)
        << "the two sides disagree on the transfer setting";
}

bool containsSdtr(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
        if (bytes[i] == kExtended && bytes[i + 1] == 3 && bytes[i + 2] == 0x01) {
            return true;
        }
    }
    return false;
}

// The adapter offers SDTR (period factor 25, offset 12) with its first command to the disk
// (which can do factor 50, offset 8); the disk answers as the fault says.
struct AnswerCase {
    const char* name;
    std::optional<scsi::Fault> fault;
    scsi::SyncAgreement agreed;  // what the disk holds afterwards, outside FIFO-port mode
    bool adapterRejects;         // the adapter answers the disk's reply with MESSAGE REJECT
};

const AnswerCase kAnswers[] = {
    {"Accepted", std::nullopt, {8, 50}, false},
    {"CounterOffered", scsi::Fault::CounterOfferSdtr, {4, 75}, false},
    {"Rejected", scsi::Fault::RejectSdtr, {0, 0}, false},
    {"AnsweredOutOfLimits", scsi::Fault::SdtrOutOfLimits, {0, 0}, true},
};

class SdtrAnswer : public ::testing::TestWithParam<std::tuple<BoardKind, AnswerCase>> {};

TEST_P(SdtrAnswer, SettlesOnceAndDataMoves) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    EXPECT_EQ(scene.sdtrExchanges(0, kDisk), 0u) << "an INQUIRY carried SDTR";
    if (c.fault) {
        scsi::FaultSpec once;
        once.times = 1;
        disk.fail(*c.fault, once);
    }

    std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(8 * kBlock);
    const Outcome out = scene.runRequest(read10(20, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 20, 8 * kBlock));

    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    if (mode == BoardKind::Fifo) {
        // The FIFO port moves data asynchronously only: no SDTR is ever offered.
        EXPECT_FALSE(containsSdtr(sent));
        EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 0u);
        EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
    } else {
        ASSERT_GE(sent.size(), 6u);
        EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.begin() + 6),
                  (std::vector<std::uint8_t>{0x80, kExtended, 3, 0x01, 25, 12}));
        EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 1u);
        EXPECT_EQ(disk.agreement(), c.agreed);
        const bool rejected = std::find(sent.begin() + 6, sent.end(), kMessageReject) != sent.end();
        EXPECT_EQ(rejected, c.adapterRejects);
    }

    // Settled: later commands go without SDTR, and the setting moves data both ways.
    mark = scene.machine.trace().mark();
    expectDataMoves(scene, 400);
    EXPECT_FALSE(containsSdtr(scene.busBytes(mark, "out", kPhaseMessageOut)));
    EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 0u);
    EXPECT_EQ(disk.agreement(), mode == BoardKind::Fifo ? scsi::SyncAgreement{} : c.agreed);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Answers, SdtrAnswer,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kAnswers)),
                         ModeAndCaseName());

class Negotiation : public ::testing::TestWithParam<BoardKind> {};

// The disk starts its own SDTR (factor 62, offset 6, inside the adapter's limits) after the
// agreement is settled; the adapter echoes it and both sides move data at the new setting.
// "/discon" makes the adapter send IDENTIFY, after which a target may start a negotiation.
TEST_P(Negotiation, TargetsOwnSdtrIsAnsweredAndUsed) {
    Scene scene(GetParam(), "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    std::vector<std::uint8_t> data(kBlock);
    ASSERT_EQ(scene.runRequest(read10(0, 1), data).srbStatus, SRB_STATUS_SUCCESS);

    scsi::FaultSpec own;
    own.times = 1;
    own.sdtrPeriod = 62;
    own.sdtrOffset = 6;
    disk.fail(scsi::Fault::InitiateSdtr, own);
    const std::size_t mark = scene.machine.trace().mark();
    data.assign(16 * kBlock, 0);
    const Outcome out = scene.runRequest(read10(40, 16), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 40, 16 * kBlock));

    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    if (GetParam() == BoardKind::Fifo) {
        // Regression: the FIFO-port board echoed the disk's synchronous values while its
        // controller stayed asynchronous, and the following reads came back garbled.
        EXPECT_TRUE(containsSdtr(sent)) << "the adapter did not answer the disk's SDTR";
        EXPECT_EQ(disk.agreement().offset, 0) << "the disk was left synchronous";
    } else {
        EXPECT_TRUE(containsSdtr(sent)) << "the adapter did not answer the disk's SDTR";
        EXPECT_EQ(disk.agreement(), (scsi::SyncAgreement{6, 62}));
    }
    expectDataMoves(scene, 700);
    scene.expectInvariants();
}

// A target's WDTR is answered with an 8-bit width; the command goes on.
TEST_P(Negotiation, TargetsWdtrIsAnsweredEightBit) {
    Scene scene(GetParam(), "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec once;
    once.times = 1;
    disk.fail(scsi::Fault::InitiateWdtr, once);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(8 * kBlock);
    const Outcome out = scene.runRequest(read10(60, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 60, 8 * kBlock));
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    const std::vector<std::uint8_t> wdtr0{kExtended, 2, 0x03, 0};
    EXPECT_NE(std::search(sent.begin(), sent.end(), wdtr0.begin(), wdtr0.end()), sent.end())
        << "no WDTR with width exponent 0 went out";
    expectDataMoves(scene, 800);
    scene.expectInvariants();
}

// A WDTR from a disk that already moves data synchronously: the width exchange ends the
// agreement on both sides, the data of that command still arrives intact, and the next command
// negotiates synchronous transfers again.
TEST_P(Negotiation, TargetsWdtrAfterAnAgreementEndsItOnBothSides) {
    Scene scene(GetParam(), "/discon");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    expectDataMoves(scene, 200);  // negotiated
    scsi::FaultSpec once;
    once.times = 1;
    disk.fail(scsi::Fault::InitiateWdtr, once);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(8 * kBlock);
    EXPECT_EQ(scene.runRequest(read10(60, 8), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, 60, 8 * kBlock));
    expectDataMoves(scene, 900);
    EXPECT_EQ(scene.machine.trace().since(mark, "bus", "sync-mismatch").size(), 0u);
    if (GetParam() != BoardKind::Fifo) {
        EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 1u) << "SDTR was not offered again";
        EXPECT_EQ(disk.agreement(), (scsi::SyncAgreement{8, 50}));
    }
    scene.expectInvariants();
}

// After a connection run by the controller's own sequence (which leaves its command phase at
// "complete"), a WDTR makes the next command offer SDTR, so that command runs phase by phase;
// a RESTORE POINTERS in the middle of its data stops the transfer on a phase change. The driver
// must not take the old "complete" for this connection's: the read goes on and ends intact.
class SynchronousBoards : public ::testing::TestWithParam<BoardKind> {};

TEST_P(SynchronousBoards, PhaseByPhaseConnectionAfterASequenceIsNotTakenForComplete) {
    Scene scene(GetParam(), "/discon");  // selections carry the IDENTIFY the WDTR answers
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    expectDataMoves(scene, 300);  // negotiated, then whole sequences
    scsi::FaultSpec once;
    once.times = 1;
    disk.fail(scsi::Fault::InitiateWdtr, once);
    std::vector<std::uint8_t> data(8 * kBlock);
    ASSERT_EQ(scene.runRequest(read10(60, 8), data).srbStatus, SRB_STATUS_SUCCESS);

    scsi::FaultSpec midData = once;
    midData.byte = 1000;
    disk.fail(scsi::Fault::RestorePointers, midData);
    const std::size_t mark = scene.machine.trace().mark();
    const Outcome out = scene.runRequest(read10(70, 8), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, 8 * kBlock);
    EXPECT_EQ(data, Scene::image(kDisk, 70, 8 * kBlock));
    EXPECT_EQ(scene.sdtrExchanges(mark, kDisk), 1u) << "the command did not renegotiate";
    expectDataMoves(scene, 500);
    scene.expectInvariants();
}

// "/async": SDTR is never offered and the disk stays asynchronous.
TEST_P(Negotiation, AsyncOptionNeverOffersSdtr) {
    Scene scene(GetParam(), "/async");
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    const std::size_t mark = scene.machine.trace().mark();
    expectDataMoves(scene, 50);
    expectDataMoves(scene, 1000);
    EXPECT_FALSE(containsSdtr(scene.busBytes(mark, "out", kPhaseMessageOut)));
    EXPECT_EQ(scene.sdtrExchanges(0, kDisk), 0u);
    EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
    scene.expectInvariants();
}

// The disk stalls before COMMAND COMPLETE of the connection that carried the SDTR, until the port
// driver times the request out and resets the bus: the request ends, and the disk is left
// asynchronous and never asked again.
TEST_P(Negotiation, ResetDuringNegotiationLeavesTargetAsynchronous) {
    Scene scene(GetParam());
    auto& disk = scene.addDisk(kDisk, staysConnected());
    scene.boot();
    scsi::FaultSpec stall;
    stall.times = 1;
    stall.phase = scsi::Phase::MessageIn;
    stall.durationNs = 30'000'000'000ull;
    disk.fail(scsi::Fault::Stall, stall);

    port::Request r;
    r.target = kDisk;
    r.cdb = read10(0, 4);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = 4 * kBlock;
    r.timeOutSeconds = 2;
    const auto id = scene.port->submit(r);
    ASSERT_TRUE(scene.port->run());
    const port::Result& res = scene.port->result(id);
    EXPECT_TRUE(res.completed);
    EXPECT_TRUE(res.timedOut);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    EXPECT_GE(scene.machine.trace().count("bus", "reset"), 1u);

    const std::size_t mark = scene.machine.trace().mark();
    expectDataMoves(scene, 200);
    EXPECT_FALSE(containsSdtr(scene.busBytes(mark, "out", kPhaseMessageOut)))
        << "the target was asked again after the reset";
    EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, SynchronousBoards,
                         ::testing::Values(BoardKind::Plain, BoardKind::Window),
                         [](const auto& p) { return modeName(p.param); });

INSTANTIATE_TEST_SUITE_P(Modes, Negotiation, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

}  // namespace
}  // namespace cbus::e2e
