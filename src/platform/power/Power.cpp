#include "platform/power/Power.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/foundation/SysLog.h"
#include "platform/foundation/Task.h"

namespace quill::platform::power {
namespace {

// Screen saver and DPMS off while anything is held; the user's settings come back with the last release.
class X11Backend : public PowerBackend {
  public:
    explicit X11Backend(Display* display) : display_(display) {}
    ~X11Backend() override {
        std::lock_guard lock(mutex_);
        if (held_ > 0) restore();
        XCloseDisplay(display_);
    }
    std::string name() const override { return "x11"; }
    uint64_t take(const std::string&, const std::string&) override {
        std::lock_guard lock(mutex_);
        if (held_++ == 0) {
            XGetScreenSaver(display_, &timeout_, &interval_, &blanking_, &exposures_);
            XSetScreenSaver(display_, 0, interval_, blanking_, exposures_);
            int ev, err;
            CARD16 level;
            hadDpms_ = false;
            if (DPMSQueryExtension(display_, &ev, &err) && DPMSCapable(display_)) {
                DPMSInfo(display_, &level, &hadDpms_);
                if (hadDpms_) DPMSDisable(display_);
            }
            XResetScreenSaver(display_);
            XFlush(display_);
        }
        return next_++;
    }
    void release(uint64_t) override {
        std::lock_guard lock(mutex_);
        if (held_ > 0 && --held_ == 0) restore();
    }

  private:
    void restore() {
        XSetScreenSaver(display_, timeout_, interval_, blanking_, exposures_);
        if (hadDpms_) DPMSEnable(display_);
        XFlush(display_);
    }
    std::mutex mutex_;
    Display* display_;
    int held_ = 0;
    uint64_t next_ = 1;
    int timeout_ = 0, interval_ = 0, blanking_ = 0, exposures_ = 0;
    BOOL hadDpms_ = false;
};

// An idle inhibitor held by a `systemd-inhibit` child for as long as the assertion lives.
class LogindBackend : public PowerBackend {
  public:
    explicit LogindBackend(std::string tool) : tool_(std::move(tool)) {}
    ~LogindBackend() override {
        std::lock_guard lock(mutex_);
        for (auto& [handle, child] : children_)
            stop(*child);
    }
    std::string name() const override { return "logind"; }
    uint64_t take(const std::string& type, const std::string& reason) override {
        std::string what = type == kIOPMAssertionTypePreventUserIdleDisplaySleep ? "idle" : "idle:sleep";
        foundation::TaskOptions options;
        options.standardInput = foundation::TaskStream::Null;
        options.standardOutput = foundation::TaskStream::Null;
        options.standardError = foundation::TaskStream::Null;
        auto child = std::make_unique<foundation::Task>(
            tool_,
            std::vector<std::string>{"--what=" + what, "--who=Quillaran", "--why=" + reason, "--mode=block",
                                     "sleep", "infinity"},
            options);
        if (!child->launch()) return 0;
        std::lock_guard lock(mutex_);
        uint64_t handle = next_++;
        children_[handle] = std::move(child);
        return handle;
    }
    void release(uint64_t handle) override {
        std::lock_guard lock(mutex_);
        auto it = children_.find(handle);
        if (it == children_.end()) return;
        stop(*it->second);
        children_.erase(it);
    }

  private:
    static void stop(foundation::Task& child) {
        child.sendSignal(SIGTERM);
        child.waitUntilExit();
    }
    std::string tool_;
    std::mutex mutex_;
    uint64_t next_ = 1;
    std::map<uint64_t, std::unique_ptr<foundation::Task>> children_;
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
    return std::make_unique<X11Backend>(d);
}

std::unique_ptr<PowerBackend> makeLogindBackend() {
    std::error_code ec;
    if (!std::filesystem::is_directory("/run/systemd/system", ec)) return nullptr;
    for (const char* tool : {"/usr/bin/systemd-inhibit", "/bin/systemd-inhibit"}) {
        if (::access(tool, X_OK) == 0) return std::make_unique<LogindBackend>(tool);
    }
    return nullptr;
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
