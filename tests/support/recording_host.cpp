#include "tests/support/recording_host.h"

#include <fmt/format.h>

#include <cstring>

namespace cbus::test {
namespace {

// The controller steps its address register after a data access, except at COMMAND, DATA and
// the auxiliary status; the board's registers are always addressed before each access.
uint8_t nextRegister(uint8_t current) {
    if (current == 0x18 || current == 0x19 || current >= 0x1F) {
        return current;
    }
    return static_cast<uint8_t>(current + 1);
}

}  // namespace

void RecordingHost::record(std::string text) {
    if (!log_.empty() && log_.back().text == text) {
        log_.back().count++;
        return;
    }
    log_.push_back({std::move(text), 1});
}

std::vector<std::string> RecordingHost::log() const {
    return log({});
}

std::vector<std::string> RecordingHost::log(const std::vector<std::string>& prefixes) const {
    std::vector<Entry> kept;
    for (const Entry& e : log_) {
        bool match = prefixes.empty();
        for (const std::string& p : prefixes) {
            match = match || e.text.rfind(p, 0) == 0;
        }
        if (!match) {
            continue;
        }
        if (!kept.empty() && kept.back().text == e.text) {
            kept.back().count += e.count;
        } else {
            kept.push_back(e);
        }
    }
    std::vector<std::string> out;
    for (const Entry& e : kept) {
        out.push_back(e.count == 1 ? e.text : fmt::format("{} x{}", e.text, e.count));
    }
    return out;
}

std::string RecordingHost::nameOf(PSCSI_REQUEST_BLOCK srb) const {
    if (srb == nullptr) {
        return "none";
    }
    auto it = names_.find(srb);
    return it != names_.end() ? it->second : "srb?";
}

uint8_t RecordingHost::answer(Answer& a) {
    if (!a.queue.empty()) {
        uint8_t v = a.queue.front();
        a.queue.pop_front();
        return v;
    }
    if (a.callback) {
        return a.callback();
    }
    return a.value;
}

void RecordingHost::flushAddress() {
    if (addressPending_) {
        record(fmt::format("A={:02X}", selected_));
        addressPending_ = false;
    }
}

ULONG RecordingHost::initialize(PVOID argument1, PVOID argument2,
                                const HW_INITIALIZATION_DATA& data, PVOID hwContext) {
    registration = data;
    registrationContext = hwContext;
    initializeArgument1 = argument1;
    initializeArgument2 = argument2;
    record("initialize");
    return initializeResult;
}

void RecordingHost::notify(SCSI_NOTIFICATION_TYPE type, PVOID, PSCSI_REQUEST_BLOCK srb) {
    flushAddress();
    switch (type) {
        case RequestComplete:
            completions_.push_back({srb, srb != nullptr ? srb->SrbStatus : UCHAR{0}});
            record(fmt::format("complete {}={:02X}", nameOf(srb),
                               srb != nullptr ? srb->SrbStatus : 0));
            break;
        case NextRequest:
            nextRequests_++;
            record("next");
            break;
        case ResetDetected:
            resetsDetected_++;
            record("reset");
            break;
        default:
            record(fmt::format("notify {}", static_cast<int>(type)));
            break;
    }
}

PHW_LU_EXTENSION RecordingHost::addUnit(UCHAR target, UCHAR lun, UCHAR path) {
    auto& slot = units_[{path, target, lun}];
    if (!slot) {
        slot = std::make_unique<HW_LU_EXTENSION>();
        std::memset(slot.get(), 0, sizeof(HW_LU_EXTENSION));
    }
    return slot.get();
}

PVOID RecordingHost::getLogicalUnit(PVOID, UCHAR pathId, UCHAR targetId, UCHAR lun) {
    auto it = units_.find({pathId, targetId, lun});
    bool found = it != units_.end();
    record(fmt::format("lun {}:{}:{}={}", pathId, targetId, lun, found ? "yes" : "no"));
    return found ? it->second.get() : nullptr;
}

void RecordingHost::logError(PVOID, PSCSI_REQUEST_BLOCK srb, UCHAR pathId, UCHAR targetId,
                             UCHAR lun, ULONG errorCode, ULONG uniqueId) {
    flushAddress();
    errors_.push_back({srb, pathId, targetId, lun, errorCode, uniqueId});
    record(fmt::format("log {} {}:{}:{} code={} id={}", nameOf(srb), pathId, targetId, lun,
                       errorCode, uniqueId));
}

void RecordingHost::ioMapTransfer(PVOID, PSCSI_REQUEST_BLOCK srb, PVOID, ULONG length) {
    record(fmt::format("iomap {} len={}", nameOf(srb), length));
}

void RecordingHost::flushDma(PVOID) {
    record("flush");
}

uint8_t RecordingHost::readPort(uint32_t port) {
    portReads_++;
    if (port == ioBase_ + 0) {
        flushAddress();
        uint8_t v = answer(aux_);
        record(fmt::format("S={:02X}", v));
        return v;
    }
    if (port == ioBase_ + 2) {
        uint8_t reg = selected_;
        bool stepped = !addressPending_;
        addressPending_ = false;
        uint8_t v = answer(registers_[reg]);
        record(fmt::format("R{}{:02X}={:02X}", stepped ? "+" : "", reg, v));
        selected_ = nextRegister(reg);
        return v;
    }
    flushAddress();
    if (port == ioBase_ + 4) {
        uint8_t v = answer(boardStatus_);
        record(fmt::format("BS={:02X}", v));
        return v;
    }
    if (port == ioBase_ + 6) {
        uint8_t v = 0xFF;
        if (!fifoIn.empty()) {
            v = fifoIn.front();
            fifoIn.pop_front();
        }
        record(fmt::format("FR={:02X}", v));
        return v;
    }
    uint8_t v = answer(ports_[port]);
    record(fmt::format("P{:X}>{:02X}", port, v));
    return v;
}

void RecordingHost::writePort(uint32_t port, uint8_t value) {
    if (port == ioBase_ + 0) {
        flushAddress();
        selected_ = value;
        addressPending_ = true;
        return;
    }
    if (port == ioBase_ + 2) {
        uint8_t reg = selected_;
        bool stepped = !addressPending_;
        addressPending_ = false;
        if (readOnly_.count(reg) == 0) {
            registers_[reg].value = value;
        }
        registerWrites_.push_back({reg, value});
        record(fmt::format("W{}{:02X}={:02X}", stepped ? "+" : "", reg, value));
        selected_ = nextRegister(reg);
        return;
    }
    flushAddress();
    if (port == ioBase_ + 4) {
        record(fmt::format("BC={:02X}", value));
        return;
    }
    if (port == ioBase_ + 6) {
        fifoOut.push_back(value);
        record(fmt::format("FW={:02X}", value));
        return;
    }
    ports_[port].value = value;
    record(fmt::format("P{:X}<{:02X}", port, value));
}

void RecordingHost::readPortBuffer(uint32_t port, std::span<uint8_t> buffer) {
    flushAddress();
    portReads_++;
    if (port != ioBase_ + 6) {
        contractViolation("port buffer read from a port other than the FIFO data port");
        return;
    }
    for (uint8_t& b : buffer) {
        b = 0xFF;
        if (!fifoIn.empty()) {
            b = fifoIn.front();
            fifoIn.pop_front();
        }
    }
    record(fmt::format("FR*{}", buffer.size()));
}

void RecordingHost::writePortBuffer(uint32_t port, std::span<const uint8_t> buffer) {
    flushAddress();
    if (port != ioBase_ + 6) {
        contractViolation("port buffer write to a port other than the FIFO data port");
        return;
    }
    fifoOut.insert(fifoOut.end(), buffer.begin(), buffer.end());
    record(fmt::format("FW*{}", buffer.size()));
}

void RecordingHost::setMemory(uint64_t address, std::vector<uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); i++) {
        memory_[address + i] = bytes[i];
    }
}

