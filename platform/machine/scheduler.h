#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace cbus {

// Handle of a scheduled event; a default-constructed one refers to nothing.
struct EventId {
    std::uint64_t time = 0;
    std::uint64_t sequence = 0;  // 0: no event
    explicit operator bool() const { return sequence != 0; }
};

// The machine's one clock, in nanoseconds, and its event queue. Events due at the same time
// run in the order they were scheduled, so every run is reproducible.
class Scheduler {
  public:
    using Callback = std::function<void()>;

    std::uint64_t now() const { return now_; }

    EventId schedule(std::uint64_t delayNs, Callback callback);
    EventId scheduleAt(std::uint64_t timeNs, Callback callback);
    // Cancelling an event that already ran (or a null id) is harmless.
    void cancel(EventId& id);
    bool isPending(EventId id) const;

    // Runs every event due at or before now.
    void runDue();
    // Moves the clock forward by `ns`, running each event on the way at its own time.
    void advance(std::uint64_t ns);
    void advanceTo(std::uint64_t timeNs);
    // Jumps to the next event and runs it (and any due with it); false when none is queued.
    bool runNext();
    // Runs events until `done()` holds or the clock would pass `limitNs` from now.
    // Returns done() at the end.
    bool runUntil(const std::function<bool()>& done, std::uint64_t limitNs);

    std::size_t pending() const { return queue_.size(); }
    std::uint64_t eventsRun() const { return eventsRun_; }
    // Time of the next event, or UINT64_MAX.
    std::uint64_t nextTime() const;

  private:
    using Key = std::pair<std::uint64_t, std::uint64_t>;  // time, sequence
    void runOne();

    std::uint64_t now_ = 0;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t eventsRun_ = 0;
    std::map<Key, Callback> queue_;
};

}  // namespace cbus
