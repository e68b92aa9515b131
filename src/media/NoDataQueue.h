#pragma once
// A pool of credits with the bounded queue's waiting rules and no items: put() takes a credit (waiting
// for one to come back), take() gives one back.

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/QueueWait.h"

namespace quill {

class NoDataQueue {
  public:
    explicit NoDataQueue(int64_t capacity);
    static std::shared_ptr<NoDataQueue> create(int64_t capacity) {
        return std::make_shared<NoDataQueue>(capacity);
    }
    NoDataQueue(const NoDataQueue&) = delete;
    NoDataQueue& operator=(const NoDataQueue&) = delete;

    // Takes one credit when one is free within `timeout` seconds; false otherwise or once stopped.
    bool put(double timeout = kNoTimeLimit);
    // put() that tells a time-out from a stop, and also gives up at once when `cancel` (the waiter's own
    // stop switch) is set.
    WaitResult acquire(double timeout, const std::atomic<bool>* cancel = nullptr);
    // Gives one credit back, waiting up to `timeout` seconds for one to be out. Always true, also when
    // none was out (then nothing changes).
    bool take(double timeout = kNoTimeLimit);

    // Makes put() fail and take() return at once from now on; for tearing a link down.
    void stopBlocking() { stopped.store(true, std::memory_order_release); }

    int64_t capacity() const { return m_capacity; }
    // Credits currently taken.
    int64_t count() const { return sem_full.value(); }

  private:
    const int64_t m_capacity;
    CountingSemaphore sem_empty;
    CountingSemaphore sem_full;
    std::atomic<bool> stopped{false};
};

}  // namespace quill
