#include "platform/machine/io_space.h"

#include <stdexcept>

#include "platform/machine/machine.h"

namespace cbus {

void IoSpace::map(std::uint16_t base, std::uint16_t length, IoDevice& device,
                  std::uint64_t costNs) {
    for (const auto& r : ranges_) {
        if (base < r.base + r.length && r.base < base + length) {
            throw std::invalid_argument("overlapping I/O ranges");
        }
    }
    ranges_.push_back({base, length, &device, costNs});
}

const IoSpace::Range* IoSpace::find(std::uint16_t port) const {
    for (const auto& r : ranges_) {
        if (port >= r.base && port < r.base + r.length) {
            return &r;
        }
    }
    return nullptr;
}

std::uint8_t IoSpace::read(std::uint16_t port) {
    ++accesses_;
    const Range* r = find(port);
    machine_.scheduler().advance(r ? r->costNs : machine_.costs().ioPortNs);
    if (!r) {
        return 0xFF;  // nothing decodes the port: the bus floats high
    }
    return r->device->ioRead(static_cast<std::uint16_t>(port - r->base));
}

void IoSpace::write(std::uint16_t port, std::uint8_t value) {
    ++accesses_;
    const Range* r = find(port);
    machine_.scheduler().advance(r ? r->costNs : machine_.costs().ioPortNs);
    if (r) {
        r->device->ioWrite(static_cast<std::uint16_t>(port - r->base), value);
    }
}

void IoSpace::readString(std::uint16_t port, std::span<std::uint8_t> buffer) {
    for (auto& b : buffer) {
        b = read(port);
    }
}

void IoSpace::writeString(std::uint16_t port, std::span<const std::uint8_t> buffer) {
    for (auto b : buffer) {
        write(port, b);
    }
}

}  // namespace cbus
