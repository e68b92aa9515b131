#include "platform/appkit/MainQueueBridge.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <mutex>

#include "platform/dispatch/Dispatch.h"

namespace quill::platform::appkit {

struct MainQueueBridge::State {
    std::mutex mutex;
    QObject* context = nullptr;  // lives on the main thread; queued drains are delivered to it
    std::atomic<bool> posted{false};
    // Main thread only.
    bool draining = false;
    bool again = false;

    // Any thread: ask the Qt loop for one drain, unless one is already on its way.
    static void wake(const std::shared_ptr<State>& state) {
        std::lock_guard lock(state->mutex);
        if (state->context == nullptr || state->posted.exchange(true)) return;
        QMetaObject::invokeMethod(
            state->context, [state] { drain(*state); }, Qt::QueuedConnection);
    }

    // Main thread, from the Qt loop.
    static void drain(State& state) {
        state.posted.store(false);
        if (state.draining) {
            // A nested loop inside running work: run the rest once that work has returned.
            state.again = true;
            return;
        }
        state.draining = true;
        do {
            state.again = false;
            dispatch::drainMain();
        } while (state.again);
        state.draining = false;
    }
};

MainQueueBridge::MainQueueBridge() : state_(std::make_shared<State>()) {
    state_->context = new QObject();
    std::weak_ptr<State> weak = state_;
    dispatch::setMainWakeup([weak] {
        if (auto state = weak.lock()) State::wake(state);
    });
}

MainQueueBridge::~MainQueueBridge() {
    dispatch::setMainWakeup({});
    QObject* context;
    {
        std::lock_guard lock(state_->mutex);
        context = state_->context;
        state_->context = nullptr;
    }
    delete context;  // drops drains still queued for it
}

}  // namespace quill::platform::appkit
