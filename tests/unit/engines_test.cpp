// The data transfer engines: FIFO port, memory window, Transfer Info, and the deferred start.
#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"

namespace cbus::test {
namespace {

using Log = std::vector<std::string>;

// The records are packed: compare copies of their fields, never references to them.
template <class T>
T field(T value) {
    return value;
}
using Bytes = std::vector<UCHAR>;

constexpr uint64_t kWindowData = 0xD1000;  // the data area of a window at 0xD0000
constexpr size_t kGuard = 16;              // bytes past the transfer that must stay untouched
constexpr UCHAR kUntouched = 0xA5;

Bytes pattern(size_t length, UCHAR seed = 0) {
    Bytes data(length);
    for (size_t i = 0; i < length; i++) {
        data[i] = static_cast<UCHAR>(seed + i * 7 + (i >> 8));
    }
    return data;
}

// A connected request on target 2, LUN 0, with its data buffer followed by a guard area.
class EngineTest : public DriverTest {
  protected:
    EngineTest() {
        unit = host.addUnit(2, 0);
        host.name(&srb, "srb");
        adapter.PioDataPort = host.ioBasePointer() + PORT_FIFO;
        adapter.WindowData = reinterpret_cast<PUCHAR>(port::kMemoryTag | kWindowData);
        host.setMemoryPort(kWindowData, WINDOW_SIZE - WINDOW_DATA_OFFSET);
        host.readOnly(REG_FIFO_STATUS);
        for (int t = 0; t < HBA_MAX_TARGETS; t++) {
            for (int lun = 0; lun < HBA_MAX_LUNS; lun++) {
                adapter.BurstSize[t][lun] = BURST_SIZE_DEFAULT;
            }
        }
    }

    // Connects a request; at places the data at an odd address when asked.
    void connect(UCHAR opcode, ULONG flags, ULONG length, size_t at = 0) {
        srb = makeSrb(2, 0, opcode, flags, length);
        unit->ActiveSrb = &srb;
        adapter.ActiveLuExtension = unit;
        storage.assign(at + length + kGuard, kUntouched);
        adapter.CurrentDataPointer = storage.data() + at;
        adapter.CurrentDataLength = length;
        offset = at;
    }

    Bytes data(size_t length) const {
        return Bytes(storage.begin() + static_cast<long>(offset),
                     storage.begin() + static_cast<long>(offset + length));
    }
    void fill(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), storage.begin() + static_cast<long>(offset));
    }
    // Nothing past Length bytes of the transfer was written.
    bool untouchedFrom(size_t length) const {
        return std::all_of(storage.begin() + static_cast<long>(offset + length), storage.end(),
                           [](UCHAR b) { return b == kUntouched; });
    }

    PHW_LU_EXTENSION unit;
    SCSI_REQUEST_BLOCK srb{};
    Bytes storage;
    size_t offset = 0;
};

// FIFO-port engine

struct PioModeCase {
    UCHAR opcode;
    bool in;
    bool byteModeUnit;
    size_t moveSize;  // bytes per data-ready indication
};

