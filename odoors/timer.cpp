#include "timer.h"

#include <algorithm>
#include <climits>

namespace od {

void Timers::start(int inactivity_seconds, int seconds_left, Clock::time_point now) {
    inactivity_ = std::chrono::seconds(inactivity_seconds > 0 ? inactivity_seconds : 300);
    last_key_ = now;
    idle_warned_ = time_warned_ = false;
    if (seconds_left >= 0)
        end_of_call_ = now + std::chrono::seconds(seconds_left);
    else
        end_of_call_.reset();
}

std::optional<Clock::time_point> Timers::idle_warning() const {
    if (warnings_held_ || warn_.count() == 0 || idle_warned_ || warn_ >= inactivity_)
        return std::nullopt;
    return last_key_ + inactivity_ - warn_;
}

std::optional<Clock::time_point> Timers::time_warning() const {
    if (warnings_held_ || warn_.count() == 0 || time_warned_ || !end_of_call_) return std::nullopt;
    return *end_of_call_ - warn_;
}

int milliseconds_until(Clock::time_point end, Clock::time_point now) {
    if (end <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

int Timers::poll_timeout(Clock::time_point now) const {
    auto next = last_key_ + inactivity_;
    for (const auto& at : {end_of_call_, escape_due_, idle_warning(), time_warning()})
        if (at) next = std::min(next, *at);
    return milliseconds_until(next, now);
}

int Timers::inactivity_seconds() const {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(inactivity_).count());
}

Timers::Expired Timers::expired(Clock::time_point now) const {
    if (end_of_call_ && now >= *end_of_call_) return Expired::TimeLeft;
    if (now >= last_key_ + inactivity_) return Expired::Inactivity;
    if (auto at = time_warning(); at && now >= *at) return Expired::WarnTimeLeft;
    if (auto at = idle_warning(); at && now >= *at) return Expired::WarnInactivity;
    return Expired::None;
}

namespace {
int seconds_until(Clock::time_point end, Clock::time_point now) {
    if (end <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(end - now).count());
}
} // namespace

int Timers::seconds_left(Clock::time_point now) const {
    return end_of_call_ ? seconds_until(*end_of_call_, now) : -1;
}

int Timers::seconds_idle_left(Clock::time_point now) const {
    return seconds_until(last_key_ + inactivity_, now);
}

} // namespace od
