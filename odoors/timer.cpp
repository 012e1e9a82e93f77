#include "timer.h"

#include <algorithm>
#include <climits>

namespace od {

void Timers::start(int inactivity_seconds, int seconds_left, Clock::time_point now) {
    inactivity_ = std::chrono::seconds(inactivity_seconds > 0 ? inactivity_seconds : 300);
    last_key_ = now;
    if (seconds_left >= 0)
        end_of_call_ = now + std::chrono::seconds(seconds_left);
    else
        end_of_call_.reset();
}

int Timers::poll_timeout(Clock::time_point now) const {
    auto next = last_key_ + inactivity_;
    if (end_of_call_) next = std::min(next, *end_of_call_);
    if (escape_due_) next = std::min(next, *escape_due_);
    if (next <= now) return 0;
    // Round up so that the wait never wakes just before its deadline.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

int Timers::inactivity_seconds() const {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(inactivity_).count());
}

Timers::Expired Timers::expired(Clock::time_point now) const {
    if (end_of_call_ && now >= *end_of_call_) return Expired::TimeLeft;
    if (now >= last_key_ + inactivity_) return Expired::Inactivity;
    return Expired::None;
}

} // namespace od
