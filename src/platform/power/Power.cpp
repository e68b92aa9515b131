#include "platform/power/Power.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/foundation/SysLog.h"

namespace quill::platform::power {
namespace {

// The screen saver (and with it DPMS) suspended while anything is held. The X server keeps the
// suspension only as long as this client is connected, so a process that dies leaves the user's
// settings as they were.
class X11Backend : public PowerBackend {
  public:
    explicit X11Backend(Display* display) : display_(display) {}
    ~X11Backend() override {
        std::lock_guard lock(mutex_);
        if (held_ > 0) suspend(false);
        XCloseDisplay(display_);
    }
    std::string name() const override { return "x11"; }
    uint64_t take(const std::string&, const std::string&) override {
        std::lock_guard lock(mutex_);
        if (held_++ == 0) suspend(true);
        return next_++;
    }
    void release(uint64_t) override {
        std::lock_guard lock(mutex_);
        if (held_ > 0 && --held_ == 0) suspend(false);
    }

  private:
    void suspend(bool on) {
        XScreenSaverSuspend(display_, on ? True : False);
        XFlush(display_);
    }
    std::mutex mutex_;
    Display* display_;
    int held_ = 0;
    uint64_t next_ = 1;
};

// One logind inhibitor per assertion: the file descriptor that logind's Inhibit call hands out holds it,
// and the kernel closes it when the process dies, so nothing outlives the process.
class LogindBackend : public PowerBackend {
  public:
    explicit LogindBackend(sd_bus* bus) : bus_(bus) {}
    ~LogindBackend() override {
        std::lock_guard lock(mutex_);
        for (auto& [handle, fd] : inhibitors_)
            ::close(fd);
        sd_bus_flush_close_unref(bus_);
    }
    std::string name() const override { return "logind"; }
    uint64_t take(const std::string& type, const std::string& reason) override {
        const char* what = type == kIOPMAssertionTypePreventUserIdleDisplaySleep ? "idle" : "idle:sleep";
        std::lock_guard lock(mutex_);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int fd = -1;
        int r = sd_bus_call_method(bus_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", what,
                                   "Quillaran", reason.c_str(), "block");
        if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
        // The descriptor belongs to the reply: keep a copy of our own.
        const int mine = r >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
        if (mine < 0) {
            sysLog("logind inhibitor \"%s\" not taken: %s", reason.c_str(),
                   error.message ? error.message : std::strerror(r < 0 ? -r : errno));
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (mine < 0) return 0;
        const uint64_t handle = next_++;
        inhibitors_[handle] = mine;
        return handle;
    }
    void release(uint64_t handle) override {
        std::lock_guard lock(mutex_);
        auto it = inhibitors_.find(handle);
        if (it == inhibitors_.end()) return;
        ::close(it->second);
        inhibitors_.erase(it);
    }

  private:
    std::mutex mutex_;
    sd_bus* bus_;
    uint64_t next_ = 1;
    std::map<uint64_t, int> inhibitors_;  // handle -> inhibitor descriptor
};

class NoopBackend : public PowerBackend {
  public:
    std::string name() const override { return "none"; }
    uint64_t take(const std::string& type, const std::string& reason) override {
        sysLog("no means to keep the display awake here; \"%s\" (%s) is not held", reason.c_str(),
               type.c_str());
        return 0;
    }
    void release(uint64_t) override {}
};

}  // namespace

std::unique_ptr<PowerBackend> makeX11Backend(const char* displayName) {
    Display* d = XOpenDisplay(displayName);
    if (d == nullptr) return nullptr;
    int event = 0, error = 0;
    if (!XScreenSaverQueryExtension(d, &event, &error)) {
        XCloseDisplay(d);
        return nullptr;
    }
    return std::make_unique<X11Backend>(d);
}

std::unique_ptr<PowerBackend> makeLogindBackend() {
    std::error_code ec;
    if (!std::filesystem::is_directory("/run/systemd/system", ec)) return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    return std::make_unique<LogindBackend>(bus);
}

std::unique_ptr<PowerBackend> makeNoopBackend() {
    return std::make_unique<NoopBackend>();
}

std::unique_ptr<PowerBackend> makeDefaultBackend() {
    const char* choice = std::getenv("QUILLARAN_POWER");
    std::string c = choice ? choice : "";
    if (c == "none") return makeNoopBackend();
    if (c.empty() || c == "x11") {
        if (auto b = makeX11Backend()) return b;
    }
    if (c.empty() || c == "logind") {
        if (auto b = makeLogindBackend()) return b;
    }
    return makeNoopBackend();
}

uint64_t RecordingPowerBackend::take(const std::string& type, const std::string& reason) {
    std::lock_guard lock(mutex_);
    if (refuse_) return 0;
    entries_.push_back(Entry{type, reason, false});
    return entries_.size();
}

void RecordingPowerBackend::release(uint64_t handle) {
    std::lock_guard lock(mutex_);
    if (handle >= 1 && handle <= entries_.size()) entries_[handle - 1].released = true;
}

std::vector<RecordingPowerBackend::Entry> RecordingPowerBackend::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

size_t RecordingPowerBackend::held() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& e : entries_)
        n += e.released ? 0 : 1;
    return n;
}

PowerManager& PowerManager::shared() {
    static PowerManager manager(makeDefaultBackend());
    return manager;
}

PowerManager::PowerManager(std::shared_ptr<PowerBackend> backend) : backend_(std::move(backend)) {}

PowerManager::~PowerManager() {
    std::lock_guard lock(mutex_);
    for (auto& [id, handle] : assertions_) {
        if (handle) backend_->release(handle);
    }
    for (auto& [token, handle] : activities_) {
        if (handle) backend_->release(handle);
    }
}

template <class Key>
Key PowerManager::addEntry(std::map<Key, uint64_t>& entries, Key& next, uint64_t handle) {
    std::lock_guard lock(mutex_);
    const Key key = next++;
    entries[key] = handle;
    return key;
}

template <class Key>
bool PowerManager::releaseEntry(std::map<Key, uint64_t>& entries, Key key) {
    uint64_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = entries.find(key);
        if (it == entries.end()) return false;
        handle = it->second;
        entries.erase(it);
    }
    if (handle) backend_->release(handle);
    return true;
}

IOReturn PowerManager::IOPMAssertionCreateWithName(const std::string& type, int level,
                                                   const std::string& name, IOPMAssertionID* assertionID) {
    if (assertionID == nullptr || level != kIOPMAssertionLevelOn) return kIOReturnBadArgument;
    *assertionID = addEntry(assertions_, nextID_, backend_->take(type, name));
    return kIOReturnSuccess;
}

IOReturn PowerManager::IOPMAssertionRelease(IOPMAssertionID assertionID) {
    return releaseEntry(assertions_, assertionID) ? kIOReturnSuccess : kIOReturnNotFound;
}

size_t PowerManager::heldAssertions() const {
    std::lock_guard lock(mutex_);
    return assertions_.size();
}

uint64_t PowerManager::beginActivity(bool allowIdleSystemSleep, const std::string& reason) {
    const uint64_t handle =
        allowIdleSystemSleep ? 0 : backend_->take(kIOPMAssertionTypePreventUserIdleSystemSleep, reason);
    return addEntry(activities_, nextToken_, handle);
}

void PowerManager::endActivity(uint64_t token) {
    releaseEntry(activities_, token);
}

}  // namespace quill::platform::power
