#include "platform/scsi/stream.h"

#include <algorithm>
#include <stdexcept>

namespace cbus::scsi {

namespace {
std::size_t be24(const std::vector<std::uint8_t>& c, std::size_t at) {
    return (std::size_t{c[at]} << 16) | (std::size_t{c[at + 1]} << 8) | c[at + 2];
}

bool isStreamType(DeviceType t) {
    return t == DeviceType::Printer || t == DeviceType::Processor || t == DeviceType::Scanner ||
           t == DeviceType::Communications;
}
}  // namespace

StreamDevice::StreamDevice(Bus& bus, TargetSettings settings, StreamSettings stream)
    : Target(bus, std::move(settings)), stream_(std::move(stream)) {
    if (!isStreamType(stream_.type)) {
        throw std::invalid_argument(
            "a stream device is a printer, processor, scanner or "
            "communications device");
    }
}

void StreamDevice::take(std::size_t count) {
    if (count > 0) {
        dataOut(count, [this](std::vector<std::uint8_t> bytes) {
            taken_.insert(taken_.end(), bytes.begin(), bytes.end());
        });
    }
    work(stream_.accessNs);
    good();
}

void StreamDevice::give(std::size_t count) {
    work(stream_.accessNs);
    const std::size_t n = std::min(count, stream_.source.size() - given_);
    if (n > 0) {
        const auto from = stream_.source.begin() + static_cast<std::ptrdiff_t>(given_);
        dataIn({from, from + static_cast<std::ptrdiff_t>(n)});
        given_ += n;
    }
    good();
}

void StreamDevice::execute(const Command& cmd) {
    const auto& c = cmd.cdb;
    const DeviceType t = stream_.type;
    const std::uint8_t code = cmd.opcode();
    // PRINT, SEND and SEND MESSAGE share 0x0A; RECEIVE and GET MESSAGE share 0x08.
    if (code == op::Print && t != DeviceType::Scanner) {
        take(be24(c, 2));
        return;
    }
    if (code == op::Receive && (t == DeviceType::Processor || t == DeviceType::Communications)) {
        give(be24(c, 2));
        return;
    }
    if (t == DeviceType::Printer && code == 0x10) {  // SYNCHRONIZE BUFFER
        good();
        return;
    }
    if (t == DeviceType::Scanner) {
        switch (code) {
            case op::SetWindow: {
                const std::size_t n = be24(c, 6);
                if (n > 0) {
                    dataOut(
                        n, [this](std::vector<std::uint8_t> bytes) { window_ = std::move(bytes); });
                }
                good();
                return;
            }
            case op::Scan: {
                const std::size_t n = c[4];
                if (n > 0) {
                    dataOut(n, [](std::vector<std::uint8_t>) {});
                }
                scanning_ = true;
                good();
                return;
            }
            case op::ReadScanner:
                give(be24(c, 6));
                return;
            default:
                break;
        }
    }
    checkCondition(kInvalidOpcode);
}

}  // namespace cbus::scsi
