#include "platform/scsi/cdrom.h"

#include <algorithm>
#include <stdexcept>

namespace cbus::scsi {

namespace {
std::uint32_t be32(const std::vector<std::uint8_t>& c, std::size_t at) {
    return (std::uint32_t{c[at]} << 24) | (std::uint32_t{c[at + 1]} << 16) |
           (std::uint32_t{c[at + 2]} << 8) | c[at + 3];
}
void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    v[at] = static_cast<std::uint8_t>(x >> 24);
    v[at + 1] = static_cast<std::uint8_t>(x >> 16);
    v[at + 2] = static_cast<std::uint8_t>(x >> 8);
    v[at + 3] = static_cast<std::uint8_t>(x);
}
// A TOC address: a logical block, or minutes/seconds/frames counted from the 2-second
// pre-gap (75 frames a second).
void putAddress(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t lba, bool msf) {
    if (!msf) {
        put32(v, at, lba);
        return;
    }
    const std::uint32_t f = lba + 150;
    v[at] = 0;
    v[at + 1] = static_cast<std::uint8_t>(f / (60 * 75));
    v[at + 2] = static_cast<std::uint8_t>(f / 75 % 60);
    v[at + 3] = static_cast<std::uint8_t>(f % 75);
}
void sendCut(std::vector<std::uint8_t>& d, std::size_t allocation) {
    d.resize(std::min(d.size(), allocation));
}
}  // namespace

CdRom::CdRom(Bus& bus, TargetSettings settings, std::shared_ptr<BlockImage> image, CdRomSettings cd)
    : Target(bus, std::move(settings)), image_(std::move(image)), cd_(cd) {
    if (image_->blockSize() != kBlockSize) {
        throw std::invalid_argument("a CD-ROM image has 2048-byte blocks");
    }
}

void CdRom::readBlocks(std::uint64_t lba, std::uint32_t count) {
    if (lba + count > image_->blocks()) {
        checkCondition(kLbaOutOfRange);
        return;
    }
    ++reads_;
    work(cd_.accessNs);
    if (count > 0) {
        std::vector<std::uint8_t> data;
        image_->read(lba, count, data);
        dataIn(std::move(data));
    }
    good();
}

void CdRom::readToc(const Command& cmd) {
    const auto& c = cmd.cdb;
    const bool msf = (c[1] & 0x02) != 0;
    const std::uint8_t start = c[6];
    const std::size_t allocation = (std::size_t{c[7]} << 8) | c[8];
    constexpr std::uint8_t kLeadOut = 0xAA;
    if (start > 1 && start != kLeadOut) {
        checkCondition(kInvalidFieldInCdb);
        return;
    }
    std::vector<std::uint8_t> d(4, 0);
    d[2] = 1;  // first track
    d[3] = 1;  // last track
    auto descriptor = [&](std::uint8_t track, std::uint32_t lba) {
        std::vector<std::uint8_t> t(8, 0);
        t[1] = 0x14;  // ADR 1 (current position), control 4 (data track)
        t[2] = track;
        putAddress(t, 4, lba, msf);
        d.insert(d.end(), t.begin(), t.end());
    };
    if (start <= 1) {
        descriptor(1, 0);
    }
    descriptor(kLeadOut, static_cast<std::uint32_t>(image_->blocks()));
    const std::size_t length = d.size() - 2;
    d[0] = static_cast<std::uint8_t>(length >> 8);
    d[1] = static_cast<std::uint8_t>(length);
    sendCut(d, allocation);
    if (!d.empty()) {
        dataIn(std::move(d));
    }
    good();
}

void CdRom::modeSense6(const Command& cmd) {
    const std::uint8_t page = cmd.cdb[2] & 0x3F;
    const bool dbd = (cmd.cdb[1] & 0x08) != 0;
    std::vector<std::uint8_t> d(4, 0);
    if (!dbd) {
        d[3] = 8;
        std::vector<std::uint8_t> bd(8, 0);
        put32(bd, 0, static_cast<std::uint32_t>(image_->blocks()));
        bd[0] = 0;  // density code: default
        put32(bd, 4, kBlockSize);
        bd[4] = 0;
        d.insert(d.end(), bd.begin(), bd.end());
    }
    const std::vector<std::uint8_t> recovery{0x01, 0x06, 0x00, 5, 0, 0, 0, 0};
    // CD-ROM parameters: inactivity timer, 60 seconds per minute, 75 frames per second.
    const std::vector<std::uint8_t> cdParameters{0x0D, 0x06, 0, 0, 0, 60, 0, 75};
    switch (page) {
        case 0x00:
            break;
        case 0x01:
            d.insert(d.end(), recovery.begin(), recovery.end());
            break;
        case 0x0D:
            d.insert(d.end(), cdParameters.begin(), cdParameters.end());
            break;
        case 0x3F:
            d.insert(d.end(), recovery.begin(), recovery.end());
            d.insert(d.end(), cdParameters.begin(), cdParameters.end());
            break;
        default:
            checkCondition(kInvalidFieldInCdb);
            return;
    }
    d[0] = static_cast<std::uint8_t>(d.size() - 1);
    sendCut(d, cmd.cdb[4]);
    if (!d.empty()) {
        dataIn(std::move(d));
    }
    good();
}

void CdRom::execute(const Command& cmd) {
    const auto& c = cmd.cdb;
    switch (cmd.opcode()) {
        case op::ReadCapacity: {
            std::vector<std::uint8_t> d(8, 0);
            put32(d, 0, static_cast<std::uint32_t>(image_->blocks() - 1));
            put32(d, 4, kBlockSize);
            dataIn(std::move(d));
            good();
            return;
        }
        case op::Read10:
            readBlocks(be32(c, 2), (std::uint32_t{c[7]} << 8) | c[8]);
            return;
        case op::ReadToc:
            readToc(cmd);
            return;
        case op::ModeSense6:
            modeSense6(cmd);
            return;
        case op::StartStopUnit:
        case op::PreventAllowRemoval:
            good();
            return;
        default:
            checkCondition(kInvalidOpcode);
            return;
    }
}

PhantomLunCdRom::PhantomLunCdRom(Bus& bus, TargetSettings settings,
                                 std::shared_ptr<BlockImage> image, CdRomSettings cd)
    : CdRom(
          bus,
          [&] {
              if (settings.product.rfind("CD-ROM QV-72T", 0) != 0) {
                  settings.product = "CD-ROM QV-72T";
              }
              return std::move(settings);
          }(),
          std::move(image), cd) {}

}  // namespace cbus::scsi
