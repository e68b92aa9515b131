#pragma once
// Watches one open file for being deleted or renamed on disk (inotify on the file itself), and reports
// on a serial queue. Deletion of a file that is still open shows as a change of its link count, so the
// watch checks the count on the owner's descriptor when the file's attributes change.
//
// No watch can be made when the process or the user has run out of inotify instances or watches; the
// owner then looks for itself with isGone() now and then.
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
    // How an owner starts watches: start() in the product, a stand-in in tests.
    using Starter = std::function<std::unique_ptr<LogFileWatch>(const std::string& path, int fd,
                                                                const platform::dispatch::QueuePtr& queue,
                                                                std::function<void()> onGone)>;

    // Watches path, which fd has open. onGone runs once on queue when the file is deleted or renamed, or
    // at once (also on queue) when path no longer names fd's file. Null when inotify cannot watch it.
    static std::unique_ptr<LogFileWatch> start(const std::string& path, int fd,
                                               const platform::dispatch::QueuePtr& queue,
                                               std::function<void()> onGone);
    // True when fd's file has no link left, or path names another file or none (device and inode).
    static bool isGone(const std::string& path, int fd);
    ~LogFileWatch();
    void cancel();

  private:
    LogFileWatch(std::shared_ptr<platform::dispatch::FdSource> source,
                 std::shared_ptr<std::atomic<bool>> done);
    std::shared_ptr<platform::dispatch::FdSource> source_;
    std::shared_ptr<std::atomic<bool>> done_;
};

}  // namespace quill
