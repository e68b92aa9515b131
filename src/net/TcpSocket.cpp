// The socket object: construction and destruction on its socket queue (SocketQueue.h), the delegate and
// configuration accessors, and the time-outs shared by reads and writes.

#include <sys/socket.h>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

namespace dispatch = platform::dispatch;

// ---- delegate defaults ----

QueuePtr TcpSocketDelegate::newSocketQueueForConnectionFromAddress(const Bytes&, TcpSocket&) {
    return nullptr;
}
void TcpSocketDelegate::socketDidAcceptNewSocket(TcpSocket&, std::shared_ptr<TcpSocket>) {}
void TcpSocketDelegate::socketDidConnectToHost(TcpSocket&, const std::string&, uint16_t) {}
void TcpSocketDelegate::socketDidConnectToUrl(TcpSocket&, const std::string&) {}
void TcpSocketDelegate::socketDidReadData(TcpSocket&, const Bytes&, long) {}
void TcpSocketDelegate::socketDidReadPartialDataOfLength(TcpSocket&, size_t, long) {}
double TcpSocketDelegate::socketShouldTimeoutReadWithTag(TcpSocket&, long, double, size_t) {
    return 0;
}
void TcpSocketDelegate::socketDidWriteDataWithTag(TcpSocket&, long) {}
void TcpSocketDelegate::socketDidWritePartialDataOfLength(TcpSocket&, size_t, long) {}
double TcpSocketDelegate::socketShouldTimeoutWriteWithTag(TcpSocket&, long, double, size_t) {
    return 0;
}
void TcpSocketDelegate::socketDidCloseReadStream(TcpSocket&) {}
void TcpSocketDelegate::socketDidSecure(TcpSocket&) {}
bool TcpSocketDelegate::socketDidReceiveTrust(TcpSocket&,
                                              std::shared_ptr<const platform::securetransport::Trust>,
                                              std::function<void(bool)>) {
    return false;
}
void TcpSocketDelegate::socketDidDisconnect(TcpSocket*, const std::optional<Error>&) {}

namespace tcp_detail {

void cancelTimer(std::shared_ptr<dispatch::TimerSource>& timer) {
    if (timer) {
        timer->cancel();
        timer.reset();
    }
}

}  // namespace tcp_detail

// ---- construction and the queue discipline ----

TcpSocket::Impl::Impl(TcpSocket& owner, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
                      QueuePtr socketQueue)
    : owner_(owner),
      queue_(std::move(socketQueue), "TcpSocket", &owner),
      delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)) {}

TcpSocket::TcpSocket(Private, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
                     QueuePtr socketQueue)
    : impl_(std::make_unique<Impl>(*this, std::move(delegate), std::move(delegateQueue),
                                   std::move(socketQueue))) {}

std::shared_ptr<TcpSocket> TcpSocket::create(std::weak_ptr<TcpSocketDelegate> delegate,
                                             QueuePtr delegateQueue, QueuePtr socketQueue) {
    return std::make_shared<TcpSocket>(Private{}, std::move(delegate), std::move(delegateQueue),
                                       std::move(socketQueue));
}

std::shared_ptr<TcpSocket> TcpSocket::socketFromConnectedSocketFD(int fd,
                                                                  std::weak_ptr<TcpSocketDelegate> delegate,
                                                                  QueuePtr delegateQueue,
                                                                  QueuePtr socketQueue, Error* error) {
    auto sock = create(std::move(delegate), std::move(delegateQueue), std::move(socketQueue));
    Impl& s = *sock->impl_;
    std::optional<Error> failure;
    sock->performBlock([&] {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            failure = otherError("Attempt to create socket from socket FD failed. getpeername() failed");
            return;
        }
        if (ss.ss_family == AF_INET) {
            s.socket4FD_ = fd;
        } else if (ss.ss_family == AF_INET6) {
            s.socket6FD_ = fd;
        } else {
            failure = otherError(
                "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
            return;
        }
        s.flags_ = Impl::flagStarted;
        s.didConnect(s.stateIndex_);
    });
    if (failure) {
        if (error) *error = *failure;
        return nullptr;
    }
    return sock;
}

TcpSocket::~TcpSocket() {
    impl_->queue_.sync([&s = *impl_] {
        s.flags_ |= Impl::flagDealloc;
        s.closeWithError(std::nullopt);
    });
}

// ---- delegate, queues, configuration ----

namespace {

void setBit(uint16_t& bits, uint16_t bit, bool on) {
    if (on) {
        bits |= bit;
    } else {
        bits &= uint16_t(~bit);
    }
}

}  // namespace

std::shared_ptr<TcpSocketDelegate> TcpSocket::delegate() const {
    return impl_->queue_.sync([&s = *impl_] { return s.delegate_.lock(); });
}

QueuePtr TcpSocket::delegateQueue() const {
    return impl_->queue_.sync([&s = *impl_] { return s.delegateQueue_; });
}

void TcpSocket::getDelegate(std::shared_ptr<TcpSocketDelegate>* delegate, QueuePtr* queue) const {
    impl_->queue_.sync([&, &s = *impl_] {
        if (delegate) *delegate = s.delegate_.lock();
        if (queue) *queue = s.delegateQueue_;
    });
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    impl_->inlineOrAsync([delegate](Impl& s) { s.delegate_ = delegate; });
}

void TcpSocket::setDelegateQueue(QueuePtr queue) {
    impl_->inlineOrAsync([queue](Impl& s) { s.delegateQueue_ = queue; });
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue) {
    impl_->inlineOrAsync([delegate, queue](Impl& s) {
        s.delegate_ = delegate;
        s.delegateQueue_ = queue;
    });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    impl_->queue_.sync([&, &s = *impl_] { s.delegate_ = delegate; });
}

