#include <gtest/gtest.h>
#include <sys/time.h>

#include <cmath>
#include <limits>
#include <thread>

#include "platform/foundation/Clock.h"

namespace quill::platform::foundation {
namespace {

TEST(ClockTest, ReferenceDateClockAgreesWithUnixTime) {
    struct timeval before;
    gettimeofday(&before, nullptr);
    int64_t ms = millisecondsSinceReferenceDate();
    int64_t s = secondsSinceReferenceDate();
    double interval = timeIntervalSinceReferenceDate();
    struct timeval after;
    gettimeofday(&after, nullptr);

    int64_t lowMs = (before.tv_sec - 978307200) * 1000 + before.tv_usec / 1000;
    int64_t highMs = (after.tv_sec - 978307200) * 1000 + after.tv_usec / 1000;
    EXPECT_GE(ms, lowMs);
    EXPECT_LE(ms, highMs);
    EXPECT_GE(s, before.tv_sec - 978307200);
    EXPECT_LE(s, after.tv_sec - 978307200);
    EXPECT_NEAR(interval * 1000.0, static_cast<double>(ms), 1000.0);
    // Far past 2^32 ms: time stamps that keep only the low 32 bits wrap.
    EXPECT_GT(ms, int64_t{1} << 32);
}

TEST(ClockTest, ConvertsBetweenUnixAndReferenceDate) {
    EXPECT_EQ(referenceDateFromUnix(978307200.0), 0.0);
    EXPECT_EQ(unixFromReferenceDate(-978307200.0), 0.0);
    EXPECT_EQ(unixFromReferenceDate(referenceDateFromUnix(1.5e9)), 1.5e9);
}

TEST(ClockTest, SteadyClockMeasuresElapsedTime) {
    Stopwatch watch;
    double start = steadySeconds();
    int64_t startMs = steadyMilliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(watch.elapsedMilliseconds(), 20);
    EXPECT_GE(watch.elapsedSeconds(), 0.02);
    EXPECT_GE(steadySeconds() - start, 0.02);
    EXPECT_GE(steadyMilliseconds() - startMs, 20);
    double beforeRestart = watch.elapsedSeconds();
    watch.restart();
    EXPECT_LT(watch.elapsedSeconds(), beforeRestart);
}

TEST(ClockTest, SecondsBecomeDurationsThatAnyDeadlineCanHold) {
    using std::chrono::milliseconds;
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(durationFromSeconds(0.25), milliseconds(250));
    for (double none : {0.0, -1.0, -inf, nan})
        EXPECT_EQ(durationFromSeconds(none), SteadyClock::duration::zero()) << none;
    const auto century = durationFromSeconds(kLongestWaitSeconds);
    for (double huge : {kLongestWaitSeconds * 2, 1e300, inf, double(std::numeric_limits<float>::max())}) {
        EXPECT_EQ(durationFromSeconds(huge), century) << huge;
        // A deadline that far ahead is still later than now, not wrapped round into the past.
        EXPECT_GT(SteadyClock::now() + durationFromSeconds(huge), SteadyClock::now()) << huge;
    }
}

}  // namespace
}  // namespace quill::platform::foundation
