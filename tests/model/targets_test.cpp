// Each target kind, driven with Select-and-Transfer through the plain board's DMA path: what
// it answers, byte for byte against its image or stream.
#include <filesystem>
#include <fstream>

#include "platform/scsi/cdrom.h"
#include "platform/scsi/scripted.h"
#include "platform/scsi/stream.h"
#include "tests/model/rig.h"

namespace cbus::test {
namespace {

constexpr std::uint32_t kBuffer = 0x20000;

BoardSettings plainBoard() {
    BoardSettings s;
    s.kind = BoardKind::Plain;
    return s;
}

scsi::TargetSettings at(std::uint8_t id) {
    scsi::TargetSettings ts;
    ts.id = id;
    ts.disconnects = false;
    return ts;
}

struct Outcome {
    std::uint8_t chip = 0;    // SCSI STATUS at the end of the combination command
    std::uint8_t status = 0;  // the target's status byte (TARGET LUN)
    std::vector<std::uint8_t> data;
};

// One command with Select-with-ATN-and-Transfer: `in` bytes read by DMA, or `out` written.
Outcome run(Rig& rig, std::uint8_t id, std::vector<std::uint8_t> cdb, std::uint32_t in,
            std::uint8_t lun = 0, const std::vector<std::uint8_t>& out = {}) {
    const bool inbound = out.empty();
    const auto count = inbound ? in : static_cast<std::uint32_t>(out.size());
    if (!inbound) {
        auto ram = rig.machine.memory().ram(kBuffer, count);
        std::copy(out.begin(), out.end(), ram.begin());
    }
    if (count > 0) {
        rig.machine.dma().program(3, kBuffer, count,
                                  inbound ? DmaDirection::FromDevice : DmaDirection::ToDevice);
    }
    rig.selectAndTransfer(id, std::move(cdb), count, inbound, sbic::cmd::SelectAtnTransfer, lun);
    rig.boardCommand(board::CmdConnectDma);
    Outcome o;
    o.chip = rig.waitInterrupt();
    o.status = rig.read(r::TargetLun);
    if (inbound && count > 0) {
        const std::uint32_t moved = count - rig.readCount();
        auto m = rig.machine.memory().ram(kBuffer, moved);
        o.data.assign(m.begin(), m.end());
    }
    return o;
}

std::vector<std::uint8_t> inquiry(std::uint8_t length = 36) {
    return {scsi::op::Inquiry, 0, 0, 0, length, 0};
}
std::vector<std::uint8_t> requestSense() {
    return {scsi::op::RequestSense, 0, 0, 0, 18, 0};
}
std::vector<std::uint8_t> cdb6(std::uint8_t opcode, std::uint32_t length24) {
    return {opcode,
            0,
            static_cast<std::uint8_t>(length24 >> 16),
            static_cast<std::uint8_t>(length24 >> 8),
            static_cast<std::uint8_t>(length24),
            0};
}
std::vector<std::uint8_t> cdb10(std::uint8_t opcode, std::uint32_t length24) {
    return {opcode,
            0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(length24 >> 16),
            static_cast<std::uint8_t>(length24 >> 8),
            static_cast<std::uint8_t>(length24),
            0};
}

scsi::Sense senseOf(const Outcome& o) {
    if (o.data.size() < 14) {
        return {0xFF, 0xFF, 0xFF};
    }
    return {static_cast<std::uint8_t>(o.data[2] & 0x0F), o.data[12], o.data[13]};
}

// ---------------------------------------------------------------- CD-ROM

// An ISO-like image on disk: a volume descriptor at block 16 and numbered bytes elsewhere.
class IsoFile {
  public:
    explicit IsoFile(std::uint32_t blocks)
        : path_(std::filesystem::temp_directory_path() / ("cbus-cd-" + testName() + ".iso")) {
        bytes_.resize(std::size_t{blocks} * 2048);
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            bytes_[i] = static_cast<std::uint8_t>((i * 131 + i / 2048) & 0xFF);
        }
        const std::string pvd =
            "\x01"
            "CD001\x01";
        std::copy(pvd.begin(), pvd.end(), bytes_.begin() + 16 * 2048);
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes_.data()),
                   static_cast<std::streamsize>(bytes_.size()));
    }
    ~IsoFile() { std::filesystem::remove(path_); }
    IsoFile(const IsoFile&) = delete;
    IsoFile& operator=(const IsoFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    static std::string testName() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string n = std::string(info->test_suite_name()) + "." + info->name();
        for (auto& ch : n) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return n;
    }
    std::vector<std::uint8_t> blocks(std::uint32_t lba, std::uint32_t count) const {
        const auto from = bytes_.begin() + static_cast<std::ptrdiff_t>(lba) * 2048;
        return {from, from + static_cast<std::ptrdiff_t>(count) * 2048};
    }

  private:
    std::filesystem::path path_;
    std::vector<std::uint8_t> bytes_;
};

