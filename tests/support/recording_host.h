// A port host for driver unit tests. It answers port, register and memory reads from per-source
// scripts (a queue of values, then a callback, then the last value written or set), records every
// access and service call in order as short text, and provides unit records and mappings.
//
// Log entries (values in upper-case hex):
//   S=80            auxiliary status read
//   A=30            address-port write not followed by a data access
//   R17=16 W01=2F   register read / write through the data port after an address write
//   R+13=.. W+13=.. the same, reached by the controller's own address step (no address write)
//   BS=08 BC=02     board status read / board command write (base+4)
//   FR=12 FW=34     FIFO data port single byte; FR*256 FW*256 a buffer move of that many bytes
//   P3F0>12 P3F0<12 any other port read / write
//   M1:D1FFE>00     memory read of width 1 at that physical address; M4:D1000<11223344 a write
//   MR:D1000*128 MW:D1000*128  the 32-bit block move, in words
//   stall 2000
//   complete srb1=01  next  reset    notifications (the request's name and its SrbStatus)
//   log srb1 0:3:0 code=4 id=21      error-log entry (request, path:target:lun)
//   iomap srb1 len=4096   flush      system DMA
//   map io CC0+7=CC0  map mem 400+3072=fail  unmap mem 400
//   lun 0:3:0=yes
// Consecutive identical entries are kept once with a count: "R37=00 x5".
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "driver/frame/hba.h"
#include "platform/port/port_host.h"

namespace cbus::test {

// Where a read is answered from.
struct Answer {
    std::deque<uint8_t> queue;          // used first, one value per read
    std::function<uint8_t()> callback;  // then this, when set
    uint8_t value = 0;                  // then this: set by tests, or the last value written
};

struct Completion {
    PSCSI_REQUEST_BLOCK srb;
    UCHAR srbStatus;
};

struct LoggedError {
    PSCSI_REQUEST_BLOCK srb;
    UCHAR pathId, targetId, lun;
    ULONG errorCode, uniqueId;
};

class RecordingHost : public port::PortHost {
  public:
    explicit RecordingHost(uint32_t ioBase = 0xCC0) : ioBase_(ioBase) {}

    uint32_t ioBase() const { return ioBase_; }
    PUCHAR ioBasePointer() const {
        return reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(ioBase_));
    }

    // Answers.
    Answer& reg(uint8_t number) { return registers_[number]; }
    Answer& aux() { return aux_; }
    Answer& boardStatus() { return boardStatus_; }
    // Registers whose writes do not change what they read (status and read-only registers).
    void readOnly(uint8_t number) { readOnly_.insert(number); }
    // Bytes the FIFO data port gives (0xFF when none are left), and the bytes written to it.
    std::deque<uint8_t> fifoIn;
    std::vector<uint8_t> fifoOut;
    // Other ports, by number.
    Answer& port(uint32_t number) { return ports_[number]; }

    // Memory: plain bytes (0 where nothing was set) ...
    void setMemory(uint64_t address, std::vector<uint8_t> bytes);
    void setMemoryWord(uint64_t address, uint16_t value);
    uint8_t memory(uint64_t address) const;
    // ... and one window range that acts as a port: reads take the next bytes of windowIn (0xFF
    // when none are left), writes append to windowOut, whatever the address inside the range.
    void setMemoryPort(uint64_t address, uint64_t length);
    std::deque<uint8_t> windowIn;
    std::vector<uint8_t> windowOut;

    // Mappings succeed unless told otherwise.
    void failMapping(uint64_t address, bool inIoSpace) { failedMaps_.insert({address, inIoSpace}); }
    bool blockMove = true;

    // Unit records.
    PHW_LU_EXTENSION addUnit(UCHAR target, UCHAR lun, UCHAR path = 0);

    // The registration DriverEntry made, and what ScsiPortInitialize answers.
    std::optional<HW_INITIALIZATION_DATA> registration;
    PVOID registrationContext = nullptr;
    PVOID initializeArgument1 = nullptr;
    PVOID initializeArgument2 = nullptr;
    ULONG initializeResult = 0;

    // Names used for requests in the log.
    void name(PSCSI_REQUEST_BLOCK srb, std::string name) { names_[srb] = std::move(name); }

