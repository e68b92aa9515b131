#include "platform/foundation/NotificationCenter.h"

#include <algorithm>

namespace quill::platform::foundation {

NotificationCenter& NotificationCenter::sharedInstance() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Callback callback,
                                                          const void* object) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->callback = std::move(callback);
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Entry> removed;
    {
        std::lock_guard lock(mutex_);
        auto it =
            std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
        if (it == entries_.end()) return;
        removed = std::move(*it);
        entries_.erase(it);
        removed->active = false;
    }
    // The callback (and what it captured) is released here, outside the lock, or by the last post
    // that still holds the entry.
}

void NotificationCenter::post(const std::string& name, const void* object, std::any userInfo) {
    post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (!e->name.empty() && e->name != notification.name) continue;
            if (e->object && e->object != notification.object) continue;
            matching.push_back(e);
        }
    }
    for (const auto& e : matching) {
        if (e->active) e->callback(notification);
    }
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace quill::platform::foundation
