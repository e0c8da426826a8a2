#pragma once

// The bus controller model (WD33C93 family). The core knows nothing of the board: it talks
// to its host through SbicHost (interrupt pin, DMA request side, per-target sync value) and
// to the SCSI bus as its initiator.

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/sbic/registers.h"
#include "platform/scsi/bus.h"

namespace cbus::sbic {

enum class Variant : std::uint8_t { WD33C93, WD33C93A, WD33C93B };

struct SbicSettings {
    Variant variant = Variant::WD33C93B;
    std::uint32_t clockKHz = 20'000;
    std::uint64_t cipNs = 2'000;             // command decode time (CIP)
    std::uint64_t resetNs = 200'000;         // Reset command to INT
    std::uint64_t hardwareResetNs = 20'000;  // MR released to INT
    std::uint64_t selectionAbortNs = 200'000;
};

// What the chip needs from the board it sits on.
class SbicHost {
  public:
    virtual ~SbicHost() = default;
    virtual void sbicIntrq(bool asserted) = 0;
    // DMA request side: bytes the host side can take (inbound: target to host) or give
    // (outbound) right now, its pace, and the moves themselves.
    virtual std::size_t dmaCapacity(bool inbound) = 0;
    virtual std::uint64_t dmaNsPerByte() = 0;
    virtual void dmaToHost(std::span<const std::uint8_t> bytes) = 0;
    virtual void dmaFromHost(std::span<std::uint8_t> bytes) = 0;
    // The synchronous value to use on the bus for `busId`; nullopt: the chip's own register.
    virtual std::optional<std::uint8_t> syncFor(std::uint8_t) { return std::nullopt; }
};

// Where the data of the current command stands, as the board's data paths see it.
struct DataState {
    bool running = false;         // a command is being decoded or executing
    std::uint64_t serial = 0;     // commands accepted so far (tells a new command from an old one)
    std::uint32_t remaining = 0;  // TRANSFER COUNT: bytes still to move on the SCSI bus
    std::uint64_t resets = 0;     // resets so far (a reset ends any transfer, count or not)
    bool inbound = false;         // direction of the data phase (known or expected)
};

class Sbic : public scsi::BusInitiator {
  public:
    Sbic(Machine& machine, scsi::Bus& bus, SbicHost& host, SbicSettings settings = {});

    // ---- host port (A0 = 0: address / aux status; A0 = 1: the addressed register) ----
    std::uint8_t readAuxStatus();
    void writeAddress(std::uint8_t address);
    std::uint8_t readRegister();
    void writeRegister(std::uint8_t value);
    std::uint8_t address() const { return address_; }

    // MR pin: held in reset while true; INT with status 0x00 follows the release.
    void setResetPin(bool asserted);

    // ---- DMA side, for the board ----
    // Moves the bytes of the running block whose time has come (before the board looks).
    void catchUp();
    // The host side has more room or data than before: a waiting transfer goes on.
    void hostPathReady();
    DataState dataState() const;
    bool dmaMode() const { return (regs_.control & control::DmaMask) != 0; }

    // ---- for tests and tools ----
    std::uint8_t peek(std::uint8_t reg) const;  // register value without side effects
    bool intrq() const { return aux_.intr; }
    std::uint32_t transferCount() const { return regs_.count; }

    // ---- scsi::BusInitiator ----
    void busArbitrationWon() override;
    void busSelected() override;
    void busRequest() override;
    void busFree() override;
    void busReselected(std::uint8_t targetId, bool idValid) override;
    void busReset() override;

  private:
    // What the running command waits for.
    enum class Wait {
        Nothing,
        CommandDecode,  // CIP: the command is being taken up
        ResetComplete,
        Arbitration,
        SelectionBsy,    // SEL asserted, the target's BSY not seen yet
        SelectionAbort,  // ids dropped, SEL held for the abort window
        Req,             // the next REQ from the target
        HostByte,        // DBR: the host reads or writes DATA
        Block,           // a block of handshakes is under way
        HostPath,        // the DMA side has no room or no data
        BusFree,
        Reselection,  // Select-and-Transfer: the disconnected target coming back
    };
    enum class Running {
        None,
        Select,
        SelectAndTransfer,
        TransferInfo,
        TransferPad,
        Translate,
        TargetRole
    };

