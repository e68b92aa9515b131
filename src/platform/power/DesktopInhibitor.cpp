#include "platform/power/DesktopInhibitor.h"

#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dbus/Bus.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::power {

using dbus::BusCall;
using dbus::openBus;
namespace {

// The flags of the portal's and the session manager's Inhibit.
constexpr uint32_t kInhibitSuspend = 4;
constexpr uint32_t kInhibitIdle = 8;
constexpr double kCallTimeout = 10;  // seconds; a portal started on demand may take a while
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kSessionManager = "org.gnome.SessionManager";
constexpr const char* kSessionManagerPath = "/org/gnome/SessionManager";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";

enum class Service { Portal, SessionManager, ScreenSaver };

// What one take() holds: the portal's request object, or else a cookie of the service that granted it.
struct Held {
    DesktopInhibition what;
    Service service;
    std::string request;
    uint32_t cookie = 0;
};

const char* describe(DesktopInhibition what) {
    return what == DesktopInhibition::Idle ? "blanking and locking of the screen" : "automatic suspend";
}

const char* describe(Service service) {
    switch (service) {
        case Service::Portal:
            return "the desktop portal";
        case Service::SessionManager:
            return "the session manager";
        case Service::ScreenSaver:
            return "the screen saver service";
    }
    return "";
}

}  // namespace

struct DesktopInhibitor::Impl {
    // take: ask for the inhibition for handle; otherwise release it.
    struct Job {
        uint64_t handle;
        bool take;
        DesktopInhibition what;
        std::string reason;
    };

    std::optional<std::string> address;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    int busSocket = -1;  // the connection's socket once open, shut down to cut a call short at the end
    uint64_t next = 1;
    std::thread worker;

    // The worker's own; the destructor touches them only after joining it.
    sd_bus* bus = nullptr;
    bool busTried = false;
    bool toldNothingHeld[2] = {false, false};  // by inhibition
    std::map<uint64_t, Held> held;

