#pragma once

// A SCSI target: an interpreter that turns each command into a queue of bus actions
// (send data, status, messages; take data; go bus free; wait; reselect), played out by the
// one sequencer every target shares. Device kinds only interpret commands; the SCSI-2
// message rules (IDENTIFY, SDTR, WDTR, disconnect and reselection, rejects, ABORT, BUS DEVICE
// RESET) and every misbehaviour switch live here.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/scsi/bus.h"
#include "platform/scsi/scsi.h"

namespace cbus::scsi {

// Misbehaviour switches, armed with Target::fail().
enum class Fault : std::uint8_t {
    RejectSdtr,        // answer SDTR with MESSAGE REJECT
    CounterOfferSdtr,  // answer SDTR with a longer period and a smaller offset than asked
    SdtrOutOfLimits,   // answer SDTR with a shorter period and a larger offset than asked
    InitiateSdtr,      // start an SDTR after the IDENTIFY (values: FaultSpec::sdtrPeriod/Offset)
    InitiateWdtr,      // start a WDTR (width 16 bits) after the IDENTIFY
    DisconnectAfterCommand,  // disconnect after the CDB (needs disconnect privilege)
    DisconnectMidData,  // disconnect at FaultSpec::byte of the data phase, with SAVE DATA POINTER
    DisconnectMidDataNoSdp,  // the same without SAVE DATA POINTER
    DisconnectNoSdp,         // disconnect after the command with no SAVE DATA POINTER before it
    RestorePointers,    // send RESTORE POINTERS at FaultSpec::byte of the data phase, then resend
    ModifyDataPointer,  // send MODIFY DATA POINTER (FaultSpec::argument) at FaultSpec::byte
    ParityError,  // bad parity on byte FaultSpec::byte of phase FaultSpec::phase (MESSAGE IN: of
                  // the first message after the CDB), once per command
    BusFree,      // go bus free at byte FaultSpec::byte of phase FaultSpec::phase
    ReselectWithoutIdentify,  // reselect and go straight to the data/status phase
    ReselectWrongLun,         // reselect with an IDENTIFY for another LUN (FaultSpec::lun)
    Stall,  // stop for FaultSpec::durationNs before phase FaultSpec::phase; in MESSAGE OUT,
            // after its FaultSpec::byte-th byte (inside the phase, with REQ withheld)
    NoSelectionResponse,    // do not answer selection
    Busy,                   // end the command with BUSY status
    CheckCondition,         // end the command with CHECK CONDITION and FaultSpec::sense
    ExtendedMessage,        // send extended message FaultSpec::message (any length byte)
    SurplusMessageBytes,    // send FaultSpec::message bytes after COMMAND COMPLETE's status
    UnknownMessage,         // send message FaultSpec::message after the CDB
    InitiateRecovery,       // send INITIATE RECOVERY after the CDB
    LinkedCommandComplete,  // end with LINKED COMMAND COMPLETE instead of COMMAND COMPLETE
    ResetBus,               // assert RST when the command arrives
    LoseAgreement,          // power cycle before the command: the synchronous agreement is lost
};
const char* faultName(Fault f);

// When a fault fires, and its arguments.
struct FaultSpec {
    std::uint32_t skip = 0;                      // eligible commands to let pass first
    std::uint32_t times = 0xFFFFFFFF;            // commands it hits, then it is spent
    std::optional<std::uint8_t> opcode;          // only commands with this operation code
    double probability = 1.0;                    // chance per eligible command (machine's seed)
    Phase phase = Phase::DataIn;                 // ParityError, BusFree, Stall
    std::uint32_t byte = 0;                      // byte index within the phase
    Sense sense{sense::HardwareError, 0x44, 0};  // CheckCondition
    std::vector<std::uint8_t> message;     // ExtendedMessage, SurplusMessageBytes, UnknownMessage
    std::int32_t argument = 0;             // ModifyDataPointer
    std::uint8_t lun = 1;                  // ReselectWrongLun
    std::uint64_t durationNs = 1'000'000;  // Stall
    std::uint8_t sdtrPeriod = 50;          // InitiateSdtr
    std::uint8_t sdtrOffset = 8;
};

// Synchronous agreement with the initiator: offset 0 means asynchronous.
struct SyncAgreement {
    std::uint8_t offset = 0;
    std::uint8_t periodFactor = 0;  // period = factor x 4 ns
    std::uint32_t periodNs() const { return periodFactor * 4u; }
    bool operator==(const SyncAgreement&) const = default;
};

struct TargetSettings {
    std::uint8_t id = 0;
    std::vector<std::uint8_t> luns{0};  // LUNs that exist
    std::string vendor = "CBUSSIM";
    std::string product = "VIRTUAL DEVICE";
    std::string revision = "1.0";
    std::uint8_t maxSyncOffset = 8;         // 0: not synchronous-capable (rejects SDTR)
    std::uint8_t minSyncPeriodFactor = 50;  // 25 for a Fast SCSI device
    bool disconnects = true;                // disconnects for slow work when allowed
    std::uint64_t commandOverheadNs = 100'000;
    std::uint64_t reselectDelayNs = 200'000;          // bus free to reselection, at least
    std::uint64_t disconnectThresholdNs = 1'000'000;  // work at least this long disconnects
};

// One command as the target received it.
struct Command {
    std::uint8_t lun = 0;
    std::vector<std::uint8_t> cdb;
    std::uint8_t opcode() const { return cdb.empty() ? 0 : cdb[0]; }
};

class Target {
  public:
    Target(Bus& bus, TargetSettings settings);
    virtual ~Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    std::uint8_t id() const { return settings_.id; }
    const TargetSettings& settings() const { return settings_; }
    SyncAgreement agreement() const { return agreement_; }
    void setAgreement(SyncAgreement a) { agreement_ = a; }
    bool connected() const { return connected_; }
    // Commands completed (status sent) since attach: lets a test wait for the target.
    std::uint64_t commandsDone() const { return commandsDone_; }
    const Sense& pendingSense(std::uint8_t lun) const;