    // The log, whole or only entries whose text starts with one of the prefixes.
    std::vector<std::string> log() const;
    std::vector<std::string> log(const std::vector<std::string>& prefixes) const;
    void clearLog() { log_.clear(); }
    // Register writes as (register, value) pairs, in order.
    std::vector<std::pair<uint8_t, uint8_t>> registerWrites() const { return registerWrites_; }

    const std::vector<Completion>& completions() const { return completions_; }
    const std::vector<LoggedError>& errors() const { return errors_; }
    const std::vector<std::string>& violations() const { return violations_; }
    uint64_t totalStall() const { return totalStall_; }
    uint64_t portReads() const { return portReads_; }
    int nextRequests() const { return nextRequests_; }
    int resetsDetected() const { return resetsDetected_; }

    // PortHost
    ULONG initialize(PVOID argument1, PVOID argument2, const HW_INITIALIZATION_DATA& data,
                     PVOID hwContext) override;
    void notify(SCSI_NOTIFICATION_TYPE type, PVOID deviceExtension,
                PSCSI_REQUEST_BLOCK srb) override;
    PVOID getLogicalUnit(PVOID deviceExtension, UCHAR pathId, UCHAR targetId, UCHAR lun) override;
    void logError(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId, UCHAR targetId,
                  UCHAR lun, ULONG errorCode, ULONG uniqueId) override;
    void ioMapTransfer(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb, PVOID logicalAddress,
                       ULONG length) override;
    void flushDma(PVOID deviceExtension) override;
    uint8_t readPort(uint32_t port) override;
    void writePort(uint32_t port, uint8_t value) override;
    void readPortBuffer(uint32_t port, std::span<uint8_t> buffer) override;
    void writePortBuffer(uint32_t port, std::span<const uint8_t> buffer) override;
    uint32_t readMemory(uint64_t address, int width) override;
    void writeMemory(uint64_t address, uint32_t value, int width) override;
    void readMemoryWords(uint64_t address, std::span<uint8_t> buffer) override;
    void writeMemoryWords(uint64_t address, std::span<const uint8_t> buffer) override;
    bool blockMoveAvailable() override { return blockMove; }
    void stall(uint32_t microseconds) override;
    std::optional<uint64_t> mapDeviceBase(INTERFACE_TYPE busType, uint32_t busNumber,
                                          uint64_t address, uint32_t length,
                                          bool inIoSpace) override;
    void freeDeviceBase(PVOID mappedAddress) override;
    void contractViolation(const char* what) override;

  private:
    struct Entry {
        std::string text;
        uint64_t count;
    };
    void record(std::string text);
    std::string nameOf(PSCSI_REQUEST_BLOCK srb) const;
    static uint8_t answer(Answer& a);
    void flushAddress();
    bool inMemoryPort(uint64_t address) const;
    uint8_t readMemoryByte(uint64_t address);
    void writeMemoryByte(uint64_t address, uint8_t value);

    uint32_t ioBase_;
    std::map<uint8_t, Answer> registers_;
    std::set<uint8_t> readOnly_;
    Answer aux_;
    Answer boardStatus_;
    std::map<uint32_t, Answer> ports_;
    uint8_t selected_ = 0;
    bool addressPending_ = false;  // an address write not yet used by a data access
    std::map<uint64_t, uint8_t> memory_;
    std::optional<std::pair<uint64_t, uint64_t>> memoryPort_;
    std::set<std::pair<uint64_t, bool>> failedMaps_;
    std::map<std::tuple<UCHAR, UCHAR, UCHAR>, std::unique_ptr<HW_LU_EXTENSION>> units_;
    std::map<PSCSI_REQUEST_BLOCK, std::string> names_;
    std::vector<Entry> log_;
    std::vector<std::pair<uint8_t, uint8_t>> registerWrites_;
    std::vector<Completion> completions_;
    std::vector<LoggedError> errors_;
    std::vector<std::string> violations_;
    uint64_t totalStall_ = 0;
    uint64_t portReads_ = 0;
    int nextRequests_ = 0;
    int resetsDetected_ = 0;
};

}  // namespace cbus::test
