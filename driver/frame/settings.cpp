// The driver-wide settings and constant texts.
#include "driver/frame/hba.h"

// The values an image starts with. Constant-initialized: no static constructor runs.
#define HBA_INITIAL_SETTINGS                                                                      \
    {                                                                                             \
        /*ClockDivisor*/ 0, /*SelectionTimeout*/ 128, /*MaxSyncOffset*/ 12, /*MinSyncPeriod*/ 50, \
            /*InterruptVectorSetting*/ 13, /*InterfaceTypeSetting*/ CBus,                         \
            /*DmaWidthSetting*/ Width8Bits, /*DmaSpeedSetting*/ Compatible,                       \
            /*ParityCheckEnabled*/ 1, /*ByteModeTable*/ {}, /*CdrOption*/ 0,                      \
            /*BurstSizeOption*/ 0, /*BoardDmaChannel*/ 0, /*BoardPortBase*/ 0,                    \
            /*BoardInterruptLevel*/ 0,                                                            \
    }

const HBA_DRIVER_SETTINGS HbaInitialSettings = HBA_INITIAL_SETTINGS;
HBA_DRIVER_SETTINGS HbaSettings = HBA_INITIAL_SETTINGS;

const char HbaQuirkProductId[] = "CD-ROM QV-72T";
const char HbaIoctlSignature[8] = {'D', 'O', 'Z', 'I', 'Z', 'A', 'V', 'A'};
const char HbaKeywordDiscon[] = "/discon";
const char HbaKeywordNodisc[] = "/nodisc";
const char HbaKeywordAsync[] = "/async";
const char HbaKeywordFifomax[] = "/fifomax";
const char HbaKeywordSmitmin[] = "/smitmin";
const char HbaKeywordCdr[] = "/cdr";
