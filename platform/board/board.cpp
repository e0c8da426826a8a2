#include "platform/board/board.h"

#include <algorithm>

namespace cbus {

using namespace board;

namespace {
constexpr std::array<int, 8> kInterruptLevels{3, 5, 6, 9, -1, 12, 15, -1};
constexpr int kIrqSource = 0;
}  // namespace

Board::Board(Machine& machine, scsi::Bus& bus, BoardSettings settings)
    : machine_(machine), bus_(bus), settings_(settings), chip_(machine, bus, *this, settings.chip) {
    bus.attachInitiator(chip_, settings_.ownId & 7);
    machine_.io().map(settings_.ioBase, 8, *this, machine_.costs().ioPortNs);
    machine_.memory().mapDevice(windowBase(), WindowSize, *this, machine_.costs().windowWordNs);
    if (settings_.firmwareInitialized) {
        regs_.control = ControlFirmware;
        for (std::uint8_t i = 0; i < 8; ++i) {
            regs_.idMap[i] = i;
        }
        regs_.targetSync = settings_.firmwareSync;
        regs_.fifoStatus = settings_.kind == BoardKind::Window ? WindowPath : FifoPortPath;
    }
    if (settings_.firmwareData) {
        machine_.memory().ram(0x4BC, 1)[0] = settings_.firmwareBlock;
        auto word =
            machine_.memory().ram(std::uint32_t{settings_.firmwareBlock} * 4096 + 0x1800, 2);
        word[0] = static_cast<std::uint8_t>(settings_.ioBase);
        word[1] = static_cast<std::uint8_t>(settings_.ioBase >> 8);
    }
}

int Board::interruptLevel() const {
    return kInterruptLevels[settings_.interruptIndex & 7];
}

std::uint32_t Board::windowBase() const {
    return WindowBase + std::uint32_t{settings_.windowSelect & 7u} * 0x2000;
}

void Board::contract(const char* what, std::initializer_list<std::uint32_t> values) {
    machine_.trace().record("board", "contract", values, what);
}

// ---------------------------------------------------------------- ports

// A host that reads past the data after the controller stopped early cannot know how many bytes
// the FIFO still held (the ready indication promised only "some"): it gets 0xFF, as from the
// hardware, and a trace entry. Reading an empty FIFO while the transfer still runs is the host
// ignoring the ready indication: a contract event.
void Board::emptyRead(const char* what) {
    if (progress().halted) {
        machine_.trace().record("board", "read-past-data", {}, what);
    } else {
        contract(what);
    }
}

std::uint8_t Board::ioRead(std::uint16_t offset) {
    switch (offset) {
        case PortAddress:
            return chip_.readAuxStatus();
        case PortData:
            return boardSelected_ ? boardRead(address_) : chip_.readRegister();
        case PortControl:
            return boardStatus();
        case PortFifo: {
            if (settings_.kind == BoardKind::Plain) {
                return 0xFF;
            }
            chip_.catchUp();
            if (fifo_.empty()) {
                emptyRead("FIFO read while empty");
                return 0xFF;
            }
            return fifoPop();
        }
        default:
            return 0xFF;
    }
}

void Board::ioWrite(std::uint16_t offset, std::uint8_t value) {
    switch (offset) {
        case PortAddress:
            address_ = value;
            boardSelected_ = value >= 0x20;
            if (!boardSelected_) {
                chip_.writeAddress(value);
            }
            return;
        case PortData:
            if (boardSelected_) {
                boardWrite(address_, value);
            } else {
                chip_.writeRegister(value);
            }
            return;
        case PortControl:
            command(value);
            return;
        case PortFifo: {
            if (settings_.kind == BoardKind::Plain) {
                return;
            }
            chip_.catchUp();
            const Progress p = progress();
            if (p.halted) {
                machine_.trace().record("board", "fifo-dropped", {value});
                return;
            }
            if (fifo_.size() >= FifoSize) {
                contract("FIFO written while full", {value});
                return;
            }
            fifoPush(value);
            return;
        }
        default:
            return;
    }
}

void Board::command(std::uint8_t value) {
    machine_.trace().record("board", "command", {value});
    switch (value) {
        case CmdConnectDma:
            path_.dmaConnected = true;
            chip_.hostPathReady();
            return;
        case CmdArm:
            chip_.catchUp();
            fifo_.clear();
            path_.armed = true;
            path_.armSerial = chip_.dataState().serial;
            path_.armResets = chip_.dataState().resets;
            return;
        case CmdClearEnd:
            path_.dmaConnected = false;
            path_.armed = false;
            return;
        default:
            contract("unknown board command", {value});
            return;
    }
}

// ---------------------------------------------------------------- board registers

std::uint8_t Board::boardRead(std::uint8_t reg) {
    switch (reg) {
        case RegControl:
            return regs_.control;
        case RegWindowSelect:
            return settings_.windowSelect & 7;
        case RegEcho:
            return static_cast<std::uint8_t>(~regs_.echo);
        case RegConfig:
            return static_cast<std::uint8_t>(((settings_.interruptIndex & 7) << 3) |
                                             (settings_.ownId & 7));
        case RegFifoStatus:
            return fifoStatus();
        case RegBurst:
            return regs_.burst;
        default:
            if (reg >= RegIdMap && reg < RegIdMap + 8) {
                return regs_.idMap[reg - RegIdMap];
            }
            if (reg >= RegTargetSync && reg < RegTargetSync + 8) {
                return regs_.targetSync[reg - RegTargetSync];
            }
            return 0xFF;
    }
}

void Board::boardWrite(std::uint8_t reg, std::uint8_t value) {
    switch (reg) {
        case RegControl: {
            const std::uint8_t before = regs_.control;
            regs_.control =
                static_cast<std::uint8_t>((value & ~ControlFirmware) | (before & ControlFirmware));
            const bool reset = (regs_.control & ControlChipReset) != 0;
            if (reset != ((before & ControlChipReset) != 0)) {
                if (reset) {
                    // The reset line also drives the SCSI bus reset.
                    chip_.setResetPin(true);
                    bus_.reset();
                } else {
                    chip_.setResetPin(false);
                }
            }
            updateInterrupt();
            return;
        }
        case RegEcho:
            regs_.echo = value;
            return;
        case RegFifoStatus:
            if (settings_.kind != BoardKind::Plain) {
                regs_.fifoStatus = value & 0xFC;
            }
            return;
        case RegBurst:
            regs_.burst = value;
            return;
        default:
            if (reg >= RegIdMap && reg < RegIdMap + 8) {
                regs_.idMap[reg - RegIdMap] = value;
            } else if (reg >= RegTargetSync && reg < RegTargetSync + 8) {
                regs_.targetSync[reg - RegTargetSync] = value;
            }
            return;  // read-only and undefined registers ignore writes
    }
}

// ---------------------------------------------------------------- interrupt

void Board::sbicIntrq(bool asserted) {
    chipIntrq_ = asserted;
    updateInterrupt();
}

void Board::updateInterrupt() {
    const bool level = chipIntrq_ && (regs_.control & ControlEnable) != 0;
    machine_.interrupts().drive(interruptLevel(), kIrqSource, level);
}

// ---------------------------------------------------------------- data paths

Board::Progress Board::progress() {
    const sbic::DataState d = chip_.dataState();
    Progress p;
    p.inbound = d.inbound;
    p.remaining = d.remaining;
    const bool started = path_.armed && d.serial > path_.armSerial;
    // A controller reset since the arm ends the transfer however far it got (the reset also
    // clears the count, so the count alone would read as "all moved").
    p.halted =
        (path_.armed && d.resets != path_.armResets) || (started && !d.running && d.remaining > 0);
    p.over = started && d.remaining == 0;
    return p;
}

std::uint8_t Board::fifoStatus() {
    if (settings_.kind == BoardKind::Plain) {
        return 0xFF;
    }
    chip_.catchUp();
    std::uint8_t v = regs_.fifoStatus & 0xFC;
    if (!path_.armed) {
        return v;
    }
    const Progress p = progress();
    const std::size_t size = fifo_.size();
    if (p.inbound) {
        if (size >= 256 || (size > 0 && (p.remaining == 0 || p.halted))) {
            v |= FifoReady;
        }
        if (p.halted && size == 0) {
            v |= FifoStopped;
        }
    } else {
        const std::size_t room = FifoSize - size;
        const std::size_t toWrite = p.remaining > size ? p.remaining - size : 0;
        if (p.halted) {
            v |= FifoStopped;
        } else if (room >= 256 || room >= toWrite) {
            v |= FifoReady;
        }
    }
    return v;
}

bool Board::windowTransferArmed() const {
    return settings_.kind == BoardKind::Window && path_.armed &&
           (regs_.burst == BurstRead || regs_.burst == BurstWrite);
}

std::uint8_t Board::boardStatus() {
    std::uint8_t v = settings_.dmaChannel & StatusDmaMask;
    if (!windowTransferArmed()) {
        return v;
    }
    chip_.catchUp();
    const Progress p = progress();
    const std::size_t size = fifo_.size();
    if (regs_.burst == BurstRead) {
        if (size >= 2048 || (size > 0 && (p.remaining == 0 || p.halted))) {
            v |= StatusBurstReady;
        }
        if ((p.over || p.halted) && size == 0) {
            v |= StatusEnded;
        }
    } else {
        const std::size_t room = FifoSize - size;
        const std::size_t toWrite = p.remaining > size ? p.remaining - size : 0;
        if (!p.halted && (room >= 2048 || room >= toWrite)) {
            v |= StatusBurstReady;
        }
        if (p.halted || p.over) {
            v |= StatusEnded;
        }
    }
    return v;
}

std::uint8_t Board::fifoPop() {
    const std::uint8_t b = fifo_.front();
    fifo_.pop_front();
    chip_.hostPathReady();
    return b;
}

void Board::fifoPush(std::uint8_t b) {
    fifo_.push_back(b);
    chip_.hostPathReady();
}

std::size_t Board::dmaCapacity(bool inbound) {
    if (path_.dmaConnected) {
        const int ch = settings_.dmaChannel & 3;
        const auto want = inbound ? DmaDirection::FromDevice : DmaDirection::ToDevice;
        return machine_.dma().direction(ch) == want ? machine_.dma().remaining(ch) : 0;
    }
    if (!path_.armed || settings_.kind == BoardKind::Plain) {
        return 0;  // no path connected: no byte moves
    }
    // The chip resumes only once a useful amount can move, so a slow host does not turn
    // the transfer into one event per byte.
    const std::size_t remaining = chip_.dataState().remaining;
    const std::size_t need = std::clamp<std::size_t>(remaining, 1, 512);
    const std::size_t available = inbound ? FifoSize - fifo_.size() : fifo_.size();
    return available >= need ? available : 0;
}

std::uint64_t Board::dmaNsPerByte() {
    return path_.dmaConnected ? machine_.dma().nsPerByte() : 0;
}

void Board::dmaToHost(std::span<const std::uint8_t> bytes) {
    if (path_.dmaConnected) {
        machine_.dma().toMemory(settings_.dmaChannel & 3, bytes);
        return;
    }
    fifo_.insert(fifo_.end(), bytes.begin(), bytes.end());
}

void Board::dmaFromHost(std::span<std::uint8_t> bytes) {
    if (path_.dmaConnected) {
        machine_.dma().fromMemory(settings_.dmaChannel & 3, bytes);
        return;
    }
    for (auto& b : bytes) {
        if (fifo_.empty()) {
            b = 0xFF;
            continue;
        }
        b = fifo_.front();
        fifo_.pop_front();
    }
}

std::optional<std::uint8_t> Board::syncFor(std::uint8_t busId) {
    if (settings_.kind == BoardKind::Window) {
        return regs_.targetSync[busId & 7];
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- memory window

std::uint32_t Board::memRead(std::uint32_t offset, int width) {
    if (settings_.kind != BoardKind::Window) {
        return width == 4 ? 0xFFFFFFFFu : (width == 2 ? 0xFFFFu : 0xFFu);
    }
    if (offset < WindowDataOffset) {
        return 0;  // firmware area
    }
    if (windowTransferArmed() && regs_.burst == BurstRead) {
        chip_.catchUp();
        std::uint32_t v = 0;
        for (int i = 0; i < width; ++i) {
            std::uint32_t b = 0xFF;
            if (fifo_.empty()) {
                emptyRead("window read while FIFO empty");
            } else {
                b = fifoPop();
            }
            v |= b << (8 * i);
        }
        return v;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        const std::uint32_t at = offset + i;
        std::uint32_t b = 0;
        if (at == WindowDataOffset + 2) {
            b = settings_.ioBase & 0xFF;
        } else if (at == WindowDataOffset + 3) {
            b = settings_.ioBase >> 8;
        }
        v |= b << (8 * i);
    }
    return v;
}

void Board::memWrite(std::uint32_t offset, std::uint32_t value, int width) {
    if (settings_.kind != BoardKind::Window || offset < WindowDataOffset) {
        return;
    }
    if (!(windowTransferArmed() && regs_.burst == BurstWrite)) {
        contract("window written while not armed for writing", {offset});
        return;
    }
    chip_.catchUp();
    if (progress().halted) {
        return;
    }
    for (int i = 0; i < width; ++i) {
        if (fifo_.size() >= FifoSize) {
            contract("window written while FIFO full");
            return;
        }
        fifo_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    chip_.hostPathReady();
}

}  // namespace cbus
