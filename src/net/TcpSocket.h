#pragma once
// The asynchronous TCP socket. All of a socket's state lives on its serial socket queue; callers talk to
// it from any thread, and it reports to a weakly held delegate by posting to the delegate queue. Reads
// and writes are queued requests served in order, each with a time-out (seconds, negative = none) and a
// tag that comes back in its callback. A socket that was started (connecting or connected) reports its
// end exactly once through socketDidDisconnect; it can then connect again.

#include <any>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/SocketAddress.h"
#include "net/TcpPackets.h"
#include "net/TcpSocketPreBuffer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::net {

using platform::dispatch::QueuePtr;

inline constexpr const char* kTcpSocketErrorDomain = "TcpSocketErrorDomain";

enum TcpSocketError : long {
    TcpSocketNoError = 0,
    TcpSocketBadConfigError = 1,
    TcpSocketBadParamError = 2,
    TcpSocketConnectTimeoutError = 3,
    TcpSocketReadTimeoutError = 4,
    TcpSocketWriteTimeoutError = 5,
    TcpSocketReadMaxedOutError = 6,
    TcpSocketClosedError = 7,
    TcpSocketOtherError = 8,
};

class TcpSocket;

// Callbacks of a TcpSocket, each run on the delegate queue with the socket first. The default bodies do
// what happens when a delegate does not handle the event: nothing, and no extension of a time-out.
class TcpSocketDelegate {
  public:
    virtual ~TcpSocketDelegate() = default;

    virtual void socketDidConnectToHost(TcpSocket& sock, const std::string& host, uint16_t port);
    virtual void socketDidReadData(TcpSocket& sock, const Bytes& data, long tag);
    virtual void socketDidReadPartialDataOfLength(TcpSocket& sock, size_t partialLength, long tag);
    // Seconds to add to the read's time-out; 0 or less lets it time out.
    virtual double socketShouldTimeoutReadWithTag(TcpSocket& sock, long tag, double elapsed,
                                                  size_t bytesDone);
    virtual void socketDidWriteDataWithTag(TcpSocket& sock, long tag);
    virtual void socketDidWritePartialDataOfLength(TcpSocket& sock, size_t partialLength, long tag);
    virtual double socketShouldTimeoutWriteWithTag(TcpSocket& sock, long tag, double elapsed,
                                                   size_t bytesDone);
    // Only with half-duplex on: the peer closed its sending side.
    virtual void socketDidCloseReadStream(TcpSocket& sock);
    // The socket closed after having been started: err is empty when the close was asked for. sock is
    // null when the close comes from the socket's destruction.
    virtual void socketDidDisconnect(TcpSocket* sock, const std::optional<Error>& err);
};

class TcpSocket : public std::enable_shared_from_this<TcpSocket> {
  public:
    // State bits.
    enum Flags : uint32_t {
        flagStarted = 1u << 0,
        flagConnected = 1u << 1,
        flagForbidReadsWrites = 1u << 2,
        flagReadsPaused = 1u << 3,
        flagWritesPaused = 1u << 4,
        flagDisconnectAfterReads = 1u << 5,
        flagDisconnectAfterWrites = 1u << 6,
        flagCanAcceptBytes = 1u << 7,
        flagReadSourceSuspended = 1u << 8,
        flagWriteSourceSuspended = 1u << 9,
        flagQueuedTLS = 1u << 10,
        flagStartingReadTLS = 1u << 11,
        flagStartingWriteTLS = 1u << 12,
        flagSecure = 1u << 13,
        flagHasReadEOF = 1u << 14,
        flagReadStreamClosed = 1u << 15,
        flagDealloc = 1u << 16,
    };
    // Configuration bits.
    enum Config : uint16_t {
        configIPv4Disabled = 1u << 0,
        configIPv6Disabled = 1u << 1,
        configPreferIPv6 = 1u << 2,
        configAllowHalfDuplex = 1u << 3,
    };

    // A socket with its delegate (held weakly), the queue its callbacks run on, and the serial queue its
    // state lives on (a new one labelled "TcpSocket" when none is given).
    static std::shared_ptr<TcpSocket> create(std::weak_ptr<TcpSocketDelegate> delegate = {},
                                             QueuePtr delegateQueue = nullptr,
                                             QueuePtr socketQueue = nullptr);
    // Wraps a descriptor that is already connected. Null (and *error) when it is not an IPv4 or IPv6
    // stream socket with a peer.
    static std::shared_ptr<TcpSocket> socketFromConnectedSocketFD(int fd,
                                                                  std::weak_ptr<TcpSocketDelegate> delegate,
                                                                  QueuePtr delegateQueue,
                                                                  QueuePtr socketQueue,
                                                                  Error* error = nullptr);
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Delegate and queues.
    std::shared_ptr<TcpSocketDelegate> delegate() const;
    QueuePtr delegateQueue() const;
    void getDelegate(std::shared_ptr<TcpSocketDelegate>* delegate, QueuePtr* delegateQueue) const;
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void setDelegateQueue(QueuePtr queue);
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void synchronouslySetDelegateQueue(QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue);
    QueuePtr socketQueue() const { return socketQueue_; }

