#include "support/PortalDesktop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dbus/Bus.h"
#include "support/ChildProcess.h"
#include "support/FileText.h"
#include "support/PrivateSessionBus.h"
#include "support/TempFolder.h"

extern char** environ;

namespace quill::testing {

namespace {

constexpr const char* kDesktopName = "quilltest";
constexpr const char* kChooserName = "org.freedesktop.impl.portal.desktop.quilltest";
constexpr const char* kFrontend = "/usr/libexec/xdg-desktop-portal";
constexpr const char* kPermissionStore = "/usr/libexec/xdg-permission-store";
constexpr const char* kRestoreVendor = "quilltest";
constexpr uint32_t kRestoreVersion = 1;

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// What a SelectSources asked for; `ours` when it handed back restore data this stand-in gave.
struct Selection {
    uint32_t types = 0;
    bool multiple = false;
    uint32_t cursorMode = 0;
    uint32_t persistMode = 0;
    bool restoreData = false;
    bool ours = false;
};

// Reads the restore data variant (suv); true when it is this stand-in's.
bool readRestoreData(sd_bus_message* m) {
    const char* vendor = nullptr;
    uint32_t version = 0;
    bool ours = sd_bus_message_enter_container(m, 'v', "(suv)") > 0 &&
                sd_bus_message_enter_container(m, 'r', "suv") > 0 &&
                sd_bus_message_read(m, "su", &vendor, &version) > 0 && sd_bus_message_skip(m, "v") >= 0 &&
                sd_bus_message_exit_container(m) > 0 && sd_bus_message_exit_container(m) > 0;
    return ours && vendor == std::string(kRestoreVendor) && version == kRestoreVersion;
}

// Reads the options vardict of SelectSources; values of unexpected types count as absent.
int readSelection(sd_bus_message* m, Selection& s) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r <= 0) return r < 0 ? r : -EINVAL;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
        if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
        const std::string k = key, sig = contents ? contents : "";
        uint32_t* number = k == "types"          ? &s.types
                           : k == "cursor_mode"  ? &s.cursorMode
                           : k == "persist_mode" ? &s.persistMode
                                                 : nullptr;
        if (number && sig == "u") {
            r = sd_bus_message_read(m, "v", "u", number);
        } else if (k == "multiple" && sig == "b") {
            int b = 0;
            r = sd_bus_message_read(m, "v", "b", &b);
            s.multiple = b != 0;
        } else if (k == "restore_data" && sig == "(suv)") {
            s.restoreData = true;
            s.ours = readRestoreData(m);
            r = 0;
        } else {
            s.restoreData = s.restoreData || k == "restore_data";
            r = sd_bus_message_skip(m, "v");
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// The stand-in for the desktop's screen-sharing dialog: the ScreenCast backend, its sessions and the held
// request, served on its own thread. Fields marked "loop" are touched by that thread only; the others under
// mutex_.
class StandInChooser {
  public:
    using Answer = PortalDesktop::Answer;

    ~StandInChooser() { stop(); }

    // Connects to the bus, takes the backend's name and starts serving; false with why when it cannot.
    bool start(const std::string& address, std::string& failure) {
        bus_ = platform::dbus::openBus(address.c_str(), false, 5);
        if (!bus_) return fail(failure, "the stand-in chooser cannot connect to the private bus");
        if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                                     "org.freedesktop.impl.portal.ScreenCast", kScreenCast, this) < 0 ||
            sd_bus_request_name(bus_, kChooserName, 0) < 0)
            return fail(failure, "the stand-in chooser cannot take its name on the bus");
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0 || sd_event_new(&event_) < 0 || sd_bus_attach_event(bus_, event_, 0) < 0 ||
            sd_event_add_io(event_, nullptr, wake_, EPOLLIN, onWake, this) < 0)
            return fail(failure, "the stand-in chooser cannot set up its event loop");
        loop_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "quill-portal-ui");
            sd_event_loop(event_);
            // Whatever is asked from now on runs on the asking thread (see call()); what was asked before
            // runs here.
            std::vector<std::function<void()>> work;
            {
                std::lock_guard lock(queueMutex_);
                loopEnded_ = true;
                work.swap(queue_);
            }
            for (auto& f : work)
                f();
        });
        return true;
    }

    void stop() {
        if (loop_.joinable()) {
            call([this] { sd_event_exit(event_, 0); });
            loop_.join();
        }
        if (held_) sd_bus_message_unref(held_->call);
        held_.reset();
        for (sd_bus_slot* slot : slots_)
            sd_bus_slot_unref(slot);
        slots_.clear();
        if (bus_) sd_bus_detach_event(bus_);
        bus_ = sd_bus_flush_close_unref(bus_);
        event_ = sd_event_unref(event_);
        if (wake_ >= 0) close(wake_);
        wake_ = -1;
    }

    void setAnswer(Answer answer, uint32_t node, int width, int height) {
        std::lock_guard lock(mutex_);
        script_ = {answer, node, width, height};
    }

    void setRemembersChoices(bool remembers) {
        std::lock_guard lock(mutex_);
        remembers_ = remembers;
    }

    bool waitForStarts(size_t n, double timeoutSeconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, after(timeoutSeconds), [&] { return starts_.size() >= n; });
    }
    std::vector<PortalDesktop::Start> starts() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }

    bool answerHeld(Answer answer) {
        if (answer == Answer::Hold) return false;
        return call([&] {
            if (!held_) return false;
            Script script;
            {
                std::lock_guard lock(mutex_);
                script = script_;
            }
            script.answer = answer;
            reply(held_->call, script, held_->persistMode);
            releaseHeld();
            return true;
        });
    }
    bool waitForHeldClosed(double timeoutSeconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, after(timeoutSeconds), [&] { return heldClosed_; });
    }

    void endShares() {
        call([this] {
            std::vector<std::string> ended;
            {
                std::lock_guard lock(mutex_);
                for (auto& [path, session] : sessions_) {
                    if (!session.open) continue;
                    session.open = false;
                    ended.push_back(path);
                }
            }
            for (const std::string& path : ended) {
                sd_bus_emit_signal(bus_, path.c_str(), "org.freedesktop.impl.portal.Session", "Closed", "");
                if (held_ && held_->session == path) closeHeld();
            }
            changed_.notify_all();
        });
    }
    size_t openSessions() const {
        std::lock_guard lock(mutex_);
        return countOpen();
    }
    bool waitForSessionsClosed(double timeoutSeconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, after(timeoutSeconds), [&] { return countOpen() == 0; });
    }
    size_t sessionCloseCalls() const {
        std::lock_guard lock(mutex_);
        return sessionCloseCalls_;
    }

  private:
    struct Script {
        Answer answer = Answer::Grant;
        uint32_t node = 0;
        int width = 1920;
        int height = 1080;
    };
    struct Session {
        Selection selection;
        bool open = true;
    };
    struct Held {
        sd_bus_message* call;  // the Start, referenced until answered
        std::string request;
        std::string session;
        uint32_t persistMode;
    };

    static bool fail(std::string& failure, const char* why) {
        failure = why;
        return false;
    }
    static StandInChooser& of(void* self) { return *static_cast<StandInChooser*>(self); }

    // Runs f on the loop thread and returns its result; on the calling thread once the loop has ended.
    template <class F>
    auto call(F f) -> decltype(f()) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        {
            std::unique_lock lock(queueMutex_);
            if (loopEnded_) {
                lock.unlock();
                task();
                return result.get();
            }
            queue_.emplace_back([&task] { task(); });
        }
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one) std::terminate();
        return result.get();
    }
    static int onWake(sd_event_source*, int fd, uint32_t, void* self) {
        uint64_t count = 0;
        if (read(fd, &count, sizeof count) < 0 && errno != EAGAIN) return -errno;
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(of(self).queueMutex_);
            work.swap(of(self).queue_);
        }
        for (auto& f : work)
            f();
        return 0;
    }

    size_t countOpen() const {
        size_t n = 0;
        for (const auto& [path, session] : sessions_)
            n += session.open ? 1 : 0;
        return n;
    }

    // Answers a Start as scripted: a grant gives one monitor stream and, when the session is to persist,
    // restore data of this stand-in's.
    static int reply(sd_bus_message* call, const Script& s, uint32_t persistMode) {
        switch (s.answer) {
            case Answer::Grant:
                if (persistMode == 0)
                    return sd_bus_reply_method_return(call, "ua{sv}", 0u, 2u, "streams", "a(ua{sv})", 1u,
                                                      s.node, 2u, "source_type", "u", 1u, "size", "(ii)",
                                                      s.width, s.height, "persist_mode", "u", persistMode);
                return sd_bus_reply_method_return(call, "ua{sv}", 0u, 3u, "streams", "a(ua{sv})", 1u, s.node,
                                                  2u, "source_type", "u", 1u, "size", "(ii)", s.width,
                                                  s.height, "persist_mode", "u", persistMode, "restore_data",
                                                  "(suv)", kRestoreVendor, kRestoreVersion, "u", s.node);
            case Answer::Cancel:
                return sd_bus_reply_method_return(call, "ua{sv}", 1u, 0u);
            case Answer::Fail:
            case Answer::Hold:
                break;
        }
        return sd_bus_reply_method_return(call, "ua{sv}", 2u, 0u);
    }

    // loop: the held Start ends unanswered by the test: the frontend gets "other" (2), as for a dialog that
    // went away.
    void closeHeld() {
        sd_bus_reply_method_return(held_->call, "ua{sv}", 2u, 0u);
        releaseHeld();
        std::lock_guard lock(mutex_);
        heldClosed_ = true;
        changed_.notify_all();
    }
    void releaseHeld() {
        sd_bus_message_unref(held_->call);
        held_.reset();
    }

    static int createSession(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *handle, *sessionHandle, *appId;
        int r = sd_bus_message_read(m, "oos", &handle, &sessionHandle, &appId);
        if (r < 0) return r;
        sd_bus_slot* slot = nullptr;
        r = sd_bus_add_object_vtable(of(self).bus_, &slot, sessionHandle,
                                     "org.freedesktop.impl.portal.Session", kSession, self);
        if (r < 0) return r;
        of(self).slots_.push_back(slot);
        {
            std::lock_guard lock(of(self).mutex_);
            of(self).sessions_[sessionHandle] = Session{};
        }
        of(self).changed_.notify_all();
        return sd_bus_reply_method_return(m, "ua{sv}", 0u, 1u, "session_id", "s", sessionHandle);
    }

    static int selectSources(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *handle, *sessionHandle, *appId;
        int r = sd_bus_message_read(m, "oos", &handle, &sessionHandle, &appId);
        Selection selection;
        if (r < 0 || (r = readSelection(m, selection)) < 0) return r;
        {
            std::lock_guard lock(of(self).mutex_);
            auto it = of(self).sessions_.find(sessionHandle);
            if (it == of(self).sessions_.end() || !it->second.open)
                return sd_bus_reply_method_return(m, "ua{sv}", 2u, 0u);
            it->second.selection = selection;
        }
        return sd_bus_reply_method_return(m, "ua{sv}", 0u, 0u);
    }

    static int start(sd_bus_message* m, void* self, sd_bus_error*) {
        StandInChooser& c = of(self);
        const char *handle, *sessionHandle, *appId, *parentWindow;
        const int r = sd_bus_message_read(m, "ooss", &handle, &sessionHandle, &appId, &parentWindow);
        if (r < 0) return r;
        Selection selection;
        Script script;
        bool open = false;
        {
            std::lock_guard lock(c.mutex_);
            auto it = c.sessions_.find(sessionHandle);
            open = it != c.sessions_.end() && it->second.open;
            if (open) selection = it->second.selection;
            selection.ours = selection.ours && c.remembers_;
            script = c.script_;
        }
        // A remembered choice is granted without a dialog.
        if (selection.ours) script.answer = Answer::Grant;
        const bool hold = open && script.answer == Answer::Hold && !c.held_;
        if (hold) {
            sd_bus_slot* slot = nullptr;
            if (sd_bus_add_object_vtable(c.bus_, &slot, handle, "org.freedesktop.impl.portal.Request",
                                         kRequest, self) >= 0)
                c.slots_.push_back(slot);
            c.held_ = Held{sd_bus_message_ref(m), handle, sessionHandle, selection.persistMode};
        }
        {
            std::lock_guard lock(c.mutex_);
            if (hold) c.heldClosed_ = false;
            c.starts_.push_back({appId, parentWindow, selection.types, selection.multiple,
                                 selection.cursorMode, selection.persistMode, selection.restoreData,
                                 selection.ours});
        }
        c.changed_.notify_all();
        if (hold) return 1;
        // A Start on a closed session, or a second Hold while one is held, fails.
        if (!open || script.answer == Answer::Hold) script.answer = Answer::Fail;
        return reply(m, script, selection.persistMode);
    }

    static int requestClose(sd_bus_message* m, void* self, sd_bus_error*) {
        StandInChooser& c = of(self);
        if (c.held_ && c.held_->request == sd_bus_message_get_path(m)) c.closeHeld();
        return sd_bus_reply_method_return(m, "");
    }

    static int sessionClose(sd_bus_message* m, void* self, sd_bus_error*) {
        StandInChooser& c = of(self);
        const std::string path = sd_bus_message_get_path(m);
        {
            std::lock_guard lock(c.mutex_);
            ++c.sessionCloseCalls_;
            auto it = c.sessions_.find(path);
            if (it != c.sessions_.end()) it->second.open = false;
        }
        c.changed_.notify_all();
        if (c.held_ && c.held_->session == path) c.closeHeld();
        return sd_bus_reply_method_return(m, "");
    }

    static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply, void*,
                        sd_bus_error*) {
        const std::string n = name;
        const uint32_t value = n == "AvailableSourceTypes"   ? 1u | 2u
                               : n == "AvailableCursorModes" ? 1u | 2u
                                                             : 4u;
        return sd_bus_message_append(reply, "u", value);
    }
    static int sessionVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                              sd_bus_error*) {
        return sd_bus_message_append(reply, "u", 1u);
    }

    static constexpr sd_bus_vtable kScreenCast[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("SelectSources", "oosa{sv}", "ua{sv}", selectSources, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Start", "oossa{sv}", "ua{sv}", start, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("AvailableSourceTypes", "u", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("AvailableCursorModes", "u", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("version", "u", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kSession[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", sessionClose, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("Closed", "", 0), SD_BUS_PROPERTY("version", "u", sessionVersion, 0, 0),
        SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kRequest[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", requestClose, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    // loop
    sd_bus* bus_ = nullptr;
    sd_event* event_ = nullptr;
    std::thread loop_;
    std::optional<Held> held_;
    std::vector<sd_bus_slot*> slots_;  // sessions' and held requests' objects, kept until the end

    int wake_ = -1;
    std::mutex queueMutex_;
    std::vector<std::function<void()>> queue_;
    bool loopEnded_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Script script_;
    std::vector<PortalDesktop::Start> starts_;
    std::map<std::string, Session> sessions_;
    size_t sessionCloseCalls_ = 0;
    bool heldClosed_ = false;
    bool remembers_ = true;
};

// The test's environment without what would lead a desktop service to the user's own session, and with
// this desktop's home, bus, portal folder and PipeWire.
std::vector<std::string> desktopEnvironment(const TempFolder& folder, const std::string& pipewireRuntimeDir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.starts_with("HOME=") || kv.starts_with("XDG_") || kv.starts_with("DBUS_") ||
            kv.starts_with("PIPEWIRE_") || kv.starts_with("DISPLAY=") || kv.starts_with("WAYLAND_DISPLAY=") ||
            kv.starts_with("GSETTINGS_") || kv.starts_with("GIO_"))
            continue;
        env.push_back(kv);
    }
    const std::string home = folder / "home";
    for (const std::string& kv : {
             "HOME=" + home,
             "XDG_DATA_HOME=" + home + "/.local/share",
             "XDG_CONFIG_HOME=" + home + "/.config",
             "XDG_CACHE_HOME=" + home + "/.cache",
             "XDG_STATE_HOME=" + home + "/.local/state",
             "XDG_RUNTIME_DIR=" + (folder / "run"),
             "PIPEWIRE_RUNTIME_DIR=" + pipewireRuntimeDir,
             "XDG_DESKTOP_PORTAL_DIR=" + (folder / "portals"),
             "XDG_CURRENT_DESKTOP=" + std::string(kDesktopName),
             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "bus"),
             // No system bus, wherever the test runs: the portals that would use one stay idle.
             "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (folder / "no-system-bus"),
             // No dconf, no GVfs daemons: nothing of GLib's reaches outside this desktop.
             std::string("GSETTINGS_BACKEND=memory"),
             std::string("GIO_USE_VFS=local"),
         })
        env.push_back(kv);
    return env;
}

