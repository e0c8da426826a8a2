#pragma once

#include <cstdint>

namespace cbus {

// A device on the I/O bus. `offset` is the port minus the base of the device's range.
class IoDevice {
  public:
    virtual ~IoDevice() = default;
    virtual std::uint8_t ioRead(std::uint16_t offset) = 0;
    virtual void ioWrite(std::uint16_t offset, std::uint8_t value) = 0;
};

// A device decoded in physical memory (a memory window). `width` is 1, 2 or 4 bytes,
// little-endian; `offset` is relative to the start of the mapping.
class MemoryDevice {
  public:
    virtual ~MemoryDevice() = default;
    virtual std::uint32_t memRead(std::uint32_t offset, int width) = 0;
    virtual void memWrite(std::uint32_t offset, std::uint32_t value, int width) = 0;
};

}  // namespace cbus
