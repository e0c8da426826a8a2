#include "platform/machine/scheduler.h"

#include <limits>

namespace cbus {

EventId Scheduler::schedule(std::uint64_t delayNs, Callback callback) {
    return scheduleAt(now_ + delayNs, std::move(callback));
}

EventId Scheduler::scheduleAt(std::uint64_t timeNs, Callback callback) {
    if (timeNs < now_) {
        timeNs = now_;
    }
    EventId id{timeNs, nextSequence_++};
    queue_.emplace(Key{id.time, id.sequence}, std::move(callback));
    return id;
}

void Scheduler::cancel(EventId& id) {
    if (id) {
        queue_.erase(Key{id.time, id.sequence});
    }
    id = {};
}

bool Scheduler::isPending(EventId id) const {
    return id && queue_.count(Key{id.time, id.sequence}) != 0;
}

std::uint64_t Scheduler::nextTime() const {
    return queue_.empty() ? std::numeric_limits<std::uint64_t>::max() : queue_.begin()->first.first;
}

void Scheduler::runOne() {
    auto it = queue_.begin();
    now_ = it->first.first;
    Callback callback = std::move(it->second);
    queue_.erase(it);
    ++eventsRun_;
    callback();
}

void Scheduler::runDue() {
    while (!queue_.empty() && queue_.begin()->first.first <= now_) {
        runOne();
    }
}

void Scheduler::advance(std::uint64_t ns) {
    advanceTo(now_ + ns);
}

void Scheduler::advanceTo(std::uint64_t timeNs) {
    while (!queue_.empty() && queue_.begin()->first.first <= timeNs) {
        runOne();
    }
    if (timeNs > now_) {
        now_ = timeNs;
    }
}

bool Scheduler::runNext() {
    if (queue_.empty()) {
        return false;
    }
    runOne();
    runDue();
    return true;
}

bool Scheduler::runUntil(const std::function<bool()>& done, std::uint64_t limitNs) {
    const std::uint64_t limit = now_ + limitNs;
    while (!done()) {
        if (queue_.empty() || nextTime() > limit) {
            if (limit > now_) {
                now_ = limit;
            }
            return done();
        }
        runOne();
    }
    return true;
}

}  // namespace cbus
