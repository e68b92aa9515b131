// Connecting: the checks made before anything starts, the host look-up, one descriptor per address
// family with the preferred family first and the other after the alternate-address delay, the connect
// time-out, and the did-connect step that sets up the read and write sources.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/Resolver.h"
#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

namespace dispatch = platform::dispatch;
using namespace tcp_detail;

namespace {

int familySlot(int family) {
    return family == AF_INET ? 0 : family == AF_INET6 ? 1 : 2;
}

}  // namespace

bool TcpSocket::connectToHost(const std::string& host, uint16_t port, double timeout, Error* error) {
    return connectToHost(host, port, std::nullopt, timeout, error);
}

bool TcpSocket::connectToHost(const std::string& host, uint16_t port,
                              const std::optional<std::string>& interface, double timeout, Error* error) {
    // Copies: the caller's strings may change once this returns, while the look-up still runs.
    std::string hostCopy = host;
    std::optional<std::string> interfaceCopy = interface;
    return impl_->queue_.sync(
        [&, &s = *impl_] { return s.connectHostOnQueue(hostCopy, port, interfaceCopy, timeout, error); });
}

bool TcpSocket::connectToAddress(const Bytes& address, double timeout, Error* error) {
    return connectToAddress(address, std::nullopt, timeout, error);
}

bool TcpSocket::connectToAddress(const Bytes& address, const std::optional<std::string>& interface,
                                 double timeout, Error* error) {
    return impl_->queue_.sync(
        [&, &s = *impl_] { return s.connectAddressOnQueue(address, interface, timeout, error); });
}

bool TcpSocket::Impl::checkDelegateAndIdle(const char* verb, Error* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = badConfigError(text);
        return false;
    };
    const std::string v = verb;
    if (!delegate_.lock()) return fail("Attempting to " + v + " without a delegate. Set a delegate first.");
    if (!delegateQueue_)
        return fail("Attempting to " + v + " without a delegate queue. Set a delegate queue first.");
    if (flags_ & flagStarted)
        return fail("Attempting to " + v + " while connected or accepting connections. Disconnect first.");
    return true;
}

bool TcpSocket::connectToUrl(const std::string& url, double timeout, Error* error) {
    return impl_->queue_.sync([&, &s = *impl_] { return s.connectUrlOnQueue(url, timeout, error); });
}

