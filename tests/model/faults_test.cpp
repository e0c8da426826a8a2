// Target misbehaviour switches, each seen as the bus behaviour it produces at the controller.
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

struct FaultCase {
    const char* name;
    scsi::Fault fault;
    scsi::FaultSpec trigger;
    std::uint8_t firstStatus;  // what the combination command (TUR with a 512-byte read) ends with
};

scsi::FaultSpec trigger(scsi::Phase phase = scsi::Phase::DataIn, std::uint32_t byte = 0) {
    return atByte(phase, byte);
}

class Switches : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Switches, ProduceTheirBusBehaviour) {
    BoardSettings s;
    s.kind = BoardKind::Plain;
    Rig rig(s);
    auto& disk = rig.addDisk(0);
    disk.fail(GetParam().fault, GetParam().trigger);
    rig.init();
    rig.machine.dma().program(3, 0x20000, 512, DmaDirection::FromDevice);
    rig.selectAndTransfer(0, Rig::read10(0, 1), 512, true);
    rig.boardCommand(board::CmdConnectDma);
    EXPECT_EQ(rig.waitInterrupt(), GetParam().firstStatus) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Switches,
    ::testing::Values(FaultCase{"busy", scsi::Fault::Busy, trigger(), st::UnexpectedPhase | 3},
                      FaultCase{"bus free in data", scsi::Fault::BusFree,
                                trigger(scsi::Phase::DataIn, 100), st::UnexpectedDisconnect},
                      FaultCase{"bus free in status", scsi::Fault::BusFree,
                                trigger(scsi::Phase::Status), st::UnexpectedDisconnect},
                      FaultCase{"parity in status", scsi::Fault::ParityError,
                                trigger(scsi::Phase::Status), st::ParityError},
                      FaultCase{"unknown message after the CDB", scsi::Fault::UnknownMessage,
                                trigger(), st::UnexpectedPhase | 7},
                      FaultCase{"initiate recovery", scsi::Fault::InitiateRecovery, trigger(),
                                st::UnexpectedPhase | 7},
                      FaultCase{"linked command complete", scsi::Fault::LinkedCommandComplete,
                                trigger(), st::UnexpectedPhase | 7},
                      FaultCase{"mid-data disconnect with SDP", scsi::Fault::DisconnectMidData,
                                trigger(scsi::Phase::DataIn, 256), st::SaveDataPointer},
                      FaultCase{"mid-data disconnect without SDP",
                                scsi::Fault::DisconnectMidDataNoSdp,
                                trigger(scsi::Phase::DataIn, 256), st::Disconnected},
                      FaultCase{"restore pointers", scsi::Fault::RestorePointers,
                                trigger(scsi::Phase::DataIn, 64), st::UnexpectedPhase | 7},
                      FaultCase{"stall", scsi::Fault::Stall, trigger(scsi::Phase::Status),
                                st::SelectTransferDone}),
    [](const auto& caseInfo) {
        std::string n = caseInfo.param.name;
        for (auto& c : n) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return n;
    });

TEST(Switches, NoSelectionResponseTimesOut) {
    Rig rig;
    rig.addDisk(0).fail(scsi::Fault::NoSelectionResponse, once());
    rig.init();
    rig.write(r::Timeout, 5);
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    EXPECT_EQ(rig.waitInterrupt(), st::Timeout);
}

TEST(Switches, RejectSdtrAnswersMessageRejectAndStaysAsync) {
    Rig rig;
    auto& disk = rig.addDisk(0);
    disk.fail(scsi::Fault::RejectSdtr);
    rig.init();
    rig.write(r::DestinationId, 0);
    rig.write(r::Command, sbic::cmd::SelectAtn);
    EXPECT_EQ(rig.waitInterrupt(), st::SelectDone);
    EXPECT_EQ(rig.waitInterrupt(), st::Request | 6);
    rig.transferInfoOut({0xC0, 0x01, 0x03, 0x01, 50, 8});
    EXPECT_EQ(rig.waitInterrupt(), st::TransferDone | 7);
    EXPECT_EQ(rig.transferInfoIn(1, true), std::vector<std::uint8_t>{scsi::msg::MessageReject});
    EXPECT_EQ(disk.agreement(), scsi::SyncAgreement{});
}

TEST(Switches, ReselectionByTheWrongLunGivesWrongNexusWhileTheChipWaits) {
    Rig rig;
    auto& disk = rig.addDisk(0);
    scsi::FaultSpec wrong = once();
    wrong.lun = 2;
    disk.fail(scsi::Fault::DisconnectNoSdp, once());
    disk.fail(scsi::Fault::ReselectWrongLun, wrong);
    rig.init(sbic::ownid::Eaf | sbic::ownid::Fs4,
             sbic::control::DmaBurst | sbic::control::Edi | sbic::control::Hsp);  // IDI off
    rig.selectAndTransfer(0, {0, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(rig.waitInterrupt(), st::ReselectedWrongNexus);
    EXPECT_EQ(rig.read(r::TargetLun) & 7, 2);
    EXPECT_TRUE(rig.bus.ackHeld());
}

}  // namespace
}  // namespace cbus::test
