#pragma once
// A notification centre: observers register for a name (and optionally one sender) and are called with
// each notification posted under that name. Observers are called on the posting thread with no lock
// held, so an observer may post, add or remove observers itself.
//
// Removal waits until the observer's calls running on other threads have returned, so that once it
// returns the observer's owner may go. It does not wait for a call on its own thread (an observer that
// removes itself, directly or from further down its call), nor where waiting would close a circle of
// threads each waiting for another's call (two observers removing each other from inside their calls on
// two threads): there the other call finishes after removal returns.

#include <any>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quill::platform::foundation {

struct Notification {
    std::string name;
    // The sender, compared by address only; null when the poster gave none.
    const void* object = nullptr;
    std::any userInfo;
};

class NotificationCenter {
  public:
    using Callback = std::function<void(const Notification&)>;
    using Token = uint64_t;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's default centre. Tests build centres of their own.
    static NotificationCenter& sharedInstance();

    // Calls callback for every notification named name (every name when empty) whose sender is object
    // (any sender when null). The token is never 0.
    Token addObserver(const std::string& name, Callback callback, const void* object = nullptr);
    // After it returns the observer is called no more, also by a post already under way, and its calls on
    // other threads have ended (see above). Unknown tokens are ignored.
    void removeObserver(Token token);

    // Calls the matching observers, in the order they were added, on this thread. Observers added during
    // the post are not called for it.
    void post(const std::string& name, const void* object = nullptr, std::any userInfo = {});
    void post(const Notification& notification);

    size_t observerCount() const;

  private:
    struct Entry {
        Token token;
        std::string name;
        const void* object;
        Callback callback;
        // Under mutex_.
        bool active = true;
        // The threads running a call of this observer now, once per call.
        std::vector<std::thread::id> callers;
    };
    // Under mutex_: whether waiting for entry's calls on other threads would never end, because one of
    // them waits (directly or through others) for a call on this thread.
    bool waitWouldCloseACircle(const Entry& entry) const;

    mutable std::mutex mutex_;
    std::condition_variable callEnded_;
    std::vector<std::shared_ptr<Entry>> entries_;
    // The threads waiting in removeObserver, and for which observer's calls.
    std::unordered_map<std::thread::id, const Entry*> waiting_;
    Token nextToken_ = 1;
};

// Removes its observer when destroyed.
class ScopedObserver {
  public:
    ScopedObserver() = default;
    ScopedObserver(NotificationCenter& center, const std::string& name, NotificationCenter::Callback callback,
                   const void* object = nullptr)
        : center_(&center), token_(center.addObserver(name, std::move(callback), object)) {}
    ~ScopedObserver() { reset(); }
    ScopedObserver(ScopedObserver&& other) noexcept : center_(other.center_), token_(other.token_) {
        other.center_ = nullptr;
    }
    ScopedObserver& operator=(ScopedObserver&& other) noexcept {
        if (this != &other) {
            reset();
            center_ = other.center_;
            token_ = other.token_;
            other.center_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (center_) center_->removeObserver(token_);
        center_ = nullptr;
    }

  private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::Notification;
using platform::foundation::NotificationCenter;
}  // namespace quill
