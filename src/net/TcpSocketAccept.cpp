// Listening: one non-blocking listening descriptor per address family (or one unix-domain one), each
// watched by an accept source, and each accepted connection handed to the delegate as a new connected
// socket.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

namespace dispatch = platform::dispatch;

namespace {

constexpr int kListenBacklog = 1024;
// Linux cannot tell how many connections wait on a listener: an event accepts until none is left, but
// at most this many, so that a flood cannot hold the socket queue.
constexpr int kMaxAcceptsPerEvent = 1024;

}  // namespace

bool TcpSocket::acceptOnPort(uint16_t port, Error* error) {
    return acceptOnInterface(std::nullopt, port, error);
}

bool TcpSocket::acceptOnInterface(const std::optional<std::string>& interface, uint16_t port, Error* error) {
    return impl_->queue_.sync(
        [&, &s = *impl_] { return s.acceptOnInterfaceOnQueue(interface, port, error); });
}

bool TcpSocket::acceptOnUrl(const std::string& url, Error* error) {
    return impl_->queue_.sync([&, &s = *impl_] { return s.acceptOnUrlOnQueue(url, error); });
}

bool TcpSocket::Impl::acceptOnInterfaceOnQueue(const std::optional<std::string>& interface, uint16_t port,
                                               Error* error) {
    auto fail = [&](Error e) {
        if (error) *error = std::move(e);
        return false;
    };
    if (!delegate_.lock())
        return fail(badConfigError("Attempting to accept without a delegate. Set a delegate first."));
    if (!delegateQueue_)
        return fail(
            badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first."));
    const bool v4Disabled = config_ & configIPv4Disabled;
    const bool v6Disabled = config_ & configIPv6Disabled;
    if (v4Disabled && v6Disabled)
        return fail(badConfigError(
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
    if (flags_ & flagStarted)
        return fail(badConfigError(
            "Attempting to accept while connected or accepting connections. Disconnect first."));
    readQueue_.clear();
    writeQueue_.clear();

    Bytes a4, a6;
    getInterfaceAddress(interface, port, &a4, &a6);
    if (a4.empty() && a6.empty())
        return fail(badParamError(
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
    if (v4Disabled && a6.empty())
        return fail(badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
    if (v6Disabled && a4.empty())
        return fail(badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
    const bool use4 = !v4Disabled && !a4.empty();
    const bool use6 = !v6Disabled && !a6.empty();

    if (use4) {
        socket4FD_ = createListeningSocket(AF_INET, a4, error);
        if (socket4FD_ == -1) return false;
    }
    if (use6) {
        // Both families on one port, also when the kernel picked IPv4's.
        if (use4 && portFromAddress(a6) == 0) setAddressPort(a6, portFromAddress(localAddressOf(socket4FD_)));
        socket6FD_ = createListeningSocket(AF_INET6, a6, error);
        if (socket6FD_ == -1) {
            if (socket4FD_ != -1) ::close(socket4FD_);
            socket4FD_ = -1;
            return false;
        }
    }
    if (use4) accept4Source_ = makeAcceptSource(socket4FD_);
    if (use6) accept6Source_ = makeAcceptSource(socket6FD_);
    flags_ |= flagStarted;
    return true;
}

bool TcpSocket::Impl::acceptOnUrlOnQueue(const std::string& url, Error* error) {
    if (!checkDelegateAndIdle("accept", error)) return false;
    const std::string path = pathFromFileUrl(url);
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0) {
        // Only an old socket is replaced: a mistyped path must not destroy a file.
        if (!S_ISSOCK(st.st_mode) || ::unlink(path.c_str()) != 0) {
            if (error) *error = otherError("Could not remove previous unix domain socket at given url.");
            return false;
        }
    }
    const Bytes address = makeAddressUN(path);
    if (address.empty()) {
        if (error)
            *error = badParamError(
                "Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
                "\"file:///tmp/socket\")");
        return false;
    }
    socketUN_ = createListeningSocket(AF_UNIX, address, error);
    if (socketUN_ == -1) return false;
    socketUrl_ = fileUrlFromPath(path);
    acceptUNSource_ = makeAcceptSource(socketUN_);
    flags_ |= flagStarted;
    return true;
}

int TcpSocket::Impl::createListeningSocket(int family, const Bytes& address, Error* error) {
    int fd = openSocket(family, SOCK_STREAM);
    if (fd < 0) {
        if (error) *error = posixError(errno, "Error in socket() function");
        return -1;
    }
    auto fail = [&](const char* reason) {
        if (error) *error = posixError(errno, reason);
        ::close(fd);
        return -1;
    };
    if (!setNonBlocking(fd)) return fail("Error enabling non-blocking IO on socket (fcntl)");
    if (!setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1))
        return fail("Error enabling address reuse (setsockopt)");
    // Linux lets an IPv6 listener take IPv4 connections too, and then refuses the IPv4 listener on the
    // same port; each family has its own listener here.
    if (family == AF_INET6) setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (!bindTo(fd, address)) return fail("Error in bind() function");
    if (::listen(fd, kListenBacklog) != 0) return fail("Error in listen() function");
    return fd;
}

std::shared_ptr<dispatch::FdSource> TcpSocket::Impl::makeAcceptSource(int fd) {
    auto source = dispatch::FdSource::create(fd, dispatch::FdEvent::Read, queue_.queue());
    std::weak_ptr<dispatch::FdSource> weakSource = source;
    source->setEventHandler([weak = weak(), weakSource, fd] {
        auto self = weak.lock();
        if (!self) return;
        int accepted = 0;
        while (accepted < kMaxAcceptsPerEvent && self->impl_->doAccept(fd))
            ++accepted;
        if (accepted == 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            // Out of descriptors or memory: the connection still waits and the listener stays readable.
            // Pause instead of spinning, and try again shortly. The pause holds the source: a listener
            // closed meanwhile finishes its cancellation (and closes the descriptor) once resumed.
            if (auto src = weakSource.lock()) {
                src->suspend();
                self->impl_->queue_.queue()->after(0.1, [src] { src->resume(); });
            }
        }
        self.reset();
    });
    source->setCancelHandler([fd] { ::close(fd); });
    source->resume();
    return source;
}

bool TcpSocket::Impl::doAccept(int listenFD) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd;
    do {
        fd = ::accept4(listenFD, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(&ss);
    const Bytes address(p, p + std::min<size_t>(len, sizeof ss));
    const int family = ss.ss_family == AF_INET ? AF_INET : ss.ss_family == AF_INET6 ? AF_INET6 : AF_UNIX;

    auto delegate = delegate_.lock();
    if (!delegateQueue_ || !delegate) {
        // Nobody would take the connection: close it rather than leak it.
        ::close(fd);
        return true;
    }
    auto listener = owner_.shared_from_this();
    QueuePtr delegateQueue = delegateQueue_;
    delegateQueue_->async([delegate, listener, delegateQueue, fd, family, address]() mutable {
        QueuePtr queue = delegate->newSocketQueueForConnectionFromAddress(address, *listener);
        auto accepted = TcpSocket::create(delegate, delegateQueue, queue);
        // The descriptor is stored on the new socket's queue; if the socket is gone by then, nobody
        // else will close it.
        accepted->impl_->queue_.queue()->async([weak = std::weak_ptr<TcpSocket>(accepted), fd, family] {
            if (auto s = weak.lock()) {
                s->impl_->adoptAcceptedDescriptor(fd, family);
                s.reset();
            } else {
                ::close(fd);
            }
        });
        delegate->socketDidAcceptNewSocket(*listener, std::move(accepted));
        listener.reset();
        delegate.reset();
    });
    return true;
}

void TcpSocket::Impl::adoptAcceptedDescriptor(int fd, int family) {
    fdField(family) = fd;
    flags_ = flagStarted | flagConnected;
    setupReadAndWriteSources(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

}  // namespace quill::net
