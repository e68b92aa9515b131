#pragma once
// The state of a UdpSocket and the steps that work on it, shared by the files that implement the
// socket (UdpSocket*.cpp); nothing outside them includes this. Every field is read and written on the
// socket queue only, so nothing here takes a lock.

#include <netinet/in.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/SocketQueue.h"
#include "net/UdpSocket.h"

namespace quill::net {

// A queued request: a datagram, or a connect request travelling through the same FIFO.
struct UdpPacket {
    explicit UdpPacket(bool connect) : isConnect(connect) {}
    virtual ~UdpPacket() = default;
    const bool isConnect;
    bool resolveInProgress = false;  // the host is being resolved
};

// One datagram. The payload is the caller's object, referenced.
struct UdpSendPacket : UdpPacket {
    UdpSendPacket(SharedBytes data, double timeout_, long tag_)
        : UdpPacket(false), buffer(std::move(data)), timeout(timeout_), tag(tag_) {}
    SharedBytes buffer;
    double timeout;
    long tag;
    bool filterInProgress = false;  // an asynchronous send filter is deciding
    bool namesDestination = false;  // a host or an address was given with it
    std::vector<Bytes> resolvedAddresses;
    std::optional<Error> resolveError;
    Bytes address;  // the destination finally used
    int addressFamily = 0;
};

// A connect request.
struct UdpSpecialPacket : UdpPacket {
    UdpSpecialPacket() : UdpPacket(true) {}
    std::vector<Bytes> addresses;
    std::optional<Error> error;
};

// The descriptor of one address family with its sources, counters and cached local endpoint, and the
// bits of flags and config that belong to that family.
struct UdpFamily {
    const int af;
    const uint16_t disabledBit;
    const uint32_t deactivatedBit, sendSuspendedBit, receiveSuspendedBit, canAcceptBit;
    const char* name;  // "IPv4" / "IPv6", for error texts

    int fd = -1;
    std::shared_ptr<platform::dispatch::FdSource> sendSource, receiveSource;
    // What the last read event counted; kept at 1 or more after a read that found a datagram, since
    // the kernel counts only the first datagram waiting: reading stops at the read that finds none.
    size_t bytesAvailable = 0;
    Bytes cachedLocalAddress;
    std::string cachedLocalHost;
    uint16_t cachedLocalPort = 0;
};

struct UdpSocket::Impl {
    enum Flags : uint32_t {
        flagDidCreateSockets = 0x1,
        flagDidBind = 0x2,
        flagConnecting = 0x4,
        flagDidConnect = 0x8,
        flagReceiveOnce = 0x10,
        flagReceiveContinuous = 0x20,
        flagIPv4Deactivated = 0x40,
        flagIPv6Deactivated = 0x80,
        flagSend4SourceSuspended = 0x100,
        flagSend6SourceSuspended = 0x200,
        flagReceive4SourceSuspended = 0x400,
        flagReceive6SourceSuspended = 0x800,
        flagSock4CanAcceptBytes = 0x1000,
        flagSock6CanAcceptBytes = 0x2000,
        flagCloseAfterSends = 0x8000,
        flagFlipFlop = 0x10000,
    };
    enum Config : uint16_t {
        configIPv4Disabled = 0x1,
        configIPv6Disabled = 0x2,
        configPreferIPv4 = 0x4,
        configPreferIPv6 = 0x8,
    };
    // Whom a close reports to.
    enum class CloseReport {
        IfCreated,    // the socket, when its descriptors had been made
        Always,       // the socket, also when descriptors could not be made
        Destruction,  // no socket (it is being destroyed), when its descriptors had been made
    };

    Impl(UdpSocket& owner, std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr delegateQueue,
         QueuePtr socketQueue);

    // ---- the object (UdpSocket.cpp) ----
    std::weak_ptr<UdpSocket> weak() const { return owner.weak_from_this(); }
    // Runs step(impl) on the socket queue later, if the socket still exists then.
    template <class F>
    void later(F&& step) {
        queue.async(weak(), [step = std::forward<F>(step)](UdpSocket& s) mutable { step(*s.impl_); });
    }
    // Posts a callback taking (delegate, socket) when a delegate and its queue are set.
    template <class F>
    void notify(F&& callback) {
        auto self = weak().lock();
        if (!self) return;
        postToDelegate(
            delegateQueue, delegate, std::move(self),
            [callback = std::forward<F>(callback)](UdpSocketDelegate& d, UdpSocket* s) { callback(d, *s); });
    }
    void notifyDidClose(const std::optional<Error>& error, bool withSocket);
    // The check every bind, connect, multicast and option operation makes first.
    bool preOp(Error* error) const;
    UdpFamily& family(int af) { return af == AF_INET ? v4 : v6; }
    UdpFamily& otherFamily(const UdpFamily& f) { return &f == &v4 ? v6 : v4; }

