#include "platform/power/DesktopInhibitor.h"

#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"
#include "platform/power/Bus.h"

namespace quill::platform::power {
namespace {

constexpr uint32_t kInhibitSuspend = 4;  // the suspend flag of both Inhibit calls
constexpr double kCallTimeout = 10;      // seconds; a portal started on demand may take a while
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kSessionManager = "org.gnome.SessionManager";
constexpr const char* kSessionManagerPath = "/org/gnome/SessionManager";

// What one take() holds: the portal's request object, or else the session manager's cookie.
struct Held {
    std::string request;
    uint32_t cookie = 0;
};

}  // namespace

struct DesktopSuspendInhibitor::Impl {
    // With a reason: take the inhibitor for handle; without: release it.
    struct Job {
        uint64_t handle;
        std::optional<std::string> reason;
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
    bool toldNothingHeld = false;
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
            if (job.reason) {
                inhibit(job.handle, *job.reason);
            } else {
                uninhibit(job.handle);
            }
            lock.lock();
        }
    }

    void inhibit(uint64_t handle, const std::string& reason) {
        if (!busTried) {
            busTried = true;
            bus = openBus(address ? address->c_str() : nullptr, false, kCallTimeout);
        }
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (bus) busSocket = sd_bus_get_fd(bus);
        }
        if (!bus) return nothingHeld(reason, "no session bus");
        // The portal, where the desktop implements its Inhibit: the inhibition lasts until its request
        // object is closed.
        BusCall portal;
        portal.r = sd_bus_call_method(
            bus, kPortal, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit", "Inhibit",
            &portal.error, &portal.reply, "sua{sv}", "", kInhibitSuspend, 1, "reason", "s", reason.c_str());
        const char* request = nullptr;
        if (portal.read("o", &request)) {
            held[handle] = Held{request, 0};
            sysLog("automatic suspend held off by the desktop portal for \"%s\"", reason.c_str());
            return;
        }
        BusCall manager;
        manager.r = sd_bus_call_method(bus, kSessionManager, kSessionManagerPath, kSessionManager, "Inhibit",
                                       &manager.error, &manager.reply, "susu", "Quillaran", 0u,
                                       reason.c_str(), kInhibitSuspend);
        uint32_t cookie = 0;
        if (manager.read("u", &cookie)) {
            held[handle] = Held{{}, cookie};
            sysLog("automatic suspend held off by the session manager for \"%s\"", reason.c_str());
            return;
        }
        nothingHeld(reason, "portal: " + portal.failure() + "; session manager: " + manager.failure());
    }

    void nothingHeld(const std::string& reason, const std::string& why) {
        if (toldNothingHeld) return;
        toldNothingHeld = true;
        sysLog("no inhibitor of automatic suspend on this desktop (%s); \"%s\" holds nothing", why.c_str(),
               reason.c_str());
    }

    void uninhibit(uint64_t handle) {
        auto it = held.find(handle);
        if (it == held.end()) return;
        BusCall c;
        if (!it->second.request.empty()) {
            c.r = sd_bus_call_method(bus, kPortal, it->second.request.c_str(),
                                     "org.freedesktop.portal.Request", "Close", &c.error, nullptr, "");
        } else {
            c.r = sd_bus_call_method(bus, kSessionManager, kSessionManagerPath, kSessionManager, "Uninhibit",
                                     &c.error, nullptr, "u", it->second.cookie);
        }
        if (c.r < 0) sysLog("the desktop's suspend inhibitor was not released: %s", c.failure().c_str());
        held.erase(it);
    }
};

DesktopSuspendInhibitor::DesktopSuspendInhibitor(const char* busAddress) : impl_(std::make_unique<Impl>()) {
    if (busAddress) impl_->address = busAddress;
}

DesktopSuspendInhibitor::~DesktopSuspendInhibitor() {
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

uint64_t DesktopSuspendInhibitor::take(const std::string& reason) {
    std::lock_guard lock(impl_->mutex);
    const uint64_t handle = impl_->next++;
    impl_->jobs.push_back({handle, reason});
    if (!impl_->worker.joinable()) impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
    impl_->wake.notify_one();
    return handle;
}

void DesktopSuspendInhibitor::release(uint64_t handle) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->worker.joinable()) return;  // nothing was ever taken
    impl_->jobs.push_back({handle, std::nullopt});
    impl_->wake.notify_one();
}

}  // namespace quill::platform::power
