#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace cbus::scsi {

// A block device's medium: an image file read on demand, sparse (blocks past the end of the
// file read as zeros), with writes kept in memory so the file is never changed. Without a
// file the medium is a deterministic pattern (see patternByte), which lets tests check every
// byte of a large transfer without storing it.
class BlockImage {
  public:
    // A patterned medium of `blocks` blocks.
    BlockImage(std::uint64_t blocks, std::uint32_t blockSize, std::uint32_t seed = 0);
    // A medium backed by `path`; `blocks` 0 takes the file's size (rounded up).
    BlockImage(const std::filesystem::path& path, std::uint32_t blockSize,
               std::uint64_t blocks = 0);

    std::uint64_t blocks() const { return blocks_; }
    std::uint32_t blockSize() const { return blockSize_; }

    void read(std::uint64_t lba, std::uint32_t count, std::vector<std::uint8_t>& out);
    void write(std::uint64_t lba, std::span<const std::uint8_t> data);

    // The byte a patterned medium holds at a byte offset.
    static std::uint8_t patternByte(std::uint32_t seed, std::uint64_t offset);

  private:
    void readBlock(std::uint64_t lba, std::span<std::uint8_t> out);

    std::uint64_t blocks_;
    std::uint32_t blockSize_;
    std::uint32_t seed_ = 0;
    std::optional<std::filesystem::path> path_;
    std::ifstream file_;
    std::uint64_t fileSize_ = 0;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> written_;
};

}  // namespace cbus::scsi
