// Target misbehaviour switches walked message by message through Transfer Info, and the
// ones that change what a whole command looks like at the controller.
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

constexpr std::uint32_t kBuffer = 0x20000;

BoardSettings plainBoard() {
    BoardSettings s;
    s.kind = BoardKind::Plain;
    return s;
}

// Selects target 0 with ATN and sends `messageOut`; leaves the next REQ reported.
void selectAndSend(Rig& rig, const std::vector<std::uint8_t>& messageOut) {
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    ASSERT_EQ(rig.waitInterrupt(), st::SelectDone);
    ASSERT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut(messageOut);
}

// Reads `n` message-in bytes one at a time, negating ACK after each. With `atnOnLast` ATN is
// asserted before the last ACK is released, as an initiator does to answer or reject.
std::vector<std::uint8_t> readMessage(Rig& rig, std::size_t n, bool atnOnLast = false) {
    std::vector<std::uint8_t> got;
    for (std::size_t i = 0; i < n; ++i) {
        auto b = rig.transferInfoIn(1, true);
        if (b.size() != 1 || rig.waitInterrupt() != st::MessageInPaused) {
            ADD_FAILURE() << "message byte " << i << " did not arrive";
            return got;
        }
        got.push_back(b[0]);
        if (atnOnLast && i + 1 == n) {
            rig.write(r::Command, sbic::cmd::AssertAtn);
            // A command written while CIP is set is ignored: wait for this one to be taken.
            const std::uint64_t end = rig.machine.now() + 100'000;
            while ((rig.aux() & sbic::aux::Cip) && rig.machine.now() < end) {
            }
        }
        rig.write(r::Command, sbic::cmd::NegateAck);
        if (i + 1 < n && rig.waitInterrupt() != (st::Request | 7)) {
            ADD_FAILURE() << "message ended after " << i + 1 << " bytes";
            return got;
        }
    }
    return got;
}

// ---------------------------------------------------------------- SDTR answers

struct SdtrCase {
    const char* name;
    scsi::Fault fault;
    std::vector<std::uint8_t> reply;  // to SDTR period 50 (200 ns), offset 8
};

class SdtrAnswer : public ::testing::TestWithParam<SdtrCase> {};

TEST_P(SdtrAnswer, IsSentInTheSameConnectionAndBecomesTheAgreement) {
    Rig rig;
    auto& disk = rig.addDisk(0);
    disk.fail(GetParam().fault);
    rig.init();
    selectAndSend(rig, {0xC0, 0x01, 0x03, 0x01, 50, 8});
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(readMessage(rig, 5), GetParam().reply);
    EXPECT_EQ(disk.agreement(), (scsi::SyncAgreement{GetParam().reply[4], GetParam().reply[3]}));
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 2);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, SdtrAnswer,
    ::testing::Values(
        // A longer period and a smaller offset: legal, the initiator must take it.
        SdtrCase{"CounterOffer", scsi::Fault::CounterOfferSdtr, {0x01, 0x03, 0x01, 75, 4}},
        // A shorter period and a larger offset than asked: outside what the initiator allows.
        SdtrCase{"OutOfLimits", scsi::Fault::SdtrOutOfLimits, {0x01, 0x03, 0x01, 38, 12}}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---------------------------------------------------------------- target-initiated negotiation

struct InitiatedCase {
    const char* name;
    scsi::Fault fault;
    std::vector<std::uint8_t> targetSends;
    std::vector<std::uint8_t> initiatorAnswers;
    scsi::SyncAgreement agreement;
};

class TargetInitiated : public ::testing::TestWithParam<InitiatedCase> {};

TEST_P(TargetInitiated, NegotiationEndsWithTheInitiatorsAnswer) {
    Rig rig;
    auto& disk = rig.addDisk(0);
    scsi::FaultSpec s = once();
    s.sdtrPeriod = 50;
    s.sdtrOffset = 8;
    disk.fail(GetParam().fault, s);
    rig.init();
    selectAndSend(rig, {0x80});
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(readMessage(rig, GetParam().targetSends.size(), true), GetParam().targetSends);
    ASSERT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut(GetParam().initiatorAnswers);
    // The answer closes the exchange: the target goes on to the command, not back to
    // Message In with another reply.
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 2);
    EXPECT_EQ(disk.agreement(), GetParam().agreement);
}

