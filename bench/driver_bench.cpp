// Host time the driver's own side of a data phase costs: the engines' polling and copy loops and
// the option parser, against a port host that answers at once (no machine behind it).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"
#include "platform/port/driver_image.h"
#include "platform/port/port_host.h"

namespace {

constexpr uint32_t kIoBase = 0xCC0;
constexpr uint64_t kWindowData = 0xD0000 + 4096;

// Every wait is satisfied on the first poll; memory and FIFO reads give a fixed pattern.
class ReadyHost : public cbus::port::PortHost {
  public:
    ULONG initialize(PVOID, PVOID, const HW_INITIALIZATION_DATA&, PVOID) override { return 0; }
    void notify(SCSI_NOTIFICATION_TYPE, PVOID, PSCSI_REQUEST_BLOCK) override {}
    PVOID getLogicalUnit(PVOID, UCHAR, UCHAR, UCHAR) override { return nullptr; }
    void logError(PVOID, PSCSI_REQUEST_BLOCK, UCHAR, UCHAR, UCHAR, ULONG, ULONG) override {}
    void ioMapTransfer(PVOID, PSCSI_REQUEST_BLOCK, PVOID, ULONG) override {}
    void flushDma(PVOID) override {}
    uint8_t readPort(uint32_t port) override {
        if (port == kIoBase + PORT_BOARD) {
            return BOARD_STATUS_BURST_READY;
        }
        return FIFO_DATA_READY;  // the FIFO-status register, the only register polled here
    }
    void writePort(uint32_t, uint8_t) override {}
    void readPortBuffer(uint32_t, std::span<uint8_t> buffer) override {
        std::memset(buffer.data(), 0xA5, buffer.size());
    }
    void writePortBuffer(uint32_t, std::span<const uint8_t>) override {}
    uint32_t readMemory(uint64_t, int) override { return 0x11223344; }
    void writeMemory(uint64_t, uint32_t, int) override {}
    void readMemoryWords(uint64_t, std::span<uint8_t> buffer) override {
        std::memset(buffer.data(), 0x5A, buffer.size());
    }
    void writeMemoryWords(uint64_t, std::span<const uint8_t>) override {}
    bool blockMoveAvailable() override { return true; }
    void stall(uint32_t) override {}
    std::optional<uint64_t> mapDeviceBase(INTERFACE_TYPE, uint32_t, uint64_t address, uint32_t,
                                          bool) override {
        return address;
    }
    void freeDeviceBase(PVOID) override {}
    void contractViolation(const char*) override {}
};

struct Rig {
    ReadyHost host;
    cbus::port::PortBinding binding{host};
    HW_DEVICE_EXTENSION adapter{};
    HW_LU_EXTENSION unit{};
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> buffer;

    Rig(ULONG length, UCHAR opcode) : buffer(length) {
        cbus::port::restoreDriverSettings();
        adapter.BaseIoAddress = reinterpret_cast<PUCHAR>(uintptr_t{kIoBase});
        adapter.PioDataPort = adapter.BaseIoAddress + PORT_FIFO;
        adapter.WindowData =
            reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(cbus::port::kMemoryTag | kWindowData));
        srb.Cdb[0] = opcode;
        srb.SrbFlags = SRB_FLAGS_DATA_IN;
        unit.ActiveSrb = &srb;
        adapter.ActiveLuExtension = &unit;
        adapter.CurrentDataPointer = buffer.data();
        adapter.CurrentDataLength = length;
        for (auto& row : adapter.BurstSize) {
            for (ULONG& b : row) {
                b = BURST_SIZE_MAX;
            }
        }
    }
};

// 64 KiB through the window: the port driver's block move against the driver's own word loop.
void WindowRead64K(benchmark::State& state) {
    Rig rig(65536, 0x28);
    rig.adapter.OptionFlags = state.range(0) != 0 ? OPTION_OWN_BLOCK_MOVE : 0;
    for (auto _ : state) {
        HbaWindowRead(&rig.adapter, 65536);
        benchmark::DoNotOptimize(rig.buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
    state.SetLabel(state.range(0) != 0 ? "own word loop" : "block move");
}
BENCHMARK(WindowRead64K)->Arg(0)->Arg(1);

// 64 KiB through the FIFO port: 256-byte blocks for READ(10), one byte per indication otherwise.
void PioRead64K(benchmark::State& state) {
    Rig rig(65536, state.range(0) != 0 ? UCHAR{0x28} : UCHAR{0x12});
    for (auto _ : state) {
        HbaPioRead(&rig.adapter, 65536);
        benchmark::DoNotOptimize(rig.buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
    state.SetLabel(state.range(0) != 0 ? "block mode" : "byte mode");
}
BENCHMARK(PioRead64K)->Arg(1)->Arg(0);

// Six look-ups over a long argument string, as the probe makes them.
void ParseOptions(benchmark::State& state) {
    std::string text(static_cast<size_t>(state.range(0)), 'x');
    text += " /FIFOMAX=32 /cdr";
    std::vector<char> argument(text.begin(), text.end());
    argument.push_back('\0');
    for (auto _ : state) {
        LONG sum = HbaParseOption(argument.data(), HbaKeywordDiscon, 7, 0) +
                   HbaParseOption(argument.data(), HbaKeywordNodisc, 7, 0) +
                   HbaParseOption(argument.data(), HbaKeywordAsync, 6, 0) +
                   HbaParseOption(argument.data(), HbaKeywordFifomax, 8, 1) +
                   HbaParseOption(argument.data(), HbaKeywordSmitmin, 8, 1) +
                   HbaParseOption(argument.data(), HbaKeywordCdr, 4, 0);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 6 *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(ParseOptions)->Arg(64)->Arg(4096);

}  // namespace
