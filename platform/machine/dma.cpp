#include "platform/machine/dma.h"

#include <algorithm>
#include <cstring>

#include "platform/machine/machine.h"

namespace cbus {

void DmaController::program(int channel, std::uint32_t address, std::uint32_t count,
                            DmaDirection direction) {
    auto& c = channels_.at(channel);
    c = Channel{true, count == 0, direction, address, count};
    machine_.trace().record("dma", "program",
                            {static_cast<std::uint32_t>(channel), address, count,
                             direction == DmaDirection::ToDevice ? 1u : 0u});
}

std::uint32_t DmaController::flush(int channel) {
    auto& c = channels_.at(channel);
    const std::uint32_t residual = c.enabled ? c.count : 0;
    c.enabled = false;
    machine_.trace().record("dma", "flush", {static_cast<std::uint32_t>(channel), residual});
    return residual;
}

std::uint32_t DmaController::remaining(int channel) const {
    const auto& c = channels_.at(channel);
    return c.enabled ? c.count : 0;
}

std::uint64_t DmaController::nsPerByte() const {
    return machine_.costs().dmaByteNs;
}

void DmaController::moved(int channel, std::size_t n) {
    auto& c = channels_.at(channel);
    c.address += static_cast<std::uint32_t>(n);
    c.count -= static_cast<std::uint32_t>(n);
    if (c.count == 0 && !c.terminalCount) {
        c.terminalCount = true;
        machine_.trace().record("dma", "terminal-count", {static_cast<std::uint32_t>(channel)});
    }
}

std::size_t DmaController::toMemory(int channel, std::span<const std::uint8_t> bytes) {
    auto& c = channels_.at(channel);
    if (!c.enabled || c.direction != DmaDirection::FromDevice) {
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(bytes.size(), c.count);
    auto dst = machine_.memory().ram(c.address, static_cast<std::uint32_t>(n));
    std::copy_n(bytes.begin(), n, dst.begin());
    moved(channel, n);
    return n;
}

std::size_t DmaController::fromMemory(int channel, std::span<std::uint8_t> bytes) {
    auto& c = channels_.at(channel);
    if (!c.enabled || c.direction != DmaDirection::ToDevice) {
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(bytes.size(), c.count);
    auto src = machine_.memory().ram(c.address, static_cast<std::uint32_t>(n));
    std::copy_n(src.begin(), n, bytes.begin());
    moved(channel, n);
    return n;
}

}  // namespace cbus
