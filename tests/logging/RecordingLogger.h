#pragma once
// A logger for tests that records the lines that reach it (formatted when it has a formatter), on its own
// queue.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "logging/Log.h"

namespace quill::testing {

class RecordingLogger : public AbstractLogger {
  public:
    explicit RecordingLogger(LogRegistry& r, std::string name = "test.recorder")
        : AbstractLogger(std::move(name), r) {}
    void logMessage(const LogMessage& m) override {
        LogText text = textOf(m);
        if (!text) return;
        std::lock_guard lock(mutex);
        texts.push_back(*text);
        flags.push_back(m.logFlag());
    }
    bool implementsFlush() const override { return true; }
    void flush() override { flushes++; }
    void didAddLogger() override { added++; }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return texts;
    }
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<int32_t> flags;
    std::atomic<int> flushes{0};
    std::atomic<int> added{0};
};

}  // namespace quill::testing
