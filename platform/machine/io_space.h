#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/machine/devices.h"

namespace cbus {

class Machine;

// The processor's I/O space: port ranges decoded to devices. Every access first charges its
// cost on the clock, which runs whatever the devices scheduled meanwhile, and then reaches
// the device, so a polling loop sees the hardware move.
class IoSpace {
  public:
    explicit IoSpace(Machine& machine) : machine_(machine) {}

    // `costNs` is charged per byte access; a device may map several disjoint ranges.
    void map(std::uint16_t base, std::uint16_t length, IoDevice& device, std::uint64_t costNs);
    void unmapAll() { ranges_.clear(); }

    std::uint8_t read(std::uint16_t port);
    void write(std::uint16_t port, std::uint8_t value);
    // String moves (rep insb / outsb): one access per byte, each charged.
    void readString(std::uint16_t port, std::span<std::uint8_t> buffer);
    void writeString(std::uint16_t port, std::span<const std::uint8_t> buffer);

    std::uint64_t accesses() const { return accesses_; }

  private:
    struct Range {
        std::uint16_t base;
        std::uint16_t length;
        IoDevice* device;  // not owned
        std::uint64_t costNs;
    };
    const Range* find(std::uint16_t port) const;

    Machine& machine_;
    std::vector<Range> ranges_;
    std::uint64_t accesses_ = 0;
};

}  // namespace cbus
