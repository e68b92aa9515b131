// The logind backend and the desktop's inhibitor of automatic suspend against a private message bus
// (dbus-daemon) on which the test plays logind and the desktop portal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/power/Bus.h"
#include "platform/power/Power.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"

namespace quill::platform::power {
namespace {

// logind's and the portal's Inhibit, each call recorded. logind's inhibitor is a pipe whose read end the
// fake keeps, so that it sees when every copy of the write end is closed.
class FakeDesktop {
  public:
    explicit FakeDesktop(const std::string& address) {
        for (int i = 0; i < 500 && !bus_; ++i) {
            bus_ = openBus(address.c_str(), false, 5);
            if (bus_ && sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0) break;
            bus_ = sd_bus_flush_close_unref(bus_);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!bus_) return;
        sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0);
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kLogind, this);
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.portal.Inhibit", kPortal, this);
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
    static int logindInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *what, *who, *why, *mode;
        sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
        static_cast<FakeDesktop*>(self)->record(std::string("logind ") + what + " " + mode, fds[0]);
        const int r = sd_bus_reply_method_return(m, "h", fds[1]);
        close(fds[1]);
        return r;
    }
    static int portalInhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* window;
        uint32_t flags = 0;
        sd_bus_message_read(m, "su", &window, &flags);
        static_cast<FakeDesktop*>(self)->record("portal " + std::to_string(flags), -1);
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/portal/desktop/request/1/q");
    }
    static constexpr sd_bus_vtable kLogind[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ssss", "h", logindInhibit, 0), SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kPortal[] = {SD_BUS_VTABLE_START(0),
                                                SD_BUS_METHOD("Inhibit", "sua{sv}", "o", portalInhibit, 0),
                                                SD_BUS_VTABLE_END};

    void record(const std::string& call, int inhibitor) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (inhibitor >= 0) inhibitor_ = inhibitor;
    }
    std::vector<std::string> copy() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::atomic<bool> stop_{false};
    std::thread loop_;
    std::mutex mutex_;
    std::vector<std::string> calls_;
    int inhibitor_ = -1;
};

TEST(PowerBusTest, LogindKeepsTheDisplayAwakeAndOnlyTheDesktopHoldsOffAutomaticSuspend) {
    testing::TempFolder tmp;
    const std::string address = "unix:path=" + (tmp / "bus");
    const pid_t daemon =
        testing::spawnQuietly({"dbus-daemon", "--session", "--nofork", "--address=" + address}, nullptr);
    if (daemon < 0) GTEST_SKIP() << "no dbus-daemon for this test";
    const std::shared_ptr<void> endDaemon(nullptr, [daemon](void*) { testing::endChildProcess(daemon); });
    FakeDesktop desktop(address);
    ASSERT_TRUE(desktop.bus_);
    PowerManager pm(makeLogindBackend(address.c_str(), address.c_str()));
    pm.beginActivity(false, "Batch processing files");  // as at launch
    ASSERT_EQ(desktop.calls(1).size(), 1u);
    IOPMAssertionID id = 0;
    pm.IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleDisplaySleep, 255, "Screen Mirroring",
                                   &id);
    EXPECT_EQ(desktop.calls(2), (std::vector<std::string>{"portal 4", "logind idle block"}));
    pm.IOPMAssertionRelease(id);
    EXPECT_TRUE(desktop.inhibitorReleased());
}

}  // namespace
}  // namespace quill::platform::power