    // Configuration.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6() const;
    void setIPv4PreferredOverIPv6(bool preferred);
    double alternateAddressDelay() const;
    void setAlternateAddressDelay(double seconds);
    // True (the default) closes the socket when the peer closes its sending side.
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    // Runs work on the socket queue (inline when already there) and returns after it ran.
    void performBlock(const std::function<void()>& work);
    // Lets work on q count as running on the socket queue (for a socket queue that targets q).
    void markSocketQueueTargetQueue(const QueuePtr& q);
    void unmarkSocketQueueTargetQueue(const QueuePtr& q);
    // Descriptors; only meaningful on the socket queue, -1 elsewhere.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // Connecting. True when the attempt has started; its outcome arrives as socketDidConnectToHost or
    // socketDidDisconnect. False (and *error) for a failure found at once.
    bool connectToHost(const std::string& host, uint16_t port, double timeout = -1, Error* error = nullptr);
    bool connectToHost(const std::string& host, uint16_t port, Error* error);
    bool connectToHost(const std::string& host, uint16_t port, const std::optional<std::string>& interface,
                       double timeout, Error* error = nullptr);
    bool connectToAddress(const Bytes& address, double timeout = -1, Error* error = nullptr);
    bool connectToAddress(const Bytes& address, const std::optional<std::string>& interface, double timeout,
                          Error* error = nullptr);

