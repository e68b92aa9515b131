// UdpSocket: the send path. One request is served at a time from a FIFO that also carries connect
// requests; every datagram ends in exactly one send callback unless the socket closes first.

#include <cerrno>

#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/SocketErrors.h"
#include "net/UdpSocketImpl.h"

namespace quill::net {

namespace dispatch = platform::dispatch;
using Impl = UdpSocket::Impl;

// ---- the public calls ----

void UdpSocket::sendData(SharedBytes data, long tag) {
    sendData(std::move(data), -1.0, tag);
}

void UdpSocket::sendData(SharedBytes data, double timeout, long tag) {
    if (!data || data->empty()) return;
    impl_->queueSend(std::make_shared<UdpSendPacket>(std::move(data), timeout, tag));
}

void UdpSocket::sendData(SharedBytes data, const std::string& host, uint16_t port, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<UdpSendPacket>(std::move(data), timeout, tag);
    packet->namesDestination = true;
    packet->resolveInProgress = true;
    impl_->asyncResolveHost(host, port,
                            [packet](Impl& impl, std::vector<Bytes> addresses, std::optional<Error> error) {
                                packet->resolveInProgress = false;
                                packet->resolvedAddresses = std::move(addresses);
                                packet->resolveError = std::move(error);
                                if (impl.currentSend == packet) impl.doPreSend();
                            });
    impl_->queueSend(std::move(packet));
}

void UdpSocket::sendData(SharedBytes data, const Bytes& address, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<UdpSendPacket>(std::move(data), timeout, tag);
    packet->namesDestination = !address.empty();
    packet->address = address;
    packet->addressFamily = addressFamily(address);
    impl_->queueSend(std::move(packet));
}

void UdpSocket::setSendFilter(UdpSocketSendFilterBlock filter, QueuePtr queue, bool isAsynchronous) {
    if (!filter) queue = nullptr;
    impl_->queue.inlineOrAsync(*this, [filter = std::move(filter), queue, isAsynchronous](UdpSocket& s) {
        s.impl_->sendFilterBlock = filter;
        s.impl_->sendFilterQueue = queue;
        s.impl_->sendFilterAsync = isAsynchronous;
    });
}

// ---- the queue ----

void Impl::queueSend(std::shared_ptr<UdpSendPacket> packet) {
    // Asked for while the socket queue is idle (typically from a send callback), the datagram goes out
    // on the calling thread at once, unless a synchronous send filter is in force: the caller may be
    // inside the filter queue's own work (a filter queue that is the delegate queue), where running the
    // filter would wait for itself. The datagram then takes its place in the queue here, and the queue
    // is served from the socket queue's own thread.
    queue.asyncOrRunHere(weak(), [packet = std::move(packet)](UdpSocket& s) {
        Impl& impl = *s.impl_;
        impl.sendQueue.push_back(packet);
        if (impl.queue.onCallersThread() && impl.sendFilterBlock && impl.sendFilterQueue &&
            !impl.sendFilterAsync) {
            impl.queue.asyncOffCallersThread(impl.weak(), [](UdpSocket& later) {
                if (!later.impl_->sendQueue.empty()) later.impl_->maybeDequeueSend();
            });
            return;
        }
        impl.maybeDequeueSend();
    });
}

std::shared_ptr<UdpSendPacket> Impl::currentDatagram() const {
    if (!currentSend || currentSend->isConnect) return nullptr;
    return std::static_pointer_cast<UdpSendPacket>(currentSend);
}

void Impl::maybeDequeueSend() {
    // A request that ends at once leads back here from inside a pass; such a call only asks for another
    // pass, so that a long queue of datagrams is served by this loop rather than by recursion.
    if (dequeueing) {
        dequeueAgain = true;
        return;
    }
    dequeueing = true;
    do {
        dequeueAgain = false;
        dequeueSendOnce();
    } while (dequeueAgain);
    dequeueing = false;
}

void Impl::dequeueSendOnce() {
    if (currentSend) return;
    if (!(flags & flagDidCreateSockets)) {
        Error error;
        if (!createSockets(&error)) {
            // Reported although no descriptor was made: the queued datagrams are dropped with the close.
            closeWithError(error, CloseReport::Always);
            return;
        }
    }
    while (!sendQueue.empty()) {
        currentSend = std::move(sendQueue.front());
        sendQueue.pop_front();
        if (currentSend->isConnect) {
            maybeConnect();
            return;
        }
        auto packet = currentDatagram();
        if (packet->resolveError) {
            const long tag = packet->tag;
            const Error error = *packet->resolveError;
            notify([tag, error](UdpSocketDelegate& d, UdpSocket& s) {
                d.udpSocketDidNotSendDataWithTag(s, tag, error);
            });
            currentSend.reset();
            continue;
        }
        doPreSend();
        return;
    }
    if (flags & flagCloseAfterSends) closeWithError(std::nullopt);
}

// ---- settling the destination and filtering ----

void Impl::doPreSend() {
    auto packet = currentDatagram();
    std::optional<Error> error;
    if (flags & flagDidConnect) {
        if (packet->namesDestination) {
            error = badConfigError("Cannot specify destination of packet for connected socket");
        } else {
            packet->address = cachedConnectedAddress;
            packet->addressFamily = cachedConnectedFamily;
        }
    } else {
        if (packet->resolveInProgress) {
            // The resolution's completion comes back here.
            if (flags & v4.canAcceptBit) suspendSendSource(v4);
            if (flags & v6.canAcceptBit) suspendSendSource(v6);
            return;
        }
        if (packet->resolveError) {
            error = packet->resolveError;
        } else if (packet->address.empty()) {
            if (!packet->resolvedAddresses.empty()) {
                Error choiceError;
                packet->addressFamily = getAddress(packet->resolvedAddresses, &packet->address, &choiceError);
                if (packet->addressFamily == 0) error = choiceError;
            } else {
                error = badConfigError("You must specify destination of packet for a non-connected socket");
            }
        }
        if (!error) error = destinationError(*packet);
    }
    if (error) {
        failCurrentSend(*error);
        return;
    }
    if (!sendFilterBlock || !sendFilterQueue) {
        doSend();
        return;
    }
    auto filter = sendFilterBlock;
    if (!sendFilterAsync) {
        bool allowed = true;
        sendFilterQueue->sync([&] { allowed = filter(packet->buffer, packet->address, packet->tag); });
        sendFilterAnswered(allowed);
        return;
    }
    packet->filterInProgress = true;
    sendFilterQueue->async([weak = weak(), filter, packet, socketQueue = queue.queue()] {
        const bool allowed = filter(packet->buffer, packet->address, packet->tag);
        socketQueue->async([weak, packet, allowed] {
            if (auto self = weak.lock()) {
                packet->filterInProgress = false;
                if (self->impl_->currentSend == packet) self->impl_->sendFilterAnswered(allowed);
                self.reset();
            }
        });
    });
}

std::optional<Error> Impl::destinationError(const UdpSendPacket& packet) {
    // An address the socket has no usable descriptor for would fail the send with EBADF and close the
    // whole socket; it fails only its own datagram instead.
    const int af = addressFamily(packet.address);
    if (af == 0) return badParamError("A valid IPv4 or IPv6 address was not given");
    const UdpFamily& f = family(af);
    const std::string name = f.name;
    if (config & f.disabledBit)
        return badParamError(name + " has been disabled and an " + name + " address was passed.");
    if (flags & f.deactivatedBit)
        return badParamError(name + " has been deactivated due to bind/connect, and an " + name +
                             " address was passed.");
    if (f.fd == -1)
        return badParamError(name + " was disabled when the socket's descriptors were made, and an " + name +
                             " address was passed.");
    return std::nullopt;
}

void Impl::sendFilterAnswered(bool allowed) {
    if (allowed) {
        doSend();
    } else {
        // A refused datagram counts as sent.
        completeCurrentSend();
    }
}

// ---- sending ----

namespace {

// Whether a failed send is the datagram's own fault, so that the descriptor and the datagrams queued
// behind it are fine. A datagram too long for one send always is. A destination the kernel refuses
// (broadcast not allowed, a firewall rule, no route to that network or host) or cannot send to at all
// (port 0, an IPv6 link-local address without an interface: EINVAL, the one argument of an unconnected
// send that changes from datagram to datagram being its destination) is only that datagram's on an
// unconnected socket, whose next datagram may go anywhere; a connected socket has that one destination
// for every datagram, so there it ends the socket like any other error of the descriptor.
bool concernsOnlyThisDatagram(int err, bool connected) {
    if (err == EMSGSIZE) return true;
    if (connected) return false;
    return err == EACCES || err == EPERM || err == ENETUNREACH || err == EHOSTUNREACH || err == EINVAL;
}

}  // namespace

void Impl::doSend() {
    auto packet = currentDatagram();
    UdpFamily& f = family(packet->addressFamily);
    const Bytes& data = *packet->buffer;
    const ssize_t result = (flags & flagDidConnect)
                               ? sendNoSignal(f.fd, data.data(), data.size())
                               : sendNoSignal(f.fd, data.data(), data.size(), packet->address);
    const int err = errno;
    flags |= flagDidBind;  // the kernel has bound the descriptor
    if (result > 0) {
        completeCurrentSend();
        return;
    }
    if (result < 0 && !wouldBlock(err)) {
        const Error error = posixError(err, "Error in send() function.");
        if (concernsOnlyThisDatagram(err, (flags & flagDidConnect) != 0)) {
            failCurrentSend(error);
        } else {
            closeWithError(error);
        }
        return;
    }
    // No room now: the datagram stays current until this family's descriptor is writable again.
    flags &= ~f.canAcceptBit;
    resumeSendSource(f);
    if (!sendTimer && packet->timeout >= 0) setupSendTimerWithTimeout(packet->timeout);
}

void Impl::sendSourceFired(UdpFamily& f) {
    flags |= f.canAcceptBit;
    // Only a datagram for this family's descriptor can use its room; for another, this source would
    // keep firing while that descriptor stays full.
    auto packet = currentDatagram();
    if (packet && !packet->resolveInProgress && !packet->filterInProgress &&
        &family(packet->addressFamily) == &f) {
        doSend();
    } else {
        suspendSendSource(f);
    }
}

void Impl::completeCurrentSend() {
    const long tag = currentDatagram()->tag;
    notify([tag](UdpSocketDelegate& d, UdpSocket& s) { d.udpSocketDidSendDataWithTag(s, tag); });
    endCurrentSend();
    maybeDequeueSend();
}

void Impl::failCurrentSend(const Error& error) {
    const long tag = currentDatagram()->tag;
    notify([tag, error](UdpSocketDelegate& d, UdpSocket& s) {
        d.udpSocketDidNotSendDataWithTag(s, tag, error);
    });
    endCurrentSend();
    maybeDequeueSend();
}

void Impl::endCurrentSend() {
    if (sendTimer) {
        sendTimer->cancel();
        sendTimer.reset();
    }
    currentSend.reset();
}

void Impl::setupSendTimerWithTimeout(double timeout) {
    sendTimer = dispatch::TimerSource::create(queue.queue());
    sendTimer->setEventHandler([weak = weak()] {
        if (auto self = weak.lock()) {
            self->impl_->doSendTimeout();
            self.reset();
        }
    });
    sendTimer->setTimer(timeout, 0, 0);
    sendTimer->resume();
}

void Impl::doSendTimeout() {
    if (currentDatagram()) failCurrentSend(sendTimeoutError());
}

}  // namespace quill::net
