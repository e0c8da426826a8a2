// The bus controller, driven through the board's address and data ports.
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

using sbic::Variant;

struct ResetCase {
    Variant variant;
    std::uint8_t ownIdBits;
    std::uint8_t status;
};

class ResetStatus : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetStatus, ReportsAdvancedModeOnlyOnAnAOrBPartWithEaf) {
    BoardSettings s;
    s.chip.variant = GetParam().variant;
    Rig rig(s);
    EXPECT_EQ(rig.init(GetParam().ownIdBits), GetParam().status);
    EXPECT_EQ(rig.aux() & sbic::aux::Int, 0);  // reading SCSI STATUS cleared INT
}

INSTANTIATE_TEST_SUITE_P(Variants, ResetStatus,
                         ::testing::Values(ResetCase{Variant::WD33C93, sbic::ownid::Eaf, 0x00},
                                           ResetCase{Variant::WD33C93A, sbic::ownid::Eaf, 0x01},
                                           ResetCase{Variant::WD33C93B, sbic::ownid::Eaf, 0x01},
                                           ResetCase{Variant::WD33C93B, 0x00, 0x00}));

TEST(Registers, SoftwareResetClearsWorkingRegistersAndRafLeavesMicrocodeRevision) {
    Rig rig;
    rig.write(r::Control, 0x2F);
    rig.write(r::SourceId, 0x80);
    rig.write(r::OwnId, kOwnId | sbic::ownid::Eaf | sbic::ownid::Raf);
    rig.write(r::Command, sbic::cmd::Reset);
    EXPECT_EQ(rig.waitInterrupt(), st::ResetAdvanced);
    EXPECT_EQ(rig.read(r::Control), 0x00);
    EXPECT_EQ(rig.read(r::SourceId) & 0x80, 0x00);  // ER must be set again
    EXPECT_EQ(rig.read(r::Cdb1), 0x0D);
}

TEST(Registers, AddressAutoIncrementsExceptAtCommandAndData) {
    Rig rig;
    rig.init();
    rig.machine.io().write(kBase, r::Cdb1);
    for (std::uint8_t i = 0; i < 10; ++i) {
        rig.machine.io().write(kBase + 2, static_cast<std::uint8_t>(0xA0 + i));
    }
    EXPECT_EQ(rig.read(r::Cdb1 + 9), 0xA9);
    rig.writeCount(0x123456);
    EXPECT_EQ(rig.readCount(), 0x123456u);
    // Reading SCSI STATUS moves on to COMMAND; COMMAND does not move on.
    rig.machine.io().write(kBase, r::ScsiStatus);
    rig.machine.io().read(kBase + 2);
    rig.machine.io().read(kBase + 2);
    EXPECT_EQ(rig.board->chip().address(), r::Command);
}

TEST(Registers, UndefinedRegistersReadAllOnesAndQueueTagExistsOnlyOnTheB) {
    for (Variant v : {Variant::WD33C93A, Variant::WD33C93B}) {
        BoardSettings s;
        s.chip.variant = v;
        Rig rig(s);
        rig.init();
        for (std::uint8_t reg = 0x1B; reg <= 0x1E; ++reg) {
            EXPECT_EQ(rig.read(reg), 0xFF);
        }
        rig.write(r::QueueTag, 0x55);
        EXPECT_EQ(rig.read(r::QueueTag), v == Variant::WD33C93B ? 0x55 : 0xFF);
    }
}