TEST_F(EngineTest, FifoMovesBlocksForReadAndWriteCommandsAndBytesOtherwise) {
    const std::vector<PioModeCase> cases = {
        {SCSIOP_READ6, true, false, 256},         {SCSIOP_READ, true, false, 256},
        {SCSIOP_WRITE6, false, false, 256},       {SCSIOP_WRITE, false, false, 256},
        {SCSIOP_WRITE_VERIFY, false, false, 256}, {SCSIOP_READ, true, true, 1},
        {SCSIOP_WRITE, false, true, 1},           {0x12, true, false, 1},
        {SCSIOP_WRITE, true, false, 1},           {SCSIOP_READ, false, false, 1},
    };
    const size_t length = 300;
    for (const PioModeCase& c : cases) {
        host.clearLog();
        host.fifoOut.clear();
        connect(c.opcode, c.in ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT, length);
        HbaSettings.ByteModeTable[2][0] = c.byteModeUnit ? 1 : 0;
        host.reg(REG_FIFO_STATUS).value = FIFO_DATA_READY;
        Bytes expected = pattern(length, c.opcode);
        if (c.in) {
            host.fifoIn.assign(expected.begin(), expected.end());
        } else {
            fill(expected);
        }

        EXPECT_EQ(c.in ? HbaPioRead(&adapter, length) : HbaPioWrite(&adapter, length), TRUE);

        Log want;
        for (size_t moved = 0; moved < length; moved += c.moveSize) {
            want.push_back("R37=01");
            want.push_back(
                fmt::format("{}*{}", c.in ? "FR" : "FW", std::min(c.moveSize, length - moved)));
        }
        EXPECT_EQ(host.log(), want) << "opcode " << std::hex << int{c.opcode};
        EXPECT_EQ(c.in ? data(length) : host.fifoOut, expected);
        EXPECT_TRUE(untouchedFrom(length));
    }
}

TEST_F(EngineTest, FifoReadOfAThousandBytesTakesFourBlocks) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 1000);
    host.reg(REG_FIFO_STATUS).queue = {
        0x00, 0x00, FIFO_DATA_READY, FIFO_DATA_READY, 0x00, FIFO_DATA_READY, FIFO_DATA_READY};
    Bytes expected = pattern(1000);
    host.fifoIn.assign(expected.begin(), expected.end());

    EXPECT_EQ(HbaPioRead(&adapter, 1000), TRUE);

    EXPECT_EQ(host.log(), (Log{"R37=00 x2", "R37=01", "FR*256", "R37=01", "FR*256", "R37=00",
                               "R37=01", "FR*256", "R37=01", "FR*232"}));
    EXPECT_EQ(data(1000), expected);
    EXPECT_TRUE(untouchedFrom(1000));
}

TEST_F(EngineTest, FifoStopEndsTheTransferWithTheRestUnmoved) {
    const std::vector<std::pair<std::deque<uint8_t>, Log>> cases = {
        // Stop wins over ready.
        {{FIFO_STOPPED | FIFO_DATA_READY}, {"R37=03"}},
        {{FIFO_DATA_READY, 0x00, FIFO_STOPPED}, {"R37=01", "FR*256", "R37=00", "R37=02"}},
    };
    for (const auto& [statuses, want] : cases) {
        host.clearLog();
        connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 600);
        host.reg(REG_FIFO_STATUS).queue = statuses;
        host.reg(REG_FIFO_STATUS).value = FIFO_DATA_READY;

        EXPECT_EQ(HbaPioRead(&adapter, 600), TRUE);
        EXPECT_EQ(host.log(), want);
        EXPECT_TRUE(untouchedFrom(statuses.size() > 1 ? 256 : 0));
    }
}

TEST_F(EngineTest, FifoMovesNothingForNoCount) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 0);
    EXPECT_EQ(HbaPioRead(&adapter, 0), TRUE);
    EXPECT_EQ(HbaPioWrite(&adapter, -1), TRUE);
    EXPECT_EQ(host.log(), Log{});
}

// Everything after the reset's clean-up: nothing may follow the last unit look-up.
void expectNothingAfterTheReset(const Log& log) {
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("lun 0:7:7", 0), 0u) << "last entry: " << log.back();
}

TEST_F(EngineTest, FifoBoardThatNeverAnswersTimesOutAndResets) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 600);
    host.reg(REG_FIFO_STATUS).queue = {FIFO_DATA_READY};
    host.reg(REG_FIFO_STATUS).value = 0x00;

    EXPECT_EQ(HbaPioRead(&adapter, 600), FALSE);

    Log log = host.log();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(Log(log.begin(), log.begin() + 6),
              (Log{"R37=01", "FR*256", fmt::format("R37=00 x{}", HBA_POLL_DATA_ENGINE),
                   "log srb 0:2:0 code=4 id=22", "reset", "S=00"}));
    EXPECT_EQ(host.completions().size(), 1u);
    EXPECT_EQ(host.completions()[0].srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    expectNothingAfterTheReset(log);
    EXPECT_TRUE(untouchedFrom(256));
}