void RecordingHost::setMemoryWord(uint64_t address, uint16_t value) {
    setMemory(address, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
}

uint8_t RecordingHost::memory(uint64_t address) const {
    auto it = memory_.find(address);
    return it != memory_.end() ? it->second : 0;
}

void RecordingHost::setMemoryPort(uint64_t address, uint64_t length) {
    memoryPort_ = {address, length};
}

bool RecordingHost::inMemoryPort(uint64_t address) const {
    return memoryPort_ && address >= memoryPort_->first &&
           address < memoryPort_->first + memoryPort_->second;
}

uint8_t RecordingHost::readMemoryByte(uint64_t address) {
    if (inMemoryPort(address)) {
        uint8_t v = 0xFF;
        if (!windowIn.empty()) {
            v = windowIn.front();
            windowIn.pop_front();
        }
        return v;
    }
    return memory(address);
}

void RecordingHost::writeMemoryByte(uint64_t address, uint8_t value) {
    if (inMemoryPort(address)) {
        windowOut.push_back(value);
        return;
    }
    memory_[address] = value;
}

uint32_t RecordingHost::readMemory(uint64_t address, int width) {
    flushAddress();
    uint32_t v = 0;
    for (int i = 0; i < width; i++) {
        // A port range hands out consecutive bytes whatever the address inside it.
        uint64_t at = inMemoryPort(address) ? address : address + i;
        v |= static_cast<uint32_t>(readMemoryByte(at)) << (8 * i);
    }
    record(fmt::format("M{}:{:X}>{:0{}X}", width, address, v, 2 * width));
    return v;
}

void RecordingHost::writeMemory(uint64_t address, uint32_t value, int width) {
    flushAddress();
    for (int i = 0; i < width; i++) {
        uint64_t at = inMemoryPort(address) ? address : address + i;
        writeMemoryByte(at, static_cast<uint8_t>(value >> (8 * i)));
    }
    record(fmt::format("M{}:{:X}<{:0{}X}", width, address, value, 2 * width));
}

void RecordingHost::readMemoryWords(uint64_t address, std::span<uint8_t> buffer) {
    flushAddress();
    for (size_t i = 0; i < buffer.size(); i++) {
        buffer[i] = readMemoryByte(inMemoryPort(address) ? address : address + i);
    }
    record(fmt::format("MR:{:X}*{}", address, buffer.size() / 4));
}

void RecordingHost::writeMemoryWords(uint64_t address, std::span<const uint8_t> buffer) {
    flushAddress();
    for (size_t i = 0; i < buffer.size(); i++) {
        writeMemoryByte(inMemoryPort(address) ? address : address + i, buffer[i]);
    }
    record(fmt::format("MW:{:X}*{}", address, buffer.size() / 4));
}

void RecordingHost::stall(uint32_t microseconds) {
    flushAddress();
    totalStall_ += microseconds;
    record(fmt::format("stall {}", microseconds));
}

std::optional<uint64_t> RecordingHost::mapDeviceBase(INTERFACE_TYPE, uint32_t, uint64_t address,
                                                     uint32_t length, bool inIoSpace) {
    flushAddress();
    bool fails = failedMaps_.count({address, inIoSpace}) != 0 || (inIoSpace && address == 0);
    record(fmt::format("map {} {:X}+{}={}", inIoSpace ? "io" : "mem", address, length,
                       fails ? "fail" : "ok"));
    if (fails) {
        return std::nullopt;
    }
    return address;
}

void RecordingHost::freeDeviceBase(PVOID mappedAddress) {
    if (port::isMemoryAddress(mappedAddress)) {
        record(fmt::format("unmap mem {:X}", port::physicalOf(mappedAddress)));
    } else {
        record(fmt::format("unmap io {:X}", port::portOf(mappedAddress)));
    }
}

void RecordingHost::contractViolation(const char* what) {
    violations_.emplace_back(what);
    record(fmt::format("violation {}", what));
}

}  // namespace cbus::test