// The end of a log, for a failure message.
std::string logTail(const std::string& path) {
    const std::string text = readFileText(path);
    return text.size() > 600 ? "..." + text.substr(text.size() - 600) : text;
}

}  // namespace

struct PortalDesktop::Impl {
    TempFolder folder;
    std::optional<PrivateSessionBus> bus;
    StandInChooser chooser;
    pid_t permissionStore = -1;
    pid_t frontend = -1;
    std::string address;
    std::string failure;
    bool available = false;

    bool start(const std::string& pipewireRuntimeDir, double timeoutSeconds);
    bool waitForFrontend(sd_bus* client, Clock::time_point deadline);
    // Whether the process has exited; failure says so, with the end of its log.
    bool exited(pid_t& pid, const std::string& name);
    ~Impl() {
        // The frontend first, while the services it talks to are still there.
        endChildProcess(frontend, 3);
        chooser.stop();
        endChildProcess(permissionStore, 3);
        bus.reset();
    }
};

bool PortalDesktop::Impl::exited(pid_t& pid, const std::string& name) {
    if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != pid) return false;
    pid = -1;
    failure = name + " exited at start: " + logTail(folder / (name + ".log"));
    return true;
}

bool PortalDesktop::Impl::start(const std::string& pipewireRuntimeDir, double timeoutSeconds) {
    for (const char* program : {kFrontend, kPermissionStore}) {
        if (access(program, X_OK) != 0) {
            failure = std::string(program) + " is not installed (Debian package xdg-desktop-portal)";
            return false;
        }
    }
    // The frontend connects to PipeWire only when a client asks for the remote: a wrong folder would show
    // only then.
    if (access((pipewireRuntimeDir + "/pipewire-0").c_str(), F_OK) != 0) {
        failure = "no PipeWire socket pipewire-0 in \"" + pipewireRuntimeDir + "\"";
        return false;
    }
    const auto deadline = after(timeoutSeconds);
    for (const char* sub : {"home", "run", "portals"})
        mkdir((folder / sub).c_str(), 0700);
    writeFileText(folder / "portals/quilltest.portal",
                  "[portal]\nDBusName=" + std::string(kChooserName) +
                      "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=" + kDesktopName + "\n");
    const std::vector<std::string> env = desktopEnvironment(folder, pipewireRuntimeDir);

    bus.emplace(folder.str(), &env, timeoutSeconds);
    if (!bus->started()) {
        failure = bus->failure();
        return false;
    }
    address = bus->address();
    // The chooser is on the bus before the frontend looks for its backends.
    if (!chooser.start(address, failure)) return false;
    sd_bus* client = platform::dbus::openBus(address.c_str(), false, 1);
    if (!client) {
        failure = "cannot connect to the private bus";
        return false;
    }
    permissionStore = spawnQuietly({kPermissionStore}, &env, folder / "xdg-permission-store.log");
    bool ok = permissionStore > 0;
    if (!ok) failure = "xdg-permission-store cannot be started";
    while (ok) {
        int owned = 0;
        platform::dbus::BusCall c;
        c.r = sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner", &c.error, &c.reply, "s",
                                 "org.freedesktop.impl.portal.PermissionStore");
        if (c.read("b", &owned) && owned) break;
        if (exited(permissionStore, "xdg-permission-store")) ok = false;
        if (ok && Clock::now() > deadline) {
            failure = "xdg-permission-store did not take its name in time";
            ok = false;
        }
        if (ok) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ok) {
        frontend = spawnQuietly({kFrontend, "--verbose"}, &env, folder / "xdg-desktop-portal.log");
        ok = frontend > 0 && waitForFrontend(client, deadline);
        if (frontend <= 0) failure = "xdg-desktop-portal cannot be started";
    }
    sd_bus_flush_close_unref(client);
    return ok;
}

