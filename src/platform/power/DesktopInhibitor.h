#pragma once
// The desktop's own inhibitors, asked for on the session bus. Desktops blank, lock and suspend through
// their own idle monitors, which only their inhibitors hold off; the X screen saver and logind are not
// enough there. Two inhibitions are asked for:
// - AutomaticSuspend: the desktop portal's Inhibit with the suspend flag (4), else the GNOME session
//   manager's. It holds off only the suspend the desktop would start by itself after idle time: the
//   screen still blanks and locks, and a suspend the user asks for is the desktop's to grant.
// - Idle: the portal's Inhibit with the idle flag (8), else the session manager's with that flag, else
//   org.freedesktop.ScreenSaver's Inhibit (KDE's and Xfce's power managers): the screen neither blanks
//   nor locks. Taken only while mirroring, never for the process's whole life.
// Every one of these services ends an inhibition when its caller leaves the bus, so one held over this
// object's own connection ends with the process, however it ends. Where none answers, nothing is held,
// and that is logged once for each inhibition.
//
// Threads: take() and release() may be called from any thread and return at once; the bus calls run in
// their order on a thread of this object's own, so that a slow or absent desktop never holds up the caller
// (the application takes one on its main thread at launch).

#include <cstdint>
#include <memory>
#include <string>

namespace quill::platform::power {

enum class DesktopInhibition { AutomaticSuspend, Idle };

class DesktopInhibitor {
  public:
    // busAddress: a D-Bus address; null for the user's session bus. Nothing connects before the first
    // take().
    explicit DesktopInhibitor(const char* busAddress = nullptr);
    // Leaves the bus, which ends every inhibition still held; a call in progress is cut short.
    ~DesktopInhibitor();
    DesktopInhibitor(const DesktopInhibitor&) = delete;
    DesktopInhibitor& operator=(const DesktopInhibitor&) = delete;

    // A handle for release(), never 0, also when the desktop grants nothing.
    uint64_t take(DesktopInhibition what, const std::string& reason);
    void release(uint64_t handle);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::platform::power
