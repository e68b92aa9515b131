#include "platform/appkit/MainQueueBridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/Dispatch.h"

namespace quill::platform::appkit {

// The main queue is one per process, and so is the bridge that serves it. Other threads wake the Qt
// loop through an event counter that the loop watches; nothing else crosses threads here, and the work
// itself stays in the main queue until the main thread takes it.
namespace {
std::mutex activeMutex;
std::shared_ptr<MainQueueBridge::State> activeState;
}  // namespace

struct MainQueueBridge::State {
    int fd = -1;
    QSocketNotifier* notifier = nullptr;  // main thread
    // Main thread only.
    bool draining = false;
    bool again = false;

    // Any thread.
    static void wake() {
        std::lock_guard lock(activeMutex);
        if (!activeState) return;
        uint64_t one = 1;
        ssize_t ignored = ::write(activeState->fd, &one, sizeof one);  // counts up; never blocks
        (void)ignored;
    }

    // Main thread, from the Qt loop.
    void drain() {
        uint64_t count;
        ssize_t ignored = ::read(fd, &count, sizeof count);
        (void)ignored;
        if (draining) {
            // A nested loop inside running work: run the rest once that work has returned.
            again = true;
            return;
        }
        draining = true;
        do {
            again = false;
            dispatch::drainMain();
        } while (again);
        draining = false;
    }
};

MainQueueBridge::MainQueueBridge() : state_(std::make_shared<State>()) {
    state_->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state_->fd < 0) {
        std::perror("MainQueueBridge: eventfd");
        std::abort();
    }
    state_->notifier = new QSocketNotifier(state_->fd, QSocketNotifier::Read);
    State* state = state_.get();
    QObject::connect(state_->notifier, &QSocketNotifier::activated, state_->notifier,
                     [state] { state->drain(); });
    {
        std::lock_guard lock(activeMutex);
        if (activeState) {
            std::fprintf(stderr, "MainQueueBridge: a second bridge while one is active\n");
            std::abort();
        }
        activeState = state_;
    }
    dispatch::setMainWakeup([] { State::wake(); });
}

MainQueueBridge::~MainQueueBridge() {
    dispatch::setMainWakeup({});
    {
        std::lock_guard lock(activeMutex);
        activeState.reset();
    }
    delete state_->notifier;
    ::close(state_->fd);
}

}  // namespace quill::platform::appkit
