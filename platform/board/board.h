#pragma once

// The C-Bus adapter board: four byte ports at its I/O base, the board registers above the
// controller's register map, the 8 KB memory window, the 4 KB FIFO and its three data paths,
// the interrupt gating and the firmware data in low memory. The board owns every wire of
// the bus controller: its ports, its interrupt pin and its DMA request side.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/machine/machine.h"
#include "platform/sbic/sbic.h"
#include "platform/scsi/bus.h"

namespace cbus {

enum class BoardKind : std::uint8_t {
    Plain,   // no FIFO hardware: data by system DMA only; register 0x37 reads 0xFF
    Fifo,    // FIFO port; no memory window decoded
    Window,  // FIFO port and the memory window
};

struct BoardSettings {
    BoardKind kind = BoardKind::Window;
    std::uint16_t ioBase = 0xCC0;
    std::uint8_t dmaChannel = 3;        // jumper, 0-3
    std::uint8_t interruptIndex = 3;    // DIP switch, 0-7 (levels 3, 5, 6, 9, none, 12, 15, none)
    std::uint8_t ownId = 7;             // DIP switch
    std::uint8_t windowSelect = 0;      // jumper: window at 0xD0000 + n x 0x2000
    bool firmwareInitialized = false;   // the firmware loaded the id map, sync registers and 0x37
    bool firmwareData = true;           // the firmware data area in low memory locates the board
    std::uint8_t firmwareBlock = 0xC8;  // block number (4 KB units) of the board firmware
    std::array<std::uint8_t, 8> firmwareSync{0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    sbic::SbicSettings chip;
};

namespace board {
inline constexpr std::uint16_t PortAddress = 0;  // write: address; read: aux status
inline constexpr std::uint16_t PortData = 2;
inline constexpr std::uint16_t PortControl = 4;  // write: board command; read: board status
inline constexpr std::uint16_t PortFifo = 6;

inline constexpr std::uint8_t CmdConnectDma = 0x01;
inline constexpr std::uint8_t CmdArm = 0x02;
inline constexpr std::uint8_t CmdClearEnd = 0x10;

inline constexpr std::uint8_t StatusDmaMask = 0x03;
inline constexpr std::uint8_t StatusEnded = 0x08;
inline constexpr std::uint8_t StatusBurstReady = 0x10;

inline constexpr std::uint8_t RegControl = 0x30;
inline constexpr std::uint8_t RegWindowSelect = 0x31;
inline constexpr std::uint8_t RegEcho = 0x32;
inline constexpr std::uint8_t RegConfig = 0x33;
inline constexpr std::uint8_t RegFifoStatus = 0x37;
inline constexpr std::uint8_t RegBurst = 0x44;
inline constexpr std::uint8_t RegIdMap = 0x50;       // 0x50-0x57
inline constexpr std::uint8_t RegTargetSync = 0x60;  // 0x60-0x67

inline constexpr std::uint8_t ControlChipReset = 0x02;
inline constexpr std::uint8_t ControlEnable = 0x04;
inline constexpr std::uint8_t ControlFirmware = 0x08;  // read-only
inline constexpr std::uint8_t ControlWindowLatch = 0x40;

inline constexpr std::uint8_t FifoReady = 0x01;
inline constexpr std::uint8_t FifoStopped = 0x02;
inline constexpr std::uint8_t FifoPortPath = 0x04;
inline constexpr std::uint8_t WindowPath = 0x18;

inline constexpr std::uint8_t BurstIdle = 0;
inline constexpr std::uint8_t BurstRead = 1;
inline constexpr std::uint8_t BurstWrite = 3;

inline constexpr std::size_t FifoSize = 4096;
inline constexpr std::uint32_t WindowSize = 8192;
inline constexpr std::uint32_t WindowDataOffset = 4096;
inline constexpr std::uint32_t WindowBase = 0xD0000;
}  // namespace board

class Board : public IoDevice, public MemoryDevice, public sbic::SbicHost {
  public:
    // Installs the board in the machine: maps its ports and window, wires the chip to the bus
    // and fills in the firmware data area.
    Board(Machine& machine, scsi::Bus& bus, BoardSettings settings = {});
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    sbic::Sbic& chip() { return chip_; }
    const BoardSettings& settings() const { return settings_; }
    int interruptLevel() const;  // -1 for "none"
    std::uint32_t windowBase() const;
    std::size_t fifoLevel() const { return fifo_.size(); }

    // IoDevice
    std::uint8_t ioRead(std::uint16_t offset) override;
    void ioWrite(std::uint16_t offset, std::uint8_t value) override;
    // MemoryDevice (the window)
    std::uint32_t memRead(std::uint32_t offset, int width) override;
    void memWrite(std::uint32_t offset, std::uint32_t value, int width) override;
    // SbicHost
    void sbicIntrq(bool asserted) override;
    std::size_t dmaCapacity(bool inbound) override;
    std::uint64_t dmaNsPerByte() override;
    void dmaToHost(std::span<const std::uint8_t> bytes) override;
    void dmaFromHost(std::span<std::uint8_t> bytes) override;
    std::optional<std::uint8_t> syncFor(std::uint8_t busId) override;

  private:
    // Where the FIFO's transfer stands for the ready/stopped/ended rules.
    struct Progress {
        bool inbound = false;
        bool halted = false;  // a command started since arming has stopped early
        bool over = false;    // ... or has moved its whole count
        std::uint32_t remaining = 0;
    };
    Progress progress();
    void emptyRead(const char* what);
    std::uint8_t boardRead(std::uint8_t reg);
    void boardWrite(std::uint8_t reg, std::uint8_t value);
    std::uint8_t fifoStatus();
    std::uint8_t boardStatus();
    void command(std::uint8_t value);
    void updateInterrupt();
    bool windowTransferArmed() const;
    std::uint8_t fifoPop();
    void fifoPush(std::uint8_t b);
    void contract(const char* what, std::initializer_list<std::uint32_t> values = {});

    Machine& machine_;
    scsi::Bus& bus_;
    BoardSettings settings_;
    sbic::Sbic chip_;

    std::uint8_t address_ = 0;
    bool boardSelected_ = false;
    struct Registers {
        std::uint8_t control = 0;
        std::uint8_t echo = 0;
        std::uint8_t fifoStatus = 0;  // bits 2-7 as written
        std::uint8_t burst = 0;
        std::array<std::uint8_t, 8> idMap{};
        std::array<std::uint8_t, 8> targetSync{};
    } regs_;
    struct DataPath {
        bool dmaConnected = false;  // command 0x01: chip DRQ passed to the system DMA channel
        bool armed = false;         // command 0x02: FIFO / window take the next transfer
        std::uint64_t armSerial = 0;
        std::uint64_t armResets = 0;
    } path_;
    std::deque<std::uint8_t> fifo_;
    bool chipIntrq_ = false;
};

}  // namespace cbus
