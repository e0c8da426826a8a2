#include "platform/port/sim_port.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "platform/port/driver_image.h"

namespace cbus::port {
namespace {

// NT status values ScsiPortInitialize answers with.
constexpr ULONG kStatusSuccess = 0x00000000;
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr ULONG kStatusRevisionMismatch = 0xC0000059;
constexpr ULONG kStatusDeviceDoesNotExist = 0xC00000C0;

// Request buffers live in physical memory above the first megabyte (the firmware area and the
// board's window lie below it), so system DMA and the driver's pointer reach the same bytes.
constexpr std::uint32_t kBufferArena = 0x100000;
// Bytes of a known pattern on each side of a buffer: a write outside the buffer changes them.
constexpr std::uint32_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xA5;

constexpr std::uint8_t kInquiryLength = 36;
constexpr std::uint8_t kMaxTargets = 8;

std::uint8_t srbStatusOf(std::uint8_t status) {
    return status & 0x3F;  // without the queue-frozen and autosense bits
}

}  // namespace

SimPort::SimPort(Machine& machine, SimPortSettings settings)
    : machine_(machine),
      settings_(std::move(settings)),
      binding_(std::make_unique<PortBinding>(*this)) {}

SimPort::~SimPort() = default;

void SimPort::trace(const char* event, std::initializer_list<std::uint32_t> values,
                    std::string text) {
    machine_.trace().record("port", event, values, std::move(text));
}

void SimPort::error(std::string what) {
    trace("error", {}, what);
    errors_.push_back(std::move(what));
}

void SimPort::contractViolation(const char* what) {
    error(fmt::format("contract: {}", what));
}

// ---------------------------------------------------------------- driver routines

template <typename F>
auto SimPort::call(const char* routine, F&& f) {
    trace("call", {}, routine);
    inRoutine_ = true;
    auto r = f();
    inRoutine_ = false;
    trace("return", {static_cast<std::uint32_t>(r)}, routine);
    afterRoutine();
    return r;
}

// The real port driver starts a mapped DMA transfer once the routine that asked for it has
// returned: HwDmaStarted is never called from inside the miniport.
void SimPort::afterRoutine() {
    for (int n = 0; dmaStartPending_ && n < 16; ++n) {
        dmaStartPending_ = false;
        call("HwDmaStarted", [&] {
            hw_->HwDmaStarted(adapter_.data());
            return 0;
        });
    }
}

ULONG SimPort::load() {
    return loadDriverImage(this, nullptr);
}

ULONG SimPort::initialize(PVOID, PVOID, const HW_INITIALIZATION_DATA& data, PVOID hwContext) {
    if (data.HwInitializationDataSize < sizeof(HW_INITIALIZATION_DATA)) {
        error("registration: HwInitializationDataSize too small");
        return kStatusRevisionMismatch;
    }
    if (data.HwInitialize == nullptr || data.HwStartIo == nullptr || data.HwInterrupt == nullptr ||
        data.HwFindAdapter == nullptr || data.HwResetBus == nullptr ||
        data.DeviceExtensionSize == 0 || data.NumberOfAccessRanges == 0 ||
        data.NumberOfAccessRanges > ranges_.size()) {
        error("registration: a routine or a size is missing");
        return kStatusInvalidParameter;
    }
    hw_ = data;
    trace("registered", {data.DeviceExtensionSize, data.SpecificLuExtensionSize,
                         data.SrbExtensionSize, data.NumberOfAccessRanges});

    adapter_.assign((data.DeviceExtensionSize + 7) / 8, 0);
    config_ = {};
    ranges_ = {};
    const auto& reg = settings_.registry;
    config_.Length = sizeof(PORT_CONFIGURATION_INFORMATION);
    config_.SystemIoBusNumber = 0;
    config_.AdapterInterfaceType = CBus;
    config_.BusInterruptLevel = reg.interruptLevel;
    config_.InterruptMode = LevelSensitive;
    config_.MaximumTransferLength = SP_UNINITIALIZED_VALUE;
    config_.NumberOfPhysicalBreaks = SP_UNINITIALIZED_VALUE;
    config_.DmaChannel = reg.dmaChannel;
    config_.NumberOfAccessRanges = data.NumberOfAccessRanges;
    config_.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(ranges_.data());
    config_.NumberOfBuses = 1;
    config_.InitiatorBusId[0] =
        reg.ownId < 0 ? static_cast<UCHAR>(0xFF) : static_cast<UCHAR>(reg.ownId);
    config_.MapBuffers = data.MapBuffers;
    config_.NeedPhysicalAddresses = data.NeedPhysicalAddresses;
    config_.TaggedQueuing = data.TaggedQueuing;
    config_.AutoRequestSense = data.AutoRequestSense;
    config_.MultipleRequestPerLu = data.MultipleRequestPerLu;
    config_.ReceiveEvent = data.ReceiveEvent;
    config_.MaximumNumberOfTargets = kMaxTargets;
    ranges_[0].RangeStart.QuadPart = reg.ioStart;
    ranges_[0].RangeLength = reg.ioLength;

    // The driver lower-cases the options in place: it gets its own writable copy.
    argumentString_.assign(settings_.argumentString.begin(), settings_.argumentString.end());
    argumentString_.push_back('\0');

    BOOLEAN again = FALSE;
    const ULONG findResult = call("HwFindAdapter", [&] {
        return data.HwFindAdapter(
            adapter_.data(), hwContext, nullptr,
            settings_.argumentString.empty() ? nullptr : argumentString_.data(), &config_, &again);
    });
    if (findResult != SP_RETURN_FOUND) {
        trace("no-adapter", {findResult});
        return kStatusDeviceDoesNotExist;
    }
    if (config_.DmaChannel != SP_UNINITIALIZED_VALUE && config_.DmaChannel < 8) {
        dmaChannel_ = static_cast<int>(config_.DmaChannel);
    }
    if (config_.BusInterruptLevel >= static_cast<ULONG>(InterruptLines::kLines)) {
        error("adapter reported no usable interrupt level");
    }
    const BOOLEAN initialized =
        call("HwInitialize", [&] { return data.HwInitialize(adapter_.data()); });
    if (!initialized) {
        trace("no-adapter", {0});
        return kStatusDeviceDoesNotExist;
    }
    found_ = true;
    return kStatusSuccess;
}

// ---------------------------------------------------------------- scan

const std::vector<ScannedUnit>& SimPort::scan() {
    units_.clear();
    if (!found_) {
        return units_;
    }
    const std::uint8_t own = config_.InitiatorBusId[0];
    for (std::uint8_t target = 0; target < kMaxTargets; ++target) {
        if (target == own) {
            continue;
        }
        for (std::uint8_t lun = 0; lun < settings_.scanLuns; ++lun) {
            Request inquiry;
            inquiry.target = target;
            inquiry.lun = lun;
            inquiry.cdb = {0x12, static_cast<std::uint8_t>(lun << 5), 0, 0, kInquiryLength, 0};
            inquiry.flags = SRB_FLAGS_DATA_IN;
            inquiry.length = kInquiryLength;
            const RequestId id = submit(std::move(inquiry));
            run();
            const Result& r = result(id);
            const bool answered = r.completed && srbStatusOf(r.srbStatus) == SRB_STATUS_SUCCESS;
            if (answered && r.length > 0 && (r.data[0] >> 5) == 0) {
                unit(target, lun).exists = true;
                units_.push_back(
                    {target, lun, static_cast<std::uint8_t>(r.data[0] & 0x1F),
                     std::vector<std::uint8_t>(r.data.begin(), r.data.begin() + r.length)});
                trace("unit", {target, lun, r.data[0]});
            }
            // A target without LUN 0 is not asked about its other LUNs.
            if (lun == 0 && !answered) {
                break;
            }
        }
    }
    return units_;
}

// ---------------------------------------------------------------- requests

SimPort::Unit& SimPort::unit(std::uint8_t target, std::uint8_t lun) {
    Unit& u = unitRecords_[{target, lun}];
    if (u.record.empty()) {
        const std::size_t size = hw_ ? std::max<std::size_t>(hw_->SpecificLuExtensionSize, 1) : 1;
        u.record.assign(size, 0);
    }
    return u;
}

std::uint32_t SimPort::allocateBuffer(std::uint32_t length) {
    if (!outstanding()) {
        nextBuffer_ = kBufferArena;
    }
    const std::uint32_t need = (length + 2 * kGuard + 15) & ~15u;
    if (std::uint64_t{nextBuffer_} + need > machine_.memory().size()) {
        throw std::length_error("request buffers exceed the machine's memory");
    }
    const std::uint32_t base = nextBuffer_;
    nextBuffer_ += need;
    auto all = machine_.memory().ram(base, need);
    std::fill(all.begin(), all.end(), kGuardByte);
    return base + kGuard;
}

SimPort::RequestId SimPort::submit(Request request) {
    if (!found_) {
        throw std::logic_error("no adapter: requests cannot be submitted");
    }
    if (request.length > config_.MaximumTransferLength) {
        throw std::invalid_argument("request longer than the adapter's maximum transfer length");
    }
    if (request.cdb.size() > 16) {
        throw std::invalid_argument("CDB longer than 16 bytes");
    }
    auto p = std::make_unique<Pending>();
    p->id = static_cast<RequestId>(requests_.size());
    p->bufferAddress = request.length > 0 ? allocateBuffer(request.length) : 0;
    if (request.length > 0) {
        auto buffer = machine_.memory().ram(p->bufferAddress, request.length);
        std::fill(buffer.begin(), buffer.end(), 0);
        std::copy_n(request.dataOut.begin(),
                    std::min<std::size_t>(request.dataOut.size(), buffer.size()), buffer.begin());
    }
    p->scanning = !unit(request.target, request.lun).exists;

    SCSI_REQUEST_BLOCK& srb = p->srb;
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = request.function;
    srb.PathId = 0;
    srb.TargetId = request.target;
    srb.Lun = request.lun;
    srb.CdbLength = static_cast<UCHAR>(request.cdb.size());
    srb.SrbFlags = request.flags;
    srb.DataTransferLength = request.length;
    srb.TimeOutValue =
        request.timeOutSeconds != 0 ? request.timeOutSeconds : settings_.defaultTimeOutSeconds;
    srb.DataBuffer = request.length > 0
                         ? machine_.memory().ram(p->bufferAddress, request.length).data()
                         : nullptr;
    std::copy(request.cdb.begin(), request.cdb.end(), srb.Cdb);
    if (request.abortOf) {
        if (request.function != SRB_FUNCTION_ABORT_COMMAND ||
            *request.abortOf >= requests_.size()) {
            throw std::invalid_argument("an abort names an earlier request");
        }
        srb.NextSrb = &requests_[*request.abortOf]->srb;
    }
    p->request = std::move(request);

    const UnitKey key{p->request.target, p->request.lun};
    queues_[key].push_back(p->id);
    trace("submit", {p->id, key.first, key.second, p->request.cdb.empty() ? 0u : p->request.cdb[0],
                     p->request.length});
    requests_.push_back(std::move(p));
    return requests_.back()->id;
}

bool SimPort::outstanding() const {
    return std::any_of(requests_.begin(), requests_.end(),
                       [](const auto& p) { return p->state != State::Done; });
}

SimPort::Pending* SimPort::findBySrb(PSCSI_REQUEST_BLOCK srb) {
    for (auto& p : requests_) {
        if (&p->srb == srb) {
            return p.get();
        }
    }
    return nullptr;
}

// Hands the oldest queued request whose unit is idle to HwStartIo, when the driver has asked for
// the next one. An abort does not wait for its unit: it is sent past the unit's queue.
bool SimPort::startNext() {
    if (!readyForNext_) {
        return false;
    }
    Pending* next = nullptr;
    for (auto& [key, queue] : queues_) {
        for (std::size_t i = 0; i < queue.size(); ++i) {
            Pending* candidate = requests_[queue[i]].get();
            const bool eligible =
                bypassesQueue(*candidate) || (i == 0 && busyUnits_.count(key) == 0);
            if (eligible && (next == nullptr || candidate->id < next->id)) {
                next = candidate;
            }
        }
    }
    if (next == nullptr) {
        return false;
    }
    const UnitKey key{next->request.target, next->request.lun};
    auto& queue = queues_[key];
    queue.erase(std::find(queue.begin(), queue.end(), next->id));
    if (!bypassesQueue(*next)) {
        busyUnits_.insert(key);
    }
    if (next->scanning) {
        unit(key.first, key.second).scanning++;
    }
    next->state = State::Started;
    next->deadline = machine_.now() + std::uint64_t{next->srb.TimeOutValue} * 1'000'000'000ull;
    readyForNext_ = false;
    trace("start", {next->id, key.first, key.second});
    call("HwStartIo", [&] { return hw_->HwStartIo(adapter_.data(), &next->srb); });
    return true;
}

bool SimPort::bypassesQueue(const Pending& p) {
    return p.request.function == SRB_FUNCTION_ABORT_COMMAND;
}

void SimPort::finish(Pending& p) {
    const UnitKey key{p.request.target, p.request.lun};
    p.state = State::Done;
    if (!bypassesQueue(p)) {
        busyUnits_.erase(key);
    }
    if (p.scanning) {
        unit(key.first, key.second).scanning--;
    }
    p.result.completed = true;
    p.result.srbStatus = p.srb.SrbStatus;
    p.result.scsiStatus = p.srb.ScsiStatus;
    p.result.length = p.srb.DataTransferLength;
    if (p.request.length > 0) {
        auto all = machine_.memory().ram(p.bufferAddress - kGuard, p.request.length + 2 * kGuard);
        const bool guardsKept = std::all_of(all.begin(), all.begin() + kGuard,
                                            [](std::uint8_t b) { return b == kGuardByte; }) &&
                                std::all_of(all.end() - kGuard, all.end(),
                                            [](std::uint8_t b) { return b == kGuardByte; });
        if (!guardsKept) {
            error(fmt::format("request {}: bytes written outside its buffer", p.id));
        }
        auto data = all.subspan(kGuard, p.request.length);
        p.result.data.assign(data.begin(), data.end());
    }
    trace("complete", {p.id, p.srb.SrbStatus, p.srb.ScsiStatus, p.srb.DataTransferLength});
}

void SimPort::resetBus() {
    call("HwResetBus", [&] { return hw_->HwResetBus(adapter_.data(), 0); });
    // After its own reset the port driver starts its queues again.
    readyForNext_ = true;
    stormMasked_ = false;
}

bool SimPort::checkTimeouts() {
    bool acted = false;
    for (auto& p : requests_) {
        if (p->state != State::Started || machine_.now() < p->deadline) {
            continue;
        }
        trace("timeout", {p->id});
        acted = true;
        p->result.timedOut = true;
        resetBus();
        if (p->state != State::Done) {
            p->srb.SrbStatus = SRB_STATUS_TIMEOUT;
            finish(*p);
        }
    }
    return acted;
}

bool SimPort::step() {
    machine_.scheduler().runDue();
    if (checkTimeouts()) {
        return true;
    }
    const int level = static_cast<int>(config_.BusInterruptLevel);
    if (!stormMasked_ && level >= 0 && level < InterruptLines::kLines &&
        machine_.interrupts().asserted(level)) {
        ++interrupts_;
        const BOOLEAN mine = call("HwInterrupt", [&] { return hw_->HwInterrupt(adapter_.data()); });
        if (!mine && machine_.interrupts().asserted(level)) {
            ++storms_;
            error(fmt::format("interrupt storm: HwInterrupt returned FALSE with level {} asserted",
                              level));
            // The line is masked until the next bus reset, so that time-outs can still end the
            // requests instead of the machine hanging.
            stormMasked_ = true;
        }
        return true;
    }
    return startNext();
}

bool SimPort::run() {
    const std::uint64_t limit = machine_.now() + settings_.runLimitNs;
    for (std::uint64_t steps = 0; steps < settings_.runStepLimit; ++steps) {
        if (!outstanding()) {
            return true;
        }
        if (step()) {
            continue;
        }
        // Nothing to do: the processor waits for the next event or the next time-out.
        std::uint64_t next = machine_.scheduler().nextTime();
        for (const auto& p : requests_) {
            if (p->state == State::Started) {
                next = std::min(next, p->deadline);
            }
        }
        if (next == std::numeric_limits<std::uint64_t>::max()) {
            error("requests outstanding with nothing left to happen");
            return false;
        }
        if (next > limit) {
            error("run limit reached");
            return false;
        }
        machine_.scheduler().advanceTo(next);
    }
    error("step limit reached");
    return false;
}

// ---------------------------------------------------------------- services

void SimPort::notify(SCSI_NOTIFICATION_TYPE type, PVOID, PSCSI_REQUEST_BLOCK srb) {
    switch (type) {
        case RequestComplete: {
            Pending* p = findBySrb(srb);
            if (p == nullptr) {
                error("RequestComplete for a request never handed over");
                return;
            }
            trace("notify", {static_cast<std::uint32_t>(type), p->id}, "RequestComplete");
            if (p->state != State::Started) {
                error(fmt::format("request {} completed twice", p->id));
                return;
            }
            finish(*p);
            return;
        }
        case NextRequest:
        case NextLuRequest:
            trace("notify", {static_cast<std::uint32_t>(type)}, "NextRequest");
            readyForNext_ = true;
            return;
        case ResetDetected:
            trace("notify", {static_cast<std::uint32_t>(type)}, "ResetDetected");
            ++resetsDetected_;
            return;
        default:
            error(fmt::format("notification {} not served", static_cast<int>(type)));
            return;
    }
}

PVOID SimPort::getLogicalUnit(PVOID, UCHAR pathId, UCHAR targetId, UCHAR lun) {
    if (pathId != 0) {
        return nullptr;
    }
    auto it = unitRecords_.find({targetId, lun});
    if (it == unitRecords_.end() || (!it->second.exists && it->second.scanning == 0)) {
        return nullptr;
    }
    return it->second.record.data();
}

void SimPort::logError(PVOID, PSCSI_REQUEST_BLOCK srb, UCHAR, UCHAR targetId, UCHAR lun,
                       ULONG errorCode, ULONG uniqueId) {
    trace("error-log", {targetId, lun, errorCode, uniqueId});
    errorLog_.push_back({targetId, lun, errorCode, uniqueId, srb != nullptr});
}

void SimPort::ioMapTransfer(PVOID, PSCSI_REQUEST_BLOCK srb, PVOID logicalAddress, ULONG length) {
    Pending* p = findBySrb(srb);
    if (p == nullptr || p->state != State::Started) {
        error("ScsiPortIoMapTransfer for a request the driver does not hold");
        return;
    }
    if (dmaChannel_ < 0) {
        error("ScsiPortIoMapTransfer on an adapter without a DMA channel");
        return;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(srb->DataBuffer);
    const auto at = reinterpret_cast<std::uintptr_t>(logicalAddress);
    if (at < start || at - start + length > p->request.length) {
        error(fmt::format("request {}: DMA mapping outside its buffer", p->id));
        return;
    }
    const bool in = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
    trace("iomap", {p->id, static_cast<std::uint32_t>(at - start), length});
    machine_.dma().program(dmaChannel_, p->bufferAddress + static_cast<std::uint32_t>(at - start),
                           length, in ? DmaDirection::FromDevice : DmaDirection::ToDevice);
    dmaStartPending_ = true;
    if (!inRoutine_) {
        afterRoutine();
    }
}

void SimPort::flushDma(PVOID) {
    if (dmaChannel_ < 0) {
        error("ScsiPortFlushDma on an adapter without a DMA channel");
        return;
    }
    machine_.dma().flush(dmaChannel_);
}

bool SimPort::ioMapped(std::uint32_t port) const {
    return std::any_of(mappings_.begin(), mappings_.end(), [&](const Mapping& m) {
        return m.io && port >= m.address && port - m.address < m.length;
    });
}

bool SimPort::memoryMapped(std::uint64_t address, std::uint32_t length) const {
    return std::any_of(mappings_.begin(), mappings_.end(), [&](const Mapping& m) {
        return !m.io && address >= m.address && address - m.address + length <= m.length;
    });
}

uint8_t SimPort::readPort(uint32_t port) {
    ++portAccesses_;
    if (!ioMapped(port)) {
        contractViolation("port read outside any mapping");
    }
    machine_.scheduler().runDue();
    return machine_.io().read(static_cast<std::uint16_t>(port));
}

void SimPort::writePort(uint32_t port, uint8_t value) {
    ++portAccesses_;
    if (!ioMapped(port)) {
        contractViolation("port write outside any mapping");
    }
    machine_.scheduler().runDue();
    machine_.io().write(static_cast<std::uint16_t>(port), value);
}

void SimPort::readPortBuffer(uint32_t port, std::span<uint8_t> buffer) {
    portAccesses_ += buffer.size();  // one string-instruction access per byte
    if (!ioMapped(port)) {
        contractViolation("port read outside any mapping");
    }
    machine_.scheduler().runDue();
    machine_.io().readString(static_cast<std::uint16_t>(port), buffer);
}

void SimPort::writePortBuffer(uint32_t port, std::span<const uint8_t> buffer) {
    portAccesses_ += buffer.size();
    if (!ioMapped(port)) {
        contractViolation("port write outside any mapping");
    }
    machine_.scheduler().runDue();
    machine_.io().writeString(static_cast<std::uint16_t>(port), buffer);
}

uint32_t SimPort::readMemory(uint64_t address, int width) {
    ++portAccesses_;
    if (!memoryMapped(address, static_cast<std::uint32_t>(width))) {
        contractViolation("memory read outside any mapping");
        return 0xFFFFFFFF;
    }
    return machine_.memory().read(static_cast<std::uint32_t>(address), width);
}

void SimPort::writeMemory(uint64_t address, uint32_t value, int width) {
    ++portAccesses_;
    if (!memoryMapped(address, static_cast<std::uint32_t>(width))) {
        contractViolation("memory write outside any mapping");
        return;
    }
    machine_.memory().write(static_cast<std::uint32_t>(address), value, width);
}

void SimPort::readMemoryWords(uint64_t address, std::span<uint8_t> buffer) {
    portAccesses_ += (buffer.size() + 3) / 4;  // one access per 32-bit word
    if (!memoryMapped(address, static_cast<std::uint32_t>(buffer.size()))) {
        contractViolation("block move outside any mapping");
        return;
    }
    for (std::size_t i = 0; i + 4 <= buffer.size(); i += 4) {
        const std::uint32_t w = machine_.memory().read(static_cast<std::uint32_t>(address + i), 4);
        for (std::size_t k = 0; k < 4; ++k) {
            buffer[i + k] = static_cast<std::uint8_t>(w >> (8 * k));
        }
    }
}

void SimPort::writeMemoryWords(uint64_t address, std::span<const uint8_t> buffer) {
    portAccesses_ += (buffer.size() + 3) / 4;
    if (!memoryMapped(address, static_cast<std::uint32_t>(buffer.size()))) {
        contractViolation("block move outside any mapping");
        return;
    }
    for (std::size_t i = 0; i + 4 <= buffer.size(); i += 4) {
        std::uint32_t w = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            w |= std::uint32_t{buffer[i + k]} << (8 * k);
        }
        machine_.memory().write(static_cast<std::uint32_t>(address + i), w, 4);
    }
}

void SimPort::stall(uint32_t microseconds) {
    stallNs_ += std::uint64_t{microseconds} * 1000;
    machine_.stall(std::uint64_t{microseconds} * 1000);
}

std::optional<uint64_t> SimPort::mapDeviceBase(INTERFACE_TYPE busType, uint32_t busNumber,
                                               uint64_t address, uint32_t length, bool inIoSpace) {
    const std::uint64_t spaceEnd = inIoSpace ? 0x10000 : 0x100000000ull;
    if (busType != CBus || busNumber != 0 || length == 0 || address + length > spaceEnd) {
        trace("map-refused", {static_cast<std::uint32_t>(address), length, inIoSpace ? 1u : 0u});
        return std::nullopt;
    }
    mappings_.push_back({address, length, inIoSpace});
    trace("map", {static_cast<std::uint32_t>(address), length, inIoSpace ? 1u : 0u});
    return address;
}

void SimPort::freeDeviceBase(PVOID mappedAddress) {
    const bool memory = isMemoryAddress(mappedAddress);
    const std::uint64_t address = memory ? physicalOf(mappedAddress) : portOf(mappedAddress);
    auto it = std::find_if(mappings_.begin(), mappings_.end(), [&](const Mapping& m) {
        return m.address == address && m.io == !memory;
    });
    if (it == mappings_.end()) {
        contractViolation("ScsiPortFreeDeviceBase of an address no mapping gave");
        return;
    }
    trace("unmap", {static_cast<std::uint32_t>(address), memory ? 0u : 1u});
    mappings_.erase(it);
}

}  // namespace cbus::port
