// The machine: clock, event queue, I/O space, memory, interrupt lines, system DMA.
#include <gtest/gtest.h>

#include <vector>

#include "platform/machine/machine.h"

namespace cbus {
namespace {

TEST(Scheduler, EventsAtTheSameTimeRunInInsertionOrder) {
    Scheduler s;
    std::vector<int> order;
    s.schedule(100, [&] { order.push_back(1); });
    s.schedule(50, [&] { order.push_back(0); });
    s.schedule(100, [&] { order.push_back(2); });
    s.schedule(100, [&] { order.push_back(3); });
    s.advance(100);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(s.now(), 100u);
}

TEST(Scheduler, AdvanceRunsEachEventAtItsOwnTime) {
    Scheduler s;
    std::vector<std::uint64_t> seen;
    s.schedule(30, [&] {
        seen.push_back(s.now());
        s.schedule(10, [&] { seen.push_back(s.now()); });  // chained inside the window
    });
    s.advance(100);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{30, 40}));
    EXPECT_EQ(s.now(), 100u);
}

TEST(Scheduler, CancelledEventNeverRuns) {
    Scheduler s;
    bool ran = false;
    auto id = s.schedule(10, [&] { ran = true; });
    s.cancel(id);
    EXPECT_FALSE(id);
    s.advance(20);
    EXPECT_FALSE(ran);
    s.cancel(id);  // harmless twice
}

TEST(Scheduler, RunUntilStopsAtTheLimit) {
    Scheduler s;
    int n = 0;
    s.schedule(10, [&] { ++n; });
    s.schedule(1000, [&] { ++n; });
    EXPECT_FALSE(s.runUntil([&] { return n == 2; }, 500));
    EXPECT_EQ(n, 1);
    EXPECT_EQ(s.now(), 500u);
    EXPECT_TRUE(s.runUntil([&] { return n == 2; }, 1000));
}

struct Latch : IoDevice {
    std::uint8_t value = 0;
    std::uint64_t readAt = 0;
    Scheduler* s = nullptr;
    std::uint8_t ioRead(std::uint16_t offset) override {
        readAt = s->now();
        return static_cast<std::uint8_t>(value + offset);
    }
    void ioWrite(std::uint16_t, std::uint8_t v) override { value = v; }
};

TEST(IoSpace, AccessChargesCostAndRunsDueEventsFirst) {
    Machine m;
    Latch dev;
    dev.s = &m.scheduler();
    m.io().map(0xCC0, 8, dev, 800);
    m.scheduler().schedule(500, [&] { dev.value = 0x40; });  // falls inside the access cost
    EXPECT_EQ(m.io().read(0xCC2), 0x42);
    EXPECT_EQ(dev.readAt, 800u);
    EXPECT_EQ(m.now(), 800u);
    m.io().write(0xCC0, 7);
    EXPECT_EQ(dev.value, 7);
    EXPECT_EQ(m.now(), 1600u);
}

TEST(IoSpace, UnmappedPortReadsAllOnes) {
    Machine m;
    EXPECT_EQ(m.io().read(0x300), 0xFF);
    EXPECT_EQ(m.now(), m.costs().ioPortNs);
}

TEST(PhysicalMemory, RamIsLittleEndianAndOutsideReadsAllOnes) {
    MachineSettings settings;
    settings.memorySize = 1u << 20;
    Machine m(settings);
    m.memory().write(0x4BC, 0xC8, 1);
    m.memory().write(0x1000, 0x12345678, 4);
    EXPECT_EQ(m.memory().read8(0x4BC), 0xC8);
    EXPECT_EQ(m.memory().read16(0x1000), 0x5678);
    EXPECT_EQ(m.memory().read32(0xFFFFE), 0xFFFF0000u);  // two bytes past the end
}

TEST(InterruptLines, SharedLineStaysAssertedWhileAnyDriverHoldsIt) {
    Machine m;
    m.interrupts().drive(9, 0, true);
    m.interrupts().drive(9, 1, true);
    m.interrupts().drive(9, 0, false);
    EXPECT_TRUE(m.interrupts().asserted(9));
    m.interrupts().drive(9, 1, false);
    EXPECT_FALSE(m.interrupts().asserted(9));
    EXPECT_EQ(m.trace().count("machine", "irq-raise"), 1u);
    m.interrupts().drive(255, 0, true);  // "no interrupt" level: nothing happens
    EXPECT_EQ(m.interrupts().highestPriorityPending(), -1);
}

TEST(Dma, StopsAtTerminalCountAndFlushReturnsResidual) {
    Machine m;
    m.dma().program(3, 0x2000, 10, DmaDirection::FromDevice);
    std::vector<std::uint8_t> bytes(32, 0xAB);
    EXPECT_EQ(m.dma().toMemory(3, std::span(bytes).first(4)), 4u);
    EXPECT_FALSE(m.dma().terminalCount(3));
    EXPECT_EQ(m.dma().remaining(3), 6u);
    EXPECT_EQ(m.dma().toMemory(3, std::span(bytes).first(16)), 6u);  // only what the count allows
    EXPECT_TRUE(m.dma().terminalCount(3));
    EXPECT_EQ(m.memory().read8(0x2009), 0xAB);
    EXPECT_EQ(m.memory().read8(0x200A), 0x00);
    EXPECT_EQ(m.dma().toMemory(3, bytes), 0u);

    m.dma().program(3, 0x3000, 100, DmaDirection::FromDevice);
    m.dma().toMemory(3, std::span(bytes).first(30));
    EXPECT_EQ(m.dma().flush(3), 70u);
    EXPECT_EQ(m.dma().toMemory(3, bytes), 0u);  // flushed channel moves nothing
}

TEST(Dma, WrongDirectionMovesNothing) {
    Machine m;
    m.memory().write(0x5000, 0x11223344, 4);
    m.dma().program(1, 0x5000, 4, DmaDirection::ToDevice);
    std::vector<std::uint8_t> in(4, 0);
    EXPECT_EQ(m.dma().toMemory(1, in), 0u);
    EXPECT_EQ(m.dma().fromMemory(1, in), 4u);
    EXPECT_EQ(in, (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));
}

}  // namespace
}  // namespace cbus
