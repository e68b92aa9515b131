// The real power backends: one table says what each does for each assertion type, and one class carries
// out whichever means its row names.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/dbus/Bus.h"
#include "platform/display/X11Connection.h"
#include "platform/foundation/SysLog.h"
#include "platform/power/DesktopInhibitor.h"
#include "platform/power/Power.h"

// Xlib last: its macros (None, Status) clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace quill::platform::power {

using dbus::BusCall;
using dbus::openBus;
namespace {

enum class Backend { X11, Logind, Noop };

enum class Means {
    // Marks the end of a row's list.
    Unused,
    // The X screen saver and DPMS suspended. The X server keeps the suspension only while this client
    // is connected.
    ScreenSaverSuspended,
    // A logind "idle" block inhibitor, held as the descriptor logind hands out; the kernel closes it
    // when the process dies.
    LogindIdleInhibitor,
    // The desktop's inhibitor of its own idle state (DesktopInhibitor): the screen neither blanks nor
    // locks, whatever the desktop's idle delay.
    DesktopIdleInhibitor,
    // The desktop's inhibitor of automatic suspend (DesktopInhibitor): the screen still blanks and
    // locks, and the user's own suspend is not blocked.
    DesktopSuspendInhibitor,
};

// The means one backend uses for one type, taken in this order (the backend's own, then the desktop's,
// whose bus calls run on a thread of their own) and given back all together.
using MeansList = std::array<Means, 2>;

// What each backend does for each assertion type. Keeping the display awake while mirroring is the
// backend's own means together with the desktop's idle inhibitor: desktops blank and lock through their
// own idle monitors, which neither the X screen saver nor logind holds off. Holding off idle system sleep
// (the activity begun at launch, for the life of the process) is never the screen saver, the screen lock
// or a logind sleep inhibitor, which would keep the screen of a user who walks away unlocked or refuse a
// suspend the user asks for.
struct AssertionMeans {
    std::string_view type;
    MeansList x11;
    MeansList logind;
    MeansList none;
};
constexpr AssertionMeans kAssertionMeans[] = {
    {kIOPMAssertionTypePreventUserIdleDisplaySleep,
     {Means::ScreenSaverSuspended, Means::DesktopIdleInhibitor},
     {Means::LogindIdleInhibitor, Means::DesktopIdleInhibitor},
     {Means::DesktopIdleInhibitor}},
    {kIOPMAssertionTypePreventUserIdleSystemSleep,
     {Means::DesktopSuspendInhibitor},
     {Means::DesktopSuspendInhibitor},
     {Means::DesktopSuspendInhibitor}},
};

const MeansList* meansFor(Backend backend, const std::string& type) {
    for (const auto& row : kAssertionMeans) {
        if (row.type != type) continue;
        return backend == Backend::X11 ? &row.x11 : backend == Backend::Logind ? &row.logind : &row.none;
    }
    return nullptr;
}

constexpr double kLogindCallTimeout = 5;  // seconds

class SystemPowerBackend : public PowerBackend {
  public:
    // display for X11, logind for logind; the desktop's inhibitors on sessionBus (null: the user's own).
    SystemPowerBackend(Backend backend, std::unique_ptr<display::X11Connection> display, sd_bus* logind,
                       const char* sessionBus)
        : backend_(backend), display_(std::move(display)), logind_(logind), desktop_(sessionBus) {}
    ~SystemPowerBackend() override {
        std::lock_guard lock(mutex_);
        for (auto& [handle, held] : held_) {
            for (const Taken& t : held) {
                if (t.means == Means::LogindIdleInhibitor) ::close(static_cast<int>(t.value));
            }
        }
        if (display_ && suspensions_ > 0) suspendScreenSaver(false);
        sd_bus_flush_close_unref(logind_);
        // desktop_ leaves the session bus as it goes, which ends its inhibitions.
    }
    std::string name() const override {
        return backend_ == Backend::X11 ? "x11" : backend_ == Backend::Logind ? "logind" : "none";
    }

    uint64_t take(const std::string& type, const std::string& reason) override {
        const MeansList* list = meansFor(backend_, type);
        if (!list) {
            sysLog("assertion type \"%s\" is not known here; \"%s\" holds nothing", type.c_str(),
                   reason.c_str());
            return 0;
        }
        std::lock_guard lock(mutex_);
        std::vector<Taken> held;
        for (const Means means : *list) {
            if (means == Means::Unused) break;
            if (auto value = takeOne(means, reason)) held.push_back(Taken{means, *value});
        }
        if (held.empty()) return 0;
        const uint64_t handle = next_++;
        held_[handle] = std::move(held);
        return handle;
    }

    void release(uint64_t handle) override {
        std::lock_guard lock(mutex_);
        auto it = held_.find(handle);
        if (it == held_.end()) return;
        const std::vector<Taken> held = std::move(it->second);
        held_.erase(it);
        for (const Taken& t : held)
            releaseOne(t);
    }

