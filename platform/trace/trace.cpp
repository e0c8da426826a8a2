#include "platform/trace/trace.h"

#include <fmt/format.h>

namespace cbus {

std::string TraceEvent::format() const {
    std::string out = fmt::format("{:>14.3f} us  {:<8} {:<14}", static_cast<double>(time) / 1000.0,
                                  source, event);
    for (auto v : values) {
        out += fmt::format(" {:#04x}", v);
    }
    if (!text.empty()) {
        out += "  ";
        out += text;
    }
    return out;
}

void Trace::record(std::string_view source, std::string_view event,
                   std::initializer_list<std::uint32_t> values, std::string text) {
    TraceEvent e{clock_ ? clock_() : 0, std::string(source), std::string(event),
                 std::vector<std::uint32_t>(values), std::move(text)};
    if (sink_) {
        sink_(e);
    }
    if (recording_) {
        events_.push_back(std::move(e));
    }
}

bool Trace::matches(const TraceEvent& e, std::string_view source, std::string_view event) {
    return e.source == source && (event.empty() || e.event == event);
}

std::vector<TraceEvent> Trace::select(std::string_view source, std::string_view event) const {
    return since(0, source, event);
}

std::vector<TraceEvent> Trace::since(std::size_t mark, std::string_view source,
                                     std::string_view event) const {
    std::vector<TraceEvent> out;
    for (std::size_t i = mark; i < events_.size(); ++i) {
        if (matches(events_[i], source, event)) {
            out.push_back(events_[i]);
        }
    }
    return out;
}

std::size_t Trace::count(std::string_view source, std::string_view event) const {
    std::size_t n = 0;
    for (const auto& e : events_) {
        n += matches(e, source, event) ? 1 : 0;
    }
    return n;
}

const TraceEvent* Trace::last(std::string_view source, std::string_view event) const {
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
        if (matches(*it, source, event)) {
            return &*it;
        }
    }
    return nullptr;
}

}  // namespace cbus
