#pragma once
// The asynchronous UDP socket. It owns at most one IPv4 and one IPv6 datagram descriptor, keeps all of
// its state on one serial socket queue (the caller's, or its own labelled "UdpSocket"), accepts calls
// from any thread and reports to a weakly held delegate by posting to the delegate queue. Datagrams to
// send are queued requests served one at a time, each with a time-out (seconds, negative = none) and a
// tag that comes back in exactly one send callback unless the socket closes first. Receiving is asked
// for once or continuously. Binding, connecting, multicast and the options are synchronous and answer
// with a result and an optional error. A socket that created its descriptors reports its close once
// through udpSocketDidClose; it can then be used again, keeping its configuration.
//
// Threads: every public call may be made from any thread. Calls that answer (binding, connecting,
// receiving, multicast, options, getters, close, performBlock) run on the socket queue and wait for it;
// when the queue is free they run there on the calling thread, as a synchronous dispatch does. Sends
// return at once; when the socket queue is idle and no synchronous send filter is set, the datagram's
// system calls are made on the calling thread before sendData returns. Nothing else of the socket runs
// on a caller's thread: filters run on their own queues only, a synchronous one while the socket queue
// waits for its answer, and delegate callbacks run on the delegate queue only, posted after the event.
// So a filter, and delegate work on a synchronous filter's queue, must not make a call that waits for
// the socket queue. A received datagram's bytes are shared and may be kept; its address is valid only
// during the callback.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::net {

using platform::dispatch::QueuePtr;

inline constexpr const char* kUdpSocketErrorDomain = "UdpSocketErrorDomain";

enum UdpSocketError : long {
    UdpSocketNoError = 0,
    UdpSocketBadConfigError = 1,
    UdpSocketBadParamError = 2,
    UdpSocketSendTimeoutError = 3,
    UdpSocketClosedError = 4,
    UdpSocketOtherError = 5,
};

class UdpSocket;

// Callbacks of a UdpSocket, each run on the delegate queue with the socket first. The default bodies
// do nothing.
class UdpSocketDelegate {
  public:
    virtual ~UdpSocketDelegate() = default;

    // A connect request succeeded; address is the peer's.
    virtual void udpSocketDidConnectToAddress(UdpSocket& sock, const Bytes& address);
    virtual void udpSocketDidNotConnect(UdpSocket& sock, const Error& error);
    // The datagram was sent, or the send filter refused it.
    virtual void udpSocketDidSendDataWithTag(UdpSocket& sock, long tag);
    virtual void udpSocketDidNotSendDataWithTag(UdpSocket& sock, long tag, const Error& error);
    // A datagram was accepted: its bytes, the sender's address and what the receive filter left (empty
    // without a filter).
    virtual void udpSocketDidReceiveData(UdpSocket& sock, const SharedBytes& data, const Bytes& address,
                                         const std::any& filterContext);
    // The socket closed after its descriptors had been made: error is empty for an orderly close. sock
    // is null when the close comes from the socket's destruction.
    virtual void udpSocketDidClose(UdpSocket* sock, const std::optional<Error>& error);
};

// Decides, on its queue, whether a datagram goes out (true) to the address.
using UdpSocketSendFilterBlock = std::function<bool(const SharedBytes& data, const Bytes& address, long tag)>;
// Decides, on its queue, whether a received datagram reaches the delegate (true); what it leaves in
// *context is handed to the delegate with the datagram.
using UdpSocketReceiveFilterBlock =
    std::function<bool(const SharedBytes& data, const Bytes& address, std::any* context)>;

class UdpSocket : public std::enable_shared_from_this<UdpSocket> {
  public:
    // A socket with its delegate (held weakly), the queue its callbacks run on, and the serial queue its
    // state lives on (a new one labelled "UdpSocket" when none is given).
    static std::shared_ptr<UdpSocket> create(std::weak_ptr<UdpSocketDelegate> delegate = {},
                                             QueuePtr delegateQueue = nullptr,
                                             QueuePtr socketQueue = nullptr);
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Delegate and queues.
    std::shared_ptr<UdpSocketDelegate> delegate() const;
    QueuePtr delegateQueue() const;
    void getDelegate(std::shared_ptr<UdpSocketDelegate>* delegate, QueuePtr* delegateQueue) const;
    void setDelegate(std::weak_ptr<UdpSocketDelegate> delegate);
    void setDelegateQueue(QueuePtr queue);
    void setDelegate(std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<UdpSocketDelegate> delegate);
    void synchronouslySetDelegateQueue(QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr queue);
    QueuePtr socketQueue() const;

