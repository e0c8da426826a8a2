// DriverEntry's registration, the image loader's fresh settings, and error-log entries.
#include <cstddef>

#include "tests/support/driver_fixture.h"

namespace cbus::test {
namespace {

using FrameTest = DriverTest;

TEST_F(FrameTest, DriverEntryRegistersTheMiniport) {
    int driverObject = 0, registryPath = 0;
    host.initializeResult = 0;
    ULONG result = port::loadDriverImage(&driverObject, &registryPath);

    EXPECT_EQ(result, 0u);
    ASSERT_TRUE(host.registration.has_value());
    const HW_INITIALIZATION_DATA& init = *host.registration;
    EXPECT_EQ(host.initializeArgument1, &driverObject);
    EXPECT_EQ(host.initializeArgument2, &registryPath);
    EXPECT_EQ(host.registrationContext, nullptr);

    EXPECT_EQ(init.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(init.AdapterInterfaceType, CBus);
    EXPECT_EQ(init.HwInitialize, &HbaInitialize);
    EXPECT_EQ(init.HwStartIo, &HbaStartIo);
    EXPECT_EQ(init.HwInterrupt, &HbaInterrupt);
    EXPECT_EQ(init.HwFindAdapter, &HbaFindAdapter);
    EXPECT_EQ(init.HwResetBus, &HbaResetBus);
    EXPECT_EQ(init.HwDmaStarted, &HbaDmaStarted);
    EXPECT_EQ(init.HwAdapterState, &HbaAdapterState);
    EXPECT_EQ(init.DeviceExtensionSize, sizeof(HW_DEVICE_EXTENSION));
    EXPECT_EQ(init.SpecificLuExtensionSize, sizeof(HW_LU_EXTENSION));
    EXPECT_EQ(init.SrbExtensionSize, 0u);
    EXPECT_EQ(init.NumberOfAccessRanges, 6u);
    EXPECT_EQ(init.MapBuffers, TRUE);
    EXPECT_EQ(init.NeedPhysicalAddresses, FALSE);
    EXPECT_EQ(init.TaggedQueuing, FALSE);
    EXPECT_EQ(init.AutoRequestSense, FALSE);
    EXPECT_EQ(init.MultipleRequestPerLu, FALSE);
    EXPECT_EQ(init.ReceiveEvent, FALSE);
    EXPECT_EQ(init.VendorIdLength, 0);
    EXPECT_EQ(init.VendorId, nullptr);
    EXPECT_EQ(init.DeviceIdLength, 0);
    EXPECT_EQ(init.DeviceId, nullptr);
    EXPECT_EQ(init.Reserved, nullptr);

    // Nothing but the registration happens at load time: no port, no mapping, no stall.
    EXPECT_EQ(host.log(), std::vector<std::string>{"initialize"});
}

TEST_F(FrameTest, DriverEntryReturnsThePortDriversStatusUnchanged) {
    for (ULONG status : {0x00000000u, 0xC0000001u, 0xC000000Eu, 0x80000005u}) {
        host.initializeResult = status;
        EXPECT_EQ(port::loadDriverImage(nullptr, nullptr), status);
    }
}

TEST_F(FrameTest, RecordsArePackedAtTheSizesRegistered) {
    // Byte-packed: each record's size is the sum of its fields' widths.
    const size_t p = sizeof(void*);
    EXPECT_EQ(sizeof(HW_LU_EXTENSION), 2 + p + 4 + 4 + p + p + 4 + 1);
    EXPECT_EQ(offsetof(HW_DEVICE_EXTENSION, CommandPhase), 4 + 4 + p + 4 + 4);
    EXPECT_EQ(offsetof(HW_DEVICE_EXTENSION, CurrentDataPointer), 4 + 4 + p + 4 + 4 + 6 + 7);
    EXPECT_EQ(sizeof(HW_DEVICE_EXTENSION), offsetof(HW_DEVICE_EXTENSION, SavedDestinationId) + 1);
    EXPECT_EQ(offsetof(HW_DEVICE_EXTENSION, TargetId),
              offsetof(HW_DEVICE_EXTENSION, TargetSync) + 8 * 4);
}

TEST_F(FrameTest, LoadingTheImageRestoresEveryDriverWideSetting) {
    HbaSettings.ClockDivisor = 2;
    HbaSettings.SelectionTimeout = 7;
    HbaSettings.MaxSyncOffset = 1;
    HbaSettings.MinSyncPeriod = 25;
    HbaSettings.InterruptVectorSetting = 255;
    HbaSettings.ParityCheckEnabled = 0;
    HbaSettings.ByteModeTable[7][7] = 1;
    HbaSettings.CdrOption = 1;
    HbaSettings.BurstSizeOption = 512;
    HbaSettings.BoardDmaChannel = 3;
    HbaSettings.BoardPortBase = 0xCC0;
    HbaSettings.BoardInterruptLevel = 12;

    port::loadDriverImage(nullptr, nullptr);

    EXPECT_EQ(HbaSettings.ClockDivisor, 0u);
    EXPECT_EQ(HbaSettings.SelectionTimeout, 128u);
    EXPECT_EQ(HbaSettings.MaxSyncOffset, 12);
    EXPECT_EQ(HbaSettings.MinSyncPeriod, 50);
    EXPECT_EQ(HbaSettings.InterruptVectorSetting, 13u);
    EXPECT_EQ(HbaSettings.InterfaceTypeSetting, static_cast<ULONG>(CBus));
    EXPECT_EQ(HbaSettings.DmaWidthSetting, static_cast<ULONG>(Width8Bits));
    EXPECT_EQ(HbaSettings.DmaSpeedSetting, static_cast<ULONG>(Compatible));
    EXPECT_EQ(HbaSettings.ParityCheckEnabled, 1u);
    EXPECT_EQ(HbaSettings.ByteModeTable[7][7], 0);
    EXPECT_EQ(HbaSettings.CdrOption, 0u);
    EXPECT_EQ(HbaSettings.BurstSizeOption, 0u);
    EXPECT_EQ(HbaSettings.BoardDmaChannel, 0u);
    EXPECT_EQ(HbaSettings.BoardPortBase, 0u);
    EXPECT_EQ(HbaSettings.BoardInterruptLevel, 0u);
}

TEST_F(FrameTest, ConstantTextsOfTheDriver) {
    EXPECT_STREQ(HbaQuirkProductId, "CD-ROM QV-72T");
    EXPECT_EQ(std::string(HbaIoctlSignature, 8), "DOZIZAVA");
    EXPECT_STREQ(HbaKeywordDiscon, "/discon");
    EXPECT_STREQ(HbaKeywordNodisc, "/nodisc");
    EXPECT_STREQ(HbaKeywordAsync, "/async");
    EXPECT_STREQ(HbaKeywordFifomax, "/fifomax");
    EXPECT_STREQ(HbaKeywordSmitmin, "/smitmin");
    EXPECT_STREQ(HbaKeywordCdr, "/cdr");
}

// Which request an error-log entry names.
struct LogCase {
    const char* name;
    bool unitConnected;
    bool unitHasActive;
    bool unitHasMessage;
    bool pending;
    const char* expected;
};

class ErrorLogTest : public DriverTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(ErrorLogTest, NamesTheRequestTheFailureBelongsTo) {
    const LogCase& c = GetParam();
    SCSI_REQUEST_BLOCK active = makeSrb(3, 1, 0x28, SRB_FLAGS_DATA_IN);
    SCSI_REQUEST_BLOCK message = makeSrb(3, 1, 0, 0);
    SCSI_REQUEST_BLOCK held = makeSrb(5, 2, 0x00, 0);
    active.PathId = message.PathId = held.PathId = 0;
    host.name(&active, "active");
    host.name(&message, "message");
    host.name(&held, "held");

    adapter.InitiatorId = 7;
    PHW_LU_EXTENSION unit = host.addUnit(3, 1);
    if (c.unitConnected) {
        adapter.ActiveLuExtension = unit;
    }
    unit->ActiveSrb = c.unitHasActive ? &active : nullptr;
    unit->MessageSrb = c.unitHasMessage ? &message : nullptr;
    adapter.PendingSrb = c.pending ? &held : nullptr;

    HbaLogError(&adapter, SP_BUS_TIME_OUT, ERROR_ID_TRANSFER_INFO_TIMEOUT);

    EXPECT_EQ(host.log({"log"}), std::vector<std::string>{c.expected});
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ErrorLogTest,
    ::testing::Values(
        LogCase{"ConnectedExecute", true, true, true, true, "log active 0:3:1 code=4 id=21"},
        LogCase{"ConnectedMessageOnly", true, false, true, true, "log message 0:3:1 code=4 id=21"},
        // A connected unit with nothing: no request, even when another is held.
        LogCase{"ConnectedNothing", true, false, false, true, "log none 0:7:0 code=4 id=21"},
        LogCase{"HeldOnly", false, true, false, true, "log held 0:5:2 code=4 id=21"},
        LogCase{"Nothing", false, false, false, false, "log none 0:7:0 code=4 id=21"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FrameTest, ErrorLogPassesCodeAndIdThrough) {
    adapter.InitiatorId = 6;
    HbaLogError(&adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_INTERRUPT_LIMIT);
    HbaLogError(&adapter, SP_PROTOCOL_ERROR, ERROR_ID_NO_STATUS_BYTE);
    ASSERT_EQ(host.errors().size(), 2u);
    EXPECT_EQ(host.errors()[0].errorCode, static_cast<ULONG>(SP_INTERNAL_ADAPTER_ERROR));
    EXPECT_EQ(host.errors()[0].uniqueId, 1u);
    EXPECT_EQ(host.errors()[1].errorCode, static_cast<ULONG>(SP_PROTOCOL_ERROR));
    EXPECT_EQ(host.errors()[1].uniqueId, 20u);
    EXPECT_EQ(host.errors()[1].targetId, 6);
}

}  // namespace
}  // namespace cbus::test