// The bound is per wait: a slow board that answers within it each time is served, although
// its waits together take more reads than one wait may.
TEST_F(EngineTest, FifoBoundCountsEachWaitOnItsOwn) {
    connect(0x12, SRB_FLAGS_DATA_IN, 2);
    ULONG reads = 0;
    host.reg(REG_FIFO_STATUS).callback = [&reads]() -> uint8_t {
        reads++;
        return reads == HBA_POLL_DATA_ENGINE || reads == HBA_POLL_DATA_ENGINE + 3 ? FIFO_DATA_READY
                                                                                  : 0x00;
    };
    host.fifoIn = {0x11, 0x22};

    EXPECT_EQ(HbaPioRead(&adapter, 2), TRUE);

    EXPECT_EQ(host.log(), (Log{fmt::format("R37=00 x{}", HBA_POLL_DATA_ENGINE - 1), "R37=01",
                               "FR*1", "R37=00 x2", "R37=01", "FR*1"}));
    EXPECT_EQ(data(2), (Bytes{0x11, 0x22}));
}

// Window engine

struct BurstCase {
    ULONG burstSize;
    LONG count;
    std::vector<size_t> bursts;  // bytes copied per burst-ready indication
};

TEST_F(EngineTest, WindowBurstsNeverPassTheCount) {
    const std::vector<BurstCase> cases = {
        {512, 2048, {512, 512, 512, 512}},
        {2048, 256, {256}},            // burst larger than the count
        {512, 1280, {512, 512, 256}},  // count not a multiple of the burst
        {4, 12, {4, 4, 4}},
        {0, 512, {256, 256}},        // no burst size: the default
        {3, 512, {256, 256}},        // below one word: the default
        {4096, 4096, {2048, 2048}},  // never past the maximum burst
        {254, 512, {254, 254, 4}},   // a burst that ends inside a word
    };
    for (ULONG flags : {ULONG{0}, ULONG{OPTION_OWN_BLOCK_MOVE}}) {
        for (const BurstCase& c : cases) {
            for (bool in : {true, false}) {
                host.clearLog();
                host.windowOut.clear();
                connect(SCSIOP_READ, in ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT, c.count);
                adapter.OptionFlags = flags;
                adapter.BurstSize[2][0] = c.burstSize;
                host.boardStatus().value = BOARD_STATUS_BURST_READY | BOARD_STATUS_WINDOW_ENDED;
                host.boardStatus().queue.assign(c.bursts.size(), BOARD_STATUS_BURST_READY);
                Bytes expected = pattern(c.count, static_cast<UCHAR>(c.burstSize));
                // Each burst takes whole words from the start of the window data area.
                Bytes window;
                size_t at = 0;
                for (size_t n : c.bursts) {
                    window.insert(window.end(), expected.begin() + static_cast<long>(at),
                                  expected.begin() + static_cast<long>(at + n));
                    window.resize((window.size() + 3) & ~size_t{3}, 0x00);
                    at += n;
                }
                if (in) {
                    host.windowIn.assign(window.begin(), window.end());
                } else {
                    fill(expected);
                }

                BOOLEAN done =
                    in ? HbaWindowRead(&adapter, c.count) : HbaWindowWrite(&adapter, c.count);

                std::string what =
                    fmt::format("burst {} count {} {} {}", c.burstSize, c.count,
                                in ? "read" : "write", flags ? "own loop" : "block move");
                EXPECT_EQ(done, TRUE) << what;
                if (in) {
                    EXPECT_EQ(data(c.count), expected) << what;
                } else {
                    EXPECT_EQ(host.windowOut, window) << what;
                }
                EXPECT_TRUE(untouchedFrom(c.count)) << what;
                Log log = host.log();
                EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                        [](const std::string& e) { return e.rfind("BS", 0) == 0; }),
                          static_cast<long>(c.bursts.size() + (in ? 0 : 1)))
                    << what;
                EXPECT_EQ(log.back(), "W44=00") << what;
            }
        }
    }
}