bool PortalDesktop::Impl::waitForFrontend(sd_bus* client, Clock::time_point deadline) {
    auto property = [&](const char* name) {
        uint32_t value = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_get_property_trivial(
            client, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.portal.ScreenCast", name, &error, 'u', &value);
        sd_bus_error_free(&error);
        return r < 0 ? 0u : value;
    };
    for (;;) {
        // The source types are the chooser's, read by the frontend when it started: 0 means it found none.
        const uint32_t version = property("version");
        if (version >= 4 && property("AvailableSourceTypes") == (1u | 2u)) return true;
        if (exited(frontend, "xdg-desktop-portal")) return false;
        if (Clock::now() > deadline) {
            failure = version == 0  ? "xdg-desktop-portal offered no ScreenCast portal in time"
                      : version < 4 ? "xdg-desktop-portal offers ScreenCast version " +
                                          std::to_string(version) + ", not 4"
                                    : "xdg-desktop-portal did not pick up the stand-in chooser: " +
                                          logTail(folder / "xdg-desktop-portal.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

PortalDesktop::PortalDesktop(const std::string& pipewireRuntimeDir, double startTimeoutSeconds)
    : impl_(std::make_unique<Impl>()) {
    impl_->available = impl_->start(pipewireRuntimeDir, startTimeoutSeconds);
}

PortalDesktop::~PortalDesktop() = default;

bool PortalDesktop::available() const {
    return impl_->available;
}
const std::string& PortalDesktop::failure() const {
    return impl_->failure;
}
const std::string& PortalDesktop::busAddress() const {
    return impl_->address;
}

void PortalDesktop::setAnswer(Answer answer, uint32_t node, int width, int height) {
    impl_->chooser.setAnswer(answer, node, width, height);
}
bool PortalDesktop::waitForStarts(size_t n, double timeoutSeconds) {
    return impl_->chooser.waitForStarts(n, timeoutSeconds);
}
void PortalDesktop::setRemembersChoices(bool remembers) {
    impl_->chooser.setRemembersChoices(remembers);
}
std::vector<PortalDesktop::Start> PortalDesktop::starts() const {
    return impl_->chooser.starts();
}
bool PortalDesktop::answerHeld(Answer answer) {
    return impl_->available && impl_->chooser.answerHeld(answer);
}
bool PortalDesktop::waitForHeldClosed(double timeoutSeconds) {
    return impl_->chooser.waitForHeldClosed(timeoutSeconds);
}
void PortalDesktop::endShares() {
    if (impl_->available) impl_->chooser.endShares();
}
size_t PortalDesktop::openSessions() const {
    return impl_->chooser.openSessions();
}
bool PortalDesktop::waitForSessionsClosed(double timeoutSeconds) {
    return impl_->chooser.waitForSessionsClosed(timeoutSeconds);
}
size_t PortalDesktop::sessionCloseCalls() const {
    return impl_->chooser.sessionCloseCalls();
}

}  // namespace quill::testing
