#include "platform/foundation/Clock.h"

#include <algorithm>
#include <ctime>

namespace quill::platform::foundation {
namespace {

// Nanoseconds since the reference date on the wall clock.
int64_t wallNanosecondsSinceReferenceDate() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<int64_t>(ts.tv_sec) - kReferenceDateUnixSeconds) * 1000000000 + ts.tv_nsec;
}

// Integer division that rounds towards minus infinity, so instants before the reference date round down
// too.
int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

double timeIntervalSinceReferenceDate() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(static_cast<int64_t>(ts.tv_sec) - kReferenceDateUnixSeconds) +
           static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t secondsSinceReferenceDate() {
    return floorDiv(wallNanosecondsSinceReferenceDate(), 1000000000);
}

int64_t millisecondsSinceReferenceDate() {
    return floorDiv(wallNanosecondsSinceReferenceDate(), 1000000);
}

double steadySeconds() {
    return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}

SteadyClock::duration durationFromSeconds(double seconds) {
    if (!(seconds > 0)) return SteadyClock::duration::zero();
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(std::min(seconds, kLongestWaitSeconds)));
}

int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch())
        .count();
}

}  // namespace quill::platform::foundation