bool TcpSocket::Impl::preConnect(const std::optional<std::string>& interface, Error* error) {
    auto fail = [&](Error e) {
        if (error) *error = std::move(e);
        return false;
    };
    if (!checkDelegateAndIdle("connect", error)) return false;
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
    } else {
        // An interface kept from an attempt that failed at once must not bind this one.
        connectInterface4_.clear();
        connectInterface6_.clear();
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

bool TcpSocket::Impl::connectHostOnQueue(const std::string& host, uint16_t port,
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
    lookupHostAsync(host, port, SocketKind::Stream, queue_.queue(),
                    [weak = weak(), index](std::vector<Bytes> addresses, std::optional<Error> lookupError) {
                        auto self = weak.lock();
                        if (!self) return;
                        Impl& s = *self->impl_;
                        if (addresses.empty()) {
                            s.lookupDidFail(index, *lookupError);
                        } else {
                            Bytes a4, a6;
                            for (const Bytes& a : addresses) {
                                if (a4.empty() && isIPv4Address(a)) a4 = a;
                                if (a6.empty() && isIPv6Address(a)) a6 = a;
                            }
                            s.lookupDidSucceed(index, std::move(a4), std::move(a6));
                        }
                        self.reset();
                    });
    startConnectTimeout(timeout);
    return true;
}

bool TcpSocket::Impl::connectAddressOnQueue(const Bytes& address, const std::optional<std::string>& interface,
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

bool TcpSocket::Impl::connectUrlOnQueue(const std::string& url, double timeout, Error* error) {
    const std::string path = pathFromFileUrl(url);
    if (path.empty()) {
        if (error) *error = badParamError("Invalid unix domain socket url.");
        return false;
    }
    if (!checkDelegateAndIdle("connect", error)) return false;
    // A path too long for the address is refused, never shortened to another file's name.
    Bytes address = makeAddressUN(path);
    if (address.empty()) {
        if (error)
            *error = badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
        return false;
    }
    connectInterfaceUN_ = address;
    readQueue_.clear();
    writeQueue_.clear();
    flags_ |= flagStarted;
    const int fd = openSocket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK);
    if (fd < 0) {
        Error e = posixError(errno, "Error in socket() function");
        closeWithError(e);
        if (error) *error = e;
        return false;
    }
    socketUN_ = fd;
    connectSocket(AF_UNIX, address, stateIndex_);
    startConnectTimeout(timeout);
    return true;
}

void TcpSocket::Impl::lookupDidFail(int index, const Error& error) {
    if (index != stateIndex_) return;
    endConnectTimeout();
    closeWithError(error);
}

void TcpSocket::Impl::lookupDidSucceed(int index, Bytes address4, Bytes address6) {
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

int TcpSocket::Impl::createSocket(int family, const Bytes& interfaceAddress, Error* error) {
    int fd = openSocket(family, SOCK_STREAM | SOCK_NONBLOCK);
    if (fd < 0) {
        if (error) *error = posixError(errno, "Error in socket() function");
        return -1;
    }
    if (!interfaceAddress.empty()) {
        if (portFromAddress(interfaceAddress) != 0) setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        if (!bindTo(fd, interfaceAddress)) {
            if (error) *error = posixError(errno, "Error in bind() function");
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool TcpSocket::Impl::connectWithAddresses(const Bytes& address4, const Bytes& address6, Error* error) {
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
        queue_.queue()->after(alternateAddressDelay_, [weak = weak(), other, alternate, index] {
            if (auto self = weak.lock()) {
                self->impl_->connectSocket(other, alternate, index);
                self.reset();
            }
        });
    }
    return true;
}

void TcpSocket::Impl::connectSocket(int family, const Bytes& address, int index) {
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
    if (!connectTo(fd, address) && errno != EINPROGRESS) {
        const int err = errno;
        // Reported from a later block, like a completion, so that callers see a started attempt first.
        asyncOnQueue([family, fd, err, index, slot](Impl& s) {
            if (index == s.stateIndex_ && s.fdField(family) == fd && !s.connectSource_[slot])
                s.connectFinished(family, fd, err, index);
        });
        return;
    }
    // Completion shows as writability; its result is SO_ERROR.
    auto source = dispatch::FdSource::create(fd, dispatch::FdEvent::Write, queue_.queue());
    auto result = std::make_shared<int>(ETIMEDOUT);
    dispatch::FdSource* raw = source.get();
    source->setEventHandler([raw, fd, result] {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
        *result = soError;
        raw->cancel();
    });
    source->setCancelHandler([weak = weak(), raw, family, fd, index, slot, result] {
        auto self = weak.lock();
        if (self && index == self->impl_->stateIndex_ && self->impl_->connectSource_[slot].get() == raw &&
            self->impl_->fdField(family) == fd) {
            self->impl_->connectSource_[slot].reset();
            self->impl_->connectFinished(family, fd, *result, index);
        } else {
            // The attempt was abandoned; the descriptor was left to this handler.
            ::close(fd);
        }
        self.reset();
    });
    connectSource_[slot] = source;
    source->resume();
}

void TcpSocket::Impl::closeConnectingSocket(int family) {
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

void TcpSocket::Impl::connectFinished(int family, int fd, int err, int index) {
    if (flags_ & flagConnected) {
        ::close(fd);
        fdField(family) = -1;
        return;
    }
    if (err == 0) {
        if (family != AF_UNIX) closeConnectingSocket(family == AF_INET ? AF_INET6 : AF_INET);
        didConnect(index);
        return;
    }
    ::close(fd);
    fdField(family) = -1;
    if (family == AF_UNIX) std::fprintf(stderr, "connect: %s\n", std::strerror(err));
    if (socket4FD_ == -1 && socket6FD_ == -1 && socketUN_ == -1)
        didNotConnect(index, posixError(err, "Error in connect() function"));
}

void TcpSocket::Impl::didNotConnect(int index, const Error& error) {
    if (index != stateIndex_) return;
    closeWithError(error);
}

void TcpSocket::Impl::didConnect(int index) {
    if (index != stateIndex_) return;
    flags_ |= flagConnected;
    endConnectTimeout();
    const int fd = connectedFD();
    std::string host;
    uint16_t port = 0;
    const Bytes peer = peerAddressOf(fd);
    if (getHost(peer, &host, &port)) {
        post([host, port](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidConnectToHost(s, host, port); });
    } else if (const std::string path = pathFromAddressUN(peer); !path.empty()) {
        post([url = fileUrlFromPath(path)](TcpSocketDelegate& d, TcpSocket& s) {
            d.socketDidConnectToUrl(s, url);
        });
    }
    if (!setNonBlocking(fd)) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    setupReadAndWriteSources(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void TcpSocket::Impl::startConnectTimeout(double timeout) {
    startTimer(connectTimer_, timeout, &Impl::doConnectTimeout);
}

void TcpSocket::Impl::doConnectTimeout() {
    endConnectTimeout();
    closeWithError(connectTimeoutError());
}

void TcpSocket::Impl::endConnectTimeout() {
    cancelTimer(connectTimer_);
    ++stateIndex_;
    connectInterface4_.clear();
    connectInterface6_.clear();
    connectInterfaceUN_.clear();
}

void TcpSocket::Impl::setupReadAndWriteSources(int fd) {
    readSource_ = dispatch::FdSource::create(fd, dispatch::FdEvent::Read, queue_.queue());
    writeSource_ = dispatch::FdSource::create(fd, dispatch::FdEvent::Write, queue_.queue());
    std::weak_ptr<TcpSocket> weak = this->weak();
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
        self->impl_->socketFDBytesAvailable_ = available;
        if (self->impl_->socketFDBytesAvailable_ > 0) {
            self->impl_->doReadData();
        } else {
            self->impl_->doReadEOF();
        }
        self.reset();
    });
    writeSource_->setEventHandler([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->impl_->flags_ |= flagCanAcceptBytes;
        self->impl_->doWriteData();
        self.reset();
    });
    // The descriptor is closed once, after both sources are gone.
    auto closer = closeAfterLastCancel(fd, 2);
    readSource_->setCancelHandler(closer);
    writeSource_->setCancelHandler(closer);
    socketFDBytesAvailable_ = 0;
    flags_ |= flagReadSourceSuspended | flagWriteSourceSuspended | flagCanAcceptBytes;
    resumeReadSource();
}

void TcpSocket::Impl::suspendReadSource() {
    if (readSource_ && !(flags_ & flagReadSourceSuspended)) {
        readSource_->suspend();
        flags_ |= flagReadSourceSuspended;
    }
}

void TcpSocket::Impl::resumeReadSource() {
    if (readSource_ && (flags_ & flagReadSourceSuspended)) {
        readSource_->resume();
        flags_ &= ~flagReadSourceSuspended;
    }
}

void TcpSocket::Impl::suspendWriteSource() {
    if (writeSource_ && !(flags_ & flagWriteSourceSuspended)) {
        writeSource_->suspend();
        flags_ |= flagWriteSourceSuspended;
    }
}

void TcpSocket::Impl::resumeWriteSource() {
    if (writeSource_ && (flags_ & flagWriteSourceSuspended)) {
        writeSource_->resume();
        flags_ &= ~flagWriteSourceSuspended;
    }
}

}  // namespace quill::net
