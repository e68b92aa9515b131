#include "logging/LogFileWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace quill {

using platform::dispatch::FdEvent;
using platform::dispatch::FdSource;

bool LogFileWatch::isGone(const std::string& path, int fd) {
    struct stat byPath, byFd;
    if (::fstat(fd, &byFd) != 0 || byFd.st_nlink == 0) return true;
    return ::stat(path.c_str(), &byPath) != 0 || byPath.st_dev != byFd.st_dev || byPath.st_ino != byFd.st_ino;
}

std::unique_ptr<LogFileWatch> LogFileWatch::start(const std::string& path, int fd,
                                                  const platform::dispatch::QueuePtr& queue,
                                                  std::function<void()> onGone) {
    int ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ifd < 0) return nullptr;
    if (inotify_add_watch(ifd, path.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
        ::close(ifd);
        return nullptr;
    }
    auto source = FdSource::create(ifd, FdEvent::Read, queue);
    // Set by the first report and by cancel(): at most one report, and none after cancel().
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto report = [done, onGone] {
        if (!done->exchange(true)) onGone();
    };
    source->setEventHandler([ifd, fd, report] {
        alignas(struct inotify_event) char buf[4096];
        ssize_t n;
        bool renamedOrDeleted = false, attributes = false;
        while ((n = ::read(ifd, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* event = reinterpret_cast<struct inotify_event*>(p);
                if (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED)) renamedOrDeleted = true;
                if (event->mask & IN_ATTRIB) attributes = true;
                p += sizeof(struct inotify_event) + event->len;
            }
        }
        struct stat st;
        if (attributes && !renamedOrDeleted) renamedOrDeleted = ::fstat(fd, &st) == 0 && st.st_nlink == 0;
        if (renamedOrDeleted) report();
    });
    source->setCancelHandler([ifd] { ::close(ifd); });
    source->resume();
    // The file may have been renamed or replaced between its opening and the watch.
    if (isGone(path, fd)) queue->async(report);
    return std::unique_ptr<LogFileWatch>(new LogFileWatch(std::move(source), std::move(done)));
}

LogFileWatch::LogFileWatch(std::shared_ptr<FdSource> source, std::shared_ptr<std::atomic<bool>> done)
    : source_(std::move(source)), done_(std::move(done)) {}

LogFileWatch::~LogFileWatch() {
    cancel();
}

void LogFileWatch::cancel() {
    done_->store(true);
    if (source_) source_->cancel();
    source_.reset();
}

}  // namespace quill
