// The simulated SCSI port driver: the processor of the simulated machine as the miniport sees it.
// It loads the driver, finds and initializes the adapter with the machine's registry
// configuration, scans the bus, and runs callers' requests through the driver one routine at a
// time, serialized with the interrupt, on the machine's one clock. It implements every port
// service against the machine and checks the driver's side of the contract: each request comes
// back exactly once, no interrupt storms, no access outside a mapping or a request's buffer.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/port/port_host.h"

namespace cbus::port {

// What the system registry says about the adapter, handed to HwFindAdapter.
struct RegistryConfiguration {
    std::uint32_t ioStart = 0;  // 0: not configured (the driver asks the firmware data)
    std::uint32_t ioLength = 7;
    std::uint32_t dmaChannel = 3;
    std::uint32_t interruptLevel = 9;
    int ownId = -1;  // -1: not configured
};

struct SimPortSettings {
    RegistryConfiguration registry;
    std::string argumentString;
    bool blockMoveAvailable = true;  // the answer to ScsiPortQueryBlockMove
    std::uint32_t defaultTimeOutSeconds = 10;
    std::uint8_t scanLuns = 8;  // LUNs asked per target by the bus scan
    // Bounds of one run(): simulated time and scheduling steps.
    std::uint64_t runLimitNs = 600'000'000'000ull;
    std::uint64_t runStepLimit = 50'000'000;
};

// One request as a caller (a class driver) gives it.
struct Request {
    std::uint8_t function = SRB_FUNCTION_EXECUTE_SCSI;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::vector<std::uint8_t> cdb;
    std::uint32_t flags = SRB_FLAGS_NO_DATA_TRANSFER;  // SRB_FLAGS_*
    std::uint32_t length = 0;                          // bytes of the data buffer
    std::vector<std::uint8_t> dataOut;  // the buffer's contents (DATA OUT); zero-filled if short
    std::uint32_t timeOutSeconds = 0;   // 0: the port driver's default
    // SRB_FUNCTION_ABORT_COMMAND: the earlier request to abort (its id), handed over as NextSrb.
    // An abort goes to the driver past its unit's queue, while the unit's request is outstanding.
    std::optional<std::uint32_t> abortOf;
};

struct Result {
    bool completed = false;
    bool timedOut = false;  // the port driver's timer ended it with a bus reset
    std::uint8_t srbStatus = SRB_STATUS_PENDING;
    std::uint8_t scsiStatus = 0;
    std::uint32_t length = 0;        // DataTransferLength as the driver left it
    std::vector<std::uint8_t> data;  // the whole buffer after completion
};

struct ErrorLogEntry {
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint32_t errorCode = 0;
    std::uint32_t uniqueId = 0;
    bool withRequest = false;
    bool operator==(const ErrorLogEntry&) const = default;
};

struct ScannedUnit {
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t deviceType = 0;
    std::vector<std::uint8_t> inquiry;
};

class SimPort : public PortHost {
  public:
    using RequestId = std::uint32_t;

    SimPort(Machine& machine, SimPortSettings settings = {});
    ~SimPort() override;
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    // DriverEntry (which finds and initializes the adapter from ScsiPortInitialize); its result.
    ULONG load();
    bool adapterFound() const { return found_; }
    // The bus scan: INQUIRY to every target and LUN but the adapter's own id.
    const std::vector<ScannedUnit>& scan();
    const std::vector<ScannedUnit>& units() const { return units_; }

    RequestId submit(Request request);
    // Runs until every submitted request has come back, or a bound is reached (then false).
    bool run();
    const Result& result(RequestId id) const { return requests_.at(id)->result; }
    // The request block the driver was given for a request (tests of the completion checks).
    PSCSI_REQUEST_BLOCK srbOf(RequestId id) { return &requests_.at(id)->srb; }
    // The port driver's own bus reset (HwResetBus), as after a time-out.
    void resetBus();

