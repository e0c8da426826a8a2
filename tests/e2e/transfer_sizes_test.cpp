// Transfers of odd sizes through a processor device, which moves exactly the bytes asked, and
// transfers that end before the buffer is full, in each transfer mode.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/e2e/devices.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kProcessor = 5;
constexpr std::uint8_t kCd = 2;
constexpr std::uint32_t kCdBlock = scsi::CdRom::kBlockSize;

std::string nameOf(BoardKind mode, const std::string& rest) {
    return modeName(mode) + rest;
}

// ---------------------------------------------------------------- odd sizes

constexpr std::uint32_t kOddSizes[] = {1, 255, 256, 258, 4100};

class OddTransfer : public ::testing::TestWithParam<std::tuple<BoardKind, std::uint32_t>> {};

TEST_P(OddTransfer, ReceiveAndSendMoveExactlyTheBytesAsked) {
    const auto [mode, n] = GetParam();
    DeviceScene scene(mode);
    const auto source = numbered(2 * n + 3, 5);
    auto& dev = scene.addStream(kProcessor, scsi::DeviceType::Processor, source);
    scene.boot();
    scene.target = kProcessor;

    // Two receives in a row: the second starts where the first stopped.
    for (std::uint32_t round = 0; round < 2; ++round) {
        std::vector<std::uint8_t> data(n, 0xEE);
        const Outcome out = scene.runRequest(cdb6(scsi::op::Receive, n), data);
        EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(out.scsiStatus, 0);
        EXPECT_EQ(out.length, n);
        EXPECT_EQ(data, std::vector<std::uint8_t>(source.begin() + round * n,
                                                  source.begin() + (round + 1) * n));
    }
    EXPECT_EQ(dev.given(), 2u * n);

    const auto sent = numbered(n, 200);
    auto data = sent;
    const Outcome out = scene.runRequest(cdb6(scsi::op::Send, n), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, n);
    EXPECT_EQ(dev.taken(), sent);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Sizes, OddTransfer,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kOddSizes)),
                         [](const auto& p) {
                             return nameOf(std::get<0>(p.param),
                                           "_" + std::to_string(std::get<1>(p.param)) + "bytes");
                         });

// ---------------------------------------------------------------- short transfers

// A RECEIVE with a buffer longer than what the device gives: it asks for `asked` bytes and has
// `available` left, so `moved` bytes come.
struct ShortCase {
    std::uint32_t buffer;
    std::uint32_t asked;
    std::uint32_t available;
    std::uint32_t moved;
};

class ShortTransfer : public ::testing::TestWithParam<std::tuple<BoardKind, ShortCase>> {};

TEST_P(ShortTransfer, EndsWithOverrunAndTheTrueLength) {
    const auto [mode, c] = GetParam();
    DeviceScene scene(mode);
    const auto source = numbered(c.available, 9);
    scene.addStream(kProcessor, scsi::DeviceType::Processor, source);
    scene.boot();
    scene.target = kProcessor;

    std::vector<std::uint8_t> data(c.buffer, 0xEE);
    const Outcome out = scene.runRequest(cdb6(scsi::op::Receive, c.asked), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(out.scsiStatus, 0);
    EXPECT_EQ(out.length, c.moved);
    ASSERT_EQ(data.size(), c.buffer);
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + c.moved),
              std::vector<std::uint8_t>(source.begin(), source.begin() + c.moved));
    for (std::size_t i = c.moved; i < c.buffer; ++i) {
        ASSERT_EQ(data[i], 0) << "byte " << i << " past the data was written";
    }
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, ShortTransfer,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::Values(ShortCase{300, 300, 100, 100},
                                                              ShortCase{300, 200, 1000, 200},
                                                              ShortCase{256, 256, 1, 1},
                                                              ShortCase{4100, 4100, 4096, 4096},
                                                              ShortCase{4096, 4096, 4095, 4095})),
                         [](const auto& p) {
                             const ShortCase& c = std::get<1>(p.param);
                             return nameOf(
                                 std::get<0>(p.param),
                                 "_" + std::to_string(c.buffer) + "of" + std::to_string(c.moved));
                         });

// A CD-ROM read of two blocks into a buffer of three: in window mode this is a window transfer
// that the device ends early.
class ShortCdRead : public ::testing::TestWithParam<BoardKind> {};

TEST_P(ShortCdRead, TwoBlocksIntoAThreeBlockBuffer) {
    DeviceScene scene(GetParam());
    scene.add<scsi::CdRom>(kCd, DeviceScene::disc(64, kCd));
    scene.boot();
    scene.target = kCd;

    std::vector<std::uint8_t> data(3 * kCdBlock, 0xEE);
    const Outcome out = scene.runRequest(read10(5, 2), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(out.length, 2 * kCdBlock);
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 2 * kCdBlock),
              Scene::image(kCd, 5, 2 * kCdBlock, kCdBlock));
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin() + 2 * kCdBlock, data.end()),
              std::vector<std::uint8_t>(kCdBlock, 0));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, ShortCdRead, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return std::string(modeName(p.param)); });

}  // namespace
}  // namespace cbus::e2e
