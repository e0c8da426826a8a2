// The road of one request: a READ(10) to a disk the adapter has not yet negotiated with, in plain
// mode, walked step by step in the trace.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kSelectAtn = 0x06;
constexpr std::uint8_t kTransferInfo = 0x20;
constexpr std::uint32_t kMessageOut = 6;
constexpr std::uint32_t kMessageIn = 7;
constexpr std::uint32_t kCommand = 2;
constexpr std::uint32_t kDataIn = 1;

// Index of the first event at or after `from` that matches, or events.size().
std::size_t find(const std::vector<TraceEvent>& events, std::size_t from, std::string_view source,
                 std::string_view event, const std::function<bool(const TraceEvent&)>& also = {}) {
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].source == source && events[i].event == event && (!also || also(events[i]))) {
            return i;
        }
    }
    return events.size();
}

TEST(ReadRoad, Read10ToAnUnnegotiatedDiskInPlainMode) {
    Scene scene(BoardKind::Plain);
    auto& disk = scene.addDisk(0);
    // The scan's INQUIRY already negotiates: a disk that comes in later has not been.
    scene.boot();
    ASSERT_EQ(scene.port->units().size(), 1u);
    auto& fresh = scene.addDisk(2);
    (void)disk;
    scene.target = 2;
    EXPECT_EQ(fresh.agreement().offset, 0);

    const std::size_t mark = scene.machine.trace().mark();
    std::vector<std::uint8_t> data(4 * kBlock);
    const Outcome out = scene.runRequest(read10(100, 4), data);

    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.scsiStatus, 0);
    EXPECT_EQ(out.length, 4 * kBlock);
    EXPECT_EQ(data, Scene::image(2, 100, 4 * kBlock));

    const auto& all = scene.machine.trace().events();
    const std::vector<TraceEvent> ev(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    auto routine = [](const char* name) {
        return [name](const TraceEvent& e) { return e.text == name; };
    };
    auto value = [](std::size_t i, std::uint32_t v) {
        return [i, v](const TraceEvent& e) { return e.value(i) == v; };
    };

    // 1. HwStartIo: Select-with-ATN, the bus sees the selection with ATN.
    std::size_t at = find(ev, 0, "port", "call", routine("HwStartIo"));
    ASSERT_LT(at, ev.size());
    at = find(ev, at, "sbic", "command", value(0, kSelectAtn));
    ASSERT_LT(at, ev.size()) << "no Select-with-ATN";
    at = find(ev, at, "bus", "select",
              [](const TraceEvent& e) { return e.value(0) == 2 && e.value(1) == 1; });
    ASSERT_LT(at, ev.size()) << "no selection with ATN";

    // 2. The hold ends with NextRequest; MESSAGE OUT carries IDENTIFY and the five SDTR bytes.
    at =
        find(ev, at, "port", "notify", [](const TraceEvent& e) { return e.text == "NextRequest"; });
    ASSERT_LT(at, ev.size());
    std::vector<std::uint8_t> messageOut;
    for (std::size_t i = at; i < ev.size(); ++i) {
        if (ev[i].source == "bus" && ev[i].event == "out" && ev[i].value(0) == kMessageOut) {
            messageOut.push_back(static_cast<std::uint8_t>(ev[i].value(2)));
        }
        if (ev[i].source == "bus" && ev[i].event == "phase" && ev[i].value(0) == kCommand) {
            break;
        }
    }
    ASSERT_EQ(messageOut.size(), 6u);
    EXPECT_EQ(messageOut[0], 0x80);  // IDENTIFY, LUN 0, no disconnect privilege by default
    EXPECT_EQ(messageOut[1], 0x01);  // extended
    EXPECT_EQ(messageOut[2], 0x03);
    EXPECT_EQ(messageOut[3], 0x01);  // SDTR

    // 3. The SDTR reply comes in one byte per interrupt.
    at = find(ev, at, "bus", "phase", value(0, kMessageIn));
    ASSERT_LT(at, ev.size());
    std::size_t replyBytes = 0;
    std::size_t i = at;
    for (; i < ev.size(); ++i) {
        if (ev[i].source == "bus" && ev[i].event == "in" && ev[i].value(0) == kMessageIn) {
            ++replyBytes;
        }
        if (ev[i].source == "bus" && ev[i].event == "phase" && ev[i].value(0) == kCommand) {
            break;
        }
    }
    EXPECT_EQ(replyBytes, 5u);
    EXPECT_NE(fresh.agreement().offset, 0) << "the synchronous agreement was not made";

    // 4. COMMAND: the CDB goes out.
    at = i;
    ASSERT_LT(at, ev.size());
    at = find(ev, at, "bus", "out",
              [](const TraceEvent& e) { return e.value(0) == kCommand && e.value(2) == 0x28; });
    ASSERT_LT(at, ev.size()) << "the CDB never went out";

    // 5. DATA IN by system DMA: mapped by the driver, started from HwDmaStarted.
    at = find(ev, at, "bus", "phase", value(0, kDataIn));
    ASSERT_LT(at, ev.size());
    at = find(ev, at, "port", "iomap", value(2, 4 * kBlock));
    ASSERT_LT(at, ev.size()) << "no ScsiPortIoMapTransfer of the whole buffer";
    at = find(ev, at, "dma", "program", value(2, 4 * kBlock));
    ASSERT_LT(at, ev.size());
    const std::size_t started = find(ev, at, "port", "call", routine("HwDmaStarted"));
    ASSERT_LT(started, ev.size());
    EXPECT_LT(find(ev, started, "sbic", "command", value(0, kTransferInfo)), ev.size());
    EXPECT_LT(find(ev, started, "dma", "terminal-count"), ev.size());

    // 6-7. The status byte and COMMAND COMPLETE in the controller's own sequence: chip status
    // 0x16, then the request completes with success.
    at = find(ev, started, "sbic", "interrupt", value(0, 0x16));
    ASSERT_LT(at, ev.size()) << "no Select-and-Transfer completion status";
    at = find(ev, at, "port", "complete", value(1, SRB_STATUS_SUCCESS));
    ASSERT_LT(at, ev.size());

    scene.expectInvariants();
}

}  // namespace
}  // namespace cbus::e2e