TEST_F(EngineTest, WindowReadCopiesEachBurstFromTheStartOfTheDataArea) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 2048);
    adapter.BurstSize[2][0] = 512;
    host.boardStatus().value = BOARD_STATUS_BURST_READY;
    Bytes expected = pattern(2048);
    host.windowIn.assign(expected.begin(), expected.end());

    EXPECT_EQ(HbaWindowRead(&adapter, 2048), TRUE);

    // No wait for the end bit after a read.
    EXPECT_EQ(host.log(), (Log{"BS=10", "MR:D1000*128", "BS=10", "MR:D1000*128", "BS=10",
                               "MR:D1000*128", "BS=10", "MR:D1000*128", "W44=00"}));
    EXPECT_EQ(data(2048), expected);
}

TEST_F(EngineTest, WindowWriteWaitsForTheEndOfItsLastBurst) {
    connect(SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 4096);
    adapter.BurstSize[2][0] = 2048;
    host.boardStatus().queue = {0x00, BOARD_STATUS_BURST_READY, BOARD_STATUS_BURST_READY, 0x00,
                                0x00, BOARD_STATUS_WINDOW_ENDED};
    Bytes expected = pattern(4096);
    fill(expected);

    EXPECT_EQ(HbaWindowWrite(&adapter, 4096), TRUE);

    EXPECT_EQ(host.log(), (Log{"BS=00", "BS=10", "MW:D1000*512", "BS=10", "MW:D1000*512",
                               "BS=00 x2", "BS=08", "W44=00"}));
    EXPECT_EQ(host.windowOut, expected);
}

TEST_F(EngineTest, WindowEndWithBytesLeftStopsTheTransfer) {
    const std::vector<std::pair<bool, Log>> cases = {
        {true, {"BS=10", "MR:D1000*64", "BS=18", "W44=00"}},
        // End wins over ready; the write engine looks for the end bit once more.
        {false, {"BS=10", "MW:D1000*64", "BS=18 x2", "W44=00"}},
    };
    for (const auto& [in, want] : cases) {
        host.clearLog();
        connect(SCSIOP_READ, in ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT, 1024);
        host.boardStatus().queue = {BOARD_STATUS_BURST_READY};
        host.boardStatus().value = BOARD_STATUS_WINDOW_ENDED | BOARD_STATUS_BURST_READY;
        EXPECT_EQ(in ? HbaWindowRead(&adapter, 1024) : HbaWindowWrite(&adapter, 1024), TRUE);
        EXPECT_EQ(host.log(), want);
        EXPECT_TRUE(untouchedFrom(256));
    }
}

// Both copy paths must give the same bytes, also into and from a buffer at an odd address.
TEST_F(EngineTest, OwnWordLoopMovesTheSameBytesAsTheBlockMove) {
    Bytes source = pattern(1024, 0x3C);
    std::vector<Bytes> read, written;
    std::vector<Log> ownLoopLog;
    for (ULONG flags : {ULONG{0}, ULONG{OPTION_OWN_BLOCK_MOVE}}) {
        adapter.OptionFlags = flags;
        host.boardStatus().value = BOARD_STATUS_BURST_READY;

        host.clearLog();
        connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 1024, 1);
        host.windowIn.assign(source.begin(), source.end());
        EXPECT_EQ(HbaWindowRead(&adapter, 1024), TRUE);
        read.push_back(data(1024));
        EXPECT_TRUE(untouchedFrom(1024));
        EXPECT_EQ(storage[0], kUntouched);
        if (flags) {
            ownLoopLog.push_back(host.log());
        }

        host.windowOut.clear();
        host.boardStatus().queue.assign(4, BOARD_STATUS_BURST_READY);
        host.boardStatus().value = BOARD_STATUS_WINDOW_ENDED;
        connect(SCSIOP_WRITE, SRB_FLAGS_DATA_OUT, 1024, 3);
        fill(source);
        EXPECT_EQ(HbaWindowWrite(&adapter, 1024), TRUE);
        written.push_back(host.windowOut);
    }
    EXPECT_EQ(read[0], source);
    EXPECT_EQ(read[1], read[0]);
    EXPECT_EQ(written[0], source);
    EXPECT_EQ(written[1], written[0]);

    // The own loop reads each burst word by word, in ascending addresses from the data area.
    Log words;
    for (const std::string& entry : ownLoopLog[0]) {
        if (entry.rfind("M4:", 0) == 0) {
            words.push_back(entry.substr(0, entry.find('>')));
        }
    }
    ASSERT_EQ(words.size(), 256u);
    for (size_t i = 0; i < words.size(); i++) {
        EXPECT_EQ(words[i], fmt::format("M4:{:X}", kWindowData + 4 * (i % 64)));
    }
}