INSTANTIATE_TEST_SUITE_P(Switches, TargetInitiated,
                         ::testing::Values(InitiatedCase{"SdtrAnsweredInKind",
                                                         scsi::Fault::InitiateSdtr,
                                                         {0x01, 0x03, 0x01, 50, 8},
                                                         {0x01, 0x03, 0x01, 50, 8},
                                                         {8, 50}},
                                           InitiatedCase{"SdtrAnsweredAsync",
                                                         scsi::Fault::InitiateSdtr,
                                                         {0x01, 0x03, 0x01, 50, 8},
                                                         {0x01, 0x03, 0x01, 50, 0},
                                                         {0, 50}},
                                           InitiatedCase{"SdtrRejected",
                                                         scsi::Fault::InitiateSdtr,
                                                         {0x01, 0x03, 0x01, 50, 8},
                                                         {scsi::msg::MessageReject},
                                                         {}},
                                           InitiatedCase{"WdtrAnsweredEightBit",
                                                         scsi::Fault::InitiateWdtr,
                                                         {0x01, 0x02, 0x03, 1},
                                                         {0x01, 0x02, 0x03, 0},
                                                         {}},
                                           InitiatedCase{"WdtrRejected",
                                                         scsi::Fault::InitiateWdtr,
                                                         {0x01, 0x02, 0x03, 1},
                                                         {scsi::msg::MessageReject},
                                                         {}}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---------------------------------------------------------------- messages after the CDB

// IDENTIFY and a TEST UNIT READY by hand; leaves the first REQ after the CDB reported.
void testUnitReadyByHand(Rig& rig) {
    selectAndSend(rig, {0x80});
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 2);
    rig.transferInfoOut({0, 0, 0, 0, 0, 0});
}

struct ExtendedCase {
    const char* name;
    std::vector<std::uint8_t> message;
    std::size_t readBeforeReject;  // bytes the initiator takes before asserting ATN
};

class ExtendedMessage : public ::testing::TestWithParam<ExtendedCase> {};

TEST_P(ExtendedMessage, CanBeRejectedAndTheTargetGoesOnToStatus) {
    Rig rig;
    scsi::FaultSpec s = once();
    s.message = GetParam().message;
    rig.addDisk(0).fail(scsi::Fault::ExtendedMessage, s);
    rig.init();
    testUnitReadyByHand(rig);
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    const auto got = readMessage(rig, GetParam().readBeforeReject, true);
    EXPECT_EQ(got, std::vector<std::uint8_t>(
                       GetParam().message.begin(),
                       GetParam().message.begin() +
                           static_cast<std::ptrdiff_t>(GetParam().readBeforeReject)));
    // ATN inside a message: the target stops it at once and takes Message Out.
    ASSERT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut({scsi::msg::MessageReject});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 3);
    EXPECT_EQ(rig.transferInfoIn(1, true), std::vector<std::uint8_t>{scsi::status::Good});
}

