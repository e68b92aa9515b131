#pragma once
// Lets the Qt event loop drain the dispatch layer's main queue. While a bridge lives, work submitted to
// the main queue from any thread wakes the Qt loop, which runs it on the main thread between its own
// events. Main-queue work never nests: when an item runs a nested event loop (a modal alert), later
// items wait until it returns, so main-queue items never run inside one another and keep their order.

#include <memory>

namespace quill::platform::appkit {

class MainQueueBridge {
  public:
    // Needs a QCoreApplication; create and destroy on the main thread. One bridge at a time.
    MainQueueBridge();
    ~MainQueueBridge();
    MainQueueBridge(const MainQueueBridge&) = delete;
    MainQueueBridge& operator=(const MainQueueBridge&) = delete;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quill::platform::appkit
