#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/machine/devices.h"

namespace cbus {

class Machine;

// Physical memory: RAM from address 0, with device windows decoded over it. The firmware
// data area (0x400-0x4FF) is ordinary RAM that the board fills in when it is installed.
class PhysicalMemory {
  public:
    static constexpr std::uint32_t kFirmwareDataArea = 0x400;
    static constexpr std::uint32_t kFirmwareDataAreaSize = 0x100;

    PhysicalMemory(Machine& machine, std::uint32_t size);

    // A device window; every access to it costs `costNs` (RAM accesses cost nothing here:
    // the processor's own memory traffic is not simulated).
    void mapDevice(std::uint32_t base, std::uint32_t size, MemoryDevice& device,
                   std::uint64_t costNs);

    // `width` 1, 2 or 4, little-endian. Reads outside RAM and outside any window give all ones.
    std::uint32_t read(std::uint32_t address, int width);
    void write(std::uint32_t address, std::uint32_t value, int width);
    std::uint8_t read8(std::uint32_t a) { return static_cast<std::uint8_t>(read(a, 1)); }
    std::uint16_t read16(std::uint32_t a) { return static_cast<std::uint16_t>(read(a, 2)); }
    std::uint32_t read32(std::uint32_t a) { return read(a, 4); }

    // Direct RAM access for DMA and for setting up test data; no cost, no device decode.
    std::span<std::uint8_t> ram(std::uint32_t address, std::uint32_t length);
    std::uint32_t size() const { return static_cast<std::uint32_t>(ram_.size()); }

  private:
    struct Window {
        std::uint32_t base;
        std::uint32_t size;
        MemoryDevice* device;  // not owned
        std::uint64_t costNs;
    };
    const Window* find(std::uint32_t address) const;

    Machine& machine_;
    std::vector<std::uint8_t> ram_;
    std::vector<Window> windows_;
};

}  // namespace cbus
