#pragma once
// The media clock: milliseconds since 1 January 2001 00:00 UTC (or since the last reset()), whose low
// 32 bits stamp every video and audio packet.

#include <atomic>
#include <cstdint>
#include <functional>

namespace quill {

class SWTimeUtils {
  public:
    // Wall-clock seconds since the reference date; tests pass their own.
    using SecondsSinceReferenceDate = std::function<double()>;

    SWTimeUtils();
    explicit SWTimeUtils(SecondsSinceReferenceDate now);
    SWTimeUtils(const SWTimeUtils&) = delete;
    SWTimeUtils& operator=(const SWTimeUtils&) = delete;

    static SWTimeUtils& singleton();

    // (now - zeroTime) x 1000, rounded toward zero.
    int64_t getCurrentTimeStamp() const;
    // The packet time stamp: the low 32 bits of getCurrentTimeStamp(), wrapping every 49.7 days.
    uint32_t mediaTimeStamp() const { return static_cast<uint32_t>(getCurrentTimeStamp()); }
    // Counts from now on.
    void reset();
    double zeroTime() const { return zeroTime_.load(std::memory_order_relaxed); }

  private:
    SecondsSinceReferenceDate now_;
    std::atomic<double> zeroTime_{0.0};
};

}  // namespace quill
