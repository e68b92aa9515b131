#include "net/TcpSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "net/Resolver.h"
#include "net/SocketErrors.h"

namespace quill::net {

namespace dispatch = platform::dispatch;

// ---- delegate defaults ----

void TcpSocketDelegate::socketDidConnectToHost(TcpSocket&, const std::string&, uint16_t) {}
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
void TcpSocketDelegate::socketDidDisconnect(TcpSocket*, const std::optional<Error>&) {}

namespace {

int familySlot(int family) {
    return family == AF_INET ? 0 : 1;
}

bool wouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Sets the cancel handler of a source and keeps the source alive until that handler has run, so that
// owners may drop a source right after cancelling it. The reference is let go from a later block.
void setCancelHandlerKeepingAlive(const std::shared_ptr<dispatch::Source>& source, const QueuePtr& queue,
                                  std::function<void()> handler) {
    struct Holder {
        std::shared_ptr<dispatch::Source> source;
    };
    auto holder = std::make_shared<Holder>(Holder{source});
    source->setCancelHandler([holder, queue, handler = std::move(handler)] {
        handler();
        queue->async([keep = std::move(holder->source)] {});
    });
}

void cancelTimer(std::shared_ptr<dispatch::TimerSource>& timer) {
    if (timer) {
        timer->cancel();
        timer.reset();
    }
}

}  // namespace

// ---- errors ----

Error TcpSocket::badConfigError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketBadConfigError, text);
}
Error TcpSocket::badParamError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketBadParamError, text);
}
Error TcpSocket::connectTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketConnectTimeoutError,
                       "Attempt to connect to host timed out");
}
Error TcpSocket::readTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketReadTimeoutError, "Read operation timed out");
}
Error TcpSocket::writeTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketWriteTimeoutError, "Write operation timed out");
}
Error TcpSocket::readMaxedOutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketReadMaxedOutError,
                       "Read operation reached set maximum length");
}
Error TcpSocket::connectionClosedError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketClosedError, "Socket closed by remote peer");
}
Error TcpSocket::otherError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketOtherError, text);
}

// ---- construction and the queue discipline ----

TcpSocket::TcpSocket(Private, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
                     QueuePtr socketQueue)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)) {
    if (socketQueue) {
        socketQueue_ = std::move(socketQueue);
    } else {
        socketQueue_ = dispatch::Queue::serial("TcpSocket");
        ownsSocketQueue_ = true;
    }
    isOnSocketQueueOrTargetQueueKey_ = &isOnSocketQueueOrTargetQueueKey_;
    socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, this);
}

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
    std::optional<Error> failure;
    sock->performBlock([&] {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            failure = otherError("Attempt to create socket from socket FD failed. getpeername() failed");
            return;
        }
        if (ss.ss_family == AF_INET) {
            sock->socket4FD_ = fd;
        } else if (ss.ss_family == AF_INET6) {
            sock->socket6FD_ = fd;
        } else {
            failure = otherError(
                "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
            return;
        }
        sock->flags_ = flagStarted;
        sock->didConnect(sock->stateIndex_);
    });
    if (failure) {
        if (error) *error = *failure;
        return nullptr;
    }
    return sock;
}

TcpSocket::~TcpSocket() {
    auto work = [this] {
        flags_ |= flagDealloc;
        closeWithError(std::nullopt);
    };
    if (onSocketQueue()) {
        work();
    } else {
        socketQueue_->sync(work);
    }
    if (!ownsSocketQueue_) socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
}

bool TcpSocket::onSocketQueue() const {
    return dispatch::Queue::getSpecific(&isOnSocketQueueOrTargetQueueKey_) != nullptr;
}

template <class F>
auto TcpSocket::onQueueSync(F&& f) const -> decltype(f()) {
    if (onSocketQueue()) return f();
    return socketQueue_->syncResult(std::forward<F>(f));
}

void TcpSocket::asyncOnQueue(std::function<void(TcpSocket&)> work) {
    // Holds the socket weakly; the strong reference taken inside is dropped inside the block, so a
    // destruction it causes runs on the socket queue.
    socketQueue_->async([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
            self.reset();
        }
    });
}

void TcpSocket::asyncOnQueueOrHere(std::function<void(TcpSocket&)> work) {
    socketQueue_->asyncOrRunHere([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
            self.reset();
        }
    });
}

void TcpSocket::inlineOrAsync(std::function<void(TcpSocket&)> work) {
    if (onSocketQueue()) {
        work(*this);
    } else {
        asyncOnQueue(std::move(work));
    }
}

void TcpSocket::post(std::function<void(TcpSocketDelegate&, TcpSocket&)> callback) {
    if (!delegateQueue_) return;
    auto delegate = delegate_.lock();
    if (!delegate) return;
    auto self = weak_from_this().lock();
    if (!self) return;
    delegateQueue_->async([delegate, self, callback = std::move(callback)]() mutable {
        callback(*delegate, *self);
        self.reset();
        delegate.reset();
    });
}

// ---- delegate, queues, configuration ----

std::shared_ptr<TcpSocketDelegate> TcpSocket::delegate() const {
    return onQueueSync([&] { return delegate_.lock(); });
}

QueuePtr TcpSocket::delegateQueue() const {
    return onQueueSync([&] { return delegateQueue_; });
}

void TcpSocket::getDelegate(std::shared_ptr<TcpSocketDelegate>* delegate, QueuePtr* queue) const {
    onQueueSync([&] {
        if (delegate) *delegate = delegate_.lock();
        if (queue) *queue = delegateQueue_;
    });
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    inlineOrAsync([delegate](TcpSocket& s) { s.delegate_ = delegate; });
}

