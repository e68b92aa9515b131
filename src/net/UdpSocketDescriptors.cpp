// UdpSocket: resolving hosts, choosing one address of a resolved list, comparing a sender with the
// connected peer, and making, watching and closing the IPv4 and IPv6 descriptors.

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/Resolver.h"
#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/SocketErrors.h"
#include "net/UdpSocketImpl.h"

namespace quill::net {

namespace dispatch = platform::dispatch;
using Impl = UdpSocket::Impl;

void Impl::asyncResolveHost(const std::string& host, uint16_t port, ResolveDone done) {
    if (host.empty()) {
        later([done](Impl& impl) {
            done(impl, {},
                 badParamError("The host param is nil. Should be domain name or IP address string."));
        });
        return;
    }
    lookupHostAsync(host, port, SocketKind::Datagram, queue.queue(),
                    [weak = weak(), done](std::vector<Bytes> addresses, std::optional<Error> error) {
                        if (auto self = weak.lock()) {
                            done(*self->impl_, std::move(addresses), std::move(error));
                            self.reset();
                        }
                    });
}

int Impl::getAddress(const std::vector<Bytes>& addresses, Bytes* address, Error* error) const {
    auto fail = [&](const std::string& text) {
        address->clear();
        if (error) *error = otherError(text);
        return 0;
    };
    bool any4 = false, any6 = false;
    for (const Bytes& a : addresses) {
        any4 = any4 || isIPv4Address(a);
        any6 = any6 || isIPv6Address(a);
    }
    const bool disabled4 = config & configIPv4Disabled, disabled6 = config & configIPv6Disabled;
    const bool deactivated4 = flags & flagIPv4Deactivated, deactivated6 = flags & flagIPv6Deactivated;
    if (disabled4 && !any6) return fail("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    if (disabled6 && !any4) return fail("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    if (deactivated4 && !any6)
        return fail(
            "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    if (deactivated6 && !any4)
        return fail(
            "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");

    const Bytes* a4 = nullptr;
    const Bytes* a6 = nullptr;
    bool v4First = false;
    for (const Bytes& a : addresses) {
        if (!a4 && !disabled4 && !deactivated4 && isIPv4Address(a)) {
            a4 = &a;
            v4First = a6 == nullptr;
        }
        if (!a6 && !disabled6 && !deactivated6 && isIPv6Address(a)) a6 = &a;
    }
    // Nothing usable is left: a send or connect on a missing descriptor would fail and close the socket.
    if (!a4 && !a6) {
        if (!any4 && !any6) return fail("No IPv4 or IPv6 address was given or found.");
        return fail(
            "Neither IPv4 nor IPv6 can be used (disabled, or deactivated due to bind/connect) for the "
            "address(es) found.");
    }
    const bool preferIPv4 = config & configPreferIPv4, preferIPv6 = config & configPreferIPv6;
    const bool useIPv4 = (a4 && v4First && !(preferIPv6 && a6)) || !a6 || (a4 && preferIPv4);
    *address = useIPv4 ? *a4 : *a6;
    return useIPv4 ? AF_INET : AF_INET6;
}

bool Impl::isConnectedToAddress(const Bytes& sender) const {
    const int af = addressFamily(sender);
    if (af == 0 || af != cachedConnectedFamily || addressFamily(cachedConnectedAddress) != af) return false;
    if (af == AF_INET) {
        sockaddr_in a, b;
        std::memcpy(&a, sender.data(), sizeof a);
        std::memcpy(&b, cachedConnectedAddress.data(), sizeof b);
        return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
    }
    sockaddr_in6 a, b;
    std::memcpy(&a, sender.data(), sizeof a);
    std::memcpy(&b, cachedConnectedAddress.data(), sizeof b);
    return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 && a.sin6_port == b.sin6_port;
}

int Impl::createSocket(int af, Error* error) {
    int fd = -1;
    auto fail = [&](const char* reason) {
        if (error) *error = posixError(errno, reason);
        if (fd != -1) ::close(fd);
        return -1;
    };
    fd = openSocket(af, SOCK_DGRAM);
    if (fd == -1) return fail("Error in socket() function");
    if (!setNonBlocking(fd)) return fail("Error enabling non-blocking IO on socket (fcntl)");
    if (!setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1))
        return fail("Error enabling address reuse (setsockopt)");
    // Linux has no per-socket guard against SIGPIPE; every send passes MSG_NOSIGNAL instead. An IPv6
    // descriptor takes IPv6 only where the system lets it, so that IPv4 traffic arrives on the IPv4
    // descriptor; where it does not, the descriptor still serves IPv6, as the TCP listener's does.
    if (af == AF_INET6) setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (!setIntOption(fd, SOL_SOCKET, SO_SNDBUF, int(maxSendSize)))
        return fail("Error setting send buffer size (setsockopt)");
    if (!setIntOption(fd, SOL_SOCKET, SO_RCVBUF, int(maxSendSize)))
        return fail("Error setting receive buffer size (setsockopt)");
    return fd;
}

bool Impl::createSockets(bool useIPv4, bool useIPv6, Error* error) {
    if (useIPv4) {
        v4.fd = createSocket(AF_INET, error);
        if (v4.fd == -1) return false;
    }
    if (useIPv6) {
        v6.fd = createSocket(AF_INET6, error);
        if (v6.fd == -1) {
            if (v4.fd != -1) ::close(v4.fd);
            v4.fd = -1;
            return false;
        }
    }
    if (v4.fd != -1) setupSendAndReceiveSources(v4);
    if (v6.fd != -1) setupSendAndReceiveSources(v6);
    flags |= flagDidCreateSockets;
    return true;
}

bool Impl::createSockets(Error* error) {
    return createSockets((config & configIPv4Disabled) == 0, (config & configIPv6Disabled) == 0, error);
}

void Impl::setupSendAndReceiveSources(UdpFamily& f) {
    const QueuePtr& q = queue.queue();
    f.sendSource = dispatch::FdSource::create(f.fd, dispatch::FdEvent::Write, q);
    f.receiveSource = dispatch::FdSource::create(f.fd, dispatch::FdEvent::Read, q);
    const int af = f.af;
    f.sendSource->setEventHandler([weak = weak(), af] {
        if (auto self = weak.lock()) {
            self->impl_->sendSourceFired(self->impl_->family(af));
            self.reset();
        }
    });
    dispatch::FdSource* receiveRaw = f.receiveSource.get();
    f.receiveSource->setEventHandler([weak = weak(), af, receiveRaw] {
        if (auto self = weak.lock()) {
            self->impl_->receiveSourceFired(self->impl_->family(af), receiveRaw->data());
            self.reset();
        }
    });
    // The descriptor is closed once, after both sources are cancelled.
    auto closer = closeAfterLastCancel(f.fd, 2);
    f.sendSource->setCancelHandler(closer);
    f.receiveSource->setCancelHandler(closer);
    f.bytesAvailable = 0;
    flags |= f.sendSuspendedBit | f.receiveSuspendedBit | f.canAcceptBit;
}

namespace {

// Suspends or resumes a source whose state is kept in a bit of flags; calls never nest.
void setSuspended(platform::dispatch::Source* source, uint32_t& flags, uint32_t bit, bool suspend) {
    if (!source || suspend == ((flags & bit) != 0)) return;
    if (suspend) {
        source->suspend();
        flags |= bit;
    } else {
        source->resume();
        flags &= ~bit;
    }
}

}  // namespace

void Impl::suspendSendSource(UdpFamily& f) {
    setSuspended(f.sendSource.get(), flags, f.sendSuspendedBit, true);
}
void Impl::resumeSendSource(UdpFamily& f) {
    setSuspended(f.sendSource.get(), flags, f.sendSuspendedBit, false);
}
void Impl::suspendReceiveSource(UdpFamily& f) {
    setSuspended(f.receiveSource.get(), flags, f.receiveSuspendedBit, true);
}
void Impl::resumeReceiveSource(UdpFamily& f) {
    setSuspended(f.receiveSource.get(), flags, f.receiveSuspendedBit, false);
}

void Impl::closeSocket(UdpFamily& f) {
    if (f.fd == -1) return;
    // The cancel handlers close the descriptor; a suspended source must be resumed to finish cancelling.
    f.sendSource->cancel();
    f.receiveSource->cancel();
    resumeSendSource(f);
    resumeReceiveSource(f);
    f.sendSource.reset();
    f.receiveSource.reset();
    f.fd = -1;
    f.bytesAvailable = 0;
    flags &= ~f.canAcceptBit;
    f.cachedLocalAddress.clear();
    f.cachedLocalHost.clear();
    f.cachedLocalPort = 0;
}

void Impl::closeSockets() {
    closeSocket(v4);
    closeSocket(v6);
    flags &= ~flagDidCreateSockets;
}

}  // namespace quill::net