    void run() {
        foundation::setCurrentThreadName("power-desktop");
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (stopping) return;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            if (job.take) {
                inhibit(job.handle, job.what, job.reason);
            } else {
                uninhibit(job.handle);
            }
            lock.lock();
        }
    }

    void inhibit(uint64_t handle, DesktopInhibition what, const std::string& reason) {
        if (!busTried) {
            busTried = true;
            bus = openBus(address ? address->c_str() : nullptr, false, kCallTimeout);
        }
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (bus) busSocket = sd_bus_get_fd(bus);
        }
        if (!bus) return nothingHeld(what, reason, "no session bus");
        // In this order: the portal wherever the desktop implements its Inhibit, GNOME's session manager
        // where it does not, and for the idle state also the screen saver service of KDE and Xfce. The
        // screen saver service is never asked to hold off suspend: it would keep the screen from locking.
        std::string why;
        std::optional<Held> granted = askPortal(what, reason, why);
        if (!granted) granted = askSessionManager(what, reason, why);
        if (!granted && what == DesktopInhibition::Idle) granted = askScreenSaver(reason, why);
        if (!granted) return nothingHeld(what, reason, why);
        sysLog("%s held off by %s for \"%s\"", describe(what), describe(granted->service), reason.c_str());
        held[handle] = *granted;
    }

    // The inhibition lasts until its request object is closed.
    std::optional<Held> askPortal(DesktopInhibition what, const std::string& reason, std::string& why) {
        BusCall c;
        c.r = sd_bus_call_method(bus, kPortal, "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.portal.Inhibit", "Inhibit", &c.error, &c.reply, "sua{sv}",
                                 "", flag(what), 1, "reason", "s", reason.c_str());
        const char* request = nullptr;
        if (c.read("o", &request)) return Held{what, Service::Portal, request, 0};
        why += "portal: " + c.failure();
        return std::nullopt;
    }

    std::optional<Held> askSessionManager(DesktopInhibition what, const std::string& reason,
                                          std::string& why) {
        BusCall c;
        c.r = sd_bus_call_method(bus, kSessionManager, kSessionManagerPath, kSessionManager, "Inhibit",
                                 &c.error, &c.reply, "susu", "Quillaran", 0u, reason.c_str(), flag(what));
        uint32_t cookie = 0;
        if (c.read("u", &cookie)) return Held{what, Service::SessionManager, {}, cookie};
        why += "; session manager: " + c.failure();
        return std::nullopt;
    }

    std::optional<Held> askScreenSaver(const std::string& reason, std::string& why) {
        BusCall c;
        c.r = sd_bus_call_method(bus, kScreenSaver, kScreenSaverPath, kScreenSaver, "Inhibit", &c.error,
                                 &c.reply, "ss", "Quillaran", reason.c_str());
        uint32_t cookie = 0;
        if (c.read("u", &cookie)) return Held{DesktopInhibition::Idle, Service::ScreenSaver, {}, cookie};
        why += "; screen saver service: " + c.failure();
        return std::nullopt;
    }

    static uint32_t flag(DesktopInhibition what) {
        return what == DesktopInhibition::Idle ? kInhibitIdle : kInhibitSuspend;
    }

    void nothingHeld(DesktopInhibition what, const std::string& reason, const std::string& why) {
        bool& told = toldNothingHeld[what == DesktopInhibition::Idle ? 1 : 0];
        if (told) return;
        told = true;
        sysLog("no inhibitor of %s on this desktop (%s); \"%s\" holds nothing", describe(what), why.c_str(),
               reason.c_str());
    }

    void uninhibit(uint64_t handle) {
        auto it = held.find(handle);
        if (it == held.end()) return;
        const Held& h = it->second;
        BusCall c;
        switch (h.service) {
            case Service::Portal:
                c.r = sd_bus_call_method(bus, kPortal, h.request.c_str(), "org.freedesktop.portal.Request",
                                         "Close", &c.error, nullptr, "");
                break;
            case Service::SessionManager:
                c.r = sd_bus_call_method(bus, kSessionManager, kSessionManagerPath, kSessionManager,
                                         "Uninhibit", &c.error, nullptr, "u", h.cookie);
                break;
            case Service::ScreenSaver:
                c.r = sd_bus_call_method(bus, kScreenSaver, kScreenSaverPath, kScreenSaver, "UnInhibit",
                                         &c.error, nullptr, "u", h.cookie);
                break;
        }
        if (c.r < 0)
            sysLog("the desktop's inhibitor of %s was not released: %s", describe(h.what),
                   c.failure().c_str());
        held.erase(it);
    }
};

DesktopInhibitor::DesktopInhibitor(const char* busAddress) : impl_(std::make_unique<Impl>()) {
    if (busAddress) impl_->address = busAddress;
}

DesktopInhibitor::~DesktopInhibitor() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        // Leaving the bus ends every inhibition, so queued releases are not waited for.
        if (impl_->busSocket >= 0) ::shutdown(impl_->busSocket, SHUT_RDWR);
    }
    impl_->wake.notify_one();
    if (impl_->worker.joinable()) impl_->worker.join();
    sd_bus_close_unref(impl_->bus);
}

uint64_t DesktopInhibitor::take(DesktopInhibition what, const std::string& reason) {
    std::lock_guard lock(impl_->mutex);
    const uint64_t handle = impl_->next++;
    impl_->jobs.push_back({handle, true, what, reason});
    if (!impl_->worker.joinable()) impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
    impl_->wake.notify_one();
    return handle;
}

void DesktopInhibitor::release(uint64_t handle) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->worker.joinable()) return;  // nothing was ever taken
    impl_->jobs.push_back({handle, false, DesktopInhibition::Idle, {}});
    impl_->wake.notify_one();
}

}  // namespace quill::platform::power
