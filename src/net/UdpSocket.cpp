// The UdpSocket object: construction and destruction, the delegate and its queue, configuration,
// state queries, the error builders and the posting of callbacks.

#include "net/UdpSocket.h"

#include "net/SocketErrors.h"
#include "net/UdpSocketImpl.h"

namespace quill::net {

// ---- delegate defaults ----

void UdpSocketDelegate::udpSocketDidConnectToAddress(UdpSocket&, const Bytes&) {}
void UdpSocketDelegate::udpSocketDidNotConnect(UdpSocket&, const Error&) {}
void UdpSocketDelegate::udpSocketDidSendDataWithTag(UdpSocket&, long) {}
void UdpSocketDelegate::udpSocketDidNotSendDataWithTag(UdpSocket&, long, const Error&) {}
void UdpSocketDelegate::udpSocketDidReceiveData(UdpSocket&, const SharedBytes&, const Bytes&,
                                                const std::any&) {}
void UdpSocketDelegate::udpSocketDidClose(UdpSocket*, const std::optional<Error>&) {}

// ---- errors ----

Error UdpSocket::badConfigError(const std::string& text) {
    return socketError(kUdpSocketErrorDomain, UdpSocketBadConfigError, text);
}
Error UdpSocket::badParamError(const std::string& text) {
    return socketError(kUdpSocketErrorDomain, UdpSocketBadParamError, text);
}
Error UdpSocket::sendTimeoutError() {
    return socketError(kUdpSocketErrorDomain, UdpSocketSendTimeoutError, "Send operation timed out");
}
Error UdpSocket::socketClosedError() {
    return socketError(kUdpSocketErrorDomain, UdpSocketClosedError, "Socket closed");
}
Error UdpSocket::otherError(const std::string& text) {
    return socketError(kUdpSocketErrorDomain, UdpSocketOtherError, text);
}

// ---- construction ----

UdpSocket::Impl::Impl(UdpSocket& owner_, std::weak_ptr<UdpSocketDelegate> delegate_, QueuePtr delegateQueue_,
                      QueuePtr socketQueue)
    : owner(owner_),
      queue(std::move(socketQueue), "UdpSocket", &owner_),
      delegate(std::move(delegate_)),
      delegateQueue(std::move(delegateQueue_)) {}

UdpSocket::UdpSocket(Private, std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr delegateQueue,
                     QueuePtr socketQueue)
    : impl_(std::make_unique<Impl>(*this, std::move(delegate), std::move(delegateQueue),
                                   std::move(socketQueue))) {}

std::shared_ptr<UdpSocket> UdpSocket::create(std::weak_ptr<UdpSocketDelegate> delegate,
                                             QueuePtr delegateQueue, QueuePtr socketQueue) {
    return std::make_shared<UdpSocket>(Private{}, std::move(delegate), std::move(delegateQueue),
                                       std::move(socketQueue));
}

UdpSocket::~UdpSocket() {
    impl_->queue.sync([this] { impl_->closeWithError(std::nullopt, Impl::CloseReport::Destruction); });
}

// ---- posting ----

void UdpSocket::Impl::notifyDidClose(const std::optional<Error>& error, bool withSocket) {
    auto report = [error](UdpSocketDelegate& d, UdpSocket* s) { d.udpSocketDidClose(s, error); };
    postToDelegate(delegateQueue, delegate, withSocket ? weak().lock() : nullptr, report);
}

bool UdpSocket::Impl::preOp(Error* error) const {
    std::optional<Error> failure;
    if (!delegate.lock()) {
        failure = badConfigError("Attempting to use socket without a delegate. Set a delegate first.");
    } else if (!delegateQueue) {
        failure =
            badConfigError("Attempting to use socket without a delegate queue. Set a delegate queue first.");
    }
    if (failure && error) *error = *failure;
    return !failure;
}

// ---- delegate and queues ----

std::shared_ptr<UdpSocketDelegate> UdpSocket::delegate() const {
    return impl_->queue.sync([&] { return impl_->delegate.lock(); });
}

QueuePtr UdpSocket::delegateQueue() const {
    return impl_->queue.sync([&] { return impl_->delegateQueue; });
}

void UdpSocket::getDelegate(std::shared_ptr<UdpSocketDelegate>* delegate, QueuePtr* queue) const {
    impl_->queue.sync([&] {
        if (delegate) *delegate = impl_->delegate.lock();
        if (queue) *queue = impl_->delegateQueue;
    });
}

void UdpSocket::setDelegate(std::weak_ptr<UdpSocketDelegate> delegate) {
    impl_->queue.inlineOrAsync(*this, [delegate](UdpSocket& s) { s.impl_->delegate = delegate; });
}

void UdpSocket::setDelegateQueue(QueuePtr queue) {
    impl_->queue.inlineOrAsync(*this, [queue](UdpSocket& s) { s.impl_->delegateQueue = queue; });
}

void UdpSocket::setDelegate(std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr queue) {
    impl_->queue.inlineOrAsync(*this, [delegate, queue](UdpSocket& s) {
        s.impl_->delegate = delegate;
        s.impl_->delegateQueue = queue;
    });
}

void UdpSocket::synchronouslySetDelegate(std::weak_ptr<UdpSocketDelegate> delegate) {
    impl_->queue.sync([&] { impl_->delegate = delegate; });
}

void UdpSocket::synchronouslySetDelegateQueue(QueuePtr queue) {
    impl_->queue.sync([&] { impl_->delegateQueue = queue; });
}

void UdpSocket::synchronouslySetDelegate(std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr queue) {
    impl_->queue.sync([&] {
        impl_->delegate = delegate;
        impl_->delegateQueue = queue;
    });
}

QueuePtr UdpSocket::socketQueue() const {
    return impl_->queue.queue();
}

// ---- configuration ----

namespace {

template <class T>
void setBits(T& field, T bits, bool on) {
    field = on ? T(field | bits) : T(field & ~bits);
}

}  // namespace

bool UdpSocket::isIPv4Enabled() const {
    return impl_->queue.sync([&] { return (impl_->config & Impl::configIPv4Disabled) == 0; });
}

void UdpSocket::setIPv4Enabled(bool enabled) {
    impl_->queue.inlineOrAsync(*this, [enabled](UdpSocket& s) {
        setBits<uint16_t>(s.impl_->config, Impl::configIPv4Disabled, !enabled);
    });
}

bool UdpSocket::isIPv6Enabled() const {
    return impl_->queue.sync([&] { return (impl_->config & Impl::configIPv6Disabled) == 0; });
}

void UdpSocket::setIPv6Enabled(bool enabled) {
    impl_->queue.inlineOrAsync(*this, [enabled](UdpSocket& s) {
        setBits<uint16_t>(s.impl_->config, Impl::configIPv6Disabled, !enabled);
    });
}

bool UdpSocket::isIPv4Preferred() const {
    return impl_->queue.sync([&] { return (impl_->config & Impl::configPreferIPv4) != 0; });
}

bool UdpSocket::isIPv6Preferred() const {
    return impl_->queue.sync([&] { return (impl_->config & Impl::configPreferIPv6) != 0; });
}

bool UdpSocket::isIPVersionNeutral() const {
    return impl_->queue.sync(
        [&] { return (impl_->config & (Impl::configPreferIPv4 | Impl::configPreferIPv6)) == 0; });
}

namespace {

// The preference bits: IPv4, IPv6 or neither.
void setPreference(UdpSocket::Impl& impl, uint16_t preference) {
    impl.config =
        uint16_t((impl.config & ~(UdpSocket::Impl::configPreferIPv4 | UdpSocket::Impl::configPreferIPv6)) |
                 preference);
}

}  // namespace

void UdpSocket::setPreferIPv4() {
    impl_->queue.inlineOrAsync(*this, [](UdpSocket& s) { setPreference(*s.impl_, Impl::configPreferIPv4); });
}

void UdpSocket::setPreferIPv6() {
    impl_->queue.inlineOrAsync(*this, [](UdpSocket& s) { setPreference(*s.impl_, Impl::configPreferIPv6); });
}

void UdpSocket::setIPVersionNeutral() {
    impl_->queue.inlineOrAsync(*this, [](UdpSocket& s) { setPreference(*s.impl_, 0); });
}

uint16_t UdpSocket::maxReceiveIPv4BufferSize() const {
    return impl_->queue.sync([&] { return impl_->max4ReceiveSize; });
}

void UdpSocket::setMaxReceiveIPv4BufferSize(uint16_t size) {
    impl_->queue.inlineOrAsync(*this, [size](UdpSocket& s) { s.impl_->max4ReceiveSize = size; });
}

uint32_t UdpSocket::maxReceiveIPv6BufferSize() const {
    return impl_->queue.sync([&] { return impl_->max6ReceiveSize; });
}

void UdpSocket::setMaxReceiveIPv6BufferSize(uint32_t size) {
    impl_->queue.inlineOrAsync(*this, [size](UdpSocket& s) { s.impl_->max6ReceiveSize = size; });
}

uint16_t UdpSocket::maxSendBufferSize() const {
    return impl_->queue.sync([&] { return impl_->maxSendSize; });
}

void UdpSocket::setMaxSendBufferSize(uint16_t size) {
    impl_->queue.inlineOrAsync(*this, [size](UdpSocket& s) { s.impl_->maxSendSize = size; });
}

std::shared_ptr<void> UdpSocket::userData() const {
    return impl_->queue.sync([&] { return impl_->userData; });
}

void UdpSocket::setUserData(std::shared_ptr<void> data) {
    impl_->queue.inlineOrAsync(*this, [data](UdpSocket& s) {
        if (s.impl_->userData != data) s.impl_->userData = data;
    });
}

// ---- queue access and descriptors ----

void UdpSocket::performBlock(const std::function<void()>& work) {
    impl_->queue.sync([&] { work(); });
}

void UdpSocket::markSocketQueueTargetQueue(const QueuePtr& q) {
    impl_->queue.mark(q);
}

void UdpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& q) {
    impl_->queue.unmark(q);
}

