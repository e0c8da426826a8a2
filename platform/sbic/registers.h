#pragma once

// The bus controller's own vocabulary (WD33C93 family): register numbers, field bits,
// command codes and SCSI STATUS codes, named after the chip's documentation.

#include <cstdint>

namespace cbus::sbic {

namespace reg {
inline constexpr std::uint8_t OwnId = 0x00;  // own id / CDB size
inline constexpr std::uint8_t Control = 0x01;
inline constexpr std::uint8_t Timeout = 0x02;  // selection time-out period
inline constexpr std::uint8_t Cdb1 = 0x03;     // CDB1..CDB12: 0x03..0x0E
inline constexpr std::uint8_t Cdb12 = 0x0E;
inline constexpr std::uint8_t TargetLun = 0x0F;
inline constexpr std::uint8_t CommandPhase = 0x10;
inline constexpr std::uint8_t Sync = 0x11;       // synchronous transfer
inline constexpr std::uint8_t CountHigh = 0x12;  // transfer count, MSB first
inline constexpr std::uint8_t CountMid = 0x13;
inline constexpr std::uint8_t CountLow = 0x14;
inline constexpr std::uint8_t DestinationId = 0x15;
inline constexpr std::uint8_t SourceId = 0x16;
inline constexpr std::uint8_t ScsiStatus = 0x17;
inline constexpr std::uint8_t Command = 0x18;
inline constexpr std::uint8_t Data = 0x19;
inline constexpr std::uint8_t QueueTag = 0x1A;   // 93B only
inline constexpr std::uint8_t AuxStatus = 0x1F;  // direct addressing only
}  // namespace reg

namespace ownid {
inline constexpr std::uint8_t FsMask = 0xC0;  // input clock divisor select
inline constexpr std::uint8_t Fs3 = 0x40;     // divide by 3
inline constexpr std::uint8_t Fs4 = 0x80;     // divide by 4
inline constexpr std::uint8_t Raf = 0x20;     // really advanced features (93B)
inline constexpr std::uint8_t Ehp = 0x10;     // enable host parity
inline constexpr std::uint8_t Eaf = 0x08;     // enable advanced features
inline constexpr std::uint8_t IdMask = 0x07;
inline constexpr std::uint8_t CdbSizeMask = 0x0F;
}  // namespace ownid

namespace control {
inline constexpr std::uint8_t DmaMask = 0xE0;
inline constexpr std::uint8_t DmaPolled = 0x00;
inline constexpr std::uint8_t DmaBurst = 0x20;
inline constexpr std::uint8_t DmaWdBus = 0x40;
inline constexpr std::uint8_t DmaSingle = 0x80;
inline constexpr std::uint8_t Hhp = 0x10;  // halt on host parity error
inline constexpr std::uint8_t Edi = 0x08;  // ending disconnect interrupt
inline constexpr std::uint8_t Idi = 0x04;  // intermediate disconnect interrupt
inline constexpr std::uint8_t Ha = 0x02;   // halt on ATN (target)
inline constexpr std::uint8_t Hsp = 0x01;  // halt on SCSI parity error
}  // namespace control

namespace sync {
inline constexpr std::uint8_t Fss = 0x80;  // fast SCSI (93B)
inline constexpr std::uint8_t PeriodMask = 0x70;
inline constexpr std::uint8_t OffsetMask = 0x0F;
}  // namespace sync

namespace destid {
inline constexpr std::uint8_t Scc = 0x80;
inline constexpr std::uint8_t Dpd = 0x40;  // data phase direction: 1 = in
inline constexpr std::uint8_t IdMask = 0x07;
}  // namespace destid

namespace srcid {
inline constexpr std::uint8_t Er = 0x80;   // enable reselection
inline constexpr std::uint8_t Es = 0x40;   // enable selection
inline constexpr std::uint8_t Dsp = 0x20;  // disable select parity
inline constexpr std::uint8_t Siv = 0x08;  // source id valid
inline constexpr std::uint8_t IdMask = 0x07;
}  // namespace srcid

namespace targetlun {
inline constexpr std::uint8_t Tlv = 0x80;
inline constexpr std::uint8_t Dok = 0x40;
inline constexpr std::uint8_t LunMask = 0x07;
}  // namespace targetlun

namespace aux {
inline constexpr std::uint8_t Int = 0x80;  // interrupt pending
inline constexpr std::uint8_t Lci = 0x40;  // last command ignored
inline constexpr std::uint8_t Bsy = 0x20;  // level II command executing
inline constexpr std::uint8_t Cip = 0x10;  // command in progress
inline constexpr std::uint8_t Pe = 0x02;   // parity error
inline constexpr std::uint8_t Dbr = 0x01;  // data buffer ready
}  // namespace aux

namespace cmd {
inline constexpr std::uint8_t Sbt = 0x80;  // single-byte transfer
inline constexpr std::uint8_t Mask = 0x7F;
inline constexpr std::uint8_t Reset = 0x00;
inline constexpr std::uint8_t Abort = 0x01;
inline constexpr std::uint8_t AssertAtn = 0x02;
inline constexpr std::uint8_t NegateAck = 0x03;
inline constexpr std::uint8_t Disconnect = 0x04;
inline constexpr std::uint8_t Reselect = 0x05;
inline constexpr std::uint8_t SelectAtn = 0x06;
inline constexpr std::uint8_t Select = 0x07;
inline constexpr std::uint8_t SelectAtnTransfer = 0x08;
inline constexpr std::uint8_t SelectTransfer = 0x09;
inline constexpr std::uint8_t ReselectReceive = 0x0A;
inline constexpr std::uint8_t ReselectSend = 0x0B;
inline constexpr std::uint8_t WaitSelectReceive = 0x0C;
inline constexpr std::uint8_t SendStatusCc = 0x0D;
inline constexpr std::uint8_t SendDisconnect = 0x0E;
inline constexpr std::uint8_t SetIdi = 0x0F;
inline constexpr std::uint8_t ReceiveCommand = 0x10;
inline constexpr std::uint8_t SendUnspecifiedIn = 0x17;
inline constexpr std::uint8_t TranslateAddress = 0x18;
inline constexpr std::uint8_t TransferPad = 0x19;
inline constexpr std::uint8_t TransferInfo = 0x20;
}  // namespace cmd

// SCSI STATUS codes. Codes with a phase carry it in bits 2-0 (MSG, C/D, I/O).
namespace status {
inline constexpr std::uint8_t Reset = 0x00;
inline constexpr std::uint8_t ResetAdvanced = 0x01;
inline constexpr std::uint8_t ReselectDone = 0x10;
inline constexpr std::uint8_t SelectDone = 0x11;
inline constexpr std::uint8_t TargetDone = 0x13;
inline constexpr std::uint8_t TranslateDone = 0x15;
inline constexpr std::uint8_t SelectTransferDone = 0x16;
inline constexpr std::uint8_t TransferDone = 0x18;     // | phase of the next REQ
inline constexpr std::uint8_t MessageInPaused = 0x20;  // ACK held
inline constexpr std::uint8_t SaveDataPointer = 0x21;  // ACK held, phase 0x41
inline constexpr std::uint8_t SelectAborted = 0x22;
inline constexpr std::uint8_t ReselectedWrongNexus = 0x27;  // advanced mode
inline constexpr std::uint8_t Aborted = 0x28;               // | phase
inline constexpr std::uint8_t InvalidCommand = 0x40;
inline constexpr std::uint8_t UnexpectedDisconnect = 0x41;
inline constexpr std::uint8_t Timeout = 0x42;
inline constexpr std::uint8_t ParityError = 0x43;
inline constexpr std::uint8_t ParityErrorAtn = 0x44;
inline constexpr std::uint8_t TranslateOverflow = 0x45;
inline constexpr std::uint8_t ReselectedWrongTarget = 0x46;  // normal mode
inline constexpr std::uint8_t BadStatusByte = 0x47;
inline constexpr std::uint8_t UnexpectedPhase = 0x48;     // | phase
inline constexpr std::uint8_t Reselected = 0x80;          // normal mode, no IDENTIFY yet
inline constexpr std::uint8_t ReselectedAdvanced = 0x81;  // IDENTIFY in DATA, ACK held
inline constexpr std::uint8_t Disconnected = 0x85;
inline constexpr std::uint8_t Request = 0x88;  // | phase
}  // namespace status

// COMMAND PHASE values of Select-and-Transfer.
namespace phase {
inline constexpr std::uint8_t NotSelected = 0x00;
inline constexpr std::uint8_t Selected = 0x10;
inline constexpr std::uint8_t IdentifySent = 0x20;
inline constexpr std::uint8_t CommandStarted = 0x30;  // + CDB bytes sent
inline constexpr std::uint8_t SaveDataPointer = 0x41;
inline constexpr std::uint8_t DisconnectReceived = 0x42;
inline constexpr std::uint8_t Disconnected = 0x43;
inline constexpr std::uint8_t Reselected = 0x44;
inline constexpr std::uint8_t IdentifyReceived = 0x45;
inline constexpr std::uint8_t DataDone = 0x46;
inline constexpr std::uint8_t StatusStarted = 0x47;
inline constexpr std::uint8_t StatusReceived = 0x50;
inline constexpr std::uint8_t CommandComplete = 0x60;
}  // namespace phase

}  // namespace cbus::sbic
