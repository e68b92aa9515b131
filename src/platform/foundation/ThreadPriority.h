#pragma once
// Thread priorities. Linux gives every thread a nice value of its own; an unprivileged process may lower
// it only as far as its RLIMIT_NICE allows (often not at all), a privileged one to -20.

namespace quill::platform::foundation {

// Gives the calling thread the highest priority the process may set: the lowest nice value allowed.
// True when the priority was raised; false when it already was as high as allowed or could not change.
bool setHighestThreadPriority();

}  // namespace quill::platform::foundation
