// The request engine's test fixture: a plain-mode adapter with an identity id map, every target
// asynchronous, requests with names and buffers, and interrupts scripted one chip status each.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "driver/engine/scsi_protocol.h"
#include "tests/support/driver_fixture.h"

namespace cbus::test {

class EngineTest : public DriverTest {
  protected:
    // A value of a packed record's field, so that a check binds no misaligned reference.
    template <typename T>
    static T copy(T value) {
        return value;
    }

    EngineTest() {
        adapter.AdapterMode = ADAPTER_MODE_PLAIN;
        adapter.InitiatorId = 7;
        for (UCHAR t = 0; t < HBA_MAX_TARGETS; t++) {
            adapter.TargetIdMap[t] = t;
            adapter.TargetIdReverse[t] = t;
            adapter.TargetSync[t].SyncPeriod = SYNC_PERIOD_ASYNC;
            for (UCHAR l = 0; l < HBA_MAX_LUNS; l++) {
                adapter.DeviceType[t][l] = DEVICE_NOT_PRESENT;
                adapter.BurstSize[t][l] = BURST_SIZE_DEFAULT;
            }
        }
        // Idle controller, data register always ready.
        host.aux().value = AUX_DBR;
    }

    // A named request with a buffer of Length bytes (kept by the fixture).
    PSCSI_REQUEST_BLOCK request(const std::string& name, UCHAR target, UCHAR lun, UCHAR opcode,
                                ULONG flags = 0, ULONG length = 0) {
        srbs_.push_back(makeSrb(target, lun, opcode, flags, length));
        PSCSI_REQUEST_BLOCK srb = &srbs_.back();
        buffers_.emplace_back(length, 0);
        srb->DataBuffer = length != 0 ? buffers_.back().data() : nullptr;
        host.name(srb, name);
        return srb;
    }

    PSCSI_REQUEST_BLOCK message(const std::string& name, UCHAR function, UCHAR target, UCHAR lun) {
        PSCSI_REQUEST_BLOCK srb = request(name, target, lun, 0);
        srb->Function = function;
        srb->CdbLength = 0;
        return srb;
    }

    // Scripts one interrupt: INT, then the command phase and the chip status as the routine
    // reads them.
    BOOLEAN interrupt(UCHAR status, UCHAR commandPhase = 0) {
        host.aux().queue.push_back(AUX_INT | AUX_DBR);
        host.reg(REG_COMMAND_PHASE).queue.push_back(commandPhase);
        host.reg(REG_SCSI_STATUS).queue.push_back(status);
        return HbaInterrupt(&adapter);
    }

    // The unit connected with Srb as its active request, its data from the buffer's start.
    PHW_LU_EXTENSION connect(PSCSI_REQUEST_BLOCK srb, ULONG busState = BUS_CONNECTED) {
        PHW_LU_EXTENSION unit = host.addUnit(srb->TargetId, srb->Lun);
        unit->ActiveSrb = srb;
        unit->SavedDataPointer = static_cast<PUCHAR>(srb->DataBuffer);
        unit->SavedDataLength = srb->DataTransferLength;
        adapter.ActiveLuExtension = unit;
        adapter.TargetId = srb->TargetId;
        adapter.CurrentDataPointer = unit->SavedDataPointer;
        adapter.CurrentDataLength = unit->SavedDataLength;
        adapter.BusState = busState;
        return unit;
    }

    void setMessage(std::vector<UCHAR> bytes) {
        for (size_t i = 0; i < bytes.size(); i++) {
            adapter.MessageBuffer[i] = bytes[i];
        }
        adapter.MessageCount = static_cast<UCHAR>(bytes.size());
        adapter.MessageIndex = 0;
    }

    std::vector<UCHAR> queued() const {
        return std::vector<UCHAR>(adapter.MessageBuffer,
                                  adapter.MessageBuffer + adapter.MessageCount);
    }

    std::vector<ULONG> errorIds() const {
        std::vector<ULONG> ids;
        for (const LoggedError& e : host.errors()) {
            ids.push_back(e.uniqueId);
        }
        return ids;
    }

    std::vector<UCHAR>& bufferOf(PSCSI_REQUEST_BLOCK srb) {
        for (auto& b : buffers_) {
            if (!b.empty() && b.data() == srb->DataBuffer) {
                return b;
            }
        }
        return buffers_.front();
    }

  private:
    std::deque<SCSI_REQUEST_BLOCK> srbs_;
    std::deque<std::vector<UCHAR>> buffers_;
};

}  // namespace cbus::test