std::vector<std::uint8_t> longestExtended() {
    std::vector<std::uint8_t> m{scsi::msg::Extended, 0xFF, 0x55};
    for (int i = 0; i < 254; ++i) {
        m.push_back(static_cast<std::uint8_t>(i));
    }
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ExtendedMessage,
    ::testing::Values(ExtendedCase{"LengthZero", {scsi::msg::Extended, 0x00}, 2},
                      ExtendedCase{"Length255", longestExtended(), 3}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(Switches, ExtendedMessageOfLength255IsSentWhole) {
    Rig rig;
    scsi::FaultSpec s = once();
    s.message = longestExtended();
    rig.addDisk(0).fail(scsi::Fault::ExtendedMessage, s);
    rig.init();
    testUnitReadyByHand(rig);
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(readMessage(rig, 257), longestExtended());
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 3);
}

TEST(Switches, SurplusMessageBytesFollowCommandCompleteBeforeBusFree) {
    Rig rig;
    scsi::FaultSpec s = once();
    s.message = {scsi::msg::NoOperation};
    rig.addDisk(0).fail(scsi::Fault::SurplusMessageBytes, s);
    rig.init();
    testUnitReadyByHand(rig);
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 3);
    EXPECT_EQ(rig.transferInfoIn(1, true), std::vector<std::uint8_t>{scsi::status::Good});
    ASSERT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(readMessage(rig, 1), std::vector<std::uint8_t>{scsi::msg::CommandComplete});
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 7);  // not bus free yet
    EXPECT_EQ(readMessage(rig, 1), std::vector<std::uint8_t>{scsi::msg::NoOperation});
    EXPECT_EQ(rig.waitInterrupt(), st::Disconnected);
}

// ---------------------------------------------------------------- MODIFY DATA POINTER

struct ModifyCase {
    const char* name;
    std::int32_t argument;
    std::uint32_t resumesAt;  // byte of the 512 the data goes on from
};

class ModifyDataPointer : public ::testing::TestWithParam<ModifyCase> {};

