#include "media/SWTimeUtils.h"

#include "platform/foundation/Clock.h"

namespace quill {

SWTimeUtils::SWTimeUtils() : SWTimeUtils(platform::foundation::timeIntervalSinceReferenceDate) {}

SWTimeUtils::SWTimeUtils(SecondsSinceReferenceDate now) : now_(std::move(now)) {}

SWTimeUtils& SWTimeUtils::singleton() {
    static SWTimeUtils instance;
    return instance;
}

int64_t SWTimeUtils::getCurrentTimeStamp() const {
    return static_cast<int64_t>((now_() - zeroTime()) * 1000.0);
}

void SWTimeUtils::reset() {
    zeroTime_.store(now_(), std::memory_order_relaxed);
}

}  // namespace quill