    // Reading: whatever is available (up to maxLength when not 0), an exact length, or up to and including
    // a terminator. With a buffer the bytes are also placed into it at the offset (it grows as needed).
    void readDataWithTimeout(double timeout, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, size_t maxLength,
                             long tag);
    void readDataToLength(size_t length, double timeout, long tag);
    void readDataToLength(size_t length, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                          long tag);
    void readDataToData(const Bytes& terminator, double timeout, long tag);
    void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                        long tag);
    void readDataToData(const Bytes& terminator, double timeout, size_t maxLength, long tag);
    void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                        size_t maxLength, long tag);
    // Progress of the current read: fraction done (1 when its length is open), NaN without a read.
    float progressOfReadReturningTag(long* tag, size_t* done, size_t* total) const;

    // Writing. The data is not copied; it must not change while queued. Empty data is ignored.
    void writeData(SharedBytes data, double timeout, long tag);
    void writeData(Bytes data, double timeout, long tag);
    float progressOfWriteReturningTag(long* tag, size_t* done, size_t* total) const;

    // Closing.
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // State and endpoints.
    bool isDisconnected() const;
    bool isConnected() const;
    std::string connectedHost() const;
    uint16_t connectedPort() const;
    std::string localHost() const;
    uint16_t localPort() const;
    Bytes connectedAddress() const;
    Bytes localAddress() const;
    bool isIPv4() const;
    bool isIPv6() const;
    bool isSecure() const;

    // The error builders of this class.
    static Error badConfigError(const std::string& text);
    static Error badParamError(const std::string& text);
    static Error connectTimeoutError();
    static Error readTimeoutError();
    static Error writeTimeoutError();
    static Error readMaxedOutError();
    static Error connectionClosedError();
    static Error otherError(const std::string& text);

  private:
    struct Private {};

  public:
    TcpSocket(Private, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
              QueuePtr socketQueue);

  private:
    using Source = platform::dispatch::Source;
    using FdSource = platform::dispatch::FdSource;
    using TimerSource = platform::dispatch::TimerSource;

    bool onSocketQueue() const;
    template <class F>
    auto onQueueSync(F&& f) const -> decltype(f());
    // Runs work on the socket queue later (never inline), if the socket still exists then.
    void asyncOnQueue(std::function<void(TcpSocket&)> work);
    // Like asyncOnQueue, but on the calling thread at once when the socket queue is idle (and not the
    // caller's own queue): reads and writes requested from a delegate callback then start without a
    // hand-off to another thread.
    void asyncOnQueueOrHere(std::function<void(TcpSocket&)> work);
    // Inline when on the socket queue, else later.
    void inlineOrAsync(std::function<void(TcpSocket&)> work);
    // Posts a callback to the delegate queue when a delegate and its queue are set.
    void post(std::function<void(TcpSocketDelegate&, TcpSocket&)> callback);

    // Connecting.
    bool preConnect(const std::optional<std::string>& interface, Error* error);
    bool connectHostOnQueue(const std::string& host, uint16_t port,
                            const std::optional<std::string>& interface, double timeout, Error* error);
    bool connectAddressOnQueue(const Bytes& address, const std::optional<std::string>& interface,
                               double timeout, Error* error);
    void lookupDidFail(int index, const Error& error);
    void lookupDidSucceed(int index, Bytes address4, Bytes address6);
    int createSocket(int family, const Bytes& interfaceAddress, Error* error);
    bool connectWithAddresses(const Bytes& address4, const Bytes& address6, Error* error);
    void connectSocket(int family, const Bytes& address, int index);
    void connectFinished(int family, int fd, int err, int index);
    void closeConnectingSocket(int family);
    void didConnect(int index);
    void didNotConnect(int index, const Error& error);
    void startConnectTimeout(double timeout);
    void doConnectTimeout();
    // Arms a one-shot timer on the socket queue that calls fired (if the socket still exists); a
    // negative time-out leaves it cleared. The timer is made on first use and re-armed for later
    // packets; closing cancels it.
    void startTimer(std::shared_ptr<TimerSource>& timer, double timeout, void (TcpSocket::*fired)());
    // Asks the delegate whether an expiring read or write gets more time; the answer comes back as a
    // block on the socket queue (0 at once without a delegate).
    template <class Packet>
    void askForExtension(const std::shared_ptr<Packet>& packet,
                         double (TcpSocketDelegate::*question)(TcpSocket&, long, double, size_t),
                         void (TcpSocket::*answered)(const std::shared_ptr<Packet>&, double));
    void endConnectTimeout();
    void setupReadAndWriteSources(int fd);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    int& fdField(int family) { return family == AF_INET ? socket4FD_ : socket6FD_; }
    int connectedFD() const { return socket4FD_ != -1 ? socket4FD_ : socket6FD_; }

    // Reading.
    void queueRead(std::shared_ptr<TcpReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();
    // Read buffers come back after their callback when nobody else holds them, and reads that own their
    // buffer reuse them: a busy connection then neither allocates nor faults in fresh memory for every
    // read. Two are kept, since the next read usually starts while the last one's callback still runs.
    void keepSpareReadBuffer(std::shared_ptr<Bytes> buffer);
    std::shared_ptr<Bytes> takeSpareReadBuffer();
    void doReadTimeout();
    void doReadTimeoutWithExtension(const std::shared_ptr<TcpReadPacket>& packet, double extension);

    // Writing.
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(const std::shared_ptr<TcpWritePacket>& packet, double extension);

    // Closing.
    void maybeClose();
    void closeWithError(const std::optional<Error>& error);

    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    std::weak_ptr<TcpSocketDelegate> delegate_;
    QueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int stateIndex_ = 0;
    Bytes connectInterface4_;
    Bytes connectInterface6_;
    QueuePtr socketQueue_;
    bool ownsSocketQueue_ = false;
    // Completion of a non-blocking connect, per family (index 0 IPv4, 1 IPv6).
    std::shared_ptr<FdSource> connectSource_[2];
    std::shared_ptr<TimerSource> connectTimer_;
    std::shared_ptr<FdSource> readSource_;
    std::shared_ptr<FdSource> writeSource_;
    std::shared_ptr<TimerSource> readTimer_;
    std::shared_ptr<TimerSource> writeTimer_;
    std::deque<std::shared_ptr<TcpPacket>> readQueue_;
    std::deque<std::shared_ptr<TcpPacket>> writeQueue_;
    std::shared_ptr<TcpReadPacket> currentRead_;
    std::shared_ptr<TcpWritePacket> currentWrite_;
    size_t socketFDBytesAvailable_ = 0;
    std::mutex spareReadBuffersMutex_;  // buffers come back on the delegate queue
    std::vector<std::shared_ptr<Bytes>> spareReadBuffers_;
    TcpSocketPreBuffer preBuffer_{4096};
    // Its address is the queue-specific key that marks the socket queue.
    const void* isOnSocketQueueOrTargetQueueKey_ = nullptr;
    std::shared_ptr<void> userData_;
    double alternateAddressDelay_ = 0.3;
};

}  // namespace quill::net