TEST(Contract, CommandWrittenWhileIntPendingIsIgnoredWithLci) {
    Rig rig;
    rig.addDisk(0);
    rig.init();
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    while (!(rig.aux() & sbic::aux::Int)) {
    }
    rig.write(r::Command, sbic::cmd::TransferInfo);  // INT still pending
    rig.machine.stall(10'000);
    EXPECT_TRUE(rig.aux() & sbic::aux::Lci);
    EXPECT_EQ(rig.contracts(), 1u);
    EXPECT_EQ(rig.read(r::ScsiStatus), st::SelectDone);
}

// Target 3 (which disconnects after the command) takes a read and leaves the bus; it reselects a
// little later.
void readThenDisconnect(Rig& rig) {
    rig.machine.dma().program(3, 0x10000, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(3, Rig::read10(8, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::SaveDataPointer);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);  // resume: the disk disconnects
    EXPECT_EQ(rig.waitInterrupt(), st::Disconnected);
}

// A selection issued just as a reselection's interrupt lands is the race the controller resolves
// for the host: dropped with LCI, the reselection reported, and no fault of the host's.
TEST(Contract, SelectionMeetingAReselectionIsDroppedWithoutABreach) {
    Rig rig;
    auto& disk = rig.addDisk(3);
    disk.fail(scsi::Fault::DisconnectAfterCommand, once());
    rig.init();
    readThenDisconnect(rig);
    while (!(rig.aux() & sbic::aux::Int)) {  // the reselection lands
    }
    rig.write(r::DestinationId, 1);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    rig.machine.stall(10'000);
    EXPECT_TRUE(rig.aux() & sbic::aux::Lci);
    EXPECT_EQ(rig.contracts(), 0u);
    EXPECT_EQ(rig.machine.trace().count("sbic", "late-select"), 1u);
    EXPECT_EQ(rig.read(r::ScsiStatus), st::ReselectedAdvanced);
}

// The same race one step earlier: the reselection lands while the selection is still being
// decoded. The selection is dropped (not taken for a resume of the reselecting nexus), the chip is
// not left busy, and the host's next command is accepted.
TEST(Contract, SelectionStillDecodedWhenAReselectionLandsIsDropped) {
    BoardSettings s;
    s.chip.cipNs = 1'000'000;  // a long decode, so that the reselection falls inside it
    Rig rig(s);
    auto& disk = rig.addDisk(3);
    disk.fail(scsi::Fault::DisconnectAfterCommand, once());
    rig.addDisk(1);
    rig.init();
    readThenDisconnect(rig);
    rig.selectAndTransfer(1, Rig::read10(0, 1), 512, true);  // decoding when the disk returns
    EXPECT_EQ(rig.waitInterrupt(), st::ReselectedAdvanced);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x00);
    EXPECT_FALSE(rig.aux() & sbic::aux::Bsy);
    EXPECT_EQ(rig.machine.trace().count("sbic", "select-dropped"), 1u);
    rig.write(r::CommandPhase, 0x45);
    rig.write(r::DestinationId, 3 | sbic::destid::Dpd);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);  // resume the reselecting nexus
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.contracts(), 0u);
}

TEST(Contract, DataReadWithoutDbrAndLevelTwoWhileBusyAreTraced) {
    Rig rig;
    rig.init();
    rig.read(r::Data);
    EXPECT_EQ(rig.contracts(), 1u);
    rig.write(r::DestinationId, 5);  // nobody there: the select stays busy
    rig.write(r::Command, sbic::cmd::SelectAtn);
    rig.machine.stall(5'000);
    ASSERT_TRUE(rig.aux() & sbic::aux::Bsy);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    rig.machine.stall(5'000);
    EXPECT_EQ(rig.contracts(), 2u);
    EXPECT_TRUE(rig.aux() & sbic::aux::Lci);
}

TEST(Selection, SelectWithAtnCompletesThenReportsMessageOutRequest) {
    Rig rig;
    rig.addDisk(2);
    rig.init();
    rig.write(r::DestinationId, 2);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectDone);
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 6);  // 0x8E
}

TEST(Selection, AbsentTargetTimesOutAfterTheTimeoutRegisterTime) {
    Rig rig;
    rig.init();
    rig.write(r::Timeout, 10);  // 10 x 80 / 20 MHz = 40 ms
    rig.write(r::DestinationId, 4);
    const std::uint64_t start = rig.machine.now();
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    EXPECT_EQ(rig.waitInterrupt(), st::Timeout);
    const std::uint64_t took = rig.machine.now() - start;
    EXPECT_GE(took, 40'000'000u + 200'000u);
    EXPECT_LT(took, 41'000'000u);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x00);
}

