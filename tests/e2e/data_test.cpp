// Data through the whole machine in each transfer mode: large reads and writes, and buffers of odd
// sizes, every byte checked against the disk image.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;       // 512-byte blocks
constexpr std::uint8_t kSmallDisk = 1;  // 256-byte blocks
constexpr std::uint32_t kSmallBlock = 256;

Scene* boot(Scene& scene) {
    scene.addDisk(kDisk);
    scene.addDisk(kSmallDisk, {}, 4096, kSmallBlock);
    scene.boot();
    return &scene;
}

// A deterministic pattern unlike the image's, so a write that did not land shows.
std::vector<std::uint8_t> fill(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return v;
}

// ---------------------------------------------------------------- blocks

struct BlockCase {
    std::uint32_t lba;
    std::uint16_t blocks;
};

class BlockTransfer : public ::testing::TestWithParam<std::tuple<BoardKind, BlockCase>> {};

TEST_P(BlockTransfer, ReadMatchesImageAndWriteLandsOnDisk) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    boot(scene);
    scene.target = kDisk;
    const std::size_t n = std::size_t{c.blocks} * kBlock;

    std::vector<std::uint8_t> data(n);
    Outcome out = scene.runRequest(read10(c.lba, c.blocks), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.scsiStatus, 0);
    EXPECT_EQ(out.length, n);
    EXPECT_EQ(data, Scene::image(kDisk, c.lba, n));

    std::vector<std::uint8_t> written = fill(n, static_cast<std::uint8_t>(c.lba));
    data = written;
    out = scene.runRequest(write10(c.lba + 1000, c.blocks), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.length, n);
    EXPECT_EQ(scene.stored(kDisk, c.lba + 1000, n), written);
    // The blocks around the write are untouched.
    EXPECT_EQ(scene.stored(kDisk, c.lba + 999, kBlock), Scene::image(kDisk, c.lba + 999, kBlock));

    // And the written blocks read back through the driver.
    std::vector<std::uint8_t> back(n);
    out = scene.runRequest(read10(c.lba + 1000, c.blocks), back);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(back, written);

    if (mode == BoardKind::Plain) {
        EXPECT_GT(scene.machine.trace().count("port", "iomap"), 0u);
    } else {
        EXPECT_EQ(scene.machine.trace().count("port", "iomap"), 0u)
            << "system DMA used where the driver moves the data itself";
    }
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, BlockTransfer,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::Values(BlockCase{0, 1}, BlockCase{17, 9},
                                                              BlockCase{200, 128})),
                         [](const auto& p) {
                             return std::string(modeName(std::get<0>(p.param))) + "_" +
                                    std::to_string(std::get<1>(p.param).blocks) + "blocks";
                         });

// ---------------------------------------------------------------- odd sizes

// A buffer of `size` bytes. Sizes below a block are read with INQUIRY's allocation length; the
// others with READ(10) of whole 256-byte blocks, where a buffer longer than the blocks asked
// ends short: DATA_OVERRUN with the true count.
struct OddCase {
    std::uint32_t size;
    std::uint16_t blocks;  // 0: INQUIRY
    std::uint32_t moved;
    std::uint8_t srbStatus;
};

class OddSize : public ::testing::TestWithParam<std::tuple<BoardKind, OddCase>> {};

TEST_P(OddSize, BufferHoldsExactlyTheBytesMoved) {
    const auto [mode, c] = GetParam();
    Scene scene(mode);
    boot(scene);
    scene.target = kSmallDisk;

    std::vector<std::uint8_t> data(c.size, 0xEE);
    std::vector<std::uint8_t> expected;
    Outcome out;
    if (c.blocks == 0) {
        const std::vector<std::uint8_t> cdb{0x12, 0, 0, 0, static_cast<std::uint8_t>(c.size), 0};
        out = scene.runRequest(cdb, data);
        ASSERT_EQ(scene.port->units().size(), 2u);
        expected = scene.port->units()[1].inquiry;
        expected.resize(c.moved);
    } else {
        out = scene.runRequest(read10(33, c.blocks), data, SRB_FLAGS_DATA_IN);
        expected = Scene::image(kSmallDisk, 33, c.moved, kSmallBlock);
    }
    EXPECT_EQ(out.srbStatus, c.srbStatus);
    EXPECT_EQ(out.scsiStatus, 0);
    EXPECT_EQ(out.length, c.moved);
    ASSERT_EQ(data.size(), c.size);
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + c.moved), expected);
    for (std::size_t i = c.moved; i < c.size; ++i) {
        ASSERT_EQ(data[i], 0) << "byte " << i << " past the data was written";
    }
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OddSize,
    ::testing::Combine(::testing::ValuesIn(kModes),
                       ::testing::Values(OddCase{1, 0, 1, SRB_STATUS_SUCCESS},
                                         OddCase{255, 0, 36, SRB_STATUS_DATA_OVERRUN},
                                         OddCase{36, 0, 36, SRB_STATUS_SUCCESS},
                                         OddCase{256, 1, 256, SRB_STATUS_SUCCESS},
                                         OddCase{258, 1, 256, SRB_STATUS_DATA_OVERRUN},
                                         OddCase{4100, 16, 4096, SRB_STATUS_DATA_OVERRUN})),
    [](const auto& p) {
        return std::string(modeName(std::get<0>(p.param))) + "_" +
               std::to_string(std::get<1>(p.param).size) + "bytes";
    });

// ---------------------------------------------------------------- cost accounting

// The port driver counts the driver's accesses as the data path makes them: a 64 KiB read by
// system DMA takes only register accesses, through the window one access per 32-bit word, through
// the FIFO port one per byte.
struct AccessCase {
    BoardKind mode;
    std::uint64_t atLeast;
    std::uint64_t below;
};
const AccessCase kAccesses[] = {
    {BoardKind::Plain, 10, 1000},
    {BoardKind::Window, 65536 / 4, 65536 / 2},
    {BoardKind::Fifo, 65536, 65536 + 4096},
};

class AccessCount : public ::testing::TestWithParam<AccessCase> {};

TEST_P(AccessCount, FollowsTheDataPath) {
    const AccessCase c = GetParam();
    Scene scene(c.mode);
    boot(scene);
    const std::uint64_t before = scene.port->portAccesses();
    std::vector<std::uint8_t> data(65536);
    ASSERT_EQ(scene.runRequest(read10(64, 128), data).srbStatus, SRB_STATUS_SUCCESS);
    const std::uint64_t n = scene.port->portAccesses() - before;
    EXPECT_GE(n, c.atLeast);
    EXPECT_LT(n, c.below);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, AccessCount, ::testing::ValuesIn(kAccesses),
                         [](const auto& p) { return modeName(p.param.mode); });

}  // namespace
}  // namespace cbus::e2e
