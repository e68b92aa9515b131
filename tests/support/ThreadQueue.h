#pragma once
// A serial queue on one worker thread, for tests of code that only posts work to a queue.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"

namespace quill::testing {

class ThreadQueue : public platform::dispatch::Queue {
  public:
    explicit ThreadQueue(std::string label = "test-queue");
    ~ThreadQueue() override;

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }
    void async(platform::dispatch::Work work) override;
    void sync(const platform::dispatch::Work& work) override;
    void after(double seconds, platform::dispatch::Work work) override;
    void setSpecific(const void*, void*) override {}
    void* specific(const void*) const override { return nullptr; }

    // Waits until every item posted so far has run (at most timeoutSeconds).
    bool drain(double timeoutSeconds = 5.0);

  private:
    void run();
    std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<platform::dispatch::Work> items_;
    bool quit_ = false;
    bool busy_ = false;
    std::thread thread_;
};

}  // namespace quill::testing