    // Configuration; kept across a close. The enabled families are read when descriptors are made and
    // when an address is chosen, the preference when an address is chosen, the receive sizes at the
    // next read, the send size (also the kernel's buffer sizes) when descriptors are made.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    uint16_t maxReceiveIPv4BufferSize() const;
    void setMaxReceiveIPv4BufferSize(uint16_t size);
    uint32_t maxReceiveIPv6BufferSize() const;
    void setMaxReceiveIPv6BufferSize(uint32_t size);
    uint16_t maxSendBufferSize() const;
    void setMaxSendBufferSize(uint16_t size);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    // Runs work on the socket queue (inline when already there) and returns after it ran.
    void performBlock(const std::function<void()>& work);
    // Would let work on q count as running on the socket queue, for a socket queue that targets q. The
    // dispatch layer has no target queues, so work on q never runs as part of the socket queue: marking
    // q would let such work touch the socket's state unguarded. Both refuse with a line in the log and
    // mark nothing.
    void markSocketQueueTargetQueue(const QueuePtr& q);
    void unmarkSocketQueueTargetQueue(const QueuePtr& q);
    // Descriptors; only meaningful on the socket queue, -1 elsewhere.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // State.
    bool isConnected() const;
    bool isClosed() const;
    bool isIPv4() const;
    bool isIPv6() const;

    // Binding: to a port on an interface (a name such as "eth0", an address text, "localhost" /
    // "loopback", or none for all), or to one address.
    bool bindToPort(uint16_t port, Error* error = nullptr);
    bool bindToPort(uint16_t port, const std::optional<std::string>& interface, Error* error = nullptr);
    bool bindToAddress(const Bytes& address, Error* error = nullptr);
    // Connecting: queued behind the datagrams already queued; the outcome arrives as
    // udpSocketDidConnectToAddress or udpSocketDidNotConnect. False (and *error) for a failure found at
    // once.
    bool connectToHost(const std::string& host, uint16_t port, Error* error = nullptr);
    bool connectToAddress(const Bytes& address, Error* error = nullptr);

    // Endpoints: the IPv4 socket's when it exists, else the IPv6 socket's; or one family's; or the
    // connected peer's. Empty / 0 when there is none.
    Bytes localAddress() const;
    std::string localHost() const;
    uint16_t localPort() const;
    Bytes localAddress_IPv4() const;
    std::string localHost_IPv4() const;
    uint16_t localPort_IPv4() const;
    Bytes localAddress_IPv6() const;
    std::string localHost_IPv6() const;
    uint16_t localPort_IPv6() const;
    Bytes connectedAddress() const;
    std::string connectedHost() const;
    uint16_t connectedPort() const;

    // Sending: to the connected peer, to a host resolved first, or to an address. The data is
    // referenced, not copied. Empty data is ignored (no callback). A datagram too long for the kernel
    // fails alone (EMSGSIZE), and so, on an unconnected socket, does one whose destination the kernel
    // refuses (EACCES, EPERM, ENETUNREACH, EHOSTUNREACH) or cannot send to (EINVAL: port 0, say); any
    // other error of a send closes the socket.
    void sendData(SharedBytes data, long tag);
    void sendData(SharedBytes data, double timeout, long tag);
    void sendData(SharedBytes data, const std::string& host, uint16_t port, double timeout, long tag);
    void sendData(SharedBytes data, const Bytes& address, double timeout, long tag);
    // Installs (or with an empty filter removes) the send filter, run on queue; asynchronous unless
    // told otherwise.
    void setSendFilter(UdpSocketSendFilterBlock filter, QueuePtr queue, bool isAsynchronous = true);

    // Receiving: the next accepted datagram, or every one until paused. False (and *error) before the
    // socket has descriptors (bind, connect or send first).
    bool receiveOnce(Error* error = nullptr);
    bool beginReceiving(Error* error = nullptr);
    void pauseReceiving();
    void setReceiveFilter(UdpSocketReceiveFilterBlock filter, QueuePtr queue, bool isAsynchronous = true);
    // Resumes both receive sources.
    void applicationWillEnterForeground();

    // Multicast (IPv4 and IPv6 groups as numeric addresses) and options.
    bool joinMulticastGroup(const std::string& group, Error* error = nullptr);
    bool joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                            Error* error = nullptr);
    bool leaveMulticastGroup(const std::string& group, Error* error = nullptr);
    bool leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                             Error* error = nullptr);
    bool enableReusePort(bool flag, Error* error = nullptr);
    bool enableBroadcast(bool flag, Error* error = nullptr);

    // Closing: now (queued datagrams are dropped without callbacks), or once the send queue is empty.
    void close();
    void closeAfterSending();

    // The error builders of this class.
    static Error badConfigError(const std::string& text);
    static Error badParamError(const std::string& text);
    static Error sendTimeoutError();
    static Error socketClosedError();
    static Error otherError(const std::string& text);

    // The socket's state and its steps; defined where the socket is implemented.
    struct Impl;

  private:
    struct Private {};

  public:
    UdpSocket(Private, std::weak_ptr<UdpSocketDelegate> delegate, QueuePtr delegateQueue,
              QueuePtr socketQueue);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::net