    // Arms a misbehaviour switch; a second call for the same fault replaces it.
    void fail(Fault fault, FaultSpec trigger = {});
    void clearFault(Fault fault);
    void clearFaults();

    // ---- bus side: called by Bus only ----
    bool answersSelection();
    void selected(bool atn);
    void reselectionAccepted();
    void arbitrationWon();
    void handshake(std::span<std::uint8_t> in, std::span<const std::uint8_t> out, Ack ack);
    void ackNegated();
    void initiatorLeft();
    void busReset();
    // Bytes the current REQ starts without a pause, and the first bad-parity index among them.
    std::size_t runLength() const;
    std::optional<std::size_t> runParityError(std::size_t length) const;
    // The initiator drove a data phase with a setting this target did not agree to.
    void dataOutGarbled();

  protected:
    // A device kind interprets a command whose LUN exists: queue actions with the calls below.
    virtual void execute(const Command& cmd) = 0;
    virtual DeviceType deviceType() const = 0;
    virtual bool removable() const { return false; }
    // Bytes of a standard INQUIRY answer (the base fills in the common layout).
    virtual std::vector<std::uint8_t> inquiryData(std::uint8_t lun);
    // Whether the device kind answers every LUN (the phantom-LUN CD-ROM does).
    virtual bool lunExists(std::uint8_t lun) const;

    // ---- interpreter vocabulary ----
    // Work that takes `ns` before the data or status: a disconnect point when it is long enough
    // and the initiator allowed it, else the target stays connected and waits.
    void work(std::uint64_t ns);
    void dataIn(std::vector<std::uint8_t> bytes);
    void dataOut(std::size_t count, std::function<void(std::vector<std::uint8_t>)> done);
    // Status, then COMMAND COMPLETE, then bus free. Sense is kept for REQUEST SENSE.
    void complete(std::uint8_t statusByte);
    void good() { complete(status::Good); }
    void checkCondition(Sense s);
    // Common commands every device kind answers: TEST UNIT READY, INQUIRY, REQUEST SENSE.
    // Returns false when the operation code is not one of them.
    bool executeCommon(const Command& cmd);

