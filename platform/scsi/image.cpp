#include "platform/scsi/image.h"

#include <algorithm>
#include <stdexcept>

namespace cbus::scsi {

BlockImage::BlockImage(std::uint64_t blocks, std::uint32_t blockSize, std::uint32_t seed)
    : blocks_(blocks), blockSize_(blockSize), seed_(seed) {}

BlockImage::BlockImage(const std::filesystem::path& path, std::uint32_t blockSize,
                       std::uint64_t blocks)
    : blocks_(blocks), blockSize_(blockSize), path_(path), file_(path, std::ios::binary) {
    if (!file_) {
        throw std::runtime_error("cannot open image " + path.string());
    }
    fileSize_ = std::filesystem::file_size(path);
    if (blocks_ == 0) {
        blocks_ = (fileSize_ + blockSize - 1) / blockSize;
    }
}

std::uint8_t BlockImage::patternByte(std::uint32_t seed, std::uint64_t offset) {
    std::uint64_t x = offset * 0x9E3779B97F4A7C15ull + seed;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<std::uint8_t>(x);
}

void BlockImage::readBlock(std::uint64_t lba, std::span<std::uint8_t> out) {
    if (auto it = written_.find(lba); it != written_.end()) {
        std::copy(it->second.begin(), it->second.end(), out.begin());
        return;
    }
    const std::uint64_t base = lba * blockSize_;
    if (!path_) {
        for (std::uint32_t i = 0; i < blockSize_; ++i) {
            out[i] = patternByte(seed_, base + i);
        }
        return;
    }
    std::fill(out.begin(), out.end(), 0);
    if (base < fileSize_) {
        const auto n =
            static_cast<std::streamsize>(std::min<std::uint64_t>(blockSize_, fileSize_ - base));
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(base));
        file_.read(reinterpret_cast<char*>(out.data()), n);
    }
}

void BlockImage::read(std::uint64_t lba, std::uint32_t count, std::vector<std::uint8_t>& out) {
    out.resize(std::size_t{count} * blockSize_);
    for (std::uint32_t i = 0; i < count; ++i) {
        readBlock(lba + i, std::span(out).subspan(std::size_t{i} * blockSize_, blockSize_));
    }
}

void BlockImage::write(std::uint64_t lba, std::span<const std::uint8_t> data) {
    for (std::size_t off = 0; off + blockSize_ <= data.size(); off += blockSize_) {
        auto block = data.subspan(off, blockSize_);
        written_[lba + off / blockSize_].assign(block.begin(), block.end());
    }
}

}  // namespace cbus::scsi
