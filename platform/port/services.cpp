// The port services the driver calls, forwarded to the bound host.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/port/port_host.h"

namespace cbus::port {
namespace {

// The one binding of the port services: the only global state outside the driver's settings.
PortHost* boundHost = nullptr;

PortHost& host() {
    if (boundHost == nullptr) {
        std::fputs("port services called with no port host bound\n", stderr);
        std::abort();
    }
    return *boundHost;
}

// A memory-space address the driver passes back; anything else is a driver fault.
bool memoryAddress(const void* p, const char* service) {
    if (!isMemoryAddress(p)) {
        host().contractViolation(service);
        return false;
    }
    return true;
}

}  // namespace

PortBinding::PortBinding(PortHost& h) {
    if (boundHost != nullptr) {
        std::fputs("a port host is already bound\n", stderr);
        std::abort();
    }
    boundHost = &h;
}

PortBinding::~PortBinding() {
    boundHost = nullptr;
}

}  // namespace cbus::port

using cbus::port::host;
using cbus::port::memoryAddress;

extern "C" {

ULONG HBA_STDCALL ScsiPortInitialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data,
                                     PVOID hwContext) {
    return host().initialize(argument1, argument2, *data, hwContext);
}

VOID HBA_CDECL ScsiPortNotification(SCSI_NOTIFICATION_TYPE type, PVOID deviceExtension, ...) {
    PSCSI_REQUEST_BLOCK srb = nullptr;
    if (type == RequestComplete) {
        va_list args;
        va_start(args, deviceExtension);
        srb = va_arg(args, PSCSI_REQUEST_BLOCK);
        va_end(args);
    }
    host().notify(type, deviceExtension, srb);
}

PVOID HBA_STDCALL ScsiPortGetLogicalUnit(PVOID deviceExtension, UCHAR pathId, UCHAR targetId,
                                         UCHAR lun) {
    return host().getLogicalUnit(deviceExtension, pathId, targetId, lun);
}

VOID HBA_STDCALL ScsiPortLogError(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId,
                                  UCHAR targetId, UCHAR lun, ULONG errorCode, ULONG uniqueId) {
    host().logError(deviceExtension, srb, pathId, targetId, lun, errorCode, uniqueId);
}

VOID HBA_STDCALL ScsiPortIoMapTransfer(PVOID deviceExtension, PSCSI_REQUEST_BLOCK srb,
                                       PVOID logicalAddress, ULONG length) {
    host().ioMapTransfer(deviceExtension, srb, logicalAddress, length);
}

VOID HBA_STDCALL ScsiPortFlushDma(PVOID deviceExtension) {
    host().flushDma(deviceExtension);
}

UCHAR HBA_STDCALL ScsiPortReadPortUchar(PUCHAR port) {
    return host().readPort(cbus::port::portOf(port));
}

VOID HBA_STDCALL ScsiPortWritePortUchar(PUCHAR port, UCHAR value) {
    host().writePort(cbus::port::portOf(port), value);
}

VOID HBA_STDCALL ScsiPortReadPortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count) {
    host().readPortBuffer(cbus::port::portOf(port), std::span<uint8_t>(buffer, count));
}

VOID HBA_STDCALL ScsiPortWritePortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count) {
    host().writePortBuffer(cbus::port::portOf(port), std::span<const uint8_t>(buffer, count));
}

UCHAR HBA_STDCALL ScsiPortReadRegisterUchar(PUCHAR reg) {
    if (!memoryAddress(reg, "ScsiPortReadRegisterUchar: not a mapped memory address")) {
        return 0xFF;
    }
    return static_cast<UCHAR>(host().readMemory(cbus::port::physicalOf(reg), 1));
}

USHORT HBA_STDCALL ScsiPortReadRegisterUshort(PUSHORT reg) {
    if (!memoryAddress(reg, "ScsiPortReadRegisterUshort: not a mapped memory address")) {
        return 0xFFFF;
    }
    return static_cast<USHORT>(host().readMemory(cbus::port::physicalOf(reg), 2));
}

ULONG HBA_STDCALL ScsiPortReadRegisterUlong(PULONG reg) {
    if (!memoryAddress(reg, "ScsiPortReadRegisterUlong: not a mapped memory address")) {
        return 0xFFFFFFFF;
    }
    return host().readMemory(cbus::port::physicalOf(reg), 4);
}

VOID HBA_STDCALL ScsiPortWriteRegisterUlong(PULONG reg, ULONG value) {
    if (memoryAddress(reg, "ScsiPortWriteRegisterUlong: not a mapped memory address")) {
        host().writeMemory(cbus::port::physicalOf(reg), value, 4);
    }
}

VOID HBA_STDCALL ScsiPortReadRegisterBufferUlong(PULONG reg, PULONG buffer, ULONG count) {
    if (memoryAddress(reg, "ScsiPortReadRegisterBufferUlong: not a mapped memory address")) {
        host().readMemoryWords(cbus::port::physicalOf(reg),
                               std::span<uint8_t>(reinterpret_cast<uint8_t*>(buffer), 4u * count));
    }
}

VOID HBA_STDCALL ScsiPortWriteRegisterBufferUlong(PULONG reg, PULONG buffer, ULONG count) {
    if (memoryAddress(reg, "ScsiPortWriteRegisterBufferUlong: not a mapped memory address")) {
        host().writeMemoryWords(
            cbus::port::physicalOf(reg),
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer), 4u * count));
    }
}

BOOLEAN HBA_STDCALL ScsiPortQueryBlockMove(PVOID) {
    return host().blockMoveAvailable() ? TRUE : FALSE;
}

VOID HBA_STDCALL ScsiPortStallExecution(ULONG delay) {
    host().stall(delay);
}

PVOID HBA_STDCALL ScsiPortGetDeviceBase(PVOID, INTERFACE_TYPE busType, ULONG busNumber,
                                        SCSI_PHYSICAL_ADDRESS address, ULONG length,
                                        BOOLEAN inIoSpace) {
    auto mapped = host().mapDeviceBase(busType, busNumber, static_cast<uint64_t>(address.QuadPart),
                                       length, inIoSpace != FALSE);
    if (!mapped) {
        return nullptr;
    }
    uint64_t value = inIoSpace ? *mapped : (cbus::port::kMemoryTag | *mapped);
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(value));
}

VOID HBA_STDCALL ScsiPortFreeDeviceBase(PVOID, PVOID mappedAddress) {
    host().freeDeviceBase(mappedAddress);
}

SCSI_PHYSICAL_ADDRESS HBA_STDCALL ScsiPortConvertUlongToPhysicalAddress(ULONG address) {
    SCSI_PHYSICAL_ADDRESS result;
    result.QuadPart = address;
    return result;
}

}  // extern "C"
