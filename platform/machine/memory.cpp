#include "platform/machine/memory.h"

#include <stdexcept>

#include "platform/machine/machine.h"

namespace cbus {

PhysicalMemory::PhysicalMemory(Machine& machine, std::uint32_t size)
    : machine_(machine), ram_(size, 0) {}

void PhysicalMemory::mapDevice(std::uint32_t base, std::uint32_t size, MemoryDevice& device,
                               std::uint64_t costNs) {
    windows_.push_back({base, size, &device, costNs});
}

const PhysicalMemory::Window* PhysicalMemory::find(std::uint32_t address) const {
    for (const auto& w : windows_) {
        if (address >= w.base && address - w.base < w.size) {
            return &w;
        }
    }
    return nullptr;
}

std::uint32_t PhysicalMemory::read(std::uint32_t address, int width) {
    if (const Window* w = find(address)) {
        machine_.scheduler().advance(w->costNs);
        return w->device->memRead(address - w->base, width);
    }
    machine_.scheduler().runDue();
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        std::uint64_t a = std::uint64_t{address} + i;
        std::uint32_t byte = a < ram_.size() ? ram_[a] : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void PhysicalMemory::write(std::uint32_t address, std::uint32_t value, int width) {
    if (const Window* w = find(address)) {
        machine_.scheduler().advance(w->costNs);
        w->device->memWrite(address - w->base, value, width);
        return;
    }
    machine_.scheduler().runDue();
    for (int i = 0; i < width; ++i) {
        std::uint64_t a = std::uint64_t{address} + i;
        if (a < ram_.size()) {
            ram_[a] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
}

std::span<std::uint8_t> PhysicalMemory::ram(std::uint32_t address, std::uint32_t length) {
    if (std::uint64_t{address} + length > ram_.size()) {
        throw std::out_of_range("physical address beyond RAM");
    }
    return std::span<std::uint8_t>(ram_).subspan(address, length);
}

}  // namespace cbus