    // ---- addresses and descriptors (UdpSocketDescriptors.cpp) ----
    // Resolves off the socket queue; done(impl, addresses, error) runs on it, if the socket still exists.
    using ResolveDone = std::function<void(Impl&, std::vector<Bytes>, std::optional<Error>)>;
    void asyncResolveHost(const std::string& host, uint16_t port, ResolveDone done);
    // Chooses one address of the list by the configuration; its family, or 0 with *error.
    int getAddress(const std::vector<Bytes>& addresses, Bytes* address, Error* error) const;
    bool isConnectedToAddress(const Bytes& sender) const;
    int createSocket(int af, Error* error);
    bool createSockets(bool useIPv4, bool useIPv6, Error* error);
    bool createSockets(Error* error);  // the enabled families
    void setupSendAndReceiveSources(UdpFamily& f);
    void suspendSendSource(UdpFamily& f);
    void resumeSendSource(UdpFamily& f);
    void suspendReceiveSource(UdpFamily& f);
    void resumeReceiveSource(UdpFamily& f);
    void closeSocket(UdpFamily& f);
    void closeSockets();

    // ---- sending (UdpSocketSend.cpp) ----
    void queueSend(std::shared_ptr<UdpSendPacket> packet);
    void maybeDequeueSend();
    void dequeueSendOnce();
    void doPreSend();
    std::optional<Error> destinationError(const UdpSendPacket& packet);
    void sendFilterAnswered(bool allowed);
    void doSend();
    void sendSourceFired(UdpFamily& f);
    void completeCurrentSend();
    void failCurrentSend(const Error& error);
    void endCurrentSend();
    void setupSendTimerWithTimeout(double timeout);
    void doSendTimeout();
    std::shared_ptr<UdpSendPacket> currentDatagram() const;

    // ---- receiving (UdpSocketReceive.cpp) ----
    bool startReceiving(uint32_t mode, Error* error);
    void pauseReceiving();
    void receiveSourceFired(UdpFamily& f, size_t available);
    void doReceive();
    // Hands a datagram read by doReceive on; true when it reached the delegate, false when dropped;
    // nullopt when an asynchronous filter decides.
    std::optional<bool> offerDatagram(const SharedBytes& data, const Bytes& address);

    // ---- binding, connecting, multicast, options, closing (UdpSocketOptions.cpp) ----
    bool preBind(Error* error) const;
    bool bindToPort(uint16_t port, const std::optional<std::string>& interface, Error* error);
    bool bindToAddress(const Bytes& address, Error* error);
    bool preConnect(Error* error) const;
    bool connect(const std::string* host, uint16_t port, const Bytes* address, Error* error);
    void maybeConnect();
    bool performMulticastRequest(bool join, const std::string& group,
                                 const std::optional<std::string>& interface, Error* error);
    bool enableReusePort(bool flag, Error* error);
    bool enableBroadcast(bool flag, Error* error);
    void closeAfterSending();
    void closeWithError(const std::optional<Error>& error, CloseReport report = CloseReport::IfCreated);
    Bytes localAddress(UdpFamily& f);  // the cached local address, filled first when possible
    void maybeUpdateCachedLocalAddressInfo(UdpFamily& f);
    void maybeUpdateCachedConnectedAddressInfo();

    UdpSocket& owner;
    SocketQueue queue;
    std::weak_ptr<UdpSocketDelegate> delegate;
    QueuePtr delegateQueue;
    UdpSocketReceiveFilterBlock receiveFilterBlock;
    QueuePtr receiveFilterQueue;
    bool receiveFilterAsync = false;
    UdpSocketSendFilterBlock sendFilterBlock;
    QueuePtr sendFilterQueue;
    bool sendFilterAsync = false;
    uint32_t flags = 0;
    uint16_t config = 0;
    uint16_t max4ReceiveSize = 65535;
    uint32_t max6ReceiveSize = 65535;
    uint16_t maxSendSize = 65535;
    UdpFamily v4{AF_INET,
                 configIPv4Disabled,
                 flagIPv4Deactivated,
                 flagSend4SourceSuspended,
                 flagReceive4SourceSuspended,
                 flagSock4CanAcceptBytes,
                 "IPv4"};
    UdpFamily v6{AF_INET6,
                 configIPv6Disabled,
                 flagIPv6Deactivated,
                 flagSend6SourceSuspended,
                 flagReceive6SourceSuspended,
                 flagSock6CanAcceptBytes,
                 "IPv6"};
    std::shared_ptr<platform::dispatch::TimerSource> sendTimer;
    std::shared_ptr<UdpPacket> currentSend;
    std::deque<std::shared_ptr<UdpPacket>> sendQueue;
    // maybeDequeueSend is running / was asked again meanwhile (a loop serves the queue, not recursion).
    bool dequeueing = false;
    bool dequeueAgain = false;
    uint32_t pendingFilterOperations = 0;
    // Moves on at every close: an asynchronous receive filter's answer counts only in the generation it
    // was asked in, so a late one neither delivers an old datagram nor consumes a newer receiveOnce.
    uint64_t receiveGeneration = 0;
    // Datagrams are read here and copied out at their own length (see doReceive).
    Bytes receiveBuffer;
    Bytes cachedConnectedAddress;
    std::string cachedConnectedHost;
    uint16_t cachedConnectedPort = 0;
    int cachedConnectedFamily = 0;
    std::shared_ptr<void> userData;
};

}  // namespace quill::net
