#pragma once
// A bounded blocking queue of owned (move-only) items between two pipeline stages. Waits poll in 1 ms
// steps so that stopBlocking() releases every waiter at once; items that are thrown away (by clear() or
// destruction) go to the destroy action.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "media/BaseArray.h"
#include "media/QueueWait.h"

namespace quill {

template <class T>
class DataQueue : protected BaseArray<T> {
  public:
    using DestroyBlock = std::function<void(T)>;

    explicit DataQueue(int64_t capacity) : m_capacity(checked(capacity)), sem_empty(capacity), sem_full(0) {}
    static std::shared_ptr<DataQueue> create(int64_t capacity) {
        return std::make_shared<DataQueue>(capacity);
    }
    // Hands every item still held to the destroy action.
    ~DataQueue() override { clear(); }

    // Appends `item` when a place frees up within `timeout` seconds. Only a successful put moves from
    // `item`: on false (full until the time-out, or stopped) it is still the caller's.
    bool put(T&& item, double timeout = kNoTimeLimit) {
        if (pollSemaphore(sem_empty, timeout, stopped) != WaitResult::Acquired) return false;
        try {
            BaseArray<T>::put(std::move(item));
        } catch (...) {
            sem_empty.signal();
            throw;
        }
        sem_full.signal();
        return true;
    }

    // The first item when one arrives within `timeout` seconds; nothing after the time-out or a stop
    // (even when items are waiting).
    std::optional<T> take(double timeout = kNoTimeLimit) {
        if (pollSemaphore(sem_full, timeout, stopped) != WaitResult::Acquired) return std::nullopt;
        std::optional<T> item = BaseArray<T>::take();
        sem_empty.signal();
        return item;
    }

    // Makes every present and future put and take return at once (within one 1 ms step). Never undone.
    void stopBlocking() { stopped.store(true, std::memory_order_release); }
    bool isStopped() const { return stopped.load(std::memory_order_acquire); }

    // Removes every item, handing each to the destroy action, whether or not the queue is stopped.
    void clear() {
        const DestroyBlock destroy = destroyBlock();
        for (;;) {
            bool got = sem_full.tryWait();
            if (!got) {
                if (BaseArray<T>::count() == 0) break;
                // An item is being put or taken right now; its count settles within a step.
                if (!sem_full.waitFor(kQueueWaitStep)) continue;
            }
            std::optional<T> item = BaseArray<T>::take();
            sem_empty.signal();
            if (item && destroy) destroy(std::move(*item));
        }
    }

    DestroyBlock destroyBlock() const {
        std::lock_guard lock(blockMutex_);
        return destroyBlock_;
    }
    void setDestroyBlock(DestroyBlock block) {
        std::lock_guard lock(blockMutex_);
        destroyBlock_ = std::move(block);
    }

    int64_t capacity() const { return m_capacity; }
    using BaseArray<T>::count;

  private:
    static int64_t checked(int64_t capacity) {
        if (capacity < 0) throw std::invalid_argument("DataQueue capacity must not be negative");
        return capacity;
    }

    const int64_t m_capacity;
    CountingSemaphore sem_empty;  // free places
    CountingSemaphore sem_full;   // items present
    std::atomic<bool> stopped{false};
    mutable std::mutex blockMutex_;
    DestroyBlock destroyBlock_;
};

}  // namespace quill