struct CdRig {
    explicit CdRig(std::uint32_t blocks = 64) : iso(blocks), rig(plainBoard()) {
        cd = &rig.addTarget<scsi::CdRom>(at(2),
                                         std::make_shared<scsi::BlockImage>(iso.path(), 2048));
        rig.init();
    }
    IsoFile iso;
    Rig rig;
    scsi::CdRom* cd = nullptr;
};

TEST(CdRom, InquiryReportsARemovableCdRom) {
    CdRig c;
    auto o = run(c.rig, 2, inquiry(), 36);
    ASSERT_EQ(o.chip, st::SelectTransferDone);
    ASSERT_EQ(o.data.size(), 36u);
    EXPECT_EQ(o.data[0], 0x05);
    EXPECT_EQ(o.data[1] & 0x80, 0x80);
}

TEST(CdRom, ReadCapacityGivesTheLastBlockAndTwoKiBBlocks) {
    CdRig c(300);
    auto o = run(c.rig, 2, {scsi::op::ReadCapacity, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    EXPECT_EQ(o.status, scsi::status::Good);
    EXPECT_EQ(o.data, (std::vector<std::uint8_t>{0, 0, 0x01, 0x2B, 0, 0, 0x08, 0}));
}

TEST(CdRom, Read10GivesTheImageByteForByte) {
    CdRig c;
    auto o = run(c.rig, 2, Rig::read10(16, 32), 32 * 2048);
    EXPECT_EQ(o.chip, st::SelectTransferDone);
    EXPECT_EQ(o.status, scsi::status::Good);
    EXPECT_EQ(o.data, c.iso.blocks(16, 32));
    EXPECT_EQ(c.rig.contracts(), 0u);
}

TEST(CdRom, ReadPastTheLastBlockIsIllegalRequest) {
    CdRig c(64);
    EXPECT_EQ(run(c.rig, 2, Rig::read10(63, 2), 0).status, scsi::status::CheckCondition);
    EXPECT_EQ(senseOf(run(c.rig, 2, requestSense(), 18)), scsi::kLbaOutOfRange);
}

struct TocCase {
    const char* name;
    bool msf;
    std::vector<std::uint8_t> leadOutAddress;  // of a 1000-block disc
};

class CdRomToc : public ::testing::TestWithParam<TocCase> {};

TEST_P(CdRomToc, ListsTrackOneAtTheStartAndTheLeadOutAfterTheLastBlock) {
    CdRig c(1000);
    std::vector<std::uint8_t> cdb{scsi::op::ReadToc, 0, 0, 0, 0, 0, 0, 0, 100, 0};
    cdb[1] = GetParam().msf ? 0x02 : 0x00;
    auto o = run(c.rig, 2, cdb, 20);
    ASSERT_EQ(o.chip, st::SelectTransferDone);
    std::vector<std::uint8_t> track1Address = GetParam().msf
                                                  ? std::vector<std::uint8_t>{0, 0, 2, 0}
                                                  : std::vector<std::uint8_t>{0, 0, 0, 0};
    std::vector<std::uint8_t> want{0, 18, 1, 1, 0, 0x14, 1, 0};
    want.insert(want.end(), track1Address.begin(), track1Address.end());
    want.insert(want.end(), {0, 0x14, 0xAA, 0});
    want.insert(want.end(), GetParam().leadOutAddress.begin(), GetParam().leadOutAddress.end());
    EXPECT_EQ(o.data, want);
}

INSTANTIATE_TEST_SUITE_P(Addresses, CdRomToc,
                         ::testing::Values(TocCase{"Lba", false, {0, 0, 0x03, 0xE8}},
                                           // 1000 + 150 frames = 0 min, 15 s, 25 frames
                                           TocCase{"Msf", true, {0, 0, 15, 25}}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(CdRom, ReadTocCutsTheAnswerToTheAllocationLength) {
    CdRig c;
    auto o = run(c.rig, 2, {scsi::op::ReadToc, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4);
    EXPECT_EQ(o.chip, st::SelectTransferDone);
    EXPECT_EQ(o.data, (std::vector<std::uint8_t>{0, 18, 1, 1}));
}

TEST(CdRom, ModeSense6HasAnEightByteBlockDescriptorOfTheDisc) {
    CdRig c(500);
    auto o = run(c.rig, 2, {scsi::op::ModeSense6, 0, 0x3F, 0, 255, 0}, 28);
    ASSERT_EQ(o.chip, st::SelectTransferDone);
    ASSERT_EQ(o.data.size(), 28u);
    EXPECT_EQ(o.data[0], 27);  // mode data length
    EXPECT_EQ(o.data[3], 8);   // block descriptor length
    EXPECT_EQ(std::vector<std::uint8_t>(o.data.begin() + 4, o.data.begin() + 12),
              (std::vector<std::uint8_t>{0, 0, 0x01, 0xF4, 0, 0, 0x08, 0}));
    EXPECT_EQ(o.data[12], 0x01);  // pages follow the descriptor
    EXPECT_EQ(o.data[20], 0x0D);
}

TEST(CdRom, ModeSense6OfAnUnknownPageIsInvalidField) {
    CdRig c;
    EXPECT_EQ(run(c.rig, 2, {scsi::op::ModeSense6, 0, 0x2B, 0, 255, 0}, 0).status,
              scsi::status::CheckCondition);
    EXPECT_EQ(senseOf(run(c.rig, 2, requestSense(), 18)), scsi::kInvalidFieldInCdb);
}

// ---------------------------------------------------------------- phantom-LUN CD-ROM

TEST(PhantomLunCdRom, EveryLunAnswersInquiryAsLunZero) {
    Rig rig(plainBoard());
    auto image = std::make_shared<scsi::BlockImage>(64, 2048, 9);
    rig.addTarget<scsi::PhantomLunCdRom>(at(4), image);
    rig.init();
    const auto lun0 = run(rig, 4, inquiry(), 36, 0).data;
    ASSERT_EQ(lun0.size(), 36u);
    EXPECT_EQ(lun0[0], 0x05);  // qualifier 0: a device is here
    EXPECT_EQ(std::string(lun0.begin() + 16, lun0.begin() + 29), "CD-ROM QV-72T");
    for (std::uint8_t lun = 1; lun < 8; ++lun) {
        EXPECT_EQ(run(rig, 4, inquiry(), 36, lun).data, lun0) << "LUN " << int{lun};
    }
}

TEST(PhantomLunCdRom, EveryLunReadsTheSameDisc) {
    Rig rig(plainBoard());
    auto image = std::make_shared<scsi::BlockImage>(64, 2048, 9);
    rig.addTarget<scsi::PhantomLunCdRom>(at(4), image);
    rig.init();
    std::vector<std::uint8_t> want;
    image->read(3, 2, want);
    EXPECT_EQ(run(rig, 4, Rig::read10(3, 2), 4096, 0).data, want);
    EXPECT_EQ(run(rig, 4, Rig::read10(3, 2), 4096, 6).data, want);
}

TEST(PhantomLunCdRom, AnOrdinaryCdRomAnswersOnlyItsOwnLun) {
    Rig rig(plainBoard());
    rig.addTarget<scsi::CdRom>(at(4), std::make_shared<scsi::BlockImage>(64, 2048, 9));
    rig.init();
    EXPECT_EQ(run(rig, 4, inquiry(), 36, 6).data.at(0), 0x7F);
}

// ---------------------------------------------------------------- stream devices

std::vector<std::uint8_t> numbered(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return v;
}

scsi::StreamDevice& addStream(Rig& rig, scsi::DeviceType type, std::vector<std::uint8_t> source) {
    scsi::StreamSettings ss;
    ss.type = type;
    ss.source = std::move(source);
    return rig.addTarget<scsi::StreamDevice>(at(5), std::move(ss));
}

class StreamInquiry : public ::testing::TestWithParam<scsi::DeviceType> {};

TEST_P(StreamInquiry, ReportsItsPeripheralType) {
    Rig rig(plainBoard());
    addStream(rig, GetParam(), {});
    rig.init();
    auto o = run(rig, 5, inquiry(), 36);
    ASSERT_EQ(o.data.size(), 36u);
    EXPECT_EQ(o.data[0], static_cast<std::uint8_t>(GetParam()));
    EXPECT_EQ(run(rig, 5, {0, 0, 0, 0, 0, 0}, 0).status, scsi::status::Good);
}

INSTANTIATE_TEST_SUITE_P(Types, StreamInquiry,
                         ::testing::Values(scsi::DeviceType::Printer, scsi::DeviceType::Processor,
                                           scsi::DeviceType::Scanner,
                                           scsi::DeviceType::Communications));

struct GiveCase {
    const char* name;
    scsi::DeviceType type;
    std::uint8_t opcode;
    bool tenByte;  // length in bytes 6-8 of a 10-byte CDB, else bytes 2-4 of a 6-byte one
};

class StreamGives : public ::testing::TestWithParam<GiveCase> {};

TEST_P(StreamGives, SuccessiveCommandsGiveTheSourceInOrder) {
    Rig rig(plainBoard());
    const auto source = numbered(1000, 3);
    auto& dev = addStream(rig, GetParam().type, source);
    rig.init();
    auto cdb = [&](std::uint32_t n) {
        return GetParam().tenByte ? cdb10(GetParam().opcode, n) : cdb6(GetParam().opcode, n);
    };
    auto first = run(rig, 5, cdb(600), 600);
    auto second = run(rig, 5, cdb(300), 300);
    EXPECT_EQ(first.chip, st::SelectTransferDone);
    EXPECT_EQ(second.chip, st::SelectTransferDone);
    EXPECT_EQ(first.data, std::vector<std::uint8_t>(source.begin(), source.begin() + 600));
    EXPECT_EQ(second.data, std::vector<std::uint8_t>(source.begin() + 600, source.begin() + 900));
    EXPECT_EQ(dev.given(), 900u);
}

TEST_P(StreamGives, ADrySourceGivesWhatIsLeftAndEndsTheDataEarly) {
    Rig rig(plainBoard());
    const auto source = numbered(200, 5);
    addStream(rig, GetParam().type, source);
    rig.init();
    auto cdb = GetParam().tenByte ? cdb10(GetParam().opcode, 300) : cdb6(GetParam().opcode, 300);
    auto o = run(rig, 5, cdb, 300);
    EXPECT_EQ(o.chip, st::UnexpectedPhase | 3);  // status came with 100 bytes to go
    EXPECT_EQ(o.data, source);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, StreamGives,
    ::testing::Values(GiveCase{"ProcessorReceive", scsi::DeviceType::Processor, 0x08, false},
                      GiveCase{"CommunicationsGetMessage", scsi::DeviceType::Communications, 0x08,
                               false},
                      GiveCase{"ScannerRead", scsi::DeviceType::Scanner, 0x28, true}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

class StreamTakes : public ::testing::TestWithParam<scsi::DeviceType> {};

TEST_P(StreamTakes, PrintAndSendBytesAreKeptInOrder) {
    Rig rig(plainBoard());
    auto& dev = addStream(rig, GetParam(), {});
    rig.init();
    const auto a = numbered(700, 1);
    const auto b = numbered(77, 9);
    EXPECT_EQ(run(rig, 5, cdb6(0x0A, 700), 0, 0, a).chip, st::SelectTransferDone);
    EXPECT_EQ(run(rig, 5, cdb6(0x0A, 77), 0, 0, b).chip, st::SelectTransferDone);
    auto want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(dev.taken(), want);
}

INSTANTIATE_TEST_SUITE_P(Types, StreamTakes,
                         ::testing::Values(scsi::DeviceType::Printer, scsi::DeviceType::Processor,
                                           scsi::DeviceType::Communications));

TEST(Scanner, SetWindowKeepsTheParameterListAndScanStarts) {
    Rig rig(plainBoard());
    auto& dev = addStream(rig, scsi::DeviceType::Scanner, {});
    rig.init();
    const auto window = numbered(48, 4);
    EXPECT_EQ(run(rig, 5, cdb10(scsi::op::SetWindow, 48), 0, 0, window).status, scsi::status::Good);
    EXPECT_EQ(dev.window(), window);
    EXPECT_EQ(run(rig, 5, {scsi::op::Scan, 0, 0, 0, 1, 0}, 0, 0, {0}).status, scsi::status::Good);
    EXPECT_TRUE(dev.scanning());
}

TEST(Printer, HasNoReceive) {
    Rig rig(plainBoard());
    addStream(rig, scsi::DeviceType::Printer, numbered(10, 0));
    rig.init();
    EXPECT_EQ(run(rig, 5, cdb6(0x08, 10), 0).status, scsi::status::CheckCondition);
    EXPECT_EQ(senseOf(run(rig, 5, requestSense(), 18)), scsi::kInvalidOpcode);
}

// ---------------------------------------------------------------- every new kind

struct KindCase {
    const char* name;
    std::function<void(Rig&)> add;  // attaches a target at id 6
};

class EveryKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(EveryKind, UnknownOperationCodeEndsInIllegalRequest) {
    Rig rig(plainBoard());
    GetParam().add(rig);
    rig.init();
    EXPECT_EQ(run(rig, 6, {scsi::op::ReceiveDiagnostic, 0, 0, 0, 0, 0}, 0).status,
              scsi::status::CheckCondition);
    EXPECT_EQ(senseOf(run(rig, 6, requestSense(), 18)), scsi::kInvalidOpcode);
}

TEST_P(EveryKind, AbsentLunAnswersInquiryWithQualifierThree) {
    Rig rig(plainBoard());
    GetParam().add(rig);
    rig.init();
    auto o = run(rig, 6, inquiry(), 36, 3);
    EXPECT_EQ(o.status, scsi::status::Good);
    ASSERT_FALSE(o.data.empty());
    EXPECT_EQ(o.data[0], 0x7F);
}

TEST_P(EveryKind, AbsentLunAnswersOtherCommandsWithLunNotSupported) {
    Rig rig(plainBoard());
    GetParam().add(rig);
    rig.init();
    EXPECT_EQ(run(rig, 6, {0, 0, 0, 0, 0, 0}, 0, 3).status, scsi::status::CheckCondition);
    EXPECT_EQ(senseOf(run(rig, 6, requestSense(), 18, 3)), scsi::kLunNotSupported);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EveryKind,
    ::testing::Values(
        KindCase{"CdRom",
                 [](Rig& rig) {
                     rig.addTarget<scsi::CdRom>(at(6),
                                                std::make_shared<scsi::BlockImage>(16, 2048));
                 }},
        KindCase{"Printer",
                 [](Rig& rig) {
                     rig.addTarget<scsi::StreamDevice>(
                         at(6), scsi::StreamSettings{scsi::DeviceType::Printer, {}, 0});
                 }},
        KindCase{"Scanner",
                 [](Rig& rig) {
                     rig.addTarget<scsi::StreamDevice>(
                         at(6), scsi::StreamSettings{scsi::DeviceType::Scanner, {}, 0});
                 }},
        KindCase{"Scripted", [](Rig& rig) { rig.addTarget<scsi::ScriptedTarget>(at(6)); }}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---------------------------------------------------------------- scripted target

TEST(ScriptedTarget, PlaysItsScriptAndKeepsWhatItTook) {
    Rig rig(plainBoard());
    auto& t = rig.addTarget<scsi::ScriptedTarget>(at(1));
    t.play(scsi::Script{}
               .receive(scsi::Phase::MessageOut, 1)
               .receive(scsi::Phase::Command, 6)
               .send(scsi::Phase::DataIn, {0xDE, 0xAD, 0xBE, 0xEF})
               .status(scsi::status::ConditionMet)
               .messageIn({scsi::msg::CommandComplete})
               .busFree());
    rig.init();
    const std::vector<std::uint8_t> cdb{0xC1, 2, 3, 4, 5, 6};
    auto o = run(rig, 1, cdb, 4, 2);
    EXPECT_EQ(o.chip, st::SelectTransferDone);
    EXPECT_EQ(o.status, scsi::status::ConditionMet);
    EXPECT_EQ(o.data, (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(t.received(),
              (std::vector<scsi::Received>{{scsi::Phase::MessageOut, {0x80 | 0x40 | 2}},
                                           {scsi::Phase::Command, cdb}}));
    EXPECT_EQ(t.stepsDone(), 6u);
    EXPECT_TRUE(rig.bus.free());
}

TEST(ScriptedTarget, PlaysASequenceTheChipDoesNotExpect) {
    Rig rig(plainBoard());
    auto& t = rig.addTarget<scsi::ScriptedTarget>(at(1));
    // Status straight after the IDENTIFY, with no command phase at all.
    t.play(scsi::Script{}
               .receive(scsi::Phase::MessageOut, 1)
               .status(scsi::status::Busy)
               .messageIn({scsi::msg::CommandComplete})
               .busFree());
    rig.init();
    auto o = run(rig, 1, {0, 0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(o.chip, st::UnexpectedPhase | 3);
    EXPECT_EQ(rig.read(r::CommandPhase), 0x20);  // IDENTIFY sent, no CDB byte
}

TEST(ScriptedTarget, WithoutAScriptAnswersAsAPlainDevice) {
    Rig rig(plainBoard());
    auto& t = rig.addTarget<scsi::ScriptedTarget>(at(1), scsi::DeviceType::Communications);
    t.play(scsi::Script{}
               .receive(scsi::Phase::MessageOut, 1)
               .receive(scsi::Phase::Command, 6)
               .status(0)
               .messageIn({0})
               .busFree());
    rig.init();
    EXPECT_EQ(run(rig, 1, {0, 0, 0, 0, 0, 0}, 0).chip, st::SelectTransferDone);
    EXPECT_EQ(t.scriptsLeft(), 0u);
    auto o = run(rig, 1, inquiry(), 36);
    ASSERT_EQ(o.data.size(), 36u);
    EXPECT_EQ(o.data[0], 0x09);
}

}  // namespace
}  // namespace cbus::test
