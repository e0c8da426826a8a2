#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace cbus {

// One thing that happened in the simulated machine, stamped with simulated time.
struct TraceEvent {
    std::uint64_t time = 0;  // simulated nanoseconds
    std::string source;      // "machine", "dma", "board", "sbic", "bus", "target3", ...
    std::string event;       // short name: "command", "interrupt", "phase", "contract", ...
    std::vector<std::uint32_t> values;  // event-specific numbers (register values, counts, ids)
    std::string text;                   // optional words for a reader

    std::uint32_t value(std::size_t i) const { return i < values.size() ? values[i] : 0; }
    std::string format() const;
};

// The one trace every layer reports to. Tests query it; tools print it.
class Trace {
  public:
    using Clock = std::function<std::uint64_t()>;
    using Sink = std::function<void(const TraceEvent&)>;

    void setClock(Clock clock) { clock_ = std::move(clock); }
    // Every event is also handed to the sink as it is recorded (for printing while running).
    void setSink(Sink sink) { sink_ = std::move(sink); }
    // With recording off only the sink sees events (long runs that must not grow memory).
    void setRecording(bool on) { recording_ = on; }

    void record(std::string_view source, std::string_view event,
                std::initializer_list<std::uint32_t> values = {}, std::string text = {});

    const std::vector<TraceEvent>& events() const { return events_; }
    // Events from `source` (exact match) named `event`; an empty event name matches any.
    std::vector<TraceEvent> select(std::string_view source, std::string_view event = {}) const;
    std::size_t count(std::string_view source, std::string_view event = {}) const;
    // The most recent matching event, or nullptr.
    const TraceEvent* last(std::string_view source, std::string_view event = {}) const;
    // Index one past the last event: lets a test look only at what happened after a point.
    std::size_t mark() const { return events_.size(); }
    std::vector<TraceEvent> since(std::size_t mark, std::string_view source,
                                  std::string_view event = {}) const;
    void clear() { events_.clear(); }

  private:
    static bool matches(const TraceEvent& e, std::string_view source, std::string_view event);

    Clock clock_;
    Sink sink_;
    bool recording_ = true;
    std::vector<TraceEvent> events_;
};

}  // namespace cbus
