// Moving bytes: programmed I/O through DATA with DBR, and blocks of handshakes on the DMA
// side, timed at the slower of the bus and the host path.
#include <algorithm>

#include "platform/sbic/sbic.h"

namespace cbus::sbic {

using scsi::Ack;
using scsi::Phase;

void Sbic::resumeSelectAndTransfer() {
    running_ = Running::SelectAndTransfer;
    const std::uint8_t cp = regs_.commandPhase;
    trace("resume", {cp});
    xfer_ = {};
    link_.wrongNexus = false;
    switch (cp) {
        case phase::IdentifySent:
        case phase::SaveDataPointer:
        case phase::IdentifyReceived:
        case phase::StatusReceived:
        case phase::CommandComplete:
            bus_.negateAck();  // implied Negate ACK
            break;
        case phase::DisconnectReceived:
            bus_.negateAck();
            wait_ = Wait::BusFree;
            return;
        case phase::CommandStarted:
            cdbSent_ = 0;
            break;
        default:
            break;
    }
    if (cp == phase::CommandComplete) {
        if (regs_.control & control::Edi) {
            wait_ = Wait::BusFree;
        } else {
            endCommand();
            interrupt(status::SelectTransferDone);
        }
        return;
    }
    wait_ = Wait::Req;
    link_.reqReported = false;
    if (bus_.req() && !bus_.ackHeld()) {
        process([this] {
            if (wait_ == Wait::Req && running_ == Running::SelectAndTransfer) {
                onRequest();
            }
        });
    }
}

void Sbic::transferRequest(Phase ph) {
    const bool ti = running_ == Running::TransferInfo || running_ == Running::TransferPad;
    if (!xfer_.started) {
        xfer_.started = true;
        xfer_.phase = ph;
        xfer_.inbound = scsi::isInbound(ph);
        xfer_.pio = !(scsi::isDataPhase(ph) && (dmaMode() || running_ == Running::TransferPad));
    } else if (ph != xfer_.phase || xfer_.done) {
        if (!ti) {
            unexpectedPhase(ph);  // a data phase again after the count was used up
            return;
        }
        if (xfer_.done) {
            endCommand();
            link_.reqReported = true;
            interrupt(status::TransferDone | static_cast<std::uint8_t>(ph));
        } else {
            terminate(status::UnexpectedPhase | static_cast<std::uint8_t>(ph));
        }
        return;
    }
    if (xfer_.pio) {
        pioRequest();
    } else {
        startBlock();
    }
}

// ---- programmed I/O ----

void Sbic::pioRequest() {
    link_.reqReported = true;
    if (xfer_.inbound) {
        if (!bus_.dataParityOk()) {
            aux_.pe = true;
            if (regs_.control & control::Hsp) {
                std::uint8_t b = 0;
                bus_.receive(std::span(&b, 1), Ack::Hold);
                regs_.data = b;
                regs_.count -= 1;
                terminate(bus_.atn() ? status::ParityErrorAtn : status::ParityError);
                return;
            }
        }
        if (running_ == Running::TransferPad) {
            std::uint8_t b = 0;
            bus_.receive(std::span(&b, 1), Ack::Release);
            regs_.count -= 1;
            byteMoved();
            return;
        }
        regs_.data = bus_.data();
        aux_.dbr = true;
        wait_ = Wait::HostByte;
        return;
    }
    if (running_ == Running::TransferPad) {
        xfer_.pending = 0;
        xfer_.hasPending = true;
        sendPending();
        return;
    }
    if (xfer_.hasPending) {
        sendPending();
        return;
    }
    aux_.dbr = true;
    wait_ = Wait::HostByte;
}

void Sbic::hostReadData() {
    aux_.dbr = false;
    const bool last = regs_.count <= 1;
    const bool hold = last && xfer_.phase == Phase::MessageIn && running_ == Running::TransferInfo;
    std::uint8_t b = 0;
    bus_.receive(std::span(&b, 1), hold ? Ack::Hold : Ack::Release);
    link_.reqReported = false;
    regs_.count -= 1;
    byteMoved();
}

void Sbic::hostWriteData(std::uint8_t v) {
    aux_.dbr = false;
    xfer_.pending = v;
    xfer_.hasPending = true;
    if (wait_ == Wait::HostByte && bus_.req() && bus_.phase() == xfer_.phase) {
        sendPending();
    }
}

void Sbic::sendPending() {
    const bool last = regs_.count <= 1;
    if (last && xfer_.phase == Phase::MessageOut && running_ == Running::TransferInfo) {
        bus_.setAtn(false);  // dropped just before the last message byte
    }
    const std::uint8_t b = xfer_.pending;
    xfer_.hasPending = false;
    bus_.send(std::span(&b, 1), Ack::Release);
    link_.reqReported = false;
    regs_.count -= 1;
    byteMoved();
}

void Sbic::byteMoved() {
    if (regs_.count == 0) {
        transferCompleted();
    } else {
        wait_ = Wait::Req;
    }
}

void Sbic::transferCompleted() {
    xfer_.done = true;
    aux_.dbr = false;
    if (running_ == Running::SelectAndTransfer) {
        regs_.commandPhase = phase::DataDone;
        wait_ = Wait::Req;
        return;
    }
    if (xfer_.phase == Phase::MessageIn) {
        endCommand();
        link_.reqReported = true;
        interrupt(status::MessageInPaused);  // ACK held on the last byte
        return;
    }
    wait_ = Wait::Req;  // completion is reported with the next REQ
}

// ---- blocks on the DMA side ----

void Sbic::startBlock() {
    link_.reqReported = true;
    const std::uint32_t remaining = regs_.count;
    const scsi::TransferSetting setting = transferSetting();
    const scsi::Burst burst = bus_.burst(setting, remaining);
    if (burst.length == 0) {
        wait_ = Wait::Req;  // the target gave up the phase
        link_.reqReported = false;
        return;
    }
    const bool pad = running_ == Running::TransferPad;
    const std::size_t capacity = pad ? burst.length : host_.dmaCapacity(xfer_.inbound);
    if (capacity == 0) {
        wait_ = Wait::HostPath;
        return;
    }
    std::size_t n = std::min<std::size_t>(burst.length, capacity);
    holdAtBlockEnd_ = false;
    xfer_.blockParity.reset();
    if (burst.parityError && *burst.parityError < n) {
        xfer_.blockParity = burst.parityError;
        if (regs_.control & control::Hsp) {
            n = *burst.parityError + 1;
            holdAtBlockEnd_ = true;
        }
    }
    const std::uint64_t pace =
        std::max<std::uint64_t>(burst.nsPerByte, pad ? 0 : host_.dmaNsPerByte());
    xfer_.blockStart = machine_.now();
    xfer_.nsPerByte = std::max<std::uint64_t>(pace, 1);
    xfer_.blockLength = n;
    xfer_.blockDone = 0;
    wait_ = Wait::Block;
    trace("block", {static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(xfer_.nsPerByte),
                    static_cast<std::uint32_t>(xfer_.phase)});
    const auto gen = generation_;
    xfer_.blockEnd = machine_.scheduler().schedule(n * xfer_.nsPerByte, [this, gen] {
        xfer_.blockEnd = {};
        if (gen == generation_) {
            finishBlock();
        }
    });
}

void Sbic::moveBlockBytes(std::size_t n) {
    if (n == 0) {
        return;
    }
    const bool final = xfer_.blockDone + n == xfer_.blockLength;
    const Ack ack = !final ? Ack::Stream : (holdAtBlockEnd_ ? Ack::Hold : Ack::Release);
    std::vector<std::uint8_t> bytes(n, 0);
    const bool pad = running_ == Running::TransferPad;
    if (xfer_.inbound) {
        bus_.receive(bytes, ack);
        if (!pad) {
            host_.dmaToHost(bytes);
        }
    } else {
        if (!pad) {
            host_.dmaFromHost(bytes);
        }
        bus_.send(bytes, ack);
    }
    xfer_.blockDone += n;
    regs_.count -= static_cast<std::uint32_t>(n);
}

void Sbic::catchUp() {
    if (wait_ != Wait::Block) {
        return;
    }
    const std::uint64_t elapsed = machine_.now() - xfer_.blockStart;
    const std::size_t due = std::min<std::size_t>(xfer_.blockLength, elapsed / xfer_.nsPerByte);
    if (due > xfer_.blockDone) {
        moveBlockBytes(due - xfer_.blockDone);
    }
}

void Sbic::finishBlock() {
    moveBlockBytes(xfer_.blockLength - xfer_.blockDone);
    wait_ = Wait::Nothing;
    link_.reqReported = false;
    if (xfer_.blockParity) {
        aux_.pe = true;
        if (holdAtBlockEnd_) {
            terminate(bus_.atn() ? status::ParityErrorAtn : status::ParityError);
            return;
        }
    }
    if (regs_.count == 0) {
        transferCompleted();
        return;
    }
    wait_ = Wait::Req;
    if (bus_.req() && bus_.phase() == xfer_.phase && !bus_.ackHeld()) {
        startBlock();  // the target is still asking: the host path limited the block
    }
}

void Sbic::hostPathReady() {
    if (wait_ == Wait::HostPath) {
        startBlock();
    }
}

DataState Sbic::dataState() const {
    DataState s;
    s.running = aux_.cip || running_ != Running::None;
    s.serial = commandSerial_;
    s.resets = resets_;
    s.remaining = regs_.count;
    // While a new command is being decoded the last transfer is history: the direction is the
    // one the new command was set up with.
    if (!aux_.cip && xfer_.started && scsi::isDataPhase(xfer_.phase)) {
        s.inbound = xfer_.inbound;
    } else if (link_.connected && bus_.req() && scsi::isDataPhase(bus_.phase())) {
        s.inbound = scsi::isInbound(bus_.phase());
    } else {
        s.inbound = (regs_.destinationId & destid::Dpd) != 0;
    }
    return s;
}

}  // namespace cbus::sbic
