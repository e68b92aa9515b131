#include "session/NetChannel.h"

namespace quill {

NetChannel::~NetChannel() {
    if (connectThread.joinable()) connectThread.join();
}

void NetChannel::connect(const std::string&, int) {
    std::lock_guard lock(mutex_);
    if (mConnected) return;
    connectThread = std::thread([this] { connectToReceiver(); });
    mConnected = true;
}

bool NetChannel::isConnected() const {
    std::lock_guard lock(mutex_);
    return mConnected;
}

std::shared_ptr<void> NetChannel::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void NetChannel::setDelegate(std::weak_ptr<void> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

}  // namespace quill