    struct Registers {
        std::uint8_t ownId = 0;
        std::uint8_t control = 0;
        std::uint8_t timeout = 0;
        std::array<std::uint8_t, 12> cdb{};
        std::uint8_t targetLun = 0;
        std::uint8_t commandPhase = 0;
        std::uint8_t sync = 0;
        std::uint32_t count = 0;  // 24 bits
        std::uint8_t destinationId = 0;
        std::uint8_t sourceId = 0;
        std::uint8_t scsiStatus = 0;
        std::uint8_t command = 0;
        std::uint8_t data = 0;
        std::uint8_t queueTag = 0;
    };
    struct AuxStatus {
        bool intr = false;  // INT: a status is latched
        bool lci = false;   // last command ignored
        bool bsy = false;   // a Level II command runs
        bool cip = false;   // the command register is being decoded
        bool pe = false;    // parity error seen
        bool dbr = false;   // data buffer ready
    };
    struct Mode {
        bool advanced = false;  // EAF latched by the last Reset
        std::uint8_t divisor = 2;
        std::uint8_t busId = 0;  // the SCSI id latched by the last Reset
        bool resetHeld = false;
    };
    struct Link {
        bool connected = false;
        std::uint8_t target = 0;
        bool reqReported = false;       // the current REQ has been reported or taken up
        bool awaitingIdentify = false;  // advanced-mode reselection: IDENTIFY not yet taken
        bool wrongNexus = false;        // Select-and-Transfer reselected by another nexus
    };
    // The command's transfer (Transfer Info, the data phase of Select-and-Transfer, pads).
    struct Transfer {
        bool started = false;
        bool pio = false;     // through DATA with DBR
        bool counted = true;  // false with SBT or a zero count: one byte
        bool inbound = false;
        scsi::Phase phase = scsi::Phase::DataOut;
        bool halted = false;
        bool done = false;
        std::uint8_t pending = 0;  // outbound byte written by the host, not yet on the bus
        bool hasPending = false;
        // block under way
        std::uint64_t blockStart = 0;
        std::uint64_t nsPerByte = 0;
        std::size_t blockLength = 0;
        std::size_t blockDone = 0;
        std::optional<std::size_t> blockParity;
        EventId blockEnd;
    };

    // io
    std::uint8_t readReg(std::uint8_t r);
    void writeReg(std::uint8_t r, std::uint8_t v);
    void contract(const char* what, std::initializer_list<std::uint32_t> values = {});
    void trace(const char* event, std::initializer_list<std::uint32_t> values = {},
               std::string text = {});
    void interrupt(std::uint8_t code);
    void latchNext();
    // The Reset command's work. takeOwnId: OWN ID's settings take effect (the Reset command);
    // otherwise the settings in effect stay (a reset from the bus).
    void softwareReset(bool takeOwnId = true);
    void hardwareResetState();
    bool hasQueueTag() const { return settings_.variant == Variant::WD33C93B; }

    // commands
    void commandWritten(std::uint8_t value);
    void execute(std::uint8_t value);
    void endCommand();
    static bool isSelection(std::uint8_t code);
    // A selection that lost to a reselection: not started, not a resume of the reselecting nexus.
    void dropSelection(std::uint8_t value);
    void startSelect(bool atn, bool transfer);
    void startTransferInfo(bool sbt, bool pad);
    void resumeSelectAndTransfer();
    void translateAddress();
    void abort();
    void disconnectCommand();
    std::uint64_t selectionTimeoutNs() const;
    void selectionTimedOut();

    // sequencer
    void onRequest();
    void stRequest(scsi::Phase ph);
    void stDataStatusOrMessage(scsi::Phase ph);
    void stMessageIn(std::uint8_t byte);
    void stBusFree();
    void reselectedIdle(std::uint8_t targetId, bool idValid);
    void identifyAfterReselection();
    void terminate(std::uint8_t code);
    void unexpectedPhase(scsi::Phase ph) {
        terminate(status::UnexpectedPhase | static_cast<std::uint8_t>(ph));
    }
    std::size_t cdbLength() const;
    void sendCdbByte();
    std::uint8_t takeByte(scsi::Ack ack, bool* parityOk = nullptr);
    void process(std::function<void()> fn);

    // transfer
    void transferRequest(scsi::Phase ph);
    void startBlock();
    void finishBlock();
    void moveBlockBytes(std::size_t n);
    void byteMoved();
    void sendPending();
    std::optional<std::uint8_t> takeChecked(scsi::Ack ack);
    void pioRequest();
    void hostReadData();
    void hostWriteData(std::uint8_t v);
    void transferCompleted();
    scsi::TransferSetting transferSetting() const;
    std::uint32_t tcycNs() const;

    Machine& machine_;
    scsi::Bus& bus_;
    SbicHost& host_;
    SbicSettings settings_;

    Registers regs_;
    AuxStatus aux_;
    Mode mode_;
    Link link_;
    Transfer xfer_;
    std::uint8_t address_ = 0;
    Wait wait_ = Wait::Nothing;
    Running running_ = Running::None;
    std::uint8_t runningCode_ = 0;
    bool selectWithAtn_ = false;
    bool dataValidWithoutDbr_ = false;  // 0x81: DATA holds the IDENTIFY
    std::size_t cdbSent_ = 0;
    std::uint64_t commandSerial_ = 0;
    std::uint64_t resets_ = 0;
    bool holdAtBlockEnd_ = false;
    std::deque<std::uint8_t> queued_;  // interrupts waiting for SCSI STATUS to be read
    EventId timer_;
    EventId decodeEvent_;
    std::uint64_t generation_ = 0;  // bumped by resets: stale events ignore themselves
};

}  // namespace cbus::sbic
