// Timers: the deadlines of the one wait for input, no thread and no signal.
#pragma once

#include <chrono>
#include <optional>

namespace od {

using Clock = std::chrono::steady_clock;

class Timers {
  public:
    enum class Expired { None, Inactivity, TimeLeft };

    // seconds_left < 0: the call has no time limit.
    void start(int inactivity_seconds, int seconds_left, Clock::time_point now = Clock::now());
    void key_pressed(Clock::time_point now = Clock::now()) { last_key_ = now; }

    // An Escape with nothing after it counts as pressed alone once this
    // short wait has passed without the rest of a sequence.
    static constexpr auto lone_escape = std::chrono::milliseconds(250);
    void hold_escape(Clock::time_point now = Clock::now()) { escape_due_ = now + lone_escape; }
    void drop_escape() { escape_due_.reset(); }
    bool escape_due(Clock::time_point now = Clock::now()) const {
        return escape_due_ && now >= *escape_due_;
    }

    // Seconds without a key before the call ends.
    int inactivity_seconds() const;

    // Milliseconds the wait may block, or -1 for no limit.
    int poll_timeout(Clock::time_point now = Clock::now()) const;
    Expired expired(Clock::time_point now = Clock::now()) const;

  private:
    Clock::duration inactivity_{};
    Clock::time_point last_key_{};
    std::optional<Clock::time_point> end_of_call_;
    std::optional<Clock::time_point> escape_due_;
};

} // namespace od
