// The fixture of driver unit tests: a recording host bound to the port services, fresh driver
// settings, and a zero-filled adapter record whose ports are at the host's I/O base.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"
#include "platform/port/driver_image.h"
#include "tests/support/recording_host.h"

namespace cbus::test {

class DriverTest : public ::testing::Test {
  protected:
    DriverTest() : binding_(host) {
        port::restoreDriverSettings();
        std::memset(&adapter, 0, sizeof(adapter));
        adapter.BaseIoAddress = host.ioBasePointer();
    }

    ~DriverTest() override {
        EXPECT_TRUE(host.violations().empty())
            << "the driver misused a port service: " << host.violations().front();
    }

    // A zero-filled request with the fields most tests set.
    static SCSI_REQUEST_BLOCK makeSrb(UCHAR target, UCHAR lun, UCHAR opcode, ULONG flags,
                                      ULONG length = 0) {
        SCSI_REQUEST_BLOCK srb;
        std::memset(&srb, 0, sizeof(srb));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.TargetId = target;
        srb.Lun = lun;
        srb.Cdb[0] = opcode;
        srb.CdbLength = 10;
        srb.SrbFlags = flags;
        srb.DataTransferLength = length;
        return srb;
    }

    RecordingHost host;
    HW_DEVICE_EXTENSION adapter;

  private:
    port::PortBinding binding_;
};

}  // namespace cbus::test
