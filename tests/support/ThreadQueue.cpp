#include "support/ThreadQueue.h"

#include <chrono>

namespace quill::testing {

ThreadQueue::ThreadQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

ThreadQueue::~ThreadQueue() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void ThreadQueue::async(platform::dispatch::Work work) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
    }
    cv_.notify_all();
}

void ThreadQueue::sync(const platform::dispatch::Work& work) {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    async([&] {
        work();
        std::lock_guard lock(m);
        finished = true;
        done.notify_all();
    });
    std::unique_lock lock(m);
    done.wait(lock, [&] { return finished; });
}

void ThreadQueue::after(double, platform::dispatch::Work work) {
    // Tests of this queue's users never rely on the delay.
    async(std::move(work));
}

bool ThreadQueue::drain(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                        [&] { return items_.empty() && !busy_; });
}

void ThreadQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return quit_ || !items_.empty(); });
        if (items_.empty()) return;
        auto work = std::move(items_.front());
        items_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        work = nullptr;
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

}  // namespace quill::testing
