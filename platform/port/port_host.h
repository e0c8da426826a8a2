// The port driver's side of the seam: what a host must answer for the driver's service calls.
// The free functions the driver calls (ScsiPort*) forward to the host bound at the time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/frame/port_services.h"

namespace cbus::port {

class PortHost {
  public:
    virtual ~PortHost() = default;

    virtual ULONG initialize(PVOID argument1, PVOID argument2, const HW_INITIALIZATION_DATA& data,
                             PVOID hwContext) = 0;
    // srb is set for RequestComplete only.
    virtual void notify(SCSI_NOTIFICATION_TYPE type, PVOID deviceExtension,
                        PSCSI_REQUEST_BLOCK srb) = 0;
    virtual PVOID getLogicalUnit(PVOID deviceExtension, UCHAR pathId, UCHAR targetId,
                                 UCHAR lun) = 0;
    virtual void logError(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId,
                          UCHAR targetId, UCHAR lun, ULONG errorCode, ULONG uniqueId) = 0;
    virtual void ioMapTransfer(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb, PVOID logicalAddress,
                               ULONG length) = 0;
    virtual void flushDma(PVOID deviceExtension) = 0;

    virtual uint8_t readPort(uint32_t port) = 0;
    virtual void writePort(uint32_t port, uint8_t value) = 0;
    virtual void readPortBuffer(uint32_t port, std::span<uint8_t> buffer) = 0;
    virtual void writePortBuffer(uint32_t port, std::span<const uint8_t> buffer) = 0;

    // Memory space, by physical address. width is 1, 2 or 4 bytes (little-endian).
    virtual uint32_t readMemory(uint64_t address, int width) = 0;
    virtual void writeMemory(uint64_t address, uint32_t value, int width) = 0;
    // The 32-bit block move: buffer.size() / 4 words read from, or written to, consecutive
    // words starting at address.
    virtual void readMemoryWords(uint64_t address, std::span<uint8_t> buffer) = 0;
    virtual void writeMemoryWords(uint64_t address, std::span<const uint8_t> buffer) = 0;
    virtual bool blockMoveAvailable() = 0;

    virtual void stall(uint32_t microseconds) = 0;

    // A mapping of I/O or memory space; nullopt when it cannot be made.
    virtual std::optional<uint64_t> mapDeviceBase(INTERFACE_TYPE busType, uint32_t busNumber,
                                                  uint64_t address, uint32_t length,
                                                  bool inIoSpace) = 0;
    virtual void freeDeviceBase(PVOID mappedAddress) = 0;

    // A service was called in a way the real port driver would not survive (an address no
    // mapping gave, no host bound). The host records it; tests fail on it.
    virtual void contractViolation(const char* what) = 0;
};

// Binds a host to the port services for the lifetime of the object. One binding at a time.
class PortBinding {
  public:
    explicit PortBinding(PortHost& host);
    ~PortBinding();
    PortBinding(const PortBinding&) = delete;
    PortBinding& operator=(const PortBinding&) = delete;
};

// Mapped addresses. I/O space: the port number itself, as on the real x86 machine. Memory space:
// the physical address tagged so that only the register services accept it; the tag makes the
// pointer non-canonical, so a direct dereference by the driver faults instead of reading host
// memory.
inline constexpr uint64_t kMemoryTag = 0xC0B5'0000'0000'0000ull;
inline constexpr uint64_t kMemoryTagMask = 0xFFFF'0000'0000'0000ull;

inline bool isMemoryAddress(const void* p) {
    return (reinterpret_cast<uintptr_t>(p) & kMemoryTagMask) == kMemoryTag;
}
inline uint64_t physicalOf(const void* p) {
    return reinterpret_cast<uintptr_t>(p) & ~kMemoryTagMask;
}
inline uint32_t portOf(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace cbus::port