    // ---- raw sequencer actions (scripted targets) ----
    // What a fresh selection queues; the default takes a command (after any message out).
    virtual void onSelected();
    void sendBytes(Phase phase, std::vector<std::uint8_t> bytes);
    void sendMessageIn(std::vector<std::uint8_t> bytes, bool disconnectTail = false);
    void receiveBytes(Phase phase, std::size_t count,
                      std::function<void(std::vector<std::uint8_t>)> done);
    void freeBus(bool disconnectTail = false);
    void waitFor(std::uint64_t ns, bool disconnectTail = false);
    void reselect(bool disconnectTail = false);
    void call(std::function<void()> fn);

    Bus& bus_;
    Machine& machine_;
    TargetSettings settings_;
    const Command& current() const { return command_; }
    void trace(const char* event, std::initializer_list<std::uint32_t> values = {},
               std::string text = {});

  private:
    struct Action {
        enum class Kind {
            Send,
            Receive,
            ReceiveCommand,
            ReceiveMessage,
            Free,
            Wait,
            Reselect,
            Call
        };
        Kind kind = Kind::Call;
        Phase phase = Phase::MessageIn;
        std::vector<std::uint8_t> bytes;  // to send, or received so far
        std::size_t count = 0;            // bytes to move
        std::size_t pos = 0;
        std::optional<std::size_t> badParity;  // byte index sent with bad parity
        bool disconnectTail = false;           // part of a disconnect that a reject cancels
        bool isMessage = false;
        std::uint64_t ns = 0;
        std::function<void(std::vector<std::uint8_t>)> received;
        std::function<void()> call;
    };
    enum class Wait { Nothing, Run, Req, AckNegate, Timer, Bus };

    // sequencer
    void kick();
    void run();
    void push(Action a) { queue_.push_back(std::move(a)); }
    void pushFront(std::vector<Action> actions);
    // DISCONNECT (after SAVE DATA POINTER if asked), bus free, `workNs` (at least the
    // reselection delay), reselection and IDENTIFY; nothing but the wait without privilege.
    void disconnectHere(bool saveDataPointer, std::uint64_t workNs);
    void restoreSuspended();
    void completeAction();
    void abandonNexus(const char* why);
    void reselectTimedOut();

    // protocol
    void messageOutReceived(const std::vector<std::uint8_t>& bytes);
    void commandReceived(std::vector<std::uint8_t> cdb);
    void sdtrReceived(std::uint8_t period, std::uint8_t offset);
    void messageRejected();
    void powerCycle();

    // faults
    bool fires(Fault f);
    void armFaultsForCommand();
    void spendParityError();
    void noteMessageSent(const Action& a);
    void forgetMessages();
    static bool offersSdtr(const std::vector<std::uint8_t>& bytes);
    const FaultSpec* active(Fault f) const;
    bool stallsInMessageOut(std::size_t bytesTaken);

    Command command_;
    std::deque<Action> queue_;
    Wait waiting_ = Wait::Nothing;
    EventId timer_;
    EventId reselectTimeout_;
    bool connected_ = false;
    bool kicked_ = false;
    bool inMessageOut_ = false;
    bool identified_ = false;
    bool disconnectAllowed_ = false;
    bool reselectWithoutIdentify_ = false;
    static constexpr std::uint8_t kSdtrSent = 0xFE;  // lastMessageSent_ for an extended SDTR
    static constexpr std::uint8_t kWdtrSent = 0xFD;  // and for an extended WDTR
    static constexpr std::uint8_t kNoMessage = 0xFF;
    std::uint8_t lastMessageSent_ = kNoMessage;
    bool pendingSdtrAnswered_ = false;
    bool dataMoved_ = false;
    std::deque<Action> suspended_;  // a disconnected nexus while another selection is served
    Command suspendedCommand_;
    std::vector<std::uint8_t> lastMessageBytes_;
    std::uint8_t initiatorId_ = 7;
    SyncAgreement agreement_;
    std::map<std::uint8_t, Sense> sense_;
    std::uint64_t commandsDone_ = 0;
    std::uint64_t commandsSeen_ = 0;

    struct Armed {
        FaultSpec trigger;
        std::uint32_t eligibleSeen = 0;
        std::uint32_t fired = 0;
    };
    std::map<Fault, Armed> faults_;
    std::map<Fault, FaultSpec> firing_;  // faults hitting the current command
    std::uint64_t generation_ = 0;       // bumped when a nexus is abandoned
};

}  // namespace cbus::scsi