  private:
    struct Taken {
        Means means;
        uint64_t value;  // the inhibitor descriptor, or the desktop inhibitor's handle
    };

    // What releaseOne() needs to give it back; none when it could not be taken (logged). Under mutex_.
    std::optional<uint64_t> takeOne(Means means, const std::string& reason) {
        switch (means) {
            case Means::ScreenSaverSuspended:
                if (suspensions_++ == 0) suspendScreenSaver(true);
                return 0;
            case Means::LogindIdleInhibitor: {
                const int fd = takeLogindIdleInhibitor(reason);
                if (fd < 0) return std::nullopt;
                return static_cast<uint64_t>(fd);
            }
            case Means::DesktopIdleInhibitor:
                return desktop_.take(DesktopInhibition::Idle, reason);
            case Means::DesktopSuspendInhibitor:
                return desktop_.take(DesktopInhibition::AutomaticSuspend, reason);
            case Means::Unused:
                break;
        }
        return std::nullopt;
    }

    // Under mutex_.
    void releaseOne(const Taken& t) {
        switch (t.means) {
            case Means::ScreenSaverSuspended:
                if (--suspensions_ == 0) suspendScreenSaver(false);
                break;
            case Means::LogindIdleInhibitor:
                ::close(static_cast<int>(t.value));
                break;
            case Means::DesktopIdleInhibitor:
            case Means::DesktopSuspendInhibitor:
                desktop_.release(t.value);
                break;
            case Means::Unused:
                break;
        }
    }

    // Synchronous, so that the server has acted on it when take() or release() returns; never longer
    // than the connection's deadline. A server that went away took the suspension with it.
    void suspendScreenSaver(bool on) {
        if (display_->broken()) return;
        display::X11Connection::Watch watch(*display_);
        XScreenSaverSuspend(display_->get(), on ? True : False);
        XSync(display_->get(), False);
    }

    // The inhibitor's descriptor, or -1 (logged).
    int takeLogindIdleInhibitor(const std::string& reason) {
        BusCall c;
        c.r = sd_bus_call_method(logind_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", &c.error, &c.reply, "ssss",
                                 "idle", "Quillaran", reason.c_str(), "block");
        int fd = -1;
        // The descriptor belongs to the reply: keep a copy of our own, closed on exec.
        const int mine = c.read("h", &fd) ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
        if (mine < 0) sysLog("logind inhibitor \"%s\" not taken: %s", reason.c_str(), c.failure().c_str());
        return mine;
    }

    const Backend backend_;
    std::mutex mutex_;
    // An X connection that fails its calls, rather than end the process, once the server is gone.
    std::unique_ptr<display::X11Connection> display_;
    sd_bus* logind_;
    DesktopInhibitor desktop_;
    int suspensions_ = 0;  // screen-saver suspensions held
    uint64_t next_ = 1;
    std::map<uint64_t, std::vector<Taken>> held_;
};

}  // namespace

std::unique_ptr<PowerBackend> makeX11Backend(const char* displayName, const char* sessionBus) {
    auto connection = display::X11Connection::open(displayName ? displayName : "");
    if (!connection) return nullptr;
    int event = 0, error = 0;
    {
        display::X11Connection::Watch watch(*connection);
        if (!XScreenSaverQueryExtension(connection->get(), &event, &error) || connection->broken())
            return nullptr;
    }
    return std::make_unique<SystemPowerBackend>(Backend::X11, std::move(connection), nullptr, sessionBus);
}

std::unique_ptr<PowerBackend> makeLogindBackend(const char* systemBus, const char* sessionBus) {
    std::error_code ec;
    if (!systemBus && !std::filesystem::is_directory("/run/systemd/system", ec)) return nullptr;
    sd_bus* bus = openBus(systemBus, true, kLogindCallTimeout);
    if (!bus) return nullptr;
    return std::make_unique<SystemPowerBackend>(Backend::Logind, nullptr, bus, sessionBus);
}

std::unique_ptr<PowerBackend> makeNoopBackend(const char* sessionBus) {
    return std::make_unique<SystemPowerBackend>(Backend::Noop, nullptr, nullptr, sessionBus);
}

std::unique_ptr<PowerBackend> makeDefaultBackend() {
    const char* choice = std::getenv("QUILLARAN_POWER");
    const std::string c = choice ? choice : "";
    if (c == "none") return makeNoopBackend();
    if (c.empty() || c == "x11") {
        if (auto b = makeX11Backend()) return b;
    }
    if (c.empty() || c == "logind") {
        if (auto b = makeLogindBackend()) return b;
    }
    sysLog(
        "power: neither an X display with the screen saver extension nor logind answers; while "
        "mirroring only the desktop's idle inhibitor keeps the display awake");
    return makeNoopBackend();
}

}  // namespace quill::platform::power
