#pragma once
// An older connection class kept with its shape: connecting starts a thread that does nothing, and every
// other operation does nothing. Nothing in the system creates it.

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/foundation/Bytes.h"

namespace quill {

class NetChannel {
  public:
    NetChannel() = default;
    // Waits for the connection thread.
    ~NetChannel();
    NetChannel(const NetChannel&) = delete;
    NetChannel& operator=(const NetChannel&) = delete;

    // Host and port are not used. When not connected: starts a thread running connectToReceiver() and
    // counts as connected from then on.
    void connect(const std::string& host, int port);
    // These do nothing.
    void disconnect() {}
    void sendData(const Bytes&) {}
    void startConnectionThread() {}
    void stopConnectionThread() {}
    void connectToReceiver() {}

    bool isConnected() const;
    const std::string& host() const { return mHost; }
    // Any object, held weakly.
    std::shared_ptr<void> delegate() const;
    void setDelegate(std::weak_ptr<void> delegate);

  private:
    mutable std::mutex mutex_;
    bool mConnected = false;
    std::thread connectThread;
    std::string mHost;  // never set
    std::weak_ptr<void> delegate_;
};

}  // namespace quill
