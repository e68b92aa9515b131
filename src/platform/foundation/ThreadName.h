#pragma once
// Thread names. Our threads name themselves through setCurrentThreadName, which also keeps the name in
// the thread, so that code recording the current thread's name on every call (the log records do) reads
// it without asking the kernel each time. A thread we did not start is asked once, at its first call.

#include <string>

namespace quill::platform::foundation {

// Names the calling thread (the kernel keeps at most 15 bytes of it) and remembers the name.
void setCurrentThreadName(const char* name);

// The calling thread's name: the one it gave itself through setCurrentThreadName, else the kernel's
// name for it as it was at the thread's first call here.
const std::string& currentThreadName();

}  // namespace quill::platform::foundation
