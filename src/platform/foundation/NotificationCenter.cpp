#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <unordered_set>

namespace quill::platform::foundation {

NotificationCenter& NotificationCenter::sharedInstance() {
    // Never destroyed: threads that outlive main (the sound devices' notification thread) may still post
    // while the process exits.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
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
    Callback released;
    {
        std::unique_lock lock(mutex_);
        auto it =
            std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
        if (it == entries_.end()) return;
        removed = std::move(*it);
        entries_.erase(it);
        removed->active = false;
        const auto self = std::this_thread::get_id();
        auto callsElsewhere = [&] {
            return std::any_of(removed->callers.begin(), removed->callers.end(),
                               [&](std::thread::id caller) { return caller != self; });
        };
        while (callsElsewhere() && !waitWouldCloseACircle(*removed)) {
            waiting_[self] = removed.get();
            callEnded_.wait(lock);
            waiting_.erase(self);
        }
        // With no call left the callback goes now; otherwise with the last post that holds the entry.
        if (removed->callers.empty()) released = std::move(removed->callback);
    }
    // What the callback captured is released here, outside the lock: its destructors may use the centre.
}

bool NotificationCenter::waitWouldCloseACircle(const Entry& entry) const {
    const auto self = std::this_thread::get_id();
    std::vector<const Entry*> pending{&entry};
    std::unordered_set<const Entry*> seen{&entry};
    while (!pending.empty()) {
        const Entry* e = pending.back();
        pending.pop_back();
        for (std::thread::id caller : e->callers) {
            if (caller == self) {
                if (e == &entry) continue;  // this thread's own call further up its stack
                return true;
            }
            auto waits = waiting_.find(caller);
            if (waits != waiting_.end() && seen.insert(waits->second).second)
                pending.push_back(waits->second);
        }
    }
    return false;
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
    const auto self = std::this_thread::get_id();
    for (const auto& e : matching) {
        {
            std::lock_guard lock(mutex_);
            if (!e->active) continue;
            e->callers.push_back(self);
        }
        // The call counts as running until it has returned, also by an exception.
        struct CallEnd {
            NotificationCenter& center;
            Entry& entry;
            std::thread::id self;
            ~CallEnd() {
                std::lock_guard lock(center.mutex_);
                auto& callers = entry.callers;
                callers.erase(std::find(callers.rbegin(), callers.rend(), self).base() - 1);
                if (!center.waiting_.empty()) center.callEnded_.notify_all();
            }
        } end{*this, *e, self};
        e->callback(notification);
    }
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace quill::platform::foundation
