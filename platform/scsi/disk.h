#pragma once

#include <memory>

#include "platform/scsi/image.h"
#include "platform/scsi/target.h"

namespace cbus::scsi {

struct DiskSettings {
    std::uint64_t accessNs = 2'000'000;        // per command that touches the medium
    std::uint64_t accessPer64KiBNs = 100'000;  // plus this per 64 KiB of head travel
    // One MODE SENSE(6) of all pages answered as an old host expects: pages 1, 3 and 4, and a
    // block descriptor with an explicit block count, cut to the allocation length.
    bool legacyHostProfile = false;
};

// A direct-access disk (type 0) on a BlockImage; block sizes 256 to 2048.
class Disk : public Target {
  public:
    Disk(Bus& bus, TargetSettings settings, std::shared_ptr<BlockImage> image,
         DiskSettings disk = {});

    BlockImage& image() { return *image_; }
    std::uint64_t reads() const { return reads_; }
    std::uint64_t writes() const { return writes_; }

  protected:
    void execute(const Command& cmd) override;
    DeviceType deviceType() const override { return DeviceType::DirectAccess; }
    // Medium access time for a transfer starting at `lba`.
    std::uint64_t accessTime(std::uint64_t lba);
    virtual bool writeAllowed(std::uint64_t lba, std::uint32_t count);
    void modeSense6(const Command& cmd);
    void readBlocks(std::uint64_t lba, std::uint32_t count);
    void writeBlocks(std::uint64_t lba, std::uint32_t count, bool verify);

    std::shared_ptr<BlockImage> image_;
    DiskSettings disk_;
    std::uint64_t headAt_ = 0;  // byte offset of the last access
    std::uint64_t reads_ = 0;
    std::uint64_t writes_ = 0;
};

// A write-once device (type 4): blocks may be written once; reading a blank block is a
// blank check.
class WriteOnce : public Disk {
  public:
    using Disk::Disk;

  protected:
    DeviceType deviceType() const override { return DeviceType::WriteOnce; }
    bool writeAllowed(std::uint64_t lba, std::uint32_t count) override;

  private:
    std::vector<bool> written_;
};

}  // namespace cbus::scsi
