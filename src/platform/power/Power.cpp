#include "platform/power/Power.h"

#include <atomic>
#include <utility>

#include "platform/foundation/SysLog.h"

namespace quill::platform::power {

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

namespace {

// What a manager holds once it has let its backend go: nothing (said once).
class ReleasedPowerBackend : public PowerBackend {
  public:
    std::string name() const override { return "released"; }
    uint64_t take(const std::string& type, const std::string& reason) override {
        if (!told_.exchange(true))
            sysLog("the application is quitting; \"%s\" (%s) is not held", reason.c_str(), type.c_str());
        return 0;
    }
    void release(uint64_t) override {}

  private:
    std::atomic<bool> told_{false};
};

}  // namespace

PowerManager& PowerManager::shared() {
    static PowerManager manager(makeDefaultBackend());
    return manager;
}

PowerManager::PowerManager(std::shared_ptr<PowerBackend> backend) : backend_(std::move(backend)) {}

PowerManager::~PowerManager() {
    releaseBackend();
}

void PowerManager::releaseBackend() {
    std::shared_ptr<PowerBackend> backend;
    {
        std::lock_guard lock(mutex_);
        auto releaseAll = [this](auto& entries) {
            for (auto& [key, handle] : entries) {
                if (handle) backend_->release(handle);
                handle = 0;
            }
        };
        releaseAll(assertions_);
        releaseAll(activities_);
        backend = std::exchange(backend_, std::make_shared<ReleasedPowerBackend>());
    }
    // The last owner's reference goes here, and the backend's teardown with it.
}

std::string PowerManager::backendName() const {
    std::lock_guard lock(mutex_);
    return backend_->name();
}

template <class Key>
Key PowerManager::addEntry(std::map<Key, uint64_t>& entries, Key& next, uint64_t handle) {
    const Key key = next++;
    entries[key] = handle;
    return key;
}

template <class Key>
bool PowerManager::releaseEntry(std::map<Key, uint64_t>& entries, Key key) {
    std::lock_guard lock(mutex_);
    auto it = entries.find(key);
    if (it == entries.end()) return false;
    if (it->second) backend_->release(it->second);
    entries.erase(it);
    return true;
}

IOReturn PowerManager::IOPMAssertionCreateWithName(const std::string& type, int level,
                                                   const std::string& name, IOPMAssertionID* assertionID) {
    if (assertionID == nullptr || level != kIOPMAssertionLevelOn) return kIOReturnBadArgument;
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    const uint64_t handle =
        allowIdleSystemSleep ? 0 : backend_->take(kIOPMAssertionTypePreventUserIdleSystemSleep, reason);
    return addEntry(activities_, nextToken_, handle);
}

void PowerManager::endActivity(uint64_t token) {
    releaseEntry(activities_, token);
}

}  // namespace quill::platform::power
