// A 64 KiB READ(10) end to end on the simulated machine, in each data path: host time per request
// (the benchmark's own figure) beside what the run cost in simulated time, machine events and
// interrupts. The event count is the figure that shows data moving in blocks.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/board/board.h"
#include "platform/machine/machine.h"
#include "platform/port/sim_port.h"
#include "platform/scsi/bus.h"
#include "platform/scsi/disk.h"

namespace {

struct Stack {
    cbus::Machine machine;
    cbus::scsi::Bus bus{machine};
    std::unique_ptr<cbus::Board> board;
    std::unique_ptr<cbus::scsi::Disk> disk;
    std::unique_ptr<cbus::port::SimPort> port;

    explicit Stack(cbus::BoardKind kind) {
        machine.trace().setRecording(false);
        cbus::BoardSettings b;
        b.kind = kind;
        board = std::make_unique<cbus::Board>(machine, bus, b);
        cbus::scsi::TargetSettings t;
        t.id = 0;
        disk = std::make_unique<cbus::scsi::Disk>(
            bus, t, std::make_shared<cbus::scsi::BlockImage>(4096, 512, 0));
        bus.attach(*disk);
        cbus::port::SimPortSettings s;
        s.registry.ioStart = b.ioBase;
        s.registry.dmaChannel = b.dmaChannel;
        s.registry.interruptLevel = static_cast<std::uint32_t>(board->interruptLevel());
        s.scanLuns = 1;
        port = std::make_unique<cbus::port::SimPort>(machine, s);
        if (port->load() != 0) {
            throw std::runtime_error("no adapter found");
        }
        port->scan();
    }
};

void Read64K(benchmark::State& state) {
    const auto kind = static_cast<cbus::BoardKind>(state.range(0));
    Stack stack(kind);
    const std::uint64_t events0 = stack.machine.scheduler().eventsRun();
    const std::uint64_t time0 = stack.machine.scheduler().now();
    const std::uint64_t interrupts0 = stack.port->interruptsServed();
    std::uint32_t lba = 0;
    for (auto _ : state) {
        cbus::port::Request r;
        r.target = 0;
        r.cdb = {
            0x28, 0, 0,   0, static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba),
            0,    0, 128, 0};
        r.flags = SRB_FLAGS_DATA_IN;
        r.length = 65536;
        const auto id = stack.port->submit(std::move(r));
        if (!stack.port->run() || stack.port->result(id).srbStatus != SRB_STATUS_SUCCESS) {
            state.SkipWithError("the read did not succeed");
            break;
        }
        lba = (lba + 128) % 3968;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["events/req"] =
        static_cast<double>(stack.machine.scheduler().eventsRun() - events0) / n;
    state.counters["sim_us/req"] =
        static_cast<double>(stack.machine.scheduler().now() - time0) / 1000.0 / n;
    state.counters["irq/req"] =
        static_cast<double>(stack.port->interruptsServed() - interrupts0) / n;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
    state.SetLabel(kind == cbus::BoardKind::Plain  ? "plain (system DMA)"
                   : kind == cbus::BoardKind::Fifo ? "FIFO port"
                                                   : "window");
}
// A fixed count: each request keeps its result (and its 64 KiB of data) in the port driver.
BENCHMARK(Read64K)
    ->Arg(static_cast<int>(cbus::BoardKind::Plain))
    ->Arg(static_cast<int>(cbus::BoardKind::Fifo))
    ->Arg(static_cast<int>(cbus::BoardKind::Window))
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace
