#pragma once

#include <memory>

#include "platform/scsi/image.h"
#include "platform/scsi/target.h"

namespace cbus::scsi {

struct CdRomSettings {
    std::uint64_t accessNs = 80'000'000;  // per command that touches the disc
};

// A CD-ROM (type 5) on an ISO image of 2048-byte blocks, one data track starting at block 0.
class CdRom : public Target {
  public:
    CdRom(Bus& bus, TargetSettings settings, std::shared_ptr<BlockImage> image,
          CdRomSettings cd = {});

    BlockImage& image() { return *image_; }
    std::uint64_t reads() const { return reads_; }

    static constexpr std::uint32_t kBlockSize = 2048;

  protected:
    void execute(const Command& cmd) override;
    DeviceType deviceType() const override { return DeviceType::CdRom; }
    bool removable() const override { return true; }

  private:
    void readBlocks(std::uint64_t lba, std::uint32_t count);
    void readToc(const Command& cmd);
    void modeSense6(const Command& cmd);

    std::shared_ptr<BlockImage> image_;
    CdRomSettings cd_;
    std::uint64_t reads_ = 0;
};

// A CD-ROM that does not decode the LUN: every LUN answers as LUN 0 does. Its product
// identification begins "CD-ROM QV-72T", which is how hosts recognise it.
class PhantomLunCdRom : public CdRom {
  public:
    PhantomLunCdRom(Bus& bus, TargetSettings settings, std::shared_ptr<BlockImage> image,
                    CdRomSettings cd = {});

  protected:
    bool lunExists(std::uint8_t) const override { return true; }
};

}  // namespace cbus::scsi