    // What the port driver saw.
    const PORT_CONFIGURATION_INFORMATION& configuration() const { return config_; }
    const std::array<ACCESS_RANGE, 6>& accessRanges() const { return ranges_; }
    const std::vector<ErrorLogEntry>& errorLog() const { return errorLog_; }
    // Contract breaches: interrupt storms, double or unknown completions, stray accesses.
    const std::vector<std::string>& errors() const { return errors_; }
    int interruptStorms() const { return storms_; }
    int resetsDetected() const { return resetsDetected_; }
    std::uint64_t interruptsServed() const { return interrupts_; }
    // Register and window accesses the driver made (a string or block move counts each byte or
    // word), and the time it spent in ScsiPortStallExecution.
    std::uint64_t portAccesses() const { return portAccesses_; }
    std::uint64_t stallNs() const { return stallNs_; }
    int interruptLevel() const { return static_cast<int>(config_.BusInterruptLevel); }

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
    bool blockMoveAvailable() override { return settings_.blockMoveAvailable; }
    void stall(uint32_t microseconds) override;
    std::optional<uint64_t> mapDeviceBase(INTERFACE_TYPE busType, uint32_t busNumber,
                                          uint64_t address, uint32_t length,
                                          bool inIoSpace) override;
    void freeDeviceBase(PVOID mappedAddress) override;
    void contractViolation(const char* what) override;

  private:
    enum class State { Queued, Started, Done };
    struct Pending {
        RequestId id = 0;
        Request request;
        SCSI_REQUEST_BLOCK srb{};
        std::uint32_t bufferAddress = 0;  // physical; the driver sees the same bytes by pointer
        State state = State::Queued;
        std::uint64_t deadline = 0;
        bool scanning = false;  // its unit is visible to the driver only while it runs
        Result result;
    };
    struct Unit {
        std::vector<std::uint8_t> record;
        bool exists = false;
        int scanning = 0;
    };
    struct Mapping {
        std::uint64_t address;
        std::uint32_t length;
        bool io;
    };
    using UnitKey = std::pair<std::uint8_t, std::uint8_t>;

    // Calls one driver routine with the trace around it, then starts any DMA it mapped.
    template <typename F>
    auto call(const char* routine, F&& f);
    void afterRoutine();
    bool step();
    bool startNext();
    bool checkTimeouts();  // true when a request timed out
    void finish(Pending& p);
    static bool bypassesQueue(const Pending& p);
    Unit& unit(std::uint8_t target, std::uint8_t lun);
    Pending* findBySrb(PSCSI_REQUEST_BLOCK srb);
    bool outstanding() const;
    bool ioMapped(std::uint32_t port) const;
    bool memoryMapped(std::uint64_t address, std::uint32_t length) const;
    std::uint32_t allocateBuffer(std::uint32_t length);
    void error(std::string what);
    void trace(const char* event, std::initializer_list<std::uint32_t> values = {},
               std::string text = {});

    Machine& machine_;
    SimPortSettings settings_;
    std::unique_ptr<PortBinding> binding_;

    std::optional<HW_INITIALIZATION_DATA> hw_;
    std::vector<std::uint64_t> adapter_;  // the adapter record, 8-byte aligned
    PORT_CONFIGURATION_INFORMATION config_{};
    std::array<ACCESS_RANGE, 6> ranges_{};
    std::vector<char> argumentString_;
    bool found_ = false;
    int dmaChannel_ = -1;

    std::map<UnitKey, Unit> unitRecords_;
    std::vector<ScannedUnit> units_;
    std::vector<std::unique_ptr<Pending>> requests_;  // by id
    std::map<UnitKey, std::deque<RequestId>> queues_;
    std::set<UnitKey> busyUnits_;
    bool readyForNext_ = true;
    bool dmaStartPending_ = false;
    bool inRoutine_ = false;
    bool stormMasked_ = false;
    std::uint32_t nextBuffer_ = 0;

    std::vector<Mapping> mappings_;
    std::vector<ErrorLogEntry> errorLog_;
    std::vector<std::string> errors_;
    int storms_ = 0;
    int resetsDetected_ = 0;
    std::uint64_t interrupts_ = 0;
    std::uint64_t portAccesses_ = 0;
    std::uint64_t stallNs_ = 0;
};

}  // namespace cbus::port
