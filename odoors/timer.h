// Timers: the deadlines of the one wait for input, no thread and no signal.
#pragma once

#include <chrono>
#include <optional>

namespace od {

using Clock = std::chrono::steady_clock;

// Whole milliseconds until `end`, rounded up so a wait never wakes early; 0
// once it has passed.
int milliseconds_until(Clock::time_point end, Clock::time_point now = Clock::now());

class Timers {
  public:
    enum class Expired { None, Inactivity, TimeLeft, WarnInactivity, WarnTimeLeft };

    // seconds_left < 0: the call has no time limit.
    void start(int inactivity_seconds, int seconds_left, Clock::time_point now = Clock::now());
    // A key also re-arms the inactivity warning.
    void key_pressed(Clock::time_point now = Clock::now()) {
        last_key_ = now;
        idle_warned_ = false;
    }

    // Seconds before either end that the caller is warned; 0: never. The
    // inactivity warning needs a limit longer than this, or it would come
    // before the caller could press anything.
    void set_warning(int seconds) { warn_ = std::chrono::seconds(seconds > 0 ? seconds : 0); }
    // The warning that expired() reported has been given.
    void warned(Expired which) {
        if (which == Expired::WarnInactivity) idle_warned_ = true;
        if (which == Expired::WarnTimeLeft) time_warned_ = true;
    }
    // Warnings wait while held: the library gives them only while the door
    // waits for a key, so that one due at start is not lost in a probe
    // before the door's first screen. Held until the first such wait.
    void hold_warnings(bool held) { warnings_held_ = held; }
    bool warnings_held() const { return warnings_held_; }
    // When the call's time is up (none: no limit).
    std::optional<Clock::time_point> end_of_call() const { return end_of_call_; }
    // The warning of each kind has been given and still holds: a key ends
    // the inactivity one.
    bool idle_warned() const { return idle_warned_; }
    bool time_warned() const { return time_warned_; }
    // Seconds left in the call (rounded up), -1 without a limit.
    int seconds_left(Clock::time_point now = Clock::now()) const;
    // Seconds until the inactivity limit ends the call (rounded up).
    int seconds_idle_left(Clock::time_point now = Clock::now()) const;

    // An Escape with nothing after it counts as pressed alone once this
    // short wait has passed without the rest of a sequence.
    static constexpr auto lone_escape = std::chrono::milliseconds(250);
    void hold_escape(Clock::time_point now = Clock::now()) { escape_due_ = now + lone_escape; }
    void drop_escape() { escape_due_.reset(); }
    bool escape_due(Clock::time_point now = Clock::now()) const {
        return escape_due_ && now >= *escape_due_;
    }
    // Milliseconds until a held Escape counts as alone, or -1 when none is held.
    int escape_timeout(Clock::time_point now = Clock::now()) const {
        return escape_due_ ? milliseconds_until(*escape_due_, now) : -1;
    }

    // Seconds without a key before the call ends.
    int inactivity_seconds() const;

    // Milliseconds the wait may block, or -1 for no limit.
    int poll_timeout(Clock::time_point now = Clock::now()) const;
    Expired expired(Clock::time_point now = Clock::now()) const;

  private:
    std::optional<Clock::time_point> idle_warning() const;
    std::optional<Clock::time_point> time_warning() const;
    Clock::duration inactivity_{};
    Clock::duration warn_{};
    bool idle_warned_ = false, time_warned_ = false;
    bool warnings_held_ = true;
    Clock::time_point last_key_{};
    std::optional<Clock::time_point> end_of_call_;
    std::optional<Clock::time_point> escape_due_;
};

} // namespace od