void TcpSocket::setDelegateQueue(QueuePtr queue) {
    inlineOrAsync([queue](TcpSocket& s) { s.delegateQueue_ = queue; });
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue) {
    inlineOrAsync([delegate, queue](TcpSocket& s) {
        s.delegate_ = delegate;
        s.delegateQueue_ = queue;
    });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    onQueueSync([&] { delegate_ = delegate; });
}

void TcpSocket::synchronouslySetDelegateQueue(QueuePtr queue) {
    onQueueSync([&] { delegateQueue_ = queue; });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue) {
    onQueueSync([&] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    });
}

bool TcpSocket::isIPv4Enabled() const {
    return onQueueSync([&] { return (config_ & configIPv4Disabled) == 0; });
}

void TcpSocket::setIPv4Enabled(bool enabled) {
    inlineOrAsync([enabled](TcpSocket& s) {
        if (enabled) {
            s.config_ &= uint16_t(~configIPv4Disabled);
        } else {
            s.config_ |= configIPv4Disabled;
        }
    });
}

bool TcpSocket::isIPv6Enabled() const {
    return onQueueSync([&] { return (config_ & configIPv6Disabled) == 0; });
}

void TcpSocket::setIPv6Enabled(bool enabled) {
    inlineOrAsync([enabled](TcpSocket& s) {
        if (enabled) {
            s.config_ &= uint16_t(~configIPv6Disabled);
        } else {
            s.config_ |= configIPv6Disabled;
        }
    });
}

bool TcpSocket::isIPv4PreferredOverIPv6() const {
    return onQueueSync([&] { return (config_ & configPreferIPv6) == 0; });
}

void TcpSocket::setIPv4PreferredOverIPv6(bool preferred) {
    inlineOrAsync([preferred](TcpSocket& s) {
        if (preferred) {
            s.config_ &= uint16_t(~configPreferIPv6);
        } else {
            s.config_ |= configPreferIPv6;
        }
    });
}

double TcpSocket::alternateAddressDelay() const {
    return onQueueSync([&] { return alternateAddressDelay_; });
}

void TcpSocket::setAlternateAddressDelay(double seconds) {
    inlineOrAsync([seconds](TcpSocket& s) { s.alternateAddressDelay_ = seconds; });
}

bool TcpSocket::autoDisconnectOnClosedReadStream() const {
    return onQueueSync([&] { return (config_ & configAllowHalfDuplex) == 0; });
}

void TcpSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    inlineOrAsync([flag](TcpSocket& s) {
        if (flag) {
            s.config_ &= uint16_t(~configAllowHalfDuplex);
        } else {
            s.config_ |= configAllowHalfDuplex;
        }
    });
}

std::shared_ptr<void> TcpSocket::userData() const {
    return onQueueSync([&] { return userData_; });
}

void TcpSocket::setUserData(std::shared_ptr<void> data) {
    inlineOrAsync([data](TcpSocket& s) {
        if (s.userData_ != data) s.userData_ = data;
    });
}

void TcpSocket::performBlock(const std::function<void()>& work) {
    onQueueSync([&] { work(); });
}

void TcpSocket::markSocketQueueTargetQueue(const QueuePtr& q) {
    q->setSpecific(isOnSocketQueueOrTargetQueueKey_, this);
}

void TcpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& q) {
    q->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
}

int TcpSocket::socketFD() const {
    return onSocketQueue() ? connectedFD() : -1;
}
int TcpSocket::socket4FD() const {
    return onSocketQueue() ? socket4FD_ : -1;
}
int TcpSocket::socket6FD() const {
    return onSocketQueue() ? socket6FD_ : -1;
}

// ---- connecting ----

bool TcpSocket::connectToHost(const std::string& host, uint16_t port, double timeout, Error* error) {
    return connectToHost(host, port, std::nullopt, timeout, error);
}

bool TcpSocket::connectToHost(const std::string& host, uint16_t port, Error* error) {
    return connectToHost(host, port, std::nullopt, -1, error);
}

bool TcpSocket::connectToHost(const std::string& host, uint16_t port,
                              const std::optional<std::string>& interface, double timeout, Error* error) {
    std::string hostCopy = host;
    std::optional<std::string> interfaceCopy = interface;
    std::optional<Error> failure;
    bool ok = onQueueSync([&] {
        Error e;
        bool started = connectHostOnQueue(hostCopy, port, interfaceCopy, timeout, &e);
        if (!started) failure = e;
        return started;
    });
    if (!ok && error && failure) *error = *failure;
    return ok;
}

bool TcpSocket::connectToAddress(const Bytes& address, double timeout, Error* error) {
    return connectToAddress(address, std::nullopt, timeout, error);
}

bool TcpSocket::connectToAddress(const Bytes& address, const std::optional<std::string>& interface,
                                 double timeout, Error* error) {
    std::optional<Error> failure;
    bool ok = onQueueSync([&] {
        Error e;
        bool started = connectAddressOnQueue(address, interface, timeout, &e);
        if (!started) failure = e;
        return started;
    });
    if (!ok && error && failure) *error = *failure;
    return ok;
}