TEST_F(EngineTest, WindowBoardThatNeverAnswersTimesOutAndResets) {
    const std::vector<std::pair<bool, std::deque<uint8_t>>> cases = {
        {true, {}},                           // no burst ever ready
        {false, {BOARD_STATUS_BURST_READY}},  // the last burst never ends
    };
    for (const auto& [in, statuses] : cases) {
        host.clearLog();
        unit = host.addUnit(2, 0);
        connect(SCSIOP_READ, in ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT, 256);
        size_t before = host.completions().size();
        host.boardStatus().queue = statuses;
        host.boardStatus().value = 0x00;

        EXPECT_EQ(in ? HbaWindowRead(&adapter, 256) : HbaWindowWrite(&adapter, 256), FALSE);

        Log log = host.log();
        auto timedOut =
            std::find(log.begin(), log.end(), fmt::format("BS=00 x{}", HBA_POLL_DATA_ENGINE));
        ASSERT_NE(timedOut, log.end());
        // The burst control goes idle before the log entry and the reset.
        EXPECT_EQ(Log(timedOut + 1, timedOut + 4),
                  (Log{"W44=00", "log srb 0:2:0 code=4 id=22", "reset"}));
        EXPECT_EQ(host.completions().size(), before + 1);
        EXPECT_EQ(host.completions().back().srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
        expectNothingAfterTheReset(log);
    }
}

// The time-out reached through the deferred start, in window mode on the FIFO fallback: the
// request is completed once by the reset and nothing touches it or the board afterwards.
TEST_F(EngineTest, DeferredStartAfterAnEngineTimeOutLeavesTheCompletedRequestAlone) {
    adapter.AdapterMode = ADAPTER_MODE_WINDOW;
    connect(0x12, SRB_FLAGS_DATA_IN, 36);
    adapter.DeferredCommand = CMD_TRANSFER_INFO;
    adapter.DeferredPhase = 0;
    adapter.ActiveFlags = ACTIVE_DATA_HANDED | ACTIVE_DEFERRED;
    host.reg(REG_FIFO_STATUS).value = 0x18;  // window path, never ready

    HbaDmaStarted(&adapter);

    EXPECT_EQ(host.completions().size(), 1u);
    EXPECT_EQ(host.errors().size(), 1u);
    // After the reset's clean-up only the window path is switched back on; no request is read.
    Log log = host.log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].rfind("lun 0:7:7", 0), 0u) << log[log.size() - 2];
    EXPECT_EQ(log.back(), "W37=18");
    EXPECT_EQ(field(adapter.ActiveFlags) & ACTIVE_DEFERRED, 0u);
}

// Transfer Info

