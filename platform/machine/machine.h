#pragma once

#include <cstdint>

#include "platform/machine/dma.h"
#include "platform/machine/interrupts.h"
#include "platform/machine/io_space.h"
#include "platform/machine/memory.h"
#include "platform/machine/random.h"
#include "platform/machine/scheduler.h"
#include "platform/trace/trace.h"

namespace cbus {

// Costs of the processor side, in nanoseconds (machine-file parameters).
struct MachineCosts {
    std::uint64_t ioPortNs = 800;      // one C-Bus I/O port access
    std::uint64_t windowWordNs = 800;  // one 32-bit access to a memory window (two 16-bit cycles)
    std::uint64_t fifoByteNs = 800;    // one byte through a FIFO data port, string moves included
    std::uint64_t dmaByteNs = 1000;    // one system DMA cycle
};

struct MachineSettings {
    MachineCosts costs;
    std::uint32_t memorySize = 16u << 20;
    std::uint64_t seed = 1;
};

// The simulated machine: one clock and event queue, I/O space, physical memory, interrupt
// lines, system DMA and the seeded generator every random choice draws from.
class Machine {
  public:
    explicit Machine(const MachineSettings& settings = {});
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Scheduler& scheduler() { return scheduler_; }
    std::uint64_t now() const { return scheduler_.now(); }
    Trace& trace() { return trace_; }
    IoSpace& io() { return io_; }
    PhysicalMemory& memory() { return memory_; }
    InterruptLines& interrupts() { return interrupts_; }
    DmaController& dma() { return dma_; }
    Random& random() { return random_; }
    const MachineCosts& costs() const { return settings_.costs; }

    // Time spent by the processor without touching the hardware (ScsiPortStallExecution).
    void stall(std::uint64_t ns) { scheduler_.advance(ns); }

  private:
    MachineSettings settings_;
    Scheduler scheduler_;
    Trace trace_;
    IoSpace io_;
    PhysicalMemory memory_;
    InterruptLines interrupts_;
    DmaController dma_;
    Random random_;
};

}  // namespace cbus