TEST_P(ModifyDataPointer, MovesTheDataOnByItsArgument) {
    Rig rig(plainBoard());
    auto& disk = rig.addDisk(0);
    scsi::FaultSpec s = atByte(scsi::Phase::DataIn, 100);
    s.argument = GetParam().argument;
    disk.fail(scsi::Fault::ModifyDataPointer, s);
    rig.init();
    rig.machine.dma().program(3, kBuffer, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    ASSERT_EQ(rig.waitInterrupt(), st::UnexpectedPhase | 7);
    EXPECT_EQ(rig.readCount(), 412u);
    // Messages by programmed I/O, data by DMA again.
    constexpr std::uint8_t kPolled = sbic::control::Edi | sbic::control::Idi | sbic::control::Hsp;
    rig.write(r::Control, kPolled);
    // The combination command stopped on the message's first byte: it is in DATA, ACK held.
    EXPECT_EQ(rig.read(r::Data), scsi::msg::Extended);
    rig.write(r::Command, sbic::cmd::NegateAck);
    ASSERT_EQ(rig.waitInterrupt(), st::Request | 7);
    const auto d = static_cast<std::uint32_t>(GetParam().argument);
    EXPECT_EQ(
        readMessage(rig, 6),
        (std::vector<std::uint8_t>{
            0x05, 0x00, static_cast<std::uint8_t>(d >> 24), static_cast<std::uint8_t>(d >> 16),
            static_cast<std::uint8_t>(d >> 8), static_cast<std::uint8_t>(d)}));
    ASSERT_EQ(rig.waitInterrupt(), st::Request | 1);
    const std::uint32_t rest = 512 - GetParam().resumesAt;
    rig.write(r::Control, kPolled | sbic::control::DmaBurst);
    rig.machine.dma().program(3, kBuffer + 100, rest, DmaDirection::FromDevice);
    rig.writeCount(rest);
    rig.write(r::Command, sbic::cmd::TransferInfo);
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 3);
    auto all = rig.machine.memory().ram(kBuffer, 100 + rest);
    const auto want = Rig::expected(disk, 0, 512);
    EXPECT_EQ(std::vector<std::uint8_t>(all.begin(), all.begin() + 100),
              std::vector<std::uint8_t>(want.begin(), want.begin() + 100));
    EXPECT_EQ(std::vector<std::uint8_t>(all.begin() + 100, all.end()),
              std::vector<std::uint8_t>(want.begin() + GetParam().resumesAt, want.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Switches, ModifyDataPointer,
    ::testing::Values(ModifyCase{"Forward", 50, 150}, ModifyCase{"Backward", -60, 40},
                      // Before the start of the transfer: the target keeps its pointer.
                      ModifyCase{"OutOfRange", -200, 100}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---------------------------------------------------------------- disconnection

TEST(Switches, DisconnectAfterCommandAloneReselectsAfterTheDisconnectionDelay) {
    Rig rig;
    rig.addDisk(3).fail(scsi::Fault::DisconnectAfterCommand, once());
    rig.init();
    rig.selectAndTransfer(3, {0, 0, 0, 0, 0, 0}, 0, false);
    ASSERT_EQ(rig.waitInterrupt(), st::SaveDataPointer);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    ASSERT_EQ(rig.waitInterrupt(), st::Disconnected);
    const std::uint64_t free = rig.machine.now();
    ASSERT_EQ(rig.waitInterrupt(), st::ReselectedAdvanced);
    EXPECT_GE(rig.machine.now() - free, 200'000u);
    EXPECT_EQ(rig.read(r::Data), 0x80);
    rig.write(r::CommandPhase, 0x45);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.read(r::TargetLun), scsi::status::Good);
}

TEST(Switches, ReselectWithoutIdentifyIsReportedAsAPlainReselection) {
    Rig rig;
    auto& disk = rig.addDisk(3);
    disk.fail(scsi::Fault::DisconnectAfterCommand, once());
    disk.fail(scsi::Fault::ReselectWithoutIdentify, once());
    rig.init();
    rig.selectAndTransfer(3, {0, 0, 0, 0, 0, 0}, 0, false);
    ASSERT_EQ(rig.waitInterrupt(), st::SaveDataPointer);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    ASSERT_EQ(rig.waitInterrupt(), st::Disconnected);
    EXPECT_EQ(rig.waitInterrupt(), st::Reselected);
    EXPECT_EQ(rig.read(r::SourceId) & 0x0F, 0x08 | 3);
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 3);  // straight to status
}

// Without SAVE DATA POINTER the reselection's implied RESTORE POINTERS takes the data back to
// its start: the disk sends the whole block again.
TEST(Switches, DisconnectMidDataWithoutSaveSendsTheDataAgainFromTheStart) {
    Rig rig(plainBoard());
    auto& disk = rig.addDisk(0);
    disk.fail(scsi::Fault::DisconnectMidDataNoSdp, atByte(scsi::Phase::DataIn, 256));
    rig.init();
    rig.machine.dma().program(3, kBuffer, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    ASSERT_EQ(rig.waitInterrupt(), st::Disconnected);
    ASSERT_EQ(rig.waitInterrupt(), st::ReselectedAdvanced);
    EXPECT_EQ(rig.read(r::Data), 0x80);
    rig.machine.dma().program(3, kBuffer, 512, DmaDirection::FromDevice);
    rig.writeCount(512);
    rig.write(r::CommandPhase, 0x45);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    rig.boardCommand(board::CmdConnectDma);
    ASSERT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    auto all = rig.machine.memory().ram(kBuffer, 512);
    EXPECT_EQ(std::vector<std::uint8_t>(all.begin(), all.end()), Rig::expected(disk, 0, 512));
}

// A stall in MESSAGE OUT holds back the REQ after the chosen byte, inside the phase.
TEST(Switches, StallInMessageOutWithholdsTheNextReq) {
    Rig rig;
    scsi::FaultSpec s = atByte(scsi::Phase::MessageOut, 1);
    s.durationNs = 5'000'000;
    rig.addDisk(0).fail(scsi::Fault::Stall, s);
    rig.init();
    const std::uint64_t start = rig.machine.now();
    selectAndSend(rig, {0xC0, 0x01, 0x03, 0x01, 50, 8});
    EXPECT_GE(rig.machine.now() - start, 5'000'000u);
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(rig.machine.trace().count("target0", "fault"), 1u);
}

// ---------------------------------------------------------------- reset and power

TEST(Switches, ResetBusEndsTheCommandAndEveryAgreement) {
    Rig rig(plainBoard());
    auto& disk = rig.addDisk(0);
    disk.setAgreement({8, 50});
    disk.fail(scsi::Fault::ResetBus, once());
    rig.init();
    rig.selectAndTransfer(0, {0, 0, 0, 0, 0, 0}, 0, false);
    // The chip clears itself as by its Reset command and reports it, keeping the mode and id
    // latched at the last Reset (advanced: 0x01) although OWN ID now holds the CDB size.
    EXPECT_EQ(rig.waitInterrupt(50'000'000), st::ResetAdvanced);
    EXPECT_EQ(rig.read(r::OwnId), 6);
    EXPECT_EQ(rig.read(r::Control), 0x00);
    EXPECT_EQ(rig.machine.trace().count("bus", "reset"), 1u);
    EXPECT_TRUE(rig.bus.free());
    EXPECT_EQ(rig.aux() & sbic::aux::Bsy, 0);
    EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
    EXPECT_EQ(disk.commandsDone(), 0u);
}

TEST(Switches, LoseAgreementMakesTheNextSynchronousTransferFail) {
    Rig rig(plainBoard());
    auto& disk = rig.addDisk(0);
    disk.setAgreement({8, 50});
    scsi::FaultSpec s = once();
    s.skip = 1;
    disk.fail(scsi::Fault::LoseAgreement, s);
    rig.init();
    rig.write(r::Sync, 0x28);  // TP 2 (200 ns), offset 8: what was agreed
    for (int command = 0; command < 2; ++command) {
        rig.machine.dma().program(3, kBuffer, 512, DmaDirection::FromDevice);
        rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
        rig.boardCommand(board::CmdConnectDma);
        EXPECT_EQ(rig.waitInterrupt(), command == 0 ? st::SelectTransferDone : st::ParityError)
            << "command " << command;
    }
    EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
    EXPECT_EQ(rig.machine.trace().count("bus", "sync-mismatch"), 1u);
}

// ---------------------------------------------------------------- legacy host profile

struct LegacyCase {
    const char* name;
    bool legacy;
    std::uint32_t descriptorBlocks;
};

class LegacyModeSense : public ::testing::TestWithParam<LegacyCase> {};

TEST_P(LegacyModeSense, AllPagesInSixtyFourBytes) {
    Rig rig(plainBoard());
    scsi::TargetSettings ts;
    ts.id = 0;
    scsi::DiskSettings ds;
    ds.legacyHostProfile = GetParam().legacy;
    rig.addTarget<scsi::Disk>(ts, std::make_shared<scsi::BlockImage>(4096, 512, 0), ds);
    rig.init();
    rig.machine.dma().program(3, kBuffer, 64, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, {scsi::op::ModeSense6, 0, 0x3F, 0, 64, 0}, 64, true);
    rig.boardCommand(board::CmdConnectDma);
    ASSERT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    auto m = rig.machine.memory().ram(kBuffer, 64);
    const std::vector<std::uint8_t> d(m.begin(), m.end());
    EXPECT_EQ(d[0], 4 + 8 + 12 + 24 + 24 - 1);  // the full length, though cut to 64
    EXPECT_EQ(d[3], 8);
    const std::uint32_t blocks = (std::uint32_t{d[5]} << 16) | (d[6] << 8) | d[7];
    EXPECT_EQ(blocks, GetParam().descriptorBlocks);
    EXPECT_EQ((d[10] << 8) | d[11], 512);
    EXPECT_EQ(d[12], 0x01);
    EXPECT_EQ(d[24], 0x03);
    EXPECT_EQ(d[48], 0x04);
}

INSTANTIATE_TEST_SUITE_P(Profiles, LegacyModeSense,
                         ::testing::Values(LegacyCase{"Legacy", true, 4096},
                                           LegacyCase{"Current", false, 0}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
}  // namespace cbus::test
