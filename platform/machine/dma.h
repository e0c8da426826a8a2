#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace cbus {

class Machine;

enum class DmaDirection : std::uint8_t {
    ToDevice,    // memory read: memory -> device
    FromDevice,  // memory write: device -> memory
};

// The system DMA controller: one channel per number (0-7), each programmed with address,
// count and direction. The device side moves bytes through `toMemory`/`fromMemory` while its
// request is connected; it paces itself at `nsPerByte()`, the DMA cycle. A channel stops at
// terminal count, when its count is used up.
class DmaController {
  public:
    static constexpr int kChannels = 8;

    explicit DmaController(Machine& machine) : machine_(machine) {}

    void program(int channel, std::uint32_t address, std::uint32_t count, DmaDirection direction);
    // Stops the channel and returns the bytes it did not move (the residual).
    std::uint32_t flush(int channel);

    bool enabled(int channel) const { return channels_.at(channel).enabled; }
    DmaDirection direction(int channel) const { return channels_.at(channel).direction; }
    std::uint32_t remaining(int channel) const;
    std::uint32_t address(int channel) const { return channels_.at(channel).address; }
    bool terminalCount(int channel) const { return channels_.at(channel).terminalCount; }
    std::uint64_t nsPerByte() const;

    // Device side. Each moves as many bytes as the channel allows (at most its remaining
    // count, in its programmed direction) and returns how many moved.
    std::size_t toMemory(int channel, std::span<const std::uint8_t> bytes);
    std::size_t fromMemory(int channel, std::span<std::uint8_t> bytes);

  private:
    struct Channel {
        bool enabled = false;
        bool terminalCount = false;
        DmaDirection direction = DmaDirection::FromDevice;
        std::uint32_t address = 0;
        std::uint32_t count = 0;  // bytes still to move
    };
    void moved(int channel, std::size_t n);

    Machine& machine_;
    std::array<Channel, kChannels> channels_{};
};

}  // namespace cbus