bool TcpSocket::preConnect(const std::optional<std::string>& interface, Error* error) {
    auto fail = [&](Error e) {
        if (error) *error = std::move(e);
        return false;
    };
    if (!delegate_.lock())
        return fail(badConfigError("Attempting to connect without a delegate. Set a delegate first."));
    if (!delegateQueue_)
        return fail(
            badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first."));
    if (flags_ & flagStarted)
        return fail(badConfigError(
            "Attempting to connect while connected or accepting connections. Disconnect first."));
    const bool v4Disabled = config_ & configIPv4Disabled;
    const bool v6Disabled = config_ & configIPv6Disabled;
    if (v4Disabled && v6Disabled)
        return fail(badConfigError(
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
    if (interface) {
        Bytes a4, a6;
        getInterfaceAddress(interface, 0, &a4, &a6);
        if (a4.empty() && a6.empty())
            return fail(badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
        if (v4Disabled && a6.empty())
            return fail(
                badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
        if (v6Disabled && a4.empty())
            return fail(
                badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
        connectInterface4_ = std::move(a4);
        connectInterface6_ = std::move(a6);
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

bool TcpSocket::connectHostOnQueue(const std::string& host, uint16_t port,
                                   const std::optional<std::string>& interface, double timeout,
                                   Error* error) {
    if (host.empty()) {
        if (error)
            *error = badParamError(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
        return false;
    }
    if (!preConnect(interface, error)) return false;
    flags_ |= flagStarted;
    const int index = stateIndex_;
    // The look-up may block; it runs on a global queue and comes back to the socket queue.
    dispatch::Queue::global(dispatch::Priority::Default)->async([weak = weak_from_this(), host, port, index] {
        Error lookupError;
        std::vector<Bytes> addresses = lookupHost(host, port, &lookupError);
        auto self = weak.lock();
        if (!self) return;
        self->asyncOnQueue([addresses = std::move(addresses), lookupError, index](TcpSocket& s) {
            if (addresses.empty()) {
                s.lookupDidFail(index, lookupError);
                return;
            }
            Bytes a4, a6;
            for (const Bytes& a : addresses) {
                if (a4.empty() && isIPv4Address(a)) a4 = a;
                if (a6.empty() && isIPv6Address(a)) a6 = a;
            }
            s.lookupDidSucceed(index, std::move(a4), std::move(a6));
        });
        self.reset();
    });
    startConnectTimeout(timeout);
    return true;
}

bool TcpSocket::connectAddressOnQueue(const Bytes& address, const std::optional<std::string>& interface,
                                      double timeout, Error* error) {
    auto fail = [&](Error e) {
        if (error) *error = std::move(e);
        return false;
    };
    const int family = addressFamily(address);
    const bool valid = (family == AF_INET && address.size() == sizeof(sockaddr_in)) ||
                       (family == AF_INET6 && address.size() == sizeof(sockaddr_in6));
    if (!valid) return fail(badParamError("A valid IPv4 or IPv6 address was not given"));
    if (family == AF_INET && (config_ & configIPv4Disabled))
        return fail(badParamError("IPv4 has been disabled and an IPv4 address was passed."));
    if (family == AF_INET6 && (config_ & configIPv6Disabled))
        return fail(badParamError("IPv6 has been disabled and an IPv6 address was passed."));
    if (!preConnect(interface, error)) return false;
    if (!connectWithAddresses(family == AF_INET ? address : Bytes(), family == AF_INET6 ? address : Bytes(),
                              error))
        return false;
    flags_ |= flagStarted;
    startConnectTimeout(timeout);
    return true;
}

void TcpSocket::lookupDidFail(int index, const Error& error) {
    if (index != stateIndex_) return;
    endConnectTimeout();
    closeWithError(error);
}

void TcpSocket::lookupDidSucceed(int index, Bytes address4, Bytes address6) {
    if (index != stateIndex_) return;
    const bool v4Disabled = config_ & configIPv4Disabled;
    const bool v6Disabled = config_ & configIPv6Disabled;
    // A disabled family is never connected, even when the name has addresses of both families.
    if (v4Disabled) address4.clear();
    if (v6Disabled) address6.clear();
    if (v4Disabled && address6.empty()) {
        closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
        return;
    }
    if (v6Disabled && address4.empty()) {
        closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    Error e;
    if (!connectWithAddresses(address4, address6, &e)) closeWithError(e);
}

int TcpSocket::createSocket(int family, const Bytes& interfaceAddress, Error* error) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error) *error = posixError(errno, "Error in socket() function");
        return -1;
    }
    if (!interfaceAddress.empty()) {
        if (portFromAddress(interfaceAddress) != 0) {
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(interfaceAddress.data()),
                   socklen_t(interfaceAddress.size())) != 0) {
            if (error) *error = posixError(errno, "Error in bind() function");
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool TcpSocket::connectWithAddresses(const Bytes& address4, const Bytes& address6, Error* error) {
    Error lastError;
    if (!address4.empty()) socket4FD_ = createSocket(AF_INET, connectInterface4_, &lastError);
    if (!address6.empty()) socket6FD_ = createSocket(AF_INET6, connectInterface6_, &lastError);
    if (socket4FD_ == -1 && socket6FD_ == -1) {
        if (error) *error = lastError;
        return false;
    }
    const bool v6First = ((config_ & configPreferIPv6) && socket6FD_ != -1) || socket4FD_ == -1;
    const int primary = v6First ? AF_INET6 : AF_INET;
    const Bytes& primaryAddress = v6First ? address6 : address4;
    const Bytes& alternate = v6First ? address4 : address6;
    const int index = stateIndex_;
    connectSocket(primary, primaryAddress, index);
    if (!alternate.empty() && fdField(v6First ? AF_INET : AF_INET6) != -1) {
        const int other = v6First ? AF_INET : AF_INET6;
        socketQueue_->after(alternateAddressDelay_, [weak = weak_from_this(), other, alternate, index] {
            if (auto self = weak.lock()) {
                self->connectSocket(other, alternate, index);
                self.reset();
            }
        });
    }
    return true;
}

void TcpSocket::connectSocket(int family, const Bytes& address, int index) {
    // A delayed or late start of an attempt that has since ended (or been replaced) must not touch a
    // descriptor that may now belong to a newer attempt.
    if (index != stateIndex_) return;
    const int fd = fdField(family);
    if (fd == -1) return;
    if (flags_ & flagConnected) {
        closeConnectingSocket(family);
        return;
    }
    const int slot = familySlot(family);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size()));
    if (rc != 0 && errno != EINPROGRESS) {
        const int err = errno;
        // Reported from a later block, like a completion, so that callers see a started attempt first.
        asyncOnQueue([family, fd, err, index, slot](TcpSocket& s) {
            if (index == s.stateIndex_ && s.fdField(family) == fd && !s.connectSource_[slot])
                s.connectFinished(family, fd, err, index);
        });
        return;
    }
    // Completion shows as writability; its result is SO_ERROR.
    auto source = dispatch::FdSource::create(fd, dispatch::FdEvent::Write, socketQueue_);
    auto result = std::make_shared<int>(ETIMEDOUT);
    dispatch::FdSource* raw = source.get();
    source->setEventHandler([raw, fd, result] {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
        *result = soError;
        raw->cancel();
    });
    setCancelHandlerKeepingAlive(
        source, socketQueue_, [weak = weak_from_this(), raw, family, fd, index, slot, result] {
            auto self = weak.lock();
            if (self && index == self->stateIndex_ && self->connectSource_[slot].get() == raw &&
                self->fdField(family) == fd) {
                self->connectSource_[slot].reset();
                self->connectFinished(family, fd, *result, index);
            } else {
                // The attempt was abandoned; the descriptor was left to this handler.
                ::close(fd);
            }
            self.reset();
        });
    connectSource_[slot] = source;
    source->resume();
}

void TcpSocket::closeConnectingSocket(int family) {
    int& fd = fdField(family);
    if (fd == -1) return;
    auto& source = connectSource_[familySlot(family)];
    if (source) {
        // Its cancel handler closes the descriptor.
        source->cancel();
        source.reset();
    } else {
        ::close(fd);
    }
    fd = -1;
}

void TcpSocket::connectFinished(int family, int fd, int err, int index) {
    if (flags_ & flagConnected) {
        ::close(fd);
        fdField(family) = -1;
        return;
    }
    if (err == 0) {
        closeConnectingSocket(family == AF_INET ? AF_INET6 : AF_INET);
        didConnect(index);
        return;
    }
    ::close(fd);
    fdField(family) = -1;
    if (socket4FD_ == -1 && socket6FD_ == -1)
        didNotConnect(index, posixError(err, "Error in connect() function"));
}

void TcpSocket::didNotConnect(int index, const Error& error) {
    if (index != stateIndex_) return;
    closeWithError(error);
}

void TcpSocket::didConnect(int index) {
    if (index != stateIndex_) return;
    flags_ |= flagConnected;
    endConnectTimeout();
    const int fd = connectedFD();
    std::string host;
    uint16_t port = 0;
    if (getHost(peerAddressOf(fd), &host, &port)) {
        post([host, port](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidConnectToHost(s, host, port); });
    }
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl == -1 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) == -1) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    setupReadAndWriteSources(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void TcpSocket::startConnectTimeout(double timeout) {
    startTimer(connectTimer_, timeout, &TcpSocket::doConnectTimeout);
}

void TcpSocket::doConnectTimeout() {
    endConnectTimeout();
    closeWithError(connectTimeoutError());
}

void TcpSocket::endConnectTimeout() {
    cancelTimer(connectTimer_);
    ++stateIndex_;
    connectInterface4_.clear();
    connectInterface6_.clear();
}

void TcpSocket::setupReadAndWriteSources(int fd) {
    readSource_ = dispatch::FdSource::create(fd, dispatch::FdEvent::Read, socketQueue_);
    writeSource_ = dispatch::FdSource::create(fd, dispatch::FdEvent::Write, socketQueue_);
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    dispatch::FdSource* readRaw = readSource_.get();
    readSource_->setEventHandler([weak, readRaw] {
        auto self = weak.lock();
        if (!self) return;
        size_t available = readRaw->data();
        if (available == 0) {
            // Bytes may have arrived between the source's count and its readiness check; only a
            // descriptor that still has nothing to read is at its end.
            int now = 0;
            if (::ioctl(readRaw->fd(), FIONREAD, &now) == 0 && now > 0) available = size_t(now);
        }
        self->socketFDBytesAvailable_ = available;
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
        } else {
            self->doReadEOF();
        }
        self.reset();
    });
    writeSource_->setEventHandler([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->flags_ |= flagCanAcceptBytes;
        self->doWriteData();
        self.reset();
    });
    // The descriptor is closed once, after both sources are gone.
    auto remaining = std::make_shared<std::atomic<int>>(2);
    auto closeWhenBothCancelled = [remaining, fd] {
        if (remaining->fetch_sub(1) == 1) ::close(fd);
    };
    setCancelHandlerKeepingAlive(readSource_, socketQueue_, closeWhenBothCancelled);
    setCancelHandlerKeepingAlive(writeSource_, socketQueue_, closeWhenBothCancelled);
    socketFDBytesAvailable_ = 0;
    flags_ |= flagReadSourceSuspended | flagWriteSourceSuspended | flagCanAcceptBytes;
    resumeReadSource();
}

void TcpSocket::suspendReadSource() {
    if (readSource_ && !(flags_ & flagReadSourceSuspended)) {
        readSource_->suspend();
        flags_ |= flagReadSourceSuspended;
    }
}

void TcpSocket::resumeReadSource() {
    if (readSource_ && (flags_ & flagReadSourceSuspended)) {
        readSource_->resume();
        flags_ &= ~flagReadSourceSuspended;
    }
}

void TcpSocket::suspendWriteSource() {
    if (writeSource_ && !(flags_ & flagWriteSourceSuspended)) {
        writeSource_->suspend();
        flags_ |= flagWriteSourceSuspended;
    }
}

void TcpSocket::resumeWriteSource() {
    if (writeSource_ && (flags_ & flagWriteSourceSuspended)) {
        writeSource_->resume();
        flags_ &= ~flagWriteSourceSuspended;
    }
}

// ---- reading ----

void TcpSocket::readDataWithTimeout(double timeout, long tag) {
    queueRead(std::make_shared<TcpReadPacket>(nullptr, 0, 0, timeout, 0, nullptr, tag));
}

void TcpSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, long tag) {
    readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void TcpSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                                    size_t maxLength, long tag) {
    if (buffer && offset > buffer->size()) return;
    if (!buffer) offset = 0;
    queueRead(
        std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, nullptr, tag));
}

void TcpSocket::readDataToLength(size_t length, double timeout, long tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void TcpSocket::readDataToLength(size_t length, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                                 long tag) {
    if (length == 0) return;
    if (buffer && offset > buffer->size()) return;
    if (!buffer) offset = 0;
    queueRead(std::make_shared<TcpReadPacket>(std::move(buffer), offset, 0, timeout, length, nullptr, tag));
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, 0, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                               size_t offset, long tag) {
    readDataToData(terminator, timeout, std::move(buffer), offset, 0, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, size_t maxLength, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, maxLength, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                               size_t offset, size_t maxLength, long tag) {
    if (terminator.empty()) return;
    if (buffer && offset > buffer->size()) return;
    if (maxLength > 0 && maxLength < terminator.size()) return;
    if (!buffer) offset = 0;
    queueRead(
        std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, &terminator, tag));
}

void TcpSocket::queueRead(std::shared_ptr<TcpReadPacket> packet) {
    asyncOnQueueOrHere([packet = std::move(packet)](TcpSocket& s) {
        if ((s.flags_ & flagStarted) && !(s.flags_ & flagForbidReadsWrites)) {
            s.readQueue_.push_back(packet);
            s.maybeDequeueRead();
        }
    });
}

float TcpSocket::progressOfReadReturningTag(long* tag, size_t* done, size_t* total) const {
    return onQueueSync([&] {
        if (!currentRead_) {
            if (tag) *tag = 0;
            if (done) *done = 0;
            if (total) *total = 0;
            return NAN;
        }
        if (tag) *tag = currentRead_->tag;
        if (done) *done = currentRead_->bytesDone;
        if (total) *total = currentRead_->readLength;
        return currentRead_->readLength > 0 ? float(currentRead_->bytesDone) / float(currentRead_->readLength)
                                            : 1.0f;
    });
}

void TcpSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & flagConnected)) return;
    if (!readQueue_.empty()) {
        auto next = readQueue_.front();
        readQueue_.pop_front();
        // Markers of a TLS upgrade are never queued until the upgrade exists; only read packets arrive.
        currentRead_ = std::static_pointer_cast<TcpReadPacket>(next);
        if (currentRead_->bufferOwner && currentRead_->buffer->empty()) {
            if (auto spare = takeSpareReadBuffer()) currentRead_->buffer = std::move(spare);
        }
        startTimer(readTimer_, currentRead_->timeout, &TcpSocket::doReadTimeout);
        doReadData();
    } else if (flags_ & flagDisconnectAfterReads) {
        const bool writesPending = currentWrite_ || !writeQueue_.empty();
        if (!((flags_ & flagDisconnectAfterWrites) && writesPending)) closeWithError(std::nullopt);
    }
}

void TcpSocket::doReadData() {
    if (!currentRead_ || (flags_ & flagReadsPaused)) {
        // Nothing consumes the bytes; a running source would fire without end.
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }
    // The count of the last read event may be stale: more may have arrived since, also while no event
    // has been delivered yet. Reading what is there now saves read calls and trips through the queue.
    if (!(flags_ & flagHasReadEOF)) {
        int now = 0;
        if (::ioctl(connectedFD(), FIONREAD, &now) == 0 && size_t(now) > socketFDBytesAvailable_)
            socketFDBytesAvailable_ = size_t(now);
    }
    const bool socketHasBytes = socketFDBytesAvailable_ > 0;
    if (!socketHasBytes && preBuffer_.availableBytes() == 0) {
        resumeReadSource();
        return;
    }
    // Keep the packet alive across callbacks that may end it.
    std::shared_ptr<TcpReadPacket> packet = currentRead_;
    TcpReadPacket& pkt = *packet;
    bool done = false;
    std::optional<Error> error;
    size_t totalBytesRead = 0;

    auto checkMaxLength = [&] {
        if (!done && pkt.maxLength > 0 && pkt.bytesDone >= pkt.maxLength) error = readMaxedOutError();
    };
    auto takeFromPreBuffer = [&](size_t n) {
        pkt.ensureCapacityForAdditionalData(n);
        std::memcpy(pkt.writePosition(), preBuffer_.readBuffer(), n);
        preBuffer_.didRead(n);
        pkt.bytesDone += n;
        totalBytesRead += n;
    };

    // Step A: what is already staged.
    if (preBuffer_.availableBytes() > 0) {
        if (pkt.isTerminator()) {
            takeFromPreBuffer(pkt.readLengthForTerm(preBuffer_, &done));
            checkMaxLength();
        } else {
            takeFromPreBuffer(pkt.readLengthForNonTerm(preBuffer_.availableBytes()));
            if (pkt.isFixedLength()) {
                done = pkt.bytesDone == pkt.readLength;
            } else {
                done = pkt.maxLength > 0 && pkt.bytesDone == pkt.maxLength;
            }
        }
    }

    bool eof = flags_ & flagHasReadEOF;
    bool waiting = !done && !error && !eof && !socketHasBytes;

    // Step B: the descriptor.
    if (!done && !error && !eof && socketHasBytes) {
        bool viaPreBuffer = false;
        size_t length = pkt.isTerminator() ? pkt.readLengthForTerm(socketFDBytesAvailable_, &viaPreBuffer)
                                           : pkt.readLengthForNonTerm(socketFDBytesAvailable_);
        uint8_t* target;
        if (viaPreBuffer) {
            preBuffer_.ensureCapacityForWrite(length);
            target = preBuffer_.writeBuffer();
        } else {
            pkt.ensureCapacityForAdditionalData(length);
            target = pkt.writePosition();
        }
        ssize_t r = length > 0 ? ::read(connectedFD(), target, length) : -1;
        if (length == 0) errno = EAGAIN;
        if (r < 0) {
            if (wouldBlock(errno)) {
                waiting = true;
            } else {
                error = posixError(errno, "Error in read() function");
            }
            socketFDBytesAvailable_ = 0;
        } else if (r == 0) {
            eof = true;
            socketFDBytesAvailable_ = 0;
        } else {
            const size_t got = size_t(r);
            if (got < length) {
                socketFDBytesAvailable_ = 0;
            } else {
                socketFDBytesAvailable_ -= std::min(got, socketFDBytesAvailable_);
            }
            if (socketFDBytesAvailable_ == 0) waiting = true;

            if (pkt.isFixedLength()) {
                pkt.bytesDone += got;
                totalBytesRead += got;
                done = pkt.bytesDone == pkt.readLength;
            } else if (pkt.isTerminator()) {
                if (viaPreBuffer) {
                    preBuffer_.didWrite(got);
                    takeFromPreBuffer(pkt.readLengthForTerm(preBuffer_, &done));
                } else {
                    long overflow = pkt.searchForTermAfterPreBuffering(got);
                    if (overflow == 0) {
                        pkt.bytesDone += got;
                        totalBytesRead += got;
                        done = true;
                    } else if (overflow > 0) {
                        // Bytes beyond the terminator wait in the pre-buffer for the next read.
                        const size_t over = size_t(overflow);
                        const size_t used = got - over;
                        preBuffer_.ensureCapacityForWrite(over);
                        std::memcpy(preBuffer_.writeBuffer(), pkt.writePosition() + used, over);
                        preBuffer_.didWrite(over);
                        pkt.bytesDone += used;
                        totalBytesRead += used;
                        done = true;
                    } else {
                        pkt.bytesDone += got;
                        totalBytesRead += got;
                    }
                }
                checkMaxLength();
            } else {
                pkt.bytesDone += got;
                totalBytesRead += got;
                done = true;
            }
        }
    }

    if (!done && !pkt.isTerminator() && !pkt.isFixedLength() && totalBytesRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (!error && (!eof || preBuffer_.availableBytes() > 0)) maybeDequeueRead();
    } else if (totalBytesRead > 0) {
        waiting = true;
        const long tag = pkt.tag;
        post([totalBytesRead, tag](TcpSocketDelegate& d, TcpSocket& s) {
            d.socketDidReadPartialDataOfLength(s, totalBytesRead, tag);
        });
    }

    if (error) {
        closeWithError(error);
    } else if (eof) {
        doReadEOF();
    } else if (waiting) {
        resumeReadSource();
    }
}

void TcpSocket::doReadEOF() {
    flags_ |= flagHasReadEOF;
    bool shouldDisconnect;
    if (flags_ & (flagStartingReadTLS | flagStartingWriteTLS)) {
        shouldDisconnect = true;
    } else if (flags_ & flagReadStreamClosed) {
        shouldDisconnect = false;
    } else if (preBuffer_.availableBytes() > 0) {
        // Queued reads can still take these.
        shouldDisconnect = false;
    } else if (config_ & configAllowHalfDuplex) {
        // After a reset the descriptor reports writable together with an error or hang-up: not writable.
        pollfd p{connectedFD(), POLLOUT, 0};
        ::poll(&p, 1, 0);
        const bool writable = (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        if (writable) {
            shouldDisconnect = false;
            flags_ |= flagReadStreamClosed;
            post([](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidCloseReadStream(s); });
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }
    if (shouldDisconnect) {
        closeWithError(connectionClosedError());
    } else {
        suspendReadSource();
    }
}

void TcpSocket::completeCurrentRead() {
    TcpReadPacket& pkt = *currentRead_;
    const long tag = pkt.tag;
    if (pkt.bufferOwner) {
        pkt.buffer->resize(pkt.bytesDone);
        // The packet is done with its buffer; the callback alone holds it, so it can come back as a spare.
        post([data = std::move(pkt.buffer), tag](TcpSocketDelegate& d, TcpSocket& s) mutable {
            d.socketDidReadData(s, *data, tag);
            s.keepSpareReadBuffer(std::move(data));
        });
    } else {
        if (pkt.buffer->size() > pkt.originalBufferLength)
            pkt.buffer->resize(std::max(pkt.startOffset + pkt.bytesDone, pkt.originalBufferLength));
        auto begin = pkt.buffer->begin() + std::ptrdiff_t(pkt.startOffset);
        Bytes result(begin, begin + std::ptrdiff_t(pkt.bytesDone));
        post([data = std::move(result), tag](TcpSocketDelegate& d, TcpSocket& s) {
            d.socketDidReadData(s, data, tag);
        });
    }
    endCurrentRead();
}

void TcpSocket::keepSpareReadBuffer(std::shared_ptr<Bytes> buffer) {
    // Still held elsewhere (the packet may not be released yet), or too big to keep: let it go.
    constexpr size_t kLargestSpare = 4 << 20;
    constexpr size_t kSpares = 2;
    if (buffer.use_count() != 1 || buffer->capacity() > kLargestSpare) return;
    buffer->clear();
    std::lock_guard lock(spareReadBuffersMutex_);
    if (spareReadBuffers_.size() < kSpares) {
        spareReadBuffers_.push_back(std::move(buffer));
        return;
    }
    // Full: keep the larger ones, which serve every read size.
    auto smallest =
        std::min_element(spareReadBuffers_.begin(), spareReadBuffers_.end(),
                         [](const auto& a, const auto& b) { return a->capacity() < b->capacity(); });
    if ((*smallest)->capacity() < buffer->capacity()) *smallest = std::move(buffer);
}

std::shared_ptr<Bytes> TcpSocket::takeSpareReadBuffer() {
    std::lock_guard lock(spareReadBuffersMutex_);
    if (spareReadBuffers_.empty()) return nullptr;
    auto buffer = std::move(spareReadBuffers_.back());
    spareReadBuffers_.pop_back();
    return buffer;
}

void TcpSocket::endCurrentRead() {
    // The timer serves the next read too; the connection's end cancels it.
    if (readTimer_) readTimer_->clearTimer();
    currentRead_.reset();
}

void TcpSocket::doReadTimeoutWithExtension(const std::shared_ptr<TcpReadPacket>& packet, double extension) {
    // A late answer about a read that has since ended must not act on a newer one.
    if (!currentRead_ || currentRead_ != packet) return;
    if (extension > 0) {
        currentRead_->timeout += extension;
        if (readTimer_) readTimer_->setTimer(extension, 0, 0);
        flags_ &= ~flagReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}

// ---- writing ----

void TcpSocket::writeData(Bytes data, double timeout, long tag) {
    if (data.empty()) return;
    writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void TcpSocket::writeData(SharedBytes data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<TcpWritePacket>(std::move(data), timeout, tag);
    asyncOnQueueOrHere([packet = std::move(packet)](TcpSocket& s) {
        if ((s.flags_ & flagStarted) && !(s.flags_ & flagForbidReadsWrites)) {
            s.writeQueue_.push_back(packet);
            s.maybeDequeueWrite();
        }
    });
}

float TcpSocket::progressOfWriteReturningTag(long* tag, size_t* done, size_t* total) const {
    return onQueueSync([&] {
        if (!currentWrite_) {
            if (tag) *tag = 0;
            if (done) *done = 0;
            if (total) *total = 0;
            return NAN;
        }
        const size_t length = currentWrite_->buffer->size();
        if (tag) *tag = currentWrite_->tag;
        if (done) *done = currentWrite_->bytesDone;
        if (total) *total = length;
        return float(currentWrite_->bytesDone) / float(length);
    });
}

void TcpSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & flagConnected)) return;
    if (!writeQueue_.empty()) {
        auto next = writeQueue_.front();
        writeQueue_.pop_front();
        currentWrite_ = std::static_pointer_cast<TcpWritePacket>(next);
        startTimer(writeTimer_, currentWrite_->timeout, &TcpSocket::doWriteTimeout);
        doWriteData();
    } else if (flags_ & flagDisconnectAfterWrites) {
        const bool readsPending = currentRead_ || !readQueue_.empty();
        if (!((flags_ & flagDisconnectAfterReads) && readsPending)) closeWithError(std::nullopt);
    }
}

void TcpSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & flagWritesPaused)) {
        if (flags_ & flagCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & flagCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    TcpWritePacket& pkt = *currentWrite_;
    const Bytes& data = *pkt.buffer;
    bool waiting = false;
    std::optional<Error> error;
    size_t written = 0;
    ssize_t r = ::send(connectedFD(), data.data() + pkt.bytesDone, data.size() - pkt.bytesDone, MSG_NOSIGNAL);
    if (r < 0) {
        if (wouldBlock(errno)) {
            waiting = true;
        } else {
            error = posixError(errno, "Error in write() function");
        }
    } else {
        written = size_t(r);
    }
    if (waiting) {
        flags_ &= ~flagCanAcceptBytes;
        resumeWriteSource();
    }
    bool done = false;
    if (written > 0) {
        pkt.bytesDone += written;
        done = pkt.bytesDone == data.size();
    }
    if (done) {
        completeCurrentWrite();
        // The next write starts in a later block.
        if (!error) asyncOnQueue([](TcpSocket& s) { s.maybeDequeueWrite(); });
    } else {
        if (!waiting && !error) {
            flags_ &= ~flagCanAcceptBytes;
            resumeWriteSource();
        }
        if (written > 0) {
            const long tag = pkt.tag;
            post([written, tag](TcpSocketDelegate& d, TcpSocket& s) {
                d.socketDidWritePartialDataOfLength(s, written, tag);
            });
        }
    }
    if (error) closeWithError(error);
}

void TcpSocket::completeCurrentWrite() {
    const long tag = currentWrite_->tag;
    post([tag](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidWriteDataWithTag(s, tag); });
    endCurrentWrite();
}

void TcpSocket::endCurrentWrite() {
    if (writeTimer_) writeTimer_->clearTimer();
    currentWrite_.reset();
}

void TcpSocket::doWriteTimeoutWithExtension(const std::shared_ptr<TcpWritePacket>& packet, double extension) {
    if (!currentWrite_ || currentWrite_ != packet) return;
    if (extension > 0) {
        currentWrite_->timeout += extension;
        if (writeTimer_) writeTimer_->setTimer(extension, 0, 0);
        flags_ &= ~flagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

// ---- time-outs of reads and writes ----

void TcpSocket::startTimer(std::shared_ptr<dispatch::TimerSource>& timer, double timeout,
                           void (TcpSocket::*fired)()) {
    if (timeout < 0) {
        if (timer) timer->clearTimer();
        return;
    }
    if (timer) {
        timer->setTimer(timeout, 0, 0);
        return;
    }
    timer = dispatch::TimerSource::create(socketQueue_);
    timer->setEventHandler([weak = weak_from_this(), fired] {
        if (auto self = weak.lock()) {
            ((*self).*fired)();
            self.reset();
        }
    });
    timer->setTimer(timeout, 0, 0);
    timer->resume();
}

template <class Packet>
void TcpSocket::askForExtension(const std::shared_ptr<Packet>& packet,
                                double (TcpSocketDelegate::*question)(TcpSocket&, long, double, size_t),
                                void (TcpSocket::*answered)(const std::shared_ptr<Packet>&, double)) {
    auto delegate = delegate_.lock();
    if (!delegateQueue_ || !delegate) {
        (this->*answered)(packet, 0);
        return;
    }
    // The socket does not wait for the answer; it comes back as a block of its own.
    auto self = shared_from_this();
    const long tag = packet->tag;
    const double elapsed = packet->timeout;
    const size_t done = packet->bytesDone;
    delegateQueue_->async([delegate, self, packet, tag, elapsed, done, question, answered]() mutable {
        double extension = ((*delegate).*question)(*self, tag, elapsed, done);
        self->asyncOnQueue([packet, extension, answered](TcpSocket& s) { (s.*answered)(packet, extension); });
        self.reset();
        delegate.reset();
    });
}

void TcpSocket::doReadTimeout() {
    if (!currentRead_) return;
    flags_ |= flagReadsPaused;
    askForExtension(currentRead_, &TcpSocketDelegate::socketShouldTimeoutReadWithTag,
                    &TcpSocket::doReadTimeoutWithExtension);
}

void TcpSocket::doWriteTimeout() {
    if (!currentWrite_) return;
    flags_ |= flagWritesPaused;
    askForExtension(currentWrite_, &TcpSocketDelegate::socketShouldTimeoutWriteWithTag,
                    &TcpSocket::doWriteTimeoutWithExtension);
}

// ---- closing ----

void TcpSocket::disconnect() {
    onQueueSync([&] {
        if (flags_ & flagStarted) closeWithError(std::nullopt);
    });
}

void TcpSocket::disconnectAfterReading() {
    asyncOnQueue([](TcpSocket& s) {
        if (!(s.flags_ & flagStarted)) return;
        s.flags_ |= flagForbidReadsWrites | flagDisconnectAfterReads;
        s.maybeClose();
    });
}

void TcpSocket::disconnectAfterWriting() {
    asyncOnQueue([](TcpSocket& s) {
        if (!(s.flags_ & flagStarted)) return;
        s.flags_ |= flagForbidReadsWrites | flagDisconnectAfterWrites;
        s.maybeClose();
    });
}

void TcpSocket::disconnectAfterReadingAndWriting() {
    asyncOnQueue([](TcpSocket& s) {
        if (!(s.flags_ & flagStarted)) return;
        s.flags_ |= flagForbidReadsWrites | flagDisconnectAfterReads | flagDisconnectAfterWrites;
        s.maybeClose();
    });
}

void TcpSocket::maybeClose() {
    const bool readsPending = currentRead_ || !readQueue_.empty();
    const bool writesPending = currentWrite_ || !writeQueue_.empty();
    if (flags_ & flagDisconnectAfterReads) {
        if (!readsPending && !((flags_ & flagDisconnectAfterWrites) && writesPending))
            closeWithError(std::nullopt);
    } else if (flags_ & flagDisconnectAfterWrites) {
        if (!writesPending) closeWithError(std::nullopt);
    }
}

void TcpSocket::closeWithError(const std::optional<Error>& error) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
    cancelTimer(readTimer_);
    cancelTimer(writeTimer_);
    readQueue_.clear();
    writeQueue_.clear();
    preBuffer_.reset();

    if (readSource_ || writeSource_) {
        // The sources' cancel handlers close the connected descriptor; a suspended source must be resumed
        // for its cancellation to complete.
        if (readSource_) {
            readSource_->cancel();
            resumeReadSource();
            readSource_.reset();
        }
        if (writeSource_) {
            writeSource_->cancel();
            resumeWriteSource();
            writeSource_.reset();
        }
        socket4FD_ = -1;
        socket6FD_ = -1;
    } else {
        // Not connected (yet): descriptors of a connect under way are closed by their sources.
        closeConnectingSocket(AF_INET);
        closeConnectingSocket(AF_INET6);
    }

    const bool wasStarted = flags_ & flagStarted;
    const bool dealloc = flags_ & flagDealloc;
    socketFDBytesAvailable_ = 0;
    flags_ = 0;
    if (!wasStarted || !delegateQueue_) return;
    auto delegate = delegate_.lock();
    if (!delegate) return;
    if (dealloc) {
        delegateQueue_->async([delegate, error]() mutable {
            delegate->socketDidDisconnect(nullptr, error);
            delegate.reset();
        });
    } else {
        post([error](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidDisconnect(&s, error); });
    }
}

// ---- state and endpoints ----

bool TcpSocket::isDisconnected() const {
    return onQueueSync([&] { return (flags_ & flagStarted) == 0; });
}

bool TcpSocket::isConnected() const {
    return onQueueSync([&] { return (flags_ & flagConnected) != 0; });
}

std::string TcpSocket::connectedHost() const {
    return onQueueSync([&] { return hostFromAddress(peerAddressOf(connectedFD())); });
}

uint16_t TcpSocket::connectedPort() const {
    return onQueueSync([&] { return portFromAddress(peerAddressOf(connectedFD())); });
}

std::string TcpSocket::localHost() const {
    return onQueueSync([&] { return hostFromAddress(localAddressOf(connectedFD())); });
}

uint16_t TcpSocket::localPort() const {
    return onQueueSync([&] { return portFromAddress(localAddressOf(connectedFD())); });
}

Bytes TcpSocket::connectedAddress() const {
    return onQueueSync([&] { return peerAddressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_); });
}

Bytes TcpSocket::localAddress() const {
    return onQueueSync([&] { return localAddressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_); });
}

bool TcpSocket::isIPv4() const {
    return onQueueSync([&] { return socket4FD_ != -1; });
}

bool TcpSocket::isIPv6() const {
    return onQueueSync([&] { return socket6FD_ != -1; });
}

bool TcpSocket::isSecure() const {
    return onQueueSync([&] { return (flags_ & flagSecure) != 0; });
}

}  // namespace quill::net