void TcpSocket::synchronouslySetDelegateQueue(QueuePtr queue) {
    impl_->queue_.sync([&, &s = *impl_] { s.delegateQueue_ = queue; });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue) {
    impl_->queue_.sync([&, &s = *impl_] {
        s.delegate_ = delegate;
        s.delegateQueue_ = queue;
    });
}

QueuePtr TcpSocket::socketQueue() const {
    return impl_->queue_.queue();
}

bool TcpSocket::isIPv4Enabled() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.config_ & Impl::configIPv4Disabled) == 0; });
}

void TcpSocket::setIPv4Enabled(bool enabled) {
    impl_->inlineOrAsync([enabled](Impl& s) { setBit(s.config_, Impl::configIPv4Disabled, !enabled); });
}

bool TcpSocket::isIPv6Enabled() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.config_ & Impl::configIPv6Disabled) == 0; });
}

void TcpSocket::setIPv6Enabled(bool enabled) {
    impl_->inlineOrAsync([enabled](Impl& s) { setBit(s.config_, Impl::configIPv6Disabled, !enabled); });
}

bool TcpSocket::isIPv4PreferredOverIPv6() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.config_ & Impl::configPreferIPv6) == 0; });
}

void TcpSocket::setIPv4PreferredOverIPv6(bool preferred) {
    impl_->inlineOrAsync([preferred](Impl& s) { setBit(s.config_, Impl::configPreferIPv6, !preferred); });
}

double TcpSocket::alternateAddressDelay() const {
    return impl_->queue_.sync([&s = *impl_] { return s.alternateAddressDelay_; });
}

void TcpSocket::setAlternateAddressDelay(double seconds) {
    impl_->inlineOrAsync([seconds](Impl& s) { s.alternateAddressDelay_ = seconds; });
}

bool TcpSocket::autoDisconnectOnClosedReadStream() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.config_ & Impl::configAllowHalfDuplex) == 0; });
}

void TcpSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    impl_->inlineOrAsync([flag](Impl& s) { setBit(s.config_, Impl::configAllowHalfDuplex, !flag); });
}

std::shared_ptr<void> TcpSocket::userData() const {
    return impl_->queue_.sync([&s = *impl_] { return s.userData_; });
}

void TcpSocket::setUserData(std::shared_ptr<void> data) {
    impl_->inlineOrAsync([data](Impl& s) {
        if (s.userData_ != data) s.userData_ = data;
    });
}

void TcpSocket::performBlock(const std::function<void()>& work) {
    impl_->queue_.sync([&] { work(); });
}

void TcpSocket::markSocketQueueTargetQueue(const QueuePtr& q) {
    impl_->queue_.mark(q);
}

void TcpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& q) {
    impl_->queue_.unmark(q);
}

int TcpSocket::socketFD() const {
    return impl_->queue_.isCurrent() ? impl_->connectedFD() : -1;
}
int TcpSocket::socket4FD() const {
    return impl_->queue_.isCurrent() ? impl_->socket4FD_ : -1;
}
int TcpSocket::socket6FD() const {
    return impl_->queue_.isCurrent() ? impl_->socket6FD_ : -1;
}

// ---- time-outs of reads and writes ----

void TcpSocket::Impl::startTimer(std::shared_ptr<dispatch::TimerSource>& timer, double timeout,
                                 void (Impl::*fired)()) {
    if (timeout < 0) {
        if (timer) timer->clearTimer();
        return;
    }
    if (timer) {
        timer->setTimer(timeout, 0, 0);
        return;
    }
    timer = dispatch::TimerSource::create(queue_.queue());
    timer->setEventHandler([weak = weak(), fired] {
        if (auto self = weak.lock()) {
            ((*self->impl_).*fired)();
            self.reset();
        }
    });
    timer->setTimer(timeout, 0, 0);
    timer->resume();
}

void TcpSocket::Impl::askForExtension(const std::shared_ptr<TcpPacket>& packet, long tag, double elapsed,
                                      size_t done,
                                      double (TcpSocketDelegate::*question)(TcpSocket&, long, double, size_t),
                                      void (Impl::*answered)(const std::shared_ptr<TcpPacket>&, double)) {
    const auto delegate = delegate_.lock();  // held until the question is posted
    if (!delegateQueue_ || !delegate) {
        (this->*answered)(packet, 0);
        return;
    }
    // The socket does not wait for the answer; it comes back as a block of its own.
    post([packet, tag, elapsed, done, question, answered](TcpSocketDelegate& d, TcpSocket& s) {
        const double extension = (d.*question)(s, tag, elapsed, done);
        s.impl_->asyncOnQueue(
            [packet, extension, answered](Impl& impl) { (impl.*answered)(packet, extension); });
    });
}

void TcpSocket::Impl::doReadTimeout() {
    const TcpReadPacket* pkt = readPacket();
    if (!pkt) return;
    flags_ |= flagReadsPaused;
    askForExtension(currentRead_, pkt->tag, pkt->timeout, pkt->bytesDone,
                    &TcpSocketDelegate::socketShouldTimeoutReadWithTag, &Impl::doReadTimeoutWithExtension);
}

void TcpSocket::Impl::doWriteTimeout() {
    const TcpWritePacket* pkt = writePacket();
    if (!pkt) return;
    flags_ |= flagWritesPaused;
    askForExtension(currentWrite_, pkt->tag, pkt->timeout, pkt->bytesDone,
                    &TcpSocketDelegate::socketShouldTimeoutWriteWithTag, &Impl::doWriteTimeoutWithExtension);
}

}  // namespace quill::net
