// UdpSocket: the receive path. Reading happens only while a receive mode is set; otherwise waiting
// datagrams stay in the kernel and the receive sources of the families holding them are suspended.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/SocketCalls.h"
#include "net/SocketErrors.h"
#include "net/UdpSocketImpl.h"

namespace quill::net {

using Impl = UdpSocket::Impl;

namespace {

// Continuous receiving hands the socket queue to other work after this many reads in one go.
constexpr int kReadsPerPass = 64;
// No UDP datagram is longer, so a larger IPv6 read size would only waste memory.
constexpr size_t kLargestDatagram = 65535;

}  // namespace

// ---- the public calls ----

bool UdpSocket::receiveOnce(Error* error) {
    return impl_->startReceiving(Impl::flagReceiveOnce, error);
}

bool UdpSocket::beginReceiving(Error* error) {
    return impl_->startReceiving(Impl::flagReceiveContinuous, error);
}

void UdpSocket::pauseReceiving() {
    impl_->queue.inlineOrAsync(*this, [](UdpSocket& s) { s.impl_->pauseReceiving(); });
}

void UdpSocket::setReceiveFilter(UdpSocketReceiveFilterBlock filter, QueuePtr queue, bool isAsynchronous) {
    if (!filter) queue = nullptr;
    impl_->queue.inlineOrAsync(*this, [filter = std::move(filter), queue, isAsynchronous](UdpSocket& s) {
        s.impl_->receiveFilterBlock = filter;
        s.impl_->receiveFilterQueue = queue;
        s.impl_->receiveFilterAsync = isAsynchronous;
    });
}

void UdpSocket::applicationWillEnterForeground() {
    impl_->later([](Impl& impl) {
        impl.resumeReceiveSource(impl.v4);
        impl.resumeReceiveSource(impl.v6);
    });
}

bool Impl::startReceiving(uint32_t mode, Error* error) {
    return queue.sync([&] {
        if (flags & mode) return true;
        if (!(flags & flagDidCreateSockets)) {
            if (error)
                *error = badConfigError(
                    "Must bind socket before you can receive data. You can do this explicitly via bind, or "
                    "implicitly via connect or by sending data.");
            return false;
        }
        flags = (flags & ~(flagReceiveOnce | flagReceiveContinuous)) | mode;
        later([](Impl& impl) { impl.doReceive(); });
        return true;
    });
}

void Impl::pauseReceiving() {
    flags &= ~(flagReceiveOnce | flagReceiveContinuous);
    if (v4.bytesAvailable > 0) suspendReceiveSource(v4);
    if (v6.bytesAvailable > 0) suspendReceiveSource(v6);
}

// ---- reading ----

void Impl::receiveSourceFired(UdpFamily& f, size_t available) {
    // A readable datagram socket always holds a datagram to read: a count of 0 is an empty datagram (or
    // an error the read collects), never an end of stream, which a datagram socket does not have.
    f.bytesAvailable = std::max<size_t>(available, 1);
    doReceive();
}

void Impl::doReceive() {
    for (int reads = 0;; ++reads) {
        if (!(flags & (flagReceiveOnce | flagReceiveContinuous)) ||
            ((flags & flagReceiveOnce) && pendingFilterOperations > 0)) {
            if (v4.bytesAvailable > 0) suspendReceiveSource(v4);
            if (v6.bytesAvailable > 0) suspendReceiveSource(v6);
            return;
        }
        if (v4.bytesAvailable == 0 && v6.bytesAvailable == 0) {
            // The next read event comes back here.
            resumeReceiveSource(v4);
            resumeReceiveSource(v6);
            return;
        }
        if (reads == kReadsPerPass) {
            later([](Impl& impl) { impl.doReceive(); });
            return;
        }
        UdpFamily* f;
        if (flags & flagDidConnect) {
            f = v4.fd != -1 ? &v4 : &v6;
        } else if (v4.bytesAvailable > 0 && v6.bytesAvailable > 0) {
            f = (flags & flagFlipFlop) ? &v4 : &v6;
            flags ^= flagFlipFlop;
        } else {
            f = v4.bytesAvailable > 0 ? &v4 : &v6;
        }
        // The datagram is read into one buffer kept for the purpose and handed on in a buffer of its own
        // length: a fresh buffer of the maximum size would be zero-filled for every datagram and keep that
        // size while the delegate holds it, which costs more than copying the datagram.
        const size_t size =
            std::min<size_t>(f->af == AF_INET ? max4ReceiveSize : max6ReceiveSize, kLargestDatagram);
        if (receiveBuffer.size() < size) receiveBuffer.resize(size);
        sockaddr_storage from{};
        socklen_t fromLength = f->af == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        const ssize_t result =
            ::recvfrom(f->fd, receiveBuffer.data(), size, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        const int err = errno;
        if (result < 0 && !wouldBlock(err)) {
            closeWithError(posixError(err, "Error in recvfrom() function"));
            return;
        }
        if (result <= 0) {
            // Nothing more waits on this family (or an empty datagram was dropped): wait for its next read
            // event, and go on with the other family if it still counts datagrams.
            f->bytesAvailable = 0;
            resumeReceiveSource(*f);
            continue;
        }
        f->bytesAvailable = f->bytesAvailable > size_t(result) ? f->bytesAvailable - size_t(result) : 1;
        auto data = std::make_shared<const Bytes>(receiveBuffer.begin(), receiveBuffer.begin() + result);
        const auto* fromBytes = reinterpret_cast<const uint8_t*>(&from);
        Bytes address(fromBytes, fromBytes + std::min<size_t>(fromLength, sizeof from));
        std::optional<bool> delivered = false;
        if (!(flags & flagDidConnect) || isConnectedToAddress(address))
            delivered = offerDatagram(data, address);
        if (flags & flagReceiveContinuous) continue;
        if (flags & flagReceiveOnce) {
            if (!delivered.has_value()) return;  // an asynchronous filter decides
            if (*delivered) flags &= ~flagReceiveOnce;
        }
    }
}

std::optional<bool> Impl::offerDatagram(const SharedBytes& data, const Bytes& address) {
    auto deliver = [this, data, address](const std::any& context) {
        notify([data, address, context](UdpSocketDelegate& d, UdpSocket& s) {
            d.udpSocketDidReceiveData(s, data, address, context);
        });
    };
    if (!receiveFilterBlock || !receiveFilterQueue) {
        deliver(std::any());
        return true;
    }
    auto filter = receiveFilterBlock;
    if (!receiveFilterAsync) {
        std::any context;
        bool allowed = false;
        receiveFilterQueue->sync([&] { allowed = filter(data, address, &context); });
        if (allowed) deliver(context);
        return allowed;
    }
    ++pendingFilterOperations;
    const uint64_t asked = receiveGeneration;
    receiveFilterQueue->async([weak = weak(), filter, data, address, socketQueue = queue.queue(), asked] {
        auto context = std::make_shared<std::any>();
        const bool allowed = filter(data, address, context.get());
        socketQueue->async([weak, data, address, context, allowed, asked] {
            auto self = weak.lock();
            if (!self) return;
            Impl& impl = *self->impl_;
            if (impl.receiveGeneration != asked) return;  // asked before a close
            --impl.pendingFilterOperations;
            if (allowed) {
                impl.notify([data, address, context](UdpSocketDelegate& d, UdpSocket& s) {
                    d.udpSocketDidReceiveData(s, data, address, *context);
                });
            }
            if (impl.flags & flagReceiveOnce) {
                if (allowed) {
                    impl.flags &= ~flagReceiveOnce;
                } else if (impl.pendingFilterOperations == 0) {
                    impl.doReceive();
                }
            }
            self.reset();
        });
    });
    return std::nullopt;
}

}  // namespace quill::net
