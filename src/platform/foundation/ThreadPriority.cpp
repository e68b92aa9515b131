#include "platform/foundation/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quill::platform::foundation {

bool setHighestThreadPriority() {
    const id_t self = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, self);
    if (current == -1 && errno != 0) return false;
    // With the right to, any value; otherwise down to 20 - RLIMIT_NICE.
    if (current > -20 && setpriority(PRIO_PROCESS, self, -20) == 0) return true;
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
    const rlim_t allowed = std::min<rlim_t>(limit.rlim_cur, 40);
    const int floor = 20 - static_cast<int>(allowed);
    return floor < current && setpriority(PRIO_PROCESS, self, floor) == 0;
}

}  // namespace quill::platform::foundation
