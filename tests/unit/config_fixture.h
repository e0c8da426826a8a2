// The fixture of the probe and board-setup tests: a configuration record with its six access
// ranges, and a recording host scripted as a board that passes every check of the probe.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/port/port_host.h"
#include "tests/support/driver_fixture.h"

namespace cbus::test {

inline constexpr uint32_t kWindowBase = 0xD0000;
inline constexpr uint8_t kBoardDmaChannel = 1;
inline constexpr uint8_t kBoardInterruptIndex = 1;  // level 5, vector 13
inline constexpr uint8_t kBoardOwnId = 7;

// The address the port services give for a memory-space mapping of this physical address.
inline PUCHAR mappedMemory(uint64_t physical) {
    return reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(port::kMemoryTag | physical));
}

class ConfigTest : public DriverTest {
  protected:
    ConfigTest() {
        std::memset(&config, 0, sizeof(config));
        std::memset(ranges, 0, sizeof(ranges));
        config.Length = sizeof(config);
        config.AdapterInterfaceType = CBus;
        config.NumberOfAccessRanges = ACCESS_RANGE_ENTRIES;
        config.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(&ranges);
        config.DmaChannel = kBoardDmaChannel;
        config.BusInterruptLevel = 5;
        config.InitiatorBusId[0] = 0xFF;
        ranges[0].RangeStart.QuadPart = host.ioBase();
        ranges[0].RangeLength = BOARD_PORT_RANGE;

        host.reg(REG_ECHO).callback = [] { return uint8_t{ECHO_ANSWER}; };
        host.boardStatus().value = kBoardDmaChannel;
        host.readOnly(REG_BOARD_CONFIG);
        host.reg(REG_BOARD_CONFIG).value = (kBoardInterruptIndex << 3) | kBoardOwnId;
        host.reg(REG_WINDOW_SELECT).value = 0;
        windowBoard();
    }

    // Board control bit 3 clear: the driver sets the board up, and the word the window shows at
    // 4098 chooses the path.
    void windowBoard() {
        host.reg(REG_BOARD_CONTROL).value = 0;
        host.setMemoryWord(kWindowBase + WINDOW_BASE_WORD_OFFSET, host.ioBase());
    }
    void fifoBoard() {
        host.reg(REG_BOARD_CONTROL).value = 0;
        host.setMemoryWord(kWindowBase + WINDOW_BASE_WORD_OFFSET, 0x1234);
    }
    // Board control bit 3 set: the firmware chose the path, and register 0x37 reads fifoStatus.
    void firmwareBoard(uint8_t fifoStatus) {
        host.reg(REG_BOARD_CONTROL).value = BOARD_CONTROL_FIRMWARE;
        host.readOnly(REG_FIFO_STATUS);
        host.reg(REG_FIFO_STATUS).value = fifoStatus;
    }

    ULONG probe(const char* argument = nullptr) {
        std::vector<char> text;
        if (argument != nullptr) {
            text.assign(argument, argument + std::strlen(argument) + 1);
        }
        adapter.BaseIoAddress = nullptr;
        again = TRUE;
        return HbaFindAdapter(&adapter, nullptr, nullptr,
                              argument != nullptr ? text.data() : nullptr, &config, &again);
    }

    // Register traffic only, in order.
    std::vector<std::string> registers() const { return host.log({"R", "W", "S=", "BS="}); }

    PORT_CONFIGURATION_INFORMATION config;
    ACCESS_RANGE ranges[ACCESS_RANGE_ENTRIES];
    BOOLEAN again = TRUE;
};

}  // namespace cbus::test
