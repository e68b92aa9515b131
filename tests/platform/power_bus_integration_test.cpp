// The logind backend and the desktop's inhibitors against a private message bus (dbus-daemon, which starts
// no service of its own) on which the test plays logind and whichever of the desktop's services a test
// asks for: the portal, the GNOME session manager, the screen saver service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dbus/Bus.h"
#include "platform/power/Power.h"
#include "support/PrivateSessionBus.h"
#include "support/TempFolder.h"

namespace quill::platform::power {

using dbus::BusCall;
using dbus::openBus;
namespace {

struct DesktopServices {
    bool portal = false;
    bool sessionManager = false;
    bool screenSaver = false;
};

// logind's Inhibit and the desktop services' calls, each recorded. logind's inhibitor is a pipe whose read
// end the fake keeps, so that it sees when every copy of the write end is closed. A grant is numbered by
// the calls to its service so far: the nth call to the portal grants ".../request/1/q<n>", the session
// manager's and the screen saver's cookies are that number.
class FakeDesktop {
  public:
    FakeDesktop(const std::string& address, DesktopServices services) {
        for (int i = 0; i < 500 && !bus_; ++i) {
            bus_ = openBus(address.c_str(), false, 5);
            if (bus_ && sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0) break;
            bus_ = sd_bus_flush_close_unref(bus_);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!bus_) return;
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kLogind, this);
        if (services.portal) {
            sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0);
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                                     "org.freedesktop.portal.Inhibit", kPortal, this);
            sd_bus_add_fallback_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop/request/1",
                                       "org.freedesktop.portal.Request", kRequest, nullptr, this);
        }
        if (services.sessionManager) {
            sd_bus_request_name(bus_, "org.gnome.SessionManager", 0);
            sd_bus_add_object_vtable(bus_, nullptr, "/org/gnome/SessionManager", "org.gnome.SessionManager",
                                     kSessionManager, this);
        }
        if (services.screenSaver) {
            sd_bus_request_name(bus_, "org.freedesktop.ScreenSaver", 0);
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/ScreenSaver",
                                     "org.freedesktop.ScreenSaver", kScreenSaver, this);
        }
        loop_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 20000);
            }
        });
    }
    ~FakeDesktop() {
        stop_ = true;
        if (loop_.joinable()) loop_.join();
        sd_bus_flush_close_unref(bus_);
        if (inhibitor_ >= 0) close(inhibitor_);
    }
    // The calls once there are n of them (at most 5 s later).
    std::vector<std::string> calls(size_t n) {
        for (int i = 0; i < 500 && copy().size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return copy();
    }
    // Whether logind's inhibitor is closed within 5 s.
    bool inhibitorReleased() {
        pollfd p{inhibitor_, POLLIN, 0};
        return inhibitor_ >= 0 && poll(&p, 1, 5000) == 1 && (p.revents & POLLHUP);
    }
    sd_bus* bus_ = nullptr;

  private:
    static FakeDesktop& of(void* self) { return *static_cast<FakeDesktop*>(self); }

    static int logindInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *what, *who, *why, *mode;
        sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
        of(self).record(std::string("logind ") + what + " " + mode, fds[0]);
        const int r = sd_bus_reply_method_return(m, "h", fds[1]);
        close(fds[1]);
        return r;
    }
    static int portalInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* window;
        uint32_t flags = 0;
        sd_bus_message_read(m, "su", &window, &flags);
        const size_t n = of(self).record("portal " + std::to_string(flags));
        const std::string request = "/org/freedesktop/portal/desktop/request/1/q" + std::to_string(n);
        return sd_bus_reply_method_return(m, "o", request.c_str());
    }
    static int requestClose(sd_bus_message* m, void* self, sd_bus_error*) {
        const std::string path = sd_bus_message_get_path(m);
        of(self).record("portal close " + path.substr(path.rfind('/') + 1));
        return sd_bus_reply_method_return(m, "");
    }
    static int sessionManagerInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *app, *reason;
        uint32_t window = 0, flags = 0;
        sd_bus_message_read(m, "susu", &app, &window, &reason, &flags);
        const size_t n = of(self).record("session-manager " + std::to_string(flags));
        return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(n));
    }
    static int sessionManagerUninhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        uint32_t cookie = 0;
        sd_bus_message_read(m, "u", &cookie);
        of(self).record("session-manager uninhibit " + std::to_string(cookie));
        return sd_bus_reply_method_return(m, "");
    }
    static int screenSaverInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const size_t n = of(self).record("screensaver inhibit");
        return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(n));
    }
    static int screenSaverUninhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        uint32_t cookie = 0;
        sd_bus_message_read(m, "u", &cookie);
        of(self).record("screensaver uninhibit " + std::to_string(cookie));
        return sd_bus_reply_method_return(m, "");
    }
    static constexpr sd_bus_vtable kLogind[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ssss", "h", logindInhibit, 0), SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kPortal[] = {SD_BUS_VTABLE_START(0),
                                                SD_BUS_METHOD("Inhibit", "sua{sv}", "o", portalInhibit, 0),
                                                SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kRequest[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", requestClose, 0), SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kSessionManager[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "susu", "u", sessionManagerInhibit, 0),
        SD_BUS_METHOD("Uninhibit", "u", "", sessionManagerUninhibit, 0), SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kScreenSaver[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ss", "u", screenSaverInhibit, 0),
        SD_BUS_METHOD("UnInhibit", "u", "", screenSaverUninhibit, 0), SD_BUS_VTABLE_END};

    // The number of calls to that service (the call's first word) so far, this one included.
    size_t record(const std::string& call, int inhibitor = -1) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (inhibitor >= 0) inhibitor_ = inhibitor;
        return ++counts_[call.substr(0, call.find(' '))];
    }
    std::vector<std::string> copy() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::atomic<bool> stop_{false};
    std::thread loop_;
    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::map<std::string, size_t> counts_;
    int inhibitor_ = -1;
};