int UdpSocket::socketFD() const {
    if (!impl_->queue.isCurrent()) return -1;
    return impl_->v4.fd != -1 ? impl_->v4.fd : impl_->v6.fd;
}

int UdpSocket::socket4FD() const {
    return impl_->queue.isCurrent() ? impl_->v4.fd : -1;
}

int UdpSocket::socket6FD() const {
    return impl_->queue.isCurrent() ? impl_->v6.fd : -1;
}

// ---- state ----

bool UdpSocket::isConnected() const {
    return impl_->queue.sync([&] { return (impl_->flags & Impl::flagDidConnect) != 0; });
}

bool UdpSocket::isClosed() const {
    return impl_->queue.sync([&] { return (impl_->flags & Impl::flagDidCreateSockets) == 0; });
}

bool UdpSocket::isIPv4() const {
    return impl_->queue.sync([&] {
        if (impl_->flags & Impl::flagDidCreateSockets) return impl_->v4.fd != -1;
        return (impl_->config & Impl::configIPv4Disabled) == 0;
    });
}

bool UdpSocket::isIPv6() const {
    return impl_->queue.sync([&] {
        if (impl_->flags & Impl::flagDidCreateSockets) return impl_->v6.fd != -1;
        return (impl_->config & Impl::configIPv6Disabled) == 0;
    });
}

}  // namespace quill::net
