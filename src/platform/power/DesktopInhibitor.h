#pragma once
// The desktop's inhibitor of automatic suspend, asked for on the session bus: the desktop portal's
// Inhibit with the suspend flag, else the GNOME session manager's. It holds off only the suspend the
// desktop would start by itself after idle time: the screen still blanks and locks, and a suspend the user
// asks for is the desktop's to grant. Both services end an inhibition when its caller leaves the bus, so
// one held over this object's own connection ends with the process, however it ends. Where neither
// answers, nothing is held, and that is logged once.
//
// Threads: take() and release() may be called from any thread and return at once; the bus calls run in
// their order on a thread of this object's own, so that a slow or absent desktop never holds up the caller
// (the application takes one on its main thread at launch).

#include <cstdint>
#include <memory>
#include <string>

namespace quill::platform::power {

class DesktopSuspendInhibitor {
  public:
    // busAddress: a D-Bus address; null for the user's session bus. Nothing connects before the first
    // take().
    explicit DesktopSuspendInhibitor(const char* busAddress = nullptr);
    // Leaves the bus, which ends every inhibition still held; a call in progress is cut short.
    ~DesktopSuspendInhibitor();
    DesktopSuspendInhibitor(const DesktopSuspendInhibitor&) = delete;
    DesktopSuspendInhibitor& operator=(const DesktopSuspendInhibitor&) = delete;

    // A handle for release(), never 0, also when the desktop grants nothing.
    uint64_t take(const std::string& reason);
    void release(uint64_t handle);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::platform::power