TEST_F(EngineTest, TransferInfoSendsUntilTheControllerInterrupts) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 0);
    Bytes cdb = {0x28, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x00};
    host.aux().queue = {0x00, AUX_DBR, AUX_DBR, AUX_DBR, 0x00, AUX_INT};

    EXPECT_EQ(HbaTransferInfo(&adapter, cdb.data(), 10, 1), FALSE);

    EXPECT_EQ(host.log(), (Log{"W12=00", "W+13=00", "W+14=0A", "S=00", "W18=20", "S=01", "W19=28",
                               "S=01", "W19=00", "S=01", "W19=00", "S=00", "stall 1", "S=80"}));
    EXPECT_EQ(host.errors().size(), 0u);
}

TEST_F(EngineTest, TransferInfoReceivesIntoTheBuffer) {
    Bytes message = {0xEE, 0xEE, 0xEE};
    host.aux().queue = {0x00, AUX_DBR | AUX_INT, 0x00, AUX_DBR};
    host.reg(REG_DATA).queue = {0x01, 0x03};

    EXPECT_EQ(HbaTransferInfo(&adapter, message.data(), 2, 0), TRUE);

    EXPECT_EQ(message, (Bytes{0x01, 0x03, 0xEE}));
    EXPECT_EQ(host.log({"R19", "stall"}), (Log{"R19=01", "stall 1", "R19=03"}));
}

TEST_F(EngineTest, TransferInfoTimeOutLogsResetsAndCompletesEverything) {
    connect(SCSIOP_READ, SRB_FLAGS_DATA_IN, 512);
    host.aux().value = 0x00;
    UCHAR byte = 0xEE;

    EXPECT_EQ(HbaTransferInfo(&adapter, &byte, 1, 0), FALSE);

    Log log = host.log();
    auto entry = std::find(log.begin(), log.end(), "log srb 0:2:0 code=4 id=21");
    ASSERT_NE(entry, log.end());
    EXPECT_EQ(*(entry + 1), "reset");
    // One read, then 3000 stalls of 1 us each followed by a read, before the entry.
    EXPECT_EQ(std::count(log.begin(), entry, "stall 1"), HBA_POLL_TRANSFER_INFO);
    EXPECT_EQ(host.completions().size(), 1u);
    EXPECT_EQ(host.completions()[0].srbStatus, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
    EXPECT_EQ(host.log({"R19"}), Log{});
    EXPECT_EQ(byte, 0xEE);
}

// Deferred start

struct DeferredCase {
    UCHAR command;
    UCHAR phase;
    ULONG length;
    Log want;
};

TEST_F(EngineTest, DeferredCommandIsIssuedOnceWithTheRemainingLength) {
    const std::vector<DeferredCase> cases = {
        {CMD_TRANSFER_INFO, 0, 0x1234, {"S=00", "W12=00", "W+13=12", "W+14=34", "W18=20"}},
        {CMD_SELECT_TRANSFER,
         PHASE_RESELECTED_RESUME,
         0x10000,
         {"S=00", "W12=01", "W+13=00", "W+14=00", "W10=45", "W18=09"}},
    };
    adapter.AdapterMode = ADAPTER_MODE_PLAIN;
    for (const DeferredCase& c : cases) {
        host.clearLog();
        adapter.DeferredCommand = c.command;
        adapter.DeferredPhase = c.phase;
        adapter.CurrentDataLength = c.length;
        adapter.ActiveFlags = ACTIVE_DATA_HANDED | ACTIVE_DEFERRED;

        HbaDmaStarted(&adapter);
        HbaDmaStarted(&adapter);

        EXPECT_EQ(host.log(), c.want);
        EXPECT_EQ(field(adapter.ActiveFlags), ULONG{ACTIVE_DATA_HANDED});
    }
}

TEST_F(EngineTest, DeferredStartWithNothingDeferredTouchesNothing) {
    adapter.ActiveFlags = ACTIVE_DATA_HANDED;
    adapter.DeferredCommand = CMD_TRANSFER_INFO;
    adapter.CurrentDataLength = 512;

    HbaDmaStarted(&adapter);

    EXPECT_EQ(host.log(), Log{});
    EXPECT_EQ(field(adapter.ActiveFlags), ULONG{ACTIVE_DATA_HANDED});
}

}  // namespace
}  // namespace cbus::test
