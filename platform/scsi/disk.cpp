#include "platform/scsi/disk.h"

#include <algorithm>

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
}  // namespace

Disk::Disk(Bus& bus, TargetSettings settings, std::shared_ptr<BlockImage> image, DiskSettings disk)
    : Target(bus, std::move(settings)), image_(std::move(image)), disk_(disk) {}

std::uint64_t Disk::accessTime(std::uint64_t lba) {
    const std::uint64_t at = lba * image_->blockSize();
    const std::uint64_t distance = at > headAt_ ? at - headAt_ : headAt_ - at;
    headAt_ = at;
    return disk_.accessNs + distance / 65536 * disk_.accessPer64KiBNs;
}

bool Disk::writeAllowed(std::uint64_t, std::uint32_t) {
    return true;
}

void Disk::readBlocks(std::uint64_t lba, std::uint32_t count) {
    if (lba + count > image_->blocks()) {
        checkCondition(kLbaOutOfRange);
        return;
    }
    ++reads_;
    work(accessTime(lba));
    if (count > 0) {
        std::vector<std::uint8_t> data;
        image_->read(lba, count, data);
        headAt_ += data.size();
        dataIn(std::move(data));
    }
    good();
}

void Disk::writeBlocks(std::uint64_t lba, std::uint32_t count, bool verify) {
    if (lba + count > image_->blocks()) {
        checkCondition(kLbaOutOfRange);
        return;
    }
    if (!writeAllowed(lba, count)) {
        checkCondition(Sense{sense::BlankCheck, 0x00, 0x00});
        return;
    }
    ++writes_;
    if (count > 0) {
        dataOut(std::size_t{count} * image_->blockSize(),
                [this, lba](std::vector<std::uint8_t> data) { image_->write(lba, data); });
    }
    work(accessTime(lba) * (verify ? 2 : 1));
    good();
}

void Disk::modeSense6(const Command& cmd) {
    const std::uint8_t page = cmd.cdb[2] & 0x3F;
    const bool dbd = (cmd.cdb[1] & 0x08) != 0;
    std::vector<std::uint8_t> d(4, 0);
    if (!dbd) {
        d[3] = 8;
        std::vector<std::uint8_t> bd(8, 0);
        // A legacy host reads the block count from the descriptor; otherwise 0 means "all".
        put32(bd, 0, disk_.legacyHostProfile ? static_cast<std::uint32_t>(image_->blocks()) : 0);
        bd[0] = 0;
        put32(bd, 4, image_->blockSize());
        bd[4] = 0;
        d.insert(d.end(), bd.begin(), bd.end());
    }
    auto addPage = [&](std::uint8_t code) {
        std::vector<std::uint8_t> p;
        switch (code) {
            case 0x01:  // read-write error recovery
                p = {0x01, 0x0A, 0xC0, 8, 0, 0, 0, 0, 8, 0, 0xFF, 0xFF};
                break;
            case 0x03:  // format device
                p.assign(24, 0);
                p[0] = 0x03;
                p[1] = 0x16;
                p[10] = 0;
                p[11] = 63;  // sectors per track
                p[12] = static_cast<std::uint8_t>(image_->blockSize() >> 8);
                p[13] = static_cast<std::uint8_t>(image_->blockSize());
                break;
            case 0x04: {  // rigid disk geometry
                p.assign(24, 0);
                p[0] = 0x04;
                p[1] = 0x16;
                const std::uint64_t cyl = std::max<std::uint64_t>(1, image_->blocks() / (63 * 16));
                p[2] = static_cast<std::uint8_t>(cyl >> 16);
                p[3] = static_cast<std::uint8_t>(cyl >> 8);
                p[4] = static_cast<std::uint8_t>(cyl);
                p[5] = 16;  // heads
                break;
            }
            default:
                break;
        }
        d.insert(d.end(), p.begin(), p.end());
    };
    if (page == 0x3F) {
        addPage(0x01);
        addPage(0x03);
        addPage(0x04);
    } else if (page == 0x01 || page == 0x03 || page == 0x04) {
        addPage(page);
    } else {
        checkCondition(kInvalidFieldInCdb);
        return;
    }
    d[0] = static_cast<std::uint8_t>(d.size() - 1);
    d.resize(std::min<std::size_t>(d.size(), cmd.cdb[4]));
    if (!d.empty()) {
        dataIn(std::move(d));
    }
    good();
}

void Disk::execute(const Command& cmd) {
    const auto& c = cmd.cdb;
    switch (cmd.opcode()) {
        case op::Read6:
        case op::Write6: {
            const std::uint64_t lba = ((c[1] & 0x1Fu) << 16) | (c[2] << 8) | c[3];
            const std::uint32_t count = c[4] == 0 ? 256 : c[4];
            if (cmd.opcode() == op::Read6) {
                readBlocks(lba, count);
            } else {
                writeBlocks(lba, count, false);
            }
            return;
        }
        case op::Read10:
        case op::Write10:
        case op::WriteAndVerify10: {
            const std::uint64_t lba = be32(c, 2);
            const std::uint32_t count = (c[7] << 8) | c[8];
            if (cmd.opcode() == op::Read10) {
                readBlocks(lba, count);
            } else {
                writeBlocks(lba, count, cmd.opcode() == op::WriteAndVerify10);
            }
            return;
        }
        case op::Read12:
        case op::Write12: {
            const std::uint64_t lba = be32(c, 2);
            const std::uint32_t count = be32(c, 6);
            if (cmd.opcode() == op::Read12) {
                readBlocks(lba, count);
            } else {
                writeBlocks(lba, count, false);
            }
            return;
        }
        case op::ReadCapacity: {
            std::vector<std::uint8_t> d(8, 0);
            put32(d, 0, static_cast<std::uint32_t>(image_->blocks() - 1));
            put32(d, 4, image_->blockSize());
            dataIn(std::move(d));
            good();
            return;
        }
        case op::ModeSense6:
            modeSense6(cmd);
            return;
        case op::ModeSelect6: {
            const std::size_t n = c[4];
            if (n > 0) {
                dataOut(n, [](std::vector<std::uint8_t>) {});
            }
            good();
            return;
        }
        case op::Verify10:
        case op::Seek6:
        case op::Seek10:
        case op::RezeroUnit:
            work(accessTime(cmd.opcode() == op::Seek6 ? 0 : be32(c, 2) % image_->blocks()));
            good();
            return;
        case op::FormatUnit:
        case op::StartStopUnit:
        case op::SynchronizeCache:
            work(disk_.accessNs);
            good();
            return;
        case op::Reserve:
        case op::Release:
        case op::PreventAllowRemoval:
        case op::SendDiagnostic:
            good();
            return;
        default:
            checkCondition(kInvalidOpcode);
            return;
    }
}

bool WriteOnce::writeAllowed(std::uint64_t lba, std::uint32_t count) {
    if (written_.size() < image_->blocks()) {
        written_.resize(image_->blocks(), false);
    }
    for (std::uint64_t b = lba; b < lba + count; ++b) {
        if (written_[b]) {
            return false;
        }
    }
    for (std::uint64_t b = lba; b < lba + count; ++b) {
        written_[b] = true;
    }
    return true;
}

}  // namespace cbus::scsi
