#pragma once
// Watches one open file for being deleted or renamed on disk (inotify on the file itself), and reports
// on a serial queue. Deletion of a file that is still open shows as a change of its link count, so the
// watch checks the count on the owner's descriptor when the file's attributes change.
//
// Threads: start() and cancel() on the report queue; the report runs there too, never after cancel()
// returned. The owner keeps the descriptor open until it has cancelled the watch.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"

namespace quill {

class LogFileWatch {
  public:
    // Watches path, which fd has open. onGone runs once on queue when the file is deleted or renamed, or
    // at once (also on queue) when path no longer names fd's file. Null when inotify cannot watch it.
    static std::unique_ptr<LogFileWatch> start(const std::string& path, int fd,
                                               const platform::dispatch::QueuePtr& queue,
                                               std::function<void()> onGone);
    ~LogFileWatch();
    void cancel();

  private:
    LogFileWatch(std::shared_ptr<platform::dispatch::FdSource> source,
                 std::shared_ptr<std::atomic<bool>> done);
    std::shared_ptr<platform::dispatch::FdSource> source_;
    std::shared_ptr<std::atomic<bool>> done_;
};

}  // namespace quill