TEST(SelectAndTransfer, TestUnitReadyCompletesWithStatusInTargetLun) {
    Rig rig;
    rig.addDisk(1);
    rig.init();
    rig.selectAndTransfer(1, {0, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x60);
    EXPECT_EQ(rig.read(r::TargetLun), 0x00);
    EXPECT_EQ(rig.aux() & sbic::aux::Bsy, 0);
    EXPECT_TRUE(rig.bus.free());
}

TEST(SelectAndTransfer, CheckConditionStatusLandsInTargetLun) {
    Rig rig;
    rig.addDisk(1).fail(scsi::Fault::CheckCondition);
    rig.init();
    rig.selectAndTransfer(1, {0, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.read(r::TargetLun), scsi::status::CheckCondition);
}

TEST(SelectAndTransfer, SaveDataPointerThenDisconnectThenReselectionResumes) {
    Rig rig;
    auto& disk = rig.addDisk(3);
    disk.fail(scsi::Fault::DisconnectAfterCommand, once());
    rig.init();
    rig.board->chip();  // plain DMA path below
    const std::uint32_t n = 4096;
    rig.machine.dma().program(3, 0x10000, n, DmaDirection::FromDevice);
    rig.selectAndTransfer(3, Rig::read10(8, 8), n, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::SaveDataPointer);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x41);
    EXPECT_TRUE(rig.bus.ackHeld());
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);  // resume at 0x41
    EXPECT_EQ(rig.waitInterrupt(), st::Disconnected);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x43);
    EXPECT_EQ(rig.waitInterrupt(), st::ReselectedAdvanced);
    EXPECT_EQ(rig.read(r::SourceId) & 0x0F, 0x08 | 3);
    EXPECT_EQ(rig.read(r::Data), 0x80);  // IDENTIFY, LUN 0
    EXPECT_EQ(rig.contracts(), 0u);      // DATA after 0x81 is no contract breach
    rig.write(r::CommandPhase, 0x45);
    rig.write(r::Command, sbic::cmd::SelectAtnTransfer);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x60);
    auto got = rig.machine.memory().ram(0x10000, n);
    EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), Rig::expected(disk, 8, n));
}

TEST(SelectAndTransfer, WithoutIdiTheChipWaitsForTheReselectionItself) {
    Rig rig;
    auto& disk = rig.addDisk(3);
    disk.fail(scsi::Fault::DisconnectNoSdp, once());
    rig.init(sbic::ownid::Eaf | sbic::ownid::Fs4,
             sbic::control::Edi | sbic::control::Hsp | sbic::control::DmaBurst);
    rig.machine.dma().program(3, 0x10000, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(3, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);
    auto got = rig.machine.memory().ram(0x10000, 512);
    EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), Rig::expected(disk, 0, 512));
}

TEST(TransferInfo, MessageInPausesWithAckHeldUntilNegateAck) {
    Rig rig;
    rig.addDisk(0);
    rig.init();
    rig.selectAndTransfer(0, {0, 0, 0, 0, 0, 0}, 0, false);
    // Stop the combination command at the status byte by asking for a data phase that
    // never comes: instead use the plain path below.
    EXPECT_EQ(rig.waitInterrupt(), st::SelectTransferDone);

    // Select, send IDENTIFY and a TEST UNIT READY by hand, then take status and message.
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectDone);
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut({0x80});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 2);  // next REQ: command
    rig.transferInfoOut({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 3);  // status
    EXPECT_EQ(rig.transferInfoIn(1, true), std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 7);  // message in
    EXPECT_EQ(rig.transferInfoIn(1, true), std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(rig.waitInterrupt(), st::MessageInPaused);
    EXPECT_TRUE(rig.bus.ackHeld());
    EXPECT_FALSE(rig.bus.free());
    rig.write(r::Command, sbic::cmd::NegateAck);
    EXPECT_EQ(rig.waitInterrupt(), st::Disconnected);  // bus free after COMMAND COMPLETE
    EXPECT_TRUE(rig.bus.free());
}

TEST(TransferInfo, MessageOutDropsAtnBeforeTheLastByteAndSdtrAgrees) {
    Rig rig;
    auto& disk = rig.addDisk(0);
    rig.init();
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectDone);
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut({0xC0, 0x01, 0x03, 0x01, 50, 8});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 7);  // the SDTR reply
    EXPECT_FALSE(rig.bus.atn());
    // The target took all six bytes as one message: ATN fell before the last one.
    auto msgs = rig.machine.trace().select("target0", "message-out");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].value(0), 6u);
    std::vector<std::uint8_t> reply;
    for (int i = 0; i < 5; ++i) {
        auto b = rig.transferInfoIn(1, true);
        ASSERT_EQ(b.size(), 1u);
        reply.push_back(b[0]);
        EXPECT_EQ(rig.waitInterrupt(), st::MessageInPaused);
        rig.write(r::Command, sbic::cmd::NegateAck);
        if (i < 4) {
            EXPECT_EQ(rig.waitInterrupt(), st::Request | 7);
        }
    }
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x01, 0x03, 0x01, 50, 8}));
    EXPECT_EQ(disk.agreement(), (scsi::SyncAgreement{8, 50}));
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 2);  // now the command phase
}

}  // namespace
}  // namespace cbus::test
