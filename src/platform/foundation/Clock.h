#pragma once
// Clocks: the wall clock counted from the reference date 1 January 2001 00:00:00 UTC, as time stamps
// and property-list dates use it, and a steady clock for elapsed times and time-outs.

#include <chrono>
#include <cstdint>

namespace quill::platform::foundation {

// Seconds from 1 January 1970 to 1 January 2001, both 00:00:00 UTC.
inline constexpr int64_t kReferenceDateUnixSeconds = 978307200;

// Wall-clock seconds since the reference date, with the fraction.
double timeIntervalSinceReferenceDate();
// Whole wall-clock seconds since the reference date (rounded down).
int64_t secondsSinceReferenceDate();
// Whole wall-clock milliseconds since the reference date (rounded down).
int64_t millisecondsSinceReferenceDate();

// Converts between Unix time and reference-date time, both in seconds.
constexpr double referenceDateFromUnix(double unixSeconds) {
    return unixSeconds - kReferenceDateUnixSeconds;
}
constexpr double unixFromReferenceDate(double referenceSeconds) {
    return referenceSeconds + kReferenceDateUnixSeconds;
}

// The steady clock: never jumps with wall-clock changes, for elapsed times and deadlines.
using SteadyClock = std::chrono::steady_clock;
// Steady seconds and milliseconds since an arbitrary fixed point.
double steadySeconds();
int64_t steadyMilliseconds();

// The longest time-out or delay that is waited for as given: a century. Anything longer means "never"
// to this system, and keeping below it lets every deadline `now() + duration` fit in the clock.
inline constexpr double kLongestWaitSeconds = 100.0 * 365 * 24 * 3600;

// Seconds (a time-out, a delay, a period) as a steady-clock duration: NaN and values of 0 or less give
// zero, values above kLongestWaitSeconds give that much.
SteadyClock::duration durationFromSeconds(double seconds);

// Measures the time since it was started (or restarted) on the steady clock.
class Stopwatch {
  public:
    Stopwatch() : start_(SteadyClock::now()) {}
    void restart() { start_ = SteadyClock::now(); }
    double elapsedSeconds() const {
        return std::chrono::duration<double>(SteadyClock::now() - start_).count();
    }
    int64_t elapsedMilliseconds() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count();
    }

  private:
    SteadyClock::time_point start_;
};

}  // namespace quill::platform::foundation
