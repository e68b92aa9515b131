#include "platform/power/Power.h"

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