// A private bus that activates no service: a desktop service the test does not play is not there.
class PowerBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.started()) GTEST_SKIP() << bus.failure();
    }

    testing::TempFolder tmp;
    testing::PrivateSessionBus bus{tmp.str()};
    const std::string address = bus.address();
};

TEST_F(PowerBusTest, LogindAndThePortalKeepTheDisplayAwakeAndThePortalAloneHoldsOffAutomaticSuspend) {
    FakeDesktop desktop(address, {.portal = true});
    ASSERT_TRUE(desktop.bus_);
    PowerManager pm(makeLogindBackend(address.c_str(), address.c_str()));
    pm.beginActivity(false, "Batch processing files");  // as at launch
    ASSERT_EQ(desktop.calls(1).size(), 1u);
    IOPMAssertionID id = 0;
    pm.IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleDisplaySleep, 255, "Screen Mirroring",
                                   &id);
    EXPECT_EQ(desktop.calls(3), (std::vector<std::string>{"portal 4", "logind idle block", "portal 8"}));
    pm.IOPMAssertionRelease(id);
    EXPECT_TRUE(desktop.inhibitorReleased());
    EXPECT_EQ(desktop.calls(4),
              (std::vector<std::string>{"portal 4", "logind idle block", "portal 8", "portal close q2"}));
}

// Without a portal, the launch activity and then one mirroring run, whatever the backend's own means.
TEST_F(PowerBusTest, WithoutAPortalTheSessionManagerElseTheScreenSaverServiceHoldsOffIdle) {
    struct Case {
        DesktopServices services;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {{.sessionManager = true, .screenSaver = true},
         {"session-manager 4", "session-manager 8", "session-manager uninhibit 2"}},
        // The screen saver service never holds off suspend: it would keep the screen from locking.
        {{.screenSaver = true}, {"screensaver inhibit", "screensaver uninhibit 1"}},
    };
    for (const Case& c : cases) {
        FakeDesktop desktop(address, c.services);
        ASSERT_TRUE(desktop.bus_);
        PowerManager pm(makeNoopBackend(address.c_str()));
        pm.beginActivity(false, "Batch processing files");
        IOPMAssertionID id = 0;
        pm.IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleDisplaySleep, 255, "Screen Mirroring",
                                       &id);
        pm.IOPMAssertionRelease(id);
        EXPECT_EQ(desktop.calls(c.calls.size()), c.calls);
    }
}

}  // namespace
}  // namespace quill::platform::power
